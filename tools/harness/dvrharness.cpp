// The plugin test harness: plays the core around one plugin library in the
// test's own process. Routing, acceptance and the holds on data blocks are
// the core's own code.
#include "dvrharness.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin-host/raised_event.h"
#include "events/refblocktable.h"
#include "events/routing.h"
#include "plugin-host/plugin_acceptance.h"
#include "plugin-host/plugin_descriptor_rules.h"
#include "plugin-host/plugin_entry_points.h"
#include "plugin-host/plugin_records.h"

namespace {

// A copy of an event the plugin raised; the record's data points at `data`.
struct Raised {
    _EventParmsIn record;
    std::vector<unsigned char> data;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::atomic<DvrHarness*> current{nullptr};

} // namespace

struct DvrHarness {
    std::string fileName;
    void* library = nullptr;
    PluginEntryPoints entries;
    _LoadParmsOut descriptor{};
    std::string rejection;
    bool accepted = false, opened = false, closed = false;
    std::atomic<bool> stopping{false};
    std::atomic<int32_t> threshold{-1};
    std::thread worker;

    // Who holds each data block handed out, by the core's rules: the
    // harness's hold while it delivers, the plugin's kept ones, a release
    // that comes before its hold is recorded. Its own lock.
    RefBlockTable holds;

    std::mutex mutex; // everything below; never held while the plugin runs
    // The call that handed each live block out, for the leak report.
    std::map<void*, std::string> origins;
    std::deque<Raised> raised;
    std::deque<std::string> logLines;
    std::deque<std::vector<unsigned char>> supervisorBlocks;
    // The supervisor packet the plugin's IOCTL is reading, null between calls.
    const unsigned char* packetInFlight = nullptr;
    size_t packetInFlightSize = 0;
    unsigned handedOut = 0;
    std::string leakReport;

    // Drops one hold; frees the block when nobody holds it any more. The
    // block's address comes back from malloc only after free, so its origin
    // is gone before another block can take it.
    void Release(void* block, uint32_t owner)
    {
        if (!block || !holds.Release(block, owner))
            return;
        {
            std::lock_guard lock(mutex);
            origins.erase(block);
        }
        free(block);
    }

    // A copy of the event's data held by the core, as the writer makes it
    // for the event it starts delivering.
    void* HandOut(const _EventParmsIn& event, std::string origin)
    {
        if (!event.data || !event.dataSize)
            return nullptr;
        void* copy = malloc(event.dataSize);
        if (!copy)
            return nullptr;
        memcpy(copy, event.data, event.dataSize);
        {
            std::lock_guard lock(mutex);
            origins[copy] = std::move(origin);
        }
        holds.AddDeliveryRef(copy, event.dataSize, CORE_PROVIDER_ID, event.eventType);
        return copy;
    }

    // Whether `data` is memory the harness handed the plugin: within a block
    // still held or the supervisor packet being read. Not the plugin's to give away.
    bool HandedOut(const void* data)
    {
        if (holds.Holds(data))
            return true;
        std::lock_guard lock(mutex);
        const auto* byte = static_cast<const unsigned char*>(data);
        return packetInFlight && byte >= packetInFlight && byte < packetInFlight + packetInFlightSize;
    }

    std::string whyNot; // DvrHarnessWhyNotDelivered's text

