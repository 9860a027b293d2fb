// Sequence sets of the block format: the sizes, records and damage they
// refuse. Splits, merges and buffer reuse run in the block-format model
// tests.
#include "engine/results.h"
#include "engine/store/sequence_set.h"
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

class SequenceSets : public StoreTest {
protected:
    void start(FileSetup setup) {
        setup.block_format = true;
        setup.sequence_sets = true;
        if (setup.max_length == 100)
            setup.max_length = 4000;
        create(setup);
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
    int erase(int id) {
        const uint32_t address = index_.at(key_of(id));
        index_.erase(key_of(id));
        header().set_record_count(header().record_count() - 1);
        return _vmq_delete_sequence_set(handle.get(), address);
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
    start({.max_length = 4000});
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
    start({.max_length = 4064});
    EXPECT_EQ(put_set(1, 4057), IX_RECORD_TOO_LONG);
    EXPECT_EQ(put_set(1, 4056), 0);
    uint32_t address = index_.at(key_of(1));
    const unsigned char byte = 'x';
    EXPECT_EQ(_vmq_put_sequence_set(handle.get(), &address, &byte, 1, 2), -1);

    // Damage on disk: an address that starts no record, a count that
    // disagrees with the records, an owner that names no block.
    start({});
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
        start({});
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
        ASSERT_EQ(erase(1), 0);
        EXPECT_EQ(header().first_sequence_set(), zero_link ? kNoSet : damaged);
        EXPECT_EQ(header().avail_list_head(), first);
        if (!zero_link) {
            EXPECT_EQ(read(index_.at(key_of(2))), record(2, 3000));
        }
    }
}

}  // namespace
}  // namespace kvr::store::test
