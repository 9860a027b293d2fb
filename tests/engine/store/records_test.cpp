// Slot-format records: slot bytes, reuse of free space by size class,
// rewrites in place and by moving; blocks of the block format and index
// blocks of the slot format: taken from the end of the file, released onto
// a list, and reused last in, first out; sequence sets of the block format:
// the sizes, records and damage they refuse (splits, merges and buffer
// reuse run in the block-format model tests).
#include "engine/results.h"
#include "engine/store/sequence_set.h"
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
    // The index refuses: the new slot is freed again.
    handle->shift_result = engine::kLockViolation;
    EXPECT_EQ(rewrite(a, record(8, 60), &now), code(kLockViolation));
    EXPECT_EQ(get(a), record(7, 14));
    EXPECT_EQ(list(3), std::vector<uint32_t>{b + 24});  // the new slot, behind b
    EXPECT_EQ(raw(b + 24, 4), slot_header(0x08, 64));

    handle->shift_result = engine::kOk;
    handle->shifts.clear();
    ASSERT_EQ(rewrite(a, record(9, 60), &now), 0);
    EXPECT_EQ(now, b + 24);
    EXPECT_EQ(handle->shifts, (std::vector{std::tuple(record(9, 8), 1, int32_t(now - a))}));
    EXPECT_EQ(handle->last_record_address, now);  // a further rewrite replaces the moved one
    EXPECT_EQ(get(now), record(9, 60));
    EXPECT_EQ(header().free_list_head(1), a);  // the old slot is free
    EXPECT_EQ(raw(a, 4), slot_header(0x08, 24));
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

    // Fixed-length files reuse slots last in, first out, each one listed.
    create({.min_length = 20, .max_length = 20});
    uint32_t slots[4];
    for (uint32_t& slot : slots)
        slot = put(record(1, 20));
    for (int i : {0, 2, 1})
        ASSERT_EQ(remove(slots[i]), 0);
    EXPECT_EQ(list(1), (std::vector<uint32_t>{slots[1], slots[2], slots[0]}));
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

class SequenceSets : public StoreTest {
protected:
    void start(uint32_t max_length = 4000) {
        create({.max_length = max_length, .block_format = true, .sequence_sets = true});
        index_.clear();
    }

    static std::string key_of(int id) { return record(id, 8); }

    // Writes record `id` behind its predecessor in key order, as the engine
    // does; none of these writes moves a record.
    int put_set(int id, size_t length) {
        const std::string data = record(id, length);
        auto after = index_.lower_bound(key_of(id));
        uint32_t address = after == index_.begin() ? 0 : std::prev(after)->second;
        const int status = _vmq_put_sequence_set(
            handle.get(), &address, reinterpret_cast<const unsigned char*>(data.data()),
            static_cast<uint32_t>(data.size()), 0);
        if (status == 0) {
            index_[key_of(id)] = address;
            header().set_record_count(header().record_count() + 1);
        }
        return status;
    }
    // The record at `address`, read with the result `expected`.
    std::string read(uint32_t address, int expected = 0) {
        unsigned char* data = nullptr;
        uint32_t length = 0;
        const int got = _vmq_get_sequence_set(handle.get(), address, &data, &length);
        EXPECT_EQ(got, expected) << "read at " << address;
        return got == 0 ? std::string(reinterpret_cast<char*>(data), length) : "";
    }

    std::map<std::string, uint32_t> index_;
};

TEST_F(SequenceSets, SizesRecordsAndDamageThatAreRefused) {
    // Records above 65536 bytes have no set size.
    create({.max_length = 65537, .block_format = true});
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), -6);
    header().set_max_record_length(65536);
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), 0);
    // A file with records, or whose only blocks are free ones, keeps the set
    // size it was cut in.
    start();
    ASSERT_EQ(put_set(1, 100), 0);
    header().set_sequence_set_size(16384);
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), -5);
    header().set_record_count(0);
    header().set_first_sequence_set(kNoSet);
    header().set_avail_list_head(kHeaderSize);
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), -5);
    header().set_avail_list_head(0);
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), 0);
    EXPECT_EQ(header().sequence_set_size(), 4096u);

    // A record longer than the file's maximum, or than a set can hold with
    // its header, and an unknown mode.
    start(4064);
    EXPECT_EQ(put_set(1, 4057), IX_RECORD_TOO_LONG);
    EXPECT_EQ(put_set(1, 4056), 0);
    uint32_t address = index_.at(key_of(1));
    const unsigned char byte = 'x';
    EXPECT_EQ(_vmq_put_sequence_set(handle.get(), &address, &byte, 1, 2), -1);

    // Damage on disk: an address that starts no record, a count that
    // disagrees with the records, an owner that names no block.
    start();
    ASSERT_EQ(put_set(1, 100), 0);
    ASSERT_EQ(put_set(2, 100), 0);
    const uint32_t second = index_.at(key_of(2));
    reopen();
    EXPECT_EQ(read(second + 4, 2), "");
    reopen();
    patch(kHeaderSize + 4, le32(3));
    EXPECT_EQ(read(second, 2), "");
    patch(kHeaderSize + 4, le32(2));
    patch(second - 4, le32(5));
    reopen();
    EXPECT_EQ(read(second, 2), "");
    // An all-zero block reads as an empty set that no buffer keeps.
    ASSERT_EQ(_vmq_get_block(handle.get(), &address, 0), 0);
    EXPECT_EQ(read(address + 40, 2), "");
    EXPECT_EQ(resident_sequence_set(handle.get(), address), nullptr);
}

// A delete that cannot unlink its emptied set (the next set's count, or the
// next link, is damaged) fails and leaves the set as it was; repaired, the
// set goes to the avail list and the next set, if any, becomes the first.
TEST_F(SequenceSets, ADeleteThatCannotUnlinkItsSetLeavesTheSetAsItWas) {
    for (bool zero_link : {false, true}) {
        start();
        ASSERT_EQ(put_set(1, 3000), 0);
        uint32_t damaged = 0;
        if (zero_link) {
            ASSERT_EQ(_vmq_get_block(handle.get(), &damaged, 0), 0);
        } else {
            ASSERT_EQ(put_set(2, 3000), 0);  // a set of its own behind the first
            damaged = index_.at(key_of(2)) - 40;
        }
        const uint32_t first = header().first_sequence_set();
        reopen();
        patch(zero_link ? first + 24 : damaged + 4, le32(zero_link ? damaged : 7));
        EXPECT_EQ(_vmq_delete_sequence_set(handle.get(), index_.at(key_of(1))), code(kIoError));
        EXPECT_EQ(header().first_sequence_set(), first);
        EXPECT_EQ(read(index_.at(key_of(1))), record(1, 3000));
        EXPECT_EQ(resident_sequence_set(handle.get(), damaged), nullptr);
        reopen();
        patch(zero_link ? first + 24 : damaged + 4, le32(zero_link ? kNoSet : 1));
        header().set_record_count(header().record_count() - 1);
        ASSERT_EQ(_vmq_delete_sequence_set(handle.get(), index_.at(key_of(1))), 0);
        EXPECT_EQ(header().first_sequence_set(), zero_link ? kNoSet : damaged);
        EXPECT_EQ(header().avail_list_head(), first);
        EXPECT_TRUE(zero_link || read(index_.at(key_of(2))) == record(2, 3000));
    }
}

}  // namespace
}  // namespace kvr::store::test