    // Empty when Deliver calls the plugin with `event`, else why not.
    std::string Undelivered(const _EventParmsIn& event) const;
    int32_t Event(_EventParmsIn* in, _EventParmsOut* out);
    int CallWrite(const _EventParmsIn& event, void* copy);
    int CallConfig(uint32_t size, void* copy);
};

int32_t DvrHarness::Event(_EventParmsIn* in, _EventParmsOut* out)
{
    const RaisedKind kind = ClassifyRaised(*in);
    if (kind == RaisedKind::Release) {
        // The harness gives up its own holds itself, as the core does; a
        // release in the core's name would free a block in delivery.
        if (in->providerID != CORE_PROVIDER_ID)
            Release(in->data, in->providerID);
        return 0;
    }
    if (kind == RaisedKind::SupervisorBlock) {
        // Refused and left with the plugin, as the core refuses it: no block,
        // or one the harness handed out.
        if ((!in->data && in->dataSize) || HandedOut(in->data)) {
            out->result = EVENT_RESULT_REFUSED;
            return 0;
        }
        {
            std::lock_guard lock(mutex);
            const auto* bytes = static_cast<const unsigned char*>(in->data);
            supervisorBlocks.emplace_back(bytes, bytes + (bytes ? in->dataSize : 0));
        }
        free(in->data);
        out->result = EVENT_RESULT_OK;
        return 0;
    }
    // A plugin raises no read request as source 0 here: such an event is
    // kept as raised, its log flags read as any source's.
    if (in->eventType & EVENT_TYPE_LOG) {
        const int32_t t = threshold.load();
        if (in->eventFlags & EVENT_FLAG_BIT_LOG_LINE) {
            const LogLineFate fate = FateOfLogLine(t, in->payload.log.logLevel);
            if (fate == LogLineFate::Dropped)
                return 0;
            if (in->data && in->dataSize) {
                std::lock_guard lock(mutex);
                logLines.emplace_back(static_cast<const char*>(in->data),
                                      strnlen(static_cast<const char*>(in->data), in->dataSize));
            }
            if (fate == LogLineFate::WrittenOnly)
                return 0;
        } else if (in->eventFlags & EVENT_FLAG_BIT_LOG_QUERY) {
            out->result = t;
            return 0;
        }
    }
    // No read requests run here: an event that claims one is refused as the
    // core refuses it from an ordinary thread.
    if (stopping || (in->providerID != 0 && in->requestID != 0)) {
        out->result = EVENT_RESULT_REFUSED;
        return 0;
    }
    Raised copy;
    copy.record = *in;
    if (in->data && in->dataSize) {
        const auto* bytes = static_cast<const unsigned char*>(in->data);
        copy.data.assign(bytes, bytes + in->dataSize);
    }
    {
        std::lock_guard lock(mutex);
        raised.push_back(std::move(copy));
        Raised& stored = raised.back();
        stored.record.data = stored.data.empty() ? nullptr : stored.data.data();
        stored.record.dataSize = static_cast<uint32_t>(stored.data.size());
    }
    out->result = EVENT_RESULT_OK;
    return 0;
}

std::string DvrHarness::Undelivered(const _EventParmsIn& event) const
{
    if (!accepted)
        return "the core rejected the plugin: " + rejection;
    if (closed)
        return "Close was called: a stopping core delivers nothing more";
    const _LoadParmsOut& d = descriptor;
    std::string why;
    if (event.eventType & EVENT_TYPE_CONFIG) {
        if (event.providerID != d.systemID)
            return entries.IOCTL ? "" : "a configuration document goes to IOCTL, which the library does not export";
        // The core hands a document to every plugin but its raiser.
        why = Format("the plugin raised this configuration document itself (providerID 0x%08X), so its IOCTL "
                     "does not get it; nor does Write: ",
                     event.providerID);
    }
    if (!d.writeEnabled)
        return why + "writeEnabled is 0";
    if (!entries.Write)
        return why + "the library exports no Write";
    const uint32_t routingClass = DVR_ROUTING_CLASS(event.eventFlags);
    if (Subscribed(d, event.eventType, routingClass))
        return why;
    std::string masks;
    for (int i = 0; i < DVR_EVENT_MASK_COUNT; ++i)
        if (event.eventType & kSubscribableTypes[i])
            masks += Format("%smask %s is 0x%08X, which lacks bits 0x%08X", masks.empty() ? "" : "; ", EventTypeName(i),
                            d.eventMasks[i], routingClass & ~d.eventMasks[i]);
    if (masks.empty())
        return why + Format("eventType 0x%04X has no subscribable bit, so no mask lets it through", event.eventType);
    return why +
           Format("eventFlags 0x%08X give the routing class 0x%08X (DVR_ROUTING_CLASS); ", event.eventFlags,
                  routingClass) +
           masks;
}

int DvrHarness::CallWrite(const _EventParmsIn& event, void* copy)
{
    _WriteParmsIn in = WriteRecord(event);
    in.data = copy;
    in.dataSize = copy ? event.dataSize : 0;
    _WriteParmsOut out = WriteResultRecord();
    holds.Calling(descriptor.systemID);
    const int32_t result = entries.Write(&in, &out);
    // The hold is recorded lazily, as by the core; see RefBlockTable::Calling.
    if (out.retain && copy)
        holds.AddRef(copy, event.dataSize, descriptor.systemID);
    return result || out.error ? -1 : 1;
}

int DvrHarness::CallConfig(uint32_t size, void* copy)
{
    _IoctlParmsIn in = IoctlRecord(IOCTL_CONFIG, copy ? size : 0, copy);
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_CONFIG);
    holds.Calling(descriptor.systemID);
    const int32_t result = entries.IOCTL(&in, &out);
    if (out.retain && copy)
        holds.AddRef(copy, size, descriptor.systemID);
    return result || out.error ? -1 : 1;
}

