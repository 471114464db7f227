// Configuration and status documents through the real executable: what
// product.xml and core.xml change, the files the core writes in its working
// directory, the copy every plugin receives, updates raised by a plugin and
// what survives a restart.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dvrplugin.h"
#include "support/journaled_core.h"

namespace {

using namespace dvrtest;
using namespace std::string_literals;

const std::string kStatusPrefix = "<?xml ?><Kavo Delta=\"0\">";

// The shared fixture with a listener that keeps every configuration
// document it receives.
class ConfiguredCore : public JournaledCore {
public:
    // An eventprobe that keeps what it receives as dump.1, dump.2, ...
    void AddListener(const std::string& name = "listener", const std::string& conf = "id=0x00200000\n")
    {
        Add("eventprobe", name, conf + "config_dump=" + (install.root() / name).string() + "\n");
        listener = name;
    }

    // Configuration documents the listener received, in order.
    std::vector<std::string> Received() const
    {
        std::vector<std::string> documents;
        for (int i = 1;; ++i) {
            const fs::path file = install.root() / (listener + "." + std::to_string(i));
            if (!fs::exists(file))
                return documents;
            documents.push_back(ReadFile(file));
        }
    }
    void ForgetReceived() const
    {
        for (int i = 1; fs::remove(install.root() / (listener + "." + std::to_string(i))); ++i) {
        }
    }
    std::vector<std::string> StatusDocuments() const
    {
        std::vector<std::string> status;
        for (const std::string& document : Received())
            if (document.rfind(kStatusPrefix, 0) == 0)
                status.push_back(document);
        return status;
    }
    bool WaitForStatusDocuments(size_t count) const
    {
        return WaitUntil([&] { return StatusDocuments().size() >= count; });
    }
    std::string File(const std::string& name) const { return ReadFile(install.work / name); }

    std::string listener = "listener";
};

// The times vary from run to run; everything else is compared exactly.
std::string WithoutTimes(const std::string& text)
{
    return std::regex_replace(text, std::regex("(Total)?(Load|Open)Time(Ms)?=\"[0-9]+\""), "$1$2TimeMs=\"T\"");
}

// The attributes of the Plugin entry for `id` in a status document.
std::string PluginEntry(const std::string& document, const std::string& id)
{
    std::smatch match;
    const std::regex entry("<Plugin ID=\"" + id + "\"[^>]*/>");
    return std::regex_search(document, match, entry) ? WithoutTimes(match.str()) : "";
}

TEST(StatusDocuments, StartInAnEmptyDirectoryAndDescribeEveryPlugin)
{
    ConfiguredCore run;
    run.AddListener("listener", "id=0x00030000\nlog_level_default=40\n");
    run.Add("probe", "opener", "id=0x00040000\nopen_return=5\n");
    // Libraries that cannot be opened, named so that byte order and
    // alphabetical order differ.
    run.install.AddTestPlugin("unresolved", "broken.so");
    run.install.AddTestPlugin("unresolved", "Zbroken.so");
    run.Start();
    ASSERT_TRUE(run.WaitForStatusDocuments(1)) << run.core->Output();
    run.Stop();

    const std::string expected =
        "<?xml ?>\n"
        "<Kavo Delta=\"0\">\n"
        "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
        "    <Modules TotalLoadTimeMs=\"T\" TotalOpenTimeMs=\"T\">\n"
        "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"20.12.8.0\">\n"
        "            <Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"T\" "
        "OpenTimeMs=\"T\" OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"25\" />\n"
        "            <Plugin ID=\"196608\" Filename=\"listener.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
        "OpenCode=\"0\" LogLevel=\"40\" LogLevelDefault=\"40\" />\n"
        "            <Plugin ID=\"262144\" Filename=\"opener.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
        "OpenCode=\"5\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
        "            <Plugin ID=\"1\" Filename=\"Zbroken.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
        "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
        "            <Plugin ID=\"2\" Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
        "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\" />\n"
        "        </Module>\n"
        "        <Module ID=\"1\" Name=\"Zbroken.so\" Version=\"";
    const std::string coreXml = run.File("core.xml");
    EXPECT_EQ(WithoutTimes(coreXml).substr(0, expected.size()), expected);
    EXPECT_NE(coreXml.find("<Module ID=\"2\" Name=\"broken.so\" Version=\""), std::string::npos);
    const std::string end = "    </Modules>\n</Kavo>\n";
    EXPECT_EQ(coreXml.substr(coreXml.size() - end.size()), end);
    EXPECT_EQ(run.File("plugins.xml"), coreXml);
    EXPECT_EQ(coreXml.find("Product"), std::string::npos);
    EXPECT_EQ(coreXml.find("Library"), std::string::npos); // no supervisor, no Library
    EXPECT_FALSE(fs::exists(run.install.work / "core.xml.bak"));
    EXPECT_FALSE(fs::exists(run.install.work / "core.xml.pending"));

    // Every plugin got the document through IOCTL_CONFIG, on one line, with
    // the product last and dataSize its exact length.
    const std::vector<std::string> raised = run.StatusDocuments();
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].find('\n'), std::string::npos);
    const std::string product = "<Product Family=\"tarvoSentry\" Version=\"20.12.8.0\" /></Kavo>";
    EXPECT_EQ(raised[0].substr(raised[0].size() - product.size()), product);
    const std::string journal = run.journal.Text();
    EXPECT_NE(journal.find("listener IOCTL 2 " + std::to_string(raised[0].size()) + " " + kStatusPrefix.substr(0, 64)),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("opener IOCTL 2 " + std::to_string(raised[0].size()) + " "), std::string::npos);
}

