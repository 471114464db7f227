// The plugin test harness as a plugin author's test uses it: the demo plugins
// driven without a core, a leaking plugin caught, verdicts in the core's words.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "dvrharness.h"
#include "support/process.h"

namespace {

using namespace dvrtest;

std::string Demo(const std::string& name)
{
    return std::string(DVR_DEMO_PLUGIN_DIR) + "/" + name + ".so";
}

std::string TestPlugin(const std::string& name)
{
    return std::string(DVR_TEST_PLUGIN_DIR) + "/" + name + ".so";
}

std::vector<std::string> LogLines(const DvrHarness* harness)
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < DvrHarnessLogCount(harness); ++i)
        lines.push_back(DvrHarnessLogLine(harness, i));
    return lines;
}

_EventParmsIn Event(uint32_t type, uint32_t flags, void* data, uint32_t size)
{
    _EventParmsIn event;
    _EventParmsOut unused;
    DvrInitEvent(&event, &unused, 0x00100000u, type, flags);
    event.data = data;
    event.dataSize = size;
    return event;
}

// Runs in a directory of its own: the recorder writes into the working directory.
class Harness : public ::testing::Test {
protected:
    TempDir dir;
    fs::path previous = fs::current_path();
    DvrHarness* harness = nullptr;

    void SetUp() override { fs::current_path(dir.path()); }
    void TearDown() override
    {
        DvrHarnessUnload(harness);
        fs::current_path(previous);
    }
    void Load(const std::string& path)
    {
        harness = DvrHarnessLoad(path.c_str());
        ASSERT_NE(harness, nullptr);
        ASSERT_EQ(DvrHarnessRejection(harness), nullptr) << DvrHarnessRejection(harness);
    }
};

TEST_F(Harness, DrivesTheRecorderByTheCoresRoutingAndThresholds)
{
    Load(Demo("recorder"));
    ASSERT_EQ(DvrHarnessOpen(harness), 0);
    char frame[100] = "frame";
    const struct {
        uint32_t type, flags;
        int delivered;
    } cases[] = {
        {EVENT_TYPE_MEDIA, EVENT_FLAG_BIT_VIDEO, 1},
        {EVENT_TYPE_MEDIA, 0x2, 0},                        // audio: not subscribed
        {EVENT_TYPE_MEDIA, EVENT_FLAG_BIT_VIDEO | 0x4, 0}, // a flag bit the mask lacks
        {EVENT_TYPE_LOG, EVENT_FLAGS_WORD_LOG_LINE, 0},    // another type
        {EVENT_TYPE_MEDIA | EVENT_TYPE_0002, EVENT_FLAG_BIT_VIDEO, 1},
    };
    for (const auto& c : cases) {
        _EventParmsIn event = Event(c.type, c.flags, frame, sizeof frame);
        EXPECT_EQ(DvrHarnessDeliver(harness, &event), c.delivered) << std::hex << c.type << " " << c.flags;
    }

    // Level-25 lines pass the unset threshold, not a threshold of 50.
    DvrHarnessSetLogThreshold(harness, LEVEL_WARNING);
    EXPECT_EQ(DvrHarnessClose(harness), 0);
    EXPECT_EQ(fs::file_size("recording.bin"), 2 * sizeof frame);
    EXPECT_EQ(LogLines(harness), std::vector<std::string>{"recorder: recording to recording.bin"});
    EXPECT_EQ(DvrHarnessLeakCount(harness), 0u);
}

TEST_F(Harness, NamesEveryBlockAPluginKeptPastClose)
{
    Load(TestPlugin("leaky"));
    ASSERT_EQ(DvrHarnessOpen(harness), 0);
    char data[3][16] = {"one", "two", "three"};
    for (auto& block : data) {
        _EventParmsIn event = Event(EVENT_TYPE_MEDIA, 0, block, sizeof block);
        ASSERT_EQ(DvrHarnessDeliver(harness, &event), 1);
    }
    ASSERT_EQ(DvrHarnessConfigure(harness, "<Config Delta=\"0\"/>"), 1);
    EXPECT_EQ(DvrHarnessClose(harness), 0);

    // The first block was given back when the second came; the rest is kept.
    EXPECT_EQ(DvrHarnessLeakCount(harness), 3u);
    const std::string report = DvrHarnessLeakReport(harness);
    EXPECT_EQ(report.find("event #1 "), std::string::npos) << report;
    for (const char* origin : {"Write of event #2 (eventType 0x0001, providerID 0x00100000)", "Write of event #3",
                               "IOCTL_CONFIG of event #4"})
        EXPECT_NE(report.find(origin), std::string::npos) << origin << "\n" << report;
}

