// The file checker on a small sound file, then on copies of it with one
// thing damaged at a time: each damage must be reported, with its place.
#include "engine/isam/file_checker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/file_header.h"
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
        char key[8];
        std::snprintf(key, sizeof key, "%06d", prime);
        uint32_t length = 0;
        const int found = _vmqpIsam(IX_READ_EQ, &slot_, nullptr, &length, key, 0);
        if (found != 0)
            return found;
        return _vmqpIsam(IX_DELETE, &slot_, nullptr, nullptr, nullptr, 0);
    }

    // The check's report; "" when the file is sound.
    std::string problem(FileProblem* found = nullptr, FileSummary* summary = nullptr) {
        FileProblem p;
        const bool sound = check_file(handle(), &p, summary);
        if (found != nullptr)
            *found = p;
        return sound ? "" : kvr::isam::describe(p);
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
        // Ten records, three of them in group AAA; then two deleted, so that
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
    int entry_of(int k, const std::string& key_part) {
        const kvr::tree::Tree& tree = *handle()->tree(k);
        unsigned char* page = root_leaf(k);
        for (int i = 0; i < kvr::tree::page_count(page); ++i)
            if (std::memcmp(kvr::tree::leaf_key(tree, page, i), key_part.data(), key_part.size()) ==
                0)
                return i;
        ADD_FAILURE() << "no entry " << key_part << " in key " << k;
        return 0;
    }
    uint32_t address_of(int prime) {
        char key[8];
        std::snprintf(key, sizeof key, "%06d", prime);
        const int i = entry_of(0, key);
        return kvr::platform::load_u32(kvr::tree::leaf_data(*handle()->tree(0), root_leaf(0), i));
    }

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

TEST_F(FileChecker, SoundFilePassesWithoutDisturbingTheCursors) {
    // Some records are still in the append buffer: the check reads them there.
    ASSERT_EQ(write(record(11, 111, "AAA", 50)), 12);
    ASSERT_GT(handle()->write_buffer_fill, 0u);
    char key[8] = "BBB";
    uint32_t length = 0;
    ASSERT_EQ(_vmqpIsam(IX_READ_EQ, &slot_, nullptr, &length, key, 2), 12);

    FileSummary summary;
    EXPECT_EQ(problem(nullptr, &summary), "");
    EXPECT_EQ(summary.records, 9u);
    EXPECT_EQ(summary.index_pages, 3u);
    EXPECT_EQ(summary.listed_free_slots, 2u);
    EXPECT_EQ(summary.orphan_records + summary.unused_blocks + summary.unlisted_free_slots, 0u);

    // READ NEXT goes on from where the read left key 2.
    std::string buffer(kLongest, '\0');
    length = kLongest;
    ASSERT_EQ(_vmqpIsam(IX_READ_NEXT, &slot_, buffer.data(), &length, key, 2), 0);
    EXPECT_EQ(buffer.substr(0, 6), "000008");

    // The same file closed and opened again, for update and for input.
    ASSERT_EQ(_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0), 0);
    ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, name_.data(), IX_MODE_INPUT), 0);
    EXPECT_EQ(problem(nullptr, &summary), "");
    EXPECT_EQ(summary.records, 9u);
}

