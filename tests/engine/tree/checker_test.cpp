// The tree checker: sound trees built page by page pass, and each kind of
// damage, made one at a time, is reported where it is.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/tree/checker.h"
#include "engine/tree/tree_fixture.h"

namespace kvr::test {
namespace {

class TreeChecker : public TreeFile {
protected:
    // The levels of the built tree, root first, each in key order.
    using Levels = std::vector<std::vector<uint32_t>>;

    // A new header for keys of key_length bytes (create_flags as at create)
    // and the tree opened on it: one empty root leaf.
    void make_tree(int key_length, uint32_t create_flags = 0) {
        const int page_size =
            _vmq_create_tree(image(), (3u << 16) | create_flags, key_length, 4, kTreeAt);
        ASSERT_GE(page_size, 4096);
        store_.header().set_index_block_size(static_cast<uint32_t>(page_size));
        write_header();
        ASSERT_EQ(_vmq_open_tree(tree_.get(), &store_, store_.io, page_size, kOpenForUpdate, 0), 0);
    }

    // The stored key of entry n: its decimal digits, space-padded (with
    // duplicates, key part n / 3 and duplicate number n % 3); numeric keys
    // hold n itself.
    std::vector<unsigned char> key_of(int n) {
        std::vector<unsigned char> key(static_cast<size_t>(tree().key_len()), ' ');
        if (tree().key_type() == kNumericKeyType) {
            store_u32(key.data(), static_cast<uint32_t>(n));
            return key;
        }
        const bool dups = tree().duplicates();
        char digits[16];
        std::snprintf(digits, sizeof digits, "k%08d", dups ? n / 3 : n);
        std::memcpy(key.data(), digits, std::strlen(digits));
        if (dups)
            platform::store_u32_be(key.data() + key.size() - 4, static_cast<uint32_t>(n % 3));
        return key;
    }

    // A sound tree of `leaves` leaves holding per_leaf entries each, over the
    // keys of entries 0, 1, 2, ..., with branches of up to `fanout` children;
    // the first leaf is the root leaf open made.
    Levels build(int leaves, int per_leaf, int fanout) {
        std::vector<uint32_t> level;
        int n = 0;
        for (int l = 0; l < leaves; ++l) {
            unsigned char* page = nullptr;
            const uint32_t address =
                l == 0 ? tree().root() : new_linked_page(level, kLeafPage, &page);
            if (l == 0)
                page = fetch_now(address);
            for (int i = 0; i < per_leaf; ++i, ++n) {
                const std::vector<unsigned char> key = key_of(n);
                std::memcpy(leaf_key(tree(), page, i), key.data(), key.size());
                store_u32(leaf_data(tree(), page, i), 0x1000u + static_cast<uint32_t>(n));
            }
            set_page_count(page, per_leaf);
            level.push_back(address);
        }
        Levels levels{level};
        std::vector<int> first_entry;  // of each page of the level below
        for (int l = 0; l < leaves; ++l)
            first_entry.push_back(l * per_leaf);
        while (levels.front().size() > 1) {
            const std::vector<uint32_t>& below = levels.front();
            std::vector<uint32_t> above;
            std::vector<int> above_first;
            for (size_t start = 0; start < below.size(); start += static_cast<size_t>(fanout)) {
                const size_t end = std::min(below.size(), start + static_cast<size_t>(fanout));
                unsigned char* page = nullptr;
                const uint32_t address = new_linked_page(above, kBranchPage, &page);
                set_branch_child(page, 0, below[start]);
                for (size_t c = start + 1; c < end; ++c) {
                    const int i = static_cast<int>(c - start);
                    const std::vector<unsigned char> key = key_of(first_entry[c]);
                    std::memcpy(branch_key(tree(), page, i - 1), key.data(), key.size());
                    set_branch_child(page, i, below[c]);
                }
                set_page_count(page, static_cast<int>(end - start - 1));
                above.push_back(address);
                above_first.push_back(first_entry[start]);
            }
            levels.insert(levels.begin(), above);
            first_entry = above_first;
        }
        tree().set_root(levels.front().front());
        return levels;
    }

