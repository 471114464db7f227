// The supervisor channel on a real socket pair, with the core object driven
// directly: what plugins receive, what the supervisor values become and what
// the supervisor receives. Its loss is the start-up test's.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "support/allocation_counter.h"
#include "support/core_harness.h"
#include "support/process.h"
#include "support/supervisor_peer.h"

namespace {

using namespace std::chrono_literals;
using dvrtest::IpcPacket;
using dvrtest::WaitUntil;
using namespace std::string_literals;

// A core whose only live part is the supervisor channel: its socket is one
// end of a pair, the test holds the other.
class Channel {
public:
    Channel()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        EXPECT_TRUE(core.supervisor().Adopt(fds[0]));
        peer = fds[1];
        core.logLevels[0] = LEVEL_DETAIL; // the failed-ioctl line is a detail
        core.onIoctl = [this](int, _IoctlParmsIn&, _IoctlParmsOut& result) {
            std::lock_guard lock(ioctlMutex);
            result.error = ioctlError;
            return ioctlReturn;
        };
    }

    ~Channel()
    {
        core.ioContext().stop();
        if (io.joinable())
            io.join();
        // As the shutdown does: unsent blocks are the core's to free.
        core.supervisor().FreeUnsent();
        if (peer >= 0)
            close(peer);
    }

    void Run()
    {
        core.supervisor().StartReceiving();
        io = std::thread([this] { core.ioContext().run(); });
    }

    // Fake plugin `plugin`, whose IOCTL answers as SetIoctlResult says, under the name given.
    void AddPlugin(int plugin, uint32_t systemID, const std::string& filename)
    {
        core.AddFakePlugin(plugin, systemID, [&](PLUGININFO& record) { record.Filename = filename; });
    }
    void AddPluginWithIoctl(uint32_t systemID, DvrEntryPoint ioctl, const std::string& filename)
    {
        core.AddPlugin(systemID, filename, [&](PLUGININFO& record) { record.IOCTL = ioctl; });
    }

    void SetIoctlResult(int32_t returned, int32_t error)
    {
        std::lock_guard lock(ioctlMutex);
        ioctlReturn = returned;
        ioctlError = error;
    }

    bool SendFromSupervisor(const std::vector<uint8_t>& record)
    {
        return send(peer, record.data(), record.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(record.size());
    }
    // One record the core sent; empty at the deadline.
    std::vector<uint8_t> ReceiveAtSupervisor()
    {
        pollfd readable{peer, POLLIN, 0};
        if (poll(&readable, 1, 10000) != 1)
            return {};
        std::vector<uint8_t> record(2 * IPC_BUFFER_SIZE);
        ssize_t length = recv(peer, record.data(), record.size(), 0);
        record.resize(length > 0 ? static_cast<size_t>(length) : 0);
        return record;
    }

    // Blocks for the supervisor, as the event entry hands them over; sent
    // from the I/O thread, so that all are queued before the first write
    // completes.
    void Queue(std::vector<IpcBlock> blocks)
    {
        boost::asio::post(core.ioContext(), [this, blocks] {
            for (const IpcBlock& block : blocks)
                core.supervisor().Send(block.data, block.dataSize);
        });
    }
    size_t QueuedBlocks()
    {
        std::promise<size_t> size;
        boost::asio::post(core.ioContext(), [&] { size.set_value(core.supervisor().Unsent()); });
        return size.get_future().get();
    }

    std::string Filename() { return core.supervisorState().filename; }
    std::string Version() { return core.supervisorState().version; }
    bool Background() { return core.supervisorState().background; }
    bool Stopping() { return core.stopping(); }
    int CoreFd() { return core.supervisor().descriptor(); }
    std::vector<dvrtest::LogLine> Lines() const { return core.Lines(); }
    void RequestStop() { core.RequestStop(); }

    // Waits as the start-up does, for the wake-up count to change; returns
    // the file name in place on waking ("timeout" at the deadline).
    std::string WaitLikeStartup(std::promise<void>& waiting)
    {
        const uint64_t before = core.events().inbox().WakeupTicket();
        waiting.set_value();
        auto wait = [this](std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t timeoutNs,
                           const std::function<bool()>& ready) {
            return core.WaitFor(lock, condition, timeoutNs, ready);
        };
        if (!core.events().inbox().WaitForWakeup(before, STARTUP_WAIT_NS, wait))
            return "timeout";
        return Filename();
    }

    void DeliverIpcPacket(const unsigned char* packet, uint32_t length)
    {
        core.pluginHost().SupervisorPacket(packet, length);
    }

    dvrtest::TestCore core;
    int peer = -1;
    std::thread io;

private:
    std::mutex ioctlMutex;
    int32_t ioctlReturn = 0;
    int32_t ioctlError = 0;
};

// Which plugin a packet reaches, header included, is the supervisor tests'
// business (a real core, real plugins); here what they cannot see.
TEST(IpcRouting, FailedIoctlIsLoggedAsDetailWithThePluginsFileName)
{
    Channel core;
    core.AddPlugin(5, 0x00050000, "camera-driver.so");
    core.Run();
    core.SetIoctlResult(3, 0);
    core.SendFromSupervisor(IpcPacket(3, DVR_IPC_TARGET(5)));
    ASSERT_TRUE(WaitUntil([&] { return core.Lines().size() == 1; }));
    core.SetIoctlResult(0, -9);
    core.SendFromSupervisor(IpcPacket(3, DVR_IPC_TARGET(5)));
    ASSERT_TRUE(WaitUntil([&] { return core.Lines().size() == 2; }));
    auto lines = core.Lines();
    EXPECT_EQ(lines[0].level, static_cast<uint32_t>(LEVEL_DETAIL));
    EXPECT_EQ(lines[0].text, "plugin camera-driver.so ipc ioctl returned 3 error 0");
    EXPECT_EQ(lines[1].text, "plugin camera-driver.so ipc ioctl returned 0 error -9");
}

TEST(IpcRouting, RoutingAPacketAllocatesNothing)
{
    Channel core;
    core.AddPlugin(4, 0x00040000, "four.so");
    core.AddPluginWithIoctl(
        0x00050000, [](void*, void*) -> int32_t { return 0; }, "quiet.so");
    alignas(4) unsigned char packet[64] = {};
    IpcHeader header{sizeof packet, DVR_IPC_TARGET(5), 3, 0};
    memcpy(packet, &header, sizeof header);

    dvrtest::AllocationCounter allocations;
    core.DeliverIpcPacket(packet, sizeof packet);
    header.target = DVR_IPC_TARGET(77); // no such plugin
    memcpy(packet, &header, sizeof header);
    core.DeliverIpcPacket(packet, sizeof packet);
    EXPECT_EQ(allocations.Stop(), 0u);
}

// The first packet ends the start-up wait with its values already in place;
// which fields a payload holds is the framing tests' table, here what each
// packet leaves of the values before it.
TEST(IpcConfiguration, EndsTheStartupWaitWithTheValuesInPlaceAndLaterOnesChangeWhatTheyName)
{
    Channel core;
    core.Run();
    std::promise<void> waiting;
    auto woken = std::async(std::launch::async, [&] { return core.WaitLikeStartup(waiting); });
    waiting.get_future().wait();
    const auto sent = std::chrono::steady_clock::now();
    core.SendFromSupervisor(IpcPacket(IPC_KIND_CONFIG, 0,
                                      "tarvod\0"
                                      "4.2\0"
                                      "Background:true"s));
    // The harness's clock stands still: only the packet can end this wait.
    const bool wokenByPacket = woken.wait_for(30s) == std::future_status::ready;
    if (!wokenByPacket) {
        core.RequestStop(); // lets the waiter go
    }
    EXPECT_TRUE(wokenByPacket);
    EXPECT_EQ(woken.get(), "tarvod");
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 5s) << "woken by the deadline, not by the packet";
    EXPECT_EQ(core.Version(), "4.2");
    EXPECT_TRUE(core.Background());

