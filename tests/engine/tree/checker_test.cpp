// The tree checker: sound trees built page by page pass with their counts,
// and each kind of damage, made one at a time, is reported where it is.
// And what the model cannot reach: duplicate numbers renumbered at their
// limit, and a branch that names itself.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/results.h"
#include "engine/tree/checker.h"
#include "engine/tree/operations.h"
#include "engine/tree/tree_fixture.h"

namespace kvr::test {
namespace {

class TreeChecker : public TreeFile {
protected:
    using Levels = std::vector<std::vector<uint32_t>>;  // root first, each in key order

    // The stored key of entry n: its decimal digits, space-padded (with
    // duplicates, key part n / 3 and duplicate number n % 3).
    std::vector<unsigned char> key_of(int n) {
        std::vector<unsigned char> key(static_cast<size_t>(tree().key_len()), ' ');
        const bool dups = tree().duplicates();
        char digits[16];
        std::snprintf(digits, sizeof digits, "k%08d", dups ? n / 3 : n);
        std::memcpy(key.data(), digits, std::strlen(digits));
        if (dups)
            platform::store_u32_be(key.data() + key.size() - 4, static_cast<uint32_t>(n % 3));
        return key;
    }

    // A sound tree of `leaves` leaves of per_leaf entries each, over the
    // keys of entries 0, 1, 2, ..., with branches of up to `fanout`
    // children; the first leaf is the root leaf open made.
    Levels build(int leaves, int per_leaf, int fanout) {
        Levels levels{{}};
        std::vector<int> first;  // the first entry under each page of the level
        for (int l = 0, n = 0; l < leaves; ++l) {
            unsigned char* leaf = add_page(&levels[0], kLeafPage);
            first.push_back(n);
            for (int i = 0; i < per_leaf; ++i, ++n) {
                put_key(leaf_key(tree(), leaf, i), n);
                store_u32(leaf_data(tree(), leaf, i), 0x1000u + static_cast<uint32_t>(n));
            }
            set_page_count(leaf, per_leaf);
        }
        while (levels.front().size() > 1) {
            const std::vector<uint32_t> below = levels.front();
            const std::vector<int> below_first = std::exchange(first, {});
            levels.insert(levels.begin(), std::vector<uint32_t>{});
            unsigned char* page = nullptr;
            for (size_t c = 0; c < below.size(); ++c) {
                const int i = static_cast<int>(c % static_cast<size_t>(fanout));
                if (i == 0) {
                    page = add_page(&levels[0], kBranchPage);
                    first.push_back(below_first[c]);
                } else {
                    put_key(branch_key(tree(), page, i - 1), below_first[c]);
                }
                set_branch_child(page, i, below[c]);
                set_page_count(page, i);
            }
        }
        tree().set_root(levels.front().front());
        return levels;
    }

    // A new page of the given type linked after the last page of the level,
    // in an operation of its own; the first leaf is the root leaf open made.
    unsigned char* add_page(std::vector<uint32_t>* level, uint16_t type) {
        tree().begin_operation();
        uint32_t address = tree().root();
        Status result = kTreeOk;
        unsigned char* page = type == kLeafPage && level->empty()
                                  ? fetch(address)
                                  : new_page(&tree(), &address, &result);
        EXPECT_EQ(code(result), 0);
        set_page_type(page, type);
        if (!level->empty()) {
            set_prev_page(page, level->back());
            set_next_page(fetch(level->back()), address);
        }
        level->push_back(address);
        return page;
    }
    void put_key(unsigned char* at, int n) {
        const std::vector<unsigned char> key = key_of(n);
        std::memcpy(at, key.data(), key.size());
    }

    // Three levels over 255-byte keys (30..60 per page): a root with two
    // branches of 31 leaves of 30 entries.
    Levels build_three_levels() {
        make_tree(255);
        EXPECT_EQ(std::pair(tree().leaf_min(), tree().branch_min()), std::pair(30, 30));
        return build(62, 30, 31);
    }

