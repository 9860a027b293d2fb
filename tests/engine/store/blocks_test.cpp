// Blocks of the block format and index blocks of the slot format: taken
// from the end of the file, released onto a list, and reused last in,
// first out.
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

using StoreBlocks = StoreTest;

TEST_F(StoreBlocks, BlocksComeFromTheEndThenLastInFirstOut) {
    create({.block_format = true});
    auto get_block = [&](uint32_t* address, int32_t no_extend) {
        return _vmq_get_block(handle.get(), address, no_extend);
    };
    auto free_block = [](uint32_t next) {
        return "\x08" + std::string(23, '\0') + le32(next) + le32(0);
    };
    uint32_t a = 77, b = 0, got = 0;
    EXPECT_EQ(get_block(&a, 1), -1);  // never extend: nothing happens
    EXPECT_EQ(a, 77u);
    EXPECT_EQ(file_size(), kHeaderSize);
    ASSERT_EQ(get_block(&a, 0), 0);
    ASSERT_EQ(get_block(&b, 0), 0);
    EXPECT_EQ(std::pair(a, b), std::pair(kHeaderSize, kHeaderSize + 4096));
    EXPECT_EQ(raw(kHeaderSize, 8192), std::string(8192, '\0'));

    patch(a, std::string(4096, 'x'));
    ASSERT_EQ(_vmq_release_block(handle.get(), a), 0);
    ASSERT_EQ(_vmq_release_block(handle.get(), b), 0);
    EXPECT_EQ(_vmq_release_block(handle.get(), b), code(kIoError));  // twice in a row
    EXPECT_EQ(raw(a, 32), free_block(0));
    EXPECT_EQ(raw(b, 32), free_block(a));
    EXPECT_EQ(raw(a + 32, 4064), std::string(4064, 'x'));
    for (uint32_t expected : {b, a}) {
        ASSERT_EQ(get_block(&got, 1), 0);
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(get_block(&got, 1), -1);
    EXPECT_EQ(_vmq_free_all_avail_list(handle.get()), 0);
}

TEST_F(StoreBlocks, IndexBlocksGoBehindBufferedRecordsAndComeBackLastInFirstOut) {
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
    EXPECT_EQ(_vmq_release_index_block(handle.get(), b), code(kIoError));  // twice in a row
    EXPECT_EQ(raw(b, 12), slot_header(0x08, 4096) + le32(a) + le32(0));
    EXPECT_EQ(raw(a + 12, 10), "page bytes");  // the rest keeps its contents
    for (uint32_t expected : {b, a}) {
        ASSERT_EQ(_vmq_get_index_block(handle.get(), &got, 0), 0);
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(header().index_block_list(), 0u);
}

}  // namespace
}  // namespace kvr::store::test
