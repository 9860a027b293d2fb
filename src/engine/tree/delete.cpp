// Delete with page join: the entry under the cursor goes, and a page other
// than the root that falls below its minimum borrows one entry from a
// neighbour or merges with it. Merges can run up to the root; a root branch
// left without keys gives way to its only child. Separators are kept equal
// to the first key of the subtree on their right.
//
// Afterwards the cursor stands so that the next step forwards returns the
// entry that followed the deleted one and the next step back the entry
// before it: on the entry before it, marked kCursorValid |
// kCursorAfterDeleted (with kCursorOnEntry too when it had to be found again
// by its key), or kCursorValid | kCursorBeforeFirst when it had none.
//
// Page pointers come from the page cache, which never evicts a page the
// running operation has touched. But join_upward begins a new operation at
// each level it climbs, and _vmq_delete one after it fixes the first
// separator, so that a deep tree cannot fill the cache with the pages of
// one delete; pages held from before may then be evicted. So that no caller
// has to know which helper begins an operation, every page is fetched again
// by its address after each helper (replace_separator, rotate_separator,
// the borrows and joins): a cache hit while it is still there.
#include <cstring>

#include "engine/results.h"
#include "engine/tree/navigation.h"
#include "engine/tree/operations.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"

namespace kvr::tree {

namespace {

// Takes page `right`, whose entries `left` now holds, out of its level's
// chain and gives it back to the store.
Status unlink_right_page(Tree* tree, unsigned char* left, uint32_t left_address,
                         const unsigned char* right, uint32_t right_address) {
    const uint32_t after_address = next_page(right);
    set_next_page(left, after_address);
    set_page_modified(left, true);
    if (after_address != 0) {
        Status result = kTreeOk;
        unsigned char* after = get_page(tree, after_address, &result);
        if (after == nullptr)
            return result;
        set_prev_page(after, left_address);
        set_page_modified(after, true);
    }
    return free_page(tree, right_address);
}

// Fetches two neighbouring pages of one operation.
Status fetch_pair(Tree* tree, uint32_t left_address, uint32_t right_address, unsigned char** left,
                  unsigned char** right) {
    Status result = kTreeOk;
    *left = get_page(tree, left_address, &result);
    if (*left == nullptr)
        return result;
    *right = get_page(tree, right_address, &result);
    return *right == nullptr ? result : kTreeOk;
}

// Moves every entry of leaf `right` to the end of leaf `left` and takes the
// right page out of the chain and the file.
Status join_leaf_pages(Tree* tree, uint32_t left_address, uint32_t right_address) {
    unsigned char* left = nullptr;
    unsigned char* right = nullptr;
    const Status result = fetch_pair(tree, left_address, right_address, &left, &right);
    if (result != kTreeOk)
        return result;
    const int n = page_count(left);
    const int moved = page_count(right);
    std::memcpy(leaf_data(*tree, left, n), leaf_data(*tree, right, 0),
                static_cast<size_t>(moved) * tree->data_len());
    std::memcpy(leaf_key(*tree, left, n), leaf_key(*tree, right, 0),
                static_cast<size_t>(moved) * tree->key_len());
    set_page_count(left, n + moved);
    return unlink_right_page(tree, left, left_address, right, right_address);
}

// Moves the keys and children of branch `right` behind those of `left`, with
// the separator between them as the key that joins the two.
Status join_branch_pages(Tree* tree, uint32_t left_address, uint32_t right_address,
                         const unsigned char* separator) {
    unsigned char* left = nullptr;
    unsigned char* right = nullptr;
    const Status result = fetch_pair(tree, left_address, right_address, &left, &right);
    if (result != kTreeOk)
        return result;
    const size_t key_len = static_cast<size_t>(tree->key_len());
    const int n = page_count(left);
    const int moved = page_count(right);
    std::memcpy(branch_key(*tree, left, n), separator, key_len);
    std::memcpy(left + kPageHeaderSize + (n + 1) * kChildSize, right + kPageHeaderSize,
                static_cast<size_t>(moved + 1) * kChildSize);
    std::memcpy(branch_key(*tree, left, n + 1), branch_key(*tree, right, 0), moved * key_len);
    set_page_count(left, n + moved + 1);
    return unlink_right_page(tree, left, left_address, right, right_address);
}

// When branch page at `level` borrows through the separator above it: finds
// that separator on the path to `key`'s leaf and swaps it with the key
// buffer. direction +1: the separator to the right of the path, the first
// one above `key` (borrowing from the left neighbour); -1: the one to the
// left of the path, the first one below `key` (from the right neighbour).
Status rotate_separator(Tree* tree, unsigned char* key_buffer, int level, int direction) {
    unsigned char key[kMaxKeyLen];
    const size_t key_len = static_cast<size_t>(tree->key_len());
    std::memcpy(key, key_buffer, key_len);
    Path path;
    Status result = kTreeOk;
    if (descend_path(tree, key, &path, -1, &result) < 0)
        return result;
    for (int up = level - 1; up >= 0; --up) {
        unsigned char* page = get_page(tree, path.page[up], &result);
        if (page == nullptr)
            return result;
        const int child = path.child[up];
        int at = -1;
        if (direction > 0 && child < page_count(page) &&
            compare_keys(*tree, branch_key(*tree, page, child), key, tree->key_len()) > 0)
            at = child;
        if (direction < 0 && child > 0 &&
            compare_keys(*tree, branch_key(*tree, page, child - 1), key, tree->key_len()) < 0)
            at = child - 1;
        if (at < 0)
            continue;
        unsigned char swap[kMaxKeyLen];
        std::memcpy(swap, branch_key(*tree, page, at), key_len);
        std::memcpy(branch_key(*tree, page, at), key, key_len);
        set_page_modified(page, true);
        // The key buffer lies in a page of this operation, still cached.
        std::memcpy(key_buffer, swap, key_len);
        return kTreeOk;
    }
    return kDamagedPage;  // no separator above the page: the levels disagree
}

// The first key of a page, whatever its type.
const unsigned char* first_key(const Tree& tree, const unsigned char* page) {
    return is_leaf(page) ? leaf_key(tree, page, 0) : branch_key(tree, page, 0);
}

// Leaf `leaf`, below its minimum after the delete of `deleted`, takes the
// first entry of its right neighbour, whose second key becomes the
// neighbour's separator.
Status borrow_from_next_leaf(Tree* tree, uint32_t leaf_address, uint32_t neighbour_address,
                             const unsigned char* deleted) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    Status result = kTreeOk;
    unsigned char* neighbour = get_page(tree, neighbour_address, &result);
    if (neighbour == nullptr)
        return result;
    unsigned char old_key[kMaxKeyLen];
    unsigned char new_key[kMaxKeyLen];
    std::memcpy(old_key, leaf_key(*tree, neighbour, 0), key_len);
    std::memcpy(new_key, leaf_key(*tree, neighbour, 1), key_len);
    result = replace_separator(tree, old_key, new_key);
    if (result != kTreeOk)
        return result;
    unsigned char* leaf = nullptr;
    result = fetch_pair(tree, leaf_address, neighbour_address, &leaf, &neighbour);
    if (result != kTreeOk)
        return result;
    const bool was_empty = page_count(leaf) == 0;
    insert_leaf_entry(*tree, leaf, page_count(leaf), leaf_key(*tree, neighbour, 0),
                      leaf_data(*tree, neighbour, 0));
    remove_leaf_entry(*tree, neighbour, 0);
    set_page_modified(leaf, true);
    set_page_modified(neighbour, true);
    if (was_empty && prev_page(leaf) != 0) {
        // An emptied leaf's separator still copies the deleted key.
        return replace_separator(tree, deleted, old_key);
    }
    return kTreeOk;
}

// Leaf `leaf`, below its minimum after the delete of `deleted`, takes the
// last entry of its left neighbour, which becomes the leaf's first key and
// separator.
Status borrow_from_previous_leaf(Tree* tree, uint32_t leaf_address, uint32_t neighbour_address,
                                 const unsigned char* deleted) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    unsigned char* leaf = nullptr;
    unsigned char* neighbour = nullptr;
    Status result = fetch_pair(tree, leaf_address, neighbour_address, &leaf, &neighbour);
    if (result != kTreeOk)
        return result;
    const int last = page_count(neighbour) - 1;
    unsigned char old_key[kMaxKeyLen];
    unsigned char new_key[kMaxKeyLen];
    // The separator of this leaf copies its first key, or the deleted key
    // when the leaf was left empty.
    std::memcpy(old_key, page_count(leaf) > 0 ? leaf_key(*tree, leaf, 0) : deleted, key_len);
    std::memcpy(new_key, leaf_key(*tree, neighbour, last), key_len);
    result = replace_separator(tree, old_key, new_key);
    if (result != kTreeOk)
        return result;
    result = fetch_pair(tree, leaf_address, neighbour_address, &leaf, &neighbour);
    if (result != kTreeOk)
        return result;
    insert_leaf_entry(*tree, leaf, 0, leaf_key(*tree, neighbour, last),
                      leaf_data(*tree, neighbour, last));
    remove_leaf_entry(*tree, neighbour, last);
    set_page_modified(leaf, true);
    set_page_modified(neighbour, true);
    return kTreeOk;
}

