// The COBOL verbs on relative files, driven as a runtime drives them.
#include <gtest/gtest.h>

#include <filesystem>

#include "verbs/verb_fixture.h"
#include "vmqrmkvr/isam.h"

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
    // Random verbs on record n, and READ NEXT with the number it reaches.
    std::string read_at(uint32_t n) {
        file().fcb().relative_number = n;
        return file().read();
    }
    std::string remove_at(uint32_t n) {
        file().fcb().relative_number = n;
        return file().remove();
    }
    std::string start_at(uint32_t relation, uint32_t n) {
        file().fcb().relative_number = n;
        file().fcb().verb_options = relation;
        return file().call(file().fcb().start_entry);
    }
    static std::string next_number(VerbFile& file) {
        const std::string status = file.read(VMQ_READ_NEXT);
        return status + " " + std::to_string(file.fcb().relative_number);
    }

    std::unique_ptr<VerbFile> file_;
};

// Without a record area (the record number goes in front of the record)
// every verb but START, which needs only the number, is refused, and a
// WRITE refused so under sequential access numbers no record.
TEST_F(RelativeVerbs, WithoutARecordArea) {
    auto sequential = make(VMQ_ACCESS_SEQUENTIAL);
    VerbFile& s = *sequential;
    const std::string refused = "30 001008,No record area";
    ASSERT_EQ(in_order({s.open(VMQ_OPEN_OUTPUT), s.write("RECORD.."), s.write("RECORD..")}),
              "00 00 00");
    EXPECT_THAT(s.without_area([&] { return s.write("RECORD.."); }), StartsWith(refused));
    EXPECT_EQ(in_order({std::to_string(s.fcb().relative_number), s.write("RECORD.."), s.close()}),
              "2 00 00");
    ASSERT_EQ(in_order({file().open(VMQ_OPEN_IO), read_at(3), file().record()}), "00 00 RECORD..");
    file().fcb().relative_number = 3;
    EXPECT_THAT(file().without_area([&] { return file().read(); }), StartsWith(refused));
    EXPECT_THAT(file().without_area([&] { return start_at(VMQ_START_EQUAL, 3); }),
                StartsWith("00"));
    const std::function<std::string()> after_start[] = {
        [&] { return file().read(VMQ_READ_NEXT); }, [&] { return file().write("RECORD.."); },
        [&] { return file().rewrite("RECORD.."); }, [&] { return file().remove(); }};
    for (const std::function<std::string()>& verb : after_start)
        EXPECT_THAT(file().without_area(verb), StartsWith(refused));
    EXPECT_EQ(in_order({read_at(3), file().record(), file().close()}), "00 RECORD.. 00");
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

// A record 0 another writer put in the file is found by READ, START,
// REWRITE and DELETE, as READ NEXT finds it; a program still cannot WRITE
// one.
TEST_F(RelativeVerbs, RecordZeroOfAnotherWriter) {
    ASSERT_EQ(
        in_order({file().open(VMQ_OPEN_OUTPUT), file().write(number_record(1)), file().close()}),
        "00 00 00");
    void* slot = nullptr;
    ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot, nullptr, nullptr, file().fcb().file_name, 3), 0);
    unsigned char zero[12] = {0, 0, 0, 0, 'Z', 'E', 'R', 'O', '.', '.', '.', '.'};
    uint32_t length = sizeof zero;
    unsigned char key[4];
    ASSERT_EQ(_vmqpIsam(IX_WRITE, &slot, zero, &length, key, 0), 0);
    ASSERT_EQ(_vmqpIsam(IX_CLOSE, &slot, nullptr, nullptr, nullptr, 0), 0);

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    EXPECT_EQ(in_order({next_number(file()), read_at(0), file().record(),
                        start_at(VMQ_START_EQUAL, 0), next_number(file()),
                        file().rewrite(number_record(0)), read_at(0), file().record(),
                        file().write(number_record(0)), remove_at(0), read_at(0), file().close()}),
              "00 0 00 ZERO.... 00 00 0 00 00 REC00000 24 00 23 00");
}

// An indexed file is not opened as a relative one, even one shaped like it
// whose key is bytes, not a number.
TEST_F(RelativeVerbs, OrganizationsAreNotMixed) {
    for (const uint32_t keys : {1u, 2u}) {
        SCOPED_TRACE(keys);
        std::filesystem::remove(path("counters.rel"));
        VerbFile indexed(VMQ_ORG_INDEXED, path("counters.rel"), 12);
        for (uint32_t k = 0; k < keys; ++k)
            indexed.add_key(4 * k, 4);
        ASSERT_EQ(in_order({indexed.open(VMQ_OPEN_OUTPUT), indexed.close()}), "00 00");
        EXPECT_THAT(file().told(file().open(VMQ_OPEN_INPUT)),
                    StartsWith("39 001001,Organization is indexed"));
    }
}

}  // namespace
}  // namespace kvr::test
