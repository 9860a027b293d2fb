// Create, open, close, get-attributes: the header's bytes, the files open
// refuses, share modes, and what each open mode allows. Records across
// chunk boundaries, damaged or cut short, replaced, rewritten wherever they
// lie, and past 4 GiB.
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
            ASSERT_EQ(open(SQ_MODE_INPUT), 0);
            ASSERT_EQ(read_on(true), records) << filler << " " << target;
            ASSERT_EQ(close(), 0);
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
            const Records seen = variant == 0 ? Records{} : read_on(variant == 2);
            EXPECT_EQ(variant == 2 ? seen : expected, expected);
            ASSERT_EQ(close(), 0);
            EXPECT_EQ(file_records(), expected);
        }
    }
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
}

using SeqFileTest = SeqTest;

TEST_F(SeqFileTest, CreateWritesTheHeaderAndTruncates) {
    write_records({"first", std::string(5000, 'x')});
    ASSERT_EQ(create(3), 0);
    const std::string expected = le32(80) + le32(0) + "KVRS" + le32(0x01020304) + le32(1) +
                                 le32(0) + std::string(28, '\0') + std::string("\0\x10\3\0", 4) +
                                 le32(10) + le32(300) + le32(300) + le32(0) + le32(1) + le32(0);
    EXPECT_EQ(read_file(name_), expected);

    ASSERT_EQ(open(SQ_MODE_INPUT), 0);
    std::vector<unsigned char> back(64, 0xEE);
    ASSERT_EQ(_vmqpSeqFS(SQ_GET_ATTRIBUTES, &slot_, back.data(), nullptr, nullptr, 0), 0);
    ix_attributes a{};
    ix_attributes_decode(back.data(), &a);
    EXPECT_EQ(std::vector<int64_t>({a.record_count, a.min_record_length, a.max_record_length,
                                    a.area_length, a.block_size, a.key_count, a.options, back[24]}),
              std::vector<int64_t>({0, 10, 300, 300, 4096, 3, 1, 0xEE}));
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(slot_, nullptr);
    EXPECT_EQ(read_file(name_), expected) << "close rewrote the header";
}

TEST_F(SeqFileTest, OpenRefusesWhatIsNotASequentialFile) {
    ASSERT_EQ(create(), 0);
    const std::string header = read_file(name_);
    const std::pair<std::string, int> cases[] = {
        {header.substr(0, 11) + "I" + header.substr(12), 1000},
        {header.substr(0, 11) + "X" + header.substr(12), 21},
        {header.substr(0, 8) + "ABCD" + header.substr(12), 21},
        {"", 15},
        {header.substr(0, 79), 15},
    };
    for (const auto& [bytes, result] : cases) {
        write_file(name_, bytes);
        for (uint8_t mode : {SQ_MODE_INPUT, SQ_MODE_APPEND, SQ_MODE_UNBUFFERED})
            EXPECT_EQ(open(mode), result) << "mode " << int{mode} << ", " << bytes.size();
        EXPECT_EQ(slot_, nullptr);
        EXPECT_EQ(read_file(name_), bytes);
    }
    std::filesystem::remove(name_);
    EXPECT_EQ(open(SQ_MODE_APPEND), 15) << "a missing file is created empty";
    EXPECT_EQ(std::filesystem::file_size(name_), 0u);
}

TEST_F(SeqFileTest, RequestsEachModeRefusesAndShareModes) {
    write_records({"one", "two"});
    const std::string before = read_file(name_);
    uint32_t length = 3;
    char data[4] = "abc";
    for (int code : {0, 3, 9, 22, 0x105})
        EXPECT_EQ(_vmqpSeqFS(code, &slot_, data, &length, nullptr, 0), 1);
    for (int code : {SQ_CLOSE, SQ_GET_ATTRIBUTES, SQ_WRITE, SQ_READ_NEXT, SQ_REPLACE_LAST})
        EXPECT_EQ(_vmqpSeqFS(code, &slot_, nullptr, &length, nullptr, 0), 3);
    EXPECT_EQ(open(1), 1);
    EXPECT_EQ(open(1 | SQ_MODE_OUTPUT), 1);

    // Read only: writing is refused before anything changes. Readers share;
    // a writer shares with nobody.
    std::string r;
    void* other = nullptr;
    EXPECT_EQ(results({open(SQ_MODE_INPUT), open(SQ_MODE_INPUT, &other), close(&other),
                       open(SQ_MODE_APPEND | SQ_MODE_OUTPUT, &other), write("new"),
                       op(SQ_REPLACE_LAST, "new"), read(&r, 100, true), op(SQ_REWRITE, "ONE"),
                       read(&r), close(), close()}),
              "0 0 0 18 2 2 0 2 0 0 3");
    EXPECT_EQ(r, "two");
    // Mode 2 has no buffers for records.
    EXPECT_EQ(results({open(SQ_MODE_UNBUFFERED), write("new"), read(&r, 100, true), close()}),
              "0 1 1 0");
    EXPECT_EQ(read_file(name_), before);

    // A file in use: create must not truncate it.
    EXPECT_EQ(results({open(SQ_MODE_APPEND), open(SQ_MODE_APPEND | SQ_MODE_OUTPUT, &other),
                       open(SQ_MODE_INPUT, &other), write("abc"), create(), close()}),
              "0 18 18 0 18 0");
    EXPECT_EQ(file_records(), (Records{"one", "two", "abc"}));
}

}  // namespace
}  // namespace kvr::test
