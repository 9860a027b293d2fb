// Free lists of the slot format.
//
// The free-space table (56 bytes at header offset 0xBC) holds the number of
// record size classes, the head of list 0 (free index blocks, see
// index_blocks.cpp) and, for each record list k = 1..6, the full size of its
// first slot and its head. A list is threaded through the free headers of
// its slots (slot.h): each names its successor and the successor's size.
//
// With five classes each list keeps its largest slot first and the rest in
// descending order of size, so the table's size word tells at once whether
// a list can serve a request; a slot is taken from the head, the largest of
// its class rather than the best fit. Freeing a slot at least as large as
// the head pushes it there; a smaller one is inserted in order by walking at
// most ten slots of the list, and a slot whose place lies deeper is written
// as free but linked nowhere. With one class (every record the same length)
// list 1 is a stack: the slot freed last is reused first, unless it is too
// small for the record, which then goes at the end of the file.
//
// Size class of a slot of full size S, with E = keys_end (the shortest record
// that holds every key) and M = max_record_length:
//   class = (5 (S - E) - 20) / (M - E) + 1, clamped to 1..6,
// i.e. 5 (L - E) / (M - E) + 1 for an exact slot of a record of length L:
// 1 to 5, and 6 for a record of the maximum length. When M <= E every slot
// is class 1.
//
// Nothing read from the file is trusted: a link must lie after the header
// area, not name itself, and lead to a free slot of at least 12 bytes that
// ends inside the file; a taken slot must hold what its list promised. Any
// other finding is damage (result 2). Every walk is bounded.
#include "engine/store/free_lists.h"

#include <algorithm>
#include <cstring>

#include "engine/results.h"
#include "engine/store/slot.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

