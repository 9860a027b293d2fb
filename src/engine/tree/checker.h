// The tree checker: walks every page of an open tree and reports the first
// broken rule of the tree's structure, with where it was found. The tree
// tests run it after each batch of operations, and the kvr utility uses it
// for its check and info commands.
//
// What a sound tree keeps:
//   - every page names itself (page_self), carries the tree's key number and
//     is of the type of its level: branches above, leaves at the bottom, so
//     every leaf lies at the same depth;
//   - keys strictly ascending within each page and along the leaf chain; in
//     a tree with duplicates the duplicate numbers of one key part ascend;
//   - every page but the root holds between its type's minimum and maximum;
//     a root leaf may be empty, a root branch holds at least one key;
//   - branch key i equals the first key of the leftmost leaf under child
//     i + 1, and every key under child i is below it;
//   - each level is chained both ways through exactly its pages in key
//     order, the first with no previous page, the last with no next page;
//   - no page is reached twice (a branch naming itself or an ancestor as a
//     child is reported, never followed).
//
// The walk goes through the page cache without marking anything modified,
// and puts the cursor and the mark_dirty setting back as they were, so it
// can run between any two operations. It copies each page as it fetches
// it, so pages it evicts from the cache are only written back when they
// were already modified. Nothing read is trusted: a damaged tree gives a
// report, never a crash or an endless walk.
#ifndef KVR_ENGINE_TREE_CHECKER_H
#define KVR_ENGINE_TREE_CHECKER_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/tree/tree.h"

namespace kvr::tree {

// The first broken rule found: what it is and where. The place is where
// the damage lies (the page, and the entry in it that is wrong); a wrong
// value found there is told in the text.
struct TreeProblem {
    std::string what;
    uint32_t page = 0;  // the page where it was found, 0 = the tree as a whole
    int index = -1;     // the key or child in that page, -1 = the page itself
    int level = -1;     // the page's level, 0 = root
};

// Counts of a tree, filled by the walks below as far as they got.
struct TreeSummary {
    uint64_t entries = 0;  // leaf entries
    uint64_t pages = 0;
    int height = 0;                         // levels; 1 = a root leaf alone
    std::vector<uint32_t> pages_per_level;  // [0] = 1, the root
};

// Deepest tree the operations build: their descent has room for 10 levels.
inline constexpr int kMaxTreeHeight = 10;

// Walks the whole tree. True when it is sound; otherwise false with the
// first problem in *problem. summary may be null.
bool check_tree(Tree* tree, TreeProblem* problem, TreeSummary* summary = nullptr);

// The counts alone: follows the leftmost child down to the leaves and each
// level's next_page chain, without checking keys. False (with a problem)
// when a page cannot be fetched, a chain repeats a page or a level is of
// the wrong type; the summary then holds what was counted so far.
bool count_entries(Tree* tree, TreeSummary* summary, TreeProblem* problem = nullptr);

// A key for a message, of a tree of the given key type: its bytes in
// quotes, each byte no terminal prints as \xNN and a backslash as \\, at
// most 24 bytes and then "..."; a numeric key (a relative file's) as
// "record number N".
std::string key_text(const unsigned char* key, int len, uint8_t key_type);

// Why a page could not be fetched, in words, from get_page's status.
std::string fetch_failure(Status status);

// "page 8192 (level 1) entry 3: ..." for messages.
std::string describe(const TreeProblem& problem);

}  // namespace kvr::tree

#endif
