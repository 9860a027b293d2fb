// The page cache of an open tree, through which every page is fetched, made,
// freed and written back.
//
// Up to 31 slots (of 32) each hold one page: its address (kNoPage when the
// slot is empty), a buffer of page_size bytes allocated when the slot is
// first used and kept until the tree is closed, and the cache clock's value
// when the slot was last used. Operations advance the clock at their start
// (Tree::begin_operation), so every page an operation touches carries its
// stamp and cannot be evicted while it runs; eviction takes the slot with the
// smallest stamp and writes it first if it is marked modified. Clean pages
// are never written back except by close. Pointers into the buffers stay
// valid only until the next operation on the tree.
//
// Where the file is mapped, a page fetched outside an update is looked at
// in place in the mapping, not copied into a buffer; an update that fetches
// it gets a copy in the slot's buffer, which is the one it changes. A page
// fetched outside an update must not be written.
//
// A page read from the file is checked before it is used: its own address,
// its type (branch or leaf), its count (0 up to its type's maximum + 1, and
// never more than the page can hold) and its key number; anything else is a
// damaged page. A page's own address is also checked when it is found in the
// cache and before it is written.
#ifndef KVR_ENGINE_TREE_PAGE_CACHE_H
#define KVR_ENGINE_TREE_PAGE_CACHE_H

#include <cstdint>

#include "engine/file_channel.h"
#include "engine/tree/tree.h"

namespace kvr::tree {

// The page at address, from the cache or read from the file. *result is 0,
// or 102 (address 0, a damaged page, no slot free of the running operation),
// 106 (a failed seek, read or write-back), 107 (no memory for a buffer); the
// result is then null. While the tree's mark_dirty is set (an update runs)
// the page comes back in the slot's own buffer, ready to be changed; whoever
// changes it marks it modified, and only pages so marked (and new pages) are
// written back.
unsigned char* get_page(Tree* tree, uint32_t address, Status* result);

// A new page from the data store, zero-filled, with its own address, the
// tree's key number and the modified mark set; *address receives its address.
// The caller sets its type and links. A store that cannot hand out a page
// gives 107 when it is out of memory or the file is full, 106 otherwise; a
// page the cache cannot take is given back to the store. On failure *address
// is 0 and the result null.
unsigned char* new_page(Tree* tree, uint32_t* address, Status* result);

// Takes `count` pages from the data store for the new_page calls to come,
// which use them before asking the store again: an insert takes every page
// its splits need before it changes anything, so that a store with no room
// refuses it while the tree is as it was. 0, or what the store said (106,
// 107), with nothing kept.
Status reserve_pages(Tree* tree, int count);
// Gives the pages reserved and not used back to the data store.
void release_reserved_pages(Tree* tree);

// Drops the page from the cache unwritten (its buffer stays for reuse) and
// gives it back to the data store: 0, 106, or 107 when out of memory.
Status free_page(Tree* tree, uint32_t address);

// Forgets every cached page unwritten and reads the root from the tree header
// in the file: 0 or 106.
Status reload_root(Tree* tree);

// Writes the root to the tree header in the file when it changed, writes
// every modified page and empties the cache: 0, 102 (a modified page whose
// own address is wrong) or 106.
Status flush_tree(Tree* tree);

// Writes the whole page buffer at address: 0 or 106.
Status write_page(const Tree& tree, uint32_t address, const unsigned char* page);

// A file I/O outcome as a tree status: done 0, nothing read 103, a failed
// call 106. A failed call moved no bytes, so it never counts as done, not
// even with the Windows error "not locked" that the engine's own mapping
// takes for success: a page taken as written or read when it was not would
// be lost or garbage.
Status tree_io_status(engine::IoOutcome outcome);

}  // namespace kvr::tree

#endif
