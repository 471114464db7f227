// Framing of supervisor packets on plain buffers: what the core takes as a
// packet, what it keeps for the next receive, what it throws away, and the
// fields of a configuration payload. Arbitrary bytes against a model of the
// stream are the framing fuzz target's, whose corpus every build replays.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ipc/ipc_framing.h"

namespace {

std::vector<uint8_t> Packet(uint32_t kind, uint32_t target, const std::string& payload)
{
    IpcHeader header{static_cast<uint32_t>(IPC_HEADER_SIZE + payload.size()), target, kind, 0x55AA55AA};
    std::vector<uint8_t> bytes(sizeof header + payload.size());
    memcpy(bytes.data(), &header, sizeof header);
    memcpy(bytes.data() + sizeof header, payload.data(), payload.size());
    return bytes;
}

// A bare header claiming `length`.
std::vector<uint8_t> Header(uint32_t length, uint32_t kind = 3)
{
    std::vector<uint8_t> bytes = Packet(kind, 0, "");
    memcpy(bytes.data(), &length, sizeof length);
    return bytes;
}

// The receive buffer, sized exactly, so that a read past its end is caught by
// the address sanitizer.
struct Buffer {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(IPC_BUFFER_SIZE);
    uint32_t fill = 0;

    void Receive(const std::vector<uint8_t>& record)
    {
        ASSERT_LE(fill + record.size(), bytes.size());
        memcpy(bytes.data() + fill, record.data(), record.size());
        fill += static_cast<uint32_t>(record.size());
    }
    // Runs one receive's worth of framing; returns the packets and whether a
    // bad length was met.
    std::vector<std::vector<uint8_t>> Frame(bool* badLength = nullptr)
    {
        std::vector<std::vector<uint8_t>> packets;
        IpcFramer framer(bytes.data(), fill);
        for (;;) {
            IpcFramer::Step step = framer.Next();
            if (step == IpcFramer::Step::Packet) {
                EXPECT_EQ(reinterpret_cast<uintptr_t>(framer.packet()) % 4, 0u) << "misaligned packet";
                packets.emplace_back(framer.packet(), framer.packet() + framer.length());
                continue;
            }
            if (badLength)
                *badLength = step == IpcFramer::Step::BadLength;
            break;
        }
        fill = framer.Finish();
        return packets;
    }
};

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The first packet's odd length leaves the next one misaligned in the
// buffer: Frame checks that every packet is handed out aligned.
TEST(IpcFramer, TwoPacketsAndAPartialThirdCompletedByTheNextReceive)
{
    const auto first = Packet(3, 0x00500000, "one");
    const auto second = Packet(4, 0x00600000, "");
    const auto third = Packet(5, 0x00700000, std::string(100, 'x'));
    Buffer buffer;
    buffer.Receive(Join({first, second, std::vector<uint8_t>(third.begin(), third.begin() + 30)}));

    auto packets = buffer.Frame();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], first);
    EXPECT_EQ(packets[1], second);
    // The partial packet now starts the buffer.
    ASSERT_EQ(buffer.fill, 30u);
    EXPECT_EQ(0, memcmp(buffer.bytes.data(), third.data(), 30));

    buffer.Receive(std::vector<uint8_t>(third.begin() + 30, third.end()));
    packets = buffer.Frame();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], third);
    EXPECT_EQ(buffer.fill, 0u);
}

// A length below the header's size would never advance past the packet; one
// above the buffer can never complete, so it must not wait for more. Either
// way everything buffered goes, packets behind the bad one in the same
// receive too, and receiving goes on with the next record.
TEST(IpcFramer, BadLengthsDiscardEverythingBuffered)
{
    for (uint32_t length : {0u, 1u, 15u, 65537u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        Buffer buffer;
        buffer.Receive(Join({Header(length), Packet(8, 0, ""), Packet(3, 0, "lost")}));
        bool bad = false;
        EXPECT_TRUE(buffer.Frame(&bad).empty());
        EXPECT_TRUE(bad);
        EXPECT_EQ(buffer.fill, 0u);

        buffer.Receive(Packet(8, 0, ""));
        EXPECT_EQ(buffer.Frame(&bad).size(), 1u);
        EXPECT_FALSE(bad);
    }
    // A bad length is seen as soon as the header is in.
    Buffer buffer;
    buffer.Receive(Header(0xFFFFFFFF));
    bool bad = false;
    buffer.Frame(&bad);
    EXPECT_TRUE(bad);
    EXPECT_EQ(buffer.fill, 0u);
}

TEST(IpcFramer, APacketFillingTheWholeBufferIsAccepted)
{
    const auto largest = Packet(3, 0x00500000, std::string(IPC_BUFFER_SIZE - IPC_HEADER_SIZE, 'q'));
    ASSERT_EQ(largest.size(), 65536u);
    Buffer buffer;
    buffer.Receive(std::vector<uint8_t>(largest.begin(), largest.begin() + 1000));
    EXPECT_TRUE(buffer.Frame().empty());
    buffer.Receive(std::vector<uint8_t>(largest.begin() + 1000, largest.end()));
    bool bad = true;
    auto packets = buffer.Frame(&bad);
    EXPECT_FALSE(bad);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], largest);
    EXPECT_EQ(buffer.fill, 0u);
}

SupervisorConfig Parse(const std::string& payload)
{
    return ParseConfigPayload(reinterpret_cast<const unsigned char*>(payload.data()),
                              static_cast<uint32_t>(payload.size()));
}

TEST(ConfigPayload, FieldsSetFileNameVersionAndOnlyAnExactBackgroundFieldSetsBackground)
{
    using namespace std::string_literals;
    const struct {
        std::string payload;
        std::optional<std::string> version;
        std::optional<bool> background; // unset without a third field
    } cases[] = {
        {"tarvod", std::nullopt, std::nullopt}, // one field sets only the file name
        {"tarvod\0"
         "4.2.1"s,
         "4.2.1", std::nullopt},
        {"tarvod\0"
         "4.2.1\0"
         "Background:true\0"
         "ignored"s,
         "4.2.1", true},
        // Any other third field clears background: a trailing NUL makes an
        // empty one, and the whole field must match, not a prefix.
        {"tarvod\0"
         "4.2.1\0"s,
         "4.2.1", false},
        {"tarvod\0"
         "4.2.1\0"
         "Background:false"s,
         "4.2.1", false},
        {"tarvod\0"
         "4.2.1\0"
         "background:true"s,
         "4.2.1", false},
        {"tarvod\0"
         "4.2.1\0"
         "Background:truer"s,
         "4.2.1", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.payload));
        const SupervisorConfig config = Parse(c.payload);
        EXPECT_EQ(config.filename, "tarvod");
        EXPECT_EQ(config.version, c.version);
        EXPECT_EQ(config.background, c.background);
    }
}

} // namespace
