// Index blocks of the slot format.

#include "store_fixture.h"

namespace kvr::store::test {
namespace {

using StoreIndexBlocks = StoreTest;

TEST_F(StoreIndexBlocks, BlocksGoBehindBufferedRecordsAndComeBackLastInFirstOut) {
    create();
    put(record(1, 20));
    put(record(2, 30));
    uint32_t a = 0, b = 0, got = 0;
    ASSERT_EQ(_vmq_get_index_block(handle.get(), &a, 0), 0);
    EXPECT_EQ(a, kHeaderSize + 58);  // the buffered records reached the file first
    EXPECT_EQ(raw(kHeaderSize, 24), slot_header(0x04, 24) + record(1, 20));
    EXPECT_EQ(raw(a, 4096), std::string(4096, '\0'));
    EXPECT_EQ(put(record(3, 20)), a + 4096);  // the buffer starts again behind it
    ASSERT_EQ(_vmq_get_index_block(handle.get(), &b, 0), 0);
    EXPECT_EQ(b, a + 4096 + 24);

    patch(a + 12, "page bytes");
    ASSERT_EQ(_vmq_release_index_block(handle.get(), a), 0);
    ASSERT_EQ(_vmq_release_index_block(handle.get(), b), 0);
    EXPECT_EQ(_vmq_release_index_block(handle.get(), b), 2);  // twice in a row
    EXPECT_EQ(raw(b, 12), slot_header(0x08, 4096) + le32(a) + le32(0));
    EXPECT_EQ(raw(a + 12, 10), "page bytes");  // the rest keeps its contents
    ASSERT_EQ(_vmq_get_index_block(handle.get(), &got, 0), 0);
    EXPECT_EQ(got, b);
    ASSERT_EQ(_vmq_get_index_block(handle.get(), &got, 0), 0);
    EXPECT_EQ(got, a);
    EXPECT_EQ(header().index_block_list(), 0u);
}

TEST_F(StoreIndexBlocks, DamagedListIsRefusedAndImmediateTableWritten) {
    create({.options = engine::kOptionImmediateFreeSpace});
    uint32_t a = 0, got = 0;
    ASSERT_EQ(_vmq_get_index_block(handle.get(), &a, 0), 0);
    for (uint32_t head : {100u, a + 8192, a}) {  // in the header, past the end, not free
        header().set_index_block_list(head);
        EXPECT_EQ(_vmq_get_index_block(handle.get(), &got, 0), 2) << head;
    }
    header().set_index_block_list(0);
    ASSERT_EQ(_vmq_release_index_block(handle.get(), a), 0);
    EXPECT_EQ(raw_u32(0xC0), a);
    patch(a + 4, le32(a));  // links to itself
    EXPECT_EQ(_vmq_get_index_block(handle.get(), &got, 0), 2);
    EXPECT_EQ(_vmq_release_index_block(handle.get(), 1024), 2);
}

}  // namespace
}  // namespace kvr::store::test
