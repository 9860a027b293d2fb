// Open and close: stored marks, headers that cannot be used, and what
// close writes.
#include <cstring>
#include <vector>

#include "engine/tree/tree_fixture.h"

namespace kvr::test {
namespace {

using TreeOpenClose = TreeFile;

// A modified mark stored in the file means nothing: a read open drops it
// and writes nothing back.
TEST_F(TreeOpenClose, AStoredModifiedMarkIsDroppedOnRead) {
    ASSERT_EQ(open_tree(), 0);
    ASSERT_EQ(close_tree(), 0);
    write_header();
    patch_u32(kFirstPage + 4, 0x0003FFFF);
    const std::string file = bytes();
    ASSERT_EQ(open_tree(0), 0);
    EXPECT_FALSE(page_modified(tree().cache_buffer(0)));
    ASSERT_EQ(close_tree(), 0);
    EXPECT_EQ(bytes(), file);
}

// A header that did not go through the engine's check: open refuses what
// it cannot use before it allocates, reads or writes anything.
TEST_F(TreeOpenClose, OpenRefusesAHeaderItCannotUse) {
    const std::string file = bytes();
    const std::vector<unsigned char> good(image(), image() + kTreeHeaderSize);
    auto open_damaged = [&](uint32_t at, uint32_t value, uint32_t root = 0, uint32_t key_len = 10) {
        std::memcpy(image(), good.data(), kTreeHeaderSize);
        store_u32(image() + kKeyLenAt, key_len);
        store_u32(image() + kRootAt, root);
        store_u32(image() + at, value);
        const int result = open_tree(root == 0 ? kOpenForUpdate.bits : 0);
        EXPECT_EQ(close_tree(), 0);
        return result;
    };
    for (uint32_t size : {5000u, 2048u, 65536u, 65568u, 1u << 30})
        EXPECT_EQ(open_tree(kOpenForUpdate.bits, size), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kKeyLenAt, 300), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kKeyLenAt, 0xFFFFFFFF), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kDataLenAt, 0), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kTreeFlagsAt, kTreeDups.bits, 0, 2),
              code(kDamagedPage));  // no room for the number
    EXPECT_EQ(open_damaged(kTreeFlagsAt, kNumericKeyType, 0, 2),
              code(kDamagedPage));  // nor for a number key
    EXPECT_EQ(open_damaged(kHeaderAtAt, 2000),
              code(kDamagedPage));  // reaching past the header area
    // With a root, the stored page size and limits are the ones used.
    EXPECT_EQ(open_damaged(kPageSizeAt, 6000, kFirstPage), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kPageSizeAt, 8192, kFirstPage),
              code(kDamagedPage));  // larger than a block
    EXPECT_EQ(open_damaged(kLeafMaxAt, 50000, kFirstPage), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kBranchMinAt, 0, kFirstPage), code(kDamagedPage));
    // A root that is no page: inside the header area, or past the file's end.
    EXPECT_EQ(open_damaged(kRootAt, 1024, kFirstPage), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kRootAt, 1u << 20, kFirstPage), code(kTreeIoError));
    EXPECT_EQ(bytes(), file);
    EXPECT_EQ(_vmq_open_tree(nullptr, &store_, store_.io, 4096, 0, 0), code(kTreeIoError));
    EXPECT_EQ(_vmq_close_tree(nullptr), code(kTreeIoError));
}

// Close writes every cached page of an update tree, clean or not, except
// one whose own address is wrong, which it counts.
TEST_F(TreeOpenClose, CloseWritesEveryPageAndCountsMismatches) {
    ASSERT_EQ(open_tree(), 0);
    tree().set_mark_dirty(false);
    const uint32_t a = make_leaf();
    const uint32_t b = make_leaf();
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    tree().begin_operation();
    tree().set_mark_dirty(true);  // a page to be changed is fetched by an update
    unsigned char* changed = fetch(a);
    set_page_modified(changed, false);
    set_next_page(changed, b);  // changed without the modified mark
    unsigned char* wrong = fetch(b);
    set_page_self(wrong, a);
    set_prev_page(wrong, 77);
    EXPECT_EQ(fetch(b), nullptr);  // found in the cache, still refused
    EXPECT_EQ(last_result_, code(kDamagedPage));

    EXPECT_EQ(close_tree(), 1);
    EXPECT_EQ(disk_u32(a + 16), b);
    EXPECT_EQ(disk_u32(b + 12), 0u);  // not written
    EXPECT_EQ(close_tree(), 0);       // closing again does nothing
}

}  // namespace
}  // namespace kvr::test
