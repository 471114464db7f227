#include "events/refblocktable.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <new>
#include <utility>

namespace {

constexpr size_t kInitialCapacity = 64;

// malloc'ed addresses share their low bits (alignment), so scramble them with a
// Fibonacci multiply and index by the high bits.
constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;

void AppendHex(std::string& out, uint64_t value)
{
    char buf[20];
    auto res = std::to_chars(buf, buf + sizeof(buf), value, 16);
    out.append(buf, res.ptr);
}

} // namespace

uint32_t RefBlockTable::Entry::OwnerAt(uint32_t i) const
{
    return i < kInlineOwners ? owners[i] : (*overflow)[i - kInlineOwners];
}

void RefBlockTable::Entry::SetOwnerAt(uint32_t i, uint32_t owner)
{
    if (i < kInlineOwners)
        owners[i] = owner;
    else
        (*overflow)[i - kInlineOwners] = owner;
}

bool RefBlockTable::Entry::HasOwner(uint32_t owner) const
{
    for (uint32_t i = 0; i < ownerCount; ++i)
        if (OwnerAt(i) == owner)
            return true;
    return false;
}

void RefBlockTable::Entry::AppendOwner(uint32_t owner)
{
    if (ownerCount < kInlineOwners) {
        owners[ownerCount] = owner;
    } else {
        if (!overflow)
            overflow = std::make_unique<std::vector<uint32_t>>();
        overflow->push_back(owner);
    }
    ++ownerCount;
}

bool RefBlockTable::Entry::RemoveOwner(uint32_t owner)
{
    for (uint32_t i = 0; i < ownerCount; ++i) {
        if (OwnerAt(i) != owner)
            continue;
        // Shift the rest down so the leak report keeps the order owners came in.
        for (uint32_t j = i + 1; j < ownerCount; ++j)
            SetOwnerAt(j - 1, OwnerAt(j));
        if (ownerCount > kInlineOwners)
            overflow->pop_back(); // keeps its capacity while the entry lives
        --ownerCount;
        return true;
    }
    return false;
}

void RefBlockTable::Entry::Clear()
{
    block = nullptr;
    size = 0;
    ownerCount = 0;
    overflow.reset();
}

RefBlockTable::RefBlockTable()
{
    Rehash(kInitialCapacity);
}

// Blocks still listed belong to someone else's bookkeeping; dropping the
// entries is all we may do here.
RefBlockTable::~RefBlockTable() = default;

size_t RefBlockTable::HomeSlot(const void* block) const
{
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(block) * kHashMultiplier) >> shift_);
}

size_t RefBlockTable::FindSlot(const void* block) const
{
    const size_t mask = capacity_ - 1;
    // The table always keeps a free slot, so the probe ends.
    for (size_t i = HomeSlot(block);; i = (i + 1) & mask) {
        if (slots_[i].block == block)
            return i;
        if (slots_[i].block == nullptr)
            return capacity_;
    }
}

void RefBlockTable::EraseSlot(size_t slot)
{
    const size_t mask = capacity_ - 1;
    size_t hole = slot;
    for (size_t j = (hole + 1) & mask; slots_[j].block != nullptr; j = (j + 1) & mask) {
        // An entry may fill the hole only if its home is not between the hole
        // and where it sits now; otherwise moving it would put it before its home.
        const size_t home = HomeSlot(slots_[j].block);
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            slots_[hole] = std::move(slots_[j]);
            hole = j;
        }
    }
    slots_[hole].Clear();
    --used_;
}

void RefBlockTable::Rehash(size_t newCapacity)
{
    auto fresh = std::make_unique<Entry[]>(newCapacity);
    unsigned log2 = 0;
    while ((size_t{1} << log2) < newCapacity)
        ++log2;
    std::unique_ptr<Entry[]> old = std::exchange(slots_, std::move(fresh));
    const size_t oldCapacity = std::exchange(capacity_, newCapacity);
    shift_ = 64 - log2;
    const size_t mask = capacity_ - 1;
    for (size_t i = 0; i < oldCapacity; ++i) {
        if (old[i].block == nullptr)
            continue;
        size_t j = HomeSlot(old[i].block);
        while (slots_[j].block != nullptr)
            j = (j + 1) & mask;
        slots_[j] = std::move(old[i]);
    }
}