// Branch `page` at `level`, below its minimum, takes the first child of its
// right neighbour: the separator above the two comes down as the page's
// last key, and the neighbour's first key goes up in its place.
Status borrow_from_next_branch(Tree* tree, int level, uint32_t page_address,
                               uint32_t neighbour_address) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    Status result = kTreeOk;
    unsigned char* neighbour = get_page(tree, neighbour_address, &result);
    if (neighbour == nullptr)
        return result;
    result = rotate_separator(tree, branch_key(*tree, neighbour, 0), level, -1);
    if (result != kTreeOk)
        return result;
    unsigned char* page = nullptr;
    result = fetch_pair(tree, page_address, neighbour_address, &page, &neighbour);
    if (result != kTreeOk)
        return result;
    const int n = page_count(page);
    std::memcpy(branch_key(*tree, page, n), branch_key(*tree, neighbour, 0), key_len);
    set_branch_child(page, n + 1, branch_child(neighbour, 0));
    set_page_count(page, n + 1);
    remove_branch_entry(*tree, neighbour, -1);
    set_page_modified(page, true);
    set_page_modified(neighbour, true);
    return kTreeOk;
}

// Branch `page` at `level`, below its minimum, takes the last child of its
// left neighbour: the separator above the two comes down as the page's
// first key, and the neighbour's last key goes up in its place.
Status borrow_from_previous_branch(Tree* tree, int level, uint32_t page_address,
                                   uint32_t neighbour_address) {
    Status result = kTreeOk;
    unsigned char* neighbour = get_page(tree, neighbour_address, &result);
    if (neighbour == nullptr)
        return result;
    const int last = page_count(neighbour) - 1;
    result = rotate_separator(tree, branch_key(*tree, neighbour, last), level, +1);
    if (result != kTreeOk)
        return result;
    unsigned char* page = nullptr;
    result = fetch_pair(tree, page_address, neighbour_address, &page, &neighbour);
    if (result != kTreeOk)
        return result;
    insert_branch_entry(*tree, page, -1, branch_key(*tree, neighbour, last),
                        branch_child(neighbour, last + 1));
    remove_branch_entry(*tree, neighbour, last);
    set_page_modified(page, true);
    set_page_modified(neighbour, true);
    return kTreeOk;
}

