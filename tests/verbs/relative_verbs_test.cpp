// The COBOL verbs on relative files, driven as a runtime drives them.
#include <gtest/gtest.h>

#include "verbs/verb_fixture.h"

namespace kvr::test {
namespace {

class RelativeVerbs : public VerbTest {
protected:
    void SetUp() override {
        VerbTest::SetUp();
        file_ = make(0);
    }
    std::unique_ptr<VerbFile> make(uint32_t access_flags) {
        auto file = std::make_unique<VerbFile>(VMQ_ORG_RELATIVE, path("counters.rel"), 8);
        file->description().access_flags = static_cast<uint8_t>(access_flags);
        return file;
    }
    VerbFile& file() { return *file_; }
    std::string number_record(uint32_t n) {
        file().fcb().relative_number = n;
        char text[16];
        std::snprintf(text, sizeof text, "REC%05u", n);
        return text;
    }

    std::unique_ptr<VerbFile> file_;
};

TEST_F(RelativeVerbs, SequentialWritesNumberTheRecords) {
    auto sequential = make(VMQ_ACCESS_SEQUENTIAL);
    ASSERT_EQ(sequential->open(VMQ_OPEN_OUTPUT), "00");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(sequential->write("RECORD.."), "00");
    EXPECT_EQ(sequential->fcb().relative_number, 3u);
    EXPECT_EQ(sequential->close(), "00");

    // EXTEND goes on from the last number.
    ASSERT_EQ(sequential->open(VMQ_OPEN_EXTEND), "00");
    EXPECT_EQ(sequential->fcb().relative_number, 3u);
    EXPECT_EQ(sequential->write("RECORD.."), "00");
    EXPECT_EQ(sequential->fcb().relative_number, 4u);
    EXPECT_EQ(sequential->close(), "00");

    ASSERT_EQ(sequential->open(VMQ_OPEN_INPUT), "00");
    for (uint32_t n = 1; n <= 4; ++n) {
        EXPECT_EQ(sequential->read(), "00");
        EXPECT_EQ(sequential->fcb().relative_number, n);
    }
    EXPECT_EQ(sequential->read(), "10");
    EXPECT_EQ(sequential->close(), "00");
}

TEST_F(RelativeVerbs, ExtendOfAnEmptyFileStartsAtZero) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(file().close(), "00");
    file().fcb().relative_number = 77;
    ASSERT_EQ(file().open(VMQ_OPEN_EXTEND), "00");
    EXPECT_EQ(file().fcb().relative_number, 0u);
    EXPECT_EQ(file().close(), "00");
}

TEST_F(RelativeVerbs, RelativeKeyDigitLimits) {
    auto sequential = make(VMQ_ACCESS_SEQUENTIAL);
    sequential->program().set_relative_key_digits(1);
    ASSERT_EQ(sequential->open(VMQ_OPEN_OUTPUT), "00");
    for (int i = 1; i <= 9; ++i)
        ASSERT_EQ(sequential->write("RECORD.."), "00");
    EXPECT_EQ(sequential->write("RECORD.."), "24");  // record 10 is written all the same
    EXPECT_EQ(sequential->fcb().relative_number, 10u);
    EXPECT_EQ(sequential->close(), "00");

    // A READ NEXT that reaches a number the item cannot hold: 14, then 46.
    ASSERT_EQ(sequential->open(VMQ_OPEN_INPUT), "00");
    for (int i = 1; i <= 9; ++i)
        ASSERT_EQ(sequential->read(), "00");
    EXPECT_EQ(sequential->read(), "14");
    EXPECT_EQ(sequential->fcb().relative_number, 10u);
    EXPECT_EQ(sequential->read(), "46");
    EXPECT_EQ(sequential->close(), "00");

    // A RELATIVE KEY the runtime found unusable: 14 without a read.
    ASSERT_EQ(file().open(VMQ_OPEN_INPUT), "00");
    file().fcb().relative_key_error = 1;
    EXPECT_EQ(file().read(), "14");
    file().fcb().relative_key_error = 0;
    EXPECT_EQ(file().close(), "00");
}

TEST_F(RelativeVerbs, RandomAccessByNumber) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    for (uint32_t n : {1u, 2u, 4u, 5u})
        ASSERT_EQ(file().write(number_record(n)), "00");
    EXPECT_EQ(in_order({file().write(number_record(5)), file().close(), file().open(VMQ_OPEN_IO)}),
              "22 00 00");
    file().fcb().relative_number = 5;
    EXPECT_EQ(file().read(), "00");
    EXPECT_EQ(file().record(), "REC00005");

