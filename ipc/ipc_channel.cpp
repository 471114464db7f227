// The supervisor channel: receiving packets and acting on them, routing the
// ones meant for a plugin, writing the blocks plugins raise for the
// supervisor, and the loss of the socket. All of it runs on the I/O thread,
// so the receive buffer and the send queue need no lock.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include <boost/asio/buffer.hpp>
#include <boost/system/system_error.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "ipc/ipc_framing.h"

namespace {

// The receive writes its flags until it completes; there is one receive
// outstanding and one core per process.
boost::asio::socket_base::message_flags receiveFlags = 0;

} // namespace

void dvrcore::ArmIpcReceive()
{
    // After a handled receive the buffer holds less than one whole packet,
    // so there is always room for more.
    ipcSocket.async_receive(boost::asio::buffer(ipcBuffer + ipcFill, IPC_BUFFER_SIZE - ipcFill), receiveFlags,
                            [this](const boost::system::error_code& error, std::size_t bytes) {
                                ProcessIPC(error, static_cast<unsigned int>(bytes));
                            });
}

void dvrcore::ProcessIPC(const boost::system::error_code& error, unsigned int bytes)
{
    if (error || bytes == 0) {
        DisconnectIpc();
        return;
    }
    ipcFill += bytes < IPC_BUFFER_SIZE - ipcFill ? bytes : IPC_BUFFER_SIZE - ipcFill;

    IpcFramer framer(ipcBuffer, ipcFill);
    for (;;) {
        const IpcFramer::Step step = framer.Next();
        if (step == IpcFramer::Step::NeedMore)
            break;
        if (step == IpcFramer::Step::BadLength) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "bad ipc packet length");
            break;
        }
        const unsigned char* packet = framer.packet();
        const IpcHeader header = ReadIpcHeader(packet);
        switch (RoleOf(header)) {
        case IpcPacketRole::Stop:
            RequestStop();
            break;
        case IpcPacketRole::Configuration: {
            SupervisorConfig config = ParseConfigPayload(packet + IPC_HEADER_SIZE, header.length - IPC_HEADER_SIZE);
            std::lock_guard lock(coreMutex);
            if (config.background)
                backgroundMode = *config.background;
            if (config.version)
                supervisorVersion = std::move(*config.version);
            supervisorFilename = std::move(config.filename);
            // Ends the start-up wait, which waits for the count to change.
            coreWakeup.NotifyLocked();
            break;
        }
        case IpcPacketRole::Plugin:
            DeliverIpcPacket(packet, framer.length());
            break;
        }
    }
    ipcFill = framer.Finish();
    ArmIpcReceive();
}

void dvrcore::DeliverIpcPacket(const unsigned char* packet, uint32_t length)
{
    if (length < IPC_HEADER_SIZE)
        return;
    const uint32_t moduleIndex = DVR_IPC_TARGET_MODULE_INDEX(ReadIpcHeader(packet).target);
    DvrEntryPoint ioctl = nullptr;
    uint32_t systemID = 0;
    {
        std::shared_lock lock(pluginsMutex);
        for (const PLUGININFO& plugin : plugins) {
            if (DVR_MODULE_INDEX(plugin.info.systemID) == moduleIndex) {
                ioctl = plugin.IOCTL;
                systemID = plugin.info.systemID;
                break;
            }
        }
    }
    // Only the first plugin with the index is addressed, with or without IOCTL.
    if (!ioctl)
        return;

    _IoctlParmsIn in = IoctlRecord(IOCTL_SUPERVISOR, length, const_cast<unsigned char*>(packet));
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_SUPERVISOR);
    const PluginCallResult call = ::CallPlugin(ioctl, systemID, PluginEntry::IOCTL, in, out, [this] { return now(); });
    if (!call.failed())
        return;

    // Only a failure needs the name; copied into a fixed buffer so that no
    // lock is held while logging and nothing is allocated.
    char name[NAME_MAX + 1];
    pluginSide.CopyFileName(systemID, name, sizeof name);
    LogPluginFailure(name, "ipc ioctl", call);
}

void dvrcore::DisconnectIpc()
{
    // Marked closed before anything can wake the main thread (the log lines
    // below are queued events and end the start-up wait too): plugins opened
    // from then on find the channel closed.
    ipcOpen = false;
    supervisorLost = true;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "tarvod ipc pipe disconnected");
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL,
               "sleeping for one minute to allow active watchdogs to expire...");
    RequestStop();
    boost::system::error_code error;
    ipcSocket.close(error);
    if (error)
        throw boost::system::system_error(error, "close");
}

void dvrcore::QueueIpcBlock(IpcBlock block)
{
    ipcSendQueue.Queue(block);
}
