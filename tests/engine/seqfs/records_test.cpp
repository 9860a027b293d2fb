// Records across chunk boundaries, short areas, damaged length words,
// replace-last in the buffer and in the file, rewrites wherever the old
// record lies.
#include <gtest/gtest.h>

#include "platform/fault_injection.h"
#include "seq_fixture.h"

namespace kvr::test {
namespace {

using SeqRecordTest = SeqTest;

std::string frame(const std::string& data) {
    return le32(static_cast<uint32_t>(data.size())) + data +
           le32(static_cast<uint32_t>(data.size()));
}

// A filler of f bytes puts the next leading length word at offset f + 8 of
// the first chunk: f = 4085..4087 make it straddle at 4093..4095, f = 4084
// ends it at the boundary. The target lengths do the same to its trailing
// word at the next boundary.
TEST_F(SeqRecordTest, LengthWordsStraddlingChunkBoundaries) {
    for (uint32_t filler = 4080; filler <= 4092; ++filler) {
        for (uint32_t target : {0, 1, 4, 4084, 4085, 4086, 4087, 4088, 9000}) {
            const Records records = {make_record(filler, 1), make_record(target, 2), "end"};
            write_records(records);
            ASSERT_EQ(file_records(), records) << filler << " " << target;
            ASSERT_EQ(read_all(), records) << filler << " " << target;
        }
    }
}

TEST_F(SeqRecordTest, ShortAreaAndEndOfFile) {
    const std::string big = make_record(10000, 4);
    std::string r;
    ASSERT_EQ(create(), 0);
    ASSERT_EQ(open(SQ_MODE_INPUT), 0);
    EXPECT_EQ(read(&r, 100, true), 9) << "header only";
    EXPECT_EQ(read(&r), 9);
    ASSERT_EQ(close(), 0);

    write_records({big, "next", big});
    ASSERT_EQ(open(SQ_MODE_INPUT), 0);
    ASSERT_EQ(read(&r, 100, true), 0);
    EXPECT_EQ(r, big.substr(0, 100));
    ASSERT_EQ(read(&r, 100), 0);
    EXPECT_EQ(r, "next");
    ASSERT_EQ(read(&r, 0), 0);
    EXPECT_EQ(read(&r), 9);
    EXPECT_EQ(read(&r), 9);
}

// A file that ends right after a record's data (here a zero-length record
// whose leading word ends the first chunk) still delivers the record. One
// cut short anywhere else inside a record, in either length word or in the
// data, ends with a damaged record (2), never with a quiet end of file.
TEST_F(SeqRecordTest, FileEndingInsideARecord) {
    ASSERT_EQ(create(), 0);
    const std::string header = read_file(name_);
    const std::string filler = make_record(4084, 3);
    const std::string bytes = header + frame(filler) + le32(0);
    ASSERT_EQ(bytes.size(), 80u + 4096u);
    int end = 0;
    TempDirTest::write_file(name_, bytes);
    EXPECT_EQ(read_all(&end), (Records{filler, ""}));
    EXPECT_EQ(end, 9);
    TempDirTest::write_file(name_, bytes + le32(0) + le32(5) + "abcde");
    EXPECT_EQ(read_all(&end), (Records{filler, "", "abcde"}));
    EXPECT_EQ(end, 9);
    const std::string last = le32(0) + frame("abcde");
    for (size_t cut = 1; cut < last.size(); ++cut) {
        if (cut == 4 || cut == 13)
            continue;  // a whole record ends there
        SCOPED_TRACE(cut);
        TempDirTest::write_file(name_, bytes + last.substr(0, cut));
        EXPECT_EQ(read_all(&end), (cut < 4 ? Records{filler} : Records{filler, ""}));
        EXPECT_EQ(end, 2);
    }
    // Data that a short area passes over unread is missed as surely.
    const std::string long_one = frame(make_record(10000, 6));
    for (size_t cut : {size_t{5000}, long_one.size() - 5, long_one.size() - 4}) {
        SCOPED_TRACE(cut);
        TempDirTest::write_file(name_, header + long_one.substr(0, cut));
        std::string r;
        ASSERT_EQ(open(SQ_MODE_INPUT), 0);
        EXPECT_EQ(read(&r, 100, true), cut == long_one.size() - 4 ? 0 : 2);
        ASSERT_EQ(close(), 0);
    }
}

// A length beyond the end of the file, or a trailing word that differs, is a
// damaged record (2), after a copy bounded by the area. The next read answers
// the same; a rewind starts over.
TEST_F(SeqRecordTest, DamagedLengthWords) {
    ASSERT_EQ(create(), 0);
    const std::string header = read_file(name_) + frame("good");
    const std::string tail = make_record(9000, 5);
    const std::pair<std::string, int> cases[] = {
        {le32(0xFFFFFFF0) + tail, 2},
        {le32(0x80000000) + tail, 2},
        {le32(9001) + tail + le32(9001), 2},
        {std::string("\x10\0", 2), 2},
        {le32(10) + "0123456789" + le32(11) + frame("later"), 2},
    };
    for (const auto& [bytes, result] : cases) {
        TempDirTest::write_file(name_, header + bytes);
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        std::string r, guarded(200, '#');
        ASSERT_EQ(read(&r, 100, true), 0);
        uint32_t length = 100;
        EXPECT_EQ(_vmqpSeqFS(SQ_READ_NEXT, &slot_, guarded.data(), &length, nullptr, 0), result);
        EXPECT_EQ(guarded.substr(100), std::string(100, '#'));
        EXPECT_EQ(read(&r), result);
        EXPECT_EQ(op(SQ_REWRITE, std::string(10, 'z')), 2);
        ASSERT_EQ(read(&r, 100, true), 0);
        EXPECT_EQ(r, "good");
        ASSERT_EQ(close(), 0);
    }
}

TEST_F(SeqRecordTest, ReplaceLast) {
    write_records({"one"});
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    EXPECT_EQ(op(SQ_REPLACE_LAST, "x"), 2) << "nothing appended on this handle";
    // In the buffer, again and again.
    ASSERT_EQ(write("A"), 0);
    ASSERT_EQ(op(SQ_REPLACE_LAST, "B"), 0);
    ASSERT_EQ(op(SQ_REPLACE_LAST, ""), 0);
    // A record that fills the buffer exactly (8 bytes are used) stays in it.
    ASSERT_EQ(write(make_record(4096 - 8 - 8, 6)), 0);
    ASSERT_EQ(op(SQ_REPLACE_LAST, "C"), 0);
    // A record whose first chunk is written: the file is cut where it began.
    const std::string big = make_record(6000, 7);
    ASSERT_EQ(write(big), 0);
    EXPECT_EQ(std::filesystem::file_size(name_), 80u + 11 + 4096);
    ASSERT_EQ(op(SQ_REPLACE_LAST, "D"), 0);
    EXPECT_EQ(std::filesystem::file_size(name_), 80u + 11 + 8 + 9);
    ASSERT_EQ(write(big), 0);
    ASSERT_EQ(op(SQ_REPLACE_LAST, big + "E"), 0);
    // Reading in between gives the appended record up.
    std::string r;
    ASSERT_EQ(read(&r, 100, true), 0);
    EXPECT_EQ(op(SQ_REPLACE_LAST, "x"), 2);
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(file_records(), (Records{"one", "", "C", "D", big + "E"}));
}

// Where the record last read lies when it is rewritten. Reading starts at
// offset 80, so the blocks in memory are [80 + 4096 k, 80 + 4096 (k + 1)).
struct Placement {
    const char* name;
    std::vector<uint32_t> lengths;  // the records before the one rewritten, and it
};
void PrintTo(const Placement& p, std::ostream* os) {
    *os << p.name;
}

class SeqRewritePlacement : public SeqTest, public ::testing::WithParamInterface<Placement> {};

TEST_P(SeqRewritePlacement, NewDataReachesTheFile) {
    Records records;
    for (uint32_t length : GetParam().lengths)
        records.push_back(make_record(length, static_cast<uint32_t>(records.size())));
    const size_t target = records.size() - 1;
    records.push_back(make_record(5000, 50));
    records.push_back("last");
    Records expected = records;
    expected[target] = make_record(records[target].size(), 99);

    // Close at once; read past the changed blocks first; rewind and read.
    for (int variant = 0; variant < 3; ++variant) {
        write_records(records);
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        std::string r;
        for (size_t i = 0; i <= target; ++i)
            ASSERT_EQ(read(&r, 10000, i == 0), 0);
        ASSERT_EQ(op(SQ_REWRITE, expected[target]), 0);
        Records seen;
        for (int result = variant == 0 ? 9 : read(&r, 10000, variant == 2); result == 0;
             result = read(&r))
            seen.push_back(r);
        if (variant == 2) {
            EXPECT_EQ(seen, expected);
        }
        ASSERT_EQ(close(), 0);
        EXPECT_EQ(file_records(), expected) << variant;
    }
}

INSTANTIATE_TEST_SUITE_P(Records, SeqRewritePlacement,
                         ::testing::Values(Placement{"InTheCurrentBlock", {100, 200}},
                                           Placement{"AcrossBothBlocks", {3900, 400}},
                                           Placement{"EndingWithThePreviousBlock", {3900, 184}},
                                           Placement{"InThePreviousBlock", {3900, 182}},
                                           Placement{"FromBeforeIntoTheCurrent", {100, 9000}},
                                           Placement{"FromBeforeToThePreviousEnd", {100, 8080}},
                                           Placement{"FromBeforeIntoThePrevious", {100, 8078}},
                                           Placement{"FirstOfTheFile", {9000}}),
                         [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(SeqRecordTest, RewriteNeedsTheRecordJustReadAndItsLength) {
    write_records({"alpha", "beta", "gamma"});
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    std::string r;
    EXPECT_EQ(op(SQ_REWRITE, "ALPHA"), 2) << "nothing read";
    ASSERT_EQ(read(&r, 100, true), 0);
    EXPECT_EQ(op(SQ_REWRITE, "ALPH"), 2);
    EXPECT_EQ(op(SQ_REWRITE, "ALPHA!"), 2);
    ASSERT_EQ(read(&r, 2), 0);
    EXPECT_EQ(op(SQ_REWRITE, "BE"), 2) << "a record delivered in part";
    ASSERT_EQ(read(&r, 100), 0);
    EXPECT_EQ(op(SQ_REWRITE, "GAMMA"), 0);
    ASSERT_EQ(read(&r, 100), 9);
    EXPECT_EQ(op(SQ_REWRITE, "GAMMA"), 2) << "the last read met the end";
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(file_records(), (Records{"alpha", "beta", "GAMMA"}));
}

// Past 4 GiB as below it: the hole record's data is passed over without
// being loaded, and the records after it, across 2^32, are read, rewritten
// in every place (across both blocks, in one, straight into the file) and
// appended to.
TEST_F(SeqRecordTest, ReadsAndRewritesPastFourGiB) {
    const Records records = {make_record(5000, 1), "",
                             make_record(9000, 2), "x",
                             make_record(4000, 3), make_record(300, 4)};
    write_past_4gib(records);
    Records expected = records;
    std::string r;
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    {
        platform::FaultPlan plan{platform::FaultPlan::kRead | platform::FaultPlan::kSeek};
        platform::ScopedFaultPlan scope(plan);
        ASSERT_EQ(read(&r, 100, true), 0);
        EXPECT_LE(plan.calls_seen, 4u) << "read through the hole";
    }
    EXPECT_EQ(r, std::string(100, '\0'));
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(read(&r), 0) << i;
        ASSERT_EQ(r, records[i]) << i;
        if (i % 2 == 0) {
            expected[i] = make_record(r.size(), 100 + static_cast<uint32_t>(i));
            ASSERT_EQ(op(SQ_REWRITE, expected[i]), 0) << i;
        }
    }
    EXPECT_EQ(read(&r), 9);
    ASSERT_EQ(write("appended"), 0);
    expected.push_back("appended");
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(records_past_hole(), expected);

    Records all = {std::string(10000, '\0')};  // the hole record, cut to the area
    all.insert(all.end(), expected.begin(), expected.end());
    EXPECT_EQ(read_all(), all);
}

// A read/write handle may read, rewrite and append in turn: pending records
// reach the file before reading, and appends always go to the end.
TEST_F(SeqRecordTest, ReadingAndAppendingOnOneHandle) {
    const std::string big = make_record(5000, 3);  // keeps reading short of the end
    write_records({"one", make_record(6000, 1), big});
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    std::string r;
    ASSERT_EQ(read(&r), 0) << "the first read starts at the first record";
    EXPECT_EQ(r, "one");
    ASSERT_EQ(write("four"), 0);
    ASSERT_EQ(read(&r, 100, true), 0);
    ASSERT_EQ(read(&r), 0);
    ASSERT_EQ(op(SQ_REWRITE, make_record(6000, 2)), 0);
    ASSERT_EQ(write("five"), 0);
    EXPECT_EQ(read(&r), 9);
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(file_records(), (Records{"one", make_record(6000, 2), big, "four", "five"}));
}

}  // namespace
}  // namespace kvr::test
