#include "verbs/engine_slot.h"

#include <atomic>
#include <cstring>
#include <new>

#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::verbs {

namespace {

constexpr size_t kEngineSlotSize = 128;

// One slot given out, or (slot null) an entry free for the next OPEN.
struct Entry {
    std::atomic<void*> slot{nullptr};
    std::atomic<const vmq_fcb*> owner{nullptr};
    Entry* next = nullptr;
};

// The list; entries are added at the head and never removed.
std::atomic<Entry*> entries{nullptr};

bool enter(void* slot, const vmq_fcb* fcb) {
    for (Entry* e = entries.load(std::memory_order_acquire); e != nullptr; e = e->next) {
        void* free = nullptr;
        if (e->slot.load(std::memory_order_relaxed) == nullptr &&
            e->slot.compare_exchange_strong(free, slot, std::memory_order_acq_rel)) {
            e->owner.store(fcb, std::memory_order_release);
            return true;
        }
    }
    Entry* added = new (std::nothrow) Entry;
    if (added == nullptr)
        return false;
    added->slot.store(slot, std::memory_order_relaxed);
    added->owner.store(fcb, std::memory_order_relaxed);
    added->next = entries.load(std::memory_order_relaxed);
    while (!entries.compare_exchange_weak(added->next, added, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
    return true;
}

Entry* entry_of(const void* slot) {
    if (slot == nullptr)
        return nullptr;
    for (Entry* e = entries.load(std::memory_order_acquire); e != nullptr; e = e->next) {
        if (e->slot.load(std::memory_order_acquire) == slot)
            return e;
    }
    return nullptr;
}

}  // namespace

void* take_engine_slot(vmq_fcb* fcb) {
    void* slot = _vmqMalloc(kEngineSlotSize, 907, 0);
    if (slot != nullptr) {
        std::memset(slot, 0, kEngineSlotSize);
        if (!enter(slot, fcb)) {
            _vmqCheckFree(slot);
            slot = nullptr;
        }
    }
    fcb->engine_handle = slot;
    return slot;
}

void* engine_slot(const vmq_fcb* fcb) {
    const Entry* e = entry_of(fcb->engine_handle);
    return e != nullptr && e->owner.load(std::memory_order_acquire) == fcb ? fcb->engine_handle
                                                                           : nullptr;
}

bool give_back_engine_slot(vmq_fcb* fcb) {
    void* slot = fcb->engine_handle;
    Entry* e = entry_of(slot);
    fcb->engine_handle = nullptr;
    if (e == nullptr || e->owner.load(std::memory_order_acquire) != fcb)
        return false;
    e->owner.store(nullptr, std::memory_order_relaxed);
    e->slot.store(nullptr, std::memory_order_release);
    _vmqCheckFree(slot);
    return true;
}

}  // namespace kvr::verbs
