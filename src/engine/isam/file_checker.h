// The file checker: verifies a whole open indexed file of the slot format
// and reports the first broken rule it finds, with where it was found. The
// engine tests run it after each batch of operations; the kvr utility's
// check command exposes it.
//
// What a sound file keeps:
//   - every tree passes the tree checker (tree/checker.h), and no index page
//     belongs to two trees;
//   - every prime entry names the start of a live record slot (type 4)
//     whose record carries that prime key, and no two prime entries name
//     the same slot;
//   - every alternate entry's value is the prime key of a record whose
//     alternate key has the entry's value, and every record has exactly one
//     entry in each alternate tree;
//   - record_count equals the number of records;
//   - the free-space table holds the right number of size classes; every
//     free list is well formed: its slots are free (type 8) starts of slots
//     inside the file, each names the next one and that one's size
//     correctly, the table's size word is the head's size, the list has no
//     loop, and (with five classes) each list keeps slots of its own class
//     in descending order of size; lists 2 to 6 stay empty with one class;
//   - the index-block list names only free blocks of index_block_size
//     bytes that no tree uses; no slot is on two lists.
//
// How slots are found: the file is walked from header_size to its end, one
// slot or block after the other, each told apart by its first bytes: a page
// of a tree (its address is in a tree) or a block the trees do not use
// (page type 1 or 2, or zeros: a block handed out but never written) takes
// index_block_size bytes; a record slot (type 4) its length plus slack; a
// free slot (type 8) its size. Since the walk cuts the file into disjoint
// pieces, a list or an entry that names anything but the start of the right
// kind of piece is reported, and so overlaps between records, free slots
// and pages show up. Limits: a damaged length stops the walk there (the
// rest of the file is not checked); a block no tree uses and a record no
// prime entry names are space lost to reuse, not damage, and are only
// counted in the summary, as are free slots on no list (under 12 bytes, or
// too deep in their list when freed).
//
// A file of the block format keeps other rules, checked block by block
// (the space after the header is whole blocks of sequence_set_size bytes):
//   - every tree passes the tree checker, and its pages are blocks no other
//     tree, set or list uses;
//   - every sequence set's header matches its records (count, first and
//     last record address, free bytes, end address), every record names the
//     set as its owner, holds its keys and is at most max_record_length;
//   - the sets form one chain from first_sequence_set, whose previous link
//     names none, each set's previous link naming the set before it; no set
//     is off the chain;
//   - the records along the chain are exactly the prime entries, in the
//     same order and at the same addresses: every record is reachable from
//     the primary index and only from there;
//   - the alternate entries as above; record_count equals the records;
//   - the avail list names free blocks (type 8) only, without a loop, none
//     of them a page or a set. A free block on no list is space lost and
//     counted, not damage.
// Sets still changed in the store's buffers are read from there.
//
// The check reads through the handle's channel and never writes the file
// itself: records still in the append buffer are read from the buffer, as
// the store would. Tree pages are fetched through each tree's page cache
// (so a page the walk evicts is written back only when it was already
// modified, as the tree checker does), and every tree's cursor and
// mark_dirty setting are put back, so the check can run between any two
// operations of an open file. Nothing read is trusted: a damaged file gives
// a report, never a crash or an endless walk. All entries are held in memory
// while the check runs.
#ifndef KVR_ENGINE_ISAM_FILE_CHECKER_H
#define KVR_ENGINE_ISAM_FILE_CHECKER_H

#include <cstdint>
#include <string>

#include "engine/isam/ix_handle.h"

namespace kvr::isam {

// The first broken rule found: what it is and where. The place is where the
// damage lies: the index page holding a wrong entry, the slot or block that
// is wrong or holds a wrong link. A wrong value found there (the address an
// entry or a link names) is told in the text, never as the place.
struct FileProblem {
    std::string what;
    int key = -1;         // the key whose tree or entry is concerned, -1 = none
    uint32_t offset = 0;  // the file offset of the place, 0 = none (or the header)
    int entry = -1;       // the entry of the index page at offset, -1 = none
};

// What the check counted, as far as it got.
struct FileSummary {
    uint64_t file_end = 0;  // the file's end, the append buffer included
    uint64_t records = 0;   // records named by the prime tree
    uint64_t index_pages = 0;
    uint64_t free_index_blocks = 0;
    uint64_t listed_free_slots = 0;
    uint64_t unlisted_free_slots = 0;  // free, but on no list: lost to reuse
    uint64_t unused_blocks = 0;        // blocks neither in a tree nor on the list
    uint64_t orphan_records = 0;       // record slots no prime entry names
    uint64_t sequence_sets = 0;        // block format: sets on the chain
    uint64_t free_blocks = 0;          // block format: blocks on the avail list
};

// Checks the open file. True when it is sound; otherwise false with the
// first problem in *problem. summary may be null.
bool check_file(ix_handle* handle, FileProblem* problem, FileSummary* summary = nullptr);

// "key 1, page 8192 entry 3: ...", "offset 20480: ..." for messages.
std::string describe(const FileProblem& problem);

}  // namespace kvr::isam

#endif
