// The tree operations in the situations a random workload rarely reaches:
// the first split, borrowing and merging on each side, the root growing and
// collapsing, duplicate numbering, cursor steps at both ends, and damage.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/results.h"
#include "engine/tree/checker.h"
#include "engine/tree/operations.h"
#include "tree_fixture.h"

namespace kvr::test {
namespace {

class TreeOperations : public TreeFile {
protected:
    // Re-creates the tree header: key_length bytes, duplicates as asked.
    void make_tree(int key_length, bool duplicates, uint8_t key_type = 0, int data_len = 4) {
        uint32_t flags = (3u << 16) | key_type | (duplicates ? kCreateDuplicates : 0);
        ASSERT_GT(_vmq_create_tree(image(), flags, key_length, data_len, kTreeAt), 0);
        write_header();
        ASSERT_EQ(open_tree(), 0);
    }

    // A key of the tree's length holding the number n, in decimal, padded.
    std::vector<unsigned char> key(int n) {
        std::vector<unsigned char> k(static_cast<size_t>(tree().key_len()), 0);
        char text[16];
        std::snprintf(text, sizeof text, "%08d", n);
        std::memcpy(k.data(), text, 8);
        return k;
    }
    std::vector<unsigned char> data(uint32_t v) {
        std::vector<unsigned char> d(static_cast<size_t>(tree().data_len()), 0);
        store_u32(d.data(), v);
        return d;
    }

