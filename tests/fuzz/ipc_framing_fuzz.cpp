// Supervisor packets: arbitrary successive receives into the channel's
// 64 KiB buffer, framed the way the receive completion frames them. Checks
// that every packet handed on has a length of 16..65,536 that matches its
// header, lies inside the received bytes and starts aligned; that packets,
// discards and the kept tail are exactly those of a plain model of the byte
// stream; that a receive always has room; and that the fields of a
// configuration payload rebuild the payload.
//
// Input: a sequence of receives, each chosen by one control byte (low 2 bits):
//   0  literal record: u16 size, then that many bytes
//   1  a packet with a header of its own: u8 kind, u16 payload size, the
//      payload bytes (a partial packet when the input runs out first)
//   2  a large record (up to 128 KiB, cut to the free space as the socket
//      cuts it): u32 size, u32 length word, u32 kind, u8 filler
//   3  a record of 0 bytes: the supervisor closed its end, receiving stops
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "ipc/ipc_framing.h"

namespace {

struct Stream {
    // The receive buffer, allocated once at its exact size: framing reads
    // nothing past it, nor past the received bytes in it (forbidden below).
    unsigned char* buffer = new unsigned char[IPC_BUFFER_SIZE];
    uint32_t fill = 0;

    // The model: the received bytes not yet handed out.
    std::vector<unsigned char> pending;
    std::vector<std::vector<unsigned char>> expected;
    bool expectBad = false;

    std::vector<unsigned char> record;

    void Reset()
    {
        fill = 0;
        pending.clear();
    }

    // What the model takes from the stream after a receive.
    void ModelFrames()
    {
        expected.clear();
        expectBad = false;
        size_t start = 0;
        while (pending.size() - start >= IPC_HEADER_SIZE) {
            uint32_t length;
            memcpy(&length, pending.data() + start, sizeof length);
            if (length < IPC_HEADER_SIZE || length > IPC_BUFFER_SIZE) {
                expectBad = true;
                start = pending.size();
                break;
            }
            if (length > pending.size() - start)
                break;
            expected.emplace_back(pending.begin() + start, pending.begin() + start + length);
            start += length;
        }
        pending.erase(pending.begin(), pending.begin() + start);
    }

    void Receive()
    {
        // The socket cuts a record to the space left; the framing always
        // leaves some.
        FUZZ_CHECK(fill < IPC_BUFFER_SIZE);
        const uint32_t space = IPC_BUFFER_SIZE - fill;
        const uint32_t bytes = record.size() < space ? static_cast<uint32_t>(record.size()) : space;
        dvrfuzz::Allow(buffer + fill, space);
        memcpy(buffer + fill, record.data(), bytes);
        pending.insert(pending.end(), record.begin(), record.begin() + bytes);
        fill += bytes;
        dvrfuzz::Forbid(buffer + fill, IPC_BUFFER_SIZE - fill);
        ModelFrames();

        IpcFramer framer(buffer, fill);
        size_t handed = 0;
        bool bad = false;
        for (;;) {
            const IpcFramer::Step step = framer.Next();
            if (step == IpcFramer::Step::NeedMore)
                break;
            if (step == IpcFramer::Step::BadLength) {
                bad = true;
                break;
            }
            CheckPacket(framer.packet(), framer.length());
            FUZZ_CHECK(handed < expected.size());
            FUZZ_CHECK(expected[handed].size() == framer.length());
            FUZZ_CHECK(memcmp(expected[handed].data(), framer.packet(), framer.length()) == 0);
            ++handed;
        }
        FUZZ_CHECK(handed == expected.size());
        FUZZ_CHECK(bad == expectBad);
        fill = framer.Finish();
        FUZZ_CHECK(fill == pending.size());
        FUZZ_CHECK(fill < IPC_BUFFER_SIZE);
        FUZZ_CHECK(memcmp(buffer, pending.data(), fill) == 0);
        dvrfuzz::Forbid(buffer + fill, IPC_BUFFER_SIZE - fill);
    }

    void CheckPacket(const unsigned char* packet, uint32_t length)
    {
        FUZZ_CHECK(length >= IPC_HEADER_SIZE && length <= IPC_BUFFER_SIZE);
        FUZZ_CHECK(packet >= buffer && packet + length <= buffer + fill);
        FUZZ_CHECK(reinterpret_cast<uintptr_t>(packet) % alignof(IpcHeader) == 0);
        const IpcHeader header = ReadIpcHeader(packet);
        FUZZ_CHECK(header.length == length);
        // A kind-7 packet with a payload is the core's, never a plugin's.
        if (header.kind == IPC_KIND_CONFIG && length > IPC_HEADER_SIZE)
            FUZZ_CHECK(RoleOf(header) == IpcPacketRole::Configuration);
        if (RoleOf(header) != IpcPacketRole::Configuration)
            return;
        const unsigned char* payload = packet + IPC_HEADER_SIZE;
        const uint32_t size = length - IPC_HEADER_SIZE;
        // The fields joined by NULs are the payload, byte for byte.
        const std::vector<std::string_view> fields = SplitConfigFields(payload, size);
        std::string joined;
        for (size_t i = 0; i < fields.size(); ++i) {
            FUZZ_CHECK(fields[i].find('\0') == std::string_view::npos);
            if (i > 0)
                joined += '\0';
            joined += fields[i];
        }
        FUZZ_CHECK(joined.size() == size && memcmp(joined.data(), payload, size) == 0);

        const SupervisorConfig config = ParseConfigPayload(payload, size);
        FUZZ_CHECK(config.filename.size() <= size);
        FUZZ_CHECK(memcmp(config.filename.data(), payload, config.filename.size()) == 0);
        FUZZ_CHECK(config.version.has_value() == (config.filename.size() < size));
        FUZZ_CHECK(config.background.has_value() == (fields.size() >= 3));
        if (config.background == true)
            FUZZ_CHECK(fields[2] == "Background:true");
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    static Stream stream;
    stream.Reset();
    dvrfuzz::Input input(data, size);
    while (!input.empty()) {
        const uint8_t control = input.u8();
        stream.record.clear();
        size_t got = 0;
        switch (control & 3) {
        case 0: {
            const unsigned char* bytes = input.bytes(input.u16(), &got);
            stream.record.assign(bytes, bytes + got);
            break;
        }
        case 1: {
            const uint32_t kind = input.u8();
            const uint32_t payloadSize = input.u16();
            const IpcHeader header{IPC_HEADER_SIZE + payloadSize, 0, kind, 0};
            const unsigned char* payload = input.bytes(payloadSize, &got);
            stream.record.resize(IPC_HEADER_SIZE + got);
            memcpy(stream.record.data(), &header, sizeof header);
            memcpy(stream.record.data() + IPC_HEADER_SIZE, payload, got);
            break;
        }
        case 2: {
            const uint32_t recordSize = input.u32() % (2 * IPC_BUFFER_SIZE + 1);
            const uint32_t words[2] = {input.u32(), input.u32()};
            stream.record.assign(recordSize, input.u8());
            memcpy(stream.record.data(), words, std::min<size_t>(recordSize, sizeof words));
            break;
        }
        case 3:
            return 0;
        }
        stream.Receive();
    }
    return 0;
}
