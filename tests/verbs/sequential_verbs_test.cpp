// The COBOL verbs on sequential files, driven as a runtime drives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

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
    // OPEN EXTEND, WRITE of one record, CLOSE.
    std::string extend(const std::string& record) {
        return in_order({file().open(VMQ_OPEN_EXTEND), file().write(record), file().close()});
    }

    std::unique_ptr<VerbFile> file_;
};

const std::string kBlank(8, ' ');
using Records = std::vector<std::string>;

// A file of no bytes (a run died right after making it) is refused but for
// OUTPUT, which makes it anew; no mode opens nothing.
TEST_F(SequentialVerbs, OpensOfEmptyFiles) {
    write_file(path("report.seq"), "");
    for (const uint16_t request : {VMQ_OPEN_INPUT, VMQ_OPEN_IO, VMQ_OPEN_EXTEND}) {
        EXPECT_THAT(file().told(file().open(request)),
                    StartsWith("30 001009,Empty file, not a KVR file"))
            << request;
    }
    EXPECT_THAT(file().told(file().open(0)), StartsWith("30 001010,Invalid open mode"));
    EXPECT_EQ(file().fcb().open_entry, _vmqBSeqOpen);
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_OUTPUT), file().write("ANEW...."), file().close()}),
              "00 00 00");
    EXPECT_EQ(records(), Records{"ANEW...."});
}

// A release-only CLOSE gives the file and its storage up even when its
// buffered records cannot be written, and reports nothing.
TEST_F(SequentialVerbs, AFailedCloseCanBeGivenUp) {
    ASSERT_EQ(in_order({file().open(VMQ_OPEN_OUTPUT), file().write("LOST....")}), "00 00");
    {
        platform::FaultPlan dead;
        dead.kinds = platform::FaultPlan::kWrite;
        dead.fail_at = 1;
        dead.sticky = true;
        platform::ScopedFaultPlan scope(dead);
        EXPECT_EQ(file().close(), "30");
        file().fcb().status = 77;
        file().close(VMQ_CLOSE_RELEASE_ONLY);
        EXPECT_EQ(file().fcb().status, 77);
        EXPECT_EQ(file().fcb().engine_handle, nullptr);
    }
    auto again = make(8);  // the file given up is closed: it opens again
    EXPECT_EQ(in_order({again->open(VMQ_OPEN_INPUT), again->close()}), "00 00");
}