TEST_F(FileChecker, ReportsEntriesThatDoNotMatchTheRecords) {
    const kvr::tree::Tree& prime_tree = *handle()->tree(0);
    const kvr::tree::Tree& unique_tree = *handle()->tree(1);
    const kvr::tree::Tree& group_tree = *handle()->tree(2);
    FileProblem found;

    // A prime entry naming the free slot of a deleted record.
    const uint32_t free_slot = header().free_list_head(1);
    unsigned char* data = kvr::tree::leaf_data(prime_tree, root_leaf(0), entry_of(0, "000004"));
    const uint32_t kept = kvr::platform::load_u32(data);
    kvr::platform::store_u32(data, free_slot);
    EXPECT_THAT(problem(&found), HasSubstr("which is a free slot")) << found.what;
    EXPECT_THAT(found.what, HasSubstr("names " + std::to_string(free_slot)));
    // The place is the entry that is wrong, not the address it names.
    EXPECT_EQ(found.key, 0);
    EXPECT_EQ(found.offset, handle()->tree(0)->root());
    EXPECT_EQ(found.entry, entry_of(0, "000004"));
    kvr::platform::store_u32(kvr::tree::leaf_data(prime_tree, root_leaf(0), entry_of(0, "000004")),
                             kept);
    ASSERT_EQ(problem(), "");

    // An alternate entry naming a record that is not there.
    data = kvr::tree::leaf_data(unique_tree, root_leaf(1), entry_of(1, "0105"));
    std::memcpy(data, "000099", 6);
    EXPECT_THAT(problem(&found), HasSubstr("which no record has")) << found.what;
    EXPECT_EQ(found.key, 1);
    std::memcpy(kvr::tree::leaf_data(unique_tree, root_leaf(1), entry_of(1, "0105")), "000006", 6);
    ASSERT_EQ(problem(), "");

    // Record 4 indexed twice in group AAA (records 1, 4, 7 and 10 are AAA):
    // the entry of record 7 names record 4.
    unsigned char* page = root_leaf(2);
    int seventh = -1;
    for (int i = 0; i < kvr::tree::page_count(page); ++i)
        if (std::memcmp(kvr::tree::leaf_data(group_tree, page, i), "000007", 6) == 0)
            seventh = i;
    ASSERT_GE(seventh, 0);
    std::memcpy(kvr::tree::leaf_data(group_tree, page, seventh), "000004", 6);
    EXPECT_THAT(problem(&found), HasSubstr("has two entries")) << found.what;
    EXPECT_THAT(found.what, HasSubstr("\"000004\" at " + std::to_string(address_of(4))));
    EXPECT_EQ(found.key, 2);
    EXPECT_EQ(found.offset, handle()->tree(2)->root());
    EXPECT_EQ(found.entry, seventh);
    std::memcpy(kvr::tree::leaf_data(group_tree, root_leaf(2), seventh), "000007", 6);
    ASSERT_EQ(problem(), "");

    // A wrong record count.
    header().set_record_count(9);
    EXPECT_THAT(problem(), HasSubstr("record_count is 9, the file has 8"));
    header().set_record_count(8);
    EXPECT_EQ(problem(), "");
}

TEST_F(FileChecker, ReportsBrokenFreeLists) {
    // List 1 holds the slot of 44 bytes, then the one of 34.
    FileProblem found;
    const uint32_t first = header().free_list_head(1);
    ASSERT_EQ(header().free_list_size(1), 44u);
    const kvr::store::FreeHeader head = free_header(first);
    const uint32_t second = head.next;
    ASSERT_EQ(head.next_size, 34u);
    const kvr::store::FreeHeader tail = free_header(second);
    ASSERT_EQ(tail.next, 0u);
    const uint32_t live = address_of(5);

    // The second slot linked into a live record.
    put_free_header(second, {0x08, 34, live, 64});
    EXPECT_THAT(problem(&found), HasSubstr("which is a live record")) << found.what;
    EXPECT_THAT(found.what, HasSubstr("names " + std::to_string(live)));
    EXPECT_EQ(found.offset, second);  // the slot whose link is wrong

    // A loop: the second slot names the first again.
    put_free_header(second, {0x08, 34, first, 44});
    EXPECT_THAT(problem(&found), HasSubstr("names " + std::to_string(first) + " again"))
        << found.what;
    EXPECT_EQ(found.offset, second);

    // Out of order: the smaller slot first.
    put_free_header(second, {0x08, 34, first, 44});
    put_free_header(first, {0x08, 44, 0, 0});
    header().set_free_list_head(1, second);
    header().set_free_list_size(1, 34);
    EXPECT_THAT(problem(&found), HasSubstr("out of order")) << found.what;
    EXPECT_EQ(found.offset, first);

    // A size word that does not match the slot it names.
    put_free_header(first, head);
    put_free_header(second, tail);
    header().set_free_list_head(1, first);
    header().set_free_list_size(1, 40);
    EXPECT_THAT(problem(&found),
                HasSubstr("gives the free slot at " + std::to_string(first) + " 40 bytes"))
        << found.what;
    header().set_free_list_size(1, 44);
    ASSERT_EQ(problem(), "");

    // The table naming a live record as a list's head.
    header().set_free_list_head(3, live);
    header().set_free_list_size(3, 64);
    EXPECT_THAT(problem(&found), HasSubstr("free list 3 names")) << found.what;
    header().set_free_list_head(3, 0);
    header().set_free_list_size(3, 0);
    EXPECT_EQ(problem(), "");
}

