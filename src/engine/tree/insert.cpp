// Insert with page split, duplicate numbering, and the shift of the record
// addresses stored in a run of entries.
//
// A full leaf splits into two halves, the new entry going to the half its
// place falls in; the first key of the right half goes up as the separator.
// Full means at the tree's working maximum: where the stored maximum would
// run a page past its end, the count that fits (tree.h).
// A full branch splits the same way, promoting its middle key (or the
// separator arriving from below, when that is the middle). A root that
// splits gets a new root above it: the tree grows one level.
//
// With duplicates the last 4 bytes of a stored key number the entries of one
// key part, big-endian, in the order they were inserted: the first gets 0,
// each later one the largest number present plus one. Past 0xFFFFFFF0 the
// whole run is numbered again from 0.
#include <cstring>

#include "engine/results.h"
#include "engine/tree/navigation.h"
#include "engine/tree/operations.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"

namespace kvr::tree {

namespace {

constexpr uint32_t kLargestDuplicateNumber = 0xFFFFFFF0;

// What a split hands to the level above: the separator and the new page.
struct Split {
    unsigned char separator[kMaxKeyLen];
    uint32_t page = 0;
};

void set_cursor_position(Tree* tree, uint32_t page, int index) {
    tree->cursor().page = page;
    tree->cursor().index = index;
}

uint32_t duplicate_number(const Tree& tree, const unsigned char* key) {
    return platform::load_u32_be(key + key_part_length(tree));
}

void set_duplicate_number(const Tree& tree, unsigned char* key, uint32_t number) {
    platform::store_u32_be(key + key_part_length(tree), number);
}

// Makes a page of the same type and links it after page A on A's level.
unsigned char* new_page_after(Tree* tree, uint32_t a_address, uint16_t type, uint32_t* address,
                              Status* result) {
    unsigned char* fresh = new_page(tree, address, result);
    if (fresh == nullptr)
        return nullptr;
    set_page_type(fresh, type);
    unsigned char* a = get_page(tree, a_address, result);
    if (a == nullptr)
        return nullptr;
    const uint32_t after_address = next_page(a);
    set_prev_page(fresh, a_address);
    set_next_page(fresh, after_address);
    if (after_address != 0) {
        unsigned char* after = get_page(tree, after_address, result);
        if (after == nullptr)
            return nullptr;
        set_prev_page(after, *address);
        set_page_modified(after, true);
    }
    set_next_page(a, *address);
    set_page_modified(a, true);
    return fresh;
}

// The two pages of a split: A, and the new page N of its type linked after
// it; A keeps its first h entries, h being half of them, one more when
// their count is odd and the new entry (at index i) goes to the right half.
struct SplitPages {
    unsigned char* a = nullptr;
    unsigned char* n = nullptr;
    uint32_t n_address = 0;
    int h = 0;
};

Status start_split(Tree* tree, uint32_t a_address, uint16_t type, int i, SplitPages* pages) {
    Status result = kTreeOk;
    pages->n = new_page_after(tree, a_address, type, &pages->n_address, &result);
    if (pages->n == nullptr)
        return result;
    pages->a = get_page(tree, a_address, &result);
    if (pages->a == nullptr)
        return result;
    const int count = page_count(pages->a);
    pages->h = count / 2;
    if (count % 2 == 1 && i >= pages->h)
        ++pages->h;
    return kTreeOk;
}

Status split_leaf_page(Tree* tree, uint32_t a_address, int i, const unsigned char* key,
                       const unsigned char* data, Split* split) {
    SplitPages pages;
    const Status result = start_split(tree, a_address, kLeafPage, i, &pages);
    if (result != kTreeOk)
        return result;
    unsigned char* a = pages.a;
    unsigned char* n = pages.n;
    const uint32_t n_address = pages.n_address;
    const int count = page_count(a);
    const int h = pages.h;
    const size_t moved = static_cast<size_t>(count - h);
    std::memcpy(leaf_data(*tree, n, 0), leaf_data(*tree, a, h), moved * tree->data_len());
    std::memcpy(leaf_key(*tree, n, 0), leaf_key(*tree, a, h), moved * tree->key_len());
    set_page_count(n, count - h);
    set_page_count(a, h);
    if (i >= h) {
        insert_leaf_entry(*tree, n, i - h, key, data);
        set_cursor_position(tree, n_address, i - h);
    } else {
        insert_leaf_entry(*tree, a, i, key, data);
        set_cursor_position(tree, a_address, i);
    }
    std::memcpy(split->separator, leaf_key(*tree, n, 0), static_cast<size_t>(tree->key_len()));
    split->page = n_address;
    return kTreeOk;
}

// Splits branch A while placing key K with child X at index i; the key that
// goes up and the new page come back in *split (K may not live in *split).
Status split_branch_page(Tree* tree, uint32_t a_address, int i, const unsigned char* k, uint32_t x,
                         Split* split) {
    SplitPages pages;
    const Status result = start_split(tree, a_address, kBranchPage, i, &pages);
    if (result != kTreeOk)
        return result;
    unsigned char* a = pages.a;
    unsigned char* n = pages.n;
    const uint32_t n_address = pages.n_address;
    const size_t key_len = static_cast<size_t>(tree->key_len());
    const int count = page_count(a);
    const int h = pages.h;
    unsigned char* a_children = a + kPageHeaderSize;
    unsigned char* n_children = n + kPageHeaderSize;
    if (i < h) {
        std::memcpy(split->separator, branch_key(*tree, a, h - 1), key_len);
        std::memcpy(n_children, a_children + h * kChildSize,
                    static_cast<size_t>(count - h + 1) * kChildSize);
        std::memcpy(branch_key(*tree, n, 0), branch_key(*tree, a, h), (count - h) * key_len);
        set_page_count(n, count - h);
        set_page_count(a, h - 1);
        insert_branch_entry(*tree, a, i, k, x);
    } else if (i == h) {
        std::memcpy(split->separator, k, key_len);
        set_branch_child(n, 0, x);
        std::memcpy(n_children + kChildSize, a_children + (h + 1) * kChildSize,
                    static_cast<size_t>(count - h) * kChildSize);
        std::memcpy(branch_key(*tree, n, 0), branch_key(*tree, a, h), (count - h) * key_len);
        set_page_count(n, count - h);
        set_page_count(a, h);
    } else {
        std::memcpy(split->separator, branch_key(*tree, a, h), key_len);
        std::memcpy(n_children, a_children + (h + 1) * kChildSize,
                    static_cast<size_t>(count - h) * kChildSize);
        std::memcpy(branch_key(*tree, n, 0), branch_key(*tree, a, h + 1),
                    (count - h - 1) * key_len);
        set_page_count(n, count - h - 1);
        set_page_count(a, h);
        insert_branch_entry(*tree, n, i - (h + 1), k, x);
    }
    split->page = n_address;
    return kTreeOk;
}

// Numbers the run of `search`'s key part again from 0, starting at its first
// entry (first_page, first_index); *next receives the next free number. A
// renumbered entry that starts its leaf carries its new key up into the
// separator that copies it.
Status renumber_duplicates(Tree* tree, uint32_t first_page, int first_index,
                           const unsigned char* search, uint32_t* next) {
    const int part = key_part_length(*tree);
    const size_t key_len = static_cast<size_t>(tree->key_len());
    Status result = kTreeOk;
    unsigned char* page = get_page(tree, first_page, &result);
    if (page == nullptr)
        return result;
    uint32_t number = 0;
    for (int index = first_index;; ++index, ++number) {
        if (index >= page_count(page)) {
            tree->begin_operation();  // the run may span more leaves than the cache
            page = next_leaf(tree, page, &result);
            if (page == nullptr) {
                if (result != kTreeOk)
                    return result;
                break;
            }
            index = 0;
        }
        unsigned char* key = leaf_key(*tree, page, index);
        if (compare_keys(*tree, key, search, part) != 0)
            break;
        if (duplicate_number(*tree, key) == number)
            continue;
        if (index == 0 && prev_page(page) != 0) {
            unsigned char old_key[kMaxKeyLen];
            unsigned char new_key[kMaxKeyLen];
            std::memcpy(old_key, key, key_len);
            std::memcpy(new_key, key, key_len);
            set_duplicate_number(*tree, new_key, number);
            const uint32_t here = page_self(page);
            result = replace_separator(tree, old_key, new_key);
            if (result != kTreeOk)
                return result;
            page = get_page(tree, here, &result);
            if (page == nullptr)
                return result;
            key = leaf_key(*tree, page, index);
        }
        set_duplicate_number(*tree, key, number);
        set_page_modified(page, true);
    }
    tree->begin_operation();
    *next = number;
    return kTreeOk;
}

// Gives `search` (whose key part already has entries, the first at
// first_page/first_index) the next duplicate number.
Status number_duplicate(Tree* tree, unsigned char* search, uint32_t first_page, int first_index) {
    set_duplicate_number(*tree, search, 0xFFFFFFFF);
    tree->begin_operation();
    Path path;
    Status result = kTreeOk;
    const int level = descend_path(tree, search, &path, -1, &result);
    if (level < 0)
        return result;
    unsigned char* leaf = get_page(tree, path.page[level], &result);
    if (leaf == nullptr)
        return result;
    const int index = path.index[level];
    uint64_t number = 0;
    if (index > 0) {
        number = duplicate_number(*tree, leaf_key(*tree, leaf, index - 1));
    } else if (prev_page(leaf) != 0) {
        unsigned char* previous = previous_leaf(tree, leaf, &result);
        if (previous == nullptr)
            return result != kTreeOk ? result : kDamagedPage;
        number = duplicate_number(*tree, leaf_key(*tree, previous, page_count(previous) - 1));
    }
    ++number;
    if (number > kLargestDuplicateNumber) {
        uint32_t next = 0;
        result = renumber_duplicates(tree, first_page, first_index, search, &next);
        if (result != kTreeOk)
            return result;
        number = next;
    }
    set_duplicate_number(*tree, search, static_cast<uint32_t>(number));
    return kTreeOk;
}

// Takes from the store the pages an insert into the full leaf at `level`
// of `path` needs: one for the leaf's new half, one for each full branch
// above it that the separator must split, and one for a new root when
// every page up to the root is full.
Status reserve_split_pages(Tree* tree, const Path& path, int level) {
    int needed = 1;
    bool root_splits = true;
    Status result = kTreeOk;
    for (int up = level - 1; up >= 0; --up) {
        const unsigned char* branch = get_page(tree, path.page[up], &result);
        if (branch == nullptr)
            return result;
        if (page_count(branch) < tree->branch_max()) {
            root_splits = false;
            break;
        }
        ++needed;
    }
    return reserve_pages(tree, root_splits ? needed + 1 : needed);
}

// Puts the entry into the full leaf at *level of `path` by splitting it,
// and the separators that come up into the branches above, splitting those
// that are full; a root that splits gets a new root above it (*level grows
// by one). The cursor ends on the new entry.
Status insert_with_split(Tree* tree, const Path& path, int* level, int index,
                         const unsigned char* search, const unsigned char* data) {
    const int key_len = tree->key_len();
    Split split;
    Status result = split_leaf_page(tree, path.page[*level], index, search, data, &split);
    if (result != kTreeOk)
        return result;
    const Cursor placed = tree->cursor();
    bool placed_above = false;
    for (int up = *level - 1; up >= 0 && !placed_above; --up) {
        unsigned char* branch = get_page(tree, path.page[up], &result);
        if (branch == nullptr)
            return result;
        int at = 0;
        if (search_page(*tree, branch_key(*tree, branch, 0), page_count(branch), split.separator,
                        key_len, &at) == 0)
            return kDamagedPage;  // that separator is there already
        if (page_count(branch) < tree->branch_max()) {
            insert_branch_entry(*tree, branch, at, split.separator, split.page);
            set_page_modified(branch, true);
            placed_above = true;
        } else {
            Split above;
            result =
                split_branch_page(tree, path.page[up], at, split.separator, split.page, &above);
            if (result != kTreeOk)
                return result;
            split = above;
        }
    }
    if (!placed_above) {
        // The root split: a new root above it.
        uint32_t root_address = 0;
        unsigned char* root = new_page(tree, &root_address, &result);
        if (root == nullptr)
            return result;
        set_page_type(root, kBranchPage);
        set_branch_child(root, 0, tree->root());
        insert_branch_entry(*tree, root, 0, split.separator, split.page);
        tree->set_root(root_address);
        ++*level;
    }
    tree->cursor() = placed;
    return kTreeOk;
}

}  // namespace

Status insert_key(Tree* tree, const unsigned char* key, const unsigned char* data,
                  bool* duplicate) {
    tree->set_refused_for_room(false);
    Status result = begin_update(tree);
    if (result != kTreeOk)
        return result;
    const int key_len = tree->key_len();
    const int part = key_part_length(*tree);
    unsigned char search[kMaxKeyLen];
    std::memcpy(search, key, static_cast<size_t>(key_len));
    if (tree->duplicates())
        std::memset(search + part, 0, kDuplicateNumberSize);

    Path path;
    int level = descend_path(tree, search, &path, -1, &result);
    if (level < 0)
        return result;
    unsigned char* leaf = get_page(tree, path.page[level], &result);
    if (leaf == nullptr)
        return result;
    int index = path.index[level];
    // The key part's first entry, when it has one, is at index, or first in
    // the next leaf when index is past this one's end.
    const unsigned char* following = nullptr;
    if (index < page_count(leaf)) {
        following = leaf_key(*tree, leaf, index);
    } else if (tree->duplicates() && next_page(leaf) != 0) {
        unsigned char* next = next_leaf(tree, leaf, &result);
        if (next == nullptr)
            return result;
        following = leaf_key(*tree, next, 0);
    }
    if (following != nullptr && compare_keys(*tree, following, search, part) == 0) {
        if (!tree->duplicates())
            return kDuplicateKey;
        *duplicate = true;
        // A new entry takes the next number after the run's last, also when
        // the entry numbered 0 has gone: records with one key value come
        // back in the order they were written.
        result = number_duplicate(tree, search, path.page[level], index);
        if (result != kTreeOk)
            return result;
        level = descend_path(tree, search, &path, -1, &result);
        if (level < 0)
            return result;
        leaf = get_page(tree, path.page[level], &result);
        if (leaf == nullptr)
            return result;
        index = path.index[level];
    }

    if (page_count(leaf) < tree->leaf_max()) {
        insert_leaf_entry(*tree, leaf, index, search, data);
        set_page_modified(leaf, true);
        set_cursor_position(tree, path.page[level], index);
    } else {
        // Every page the splits need is taken before anything changes; a
        // store without room for them refuses the insert untouched.
        result = reserve_split_pages(tree, path, level);
        if (result != kTreeOk) {
            tree->set_refused_for_room(true);
            return result;
        }
        result = insert_with_split(tree, path, &level, index, search, data);
        release_reserved_pages(tree);
        if (result != kTreeOk)
            return result;
    }

    Cursor& cursor = tree->cursor();
    cursor.descent_depth = level;
    cursor.state = kCursorOnEntry | kCursorValid;
    std::memcpy(cursor.key, search, static_cast<size_t>(key_len));
    return tree->shared() ? flush_tree(tree) : kTreeOk;
}

Status shift_values(Tree* tree, const unsigned char* key, int count, int32_t delta) {
    if (count <= 0)
        return kTreeOk;
    Status result = begin_read(tree);
    if (result != kTreeOk)
        return result;
    // The cursor belongs to the caller's reading; the shift leaves it alone.
    const Cursor saved = tree->cursor();
    Path path;
    const int level = descend_path(tree, key, &path, -1, &result);
    tree->cursor() = saved;
    if (level < 0)
        return result;
    tree->set_mark_dirty(true);
    unsigned char* page = get_page(tree, path.page[level], &result);
    if (page == nullptr)
        return result;
    int index = path.index[level];
    tree->begin_operation();
    for (int done = 0; done < count; ++done, ++index) {
        if (index >= page_count(page)) {
            tree->begin_operation();
            page = next_leaf(tree, page, &result);
            if (page == nullptr)
                return result != kTreeOk ? result : kTreeEndOfFile;
            index = 0;
        }
        unsigned char* word = leaf_data(*tree, page, index);
        platform::store_u32(word, platform::load_u32(word) + static_cast<uint32_t>(delta));
        set_page_modified(page, true);
    }
    return tree->shared() ? flush_tree(tree) : kTreeOk;
}

}  // namespace kvr::tree

using namespace kvr::tree;

extern "C" int _vmq_insert(Tree* tree, const unsigned char* key, const unsigned char* data,
                           int* duplicate) {
    bool existed = false;
    const Status result = insert_key(tree, key, data, &existed);
    if (existed && duplicate != nullptr)
        *duplicate = 1;
    return code(result);
}

extern "C" int _vmq_shift_val(Tree* tree, const unsigned char* key, int count, int32_t delta) {
    return code(shift_values(tree, key, count, delta));
}
