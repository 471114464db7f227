// The send side of the supervisor channel: blocks plugins raised for the
// supervisor, written one after the other, each as one or more records of
// at most IPC_BUFFER_SIZE bytes. Lives on the I/O thread: Queue and the
// completions run there, so the queue needs no lock.
#pragma once

#include <cstdint>
#include <deque>

#include <boost/asio/generic/seq_packet_protocol.hpp>

// One block waiting to be written to the supervisor; allocated with malloc.
struct IpcBlock {
    void* data;
    uint32_t dataSize;
};

class IpcSendQueue {
public:
    explicit IpcSendQueue(boost::asio::generic::seq_packet_protocol::socket& socket) : socket_(socket) {}
    ~IpcSendQueue() { FreeAll(); }
    IpcSendQueue(const IpcSendQueue&) = delete;
    IpcSendQueue& operator=(const IpcSendQueue&) = delete;

    // Takes the block; starts writing unless a write is under way. After a
    // failed write the rest stays queued until FreeAll.
    void Queue(IpcBlock block);
    // Frees every block not yet written; once the I/O thread has stopped.
    void FreeAll();
    size_t size() const { return blocks_.size(); }

private:
    void SendFront();

    boost::asio::generic::seq_packet_protocol::socket& socket_;
    std::deque<IpcBlock> blocks_;
};
