// Tree headers: what create writes, the page sizes and limits it chooses,
// and the check that refuses a damaged header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/tree/tree.h"

namespace {

using namespace kvr::tree;
using kvr::platform::load_u32;
using kvr::platform::store_u32;

using Image = std::vector<unsigned char>;

// A full page of either type keeps all its arrays inside the page.
void expect_arrays_fit(const PageShape& shape, const PageLimits& limits, uint32_t size,
                       uint32_t key_len, uint32_t data) {
    const auto branches = uint32_t(limits.branch_max), leaves = uint32_t(limits.leaf_max);
    ASSERT_LE(20 + 4 * (branches + 1), std::min(shape.branch_keys_at, size));
    ASSERT_LE(20 + leaves * data, std::min(shape.leaf_keys_at, size));
    if (key_len > 0) {
        ASSERT_LE(shape.leaf_keys_at + leaves * key_len, size);
        ASSERT_LE(shape.branch_keys_at + branches * key_len, size);
    }
}

// The limits the bare capacity rule gives a page: cap - 1 and half of it.
constexpr uint32_t kBlockSizes[] = {4096, 8192, 16384, 32768, 65568};
PageLimits bare(const PageShape& shape) {
    const int branch = shape.branch_capacity - 1, leaf = shape.leaf_capacity - 1;
    return PageLimits{branch, branch / 2, leaf, leaf / 2};
}

TEST(TreeCreate, WorkedCapacityTable) {
    struct Row {
        int key, data, dups, page_size, key_len;
        std::vector<int> limits;  // branch max, min, leaf max, min
        uint32_t branch_keys_at, leaf_keys_at;
    };
    const Row rows[] = {
        {10, 4, 0, 4096, 10, {288, 144, 288, 144}, 1180, 1180},
        {10, 4, 1, 4096, 14, {222, 111, 222, 111}, 916, 916},
        {8, 10, 0, 4096, 8, {336, 168, 222, 111}, 1372, 2260},
        {100, 4, 0, 8192, 100, {74, 37, 74, 37}, 324, 324},
        {255, 4, 0, 16384, 255, {60, 30, 60, 30}, 268, 268},
        {255, 255, 1, 32768, 259, {120, 60, 60, 30}, 508, 15830},
    };
    for (const Row& r : rows) {
        Image image(kTreeHeaderSize);
        const int size =
            _vmq_create_tree(image.data(), r.dups ? kCreateDuplicates.bits : 0, r.key, r.data, 368);
        const TreeHeaderView view(image.data());
        const PageLimits l = view.limits();
        const PageShape shape = page_shape(view.page_size(), r.key_len, r.data, false);
        EXPECT_EQ(std::tuple(size, view.key_len(), shape.branch_keys_at, shape.leaf_keys_at),
                  std::tuple(r.page_size, r.key_len, r.branch_keys_at, r.leaf_keys_at));
        EXPECT_EQ(std::vector({l.branch_max, l.branch_min, l.leaf_max, l.leaf_min}), r.limits);
    }
}

TEST(TreeCreate, HeaderBytesAndRefusals) {
    Image image(kTreeHeaderSize, 0xAB);
    ASSERT_EQ(_vmq_create_tree(image.data(),
                               0x01 | kCreateDuplicates.bits | kCreateCrtIo.bits | (7u << 16), 4,
                               10, 2376),
              4096);
    EXPECT_EQ(
        std::tuple(std::string(image.begin(), image.begin() + 8), load_u32(&image[kDataLenAt]),
                   load_u32(&image[kTreeFlagsAt]), load_u32(&image[kKeyLenAt]), image[kWritableAt],
                   image[kKeyNumberAt], load_u32(&image[kHeaderAtAt])),
        std::tuple("KVR_FILX", 10u, 0x01u | kTreeDups.bits | kTreeCrtIo.bits, 8u, 1, 7, 2376u));
    EXPECT_EQ(std::count(image.begin(), image.end(), 0xAB), 0);  // all else zero, root too

    EXPECT_EQ(_vmq_create_tree(nullptr, 0, 9999, 0, 368), 996);
    for (auto [key, data] : {std::pair{256, 4}, {-1, 4}, {10, 0}, {10, 256}}) {
        Image untouched(kTreeHeaderSize, 0xAB);
        EXPECT_EQ(_vmq_create_tree(untouched.data(), 0, key, data, 368), 0);
        EXPECT_EQ(untouched, Image(kTreeHeaderSize, 0xAB));
    }
}

// Over key and data lengths, duplicates and page kinds: create stops at the
// smallest page where both minimums reach 21, and full pages fit; where the
// block layout leaves the keys less room, the maximum is lowered to fit.
// Block pages of every block size under the bare rule's limits (as other
// programs store them) work within the page, or are refused.
TEST(TreeCreate, EveryShapeGivesLimitsThatFitThePage) {
    for (int kind = 0; kind < 4; ++kind) {
        const bool block = kind & 1, dups = kind & 2;
        for (int key = 0; key <= 255; key += key < 20 ? 1 : 7) {
            for (int data = 1; data <= 255; data += data < 20 ? 1 : 6) {
                SCOPED_TRACE(testing::Message() << key << "/" << data << "/" << kind);
                Image image(kTreeHeaderSize);
                const uint32_t flags =
                    (dups ? kCreateDuplicates.bits : 0) | (block ? kCreateBlockPages.bits : 0);
                const auto size =
                    static_cast<uint32_t>(_vmq_create_tree(image.data(), flags, key, data, 368));
                const uint32_t key_len = key + (dups ? 4 : 0);
                const PageShape shape = page_shape(size, key_len, data, block);
                const PageLimits l = TreeHeaderView(image.data()).limits();
                expect_arrays_fit(shape, l, size, key_len, data);
                if (!block) {
                    EXPECT_TRUE(l.leaf_min >= 21 && l.branch_min >= 21);
                    const PageLimits half =
                        default_limits(page_shape(size / 2, key_len, data, false));
                    EXPECT_TRUE(size == 4096 || half.leaf_min < 21 || half.branch_min < 21);
                }
                for (size_t b = 0; block && b < std::size(kBlockSizes); ++b) {
                    const uint32_t bsize = kBlockSizes[b];
                    const PageShape bs = page_shape(bsize, key_len, data, true);
                    const PageLimits stored = bare(bs), w = working_limits(bs, stored);
                    if (!limits_fit(bs, stored)) {
                        ASSERT_TRUE(w.branch_min < 1 || w.leaf_min < 1);
                        continue;
                    }
                    ASSERT_LE(w.leaf_max, std::min(stored.leaf_max, kMaxPageCount));
                    ASSERT_LE(w.branch_max, std::min(stored.branch_max, kMaxPageCount));
                    expect_arrays_fit(bs, w, bsize, key_len, data);
                    ASSERT_TRUE(w.leaf_min >= 1 && 2 * w.leaf_min - 1 <= w.leaf_max);
                    ASSERT_TRUE(w.branch_min >= 1 && 2 * w.branch_min <= w.branch_max);
                    ASSERT_TRUE(
                        w.leaf_max != stored.leaf_max || w.branch_max != stored.branch_max ||
                        (w.branch_min == stored.branch_min && w.leaf_min == stored.leaf_min));
                }
                store_u32(&image[kRootAt], 8192);
                ASSERT_TRUE(
                    tree_header_is_sound(image.data(), {368, 0, key, dups, data, 0, 32768, block}));
            }
        }
    }
    // A 1-byte key with 186 data bytes in 32768-byte blocks: the data array
    // of 176 slots leaves room for 12 keys, not the bare rule's 174.
    EXPECT_EQ(page_shape(32768, 1, 186, true).leaf_room, 12);
}

// Block pages with the bare capacity rule's limits (cap - 1 and half of it,
// as other programs store them): the working limits keep a full page's
// arrays and 16-bit count within it, and the header's are kept when they fit.
TEST(TreeHeaderCheck, BareRuleLimitsOfBlockPagesWorkWithinThePage) {
    // A 4-byte alternate key over a 10-byte prime key: leaves of 290 would
    // need 4100 bytes; they split at 289. 1-byte keys and data in 65568-byte
    // blocks: the rule's 32772 leaf entries would overflow a page's count.
    const PageShape alternate = page_shape(4096, 4, 10, true);
    const PageLimits w = working_limits(alternate, bare(alternate));
    EXPECT_EQ(std::vector({w.branch_max, w.branch_min, w.leaf_max, w.leaf_min}),
              std::vector({508, 254, 289, 145}));
    const PageShape tiny = page_shape(65568, 1, 1, true);
    EXPECT_EQ(std::pair(working_limits(tiny, bare(tiny)).leaf_max, bare(tiny).leaf_max),
              std::pair(32767, 32772));

    // Limits neither rule gives are refused: one past the capacity, a minimum
    // that is not half the maximum, a pair below both rules' maximum.
    EXPECT_TRUE(limits_fit(alternate, bare(alternate)));
    EXPECT_TRUE(limits_fit(alternate, default_limits(alternate)));  // 288 / 144
    for (PageLimits damaged : {PageLimits{510, 255, 290, 145}, PageLimits{508, 254, 292, 146},
                               PageLimits{508, 254, 290, 144}, PageLimits{508, 200, 290, 145},
                               PageLimits{508, 254, 286, 143}, PageLimits{500, 250, 290, 145}})
        EXPECT_FALSE(limits_fit(alternate, damaged)) << damaged.leaf_max << "/" << damaged.leaf_min;
    // A 1-byte key with 186 data bytes in 8192-byte blocks: the rule puts
    // the key array past the page's end; no page of that tree holds a key.
    const PageShape none = page_shape(8192, 1, 186, true);
    EXPECT_EQ(none.leaf_room, 0);
    EXPECT_FALSE(limits_fit(none, bare(none)));
}

TEST(TreeHeaderCheck, RefusesEachKindOfDamage) {
    Image good(kTreeHeaderSize);
    ASSERT_EQ(_vmq_create_tree(good.data(), kCreateDuplicates.bits | (2u << 16), 10, 20, 2360),
              4096);
    store_u32(&good[kRootAt], 8192);  // the tree has pages, so its limits count
    const TreeShape expected{2360, 2, 10, true, 20, 0, 4096, false};
    EXPECT_TRUE(tree_header_is_sound(good.data(), expected));

    // (The magic, key number, data length and a page size that is no power
    // of two are refused at the open of a file, in IsamFile's damaged headers.)
    const struct {
        const char* what;
        uint32_t at, value;
    } damages[] = {
        {"header_at", kHeaderAtAt, 2361},
        {"key_len", kKeyLenAt, 10},
        {"duplicates bit", kTreeFlagsAt, 0},
        {"key type", kTreeFlagsAt, kTreeDups.bits | 1},
        {"block pages in a slot-format file", kTreeFlagsAt, kTreeDups.bits | kTreeBlockPages.bits},
        {"page size too small", kPageSizeAt, 2048},
        {"page larger than an index block", kPageSizeAt, 8192},
        {"leaf_max at the capacity", kLeafMaxAt, 117},  // cap 117: max 116
        {"leaf_max negative", kLeafMaxAt, 0xFFFFFFFF},
        {"leaf_min zero", kLeafMinAt, 0},
        {"leaf_min above leaf_max", kLeafMinAt, 200},
        {"leaf_min below half of leaf_max", kLeafMinAt, 57},
        {"branch_max at the capacity", kBranchMaxAt, 223},  // cap 223: max 222
        {"branch_min above branch_max", kBranchMinAt, 300},
    };
    for (const auto& damage : damages) {
        Image image = good;
        store_u32(&image[damage.at], damage.value);
        EXPECT_FALSE(tree_header_is_sound(image.data(), expected)) << damage.what;
    }
    // The limits of a tree without pages are chosen afresh at its first open;
    // no page is larger than the largest, whatever the store could hold.
    // The largest block of the block format is a page there, and only there.
    store_u32(&good[kRootAt], 0);
    store_u32(&good[kLeafMaxAt], 50000);
    EXPECT_TRUE(tree_header_is_sound(good.data(), expected));
    auto sound = [&](uint32_t page_size, uint32_t max_page_size, bool blocks) {
        store_u32(&good[kPageSizeAt], page_size);
        return tree_header_is_sound(good.data(), {2360, 2, 10, true, 20, 0, max_page_size, blocks});
    };
    EXPECT_EQ(std::vector({sound(65536, 65536, false), sound(65536, 65568, true),
                           sound(65568, 65568, false), sound(65568, 65568, true),
                           sound(65568, 32768, true)}),
              std::vector({false, false, false, true, false}));
    EXPECT_FALSE(tree_header_is_sound(nullptr, expected));
}

}  // namespace
