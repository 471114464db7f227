// Releasing: the rules by which a delivered block goes back. Every holder
// (the core while it delivers, each plugin that kept the block) lets go with
// a release in its own name; the release of the last holder frees the block.
// A release by an owner that holds nothing frees nothing, and a release in
// the core's name from outside is ignored (raising.cpp): only the writer
// gives up the core's hold.
#include "events/block_pool.h"
#include "events/event_bus.h"

void EventBus::Release(const _EventParmsIn& event, uint32_t owner)
{
    if (event.data && refBlocks_.Release(event.data, owner))
        FreeBlock(event.data);
}

void EventBus::FreeBlock(void* block)
{
    // A request thread waiting on this block is let go before the block is
    // freed, so a new block at the same address cannot be taken for it.
    requestThreads_.BlockFreed(block);
    FreeEventData(block);
}
