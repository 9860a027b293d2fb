// Sequence sets of the block format: the store on its own, with a map for
// the primary index that follows every move the store reports. After each
// scenario the chain of sets is walked and every set's header compared with
// its records, and every record is read back at the address the index has.
#include <set>

#include "engine/results.h"
#include "engine/store/sequence_set.h"
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

constexpr uint32_t kSet = 4096;
constexpr uint32_t kRoom = kSet - 32;

std::string le16(uint16_t value) {
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
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

    static std::string key_of(int id) { return record(id, 8); }

    // Writes record `id` behind its predecessor in key order, as the engine
    // does, and enters it in the index.
    int write(int id, size_t length, uint32_t* where = nullptr) {
        const std::string data = record(id, length);
        const std::string key = key_of(id);
        auto after = index_.lower_bound(key);
        uint32_t address = after == index_.begin() ? 0 : std::prev(after)->second;
        const int status = _vmq_put_sequence_set(
            handle.get(), &address, reinterpret_cast<const unsigned char*>(data.data()),
            static_cast<uint32_t>(data.size()), 0);
        if (status == 0) {
            index_[key] = address;
            contents_[key] = data;
            header().set_record_count(header().record_count() + 1);
            if (where != nullptr)
                *where = address;
        }
        return status;
    }
    int rewrite(int id, size_t length, char fill = 'R') {
        std::string data = record(id, length);
        std::fill(data.begin() + 8, data.end(), fill);
        uint32_t address = index_.at(key_of(id));
        const int status = _vmq_put_sequence_set(
            handle.get(), &address, reinterpret_cast<const unsigned char*>(data.data()),
            static_cast<uint32_t>(data.size()), 1);
        if (status == 0) {
            EXPECT_EQ(index_.at(key_of(id)), address) << "the index must follow the rewrite";
            contents_[key_of(id)] = data;
        }
        return status;
    }
    // Records from..to-1 (every step-th), each written or erased, as one
    // step of a scenario.
    void write_ids(int from, int to, size_t length, int step = 1) {
        for (int id = from; id < to; id += step)
            ASSERT_EQ(write(id, length), 0) << id;
    }
    void erase_ids(int from, int to) {
        for (int id = from; id < to; ++id)
            ASSERT_EQ(erase(id), 0) << id;
    }
    // The moves reported to the index: first key and record count of each.
    std::vector<std::pair<std::string, int>> moves() const {
        std::vector<std::pair<std::string, int>> out;
        for (const TestHandle::Shift& shift : handle->shifts)
            out.emplace_back(shift.key, shift.count);
        return out;
    }
    // The status of a read at address.
    int read_status(uint32_t address) {
        int status = -1;
        read(address, &status);
        return status;
    }
    void reopen_indexed() {
        reopen();
        handle->index = &index_;
    }

    int erase(int id) {
        const std::string key = key_of(id);
        const uint32_t address = index_.at(key);
        index_.erase(key);
        contents_.erase(key);
        header().set_record_count(header().record_count() - 1);
        return _vmq_delete_sequence_set(handle.get(), address);
    }
    std::string read(uint32_t address, int* status = nullptr) {
        unsigned char* data = nullptr;
        uint32_t length = 0;
        const int got = _vmq_get_sequence_set(handle.get(), address, &data, &length);
        if (status != nullptr)
            *status = got;
        return got == 0 ? std::string(reinterpret_cast<char*>(data), length) : "";
    }

    // A set as the store sees it: from its buffer, else from the file.
    std::string set_bytes(uint32_t block) const {
        const unsigned char* image = resident_sequence_set(handle.get(), block);
        if (image != nullptr)
            return std::string(reinterpret_cast<const char*>(image), kSet);
        return raw(block, kSet);
    }
    static uint32_t u32(const std::string& bytes, size_t at) {
        return platform::load_u32(reinterpret_cast<const unsigned char*>(bytes.data() + at));
    }

    struct SetInfo {
        uint32_t block;
        std::vector<std::string> keys;
    };

    // Walks the chain from first_sequence_set, checking each set against its
    // records and its neighbours, and every record against the index.
    std::vector<SetInfo> chain() {
        std::vector<SetInfo> sets;
        uint32_t block = header().first_sequence_set();
        uint32_t previous = kNoSet;
        std::set<uint32_t> seen;
        size_t records = 0;
        std::string last_key;
        while (names_set(block)) {
            EXPECT_TRUE(seen.insert(block).second) << "the chain loops at " << block;
            if (seen.size() > 1000)
                break;
            const std::string s = set_bytes(block);
            SetInfo info{block, {}};
            EXPECT_EQ(s.substr(0, 4), le16(4) + le16(0)) << block;
            const int32_t count = static_cast<int32_t>(u32(s, 4));
            EXPECT_GE(count, 1) << block;
            EXPECT_EQ(u32(s, 8), block + 40);
            EXPECT_EQ(u32(s, 28), previous) << "the previous link of " << block;
            uint32_t at = 32;
            uint32_t last = 0;
            for (int32_t n = 0; n < count && at + 8 <= kSet; ++n) {
                const uint32_t length = u32(s, at);
                EXPECT_EQ(u32(s, at + 4), block) << "owner of the record at " << block + at + 8;
                const std::string data = s.substr(at + 8, length);
                const std::string key = data.substr(0, 8);
                EXPECT_LT(last_key, key) << "keys out of order at " << block + at + 8;
                last_key = key;
                EXPECT_EQ(index_.count(key), 1u) << "record " << key << " is not in the index";
                if (index_.count(key) == 1) {
                    EXPECT_EQ(index_.at(key), block + at + 8) << key;
                    EXPECT_EQ(contents_.at(key), data) << key;
                }
                info.keys.push_back(key);
                last = at;
                at += 8 + length;
            }
            EXPECT_EQ(u32(s, 12), block + last + 8) << "last record address of " << block;
            EXPECT_EQ(u32(s, 16), kSet - at) << "free bytes of " << block;
            EXPECT_EQ(u32(s, 20), block + at) << "end address of " << block;
            records += info.keys.size();
            sets.push_back(info);
            previous = block;
            block = u32(s, 24);
        }
        EXPECT_EQ(records, index_.size());
        EXPECT_EQ(records, header().record_count());
        // Every record reads back where the index says it is.
        for (const auto& [key, address] : index_)
            EXPECT_EQ(read(address), contents_.at(key)) << key;
        return sets;
    }
    static std::vector<size_t> counts(const std::vector<SetInfo>& sets) {
        std::vector<size_t> n;
        for (const SetInfo& s : sets)
            n.push_back(s.keys.size());
        return n;
    }

    std::map<std::string, uint32_t> index_;
    std::map<std::string, std::string> contents_;
};

