// Event entry through FlatPluginEvent on a core that is never started: the
// result codes a plugin sees, the log gate, and what reaches the queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "events/routing.h"
#include "support/core_harness.h"
#include "support/event_records.h"

namespace {

constexpr uint32_t kCamera = 0x00050000;
constexpr uint32_t kPlugin = 0x00020000; // slot 2

_EventParmsIn Event(uint32_t provider, uint32_t type, uint32_t flags = 0)
{
    return dvrtest::MakeEvent(provider, type, flags);
}

int32_t Raise(_EventParmsIn e, int32_t preset = 77)
{
    _EventParmsOut out{sizeof out, 1, preset};
    EXPECT_EQ(FlatPluginEvent(&e, &out), 0);
    return out.result;
}

int32_t Frame(uint32_t source, uint8_t keyFrame)
{
    _EventParmsIn e = Event(source, EVENT_TYPE_MEDIA, EVENT_FLAG_VIDEO);
    e.payload.video.keyFrame = keyFrame;
    char data[16] = "frame";
    e.data = data;
    e.dataSize = sizeof data;
    return Raise(e);
}

int32_t LogLineEvent(uint32_t source, int32_t level, const char* text)
{
    _EventParmsIn e = Event(source, EVENT_TYPE_LOG, EVENT_FLAGS_LOG_LINE);
    e.payload.log.logLevel = level;
    e.data = const_cast<char*>(text);
    e.dataSize = static_cast<uint32_t>(strlen(text) + 1);
    return Raise(e);
}

TEST(VideoGate, KeyFrameAdmitsSevenHundredSixtySixDependentFrames)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    EXPECT_EQ(Frame(kCamera, 0), EVENT_RESULT_NOT_ADMITTED);
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_OK);
    for (int i = 1; i <= 766; ++i)
        ASSERT_EQ(Frame(kCamera, 0), EVENT_RESULT_OK) << "dependent frame " << i;
    EXPECT_EQ(Frame(kCamera, 0), EVENT_RESULT_KEYFRAME_EXPIRED);
    EXPECT_EQ(Frame(kCamera, 0), EVENT_RESULT_NOT_ADMITTED);
    EXPECT_EQ(Frame(kCamera, 2), EVENT_RESULT_NOT_ADMITTED); // only 1 marks a key frame
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_OK);
    EXPECT_EQ(core.TakeQueued().size(), 1u + 766u + 1u);
}

TEST(VideoGate, ThrottlingRefusesAndDropsAdmission)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_OK);
    core.housekeeping().SetThrottled(true);
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_THROTTLED);
    EXPECT_EQ(Frame(kCamera + 0x10000, 1), EVENT_RESULT_THROTTLED);
    EXPECT_EQ(core.events().throttledVideoFrames(), 2u);
    core.housekeeping().SetThrottled(false);
    EXPECT_EQ(Frame(kCamera, 0), EVENT_RESULT_NOT_ADMITTED); // must start again with a key frame
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_OK);
    // Media without the video flag is not gated.
    EXPECT_EQ(Raise(Event(kCamera + 0x20000, EVENT_TYPE_MEDIA)), EVENT_RESULT_OK);
}

TEST(VideoGate, AFrameTheQueueCannotTakeDropsAdmission)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    // Key frames fill the ring and the overflow's first storage; the next one needs more.
    constexpr size_t kQueued = EventRing::kSlots + EventQueue::kMinCapacity;
    for (size_t i = 0; i < kQueued; ++i)
        ASSERT_EQ(Frame(kCamera, 1), EVENT_RESULT_OK);
    const auto realMapper = std::exchange(EventQueue::mapStorage, [](size_t) -> void* { return nullptr; });
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_NO_MEMORY);
    EventQueue::mapStorage = realMapper;
    // Like a failed data copy: the source starts again with a key frame.
    EXPECT_EQ(Frame(kCamera, 0), EVENT_RESULT_NOT_ADMITTED);
    EXPECT_EQ(core.TakeQueued().size(), kQueued);
}

