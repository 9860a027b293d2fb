// The file checker on a small sound file, then on copies of it with one
// thing damaged at a time: each damage must be reported, with its place.
#include "engine/isam/file_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/isam/ix_handle.h"
#include "engine/store/slot.h"
#include "engine/store/store.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"
#include "platform/coding.h"
#include "support/attribute_block.h"
#include "support/temp_dir.h"
#include "vmqrmkvr/isam.h"

namespace {

using ::testing::HasSubstr;

using kvr::isam::check_file;
using kvr::isam::FileProblem;
using kvr::isam::FileSummary;
using kvr::platform::load_u32;
using kvr::platform::store_u32;

// Records of 13 to 200 bytes: prime key at 0 (6 bytes), a unique alternate
// key at 6 (4 bytes), an alternate key with duplicates at 10 (3 bytes).
constexpr uint32_t kLongest = 200;

std::string record(int prime, int unique, const char* group, size_t length) {
    char head[40];
    std::snprintf(head, sizeof head, "%06d%04d%-3.3s", prime, unique, group);
    std::string r(head, 13);
    r.resize(length, 'x');
    return r;
}

std::string prime_key(int prime) {
    return record(prime, 0, "", 6);
}

// Where a report places the damage: key, file offset, page entry.
using Place = std::tuple<int, uint32_t, int>;

// A file created with `block` in `format` and opened for update, with the
// checker's verdict on it.
class CheckedFile : public kvr::test::TempDirTest {
protected:
    void create_and_open(const char* file, const std::vector<unsigned char>& block,
                         kvr::isam::StoreFormat format) {
        name_ = path(file);
        ASSERT_EQ(kvr::engine::code(kvr::isam::create_indexed_file(
                      block.data(), static_cast<uint32_t>(block.size()), name_.c_str(), 0, format)),
                  0);
        ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, name_.data(), IX_MODE_UPDATE), 0);
    }
    void TearDown() override {
        if (slot_ != nullptr)
            _vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0);
        TempDirTest::TearDown();
    }

    ix_handle* handle() const { return static_cast<ix_handle*>(slot_); }
    kvr::engine::FileHeader header() const { return handle()->header(); }

    int write(const std::string& r) {
        uint32_t length = static_cast<uint32_t>(r.size());
        unsigned char key_area[8] = {};
        return _vmqpIsam(IX_WRITE, &slot_, const_cast<char*>(r.data()), &length, key_area, 0);
    }
    int erase_prime(int prime) {
        std::string key = prime_key(prime);
        uint32_t length = 0;
        const int found = _vmqpIsam(IX_READ_EQ, &slot_, nullptr, &length, key.data(), 0);
        return found != 0 ? found : _vmqpIsam(IX_DELETE, &slot_, nullptr, nullptr, nullptr, 0);
    }

    // The check's report; "" when the file is sound.
    std::string problem(FileSummary* summary = nullptr) {
        FileProblem p;
        return check_file(handle(), &p, summary) ? "" : kvr::isam::describe(p);
    }
    // The check must report `what`; where it places the damage.
    Place damage(const std::string& what) {
        FileProblem p;
        EXPECT_FALSE(check_file(handle(), &p));
        EXPECT_THAT(kvr::isam::describe(p), HasSubstr(what));
        return {p.key, p.offset, p.entry};
    }

    std::string name_;
    void* slot_ = nullptr;
};