extern "C" {

// Plugins may resolve the event function by name, as from the core.
DVR_PLUGIN_EXPORT int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    DvrHarness* harness = current.load();
    if (!harness || !in)
        return -1;
    // Without an output record the event is still handled, as by the core: a
    // release must not leak its block; the answer has nowhere to go.
    _EventParmsOut unanswered{sizeof unanswered, DVR_RECORD_VERSION, 0};
    return harness->Event(in, out ? out : &unanswered);
}

DvrHarness* DvrHarnessLoad(const char* libraryPath)
{
    DvrHarness* expected = nullptr;
    auto* harness = new (std::nothrow) DvrHarness;
    if (!harness)
        return nullptr;
    if (!current.compare_exchange_strong(expected, harness)) {
        delete harness;
        return nullptr;
    }
    const std::string path = libraryPath ? libraryPath : "";
    harness->fileName = path.substr(path.rfind('/') + 1);
    harness->library = OpenPluginLibrary(path);
    if (!harness->library) {
        const char* error = dlerror();
        harness->rejection = OpenFailureVerdict(harness->fileName, error ? error : "").message;
        return harness;
    }
    harness->entries = LookUpEntryPoints(harness->library);
    PluginEntryPoints& e = harness->entries;
    if (!e.Load) {
        harness->rejection = MissingLoadVerdict(harness->fileName).message;
        return harness;
    }
    _LoadParmsIn in = LoadRecord(harness, FlatPluginEvent);
    _LoadParmsOut& out = harness->descriptor;
    out = LoadResultRecord();
    const int32_t result = e.Load(&in, &out);
    const PluginVerdict verdict = LoadVerdict(harness->fileName, result, out, out.systemID == CORE_PROVIDER_ID);
    harness->accepted = verdict.accepted;
    harness->rejection = verdict.message;
    if (verdict.accepted && AppliesLogLevelDefault(DVR_MODULE_INDEX(out.systemID), out.logLevelDefault))
        harness->threshold = out.logLevelDefault;
    return harness;
}

const char* DvrHarnessRejection(const DvrHarness* harness)
{
    return harness->accepted ? nullptr : harness->rejection.c_str();
}

const _LoadParmsOut* DvrHarnessDescriptor(const DvrHarness* harness)
{
    return &harness->descriptor;
}

void DvrHarnessSetLogThreshold(DvrHarness* harness, int32_t threshold)
{
    harness->threshold = threshold;
}