TEST_F(Harness, PassesSupervisorPacketsAndKeepsWhatThePluginSendsBack)
{
    Load(TestPlugin("leaky"));
    ASSERT_EQ(DvrHarnessOpen(harness), 0);
    ASSERT_EQ(DvrHarnessSupervisorPacket(harness, 5, "abc", 3), 1);
    ASSERT_EQ(DvrHarnessSupervisorBlockCount(harness), 1u);
    uint32_t size = 0;
    const auto* block = static_cast<const unsigned char*>(DvrHarnessSupervisorBlock(harness, 0, &size));
    ASSERT_EQ(size, IPC_HEADER_SIZE + 3);
    IpcHeader header;
    memcpy(&header, block, sizeof header);
    EXPECT_EQ(header.length, size);
    EXPECT_EQ(header.target, 0x54u << 20) << "addressed by moduleIndex";
    EXPECT_EQ(header.kind, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block) + IPC_HEADER_SIZE, 3), "abc");
}

// Each row is an event probe misbehaving one way, given two 8-byte events and
// one supervisor packet; the harness must answer as the core does and keep
// its own blocks alive and accounted.
TEST_F(Harness, AnswersAMisbehavingPluginAsTheCoreDoes)
{
    const struct {
        const char* name;
        const char* config;
        const char* journaled;   // a line the probe must have written
        size_t supervisorBlocks; // taken from the plugin
        size_t leaks;            // blocks it holds before Close
    } cases[] = {
        // Without output records: the supervisor block is still taken, and
        // the first kept block is still given back at the second Write.
        {"null-out", "misbehave=null-out\nretain=1\nrelease=next\nsupervisor_text=hello\n", "supervisor 0", 1, 1},
        // A release in the core's name leaves the harness's hold: the plugin
        // keeps live blocks.
        {"release-as-core", "misbehave=release-as-core\nretain=1\n", "retained 1", 0, 2},
        // Blocks the harness handed out are refused, not freed under it.
        {"supervisor-write-block", "misbehave=supervisor-write-block\n", "supervisor-write 1", 0, 0},
        {"supervisor-packet-block", "misbehave=supervisor-packet-block\n", "supervisor-packet 1", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path library = dir.path() / (std::string(c.name) + ".so");
        fs::copy_file(TestPlugin("eventprobe"), library);
        const fs::path journal = dir.path() / (std::string(c.name) + ".journal");
        WriteFile(dir.path() / (std::string(c.name) + ".conf"),
                  "write=1\nmask0=0xFFFFFFFF\njournal=" + journal.string() + "\n" + c.config);
        Load(library.string());
        ASSERT_EQ(DvrHarnessOpen(harness), 0);
        for (uint32_t sequence : {0u, 1u}) {
            uint32_t data[2] = {sequence, 0};
            _EventParmsIn event = Event(EVENT_TYPE_MEDIA, 0, data, sizeof data);
            ASSERT_EQ(DvrHarnessDeliver(harness, &event), 1);
        }
        ASSERT_EQ(DvrHarnessSupervisorPacket(harness, 5, "abc", 3), 1);
        const std::string lines = ReadFile(journal);
        EXPECT_NE(lines.find(std::string(c.name) + " " + c.journaled + "\n"), std::string::npos) << lines;
        EXPECT_EQ(lines.find("kept block changed"), std::string::npos) << lines;
        EXPECT_EQ(DvrHarnessSupervisorBlockCount(harness), c.supervisorBlocks);
        EXPECT_EQ(DvrHarnessLeakCount(harness), c.leaks);
        DvrHarnessUnload(harness);
        harness = nullptr;
    }
}

// Each row is an event probe and an event: the reason the harness gives (and
// prints) for calling nothing, or none when the event reaches Write.
TEST_F(Harness, SaysWhyADeliveredEventReachedNoWrite)
{
    const uint32_t self = 0x00500000u, other = 0x00100000u;
    const struct {
        const char* config;
        uint32_t type, flags, provider;
        const char* why;
    } cases[] = {
        {"write=0\nmask0=0xFFFFFFFF\n", EVENT_TYPE_MEDIA, 0, other, "writeEnabled is 0"},
        {"write=1\nmask0=0x01000000\n", EVENT_TYPE_MEDIA, EVENT_FLAG_BIT_VIDEO, other,
         "eventFlags 0x01000000 give the routing class 0x02000000 (DVR_ROUTING_CLASS); mask 0x0001 media is "
         "0x01000000, which lacks bits 0x02000000"},
        {"write=1\nmask0=0xFFFFFFFF\n", EVENT_TYPE_LOG, EVENT_FLAGS_WORD_LOG_LINE, other,
         "mask 0x0040 log is 0x00000000, which lacks bits"},
        {"write=1\nmask0=0xFFFFFFFF\n", EVENT_TYPE_CONFIG, EVENT_FLAGS_WORD_XML, self,
         "the plugin raised this configuration document itself (providerID 0x00500000), so its IOCTL does not get "
         "it; nor does Write: eventType 0x0100 has no subscribable bit"},
        {"write=1\nmask0=0xFFFFFFFF\n", EVENT_TYPE_MEDIA, 0x4, other, nullptr},
    };
    int row = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.config);
        const std::string name = "why" + std::to_string(++row);
        fs::copy_file(TestPlugin("eventprobe"), dir.path() / (name + ".so"));
        WriteFile(dir.path() / (name + ".conf"), "id=0x00500000\n" + std::string(c.config));
        Load((dir.path() / (name + ".so")).string());
        ASSERT_EQ(DvrHarnessOpen(harness), 0);
        char data[8] = "x";
        _EventParmsIn event = Event(c.type, c.flags, data, sizeof data);
        event.providerID = c.provider;
        const char* why = DvrHarnessWhyNotDelivered(harness, &event);
        if (c.why)
            EXPECT_NE(std::string(why ? why : "<null>").find(c.why), std::string::npos) << why;
        else
            EXPECT_EQ(why, nullptr) << why;
        EXPECT_EQ(DvrHarnessDeliver(harness, &event), c.why ? 0 : 1);
        DvrHarnessUnload(harness);
        harness = nullptr;
    }
}

