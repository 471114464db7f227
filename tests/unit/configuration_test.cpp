// Configuration and status documents on a core that is never started: what
// product.xml and core.xml set, what an update changes and when it rewrites,
// and the exact status document and the record it is raised with.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config/xml_document.h"
#include "core/dvrcore.h"
#include "support/core_harness.h"
#include "support/process.h"
#include "unit/other_user.h"

namespace {

using dvrtest::ReadFile;
using dvrtest::TempDir;
using dvrtest::WriteFile;
namespace fs = std::filesystem;

// Runs a test in a fresh temporary directory, the documents' working directory.
class InTempDir {
public:
    InTempDir() : previous_(fs::current_path()) { fs::current_path(dir.path()); }
    ~InTempDir() { fs::current_path(previous_); }

    TempDir dir;

private:
    fs::path previous_;
};

// The documents raised so far, as texts; checks each record on the way.
// Log lines, passed on to the plugins as events too, are left out.
std::vector<std::string> Raised(dvrtest::TestCore& core)
{
    std::vector<std::string> texts;
    for (const _EventParmsIn& event : core.TakeQueued()) {
        if (event.eventType == EVENT_TYPE_LOG)
            continue;
        EXPECT_EQ(event.structSize, sizeof(_EventParmsIn)); // 184 on the 32-bit target
        EXPECT_EQ(event.version, 1u);
        EXPECT_EQ(event.providerID, CORE_PROVIDER_ID);
        EXPECT_EQ(event.requestID, 0u);
        EXPECT_EQ(event.eventType, EVENT_TYPE_CONFIG);
        EXPECT_EQ(event.eventFlags, 0x01000010u);
        texts.emplace_back(static_cast<const char*>(event.data), event.dataSize);
    }
    return texts;
}

void AddPlugin(dvrtest::TestCore& core, uint32_t systemID, const std::string& filename, int64_t loadMs, int64_t openMs,
               int32_t openCode)
{
    core.AddPlugin(systemID, filename, [&](PLUGININFO& plugin) {
        plugin.LoadTimeMs = loadMs;
        plugin.OpenTimeMs = openMs;
        plugin.OpenCode = openCode;
    });
}

std::string CoreXml(const std::string& plugins, const std::string& memory = "<Memory Throttling=\"1\"/>")
{
    return "<?xml ?><Kavo>" + memory + "<Modules><Module ID=\"-2147483648\">" + plugins + "</Module></Modules></Kavo>";
}

TEST(ReadConfiguration, SetsWhatTheFilesSayAndSkipsBadEntriesOneByOne)
{
    struct Case {
        const char* name;
        std::string coreXml;
        int slot;
        int level;
    };
    const std::vector<Case> cases = {
        {"-1 takes the default", CoreXml(R"(<Plugin ID="131072" LogLevel="-1" LogLevelDefault="40"/>)"), 2, 40},
        {"a level wins over the default", CoreXml(R"(<Plugin ID="131072" LogLevel="60" LogLevelDefault="40"/>)"), 2,
         60},
        {"101 is ignored", CoreXml(R"(<Plugin ID="131072" LogLevel="101"/>)"), 2, -1},
        {"the core's own slot", CoreXml(R"(<Plugin ID="-2147483648" LogLevel="50"/>)"), 0, 50},
        {"low 8 bits of the default", CoreXml(R"(<Plugin ID="196608" LogLevel="-1" LogLevelDefault="300"/>)"), 3, 44},
        {"later entries win", CoreXml(R"(<Plugin ID="131072" LogLevel="10"/><Plugin ID="131072" LogLevel="20"/>)"), 2,
         20},
        {"a bad ID skips only its entry",
         CoreXml(R"(<Plugin ID="2x" LogLevel="10"/><Plugin ID="99999999999" LogLevel="10"/>)"
                 R"(<Plugin ID="131072" LogLevel="30"/>)"),
         2, 30},
        {"slot 255 is beyond the tables", CoreXml(R"(<Plugin ID="16711680" LogLevel="30"/>)"), 254, -1},
        {"a word for a level", CoreXml(R"(<Plugin ID="131072" LogLevel="loud"/>)"), 2, -1},
    };
    for (const Case& c : cases) {
        InTempDir here;
        dvrtest::TestCore core;
        WriteFile("core.xml", c.coreXml);
        core.documents().ReadConfiguration();
        EXPECT_EQ(core.logLevels[c.slot].load(), c.level) << c.name;
    }
}

// Lines the core logged from `first` on, each checked to be a warning.
std::vector<std::string> WarningsFrom(const dvrtest::TestCore& core, size_t first)
{
    std::vector<std::string> texts;
    const std::vector<dvrtest::LogLine> lines = core.Lines();
    for (size_t i = first; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, static_cast<uint32_t>(LEVEL_WARNING)) << lines[i].text;
        texts.push_back(lines[i].text);
    }
    return texts;
}

