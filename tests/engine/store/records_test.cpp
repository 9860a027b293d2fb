// Slot-format records: slot bytes, reuse of free space by size class,
// and rewrites in place and by moving.
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

using StoreRecords = StoreTest;

TEST_F(StoreRecords, SlotsRecordTheirSlack) {
    create();
    const std::string a = record(1, 20), b = record(2, 30);
    const uint32_t at_a = put(a), at_b = put(b);
    put(record(3, 20));
    EXPECT_EQ(at_b, kHeaderSize + 24);
    // Each slot is in the file as soon as it is written; the append buffer
    // only keeps a copy.
    EXPECT_EQ(file_size(), kHeaderSize + 82);
    EXPECT_EQ(raw(at_b, 34), slot_header(0x04, 34) + b);
    EXPECT_EQ(get(at_b), b);
    std::string none;  // just past the last slot
    EXPECT_EQ(get(kHeaderSize + 82, &none), code(kEndOfFile));
    ASSERT_EQ(remove(at_a), 0);

    const std::string shorter = record(4, 18);  // two bytes of slack
    EXPECT_EQ(put(shorter), at_a);
    EXPECT_EQ(raw(at_a, 24), slot_header(0x54, 22) + shorter + "  ");
    EXPECT_EQ(get(at_a), shorter);
    EXPECT_EQ(handle->last_slot_size, 24u);

    ASSERT_EQ(remove(at_b), 0);
    const std::string small = record(5, 20);  // ten bytes of slack, from a larger class
    EXPECT_EQ(put(small), at_b);
    EXPECT_EQ(raw(at_b, 34), slot_header(0x14, 24) + small + le32(10) + std::string(6, ' '));
    uint32_t now = 0;  // the slot keeps its size: the record grows back in place
    ASSERT_EQ(rewrite(at_b, b, &now), 0);
    EXPECT_EQ(now, at_b);
    EXPECT_EQ(raw(at_b, 34), slot_header(0x04, 34) + b);
    EXPECT_EQ(file_size(), kHeaderSize + 82);
}

TEST_F(StoreRecords, RewriteStaysWhenItFitsAndMovesWhenLonger) {
    create();
    const uint32_t a = put(record(1, 20)), b = put(record(2, 20));
    uint32_t now = 0;
    ASSERT_EQ(rewrite(a, record(7, 14), &now), 0);  // shorter, in the buffer
    EXPECT_EQ(now, a);
    EXPECT_EQ(get(a), record(7, 14));

    handle->shift_tree = nullptr;  // the index could not follow a move
    EXPECT_EQ(rewrite(a, record(8, 60), &now), code(kIoError));
    handle->shift_tree = record_shift;
    handle->shift_result =
        engine::kLockViolation;  // the index refuses: the new slot is freed again
    EXPECT_EQ(rewrite(a, record(8, 60), &now), code(kLockViolation));
    EXPECT_EQ(get(a), record(7, 14));
    EXPECT_EQ(list_sizes(3), std::vector<uint32_t>{64});

    handle->shift_result = engine::kOk;
    handle->shifts.clear();
    ASSERT_EQ(rewrite(a, record(9, 60), &now), 0);
    EXPECT_EQ(now, b + 24);
    ASSERT_EQ(handle->shifts.size(), 1u);
    EXPECT_EQ(std::tuple(handle->shifts[0].key, handle->shifts[0].count, handle->shifts[0].delta),
              std::tuple(record(9, 8), 1, static_cast<int32_t>(now - a)));
    EXPECT_EQ(handle->last_record_address, now);  // a further rewrite replaces the moved one
    EXPECT_EQ(get(now), record(9, 60));
    EXPECT_EQ(header().free_list_head(1), a);  // the old slot is free
    EXPECT_EQ(raw(a, 4), slot_header(0x08, 24));
}