void RefBlockTable::AddRef(void* block, uint32_t size, uint32_t owner)
{
    if (block == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    AddRefLocked(block, size, owner);
}

void RefBlockTable::AddDeliveryRef(void* block, uint32_t size, uint32_t coreOwner, uint32_t eventType)
{
    if (block == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (Entry* e = AddRefLocked(block, size, coreOwner))
        e->eventType = eventType;
    delivering_ = block;
    calling_.store(coreOwner, std::memory_order_relaxed);
    earlyReleased_ = false;
}

RefBlockTable::Entry* RefBlockTable::AddRefLocked(void* block, uint32_t size, uint32_t owner)
{
    size_t slot = FindSlot(block);
    if (slot != capacity_) {
        Entry& e = slots_[slot];
        if (e.HasOwner(owner))
            return &e;
        if (earlyReleased_ && block == delivering_ && owner == earlyOwner_ &&
            owner == calling_.load(std::memory_order_relaxed)) {
            earlyReleased_ = false; // the hold was given back during its call
            return nullptr;
        }
        e.AppendOwner(owner);
        if (holdObserver_)
            holdObserver_(holdContext_, owner, 1, e.size);
        return &e;
    }
    // Keep the load factor at or below one half.
    if ((used_ + 1) * 2 > capacity_) {
        try {
            Rehash(capacity_ * 2);
        } catch (const std::bad_alloc&) {
            // A fuller table is slower but still correct, as long as one slot stays free.
            if (used_ + 2 > capacity_)
                throw;
        }
    }
    const size_t mask = capacity_ - 1;
    slot = HomeSlot(block);
    while (slots_[slot].block != nullptr)
        slot = (slot + 1) & mask;
    Entry& e = slots_[slot];
    e.block = block;
    e.size = size;
    e.ownerCount = 0;
    e.eventType = 0;
    e.sequence = ++sequence_;
    e.AppendOwner(owner); // inline, cannot throw
    if (holdObserver_)
        holdObserver_(holdContext_, owner, 1, size);
    ++used_;
    blockCount_.store(blockCount_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    byteCount_.store(byteCount_.load(std::memory_order_relaxed) + size, std::memory_order_relaxed);
    return &e;
}

bool RefBlockTable::Release(void* block, uint32_t owner)
{
    if (block == nullptr)
        return true;
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t slot = FindSlot(block);
    if (slot == capacity_)
        return false; // not ours: the caller must not free it
    Entry& e = slots_[slot];
    if (!e.RemoveOwner(owner)) {
        if (block == delivering_ && owner == calling_.load(std::memory_order_relaxed)) {
            earlyReleased_ = true;
            earlyOwner_ = owner;
        }
        return false;
    }
    if (holdObserver_)
        holdObserver_(holdContext_, owner, -1, -static_cast<int64_t>(e.size));
    if (e.ownerCount != 0)
        return false;
    const uint32_t size = e.size;
    EraseSlot(slot);
    blockCount_.store(blockCount_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    byteCount_.store(byteCount_.load(std::memory_order_relaxed) - size, std::memory_order_relaxed);
    return true;
}

void RefBlockTable::ObserveHolds(HoldObserver observer, void* context)
{
    std::lock_guard<std::mutex> lock(mutex_);
    holdObserver_ = observer;
    holdContext_ = context;
}

bool RefBlockTable::Holds(const void* address)
{
    if (address == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (FindSlot(address) != capacity_)
        return true;
    const auto at = reinterpret_cast<uintptr_t>(address);
    for (size_t i = 0; i < capacity_; ++i) {
        const auto start = reinterpret_cast<uintptr_t>(slots_[i].block);
        if (start != 0 && at > start && at - start < slots_[i].size)
            return true;
    }
    return false;
}

std::vector<RefBlockTable::HeldBlock> RefBlockTable::HeldBy(uint32_t owner)
{
    std::vector<HeldBlock> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < capacity_; ++i)
            if (slots_[i].block != nullptr && slots_[i].HasOwner(owner))
                held.push_back({slots_[i].block, slots_[i].size});
    }
    std::sort(held.begin(), held.end(), [](const HeldBlock& a, const HeldBlock& b) {
        return reinterpret_cast<uintptr_t>(a.block) < reinterpret_cast<uintptr_t>(b.block);
    });
    return held;
}

void RefBlockTable::ClearAllLocked()
{
    for (size_t i = 0; i < capacity_; ++i)
        if (slots_[i].block != nullptr)
            slots_[i].Clear();
    used_ = 0;
    blockCount_.store(0, std::memory_order_relaxed);
    byteCount_.store(0, std::memory_order_relaxed);
}

std::string RefBlockTable::TakeLeakReport(std::vector<OwnerLeak>* owners)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<const Entry*> live;
    live.reserve(used_);
    for (size_t i = 0; i < capacity_; ++i)
        if (slots_[i].block != nullptr)
            live.push_back(&slots_[i]);
    // Address order makes the report stable from run to run of the same layout.
    std::sort(live.begin(), live.end(), [](const Entry* a, const Entry* b) {
        return reinterpret_cast<uintptr_t>(a->block) < reinterpret_cast<uintptr_t>(b->block);
    });
    std::string report;
    for (const Entry* e : live) {
        report += "address 0x";
        AppendHex(report, reinterpret_cast<uintptr_t>(e->block));
        report += " leaked by plugins [";
        for (uint32_t i = 0; i < e->ownerCount; ++i) {
            if (i != 0)
                report += ',';
            AppendHex(report, e->OwnerAt(i));
        }
        report += "]\n";
    }
    if (owners != nullptr) {
        // The oldest block is the one added first; sequence numbers wrap only
        // after 2^32 blocks, which a leak report can live with.
        std::map<uint32_t, std::pair<OwnerLeak, uint32_t>> byOwner; // with the oldest's sequence
        for (const Entry* e : live) {
            for (uint32_t i = 0; i < e->ownerCount; ++i) {
                auto [it, added] = byOwner.try_emplace(e->OwnerAt(i));
                OwnerLeak& leak = it->second.first;
                leak.owner = e->OwnerAt(i);
                ++leak.blocks;
                leak.bytes += e->size;
                if (added || e->sequence < it->second.second) {
                    leak.oldestEventType = e->eventType;
                    it->second.second = e->sequence;
                }
            }
        }
        for (const auto& [owner, leak] : byOwner)
            owners->push_back(leak.first);
    }
    ClearAllLocked();
    return report;
}