// Permissions only bind a user other than root: the core reads and saves as
// nobody in a child process.
TEST(ReadConfiguration, FilesItMayNotReadOrReplaceAreKeptAndSaid)
{
    const std::string settings = "<Kavo><Memory Throttling=\"0\"/></Kavo>";
    struct Case {
        const char* name;
        fs::perms directory;
        fs::perms file;
        std::string lines;     // what the core logged, one line each
        std::string coreXml;   // afterwards; empty: a fresh status document
        std::string keptAside; // core.xml.rejected afterwards; empty: absent
    };
    const fs::perms readOnly = fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec;
    const std::vector<Case> cases = {
        {"unreadable core.xml", fs::perms::all, fs::perms::owner_read | fs::perms::owner_write,
         "core.xml cannot be used: Failed to open file: Permission denied; kept as core.xml.rejected; using the "
         "defaults\n",
         "", settings},
        {"read-only directory", readOnly, fs::perms::owner_read | fs::perms::others_read,
         "cannot save core.xml: create core.xml.pending: Permission denied\n"
         "cannot save plugins.xml: create plugins.xml.pending: Permission denied\n",
         settings, ""},
        {"unreadable core.xml in a read-only directory", readOnly, fs::perms::owner_read,
         "core.xml cannot be used: Failed to open file: Permission denied; it could not be kept aside (rename to "
         "core.xml.rejected: Permission denied) and will not be replaced; using the defaults\n"
         "cannot save core.xml: an unusable file is in its place and could not be moved aside\n"
         "cannot save plugins.xml: create plugins.xml.pending: Permission denied\n",
         settings, ""},
    };
    for (const Case& c : cases) {
        InTempDir here;
        dvrtest::TestCore core;
        WriteFile("core.xml", settings);
        fs::permissions("core.xml", c.file);
        fs::permissions(here.dir.path(), c.directory);
        const std::string logged = dvrtest::AsAnotherUser([&] {
            core.documents().ReadConfiguration();
            core.documents().WriteStatus();
            core.documents().WriteStatus(); // a second save says nothing new
            std::string text;
            for (const std::string& line : WarningsFrom(core, 0))
                text += line + "\n";
            return text;
        });
        fs::permissions(here.dir.path(), fs::perms::owner_all);
        EXPECT_EQ(logged, c.lines) << c.name;
        if (c.coreXml.empty()) {
            EXPECT_EQ(ReadFile("core.xml").rfind("<?xml ?>\n<Kavo Delta=\"0\">", 0), 0u) << c.name;
        } else {
            EXPECT_EQ(ReadFile("core.xml"), c.coreXml) << c.name;
        }
        EXPECT_EQ(fs::exists("core.xml.rejected") ? ReadFile("core.xml.rejected") : "", c.keptAside) << c.name;
    }
}

TEST(StatusDocument, AFailingSaveIsToldOncePerCauseAndItsRecoveryOnce)
{
    InTempDir here;
    dvrtest::TestCore core;
    fs::create_directory("core.xml.bak");
    core.documents().WriteStatus();
    core.documents().WriteStatus();
    fs::remove("core.xml.bak");
    ASSERT_EQ(mkfifo("core.xml", 0600), 0);
    core.documents().WriteStatus();
    core.documents().WriteStatus();
    fs::remove("core.xml");
    core.documents().WriteStatus();
    core.documents().WriteStatus();
    EXPECT_EQ(WarningsFrom(core, 0), (std::vector<std::string>{
                                         "cannot save core.xml: remove core.xml.bak: Is a directory",
                                         "cannot save core.xml: replace core.xml: not a regular file but a FIFO",
                                         "saved core.xml again",
                                     }));
    // plugins.xml, saved every time, said nothing; the documents were raised.
    EXPECT_EQ(ReadFile("plugins.xml"), ReadFile("core.xml"));
    EXPECT_EQ(Raised(core).size(), 6u);
}

std::string Update(const std::string& plugins, const std::string& delta = R"(Delta="1")")
{
    return "<Kavo " + delta + "><Modules><Module>" + plugins + "</Module></Modules></Kavo>";
}

