// Blocks of the block format and index blocks of the slot format: taken
// from the end of the file, released onto a list, and reused last in,
// first out.
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

using StoreBlocks = StoreTest;

TEST_F(StoreBlocks, BlocksComeFromTheEndThenLastInFirstOut) {
    for (const bool blocks : {true, false}) {
        SCOPED_TRACE(blocks ? "blocks" : "index blocks");
        create({.block_format = blocks});
        auto get = blocks ? _vmq_get_block : _vmq_get_index_block;
        auto release = blocks ? _vmq_release_block : _vmq_release_index_block;
        // A free block starts with its mark and the link to the next.
        const size_t head = blocks ? 32 : 12;
        auto free_block = [&](uint32_t next) {
            return (blocks ? "\x08" + std::string(23, '\0') : slot_header(0x08, 4096)) +
                   le32(next) + le32(0);
        };
        uint32_t a = 77, b = 0, got = 0;
        if (blocks) {
            EXPECT_EQ(get(handle.get(), &a, 1), -1);  // never extend: nothing happens
            EXPECT_EQ(std::pair(a, file_size()), std::pair(77u, uint64_t{kHeaderSize}));
        } else {
            put(record(1, 20));
            put(record(2, 30));
        }
        const uint64_t end = file_size();
        ASSERT_EQ(get(handle.get(), &a, 0), 0);
        EXPECT_EQ(a, end);  // behind the records, which reached the file first
        if (!blocks) {
            EXPECT_EQ(raw(kHeaderSize, 24), slot_header(0x04, 24) + record(1, 20));
            EXPECT_EQ(put(record(3, 20)), a + 4096);  // the buffer starts again behind it
        }
        ASSERT_EQ(get(handle.get(), &b, 0), 0);
        EXPECT_EQ(b, a + 4096 + (blocks ? 0 : 24));
        EXPECT_EQ(raw(a, 4096) + raw(b, 4096), std::string(8192, '\0'));

        patch(a, std::string(4096, 'x'));
        ASSERT_EQ(release(handle.get(), a), 0);
        ASSERT_EQ(release(handle.get(), b), 0);
        EXPECT_EQ(release(handle.get(), b), code(kIoError));  // twice in a row
        EXPECT_EQ(raw(a, head) + raw(b, head), free_block(0) + free_block(a));
        EXPECT_EQ(raw(a + head, 4096 - head), std::string(4096 - head, 'x'));  // kept
        for (uint32_t expected : {b, a}) {
            ASSERT_EQ(get(handle.get(), &got, blocks ? 1 : 0), 0);
            EXPECT_EQ(got, expected);
        }
        if (blocks) {
            EXPECT_EQ(get(handle.get(), &got, 1), -1);
            EXPECT_EQ(_vmq_free_all_avail_list(handle.get()), 0);
        } else {
            EXPECT_EQ(header().index_block_list(), 0u);
        }
    }
}

}  // namespace
}  // namespace kvr::store::test