TEST(EventEntry, CopiesTheDataAndQueuesEventsWithoutDataAsNull)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    char data[] = "payload bytes";
    _EventParmsIn e = Event(kPlugin, EVENT_TYPE_0002, 0x10);
    e.data = data;
    e.dataSize = sizeof data;
    e.payload.bytes[100] = 0xAB;
    EXPECT_EQ(Raise(e), 0);
    _EventParmsIn empty = Event(kPlugin, EVENT_TYPE_0002);
    empty.data = data; // data without a size is no data
    EXPECT_EQ(Raise(empty), 0);

    auto queued = core.TakeQueued();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_NE(queued[0].data, static_cast<void*>(data));
    EXPECT_EQ(std::string(static_cast<char*>(queued[0].data)), "payload bytes");
    strcpy(data, "changed");
    EXPECT_EQ(std::string(static_cast<char*>(queued[0].data)), "payload bytes");
    EXPECT_EQ(queued[0].payload.bytes[100], 0xAB);
    EXPECT_EQ(queued[1].data, nullptr);
    EXPECT_EQ(queued[1].dataSize, 0u);
}

TEST(EventEntry, AfterTheStopRequestOnlyOnTheSpotKindsAreHandled)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    core.logLevels[2] = 40;
    core.RequestStop();
    EXPECT_EQ(Raise(Event(kPlugin, EVENT_TYPE_0002)), EVENT_RESULT_REFUSED);
    EXPECT_EQ(Frame(kCamera, 1), EVENT_RESULT_REFUSED);
    EXPECT_EQ(QueryLogLevel(kPlugin, FlatPluginEvent), 40);
    EXPECT_EQ(Raise(Event(kPlugin, EVENT_TYPE_RELEASE), 77), 77); // result untouched
    _EventParmsIn request = Event(0, EVENT_TYPE_0002);
    request.requestID = 9;
    EXPECT_EQ(Raise(request), EVENT_RESULT_OK); // read requests are still dispatched
    // Log lines are still written but no longer passed on.
    EXPECT_EQ(LogLineEvent(kPlugin, 60, "late line"), EVENT_RESULT_REFUSED);
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, "late line");
    EXPECT_TRUE(core.TakeQueued().empty());
}

TEST(EventEntry, SupervisorDataWithoutSupervisorIsRefusedAndTaken)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    _EventParmsIn e = Event(kPlugin, EVENT_TYPE_SUPERVISOR);
    e.data = malloc(32); // the core frees it: a second free or a leak shows under the sanitizers
    e.dataSize = 32;
    EXPECT_EQ(Raise(e), EVENT_RESULT_REFUSED);
    EXPECT_TRUE(core.TakeQueued().empty());
}

TEST(EventEntry, SupervisorDataAfterTheCoreEndedIsTakenAndRefused)
{
    _EventParmsIn e = Event(kPlugin, EVENT_TYPE_SUPERVISOR);
    e.data = malloc(32); // freed without a core: a leak shows under the sanitizers
    e.dataSize = 32;
    _EventParmsOut out{sizeof out, 1, 77};
    EXPECT_EQ(FlatPluginEvent(&e, &out), -1);
    EXPECT_EQ(out.result, EVENT_RESULT_REFUSED);
}

TEST(EventEntry, RequestEventsFromOrdinaryThreadsAreRefused)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    _EventParmsIn request = Event(0, EVENT_TYPE_0002);
    request.requestID = 5;
    EXPECT_EQ(Raise(request), EVENT_RESULT_OK); // the request is open now
    _EventParmsIn answer = Event(kPlugin, EVENT_TYPE_0002);
    answer.requestID = 5;
    char data[4] = "abc";
    answer.data = data;
    answer.dataSize = sizeof data;
    EXPECT_EQ(Raise(answer), EVENT_RESULT_REFUSED);
    EXPECT_TRUE(core.TakeQueued().empty());
}

TEST(LogGate, ThresholdDecidesWhatIsWrittenAndWhatIsQueued)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    core.logLevels[2] = 50;
    EXPECT_EQ(LogLineEvent(kPlugin, 25, "below"), 77);
    EXPECT_TRUE(core.Lines().empty());
    EXPECT_TRUE(core.TakeQueued().empty());

    core.logLevels[2] = 0;
    EXPECT_EQ(LogLineEvent(kPlugin, 25, "passes"), EVENT_RESULT_OK);
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, "passes");
    EXPECT_EQ(core.Lines()[0].level, 25u);
    EXPECT_EQ(core.TakeQueued().size(), 1u);

    core.logLevels[2] = -1;
    EXPECT_EQ(LogLineEvent(kPlugin, 0, "detail"), 77); // written, not passed on
    ASSERT_EQ(core.Lines().size(), 2u);
    EXPECT_EQ(core.Lines()[1].text, "detail");
    EXPECT_TRUE(core.TakeQueued().empty());
    EXPECT_EQ(LogLineEvent(kPlugin, 10, "no threshold"), EVENT_RESULT_OK);
    EXPECT_EQ(core.TakeQueued().size(), 1u);
}

