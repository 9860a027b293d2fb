// Delete with page join: the entry under the cursor goes, and a page other
// than the root that falls below its minimum borrows one entry from a
// neighbour or merges with it. Merges can run up to the root; a root branch
// left without keys gives way to its only child. Separators are kept equal
// to the first key of the subtree on their right.
//
// Afterwards the cursor stands so that the next step forwards returns the
// entry that followed the deleted one and the next step back the entry
// before it: on the entry before it, marked kCursorAfterDeleted (state 10,
// or 11 when it had to be found again by its key), or before the first
// entry (state 6) when it had none.
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
int unlink_right_page(Tree* tree, unsigned char* left, uint32_t left_address,
                      const unsigned char* right, uint32_t right_address) {
    const uint32_t after_address = next_page(right);
    set_next_page(left, after_address);
    set_page_modified(left, true);
    if (after_address != 0) {
        int result = kTreeOk;
        unsigned char* after = get_page(tree, after_address, &result);
        if (after == nullptr)
            return result;
        set_prev_page(after, left_address);
        set_page_modified(after, true);
    }
    return free_page(tree, right_address);
}

// Moves every entry of leaf `right` to the end of leaf `left` and takes the
// right page out of the chain and the file.
int join_leaf_pages(Tree* tree, uint32_t left_address, uint32_t right_address) {
    int result = kTreeOk;
    unsigned char* left = get_page(tree, left_address, &result);
    if (left == nullptr)
        return result;
    unsigned char* right = get_page(tree, right_address, &result);
    if (right == nullptr)
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
int join_branch_pages(Tree* tree, uint32_t left_address, uint32_t right_address,
                      const unsigned char* separator) {
    int result = kTreeOk;
    unsigned char* left = get_page(tree, left_address, &result);
    if (left == nullptr)
        return result;
    unsigned char* right = get_page(tree, right_address, &result);
    if (right == nullptr)
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
int rotate_separator(Tree* tree, unsigned char* key_buffer, int level, int direction) {
    unsigned char key[kMaxKeyLen];
    const size_t key_len = static_cast<size_t>(tree->key_len());
    std::memcpy(key, key_buffer, key_len);
    Path path;
    int result = kTreeOk;
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

// Merges `right` into `left` (neighbours on the level below `level`, which
// is the level of their parent), removes the separator of `right` from the
// parent, and goes on upwards while the parent underflows.
int join_upward(Tree* tree, int level, uint32_t left_address, uint32_t right_address) {
    const size_t key_len = static_cast<size_t>(tree->key_len());
    int result = kTreeOk;
    for (;;) {
        tree->begin_operation();
        unsigned char* right = get_page(tree, right_address, &result);
        if (right == nullptr)
            return result;
        const bool leaves = is_leaf(right);
        unsigned char k[kMaxKeyLen];
        std::memcpy(k, first_key(*tree, right), key_len);

        Path path;
        if (descend_path(tree, k, &path, level, &result) < 0)
            return result;
        if (path.leaf_level != level)
            return kDamagedPage;
        const uint32_t p_address = path.page[level];
        unsigned char* p = get_page(tree, p_address, &result);
        if (p == nullptr || is_leaf(p))
            return p == nullptr ? result : kDamagedPage;
        const int pi = path.index[level];
        int s = pi;
        if (pi >= page_count(p) ||
            compare_keys(*tree, branch_key(*tree, p, pi), k, tree->key_len()) > 0)
            s = pi - 1;
        if (branch_child(p, s + 1) != right_address)
            return kDamagedPage;  // the parent does not name the page

        if (leaves) {
            result = join_leaf_pages(tree, left_address, right_address);
        } else {
            unsigned char separator[kMaxKeyLen];
            bool found = s >= 0;
            if (found) {
                std::memcpy(separator, branch_key(*tree, p, s), key_len);
            } else {
                // `right` is the parent's first child: the separator between
                // the two pages lies higher up.
                for (int up = level - 1; up >= 0 && !found; --up) {
                    const int j = path.child[up];
                    if (j == 0)
                        continue;
                    unsigned char* ancestor = get_page(tree, path.page[up], &result);
                    if (ancestor == nullptr)
                        return result;
                    if (compare_keys(*tree, branch_key(*tree, ancestor, j - 1), k,
                                     tree->key_len()) <= 0) {
                        std::memcpy(separator, branch_key(*tree, ancestor, j - 1), key_len);
                        found = true;
                    }
                }
                if (!found)
                    return kDamagedPage;
            }
            result = join_branch_pages(tree, left_address, right_address, separator);
        }
        if (result != kTreeOk)
            return result;

        p = get_page(tree, p_address, &result);
        if (p == nullptr)
            return result;
        unsigned char k0[kMaxKeyLen];
        std::memcpy(k0, branch_key(*tree, p, 0), key_len);
        remove_branch_entry(*tree, p, s);
        set_page_modified(p, true);
        if (s == -1 && prev_page(p) != 0) {
            // P now starts with what followed its first key: the separator
            // that bounds P from the left becomes that key.
            for (int up = level - 1; up >= 0; --up) {
                unsigned char* ancestor = get_page(tree, path.page[up], &result);
                if (ancestor == nullptr)
                    return result;
                const int count = page_count(ancestor);
                int j = path.child[up];
                if (j >= count)
                    j = count - 1;
                else if (j > 0 && compare_keys(*tree, branch_key(*tree, ancestor, j), k0,
                                               tree->key_len()) > 0)
                    --j;
                if (j >= 0 &&
                    compare_keys(*tree, branch_key(*tree, ancestor, j), k0, tree->key_len()) < 0) {
                    std::memcpy(branch_key(*tree, ancestor, j), k0, key_len);
                    set_page_modified(ancestor, true);
                    break;
                }
            }
            p = get_page(tree, p_address, &result);
            if (p == nullptr)
                return result;
        }

        if (level == 0) {
            if (page_count(p) == 0) {
                // The root has one child left: it becomes the root.
                const uint32_t only_child = branch_child(p, 0);
                result = free_page(tree, p_address);
                if (result != kTreeOk)
                    return result;
                tree->set_root(only_child);
            }
            return kTreeOk;
        }
        if (page_count(p) >= tree->branch_min())
            return kTreeOk;

        const uint32_t t_address = next_page(p) != 0 ? next_page(p) : prev_page(p);
        if (t_address == 0)
            return kDamagedPage;
        const bool t_is_next = t_address == next_page(p);
        unsigned char* t = get_page(tree, t_address, &result);
        if (t == nullptr)
            return result;
        if (is_leaf(t))
            return kDamagedPage;
        if (page_count(t) > tree->branch_min()) {
            // Borrow one child through the separator above the two pages.
            if (t_is_next) {
                result = rotate_separator(tree, branch_key(*tree, t, 0), level, -1);
                if (result != kTreeOk)
                    return result;
                p = get_page(tree, p_address, &result);
                t = p != nullptr ? get_page(tree, t_address, &result) : nullptr;
                if (t == nullptr)
                    return result;
                const int n = page_count(p);
                std::memcpy(branch_key(*tree, p, n), branch_key(*tree, t, 0), key_len);
                set_branch_child(p, n + 1, branch_child(t, 0));
                set_page_count(p, n + 1);
                remove_branch_entry(*tree, t, -1);
            } else {
                const int m = page_count(t) - 1;
                result = rotate_separator(tree, branch_key(*tree, t, m), level, +1);
                if (result != kTreeOk)
                    return result;
                p = get_page(tree, p_address, &result);
                t = p != nullptr ? get_page(tree, t_address, &result) : nullptr;
                if (t == nullptr)
                    return result;
                insert_branch_entry(*tree, p, -1, branch_key(*tree, t, m), branch_child(t, m + 1));
                remove_branch_entry(*tree, t, m);
            }
            set_page_modified(p, true);
            set_page_modified(t, true);
            return kTreeOk;
        }
        // Merge the parent with its neighbour, one level up.
        if (t_is_next) {
            left_address = p_address;
            right_address = t_address;
        } else {
            left_address = t_address;
            right_address = p_address;
        }
        if (--level < 0)
            return kTreeOk;
    }
}

// Finds the entry with `key` exactly again and leaves the cursor on it.
void stand_on(Tree* tree, const unsigned char* key) {
    if (tree->shared())
        flush_tree(tree);
    int equal_seen = 0;
    _vmq_getkey(tree, key, nullptr, kSearchExact | kSearchEqual, &equal_seen, nullptr);
    tree->set_mark_dirty(true);
}

}  // namespace

}  // namespace kvr::tree

using namespace kvr::tree;

extern "C" int _vmq_delete(Tree* tree) {
    int result = begin_update(tree);
    if (result != kTreeOk)
        return result;
    Cursor& cursor = tree->cursor();
    if ((cursor.state & kCursorOnEntry) == 0)
        return kNoCurrentEntry;
    cursor.state = 0;
    unsigned char* root = get_page(tree, tree->root(), &result);
    if (root == nullptr)
        return result;
    if (page_count(root) == 0)
        return kTreeEndOfFile;

    const size_t key_len = static_cast<size_t>(tree->key_len());
    const int i = cursor.index;
    const uint32_t l_address = cursor.page;
    unsigned char* l = get_page(tree, l_address, &result);
    if (l == nullptr)
        return result;
    if (!is_leaf(l) || i < 0 || i >= page_count(l))
        return kDamagedPage;

    unsigned char deleted[kMaxKeyLen];
    std::memcpy(deleted, leaf_key(*tree, l, i), key_len);
    remove_leaf_entry(*tree, l, i);
    set_page_modified(l, true);

    if (i == 0 && prev_page(l) != 0 && page_count(l) > 0) {
        // The leaf's first key changed: so does the separator that copies it.
        unsigned char first[kMaxKeyLen];
        std::memcpy(first, leaf_key(*tree, l, 0), key_len);
        result = replace_separator(tree, deleted, first);
        if (result != kTreeOk)
            return result;
        tree->begin_operation();
        l = get_page(tree, l_address, &result);
        if (l == nullptr)
            return result;
    }

    // The entry before the deleted one, where the cursor will stand.
    unsigned char previous[kMaxKeyLen];
    bool has_previous = false;
    if (i > 0) {
        std::memcpy(previous, leaf_key(*tree, l, i - 1), key_len);
        has_previous = true;
    } else if (prev_page(l) != 0) {
        unsigned char* before = get_page(tree, prev_page(l), &result);
        if (before == nullptr)
            return result;
        if (page_count(before) > 0) {
            std::memcpy(previous, leaf_key(*tree, before, page_count(before) - 1), key_len);
            has_previous = true;
        }
        l = get_page(tree, l_address, &result);
        if (l == nullptr)
            return result;
    }

    const bool is_root = l_address == tree->root();
    if (page_count(l) < tree->leaf_min() && !is_root) {
        const uint32_t s_address = next_page(l) != 0 ? next_page(l) : prev_page(l);
        if (s_address == 0)
            return kDamagedPage;
        const bool s_is_next = s_address == next_page(l);
        unsigned char* s = get_page(tree, s_address, &result);
        if (s == nullptr)
            return result;
        const int parent_level = cursor.descent_depth - 1;
        if (page_count(s) <= tree->leaf_min()) {
            result = s_is_next ? join_upward(tree, parent_level, l_address, s_address)
                               : join_upward(tree, parent_level, s_address, l_address);
            if (result != kTreeOk)
                return result;
        } else if (s_is_next) {
            // Take the right neighbour's first entry; its second key becomes
            // the neighbour's separator.
            unsigned char old_key[kMaxKeyLen];
            unsigned char new_key[kMaxKeyLen];
            std::memcpy(old_key, leaf_key(*tree, s, 0), key_len);
            std::memcpy(new_key, leaf_key(*tree, s, 1), key_len);
            result = replace_separator(tree, old_key, new_key);
            if (result != kTreeOk)
                return result;
            l = get_page(tree, l_address, &result);
            s = l != nullptr ? get_page(tree, s_address, &result) : nullptr;
            if (s == nullptr)
                return result;
            const bool was_empty = page_count(l) == 0;
            insert_leaf_entry(*tree, l, page_count(l), leaf_key(*tree, s, 0),
                              leaf_data(*tree, s, 0));
            remove_leaf_entry(*tree, s, 0);
            set_page_modified(l, true);
            set_page_modified(s, true);
            if (was_empty && prev_page(l) != 0) {
                // An emptied leaf's separator still copies the deleted key.
                result = replace_separator(tree, deleted, old_key);
                if (result != kTreeOk)
                    return result;
            }
        } else {
            // Take the left neighbour's last entry, which becomes this
            // leaf's first key and separator.
            const int m = page_count(s) - 1;
            unsigned char old_key[kMaxKeyLen];
            unsigned char new_key[kMaxKeyLen];
            // The separator of this leaf copies its first key, or the deleted
            // key when the leaf was left empty.
            std::memcpy(old_key, page_count(l) > 0 ? leaf_key(*tree, l, 0) : deleted, key_len);
            std::memcpy(new_key, leaf_key(*tree, s, m), key_len);
            result = replace_separator(tree, old_key, new_key);
            if (result != kTreeOk)
                return result;
            l = get_page(tree, l_address, &result);
            s = l != nullptr ? get_page(tree, s_address, &result) : nullptr;
            if (s == nullptr)
                return result;
            insert_leaf_entry(*tree, l, 0, leaf_key(*tree, s, m), leaf_data(*tree, s, m));
            remove_leaf_entry(*tree, s, m);
            set_page_modified(l, true);
            set_page_modified(s, true);
        }
        if (has_previous)
            stand_on(tree, previous);
        else
            place_before_first(tree);
    } else if (i > 0) {
        cursor.page = l_address;
        cursor.index = i - 1;
        cursor.state = kCursorValid;
        std::memcpy(cursor.key, previous, key_len);
    } else if (has_previous) {
        stand_on(tree, previous);
    } else {
        place_before_first(tree);
    }
    if (has_previous)
        cursor.state |= kCursorAfterDeleted;
    return tree->shared() ? flush_tree(tree) : kTreeOk;
}
