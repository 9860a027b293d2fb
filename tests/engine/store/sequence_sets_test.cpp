// Sequence sets of the block format, with a map for the primary index that
// follows every move the store reports, checked by a walk over the chain.
#include <set>

#include "engine/results.h"
#include "engine/store/sequence_set.h"
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

constexpr uint32_t kSet = 4096;
using Counts = std::vector<size_t>;

std::string le16(uint16_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}
uint32_t u32(const std::string& bytes, size_t at) {
    return platform::load_u32(reinterpret_cast<const unsigned char*>(bytes.data() + at));
}

class SequenceSets : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        start({});
    }

    void start(FileSetup setup) {
        setup.block_format = true;
        setup.sequence_sets = true;
        if (setup.max_length == 100)
            setup.max_length = 4000;
        create(setup);
        index_.clear();
        contents_.clear();
        handle->index = &index_;
    }
    void reopen_indexed() {
        reopen();
        handle->index = &index_;
    }

    static std::string key_of(int id) { return record(id, 8); }

    // Writes record `id` behind its predecessor in key order (mode 0), as
    // the engine does, or rewrites it (mode 1) with new data behind its key.
    int put_set(int id, size_t length, int mode = 0) {
        std::string data = record(id, length);
        if (mode == 1)
            std::fill(data.begin() + 8, data.end(), 'R');
        auto after = index_.lower_bound(key_of(id));
        uint32_t address = mode == 1                 ? after->second
                           : after == index_.begin() ? 0
                                                     : std::prev(after)->second;
        const int status = _vmq_put_sequence_set(
            handle.get(), &address, reinterpret_cast<const unsigned char*>(data.data()),
            static_cast<uint32_t>(data.size()), mode);
        if (status == 0) {
            EXPECT_TRUE(mode == 0 || index_.at(key_of(id)) == address) << "index not followed";
            index_[key_of(id)] = address;
            contents_[key_of(id)] = data;
            header().set_record_count(header().record_count() + (mode == 0));
        }
        return status;
    }
    int rewrite(int id, size_t length) { return put_set(id, length, 1); }
    int erase(int id) {
        const uint32_t address = index_.at(key_of(id));
        index_.erase(key_of(id));
        contents_.erase(key_of(id));
        header().set_record_count(header().record_count() - 1);
        return _vmq_delete_sequence_set(handle.get(), address);
    }
    // Records from..to-1 (every step-th), each written or erased.
    void write_ids(int from, int to, size_t length, int step = 1) {
        for (int id = from; id < to; id += step)
            ASSERT_EQ(put_set(id, length), 0) << id;
    }
    void erase_ids(int from, int to) {
        for (int id = from; id < to; ++id)
            ASSERT_EQ(erase(id), 0) << id;
    }
    // The record at `address`, read with the result `expected`.
    std::string read(uint32_t address, int expected = 0) {
        unsigned char* data = nullptr;
        uint32_t length = 0;
        const int got = _vmq_get_sequence_set(handle.get(), address, &data, &length);
        EXPECT_EQ(got, expected) << "read at " << address;
        return got == 0 ? std::string(reinterpret_cast<char*>(data), length) : "";
    }

    // A set as the store sees it: from its buffer, else from the file.
    std::string set_bytes(uint32_t block) const {
        const unsigned char* image = resident_sequence_set(handle.get(), block);
        if (image != nullptr)
            return std::string(reinterpret_cast<const char*>(image), kSet);
        return raw(block, kSet);
    }
    // Checks a set's header against its records; returns them.
    std::vector<std::string> check_set(uint32_t block, const std::string& s) const {
        std::vector<std::string> records;
        uint32_t at = 32, last = 0;
        for (uint32_t n = 0; n < u32(s, 4) && at + 8 <= kSet; ++n) {
            EXPECT_EQ(u32(s, at + 4), block) << "owner of the record at " << block + at + 8;
            records.push_back(s.substr(at + 8, u32(s, at)));
            last = at;
            at += 8 + u32(s, at);
        }
        EXPECT_EQ(u32(s, 12), block + last + 8) << "last record address of " << block;
        EXPECT_EQ(u32(s, 16), kSet - at) << "free bytes of " << block;
        EXPECT_EQ(u32(s, 20), block + at) << "end address of " << block;
        return records;
    }

    struct SetInfo {
        uint32_t block;
        std::vector<std::string> keys;
    };

    // Walks the chain from first_sequence_set, checking each set against its
    // records and its neighbours, and every record against the index.
    std::vector<SetInfo> chain() {
        std::vector<SetInfo> sets;
        uint32_t previous = kNoSet;
        std::set<uint32_t> seen;
        size_t records = 0;
        std::string last_key;
        for (uint32_t block = header().first_sequence_set(); names_set(block);) {
            EXPECT_TRUE(seen.insert(block).second) << "the chain loops at " << block;
            if (seen.size() > 1000)
                break;
            const std::string s = set_bytes(block);
            EXPECT_EQ(s.substr(0, 4), le16(4) + le16(0)) << block;
            EXPECT_GE(static_cast<int32_t>(u32(s, 4)), 1) << block;
            EXPECT_EQ(u32(s, 8), block + 40);
            EXPECT_EQ(u32(s, 28), previous) << "the previous link of " << block;
            SetInfo info{block, {}};
            uint32_t at = 40;
            for (const std::string& data : check_set(block, s)) {
                const std::string key = data.substr(0, 8);
                EXPECT_LT(last_key, key) << "keys out of order at " << block + at;
                last_key = key;
                EXPECT_EQ(index_.count(key) == 1 ? index_.at(key) : 0, block + at) << key;
                EXPECT_EQ(contents_[key], data) << key;
                info.keys.push_back(key);
                at += 8 + static_cast<uint32_t>(data.size());
            }
            records += info.keys.size();
            sets.push_back(info);
            previous = block;
            block = u32(s, 24);
        }
        EXPECT_EQ(records, index_.size());
        EXPECT_EQ(records, header().record_count());
        for (const auto& [key, address] : index_)
            EXPECT_EQ(read(address), contents_.at(key)) << key;
        return sets;
    }
    Counts counts() {
        Counts n;
        for (const SetInfo& s : chain())
            n.push_back(s.keys.size());
        return n;
    }

    std::map<std::string, uint32_t> index_;
    std::map<std::string, std::string> contents_;
};