TEST(ParseConfig, ChangesThresholdsAndRewritesOncePerChangeOrRefusesTheWholeDocument)
{
    struct Step {
        const char* name;
        std::string text;
        int level;           // slot 2 afterwards
        int rewrites;        // status documents raised by this update
        std::string refusal; // the line that refuses it; empty: none
    };
    std::string attributes, deep;
    for (int i = 0; i <= MAX_ATTRIBUTES_PER_ELEMENT; ++i)
        attributes += " a" + std::to_string(i) + "=\"1\"";
    for (int i = 0; i < 100; ++i)
        deep += "<a>"; // inside Kavo, Modules and Module
    // Slot 2 starts at 30 with a declared default of 40.
    const std::vector<Step> steps = {
        {"no Delta", Update(R"(<Plugin ID="131072" LogLevel="60"/>)", ""), 30, 0, ""},
        {"Delta 0", Update(R"(<Plugin ID="131072" LogLevel="60"/>)", R"(Delta="0")"), 30, 0, ""},
        {"the same value", Update(R"(<Plugin ID="131072" LogLevel="30"/>)"), 30, 0, ""},
        {"out of range", Update(R"(<Plugin ID="131072" LogLevel="101"/>)"), 30, 0, ""},
        {"first -1 clears", Update(R"(<Plugin ID="131072" LogLevel="-1"/>)"), -1, 1, ""},
        {"second -1 restores the default", Update(R"(<Plugin ID="131072" LogLevel="-1"/>)"), 40, 1, ""},
        {"two changes, one rewrite",
         Update(R"(<Plugin ID="131072" LogLevel="10"/><Plugin ID="196608" LogLevel="10"/>)"), 10, 1, ""},
        {"malformed after a good entry", Update(R"(<Plugin ID="131072" LogLevel="70"/>)").substr(0, 80), 10, 0,
         "configuration update refused: Error reading end tag. (row 1, column 78)"},
        {"deep after a good entry",
         R"(<Kavo Delta="1"><Modules><Module><Plugin ID="131072" LogLevel="80"/>)" + std::string(1'000'000, '<') +
             "<x>",
         10, 0, "configuration update refused: Error reading Element value."},
        {"nested too deeply after a good entry", Update(R"(<Plugin ID="131072" LogLevel="80"/>)" + deep), 10, 0,
         "configuration update refused: Elements nested too deeply (exceeds the configured maximum parse depth). "
         "(row 1, column 360)"},
        {"too many attributes after a good entry",
         Update(R"(<Plugin ID="131072" LogLevel="80"/><Plugin)" + attributes + "/>"), 10, 0,
         "configuration update refused: Too many attributes on one element (more than 256). (row 1, column 69)"},
        {"huge and broken, not an update", std::string(20'000'000, 'x'), 10, 0, ""},
        {"broken, not an update", Update(R"(<Plugin ID="131072" LogLevel="70">)", R"(Delta="0")"), 10, 0, ""},
    };
    InTempDir here;
    dvrtest::TestCore core;
    core.logLevels[2] = 30;
    core.defaultLogLevels[2] = 40;
    for (const Step& step : steps) {
        const size_t linesBefore = core.Lines().size();
        core.ParseConfig(step.text);
        EXPECT_EQ(core.logLevels[2].load(), step.level) << step.name;
        EXPECT_EQ(Raised(core).size(), static_cast<size_t>(step.rewrites)) << step.name;
        EXPECT_EQ(WarningsFrom(core, linesBefore),
                  step.refusal.empty() ? std::vector<std::string>{} : std::vector<std::string>{step.refusal})
            << step.name;
    }
}

// The black-box tests check the whole document; here what a real plugin
// cannot produce: times beyond 32 bits, a slot beyond the tables, a stop.
TEST(StatusDocument, LowBitsOfTimesNoSlotNoThresholdsAndNothingRaisedWhileStopping)
{
    InTempDir here;
    dvrtest::TestCore core;
    AddPlugin(core, 0x00030000, "three.so", 0x1'0000'0005, 0xFFFF'FFFF, 5);
    AddPlugin(core, 0x00FF0001, "wide.so", 1, 2, 0); // slot 255
    core.documents().WriteStatus();
    const std::string coreXml = ReadFile("core.xml");
    EXPECT_NE(coreXml.find("<Modules TotalLoadTimeMs=\"6\" TotalOpenTimeMs=\"1\">"), std::string::npos) << coreXml;
    EXPECT_NE(coreXml.find("Filename=\"three.so\" Opened=\"1\" LoadTimeMs=\"5\" OpenTimeMs=\"-1\" OpenCode=\"5\""),
              std::string::npos);
    EXPECT_NE(coreXml.find("Filename=\"wide.so\" Opened=\"1\" LoadTimeMs=\"1\" OpenTimeMs=\"2\" OpenCode=\"0\" "
                           "LogLevel=\"-1\" LogLevelDefault=\"-1\" />"),
              std::string::npos);
    ASSERT_EQ(Raised(core).size(), 1u);

    // Refused while the core stops: nothing is raised, nothing is said.
    core.RequestStop();
    core.documents().WriteStatus();
    EXPECT_TRUE(Raised(core).empty());
}

} // namespace
