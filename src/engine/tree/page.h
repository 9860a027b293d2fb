// Index pages: the fixed-size pages a B+tree is made of, each at a file
// offset that is its address (0 never names a page; 0 in a link means none).
// All numbers little-endian.
//
// Page header, 20 bytes, both page types:
//
//   off  size  field            meaning
//     0     2  page_type        1 branch, 2 leaf; 0 in a page just made
//     2     2  count            signed: keys in the page
//     4     2  modified         in memory: 1 = the buffer differs from the
//                               file; meaningless on disk, cleared on read
//     6     2  page_key_number  the tree's key_number, stamped at creation
//     8     4  page_self        the page's own address, checked on every
//                               fetch from the file and before every write
//    12     4  prev_page        previous page of the same level, 0 = none
//    16     4  next_page        next page of the same level, 0 = none
//
// Leaf body (count entries, keys strictly ascending):
//   data i at 20 + i * data_len           (room for leaf_max + 2 entries)
//   key i  at leaf_keys_at + i * key_len
//
// Branch body (count keys, count + 1 children):
//   child i at 20 + 4 i, a page address   (room for branch_max + 2 children)
//   key i   at branch_keys_at + i * key_len
//   Key i separates child i (keys below it) from child i + 1 (keys at or
//   above it) and is a copy of the first key under child i + 1.
//
// Both levels are chained both ways in key order; the leaf chain is what
// sequential reading follows. Bytes past the last entry of an array are zero
// in a new page and otherwise stale; they are never read as entries.
//
// The key arrays start where the capacity rule puts them (tree_header.h).
// A page never holds more entries than fit between there and its end: the
// tree splits at its working maximum, which is at most that room, whatever
// maximum the header stores, and a page read with more is refused.
//
// The helpers below read and write those fields of a page buffer in memory;
// the offsets of the key arrays and the entry sizes come from the open tree.
#ifndef KVR_ENGINE_TREE_PAGE_H
#define KVR_ENGINE_TREE_PAGE_H

#include <cstdint>

#include "engine/tree/tree.h"
#include "platform/coding.h"

namespace kvr::tree {

inline constexpr uint32_t kPageHeaderSize = 20;
inline constexpr uint32_t kChildSize = 4;

inline constexpr uint16_t kBranchPage = 1;
inline constexpr uint16_t kLeafPage = 2;

inline uint16_t page_type(const unsigned char* page) {
    return platform::load_u16(page);
}
inline void set_page_type(unsigned char* page, uint16_t type) {
    platform::store_u16(page, type);
}
inline bool is_leaf(const unsigned char* page) {
    return (page_type(page) & kLeafPage) != 0;
}
inline bool is_branch(const unsigned char* page) {
    return (page_type(page) & kBranchPage) != 0;
}

inline int page_count(const unsigned char* page) {
    return platform::load_s16(page + 2);
}
inline void set_page_count(unsigned char* page, int count) {
    platform::store_s16(page + 2, static_cast<int16_t>(count));
}

inline bool page_modified(const unsigned char* page) {
    return platform::load_u16(page + 4) != 0;
}
inline void set_page_modified(unsigned char* page, bool modified) {
    platform::store_u16(page + 4, modified ? 1 : 0);
}

inline int page_key_number(const unsigned char* page) {
    return platform::load_u16(page + 6);
}
inline void set_page_key_number(unsigned char* page, int key_number) {
    platform::store_u16(page + 6, static_cast<uint16_t>(key_number));
}

inline uint32_t page_self(const unsigned char* page) {
    return platform::load_u32(page + 8);
}
inline void set_page_self(unsigned char* page, uint32_t address) {
    platform::store_u32(page + 8, address);
}

inline uint32_t prev_page(const unsigned char* page) {
    return platform::load_u32(page + 12);
}
inline void set_prev_page(unsigned char* page, uint32_t address) {
    platform::store_u32(page + 12, address);
}

inline uint32_t next_page(const unsigned char* page) {
    return platform::load_u32(page + 16);
}
inline void set_next_page(unsigned char* page, uint32_t address) {
    platform::store_u32(page + 16, address);
}

// Leaf entries.
inline unsigned char* leaf_data(const Tree& tree, unsigned char* page, int i) {
    return page + kPageHeaderSize + static_cast<uint32_t>(i * tree.data_len());
}
inline const unsigned char* leaf_data(const Tree& tree, const unsigned char* page, int i) {
    return page + kPageHeaderSize + static_cast<uint32_t>(i * tree.data_len());
}
inline unsigned char* leaf_key(const Tree& tree, unsigned char* page, int i) {
    return page + tree.leaf_keys_at() + static_cast<uint32_t>(i * tree.key_len());
}
inline const unsigned char* leaf_key(const Tree& tree, const unsigned char* page, int i) {
    return page + tree.leaf_keys_at() + static_cast<uint32_t>(i * tree.key_len());
}

// Branch entries.
inline uint32_t branch_child(const unsigned char* page, int i) {
    return platform::load_u32(page + kPageHeaderSize + kChildSize * static_cast<uint32_t>(i));
}
inline void set_branch_child(unsigned char* page, int i, uint32_t address) {
    platform::store_u32(page + kPageHeaderSize + kChildSize * static_cast<uint32_t>(i), address);
}
inline unsigned char* branch_key(const Tree& tree, unsigned char* page, int i) {
    return page + tree.branch_keys_at() + static_cast<uint32_t>(i * tree.key_len());
}
inline const unsigned char* branch_key(const Tree& tree, const unsigned char* page, int i) {
    return page + tree.branch_keys_at() + static_cast<uint32_t>(i * tree.key_len());
}

}  // namespace kvr::tree

#endif
