// Placeholder until the supervisor channel lands.
#include "core/dvrcore.h"

void dvrcore::ArmIpcReceive() {}
void dvrcore::ProcessIPC(const boost::system::error_code&, unsigned int) {}
void dvrcore::QueueIpcBlock(IpcBlock block) { free(block.data); }
void dvrcore::SendIpcFront() {}
void dvrcore::DeliverIpcPacket(const unsigned char*, uint32_t) {}
void dvrcore::DisconnectIpc() {}
