// Key search with a relation, and the cursor steps: first, last, next,
// previous, current, the exact duplicate, and whether a duplicate follows.
// None of these changes a page.
#include <cstring>

#include "engine/results.h"
#include "engine/tree/navigation.h"
#include "engine/tree/operations.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"

namespace kvr::tree {

namespace {

void hand_back(const Tree& tree, unsigned char* page, int index, unsigned char** key_found,
               unsigned char** data) {
    if (key_found != nullptr)
        *key_found = leaf_key(tree, page, index);
    if (data != nullptr)
        *data = leaf_data(tree, page, index);
}

void hand_back_nothing(unsigned char** key_found, unsigned char** data) {
    if (key_found != nullptr)
        *key_found = nullptr;
    if (data != nullptr)
        *data = nullptr;
}

// The root, and whether it holds anything: 103 for an empty tree.
unsigned char* fetch_root(Tree* tree, Status* result) {
    unsigned char* root = get_page(tree, tree->root(), result);
    if (root != nullptr && page_count(root) == 0) {
        *result = kTreeEndOfFile;
        return nullptr;
    }
    return root;
}

// The current leaf of the cursor, for a step from it.
unsigned char* cursor_leaf(Tree* tree, Status* result) {
    unsigned char* page = get_page(tree, tree->cursor().page, result);
    if (page != nullptr && !is_leaf(page)) {
        *result = kDamagedPage;
        return nullptr;
    }
    return page;
}

// The start every cursor step shares: nothing handed back yet, the
// operation begun, a tree that holds entries and a cursor with a position.
Status begin_step(Tree* tree, unsigned char** key_found, unsigned char** data) {
    hand_back_nothing(key_found, data);
    Status result = begin_read(tree);
    if (result != kTreeOk)
        return result;
    if (fetch_root(tree, &result) == nullptr)
        return result;
    return tree->cursor().state == 0 ? kNoCurrentEntry : kTreeOk;
}

// With a shared tree, finds the cursor's entry again by its whole key.
Status refind_cursor(Tree* tree) {
    if (!tree->shared())
        return kTreeOk;
    unsigned char key[kMaxKeyLen];
    std::memcpy(key, tree->cursor().key, static_cast<size_t>(tree->key_len()));
    bool equal_seen = false;
    return find_key(tree, key, nullptr, kFindExact | kFindGreater | kFindEqual, &equal_seen,
                    nullptr);
}

// Where a search landed in a leaf: the entry at or after the search key,
// and how the key compared with it (0 equal, else 1: the entry is greater,
// or the index is past the last entry of the last leaf).
struct Landing {
    unsigned char* page = nullptr;
    int index = 0;
    int order = 0;
};

// The search key for `key`: with duplicates, unless the key already carries
// its duplicate number, the first duplicate of its key part.
void prepare_search_key(const Tree& tree, const unsigned char* key, bool exact,
                        unsigned char* search) {
    std::memcpy(search, key, static_cast<size_t>(tree.key_len()));
    if (!exact && tree.duplicates())
        std::memset(search + key_part_length(tree), 0, kDuplicateNumberSize);
}

// Descends to the leaf for `search` and finds its place there: a place past
// a leaf's end moves to the first entry of the next leaf; with duplicates an
// entry whose key part equals the search key's counts as equal. A fetch
// that fails leaves at->page null, with the fetch's result.
Status land_on_key(Tree* tree, const unsigned char* search, Landing* at) {
    Status result = kTreeOk;
    Path path;
    if (descend_path(tree, search, &path, -1, &result) < 0)
        return result;
    unsigned char* page = get_page(tree, path.page[path.leaf_level], &result);
    if (page == nullptr)
        return result;
    int index = 0;
    int order = search_page(*tree, leaf_key(*tree, page, 0), page_count(page), search,
                            tree->key_len(), &index);
    if (index == page_count(page) && next_page(page) != 0) {
        page = next_leaf(tree, page, &result);
        if (page == nullptr)
            return result;
        index = 0;
        order = 1;
    }
    if (tree->duplicates() && order != 0 && index < page_count(page) &&
        compare_keys(*tree, leaf_key(*tree, page, index), search, key_part_length(*tree)) == 0)
        order = 0;
    *at = Landing{page, index, order};
    return kTreeOk;
}

// Whether the entry after `index` (in this leaf, or first in the next one)
// has the key part of `search`. Both leaves carry the running operation's
// stamp: `page` stays valid.
Status equal_part_follows(Tree* tree, unsigned char* page, int index, const unsigned char* search,
                          bool* follows) {
    const unsigned char* next_key = nullptr;
    if (index + 1 < page_count(page)) {
        next_key = leaf_key(*tree, page, index + 1);
    } else if (next_page(page) != 0) {
        Status result = kTreeOk;
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr)
            return result;
        next_key = leaf_key(*tree, next, 0);
    }
    *follows =
        next_key != nullptr && compare_keys(*tree, next_key, search, key_part_length(*tree)) == 0;
    return kTreeOk;
}

// What a search does from where it landed.
enum class Move { kStay, kForwards, kBackwards, kRefuse };

Move move_for(SearchMode mode, bool on_equal) {
    if (!on_equal) {
        if (mode.has(kFindGreater))
            return Move::kStay;  // the entry landed on is the next greater one
        return mode.has(kFindBackwards) ? Move::kBackwards : Move::kRefuse;
    }
    if (mode.has(kFindEqual))
        return Move::kStay;
    return mode.has(kFindBackwards) ? Move::kBackwards : Move::kForwards;
}

// Steps forwards to the first entry whose key part is greater than the
// search key's. A long run of one key part may span many leaves: each leaf
// of a walk is a step of its own for the cache, so none of them pins the
// others. Past the last entry: 2, the index left past the end.
Status step_past_key_part(Tree* tree, Landing* at, const unsigned char* search) {
    const int part = key_part_length(*tree);
    for (;;) {
        ++at->index;
        if (at->index >= page_count(at->page)) {
            tree->begin_operation();
            Status result = kTreeOk;
            unsigned char* next = next_leaf(tree, at->page, &result);
            if (next == nullptr)
                return result == kTreeOk ? kNoEntrySatisfies : result;
            at->page = next;
            at->index = 0;
        }
        if (compare_keys(*tree, leaf_key(*tree, at->page, at->index), search, part) > 0)
            return kTreeOk;
    }
}

// Steps backwards to the first entry whose key part is less than the search
// key's; before the first entry: 105, the index left at 0.
Status step_before_key_part(Tree* tree, Landing* at, const unsigned char* search) {
    const int part = key_part_length(*tree);
    for (;;) {
        --at->index;
        if (at->index < 0) {
            tree->begin_operation();
            Status result = kTreeOk;
            unsigned char* previous = previous_leaf(tree, at->page, &result);
            if (previous == nullptr) {
                at->index = 0;
                return result == kTreeOk ? kKeyNotFound : result;
            }
            at->page = previous;
            at->index = page_count(previous) - 1;
        }
        if (compare_keys(*tree, leaf_key(*tree, at->page, at->index), search, part) < 0)
            return kTreeOk;
    }
}

Status get_end(Tree* tree, bool last, unsigned char** key_found, unsigned char** data) {
    hand_back_nothing(key_found, data);
    Status result = begin_read(tree);
    if (result != kTreeOk)
        return result;
    unsigned char* page = fetch_root(tree, &result);
    if (page == nullptr)
        return result;
    int depth = 0;
    while (!is_leaf(page)) {
        if (++depth >= kMaxLevels)
            return kDamagedPage;
        const uint32_t child = branch_child(page, last ? page_count(page) : 0);
        if (child == 0)
            return kDamagedPage;
        page = get_page(tree, child, &result);
        if (page == nullptr)
            return result;
    }
    if (page_count(page) == 0)
        return kDamagedPage;  // only the root leaf may be empty
    const int index = last ? page_count(page) - 1 : 0;
    tree->cursor().descent_depth = depth;
    set_cursor(tree, page, index);
    hand_back(*tree, page, index, key_found, data);
    return kTreeOk;
}

// Where next and current start from. Before the first entry both give the
// first entry: *leaf stays null and the result is first_entry's. Otherwise
// the cursor's leaf, its entry found again by key in a shared tree; with
// need_position a cursor on no page is 101.
Status cursor_start(Tree* tree, unsigned char** key_found, unsigned char** data, bool need_position,
                    unsigned char** leaf) {
    *leaf = nullptr;
    Status result = begin_step(tree, key_found, data);
    if (result != kTreeOk)
        return result;
    const Cursor& cursor = tree->cursor();
    if ((cursor.state & kCursorBeforeFirst) != 0)
        return first_entry(tree, key_found, data);
    if ((result = refind_cursor(tree)) != kTreeOk)
        return result;
    if (need_position && cursor.page == 0)
        return kNoCurrentEntry;
    *leaf = cursor_leaf(tree, &result);
    return result;
}

// Places the cursor on entry `index` of `page` and hands it back.
Status land_cursor(Tree* tree, unsigned char* page, int index, unsigned char** key_found,
                   unsigned char** data) {
    set_cursor(tree, page, index);
    hand_back(*tree, page, index, key_found, data);
    return kTreeOk;
}

}  // namespace

