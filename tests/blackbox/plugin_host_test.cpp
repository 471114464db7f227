// Plugin discovery, loading, threads, close and unload as plugins and an
// operator see them: the real executable in a temporary installation, real
// libraries (copies of the probe plugin, each with its own configuration,
// journaling every call in one shared file) and the core's terminal lines.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <sstream>

#include "support/journaled_core.h"

namespace {

using namespace dvrtest;

constexpr const char* kStarted = "successfully started core version";
// Colour digit of a terminal line's time stamp, by level.
constexpr char kCriticalColour = '1';
constexpr char kWarningColour = '3';
constexpr char kInfoColour = '2';

class PluginHost : public ::testing::Test {
protected:
    JournaledCore run;
    CoreInstall& install = run.install;
    std::unique_ptr<Process>& core = run.core;

    // Installs a copy of the probe as `fileName` with `config` beside it.
    fs::path AddProbe(const std::string& fileName, const std::string& config, bool protectedDir = false)
    {
        fs::path library = install.AddTestPlugin("probe", fileName, protectedDir);
        WriteConfig(library, config);
        return library;
    }

    // The probe reads "<its path without .so>.conf".
    void WriteConfig(const fs::path& library, const std::string& config)
    {
        std::string base = library.string();
        if (base.size() > 3 && base.compare(base.size() - 3, 3, ".so") == 0)
            base.resize(base.size() - 3);
        WriteFile(base + ".conf", config + "\njournal=" + run.journal.path().string() + "\n");
    }

    void StartCore()
    {
        run.Start();
        ASSERT_TRUE(core->WaitForOutput(kStarted)) << core->Output();
    }
    void StopCore() { run.Stop(); }

    std::vector<std::string> Journal() const { return run.journal.Lines(); }
    bool WaitForJournal(const std::string& line) const { return run.journal.WaitForLine(line); }
    long At(const std::string& line) const { return run.journal.At(line); }

    // Stems of the probes that journaled exactly `call`, in journal order.
    std::vector<std::string> Order(const std::string& call) const
    {
        std::vector<std::string> stems;
        for (const std::string& line : Journal()) {
            size_t space = line.find(' ');
            if (space != std::string::npos && line.substr(space + 1) == call)
                stems.push_back(line.substr(0, space));
        }
        return stems;
    }

    // The terminal line showing `text`; empty when none does.
    std::string TerminalLine(const std::string& text) const
    {
        std::istringstream output(core->Output());
        for (std::string line; std::getline(output, line);)
            if (line.find(text) != std::string::npos)
                return line.substr(0, line.find_last_not_of('\r') + 1);
        return "";
    }

    static char Colour(const std::string& line)
    {
        return line.size() > 4 && line.compare(0, 3, "\033[3") == 0 ? line[3] : '?';
    }