    // A new page of the given type linked after the last page of `level`.
    uint32_t new_linked_page(const std::vector<uint32_t>& level, uint16_t type,
                             unsigned char** page) {
        tree().begin_operation();
        uint32_t address = 0;
        Status result = kTreeOk;
        *page = new_page(&tree(), &address, &result);
        EXPECT_EQ(code(result), 0);
        set_page_type(*page, type);
        if (!level.empty()) {
            set_prev_page(*page, level.back());
            set_next_page(fetch(level.back()), address);
        }
        return address;
    }

    // The page, in an operation of its own.
    unsigned char* fetch_now(uint32_t address) {
        tree().begin_operation();
        return fetch(address);
    }

    // Three levels over 255-byte keys (30..60 per page): a root with two
    // branches of 31 leaves of 30 entries.
    Levels build_three_levels() {
        make_tree(255);
        EXPECT_EQ(tree().leaf_min(), 30);
        EXPECT_EQ(tree().branch_min(), 30);
        return build(62, 30, 31);
    }

    bool check(TreeProblem* problem, TreeSummary* summary = nullptr) {
        return check_tree(&tree(), problem, summary);
    }
};

TEST_F(TreeChecker, SoundTreesPassWithTheirCounts) {
    make_tree(255);
    TreeProblem problem;
    TreeSummary summary;
    ASSERT_TRUE(check(&problem, &summary)) << describe(problem);  // an empty root leaf
    EXPECT_EQ(std::tie(summary.entries, summary.height, summary.pages_per_level),
              std::tuple(0u, 1, std::vector<uint32_t>{1}));

    build(62, 30, 31);
    ASSERT_TRUE(check(&problem, &summary)) << describe(problem);
    EXPECT_EQ(std::tie(summary.entries, summary.height, summary.pages, summary.pages_per_level),
              std::tuple(62u * 30u, 3, 65u, std::vector<uint32_t>{1, 2, 62}));

    TreeSummary counted;
    ASSERT_TRUE(count_entries(&tree(), &counted, &problem)) << describe(problem);
    EXPECT_EQ(std::tie(counted.entries, counted.height, counted.pages_per_level),
              std::tie(summary.entries, summary.height, summary.pages_per_level));
}

// The walk changes nothing an operation relies on: the cursor and the
// mark_dirty setting come back as they were, and no page it fetched is
// marked modified, though the tree is open for update.
TEST_F(TreeChecker, TheWalkLeavesTheTreeAsItWas) {
    const Levels levels = build_three_levels();
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    const std::string file = bytes();
    Cursor& cursor = tree().cursor();
    cursor.page = levels[2][7];
    cursor.index = 4;
    cursor.state = 3;
    cursor.key[0] = 'q';
    ASSERT_TRUE(tree().mark_dirty());
    TreeProblem problem;
    ASSERT_TRUE(check(&problem)) << describe(problem);
    EXPECT_EQ(std::tuple(cursor.page, cursor.index, cursor.state, cursor.key[0]),
              std::tuple(levels[2][7], 4, 3, 'q'));
    EXPECT_TRUE(tree().mark_dirty());
    for (int s = 0; s < tree().cache_used(); ++s) {
        if (tree().cached_page(s) != kNoPage) {
            EXPECT_FALSE(page_modified(tree().cache_buffer(s))) << tree().cached_page(s);
        }
    }
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    EXPECT_EQ(bytes(), file);
}

class TreeDamage;

// One kind of damage to a sound three-level tree, and where it must be
// reported.
struct Damage {
    const char* name;
    // Damages the tree; sets where the report must point.
    std::function<void(TreeDamage* test, const std::vector<std::vector<uint32_t>>& levels,
                       TreeProblem* expected)>
        apply;
    const char* message;  // a part of the report's text
};

class TreeDamage : public TreeChecker, public ::testing::WithParamInterface<Damage> {
public:
    // Public for the damage functions.
    unsigned char* page(uint32_t address) { return fetch_now(address); }
    Tree& open_tree_object() { return tree(); }
    void patch(uint32_t at, uint32_t value) { patch_u32(at, value); }
};

TEST_P(TreeDamage, IsReportedWhereItIs) {
    const Levels levels = build_three_levels();
    TreeProblem expected;
    GetParam().apply(this, levels, &expected);
    TreeProblem problem;
    ASSERT_FALSE(check(&problem)) << GetParam().name;
    EXPECT_EQ(std::tie(problem.page, problem.index, problem.level),
              std::tie(expected.page, expected.index, expected.level))
        << describe(problem);
    EXPECT_NE(problem.what.find(GetParam().message), std::string::npos) << describe(problem);
}

using L = std::vector<std::vector<uint32_t>>;

// Branch 1 of level 1 holds leaves 31..61; its key i leads to leaf 32 + i.
const Damage kDamages[] = {
    {"separator above its right child's first key",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         unsigned char* branch = t->page(l[1][1]);
         branch_key(t->open_tree_object(), branch, 5)[200] = '!';  // beyond the digits
         *want = {"", l[1][1], 5, 1};
     },
     "differs from the first key"},
    {"separator not above every key of its left child",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         Tree& tree = t->open_tree_object();
         std::vector<unsigned char> last(tree.key_len());
         std::memcpy(last.data(), leaf_key(tree, t->page(l[2][35]), 29), last.size());
         std::memcpy(branch_key(tree, t->page(l[1][1]), 4), last.data(), last.size());
         *want = {"", l[1][1], 4, 1};
     },
     "is not above key"},
    {"root separator equal to a key of the left half",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         Tree& tree = t->open_tree_object();
         std::vector<unsigned char> key(tree.key_len());
         std::memcpy(key.data(), leaf_key(tree, t->page(l[2][29]), 3), key.size());
         std::memcpy(branch_key(tree, t->page(l[0][0]), 0), key.data(), key.size());
         *want = {"", l[1][0], 29, 1};  // the left branch's last key is not below it
     },
     "is not below the separator"},
    {"keys out of order inside a leaf",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         Tree& tree = t->open_tree_object();
         unsigned char* leaf = t->page(l[2][40]);
         std::vector<unsigned char> k3(tree.key_len());
         std::memcpy(k3.data(), leaf_key(tree, leaf, 3), k3.size());
         std::memcpy(leaf_key(tree, leaf, 3), leaf_key(tree, leaf, 4), k3.size());
         std::memcpy(leaf_key(tree, leaf, 4), k3.data(), k3.size());
         *want = {"", l[2][40], 4, 2};
     },
     "is not above the key before it"},
    {"a leaf below the minimum",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_page_count(t->page(l[2][12]), 29);
         *want = {"", l[2][12], -1, 2};
     },
     "below the minimum 30"},
    {"a branch past the maximum",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_page_count(t->page(l[1][0]), t->open_tree_object().branch_max() + 1);
         *want = {"", l[1][0], -1, 1};
     },
     "outside 0..60"},
    {"a root branch without keys",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_page_count(t->page(l[0][0]), 0);
         *want = {"", l[0][0], -1, 0};
     },
     "root branch without keys"},
    {"a next link that skips a leaf",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_next_page(t->page(l[2][20]), l[2][22]);
         *want = {"", l[2][20], -1, 2};
     },
     "next_page is"},
    {"the chain of branches broken backwards",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_prev_page(t->page(l[1][1]), 0);
         *want = {"", l[1][1], -1, 1};
     },
     "prev_page is 0"},
    {"the first leaf with a previous page",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_prev_page(t->page(l[2][0]), l[2][61]);
         *want = {"", l[2][0], -1, 2};
     },
     "prev_page is"},
    {"a leaf where a branch belongs",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_branch_child(t->page(l[0][0]), 1, l[2][45]);
         *want = {"", l[2][45], -1, 1};
     },
     "leaves at different depths"},
    {"a branch naming itself as a child",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_branch_child(t->page(l[1][0]), 3, l[1][0]);
         *want = {"", l[1][0], 3, 1};
     },
     "names itself"},
    {"a branch naming the root as a child",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_branch_child(t->page(l[1][1]), 30, l[0][0]);
         *want = {"", l[1][1], 30, 1};
     },
     "reached before"},
    {"a child address 0",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_branch_child(t->page(l[1][1]), 7, 0);
         *want = {"", l[1][1], 7, 1};
     },
     "child 7 is 0"},
    {"a wrong page_self in the cache",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_page_self(t->page(l[2][50]), l[2][51]);
         *want = {"", l[2][50], -1, -1};  // found in the cache before the walk
     },
     "page_self is"},
    {"a wrong key number in the file",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         ASSERT_EQ(code(flush_tree(&t->open_tree_object())), 0);
         t->patch(l[2][9] + 4, 5u << 16);  // not modified, key number 5
         *want = {"", l[2][9], -1, 2};
     },
     "page_key_number is 5"},
    {"a page of no type",
     [](TreeDamage* t, const L& l, TreeProblem* want) {
         set_page_type(t->page(l[1][0]), 0);
         *want = {"", l[1][0], -1, 1};
     },
     "neither branch nor leaf"},
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