TEST_F(SequenceSets, TheFirstWriteStartsTheFirstSet) {
    ASSERT_EQ(put_set(1, 100), 0);
    const uint32_t block = kHeaderSize;  // the first block after the header
    EXPECT_EQ(header().first_sequence_set(), block);
    EXPECT_EQ(index_.at(key_of(1)), block + 40);
    reopen_indexed();  // the set reaches the file
    const std::string expected = le16(4) + le16(0) + le32(1) + le32(block + 40) + le32(block + 40) +
                                 le32(kSet - 40 - 100) + le32(block + 40 + 100) + le32(0xFFFFFFFF) +
                                 le32(0xFFFFFFFF) + le32(100) + le32(block) + record(1, 100);
    EXPECT_EQ(raw(block, expected.size()), expected);
    EXPECT_EQ(file_size(), kHeaderSize + kSet);
    EXPECT_EQ(counts(), Counts{1});
}

TEST_F(SequenceSets, RewritesKeepTheirPlaceOrMoveTheRecordsBehindThem) {
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 6, 100));
    const uint32_t before = index_.at(key_of(2));
    ASSERT_EQ(rewrite(2, 100), 0);  // same length: only the data
    EXPECT_TRUE(handle->shifts.empty());
    EXPECT_EQ(index_.at(key_of(2)), before);
    ASSERT_EQ(rewrite(2, 160), 0);  // longer: the three behind move up
    ASSERT_EQ(handle->shifts.size(), 1u);
    const TestHandle::Shift& shift = handle->shifts[0];
    EXPECT_EQ(std::tuple(shift.key, shift.count, shift.delta), std::tuple(key_of(3), 3, 60));
    ASSERT_EQ(rewrite(2, 40), 0);  // shorter: they move down
    EXPECT_EQ(handle->shifts.back().delta, -120);
    ASSERT_EQ(rewrite(5, 300), 0);  // the last record: nothing behind it
    EXPECT_EQ(handle->shifts.size(), 2u);
    chain();

    // Out of a full set: the last record leaves for a new set behind; one in
    // the middle splits the set first.
    start({});
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 8, 500));
    ASSERT_EQ(rewrite(7, 900), 0);
    EXPECT_EQ(counts(), (Counts{7, 1}));
    EXPECT_EQ(index_.at(key_of(7)), chain()[1].block + 40);
    ASSERT_EQ(put_set(8, 500), 0);  // into the second set
    ASSERT_EQ(rewrite(3, 1500), 0);
    EXPECT_EQ(chain().size(), 3u);
    reopen_indexed();
    EXPECT_EQ(chain().size(), 3u);
}