TEST(StatusDocuments, LibraryEntryOnlyAfterAConfigurationPacketWithAVersion)
{
    for (const std::string& payload : {"tarvod"s, "tarvod\0"
                                                  "4.2.1"s}) {
        ConfiguredCore run;
        run.AddListener();
        run.core = StartCore(run.install, &run.supervisor); // configured by the test
        ASSERT_TRUE(run.supervisor.Send(IPC_KIND_CONFIG, 0, payload));
        ASSERT_TRUE(run.WaitForStatusDocuments(1)) << run.core->Output();
        ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
        ASSERT_EQ(run.core->WaitExit(), 0) << run.core->Output();
        const bool versioned = payload.size() > 6;
        const std::string library = "<Library Name=\"tarvod\" Filename=\"tarvod\" Version=\"4.2.1\" />";
        EXPECT_EQ(run.File("core.xml").find(library) != std::string::npos, versioned) << run.File("core.xml");
        EXPECT_EQ(run.StatusDocuments()[0].find(library) != std::string::npos, versioned);
    }
}

TEST(Configuration, FilesSetVersionThresholdsAndThrottling)
{
    ConfiguredCore run;
    run.AddListener("listener", "id=0x00030000\nlog_level_default=40\n");
    WriteFile(run.install.work / "product.xml", "<P><Product Family=\"Kavo\" Version=\"21.3.0.1\"/></P>");
    WriteFile(run.install.work / "core.xml",
              "<Kavo><Memory Throttling=\"0\"/><Modules><Module>"
              "<Plugin ID=\"196608\" LogLevel=\"60\" LogLevelDefault=\"10\"/></Module></Modules></Kavo>");
    run.Start();
    ASSERT_TRUE(run.core->WaitForOutput("successfully started core version 21.3.0.1")) << run.core->Output();
    ASSERT_TRUE(run.WaitForStatusDocuments(1));
    run.Stop();
    const std::string coreXml = run.File("core.xml");
    EXPECT_NE(coreXml.find("<Memory ID=\"-2147483648\" Throttling=\"0\" />"), std::string::npos) << coreXml;
    // The configured threshold wins over the plugin's own default.
    EXPECT_EQ(PluginEntry(coreXml, "196608"),
              "<Plugin ID=\"196608\" Filename=\"listener.so\" Opened=\"1\" LoadTimeMs=\"T\" OpenTimeMs=\"T\" "
              "OpenCode=\"0\" LogLevel=\"60\" LogLevelDefault=\"40\" />");
    EXPECT_NE(run.StatusDocuments()[0].find("<Product Family=\"Kavo\" Version=\"21.3.0.1\" />"), std::string::npos);
}

