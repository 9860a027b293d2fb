// What the model cannot reach: duplicate numbers renumbered at their limit,
// and a branch that names itself.
#include <cstdio>
#include <utility>
#include <vector>

#include "engine/results.h"
#include "engine/tree/checker.h"
#include "engine/tree/operations.h"
#include "tree_fixture.h"

namespace kvr::test {
namespace {

class TreeOperations : public TreeFile {
protected:
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
};

// A run whose last duplicate number is the largest there may be is numbered
// afresh from 0 when another entry joins it.
TEST_F(TreeOperations, DuplicateNumbersPastTheLimitAreRenumbered) {
    make_tree(8, kCreateDuplicates.bits);
    for (uint32_t value : {1, 2, 3})
        ASSERT_EQ(insert(5, value), 0);
    ASSERT_EQ(_vmq_getlast(&tree(), nullptr, nullptr), 0);
    unsigned char* leaf = fetch_now(tree().cursor().page);
    platform::store_u32_be(leaf_key(tree(), leaf, tree().cursor().index) + 8, 0xFFFFFFF0);
    set_page_modified(leaf, true);
    ASSERT_EQ(insert(5, 4), 0);
    std::vector<std::pair<uint32_t, uint32_t>> run;  // duplicate number, data
    unsigned char *k = nullptr, *d = nullptr;
    for (int r = _vmq_getfirst(&tree(), &k, &d); r == 0; r = _vmq_getnext(&tree(), &k, &d))
        run.emplace_back(platform::load_u32_be(k + 8), load_u32(d));
    EXPECT_EQ(run, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 1}, {1, 2}, {2, 3}, {3, 4}}));
    TreeProblem problem;
    EXPECT_TRUE(check_tree(&tree(), &problem)) << describe(problem);
}

TEST_F(TreeOperations, BranchNamingItselfIsDamageNotALoop) {
    make_tree(10);
    for (int i = 0; i <= tree().leaf_max(); ++i)
        ASSERT_EQ(insert(i, i), 0);
    set_branch_child(fetch_now(tree().root()), 0, tree().root());
    int equal_seen = 0;
    unsigned char* data = nullptr;
    EXPECT_EQ(_vmq_getkey(&tree(), key(0).data(), &data, kSearchEqual, &equal_seen, nullptr),
              code(kDamagedPage));
    EXPECT_EQ(insert(0, 1), code(kDamagedPage));
    EXPECT_EQ(_vmq_getfirst(&tree(), nullptr, nullptr), code(kDamagedPage));
    TreeProblem problem;
    EXPECT_FALSE(check_tree(&tree(), &problem));
}

}  // namespace
}  // namespace kvr::test
