#include "ipc/ipc_send_queue.h"

#include <cstdlib>

#include <boost/asio/buffer.hpp>

#include "dvrplugin.h"

void IpcSendQueue::Queue(IpcBlock block)
{
    blocks_.push_back(block);
    if (blocks_.size() == 1)
        SendFront();
}

void IpcSendQueue::FreeAll()
{
    for (IpcBlock& block : blocks_)
        free(block.data);
    blocks_.clear();
}

void IpcSendQueue::SendFront()
{
    // Each send is one record for the supervisor; a block larger than a
    // record leaves as several, one after the other.
    auto sendFrom = [this](auto& self, uint32_t offset) -> void {
        const IpcBlock& block = blocks_.front();
        const uint32_t size = block.dataSize - offset < IPC_BUFFER_SIZE ? block.dataSize - offset : IPC_BUFFER_SIZE;
        socket_.async_send(boost::asio::buffer(static_cast<const unsigned char*>(block.data) + offset, size), 0,
                           [this, self, offset](const boost::system::error_code& error, std::size_t sent) mutable {
                               const bool failed = error || sent == 0;
                               const uint32_t next = offset + static_cast<uint32_t>(sent);
                               if (!failed && next < blocks_.front().dataSize) {
                                   self(self, next);
                                   return;
                               }
                               free(blocks_.front().data);
                               blocks_.pop_front();
                               // After a failure the rest stays queued until shutdown frees it.
                               if (!failed)
                                   SendFront();
                           });
    };

    while (!blocks_.empty() && socket_.is_open()) {
        if (blocks_.front().dataSize != 0) {
            sendFrom(sendFrom, 0);
            return;
        }
        // Nothing to write: an empty record would look like a closed socket.
        free(blocks_.front().data);
        blocks_.pop_front();
    }
}
