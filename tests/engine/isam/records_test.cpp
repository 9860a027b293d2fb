// Record operations through _vmqpIsam: reads in every relation and
// direction, writes, rewrites and deletes over a prime key, a unique
// alternate key and an alternate key with duplicates.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/fault_injection.h"
#include "support/attribute_block.h"
#include "support/temp_dir.h"
#include "vmqrmkvr/isam.h"

namespace {

// Records of 30 bytes: prime key at 0 (6 bytes), a unique alternate key at
// 6 (4 bytes), an alternate key with duplicates at 10 (3 bytes), then text.
constexpr uint32_t kRecordLength = 30;

std::string record(int prime, int unique, const char* group, const char* text = "") {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%06d%04d%-3.3s%-17.17s", prime, unique, group, text);
    return std::string(buffer, kRecordLength);
}

class IsamRecords : public kvr::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        name_ = path("records.dat");
        std::vector<unsigned char> block = kvr::test::attribute_block(
            13, kRecordLength, {{1, 6}, {7, 4}, {11, 3, true}}, IX_ATTR_VARIABLE);
        uint32_t size = static_cast<uint32_t>(block.size());
        void* none = nullptr;
        ASSERT_EQ(_vmqpIsam(IX_CREATE, &none, block.data(), &size, name_.data(), 0), 0);
        reopen(IX_MODE_UPDATE);
    }
    void TearDown() override {
        if (slot_ != nullptr) {
            EXPECT_EQ(_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0), 0);
        }
        TempDirTest::TearDown();
    }
    void reopen(uint8_t mode) {
        if (slot_ != nullptr) {
            ASSERT_EQ(_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0), 0);
        }
        ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, name_.data(), mode), 0);
    }

    // A WRITE or REWRITE of r.
    int put(uint16_t op, const std::string& r, int key) {
        uint32_t length = static_cast<uint32_t>(r.size());
        unsigned char key_area[8] = {};
        return _vmqpIsam(op, &slot_, const_cast<char*>(r.data()), &length, key_area,
                         static_cast<uint8_t>(key));
    }
    int write(const std::string& r, int key = 0) { return put(IX_WRITE, r, key); }
    int rewrite(const std::string& r, int key = 0) { return put(IX_REWRITE, r, key); }
    int erase() { return _vmqpIsam(IX_DELETE, &slot_, nullptr, nullptr, nullptr, 0); }

    // A read: the record it delivered (or "" when positioning only), the
    // key area afterwards, and the result.
    struct Read {
        int result;
        std::string record;
        std::string key;
    };
    Read read(uint16_t op, int key, const std::string& value = "", uint32_t size = kRecordLength) {
        std::string buffer(kRecordLength, '\0');
        std::string key_area = value;
        key_area.resize(8, '#');
        uint32_t length = size;
        Read r;
        r.result = _vmqpIsam(op, &slot_, size != 0 ? buffer.data() : nullptr, &length,
                             key_area.data(), static_cast<uint8_t>(key));
        r.record = size != 0 && r.result <= 12 ? buffer.substr(0, length) : "";
        r.key = key_area;
        return r;
    }

    std::string name_;
    void* slot_ = nullptr;
};

