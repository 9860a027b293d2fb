// Records across chunk boundaries, damaged or cut short, replaced, rewritten
// wherever they lie, and past 4 GiB.
#include "seq_fixture.h"

namespace kvr::test {
namespace {

using SeqRecordTest = SeqTest;

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

// A length beyond the end of the file, a trailing word that differs, or a
// file cut short inside a record's data is a damaged record (2), after a copy
// bounded by the area, even where a short area passes over the data unread.
// The next read answers the same; a rewind starts over. A file that ends
// right after a record's data (here an empty record whose leading word ends
// the first chunk) still delivers the record.
TEST_F(SeqRecordTest, DamagedAndCutRecords) {
    ASSERT_EQ(create(), 0);
    const std::string header = read_file(name_) + frame("good");
    const std::string tail = make_record(9000, 5);
    const std::pair<std::string, const char*> cases[] = {
        {le32(0xFFFFFFF0) + tail, "0 0 2 2 2 0"},
        {le32(0x80000000) + tail, "0 0 2 2 2 0"},
        {le32(9001) + tail + le32(9001), "0 0 2 2 2 0"},
        {std::string("\x10\0", 2), "0 0 2 2 2 0"},
        {le32(10) + "0123456789" + le32(11) + frame("later"), "0 0 2 2 2 0"},
        {frame(tail).substr(0, 5000), "0 0 2 2 2 0"},
        {frame(tail).substr(0, 9003), "0 0 2 2 2 0"},
        {frame(make_record(4072, 3)) + le32(0), "0 0 0 0 2 0"},
    };
    for (const auto& [bytes, expected] : cases) {
        write_file(name_, header + bytes);
        std::string r, guarded(200, '#');
        uint32_t length = 100;
        EXPECT_EQ(results({open(SQ_MODE_APPEND), read(&r, 100, true),
                           _vmqpSeqFS(SQ_READ_NEXT, &slot_, guarded.data(), &length, nullptr, 0),
                           read(&r), op(SQ_REWRITE, std::string(10, 'z')), read(&r, 100, true)}),
                  expected)
            << bytes.size();
        EXPECT_EQ(guarded.substr(100), std::string(100, '#'));
        EXPECT_EQ(r, "good");
        ASSERT_EQ(close(), 0);
    }
}

TEST_F(SeqRecordTest, ReplaceLast) {
    write_records({"one"});
    // Nothing appended on this handle yet; then in the buffer, again and
    // again; a record that fills the buffer exactly (8 bytes are used)
    // stays in it.
    ASSERT_EQ(results({open(SQ_MODE_APPEND), op(SQ_REPLACE_LAST, "x"), write("A"),
                       op(SQ_REPLACE_LAST, "B"), op(SQ_REPLACE_LAST, ""),
                       write(make_record(4096 - 8 - 8, 6)), op(SQ_REPLACE_LAST, "C")}),
              "0 2 0 0 0 0 0");
    // A record whose first chunk is written: the file is cut where it began.
    const std::string big = make_record(6000, 7);
    ASSERT_EQ(write(big), 0);
    EXPECT_EQ(std::filesystem::file_size(name_), 80u + 11 + 4096);
    ASSERT_EQ(op(SQ_REPLACE_LAST, "D"), 0);
    EXPECT_EQ(std::filesystem::file_size(name_), 80u + 11 + 8 + 9);
    // Reading in between gives the appended record up.
    std::string r;
    ASSERT_EQ(results({write(big), op(SQ_REPLACE_LAST, big + "E"), read(&r, 100, true),
                       op(SQ_REPLACE_LAST, "x"), close()}),
              "0 0 0 2 0");
    EXPECT_EQ(file_records(), (Records{"one", "", "C", "D", big + "E"}));
}

// Where the record last read lies when it is rewritten: reading starts at
// offset 80, so the blocks in memory are [80 + 4096 k, 80 + 4096 (k + 1)).
// Each case closes at once, reads past the changed blocks first, or rewinds.
TEST_F(SeqRecordTest, RewrittenDataReachesTheFileWhereverTheRecordLies) {
    const std::pair<const char*, std::vector<uint32_t>> placements[] = {
        // the lengths of the records before the one rewritten, and its own
        {"in the current block", {100, 200}},
        {"across both blocks", {3900, 400}},
        {"ending with the previous block", {3900, 184}},
        {"in the previous block", {3900, 182}},
        {"from before into the current", {100, 9000}},
        {"from before to the previous end", {100, 8080}},
        {"from before into the previous", {100, 8078}},
        {"first of the file", {9000}},
    };
    for (const auto& [name, lengths] : placements) {
        Records records;
        for (uint32_t length : lengths)
            records.push_back(make_record(length, static_cast<uint32_t>(records.size())));
        const size_t target = records.size() - 1;
        records.push_back(make_record(5000, 50));
        records.push_back("last");
        Records expected = records;
        expected[target] = make_record(records[target].size(), 99);
        for (int variant = 0; variant < 3; ++variant) {
            SCOPED_TRACE(std::string(name) + ", variant " + std::to_string(variant));
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
            EXPECT_EQ(file_records(), expected);
        }
    }
}

// A rewrite needs the record just read, whole and at its length. Appends on
// a reading handle go to the end and leave the reading there; pending
// records reach the file before a read.
TEST_F(SeqRecordTest, RewritesAndAppendsOnAReadingHandle) {
    const std::string big = make_record(5000, 3);  // keeps reading short of the end
    write_records({"alpha", "beta", make_record(6000, 1), big});
    std::string r;
    // Nothing read; the first read starts at the first record.
    ASSERT_EQ(results({open(SQ_MODE_APPEND), op(SQ_REWRITE, "ALPHA"), read(&r)}), "0 2 0");
    EXPECT_EQ(r, "alpha");
    // Wrong lengths; a record delivered in part; the last read met the end.
    EXPECT_EQ(results({op(SQ_REWRITE, "ALPH"), op(SQ_REWRITE, "ALPHA!"), write("four"),
                       read(&r, 100, true), read(&r, 2), op(SQ_REWRITE, "BE"), read(&r),
                       op(SQ_REWRITE, make_record(6000, 2)), write("five"), read(&r),
                       op(SQ_REWRITE, "FIVE"), close()}),
              "2 2 0 0 0 2 0 0 0 9 2 0");
    EXPECT_EQ(file_records(),
              (Records{"alpha", "beta", make_record(6000, 2), big, "four", "five"}));
}

// Nothing stops a file at 4 GiB: the records across 2^32 are read,
// rewritten, appended to and replaced.
TEST_F(SeqRecordTest, FilesGoPastFourGiBAsFarAsTheFileSystemAllows) {
    const Records records = {make_record(5000, 1), "",
                             make_record(9000, 2), "x",
                             make_record(4000, 3), make_record(300, 4)};
    write_records(records, kHoleEnd);
    Records expected = records;
    std::string r;
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    ASSERT_EQ(read(&r, 100, true), 0);
    EXPECT_EQ(r, std::string(100, '\0'));
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(read(&r), 0) << i;
        ASSERT_EQ(r, records[i]) << i;
        if (i % 2 == 0) {
            expected[i] = make_record(r.size(), 100 + static_cast<uint32_t>(i));
            ASSERT_EQ(op(SQ_REWRITE, expected[i]), 0) << i;
        }
    }
    ASSERT_EQ(results({read(&r), write("appended"), write(make_record(6000, 3)),
                       op(SQ_REPLACE_LAST, "replaced"), close()}),
              "9 0 0 0 0");
    expected.insert(expected.end(), {"appended", "replaced"});
    EXPECT_EQ(file_records(kHoleEnd), expected);

    // At the file system's limit a refused write (11) leaves nothing of itself
    // there, and the record before it, still in memory, reaches the file.
    FileSizeLimit limit(std::filesystem::file_size(name_) + 4096 + 2000);
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    const Records fit = {make_record(4096 - 8, 10), make_record(92, 11)};
    for (const std::string& record : fit)
        ASSERT_EQ(write(record), 0);
    EXPECT_EQ(write(make_record(5000, 12)), 11);
    EXPECT_EQ(close(), 0);
    expected.insert(expected.end(), fit.begin(), fit.end());
    EXPECT_EQ(file_records(kHoleEnd), expected);
}

}  // namespace
}  // namespace kvr::test
