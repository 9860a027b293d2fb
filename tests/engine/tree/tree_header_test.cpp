// Tree headers: what create writes, the page sizes and limits it chooses,
// and the check that refuses a damaged header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/tree/tree.h"

namespace {

using namespace kvr::tree;
using kvr::platform::load_u32;
using kvr::platform::store_u32;

using Image = std::vector<unsigned char>;

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
        const uint32_t flags = r.dups ? kCreateDuplicates : 0;
        EXPECT_EQ(_vmq_create_tree(image.data(), flags, r.key, r.data, 368), r.page_size);
        const TreeHeaderView view(image.data());
        const PageLimits l = view.limits();
        EXPECT_EQ(view.key_len(), r.key_len);
        EXPECT_EQ(std::vector({l.branch_max, l.branch_min, l.leaf_max, l.leaf_min}), r.limits);
        const PageShape shape = page_shape(view.page_size(), r.key_len, r.data, false);
        EXPECT_EQ(shape.branch_keys_at, r.branch_keys_at);
        EXPECT_EQ(shape.leaf_keys_at, r.leaf_keys_at);
    }
}

TEST(TreeCreate, HeaderBytesAndRefusals) {
    Image image(kTreeHeaderSize, 0xAB);
    ASSERT_EQ(_vmq_create_tree(image.data(), 0x01 | kCreateDuplicates | kCreateCrtIo | (7u << 16),
                               4, 10, 2376),
              4096);
    EXPECT_EQ(std::memcmp(image.data(), "KVR_FILX", 8), 0);
    EXPECT_EQ(load_u32(&image[kDataLenAt]), 10u);
    EXPECT_EQ(load_u32(&image[kTreeFlagsAt]), 0x01u | kTreeDups | kTreeCrtIo);
    EXPECT_EQ(load_u32(&image[kKeyLenAt]), 8u);
    EXPECT_EQ(image[kWritableAt], 1);
    EXPECT_EQ(image[kKeyNumberAt], 7);
    EXPECT_EQ(load_u32(&image[kHeaderAtAt]), 2376u);
    EXPECT_EQ(std::count(image.begin(), image.end(), 0xAB), 0);  // all else zero, root too

    EXPECT_EQ(_vmq_create_tree(nullptr, 0, 9999, 0, 368), 996);
    for (auto [key, data] : {std::pair{256, 4}, {-1, 4}, {10, 0}, {10, 256}}) {
        Image untouched(kTreeHeaderSize, 0xAB);
        EXPECT_EQ(_vmq_create_tree(untouched.data(), 0, key, data, 368), 0);
        EXPECT_EQ(untouched, Image(kTreeHeaderSize, 0xAB));
    }
}

// Over key and data lengths, with and without duplicates, for both page
// kinds: create stops at the smallest page on which both minimums reach 21,
// and a full page of either type keeps all its arrays inside the page. The
// old block layout can leave the keys less room than the bare capacity rule
// assumes; the maximum is lowered there rather than let a page overrun.
TEST(TreeCreate, EveryShapeGivesLimitsThatFitThePage) {
    for (int kind = 0; kind < 4; ++kind) {
        const bool block = kind & 1, dups = kind & 2;
        for (int key = 0; key <= 255; key += key < 20 ? 1 : 7) {
            for (int data = 1; data <= 255; data += data < 20 ? 1 : 6) {
                SCOPED_TRACE(testing::Message() << key << "/" << data << "/" << kind);
                Image image(kTreeHeaderSize);
                const uint32_t flags =
                    (dups ? kCreateDuplicates : 0) | (block ? kCreateBlockPages : 0);
                const auto size =
                    static_cast<uint32_t>(_vmq_create_tree(image.data(), flags, key, data, 368));
                const uint32_t key_len = key + (dups ? 4 : 0);
                const PageShape shape = page_shape(size, key_len, data, block);
                const PageLimits l = TreeHeaderView(image.data()).limits();
                const uint32_t branches = l.branch_max, leaves = l.leaf_max;
                ASSERT_LE(20 + 4 * (branches + 1), std::min(shape.branch_keys_at, size));
                ASSERT_LE(20 + leaves * data, std::min(shape.leaf_keys_at, size));
                if (key_len > 0) {
                    ASSERT_LE(shape.leaf_keys_at + leaves * key_len, size);
                    ASSERT_LE(shape.branch_keys_at + branches * key_len, size);
                }
                if (!block) {
                    EXPECT_TRUE(l.leaf_min >= 21 && l.branch_min >= 21);
                    const PageLimits half =
                        default_limits(page_shape(size / 2, key_len, data, false));
                    EXPECT_TRUE(size == 4096 || half.leaf_min < 21 || half.branch_min < 21);
                }
                store_u32(&image[kRootAt], 8192);
                ASSERT_TRUE(
                    tree_header_is_sound(image.data(), {368, 0, key, dups, data, 0, 32768, block}));
            }
        }
    }
    // A 1-byte key with 186 data bytes in 32768-byte blocks: the data array
    // of 176 slots leaves room for 12 keys, not the bare rule's 174.
    const PageShape shape = page_shape(32768, 1, 186, true);
    EXPECT_EQ(shape.leaf_room, 12);
    EXPECT_FALSE(limits_fit(shape, {100, 50, shape.leaf_capacity - 1, 20}));
}