namespace kvr::store {

using engine::FileHeader;

namespace {

constexpr uint32_t kClassesWithLengths = 5;
constexpr int kLongestClass = 6;
// Lists searched for a larger slot end here: the sixth holds records of the
// maximum length only and serves only them.
constexpr int kLastSearchedClass = 5;
constexpr int kMaxWalk = 10;

// After a change of the table in memory: the file gets it at once when the
// file keeps its table up to date.
Status table_changed(StoreHandle* handle) {
    if (handle->header().immediate_free_space())
        return write_free_space_table(handle);
    return kOk;
}

// Reads the free header of a listed slot at `at`, a link taken from the file.
Status read_listed_slot(const StoreHandle* handle, uint32_t at, FreeHeader* free) {
    if (at < handle->header_size)
        return kIoError;
    unsigned char bytes[kFreeHeaderSize];
    const Status status = read_exact(handle, at, bytes, kFreeHeaderSize, kIoError);
    if (status != kOk)
        return status;
    *free = decode_free_header(bytes);
    if (free->flags != kSlotTypeFree || free->size < kFreeHeaderSize || free->next == at ||
        (free->next != 0 && free->next < handle->header_size))
        return kIoError;
    return kOk;
}

// Writes a free slot of free.size bytes at `address`: its header, then
// spaces over the rest (the record's data is overwritten).
Status write_free_slot(const StoreHandle* handle, uint32_t address, const FreeHeader& free) {
    // The header and the first spaces go out in one write.
    unsigned char bytes[kFreeHeaderSize + 512];
    encode_free_header(bytes, free);
    const uint32_t rest = free.size - kFreeHeaderSize;
    const uint32_t here = rest < 512 ? rest : 512;
    std::memset(bytes + kFreeHeaderSize, kSlackByte, here);
    const Status status = write_exact(handle, address, bytes, kFreeHeaderSize + here);
    if (status != kOk)
        return status;
    return write_spaces(handle, address + kFreeHeaderSize + here, rest - here);
}

// Puts the free slot at the head of `list`. The table changes only once the
// slot is on disk, so a failed write never leaves a list naming a slot that
// is not free.
Status push_free_slot(StoreHandle* handle, int list, uint32_t address, FreeHeader free) {
    FileHeader header = handle->header();
    const uint32_t old_head = header.free_list_head(list);
    if (old_head == address)
        return kIoError;  // already listed: a damaged list
    free.next = old_head;
    free.next_size = old_head == 0 ? 0 : header.free_list_size(list);
    const Status status = write_free_slot(handle, address, free);
    if (status != kOk)
        return status;
    header.set_free_list_head(list, address);
    header.set_free_list_size(list, free.size);
    return table_changed(handle);
}

// Inserts the free slot into `list` behind the last slot larger than it,
// walking at most kMaxWalk slots; deeper than that it is linked nowhere.
Status insert_free_slot(StoreHandle* handle, int list, uint32_t address, FreeHeader free) {
    uint32_t at = handle->header().free_list_head(list);
    for (int visited = 1;; ++visited) {
        if (at == address)
            return kIoError;  // already listed: a damaged list
        FreeHeader slot;
        Status status = read_listed_slot(handle, at, &slot);
        if (status != kOk)
            return status;
        if (visited == kMaxWalk) {
            free.next = 0;
            free.next_size = 0;
            return write_free_slot(handle, address, free);
        }
        if (slot.next_size > free.size && slot.next != 0) {
            at = slot.next;
            continue;
        }
        free.next = slot.next;
        free.next_size = slot.next_size;
        status = write_free_slot(handle, address, free);
        if (status != kOk)
            return status;
        slot.next = address;
        slot.next_size = free.size;
        unsigned char bytes[kFreeHeaderSize];
        encode_free_header(bytes, slot);
        return write_exact(handle, at, bytes, kFreeHeaderSize);
    }
}

}  // namespace

Status write_free_space_table(StoreHandle* handle) {
    return write_exact(handle, engine::kFreeSpaceTableAt,
                       handle->image.get() + engine::kFreeSpaceTableAt,
                       engine::kFreeSpaceTableSize);
}

uint32_t size_class_count_for(const FileHeader& header) {
    return header.min_record_length() == header.max_record_length() ? 1 : kClassesWithLengths;
}

int size_class(const FileHeader& header, uint64_t slot_size) {
    if (header.size_class_count() == 1)
        return 1;
    const int64_t keys_end = header.keys_end();
    const int64_t longest = header.max_record_length();
    if (keys_end < 0 || longest <= keys_end)
        return 1;
    const int64_t scaled = (static_cast<int64_t>(slot_size) - keys_end) * 5 - 20;
    if (scaled < 0)
        return 1;
    return static_cast<int>(std::min<int64_t>(scaled / (longest - keys_end) + 1, kLongestClass));
}

Status take_free_slot(StoreHandle* handle, int list, uint32_t size, SlotSpace* space) {
    space->reuse = false;
    FileHeader header = handle->header();
    const uint32_t head = header.free_list_head(list);
    if (head == 0)
        return kOk;
    FreeHeader free;
    Status status = read_listed_slot(handle, head, &free);
    if (status != kOk)
        return status;
    if (free.size < size)
        return kOk;
    uint64_t end = 0;
    status = logical_file_end(handle, &end);
    if (status != kOk)
        return status;
    if (uint64_t{head} + free.size > end)
        return kIoError;  // a free slot reaching past the end of the file
    header.set_free_list_head(list, free.next);
    header.set_free_list_size(list, free.next == 0 ? 0 : free.next_size);
    *space = SlotSpace{head, free.size, true};
    return table_changed(handle);
}

Status find_free_slot(StoreHandle* handle, uint32_t size, SlotSpace* space) {
    *space = SlotSpace{};
    const FileHeader header = handle->header();
    if (header.size_class_count() == 1)
        return take_free_slot(handle, 1, size, space);

    const int own = size_class(header, size);
    int list = 0;
    if (header.free_list_size(own) >= size && header.free_list_head(own) != 0) {
        list = own;
    } else {
        for (int larger = own + 1; larger <= kLastSearchedClass && list == 0; ++larger) {
            if (header.free_list_head(larger) != 0)
                list = larger;
        }
    }
    if (list == 0)
        return kOk;  // nothing fits: append
    const Status status = take_free_slot(handle, list, size, space);
    if (status == kOk && !space->reuse)
        return kIoError;  // the list promised more room than its head has
    return status;
}

namespace {

// Puts the slot of `full` bytes at address on the list of its class: at
// the head when it is the list's largest, else in its place by size.
Status list_free_slot(StoreHandle* handle, uint32_t address, uint64_t full) {
    const FreeHeader free{kSlotTypeFree, static_cast<uint32_t>(full), 0, 0};
    const FileHeader header = handle->header();
    if (header.size_class_count() == 1)
        return push_free_slot(handle, 1, address, free);
    const int list = size_class(header, full);
    if (full >= header.free_list_size(list) || header.free_list_head(list) == 0)
        return push_free_slot(handle, list, address, free);
    return insert_free_slot(handle, list, address, free);
}

}  // namespace

Status free_slot(StoreHandle* handle, uint32_t address, const KnownSlot* known) {
    if (address < handle->header_size)
        return kIoError;
    Status status = kOk;
    unsigned char bytes[kSlotHeaderSize];
    SlotHeader slot;
    if (known != nullptr && known->length >= kFreeHeaderSize) {
        // The record was just read: its slot is known to be a live record of
        // this size, and only its place inside the file needs checking.
        const uint64_t full = known->full;
        const uint64_t end_needed = address + full;
        if (end_needed > handle->known_file_end) {
            uint64_t end = 0;
            status = logical_file_end(handle, &end);
            if (status != kOk)
                return status;
            handle->known_file_end = end;
            if (end_needed > end)
                return kIoError;
        }
        return list_free_slot(handle, address, full);
    }
    status = read_exact(handle, address, bytes, kSlotHeaderSize, kEndOfFile);
    if (status != kOk)
        return status;
    slot = decode_slot_header(bytes);
    if (!slot.is_record())
        return kIoError;  // not a record: never free it twice

    if (slot.length < kFreeHeaderSize) {
        slot.flags = static_cast<unsigned char>((slot.flags & ~kSlotTypeMask) | kSlotTypeFree);
        encode_slot_header(bytes, slot.flags, slot.length);
        return write_exact(handle, address, bytes, kSlotHeaderSize);
    }

    uint64_t full = slot.length;
    if (slot.has_slack()) {
        uint32_t slack = slot.short_slack();
        if (slack == 0) {
            unsigned char word[kSlackWordSize];
            status = read_exact(handle, address + slot.length, word, kSlackWordSize, kIoError);
            if (status != kOk)
                return status;
            slack = platform::load_u32(word);
            if (slack < kSlackWordSize)
                return kIoError;
        }
        full += slack;
    }
    if (full > kMaxSlotSize)
        return kIoError;
    uint64_t end = 0;
    status = logical_file_end(handle, &end);
    if (status != kOk)
        return status;
    if (address + full > end)
        return kIoError;  // the slot's slack runs past the end of the file

    return list_free_slot(handle, address, full);
}

}  // namespace kvr::store