TEST(Configuration, TheCoresOwnThresholdHidesTheStartLine)
{
    ConfiguredCore run;
    run.AddListener();
    WriteFile(run.install.work / "core.xml",
              "<Kavo><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"50\"/></Module></Modules></Kavo>");
    run.Start();
    ASSERT_TRUE(run.WaitForStatusDocuments(1)) << run.core->Output();
    run.Stop();
    EXPECT_EQ(run.core->CountOutput("successfully started core version"), 0u) << run.core->Output();
    EXPECT_NE(PluginEntry(run.File("core.xml"), "-2147483648").find("LogLevel=\"50\""), std::string::npos);
}

// Odd files in the working directory, as operators and broken disks leave
// them. For each: the core starts, follows no link, replaces nothing that is
// not its own regular file, tells every file it cannot use or save once (a
// second save, after an update, adds no line), and the operator's file is
// still there, kept aside when it had to go. One row per way in; the other
// odd files and the exact errors are the XML layer's and the documents' unit
// tables (XmlLoad, SafeSave, StatusDocument).
TEST(Configuration, OddFilesNeitherHangTheCoreNorLeadItOutsideNorGoUnmentioned)
{
    const std::string settings = "<Kavo><Memory Throttling=\"0\"/></Kavo>";
    const std::string update = "<Kavo Delta=\"1\"><Modules><Module><Plugin ID=\"196608\" LogLevel=\"60\"/>"
                               "</Module></Modules></Kavo>";
    auto type = [](const fs::path& path) { return fs::symlink_status(path).type(); };
    struct Case {
        const char* name;
        std::function<void(const fs::path& work, const fs::path& outside)> make;
        std::string line; // logged once
        std::function<void(const fs::path& work, const fs::path& outside)> check;
        bool throttling = true; // as the core starts
    };
    const auto kept = [&](const std::string& name, fs::file_type kind) {
        return [=](const fs::path& work, const fs::path&) {
            EXPECT_EQ(type(work / (name + ".rejected")), kind);
            // core.xml is written anew; product.xml is only read.
            EXPECT_EQ(type(work / name), name == "core.xml" ? fs::file_type::regular : fs::file_type::not_found);
        };
    };
    const std::vector<Case> cases = {
        {"core.xml oversized",
         [&](const fs::path& work, const fs::path&) {
             WriteFile(work / "core.xml", "<Kavo><Memory Throttling=\"0\"/>" + std::string(9'000'000, ' ') + "</Kavo>");
         },
         "core.xml cannot be used: File larger than 8388608 bytes.; kept as core.xml.rejected; using the defaults",
         [&](const fs::path& work, const fs::path&) {
             EXPECT_EQ(fs::file_size(work / "core.xml.rejected"), 9'000'037u);
         }},
        {"core.xml not well-formed beside a good backup",
         [&](const fs::path& work, const fs::path&) {
             WriteFile(work / "core.xml", "<Kavo");
             WriteFile(work / "core.xml.bak", settings);
         },
         "core.xml cannot be used: Failed to read Element name (row 1, column 2); kept as core.xml.rejected; using "
         "core.xml.bak",
         [&](const fs::path& work, const fs::path&) {
             EXPECT_EQ(ReadFile(work / "core.xml.rejected"), "<Kavo");
             EXPECT_FALSE(fs::exists(work / "core.xml.bak"));
         },
         false},
        {"core.xml a directory",
         [&](const fs::path& work, const fs::path&) { fs::create_directory(work / "core.xml"); },
         "core.xml cannot be used: Not a regular file: a directory.; kept as core.xml.rejected; using the defaults",
         kept("core.xml", fs::file_type::directory)},
        {"core.xml a FIFO",
         [&](const fs::path& work, const fs::path&) { ASSERT_EQ(mkfifo((work / "core.xml").c_str(), 0600), 0); },
         "core.xml cannot be used: Not a regular file: a FIFO.; kept as core.xml.rejected; using the defaults",
         kept("core.xml", fs::file_type::fifo)},
        {"core.xml a link to a file outside",
         [&](const fs::path& work, const fs::path& outside) {
             WriteFile(outside / "core.xml", settings);
             fs::create_symlink(outside / "core.xml", work / "core.xml");
         },
         "core.xml cannot be used: Not a regular file: a symbolic link.; kept as core.xml.rejected; using the defaults",
         [&](const fs::path& work, const fs::path& outside) {
             EXPECT_EQ(type(work / "core.xml.rejected"), fs::file_type::symlink);
             EXPECT_EQ(ReadFile(outside / "core.xml"), settings);
         }},
        {"product.xml a million levels deep",
         [&](const fs::path& work, const fs::path&) {
             std::string deep;
             for (int i = 0; i < 1'000'000; ++i)
                 deep += "<a>";
             WriteFile(work / "product.xml", deep);
         },
         "product.xml cannot be used: Elements nested too deeply (exceeds the configured maximum parse depth). (row 1, "
         "column 301); kept as product.xml.rejected; using the defaults",
         kept("product.xml", fs::file_type::regular)},
        {"plugins.xml a link to a file outside",
         [&](const fs::path& work, const fs::path& outside) {
             WriteFile(outside / "plugins.xml", "theirs");
             fs::create_symlink(outside / "plugins.xml", work / "plugins.xml");
         },
         "cannot save plugins.xml: replace plugins.xml: not a regular file but a symbolic link",
         [&](const fs::path& work, const fs::path& outside) {
             EXPECT_EQ(type(work / "plugins.xml"), fs::file_type::symlink);
             EXPECT_EQ(ReadFile(outside / "plugins.xml"), "theirs");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConfiguredCore run;
        run.AddListener();
        // Raises an update at Open: a second save after the one at start-up.
        run.Add("eventprobe", "author", "id=0x00030000\nconfig_text=" + update + "\n");
        const fs::path outside = run.install.root() / "outside";
        fs::create_directory(outside);
        c.make(run.install.work, outside);
        run.Start();
        ASSERT_TRUE(run.core->WaitForOutput("successfully started core version 20.12.8.0")) << run.core->Output();
        ASSERT_TRUE(run.WaitForStatusDocuments(2)) << run.core->Output();
        run.Stop();
        if (!c.line.empty()) {
            EXPECT_EQ(run.core->CountOutput(c.line), 1u) << run.core->Output();
        }
        const size_t said = run.core->CountOutput(" cannot be used: ") + run.core->CountOutput("cannot save ");
        EXPECT_EQ(said, c.line.empty() ? 0u : 1u) << run.core->Output();
        EXPECT_EQ(run.StatusDocuments().size(), 2u);
        EXPECT_NE(run.StatusDocuments()[0].find(c.throttling ? "Throttling=\"1\"" : "Throttling=\"0\""),
                  std::string::npos);
        c.check(run.install.work, outside);
    }
}

// Which updates change a threshold and when they rewrite is the unit tests'
// table; here an update raised by a real plugin reaches the documents and
// outlives a restart.
TEST(Configuration, AnUpdateFromAPluginIsSavedAndSurvivesARestart)
{
    ConfiguredCore run;
    run.AddListener();
    // Slot 3 is set to 30 by core.xml; the plugin declares 40.
    WriteFile(run.install.work / "core.xml",
              "<Kavo><Modules><Module><Plugin ID=\"196608\" LogLevel=\"30\"/></Module></Modules></Kavo>");
    run.Add("eventprobe", "author",
            "id=0x00030000\nlog_level_default=40\nconfig_text=<Kavo Delta=\"1\"><Modules><Module>"
            "<Plugin ID=\"196608\" LogLevel=\"60\"/></Module></Modules></Kavo>\n");
    run.Start();
    // The start-up document, then the one the update made.
    ASSERT_TRUE(run.WaitForStatusDocuments(2)) << run.core->Output();
    run.Stop();
    ASSERT_EQ(run.StatusDocuments().size(), 2u);
    EXPECT_NE(PluginEntry(run.StatusDocuments()[0], "196608").find("LogLevel=\"30\""), std::string::npos);
    EXPECT_NE(PluginEntry(run.StatusDocuments()[1], "196608").find("LogLevel=\"60\""), std::string::npos);
    EXPECT_NE(PluginEntry(run.File("core.xml"), "196608").find("LogLevel=\"60\""), std::string::npos);

    // Restarted without updates, the core keeps 60 over the plugin's 40.
    run.Add("eventprobe", "author", "id=0x00030000\nlog_level_default=40\n");
    run.ForgetReceived();
    run.Start();
    ASSERT_TRUE(run.WaitForStatusDocuments(1)) << run.core->Output();
    run.Stop();
    EXPECT_NE(PluginEntry(run.StatusDocuments()[0], "196608").find("LogLevel=\"60\" LogLevelDefault=\"40\""),
              std::string::npos)
        << run.StatusDocuments()[0];
}

} // namespace