TEST_F(SequenceSets, TheFirstWriteStartsTheFirstSet) {
    uint32_t address = 0;
    ASSERT_EQ(write(1, 100, &address), 0);
    const uint32_t block = kHeaderSize;  // the first block after the header
    EXPECT_EQ(header().first_sequence_set(), block);
    EXPECT_EQ(address, block + 40);
    reopen_indexed();  // the set reaches the file
    const std::string expected = le16(4) + le16(0) + le32(1) + le32(block + 40) + le32(block + 40) +
                                 le32(kSet - 40 - 100) + le32(block + 40 + 100) + le32(0xFFFFFFFF) +
                                 le32(0xFFFFFFFF) + le32(100) + le32(block) + record(1, 100);
    EXPECT_EQ(raw(block, expected.size()), expected);
    EXPECT_EQ(file_size(), kHeaderSize + kSet);
    EXPECT_EQ(read(address), record(1, 100));
    chain();
}

TEST_F(SequenceSets, AscendingWritesFillEachSetAndNeverMoveARecord) {
    // 508 bytes a record: eight fill a set exactly.
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 20, 500));
    EXPECT_TRUE(handle->shifts.empty());
    const auto sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{8, 8, 4}));
    EXPECT_EQ(u32(set_bytes(sets[0].block), 16), 0u);
    reopen_indexed();
    chain();
}