    int insert(int n, uint32_t value) {
        unsigned char data[4];
        store_u32(data, value);
        return _vmq_insert(&tree(), key_of(n).data(), data, nullptr);
    }
    bool check(TreeProblem* problem, TreeSummary* summary = nullptr) {
        return check_tree(&tree(), problem, summary);
    }
};

// A sound tree passes with its counts and the walk writes nothing; the
// counting walk reports a chain that runs back on itself.
TEST_F(TreeChecker, SoundTreesPassWithTheirCountsAndChainsEnd) {
    const Levels levels = build_three_levels();
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    const std::string file = bytes();
    TreeProblem problem;
    TreeSummary summary;
    ASSERT_TRUE(check(&problem, &summary)) << describe(problem);
    EXPECT_EQ(std::tie(summary.entries, summary.height, summary.pages, summary.pages_per_level),
              std::tuple(62u * 30u, 3, 65u, std::vector<uint32_t>{1, 2, 62}));
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    EXPECT_EQ(bytes(), file);

    unsigned char* leaf = fetch_now(levels[2][40]);
    set_next_page(leaf, levels[2][10]);
    set_page_modified(leaf, true);
    summary = {};
    ASSERT_FALSE(count_entries(&tree(), &summary, &problem));
    EXPECT_EQ(std::tie(problem.page, problem.level), std::tuple(levels[2][10], 2));
    EXPECT_EQ(std::tie(summary.entries, summary.pages_per_level),
              std::tuple(41u * 30u, std::vector<uint32_t>{1, 2, 41}));
    EXPECT_NE(describe(problem).find("level 2"), std::string::npos);
}

TEST_F(TreeChecker, EachKindOfDamageIsReportedWhereItIs) {
    Levels l;  // the same pages each time the tree is built
    auto page = [&](int level, int i) { return fetch_now(l[size_t(level)][size_t(i)]); };
    auto copy_key = [&](unsigned char* leaf, int entry, int level, int i, int slot) {
        const std::vector<unsigned char> key(leaf_key(tree(), leaf, entry),
                                             leaf_key(tree(), leaf, entry) + 255);
        std::memcpy(branch_key(tree(), page(level, i), slot), key.data(), key.size());
    };
    auto swap_keys = [&](unsigned char* leaf, int a, int b) {
        unsigned char* key = leaf_key(tree(), leaf, a);
        std::swap_ranges(key, key + 255, leaf_key(tree(), leaf, b));
    };
    // Branch 1 of level 1 holds leaves 31..61; its key i leads to leaf 32 + i.
    const struct {
        const char* message;                   // a part of the report's text
        int level, page, index, report_level;  // where the report points
        std::function<void()> damage;
    } damages[] = {
        {"differs from the first key", 1, 1, 5, 1,
         [&] { branch_key(tree(), page(1, 1), 5)[200] = '!'; }},
        {"is not above key", 1, 1, 4, 1, [&] { copy_key(page(2, 35), 29, 1, 1, 4); }},
        {"is not below the separator", 1, 0, 29, 1, [&] { copy_key(page(2, 29), 3, 0, 0, 0); }},
        {"is not above the key before it", 2, 40, 4, 2, [&] { swap_keys(page(2, 40), 3, 4); }},
        {"below the minimum 30", 2, 12, -1, 2, [&] { set_page_count(page(2, 12), 29); }},
        {"outside 0..60", 1, 0, -1, 1, [&] { set_page_count(page(1, 0), 61); }},
        {"root branch without keys", 0, 0, -1, 0, [&] { set_page_count(page(0, 0), 0); }},
        {"next_page is", 2, 20, -1, 2, [&] { set_next_page(page(2, 20), l[2][22]); }},
        {"prev_page is 0", 1, 1, -1, 1, [&] { set_prev_page(page(1, 1), 0); }},
        {"prev_page is", 2, 0, -1, 2, [&] { set_prev_page(page(2, 0), l[2][61]); }},
        {"leaves at different depths", 2, 45, -1, 1,
         [&] { set_branch_child(page(0, 0), 1, l[2][45]); }},
        {"names itself", 1, 0, 3, 1, [&] { set_branch_child(page(1, 0), 3, l[1][0]); }},
        {"reached before", 1, 1, 30, 1, [&] { set_branch_child(page(1, 1), 30, l[0][0]); }},
        {"child 7 is 0", 1, 1, 7, 1, [&] { set_branch_child(page(1, 1), 7, 0); }},
        // Found in the cache, before the walk.
        {"page_self is", 2, 50, -1, -1, [&] { set_page_self(page(2, 50), l[2][51]); }},
        // In the file, the page not marked modified.
        {"page_key_number is 5", 2, 9, -1, 2,
         [&] {
             ASSERT_EQ(code(flush_tree(&tree())), 0);
             patch_u32(l[2][9] + 4, 5u << 16);
         }},
        {"neither branch nor leaf", 1, 0, -1, 1, [&] { set_page_type(page(1, 0), 0); }},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.message);
        l = build_three_levels();
        damage.damage();
        TreeProblem problem;
        ASSERT_FALSE(check(&problem));
        EXPECT_EQ(std::tie(problem.page, problem.index, problem.level),
                  std::tuple(l[size_t(damage.level)][size_t(damage.page)], damage.index,
                             damage.report_level))
            << describe(problem);
        EXPECT_NE(problem.what.find(damage.message), std::string::npos) << describe(problem);
    }
}

// With duplicates, a run of one key part orders by ascending numbers, and
// a number out of order is reported as such rather than plain disorder.
// (Numeric keys order as numbers, not by their bytes: the numeric trees of
// TreeModel pass this checker after every batch.)
TEST_F(TreeChecker, KeysOrderByDuplicateNumber) {
    TreeProblem problem;
    make_tree(10, kCreateDuplicates.bits);
    const Levels levels = build(3, tree().leaf_min(), 3);
    ASSERT_TRUE(check(&problem)) << describe(problem);
    unsigned char* leaf = fetch_now(levels[1][1]);
    unsigned char* second = leaf_key(tree(), leaf, 5);  // numbers 0, 1, 2 at entries 3..5
    platform::store_u32_be(second + tree().key_len() - 4, 1);
    ASSERT_FALSE(check(&problem));
    EXPECT_EQ(std::tie(problem.page, problem.index), std::tuple(levels[1][1], 5));
    EXPECT_NE(problem.what.find("duplicate number"), std::string::npos) << describe(problem);
}

using TreeOperations = TreeChecker;

// A run whose last duplicate number is the largest there may be is numbered
// afresh from 0 when another entry joins it.
TEST_F(TreeOperations, DuplicateNumbersPastTheLimitAreRenumbered) {
    make_tree(10, kCreateDuplicates.bits);  // key part n / 3
    for (uint32_t value : {1, 2, 3})
        ASSERT_EQ(insert(15, value), 0);
    ASSERT_EQ(_vmq_getlast(&tree(), nullptr, nullptr), 0);
    unsigned char* leaf = fetch_now(tree().cursor().page);
    platform::store_u32_be(leaf_key(tree(), leaf, tree().cursor().index) + 10, 0xFFFFFFF0);
    set_page_modified(leaf, true);
    ASSERT_EQ(insert(15, 4), 0);
    std::vector<std::pair<uint32_t, uint32_t>> run;  // duplicate number, data
    unsigned char *k = nullptr, *d = nullptr;
    for (int r = _vmq_getfirst(&tree(), &k, &d); r == 0; r = _vmq_getnext(&tree(), &k, &d))
        run.emplace_back(platform::load_u32_be(k + 10), load_u32(d));
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
    EXPECT_EQ(_vmq_getkey(&tree(), key_of(0).data(), &data, kSearchEqual, &equal_seen, nullptr),
              code(kDamagedPage));
    EXPECT_EQ(insert(0, 1), code(kDamagedPage));
    EXPECT_EQ(_vmq_getfirst(&tree(), nullptr, nullptr), code(kDamagedPage));
    TreeProblem problem;
    EXPECT_FALSE(check_tree(&tree(), &problem));
}

}  // namespace
}  // namespace kvr::test