// The separator between branch `right` and its left neighbour when `right`
// is its parent's first child: it lies higher up, in the nearest ancestor
// on `path` above `level` where the path does not take the first child.
Status separator_above(Tree* tree, const Path& path, int level, const unsigned char* right_first,
                       unsigned char* separator) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    Status result = kTreeOk;
    for (int up = level - 1; up >= 0; --up) {
        const int child = path.child[up];
        if (child == 0)
            continue;
        unsigned char* ancestor = get_page(tree, path.page[up], &result);
        if (ancestor == nullptr)
            return result;
        if (compare_keys(*tree, branch_key(*tree, ancestor, child - 1), right_first,
                         tree->key_len()) <= 0) {
            std::memcpy(separator, branch_key(*tree, ancestor, child - 1), key_len);
            return kTreeOk;
        }
    }
    return kDamagedPage;
}

// After the parent at `level` lost its first key: the separator that
// bounds it from the left, in the nearest ancestor that holds one below
// `new_first`, becomes `new_first`.
Status raise_left_bound(Tree* tree, const Path& path, int level, const unsigned char* new_first) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    Status result = kTreeOk;
    for (int up = level - 1; up >= 0; --up) {
        unsigned char* ancestor = get_page(tree, path.page[up], &result);
        if (ancestor == nullptr)
            return result;
        const int count = page_count(ancestor);
        int at = path.child[up];
        if (at >= count)
            at = count - 1;
        else if (at > 0 && compare_keys(*tree, branch_key(*tree, ancestor, at), new_first,
                                        tree->key_len()) > 0)
            --at;
        if (at >= 0 &&
            compare_keys(*tree, branch_key(*tree, ancestor, at), new_first, tree->key_len()) < 0) {
            std::memcpy(branch_key(*tree, ancestor, at), new_first, key_len);
            set_page_modified(ancestor, true);
            return kTreeOk;
        }
    }
    return kTreeOk;
}