void place_before_first(Tree* tree) {
    tree->cursor().page = 0;
    tree->cursor().state = kCursorValid | kCursorBeforeFirst;
}

Status find_key(Tree* tree, const unsigned char* key, unsigned char** data, SearchMode mode,
                bool* equal_seen, unsigned char** key_found) {
    Status result = begin_read(tree);
    if (result != kTreeOk)
        return result;
    Cursor& cursor = tree->cursor();
    const unsigned char* root = get_page(tree, tree->root(), &result);
    if (root == nullptr)
        return result;
    if (page_count(root) == 0) {
        cursor.state = 0;
        return kNoEntrySatisfies;
    }

    unsigned char search[kMaxKeyLen];
    prepare_search_key(*tree, key, mode.has(kFindExact), search);
    Landing at;
    result = land_on_key(tree, search, &at);
    if (at.page == nullptr) {
        cursor.state = 0;
        return result;
    }
    const bool on_equal = at.order == 0;
    const Move move = move_for(mode, on_equal);
    if (on_equal && move == Move::kStay && tree->duplicates()) {
        bool follows = false;
        result = equal_part_follows(tree, at.page, at.index, search, &follows);
        if (result != kTreeOk) {
            cursor.state = 0;
            return result;
        }
        if (follows)
            *equal_seen = true;
    } else if (on_equal && move != Move::kStay) {
        *equal_seen = true;
    }
    switch (move) {
        case Move::kStay:
            break;
        case Move::kRefuse:
            result = kNoEntrySatisfies;
            break;
        case Move::kForwards:
            result = step_past_key_part(tree, &at, search);
            break;
        case Move::kBackwards:
            result = step_before_key_part(tree, &at, search);
            break;
    }
    if (result == kTreeOk && at.index >= page_count(at.page))
        result = kNoEntrySatisfies;

    cursor.page = page_self(at.page);
    cursor.index = at.index;
    if (result != kTreeOk) {
        cursor.state = 0;
        return result;
    }
    return land_cursor(tree, at.page, at.index, key_found, data);
}

