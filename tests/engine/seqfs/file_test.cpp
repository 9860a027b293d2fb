// Create, open, close, get-attributes: the header's bytes, the files open
// refuses, share modes, and what each open mode allows.
#include <gtest/gtest.h>

#include "seq_fixture.h"

namespace kvr::test {
namespace {

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
    EXPECT_EQ(a.record_count, 0u);
    EXPECT_EQ(a.min_record_length, 10u);
    EXPECT_EQ(a.max_record_length, 300u);
    EXPECT_EQ(a.area_length, 300u);
    EXPECT_EQ(a.block_size, 4096);
    EXPECT_EQ(a.key_count, 3);
    EXPECT_EQ(a.options, 1);
    EXPECT_EQ(back[24], 0xEE);
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
        TempDirTest::write_file(name_, bytes);
        for (uint8_t mode : {SQ_MODE_INPUT, SQ_MODE_APPEND, SQ_MODE_UNBUFFERED})
            EXPECT_EQ(open(mode), result) << "mode " << int{mode} << ", " << bytes.size();
        EXPECT_EQ(slot_, nullptr);
        EXPECT_EQ(read_file(name_), bytes);
    }
    std::filesystem::remove(name_);
    EXPECT_EQ(open(SQ_MODE_APPEND), 15) << "a missing file is created empty";
    EXPECT_EQ(std::filesystem::file_size(name_), 0u);
}

TEST_F(SeqFileTest, RequestsEachModeRefuses) {
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

    // Read only: writing is refused before anything changes.
    std::string r;
    ASSERT_EQ(open(SQ_MODE_INPUT), 0);
    EXPECT_EQ(write("new"), 2);
    EXPECT_EQ(op(SQ_REPLACE_LAST, "new"), 2);
    ASSERT_EQ(read(&r, 100, true), 0);
    EXPECT_EQ(op(SQ_REWRITE, "ONE"), 2);
    ASSERT_EQ(read(&r), 0);
    EXPECT_EQ(r, "two");
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(close(), 3);
    // Mode 2 has no buffers for records.
    ASSERT_EQ(open(SQ_MODE_UNBUFFERED), 0);
    EXPECT_EQ(write("new"), 1);
    EXPECT_EQ(read(&r, 100, true), 1);
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(read_file(name_), before);
}

TEST_F(SeqFileTest, ShareModes) {
    ASSERT_EQ(create(), 0);
    void *reader = nullptr, *other = nullptr;
    ASSERT_EQ(open(SQ_MODE_INPUT, &reader), 0);
    EXPECT_EQ(open(SQ_MODE_INPUT, &other), 0) << "readers share";
    EXPECT_EQ(close(&other), 0);
    EXPECT_EQ(open(SQ_MODE_APPEND | SQ_MODE_OUTPUT), 18);
    EXPECT_EQ(close(&reader), 0);
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    EXPECT_EQ(open(SQ_MODE_APPEND | SQ_MODE_OUTPUT, &other), 18);
    EXPECT_EQ(open(SQ_MODE_INPUT, &other), 18);
    ASSERT_EQ(write("abc"), 0);
    EXPECT_EQ(create(), 18) << "create must not truncate a file in use";
    EXPECT_EQ(close(), 0);
    EXPECT_EQ(file_records(), Records{"abc"});
}

// Nothing in the format stops a file at 4 GiB: appends, a replace-last that
// cuts the file and an open at the end work past it as below it. The file
// grows as far as the file system lets it; a write it refuses finds no room
// (11), as on a full disk.
TEST_F(SeqFileTest, AppendsGoPastFourGiBAsFarAsTheFileSystemAllows) {
    // The first record's data, and the first chunk, cross 2^32.
    Records model = {make_record(5000, 1), "", make_record(4090, 2)};
    write_past_4gib(model);
    auto end_of = [](const Records& records) {
        uint64_t end = kHoleEnd;
        for (const std::string& r : records)
            end += 8 + r.size();
        return end;
    };
    ASSERT_EQ(std::filesystem::file_size(name_), end_of(model));
    ASSERT_EQ(open(SQ_MODE_APPEND), 0);
    ASSERT_EQ(write("extended"), 0);
    ASSERT_EQ(write(make_record(6000, 3)), 0);
    EXPECT_GT(std::filesystem::file_size(name_), end_of(model) + 8) << "nothing flushed";
    ASSERT_EQ(op(SQ_REPLACE_LAST, "replaced"), 0);
    model.insert(model.end(), {"extended", "replaced"});
    EXPECT_EQ(std::filesystem::file_size(name_), end_of(model) - 16) << "not cut where it began";
    ASSERT_EQ(close(), 0);
    EXPECT_EQ(records_past_hole(), model);
    EXPECT_EQ(std::filesystem::file_size(name_), end_of(model));

    // At the limit (here a file-size limit) the chunk that would cross it
    // reaches the file only in part: the write refused leaves nothing of
    // itself there, and the record before it, still in memory, reaches the
    // file at close.
    {
        FileSizeLimit limit(end_of(model) + 4096 + 2000);
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        const Records fit = {make_record(4096 - 8, 10), make_record(92, 11)};
        for (const std::string& r : fit)
            ASSERT_EQ(write(r), 0);
        EXPECT_EQ(write(make_record(5000, 12)), 11);
        EXPECT_EQ(close(), 0);
        model.insert(model.end(), fit.begin(), fit.end());
    }
    EXPECT_EQ(records_past_hole(), model);
}

}  // namespace
}  // namespace kvr::test
