// One sequential file in a temporary directory, the engine calls on it with
// plain arguments, and a reader of the file's bytes that is independent of
// the engine's own.

#ifndef KVR_TESTS_ENGINE_SEQFS_SEQ_FIXTURE_H
#define KVR_TESTS_ENGINE_SEQFS_SEQ_FIXTURE_H

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/coding.h"
#include "support/attribute_block.h"
#include "support/temp_dir.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::test {

using Records = std::vector<std::string>;

inline std::string make_record(size_t length, uint32_t seed) {
    std::string r(length, '\0');
    uint32_t x = seed * 2654435761u + static_cast<uint32_t>(length);
    for (char& c : r)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return r;
}

inline std::string le32(uint32_t v) {
    std::string s(4, '\0');
    platform::store_u32(reinterpret_cast<unsigned char*>(s.data()), v);
    return s;
}

// The framed records that fill bytes from `at` to the end; nothing when the
// framing is broken.
inline std::optional<Records> parse_records(const std::string& bytes, size_t at) {
    Records records;
    auto word = [&](size_t i) {
        return platform::load_u32(reinterpret_cast<const unsigned char*>(bytes.data()) + i);
    };
    for (; at < bytes.size(); at += 8 + records.back().size()) {
        if (bytes.size() - at < 8 || bytes.size() - at - 8 < word(at) ||
            word(at + 4 + word(at)) != word(at))
            return std::nullopt;
        records.push_back(bytes.substr(at + 4, word(at)));
    }
    return records;
}

// The records in a file's bytes; nothing when the header is missing or the
// framing is broken.
inline std::optional<Records> parse_sequential_file(const std::string& bytes) {
    if (bytes.size() < 80 || bytes.compare(8, 4, "KVRS") != 0)
        return std::nullopt;
    return parse_records(bytes, 80);
}

// Where the hole record of a file past 4 GiB ends: the records after it
// begin 3000 bytes short of 2^32, so that they, the 4096-byte chunks they
// travel in and their length words fall across that offset.
inline constexpr uint64_t kHoleEnd = (uint64_t{1} << 32) - 3000;

// Makes the file at `name`, holding only a header, hold one record of zeros
// up to `end`: only its two length words are written, and the file system
// keeps its data as a hole, so that what follows lies past 4 GiB without
// gigabytes written.
inline void put_hole_record(const std::string& name, uint64_t end = kHoleEnd) {
    const uint32_t length = static_cast<uint32_t>(end - 80 - 8);
    std::fstream file(name, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(80);
    file << le32(length);
    file.seekp(static_cast<std::streamoff>(end - 4));
    file << le32(length);
}

// The records of the file at `name` from offset `from` on, by its bytes.
inline std::optional<Records> records_from(const std::string& name, uint64_t from) {
    std::ifstream in(name, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(from));
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return parse_records(bytes, 0);
}

class SeqTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        name_ = path("seq.dat");
    }
    void TearDown() override {
        if (slot_ != nullptr && close() != 0)
            close();
        TempDirTest::TearDown();
    }

    int create(uint16_t key_count = 0) {
        std::vector<unsigned char> block =
            attribute_block(10, 300, std::vector<KeySpec>(key_count, KeySpec{1, 1}));
        return _vmqpSeqFS(SQ_CREATE, nullptr, block.data(), nullptr, name_.data(), 0);
    }
    int open(uint8_t mode, void** slot = nullptr) {
        return _vmqpSeqFS(SQ_OPEN, slot ? slot : &slot_, nullptr, nullptr, name_.data(), mode);
    }
    int close(void** slot = nullptr) {
        return _vmqpSeqFS(SQ_CLOSE, slot ? slot : &slot_, nullptr, nullptr, nullptr, 0);
    }
    int op(uint16_t code, const std::string& r) {
        uint32_t length = static_cast<uint32_t>(r.size());
        return _vmqpSeqFS(code, &slot_, const_cast<char*>(r.data()), &length, nullptr, 0);
    }
    int write(const std::string& r) { return op(SQ_WRITE, r); }
    // Reads into an area of `area` bytes; *out gets what was delivered.
    int read(std::string* out, uint32_t area = 10000, bool first = false) {
        out->assign(area, '\0');
        uint32_t length = area;
        int result = _vmqpSeqFS(first ? SQ_READ_FIRST : SQ_READ_NEXT, &slot_, out->data(), &length,
                                nullptr, 0);
        out->resize(result == 0 ? length : 0);
        return result;
    }

    void write_records(const Records& records) {
        ASSERT_EQ(create(), 0);
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        for (const std::string& r : records)
            ASSERT_EQ(write(r), 0);
        ASSERT_EQ(close(), 0);
    }
    // Every record through a fresh reading handle; *end gets the result that
    // stopped the reading.
    Records read_all(int* end = nullptr) {
        void* reader = nullptr;
        std::swap(reader, slot_);
        Records records;
        std::string r;
        EXPECT_EQ(open(SQ_MODE_INPUT), 0);
        int result = read(&r, 10000, true);
        for (; result == 0; result = read(&r))
            records.push_back(r);
        if (end != nullptr)
            *end = result;
        EXPECT_EQ(close(), 0);
        std::swap(reader, slot_);
        return records;
    }
    Records file_records() {
        auto records = parse_sequential_file(read_file(name_));
        EXPECT_TRUE(records) << "the file's framing is broken";
        return records.value_or(Records{});
    }

    // A file past 4 GiB: the hole record up to `end`, then these records.
    void write_past_4gib(const Records& records, uint64_t end = kHoleEnd) {
        ASSERT_EQ(create(), 0);
        put_hole_record(name_, end);
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        for (const std::string& r : records)
            ASSERT_EQ(write(r), 0);
        ASSERT_EQ(close(), 0);
    }
    // The records after the hole record, by the file's bytes.
    Records records_past_hole(uint64_t end = kHoleEnd) {
        auto records = records_from(name_, end);
        EXPECT_TRUE(records) << "the file's framing is broken";
        return records.value_or(Records{});
    }

    std::string name_;
    void* slot_ = nullptr;
};

}  // namespace kvr::test

#endif
