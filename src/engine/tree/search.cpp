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
    int equal_seen = 0;
    return status_of_code(_vmq_getkey(
        tree, key, nullptr, kSearchExact | kSearchGreater | kSearchEqual, &equal_seen, nullptr));
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

}  // namespace

void place_before_first(Tree* tree) {
    tree->cursor().page = 0;
    tree->cursor().state = kCursorValid | kCursorBeforeFirst;
}

}  // namespace kvr::tree

using namespace kvr::tree;

extern "C" int _vmq_getkey(Tree* tree, const unsigned char* key, unsigned char** data, int mode,
                           int* equal_seen, unsigned char** key_found) {
    int ignored_equal = 0;
    if (equal_seen == nullptr)
        equal_seen = &ignored_equal;
    Status result = begin_read(tree);
    if (result != kTreeOk)
        return code(result);
    Cursor& cursor = tree->cursor();
    unsigned char* page = get_page(tree, tree->root(), &result);
    if (page == nullptr)
        return code(result);
    if (page_count(page) == 0) {
        cursor.state = 0;
        return code(kNoEntrySatisfies);
    }

    const int key_len = tree->key_len();
    const int part = key_part_length(*tree);
    unsigned char search[kMaxKeyLen];
    std::memcpy(search, key, static_cast<size_t>(key_len));
    if ((mode & kSearchExact) != 0)
        mode &= ~kSearchExact;
    else if (tree->duplicates())
        std::memset(search + part, 0, kDuplicateNumberSize);  // the first duplicate

    Path path;
    if (descend_path(tree, search, &path, -1, &result) < 0) {
        cursor.state = 0;
        return code(result);
    }
    page = get_page(tree, path.page[path.leaf_level], &result);
    if (page == nullptr) {
        cursor.state = 0;
        return code(result);
    }
    int index = 0;
    int r = search_page(*tree, leaf_key(*tree, page, 0), page_count(page), search, key_len, &index);
    if (index == page_count(page) && next_page(page) != 0) {
        page = next_leaf(tree, page, &result);
        if (page == nullptr) {
            cursor.state = 0;
            return code(result);
        }
        index = 0;
        r = 1;
    }
    if (tree->duplicates() && r != 0 && index < page_count(page) &&
        compare_keys(*tree, leaf_key(*tree, page, index), search, part) == 0)
        r = 0;

    bool forwards = false;
    bool backwards = false;
    if (r != 0) {
        if ((mode & kSearchGreater) != 0) {
            // the entry at index is the next greater one
        } else if ((mode & kSearchBackwards) != 0) {
            backwards = true;
        } else {
            result = kNoEntrySatisfies;
        }
    } else if ((mode & kSearchEqual) != 0) {
        if (tree->duplicates()) {
            // Does another entry with this key part follow?
            const unsigned char* next_key = nullptr;
            if (index + 1 < page_count(page)) {
                next_key = leaf_key(*tree, page, index + 1);
            } else if (next_page(page) != 0) {
                // Both leaves carry this operation's stamp: `page` stays.
                unsigned char* next = next_leaf(tree, page, &result);
                if (next == nullptr) {
                    cursor.state = 0;
                    return code(result);
                }
                next_key = leaf_key(*tree, next, 0);
            }
            if (next_key != nullptr && compare_keys(*tree, next_key, search, part) == 0)
                *equal_seen = 1;
        }
    } else {
        *equal_seen = 1;
        if ((mode & kSearchBackwards) != 0)
            backwards = true;
        else
            forwards = true;
    }

    // A long run of one key part may span many leaves: each leaf of a walk
    // is a step of its own for the cache, so none of them pins the others.
    if (forwards) {
        for (;;) {
            ++index;
            if (index >= page_count(page)) {
                tree->begin_operation();
                unsigned char* next = next_leaf(tree, page, &result);
                if (next == nullptr) {
                    if (result == kTreeOk)
                        result = kNoEntrySatisfies;
                    break;
                }
                page = next;
                index = 0;
            }
            if (compare_keys(*tree, leaf_key(*tree, page, index), search, part) > 0)
                break;
        }
    } else if (backwards) {
        for (;;) {
            --index;
            if (index < 0) {
                tree->begin_operation();
                unsigned char* previous = previous_leaf(tree, page, &result);
                if (previous == nullptr) {
                    if (result == kTreeOk)
                        result = kKeyNotFound;
                    index = 0;
                    break;
                }
                page = previous;
                index = page_count(page) - 1;
            }
            if (compare_keys(*tree, leaf_key(*tree, page, index), search, part) < 0)
                break;
        }
    }
    if (result == kTreeOk && index >= page_count(page))
        result = kNoEntrySatisfies;

    cursor.page = page_self(page);
    cursor.index = index;
    if (result != kTreeOk) {
        cursor.state = 0;
        return code(result);
    }
    set_cursor(tree, page, index);
    hand_back(*tree, page, index, key_found, data);
    return code(kTreeOk);
}

extern "C" int _vmq_getfirst(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(get_end(tree, false, key_found, data));
}

extern "C" int _vmq_getlast(Tree* tree, unsigned char** key_found, unsigned char** data) {
    return code(get_end(tree, true, key_found, data));
}

extern "C" int _vmq_getnext(Tree* tree, unsigned char** key_found, unsigned char** data) {
    Status result = begin_step(tree, key_found, data);
    if (result != kTreeOk)
        return code(result);
    Cursor& cursor = tree->cursor();
    if ((cursor.state & kCursorBeforeFirst) != 0)
        return _vmq_getfirst(tree, key_found, data);
    if ((result = refind_cursor(tree)) != kTreeOk)
        return code(result);
    if (cursor.page == 0)
        return code(kNoCurrentEntry);
    unsigned char* page = cursor_leaf(tree, &result);
    if (page == nullptr)
        return code(result);
    int index = cursor.index + 1;
    if (index >= page_count(page)) {
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr) {
            if (result != kTreeOk)
                return code(result);
            cursor.state = 0;
            return code(kTreeEndOfFile);
        }
        page = next;
        index = 0;
    }
    set_cursor(tree, page, index);
    hand_back(*tree, page, index, key_found, data);
    return code(kTreeOk);
}