TEST_F(SequenceSets, AnInsertIntoAFullSetSplitsItAndTheRecordLandsInItsHalf) {
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 16, 500, 2));  // one full set: 0 2 4 ... 14
    handle->shifts.clear();
    ASSERT_EQ(write(5, 500), 0);  // behind 4: in the kept half
    auto sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{5, 4}));
    EXPECT_EQ(sets[0].keys[3], key_of(5));
    // The moved half was reported once, then the record behind the new one.
    ASSERT_EQ(moves(), (std::vector<std::pair<std::string, int>>{{key_of(8), 4}, {key_of(6), 1}}));
    EXPECT_EQ(handle->shifts[1].delta, 508);

    // Fill the second set, then insert in its middle: the record follows
    // its predecessor into the moved half.
    ASSERT_NO_FATAL_FAILURE(write_ids(15, 23, 500, 2));
    ASSERT_EQ(counts(chain()), (std::vector<size_t>{5, 8}));
    ASSERT_EQ(write(13, 500), 0);
    sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{5, 5, 4}));
    EXPECT_EQ(sets[1].keys[3], key_of(13));

    // In front of every record of a full first set: it splits, and the
    // record stays in it, first.
    start({});
    ASSERT_NO_FATAL_FAILURE(write_ids(10, 18, 500));
    const uint32_t first = header().first_sequence_set();
    ASSERT_EQ(write(1, 500), 0);
    sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{5, 4}));
    EXPECT_EQ(sets[0].keys[0], key_of(1));
    EXPECT_EQ(header().first_sequence_set(), first);
}

TEST_F(SequenceSets, RecordsOfUnevenSizesSplitUntilTheNewOneFits) {
    // A short, a long and a short record; a record behind the long one fits
    // in neither half of one split.
    ASSERT_EQ(write(0, 10), 0);
    ASSERT_EQ(write(2, 3040), 0);
    ASSERT_EQ(write(4, 10), 0);
    ASSERT_EQ(write(3, 1000), 0);
    const auto sets = chain();
    EXPECT_EQ(sets.size(), 3u);
    // And in front of a full first set whose one record fills it.
    start({});
    ASSERT_EQ(write(5, 4000), 0);
    ASSERT_EQ(write(1, 2000), 0);
    EXPECT_EQ(counts(chain()), (std::vector<size_t>{1, 1}));
}

TEST_F(SequenceSets, RewritesKeepTheirPlaceOrMoveTheRecordsBehindThem) {
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 6, 100));
    const uint32_t before = index_.at(key_of(2));
    handle->shifts.clear();
    ASSERT_EQ(rewrite(2, 100, 'S'), 0);  // same length: only the data
    EXPECT_TRUE(handle->shifts.empty());
    EXPECT_EQ(index_.at(key_of(2)), before);
    ASSERT_EQ(rewrite(2, 160), 0);  // longer: the three behind move up
    ASSERT_EQ(moves(), (std::vector<std::pair<std::string, int>>{{key_of(3), 3}}));
    EXPECT_EQ(handle->shifts[0].delta, 60);
    ASSERT_EQ(rewrite(2, 40), 0);  // shorter: they move down
    EXPECT_EQ(handle->shifts.back().delta, -120);
    ASSERT_EQ(rewrite(5, 300), 0);  // the last record: nothing behind it
    EXPECT_EQ(handle->shifts.size(), 2u);
    chain();
}

TEST_F(SequenceSets, ARewriteThatOutgrowsAFullSetMovesOnlyWhatMust) {
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 8, 500));  // one full set
    // The last record grows: it leaves for a new set behind; the record
    // exists once, where the index says.
    ASSERT_EQ(rewrite(7, 900), 0);
    auto sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{7, 1}));
    EXPECT_EQ(index_.at(key_of(7)), sets[1].block + 40);
    // A record in the middle grows: the set splits first.
    ASSERT_EQ(write(8, 500), 0);  // into the second set
    ASSERT_EQ(rewrite(3, 1500), 0);
    sets = chain();
    EXPECT_EQ(sets.size(), 3u);
    reopen_indexed();
    chain();
}

