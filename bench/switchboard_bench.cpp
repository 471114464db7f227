// The event path side by side: memcpy of the block, the same copies handed to
// a second thread through a bare ring, a frozen baseline switchboard, and the
// core's real path (FlatPluginEvent -> queue -> writer -> N plugins' Write
// with reference accounting).
//
// Every case is timed from the first event raised until the last plugin has
// been called with the last event, and the four are run in interleaved
// repeats (baseline, core, memcpy, hand-off, ...) so that a slow second of a
// shared machine hits all of them alike; medians and ranges are printed.
// Besides: the resident size around a burst, and the latency from
// FlatPluginEvent to the last plugin's Write at steady rates from 100 to
// 100,000 events/s and under a recorder's load, the core and the baseline in
// interleaved repeats (at the slow rates, taking turns event by event).
//
// Usage: switchboard_bench [--repeats=N] [--raw] [--only=SIZE/PLUGINS [--core-only] | --latency]
//                          [--latency-repeats=N] [--latency-scale=F] [--latency-case=RATE/SIZE]
//                          [--micro [benchmark flags]]
//   --repeats the throughput table's repeats (5)
//   --raw    also prints every repeat's figure (for merging runs of two builds)
//   --only   runs only that row of the throughput table (e.g. --only=65536/4)
//   --core-only leaves out the baseline's, memcpy's and the bare hand-off's runs (to profile the core)
//   --latency runs only the latency table
//   --latency-repeats the latency table's repeats (10, about 58 s each)
//   --latency-scale stretches (or shortens) every latency run by F
//   --latency-case runs only that case of the latency table (e.g. --latency-case=100/1024,
//            or --latency-case=recorder for the recorder's load): a long look at one cell
//   --micro  runs only the one-thread microbenchmarks (Google Benchmark): the
//            producer's side alone, the writer's side alone, a delivery
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "baseline_switchboard.h"
#include "core/allocator.h"
#include "core/dvrcore.h"
#include "core/resident_size.h"
#include "dvrmedia.h"
#include "events/cpu_relax.h"