Status first_entry(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return get_end(tree, false, key_found, data);
}

Status last_entry(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return get_end(tree, true, key_found, data);
}

Status next_entry(Tree* tree, unsigned char** key_found, unsigned char** data) {
    unsigned char* page = nullptr;
    Status result = cursor_start(tree, key_found, data, true, &page);
    if (page == nullptr)
        return result;
    Cursor& cursor = tree->cursor();
    int index = cursor.index + 1;
    if (index >= page_count(page)) {
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr) {
            if (result != kTreeOk)
                return result;
            cursor.state = 0;
            return kTreeEndOfFile;
        }
        page = next;
        index = 0;
    }
    return land_cursor(tree, page, index, key_found, data);
}

namespace {

// A step back from the cursor a delete left on the entry before the one it
// deleted: that entry is the one the step reaches.
Status step_back_after_delete(Tree* tree, unsigned char** key_found, unsigned char** data) {
    Cursor& cursor = tree->cursor();
    cursor.state = 0;
    Status result = kTreeOk;
    unsigned char* page = cursor_leaf(tree, &result);
    if (page == nullptr)
        return result;
    if (cursor.index < 0 || cursor.index >= page_count(page))
        return kDamagedPage;
    return land_cursor(tree, page, cursor.index, key_found, data);
}

}  // namespace

Status previous_entry(Tree* tree, unsigned char** key_found, unsigned char** data) {
    Status result = begin_step(tree, key_found, data);
    if (result != kTreeOk)
        return result;
    Cursor& cursor = tree->cursor();
    const bool after_deleted = (cursor.state & kCursorAfterDeleted) != 0;
    if ((cursor.state & kCursorBeforeFirst) != 0) {
        // Before the first entry: step back from the first one.
        result = first_entry(tree, nullptr, nullptr);
        if (result != kTreeOk)
            return result;
    } else if ((result = refind_cursor(tree)) != kTreeOk) {
        return result;
    }
    if (after_deleted)
        return step_back_after_delete(tree, key_found, data);
    cursor.state = 0;
    if (cursor.page == 0)
        return kNoCurrentEntry;
    unsigned char* page = cursor_leaf(tree, &result);
    if (page == nullptr)
        return result;
    int index = cursor.index - 1;
    if (index < 0) {
        unsigned char* previous = previous_leaf(tree, page, &result);
        if (previous == nullptr) {
            if (result != kTreeOk)
                return result;
            // Nothing before the first entry; the cursor stays on it.
            cursor.state = kCursorValid;
            cursor.key[0] = 0;
            return kKeyNotFound;
        }
        page = previous;
        index = page_count(page) - 1;
    }
    return land_cursor(tree, page, index, key_found, data);
}