TEST_F(SequenceSets, DeletesMergeWithARoomyNeighbourElseBalanceLeavingTheOddRecordLeft) {
    // Three full sets of eight.
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 24, 500));
    ASSERT_EQ(counts(chain()), (std::vector<size_t>{8, 8, 8}));
    // The middle set down to three: both neighbours full, so it balances
    // with the next (no fewer free bytes in the previous): 3 + 8 = 11
    // records, six on the left.
    ASSERT_NO_FATAL_FAILURE(erase_ids(8, 13));
    auto sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{8, 6, 5}));
    // The third set down to four (half full, not under-full), the middle
    // one to three: the previous one is full, the next has room for it, so
    // the next is merged into the middle one and its block freed.
    ASSERT_EQ(erase(19), 0);
    ASSERT_EQ(counts(chain()), (std::vector<size_t>{8, 6, 4}));
    const uint32_t third = chain()[2].block;
    ASSERT_NO_FATAL_FAILURE(erase_ids(13, 16));
    sets = chain();
    EXPECT_EQ(counts(sets), (std::vector<size_t>{8, 7}));
    EXPECT_EQ(header().avail_list_head(), third);
    EXPECT_EQ(raw(third, 2), le16(8));

    // Balancing with the previous set when it is the fuller one: 8 + 3.
    start({});
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 16, 500));
    ASSERT_NO_FATAL_FAILURE(erase_ids(8, 13));
    EXPECT_EQ(counts(chain()), (std::vector<size_t>{6, 5}));
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
    ASSERT_EQ(write(1, 3000), 0);
    EXPECT_EQ(index_.at(key_of(1)), sets[2].block + 40);
    EXPECT_EQ(index_.at(key_of(2)), sets[0].block + 40);
    EXPECT_EQ(header().first_sequence_set(), sets[2].block);
    EXPECT_EQ(header().avail_list_head(), sets[1].block);
    chain();
    ASSERT_NO_FATAL_FAILURE(erase_ids(1, 4));
    EXPECT_FALSE(names_set(header().first_sequence_set()));
    EXPECT_EQ(header().record_count(), 0u);
    // The file starts over with its first record, in a freed block.
    ASSERT_EQ(write(7, 50), 0);
    EXPECT_EQ(chain().size(), 1u);
    EXPECT_EQ(file_size(), kHeaderSize + 4 * kSet);
}

TEST_F(SequenceSets, AFailingShiftLeavesEverySetMatchingItsRecords) {
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 16, 500, 2));
    handle->shift_result = 17;
    // The split and the move behind the new record are both refused by the
    // index; the store still settles both sets and reports the failure.
    std::string data = record(5, 500);
    uint32_t address = index_.at(key_of(4));
    EXPECT_EQ(_vmq_put_sequence_set(handle.get(), &address,
                                    reinterpret_cast<const unsigned char*>(data.data()), 500, 0),
              17);
    handle->shift_result = 0;
    reopen();
    for (uint32_t block : {kHeaderSize, kHeaderSize + kSet}) {
        const std::string s = raw(block, kSet);
        const uint32_t count = u32(s, 4);
        uint32_t at = 32;
        uint32_t last = 0;
        for (uint32_t n = 0; n < count; ++n) {
            EXPECT_EQ(u32(s, at + 4), block);
            last = at;
            at += 8 + u32(s, at);
        }
        EXPECT_EQ(u32(s, 12), block + last + 8);
        EXPECT_EQ(u32(s, 16), kSet - at);
        EXPECT_EQ(u32(s, 20), block + at);
    }
    EXPECT_EQ(u32(raw(kHeaderSize, 8), 4) + u32(raw(kHeaderSize + kSet, 8), 4), 9u);
}