TEST_F(SequenceSets, DeletesMergeWithARoomyNeighbourElseBalanceLeavingTheOddRecordLeft) {
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 24, 500));
    ASSERT_EQ(counts(), (Counts{8, 8, 8}));
    // The middle set down to three: both neighbours full, so it balances
    // with the next (no fewer free bytes in the previous): 3 + 8 = 11
    // records, six on the left.
    ASSERT_NO_FATAL_FAILURE(erase_ids(8, 13));
    EXPECT_EQ(counts(), (Counts{8, 6, 5}));
    // The third set down to four (half full, not under-full), the middle
    // one to three: the previous one is full, the next has room for it, so
    // the next is merged into the middle one and its block freed.
    ASSERT_EQ(erase(19), 0);
    ASSERT_EQ(counts(), (Counts{8, 6, 4}));
    const uint32_t third = chain()[2].block;
    ASSERT_NO_FATAL_FAILURE(erase_ids(13, 16));
    EXPECT_EQ(counts(), (Counts{8, 7}));
    EXPECT_EQ(header().avail_list_head(), third);
    EXPECT_EQ(raw(third, 2), le16(8));

    // Balancing with the previous set when it is the fuller one: 8 + 3.
    start({});
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 16, 500));
    ASSERT_NO_FATAL_FAILURE(erase_ids(8, 13));
    EXPECT_EQ(counts(), (Counts{6, 5}));
}

TEST_F(SequenceSets, AnEmptiedSetGoesToTheAvailListAndTheFirstSetMoves) {
    // 3000-byte records: one per set.
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 4, 3000));
    auto sets = chain();
    ASSERT_EQ(sets.size(), 4u);
    ASSERT_EQ(erase(1), 0);
    EXPECT_EQ(header().avail_list_head(), sets[1].block);
    EXPECT_EQ(raw(sets[1].block, 32), le16(8) + std::string(22, '\0') + le32(0) + le32(0));
    EXPECT_EQ(chain().size(), 3u);
    ASSERT_EQ(erase(0), 0);  // the first set empties: the second becomes first
    EXPECT_EQ(header().first_sequence_set(), sets[2].block);
    EXPECT_EQ(header().avail_list_head(), sets[0].block);
    EXPECT_EQ(chain().size(), 2u);
    // In front of the full first set: it splits into the block freed last,
    // and the new record stays in front.
    ASSERT_EQ(put_set(1, 3000), 0);
    EXPECT_EQ(index_.at(key_of(1)), sets[2].block + 40);
    EXPECT_EQ(index_.at(key_of(2)), sets[0].block + 40);
    EXPECT_EQ(header().first_sequence_set(), sets[2].block);
    EXPECT_EQ(header().avail_list_head(), sets[1].block);
    chain();
    ASSERT_NO_FATAL_FAILURE(erase_ids(1, 4));
    EXPECT_FALSE(names_set(header().first_sequence_set()));
    EXPECT_EQ(header().record_count(), 0u);
    // The file starts over with its first record, in a freed block.
    ASSERT_EQ(put_set(7, 50), 0);
    EXPECT_EQ(chain().size(), 1u);
    EXPECT_EQ(file_size(), kHeaderSize + 4 * kSet);
}

TEST_F(SequenceSets, AFailingShiftLeavesEverySetMatchingItsRecords) {
    // The split and the move behind the new record are both refused by the
    // index; the store still settles both sets and reports the failure.
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 16, 500, 2));
    handle->shift_result = 17;
    EXPECT_EQ(put_set(5, 500), 17);
    handle->shift_result = 0;
    reopen();
    const std::string first = raw(kHeaderSize, kSet), second = raw(kHeaderSize + kSet, kSet);
    EXPECT_EQ(check_set(kHeaderSize, first).size() + check_set(kHeaderSize + kSet, second).size(),
              9u);
}

TEST_F(SequenceSets, ChangedBuffersAreWrittenBackWhenReused) {
    // Sets of 65568 bytes: a pool of sixteen buffers for forty changed sets,
    // pushed out of the pool and read in again.
    start({.max_length = 40000});
    EXPECT_EQ(header().sequence_set_size(), 65568u);
    EXPECT_EQ(header().index_block_size(), 65568u);
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 40, 40000));
    for (int id = 0; id < 40; ++id)
        ASSERT_EQ(rewrite(id, 30000), 0) << id;
    for (int pass = 0; pass < 2; ++pass) {
        for (const auto& [key, address] : index_)
            ASSERT_EQ(read(address), contents_.at(key));
        reopen();
    }
}

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
    ASSERT_NO_FATAL_FAILURE(write_ids(1, 3, 100));
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
// next link, is damaged) fails and leaves the set as it was.
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
        EXPECT_EQ(_vmq_delete_sequence_set(handle.get(), index_.at(key_of(1))), 2);
        EXPECT_EQ(header().first_sequence_set(), first);
        EXPECT_EQ(read(index_.at(key_of(1))), record(1, 3000));
        EXPECT_EQ(resident_sequence_set(handle.get(), damaged), nullptr);
    }
}

}  // namespace
}  // namespace kvr::store::test