TEST(TreeHeaderCheck, RefusesEachKindOfDamage) {
    Image good(kTreeHeaderSize);
    ASSERT_EQ(_vmq_create_tree(good.data(), kCreateDuplicates | (2u << 16), 10, 20, 2360), 4096);
    store_u32(&good[kRootAt], 8192);  // the tree has pages, so its limits count
    const TreeShape expected{2360, 2, 10, true, 20, 0, 4096, false};
    EXPECT_TRUE(tree_header_is_sound(good.data(), expected));

    const struct {
        const char* what;
        uint32_t at, value, width;
    } damages[] = {
        {"magic", 4, 0x58585858, 4},
        {"header_at", kHeaderAtAt, 2361, 4},
        {"key number", kKeyNumberAt, 3, 1},
        {"key_len", kKeyLenAt, 10, 4},
        {"duplicates bit", kTreeFlagsAt, 0, 4},
        {"key type", kTreeFlagsAt, kTreeDups | 1, 4},
        {"block pages in a slot-format file", kTreeFlagsAt, kTreeDups | kTreeBlockPages, 4},
        {"data_len", kDataLenAt, 21, 4},
        {"page size not a power of two", kPageSizeAt, 6000, 4},
        {"page size too small", kPageSizeAt, 2048, 4},
        {"page larger than an index block", kPageSizeAt, 8192, 4},
        {"leaf_max at the capacity", kLeafMaxAt, 117, 4},  // cap 117: max 116
        {"leaf_max negative", kLeafMaxAt, 0xFFFFFFFF, 4},
        {"leaf_min zero", kLeafMinAt, 0, 4},
        {"leaf_min above leaf_max", kLeafMinAt, 200, 4},
        {"branch_max at the capacity", kBranchMaxAt, 223, 4},  // cap 223: max 222
        {"branch_min above branch_max", kBranchMinAt, 300, 4},
    };
    for (const auto& damage : damages) {
        Image image = good;
        unsigned char value[4];
        store_u32(value, damage.value);
        std::memcpy(&image[damage.at], value, damage.width);
        EXPECT_FALSE(tree_header_is_sound(image.data(), expected)) << damage.what;
    }
    // The limits of a tree without pages are chosen afresh at its first open;
    // no page is larger than the largest, whatever the store could hold.
    store_u32(&good[kRootAt], 0);
    store_u32(&good[kLeafMaxAt], 50000);
    EXPECT_TRUE(tree_header_is_sound(good.data(), expected));
    store_u32(&good[kPageSizeAt], 65536);
    EXPECT_FALSE(tree_header_is_sound(good.data(), {2360, 2, 10, true, 20, 0, 65536, false}));
    EXPECT_FALSE(tree_header_is_sound(nullptr, expected));
}

}  // namespace
