// dvrinspect as a plugin author uses it: its verdict must be the core's, in
// the core's words; likely mistakes are named; a Load that crashes or hangs is
// reported; a directory shows the orders and conflicts the core would have.
#include <gtest/gtest.h>

#include <signal.h>

#include <map>
#include <sstream>

#include "support/process.h"
#include "support/supervisor_peer.h"

namespace {

using namespace dvrtest;

struct Inspection {
    int exit = -1;
    std::string output;
    // The report of one library: its path line and the indented lines below.
    std::string Section(const std::string& fileName) const
    {
        std::istringstream in(output);
        std::string section;
        bool inside = false;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] != ' ')
                inside = line.size() >= fileName.size() &&
                         line.compare(line.size() - fileName.size(), fileName.size(), fileName) == 0 &&
                         (line.size() == fileName.size() || line[line.size() - fileName.size() - 1] == '/');
            if (inside)
                section += line + "\n";
        }
        return section;
    }
    // The core's message in a rejection verdict of one library.
    std::string Message(const std::string& fileName) const
    {
        const std::string section = Section(fileName);
        const size_t verdict = section.find("verdict: rejected (level ");
        if (verdict == std::string::npos)
            return "";
        const size_t start = section.find("): ", verdict) + 3;
        return section.substr(start, section.find('\n', start) - start);
    }
};

Inspection Inspect(const std::vector<std::string>& args)
{
    ProcessOptions options;
    options.args = args;
    auto process = Process::Start(DVR_INSPECT_EXE, options);
    Inspection result;
    result.exit = process->WaitExit().value_or(-1); // also collects the output
    result.output = process->Output();
    return result;
}

// Copies of the probe, each with its own descriptor.
fs::path AddProbe(const fs::path& dir, const std::string& name, const std::string& config,
                  const std::string& library = "probe")
{
    fs::create_directories(dir);
    const fs::path target = dir / (name + ".so");
    fs::copy_file(fs::path(DVR_TEST_PLUGIN_DIR) / (library + ".so"), target, fs::copy_options::overwrite_existing);
    WriteFile(dir / (name + ".conf"), config + "\n");
    return target;
}

TEST(Inspector, GivesTheCoresVerdictInTheCoresWords)
{
    CoreInstall install;
    const std::vector<std::string> rejected{"loaderror", "loadfails", "noload", "unresolved"};
    for (const std::string& name : rejected)
        install.AddTestPlugin(name);
    install.AddDemoPlugin("recorder");
    install.AddDemoPlugin("camera", "camera-again.so"); // same ID as the next: rejected as a duplicate
    install.AddDemoPlugin("camera");

    auto core = StartCore(install);
    ASSERT_TRUE(core->WaitForOutput("successfully started core version")) << core->Output();
    core->Signal(SIGTERM);
    ASSERT_EQ(core->WaitExit(), 0);

    const Inspection inspection = Inspect({install.bin.string()});
    EXPECT_EQ(inspection.exit, 1) << inspection.output;
    for (const std::string name : {"loaderror", "loadfails", "noload", "unresolved", "camera"}) {
        const std::string message = inspection.Message(name + ".so");
        ASSERT_FALSE(message.empty()) << name << "\n" << inspection.output;
        EXPECT_NE(core->Output().find(message), std::string::npos) << message << "\n" << core->Output();
    }
    EXPECT_NE(inspection.Section("recorder.so").find("verdict: accepted"), std::string::npos) << inspection.output;
    EXPECT_NE(inspection.Section("camera-again.so").find("verdict: accepted"), std::string::npos);

    // Accepted libraries alone: exit 0, and the descriptor in words.
    const Inspection accepted = Inspect({(install.plugins / "recorder.so").string()});
    EXPECT_EQ(accepted.exit, 0) << accepted.output;
    EXPECT_NE(accepted.output.find("systemID 0x00110000, moduleIndex 17"), std::string::npos) << accepted.output;
    EXPECT_NE(accepted.output.find("mask 0x0001 media  0x02000000"), std::string::npos) << accepted.output;
    EXPECT_NE(accepted.output.find("video frames (0x01000000)"), std::string::npos) << accepted.output;
}