    int insert(int n, uint32_t value, int* duplicate = nullptr) {
        int dup = 0;
        return _vmq_insert(&tree(), key(n).data(), data(value).data(),
                           duplicate != nullptr ? duplicate : &dup);
    }
    int find(int n, int mode, std::string* found = nullptr, uint32_t* value = nullptr) {
        int equal_seen = 0;
        unsigned char* k = nullptr;
        unsigned char* d = nullptr;
        int result = _vmq_getkey(&tree(), key(n).data(), &d, mode, &equal_seen, &k);
        if (result == 0) {
            if (found != nullptr)
                *found = std::string(reinterpret_cast<char*>(k), 8);
            if (value != nullptr)
                *value = load_u32(d);
        }
        return result;
    }
    // The number the cursor's entry starts with, or -1 after a failure.
    int step(int (*move)(Tree*, unsigned char**, unsigned char**)) {
        unsigned char* k = nullptr;
        unsigned char* d = nullptr;
        if (move(&tree(), &k, &d) != 0)
            return -1;
        return std::atoi(std::string(reinterpret_cast<char*>(k), 8).c_str());
    }
    void expect_sound() {
        TreeProblem problem;
        EXPECT_TRUE(check_tree(&tree(), &problem)) << describe(problem);
    }
    TreeSummary summary() {
        TreeSummary s;
        TreeProblem problem;
        EXPECT_TRUE(count_entries(&tree(), &s, &problem)) << describe(problem);
        return s;
    }
    // The entry counts of the leaves, first to last along their links.
    std::vector<int> leaf_counts() {
        std::vector<int> counts;
        tree().begin_operation();
        unsigned char* page = fetch(tree().root());
        while (page != nullptr && is_branch(page))
            page = fetch(branch_child(page, 0));
        for (; page != nullptr; page = next_page(page) ? fetch(next_page(page)) : nullptr)
            counts.push_back(page_count(page));
        return counts;
    }
    unsigned char* root_page() {
        tree().begin_operation();
        return fetch(tree().root());
    }
};

TEST_F(TreeOperations, EmptyTree) {
    make_tree(10, false);
    EXPECT_EQ(find(5, kSearchEqual), 2);
    EXPECT_EQ(step(_vmq_getfirst), -1);
    unsigned char* k = nullptr;
    unsigned char* d = nullptr;
    for (auto move : {_vmq_getfirst, _vmq_getlast, _vmq_getnext, _vmq_getprev, _vmq_getcur})
        EXPECT_EQ(move(&tree(), &k, &d), code(kTreeEndOfFile));
    EXPECT_EQ(insert(7, 70), 0);
    EXPECT_EQ(page_count(root_page()), 1);
    EXPECT_EQ(insert(7, 71), code(kDuplicateKey));
}

TEST_F(TreeOperations, FirstSplitMakesTwoLeavesAndABranchRoot) {
    make_tree(10, false);
    const int max = tree().leaf_max();
    for (int i = 0; i < max; ++i)
        ASSERT_EQ(insert(i * 2, i), 0);
    EXPECT_EQ(summary().height, 1);
    ASSERT_EQ(insert(2 * max - 3, 999), 0);  // lands in the right half
    TreeSummary s = summary();
    EXPECT_EQ(s.height, 2);
    unsigned char* root = root_page();
    ASSERT_TRUE(is_branch(root));
    EXPECT_EQ(page_count(root), 1);
    unsigned char* left = fetch(branch_child(root, 0));
    unsigned char* right = fetch(branch_child(root, 1));
    EXPECT_EQ(page_count(left), max / 2);
    EXPECT_EQ(page_count(right), max / 2 + 1);
    EXPECT_EQ(std::memcmp(branch_key(tree(), root, 0), leaf_key(tree(), right, 0), 10), 0);
    expect_sound();
    // The cursor stands on the new entry.
    EXPECT_EQ(step(_vmq_getcur), 2 * max - 3);
    EXPECT_EQ(step(_vmq_getnext), 2 * max - 2);
}

TEST_F(TreeOperations, RelationsAcrossLeaves) {
    make_tree(10, false);
    const int n = 3 * tree().leaf_max();
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(insert(i * 10, i), 0);
    expect_sound();
    const struct {
        int n, mode;
        const char* found;
    } relations[] = {{55, kSearchGreater | kSearchEqual, "00000060"},
                     {60, kSearchGreater, "00000070"},
                     {60, kSearchBackwards, "00000050"},
                     {65, kSearchBackwards | kSearchEqual, "00000060"}};
    for (const auto& relation : relations) {
        std::string found;
        EXPECT_EQ(find(relation.n, relation.mode, &found), 0) << relation.n << " " << relation.mode;
        EXPECT_EQ(found, relation.found);
    }
    EXPECT_EQ(find((n - 1) * 10, kSearchGreater), 2);
    EXPECT_EQ(find(0, kSearchBackwards), code(kKeyNotFound));
    EXPECT_EQ(find(5, kSearchEqual), 2);
    // Walk everything both ways.
    EXPECT_EQ(step(_vmq_getfirst), 0);
    int seen = 1;
    while (step(_vmq_getnext) >= 0)
        ++seen;
    EXPECT_EQ(seen, n);
    EXPECT_EQ(step(_vmq_getlast), (n - 1) * 10);
    seen = 1;
    while (step(_vmq_getprev) >= 0)
        ++seen;
    EXPECT_EQ(seen, n);
    // Before the first entry: 105, and the cursor stays valid for stepping.
    EXPECT_EQ(tree().cursor().state, kCursorValid);
}

TEST_F(TreeOperations, DeletingTheFirstEntryOfALeafMovesItsSeparator) {
    make_tree(10, false);
    const int n = tree().leaf_max() + 1;  // two leaves of max/2 and max/2 + 1
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(insert(i * 10, i), 0);
    const int first_right = tree().leaf_max() / 2 * 10;
    ASSERT_EQ(find(first_right, kSearchEqual), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    expect_sound();  // the separator equals the right leaf's new first key
    std::string found;
    EXPECT_EQ(find(first_right, kSearchGreater | kSearchEqual, &found), 0);
    EXPECT_EQ(std::atoi(found.c_str()), first_right + 10);
    // The next step after a delete is the entry that followed, also when
    // the leaf had to borrow and the cursor was found again by key.
    ASSERT_EQ(find(first_right + 30, kSearchEqual), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    EXPECT_EQ(step(_vmq_getnext), first_right + 40);
    // Without rebalancing the cursor rests on the entry before, not on one
    // that a second delete would take.
    ASSERT_EQ(find(10, kSearchEqual), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    EXPECT_EQ(tree().cursor().state, kCursorValid | kCursorAfterDeleted);
    EXPECT_EQ(_vmq_delete(&tree()), code(kNoCurrentEntry));
    EXPECT_EQ(step(_vmq_getnext), 20);
    // Deleting the very first entry leaves the cursor before the first one.
    ASSERT_EQ(step(_vmq_getfirst), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    EXPECT_EQ(tree().cursor().state, kCursorValid | kCursorBeforeFirst);
    EXPECT_EQ(step(_vmq_getnext), 20);
    // Stepping back after a delete returns the entry before the gap.
    ASSERT_EQ(find(30, kSearchEqual), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    EXPECT_EQ(step(_vmq_getprev), 20);
}

TEST_F(TreeOperations, LeavesBorrowFromEitherSideThenMergeAndTheRootCollapses) {
    make_tree(10, false);
    const int min = tree().leaf_min();
    auto remove = [&](int n) {
        ASSERT_EQ(find(n, kSearchEqual), 0) << n;
        ASSERT_EQ(_vmq_delete(&tree()), 0) << n;
        expect_sound();
    };
    // Ascending keys leave full leaves split in half: three leaves.
    int n = 0;
    while (leaf_counts().size() < 3)
        ASSERT_EQ(insert(10 * n++, 0), 0);
    ASSERT_EQ(leaf_counts(), (std::vector<int>{min, min, min + 1}));

    // The middle leaf drops below its minimum; its right neighbour lends.
    ASSERT_EQ(insert(10 * n++, 0), 0);
    const int right_first = 20 * min;
    remove(10 * (min + 2));
    EXPECT_EQ(leaf_counts(), (std::vector<int>{min, min, min + 1}));
    EXPECT_EQ(find(right_first, kSearchBackwards | kSearchEqual), 0);
    EXPECT_EQ(step(_vmq_getnext), right_first + 10);  // now the right leaf's first

    // The rightmost leaf has no next page: it borrows from its left.
    ASSERT_EQ(insert(10 * (min + 5) + 5, 0), 0);  // the middle leaf can lend
    remove(10 * (n - 1));
    remove(10 * (n - 2));
    EXPECT_EQ(leaf_counts(), (std::vector<int>{min, min, min}));

    // Neighbours at their minimum merge; the right page goes.
    remove(0);
    EXPECT_EQ(leaf_counts(), (std::vector<int>{2 * min - 1, min}));
    // Trim the left leaf to the minimum, then the last merge takes the root's
    // last key: the merged leaf becomes the root.
    for (int i = 1; i < min; ++i)
        remove(10 * i);
    EXPECT_EQ(leaf_counts(), (std::vector<int>{min, min}));
    remove(10 * (n - 3));
    EXPECT_EQ(leaf_counts(), (std::vector<int>{2 * min - 1}));
    EXPECT_TRUE(is_leaf(root_page()));
    EXPECT_EQ(summary().height, 1);
}

// Block pages whose header holds the bare capacity rule's limits, as other
// programs store them: a 4-byte key over 10 data bytes gets leaf_max 290,
// but 290 entries would need 4100 bytes of a 4096-byte block. The leaf
// splits at the 289 that fit, a join stops there too, and the header keeps
// saying 290.
TEST_F(TreeOperations, ABlockLeafSplitsAtTheCountThatFits) {
    store_.header().set_sequence_set_size(4096);
    auto reopen = [&] {
        EXPECT_EQ(close_tree(), 0);
        return _vmq_open_tree(&tree(), &store_, store_.io, 4096, kOpenForUpdate, 1);
    };
    ASSERT_EQ(_vmq_create_tree(image(), (3u << 16) | kCreateBlockPages, 4, 10, kTreeAt), 4096);
    ASSERT_EQ(_vmq_open_tree(&tree(), &store_, store_.io, 4096, kOpenForUpdate, 1), 0);
    TreeHeader(image()).set_limits({508, 254, 290, 145});
    ASSERT_EQ(reopen(), 0);
    const std::vector<unsigned char> header(image(), image() + kTreeHeaderSize);
    EXPECT_EQ(tree().leaf_max(), 289);
    EXPECT_EQ(tree().leaf_min(), 145);

    auto put = [&](uint32_t n) {
        unsigned char k[4], d[10] = {};
        platform::store_u32_be(k, n);
        store_u32(d, n);
        int dup = 0;
        return _vmq_insert(&tree(), k, d, &dup);
    };
    for (uint32_t n = 0; n < 289; ++n)
        ASSERT_EQ(put(2 * n), 0);
    EXPECT_EQ(leaf_counts(), std::vector<int>{289});
    ASSERT_EQ(put(101), 0);
    EXPECT_EQ(leaf_counts(), (std::vector<int>{145, 145}));
    ASSERT_EQ(reopen(), 0);
    expect_sound();
    EXPECT_EQ(summary().entries, 290u);
    unsigned char last[4];
    platform::store_u32_be(last, 2 * 288);
    int equal_seen = 0;
    unsigned char* data = nullptr;
    ASSERT_EQ(_vmq_getkey(&tree(), last, &data, kSearchEqual, &equal_seen, nullptr), 0);
    EXPECT_EQ(load_u32(data), 2u * 288);

    // The left leaf drops below its minimum and its neighbour has none to
    // lend: the two become one leaf of 289, the root again.
    ASSERT_EQ(_vmq_getfirst(&tree(), nullptr, nullptr), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    EXPECT_EQ(leaf_counts(), std::vector<int>{289});
    expect_sound();
    ASSERT_EQ(close_tree(), 0);
    EXPECT_EQ(std::vector<unsigned char>(image() + 16, image() + kTreeHeaderSize),
              std::vector<unsigned char>(header.begin() + 16, header.end()));
}

TEST_F(TreeOperations, DuplicatesAreNumberedInInsertionOrder) {
    make_tree(8, true);
    EXPECT_EQ(tree().key_len(), 12);
    int duplicate = 0;
    ASSERT_EQ(insert(5, 100, &duplicate), 0);
    EXPECT_EQ(duplicate, 0);
    ASSERT_EQ(insert(5, 101, &duplicate), 0);
    EXPECT_EQ(duplicate, 1);
    ASSERT_EQ(insert(5, 102, &duplicate), 0);
    ASSERT_EQ(insert(4, 40), 0);
    ASSERT_EQ(insert(6, 60), 0);
    int equal_seen = 0;
    unsigned char* k = nullptr;
    unsigned char* d = nullptr;
    ASSERT_EQ(_vmq_getkey(&tree(), key(5).data(), &d, kSearchEqual, &equal_seen, &k), 0);
    EXPECT_EQ(equal_seen, 1);
    for (uint32_t expected = 100; expected <= 102; ++expected) {
        EXPECT_EQ(load_u32(d), expected);
        EXPECT_EQ(platform::load_u32_be(k + 8), expected - 100);
        EXPECT_EQ(_vmq_isdup(&tree()), expected < 102 ? 1 : 0);
        ASSERT_EQ(_vmq_getnext(&tree(), &k, &d), 0);
    }
    EXPECT_EQ(load_u32(d), 60u);
    // The exact (key, data) entry.
    unsigned char* found = nullptr;
    EXPECT_EQ(_vmq_getdup(&tree(), key(5).data(), data(101).data(), &found), 0);
    EXPECT_EQ(_vmq_getdup(&tree(), key(5).data(), data(109).data(), &found), 1);
    expect_sound();
}

TEST_F(TreeOperations, DuplicateNumbersPastTheLimitAreRenumbered) {
    make_tree(8, true);
    ASSERT_EQ(insert(5, 1), 0);
    ASSERT_EQ(insert(5, 2), 0);
    ASSERT_EQ(insert(5, 3), 0);
    // Give the last entry the largest number there may be.
    ASSERT_EQ(find(5, kSearchEqual), 0);
    ASSERT_EQ(step(_vmq_getnext), 5);
    ASSERT_EQ(step(_vmq_getnext), 5);
    tree().begin_operation();
    unsigned char* leaf = fetch(tree().cursor().page);
    platform::store_u32_be(leaf_key(tree(), leaf, tree().cursor().index) + 8, 0xFFFFFFF0);
    set_page_modified(leaf, true);
    ASSERT_EQ(insert(5, 4), 0);
    int equal_seen = 0;
    unsigned char* k = nullptr;
    unsigned char* d = nullptr;
    ASSERT_EQ(_vmq_getkey(&tree(), key(5).data(), &d, kSearchEqual, &equal_seen, &k), 0);
    for (uint32_t n = 0; n < 4; ++n) {
        EXPECT_EQ(platform::load_u32_be(k + 8), n);
        EXPECT_EQ(load_u32(d), n + 1);
        if (n < 3) {
            ASSERT_EQ(_vmq_getnext(&tree(), &k, &d), 0);
        }
    }
    expect_sound();
}

TEST_F(TreeOperations, NumericKeysOrderAsNumbers) {
    make_tree(4, false, kNumericKeyType);
    for (uint32_t v : {65536u, 1u, 256u, 0xFFFFFFFFu, 2u}) {
        unsigned char k[4];
        store_u32(k, v);
        ASSERT_EQ(_vmq_insert(&tree(), k, data(v).data(), nullptr), 0);
    }
    unsigned char* k = nullptr;
    unsigned char* d = nullptr;
    std::vector<uint32_t> order;
    for (int r = _vmq_getfirst(&tree(), &k, &d); r == 0; r = _vmq_getnext(&tree(), &k, &d))
        order.push_back(load_u32(k));
    EXPECT_EQ(order, (std::vector<uint32_t>{1, 2, 256, 65536, 0xFFFFFFFF}));
}

TEST_F(TreeOperations, ShiftValCrossesALeafBoundary) {
    make_tree(10, false);
    const int n = tree().leaf_max() + 1;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(insert(i, 1000 + i), 0);
    const int last_of_left = tree().leaf_max() / 2 - 1;
    ASSERT_EQ(_vmq_shift_val(&tree(), key(last_of_left).data(), 3, -1000), 0);
    for (int i = last_of_left - 1; i <= last_of_left + 3; ++i) {
        uint32_t value = 0;
        ASSERT_EQ(find(i, kSearchEqual, nullptr, &value), 0);
        const bool shifted = i >= last_of_left && i < last_of_left + 3;
        EXPECT_EQ(value, static_cast<uint32_t>(shifted ? i : 1000 + i)) << i;
    }
    EXPECT_EQ(_vmq_shift_val(&tree(), key(n - 1).data(), 2, 1), code(kTreeEndOfFile));
}

TEST_F(TreeOperations, BranchNamingItselfIsDamageNotALoop) {
    make_tree(10, false);
    for (int i = 0; i <= tree().leaf_max(); ++i)
        ASSERT_EQ(insert(i, i), 0);
    unsigned char* root = root_page();
    set_branch_child(root, 0, tree().root());
    EXPECT_EQ(find(0, kSearchEqual), code(kDamagedPage));
    EXPECT_EQ(insert(0, 1), code(kDamagedPage));
    unsigned char* k = nullptr;
    unsigned char* d = nullptr;
    EXPECT_EQ(_vmq_getfirst(&tree(), &k, &d), code(kDamagedPage));
    TreeProblem problem;
    EXPECT_FALSE(check_tree(&tree(), &problem));
}

}  // namespace
}  // namespace kvr::test
