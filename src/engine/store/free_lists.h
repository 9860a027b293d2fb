// The free lists of the slot format: where the space of deleted records is
// kept for reuse, by size class, and how space is found for a new slot.
// The slot layouts are in slot.h; the free-space table lives in the header
// image (file_header.h, offset 0xBC) and reaches the file with the header at
// close, or at once after each change when the file's immediate_free_space
// option is set.
#ifndef KVR_ENGINE_STORE_FREE_LISTS_H
#define KVR_ENGINE_STORE_FREE_LISTS_H

#include <cstdint>

#include "engine/file_header.h"
#include "engine/store/store_handle.h"

namespace kvr::store {

// The number of record size classes of a file: 1 when every record has the
// same length, else 5 (records of the maximum length fall in a sixth).
uint32_t size_class_count_for(const engine::FileHeader& header);

// The list (1..6) that keeps free slots of `slot_size` bytes.
int size_class(const engine::FileHeader& header, uint64_t slot_size);

// Space for a new slot: a free slot taken off its list, or, when `reuse` is
// false, none: the slot goes at the end of the file.
struct SlotSpace {
    uint32_t address = 0;
    uint32_t size = 0;  // full size of a reused slot
    bool reuse = false;
};

// Finds space for a slot of `size` bytes. With one size class the head of
// list 1 is taken when it is big enough; otherwise the head of the size's
// own list when the table says it is big enough, else the head of the first
// non-empty larger list up to list 5.
Status find_free_slot(StoreHandle* handle, uint32_t size, SlotSpace* space);

// Takes the head of list `list` when it holds at least `size` bytes; leaves
// the list alone (space->reuse false) when it is empty or its head smaller.
Status take_free_slot(StoreHandle* handle, int list, uint32_t size, SlotSpace* space);

// Frees the record slot at `address`: puts it on its list, or only marks it
// free when it is under 12 bytes or would sit too deep in its list.
// What the caller already knows of a record slot it has just read, so that
// freeing it needs no second read.
struct KnownSlot {
    uint32_t length = 0;  // the length field: data + header
    uint32_t full = 0;    // with the slack
};
Status free_slot(StoreHandle* handle, uint32_t address, const KnownSlot* known = nullptr);

}  // namespace kvr::store

#endif