    // Every probe checks the presets of the records it receives and that no
    // thread call of its own still runs when it is unloaded.
    void TearDown() override
    {
        for (const std::string& line : Journal()) {
            EXPECT_EQ(line.find(" bad-record"), std::string::npos) << line;
            EXPECT_EQ(line.find(" threads-running"), std::string::npos) << line;
            EXPECT_EQ(line.find(" Seek"), std::string::npos) << line;
        }
    }
};

using Stems = std::vector<std::string>;

// Only regular files (links followed) named exactly .so load: marked paths
// first, then by path in byte order (Y before b), every file of plugins
// before those of protected-plugins.
TEST_F(PluginHost, RegularDotSoFilesLoadMarkedFirstThenByPathAcrossBothDirectories)
{
    AddProbe("b.so", "id=0x00310000");
    AddProbe("c.so", "id=0x00320000");
    AddProbe("Y.so", "id=0x00330000");
    AddProbe("a.so", "id=0x00340000", true);
    AddProbe("zz_qHubrx.so", "id=0x00350000", true);
    AddProbe("x.so.1", "id=0x00360000");
    AddProbe("Z.SO", "id=0x00370000");
    fs::create_directory(install.plugins / "y.so");
    fs::create_symlink(install.root() / "nowhere.so", install.plugins / "dangling.so");
    fs::create_directories(install.root() / "elsewhere");
    fs::copy_file(fs::path(DVR_TEST_PLUGIN_DIR) / "probe.so", install.root() / "elsewhere" / "target.so");
    fs::create_symlink(install.root() / "elsewhere" / "target.so", install.plugins / "w.so");
    WriteConfig(install.plugins / "w.so", "id=0x00380000");
    StartCore();
    StopCore();

    const Stems order{"zz_qHubrx", "Y", "b", "c", "w", "a"};
    EXPECT_EQ(Order("Load"), order);
    EXPECT_EQ(Order("Open"), order);
    EXPECT_EQ(Order("Unload").size(), order.size());
    EXPECT_EQ(TerminalLine("Failed to load"), "") << core->Output();
}

TEST_F(PluginHost, RejectedLibrariesAreReportedAndNeverCalledAgain)
{
    // The fakes abort in every entry point but Load, so a core that opens or
    // unloads a rejected library dies instead of exiting with 0.
    install.AddTestPlugin("noload");
    install.AddTestPlugin("loadfails");
    install.AddTestPlugin("loaderror");
    install.AddTestPlugin("unresolved");
    WriteFile(install.plugins / "broken.so", "not a shared library\n");
    AddProbe("refuses.so", "id=0x00310000\nload_return=3");
    AddProbe("errs.so", "id=0x00320000\nload_error=-4");
    AddProbe("good.so", "id=0x00330000");
    StartCore();
    StopCore();

    struct Expected {
        std::string text;
        char colour;
    };
    const std::string brokenPath = (install.plugins / "broken.so").string();
    for (const Expected& expected : {
             Expected{"Core: Failed to load plugin: noload.so (missing symbol)", kCriticalColour},
             Expected{"plugin loadfails.so load returned 7 error 0", kCriticalColour},
             Expected{"plugin loaderror.so load returned 0 error 9", kCriticalColour},
             Expected{"plugin refuses.so load returned 3 error 0", kCriticalColour},
             Expected{"plugin errs.so load returned 0 error -4", kCriticalColour},
             Expected{"Core: Failed to load plugin 'broken.so': " + brokenPath, kCriticalColour},
             // Immediate binding: the missing symbol is found at dlopen.
             Expected{"Core: Failed to load plugin 'unresolved.so': ", kCriticalColour},
         }) {
        const std::string line = TerminalLine(expected.text);
        ASSERT_NE(line, "") << expected.text << "\n" << core->Output();
        EXPECT_EQ(Colour(line), expected.colour) << line;
    }
    EXPECT_NE(TerminalLine("undefined symbol: dvr_no_such_function"), "") << core->Output();
    EXPECT_EQ(Order("Load"), (Stems{"errs", "good", "refuses"}));
    EXPECT_EQ(Order("Open"), Stems{"good"});
    EXPECT_EQ(Order("Unload"), Stems{"good"});
}

TEST_F(PluginHost, TheFirstOfTwoEqualIdsIsKeptEvenWithoutEntryPointsButLoad)
{
    AddProbe("first.so", "id=0x00310000");
    AddProbe("second.so", "id=0x00310000");
    // The core's own ID is taken before any plugin loads.
    AddProbe("third.so", "id=0x80000000");
    // bare exports Load alone but asks for a worker, a reader and log lines:
    // accepted, its ID is taken, and no entry point it lacks is ever called.
    install.AddTestPlugin("bare");
    AddProbe("twin.so", "id=0x00530000");
    StartCore();
    StopCore();

    EXPECT_NE(TerminalLine("bare: loaded without other entry points"), "") << core->Output();
    EXPECT_EQ(Order("Load"), (Stems{"first", "second", "third", "twin"}));
    EXPECT_EQ(Order("Open"), Stems{"first"});
    EXPECT_EQ(Order("Unload"), Stems{"first"});
    for (const char* text :
         {"plugin second.so ID 0x00310000 already loaded", "plugin third.so ID 0x80000000 already loaded",
          "plugin twin.so ID 0x00530000 already loaded"}) {
        const std::string line = TerminalLine(text);
        ASSERT_NE(line, "") << text << "\n" << core->Output();
        EXPECT_EQ(Colour(line), kWarningColour) << line;
    }
}

TEST_F(PluginHost, ModuleIndexAbove255IsRejectedAnd255AcceptedWithoutALogSlot)
{
    AddProbe("huge.so", "id=0x01000000");
    AddProbe("top.so", "id=0x0FFF0000");
    // Slot 255 lies past the level tables: its default must not be stored.
    AddProbe("edge.so", "id=0x00FF0000\nlog_level_default=60\nopen_log=30 edge speaks at 30");
    StartCore();
    StopCore();

    for (const char* text :
         {"plugin huge.so ID 0x01000000 exceeds the log level array size, set LogLevelArraySize to 0xfff",
          "plugin top.so ID 0x0FFF0000 exceeds the log level array size, set LogLevelArraySize to 0xfff"}) {
        const std::string line = TerminalLine(text);
        ASSERT_NE(line, "") << text << "\n" << core->Output();
        EXPECT_EQ(Colour(line), kCriticalColour) << line;
    }
    EXPECT_EQ(Order("Open"), Stems{"edge"});
    EXPECT_EQ(Order("Unload"), Stems{"edge"});
    EXPECT_NE(TerminalLine("edge speaks at 30"), "") << core->Output();
}

TEST_F(PluginHost, LoadedDefaultsBecomeThresholdsUnlessTheSlotAlreadyHasOne)
{
    AddProbe("a_strict.so", "id=0x00310000\nlog_level_default=60\n"
                            "open_log=50 strict at 50\nopen_log=70 strict at 70");
    // Same slot, later: its default replaces the slot's default but not the
    // threshold the first one set.
    AddProbe("b_sibling.so", "id=0x00310001\nlog_level_default=30\n"
                             "open_log=40 sibling at 40\nopen_log=70 sibling at 70");
    // Out of range and 0 leave the slot without threshold.
    AddProbe("c_wild.so", "id=0x00320000\nlog_level_default=101\nopen_log=1 wild at 1");
    AddProbe("d_none.so", "id=0x00330000\nopen_log=1 none at 1");
    AddProbe("e_lenient.so", "id=0x00340000\nlog_level_default=20\nopen_log=10 lenient at 10\n"
                             "open_log=20 lenient at 20");
    StartCore();
    StopCore();

    for (const char* shown : {"strict at 70", "sibling at 70", "wild at 1", "none at 1", "lenient at 20"})
        EXPECT_NE(TerminalLine(shown), "") << shown << "\n" << core->Output();
    for (const char* hidden : {"strict at 50", "sibling at 40", "lenient at 10"})
        EXPECT_EQ(TerminalLine(hidden), "") << hidden;
    EXPECT_EQ(Colour(TerminalLine("strict at 70")), kWarningColour);
    EXPECT_EQ(Colour(TerminalLine("lenient at 20")), '5');
}

TEST_F(PluginHost, TheFrontPluginIsOpenedAndServedFirstThoughLoadedLast)
{
    const std::string logLines = "\nwrite=1\nmask6=0x02000002";
    AddProbe("a.so", "id=0x00310000" + logLines);
    AddProbe("b.so", "id=0x00320000" + logLines);
    AddProbe("c.so", "id=0x00060000\nworker=block" + logLines);
    // Stems of the plugins that received the core's log lines, in order.
    auto coreLineWriters = [&] {
        Stems writers;
        for (const std::string& line : Journal())
            if (line.find(" Write 0x80000000 0x40 ") != std::string::npos)
                writers.push_back(line.substr(0, line.find(' ')));
        return writers;
    };
    StartCore();
    ASSERT_TRUE(WaitForJournal("c worker-start"));
    // A stop right away could refuse the start message before it is queued.
    ASSERT_TRUE(WaitUntil([&] { return coreLineWriters().size() >= 3; }));
    StopCore();

    EXPECT_EQ(Order("Load"), (Stems{"a", "b", "c"}));
    EXPECT_EQ(Order("Open"), (Stems{"c", "a", "b"}));
    // Each routed event reaches c before a and b.
    Stems writers = coreLineWriters();
    writers.resize(3);
    EXPECT_EQ(writers, (Stems{"c", "a", "b"}));
    // Its worker started before the record moved to the front and still ran
    // to its end after Close.
    EXPECT_LT(At("c Close"), At("c worker-end"));
    EXPECT_LT(At("c worker-end"), At("c Unload"));
}

TEST_F(PluginHost, CloseAndUnloadGoByDescendingUnsignedCloseKey)
{
    AddProbe("a.so", "id=0x00310000\nmask5=0x10");
    AddProbe("b.so", "id=0x00320000\nmask5=0xFFFFFFFF");
    // A failed Open and failing Close and Unload change nothing.
    AddProbe("c.so", "id=0x00330000\nmask5=0\nopen_return=4\nclose_return=5\nunload_error=6");
    AddProbe("d.so", "id=0x00340000\nmask5=0x80000000");
    StartCore();
    StopCore();

    const Stems closeOrder{"b", "d", "a", "c"};
    EXPECT_EQ(Order("Close"), closeOrder);
    EXPECT_EQ(Order("Unload"), closeOrder);
    EXPECT_LT(At("c Close"), At("b Unload")) << "every Close precedes the first Unload";
    EXPECT_EQ(TerminalLine("close returned"), "") << "level-0 lines stay below the core's threshold";
}

TEST_F(PluginHost, ThreadsEndBeforeTheirPluginIsUnloadedAndUnloadWaitsForThem)
{
    const fs::path readerGo = install.root() / "reader-go";
    AddProbe("held.so", "id=0x00310000\nmask5=0x20\nworker=block\nreader=block\nreader_end_file=" + readerGo.string());
    AddProbe("quick.so", "id=0x00320000\nmask5=0x10\nworker=return");
    AddProbe("idle.so", "id=0x00330000\nmask5=0");
    StartCore();
    ASSERT_TRUE(WaitForJournal("held reader-start"));
    ASSERT_TRUE(WaitForJournal("held worker-start"));
    ASSERT_TRUE(WaitForJournal("quick worker-end")) << "a worker may return long before shutdown";
    // Reader threads start only once every plugin is open.
    EXPECT_GT(At("held reader-start"), At("idle Open"));
    EXPECT_EQ(Order("reader-start"), Stems{"held"});
    Stems workers = Order("worker-start");
    std::sort(workers.begin(), workers.end()); // threads start in no fixed order
    EXPECT_EQ(workers, (Stems{"held", "quick"}));

    core->Signal(SIGTERM);
    ASSERT_TRUE(WaitForJournal("idle Close"));
    ASSERT_TRUE(WaitForJournal("held worker-end")) << "a blocking worker returns after Close";
    // held's reader still runs: nothing may be unloaded before it is joined.
    EXPECT_EQ(Order("Unload"), Stems{});
    WriteFile(readerGo, "");
    EXPECT_EQ(core->WaitExit(), 0) << core->Output();

    EXPECT_LT(At("held reader-end"), At("held Unload"));
    EXPECT_LT(At("held worker-end"), At("held Unload"));
    EXPECT_EQ(Order("Unload"), (Stems{"held", "quick", "idle"}));
}

TEST_F(PluginHost, TheResidentPluginStaysMappedAfterItsUnload)
{
    const fs::path go = install.root() / "unload-go";
    const fs::path resident = AddProbe("resident.so", "id=0x00470000\nmask5=0xFFFFFFFF");
    const fs::path plain = AddProbe("plain.so", "id=0x00310000\nmask5=0x80000000");
    const fs::path last = AddProbe("last.so", "id=0x00320000\nmask5=0\nunload_wait_file=" + go.string());
    StartCore();
    core->Signal(SIGTERM);
    ASSERT_TRUE(WaitForJournal("last Unload"));

    // Both earlier plugins are unloaded now; only the resident one is mapped.
    const std::string maps = ReadFile("/proc/" + std::to_string(core->pid()) + "/maps");
    EXPECT_NE(maps.find(fs::canonical(resident).string()), std::string::npos) << maps;
    EXPECT_EQ(maps.find(fs::canonical(plain).string()), std::string::npos) << maps;
    EXPECT_NE(maps.find(fs::canonical(last).string()), std::string::npos) << maps;
    WriteFile(go, "");
    EXPECT_EQ(core->WaitExit(), 0) << core->Output();
    EXPECT_EQ(Order("Unload"), (Stems{"resident", "plain", "last"}));
}

// Neither plugin directory, or a file where one belongs: the core runs with
// what there is.
TEST_F(PluginHost, MissingPluginDirectoriesOrAFileInTheirPlaceLeaveTheOthersLoaded)
{
    fs::remove_all(install.plugins);
    WriteFile(install.plugins, "");
    fs::remove_all(install.protectedPlugins);
    StartCore();
    StopCore();
    EXPECT_NE(TerminalLine("stopping core version"), "");

    fs::create_directory(install.protectedPlugins);
    AddProbe("only.so", "id=0x00310000", true);
    StartCore();
    StopCore();
    EXPECT_EQ(Order("Unload"), Stems{"only"});
}

TEST(DemoPlugins, RecordFramesKeepTheLogAndStopCleanly)
{
    CoreInstall install;
    for (const char* name : {"camera", "recorder", "logkeeper"})
        install.AddDemoPlugin(name);
    auto core = StartCore(install);
    ASSERT_TRUE(core->WaitForOutput(kStarted)) << core->Output();

    constexpr size_t kFrameBytes = 256;
    const fs::path recording = install.work / "recording.bin";
    const fs::path log = install.work / "core.log";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(recording) && fs::file_size(recording) >= 3 * kFrameBytes; }));
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(log).find(kStarted) != std::string::npos; }));
    core->Signal(SIGTERM);
    EXPECT_EQ(core->WaitExit(), 0) << core->Output();

    const std::string frames = ReadFile(recording);
    EXPECT_EQ(frames.size() % kFrameBytes, 0u);
    EXPECT_EQ(frames.compare(0, 8, std::string("frame 0\0", 8)), 0) << "the stream opens with its key frame";
    for (const char* text :
         {"camera: streaming", "recorder: recording to recording.bin", "recorder: recorded", "camera: stopped after"})
        EXPECT_TRUE(core->WaitForOutput(text)) << text << "\n" << core->Output();
    const std::string kept = ReadFile(log);
    EXPECT_NE(kept.find("25 0x80000000 successfully started core version 20.12.8.0\n"), std::string::npos) << kept;
    EXPECT_NE(kept.find("25 0x00100000 camera: streaming\n"), std::string::npos) << kept;
}

} // namespace