class FileChecker : public CheckedFile {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(create_and_open(
            "checked.dat",
            kvr::test::attribute_block(13, kLongest, {{1, 6}, {7, 4}, {11, 3, true}}),
            kvr::isam::StoreFormat::kSlots));
        // Ten records, four of them in group AAA; then two deleted, so that
        // list 1 holds a slot of 44 bytes followed by one of 34.
        const size_t lengths[] = {20, 40, 30, 25, 60, 13, 90, 45, 33, 70};
        for (int i = 0; i < 10; ++i) {
            const char* group = i % 3 == 0 ? "AAA" : i % 3 == 1 ? "BBB" : "CCC";
            ASSERT_LE(write(record(i + 1, 100 + i, group, lengths[i])), 12);
        }
        ASSERT_EQ(erase_prime(2), 0);  // 40 bytes: a slot of 44
        ASSERT_EQ(erase_prime(3), 0);  // 30 bytes: a slot of 34
    }

    // The root leaf of key k's tree, in the cache, marked modified so that
    // a change reaches the file.
    unsigned char* root_leaf(int k) {
        kvr::tree::Tree* tree = handle()->tree(k);
        kvr::tree::Status result = kvr::tree::kTreeOk;
        tree->begin_operation();
        unsigned char* page = kvr::tree::get_page(tree, tree->root(), &result);
        EXPECT_NE(page, nullptr);
        EXPECT_TRUE(kvr::tree::is_leaf(page));
        kvr::tree::set_page_modified(page, true);
        return page;
    }
    // The entry of key k's root leaf whose key (or, by_data, whose data)
    // starts with `bytes`, and that entry's data.
    int entry_of(int k, const std::string& bytes, bool by_data = false) {
        const kvr::tree::Tree& tree = *handle()->tree(k);
        unsigned char* page = root_leaf(k);
        for (int i = 0; i < kvr::tree::page_count(page); ++i) {
            const unsigned char* at =
                by_data ? kvr::tree::leaf_data(tree, page, i) : kvr::tree::leaf_key(tree, page, i);
            if (std::memcmp(at, bytes.data(), bytes.size()) == 0)
                return i;
        }
        ADD_FAILURE() << "no entry " << bytes << " in key " << k;
        return 0;
    }
    unsigned char* data_of(int k, int entry) {
        return kvr::tree::leaf_data(*handle()->tree(k), root_leaf(k), entry);
    }
    uint32_t address_of(int prime) { return load_u32(data_of(0, entry_of(0, prime_key(prime)))); }

    kvr::store::FreeHeader free_header(uint32_t at) const {
        unsigned char bytes[12];
        uint32_t got = 0;
        EXPECT_TRUE(handle()->io.read_at(at, bytes, 12, &got).ok());
        return kvr::store::decode_free_header(bytes);
    }
    void put_free_header(uint32_t at, const kvr::store::FreeHeader& free) const {
        unsigned char bytes[12];
        kvr::store::encode_free_header(bytes, free);
        ASSERT_TRUE(handle()->io.write_at(at, bytes, 12).ok());
    }
};

TEST_F(FileChecker, ReportsEntriesThatDoNotMatchTheRecords) {
    const uint32_t root0 = handle()->tree(0)->root();
    const int fourth = entry_of(0, "000004");
    // A prime entry naming the free slot of a deleted record: the place is
    // the entry that is wrong, not the address it names.
    const uint32_t free_slot = header().free_list_head(1);
    const uint32_t kept = load_u32(data_of(0, fourth));
    store_u32(data_of(0, fourth), free_slot);
    EXPECT_EQ(damage("names " + std::to_string(free_slot) + ", which is a free slot"),
              Place(0, root0, fourth));
    store_u32(data_of(0, fourth), kept);
    ASSERT_EQ(problem(), "");

    // An alternate entry naming a record that is not there.
    const int unique = entry_of(1, "0105");
    std::memcpy(data_of(1, unique), "000099", 6);
    EXPECT_EQ(std::get<0>(damage("which no record has")), 1);
    std::memcpy(data_of(1, unique), "000006", 6);
    ASSERT_EQ(problem(), "");

    // Record 4 indexed twice in group AAA (records 1, 4, 7 and 10 are AAA):
    // the entry of record 7 names record 4.
    const int seventh = entry_of(2, "000007", true);
    std::memcpy(data_of(2, seventh), "000004", 6);
    EXPECT_EQ(damage("has two entries"), Place(2, handle()->tree(2)->root(), seventh));
    EXPECT_THAT(problem(), HasSubstr("\"000004\" at " + std::to_string(address_of(4))));
    std::memcpy(data_of(2, seventh), "000007", 6);
    ASSERT_EQ(problem(), "");

    header().set_record_count(9);
    EXPECT_THAT(problem(), HasSubstr("record_count is 9, the file has 8"));
    header().set_record_count(8);
    EXPECT_EQ(problem(), "");
}

TEST_F(FileChecker, ReportsBrokenFreeListsAndAnIndexBlockBothFreeAndInUse) {
    // List 1 holds the slot of 44 bytes, then the one of 34.
    const uint32_t first = header().free_list_head(1);
    ASSERT_EQ(header().free_list_size(1), 44u);
    const kvr::store::FreeHeader head = free_header(first);
    const uint32_t second = head.next;
    ASSERT_EQ(head.next_size, 34u);
    const kvr::store::FreeHeader tail = free_header(second);
    ASSERT_EQ(tail.next, 0u);
    const uint32_t live = address_of(5);

    // The second slot linked into a live record, then back to the first: the
    // place is the slot whose link is wrong.
    put_free_header(second, {0x08, 34, live, 64});
    EXPECT_EQ(std::get<1>(damage("names " + std::to_string(live) + ", which is a live record")),
              second);
    put_free_header(second, {0x08, 34, first, 44});
    EXPECT_EQ(std::get<1>(damage("names " + std::to_string(first) + " again")), second);

    // Out of order: the smaller slot first.
    put_free_header(first, {0x08, 44, 0, 0});
    header().set_free_list_head(1, second);
    header().set_free_list_size(1, 34);
    EXPECT_EQ(std::get<1>(damage("out of order")), first);

    // A size word that does not match the slot it names.
    put_free_header(first, head);
    put_free_header(second, tail);
    header().set_free_list_head(1, first);
    header().set_free_list_size(1, 40);
    damage("gives the free slot at " + std::to_string(first) + " 40 bytes");
    header().set_free_list_size(1, 44);
    ASSERT_EQ(problem(), "");

    // The table naming a live record as a list's head.
    header().set_free_list_head(3, live);
    header().set_free_list_size(3, 64);
    damage("free list 3 names");
    header().set_free_list_head(3, 0);
    header().set_free_list_size(3, 0);
    EXPECT_EQ(problem(), "");

    // An index page on the index-block list: the place is the header's table.
    const uint32_t root = handle()->tree(2)->root();
    header().set_index_block_list(root);
    EXPECT_EQ(damage("the header's head of the index-block list names " + std::to_string(root)),
              Place(2, 0, -1));
    header().set_index_block_list(0);
    EXPECT_EQ(problem(), "");
}