std::string damage_name(const ::testing::TestParamInfo<Damage>& param) {
    std::string name;
    for (const char* c = param.param.name; *c != 0; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(OneAtATime, TreeDamage, ::testing::ValuesIn(kDamages), damage_name);

// With duplicates, a run of one key part must carry ascending numbers; the
// report names that rather than plain disorder.
TEST_F(TreeChecker, DuplicateNumbersMustAscendWithinAKeyPart) {
    make_tree(10, kCreateDuplicates);
    const Levels levels = build(3, tree().leaf_min(), 3);
    TreeProblem problem;
    ASSERT_TRUE(check(&problem)) << describe(problem);

    unsigned char* leaf = fetch_now(levels[1][1]);
    unsigned char* second = leaf_key(tree(), leaf, 5);  // numbers 0, 1, 2 at entries 3..5
    platform::store_u32_be(second + tree().key_len() - 4, 1);
    ASSERT_FALSE(check(&problem));
    EXPECT_EQ(problem.page, levels[1][1]);
    EXPECT_EQ(problem.index, 5);
    EXPECT_NE(problem.what.find("duplicate number"), std::string::npos) << describe(problem);
}

// Numeric keys order as numbers: 1, 256, 65536 is sound; their byte order
// is not.
TEST_F(TreeChecker, NumericKeysOrderAsNumbers) {
    make_tree(4, kNumericKeyType);
    unsigned char* root = fetch_now(tree().root());
    const uint32_t numbers[] = {1, 256, 65536};
    for (int i = 0; i < 3; ++i)
        store_u32(leaf_key(tree(), root, i), numbers[i]);
    set_page_count(root, 3);
    TreeProblem problem;
    ASSERT_TRUE(check(&problem)) << describe(problem);

    store_u32(leaf_key(tree(), fetch_now(tree().root()), 0), 65536);
    store_u32(leaf_key(tree(), fetch_now(tree().root()), 2), 1);
    ASSERT_FALSE(check(&problem));
    EXPECT_EQ(problem.index, 1);
}

// The counting walk follows chains, so a chain that runs back on itself is
// reported, not followed forever.
TEST_F(TreeChecker, CountingStopsAtAChainThatRepeats) {
    const Levels levels = build_three_levels();
    set_next_page(fetch_now(levels[2][40]), levels[2][10]);
    TreeSummary summary;
    TreeProblem problem;
    ASSERT_FALSE(count_entries(&tree(), &summary, &problem));
    EXPECT_EQ(problem.page, levels[2][10]);
    EXPECT_EQ(problem.level, 2);
    EXPECT_EQ(summary.pages_per_level, (std::vector<uint32_t>{1, 2, 41}));
    EXPECT_EQ(summary.entries, 41u * 30u);
    EXPECT_NE(describe(problem).find("level 2"), std::string::npos);
}

}  // namespace
}  // namespace kvr::test