TEST_F(Harness, RecordsWhatTheWorkerRaisesAndRefusesItOnceClosed)
{
    Load(Demo("camera"));
    ASSERT_EQ(DvrHarnessOpen(harness), 0);
    // Its log lines come first: with no threshold set they are passed on too.
    auto firstFrame = [&]() -> const _EventParmsIn* {
        for (size_t i = 0; i < DvrHarnessRaisedCount(harness); ++i)
            if (DvrHarnessRaised(harness, i)->eventType == EVENT_TYPE_MEDIA)
                return DvrHarnessRaised(harness, i);
        return nullptr;
    };
    ASSERT_TRUE(WaitUntil([&] { return firstFrame() != nullptr; }));
    const _EventParmsIn* first = firstFrame();
    EXPECT_EQ(first->eventFlags, EVENT_FLAG_BIT_VIDEO);
    EXPECT_EQ(first->payload.video.keyFrame, 1);
    EXPECT_EQ(std::string(static_cast<const char*>(first->data)), "frame 0");
    EXPECT_EQ(DvrHarnessRaised(harness, 0)->eventType, EVENT_TYPE_LOG);

    EXPECT_EQ(DvrHarnessClose(harness), 0) << "Close returns once the worker has ended";
    const size_t raised = DvrHarnessRaisedCount(harness);
    const std::vector<std::string> lines = LogLines(harness);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("camera: stopped after", 0), 0u) << lines.back();
    EXPECT_EQ(DvrHarnessRaisedCount(harness), raised);
}

TEST_F(Harness, RejectsALibraryAsTheCoreDoes)
{
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"loaderror", "plugin loaderror.so load returned 0 error 9"},
        {"noload", "Core: Failed to load plugin: noload.so (missing symbol)"},
    };
    for (const auto& c : cases) {
        harness = DvrHarnessLoad(TestPlugin(c.name).c_str());
        ASSERT_NE(harness, nullptr);
        ASSERT_NE(DvrHarnessRejection(harness), nullptr);
        EXPECT_STREQ(DvrHarnessRejection(harness), c.message);
        EXPECT_EQ(DvrHarnessOpen(harness), -1) << "a rejected plugin is not called";
        EXPECT_EQ(DvrHarnessLoad(Demo("recorder").c_str()), nullptr) << "one harness at a time";
        DvrHarnessUnload(harness);
        harness = nullptr;
    }
}

} // namespace