TEST_F(FileChecker, ReportsDamagedSlotsWithoutCrashing) {
    ASSERT_EQ(_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0), 0);
    ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, name_.data(), IX_MODE_UPDATE), 0);
    const uint32_t at = address_of(6);
    // Garbage where a slot header should be, then a length running past the
    // longest record or past the end of the file.
    const unsigned char garbage[4] = {0x3C, 0x01, 0x02, 0x03};
    ASSERT_TRUE(handle()->io.write_at(at, garbage, 4).ok());
    EXPECT_EQ(std::get<1>(damage("neither a slot nor an index block")), at);
    for (const auto& [flags, what] :
         {std::pair<uint8_t, const char*>{0x04, "longer than the longest record"},
          {0x08, "runs past the file's end"}}) {
        unsigned char huge[4];
        kvr::store::encode_slot_header(huge, flags, 0xFFFF00);
        ASSERT_TRUE(handle()->io.write_at(at, huge, 4).ok());
        damage(what);
    }
}

// A block-format file of 60 records of 200 bytes (twenty to a set of 4096
// bytes), some deleted so that a set went to the avail list.
class BlockFileChecker : public CheckedFile {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(create_and_open(
            "blocks.dat", kvr::test::attribute_block(200, 200, {{1, 6}, {11, 3, true}}),
            kvr::isam::StoreFormat::kBlocks));
        for (int i = 0; i < 60; ++i)
            ASSERT_LE(write(record(i, i, i % 2 ? "AAA" : "BBB", 200)), 12);
        // Deleting the first twenty empties sets one after another.
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(erase_prime(i), 0);
    }
    // The image of the set at `block` in the store's pool (every set of this
    // small file is resident).
    unsigned char* set_image(uint32_t block) {
        return const_cast<unsigned char*>(kvr::store::resident_sequence_set(handle(), block));
    }
};

TEST_F(BlockFileChecker, ASoundFileAndEachKindOfDamage) {
    FileSummary summary;
    ASSERT_TRUE(check_file(handle(), nullptr, &summary));  // no report asked for
    EXPECT_EQ(summary.records, 40u);
    EXPECT_GE(summary.sequence_sets, 2u);
    EXPECT_GE(summary.free_blocks, 1u);
    EXPECT_EQ(summary.unused_blocks, 0u);

    const uint32_t first = header().first_sequence_set();
    unsigned char* image = set_image(first);
    ASSERT_NE(image, nullptr);
    const uint32_t second = load_u32(image + 24);
    unsigned char* next = set_image(second);
    ASSERT_NE(next, nullptr);

    // A header that disagrees with the records.
    store_u32(image + 16, load_u32(image + 16) + 1);
    EXPECT_EQ(std::get<1>(damage("does not match its records")), first);
    store_u32(image + 16, load_u32(image + 16) - 1);
    // A previous link that names the wrong set.
    store_u32(next + 28, kvr::store::kNoSet);
    damage("as its previous set");
    store_u32(next + 28, first);
    // A chain that starts at its second set leaves the first off it.
    header().set_first_sequence_set(second);
    damage("previous set");
    header().set_first_sequence_set(first);
    // Two records that trade places: the chain is no longer in key order,
    // so it differs from the prime entries.
    std::swap_ranges(image + 40, image + 46, image + 40 + 208);
    damage("whose prime key is");
    std::swap_ranges(image + 40, image + 46, image + 40 + 208);
    // The avail list naming a live set.
    const uint32_t head = header().avail_list_head();
    header().set_avail_list_head(second);
    damage("which is a sequence set");
    // A free block on no list is space lost, not damage.
    header().set_avail_list_head(0);
    ASSERT_EQ(problem(&summary), "");
    EXPECT_GE(summary.unused_blocks, 1u);
    header().set_avail_list_head(head);
    EXPECT_EQ(problem(), "");
}

}  // namespace
