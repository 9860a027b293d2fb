// The COBOL verbs on sequential files, driven as a runtime drives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/coding.h"
#include "platform/crt_file.h"
#include "platform/fault_injection.h"
#include "verbs/verb_fixture.h"

namespace kvr::test {
namespace {

class SequentialVerbs : public VerbTest {
protected:
    void SetUp() override {
        VerbTest::SetUp();
        file_ = make(8);
    }
    std::unique_ptr<VerbFile> make(uint32_t record_length) {
        return std::make_unique<VerbFile>(VMQ_ORG_SEQUENTIAL, path("report.seq"), record_length);
    }
    VerbFile& file() { return *file_; }

    // Every record of the file, read through a fresh FCB.
    std::vector<std::string> records() {
        auto reader = make(8);
        std::vector<std::string> all;
        EXPECT_EQ(reader->open(VMQ_OPEN_INPUT), "00");
        while (reader->read() == "00")
            all.push_back(reader->record());
        EXPECT_EQ(reader->close(), "00");
        return all;
    }
    std::string write_advancing(const std::string& record, uint8_t options, uint32_t lines) {
        file().fcb().advance_options = options;
        file().fcb().advance_lines = lines;
        std::string status = file().write(record);
        file().fcb().advance_options = 0;
        return status;
    }

    std::unique_ptr<VerbFile> file_;
};

const std::string kBlank(8, ' ');

TEST_F(SequentialVerbs, OpenOfAbsentFiles) {
    EXPECT_THAT(file().told(file().open(VMQ_OPEN_INPUT)),
                StartsWith("35 001003,File does not exist"));
    file().description().file_flags = VMQ_FILE_OPTIONAL;
    EXPECT_EQ(file().open(VMQ_OPEN_INPUT), "05");
    EXPECT_EQ(platform::_access(path("report.seq").c_str(), 0), -1);  // nothing created
    EXPECT_EQ(file().close(), "00");
    EXPECT_EQ(file().open(VMQ_OPEN_EXTEND), "05");  // created
    EXPECT_EQ(file().write("EXTENDED"), "00");
    EXPECT_EQ(file().close(), "00");
    EXPECT_EQ(records(), std::vector<std::string>{"EXTENDED"});

    // A file of no bytes (a run died right after making it): INPUT, I-O and
    // EXTEND say what it is, OUTPUT makes it anew. No mode opens nothing.
    write_file(path("report.seq"), "");
    for (const uint16_t request : {VMQ_OPEN_INPUT, VMQ_OPEN_IO, VMQ_OPEN_EXTEND}) {
        EXPECT_EQ(file().open(request), "30") << request;
        EXPECT_EQ(file().message().substr(0, 33), "001009,Empty file, not a KVR file");
    }
    EXPECT_THAT(file().told(file().open(0)), StartsWith("30 001010,Invalid open mode"));
    EXPECT_EQ(file().fcb().open_entry, _vmqBSeqOpen);
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_OUTPUT), file().write("ANEW...."), file().close()}),
              "00 00 00");
    EXPECT_EQ(records(), std::vector<std::string>{"ANEW...."});
}

// A CLOSE whose buffered records cannot be written reports 30 and keeps
// the file open; repeated once the disk works it writes them. A release-only
// CLOSE gives the file and its storage up whatever happens.
TEST_F(SequentialVerbs, AFailedCloseCanBeRepeatedOrGivenUp) {
    platform::FaultPlan dead;
    dead.kinds = platform::FaultPlan::kWrite;
    dead.fail_at = 1;
    dead.sticky = true;
    for (const bool repeat : {true, false}) {
        SCOPED_TRACE(repeat ? "repeated" : "given up");
        ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
        ASSERT_EQ(file().write("KEPT...."), "00");
        {
            dead.calls_seen = 0;
            platform::ScopedFaultPlan scope(dead);
            EXPECT_EQ(file().close(), "30");
            EXPECT_EQ(file().fcb().open_mode, VMQ_OPEN_OUTPUT);
            if (!repeat) {
                file().fcb().status = 77;
                file().close(VMQ_CLOSE_RELEASE_ONLY);
                EXPECT_EQ(file().fcb().status, 77);  // nothing reported
                EXPECT_EQ(file().fcb().engine_handle, nullptr);
            }
        }
        if (repeat) {
            EXPECT_EQ(file().close(), "00");
            EXPECT_EQ(records(), std::vector<std::string>{"KEPT...."});
        }
    }
    // The file given up is closed: it opens again.
    auto again = make(8);
    EXPECT_EQ(again->open(VMQ_OPEN_INPUT), "00");
    EXPECT_EQ(again->close(), "00");
}