// Variable-length files keep each list in descending order of size and take
// the largest slot of a class; fixed-length files reuse slots last in,
// first out.
TEST_F(StoreRecords, FreeListsKeepTheirOrder) {
    // Slots of 12 to 30 bytes fall in class 1 (keys_end 8, maximum 100).
    create();
    std::map<uint32_t, uint32_t> by_size;
    for (uint32_t size = 12; size <= 31; ++size)
        by_size[size] = put(record(static_cast<int>(size), size - 4));
    for (uint32_t size : {22u, 26u, 24u, 30u, 25u, 23u})
        ASSERT_EQ(remove(by_size[size]), 0);
    EXPECT_EQ(list_sizes(1), (std::vector<uint32_t>{30, 26, 25, 24, 23, 22}));
    // With ten larger slots ahead of it a slot is written free, linked nowhere.
    for (uint32_t size : {21u, 29u, 28u, 27u, 20u})
        ASSERT_EQ(remove(by_size[size]), 0);
    EXPECT_EQ(list_sizes(1), (std::vector<uint32_t>{30, 29, 28, 27, 26, 25, 24, 23, 22, 21}));
    EXPECT_EQ(raw(by_size[20], 20), slot_header(0x08, 20) + le32(0) + le32(0) + "        ");
    ASSERT_EQ(remove(by_size[31]), 0);  // class 2
    EXPECT_EQ(header().free_list_head(2), by_size[31]);
    EXPECT_EQ(put(record(1, 8)), by_size[30]);  // the largest of the class, not the best fit
    EXPECT_EQ(header().free_list_size(1), 29u);

    create({.min_length = 20, .max_length = 20});
    uint32_t at[4];
    for (int i = 0; i < 4; ++i)
        at[i] = put(record(i, 20));
    for (int i : {0, 2, 1})
        ASSERT_EQ(remove(at[i]), 0);
    EXPECT_EQ(list_sizes(1), (std::vector<uint32_t>{24, 24, 24}));
    for (int i : {1, 2, 0})
        EXPECT_EQ(put(record(5 + i, 20)), at[i]);
    // A record longer than the head's slot goes to the end, never into it.
    const uint32_t small = put(record(8, 12));
    ASSERT_EQ(remove(small), 0);
    EXPECT_EQ(put(record(9, 20)), small + 16);
    EXPECT_EQ(list_sizes(1), (std::vector<uint32_t>{16}));
}

TEST_F(StoreRecords, SlotsUnderTwelveBytesAreOnlyMarkedFree) {
    create();
    const uint32_t at = put(record(1, 6));
    put(record(2, 20));
    ASSERT_EQ(remove(at), 0);
    EXPECT_EQ(raw(at, 10), slot_header(0x08, 10) + record(1, 6));
    for (int list = 1; list <= 6; ++list)
        EXPECT_EQ(header().free_list_head(list), 0u);
    EXPECT_EQ(remove(at), code(kIoError));  // no longer a record
}

// With immediate free space there is no append buffer, and the free-space
// table in the file's header follows every freed slot and index block.
TEST_F(StoreRecords, ImmediateFreeSpaceWritesTheTableAtOnce) {
    create({.options = engine::kOptionImmediateFreeSpace});
    const uint32_t a = put(record(1, 20));
    put(record(2, 20));
    EXPECT_EQ(file_size(), kHeaderSize + 48);
    ASSERT_EQ(remove(a), 0);
    EXPECT_EQ(raw(0xC4, 8), le32(24) + le32(a));
    EXPECT_EQ(put(record(3, 20)), a);
    EXPECT_EQ(raw_u32(0xC8), 0u);
    uint32_t block = 0;
    ASSERT_EQ(_vmq_get_index_block(handle.get(), &block, 0), 0);
    ASSERT_EQ(_vmq_release_index_block(handle.get(), block), 0);
    EXPECT_EQ(raw_u32(0xC0), block);
}

}  // namespace
}  // namespace kvr::store::test
