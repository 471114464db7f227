// The writer loop, block accounting and read-request flow control on a core
// whose plugins are functions of this test (no libraries, no start-up), so
// holders, counters and timings can be checked exactly.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "events/block_pool.h"
#include "events/routing.h"
#include "support/core_harness.h"
#include "support/event_records.h"
#include "support/process.h"

namespace {

constexpr uint32_t kRaiser = 0x00200000;

// What the shared harness's fake plugins saw: each Write (plugin, block),
// journaled before they do what the test asks. Declared after the core, it
// stops the writer first: the hooks point into it.
class Journal {
public:
    explicit Journal(dvrtest::TestCore& core) : core_(core)
    {
        core.onWrite = [this](int plugin, _WriteParmsIn& in, _WriteParmsOut& out) {
            {
                std::lock_guard lock(mutex);
                writes.emplace_back(plugin, in.data);
            }
            return write ? write(&in, &out, plugin) : 0;
        };
        core.onRead = [this](int, _ReadParmsIn& in, _ReadParmsOut&) { return read ? read(&in) : 0; };
    }
    ~Journal()
    {
        core_.StopWriter();
        core_.events().WaitForRequestThreads();
    }

    std::vector<void*> BlocksWrittenTo(int plugin)
    {
        std::lock_guard lock(mutex);
        std::vector<void*> blocks;
        for (auto& [p, block] : writes)
            if (p == plugin)
                blocks.push_back(block);
        return blocks;
    }

