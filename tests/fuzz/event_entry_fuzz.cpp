// Event entry: arbitrary _EventParmsIn records (types, flags, sizes, payload,
// request IDs; data in a buffer of exactly dataSize bytes) through
// FlatPluginEvent of a core whose writer runs, with three fake plugins that
// keep some blocks and give them back from the raising thread while the
// writer delivers. Checks that every result is one the event may get, that a
// release leaves its result alone, that only accepted events are delivered,
// each once, in order and with the raiser's exact bytes, and that once every
// kept block is given back the block counts return to zero.
//
// Input: u8 flags and u32 mask for each plugin, then operations, each chosen
// by one control byte (low 2 bits):
//   0, 1  raise: u8 type choice, u8 provider choice, u32 flags, u8 request
//         choice, u16 data size (bytes follow, zero-padded), u8 payload length
//         (bytes follow, from the payload's start), u8 keep mask
//   2     give back: u8 plugin and how (twice, or first as another owner)
//   3     core state: u8 choice (video throttling, a log threshold), u8 value
#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "plugin-host/raised_event.h"
#include "fuzz_support.h"
#include "support/core_harness.h"

namespace {

constexpr int kPlugins = 3;
constexpr uint32_t kPluginIDs[kPlugins] = {0x00210000, 0x00220000, 0x00230000};
constexpr int32_t kUntouched = 0x5EEDF00D;
// The end of the payload carries the raise's serial number, for the plugins.
constexpr size_t kSerialOffset = sizeof(_EventPayload) - sizeof(uint32_t);
constexpr size_t kKeepOffset = kSerialOffset - 1;
constexpr size_t kFuzzedPayload = 32; // covers logLevel and keyFrame

uint64_t Hash(const void* data, uint32_t size)
{
    uint64_t hash = 1469598103934665603ull;
    for (uint32_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
    return hash;
}

struct Raise {
    uint32_t dataSize = 0;
    uint64_t hash = 0;
    bool handed = false; // the call returned
    int32_t result = kUntouched;
    int deliveries[kPlugins] = {};
};

// State shared by the raising thread, the writer and request threads.
struct Bench {
    std::mutex mutex;
    std::vector<Raise> raises; // serial - 1
    std::deque<void*> kept[kPlugins];
    uint32_t lastSerial[kPlugins] = {};
    uint8_t flags[kPlugins] = {};

    void Reset()
    {
        raises.clear();
        for (int p = 0; p < kPlugins; ++p) {
            kept[p].clear();
            lastSerial[p] = 0;
        }
    }
};
Bench bench;

// Reads the whole block, so that a copy shorter than dataSize is caught.
uint64_t ReadBlock(const void* data, uint32_t size)
{
    FUZZ_CHECK((data == nullptr) == (size == 0));
    return Hash(data, size);
}

void ReleaseNow(void* block, uint32_t owner)
{
    _EventParmsIn release{};
    release.structSize = sizeof release;
    release.version = 1;
    release.eventType = EVENT_TYPE_RELEASE;
    release.providerID = owner;
    release.data = block;
    _EventParmsOut out{sizeof out, 1, kUntouched};
    FlatPluginEvent(&release, &out);
    FUZZ_CHECK(out.result == kUntouched);
}

// The fake plugins' entry points (the harness's hooks).
int32_t FakeWrite(int plugin, _WriteParmsIn& in, _WriteParmsOut& out)
{
    const uint64_t hash = ReadBlock(in.data, in.dataSize);
    uint32_t serial;
    memcpy(&serial, in.payload.bytes + kSerialOffset, sizeof serial);
    std::lock_guard lock(bench.mutex);
    if (serial == 0 || serial > bench.raises.size())
        return 0; // the core's own event, or one a request thread raised
    Raise& raise = bench.raises[serial - 1];
    FUZZ_CHECK(raise.dataSize == in.dataSize && raise.hash == hash);
    FUZZ_CHECK(!raise.handed || raise.result == EVENT_RESULT_OK);
    FUZZ_CHECK(++raise.deliveries[plugin] == 1);
    FUZZ_CHECK(serial > bench.lastSerial[plugin]);
    bench.lastSerial[plugin] = serial;
    const uint8_t keep = in.payload.bytes[kKeepOffset];
    if (in.data && (keep >> plugin & 1)) {
        out.retain = 1;
        // Bit 3: the block is given back before Write returns, before the
        // core has recorded the hold (as a plugin that hands it to a thread
        // does). Bit 7: first by a release naming the core as owner, as a
        // confused plugin might; the plugin gives its own hold back later.
        if (keep >> 7 & 1) {
            ReleaseNow(in.data, CORE_PROVIDER_ID);
            bench.kept[plugin].push_back(in.data);
        } else if (keep >> 3 & 1) {
            ReleaseNow(in.data, kPluginIDs[plugin]);
        } else {
            bench.kept[plugin].push_back(in.data);
        }
    }
    return keep >> (plugin + 4) & 1; // some Writes fail
}

int32_t FakeIoctl(int plugin, _IoctlParmsIn& in, _IoctlParmsOut& out)
{
    FUZZ_CHECK(in.request == IOCTL_CONFIG);
    ReadBlock(in.data, in.dataSize);
    if (in.data && (static_cast<const unsigned char*>(in.data)[0] >> plugin & 1)) {
        std::lock_guard lock(bench.mutex);
        out.retain = 1;
        bench.kept[plugin].push_back(in.data);
    }
    return 0;
}

// A request thread raises one event for its request, with the request's data
// (null, with the request's size, when the request had none).
int32_t FakeRead(int, _ReadParmsIn& in, _ReadParmsOut&)
{
    if (in.data)
        ReadBlock(in.data, in.dataSize);
    _EventParmsIn event{};
    event.structSize = sizeof event;
    event.version = 1;
    event.providerID = kPluginIDs[0];
    event.requestID = in.requestID;
    event.eventType = EVENT_TYPE_0002;
    event.dataSize = in.dataSize;
    event.data = in.data;
    _EventParmsOut out{sizeof out, 1, kUntouched};
    FlatPluginEvent(&event, &out);
    FUZZ_CHECK(out.result == EVENT_RESULT_OK || out.result == EVENT_RESULT_REFUSED);
    return 0;
}

// Gives back the oldest block plugin `p` kept, as `owner`.
void GiveBack(int p, uint32_t owner, bool keepIt = false)
{
    void* block;
    {
        std::lock_guard lock(bench.mutex);
        if (bench.kept[p].empty())
            return;
        block = bench.kept[p].front();
        if (!keepIt)
            bench.kept[p].pop_front();
    }
    ReleaseNow(block, owner);
}

void RaiseFrom(dvrfuzz::Input& input, dvrtest::TestCore& core)
{
    static constexpr uint32_t kTypes[] = {EVENT_TYPE_MEDIA,      EVENT_TYPE_0002,
                                          EVENT_TYPE_STATUS,     EVENT_TYPE_0008,
                                          EVENT_TYPE_0010,       EVENT_TYPE_0020,
                                          EVENT_TYPE_LOG,        EVENT_TYPE_0080,
                                          EVENT_TYPE_0400,       EVENT_TYPE_CONFIG,
                                          EVENT_TYPE_RELEASE,    EVENT_TYPE_CLOSE_REQUEST,
                                          EVENT_TYPE_SUPERVISOR, EVENT_TYPE_LOG | EVENT_TYPE_MEDIA};
    constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];
    const uint8_t typeChoice = input.u8();
    const uint8_t providerChoice = input.u8();
    _EventParmsIn event{};
    event.structSize = sizeof event;
    event.version = 1;
    event.eventType = typeChoice < kTypeCount ? kTypes[typeChoice] : input.u32();
    event.providerID = providerChoice < kPlugins        ? kPluginIDs[providerChoice]
                       : providerChoice == kPlugins     ? CORE_PROVIDER_ID
                       : providerChoice == kPlugins + 1 ? 0
                                                        : input.u32();
    event.eventFlags = input.u32();
    const uint8_t requestChoice = input.u8();
    event.requestID = requestChoice < 128 ? 0 : requestChoice < 250 ? requestChoice & 7 : input.u32();

    // The data: malloc'ed (a supervisor block is taken over), exactly dataSize
    // bytes; a size without data now and then.
    const uint16_t dataSize = input.u16();
    size_t got = 0;
    const unsigned char* bytes = input.bytes(dataSize & 0x7FFF, &got);
    const bool nullData = dataSize & 0x8000;
    event.dataSize = dataSize & 0x7FFF;
    void* data = nullptr;
    if (!nullData && event.dataSize) {
        data = malloc(event.dataSize);
        memset(data, 0, event.dataSize);
        memcpy(data, bytes, got);
    }
    event.data = data;
    const unsigned char* payload = input.bytes(input.u8() % (kFuzzedPayload + 1), &got);
    memcpy(event.payload.bytes, payload, got);
    event.payload.bytes[kKeepOffset] = input.u8();

    uint32_t serial;
    {
        std::lock_guard lock(bench.mutex);
        Raise raise;
        raise.dataSize = data ? event.dataSize : 0;
        raise.hash = Hash(data, raise.dataSize);
        bench.raises.push_back(raise);
        serial = static_cast<uint32_t>(bench.raises.size());
    }
    memcpy(event.payload.bytes + kSerialOffset, &serial, sizeof serial);

    const _EventParmsIn asRaised = event;
    _EventParmsOut out{sizeof out, 1, kUntouched};
    FUZZ_CHECK(FlatPluginEvent(&event, &out) == 0);
    FUZZ_CHECK(memcmp(&event, &asRaised, sizeof event) == 0); // the caller's record is not written
    const int32_t result = out.result;
    {
        std::lock_guard lock(bench.mutex);
        Raise& raise = bench.raises[serial - 1];
        raise.handed = true;
        raise.result = result;
        // Delivered already: then it must have been accepted.
        for (int p = 0; p < kPlugins; ++p)
            FUZZ_CHECK(raise.deliveries[p] == 0 || result == EVENT_RESULT_OK);
    }

    // The results each kind of event may get, by the host's own decision table.
    const RaisedKind kind = ClassifyRaised(asRaised);
    if (kind == RaisedKind::Release) {
        FUZZ_CHECK(result == kUntouched);
    } else if (kind == RaisedKind::SupervisorBlock) {
        FUZZ_CHECK(result == EVENT_RESULT_REFUSED); // no supervisor: the block is freed at once
        data = nullptr;                             // the core's now
    } else if (kind == RaisedKind::ReadRequest || kind == RaisedKind::CloseRequest) {
        FUZZ_CHECK(result == EVENT_RESULT_OK);
    } else if (kind == RaisedKind::LogQuery) {
        FUZZ_CHECK(result == core.logLevels.Threshold(asRaised.providerID));
    } else {
        const bool video = (asRaised.eventType & EVENT_TYPE_MEDIA) && (asRaised.eventFlags & EVENT_FLAG_VIDEO);
        FUZZ_CHECK(result == EVENT_RESULT_OK || result == EVENT_RESULT_REFUSED || result == EVENT_RESULT_NO_MEMORY ||
                   (video && result >= EVENT_RESULT_NOT_ADMITTED && result <= EVENT_RESULT_THROTTLED) ||
                   (kind == RaisedKind::LogLine && result == kUntouched));
    }
    free(data);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    bench.Reset();
    dvrfuzz::Input input(data, size);
    dvrtest::TestCore core;
    core.onWrite = FakeWrite;
    core.onRead = FakeRead;
    core.onIoctl = FakeIoctl;
    for (int p = 0; p < kPlugins; ++p) {
        const uint8_t flags = input.u8();
        const uint32_t mask = input.u32();
        core.AddFakePlugin(p, kPluginIDs[p], [&](PLUGININFO& plugin) {
            plugin.info.writeEnabled = flags & 1;
            plugin.info.readEnabled = flags >> 1 & 1;
            if (flags >> 2 & 1)
                plugin.Write = nullptr;
            if (flags >> 3 & 1)
                plugin.IOCTL = nullptr;
            for (int i = 0; i < DVR_EVENT_MASK_COUNT; ++i)
                plugin.info.eventMasks[i] = flags >> 4 & 1 ? ~mask : mask;
        });
    }
    std::thread writer([&core] { core.WriterLoop(); });

    while (!input.empty()) {
        const uint8_t control = input.u8();
        switch (control & 3) {
        case 0:
        case 1:
            RaiseFrom(input, core);
            break;
        case 2: {
            const uint8_t how = input.u8();
            const int p = how % kPlugins;
            // Given back first by an owner that does not hold it, or twice:
            // neither may free it under its holder.
            if (how & 0x10)
                GiveBack(p, how & 0x20 ? CORE_PROVIDER_ID : kPluginIDs[(p + 1) % kPlugins], true);
            GiveBack(p, kPluginIDs[p]);
            break;
        }
        case 3: {
            const uint8_t choice = input.u8();
            const uint8_t value = input.u8();
            if (choice & 1)
                core.housekeeping().SetThrottled(value & 1);
            else
                core.logLevels[LogLevelSlot(kPluginIDs[choice >> 1 & 1])] = static_cast<int8_t>(value);
            break;
        }
        }
    }

    // The writer delivers everything queued before it returns.
    core.RequestStop();
    writer.join();
    core.events().WaitForRequestThreads();
    {
        std::lock_guard lock(bench.mutex);
        for (const Raise& raise : bench.raises)
            for (int p = 0; p < kPlugins; ++p)
                FUZZ_CHECK(raise.deliveries[p] == 0 || raise.result == EVENT_RESULT_OK);
    }
    for (int p = 0; p < kPlugins; ++p)
        while (!bench.kept[p].empty())
            GiveBack(p, kPluginIDs[p]);
    FUZZ_CHECK(core.events().holds().blockCount() == 0);
    FUZZ_CHECK(core.events().holds().byteCount() == 0);
    return 0;
}
