#include "engine/tree/navigation.h"

#include <cassert>
#include <cstring>

#include "engine/results.h"
#include "engine/tree/operations.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"

namespace kvr::tree {

namespace {

int sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

const unsigned char* page_keys(const Tree& tree, const unsigned char* page) {
    return page + (is_leaf(page) ? tree.leaf_keys_at() : tree.branch_keys_at());
}

}  // namespace

int compare_keys(const Tree& tree, const unsigned char* a, const unsigned char* b, int n) {
    if (tree.key_type() == kNumericKeyType) {
        // A number, then (in a tree with duplicates) its big-endian
        // duplicate number, which orders bytewise.
        const uint32_t x = platform::load_u32(a);
        const uint32_t y = platform::load_u32(b);
        if (x != y)
            return x < y ? -1 : 1;
        return n > 4 ? sign(std::memcmp(a + 4, b + 4, static_cast<size_t>(n - 4))) : 0;
    }
    return sign(std::memcmp(a, b, static_cast<size_t>(n)));
}

int key_part_length(const Tree& tree) {
    return tree.duplicates() ? tree.key_len() - kDuplicateNumberSize : tree.key_len();
}

int search_page(const Tree& tree, const unsigned char* keys, int count, const unsigned char* key,
                int length, int* index) {
    if (count < 1) {
        *index = 0;
        return 1;
    }
    const int stride = tree.key_len();
    int lo = 0;
    int hi = count - 1;
    int mid = 0;
    int r = 0;
    while (lo <= hi) {
        mid = (lo + hi) / 2;
        r = compare_keys(tree, key, keys + mid * stride, length);
        if (r == 0)
            break;
        if (r > 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    *index = r <= 0 ? mid : mid + 1;
    return r;
}

int descend_path(Tree* tree, const unsigned char* key, Path* path, int stop_level, Status* result) {
    *result = kTreeOk;
    uint32_t address = tree->root();
    for (int level = 0;; ++level) {
        if (level >= kMaxLevels) {
            *result = kDamagedPage;
            return -1;
        }
        unsigned char* page = get_page(tree, address, result);
        if (page == nullptr)
            return -1;
        int index = 0;
        const int r = search_page(*tree, page_keys(*tree, page), page_count(page), key,
                                  tree->key_len(), &index);
        path->page[level] = address;
        path->index[level] = index;
        path->child[level] = index;
        path->leaf_level = level;
        tree->cursor().page = address;
        tree->cursor().index = index;
        if (is_leaf(page)) {
            tree->cursor().descent_depth = level;
            return level;
        }
        if (r == 0)
            path->child[level] = index + 1;
        if (level == stop_level)
            return level;
        address = branch_child(page, path->child[level]);
    }
}

unsigned char* next_leaf(Tree* tree, const unsigned char* page, Status* result) {
    *result = kTreeOk;
    const uint32_t address = next_page(page);
    if (address == 0)
        return nullptr;
    // The fetch may reuse `page`'s buffer when the clock moved on since it
    // was fetched: keep what is compared.
    const uint32_t self = page_self(page);
    const int count = page_count(page);
    unsigned char last[kMaxKeyLen];
    if (count > 0)
        std::memcpy(last, leaf_key(*tree, page, count - 1), static_cast<size_t>(tree->key_len()));
    unsigned char* next = get_page(tree, address, result);
    if (next == nullptr)
        return nullptr;
    if (!is_leaf(next) || prev_page(next) != self || page_count(next) < 1 ||
        (count > 0 && compare_keys(*tree, leaf_key(*tree, next, 0), last, tree->key_len()) <= 0)) {
        *result = kDamagedPage;
        return nullptr;
    }
    return next;
}

unsigned char* previous_leaf(Tree* tree, const unsigned char* page, Status* result) {
    *result = kTreeOk;
    const uint32_t address = prev_page(page);
    if (address == 0)
        return nullptr;
    const uint32_t self = page_self(page);
    const int count = page_count(page);
    unsigned char first[kMaxKeyLen];
    if (count > 0)
        std::memcpy(first, leaf_key(*tree, page, 0), static_cast<size_t>(tree->key_len()));
    unsigned char* previous = get_page(tree, address, result);
    if (previous == nullptr)
        return nullptr;
    const int previous_count = page_count(previous);
    if (!is_leaf(previous) || next_page(previous) != self || previous_count < 1 ||
        (count > 0 && compare_keys(*tree, leaf_key(*tree, previous, previous_count - 1), first,
                                   tree->key_len()) >= 0)) {
        *result = kDamagedPage;
        return nullptr;
    }
    return previous;
}

void set_cursor(Tree* tree, const unsigned char* page, int index) {
    Cursor& cursor = tree->cursor();
    cursor.page = page_self(page);
    cursor.index = index;
    cursor.state = kCursorOnEntry | kCursorValid;
    std::memcpy(cursor.key, leaf_key(*tree, page, index), static_cast<size_t>(tree->key_len()));
}

namespace {

// A shared tree takes its root afresh when others may have changed it.
Status refresh_shared(Tree* tree) {
    return tree->shared() && tree->root_is_stale() ? reload_root(tree) : kTreeOk;
}

}  // namespace

Status begin_read(Tree* tree) {
    assert(cursor_state_is_coherent(tree->cursor().state));
    tree->set_mark_dirty(false);
    tree->begin_operation();
    return refresh_shared(tree);
}

Status begin_update(Tree* tree) {
    assert(cursor_state_is_coherent(tree->cursor().state));
    tree->set_mark_dirty(true);
    tree->begin_operation();
    return refresh_shared(tree);
}

void insert_leaf_entry(const Tree& tree, unsigned char* page, int i, const unsigned char* key,
                       const unsigned char* data) {
    const int count = page_count(page);
    const size_t data_len = static_cast<size_t>(tree.data_len());
    const size_t key_len = static_cast<size_t>(tree.key_len());
    std::memmove(leaf_data(tree, page, i + 1), leaf_data(tree, page, i), (count - i) * data_len);
    std::memmove(leaf_key(tree, page, i + 1), leaf_key(tree, page, i), (count - i) * key_len);
    std::memcpy(leaf_data(tree, page, i), data, data_len);
    std::memcpy(leaf_key(tree, page, i), key, key_len);
    set_page_count(page, count + 1);
}

void remove_leaf_entry(const Tree& tree, unsigned char* page, int i) {
    const int count = page_count(page);
    const size_t data_len = static_cast<size_t>(tree.data_len());
    const size_t key_len = static_cast<size_t>(tree.key_len());
    std::memmove(leaf_data(tree, page, i), leaf_data(tree, page, i + 1),
                 (count - i - 1) * data_len);
    std::memmove(leaf_key(tree, page, i), leaf_key(tree, page, i + 1), (count - i - 1) * key_len);
    set_page_count(page, count - 1);
}

void insert_branch_entry(const Tree& tree, unsigned char* page, int i, const unsigned char* key,
                         uint32_t child) {
    const int count = page_count(page);
    const size_t key_len = static_cast<size_t>(tree.key_len());
    if (i < 0) {
        // The new child goes in front of every other, the key before key 0.
        std::memmove(page + kPageHeaderSize + kChildSize, page + kPageHeaderSize,
                     static_cast<size_t>(count + 1) * kChildSize);
        std::memmove(branch_key(tree, page, 1), branch_key(tree, page, 0), count * key_len);
        set_branch_child(page, 0, child);
        std::memcpy(branch_key(tree, page, 0), key, key_len);
    } else {
        unsigned char* children = page + kPageHeaderSize;
        std::memmove(children + (i + 2) * kChildSize, children + (i + 1) * kChildSize,
                     static_cast<size_t>(count - i) * kChildSize);
        std::memmove(branch_key(tree, page, i + 1), branch_key(tree, page, i),
                     (count - i) * key_len);
        set_branch_child(page, i + 1, child);
        std::memcpy(branch_key(tree, page, i), key, key_len);
    }
    set_page_count(page, count + 1);
}

void remove_branch_entry(const Tree& tree, unsigned char* page, int i) {
    const int count = page_count(page);
    const size_t key_len = static_cast<size_t>(tree.key_len());
    unsigned char* children = page + kPageHeaderSize;
    if (i < 0) {
        std::memmove(children, children + kChildSize, static_cast<size_t>(count) * kChildSize);
        std::memmove(branch_key(tree, page, 0), branch_key(tree, page, 1), (count - 1) * key_len);
    } else {
        std::memmove(children + (i + 1) * kChildSize, children + (i + 2) * kChildSize,
                     static_cast<size_t>(count - i - 1) * kChildSize);
        std::memmove(branch_key(tree, page, i), branch_key(tree, page, i + 1),
                     (count - i - 1) * key_len);
    }
    set_page_count(page, count - 1);
}

Status replace_separator(Tree* tree, const unsigned char* old_key, const unsigned char* new_key) {
    Path path;
    Status result = kTreeOk;
    const int leaf_level = descend_path(tree, new_key, &path, -1, &result);
    if (leaf_level < 0)
        return result;
    for (int level = leaf_level - 1; level >= 0; --level) {
        unsigned char* page = get_page(tree, path.page[level], &result);
        if (page == nullptr)
            return result;
        int index = 0;
        if (search_page(*tree, branch_key(*tree, page, 0), page_count(page), old_key,
                        tree->key_len(), &index) == 0) {
            std::memcpy(branch_key(*tree, page, index), new_key,
                        static_cast<size_t>(tree->key_len()));
            set_page_modified(page, true);
            return kTreeOk;
        }
    }
    return kTreeOk;
}

}  // namespace kvr::tree