namespace {

constexpr int kBurst = 2048;
constexpr uint32_t kEventType = EVENT_TYPE_0002;

// Event data and memcpy's source and targets start on a cache line, as the
// core's copies of 256 bytes and more do: a copy into a block that does not
// takes up to twice as long, which would flatter the core or memcpy at random.
template <class T>
struct CacheLineAllocator {
    using value_type = T;
    CacheLineAllocator() = default;
    template <class U>
    CacheLineAllocator(const CacheLineAllocator<U>&)
    {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{64})); }
    void deallocate(T* p, size_t) { ::operator delete (p, std::align_val_t{64}); }
    bool operator==(const CacheLineAllocator&) const { return true; }
};
using Bytes = std::vector<char, CacheLineAllocator<char>>;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Every fake plugin returns at once; the last one in the list counts, and in
// the latency runs also notes how long the event took to reach it, in the
// slot of the event's index (both stamped into its data: StampRaisedAt).
std::atomic<uint64_t> g_delivered{0};
std::vector<int64_t> g_latencies; // one slot per event of a latency run
int32_t CountingWrite(void*, void*)
{
    return 0;
}
int32_t LastWrite(void*, void*)
{
    g_delivered.fetch_add(1, std::memory_order_release);
    return 0;
}
int32_t LatencyWrite(void* in, void*)
{
    const auto* write = static_cast<const _WriteParmsIn*>(in);
    int64_t stamp[2]; // raised at, index
    memcpy(stamp, write->data, sizeof stamp);
    if (stamp[1] >= 0 && static_cast<uint64_t>(stamp[1]) < g_latencies.size())
        g_latencies[static_cast<size_t>(stamp[1])] = NowNs() - stamp[0];
    g_delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

std::vector<DvrEntryPoint> FakePlugins(int count, DvrEntryPoint last = &LastWrite)
{
    std::vector<DvrEntryPoint> plugins(static_cast<size_t>(count), &CountingWrite);
    plugins.back() = last;
    return plugins;
}

void WaitDelivered(uint64_t target)
{
    while (g_delivered.load(std::memory_order_acquire) < target)
        std::this_thread::yield();
}

_EventParmsIn MakeEvent(Bytes& data)
{
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = 1;
    event.providerID = 0x00090000;
    event.eventType = kEventType;
    event.data = data.empty() ? nullptr : data.data();
    event.dataSize = static_cast<uint32_t>(data.size());
    return event;
}

// The core with fake plugins, its writer loop on a thread of its own and,
// when asked, its scheduler on an I/O thread as in the running core.
class BenchCore : public dvrcore {
public:
    // `counted`: the plugins have per-plugin counters, as loaded plugins do.
    explicit BenchCore(int pluginCount, bool counted = true, DvrEntryPoint last = &LastWrite)
        : dvrcore("/nonexistent/dvrcore")
    {
        uint32_t id = 0x00100000;
        for (DvrEntryPoint write : FakePlugins(pluginCount, last)) {
            PLUGININFO plugin;
            plugin.Write = write;
            plugin.info.systemID = id;
            id += 0x10000;
            plugin.info.writeEnabled = 1;
            plugin.info.eventMasks[DVR_EVENT_MASK_INDEX_0002] = 0xFFFFFFFF;
            plugin.Filename = "bench.so";
            if (counted)
                plugin.counters = &pluginHost().side().Add(plugin.info.systemID, plugin.Filename).counters;
            pluginHost().AddListed(std::move(plugin));
        }
    }
    // Every plugin subscribes to every event of the type at `maskIndex` too.
    void Subscribe(int maskIndex)
    {
        for (PLUGININFO& plugin : pluginHost().list())
            plugin.info.eventMasks[maskIndex] = 0xFFFFFFFF;
    }
    // Watched by the hung-call watchdog, as the core's writer is.
    void StartWriter()
    {
        writer_ = std::thread([this] {
            pluginHost().WatchMainThread();
            WriterLoop();
        });
    }
    void StopWriter()
    {
        RequestStop();
        if (writer_.joinable())
            writer_.join();
    }
    void StartScheduler()
    {
        housekeeping().throttlingEnabled = true;
        housekeeping().Start();
        io_ = std::thread([this] { ioContext().run(); });
    }
    ~BenchCore() override
    {
        StopWriter();
        if (io_.joinable()) {
            ioContext().stop();
            io_.join();
        }
    }
    void WriteLog(uint32_t, uint32_t, const char*) override {}
    // One event's deliveries to every plugin, on the calling thread.
    void Deliver(const _EventParmsIn& event) { events().Deliver(event, false); }
    void WatchThisThread() { pluginHost().WatchMainThread(); }

private:
    std::thread writer_;
    std::thread io_;
};

// --- the interleaved throughput table ---

// Each timed run raises events for about this long, then waits for the last
// delivery.
constexpr int64_t kRunNs = 60'000'000;

enum class Mode { Steady, Burst };

// A steady stream keeps about this many bytes (and events) in flight, so a
// producer faster than the writer cannot pile up an unbounded queue: then the
// writer's pace is what is measured, as it should be.
uint64_t InFlightLimit(size_t size)
{
    return std::clamp<uint64_t>(size ? (4u << 20) / size : kBurst, 64, kBurst);
}

// Events per second of one run: over the whole run, and over its fastest
// stretch of 2048 or more deliveries. On a shared machine a run is often
// preempted; preemption only ever adds time, so the fastest stretch tells
// what the path costs when it has its processors.
struct Rates {
    double whole = 0;
    double best = 0;
};

// Raises events through `raise` until kRunNs passed, in bursts of 2048 (each
// delivered before the next, and each a stretch) or as a steady stream
// (stretches between the producer's looks at the delivered count), timed
// from the first raise to the last delivery.
Rates TimeStream(const std::function<void()>& raise, size_t size, Mode mode)
{
    const uint64_t limit = InFlightLimit(size);
    uint64_t raised = g_delivered.load();
    const int64_t start = NowNs();
    uint64_t events = 0;
    Rates rates;
    int64_t markAt = start;
    uint64_t markDelivered = raised;
    auto stretch = [&] {
        const int64_t at = NowNs();
        const uint64_t delivered = g_delivered.load(std::memory_order_acquire);
        if (delivered - markDelivered < kBurst)
            return;
        rates.best = std::max(rates.best,
                              static_cast<double>(delivered - markDelivered) * 1e9 / static_cast<double>(at - markAt));
        markAt = at;
        markDelivered = delivered;
    };
    do {
        if (mode == Mode::Burst) {
            markAt = NowNs();
            markDelivered = raised;
            for (int i = 0; i < kBurst; ++i)
                raise();
            raised += kBurst;
            events += kBurst;
            WaitDelivered(raised);
            stretch();
        } else {
            for (int i = 0; i < kBurst; ++i) {
                // Looked at every 16 events: the count is on the writer's
                // side, and reading it per event would slow the producer as
                // no plugin's thread is slowed.
                if (i % 16 == 0 && raised - g_delivered.load(std::memory_order_acquire) >= limit)
                    WaitDelivered(raised - limit / 2);
                raise();
                ++raised;
            }
            events += kBurst;
            stretch();
        }
    } while (NowNs() - start < kRunNs);
    WaitDelivered(raised);
    rates.whole = static_cast<double>(events) * 1e9 / static_cast<double>(NowNs() - start);
    rates.best = std::max(rates.best, rates.whole);
    return rates;
}

Rates RunCore(size_t size, int plugins, Mode mode)
{
    Bytes data(size, 'v');
    BenchCore core(plugins);
    core.StartWriter();
    core.StartScheduler(); // which returns the block pool's unused blocks, as in the running core
    _EventParmsIn event = MakeEvent(data);
    return TimeStream(
        [&] {
            _EventParmsOut out{sizeof out, 1, 0};
            FlatPluginEvent(&event, &out);
        },
        size, mode);
}

Rates RunBaseline(size_t size, int plugins, Mode mode)
{
    Bytes data(size, 'v');
    BaselineSwitchboard board(FakePlugins(plugins));
    _EventParmsIn event = MakeEvent(data);
    return TimeStream([&] { board.Raise(event); }, size, mode);
}

// Copies of one block into as many targets, in turn, as a steady stream has
// events in flight: the same bytes into the same amount of memory as the
// core's copies, with nothing else done.
Rates RunMemcpy(size_t size)
{
    if (size == 0)
        return {};
    Bytes source(size, 'v');
    std::vector<Bytes> targets(InFlightLimit(size), Bytes(size, 't'));
    uint64_t copies = 0;
    Rates rates;
    const int64_t start = NowNs();
    do {
        const int64_t stretchStart = NowNs();
        for (int i = 0; i < kBurst; ++i) {
            memcpy(targets[copies % targets.size()].data(), source.data(), size);
            benchmark::ClobberMemory();
            ++copies;
        }
        rates.best = std::max(rates.best, kBurst * 1e9 / static_cast<double>(NowNs() - stretchStart));
    } while (NowNs() - start < kRunNs);
    rates.whole = static_cast<double>(copies) * 1e9 / static_cast<double>(NowNs() - start);
    return rates;
}

// The least a hand-off to a second thread costs here: the same copies as
// RunMemcpy, each followed by one cache line of record published through a
// ring to a thread that only counts it, and looks every 4 us while none is
// ready, as the writer does in a stream. No lock, no pool, no plugins: where
// the processors are far apart this alone falls short of memcpy, and what
// separates the core from it is the core's own cost.
Rates RunHandoff(size_t size, Mode mode)
{
    if (size == 0)
        return {};
    struct alignas(64) Slot {
        std::atomic<uint64_t> published{0}; // its position + 1 once filled
        const char* data = nullptr;
    };
    constexpr uint64_t kSlots = 2 * kBurst; // more than TimeStream ever has in flight
    const std::unique_ptr<Slot[]> ring(new Slot[kSlots]);
    Bytes source(size, 'v');
    std::vector<Bytes> targets(InFlightLimit(size), Bytes(size, 't'));
    std::atomic<bool> stop{false};
    std::thread taker([&] {
        for (uint64_t next = 0;;) {
            if (ring[next % kSlots].published.load(std::memory_order_acquire) == next + 1) {
                ++next;
                g_delivered.fetch_add(1, std::memory_order_release);
                continue;
            }
            if (stop.load(std::memory_order_relaxed))
                return;
            for (const int64_t until = NowNs() + 4'000; NowNs() < until;)
                CpuRelax();
        }
    });
    uint64_t position = 0;
    const Rates rates = TimeStream(
        [&] {
            char* target = targets[position % targets.size()].data();
            memcpy(target, source.data(), size);
            Slot& slot = ring[position % kSlots];
            slot.data = target;
            slot.published.store(position + 1, std::memory_order_release);
            ++position;
        },
        size, mode);
    stop.store(true, std::memory_order_relaxed);
    taker.join();
    return rates;
}

// The one-way latency of a cache line between the first two processors this
// process may run on, from a ping-pong of an atomic counter: every hand-off
// between a raising thread and the writer pays it. On a virtual machine it
// changes with where the host places the processors (here from about 50 to
// 360 ns), and the 64 KiB rows' core/cpy with it. 0 with one processor.
double CoreToCoreNs()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
        return 0;
    int cpus[2], found = 0;
    for (int cpu = 0; found < 2; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            cpus[found++] = cpu;
    auto pin = [](int cpu) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
    };
    constexpr uint64_t kRounds = 20'000;
    alignas(64) std::atomic<uint64_t> ball{0};
    std::atomic<bool> ready{false};
    std::thread other([&] {
        pin(cpus[1]);
        ready.store(true, std::memory_order_release);
        for (uint64_t i = 1; i < 2 * kRounds; i += 2) {
            while (ball.load(std::memory_order_acquire) != i)
                ;
            ball.store(i + 1, std::memory_order_release);
        }
    });
    int64_t elapsed = 0;
    std::thread self([&] {
        pin(cpus[0]);
        while (!ready.load(std::memory_order_acquire))
            ;
        const int64_t start = NowNs();
        for (uint64_t i = 0; i < 2 * kRounds; i += 2) {
            ball.store(i + 1, std::memory_order_release);
            while (ball.load(std::memory_order_acquire) != i + 2)
                ;
        }
        elapsed = NowNs() - start;
    });
    self.join();
    other.join();
    return static_cast<double>(elapsed) / (2 * kRounds);
}

struct Spread {
    double median = 0, low = 0, high = 0;
};

Spread SpreadOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

std::string Figure(const Spread& s, double scale, const char* format)
{
    char text[96];
    snprintf(text, sizeof text, format, s.median * scale, s.low * scale, s.high * scale);
    return text;
}

void PrintRaw(const char* what, size_t size, int plugins, const char* mode, const std::vector<double>& values)
{
    printf("raw %s %zu %d %s", what, size, plugins, mode);
    for (double value : values)
        printf(" %.0f", value);
    printf("\n");
}

// A throughput row to run alone (--only), or every row.
struct RowFilter {
    long size = -1;
    int plugins = -1;
    bool coreOnly = false; // the core's runs alone, for a profiler
    bool Runs(size_t s, int p) const
    {
        return (size < 0 || static_cast<size_t>(size) == s) && (plugins < 0 || plugins == p);
    }
};

void ThroughputTable(int repeats, bool raw, RowFilter only)
{
    printf("Throughput: events/s from the first raise to the last delivery, median [min-max] of %d interleaved "
           "repeats; whole runs, then (best) their fastest stretches\n",
           repeats);
    printf("%-6s %-3s %-6s %-5s %30s %30s %8s %8s %8s %12s %6s\n", "block", "plg", "mode", "", "core ev/s",
           "baseline ev/s", "core/bas", "core/cpy", "hand/cpy", "burst/stdy", "xcore");
    for (size_t size : {size_t{0}, size_t{1024}, size_t{65536}})
        for (int plugins : {1, 4, 16}) {
            if (!only.Runs(size, plugins))
                continue;
            Spread steadyCore[2];
            const double coreToCore = CoreToCoreNs();
            for (Mode mode : {Mode::Steady, Mode::Burst}) {
                std::vector<double> core[2], base[2], copy[2], hand[2];
                for (int r = 0; r < repeats; ++r) {
                    const Rates b = only.coreOnly ? Rates{} : RunBaseline(size, plugins, mode);
                    const Rates c = RunCore(size, plugins, mode);
                    const Rates m = only.coreOnly ? Rates{} : RunMemcpy(size);
                    const Rates h = only.coreOnly ? Rates{} : RunHandoff(size, mode);
                    for (int k = 0; k < 2; ++k) {
                        base[k].push_back(k ? b.best : b.whole);
                        core[k].push_back(k ? c.best : c.whole);
                        copy[k].push_back(k ? m.best : m.whole);
                        hand[k].push_back(k ? h.best : h.whole);
                    }
                }
                const char* name = mode == Mode::Burst ? "burst" : "steady";
                for (int k = 0; k < 2; ++k) {
                    const Spread c = SpreadOf(core[k]), b = SpreadOf(base[k]), m = SpreadOf(copy[k]),
                                 h = SpreadOf(hand[k]);
                    if (mode == Mode::Steady)
                        steadyCore[k] = c;
                    char copyRatio[16] = "-", handRatio[16] = "-", burstRatio[16] = "-";
                    if (size) {
                        snprintf(copyRatio, sizeof copyRatio, "%.2f", c.median / m.median);
                        snprintf(handRatio, sizeof handRatio, "%.2f", h.median / m.median);
                    }
                    if (mode == Mode::Burst)
                        snprintf(burstRatio, sizeof burstRatio, "%.2f", steadyCore[k].median / c.median);
                    printf("%-6zu %-3d %-6s %-5s %30s %30s %8.2f %8s %8s %12s %6.0f\n", size, plugins, name,
                           k ? "best" : "", Figure(c, 1, "%.0f [%.0f-%.0f]").c_str(),
                           Figure(b, 1, "%.0f [%.0f-%.0f]").c_str(), c.median / b.median, copyRatio, handRatio,
                           burstRatio, coreToCore);
                    if (raw) {
                        if (k == 0 && mode == Mode::Steady)
                            PrintRaw("xcore", size, plugins, name, {coreToCore});
                        PrintRaw(k ? "core-best" : "core", size, plugins, name, core[k]);
                        PrintRaw(k ? "baseline-best" : "baseline", size, plugins, name, base[k]);
                        PrintRaw(k ? "memcpy-best" : "memcpy", size, plugins, name, copy[k]);
                        PrintRaw(k ? "handoff-best" : "handoff", size, plugins, name, hand[k]);
                    }
                }
                fflush(stdout);
            }
        }
    printf("core/cpy: the core's bytes per second over memcpy's into as many targets as a steady stream has in "
           "flight (4 MiB), in the same repeats; hand/cpy: the same for those copies each handed to a second "
           "thread through a bare ring, with nothing else done; burst/stdy: the core's cost per event in bursts "
           "of %d over its steady cost; xcore: one-way latency of a cache line between the first two processors, "
           "measured before the row (ns)\n\n",
           kBurst);
}

// --- latency ---

// Every latency run stamps each event's data with the time it was raised and
// the event's index in the run; the last plugin reads both when the event
// reaches it.
void StampRaisedAt(Bytes& data, int64_t index = -1)
{
    const int64_t stamp[2] = {NowNs(), index};
    memcpy(data.data(), stamp, sizeof stamp);
}

// Waits for `deadline` as a raising thread of a plugin would: asleep, unless
// the deadline is too near for a sleep to end in time, then on the processor.
// The thread's timer slack is 1 ns (PreciseTimers), so a sleep ends when it
// should rather than up to 50 us later.
void WaitUntil(int64_t deadline)
{
    constexpr int64_t kSpinBelowNs = 20'000;
    if (deadline - NowNs() > kSpinBelowNs) {
        const timespec at{static_cast<time_t>(deadline / 1'000'000'000), static_cast<long>(deadline % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR)
            ;
    }
    while (NowNs() < deadline)
        CpuRelax();
}
void PreciseTimers()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// One run's delays from raise to delivery, ns, and the rate it reached.
struct Delays {
    std::vector<int64_t> ns;
    double rate = 0;
};

// Raises `count` events through `raise` (given each event's index), one every
// `periodNs` (on a fresh thread, with precise timers), each stamped when
// raised; waits for the last delivery and returns the delays in the order the
// events were raised.
Delays TimeLatency(const std::function<void(Bytes&, int)>& raise, size_t size, int64_t periodNs, int count)
{
    g_latencies.assign(static_cast<size_t>(count), 0);
    const uint64_t first = g_delivered.exchange(0);
    Delays delays;
    std::thread producer([&] {
        PreciseTimers();
        Bytes data(size, 'v');
        const int64_t start = NowNs() + 1'000'000;
        for (int i = 0; i < count; ++i) {
            WaitUntil(start + i * periodNs);
            StampRaisedAt(data, i);
            raise(data, i);
        }
        delays.rate = count * 1e9 / static_cast<double>(NowNs() - start);
    });
    producer.join();
    WaitDelivered(static_cast<uint64_t>(count));
    g_delivered.fetch_add(first);
    delays.ns = g_latencies;
    return delays;
}

// A percentile of sorted samples (the nearest rank), and how many samples lie
// at or above it: what the figure rests on.
struct Rank {
    double us = 0;
    size_t restsOn = 0;
};
Rank PercentileOf(const std::vector<int64_t>& sorted, double fraction)
{
    if (sorted.empty())
        return {};
    const size_t n = sorted.size();
    const size_t rank = std::clamp<size_t>(static_cast<size_t>(std::ceil(fraction * static_cast<double>(n))), 1, n);
    return {static_cast<double>(sorted[rank - 1]) / 1000.0, n - rank + 1};
}

constexpr double kQuantiles[] = {0.5, 0.99, 0.999, 1.0};
constexpr const char* kQuantileNames[] = {"p50", "p99", "p99.9", "max"};
constexpr int kQuantileCount = 4;

// The delays of one side of one case over every repeat.
struct LatencyRecord {
    std::vector<double> perRepeat[kQuantileCount]; // us
    std::vector<int64_t> pooled;                   // ns, every repeat's samples
    std::vector<double> rates;
    size_t samplesPerRepeat = 0;

    void Add(Delays delays)
    {
        std::sort(delays.ns.begin(), delays.ns.end());
        for (int q = 0; q < kQuantileCount; ++q)
            perRepeat[q].push_back(PercentileOf(delays.ns, kQuantiles[q]).us);
        samplesPerRepeat = delays.ns.size();
        pooled.insert(pooled.end(), delays.ns.begin(), delays.ns.end());
        rates.push_back(delays.rate);
    }
};

// Two lines per case: each side's percentiles as the median [min-max] of the
// repeats' own, then the same percentiles over every repeat's samples pooled.
// The last column says on how many samples each percentile rests (those at or
// above it): per repeat, then pooled.
void PrintLatencyRows(const char* label, const char* side, LatencyRecord& record, bool raw)
{
    std::sort(record.pooled.begin(), record.pooled.end());
    std::string rests, pooled;
    for (int q = 0; q < kQuantileCount; ++q) {
        std::vector<int64_t> one(record.samplesPerRepeat, 0);
        const Rank perRepeat = PercentileOf(one, kQuantiles[q]);
        const Rank all = PercentileOf(record.pooled, kQuantiles[q]);
        char text[64];
        snprintf(text, sizeof text, "%s%zu/%zu", q ? " " : "", perRepeat.restsOn, all.restsOn);
        rests += text;
        snprintf(text, sizeof text, " %8.1f", all.us);
        pooled += text;
    }
    printf("%-22s %-8s", label, side);
    for (int q = 0; q < kQuantileCount; ++q)
        printf(" %22s", Figure(SpreadOf(record.perRepeat[q]), 1, "%.1f [%.1f-%.1f]").c_str());
    printf(" |%s | %8.0f  %s\n", pooled.c_str(), SpreadOf(record.rates).median, rests.c_str());
    if (raw)
        for (int q = 0; q < kQuantileCount; ++q) {
            printf("raw %s-latency %s %s", side, label, kQuantileNames[q]);
            for (double value : record.perRepeat[q])
                printf(" %.1f", value);
            printf("\n");
        }
}

// How likely it is that a side is above the other in `above` or more of
// `repeats` paired repeats when neither is faster (a one-sided sign test).
double SignTestChance(int above, int repeats)
{
    double chance = 0, ways = 1; // ways: repeats choose k, from k = 0 up
    for (int k = 0; k <= repeats; ++k) {
        if (k >= above)
            chance += ways;
        ways = ways * (repeats - k) / (k + 1);
    }
    return chance / std::pow(2.0, repeats);
}

// Where the core's percentiles (not the maximum) are above the baseline's:
// over the pooled samples, as medians of the repeats, and in so many of the
// paired repeats that chance would do it less than once in 20. The repeats,
// not the samples, are the independent trials: the host keeps a thread's
// wake-ups slow for seconds at a time, so slow events come in runs that hit
// one side's writer and not the other's, in either side's repeats alike.
struct AboveBaseline {
    std::string pooled, medians, beyondChance;
};

// Call after PrintLatencyRows, which sorts the pooled samples.
void NoteAboveBaseline(const char* label, const LatencyRecord& core, const LatencyRecord& baseline,
                       AboveBaseline& above)
{
    auto note = [&](std::string& list, int q, const char* how) {
        char cell[96];
        snprintf(cell, sizeof cell, "%s%s %s (%s)", list.empty() ? "" : ", ", label, kQuantileNames[q], how);
        list += cell;
    };
    for (int q = 0; q + 1 < kQuantileCount; ++q) {
        char how[48];
        const double c = PercentileOf(core.pooled, kQuantiles[q]).us,
                     b = PercentileOf(baseline.pooled, kQuantiles[q]).us;
        snprintf(how, sizeof how, "%.1f > %.1f", c, b);
        if (c > b)
            note(above.pooled, q, how);
        const double cm = SpreadOf(core.perRepeat[q]).median, bm = SpreadOf(baseline.perRepeat[q]).median;
        snprintf(how, sizeof how, "%.1f > %.1f", cm, bm);
        if (cm > bm)
            note(above.medians, q, how);
        const int repeats = static_cast<int>(std::min(core.perRepeat[q].size(), baseline.perRepeat[q].size()));
        int coreAbove = 0;
        for (int r = 0; r < repeats; ++r)
            coreAbove += core.perRepeat[q][r] > baseline.perRepeat[q][r];
        snprintf(how, sizeof how, "in %d of %d repeats", coreAbove, repeats);
        if (SignTestChance(coreAbove, repeats) < 0.05)
            note(above.beyondChance, q, how);
    }
}

void PrintLatencyHeader()
{
    printf("%-22s %-8s %22s %22s %22s %22s | %8s %8s %8s %8s | %8s  %s\n", "case", "side", "p50", "p99", "p99.9", "max",
           "p50", "p99", "p99.9", "max", "ev/s", "rests on (repeat/pooled)");
}

// Seconds one repeat of a case raises events for, per rate: the slow rates
// get longer runs, so that over ten repeats every side's pooled p99.9 rests
// on ten samples at least. Fewer, and which side wins a tail is decided by
// the one slow wake-up the host happened to give it.
double LatencyRunSeconds(int rate)
{
    return rate <= 100 ? 10.0 : rate <= 1000 ? 1.0 : rate <= 10000 ? 0.3 : 0.1;
}

int LatencyCount(int rate, double scale)
{
    return std::max(10, static_cast<int>(rate * LatencyRunSeconds(rate) * scale));
}

void RaiseInCore(Bytes& data)
{
    _EventParmsIn event = MakeEvent(data);
    _EventParmsOut out{sizeof out, 1, 0};
    FlatPluginEvent(&event, &out);
}

void RaiseInBaseline(BaselineSwitchboard& board, Bytes& data)
{
    _EventParmsIn event = MakeEvent(data);
    board.Raise(event);
}

Delays RunLatencyCase(bool core, size_t size, int rate, double scale)
{
    const int64_t period = 1'000'000'000 / rate;
    if (!core) {
        BaselineSwitchboard board(FakePlugins(4, &LatencyWrite));
        return TimeLatency([&](Bytes& data, int) { RaiseInBaseline(board, data); }, size, period,
                           LatencyCount(rate, scale));
    }
    BenchCore bench(4, true, &LatencyWrite);
    bench.StartWriter();
    return TimeLatency([](Bytes& data, int) { RaiseInCore(data); }, size, period, LatencyCount(rate, scale));
}

// Up to this rate the writer sleeps between events, and the delay is mostly
// the host's wake-up of a sleeping thread, which drifts between a few states
// over seconds. So the baseline and the core take turns event by event (each
// at the case's rate, half a period apart): both meet the same states, and a
// difference between them is the code's. Faster cases take turns run by run.
constexpr int kLatencyRateTakingTurns = 1000;

// Both sides in one run, turn by turn, `coreFirst` or not; {baseline, core}.
std::array<Delays, 2> RunLatencyCaseInTurns(size_t size, int rate, double scale, bool coreFirst)
{
    BaselineSwitchboard board(FakePlugins(4, &LatencyWrite));
    BenchCore bench(4, true, &LatencyWrite);
    bench.StartWriter();
    const int coreTurn = coreFirst ? 0 : 1;
    const Delays both = TimeLatency(
        [&](Bytes& data, int i) {
            if (i % 2 == coreTurn)
                RaiseInCore(data);
            else
                RaiseInBaseline(board, data);
        },
        size, 1'000'000'000 / rate / 2, 2 * LatencyCount(rate, scale));
    std::array<Delays, 2> sides;
    for (size_t i = 0; i < both.ns.size(); ++i)
        sides[i % 2 == static_cast<size_t>(coreTurn) ? 1 : 0].ns.push_back(both.ns[i]);
    sides[0].rate = sides[1].rate = both.rate / 2;
    return sides;
}

// --- latency under a recorder's load ---

// 8 cameras at 25 frames/s, each a thread of its own with its frames 5 ms
// apart from the previous camera's: a key frame of 150 KiB every 2 s, 15 KiB
// dependent frames between; and a thread raising 2,000 log lines/s. The
// frames' delays are recorded, the log lines only load the path.
constexpr int kCameras = 8;
constexpr int64_t kFramePeriodNs = 40'000'000;
constexpr int kKeyFrameEvery = 50;
constexpr size_t kKeyFrameBytes = 150 << 10;
constexpr size_t kDependentFrameBytes = 15 << 10;
constexpr int64_t kLogLinePeriodNs = 500'000;

std::atomic<uint64_t> g_frames{0};
std::vector<int64_t> g_frameLatencies;
std::vector<uint8_t> g_frameIsKey;
int32_t RecorderLatencyWrite(void* in, void*)
{
    const auto* write = static_cast<const _WriteParmsIn*>(in);
    int64_t raisedAt = -1; // -1: an event that is not timed
    if (write->eventType & EVENT_TYPE_MEDIA)
        memcpy(&raisedAt, write->data, sizeof raisedAt);
    if (raisedAt >= 0) {
        const uint64_t index = g_frames.fetch_add(1, std::memory_order_relaxed);
        if (index < g_frameLatencies.size()) {
            g_frameLatencies[index] = NowNs() - raisedAt;
            g_frameIsKey[index] = write->dataSize == kKeyFrameBytes;
        }
    }
    g_delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

// The frames' delays of one run of `seconds`, and the key frames' apart.
struct RecorderDelays {
    Delays frames, keyFrames;
};

RecorderDelays TimeRecorderLoad(const std::function<void(_EventParmsIn&)>& raise, double seconds)
{
    const int frames = std::max(kKeyFrameEvery, static_cast<int>(seconds * 1e9 / kFramePeriodNs));
    const int lines = static_cast<int>(seconds * 1e9 / kLogLinePeriodNs);
    g_frameLatencies.assign(static_cast<size_t>(frames * kCameras), 0);
    g_frameIsKey.assign(static_cast<size_t>(frames * kCameras), 0);
    g_frames.store(0);
    const uint64_t first = g_delivered.exchange(0);
    const int64_t start = NowNs() + 5'000'000;
    std::vector<std::thread> threads;
    for (int camera = 0; camera < kCameras; ++camera)
        threads.emplace_back([&, camera] {
            PreciseTimers();
            Bytes data(kKeyFrameBytes, 'f');
            // A camera's thread raises for as long as the camera runs: its
            // first frame (a key frame: the thread's own set-up in the
            // allocator and the pool, for either size) is not timed.
            for (int i = -1; i < frames; ++i) {
                if (i >= 0)
                    WaitUntil(start + camera * (kFramePeriodNs / kCameras) + i * kFramePeriodNs);
                const bool key = i % kKeyFrameEvery == 0 || i < 0;
                _EventParmsIn event = MakeEvent(data);
                event.providerID = DVR_MEDIA_SOURCE_ID(0x00090000, camera);
                event.eventType = EVENT_TYPE_MEDIA;
                event.eventFlags = DVR_MEDIA_FLAGS_FRAME;
                event.payload.video.keyFrame = key ? 1 : 0;
                event.dataSize = static_cast<uint32_t>(key ? kKeyFrameBytes : kDependentFrameBytes);
                if (i >= 0) {
                    StampRaisedAt(data);
                } else {
                    const int64_t untimed = -1;
                    memcpy(data.data(), &untimed, sizeof untimed);
                }
                raise(event);
            }
        });
    threads.emplace_back([&] {
        PreciseTimers();
        char line[120];
        for (int i = -1; i < lines; ++i) {
            if (i >= 0)
                WaitUntil(start + i * kLogLinePeriodNs);
            const int length =
                snprintf(line, sizeof line, "camera %d: %d packets received, jitter %d us", i % 8, i, i % 997);
            _EventParmsIn event;
            memset(&event, 0, sizeof event);
            event.structSize = sizeof event;
            event.version = DVR_RECORD_VERSION;
            event.providerID = 0x00090000;
            event.eventType = EVENT_TYPE_LOG;
            event.eventFlags = EVENT_FLAGS_WORD_LOG_LINE;
            event.payload.log.logLevel = LEVEL_INFO;
            event.data = line;
            event.dataSize = static_cast<uint32_t>(length + 1);
            raise(event);
        }
    });
    for (std::thread& thread : threads)
        thread.join();
    const double elapsed = static_cast<double>(NowNs() - start);
    WaitDelivered(static_cast<uint64_t>((frames + 1) * kCameras + lines + 1));
    g_delivered.fetch_add(first);
    RecorderDelays delays;
    for (size_t i = 0; i < g_frameLatencies.size(); ++i)
        (g_frameIsKey[i] ? delays.keyFrames : delays.frames).ns.push_back(g_frameLatencies[i]);
    delays.keyFrames.rate = static_cast<double>(delays.keyFrames.ns.size()) * 1e9 / elapsed;
    delays.frames.ns.insert(delays.frames.ns.end(), delays.keyFrames.ns.begin(), delays.keyFrames.ns.end());
    delays.frames.rate = static_cast<double>(delays.frames.ns.size()) * 1e9 / elapsed;
    return delays;
}

RecorderDelays RunRecorderLoad(bool core, double seconds)
{
    if (!core) {
        BaselineSwitchboard board(FakePlugins(4, &RecorderLatencyWrite));
        return TimeRecorderLoad([&](_EventParmsIn& event) { board.Raise(event); }, seconds);
    }
    BenchCore bench(4, true, &RecorderLatencyWrite);
    bench.Subscribe(DVR_EVENT_MASK_INDEX_MEDIA);
    bench.Subscribe(DVR_EVENT_MASK_INDEX_LOG);
    bench.StartWriter();
    return TimeRecorderLoad(
        [&](_EventParmsIn& event) {
            _EventParmsOut out{sizeof out, 1, 0};
            FlatPluginEvent(&event, &out);
        },
        seconds);
}

constexpr int kLatencyRates[] = {100, 1'000, 10'000, 100'000};

// One case of the latency table (a rate and size, or the recorder's load), or
// all of them.
struct LatencyCaseFilter {
    bool all = true, recorder = false;
    int rate = 0;
    size_t size = 0;
    bool Selects(int caseRate, size_t caseSize) const { return all || (rate == caseRate && size == caseSize); }
    bool SelectsRecorder() const { return all || recorder; }
};

// The latency table: per rate and block size the baseline and the core in
// interleaved repeats (their order swapped every repeat), then the recorder's
// load the same way. `scale` stretches every run (about 58 s per repeat at 1).
void LatencyTable(int repeats, double scale, bool raw, LatencyCaseFilter only)
{
    printf("Latency, FlatPluginEvent to the last plugin's Write, 4 plugins, a steady rate per case: us; the "
           "repeats' percentiles as median [min-max] of %d interleaved repeats | the percentiles of every "
           "repeat's samples pooled\n",
           repeats);
    PrintLatencyHeader();
    constexpr size_t kSizes[] = {1024, 65536};
    LatencyRecord records[2][std::size(kLatencyRates)][2]; // size, rate, side (0 baseline, 1 core)
    LatencyRecord frames[2], keyFrames[2];
    const double recorderSeconds = 4.0 * scale;
    for (int r = 0; r < repeats; ++r) {
        for (size_t s = 0; s < std::size(kSizes); ++s)
            for (size_t k = 0; k < std::size(kLatencyRates); ++k)
                if (!only.Selects(kLatencyRates[k], kSizes[s])) {
                    continue;
                } else if (kLatencyRates[k] <= kLatencyRateTakingTurns) {
                    std::array<Delays, 2> sides = RunLatencyCaseInTurns(kSizes[s], kLatencyRates[k], scale, r % 2);
                    for (int side = 0; side < 2; ++side)
                        records[s][k][side].Add(std::move(sides[side]));
                } else {
                    for (int turn = 0; turn < 2; ++turn) {
                        const int side = (turn + r) % 2;
                        records[s][k][side].Add(RunLatencyCase(side == 1, kSizes[s], kLatencyRates[k], scale));
                    }
                }
        for (int turn = 0; turn < 2 && only.SelectsRecorder(); ++turn) {
            const int side = (turn + r) % 2;
            RecorderDelays delays = RunRecorderLoad(side == 1, recorderSeconds);
            frames[side].Add(std::move(delays.frames));
            keyFrames[side].Add(std::move(delays.keyFrames));
        }
    }
    AboveBaseline above;
    for (size_t s = 0; s < std::size(kSizes); ++s)
        for (size_t k = 0; k < std::size(kLatencyRates); ++k) {
            if (!only.Selects(kLatencyRates[k], kSizes[s]))
                continue;
            char label[32];
            snprintf(label, sizeof label, "%d/s %zu B", kLatencyRates[k], kSizes[s]);
            for (int side : {1, 0})
                PrintLatencyRows(label, side ? "core" : "baseline", records[s][k][side], raw);
            NoteAboveBaseline(label, records[s][k][1], records[s][k][0], above);
        }
    if (only.SelectsRecorder()) {
        for (int side : {1, 0})
            PrintLatencyRows("recorder frames", side ? "core" : "baseline", frames[side], raw);
        NoteAboveBaseline("recorder frames", frames[1], frames[0], above);
        for (int side : {1, 0})
            PrintLatencyRows("recorder key frames", side ? "core" : "baseline", keyFrames[side], raw);
    }
    printf("ev/s: the rate the raising thread reached (median of the repeats); rests on: how many samples lie at "
           "or above each percentile, in one repeat / pooled.");
    if (only.SelectsRecorder())
        printf(" Recorder: %d cameras at 25 frames/s (a %zu KiB key frame every 2 s, %zu KiB frames between) and "
               "2,000 log lines/s, %.1f s per repeat; the frames' delays, every frame and the key frames alone",
               kCameras, kKeyFrameBytes >> 10, kDependentFrameBytes >> 10, recorderSeconds);
    printf("\n");
    auto list = [](const std::string& cells) { return cells.empty() ? "nowhere" : cells.c_str(); };
    printf("The core above the baseline, pooled: %s\n", list(above.pooled));
    printf("The core above the baseline, medians of the repeats: %s\n", list(above.medians));
    printf("The core above the baseline in more of the repeats than chance would give (under 1 in 20): %s\n\n",
           list(above.beyondChance));
    fflush(stdout);
}

// --- resident size around a burst ---

void ResidentAfterBurst()
{
    constexpr double kMiB = 1 << 20;
    printf("Resident size around a burst of %d events (4 plugins, the scheduler running): MiB\n", kBurst);
    printf("%-6s %10s %10s %12s %14s\n", "block", "before", "peak", "after 1 s", "after-before");
    BenchCore core(4);
    core.StartWriter();
    core.StartScheduler();
    for (size_t size : {size_t{1024}, size_t{65536}}) {
        Bytes data(size, 'v');
        _EventParmsIn event = MakeEvent(data);
        // A short steady stream first: the level before is that of a running core.
        uint64_t raised = g_delivered.load();
        for (int i = 0; i < 64; ++i) {
            _EventParmsOut out{sizeof out, 1, 0};
            FlatPluginEvent(&event, &out);
            WaitDelivered(++raised);
        }
        const size_t before = ReadResidentBytes();
        for (int i = 0; i < kBurst; ++i) {
            _EventParmsOut out{sizeof out, 1, 0};
            FlatPluginEvent(&event, &out);
        }
        const size_t peak = ReadResidentBytes();
        WaitDelivered(raised + kBurst);
        std::this_thread::sleep_for(std::chrono::seconds(1)); // the idle second itself
        const size_t after = ReadResidentBytes();
        printf("%-6zu %10.1f %10.1f %12.1f %14.2f\n", size, static_cast<double>(before) / kMiB,
               static_cast<double>(peak) / kMiB, static_cast<double>(after) / kMiB,
               (static_cast<double>(after) - static_cast<double>(before)) / kMiB);
    }
    printf("\n");
}

// --- the writer's microbenchmarks (Google Benchmark) ---

// Events the one-thread cases queue per iteration.
constexpr int kQueued = 4096;

// Raises `event` kQueued times; with no writer running they stay queued.
void RaiseQueued(_EventParmsIn& event)
{
    for (int i = 0; i < kQueued; ++i) {
        _EventParmsOut out{sizeof out, 1, 0};
        FlatPluginEvent(&event, &out);
    }
}

// Writer time alone: events queued first, then one drain; args size, plugins,
// per-plugin counters (0 without, 1 with).
void BM_WriterDrain(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    Bytes data(size, 'v');
    _EventParmsIn event = MakeEvent(data);
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchCore core(static_cast<int>(state.range(1)), state.range(2) != 0);
            RaiseQueued(event);
            core.StopWriter(); // stop requested: the loop drains and returns
            state.ResumeTiming();
            core.StartWriter();
            core.StopWriter();
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    state.counters["ns/event"] = benchmark::Counter(static_cast<double>(state.iterations()) * kQueued,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The producer's side alone: 4096 events raised into a queue no writer takes
// from; arg: block size.
void BM_RaiseOnly(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    Bytes data(size, 'v');
    _EventParmsIn event = MakeEvent(data);
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchCore core(4);
            state.ResumeTiming();
            RaiseQueued(event);
            state.PauseTiming();
            core.StartWriter(); // drained untimed
            core.StopWriter();
        }
        state.ResumeTiming();
    }
    state.counters["ns/event"] = benchmark::Counter(static_cast<double>(state.iterations()) * kQueued,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The writer's deliveries of one event to 16 plugins, on this thread alone
// (no queue, no thread hand-off, so little scheduling noise); arg: per-plugin
// counters (0 without, 1 with).
void BM_Deliver(benchmark::State& state)
{
    Bytes data(1024, 'v');
    _EventParmsIn event = MakeEvent(data);
    BenchCore core(16, state.range(0) != 0);
    core.WatchThisThread();
    for (auto _ : state)
        core.Deliver(event);
    PluginCallScope::WatchThisThread(nullptr);
    state.counters["ns/call"] = benchmark::Counter(static_cast<double>(state.iterations()) * 16,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Deliver)->Arg(0)->Arg(1);
BENCHMARK(BM_WriterDrain)->ArgsProduct({{0, 1024, 65536}, {1, 4, 16}, {1}})->UseRealTime();
BENCHMARK(BM_RaiseOnly)->Arg(0)->Arg(1024)->Arg(65536)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    int repeats = 5, latencyRepeats = 10;
    double latencyScale = 1;
    bool raw = false, micro = false, latencyOnly = false;
    RowFilter only;
    LatencyCaseFilter latencyCase;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--repeats=", 10) == 0)
            repeats = std::max(1, atoi(argv[i] + 10));
        else if (strncmp(argv[i], "--latency-repeats=", 18) == 0)
            latencyRepeats = std::max(1, atoi(argv[i] + 18));
        else if (strncmp(argv[i], "--latency-scale=", 16) == 0)
            latencyScale = std::max(0.01, atof(argv[i] + 16));
        else if (strcmp(argv[i], "--latency-case=recorder") == 0)
            latencyOnly = true, latencyCase.all = false, latencyCase.recorder = true;
        else if (strncmp(argv[i], "--latency-case=", 15) == 0 &&
                 sscanf(argv[i] + 15, "%d/%zu", &latencyCase.rate, &latencyCase.size) == 2)
            latencyOnly = true, latencyCase.all = false;
        else if (strcmp(argv[i], "--raw") == 0)
            raw = true;
        else if (strncmp(argv[i], "--only=", 7) == 0 && sscanf(argv[i] + 7, "%ld/%d", &only.size, &only.plugins) == 2)
            ;
        else if (strcmp(argv[i], "--core-only") == 0)
            only.coreOnly = true;
        else if (strcmp(argv[i], "--latency") == 0)
            latencyOnly = true;
        else if (strcmp(argv[i], "--micro") == 0)
            micro = true;
        else
            rest.push_back(argv[i]);
    // As dvrcore's main does, once for the whole process: the baseline, run
    // interleaved with the core, gets the same allocator settings.
    {
        BenchCore core(1);
        TuneAllocator();
    }
    if (micro) {
        int restCount = static_cast<int>(rest.size());
        benchmark::Initialize(&restCount, rest.data());
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        return 0;
    }
    if (latencyOnly) {
        LatencyTable(latencyRepeats, latencyScale, raw, latencyCase);
        return 0;
    }
    if (only.size >= 0) {
        ThroughputTable(repeats, raw, only);
        return 0;
    }
    ResidentAfterBurst(); // first, while the heap holds only what the core needs
    ThroughputTable(repeats, raw, only);
    LatencyTable(latencyRepeats, latencyScale, raw, {});
    return 0;
}