// The parent of page `right` at `level`, found by descending with the
// page's first key, and where the parent keeps the separator of `right`:
// the key before its child (-1 when `right` is the parent's first child).
struct ParentEntry {
    Path path;
    uint32_t address = 0;
    int separator_at = -1;
};

Status find_parent_entry(Tree* tree, int level, uint32_t right_address,
                         const unsigned char* right_first, ParentEntry* parent_entry) {
    Status result = kTreeOk;
    Path& path = parent_entry->path;
    if (descend_path(tree, right_first, &path, level, &result) < 0)
        return result;
    if (path.leaf_level != level)
        return kDamagedPage;
    parent_entry->address = path.page[level];
    const unsigned char* parent = get_page(tree, parent_entry->address, &result);
    if (parent == nullptr || is_leaf(parent))
        return parent == nullptr ? result : kDamagedPage;
    const int path_index = path.index[level];
    int separator_at = path_index;
    if (path_index >= page_count(parent) ||
        compare_keys(*tree, branch_key(*tree, parent, path_index), right_first, tree->key_len()) >
            0)
        separator_at = path_index - 1;
    if (branch_child(parent, separator_at + 1) != right_address)
        return kDamagedPage;  // the parent does not name the page
    parent_entry->separator_at = separator_at;
    return kTreeOk;
}

// Moves the entries of `right` into `left`: leaves as they are, branches
// joined by the separator between them (from the parent, or from higher up
// when `right` is the parent's first child).
Status join_pages(Tree* tree, const ParentEntry& at, int level, uint32_t left_address,
                  uint32_t right_address, const unsigned char* right_first, bool leaves) {
    if (leaves)
        return join_leaf_pages(tree, left_address, right_address);
    Status result = kTreeOk;
    unsigned char separator[kMaxKeyLen];
    if (at.separator_at >= 0) {
        const unsigned char* parent = get_page(tree, at.address, &result);
        if (parent == nullptr)
            return result;
        std::memcpy(separator, branch_key(*tree, parent, at.separator_at),
                    static_cast<size_t>(tree->key_len()));
    } else {
        result = separator_above(tree, at.path, level, right_first, separator);
        if (result != kTreeOk)
            return result;
    }
    return join_branch_pages(tree, left_address, right_address, separator);
}

// Removes the separator of the joined page, and the pointer to it, from the
// parent. A parent that lost its first key starts with what followed it:
// the separator that bounds it from the left becomes that key.
Status drop_separator(Tree* tree, const ParentEntry& at, int level) {
    Status result = kTreeOk;
    unsigned char* parent = get_page(tree, at.address, &result);
    if (parent == nullptr)
        return result;
    unsigned char parent_first[kMaxKeyLen];
    std::memcpy(parent_first, branch_key(*tree, parent, 0), static_cast<size_t>(tree->key_len()));
    remove_branch_entry(*tree, parent, at.separator_at);
    set_page_modified(parent, true);
    if (at.separator_at == -1 && prev_page(parent) != 0)
        return raise_left_bound(tree, at.path, level, parent_first);
    return kTreeOk;
}

// A root left with one child and no key gives way to that child: the tree
// loses a level.
Status shrink_root(Tree* tree, uint32_t root_address) {
    Status result = kTreeOk;
    const unsigned char* root = get_page(tree, root_address, &result);
    if (root == nullptr)
        return result;
    if (page_count(root) != 0)
        return kTreeOk;
    const uint32_t only_child = branch_child(root, 0);
    result = free_page(tree, root_address);
    if (result == kTreeOk)
        tree->set_root(only_child);
    return result;
}