int32_t DvrHarnessOpen(DvrHarness* harness)
{
    if (!harness->accepted || harness->opened)
        return -1;
    harness->opened = true;
    if (harness->descriptor.workerEnabled && harness->entries.IOCTL) {
        harness->worker = std::thread([ioctl = harness->entries.IOCTL] {
            _IoctlParmsIn in = IoctlRecord(IOCTL_WORKER);
            _IoctlParmsOut out = IoctlResultRecord(IOCTL_WORKER);
            ioctl(&in, &out);
        });
    }
    if (!harness->entries.Open)
        return 0;
    _OpenParmsIn in = OpenRecord();
    _OpenParmsOut out = OpenResultRecord();
    return harness->entries.Open(&in, &out);
}

int DvrHarnessDeliver(DvrHarness* harness, const _EventParmsIn* event)
{
    if (!harness->accepted || harness->closed || !event)
        return 0;
    const bool isConfig = event->eventType & EVENT_TYPE_CONFIG;
    const _LoadParmsOut& d = harness->descriptor;
    int delivered = 0;
    std::string label;
    {
        std::lock_guard lock(harness->mutex);
        label = Format("event #%u (eventType 0x%04X, providerID 0x%08X)", ++harness->handedOut, event->eventType,
                       event->providerID);
    }
    const bool toIoctl = isConfig && event->providerID != d.systemID;
    const std::string origin = (toIoctl ? "IOCTL_CONFIG of " : "Write of ") + label;
    const std::string why = harness->Undelivered(*event);
    void* copy = harness->HandOut(*event, origin);
    if (!why.empty())
        fprintf(stderr, "dvrharness: %s not delivered to %s: %s\n", label.c_str(), harness->fileName.c_str(),
                why.c_str());
    else if (toIoctl)
        delivered = harness->CallConfig(event->dataSize, copy);
    else
        delivered = harness->CallWrite(*event, copy);
    if (copy)
        harness->Release(copy, CORE_PROVIDER_ID);
    return delivered;
}

const char* DvrHarnessWhyNotDelivered(DvrHarness* harness, const _EventParmsIn* event)
{
    if (!event)
        return "no event";
    harness->whyNot = harness->Undelivered(*event);
    return harness->whyNot.empty() ? nullptr : harness->whyNot.c_str();
}

int DvrHarnessConfigure(DvrHarness* harness, const char* document)
{
    _EventParmsIn event;
    _EventParmsOut unused;
    DvrInitEvent(&event, &unused, CORE_PROVIDER_ID, EVENT_TYPE_CONFIG, EVENT_FLAGS_WORD_XML);
    event.data = const_cast<char*>(document);
    event.dataSize = document ? static_cast<uint32_t>(strlen(document) + 1) : 0;
    return DvrHarnessDeliver(harness, &event);
}

int DvrHarnessSupervisorPacket(DvrHarness* harness, uint32_t kind, const void* payload, uint32_t payloadSize)
{
    if (!harness->accepted || harness->closed || !harness->entries.IOCTL ||
        payloadSize > IPC_BUFFER_SIZE - IPC_HEADER_SIZE)
        return 0;
    std::vector<unsigned char> packet(IPC_HEADER_SIZE + payloadSize);
    const IpcHeader header{static_cast<uint32_t>(packet.size()),
                           DVR_IPC_TARGET(DVR_MODULE_INDEX(harness->descriptor.systemID)), kind, 0};
    memcpy(packet.data(), &header, sizeof header);
    if (payloadSize)
        memcpy(packet.data() + IPC_HEADER_SIZE, payload, payloadSize);
    _IoctlParmsIn in = IoctlRecord(IOCTL_SUPERVISOR, static_cast<uint32_t>(packet.size()), packet.data());
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_SUPERVISOR);
    {
        std::lock_guard lock(harness->mutex);
        harness->packetInFlight = packet.data();
        harness->packetInFlightSize = packet.size();
    }
    const int32_t result = harness->entries.IOCTL(&in, &out);
    {
        std::lock_guard lock(harness->mutex);
        harness->packetInFlight = nullptr;
    }
    return result || out.error ? -1 : 1;
}