    // START NOT LESS THAN 3 lands on 4.
    file().fcb().relative_number = 3;
    file().fcb().verb_options = VMQ_START_NOT_LESS;
    EXPECT_EQ(file().call(file().fcb().start_entry), "00");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "00");
    EXPECT_EQ(file().fcb().relative_number, 4u);

    // Deleting record 2 while positioned on 4 leaves the position.
    file().fcb().relative_number = 2;
    EXPECT_EQ(file().remove(), "00");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "00");
    EXPECT_EQ(file().fcb().relative_number, 5u);
    file().fcb().relative_number = 2;
    EXPECT_EQ(in_order({file().read(), file().rewrite(number_record(3)),
                        file().rewrite(number_record(1) + "")}),
              "23 23 00");

    // Record number 0 is no record: WRITE lies outside the file (24),
    // READ, START EQUAL, REWRITE and DELETE find nothing (23); START NOT
    // LESS THAN 0 lands on the first record.
    EXPECT_EQ(file().write(number_record(0)), "24");
    file().fcb().relative_number = 0;
    EXPECT_EQ(file().read(), "23");
    file().fcb().verb_options = VMQ_START_EQUAL;
    EXPECT_EQ(file().call(file().fcb().start_entry), "23");
    EXPECT_EQ(file().rewrite(number_record(0)), "23");
    file().fcb().relative_number = 0;
    EXPECT_EQ(file().remove(), "23");
    file().fcb().relative_number = 0;
    file().fcb().verb_options = VMQ_START_NOT_LESS;
    EXPECT_EQ(file().call(file().fcb().start_entry), "00");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "00");
    EXPECT_EQ(file().fcb().relative_number, 1u);
    EXPECT_EQ(file().close(), "00");
}

// Without a record area (where the record number goes in front of the
// record) every verb but START, which needs only the number, is refused
// with 30 and a message, and numbers no record.
TEST_F(RelativeVerbs, CallsWithoutARecordAreaAreRefused) {
    auto sequential = make(VMQ_ACCESS_SEQUENTIAL);
    ASSERT_EQ(sequential->open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(sequential->write("RECORD.."), "00");
    unsigned char* area = sequential->fcb().record_area;
    sequential->fcb().record_area = nullptr;
    EXPECT_THAT(sequential->told(sequential->call(sequential->fcb().write_entry)),
                StartsWith("30 001008,No record area"));
    EXPECT_EQ(sequential->fcb().relative_number, 1u);
    sequential->fcb().record_area = area;
    EXPECT_EQ(sequential->write("RECORD.."), "00");
    EXPECT_EQ(sequential->fcb().relative_number, 2u);
    EXPECT_EQ(sequential->close(), "00");

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    area = file().fcb().record_area;
    file().fcb().record_area = nullptr;
    file().fcb().relative_number = 2;
    EXPECT_EQ(file().read(), "30");
    file().fcb().verb_options = VMQ_START_EQUAL;
    EXPECT_EQ(file().call(file().fcb().start_entry), "00");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "30");
    file().fcb().write_length = 8;
    for (vmq_verb_entry entry :
         {file().fcb().write_entry, file().fcb().rewrite_entry, file().fcb().delete_entry}) {
        EXPECT_THAT(file().told(file().call(entry)), StartsWith("30 001008,No record area"));
    }
    file().fcb().record_area = area;
    EXPECT_EQ(file().read(), "00");
    EXPECT_EQ(file().record(), "RECORD..");
    EXPECT_EQ(file().close(), "00");
}

TEST_F(RelativeVerbs, OrganizationsAreNotMixed) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(file().close(), "00");
    VerbFile as_indexed(VMQ_ORG_INDEXED, path("counters.rel"), 8);
    as_indexed.add_key(0, 4);
    EXPECT_THAT(as_indexed.told(as_indexed.open(VMQ_OPEN_INPUT)),
                StartsWith("39 001002,Organization is relative"));

    VerbFile indexed(VMQ_ORG_INDEXED, path("multi.idx"), 8);
    indexed.add_key(0, 4);
    indexed.add_key(4, 4);
    ASSERT_EQ(indexed.open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(indexed.close(), "00");
    VerbFile as_relative(VMQ_ORG_RELATIVE, path("multi.idx"), 8);
    EXPECT_THAT(as_relative.told(as_relative.open(VMQ_OPEN_INPUT)),
                StartsWith("39 001001,Organization is indexed"));
    // One 4-byte key at the front and records 4 bytes longer: shaped like a
    // relative file, but its key is bytes, not a record number.
    VerbFile lookalike(VMQ_ORG_INDEXED, path("lookalike.idx"), 12);
    lookalike.add_key(0, 4);
    ASSERT_EQ(lookalike.open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(lookalike.close(), "00");
    VerbFile as_relative_too(VMQ_ORG_RELATIVE, path("lookalike.idx"), 8);
    EXPECT_THAT(as_relative_too.told(as_relative_too.open(VMQ_OPEN_INPUT)),
                StartsWith("39 001001,Organization is indexed"));
}

}  // namespace
}  // namespace kvr::test