// A full disk under a WRITE gives 30 with the message "No space". The
// records written before, still in memory, reach the file at a CLOSE once
// there is room: none of those that gave 00 is lost.
TEST_F(SequentialVerbs, AFullDiskGives30AndLosesNoRecordThatGave00) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    const uint64_t used = std::filesystem::file_size(path("report.seq"));
    Records written;
    {
        FileSizeLimit full(used + 1000);
        for (int n = 0; n < 1000; ++n) {
            const std::string r = "R" + std::to_string(1000000 + n);
            const std::string status = file().write(r);
            if (status != "00") {
                EXPECT_THAT(file().told(status), StartsWith("30 000011,No space"));
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

// REWRITE keeps the length of the record just read; a refused verb, one
// without a record area too, changes nothing and loses no position; CLOSE
// with 0x4000 reports 07 and leaves the file open.
TEST_F(SequentialVerbs, WriteReadRewriteAndClose07) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    for (const char* r : {"FIRST...", "SECOND..", "THIRD..."})
        ASSERT_EQ(file().write(r), "00");
    EXPECT_EQ(file().write("TOO LONG!"), "44");
    EXPECT_THAT(file().without_area([&] { return file().write("LOST...."); }),
                StartsWith("30 001008,No record area"));
    ASSERT_EQ(file().close(), "00");

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    EXPECT_EQ(in_order({file().rewrite("XXXXXXXX"), file().next()}), "44 00 FIRST...");
    file().fcb().write_length = 7;
    file().set_record("SHORTER");
    EXPECT_EQ(file().call(file().fcb().rewrite_entry), "44");
    EXPECT_EQ(in_order({file().read(), file().rewrite("CHANGED."),
                        file().close(VMQ_CLOSE_REPORT_07), file().next(), file().read()}),
              "00 00 07 00 THIRD... 10");
    EXPECT_THAT(file().without_area([&] { return file().rewrite("LOST...."); }),
                StartsWith("30 001008,No record area"));
    EXPECT_THAT(in_order({file().close(), file().open(VMQ_OPEN_INPUT),
                          file().without_area([&] { return file().read(); })}),
                StartsWith("00 00 30 001008,No record area"));
    EXPECT_EQ(file().close(), "00");
    EXPECT_EQ(records(), (Records{"FIRST...", "CHANGED.", "THIRD..."}));
}

// A file cut short inside its last record, as a writer killed before its
// buffer reached the file leaves it: the READ at the tear reports damage
// (30 and a message), not the end of the file, wherever in the record the
// file ends; OPEN EXTEND appends where the torn record began. Without only
// its trailing length word the last record is whole; cut where a record
// ends, the file simply ends there.
TEST_F(SequentialVerbs, AFileCutShortInsideARecordIsDamageNotItsEnd) {
    const std::string name = path("report.seq");
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    for (const char* r : {"FIRST...", "SECOND..", "THIRD..."})
        ASSERT_EQ(file().write(r), "00");
    ASSERT_EQ(file().close(), "00");
    const std::string whole = read_file(name);
    // Each record takes 16 bytes: its length, 8 bytes of data, its length.
    for (size_t cut : {1, 6, 8, 14}) {
        SCOPED_TRACE(cut);
        write_file(name, whole.substr(0, whole.size() - cut));
        EXPECT_EQ(in_order({file().open(VMQ_OPEN_INPUT), file().read(), file().next()}),
                  "00 00 00 SECOND..");
        EXPECT_THAT(file().told(file().read()), StartsWith("30 000002,Input-output error"));
        EXPECT_EQ(file().fcb().state_flags & VMQ_AT_END, 0u);
        EXPECT_EQ(in_order({file().read(), file().close(), extend("FOURTH..")}), "46 00 00 00 00");
        EXPECT_EQ(records(), (Records{"FIRST...", "SECOND..", "FOURTH.."}));
    }
    write_file(name, whole.substr(0, whole.size() - 4));
    EXPECT_EQ(extend("FOURTH.."), "00 00 00");
    EXPECT_EQ(records(), (Records{"FIRST...", "SECOND..", "THIRD...", "FOURTH.."}));
    write_file(name, whole.substr(0, whole.size() - 32));
    EXPECT_EQ(records(), Records{"FIRST..."});
    EXPECT_EQ(extend("FOURTH.."), "00 00 00");
    EXPECT_EQ(records(), (Records{"FIRST...", "FOURTH.."}));
}

// ADVANCING puts blank lines before or after the record; LINAGE counts the
// lines of a page and, passing its end, writes the rest of the body, the
// bottom lines and the next page's top lines as blank records.
TEST_F(SequentialVerbs, AdvancingAndLinageWriteBlankLines) {
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    EXPECT_EQ(in_order({write_advancing("AFTER3..", VMQ_ADVANCE_AFTER, 3),
                        write_advancing("AFTER1..", VMQ_ADVANCE_AFTER, 1),
                        write_advancing("OVER....", VMQ_ADVANCE_AFTER, 0),
                        std::to_string(file().fcb().advance_lines), file().close()}),
              "00 00 00 1 00");
    EXPECT_EQ(records(), (Records{kBlank, kBlank, "AFTER3..", "OVER...."}));
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_OUTPUT),
                        write_advancing("BEFORE2.", VMQ_ADVANCE_BEFORE, 2), file().close()}),
              "00 00 00");
    EXPECT_EQ(records(), (Records{"BEFORE2.", kBlank, kBlank}));

    vmq_fcb& fcb = file().fcb();
    file().description().linage_flags = VMQ_LINAGE;
    fcb.linage_lines = 10;
    fcb.linage_footing = 8;
    fcb.linage_bottom = 2;
    fcb.linage_top = 1;
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    fcb.next_linage_top = 3;  // the next page has a larger top margin
    // The counter after each WRITE, and whether the footing is reached.
    auto line = [&](const char* record, uint32_t lines) {
        return in_order({write_advancing(record, VMQ_ADVANCE_AFTER, lines),
                         std::to_string(fcb.linage_counter),
                         (fcb.state_flags & VMQ_END_OF_PAGE) != 0 ? "EOP" : "-"});
    };
    EXPECT_EQ(in_order({line("LINE1...", 1), line("LINE2...", 6), line("NEWPAGE.", 3),
                        std::to_string(fcb.linage_top)}),
              "00 2 - 00 8 EOP 00 1 EOP 3");
    ASSERT_EQ(file().close(), "00");
    // The top line and the first line's blank, LINE1, five blanks and LINE2,
    // then the page change's blanks and NEWPAGE.
    Records expected(2 + 1 + 5 + 1 + (2 + 10 + 3 - 8) + 1, kBlank);
    expected[2] = "LINE1...";
    expected[8] = "LINE2...";
    expected.back() = "NEWPAGE.";
    EXPECT_EQ(records(), expected);
}

}  // namespace
}  // namespace kvr::test