TEST(LogGate, SourcesBeyondTheTablesHaveNoThreshold)
{
    dvrtest::TestCore core;              // never started; its queue is taken out by the test
    const uint32_t outside = 0x0FFF0000; // slot 4095
    EXPECT_EQ(QueryLogLevel(outside, FlatPluginEvent), -1);
    EXPECT_EQ(QueryLogLevel(0x00FF0000, FlatPluginEvent), -1); // slot 255 does not exist either
    EXPECT_EQ(LogLineEvent(outside, 30, "far away"), EVENT_RESULT_OK);
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].source, outside);
}

TEST(LogMessageCall, LongMessagesAreCutTo511Characters)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    const std::string longText(600, 'x');
    LogMessage(kPlugin, FlatPluginEvent, 30, "%s", longText.c_str());
    ASSERT_EQ(core.Lines().size(), 1u);
    EXPECT_EQ(core.Lines()[0].text, std::string(511, 'x'));
    auto queued = core.TakeQueued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].dataSize, 512u);
    EXPECT_EQ(queued[0].eventFlags, EVENT_FLAGS_LOG_LINE);
    EXPECT_EQ(queued[0].payload.log.logLevel, 30);
    EXPECT_EQ(static_cast<char*>(queued[0].data)[511], '\0');
}

TEST(LogMessageCall, NothingIsSentBelowTheThresholdOrWithoutText)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    core.logLevels[2] = 60;
    LogMessage(kPlugin, FlatPluginEvent, 59, "%s", "quiet");
    LogMessage(kPlugin, FlatPluginEvent, 60, "%s", "");
    LogMessage(kPlugin, nullptr, 100, "no function");
    EXPECT_TRUE(core.Lines().empty());
    EXPECT_TRUE(core.TakeQueued().empty());
    EXPECT_FALSE(LogLevelEnabled(kPlugin, FlatPluginEvent, 59));
    EXPECT_TRUE(LogLevelEnabled(kPlugin, FlatPluginEvent, 60));
}

TEST(LogGate, TextWithoutItsNulIsNeverReadPastItsSize)
{
    dvrtest::TestCore core; // never started; its queue is taken out by the test
    // Exactly dataSize bytes on the heap: reading one more trips the address sanitizer.
    for (size_t size : {size_t{1}, size_t{7}, size_t{2000}}) {
        char* text = static_cast<char*>(malloc(size));
        memset(text, 'a', size);
        _EventParmsIn e = Event(kPlugin, EVENT_TYPE_LOG, EVENT_FLAGS_LOG_LINE);
        e.payload.log.logLevel = 40;
        e.data = text;
        e.dataSize = static_cast<uint32_t>(size);
        Raise(e);
        free(text);
    }
    ASSERT_EQ(core.Lines().size(), 3u);
    EXPECT_EQ(core.Lines()[0].text, "a");
    EXPECT_EQ(core.Lines()[1].text, "aaaaaaa");
    EXPECT_EQ(core.Lines()[2].text.size(), 1023u); // cut, not overrun
    char withNul[] = "short\0rest";
    _EventParmsIn e = Event(kPlugin, EVENT_TYPE_LOG, EVENT_FLAGS_LOG_LINE);
    e.payload.log.logLevel = 40;
    e.data = withNul;
    e.dataSize = sizeof withNul;
    Raise(e);
    EXPECT_EQ(core.Lines()[3].text, "short");
}

TEST(FormatCountText, GroupsThroughTheLocaleOrFallsBackToPlainDigits)
{
    EXPECT_EQ(FormatCount(1234567, "no_SUCH.locale"), "1234567");
    EXPECT_EQ(FormatCount(0, "no_SUCH.locale"), "0");
    try {
        std::locale probe("en_US.UTF-8");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "en_US.UTF-8 is not generated here (scripts/install-deps generates it)";
    }
    EXPECT_EQ(FormatCount(1234567), "1,234,567");
    EXPECT_EQ(FormatCount(999), "999");
    EXPECT_EQ(FormatCount(4294967295u), "4,294,967,295");
}

} // namespace
