// What a plugin author sees through the development supervisor: the core's
// lines when the output goes to a pipe, and the core's detail lines (the leak
// report above all) at the flip of a switch.
#include <gtest/gtest.h>

#include <cstdlib>

#include <signal.h>

#include "support/process.h"

namespace {

using namespace dvrtest;

const std::string kStarted = "successfully started core version";

// `hostCore`: the core given is a script of this machine, started as it is
// rather than through the emulator a cross-built core needs.
std::unique_ptr<Process> RunDevSupervisor(const CoreInstall& install, std::vector<std::string> args,
                                          bool hostCore = false)
{
    ProcessOptions options;
    options.args = std::move(args);
    options.cwd = install.work;
    options.pty = false; // as under `| tee log`
    if (hostCore)
        options.env.emplace_back("DVR_EMULATOR", "");
    return Process::Start(DVR_SUPERVISOR_EXE, options);
}

TEST(DevSupervisorForAuthors, RelaysTheCoresLinesIntoAPipeWithoutColours)
{
    for (const bool relay : {true, false}) {
        CoreInstall install;
        install.AddDemoPlugin("recorder");
        std::vector<std::string> args{install.exe.string()};
        if (!relay)
            args.insert(args.begin(), "--no-relay");
        auto supervisor = RunDevSupervisor(install, args);
        if (relay) {
            ASSERT_TRUE(supervisor->WaitForOutput(kStarted)) << supervisor->Output();
        } else {
            ASSERT_TRUE(supervisor->WaitForOutput("end of standard input")) << supervisor->Output();
        }
        supervisor->Signal(SIGTERM);
        ASSERT_EQ(supervisor->WaitExit(), 0) << supervisor->Output();
        const std::string output = supervisor->Output();
        // The last line the core writes, after its plugins are closed.
        EXPECT_EQ(output.find("recorder: recorded 0 frames") != std::string::npos, relay) << output;
        EXPECT_EQ(output.find('\033'), std::string::npos) << output;
        EXPECT_EQ(output.find('\r'), std::string::npos) << output;
    }
}

TEST(DevSupervisorForAuthors, SetsTheCoresThresholdInCoreXmlKeepingTheRest)
{
    CoreInstall install;
    fs::path fakeCore = install.bin / "quiet-core";
    WriteFile(fakeCore, "#!/bin/sh\nexit 0\n");
    fs::permissions(fakeCore, fs::perms::owner_all);
    const fs::path coreXml = install.work / "core.xml";

    // No core.xml yet: one is made holding the core's entry.
    ASSERT_EQ(RunDevSupervisor(install, {"--detail", fakeCore.string()}, true)->WaitExit(), 0);
    EXPECT_NE(ReadFile(coreXml).find("<Plugin ID=\"-2147483648\" LogLevel=\"0\" />"), std::string::npos)
        << ReadFile(coreXml);

    // A core.xml the core wrote: its entry changes, nothing else does.
    WriteFile(coreXml, "<Kavo><Memory ID=\"1\" Throttling=\"0\" /><Modules><Module Name=\"core\">"
                       "<Plugin ID=\"-2147483648\" LogLevel=\"25\" Filename=\"dvrcore\" /></Module>"
                       "<Module><Plugin ID=\"1179648\" LogLevel=\"40\" /></Module></Modules></Kavo>");
    ASSERT_EQ(RunDevSupervisor(install, {"--core-log-level", "10", fakeCore.string()}, true)->WaitExit(), 0);
    const std::string updated = ReadFile(coreXml);
    for (const char* kept : {"Throttling=\"0\"", "<Plugin ID=\"-2147483648\" LogLevel=\"10\" Filename=\"dvrcore\" />",
                             "<Plugin ID=\"1179648\" LogLevel=\"40\" />"})
        EXPECT_NE(updated.find(kept), std::string::npos) << kept << "\n" << updated;
    EXPECT_EQ(updated.find("LogLevel=\"25\""), std::string::npos) << updated;

    // A level out of range is a usage error and leaves the file alone.
    EXPECT_EQ(RunDevSupervisor(install, {"--core-log-level", "101", fakeCore.string()}, true)->WaitExit(), 2);
    EXPECT_EQ(ReadFile(coreXml), updated);
}

TEST(DevSupervisorForAuthors, DetailSwitchShowsTheLeakReportOfALeakingPlugin)
{
    // The blocks the plugin keeps are the leak the core reports itself; the
    // leak checker of a sanitizer build must not end the core over them.
    const char* asanOptions = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asanOptions ? asanOptions : "") + ":detect_leaks=0").c_str(), 1);
    CoreInstall install;
    install.AddDemoPlugin("camera");
    install.AddTestPlugin("leaky");
    auto supervisor = RunDevSupervisor(install, {"--detail", install.exe.string()});
    ASSERT_TRUE(supervisor->WaitForOutput("leaky: keeping blocks")) << supervisor->Output();
    if (supervisor->Output().find("Core: Loaded plugin") == std::string::npos) {
        supervisor->Signal(SIGTERM);
        supervisor->WaitExit();
        GTEST_SKIP() << "this core does not read its threshold from core.xml";
    }
    supervisor->Signal(SIGTERM);
    ASSERT_EQ(supervisor->WaitExit(), 0) << supervisor->Output();
    EXPECT_NE(supervisor->Output().find("leaked by plugins ["), std::string::npos) << supervisor->Output();
}

} // namespace
