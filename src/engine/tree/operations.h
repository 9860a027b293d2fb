// The operations of an open tree: key search with a relation, cursor steps,
// insert and delete, and the shift of stored record addresses.
//
// Every operation works on the tree's cursor (Tree::cursor): a successful
// positioning leaves it on the entry found (state 3), a step off either end
// or a delete changes it as described at each call. Key and data pointers
// handed back point into the page cache and stay valid only until the next
// operation on the tree; callers copy what they keep.
//
// Results: 0 success; 1 (_vmq_getdup) no entry with that key and data; 2 no
// entry satisfies the key condition, or the tree is empty (_vmq_getkey);
// 101 no current position; 102 damaged tree; 103 end of file (empty tree,
// stepping past the last entry); 104 the key exists and duplicates are not
// allowed; 105 stepping before the first entry; 106, 107 page I/O.
//
// Keys: key_len bytes. In a tree with duplicates the last 4 bytes of a
// stored key are its duplicate number, big-endian; the bytes before them are
// the key part. Keys of type 0 are ordered as unsigned byte strings; keys of
// type 1 by their first 4 bytes as an unsigned little-endian number, then
// by the duplicate number.
#ifndef KVR_ENGINE_TREE_OPERATIONS_H
#define KVR_ENGINE_TREE_OPERATIONS_H

#include <cstdint>

#include "engine/tree/tree.h"

// Relations of _vmq_getkey, combined as bits.
inline constexpr int kSearchBackwards = 1;  // the wanted entry is below the key
inline constexpr int kSearchEqual = 2;      // an equal entry is acceptable
inline constexpr int kSearchGreater = 4;    // else the next greater one is
inline constexpr int kSearchExact = 8;      // the key carries its duplicate number

extern "C" {

// Positions on the entry the relation picks (mode: bits above; equal 2,
// greater 4, greater or equal 6, less or equal 3, less 1, back to a stored
// position 14). *equal_seen is set (never cleared) when an entry with the
// same key part follows or was passed over. data and key_found may be null.
int _vmq_getkey(kvr::tree::Tree* tree, const unsigned char* key, unsigned char** data, int mode,
                int* equal_seen, unsigned char** key_found);
int _vmq_getfirst(kvr::tree::Tree* tree, unsigned char** key_found, unsigned char** data);
int _vmq_getlast(kvr::tree::Tree* tree, unsigned char** key_found, unsigned char** data);
int _vmq_getnext(kvr::tree::Tree* tree, unsigned char** key_found, unsigned char** data);
int _vmq_getprev(kvr::tree::Tree* tree, unsigned char** key_found, unsigned char** data);
int _vmq_getcur(kvr::tree::Tree* tree, unsigned char** key_found, unsigned char** data);
// Positions on the entry with this key part whose data equals data_value.
int _vmq_getdup(kvr::tree::Tree* tree, const unsigned char* key, const unsigned char* data_value,
                unsigned char** data);
// 1 when the entry after the cursor's has the same key part, else 0.
int _vmq_isdup(kvr::tree::Tree* tree);
// The data of up to `max` entries that follow the cursor's in its leaf, for
// a reader that wants to read ahead: their number, *data[i] pointing into
// the cached leaf (valid until the next operation); *cursor_index receives
// the cursor's place in its leaf. 0 when the cursor is on no entry. Changes
// nothing.
int _vmq_following_data(kvr::tree::Tree* tree, int max, const unsigned char** data,
                        int* cursor_index);

// Adds key (key_len bytes; with duplicates its last 4 bytes are replaced by
// the next duplicate number) with data (data_len bytes). *duplicate is set
// (never cleared) when the key part was already present.
int _vmq_insert(kvr::tree::Tree* tree, const unsigned char* key, const unsigned char* data,
                int* duplicate);
// Removes the entry under the cursor; afterwards _vmq_getnext returns the
// entry that followed it.
int _vmq_delete(kvr::tree::Tree* tree);
// Adds delta to the 32-bit little-endian word at the start of the data of
// count consecutive entries, from the entry where key is or would be.
int _vmq_shift_val(kvr::tree::Tree* tree, const unsigned char* key, int count, int32_t delta);
}

namespace kvr::tree {

// The relation of a key search, the bits of _vmq_getkey's mode as a type of
// their own: a search mode is no tree flag and no integer.
using SearchMode = TreeFlags<struct SearchPlace>;
inline constexpr SearchMode kFindBackwards{kSearchBackwards};
inline constexpr SearchMode kFindEqual{kSearchEqual};
inline constexpr SearchMode kFindGreater{kSearchGreater};
inline constexpr SearchMode kFindExact{kSearchExact};

// The operations as the engine calls them: what the C entry points above
// do, with the tree's Status, a typed search mode and bool indications.
// Each C entry point calls its twin here and turns the status into its
// integer once.
Status find_key(Tree* tree, const unsigned char* key, unsigned char** data, SearchMode mode,
                bool* equal_seen, unsigned char** key_found);
Status first_entry(Tree* tree, unsigned char** key_found, unsigned char** data);
Status last_entry(Tree* tree, unsigned char** key_found, unsigned char** data);
Status next_entry(Tree* tree, unsigned char** key_found, unsigned char** data);
Status previous_entry(Tree* tree, unsigned char** key_found, unsigned char** data);
Status current_entry(Tree* tree, unsigned char** key_found, unsigned char** data);
Status find_duplicate(Tree* tree, const unsigned char* key, const unsigned char* data_value,
                      unsigned char** data);
bool duplicate_follows(Tree* tree);
Status insert_key(Tree* tree, const unsigned char* key, const unsigned char* data, bool* duplicate);
Status remove_current(Tree* tree);
Status shift_values(Tree* tree, const unsigned char* key, int count, int32_t delta);

// Orders two stored keys (or key parts) of n bytes by the tree's key type:
// -1, 0 or 1.
int compare_keys(const Tree& tree, const unsigned char* a, const unsigned char* b, int n);

// Puts the cursor before the first entry: the next step forwards returns the
// first entry.
void place_before_first(Tree* tree);

}  // namespace kvr::tree

#endif