TEST_F(IsamRecords, WriteAndReadByEveryKey) {
    ASSERT_EQ(write(record(20, 2000, "AAA", "twenty")), 0);
    ASSERT_EQ(write(record(10, 1000, "BBB", "ten")), 0);
    ASSERT_EQ(write(record(30, 3000, "AAA", "thirty")), 12);  // AAA again
    EXPECT_EQ(write(record(10, 1111, "CCC")), 5);             // prime key exists
    EXPECT_EQ(write(record(40, 1000, "CCC")), 5);             // unique alternate exists
    EXPECT_EQ(write(record(40, 4000, "C").substr(0, 12)), 14);
    EXPECT_EQ(write(record(40, 4000, "CCC") + "x"), 23);

    EXPECT_EQ(read(IX_READ_EQ, 0, "000010").record, record(10, 1000, "BBB", "ten"));
    EXPECT_EQ(read(IX_READ_EQ, 1, "3000").record, record(30, 3000, "AAA", "thirty"));
    EXPECT_EQ(read(IX_READ_EQ, 0, "000015").result, 4);

    // Greater or equal on the duplicates key: 12 on the first, then the
    // second with 0.
    auto prime_of = [](const Read& r) { return std::pair(r.result, r.record.substr(0, 6)); };
    EXPECT_EQ(prime_of(read(IX_READ_GE, 2, "AAA")), std::pair(12, std::string("000020")));
    EXPECT_EQ(prime_of(read(IX_READ_NEXT, 2)), std::pair(0, std::string("000030")));
    EXPECT_EQ(read(IX_READ_NEXT, 2).record.substr(0, 6), "000010");
    EXPECT_EQ(read(IX_READ_NEXT, 2).result, 9);

    // The key found goes to the key area, except for an equal relation.
    EXPECT_EQ(read(IX_READ_GT, 0, "000010").key.substr(0, 6), "000020");
    EXPECT_EQ(read(IX_READ_LT, 0, "000020").key.substr(0, 6), "000010");
    EXPECT_EQ(read(IX_READ_EQ, 0, "000020").key.substr(0, 6), "000020");
    EXPECT_EQ(read(IX_READ_LT, 0, "000010").result, 9);  // nothing below
    EXPECT_EQ(read(IX_READ_GT, 0, "000030").result, 4);  // nothing above

    // START: positioning only; with greater the key comes back.
    const Read start = read(IX_READ_GT, 1, "1000", 0);
    EXPECT_EQ(std::pair(start.result, start.key.substr(0, 4)), std::pair(0, std::string("2000")));
    EXPECT_EQ(read(IX_READ_EQ, 1, "2000", 0).key.substr(0, 4), "2000");
    EXPECT_EQ(read(IX_READ_NEXT, 1).record.substr(0, 6), "000030");

    // A short buffer gets the first bytes and the full length.
    std::string buffer(10, '\0');
    uint32_t length = 10;
    char key_area[8] = "000010";
    EXPECT_EQ(_vmqpIsam(IX_READ_EQ, &slot_, buffer.data(), &length, key_area, 0), 0);
    EXPECT_EQ(length, kRecordLength);
    EXPECT_EQ(buffer, record(10, 1000, "BBB").substr(0, 10));

    // The exact (alternate key, prime key) entry.
    std::string wanted = record(30, 0, "");
    length = kRecordLength;
    char group[8] = "AAA";
    EXPECT_EQ(_vmqpIsam(IX_READ_DUP, &slot_, wanted.data(), &length, group, 2), 0);
    EXPECT_EQ(wanted, record(30, 3000, "AAA", "thirty"));
}

TEST_F(IsamRecords, RewriteKeepsPrimeKeyAndMovesAlternates) {
    ASSERT_EQ(write(record(1, 100, "AAA")), 0);
    ASSERT_EQ(write(record(2, 200, "AAA")), 12);
    ASSERT_EQ(write(record(3, 300, "BBB")), 0);
    ASSERT_EQ(read(IX_READ_EQ, 0, "000002").result, 0);
    EXPECT_EQ(rewrite(record(9, 200, "AAA")), 10);  // the prime key changed
    EXPECT_EQ(rewrite(record(2, 300, "AAA")), 5);   // the unique key exists
    ASSERT_EQ(rewrite(record(2, 250, "CCC", "longer text here")), 0);
    EXPECT_EQ(read(IX_READ_EQ, 1, "0200").result, 4);
    EXPECT_EQ(read(IX_READ_EQ, 1, "0250").record, record(2, 250, "CCC", "longer text here"));
    EXPECT_EQ(read(IX_READ_EQ, 2, "CCC").record.substr(0, 6), "000002");

    // Reading by the duplicates key, a rewrite that changes that key keeps
    // READ NEXT going from where the record was.
    ASSERT_EQ(write(record(4, 400, "AAA")), 12);
    ASSERT_EQ(read(IX_READ_GE, 2, "AAA").record.substr(0, 6), "000001");
    ASSERT_EQ(rewrite(record(1, 100, "ZZZ"), 2), 0);
    EXPECT_EQ(read(IX_READ_NEXT, 2).record.substr(0, 6), "000004");

    // With an alternate key of reference the prime keys are compared.
    ASSERT_EQ(read(IX_READ_EQ, 1, "0300").result, 0);
    EXPECT_EQ(rewrite(record(3, 300, "BBB", "via key 1"), 1), 0);
    EXPECT_EQ(read(IX_READ_EQ, 0, "000003").record, record(3, 300, "BBB", "via key 1"));

    // Growing a record moves it in the store; the index follows.
    ASSERT_EQ(read(IX_READ_EQ, 0, "000001").result, 0);
    std::string grown = record(1, 100, "ZZZ");
    ASSERT_EQ(rewrite(grown.substr(0, 13)), 0);
    ASSERT_EQ(read(IX_READ_EQ, 0, "000001").result, 0);
    ASSERT_EQ(rewrite(grown), 0);
    EXPECT_EQ(read(IX_READ_EQ, 0, "000001").record, grown);
    reopen(IX_MODE_INPUT);
    EXPECT_EQ(read(IX_READ_EQ, 0, "000001").record, grown);
    EXPECT_EQ(read(IX_READ_EQ, 1, "0100").record, grown);
}