extern "C" int _vmq_getprev(Tree* tree, unsigned char** key_found, unsigned char** data) {
    Status result = begin_step(tree, key_found, data);
    if (result != kTreeOk)
        return code(result);
    Cursor& cursor = tree->cursor();
    const bool after_deleted = (cursor.state & kCursorAfterDeleted) != 0;
    if ((cursor.state & kCursorBeforeFirst) != 0) {
        // Before the first entry: step back from the first one.
        result = status_of_code(_vmq_getfirst(tree, nullptr, nullptr));
        if (result != kTreeOk)
            return code(result);
    } else if ((result = refind_cursor(tree)) != kTreeOk) {
        return code(result);
    }
    if (after_deleted) {
        // The entry the cursor stands on came before the deleted one: it is
        // the one a step back reaches.
        cursor.state = 0;
        unsigned char* page = cursor_leaf(tree, &result);
        if (page == nullptr)
            return code(result);
        if (cursor.index < 0 || cursor.index >= page_count(page))
            return code(kDamagedPage);
        set_cursor(tree, page, cursor.index);
        hand_back(*tree, page, cursor.index, key_found, data);
        return code(kTreeOk);
    }
    cursor.state = 0;
    if (cursor.page == 0)
        return code(kNoCurrentEntry);
    unsigned char* page = cursor_leaf(tree, &result);
    if (page == nullptr)
        return code(result);
    int index = cursor.index - 1;
    if (index < 0) {
        unsigned char* previous = previous_leaf(tree, page, &result);
        if (previous == nullptr) {
            if (result != kTreeOk)
                return code(result);
            // Nothing before the first entry; the cursor stays on it.
            cursor.state = kCursorValid;
            cursor.key[0] = 0;
            return code(kKeyNotFound);
        }
        page = previous;
        index = page_count(page) - 1;
    }
    set_cursor(tree, page, index);
    hand_back(*tree, page, index, key_found, data);
    return code(kTreeOk);
}

extern "C" int _vmq_getcur(Tree* tree, unsigned char** key_found, unsigned char** data) {
    Status result = begin_step(tree, key_found, data);
    if (result != kTreeOk)
        return code(result);
    Cursor& cursor = tree->cursor();
    if ((cursor.state & kCursorBeforeFirst) != 0)
        return _vmq_getfirst(tree, key_found, data);
    if ((result = refind_cursor(tree)) != kTreeOk)
        return code(result);
    unsigned char* page = cursor_leaf(tree, &result);
    if (page == nullptr)
        return code(result);
    int index = cursor.index;
    if (index >= page_count(page)) {
        // The entry it named has gone: the one after it is current.
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr)
            return code(result != kTreeOk ? result : kTreeEndOfFile);
        page = next;
        index = 0;
    }
    if (index < 0)
        return code(kDamagedPage);
    set_cursor(tree, page, index);
    hand_back(*tree, page, index, key_found, data);
    return code(kTreeOk);
}

extern "C" int _vmq_getdup(Tree* tree, const unsigned char* key, const unsigned char* data_value,
                           unsigned char** data) {
    const int part = key_part_length(*tree);
    unsigned char search[kMaxKeyLen];
    std::memcpy(search, key, static_cast<size_t>(tree->key_len()));
    if (tree->duplicates())
        std::memset(search + part, 0, kDuplicateNumberSize);

    int equal_seen = 0;
    unsigned char* found = nullptr;
    unsigned char* value = nullptr;
    Status result = status_of_code(
        _vmq_getkey(tree, search, &value, kSearchGreater | kSearchEqual, &equal_seen, &found));
    if (result == kTreeOk && compare_keys(*tree, found, search, part) != 0)
        result = kNoSuchDuplicate;
    while (result == kTreeOk &&
           std::memcmp(value, data_value, static_cast<size_t>(tree->data_len())) != 0) {
        result = status_of_code(_vmq_getnext(tree, &found, &value));
        if (result == kTreeEndOfFile ||
            (result == kTreeOk && compare_keys(*tree, found, search, part) != 0))
            result = kNoSuchDuplicate;  // the run of this key part ended without the data
    }
    if (data != nullptr)
        *data = value;
    if (result != kTreeOk)
        tree->cursor().state = 0;
    return code(result);
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

extern "C" int _vmq_isdup(Tree* tree) {
    const Cursor& cursor = tree->cursor();
    if (!tree->duplicates() || (cursor.state & kCursorOnEntry) == 0)
        return 0;
    tree->set_mark_dirty(false);
    Status result = kTreeOk;
    unsigned char* page = get_page(tree, cursor.page, &result);
    if (page == nullptr || !is_leaf(page) || cursor.index < 0 || cursor.index >= page_count(page))
        return 0;
    const int part = key_part_length(*tree);
    unsigned char current[kMaxKeyLen];
    std::memcpy(current, leaf_key(*tree, page, cursor.index), static_cast<size_t>(part));
    const unsigned char* next_key = nullptr;
    if (cursor.index + 1 < page_count(page)) {
        next_key = leaf_key(*tree, page, cursor.index + 1);
    } else {
        unsigned char* next = next_leaf(tree, page, &result);
        if (next == nullptr)
            return 0;
        next_key = leaf_key(*tree, next, 0);
    }
    return compare_keys(*tree, current, next_key, part) == 0 ? 1 : 0;
}