// A pair of neighbours on one level, to be merged.
struct Pair {
    uint32_t left = 0;
    uint32_t right = 0;
};

// The parent at `level` after it lost a key: done when it keeps its
// minimum; else it borrows a child from a neighbour that can spare one, or
// *merge names it and the neighbour, to be merged one level up.
Status balance_parent(Tree* tree, int level, uint32_t parent_address, Pair* merge, bool* done) {
    *done = true;
    Status result = kTreeOk;
    const unsigned char* parent = get_page(tree, parent_address, &result);
    if (parent == nullptr)
        return result;
    if (page_count(parent) >= tree->branch_min())
        return kTreeOk;
    const uint32_t neighbour_address =
        next_page(parent) != 0 ? next_page(parent) : prev_page(parent);
    if (neighbour_address == 0)
        return kDamagedPage;
    const bool neighbour_is_next = neighbour_address == next_page(parent);
    const unsigned char* neighbour = get_page(tree, neighbour_address, &result);
    if (neighbour == nullptr)
        return result;
    if (is_leaf(neighbour))
        return kDamagedPage;
    if (page_count(neighbour) > tree->branch_min()) {
        // Borrow one child through the separator above the two pages.
        return neighbour_is_next
                   ? borrow_from_next_branch(tree, level, parent_address, neighbour_address)
                   : borrow_from_previous_branch(tree, level, parent_address, neighbour_address);
    }
    *merge = neighbour_is_next ? Pair{parent_address, neighbour_address}
                               : Pair{neighbour_address, parent_address};
    *done = false;
    return kTreeOk;
}

// Merges `right` into `left` (neighbours on the level below `level`, which
// is the level of their parent), removes the separator of `right` from the
// parent, and goes on upwards while the parent underflows.
Status join_upward(Tree* tree, int level, uint32_t left_address, uint32_t right_address) {
    Pair pair{left_address, right_address};
    for (;;) {
        tree->begin_operation();
        Status result = kTreeOk;
        const unsigned char* right = get_page(tree, pair.right, &result);
        if (right == nullptr)
            return result;
        const bool leaves = is_leaf(right);
        unsigned char right_first[kMaxKeyLen];
        std::memcpy(right_first, first_key(*tree, right), static_cast<size_t>(tree->key_len()));

        ParentEntry at;
        result = find_parent_entry(tree, level, pair.right, right_first, &at);
        if (result == kTreeOk)
            result = join_pages(tree, at, level, pair.left, pair.right, right_first, leaves);
        if (result == kTreeOk)
            result = drop_separator(tree, at, level);
        if (result != kTreeOk)
            return result;
        if (level == 0)
            return shrink_root(tree, at.address);
        bool done = true;
        result = balance_parent(tree, level, at.address, &pair, &done);
        if (result != kTreeOk || done)
            return result;
        if (--level < 0)
            return kTreeOk;
    }
}

// Finds the entry with `key` exactly again and leaves the cursor on it.
void stand_on(Tree* tree, const unsigned char* key) {
    if (tree->shared())
        flush_tree(tree);
    bool equal_seen = false;
    find_key(tree, key, nullptr, kFindExact | kFindEqual, &equal_seen, nullptr);
    tree->set_mark_dirty(true);
}

// Takes entry `index` out of its leaf, keeping its key in `deleted`. When it
// was the leaf's first, the separator that copies that key follows the new
// first key.
Status take_out_entry(Tree* tree, uint32_t leaf_address, int index, unsigned char* deleted) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    Status result = kTreeOk;
    unsigned char* leaf = get_page(tree, leaf_address, &result);
    if (leaf == nullptr)
        return result;
    if (!is_leaf(leaf) || index < 0 || index >= page_count(leaf))
        return kDamagedPage;
    std::memcpy(deleted, leaf_key(*tree, leaf, index), key_len);
    remove_leaf_entry(*tree, leaf, index);
    set_page_modified(leaf, true);
    if (index == 0 && prev_page(leaf) != 0 && page_count(leaf) > 0) {
        unsigned char first[kMaxKeyLen];
        std::memcpy(first, leaf_key(*tree, leaf, 0), key_len);
        result = replace_separator(tree, deleted, first);
        if (result != kTreeOk)
            return result;
        tree->begin_operation();
    }
    return kTreeOk;
}