TEST_F(SequenceSets, ChangedBuffersAreWrittenBackWhenReused) {
    // Sets of 65568 bytes: a pool of sixteen buffers. Forty sets of one
    // record each, written, then all rewritten, so that changed sets are
    // pushed out of the pool and read in again.
    start({.max_length = 40000});
    EXPECT_EQ(header().sequence_set_size(), 65568u);
    EXPECT_EQ(header().index_block_size(), 65568u);
    ASSERT_NO_FATAL_FAILURE(write_ids(0, 40, 40000));
    for (int id = 0; id < 40; ++id)
        ASSERT_EQ(rewrite(id, 30000), 0) << id;
    for (const auto& [key, address] : index_)
        ASSERT_EQ(read(address), contents_.at(key));
    reopen();
    for (const auto& [key, address] : index_)
        ASSERT_EQ(read(address), contents_.at(key));
}

TEST_F(SequenceSets, SizesRecordsAndDamageThatAreRefused) {
    // Records above 65536 bytes have no set size.
    create({.max_length = 65537, .block_format = true});
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), -6);
    header().set_max_record_length(65536);
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), 0);
    // A file with records keeps the set size it was cut in.
    start({.max_length = 4000});
    ASSERT_EQ(write(1, 100), 0);
    header().set_sequence_set_size(16384);
    EXPECT_EQ(_vmq_allocate_sequence_sets(handle.get()), -5);
    // So does one whose only blocks are free ones.
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
    EXPECT_EQ(write(1, 4057), IX_RECORD_TOO_LONG);
    EXPECT_EQ(write(1, 4056), 0);
    uint32_t address = index_.at(key_of(1));
    const unsigned char byte = 'x';
    EXPECT_EQ(_vmq_put_sequence_set(handle.get(), &address, &byte, 1, 2), -1);

    // Damage on disk: a count that disagrees with the records, an owner
    // that names no block, an address that starts no record.
    start({});
    ASSERT_NO_FATAL_FAILURE(write_ids(1, 3, 100));
    const uint32_t second = index_.at(key_of(2));
    reopen();
    EXPECT_EQ(read_status(second + 4), 2);
    reopen();
    patch(kHeaderSize + 4, le32(3));
    EXPECT_EQ(read_status(second), 2);
    patch(kHeaderSize + 4, le32(2));
    patch(second - 4, le32(5));
    reopen();
    EXPECT_EQ(read_status(second), 2);
    // An all-zero block reads as an empty set: no record in it, and no
    // buffer keeps it.
    ASSERT_EQ(_vmq_get_block(handle.get(), &address, 0), 0);
    EXPECT_EQ(read_status(address + 40), 2);
    EXPECT_EQ(resident_sequence_set(handle.get(), address), nullptr);
}

TEST_F(SequenceSets, ADeleteThatCannotUnlinkItsSetLeavesTheSetAsItWas) {
    start({});
    ASSERT_EQ(write(1, 3000), 0);
    ASSERT_EQ(write(2, 3000), 0);  // a set of its own behind the first
    const uint32_t first = header().first_sequence_set();
    const uint32_t second = index_.at(key_of(2)) - 40;
    reopen();
    patch(second + 4, le32(7));  // the second set's count is damaged on disk
    EXPECT_EQ(_vmq_delete_sequence_set(handle.get(), index_.at(key_of(1))), 2);
    // The first set still holds its record and is still the first.
    EXPECT_EQ(header().first_sequence_set(), first);
    int status = -1;
    EXPECT_EQ(read(index_.at(key_of(1)), &status), record(1, 3000));
    EXPECT_EQ(status, 0);

    // A link that names an all-zero block: the delete fails, and no buffer
    // keeps the empty image it read there.
    start({});
    ASSERT_EQ(write(1, 3000), 0);
    uint32_t zero_block = 0;
    ASSERT_EQ(_vmq_get_block(handle.get(), &zero_block, 0), 0);
    const uint32_t only = header().first_sequence_set();
    reopen();
    patch(only + 24, le32(zero_block));  // the next link
    EXPECT_EQ(_vmq_delete_sequence_set(handle.get(), index_.at(key_of(1))), 2);
    EXPECT_EQ(resident_sequence_set(handle.get(), zero_block), nullptr);
}

}  // namespace
}  // namespace kvr::store::test
