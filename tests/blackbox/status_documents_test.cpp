// Configuration and status documents through the real executable: what
// product.xml and core.xml change, the files the core writes in its working
// directory, the copy every plugin receives, updates raised by a plugin and
// what survives a restart.
#include <gtest/gtest.h>

#include <signal.h>

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

TEST(Configuration, BadFilesLeaveTheDefaultsAndTheCoreStarts)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
    };
    const std::vector<Case> cases = {
        {"empty", [](const fs::path& f) { WriteFile(f, ""); }},
        {"binary",
         [](const fs::path& f) {
             WriteFile(f, std::string("\x7f"
                                      "ELF\x00\x01\xff<",
                                      8));
         }},
        {"a directory", [](const fs::path& f) { fs::create_directory(f); }},
        {"nested a million levels", [](const fs::path& f) { WriteFile(f, std::string(1'000'000, '<')); }},
        {"many megabytes", [](const fs::path& f) { WriteFile(f, "<Kavo>" + std::string(20'000'000, 'x')); }},
    };
    for (const Case& c : cases) {
        ConfiguredCore run;
        run.AddListener();
        c.make(run.install.work / "product.xml");
        c.make(run.install.work / "core.xml");
        run.Start();
        ASSERT_TRUE(run.core->WaitForOutput("successfully started core version 20.12.8.0")) << c.name;
        ASSERT_TRUE(run.WaitForStatusDocuments(1)) << c.name;
        run.Stop();
        EXPECT_NE(run.StatusDocuments()[0].find("<Memory ID=\"-2147483648\" Throttling=\"1\" />"), std::string::npos)
            << c.name;
    }
}

TEST(Configuration, UpdatesFromAPluginRewriteOncePerChangeAndSurviveARestart)
{
    ConfiguredCore run;
    run.AddListener();
    // Slot 3 is set to 30 by core.xml; the plugin declares 40.
    WriteFile(run.install.work / "core.xml",
              "<Kavo><Modules><Module><Plugin ID=\"196608\" LogLevel=\"30\"/></Module></Modules></Kavo>");
    const std::string update = "<Kavo Delta=\"1\"><Modules><Module><Plugin ID=\"196608\" LogLevel=\"%\"/>"
                               "</Module></Modules></Kavo>";
    auto with = [&](const std::string& level) { return std::regex_replace(update, std::regex("%"), level); };
    std::string author = "id=0x00030000\nlog_level_default=40\n";
    author += "config_text=" + std::regex_replace(with("77"), std::regex(" Delta=\"1\""), "") + "\n";
    author += "config_text=" + with("-1") + "\nconfig_text=" + with("-1") + "\nconfig_text=" + with("60") + "\n";
    run.Add("eventprobe", "author", author);
    run.Start();
    // The start-up document, then one per changing update.
    ASSERT_TRUE(run.WaitForStatusDocuments(4)) << run.core->Output();
    run.Stop();
    std::vector<std::string> levels;
    for (const std::string& document : run.StatusDocuments()) {
        std::smatch match;
        const std::string entry = PluginEntry(document, "196608");
        ASSERT_TRUE(std::regex_search(entry, match, std::regex("LogLevel=\"(-?[0-9]+)\"")));
        levels.push_back(match[1]);
    }
    EXPECT_EQ(levels, (std::vector<std::string>{"30", "-1", "40", "60"}));
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