size_t DvrHarnessRaisedCount(const DvrHarness* harness)
{
    std::lock_guard lock(const_cast<DvrHarness*>(harness)->mutex);
    return harness->raised.size();
}

const _EventParmsIn* DvrHarnessRaised(const DvrHarness* harness, size_t index)
{
    std::lock_guard lock(const_cast<DvrHarness*>(harness)->mutex);
    return index < harness->raised.size() ? &harness->raised[index].record : nullptr;
}

size_t DvrHarnessLogCount(const DvrHarness* harness)
{
    std::lock_guard lock(const_cast<DvrHarness*>(harness)->mutex);
    return harness->logLines.size();
}

const char* DvrHarnessLogLine(const DvrHarness* harness, size_t index)
{
    std::lock_guard lock(const_cast<DvrHarness*>(harness)->mutex);
    return index < harness->logLines.size() ? harness->logLines[index].c_str() : nullptr;
}

size_t DvrHarnessSupervisorBlockCount(const DvrHarness* harness)
{
    std::lock_guard lock(const_cast<DvrHarness*>(harness)->mutex);
    return harness->supervisorBlocks.size();
}

const void* DvrHarnessSupervisorBlock(const DvrHarness* harness, size_t index, uint32_t* size)
{
    std::lock_guard lock(const_cast<DvrHarness*>(harness)->mutex);
    if (index >= harness->supervisorBlocks.size())
        return nullptr;
    if (size)
        *size = static_cast<uint32_t>(harness->supervisorBlocks[index].size());
    return harness->supervisorBlocks[index].data();
}

int32_t DvrHarnessClose(DvrHarness* harness)
{
    if (!harness->accepted || harness->closed)
        return 0;
    harness->closed = true;
    harness->stopping = true;
    int32_t outcome = 0;
    if (harness->opened && harness->entries.Close) {
        _CloseParmsIn in = CloseRecord();
        _CloseParmsOut out = CloseResultRecord();
        const int32_t result = harness->entries.Close(&in, &out);
        outcome = result ? result : out.error;
    }
    if (harness->worker.joinable())
        harness->worker.join();
    return outcome;
}

size_t DvrHarnessLeakCount(const DvrHarness* harness)
{
    return const_cast<DvrHarness*>(harness)->holds.HeldBy(harness->descriptor.systemID).size();
}

const char* DvrHarnessLeakReport(DvrHarness* harness)
{
    const uint32_t plugin = harness->descriptor.systemID;
    const std::vector<RefBlockTable::HeldBlock> held = harness->holds.HeldBy(plugin);
    std::lock_guard lock(harness->mutex);
    harness->leakReport.clear();
    // An owner holds a block once at most: the table keeps no second hold.
    for (const RefBlockTable::HeldBlock& block : held) {
        // Given back by a plugin thread since HeldBy: no longer a leak.
        const auto origin = harness->origins.find(block.block);
        if (origin != harness->origins.end())
            harness->leakReport += Format("block %p of %u bytes from %s still held 1 time(s) by 0x%08X\n", block.block,
                                          block.size, origin->second.c_str(), plugin);
    }
    return harness->leakReport.c_str();
}

void DvrHarnessUnload(DvrHarness* harness)
{
    if (!harness)
        return;
    DvrHarnessClose(harness);
    if (harness->accepted && harness->entries.Unload) {
        _UnloadParmsIn in = UnloadRecord();
        _UnloadParmsOut out = UnloadResultRecord();
        harness->entries.Unload(&in, &out);
    }
    if (harness->library && harness->descriptor.systemID != RESIDENT_PLUGIN_ID)
        dlclose(harness->library);
    for (auto& [address, origin] : harness->origins)
        free(address);
    current = nullptr;
    delete harness;
}

} // extern "C"
