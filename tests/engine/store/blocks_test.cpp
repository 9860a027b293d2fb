// Blocks of the block format and the avail list.

#include "store_fixture.h"

namespace kvr::store::test {
namespace {

class StoreBlocks : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        create({.block_format = true});
    }
    int get_block(uint32_t* address, int32_t no_extend = 0) {
        return _vmq_get_block(handle.get(), address, no_extend);
    }
    static std::string free_block(uint32_t next) {
        return "\x08" + std::string(23, '\0') + le32(next) + le32(0);
    }
};

TEST_F(StoreBlocks, BlocksComeFromTheEndThenLastInFirstOut) {
    uint32_t a = 77, b = 0;
    EXPECT_EQ(get_block(&a, 1), -1);  // never extend: nothing happens
    EXPECT_EQ(a, 77u);
    EXPECT_EQ(file_size(), kHeaderSize);
    ASSERT_EQ(get_block(&a), 0);
    ASSERT_EQ(get_block(&b), 0);
    EXPECT_EQ(a, kHeaderSize);
    EXPECT_EQ(b, kHeaderSize + 4096);
    EXPECT_EQ(raw(kHeaderSize, 8192), std::string(8192, '\0'));

    patch(a, std::string(4096, 'x'));
    ASSERT_EQ(_vmq_release_block(handle.get(), a), 0);
    ASSERT_EQ(_vmq_release_block(handle.get(), b), 0);
    EXPECT_EQ(_vmq_release_block(handle.get(), b), 2);  // twice in a row
    EXPECT_EQ(raw(a, 32), free_block(0));
    EXPECT_EQ(raw(b, 32), free_block(a));
    EXPECT_EQ(raw(a + 32, 4064), std::string(4064, 'x'));
    uint32_t got = 0;
    ASSERT_EQ(get_block(&got, 1), 0);
    EXPECT_EQ(got, b);
    ASSERT_EQ(get_block(&got, 1), 0);
    EXPECT_EQ(got, a);
    EXPECT_EQ(get_block(&got, 1), -1);
    EXPECT_EQ(_vmq_free_all_avail_list(handle.get()), 0);
}

TEST_F(StoreBlocks, DamagedAvailListIsRefused) {
    uint32_t a = 0, got = 0;
    ASSERT_EQ(get_block(&a), 0);
    header().set_avail_list_head(kHeaderSize + 4096);  // the end of the file
    EXPECT_EQ(get_block(&got), 9);
    for (uint32_t head : {16u, a, 0x80000000u}) {  // header, not free, negative
        header().set_avail_list_head(head);
        EXPECT_EQ(get_block(&got), 2) << head;
    }
    header().set_avail_list_head(0);
    ASSERT_EQ(_vmq_release_block(handle.get(), a), 0);
    patch(a + 24, le32(a));  // links to itself
    EXPECT_EQ(get_block(&got), 2);
    EXPECT_EQ(_vmq_release_block(handle.get(), 1024), 2);
}

TEST_F(StoreBlocks, FileStaysBelowTwoGigabytes) {
    const uint64_t room_for_one = 0x7FFFFFFFu - 4096;  // a sparse file
    resize_file(room_for_one);
    uint32_t address = 0;
    ASSERT_EQ(get_block(&address), 0);
    EXPECT_EQ(address, room_for_one);
    address = 0;
    EXPECT_EQ(get_block(&address), 11);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(file_size(), 0x7FFFFFFFu);
}

}  // namespace
}  // namespace kvr::store::test