TEST(Inspector, NamesLikelyMistakesTheCoreAcceptsSilently)
{
    TempDir dir;
    const std::string video = "mask0=0x02000000\n";
    const std::map<std::string, std::pair<std::string, std::string>> cases{
        {"clean", {"id=0x00310000\nwrite=1\n" + video, ""}},
        {"rawflag", {"id=0x00320000\nwrite=1\nmask0=0x01000000", "DVR_ROUTING_CLASS(0x01000000) = 0x02000000"}},
        {"nowrite", {"id=0x00330000\n" + video, "masks are set but writeEnabled is 0"}},
        {"nomask", {"id=0x00340000\nwrite=1", "every mask is 0"}},
        {"badlevel", {"id=0x00350000\nwrite=1\nlog_level_default=200\n" + video, "200 is outside -1..100"}},
    };
    std::vector<std::string> args;
    for (const auto& [name, probe] : cases)
        args.push_back(AddProbe(dir.path(), name, probe.first).string());
    // Asks for a worker, a reader and Write while exporting Load alone.
    fs::copy_file(fs::path(DVR_TEST_PLUGIN_DIR) / "bare.so", dir.path() / "bare.so");
    args.push_back((dir.path() / "bare.so").string());

    const Inspection inspection = Inspect(args);
    EXPECT_EQ(inspection.exit, 0) << "warnings do not reject:\n" << inspection.output;
    for (const auto& [name, probe] : cases) {
        const std::string section = inspection.Section(name + ".so");
        if (probe.second.empty())
            EXPECT_EQ(section.find("warning:"), std::string::npos) << section;
        else
            EXPECT_NE(section.find("warning:"), std::string::npos) << section;
        EXPECT_NE(section.find(probe.second), std::string::npos) << section;
    }
    const std::string bare = inspection.Section("bare.so");
    for (const char* warning : {"exports no IOCTL", "exports no Read", "exports no Write"})
        EXPECT_NE(bare.find(warning), std::string::npos) << bare;

    // --strict: a warning fails the run; the clean library alone still passes.
    args.insert(args.begin(), "--strict");
    EXPECT_EQ(Inspect(args).exit, 1);
    EXPECT_EQ(Inspect({"--strict", (dir.path() / "clean.so").string()}).exit, 0);
}

TEST(Inspector, ReportsALoadThatCrashesOrHangsAndGoesOn)
{
    TempDir dir;
    const std::vector<std::string> args{
        "--timeout",
        "1",
        AddProbe(dir.path(), "crashes", "load=crash", "badload").string(),
        AddProbe(dir.path(), "hangs", "load=hang", "badload").string(),
        AddProbe(dir.path(), "fine", "id=0x00310000", "badload").string(),
    };
    const Inspection inspection = Inspect(args);
    EXPECT_EQ(inspection.exit, 1) << inspection.output;
    EXPECT_NE(inspection.Message("crashes.so").find("Load crashed with signal 6"), std::string::npos)
        << inspection.output;
    EXPECT_NE(inspection.Message("hangs.so").find("Load did not return"), std::string::npos) << inspection.output;
    EXPECT_NE(inspection.Section("fine.so").find("verdict: accepted"), std::string::npos) << inspection.output;
}

TEST(Inspector, ShowsADirectorysOrdersAndConflicts)
{
    TempDir dir;
    const fs::path plugins = dir.path() / "plugins";
    AddProbe(plugins, "a", "id=0x00310000\nmask5=0x10");
    AddProbe(plugins, "b", "id=0x00320000\nmask5=0xFFFFFFFF");
    AddProbe(plugins, "c", "id=0x00060000\nmask5=0x10"); // the front plugin
    AddProbe(plugins, "d", "id=0x00310000");             // a's ID again
    AddProbe(plugins, "e", "id=0x00311234");             // a's moduleIndex

    const Inspection text = Inspect({dir.path().string()});
    EXPECT_EQ(text.exit, 1) << text.output;
    EXPECT_EQ(text.Message("d.so"), "plugin d.so ID 0x00310000 already loaded") << text.output;
    for (const char* line :
         {"load order: a.so, b.so, c.so, d.so, e.so\n", "open order: c.so, a.so, b.so, e.so\n",
          "): b.so, c.so = a.so, e.so\n", "conflict: ID 0x00310000 used by a.so, d.so: only the first is accepted\n",
          "conflict: moduleIndex 49 used by a.so, e.so"})
        EXPECT_NE(text.output.find(line), std::string::npos) << line << "\n" << text.output;

    const Inspection json = Inspect({"--json", dir.path().string()});
    EXPECT_EQ(json.exit, 1);
    for (const char* field :
         {"{\"accepted\": false, \"sets\": [", "\"openOrder\": [\"c.so\", \"a.so\", \"b.so\", \"e.so\"]",
          "\"closeOrder\": [[\"b.so\"], [\"c.so\", \"a.so\"], [\"e.so\"]]",
          "\"message\": \"plugin d.so ID 0x00310000 already loaded\""})
        EXPECT_NE(json.output.find(field), std::string::npos) << field << "\n" << json.output;
}

} // namespace
