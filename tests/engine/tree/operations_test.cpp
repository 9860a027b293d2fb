// What the model cannot see: how splits, borrows and joins share out the
// entries of the leaves, block leaves that split at the count that fits,
// duplicate numbers renumbered at their limit, and a branch that loops.
#include <cstdio>
#include <cstdlib>
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
    void make_tree(int key_length, uint32_t flags = 0) {
        ASSERT_EQ(new_tree(flags, key_length, 4), 4096);
        ASSERT_EQ(open_tree(), 0);
    }
    // A key of the tree's length starting with n in eight decimal digits.
    std::vector<unsigned char> key(int n) {
        std::vector<unsigned char> k(static_cast<size_t>(tree().key_len()) + 1, 0);
        std::snprintf(reinterpret_cast<char*>(k.data()), 9, "%08d", n);
        k.pop_back();
        return k;
    }
    int insert(int n, uint32_t value) {
        unsigned char data[4];
        store_u32(data, value);
        return _vmq_insert(&tree(), key(n).data(), data, nullptr);
    }
    int find(int n, int mode) {
        int equal_seen = 0;
        unsigned char* data = nullptr;
        return _vmq_getkey(&tree(), key(n).data(), &data, mode, &equal_seen, nullptr);
    }
    // The number the entry of a cursor step starts with, or -1.
    int step(int (*move)(Tree*, unsigned char**, unsigned char**)) {
        unsigned char *k = nullptr, *d = nullptr;
        return move(&tree(), &k, &d) != 0
                   ? -1
                   : std::atoi(std::string(reinterpret_cast<char*>(k), 8).c_str());
    }
    void expect_sound() {
        TreeProblem problem;
        EXPECT_TRUE(check_tree(&tree(), &problem)) << describe(problem);
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
};

TEST_F(TreeOperations, SplitsBorrowsAndJoinsShareOutTheEntries) {
    make_tree(10);
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

    // Neighbours at their minimum join; the right page goes. Then the last
    // join takes the root's last key: the joined leaf becomes the root.
    remove(0);
    EXPECT_EQ(leaf_counts(), (std::vector<int>{2 * min - 1, min}));
    for (int i = 1; i < min; ++i)
        remove(10 * i);
    EXPECT_EQ(leaf_counts(), (std::vector<int>{min, min}));
    remove(10 * (n - 3));
    EXPECT_EQ(leaf_counts(), (std::vector<int>{2 * min - 1}));
    tree().begin_operation();
    EXPECT_TRUE(is_leaf(fetch(tree().root())));
}

// Block pages whose header holds the bare capacity rule's limits, as other
// programs store them: 290 entries of a 4-byte key over 10 data bytes would
// need 4100 bytes of a 4096-byte block. The leaf splits and joins at the 289
// that fit, and the header keeps saying 290.
TEST_F(TreeOperations, ABlockLeafSplitsAtTheCountThatFits) {
    auto reopen = [&] {
        EXPECT_EQ(close_tree(), 0);
        return open_tree(kOpenForUpdate, 4096, 1);
    };
    ASSERT_EQ(new_tree(kCreateBlockPages, 4, 10), 4096);
    ASSERT_EQ(open_tree(kOpenForUpdate, 4096, 1), 0);
    TreeHeader(image()).set_limits({508, 254, 290, 145});
    ASSERT_EQ(reopen(), 0);
    const std::vector<unsigned char> header(image() + 16, image() + kTreeHeaderSize);
    EXPECT_EQ(std::pair(tree().leaf_max(), tree().leaf_min()), std::pair(289, 145));
    auto put = [&](uint32_t n) {
        unsigned char k[4], d[10] = {};
        platform::store_u32_be(k, n);
        store_u32(d, n);
        return _vmq_insert(&tree(), k, d, nullptr);
    };
    for (uint32_t n = 0; n < 289; ++n)
        ASSERT_EQ(put(2 * n), 0);
    EXPECT_EQ(leaf_counts(), std::vector<int>{289});
    ASSERT_EQ(put(101), 0);
    EXPECT_EQ(leaf_counts(), (std::vector<int>{145, 145}));
    ASSERT_EQ(reopen(), 0);
    expect_sound();
    // The left leaf drops below its minimum and its neighbour has none to
    // lend: the two become one leaf of 289, the root again.
    ASSERT_EQ(_vmq_getfirst(&tree(), nullptr, nullptr), 0);
    ASSERT_EQ(_vmq_delete(&tree()), 0);
    EXPECT_EQ(leaf_counts(), std::vector<int>{289});
    EXPECT_NE(store_.header().avail_list_head(), 0u);  // the page joined away
    expect_sound();
    ASSERT_EQ(close_tree(), 0);
    EXPECT_EQ(std::vector<unsigned char>(image() + 16, image() + kTreeHeaderSize), header);
}

// A run whose last duplicate number is the largest there may be is numbered
// afresh from 0 when another entry joins it.
TEST_F(TreeOperations, DuplicateNumbersPastTheLimitAreRenumbered) {
    make_tree(8, kCreateDuplicates);
    for (uint32_t value : {1, 2, 3})
        ASSERT_EQ(insert(5, value), 0);
    ASSERT_EQ(_vmq_getlast(&tree(), nullptr, nullptr), 0);
    tree().begin_operation();
    unsigned char* leaf = fetch(tree().cursor().page);
    platform::store_u32_be(leaf_key(tree(), leaf, tree().cursor().index) + 8, 0xFFFFFFF0);
    set_page_modified(leaf, true);
    ASSERT_EQ(insert(5, 4), 0);
    std::vector<std::pair<uint32_t, uint32_t>> run;  // duplicate number, data
    unsigned char *k = nullptr, *d = nullptr;
    for (int r = _vmq_getfirst(&tree(), &k, &d); r == 0; r = _vmq_getnext(&tree(), &k, &d))
        run.emplace_back(platform::load_u32_be(k + 8), load_u32(d));
    EXPECT_EQ(run, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {1, 2}, {2, 3}, {3, 4}}));
    expect_sound();
}

TEST_F(TreeOperations, BranchNamingItselfIsDamageNotALoop) {
    make_tree(10);
    for (int i = 0; i <= tree().leaf_max(); ++i)
        ASSERT_EQ(insert(i, i), 0);
    tree().begin_operation();
    set_branch_child(fetch(tree().root()), 0, tree().root());
    EXPECT_EQ(find(0, kSearchEqual), code(kDamagedPage));
    EXPECT_EQ(insert(0, 1), code(kDamagedPage));
    EXPECT_EQ(_vmq_getfirst(&tree(), nullptr, nullptr), code(kDamagedPage));
    TreeProblem problem;
    EXPECT_FALSE(check_tree(&tree(), &problem));
}

}  // namespace
}  // namespace kvr::test