// A full disk under a WRITE is the boundary of a sequential file (34).
// The records written before, still in memory, reach the file at a CLOSE
// once there is room: none of those that gave 00 is lost.
TEST_F(SequentialVerbs, AFullDiskGives34AndLosesNoRecordThatGave00) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    const uint64_t used = std::filesystem::file_size(path("report.seq"));
    std::vector<std::string> written;
    {
        FileSizeLimit full(used + 1000);
        for (int n = 0; n < 1000; ++n) {
            const std::string r = "R" + std::to_string(1000000 + n);
            const std::string status = file().write(r);
            if (status != "00") {
                EXPECT_EQ(status, "34");
                EXPECT_EQ(file().message().substr(0, 15), "000011,No space");
                break;
            }
            written.push_back(r);
        }
        ASSERT_GT(written.size(), 62u);  // more than the room: some wait in memory
        ASSERT_LT(written.size(), 1000u);
        EXPECT_EQ(file().close(), "30");
    }
    EXPECT_EQ(file().close(), "00");
    EXPECT_EQ(records(), written);
}

TEST_F(SequentialVerbs, WriteReadRewriteAndClose07) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    for (const char* r : {"FIRST...", "SECOND..", "THIRD..."})
        ASSERT_EQ(file().write(r), "00");
    EXPECT_EQ(file().write("TOO LONG!"), "44");
    ASSERT_EQ(file().close(), "00");

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    // Nothing read yet: the length differs from the (none) read. A refused
    // verb between OPEN and the first READ does not lose the first record.
    EXPECT_EQ(file().rewrite("XXXXXXXX"), "44");
    ASSERT_EQ(file().read(), "00");
    EXPECT_EQ(file().record(), "FIRST...");
    file().fcb().write_length = 7;
    file().set_record("SHORTER");
    EXPECT_EQ(file().call(file().fcb().rewrite_entry), "44");  // another length
    ASSERT_EQ(file().read(), "00");
    EXPECT_EQ(file().rewrite("CHANGED."), "00");
    // CLOSE with 0x4000 reports 07 and leaves the file open.
    EXPECT_EQ(file().close(VMQ_CLOSE_REPORT_07), "07");
    EXPECT_EQ(file().read(), "00");
    EXPECT_EQ(file().record(), "THIRD...");
    EXPECT_EQ(in_order({file().read(), file().read(), file().close()}), "10 46 00");
    EXPECT_EQ(records(), (std::vector<std::string>{"FIRST...", "CHANGED.", "THIRD..."}));
}

TEST_F(SequentialVerbs, AttributeChecksAndSharing) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(file().write("KEEPME.."), "00");
    auto second = make(8);
    EXPECT_EQ(second->open(VMQ_OPEN_INPUT), "98");
    ASSERT_EQ(file().close(), "00");

    auto longer = make(9);
    EXPECT_THAT(longer->told(longer->open(VMQ_OPEN_OUTPUT)),
                StartsWith("39 001005,Record lengths differ"));
    EXPECT_EQ(records(), std::vector<std::string>{"KEEPME.."});  // left intact

    // An indexed file is not a sequential one.
    VerbFile indexed(VMQ_ORG_INDEXED, path("other.idx"), 8);
    indexed.add_key(0, 4);
    ASSERT_EQ(indexed.open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(indexed.close(), "00");
    VerbFile as_sequential(VMQ_ORG_SEQUENTIAL, path("other.idx"), 8);
    EXPECT_THAT(as_sequential.told(as_sequential.open(VMQ_OPEN_INPUT)),
                StartsWith("39 001000,Organization is not sequential"));
}

