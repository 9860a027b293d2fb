// Moving through a tree: searching one page, descending from the root while
// recording the path, stepping along the leaf chain, and the small page
// edits that insert and delete share. Internal to the tree.
//
// Every step that follows a link read from the file is checked so that a
// damaged tree ends an operation with 102 instead of a loop: a descent is at
// most kMaxLevels pages deep, and a step to a neighbouring leaf requires that
// leaf to link back, to hold entries, and to start above where the other
// ends (the keys of a walk only ever ascend, or only descend, so no page can
// come round twice).
#ifndef KVR_ENGINE_TREE_NAVIGATION_H
#define KVR_ENGINE_TREE_NAVIGATION_H

#include <cstdint>

#include "engine/tree/tree.h"

namespace kvr::tree {

// A tree is at most this many pages high.
inline constexpr int kMaxLevels = 10;

// The pages of a descent, root first: for each level the page, the index
// search_page gave there, and the child followed (index + 1 when a branch
// held a key equal to the one searched).
struct Path {
    int leaf_level = -1;  // the last level recorded
    uint32_t page[kMaxLevels] = {};
    int index[kMaxLevels] = {};
    int child[kMaxLevels] = {};
};

// Bytes of a key that compare as its key part: key_len, less the duplicate
// number in a tree with duplicates.
int key_part_length(const Tree& tree);

// Binary search of count keys of key_len bytes at keys, comparing length
// bytes: -1, 0 or 1 for the last comparison, and in *index the position of
// the equal key or the number of keys below `key`.
int search_page(const Tree& tree, const unsigned char* keys, int count, const unsigned char* key,
                int length, int* index);

// Descends from the root with `key` compared over key_len bytes, recording
// each page; stops at the leaf, or at stop_level when it is not -1. Sets the
// cursor's page and index to the last page and index and its descent depth
// to the leaf's level. Returns the last level, or -1 with *result set.
int descend_path(Tree* tree, const unsigned char* key, Path* path, int stop_level, Status* result);

// The leaf after (before) `page`, checked as described above; null with
// *result 102 or a fetch error, or null with *result 0 when there is none.
unsigned char* next_leaf(Tree* tree, const unsigned char* page, Status* result);
unsigned char* previous_leaf(Tree* tree, const unsigned char* page, Status* result);

// Places the cursor on entry `index` of leaf `page` (state 3) and copies its
// key.
void set_cursor(Tree* tree, const unsigned char* page, int index);

// Starts an operation that changes no page: clears mark_dirty, advances the
// clock and, for a shared tree, reads the root again.
Status begin_read(Tree* tree);
// Starts an operation that changes pages.
Status begin_update(Tree* tree);

// Entry moves within one page.
void insert_leaf_entry(const Tree& tree, unsigned char* page, int i, const unsigned char* key,
                       const unsigned char* data);
void remove_leaf_entry(const Tree& tree, unsigned char* page, int i);
// i = -1: child becomes child 0 and key becomes key 0.
void insert_branch_entry(const Tree& tree, unsigned char* page, int i, const unsigned char* key,
                         uint32_t child);
// i >= 0 removes key i and child i + 1; i = -1 removes child 0 and key 0.
void remove_branch_entry(const Tree& tree, unsigned char* page, int i);

// Overwrites the first separator equal to old_key on the path to new_key's
// leaf with new_key (used when the first key of a leaf changes).
Status replace_separator(Tree* tree, const unsigned char* old_key, const unsigned char* new_key);

}  // namespace kvr::tree

#endif