TEST_F(IsamRecords, DeleteRemovesEveryEntry) {
    for (int i = 1; i <= 5; ++i)
        ASSERT_LE(write(record(i, 100 * i, "AAA")), 12);
    ASSERT_EQ(read(IX_READ_EQ, 2, "AAA").result, 12);
    ASSERT_EQ(read(IX_READ_NEXT, 2).record.substr(0, 6), "000002");
    ASSERT_EQ(erase(), 0);
    EXPECT_EQ(read(IX_READ_NEXT, 2).record.substr(0, 6), "000003");
    EXPECT_EQ(read(IX_READ_EQ, 0, "000002").result, 4);
    EXPECT_EQ(read(IX_READ_EQ, 1, "0200").result, 4);

    std::vector<unsigned char> attributes(ix_attributes_size(3));
    uint32_t size = static_cast<uint32_t>(attributes.size());
    ASSERT_EQ(_vmqpIsam(IX_GET_ATTRIBUTES, &slot_, attributes.data(), &size, nullptr, 0), 0);
    EXPECT_EQ(kvr::test::decode_attributes(attributes).record_count, 4u);

    reopen(IX_MODE_INPUT);
    ASSERT_EQ(read(IX_READ_FIRST, 0).result, 0);
    EXPECT_EQ(erase(), 2);  // an input file is not changed
    EXPECT_EQ(write(record(9, 900, "AAA")), 2);
}

TEST_F(IsamRecords, SequentialAndExtendOrder) {
    reopen(static_cast<uint8_t>(IX_MODE_UPDATE) | IX_MODE_EXTEND);
    ASSERT_EQ(write(record(10, 1, "AAA")), 0);
    EXPECT_EQ(write(record(10, 2, "AAA")), 5);
    EXPECT_EQ(write(record(5, 3, "AAA")), 13);
    EXPECT_EQ(write(record(11, 4, "AAA")), 12);
    reopen(static_cast<uint8_t>(IX_MODE_UPDATE) | IX_MODE_SEQUENTIAL);
    ASSERT_EQ(read(IX_READ_FIRST, 0, "", 0).result, 0);
    EXPECT_EQ(write(record(7, 5, "A")), 13);  // not after the current entry
    // A random write below every key passes.
    reopen(IX_MODE_UPDATE);
    EXPECT_EQ(write(record(1, 6, "BBB")), 0);
    EXPECT_EQ(read(IX_READ_FIRST, 0).record.substr(0, 6), "000001");
}

TEST_F(IsamRecords, HeldReadWhoseRecordCannotBeFetchedLeavesTheCursor) {
    for (int i = 1; i <= 3; ++i)
        ASSERT_LE(write(record(i, i, "AAA")), 12);
    reopen(IX_MODE_UPDATE);  // the records are in the file now, the pages cached below
    ASSERT_EQ(read(IX_READ_FIRST, 0).result, 0);
    kvr::platform::FaultPlan plan;
    plan.kinds = kvr::platform::FaultPlan::kRead;
    plan.fail_at = 1;
    {
        kvr::platform::ScopedFaultPlan scope(plan);
        EXPECT_EQ(read(IX_READ_NEXT | IX_HOLD_RECORD, 0).result, 2);
    }
    EXPECT_EQ(plan.failures, 1u);
    EXPECT_EQ(read(IX_READ_CURRENT, 0).record.substr(0, 6), "000001");
    EXPECT_EQ(read(IX_READ_NEXT, 0).record.substr(0, 6), "000002");
}

// A DELETE that finds no record to delete changes nothing, in an empty
// file (9) as past the last record (10): the file closes cleanly and opens
// again.
TEST_F(IsamRecords, ADeleteWithoutACurrentRecordLeavesTheFileSound) {
    EXPECT_EQ(erase(), 9);
    reopen(IX_MODE_UPDATE);
    ASSERT_EQ(write(record(10, 1000, "AAA")), 0);
    ASSERT_EQ(read(IX_READ_LAST, 0).result, 0);
    ASSERT_EQ(read(IX_READ_NEXT, 0).result, 9);
    EXPECT_EQ(erase(), 10);
    reopen(IX_MODE_UPDATE);
    EXPECT_EQ(read(IX_READ_EQ, 0, "000010").record, record(10, 1000, "AAA"));
}

}  // namespace
