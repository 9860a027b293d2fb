// The store walk: every record the data store of an indexed file holds,
// found from the store alone, without the trees, in file order. It is how a
// file whose indexes cannot be trusted (a process died with it open for
// update) gets its records back, and how the space of a file is measured.
//
// Slot format: the file is cut from the header's end into slots and index
// blocks, each told apart by its first bytes: a record slot (type 4) gives
// a record, a free slot (type 8) is stepped over with its slack, an index
// page (page type 1 or 2) is stepped over by index_block_size. Zero bytes
// are space handed out and never written (an index block, or the records of
// an append buffer that never reached the file while a later block did);
// they are stepped over a byte at a time, since no slot or page starts with
// a zero byte. Bytes that are none of these end the walk: what follows
// cannot be cut into slots without guessing, and guessing would invent
// records. The walk reports where it stopped.
//
// Block format: every block of sequence_set_size bytes after the header is
// looked at by itself. A sequence set (block type 4) gives its records up
// to its end address, as far as the records' own lengths and owner words
// agree, whatever its record count says (a count that disagrees is
// reported; what lies past the end address is stale and never read);
// anything else (an index page, a free block, a block never written) is
// stepped over. A set that disagrees with itself gives the records before
// the disagreement and is reported.
//
// Nothing read is trusted: a record longer than the file's longest record,
// or shorter than its keys, is not delivered but reported.
#ifndef KVR_ENGINE_ISAM_STORE_WALK_H
#define KVR_ENGINE_ISAM_STORE_WALK_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/isam/ix_handle.h"

namespace kvr::isam {

// Where the space of the file went, as the walk found it.
struct StoreSpace {
    uint64_t file_size = 0;
    uint64_t header_bytes = 0;
    uint64_t records = 0;
    uint64_t record_bytes = 0;  // slots or set space the records take
    uint64_t free_slots = 0;
    uint64_t free_slot_bytes = 0;
    uint64_t index_blocks = 0;  // index blocks: holding a page, or on the free list
    uint64_t index_bytes = 0;
    uint64_t sequence_sets = 0;  // block format
    uint64_t set_bytes = 0;      // block format: whole blocks holding sets
    uint64_t free_blocks = 0;    // block format: free blocks (type 8)
    uint64_t free_block_bytes = 0;
    uint64_t unwritten_bytes = 0;   // zeros: handed out, never written
    uint64_t unreadable_bytes = 0;  // past the point where the walk stopped
};

// One thing the walk could not use, and where.
struct WalkNote {
    uint64_t offset = 0;
    std::string what;
};

// Calls visit(address, data, length) for every record in file order; data
// is valid during the call only. visit returns false to stop the walk
// (the result is then 0). The result is 0, or an engine result when the
// file cannot be read (2). notes receive what could not be used; space may
// be null.
engine::Result walk_data_store(
    ix_handle* handle, const std::function<bool(uint32_t, const unsigned char*, uint32_t)>& visit,
    std::vector<WalkNote>* notes, StoreSpace* space);

}  // namespace kvr::isam

#endif
