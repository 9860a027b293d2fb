// One sequential file in a temporary directory, the engine calls on it with
// plain arguments, and a reader of the file's framing independent of the
// engine's own.
#ifndef KVR_TESTS_ENGINE_SEQFS_SEQ_FIXTURE_H
#define KVR_TESTS_ENGINE_SEQFS_SEQ_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "support/attribute_block.h"
#include "support/temp_dir.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::test {

using Records = std::vector<std::string>;
using platform::FaultPlan;
using platform::ScopedFaultPlan;

inline std::string make_record(size_t length, uint32_t seed) {
    std::string r(length, '\0');
    uint32_t x = seed * 2654435761u + static_cast<uint32_t>(length);
    for (char& c : r)
        c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    return r;
}

inline std::string frame(const std::string& data) {
    return le32(static_cast<uint32_t>(data.size())) + data +
           le32(static_cast<uint32_t>(data.size()));
}

// The results of a run of calls, taken in order: "0 0 2".
inline std::string results(std::initializer_list<int> all) {
    std::string text;
    for (const int result : all)
        text += (text.empty() ? "" : " ") + std::to_string(result);
    return text;
}

// A file past 4 GiB starts with a record of zeros that ends here, kept as a
// hole by the file system: the records after it, the 4096-byte chunks they
// travel in and their length words fall across 2^32.
inline constexpr uint64_t kHoleEnd = (uint64_t{1} << 32) - 3000;

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

    // A new file holding `records`; with `hole_end`, behind a hole record
    // of zeros of which only the two length words are written.
    void write_records(const Records& records, uint64_t hole_end = 0) {
        ASSERT_EQ(create(), 0);
        if (hole_end != 0) {
            const uint32_t length = static_cast<uint32_t>(hole_end - 80 - 8);
            patch_file(name_, 80, le32(length).data(), 4);
            patch_file(name_, hole_end - 4, le32(length).data(), 4);
        }
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        for (const std::string& r : records)
            ASSERT_EQ(write(r), 0);
        ASSERT_EQ(close(), 0);
    }
    // The records read on the open handle up to the end, from the first one
    // or from where it is.
    Records read_on(bool from_first) {
        Records records;
        std::string r;
        for (int result = read(&r, 10000, from_first); result == 0; result = read(&r))
            records.push_back(r);
        return records;
    }
    // The records by the file's bytes, read by their framing: all of them,
    // or those from `from` on; a broken framing fails the test.
    Records file_records(uint64_t from = 0) {
        std::ifstream in(name_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        auto word = [&](size_t i) {
            return load_u32(reinterpret_cast<const unsigned char*>(bytes.data()) + i);
        };
        const bool header = from != 0 || (bytes.size() >= 80 && bytes.compare(8, 4, "KVRS") == 0);
        Records records;
        size_t at = from == 0 ? 80 : 0;
        for (; header && at < bytes.size(); at += 8 + records.back().size()) {
            if (bytes.size() - at < 8 || bytes.size() - at - 8 < word(at) ||
                word(at + 4 + word(at)) != word(at))
                break;
            records.push_back(bytes.substr(at + 4, word(at)));
        }
        EXPECT_TRUE(header && at == bytes.size()) << "the file's framing is broken";
        return records;
    }

    std::string name_;
    void* slot_ = nullptr;
};

}  // namespace kvr::test

#endif
