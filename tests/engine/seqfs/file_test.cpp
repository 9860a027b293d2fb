// Create, open, close, get-attributes: the header's bytes, the files open
// refuses, share modes, and what each open mode allows.
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