// A file cut short inside its last record, as a writer killed before its
// buffer reached the file leaves it: the READ at the tear reports damage
// (30 and a message), not the end of the file, wherever in the record the
// file ends; OPEN EXTEND appends where the torn record began, so that every
// record written then reads back.
TEST_F(SequentialVerbs, AFileCutShortInsideARecordIsDamageNotItsEnd) {
    const std::string name = path("report.seq");
    auto write_three = [&] {
        ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
        for (const char* r : {"FIRST...", "SECOND..", "THIRD..."})
            ASSERT_EQ(file().write(r), "00");
        ASSERT_EQ(file().close(), "00");
    };
    write_three();
    const uintmax_t whole = std::filesystem::file_size(name);
    // Each record takes 16 bytes: its length, 8 bytes of data, its length.
    for (uintmax_t cut : {1, 6, 8, 14}) {
        SCOPED_TRACE(cut);
        write_three();
        std::filesystem::resize_file(name, whole - cut);
        EXPECT_EQ(in_order({file().open(VMQ_OPEN_INPUT), file().read(), file().read()}),
                  "00 00 00");
        EXPECT_EQ(file().record(), "SECOND..");
        EXPECT_THAT(file().told(file().read()), StartsWith("30 000002,Input-output error"));
        EXPECT_EQ(file().fcb().state_flags & VMQ_AT_END, 0u);
        EXPECT_EQ(file().read(), "46");
        EXPECT_EQ(file().close(), "00");

        EXPECT_EQ(
            in_order({file().open(VMQ_OPEN_EXTEND), file().write("FOURTH.."), file().close()}),
            "00 00 00");
        EXPECT_EQ(records(), (std::vector<std::string>{"FIRST...", "SECOND..", "FOURTH.."}));
    }
    // Without only its trailing length word, the last record is whole:
    // EXTEND puts the word there before it appends.
    write_three();
    std::filesystem::resize_file(name, whole - 4);
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_EXTEND), file().write("FOURTH.."), file().close()}),
              "00 00 00");
    EXPECT_EQ(records(),
              (std::vector<std::string>{"FIRST...", "SECOND..", "THIRD...", "FOURTH.."}));
    // Cut where a record ends, the file simply ends there, and EXTEND
    // appends after it.
    write_three();
    std::filesystem::resize_file(name, whole - 32);
    EXPECT_EQ(records(), std::vector<std::string>{"FIRST..."});
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_EXTEND), file().write("FOURTH.."), file().close()}),
              "00 00 00");
    EXPECT_EQ(records(), (std::vector<std::string>{"FIRST...", "FOURTH.."}));
}

// A file past 4 GiB, as a batch job writes and reads one. It begins with a
// record of 4 GiB of zeros that the file system keeps as a hole (a READ
// delivers its first 8 bytes); the program's records lie across 2^32, the
// first one's data on it.
TEST_F(SequentialVerbs, FilesPastFourGiB) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(file().close(), "00");
    const uint64_t hole_end = (uint64_t{1} << 32) - 8;
    {
        std::fstream hole(path("report.seq"), std::ios::in | std::ios::out | std::ios::binary);
        char word[4];
        platform::store_u32(reinterpret_cast<unsigned char*>(word),
                            static_cast<uint32_t>(hole_end - 88));
        hole.seekp(80).write(word, 4);
        hole.seekp(static_cast<std::streamoff>(hole_end - 4)).write(word, 4);
    }
    ASSERT_EQ(file().open(VMQ_OPEN_EXTEND), "00");
    std::vector<std::string> expected = {std::string(8, '\0')};
    for (int n = 0; n < 600; ++n) {
        expected.push_back("R" + std::to_string(1000000 + n));
        ASSERT_EQ(file().write(expected.back()), "00") << n;
    }
    ASSERT_EQ(file().close(), "00");
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(file().read(), "00") << i;
        ASSERT_EQ(file().record(), expected[i]) << i;
        if (i % 100 == 1) {
            expected[i][0] = 'W';
            ASSERT_EQ(file().rewrite(expected[i]), "00") << i;
        }
    }
    EXPECT_EQ(file().read(), "10");
    ASSERT_EQ(file().close(), "00");
    EXPECT_EQ(records(), expected);
}

