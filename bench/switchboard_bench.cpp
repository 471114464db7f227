// The event path side by side: memcpy of the block, a frozen baseline
// switchboard, and the core's real path (FlatPluginEvent -> queue -> writer ->
// N plugins' Write with reference accounting). Prints events/s, GB/s, page
// faults per event and the ratios the event path is held to.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "baseline_switchboard.h"
#include "core/allocator.h"
#include "core/dvrcore.h"

namespace {

constexpr int kBurst = 2048;
constexpr uint32_t kEventType = EVENT_TYPE_0002;

// Every fake plugin counts; the last one in the list tells the producer.
std::atomic<uint64_t> g_delivered{0};
int32_t CountingWrite(void*, void*)
{
    return 0;
}
int32_t LastWrite(void*, void*)
{
    g_delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

std::vector<DvrEntryPoint> FakePlugins(int count)
{
    std::vector<DvrEntryPoint> plugins(static_cast<size_t>(count), &CountingWrite);
    plugins.back() = &LastWrite;
    return plugins;
}

void WaitDelivered(uint64_t target)
{
    while (g_delivered.load(std::memory_order_acquire) < target)
        std::this_thread::yield();
}

long MinorFaults()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

_EventParmsIn MakeEvent(std::vector<char>& data)
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

// The core with fake plugins and its writer loop on a thread of its own.
class BenchCore : public dvrcore {
public:
    // `counted`: the plugins have per-plugin counters, as loaded plugins do.
    explicit BenchCore(int pluginCount, bool counted = true) : dvrcore("/nonexistent/dvrcore")
    {
        // As dvrcore's main does; the baseline runs before, with glibc's defaults.
        TuneAllocator();
        uint32_t id = 0x00100000;
        for (DvrEntryPoint write : FakePlugins(pluginCount)) {
            PLUGININFO plugin;
            plugin.Write = write;
            plugin.info.systemID = id;
            id += 0x10000;
            plugin.info.writeEnabled = 1;
            plugin.info.eventMasks[DVR_EVENT_MASK_INDEX_0002] = 0xFFFFFFFF;
            plugin.Filename = "bench.so";
            if (counted)
                plugin.counters = &pluginSide.Add(plugin.info.systemID, plugin.Filename).counters;
            plugins.push_back(std::move(plugin));
        }
    }
    // Watched by the hung-call watchdog, as the core's writer is.
    void StartWriter()
    {
        writer_ = std::thread([this] {
            PluginCallScope::WatchThisThread(&mainWatch);
            WriterLoop();
        });
    }
    void StopWriter()
    {
        RequestStop();
        if (writer_.joinable())
            writer_.join();
    }
    ~BenchCore() override { StopWriter(); }
    // One event's deliveries to every plugin, on the calling thread.
    void Deliver(const _EventParmsIn& event) { DeliverEvent(event, false); }
    void WatchThisThread() { PluginCallScope::WatchThisThread(&mainWatch); }

private:
    std::thread writer_;
};

void Report(benchmark::State& state, long faults, size_t size)
{
    const double events = static_cast<double>(state.iterations()) * (state.range(2) ? kBurst : 1);
    state.counters["events/s"] = benchmark::Counter(events, benchmark::Counter::kIsRate);
    state.counters["faults/event"] = static_cast<double>(faults) / events;
    state.SetBytesProcessed(static_cast<int64_t>(events * static_cast<double>(size)));
}

// Args: block size, plugin count, burst (0 steady stream, 1 bursts of 2048).
void BM_Core(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<char> data(size, 'v');
    BenchCore core(static_cast<int>(state.range(1)));
    core.StartWriter();
    _EventParmsIn event = MakeEvent(data);
    const int perIteration = state.range(2) ? kBurst : 1;
    uint64_t raised = g_delivered.load();
    long faults = MinorFaults();
    for (auto _ : state) {
        for (int i = 0; i < perIteration; ++i) {
            _EventParmsOut out{sizeof out, 1, 0};
            FlatPluginEvent(&event, &out);
        }
        raised += static_cast<uint64_t>(perIteration);
        if (perIteration > 1)
            WaitDelivered(raised);
    }
    WaitDelivered(raised);
    Report(state, MinorFaults() - faults, size);
    core.StopWriter();
}

void BM_Baseline(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<char> data(size, 'v');
    uint64_t raised = g_delivered.load();
    long faults;
    {
        BaselineSwitchboard board(FakePlugins(static_cast<int>(state.range(1))));
        _EventParmsIn event = MakeEvent(data);
        const int perIteration = state.range(2) ? kBurst : 1;
        faults = MinorFaults();
        for (auto _ : state) {
            for (int i = 0; i < perIteration; ++i)
                board.Raise(event);
            raised += static_cast<uint64_t>(perIteration);
            if (perIteration > 1)
                WaitDelivered(raised);
        }
        WaitDelivered(raised);
        faults = MinorFaults() - faults;
    }
    Report(state, faults, size);
}

void BM_Memcpy(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<char> source(size, 'v'), target(size);
    for (auto _ : state) {
        memcpy(target.data(), source.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.counters["events/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Writer time alone: events queued first, then one drain; args size, plugins,
// per-plugin counters (0 without, 1 with).
void BM_WriterDrain(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<char> data(size, 'v');
    _EventParmsIn event = MakeEvent(data);
    constexpr int kQueued = 4096;
    for (auto _ : state) {
        state.PauseTiming();
        {
            BenchCore core(static_cast<int>(state.range(1)), state.range(2) != 0);
            for (int i = 0; i < kQueued; ++i) {
                _EventParmsOut out{sizeof out, 1, 0};
                FlatPluginEvent(&event, &out);
            }
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

// The writer's deliveries of one event to 16 plugins, on this thread alone
// (no queue, no thread hand-off, so little scheduling noise); arg: per-plugin
// counters (0 without, 1 with). The difference over 16 is what counting costs
// per Write call.
void BM_Deliver(benchmark::State& state)
{
    std::vector<char> data(1024, 'v');
    _EventParmsIn event = MakeEvent(data);
    BenchCore core(16, state.range(0) != 0);
    core.WatchThisThread();
    for (auto _ : state)
        core.Deliver(event);
    PluginCallScope::WatchThisThread(nullptr);
    state.counters["ns/call"] = benchmark::Counter(static_cast<double>(state.iterations()) * 16,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void SwitchboardArgs(benchmark::internal::Benchmark* b)
{
    for (int64_t size : {0, 1024, 65536})
        for (int64_t plugins : {1, 4, 16})
            for (int64_t burst : {0, 1})
                b->Args({size, plugins, burst});
}

BENCHMARK(BM_Memcpy)->Arg(1024)->Arg(65536)->UseRealTime();
BENCHMARK(BM_Baseline)->Apply(SwitchboardArgs)->UseRealTime();
BENCHMARK(BM_Core)->Apply(SwitchboardArgs)->UseRealTime();
BENCHMARK(BM_Deliver)->Arg(0)->Arg(1);
BENCHMARK(BM_WriterDrain)->ArgsProduct({{1024}, {1, 16}, {0, 1}})->UseRealTime();

// Keeps every run so the summary can set them side by side.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            results[run.benchmark_name()] = run;
    }
    std::map<std::string, Run> results;
};

double Counter(const benchmark::BenchmarkReporter::Run& run, const char* name)
{
    auto found = run.counters.find(name);
    return found == run.counters.end() ? 0 : found->second.value;
}

void PrintSummary(SummaryReporter& reporter)
{
    auto find = [&](const std::string& name) -> const benchmark::BenchmarkReporter::Run* {
        auto found = reporter.results.find(name + "/real_time");
        return found == reporter.results.end() ? nullptr : &found->second;
    };
    printf("\n%-8s %-7s %-6s %14s %14s %9s %9s %12s %12s\n", "block", "plugins", "mode", "core ev/s", "base ev/s",
           "core/base", "core/cpy", "core flt/ev", "base flt/ev");
    for (int size : {0, 1024, 65536})
        for (int plugins : {1, 4, 16})
            for (int burst : {0, 1}) {
                std::string args =
                    "/" + std::to_string(size) + "/" + std::to_string(plugins) + "/" + std::to_string(burst);
                auto core = find("BM_Core" + args);
                auto base = find("BM_Baseline" + args);
                auto copy = size ? find("BM_Memcpy/" + std::to_string(size)) : nullptr;
                if (!core || !base)
                    continue;
                double coreRate = Counter(*core, "events/s"), baseRate = Counter(*base, "events/s");
                double copyRatio = copy ? coreRate / Counter(*copy, "events/s") : 0;
                printf("%-8d %-7d %-6s %14.0f %14.0f %9.2f %9.2f %12.3f %12.3f\n", size, plugins,
                       burst ? "burst" : "steady", coreRate, baseRate, coreRate / baseRate, copyRatio,
                       Counter(*core, "faults/event"), Counter(*base, "faults/event"));
            }
    auto drain1 = find("BM_WriterDrain/1024/1/1"), drain16 = find("BM_WriterDrain/1024/16/1");
    if (drain1 && drain16)
        printf("\nwriter time per further plugin (1 KiB blocks): %.1f ns per event\n",
               (Counter(*drain16, "ns/event") - Counter(*drain1, "ns/event")) * 1e9 / 15);
    auto counted = reporter.results.find("BM_Deliver/1"), uncounted = reporter.results.find("BM_Deliver/0");
    if (counted != reporter.results.end() && uncounted != reporter.results.end())
        printf("per-plugin counters: %.2f ns per Write call (%.2f with, %.2f without)\n",
               (Counter(counted->second, "ns/call") - Counter(uncounted->second, "ns/call")) * 1e9,
               Counter(counted->second, "ns/call") * 1e9, Counter(uncounted->second, "ns/call") * 1e9);
    auto steady = find("BM_Core/65536/4/0"), burst = find("BM_Core/65536/4/1");
    if (steady && burst)
        printf("64 KiB, 4 plugins: burst cost per event / steady cost per event: %.2f\n",
               Counter(*steady, "events/s") / Counter(*burst, "events/s"));
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(reporter);
    benchmark::Shutdown();
    return 0;
}