Status current_entry(Tree* tree, unsigned char** key_found, unsigned char** data) {
    unsigned char* page = nullptr;
    Status result = cursor_start(tree, key_found, data, false, &page);
    if (page == nullptr)
        return result;
    int index = tree->cursor().index;
    if (index >= page_count(page)) {
        // The entry it named has gone: the one after it is current.
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr)
            return result != kTreeOk ? result : kTreeEndOfFile;
        page = next;
        index = 0;
    }
    if (index < 0)
        return kDamagedPage;
    return land_cursor(tree, page, index, key_found, data);
}

Status find_duplicate(Tree* tree, const unsigned char* key, const unsigned char* data_value,
                      unsigned char** data) {
    const int part = key_part_length(*tree);
    unsigned char search[kMaxKeyLen];
    prepare_search_key(*tree, key, false, search);

    bool equal_seen = false;
    unsigned char* found = nullptr;
    unsigned char* value = nullptr;
    Status result = find_key(tree, search, &value, kFindGreater | kFindEqual, &equal_seen, &found);
    if (result == kTreeOk && compare_keys(*tree, found, search, part) != 0)
        result = kNoSuchDuplicate;
    while (result == kTreeOk &&
           std::memcmp(value, data_value, static_cast<size_t>(tree->data_len())) != 0) {
        result = next_entry(tree, &found, &value);
        if (result == kTreeEndOfFile ||
            (result == kTreeOk && compare_keys(*tree, found, search, part) != 0))
            result = kNoSuchDuplicate;  // the run of this key part ended without the data
    }
    if (data != nullptr)
        *data = value;
    if (result != kTreeOk)
        tree->cursor().state = 0;
    return result;
}

bool duplicate_follows(Tree* tree) {
    const Cursor& cursor = tree->cursor();
    if (!tree->duplicates() || (cursor.state & kCursorOnEntry) == 0)
        return false;
    tree->set_mark_dirty(false);
    Status result = kTreeOk;
    unsigned char* page = get_page(tree, cursor.page, &result);
    if (page == nullptr || !is_leaf(page) || cursor.index < 0 || cursor.index >= page_count(page))
        return false;
    const int part = key_part_length(*tree);
    unsigned char current[kMaxKeyLen];
    std::memcpy(current, leaf_key(*tree, page, cursor.index), static_cast<size_t>(part));
    const unsigned char* next_key = nullptr;
    if (cursor.index + 1 < page_count(page)) {
        next_key = leaf_key(*tree, page, cursor.index + 1);
    } else {
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr)
            return false;
        next_key = leaf_key(*tree, next, 0);
    }
    return compare_keys(*tree, current, next_key, part) == 0;
}

}  // namespace kvr::tree

using namespace kvr::tree;

extern "C" int _vmq_getkey(Tree* tree, const unsigned char* key, unsigned char** data, int mode,
                           int* equal_seen, unsigned char** key_found) {
    bool seen = false;
    const Status result =
        find_key(tree, key, data, SearchMode{static_cast<uint32_t>(mode)}, &seen, key_found);
    if (seen && equal_seen != nullptr)
        *equal_seen = 1;
    return code(result);
}

extern "C" int _vmq_getfirst(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(first_entry(tree, key_found, data));
}

extern "C" int _vmq_getlast(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(last_entry(tree, key_found, data));
}

extern "C" int _vmq_getnext(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(next_entry(tree, key_found, data));
}

extern "C" int _vmq_getprev(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(previous_entry(tree, key_found, data));
}

extern "C" int _vmq_getcur(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(current_entry(tree, key_found, data));
}

extern "C" int _vmq_getdup(Tree* tree, const unsigned char* key, const unsigned char* data_value,
                           unsigned char** data) {
    return code(find_duplicate(tree, key, data_value, data));
}

extern "C" int _vmq_isdup(Tree* tree) {
    return duplicate_follows(tree) ? 1 : 0;
}

extern "C" int _vmq_following_data(Tree* tree, int max, const unsigned char** data,
                                   int* cursor_index) {
    const Cursor& cursor = tree->cursor();
    *cursor_index = cursor.index;
    if ((cursor.state & kCursorOnEntry) == 0 || cursor.page == 0)
        return 0;
    Status result = kTreeOk;
    const unsigned char* page = get_page(tree, cursor.page, &result);
    if (page == nullptr || !is_leaf(page) || cursor.index < 0)
        return 0;
    int n = 0;
    for (int i = cursor.index + 1; i < page_count(page) && n < max; ++i)
        data[n++] = leaf_data(*tree, page, i);
    return n;
}