// A READ, WRITE or REWRITE without a record area is refused with 30 and a
// message; nothing is read or written.
TEST_F(SequentialVerbs, CallsWithoutARecordAreaAreRefused) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    unsigned char* area = file().fcb().record_area;
    file().fcb().record_area = nullptr;
    file().fcb().write_length = 8;
    EXPECT_THAT(file().told(file().call(file().fcb().write_entry)),
                StartsWith("30 001008,No record area"));
    file().fcb().record_area = area;
    ASSERT_EQ(file().write("KEPT...."), "00");
    ASSERT_EQ(file().close(), "00");

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    ASSERT_EQ(file().read(), "00");
    file().fcb().record_area = nullptr;
    EXPECT_EQ(file().call(file().fcb().rewrite_entry), "30");
    EXPECT_THAT(file().told(file().read()), StartsWith("30 001008,No record area"));
    file().fcb().record_area = area;
    ASSERT_EQ(file().close(), "00");
    EXPECT_EQ(records(), std::vector<std::string>{"KEPT...."});
}

TEST_F(SequentialVerbs, AdvancingWritesBlankLines) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    EXPECT_EQ(write_advancing("AFTER3..", VMQ_ADVANCE_AFTER, 3), "00");
    EXPECT_EQ(write_advancing("AFTER1..", VMQ_ADVANCE_AFTER, 1), "00");
    EXPECT_EQ(write_advancing("OVER....", VMQ_ADVANCE_AFTER, 0), "00");
    EXPECT_EQ(file().fcb().advance_lines, 1u);
    ASSERT_EQ(file().close(), "00");
    EXPECT_EQ(records(), (std::vector<std::string>{kBlank, kBlank, "AFTER3..", "OVER...."}));

    auto before = make(8);
    ASSERT_EQ(before->open(VMQ_OPEN_OUTPUT), "00");
    before->fcb().advance_options = VMQ_ADVANCE_BEFORE;
    before->fcb().advance_lines = 2;
    EXPECT_EQ(before->write("BEFORE2."), "00");
    ASSERT_EQ(before->close(), "00");
    EXPECT_EQ(records(), (std::vector<std::string>{"BEFORE2.", kBlank, kBlank}));
}

TEST_F(SequentialVerbs, LinagePageChange) {
    vmq_fcb& fcb = file().fcb();
    file().description().linage_flags = VMQ_LINAGE;
    fcb.linage_lines = 10;
    fcb.linage_footing = 8;
    fcb.linage_bottom = 2;
    fcb.linage_top = 1;
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    fcb.next_linage_top = 3;  // the next page has a larger top margin
    EXPECT_EQ(write_advancing("LINE1...", VMQ_ADVANCE_AFTER, 1), "00");
    EXPECT_EQ(fcb.linage_counter, 2u);
    EXPECT_EQ(write_advancing("LINE2...", VMQ_ADVANCE_AFTER, 6), "00");
    EXPECT_EQ(fcb.linage_counter, 8u);
    EXPECT_NE(fcb.state_flags & VMQ_END_OF_PAGE, 0u);  // the footing is reached
    // Passing line 10: the rest of the body, the bottom lines and the next
    // page's top lines are written as blank records.
    EXPECT_EQ(write_advancing("NEWPAGE.", VMQ_ADVANCE_AFTER, 3), "00");
    EXPECT_EQ(fcb.linage_counter, 1u);
    EXPECT_NE(fcb.state_flags & VMQ_END_OF_PAGE, 0u);
    EXPECT_EQ(fcb.linage_top, 3u);
    ASSERT_EQ(file().close(), "00");
    std::vector<std::string> all = records();
    // The top line and the first line's blank, LINE1, five blanks and LINE2,
    // then the page change's blanks and NEWPAGE.
    ASSERT_EQ(all.size(), 2u + 1 + 5 + 1 + (2 + 10 + 3 - 8) + 1);
    EXPECT_EQ(all[2], "LINE1...");
    EXPECT_EQ(all.back(), "NEWPAGE.");
}

}  // namespace
}  // namespace kvr::test