// The key of the entry before the deleted one at `index` (in the leaf, or
// the last of the previous leaf), where the cursor will stand.
Status key_before(Tree* tree, uint32_t leaf_address, int index, unsigned char* previous,
                  bool* has_previous) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    *has_previous = false;
    Status result = kTreeOk;
    const unsigned char* leaf = get_page(tree, leaf_address, &result);
    if (leaf == nullptr)
        return result;
    if (index > 0) {
        std::memcpy(previous, leaf_key(*tree, leaf, index - 1), key_len);
        *has_previous = true;
        return kTreeOk;
    }
    if (prev_page(leaf) == 0)
        return kTreeOk;
    const unsigned char* before = get_page(tree, prev_page(leaf), &result);
    if (before == nullptr)
        return result;
    if (page_count(before) > 0) {
        std::memcpy(previous, leaf_key(*tree, before, page_count(before) - 1), key_len);
        *has_previous = true;
    }
    return kTreeOk;
}

// A leaf below its minimum merges with a neighbour that has no entry to
// spare, or borrows one from it.
Status rebalance_leaf(Tree* tree, uint32_t leaf_address, const unsigned char* deleted) {
    Status result = kTreeOk;
    const unsigned char* leaf = get_page(tree, leaf_address, &result);
    if (leaf == nullptr)
        return result;
    const uint32_t neighbour_address = next_page(leaf) != 0 ? next_page(leaf) : prev_page(leaf);
    if (neighbour_address == 0)
        return kDamagedPage;
    const bool neighbour_is_next = neighbour_address == next_page(leaf);
    const unsigned char* neighbour = get_page(tree, neighbour_address, &result);
    if (neighbour == nullptr)
        return result;
    const int parent_level = tree->cursor().descent_depth - 1;
    if (page_count(neighbour) <= tree->leaf_min()) {
        return neighbour_is_next ? join_upward(tree, parent_level, leaf_address, neighbour_address)
                                 : join_upward(tree, parent_level, neighbour_address, leaf_address);
    }
    return neighbour_is_next
               ? borrow_from_next_leaf(tree, leaf_address, neighbour_address, deleted)
               : borrow_from_previous_leaf(tree, leaf_address, neighbour_address, deleted);
}

}  // namespace

Status remove_current(Tree* tree) {
    Status result = begin_update(tree);
    if (result != kTreeOk)
        return result;
    Cursor& cursor = tree->cursor();
    if ((cursor.state & kCursorOnEntry) == 0)
        return kNoCurrentEntry;
    cursor.state = 0;
    const unsigned char* root = get_page(tree, tree->root(), &result);
    if (root == nullptr)
        return result;
    if (page_count(root) == 0)
        return kTreeEndOfFile;

    const int index = cursor.index;
    const uint32_t leaf_address = cursor.page;
    unsigned char deleted[kMaxKeyLen];
    result = take_out_entry(tree, leaf_address, index, deleted);
    unsigned char previous[kMaxKeyLen];
    bool has_previous = false;
    if (result == kTreeOk)
        result = key_before(tree, leaf_address, index, previous, &has_previous);
    const unsigned char* leaf = result == kTreeOk ? get_page(tree, leaf_address, &result) : nullptr;
    if (leaf == nullptr)
        return result;

    const bool underflow = page_count(leaf) < tree->leaf_min() && leaf_address != tree->root();
    if (underflow) {
        result = rebalance_leaf(tree, leaf_address, deleted);
        if (result != kTreeOk)
            return result;
    }
    if (!underflow && index > 0) {
        // The entry before stands in the same leaf, unmoved.
        cursor.page = leaf_address;
        cursor.index = index - 1;
        cursor.state = kCursorValid;
        std::memcpy(cursor.key, previous, static_cast<size_t>(tree->key_len()));
    } else if (has_previous) {
        stand_on(tree, previous);
    } else {
        place_before_first(tree);
    }
    if (has_previous)
        cursor.state |= kCursorAfterDeleted;
    return tree->shared() ? flush_tree(tree) : kTreeOk;
}

}  // namespace kvr::tree

extern "C" int _vmq_delete(kvr::tree::Tree* tree) {
    return code(kvr::tree::remove_current(tree));
}
