// The COBOL verbs on indexed, relative and sequential files, driven as a
// runtime drives them: the tables every engine runs and those only the verb
// vector shows, and the cases a table cannot say (faults, damaged files,
// the FCB's own fields).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/fault_injection.h"
#include "verbs/scenarios.h"
#include "verbs/verb_fixture.h"
#include "vmqrmkvr/isam.h"

namespace kvr::test {
namespace {

using enum Verb;
constexpr int64_t kUnkeyed = 256;  // a key of reference that, as a byte, is the prime key's

// Customers by number (6), name (4) and region (3, duplicates).
const std::vector<Key> kBranchKeys = {{0, 6}, {6, 4}, {10, 3, true}};
const Layout kBranches{Organization::kIndexed, 30, 30, kBranchKeys};
const Layout kOneKey{Organization::kIndexed, 30, 30, {{0, 6}}};
const Layout kLonger{Organization::kIndexed, 31, 31, kBranchKeys};
const Layout kVariable{Organization::kIndexed, 13, 30, kBranchKeys};
const Layout kNameMoved{Organization::kIndexed, 30, 30, {{0, 6}, {5, 4}, {10, 3, true}}};
const Layout kUniqueRegion{Organization::kIndexed, 30, 30, {{0, 6}, {6, 4}, {10, 3}}};
const Layout kSmallArea{Organization::kIndexed, 30, 30, kBranchKeys, false, false, 0, 20};
const Layout kCounters{Organization::kRelative, 8, 8};
const Layout kCountersInSequence{Organization::kRelative, 8, 8, {}, true};
const Layout kCountersIndexed{Organization::kIndexed, 12, 12, {{0, 4}}};
const Layout kCountersTwoKeys{Organization::kIndexed, 12, 12, {{0, 4}, {4, 4}}};
const Layout kReport{Organization::kSequential, 8, 8, {}, true};
// As the file describes itself after a mismatch.
#define KVR_FILE_KEYS ",fixed length 30 30,3 keys,(1 6),(7 4),(11 3 DUPOK)"
constexpr std::string_view kNeverClosed = "000030,Left open by a program that never closed it";
constexpr std::string_view kNoArea = "001008,No record area";
constexpr std::string_view kEmpty = "001009,Empty file, not a KVR file";

// What only the verb vector shows: the messages in the program's area, and
// calls no runtime should make.
const std::vector<Scenario> kVectorScenarios = {
    // A refused OPEN says why, leaves the connector closed and the file (or
    // its absence) as it was. A file a program killed mid-update left is
    // refused until it is rebuilt; OUTPUT makes it anew (an empty file too:
    // RelativeFilesWithoutARecordArea).
    // A different duplicates rule is no mismatch: the file keeps its own.
    {"RefusedOpensSayWhyAndTouchNothing",
     {kBranches, kOneKey, kLonger, kVariable, kNameMoved, kUniqueRegion},
     {
         {kOpenInput, "", k35, "001003,File does not exist"},
         {kNoFile, ""},
         {kPutFile, ""},
         {kOpenInput, "", k30, kEmpty},
         {kOpenIo, "", k30, kEmpty},
         {kOpenNothing, "", k30, "001010,Invalid open mode"},
         {kClose, "", k42},
         {kSameFile, ""},
         {kOpenOutput, "", k00},
         {kWrite, "000001JOHNNYC", k00},
         {kClose, "", k00},
         {kSaveFile, "made"},
         use(1),
         {kOpenInput, "", k39, "001004,Number of keys differ" KVR_FILE_KEYS},
         use(2),
         {kOpenIo, "", k39, "001005,Record lengths differ" KVR_FILE_KEYS},
         use(3),
         {kOpenInput, "", k39, "001006,Record types differ" KVR_FILE_KEYS},
         use(4),
         {kOpenOutput, "", k39,
          "001007,Key length or position differs,fixed length 30 30,3 keys,(1 6),(7 4),(11"},
         {kClose, "", k42},
         {kSameFile, "made"},
         use(5),
         {kOpenOutput, "", k00},
         {kWrite, "000001JOHNNYC", k00},
         {kClose, "", k00},
         use(0),
         {kOpenIo, "", k00},
         {kWrite, "000002MARYNYC", k22},
         {kWrite, "000003ANNLAX", k00},
         {kSaveFile, "left open"},
         {kClose, "", k00},
         {kPutFile, "left open"},
         {kOpenInput, "", k39, kNeverClosed},
         {kOpenIo, "", k39, kNeverClosed},
         {kSameFile, "left open"},
         {kOpenOutput, "", k00},
         {kWrite, "000004BOBLAX", k00},
         {kClose, "", k00},
         {kOpenInput, "", k00},
         {kReadNext, "", k00, "000004BOBLAX"},
         {kReadNext, "", k10},
         {kClose, "", k00},
     }},
    // A variable-length record that ends before the last key does is
    // refused with 44 before the engine sees it, as is one longer than the
    // file's; a record longer than the program's area is delivered whole
    // with 04.
    {"RecordLengths",
     {{Organization::kIndexed, 5, 30, kBranchKeys}, kSmallArea},
     {
         {kOpenOutput, "", k00},
         {kWrite, "000010ANNABO", k44, "000014,Record too short"},
         {kWrite, "000010ANNABOS", k00},
         {kClose, "", k00},
         {kOpenIo, "", k00},
         {kReadNext, "", k00, "000010ANNABOS"},
         {kRewrite, "000010ANNABO", k44, "000014,Record too short"},
         {kClose, "", k00},
         use(1),
         {kPutFile, ""},
         {kOpenOutput, "", k00},
         {kWrite, "000001JOHNNYC", k00},
         {kWrite, "000002JOHNNYC", k44, "", kSame, 31},
         {kClose, "", k00},
         {kOpenInput, "", k00},
         {kReadNext, "", k04, "000001JOHNNYC"},
         {kClose, "", k00},
     }},
    // A key of reference the file does not have (as a byte, 257 would pass
    // for the prime key) and no record area get a status and a
    // message, never a crash and never a quiet success; nothing changes.
    {"BadCallsGetAStatusAndAMessage",
     {kBranches},
     {
         {kOpenOutput, "", k00},
         {kWrite, "000010ANNABOS", k00},
         {kWrite, "000020BERTNYC", k00},
         {kClose, "", k00},
         {kOpenIo, "", k00},
         {kRead, "000010", k20, "", 3},
         {kRead, "000010", k00, "000010ANNABOS"},  // by the prime key: no key of reference
         {kReadNext, "", k20, "000006,Invalid key number"},
         {kStartEqual, "000010", k20, "", 3},
         {kWrite, "000030CARLBOS", k20},
         {kRead, "000010", k20, "", kUnkeyed},
         {kRead, "000010", k00, "000010ANNABOS"},
         {kReadNext, "", k20},
         {kStartEqual, "000010", k20, "", kUnkeyed},
         {kWrite, "000030CARLBOS", k20},
         {kRead, "000010", k00, "000010ANNABOS", 0},
         no_area({kRead, "000010", k30, kNoArea}),
         no_area({kStartNotLess, "000010", k30, kNoArea}),
         no_area({kWrite, "000030CARLBOS", k30, kNoArea}),
         no_area({kRewrite, "000010ANNALAX", k30, kNoArea}),
         no_area({kDelete, "", k30, kNoArea}),
         {kRead, "000030", k23},
         {kRead, "000010", k00, "000010ANNABOS"},
         {kReadNext, "", k00, "000020BERTNYC"},
         {kClose, "", k00},
     }},
    // Without a record area (the record number goes in front of the
    // record) every verb but START, which needs only the number, is
    // refused, and a WRITE refused so under sequential access numbers no
    // record. An indexed file is not opened as a relative one, even one
    // shaped like it whose key is bytes, not a number.
    {"RelativeFilesWithoutARecordArea",
     {kCountersInSequence, kCounters, kCountersIndexed, kCountersTwoKeys},
     {
         {kOpenOutput, "", k00},
         {kWrite, "RECORD.1", k00},
         {kWrite, "RECORD.2", k00},
         no_area({kWrite, "RECORD.x", k30, kNoArea}),
         {kWrite, "RECORD.3", k00},
         {kClose, "", k00},
         use(1),
         {kOpenIo, "", k00},
         no_area({kRead, "", k30, kNoArea, 3}),
         no_area({kStartEqual, "", k00, "", 3}),
         no_area({kReadNext, "", k30, kNoArea}),
         no_area({kWrite, "RECORD.x", k30, kNoArea}),
         no_area({kRewrite, "RECORD.x", k30, kNoArea}),
         no_area({kDelete, "", k30, kNoArea}),
         {kRead, "", k00, "3:RECORD.3", 3},
         {kClose, "", k00},
         {kPutFile, ""},
         use(2),
         {kOpenOutput, "", k00},
         {kClose, "", k00},
         use(1),
         {kOpenInput, "", k39, "001001,Organization is indexed"},
         {kPutFile, ""},
         use(3),
         {kOpenOutput, "", k00},
         {kClose, "", k00},
         use(1),
         {kOpenInput, "", k39, "001001,Organization is indexed"},
     }},
    // A file of no bytes (a run died right after making it) is refused but
    // for OUTPUT, which makes it anew; no mode opens nothing. REWRITE keeps
    // the length of the record just read; a refused verb, one without a
    // record area too, changes nothing and loses no position; CLOSE UNIT
    // reports 07 and leaves the file open.
    {"SequentialRefusals",
     {kReport},
     {
         {kPutFile, ""},
         {kOpenInput, "", k30, kEmpty},
         {kOpenIo, "", k30, kEmpty},
         {kOpenExtend, "", k30, kEmpty},
         {kOpenNothing, "", k30, "001010,Invalid open mode"},
         {kClose, "", k42},
         {kOpenOutput, "", k00},
         {kWrite, "FIRST...", k00},
         {kWrite, "SECOND..", k00},
         {kWrite, "THIRD...", k00},
         {kWrite, "TOO LONG!", k44},
         no_area({kWrite, "LOST....", k30, kNoArea}),
         {kClose, "", k00},
         {kOpenIo, "", k00},
         {kRewrite, "XXXXXXXX", k44},
         {kRead, "", k00, "FIRST..."},
         {kRewrite, "SHORTER", k44, "", kSame, 7},
         {kRead, "", k00, "SECOND.."},
         {kRewrite, "CHANGED.", k00},
         {kCloseUnit, "", k07},
         {kRead, "", k00, "THIRD..."},
         {kRead, "", k10},
         no_area({kRewrite, "LOST....", k30, kNoArea}),
         {kClose, "", k00},
         {kOpenInput, "", k00},
         no_area({kRead, "", k30, kNoArea}),
         {kClose, "", k00},
         {kOpenInput, "", k00},
         {kRead, "", k00, "FIRST..."},
         {kRead, "", k00, "CHANGED."},
         {kRead, "", k00, "THIRD..."},
         {kRead, "", k10},
         {kClose, "", k00},
     }},
};

// The tables every engine runs and those above, through the FCB's verb
// vector.
class VerbScenarios : public VerbTest, public ::testing::WithParamInterface<Scenario> {};
TEST_P(VerbScenarios, ThroughTheVerbVector) {
    run_scenario(VerbFile::make, GetParam(), path("scenario.dat"));
}
INSTANTIATE_TEST_SUITE_P(Tables, VerbScenarios, ::testing::ValuesIn(verb_scenarios()),
                         [](const auto& scenario) { return scenario.param.name; });
INSTANTIATE_TEST_SUITE_P(VectorOnly, VerbScenarios, ::testing::ValuesIn(kVectorScenarios),
                         [](const auto& scenario) { return scenario.param.name; });

using Records = std::vector<std::string>;
const std::string kBlank(8, ' ');
const Layout kLines{Organization::kSequential, 8, 8};

class Verbs : public VerbTest {
protected:
    // Every record of the file, read through a fresh FCB.
    Records records(const Layout& layout, const std::string& name) {
        VerbFile reader(layout, name);
        Records all;
        EXPECT_EQ(reader.open(VMQ_OPEN_INPUT), "00");
        while (reader.read(layout.organization == Organization::kIndexed ? VMQ_READ_NEXT : 0) ==
               "00")
            all.push_back(reader.record());
        EXPECT_EQ(reader.close(), "00");
        return all;
    }
};
using IndexedVerbs = Verbs;
using RelativeVerbs = Verbs;
using SequentialVerbs = Verbs;

// A release-only CLOSE reports nothing but closes the engine file: it
// opens for update; a verb through the stale vector is refused safely, as
// is one through a copy of an open FCB, whose slot is not its own, before
// and after the FCB it was copied from closes.
TEST_F(IndexedVerbs, ReleaseOnlyClose) {
    VerbFile other(kBranches, path("customers.idx")), writer(kBranches, path("customers.idx"));
    ASSERT_EQ(in_order({other.open(VMQ_OPEN_OUTPUT), other.close(), other.open(VMQ_OPEN_INPUT)}),
              "00 00 00");
    other.fcb().status = 77;
    other.close(VMQ_CLOSE_RELEASE_ONLY);
    EXPECT_EQ(other.fcb().status, 77);
    EXPECT_EQ(other.fcb().close_entry, _vmqBIndexClose);
    EXPECT_EQ(other.fcb().engine_handle, nullptr);
    ASSERT_EQ(writer.open(VMQ_OPEN_IO), "00");
    vmq_fcb copy = writer.fcb();
    copy.write_length = 30;
    auto status_of = [&](vmq_verb_entry vmq_fcb::*entry) {
        (copy.*entry)(&copy, &writer.program().context);
        return std::to_string(copy.status);
    };
    EXPECT_EQ(in_order({status_of(&vmq_fcb::read_entry), writer.close(),
                        status_of(&vmq_fcb::read_entry), status_of(&vmq_fcb::write_entry),
                        status_of(&vmq_fcb::close_entry), other.read(VMQ_READ_NEXT)}),
              "47 00 47 48 42 47");
}

// The file system fills up under a program. A WRITE whose record cannot
// reach the file gives 30 and changes nothing; every WRITE that gave 00 is
// in the file. A file the system will not open gives 91.
TEST_F(IndexedVerbs, AFullDiskLosesNoAcknowledgedRecord) {
    auto customer = [](int n) {
        char r[16];
        std::snprintf(r, sizeof r, "%06dC%03dR%02d", n, n, n);
        return std::string(r);
    };
    const std::string name = path("customers.idx");
    VerbFile file(kBranches, name);
    ASSERT_EQ(file.open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(file.write(customer(1)), "00");
    const uint64_t used = std::filesystem::file_size(name);
    Records written = {customer(1) + std::string(17, ' ')};
    {
        // Room for ten more records (slots of 34 bytes) and part of one.
        FileSizeLimit full(used + 10 * 34 + 10);
        for (int n = 2; n <= 11; ++n) {
            ASSERT_EQ(file.write(customer(n)), "00") << n;
            written.push_back(customer(n) + std::string(17, ' '));
        }
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(file.told(file.write(customer(12))), "30 000002,Input-output error");
            EXPECT_EQ(std::filesystem::file_size(name), used + 10 * 34);  // nothing cut short
        }
    }
    EXPECT_EQ(in_order({file.write(customer(12)), file.close()}), "00 00");
    written.push_back(customer(12) + std::string(17, ' '));
    EXPECT_EQ(records(kBranches, name), written);

    // At the largest size a file can have, a WRITE is refused with 30 before
    // anything is written, and the file stays sound: it closes and opens.
    ASSERT_EQ(file.open(VMQ_OPEN_OUTPUT), "00");
    std::filesystem::resize_file(name, 0xFFFFFFFFu - 40);  // sparse: room for one slot
    EXPECT_EQ(file.write(customer(1)), "00");
    EXPECT_EQ(file.told(file.write(customer(2))), "30 000011,No space");
    EXPECT_EQ(file.close(), "00");
    EXPECT_EQ(records(kBranches, name), Records{written[0]});

    platform::FaultPlan plan{platform::FaultPlan::kOpen, 1, platform::ERROR_ACCESS_DENIED};
    platform::ScopedFaultPlan scope(plan);
    EXPECT_EQ(file.told(file.open(VMQ_OPEN_INPUT)), "91 000015,Access denied");
}

// A WRITE whose key needs a new index page where the disk has no room for
// one gives 30 and changes nothing, at any level of the trees; a CLOSE
// that cannot write what it holds gives 30, and the CLOSE after it, once
// there is room, writes it and gives 00. Every record that gave 00 is in
// the file. Indexed (the split in an alternate tree) and relative.
TEST_F(IndexedVerbs, AFullDiskAtASplitLosesNothingAndTheSecondCloseWritesIt) {
    for (const bool relative : {false, true}) {
        SCOPED_TRACE(relative ? "relative" : "indexed");
        const std::string name = path(relative ? "counters.rel" : "customers.idx");
        VerbFile f(relative ? kCounters : kBranches, name);
        auto record = [&](int n) {
            char r[16];
            std::snprintf(r, sizeof r, "%06dC%03dR%02d", n, n % 1000, n % 100);
            f.fcb().relative_number = static_cast<uint32_t>(n);
            return std::string(r, relative ? 8 : 13);
        };
        // The WRITEs that take a new index page: the file grows by a page.
        std::vector<int> splits;
        ASSERT_EQ(f.open(VMQ_OPEN_OUTPUT), "00");
        for (int n = 1; splits.size() < 4; ++n) {
            const auto before = std::filesystem::file_size(name);
            ASSERT_LE(f.write(record(n)), "02");
            if (std::filesystem::file_size(name) - before > 200)
                splits.push_back(n);
        }
        ASSERT_EQ(f.close(), "00");
        for (const int split : splits) {
            std::filesystem::remove(name);
            ASSERT_EQ(f.open(VMQ_OPEN_OUTPUT), "00");
            for (int n = 1; n < split; ++n)
                ASSERT_LE(f.write(record(n)), "02");
            {
                FileSizeLimit full(std::filesystem::file_size(name) + 100);
                EXPECT_EQ(f.write(record(split)), "30") << split;
            }
            {
                platform::FaultPlan plan{platform::FaultPlan::kWrite, 1, platform::ERROR_DISK_FULL,
                                         true};
                platform::ScopedFaultPlan scope(plan);
                EXPECT_EQ(f.close(), "30");
            }
            EXPECT_EQ(in_order({f.close(), f.open(VMQ_OPEN_INPUT)}), "00 00");
            int count = 0;
            while (f.read(VMQ_READ_NEXT) == "00")
                ++count;
            EXPECT_EQ(count, split - 1);
            EXPECT_EQ(f.close(), "00");
        }
    }
}

TEST_F(RelativeVerbs, RelativeKeyDigitLimits) {
    Layout one_digit = kCountersInSequence;
    one_digit.relative_key_digits = 1;
    VerbFile sequential(one_digit, path("counters.rel")), file(kCounters, path("counters.rel"));
    ASSERT_EQ(sequential.open(VMQ_OPEN_OUTPUT), "00");
    for (int i = 1; i <= 9; ++i)
        ASSERT_EQ(sequential.write("RECORD.."), "00");
    EXPECT_EQ(sequential.write("RECORD.."), "24");  // record 10 is written all the same
    EXPECT_EQ(sequential.fcb().relative_number, 10u);
    EXPECT_EQ(sequential.close(), "00");

    // A READ NEXT that reaches a number the item cannot hold: 14, then 46.
    ASSERT_EQ(sequential.open(VMQ_OPEN_INPUT), "00");
    for (int i = 1; i <= 9; ++i)
        ASSERT_EQ(sequential.read(), "00");
    EXPECT_EQ(sequential.read(), "14");
    EXPECT_EQ(sequential.fcb().relative_number, 10u);
    EXPECT_EQ(in_order({sequential.read(), sequential.close()}), "46 00");

    // A RELATIVE KEY the runtime found unusable: 14 without a read.
    ASSERT_EQ(file.open(VMQ_OPEN_INPUT), "00");
    file.fcb().relative_key_error = 1;
    EXPECT_EQ(file.read(), "14");
    file.fcb().relative_key_error = 0;
    EXPECT_EQ(file.close(), "00");
}

// A record 0 another writer put in the file is found by READ, START,
// REWRITE and DELETE, as READ NEXT finds it; a program still cannot WRITE
// one.
TEST_F(RelativeVerbs, RecordZeroOfAnotherWriter) {
    VerbFile file(kCounters, path("counters.rel"));
    const auto at = [&](Verb verb, int64_t n, std::string_view data = "") {
        return file.perform({verb, data, {}, {}, n});
    };
    const auto number = [&] { return std::to_string(file.fcb().relative_number); };
    ASSERT_EQ(in_order({file.open(VMQ_OPEN_OUTPUT), at(kWrite, 1, "REC00001"), file.close()}),
              "00 00 00");
    void* slot = nullptr;
    ASSERT_EQ(_vmqpIsam(IX_OPEN, &slot, nullptr, nullptr, file.fcb().file_name, 3), 0);
    unsigned char zero[12] = {0, 0, 0, 0, 'Z', 'E', 'R', 'O', '.', '.', '.', '.'};
    uint32_t length = sizeof zero;
    unsigned char key[4];
    ASSERT_EQ(_vmqpIsam(IX_WRITE, &slot, zero, &length, key, 0), 0);
    ASSERT_EQ(_vmqpIsam(IX_CLOSE, &slot, nullptr, nullptr, nullptr, 0), 0);

    ASSERT_EQ(file.open(VMQ_OPEN_IO), "00");
    EXPECT_EQ(in_order({at(kReadNext, kSame), number(), at(kRead, 0), file.record(),
                        at(kStartEqual, 0), at(kReadNext, kSame), number(),
                        at(kRewrite, 0, "REC00000"), at(kRead, 0), file.record(),
                        at(kWrite, 0, "REC00000"), at(kDelete, 0), at(kRead, 0), file.close()}),
              "00 0 00 ZERO.... 00 00 0 00 00 REC00000 24 00 23 00");
}

// A release-only CLOSE gives the file and its storage up even when its
// buffered records cannot be written, and reports nothing.
TEST_F(SequentialVerbs, AFailedCloseCanBeGivenUp) {
    VerbFile file(kLines, path("report.seq")), again(kLines, path("report.seq"));
    ASSERT_EQ(in_order({file.open(VMQ_OPEN_OUTPUT), file.write("LOST....")}), "00 00");
    {
        platform::FaultPlan dead{platform::FaultPlan::kWrite, 1, platform::ERROR_WRITE_FAULT, true};
        platform::ScopedFaultPlan scope(dead);
        EXPECT_EQ(file.close(), "30");
        file.fcb().status = 77;
        file.close(VMQ_CLOSE_RELEASE_ONLY);
        EXPECT_EQ(file.fcb().status, 77);
        EXPECT_EQ(file.fcb().engine_handle, nullptr);
    }
    // The file given up is closed: it opens again.
    EXPECT_EQ(in_order({again.open(VMQ_OPEN_INPUT), again.close()}), "00 00");
}

// A file cut short inside its last record, as a writer killed before its
// buffer reached the file leaves it: the READ at the tear reports damage
// (30 and a message), not the end of the file, wherever in the record the
// file ends; OPEN EXTEND appends where the torn record began. Without only
// its trailing length word the last record is whole; cut where a record
// ends, the file simply ends there.
TEST_F(SequentialVerbs, AFileCutShortInsideARecordIsDamageNotItsEnd) {
    const std::string name = path("report.seq");
    VerbFile file(kLines, name);
    const auto extend = [&] {
        return in_order({file.open(VMQ_OPEN_EXTEND), file.write("FOURTH.."), file.close()});
    };
    ASSERT_EQ(file.open(VMQ_OPEN_OUTPUT), "00");
    for (const char* r : {"FIRST...", "SECOND..", "THIRD..."})
        ASSERT_EQ(file.write(r), "00");
    ASSERT_EQ(file.close(), "00");
    const std::string whole = read_file(name);
    // Each record takes 16 bytes: its length, 8 bytes of data, its length.
    for (size_t cut : {1, 6, 8, 14}) {
        SCOPED_TRACE(cut);
        write_file(name, whole.substr(0, whole.size() - cut));
        EXPECT_EQ(in_order({file.open(VMQ_OPEN_INPUT), file.read(), file.next()}),
                  "00 00 00 SECOND..");
        EXPECT_EQ(file.told(file.read()), "30 000002,Input-output error");
        EXPECT_EQ(file.fcb().state_flags & VMQ_AT_END, 0u);
        EXPECT_EQ(in_order({file.read(), file.close(), extend()}), "46 00 00 00 00");
        EXPECT_EQ(records(kLines, name), (Records{"FIRST...", "SECOND..", "FOURTH.."}));
    }
    write_file(name, whole.substr(0, whole.size() - 4));
    EXPECT_EQ(extend(), "00 00 00");
    EXPECT_EQ(records(kLines, name), (Records{"FIRST...", "SECOND..", "THIRD...", "FOURTH.."}));
    write_file(name, whole.substr(0, whole.size() - 32));
    EXPECT_EQ(records(kLines, name), Records{"FIRST..."});
    EXPECT_EQ(extend(), "00 00 00");
    EXPECT_EQ(records(kLines, name), (Records{"FIRST...", "FOURTH.."}));
}

// ADVANCING puts blank lines before or after the record; LINAGE counts the
// lines of a page and, passing its end, writes the rest of the body, the
// bottom lines and the next page's top lines as blank records.
TEST_F(SequentialVerbs, AdvancingAndLinageWriteBlankLines) {
    const std::string name = path("report.seq");
    VerbFile file(kLines, name);
    vmq_fcb& fcb = file.fcb();
    const auto advancing = [&](const char* record, uint8_t options, uint32_t lines) {
        fcb.advance_options = options;
        fcb.advance_lines = lines;
        const std::string status = file.write(record);
        fcb.advance_options = 0;
        return status;
    };
    // With no line written yet, a record printed over the current line is
    // the first line, after OPEN OUTPUT and OPEN EXTEND alike.
    EXPECT_EQ(in_order({file.open(VMQ_OPEN_OUTPUT), advancing("OVER1...", VMQ_ADVANCE_AFTER, 0),
                        file.close(), file.open(VMQ_OPEN_EXTEND),
                        advancing("OVER2...", VMQ_ADVANCE_AFTER, 0), file.close()}),
              "00 00 00 00 00 00");
    EXPECT_EQ(records(kLines, name), (Records{"OVER1...", "OVER2..."}));
    ASSERT_EQ(file.open(VMQ_OPEN_OUTPUT), "00");
    EXPECT_EQ(in_order({advancing("AFTER3..", VMQ_ADVANCE_AFTER, 3),
                        advancing("AFTER1..", VMQ_ADVANCE_AFTER, 1),
                        advancing("OVER....", VMQ_ADVANCE_AFTER, 0),
                        std::to_string(fcb.advance_lines), file.close()}),
              "00 00 00 1 00");
    EXPECT_EQ(records(kLines, name), (Records{kBlank, kBlank, "AFTER3..", "OVER...."}));
    EXPECT_EQ(in_order({file.open(VMQ_OPEN_OUTPUT), advancing("BEFORE2.", VMQ_ADVANCE_BEFORE, 2),
                        file.close()}),
              "00 00 00");
    EXPECT_EQ(records(kLines, name), (Records{"BEFORE2.", kBlank, kBlank}));

    file.description().linage_flags = VMQ_LINAGE;
    fcb.linage_lines = 10;
    fcb.linage_footing = 8;
    fcb.linage_bottom = 2;
    fcb.linage_top = 1;
    ASSERT_EQ(file.open(VMQ_OPEN_OUTPUT), "00");
    fcb.next_linage_top = 3;  // the next page has a larger top margin
    // The counter after each WRITE, and whether the footing is reached.
    auto line = [&](const char* record, uint32_t lines) {
        return in_order({advancing(record, VMQ_ADVANCE_AFTER, lines),
                         std::to_string(fcb.linage_counter),
                         (fcb.state_flags & VMQ_END_OF_PAGE) != 0 ? "EOP" : "-"});
    };
    EXPECT_EQ(in_order({line("LINE1...", 1), line("LINE2...", 6), line("NEWPAGE.", 3),
                        std::to_string(fcb.linage_top), file.close()}),
              "00 2 - 00 8 EOP 00 1 EOP 3 00");
    // The top line and the first line's blank, LINE1, five blanks and LINE2,
    // then the page change's blanks and NEWPAGE.
    Records expected(2 + 1 + 5 + 1 + (2 + 10 + 3 - 8) + 1, kBlank);
    expected[2] = "LINE1...";
    expected[8] = "LINE2...";
    expected.back() = "NEWPAGE.";
    EXPECT_EQ(records(kLines, name), expected);
}

}  // namespace
}  // namespace kvr::test