    // What the fake plugins do; set by each test before events flow.
    std::function<int32_t(_WriteParmsIn*, _WriteParmsOut*, int)> write;
    std::function<int32_t(_ReadParmsIn*)> read;
    std::mutex mutex;                          // the writer thread records while a test reads
    std::vector<std::pair<int, void*>> writes; // (plugin, block)

private:
    dvrtest::TestCore& core_;
};

// The block table's counts and leak report.
uint32_t Blocks(dvrtest::TestCore& core)
{
    return core.events().holds().blockCount();
}
uint32_t Bytes(dvrtest::TestCore& core)
{
    return core.events().holds().byteCount();
}
std::string Leaks(dvrtest::TestCore& core)
{
    return core.events().holds().TakeLeakReport();
}

void Reader(PLUGININFO& plugin)
{
    plugin.info.readEnabled = 1;
}

_EventParmsIn Event(uint32_t provider, uint32_t type, void* data = nullptr, uint32_t size = 0)
{
    _EventParmsIn e = dvrtest::MakeEvent(provider, type);
    e.data = data;
    e.dataSize = size;
    return e;
}

int32_t Raise(_EventParmsIn e)
{
    _EventParmsOut out{sizeof out, 1, 77};
    FlatPluginEvent(&e, &out);
    return out.result;
}

void Release(uint32_t owner, void* block)
{
    Raise(Event(owner, EVENT_TYPE_RELEASE, block));
}

TEST(Writer, RetainedBlocksLiveUntilTheirLastHolderAndOnlyTheCoresAreFreed)
{
    dvrtest::TestCore core;
    Journal journal(core);
    core.AddFakePlugin(0, 0x00210000);
    core.AddFakePlugin(1, 0x00220000);
    core.AddFakePlugin(2, 0x00230000);
    journal.write = [](_WriteParmsIn*, _WriteParmsOut* out, int plugin) {
        out->retain = plugin != 1; // plugins 0 and 2 keep the block
        return 0;
    };
    char data[100] = "shared block";
    ASSERT_EQ(Raise(Event(kRaiser, EVENT_TYPE_0002, data, sizeof data)), 0);
    core.Drain();

    ASSERT_EQ(journal.writes.size(), 3u);
    void* block = journal.writes[0].second;
    EXPECT_EQ(journal.writes[1].second, block); // one copy shared by all receivers
    EXPECT_EQ(journal.writes[2].second, block);
    EXPECT_EQ(Blocks(core), 1u);
    EXPECT_EQ(Bytes(core), 100u);
    Release(0x00220000, block); // plugin 1 holds nothing: no effect
    Release(0x00210000, block);
    EXPECT_EQ(Blocks(core), 1u);
    EXPECT_STREQ(static_cast<char*>(block), "shared block"); // still alive
    Release(0x00230000, block);
    EXPECT_EQ(Blocks(core), 0u);
    EXPECT_EQ(Bytes(core), 0u);
    EXPECT_EQ(Leaks(core), "");

    // Releasing what the core never handed out frees nothing: freeing stack
    // memory would crash, and a heap block the core never tracked is not its own.
    char notOurs[16] = "stack memory";
    Release(0x00210000, notOurs);
    void* heap = malloc(8);
    Release(0x00210000, heap);
    free(heap);
}

TEST(Writer, AKeptBlockGivenBackBeforeWriteReturnsIsNotLeaked)
{
    dvrtest::TestCore core;
    Journal journal(core);
    core.AddFakePlugin(0, 0x00210000);
    // The plugin keeps the block, hands it to its own thread, and that thread
    // gives it back before Write has even returned.
    journal.write = [](_WriteParmsIn* in, _WriteParmsOut* out, int) {
        std::thread([block = in->data] { Release(0x00210000, block); }).join();
        out->retain = 1;
        return 0;
    };
    char data[100] = {};
    Raise(Event(kRaiser, EVENT_TYPE_0002, data, sizeof data));
    core.Drain();
    EXPECT_EQ(Blocks(core), 0u);
    EXPECT_EQ(Leaks(core), "");
}

// With the core's detail messages on, failed and slow writes are reported;
// with them off (the threshold stays 25), nothing is, not even a
// long-overdue statistics period.
TEST(Writer, FailuresAndSlowWritesAreReportedOnlyWhenDetailIsEnabled)
{
    for (bool detail : {true, false}) {
        SCOPED_TRACE(detail ? "detail" : "no detail");
        dvrtest::TestCore core;
        Journal journal(core);
        if (detail) {
            core.logLevels[0] = 0;
        }
        core.AddFakePlugin(0, 0x00210000);
        core.AddFakePlugin(1, 0x00220000);
        dvrtest::TestCore* corePtr = &core;
        journal.write = [corePtr](_WriteParmsIn* in, _WriteParmsOut* out, int plugin) -> int32_t {
            if (plugin == 0) {
                out->error = 4;
                return 3;
            }
            // Plugin 1 takes 5.9 ms for type 0x2 and 6 ms for type 0x8 and 0x40.
            corePtr->clock += in->eventType == EVENT_TYPE_0002 ? 5'900'000 : 6'000'000;
            return 0;
        };
        Raise(Event(kRaiser, EVENT_TYPE_0002));
        Raise(Event(kRaiser, EVENT_TYPE_0008));
        Raise(Event(kRaiser, EVENT_TYPE_LOG)); // log events are never timed
        if (!detail) {
            core.clock = 120'000'000'000;
        }
        core.Drain();
        auto logs = core.Texts();
        if (!detail) {
            EXPECT_TRUE(logs.empty()) << ::testing::PrintToString(logs);
            continue;
        }
        EXPECT_EQ(std::count(logs.begin(), logs.end(), "plugin fake0.so write returned 3 error 4"), 3);
        std::vector<std::string> slow;
        for (auto& line : logs) {
            if (line.rfind("core write took", 0) == 0) {
                slow.push_back(line);
            }
        }
        ASSERT_EQ(slow.size(), 1u);
        EXPECT_EQ(slow[0],
                  "core write took 6ms, providerID 200000, eventType: 8, PI.systemID: 220000, PI.Filename: fake1.so");
    }
}

TEST(Writer, StatisticsLineCoversTheWholePeriod)
{
    dvrtest::TestCore core;
    Journal journal(core);
    core.logLevels[0] = 0;
    core.AddFakePlugin(0, 0x00210000);
    dvrtest::TestCore* corePtr = &core;
    // The first delivery takes a minute, so the second dequeue ends the period.
    journal.write = [corePtr](_WriteParmsIn*, _WriteParmsOut*, int) {
        corePtr->clock += 60'000'000'000;
        return 0;
    };
    char data[1500] = {};
    for (int i = 0; i < 3; ++i)
        Raise(Event(kRaiser, EVENT_TYPE_0002, data, sizeof data));
    core.Drain();
    auto logs = core.Texts();
    std::vector<std::string> statistics;
    for (auto& line : logs)
        if (line.rfind("core event queue size", 0) == 0)
            statistics.push_back(line);
    ASSERT_EQ(statistics.size(), 1u) << ::testing::PrintToString(logs);
    // Two events taken out in the period, one left; the block in delivery counts.
    std::string grouped = FormatCount(1500);
    EXPECT_EQ(statistics[0],
              "core event queue size: 1, throttledvideoframes:0, events:2, refblks: 1 (" + grouped + " bytes)");
}

// --- read requests -------------------------------------------------------

char ThreadState(pid_t tid)
{
    std::string stat = dvrtest::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

TEST(Writer, ClosedRequestsRefuseTheirEventsUntilReopened)
{
    dvrtest::TestCore core;
    Journal journal(core);
    core.AddFakePlugin(0, 0x00210000, Reader);
    std::mutex mutex;
    std::condition_variable go;
    bool proceed = false;
    std::vector<int32_t> results;
    std::atomic<int> reads{0};
    journal.read = [&](_ReadParmsIn* in) {
        std::unique_lock lock(mutex);
        go.wait(lock, [&] { return proceed; });
        _EventParmsIn e = Event(0x00210000, EVENT_TYPE_0002);
        e.requestID = in->requestID;
        results.push_back(Raise(e));
        ++reads;
        return 0;
    };
    _EventParmsIn request = Event(0, EVENT_TYPE_0002);
    request.requestID = 11;
    ASSERT_EQ(Raise(request), 0);
    _EventParmsIn close = Event(0, EVENT_TYPE_CLOSE_REQUEST);
    close.requestID = 11;
    ASSERT_EQ(Raise(close), 0);
    {
        std::lock_guard lock(mutex);
        proceed = true;
    }
    go.notify_all();
    ASSERT_TRUE(dvrtest::WaitUntil([&] { return reads == 1; }));
    ASSERT_EQ(Raise(request), 0); // a new request reopens the ID
    ASSERT_TRUE(dvrtest::WaitUntil([&] { return reads == 2; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(results, (std::vector<int32_t>{EVENT_RESULT_REFUSED, EVENT_RESULT_OK}));
}

TEST(Writer, AReaderWaitingAtShutdownIsRefusedInsteadOfHanging)
{
    auto core = std::make_unique<dvrtest::TestCore>();
    auto journal = std::make_unique<Journal>(*core);
    core->AddFakePlugin(0, 0x00210000, Reader);
    core->AddFakePlugin(1, 0x00220000); // keeps its block and never gives it back
    journal->write = [](_WriteParmsIn*, _WriteParmsOut* out, int plugin) {
        out->retain = plugin == 1;
        return 0;
    };
    std::atomic<int32_t> second{77};
    std::atomic<pid_t> readerTid{0};
    journal->read = [&](_ReadParmsIn* in) {
        readerTid = static_cast<pid_t>(syscall(SYS_gettid));
        char data[8] = "block";
        _EventParmsIn e = Event(0x00210000, EVENT_TYPE_0002, data, sizeof data);
        e.requestID = in->requestID;
        Raise(e);
        second = Raise(e);
        return 0;
    };
    core->StartWriter();
    _EventParmsIn request = Event(0, EVENT_TYPE_0002);
    request.requestID = 4;
    ASSERT_EQ(Raise(request), 0);
    ASSERT_TRUE(dvrtest::WaitUntil([&] { return journal->BlocksWrittenTo(1).size() == 1; }));
    ASSERT_TRUE(dvrtest::WaitUntil([&] { return readerTid != 0 && ThreadState(readerTid) == 'S'; }));
    void* kept = journal->BlocksWrittenTo(1)[0];
    journal.reset(); // stops the writer and waits for request threads
    core.reset();
    EXPECT_EQ(second, EVENT_RESULT_REFUSED);
    FreeEventData(kept); // reported as leaked, never freed by the core
}

// Raised while the ring is full, events wait in the overflow queue; raisers
// keep using it until the writer has taken it, so no event overtakes one its
// raiser raised before.
TEST(Writer, EventsKeepTheirOrderThroughTheOverflowQueue)
{
    dvrtest::TestCore core;
    Journal journal(core);
    core.AddFakePlugin(0, 0x00210000);
    std::vector<uint32_t> seen; // on the writer thread until it is joined
    journal.write = [&](_WriteParmsIn* in, _WriteParmsOut*, int) {
        uint32_t tag;
        memcpy(&tag, in->data, sizeof tag);
        seen.push_back(tag);
        return 0;
    };
    auto raiseTagged = [](uint32_t tag) { ASSERT_EQ(Raise(Event(kRaiser, EVENT_TYPE_0002, &tag, sizeof tag)), 0); };
    constexpr uint32_t kBefore = EventRing::kSlots + 100, kEach = 3 * EventRing::kSlots;
    for (uint32_t i = 0; i < kBefore; ++i)
        raiseTagged(i);
    core.StartWriter();
    std::thread other([&] {
        for (uint32_t i = 0; i < kEach; ++i)
            raiseTagged(1u << 24 | i);
    });
    for (uint32_t i = kBefore; i < kEach; ++i)
        raiseTagged(i);
    other.join();
    core.StopWriter();

    uint32_t next[2] = {0, 0};
    for (uint32_t tag : seen) {
        const uint32_t raiser = tag >> 24;
        ASSERT_LT(raiser, 2u);
        ASSERT_EQ(tag & 0xFFFFFF, next[raiser]++) << "raiser " << raiser;
    }
    EXPECT_EQ(next[0], kEach);
    EXPECT_EQ(next[1], kEach);
    EXPECT_EQ(Blocks(core), 0u);
}

// A raiser that claimed its slot and lost its processor before filling it:
// the writer waits for it, also through a stop, and delivers the event.
TEST(Writer, ASlotClaimedBeforeTheStopIsAwaitedAndDelivered)
{
    dvrtest::TestCore core;
    Journal journal(core);
    core.AddFakePlugin(0, 0x00210000);
    uint32_t position = 0;
    ASSERT_TRUE(core.events().inbox().Claim(position)); // as a raising thread claims it, to fill it later
    core.RequestStop();
    core.StartWriter();
    // The writer has gone from yielding to looking once a millisecond.
    ASSERT_TRUE(dvrtest::WaitUntil([&] { return core.writerTid != 0 && ThreadState(core.writerTid) == 'S'; }));
    EXPECT_TRUE(journal.BlocksWrittenTo(0).empty());
    char data[] = "late";
    void* copy = AllocateEventData(sizeof data);
    memcpy(copy, data, sizeof data);
    core.events().inbox().Publish(position, Event(kRaiser, EVENT_TYPE_0002, copy, sizeof data));
    core.StopWriter();
    EXPECT_EQ(journal.BlocksWrittenTo(0), std::vector<void*>{copy});
    EXPECT_EQ(Blocks(core), 0u);
}

} // namespace