TEST_F(FileChecker, ReportsAnIndexBlockBothFreeAndInUse) {
    FileProblem found;
    const uint32_t root = handle()->tree(2)->root();
    header().set_index_block_list(root);
    EXPECT_THAT(problem(&found), HasSubstr("the header's head of the index-block list names " +
                                           std::to_string(root)))
        << found.what;
    EXPECT_EQ(found.key, 2);
    EXPECT_EQ(found.offset, 0u);  // the header's table
    header().set_index_block_list(0);
    EXPECT_EQ(problem(), "");
}

TEST_F(FileChecker, ReportsDamagedSlotsWithoutCrashing) {
    ASSERT_EQ(_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0), 0);
    ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, name_.data(), IX_MODE_UPDATE), 0);
    const uint32_t at = address_of(6);
    FileProblem found;
    // Garbage where a slot header should be, then a length running past the
    // end of the file.
    const unsigned char garbage[4] = {0x3C, 0x01, 0x02, 0x03};
    ASSERT_TRUE(handle()->io.write_at(at, garbage, 4).ok());
    EXPECT_THAT(problem(&found), HasSubstr("neither a slot nor an index block")) << found.what;
    EXPECT_EQ(found.offset, at);
    unsigned char huge[4];
    kvr::store::encode_slot_header(huge, 0x04, 0xFFFF00);
    ASSERT_TRUE(handle()->io.write_at(at, huge, 4).ok());
    EXPECT_THAT(problem(&found), HasSubstr("longer than the longest record")) << found.what;
    kvr::store::encode_slot_header(huge, 0x08, 0xFFFF00);
    ASSERT_TRUE(handle()->io.write_at(at, huge, 4).ok());
    EXPECT_THAT(problem(&found), HasSubstr("runs past the file's end")) << found.what;
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
    ASSERT_EQ(check_file(handle(), nullptr, &summary), true);
    EXPECT_EQ(summary.records, 40u);
    EXPECT_GE(summary.sequence_sets, 2u);
    EXPECT_GE(summary.free_blocks, 1u);
    EXPECT_EQ(summary.unused_blocks, 0u);

    const uint32_t first = header().first_sequence_set();
    unsigned char* image = set_image(first);
    ASSERT_NE(image, nullptr);
    const uint32_t second = kvr::platform::load_u32(image + 24);
    unsigned char* next = set_image(second);
    ASSERT_NE(next, nullptr);
    FileProblem found;

    // A header that disagrees with the records.
    kvr::platform::store_u32(image + 16, kvr::platform::load_u32(image + 16) + 1);
    EXPECT_THAT(problem(&found), HasSubstr("does not match its records"));
    EXPECT_EQ(found.offset, first);
    kvr::platform::store_u32(image + 16, kvr::platform::load_u32(image + 16) - 1);
    // A previous link that names the wrong set.
    kvr::platform::store_u32(next + 28, kvr::store::kNoSet);
    EXPECT_THAT(problem(&found), HasSubstr("as its previous set")) << found.what;
    kvr::platform::store_u32(next + 28, first);
    // A chain that starts at its second set leaves the first off it.
    header().set_first_sequence_set(second);
    EXPECT_THAT(problem(), HasSubstr("previous set"));
    header().set_first_sequence_set(first);
    // Two records that trade places: the chain is no longer in key order,
    // so it differs from the prime entries.
    unsigned char saved[8];
    std::memcpy(saved, image + 40, 6);
    std::memcpy(image + 40, image + 40 + 208, 6);
    std::memcpy(image + 40 + 208, saved, 6);
    EXPECT_THAT(problem(), HasSubstr("whose prime key is"));
    std::memcpy(image + 40 + 208, image + 40, 6);
    std::memcpy(image + 40, saved, 6);
    // The avail list naming a live set.
    const uint32_t head = header().avail_list_head();
    header().set_avail_list_head(second);
    EXPECT_THAT(problem(&found), HasSubstr("which is a sequence set")) << found.what;
    header().set_avail_list_head(head);
    // A free block on no list is space lost, not damage.
    header().set_avail_list_head(0);
    ASSERT_EQ(check_file(handle(), nullptr, &summary), true);
    EXPECT_GE(summary.unused_blocks, 1u);
    header().set_avail_list_head(head);
    EXPECT_EQ(problem(), "");
}

}  // namespace