    // One field: only the file name changes.
    core.SendFromSupervisor(IpcPacket(IPC_KIND_CONFIG, 0, "renamed"));
    ASSERT_TRUE(WaitUntil([&] { return core.Filename() == "renamed"; }));
    EXPECT_EQ(core.Version(), "4.2");
    EXPECT_TRUE(core.Background());

    // A trailing NUL is an empty third field: background mode ends.
    core.SendFromSupervisor(IpcPacket(IPC_KIND_CONFIG, 0,
                                      "tarvod\0"
                                      "5.0\0"s));
    ASSERT_TRUE(WaitUntil([&] { return core.Version() == "5.0"; }));
    EXPECT_FALSE(core.Background());
    EXPECT_FALSE(core.Stopping());
    EXPECT_TRUE(core.Lines().empty());
}

// A block as a plugin raises it: malloc'ed, every byte telling its place.
IpcBlock Block(uint32_t size, uint8_t tag)
{
    auto* data = static_cast<uint8_t*>(malloc(size ? size : 1));
    for (uint32_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(tag + i * 7 + (i >> 8));
    return {data, size};
}
std::vector<uint8_t> BlockBytes(uint32_t size, uint8_t tag, uint32_t from = 0, uint32_t count = UINT32_MAX)
{
    IpcBlock block = Block(size, tag);
    const auto* data = static_cast<const uint8_t*>(block.data);
    std::vector<uint8_t> bytes(data + from, data + std::min(size, from + std::min(count, size)));
    free(block.data);
    return bytes;
}

TEST(IpcSending, BlocksArriveWholeAndInOrderLargeOnesInRecordsOf64KiB)
{
    Channel core;
    core.Run();
    core.Queue({Block(5, 1), Block(70000, 2), Block(0, 3), Block(IPC_BUFFER_SIZE, 4), Block(3, 5)});
    EXPECT_EQ(core.ReceiveAtSupervisor(), BlockBytes(5, 1));
    EXPECT_EQ(core.ReceiveAtSupervisor(), BlockBytes(70000, 2, 0, IPC_BUFFER_SIZE));
    EXPECT_EQ(core.ReceiveAtSupervisor(), BlockBytes(70000, 2, IPC_BUFFER_SIZE));
    // An empty block sends nothing: an empty record would read as a closed socket.
    EXPECT_EQ(core.ReceiveAtSupervisor(), BlockBytes(IPC_BUFFER_SIZE, 4));
    EXPECT_EQ(core.ReceiveAtSupervisor(), BlockBytes(3, 5));
    EXPECT_TRUE(WaitUntil([&] { return core.QueuedBlocks() == 0; }));
    EXPECT_FALSE(core.Stopping());
}

TEST(IpcSending, FailedSendFreesItsBlockAndStopsSending)
{
    Channel core;
    core.Run();
    ASSERT_EQ(shutdown(core.CoreFd(), SHUT_WR), 0);
    core.Queue({Block(10, 1), Block(20, 2), Block(30, 3)});
    // The failed block is gone; the rest waits for the shutdown to free it.
    EXPECT_TRUE(WaitUntil([&] { return core.QueuedBlocks() == 2; }));
    // Asked again, behind anything the failure could have set off.
    EXPECT_EQ(core.QueuedBlocks(), 2u);
    EXPECT_TRUE(core.Lines().empty());
}

} // namespace
