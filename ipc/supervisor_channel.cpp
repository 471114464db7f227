// The supervisor channel: receiving packets and handing each to its role's
// callback, writing the blocks plugins raise for the supervisor, and the loss
// of the socket. All of it runs on the I/O thread but Send, which posts there.
#include "ipc/supervisor_channel.h"

#include <cstdlib>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "core/logging.h"

namespace {

// A block on its way to the I/O thread: freed if the job is destroyed without
// running (the I/O service stopped first).
struct FreeDeleter {
    void operator()(void* block) const { free(block); }
};
using OwnedBlock = std::unique_ptr<void, FreeDeleter>;

// Packets handed on per turn of the I/O thread. One record can hold
// thousands, each a plugin's IOCTL call.
constexpr int kPacketsPerTurn = 64;

} // namespace

SupervisorChannel::SupervisorChannel(boost::asio::io_context& io, Callbacks callbacks)
    : io_(io), callbacks_(std::move(callbacks)), socket_(io)
{}

bool SupervisorChannel::Adopt(int fd)
{
    boost::system::error_code error;
    if (fd < 0)
        error = boost::asio::error::bad_descriptor;
    else
        socket_.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), fd, error);
    if (error)
        return false;
    open_ = true;
    return true;
}

void SupervisorChannel::StartReceiving()
{
    // After a handled receive the buffer holds less than one whole packet,
    // so there is always room for more.
    socket_.async_receive(boost::asio::buffer(buffer_ + fill_, IPC_BUFFER_SIZE - fill_), receiveFlags_,
                          [this](const boost::system::error_code& error, std::size_t bytes) {
                              Received(error, static_cast<unsigned int>(bytes));
                          });
}

int32_t SupervisorChannel::Send(void* data, uint32_t size)
{
    OwnedBlock block(data);
    if (!open_ || !sending_)
        return EVENT_RESULT_REFUSED;
    boost::asio::post(io_, [this, block = std::move(block), size]() mutable {
        sendQueue_.Queue(IpcBlock{block.release(), size});
    });
    return EVENT_RESULT_OK;
}

void SupervisorChannel::Received(const boost::system::error_code& error, unsigned int bytes)
{
    if (error || bytes == 0) {
        Lose();
        return;
    }
    fill_ += bytes < IPC_BUFFER_SIZE - fill_ ? bytes : IPC_BUFFER_SIZE - fill_;
    HandlePackets();
}

void SupervisorChannel::HandlePackets()
{
    IpcFramer framer(buffer_, fill_);
    uint32_t dropped = 0;
    for (int handled = 0;; ++handled) {
        if (handled == kPacketsPerTurn) {
            fill_ = framer.Finish();
            boost::asio::post(io_, [this] { HandlePackets(); });
            break;
        }
        const IpcFramer::Step step = framer.Next();
        if (step == IpcFramer::Step::NeedMore) {
            fill_ = framer.Finish();
            StartReceiving();
            break;
        }
        if (step == IpcFramer::Step::BadLength) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "bad ipc packet length");
            fill_ = framer.Finish();
            StartReceiving();
            break;
        }
        const unsigned char* packet = framer.packet();
        const IpcHeader header = ReadIpcHeader(packet);
        switch (RoleOf(header)) {
        case IpcPacketRole::Stop:
            callbacks_.stop();
            break;
        case IpcPacketRole::Configuration:
            callbacks_.configuration(ParseConfigPayload(packet + IPC_HEADER_SIZE, header.length - IPC_HEADER_SIZE));
            break;
        case IpcPacketRole::Plugin:
            // Checked before each one: after a stop, a long record must not
            // keep the I/O thread, which the stop waits for, in plugin calls.
            if (callbacks_.stopping && callbacks_.stopping())
                ++dropped;
            else
                callbacks_.plugin(packet, framer.length());
            break;
        }
    }
    if (dropped)
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "stopping: %u ipc packets not passed to plugins",
                   dropped);
}

void SupervisorChannel::Lose()
{
    // Marked closed before anything can wake the main thread (the callback's
    // log lines are queued events and end the start-up wait too): plugins
    // opened from then on find the channel closed.
    open_ = false;
    callbacks_.lost();
    boost::system::error_code error;
    socket_.close(error);
    if (error)
        throw boost::system::system_error(error, "close");
}
