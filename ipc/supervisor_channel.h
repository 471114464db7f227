// The supervisor channel: the inherited socket to the supervisor, its receive
// buffer and its send queue. It receives packets and hands each to the
// callback for its role (stop, configuration, a plugin's packet), sends the
// blocks plugins raise for the supervisor, and reports the loss of the
// socket. Receiving, sending and the loss all run on the I/O thread, so the
// buffer and the queue need no lock; Send and OwnsBuffer may be called from
// any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include "dvrplugin.h"
#include "ipc/ipc_framing.h"
#include "ipc/ipc_send_queue.h"

class SupervisorChannel {
public:
    struct Callbacks {
        std::function<void()> stop;                                               // a stop packet
        std::function<void(SupervisorConfig)> configuration;                      // a configuration packet
        std::function<void(const unsigned char* packet, uint32_t length)> plugin; // any other packet, header included
        std::function<void()> lost; // the socket closed or failed; the channel is closed already
        // Whether a stop was requested: packets for plugins are then no longer handed on.
        std::function<bool()> stopping;
    };

    // `io` is the I/O thread's service.
    SupervisorChannel(boost::asio::io_context& io, Callbacks callbacks);
    SupervisorChannel(const SupervisorChannel&) = delete;
    SupervisorChannel& operator=(const SupervisorChannel&) = delete;

    // Takes the connected socket `fd`; false when it is no usable descriptor.
    bool Adopt(int fd);
    // Whether the channel is open, from any thread.
    bool open() const { return open_.load(); }
    // Starts receiving; packets are handled on the I/O thread.
    void StartReceiving();

    // Sends `block` (allocated with malloc, `size` bytes) to the supervisor
    // as one record or more, after the blocks sent before it. The block is
    // the channel's whatever happens: freed once written, or at once when the
    // channel is closed or sending has ended (EVENT_RESULT_REFUSED).
    // EVENT_RESULT_OK otherwise.
    int32_t Send(void* block, uint32_t size);
    // Refuses every later Send: the I/O thread is about to stop for good.
    void EndSending() { sending_ = false; }
    // Whether `block` points into the receive buffer: a packet handed to a
    // plugin is the channel's, not the plugin's to send on.
    bool OwnsBuffer(const void* block) const
    {
        const auto address = reinterpret_cast<uintptr_t>(block);
        const auto buffer = reinterpret_cast<uintptr_t>(buffer_);
        return address >= buffer && address < buffer + sizeof buffer_;
    }
    // Frees the blocks not yet written; once the I/O thread has stopped.
    void FreeUnsent() { sendQueue_.FreeAll(); }
    // Blocks not yet written, on the I/O thread; the socket (tests).
    size_t Unsent() const { return sendQueue_.size(); }
    int descriptor() { return socket_.native_handle(); }

    // One completed receive of `bytes` (0 or an error: the socket is lost);
    // the I/O thread's handler, public for tests that feed it.
    void Received(const boost::system::error_code& error, unsigned int bytes);

private:
    // Hands on at most kPacketsPerTurn packets of the buffer, then posts the
    // rest to the I/O thread's service, so that its other work (sends, the
    // scheduler) runs between; receives again once the buffer is handled.
    void HandlePackets();
    void Lose();

    boost::asio::io_context& io_;
    Callbacks callbacks_;
    boost::asio::generic::seq_packet_protocol::socket socket_;
    // Whether socket_ is open, readable from any thread (the socket object
    // itself belongs to the I/O thread once it runs).
    std::atomic<bool> open_{false};
    std::atomic<bool> sending_{true};
    IpcSendQueue sendQueue_{socket_};
    boost::asio::socket_base::message_flags receiveFlags_ = 0; // written by the receive until it completes
    alignas(4) unsigned char buffer_[IPC_BUFFER_SIZE];
    uint32_t fill_ = 0;
};
