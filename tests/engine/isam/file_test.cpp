// Create, open and close of indexed files through _vmqpIsam, byte for byte,
// with damaged headers, sharing, both I/O paths and injected I/O failures;
// and block-format files as another maker of the format leaves them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "engine/change_journal.h"
#include "engine/isam/file_checker.h"
#include "engine/isam/ix_handle.h"
#include "engine/named_file.h"
#include "platform/coding.h"
#include "platform/fault_injection.h"
#include "support/attribute_block.h"
#include "support/child.h"
#include "support/kvr_program.h"
#include "support/temp_dir.h"
#include "vmqrmkvr/isam.h"

namespace {

using kvr::platform::FaultPlan;
using kvr::platform::load_u32;
using kvr::platform::ScopedFaultPlan;
using kvr::platform::store_u32;

using Key = kvr::test::KeySpec;
using Words = std::vector<uint32_t>;

// Blocks with room for what GET ATTRIBUTES gives back into them.
std::vector<unsigned char> attributes(uint32_t min_length, uint32_t max_length,
                                      const std::vector<Key>& keys, int16_t options = 0) {
    return kvr::test::attribute_block(min_length, max_length, keys, options, 2048 + 8 * 256);
}

uint32_t word_at(const std::string& file, uint32_t at) {
    return load_u32(reinterpret_cast<const unsigned char*>(file.data()) + at);
}

// The words at these offsets of a file.
Words words(const std::string& file, std::initializer_list<uint32_t> offsets) {
    Words out;
    for (const uint32_t at : offsets)
        out.push_back(word_at(file, at));
    return out;
}

class IsamFile : public kvr::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        name = path("customers.dat");
    }

    int create(const std::vector<unsigned char>& block, uint8_t selector = 0) {
        uint32_t size = static_cast<uint32_t>(block.size());
        void* slot = nullptr;
        return _vmqpIsam(IX_CREATE, &slot, const_cast<unsigned char*>(block.data()), &size,
                         const_cast<char*>(name.c_str()), selector);
    }
    // The same through the engine's own entry, in the block format.
    int create_blocks(const std::vector<unsigned char>& block) {
        return kvr::engine::code(
            kvr::isam::create_indexed_file(block.data(), static_cast<uint32_t>(block.size()),
                                           name.c_str(), 0, kvr::isam::StoreFormat::kBlocks));
    }
    int open(void** slot, int mode) const {
        return _vmqpIsam(IX_OPEN, slot, nullptr, nullptr, const_cast<char*>(name.c_str()),
                         static_cast<uint8_t>(mode));
    }
    static int close(void** slot) {
        return _vmqpIsam(IX_CLOSE, slot, nullptr, nullptr, nullptr, 0);
    }
    // Opens in the mode given and closes again; the result of the open.
    int open_and_close(int mode) {
        void* slot = nullptr;
        const int result = open(&slot, mode);
        if (result == 0) {
            EXPECT_EQ(close(&slot), IX_OK);
        }
        EXPECT_EQ(slot, nullptr);
        return result;
    }

    // A WRITE, REWRITE or DELETE of `record`, or a read into buffer_, with
    // `key` in the key area and k as the key of reference.
    int io(int op, void** slot, const std::string& record, std::string key = "", int k = 0) {
        key.resize(16, '\0');
        const bool update = op == IX_WRITE || op == IX_REWRITE;
        buffer_ = update ? record : std::string(70000, '#');
        length_ = static_cast<uint32_t>(buffer_.size());
        return _vmqpIsam(static_cast<uint16_t>(op), slot, buffer_.data(), &length_, key.data(),
                         static_cast<uint8_t>(k));
    }
    std::string read_record() const { return buffer_.substr(0, length_); }
    // IX_DUPLICATE_FOLLOWS: the duplicates of a key follow; a success.
    static bool done(int result) { return result == IX_OK || result == IX_DUPLICATE_FOLLOWS; }
    // Every record read through *slot from the first, by its first 8 bytes.
    std::map<std::string, std::string> contents(void** slot) {
        std::map<std::string, std::string> found;
        for (int r = io(IX_READ_FIRST, slot, ""); done(r); r = io(IX_READ_NEXT, slot, ""))
            found[read_record().substr(0, 8)] = read_record();
        return found;
    }
    // A record: what printf makes of format and args, cut or filled to `length`.
    template <typename... Args>
    static std::string filled(size_t length, int fill, const char* format, Args... args) {
        char text[64];
        std::snprintf(text, sizeof text, format, args...);
        std::string r = text;
        r.resize(length, static_cast<char>(fill));
        return r;
    }
    // f's result with the faults of `plan` injected.
    static int under(FaultPlan& plan, const std::function<int()>& f) {
        ScopedFaultPlan scope(plan);
        return f();
    }
    // One call of a scenario on *slot: the operation, the record it writes or
    // the key it reads by, its result, the record a read must give (unchecked
    // when empty) and the key of reference. IX_OPEN opens in the mode given
    // as k; IX_CLOSE closes; a group begins (for update when k is 1) or ends.
    struct Step {
        void** slot;
        int op;
        std::string data;
        int result;
        std::string read = "";
        int k = 0;
    };
    // True when every step gave its result and record; stops at the first
    // that did not.
    bool run(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            const bool group = s.op == IX_BEGIN_GROUP || s.op == IX_END_GROUP;
            const int result = s.op == IX_OPEN    ? open(s.slot, s.k)
                               : s.op == IX_CLOSE ? close(s.slot)
                               : group ? _vmqpIsam(static_cast<uint16_t>(s.op), s.slot, nullptr,
                                                   nullptr, nullptr, static_cast<uint8_t>(s.k))
                                       : io(s.op, s.slot, s.data, s.data, s.k);
            if (result != s.result || (!s.read.empty() && read_record() != s.read)) {
                ADD_FAILURE() << "step " << i + 1 << " (op " << s.op << " " << s.data
                              << "): " << result << " " << read_record() << ", expected "
                              << s.result << " " << s.read;
                return false;
            }
        }
        return true;
    }

    // A process of its own opens the file shared for update and WRITEs
    // `record`, dying at its k-th write: true when it died, false when it
    // made all its writes and ended well.
    bool dies_writing(uint64_t k, const std::string& record) {
        const int status = kvr::test::in_child([&] {
            FaultPlan plan{.kinds = FaultPlan::kWrite, .fail_at = k, .die = true};
            ScopedFaultPlan scope(plan);
            void* c = nullptr;
            return open(&c, IX_MODE_UPDATE | IX_MODE_SHARED) != 0 ||
                   !done(io(IX_WRITE, &c, record)) || close(&c) != 0;
        });
        EXPECT_LE(status, 0) << "write " << k;
        return status < 0;
    }
    // A process of its own that opens the file shared for update, does
    // `take` with it and waits (stopped, when `stop`) to be ended.
    kvr::test::Holder holding(const std::function<bool(void**)>& take, bool stop = false) {
        return kvr::test::Holder(
            [&] {
                void* c = nullptr;
                return open(&c, IX_MODE_UPDATE | IX_MODE_SHARED) == 0 && take(&c);
            },
            stop);
    }
    // An OFD lock of `type` through fd on the byte the operation lock takes:
    // set (F_OFD_SETLK), or asked after (F_OFD_GETLK: true when it is free).
    static bool operation_byte(int fd, int command, short type) {
        struct flock lock = {.l_type = type,
                             .l_whence = SEEK_SET,
                             .l_start = static_cast<off_t>(kvr::isam::kSharedOperationLockAt),
                             .l_len = 1,
                             .l_pid = 0};
        return ::fcntl(fd, command, &lock) == 0 &&
               (command != F_OFD_GETLK || lock.l_type == F_UNLCK);
    }

    // The file checker's verdict on the file as it is: "sound", what it
    // found, or "refused" when the file does not open.
    std::string checked(kvr::isam::FileSummary* summary = nullptr) {
        void* slot = nullptr;
        if (open(&slot, IX_MODE_INPUT) != 0)
            return "refused";
        kvr::isam::FileProblem problem;
        const bool sound = kvr::isam::check_file(static_cast<ix_handle*>(slot), &problem, summary);
        EXPECT_EQ(close(&slot), IX_OK);
        return sound ? "sound" : kvr::isam::describe(problem);
    }

    // Little-endian words into f: at `at` (width bytes), or at base + offset
    // for each (offset, value) pair.
    static void put(std::string& f, size_t at, uint32_t v, int width = 4) {
        for (int i = 0; i < width; ++i)
            f[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
    static void put_all(std::string& f, size_t base, std::initializer_list<uint32_t> pairs) {
        for (auto p = pairs.begin(); p != pairs.end(); p += 2)
            put(f, base + p[0], p[1]);
    }

    std::string bytes() const { return read_file(name); }
    void patch_u32(uint32_t at, uint32_t value) { TempDirTest::patch_u32(name, at, value); }

    std::string name;
    std::string buffer_;
    uint32_t length_ = 0;
};

TEST_F(IsamFile, OneKeyFileIsTheHeaderAreaByteForByte) {
    ASSERT_EQ(create(attributes(20, 80, {{1, 10}})), IX_OK);
    const std::string file = bytes();
    ASSERT_EQ(file.size(), 2048u);
    std::string expected(2048, '\0');
    // 72: open_flags of a new file; 104: keys_end; 332: key 0's tree_at
    put_all(expected, 0, {0,  2048, 4,  0x199609, 68,  0x01020304, 72,  1,  84,  4096, 88,  1,
                          92, 20,   96, 80,       100, 80,         104, 10, 132, 332,  332, 368});
    std::memcpy(expected.data() + 8, "KVRI", 4);
    expected[332 + 10] = 10;  // key 0: offset 0, length 10, no flags, type 0
    // the tree header at 368 is the tree's own; compare it as written
    std::memcpy(expected.data() + 368, file.data() + 368, 996);
    EXPECT_EQ(file, expected);
    // The tree's magic, no root yet, header_at, writable; the spare key entry.
    EXPECT_EQ(std::tuple(file.substr(368, 8), word_at(file, 368 + 12), word_at(file, 368 + 480),
                         static_cast<uint8_t>(file[368 + 474]), file.substr(348, 16)),
              std::tuple("KVR_FILX", 0u, 368u, 1, std::string(16, '\0')));
}

// The first write marks the file; a clean close takes the mark away. A file
// left marked opens only for input that asks for it.
TEST_F(IsamFile, AFileLeftAfterAnUnfinishedUpdateIsRefused) {
    ASSERT_EQ(create(attributes(10, 10, {{1, 10}})), IX_OK);
    void* slot = nullptr;
    ASSERT_TRUE(run(
        {{&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE}, {&slot, IX_WRITE, "0000000001", IX_OK}}));
    const std::string as_a_crash_leaves_it = bytes();
    ASSERT_EQ(close(&slot), IX_OK);
    EXPECT_EQ(as_a_crash_leaves_it.substr(36, 4) + std::to_string(word_at(bytes(), 36)), "KVRU0");
    write_file(name, as_a_crash_leaves_it);
    for (const auto& [mode, result] :
         {std::pair{int{IX_MODE_INPUT}, int{IX_UNFINISHED_UPDATE}},
          {IX_MODE_UPDATE, IX_UNFINISHED_UPDATE},
          {IX_MODE_INPUT | IX_MODE_UNFINISHED_OK, IX_OK},
          {IX_MODE_UPDATE | IX_MODE_UNFINISHED_OK, IX_UNFINISHED_UPDATE}})
        EXPECT_EQ(open_and_close(mode), result) << mode;
}

// Creates, opens and calls that are refused, and what they leave behind.
TEST_F(IsamFile, Refusals) {
    void* slot = nullptr;
    const auto call = [&](int op) {
        return _vmqpIsam(static_cast<uint16_t>(op), &slot, nullptr, nullptr, nullptr, 0);
    };
    uint32_t length = 10;
    unsigned char buffer[10];
    EXPECT_EQ(_vmqpIsam(IX_READ_EQ, &slot, buffer, &length, buffer, 0), IX_NOT_OPEN);
    EXPECT_EQ(std::tuple(call(IX_CLOSE), call(8), open(&slot, 1)),
              std::tuple(IX_NOT_OPEN, IX_NOT_OPEN, IX_BAD_OPCODE));  // 1: no open mode
    // A missing file is created empty, then refused.
    EXPECT_EQ(open(&slot, IX_MODE_INPUT), IX_IO_ERROR);
    EXPECT_EQ(bytes().size(), 0u);
    EXPECT_EQ(slot, nullptr);

    // Attributes that describe no usable file leave an empty file.
    for (const auto& block : {
             attributes(10, 10, {}), attributes(10, 10, std::vector<Key>(256, Key{1, 4})),
             attributes(10, 10, {{0, 4}}),                             // before the record
             attributes(10, 10, {{8, 4}}),                             // past its end
             attributes(10, 300, {{1, 256}}),                          // too long a key
             attributes(10, 10, {{1, 4, false, 7}}),                   // unknown type
             attributes(10, 10, {{1, 5, false, IX_KEY_TYPE_NUMBER}}),  // a number of 5 bytes
             attributes(20, 10, {{1, 4}}),                             // minimum above maximum
         }) {
        EXPECT_EQ(create(block), IX_BAD_KEY_COUNT);
        EXPECT_EQ(bytes().size(), 0u);
    }
    // The attribute block must hold the key entries it announces.
    auto block = attributes(10, 10, {{1, 4}, {5, 4}});
    length = 24 + 8;
    EXPECT_EQ(_vmqpIsam(IX_CREATE, &slot, block.data(), &length, name.data(), 0), IX_BAD_KEY_COUNT);
    ASSERT_EQ(create(attributes(10, 10, {{1, 10}})), IX_OK);
    EXPECT_EQ(create(attributes(10, 10, {{1, 10}}), IX_CREATE_NEW_ONLY), IX_FILE_EXISTS);
    EXPECT_EQ(bytes().size(), 2048u);  // untouched

    // Opcodes no operation has.
    ASSERT_EQ(open(&slot, IX_MODE_INPUT), IX_OK);
    for (int opcode : {0, 8, 16, 0x1FF})
        EXPECT_EQ(call(opcode), IX_BAD_OPCODE) << opcode;
    EXPECT_EQ(call(IX_CLOSE | IX_LOCK_RECORD), IX_OK);
    EXPECT_EQ(slot, nullptr);

    // A version older than the block format is refused with the message; any
    // later one than the block format's is read as the slot format.
    for (const uint32_t version : {0x199512u, 0x199604u, 0x199607u, 0x199610u}) {
        patch_u32(4, version);
        const bool old = version < 0x199605u;
        testing::internal::CaptureStdout();
        EXPECT_EQ(open_and_close(IX_MODE_INPUT), old ? IX_NOT_INDEXED_FILE : IX_OK)
            << std::hex << version;
        char expected[64];
        std::snprintf(expected, sizeof expected, " has wrong version: is %x, should be 199609\n",
                      version);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), old ? "file " + name + expected : "");
    }

    std::string sequential(80, '\0');
    store_u32(reinterpret_cast<unsigned char*>(sequential.data()), 80);
    std::memcpy(sequential.data() + 8, "KVRS", 4);
    write_file(name, sequential);
    EXPECT_EQ(open(&slot, IX_MODE_INPUT), IX_SEQUENTIAL_FILE);
    write_file(name, std::string(4096, 'x'));
    EXPECT_EQ(open(&slot, IX_MODE_INPUT), IX_NOT_INDEXED_FILE);
}

TEST_F(IsamFile, DamagedHeadersAreRefusedWithoutHarm) {
    ASSERT_EQ(create(attributes(10, 40, {{1, 10}, {11, 6, true}})), IX_OK);
    ASSERT_EQ(open_and_close(IX_MODE_UPDATE), IX_OK);
    const std::string good = bytes();

    // What is damaged, where, the value written there and its width in bytes.
    const std::tuple<const char*, uint32_t, uint32_t, int> damages[] = {
        {"header size below the fixed fields", 0, 40, 4},
        {"header size inside the fixed fields", 0, 100, 4},
        {"header size short of one tree header", 0, 1300, 4},
        {"header size beyond any key count", 0, 0x7FFFFFF0, 4},
        {"header size larger than the file", 0, 65536, 4},
        {"header size too small for its keys", 0, 1024, 4},
        {"no key", 88, 0, 4},
        {"too many keys", 88, 256, 4},
        {"key count beyond the header", 88, 40, 4},
        {"key table elsewhere", 132, 340, 4},
        {"byte order", 68, 0x04030201, 4},
        {"index block size not a power of two", 84, 5000, 4},
        {"index block size smaller than a page", 84, 1024, 4},
        {"record length beyond a slot", 96, 0x7FFFFFFF, 4},
        {"keys_end shorter than a key", 104, 4, 4},
        {"tree header moved", 332, 400, 4},
        {"negative key offset", 340, 0xFFFF, 2},
        {"key longer than a tree can keep", 342, 300, 2},
        {"duplicates flag disagrees with the tree", 360, 0, 2},
        {"unknown key type", 346, 9, 1},
        {"tree magic", 368, 0x58585858, 4},
        {"tree key number", 368 + 475, 3, 1},
        {"tree page size", 368 + 56, 6000, 4},
        {"tree leaf limit beyond its page", 368 + 32, 5000, 4},
        {"tree data length", 368 + 20, 0, 4},
    };
    for (const auto& [what, at, value, width] : damages) {
        SCOPED_TRACE(what);
        std::string damaged = good;
        put(damaged, at, value, width);
        write_file(name, damaged);
        EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_NOT_INDEXED_FILE);
        EXPECT_EQ(open_and_close(IX_MODE_UPDATE), IX_NOT_INDEXED_FILE);
    }
    // A file cut inside its header.
    write_file(name, good.substr(0, 1500));
    EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_NOT_INDEXED_FILE);
    // A root that names no page is a damaged tree.
    write_file(name, good);
    patch_u32(368 + 12, 4096);
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_IO_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "internal error in Cobol library: vmqpixfs\n");
}

TEST_F(IsamFile, BlockFormatFilesAreMadeOnRequestAndOpenInTheirFormat) {
    ASSERT_EQ(create_blocks(attributes(10, 100, {{1, 10}})), IX_OK);
    std::string b = bytes();
    // The version, avail_list_head, first_sequence_set (none), index_block_size
    // and sequence_set_size; nothing in the free-space table.
    EXPECT_EQ(words(b, {4, 20, 24, 84, 112}), (Words{0x199605, 0, 0xFFFFFFFF, 4096, 4096}));
    EXPECT_EQ(b.substr(180, 152), std::string(152, '\0'));

    void* slot = nullptr;
    const std::string record = "0000000001" + std::string(40, 'r');
    ASSERT_TRUE(run({{&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE},
                     {&slot, IX_WRITE, record, IX_OK},
                     {&slot, IX_CLOSE, "", IX_OK}}));
    // The first set follows the root page; one record.
    EXPECT_EQ(words(bytes(), {24, 16}), (Words{2048 + 4096, 1}));
    ASSERT_TRUE(run({{&slot, IX_OPEN, "", IX_OK, "", IX_MODE_INPUT},
                     {&slot, IX_READ_EQ, record, IX_OK, record},
                     {&slot, IX_CLOSE, "", IX_OK}}));

    // Blocks cut in one size are not read in another.
    patch_u32(112, 16384);
    EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_RECORD_TOO_LONG);
    patch_u32(112, 4096);
    // Records above 65536 bytes have no set size, and create refuses them
    // at once.
    patch_u32(96, 65537);
    EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_INVALID_FILE);
    EXPECT_EQ(create_blocks(attributes(10, 65537, {{1, 10}})), IX_BAD_KEY_COUNT);
    // The largest set, 65568 bytes, holds a record of at most 65528 bytes
    // behind its headers: create refuses a longer maximum, which no WRITE
    // could ever reach.
    EXPECT_EQ(create_blocks(attributes(10, 65529, {{1, 10}})), IX_BAD_KEY_COUNT);
    ASSERT_EQ(create_blocks(attributes(10, 65528, {{1, 10}})), IX_OK);
    ASSERT_EQ(open_and_close(IX_MODE_UPDATE), IX_OK);
    b = bytes();
    EXPECT_EQ(words(b, {112, 84}), (Words{65568, 65568}));
    EXPECT_EQ(b.size(), 2048u + 65568u);  // the root page's block

    // A record too long for a set is refused before the index changes.
    auto sized = [](int n, char alternate, size_t length) {
        return filled(length, 'x', "%010d%s", n, std::string(5, alternate).c_str());
    };
    ASSERT_EQ(create_blocks(attributes(15, 4064, {{1, 10}, {11, 5}})), IX_OK);
    ASSERT_TRUE(run({{&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE},
                     {&slot, IX_WRITE, sized(1, 'B', 100), IX_OK},
                     {&slot, IX_WRITE, sized(2, 'C', 4060), IX_RECORD_TOO_LONG},  // sets: 4056
                     {&slot, IX_READ_EQ, sized(1, 'B', 10), IX_OK},
                     {&slot, IX_REWRITE, sized(1, 'Z', 4060), IX_RECORD_TOO_LONG},
                     {&slot, IX_READ_EQ, "ZZZZZ", IX_NOT_FOUND, "", 1},
                     {&slot, IX_READ_EQ, "BBBBB", IX_OK, "", 1},
                     {&slot, IX_CLOSE, "", IX_OK}}));
    EXPECT_EQ(checked(), "sound");
}

// Extend and sequential opens take writes in ascending prime-key order only;
// a held read whose record cannot be fetched leaves the cursor.
TEST_F(IsamFile, OrderedWritesAndAHeldReadThatFails) {
    auto record = [](int prime, int unique) {
        return filled(30, ' ', "%06d%04dAAA", prime, unique);
    };
    ASSERT_EQ(create(attributes(13, 30, {{1, 6}, {7, 4}, {11, 3, true}})), IX_OK);
    void* slot = nullptr;
    ASSERT_TRUE(run({{&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE | IX_MODE_EXTEND},
                     {&slot, IX_WRITE, record(10, 1), IX_OK},
                     {&slot, IX_WRITE, record(10, 2), IX_DUPLICATE},
                     {&slot, IX_WRITE, record(5, 3), IX_OUT_OF_ORDER},
                     {&slot, IX_WRITE, record(11, 4), IX_DUPLICATE_FOLLOWS},
                     {&slot, IX_CLOSE, "", IX_OK},
                     {&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE | IX_MODE_SEQUENTIAL},
                     {&slot, IX_READ_FIRST, "", IX_OK},
                     {&slot, IX_WRITE, record(7, 5), IX_OUT_OF_ORDER},  // not after the current
                     {&slot, IX_CLOSE, "", IX_OK},
                     {&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE},
                     {&slot, IX_WRITE, record(1, 6), IX_DUPLICATE_FOLLOWS},  // below every key
                     {&slot, IX_CLOSE, "", IX_OK},
                     {&slot, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE},  // the records are in now
                     {&slot, IX_READ_FIRST, "", IX_OK}}));
    FaultPlan plan{.kinds = FaultPlan::kRead, .fail_at = 1};
    EXPECT_EQ(under(plan, [&] { return io(IX_READ_NEXT | IX_HOLD_RECORD, &slot, ""); }),
              IX_IO_ERROR);
    EXPECT_EQ(plan.failures, 1u);
    EXPECT_TRUE(run({{&slot, IX_READ_CURRENT, "", IX_OK, record(1, 6)},
                     {&slot, IX_READ_NEXT, "", IX_OK, record(10, 1)},
                     {&slot, IX_CLOSE, "", IX_OK}}));
}

// Readers share a file; an update open, in this process or another, has it
// alone. Shared opens, in one process or several, see every change the
// others complete, keep exclusive opens and plain readers out, and leave a
// file that opens exclusively afterwards.
TEST_F(IsamFile, SharedOpensSeeEachOthersChanges) {
    ASSERT_EQ(create(attributes(16, 16, {{1, 8}, {9, 4, true}})), IX_OK);
    const auto rec = [](int n, const char* city) {
        return filled(16, ' ', "%08d%-4s....", n, city);
    };
    constexpr int kShared = IX_MODE_UPDATE | IX_MODE_SHARED;
    // The journal is no wider than the file: made with the file's
    // permissions and group, and (by the superuser) its owner, so that a
    // user who may not read the file cannot read the journal either.
    const bool root = ::geteuid() == 0;
    ::chmod(name.c_str(), 0640);
    ::chmod(dir_.c_str(), 0755);
    ASSERT_TRUE(!root || ::chown(name.c_str(), 65534, 65534) == 0);
    void *a = nullptr, *b = nullptr, *reader = nullptr, *writer = nullptr, *other = nullptr;
    ASSERT_TRUE(run({{&reader, IX_OPEN, "", IX_OK, "", IX_MODE_INPUT},
                     {&other, IX_OPEN, "", IX_OK, "", IX_MODE_INPUT},
                     {&writer, IX_OPEN, "", IX_SHARING_VIOLATION, "", IX_MODE_UPDATE},
                     {&other, IX_CLOSE, "", IX_OK},
                     {&reader, IX_CLOSE, "", IX_OK},
                     {&writer, IX_OPEN, "", IX_OK, "", IX_MODE_UPDATE},
                     {&reader, IX_OPEN, "", IX_SHARING_VIOLATION, "", IX_MODE_INPUT}}));
    EXPECT_EQ(kvr::test::in_child([&] { return open(&other, IX_MODE_UPDATE); }),
              IX_SHARING_VIOLATION);
    ASSERT_EQ(close(&writer), IX_OK);
    ASSERT_EQ(open(&a, kShared), IX_OK);
    struct stat journal {};
    ASSERT_EQ(::stat((name + ".kvrj").c_str(), &journal), 0);
    EXPECT_EQ(journal.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(std::to_string(journal.st_uid) + ":" + std::to_string(journal.st_gid),
                  "65534:65534");
        EXPECT_EQ(kvr::test::in_child([&] {
                      return ::setuid(65533) != 0 ||
                             ::open((name + ".kvrj").c_str(), O_RDONLY) >= 0 || errno != EACCES;
                  }),
                  0)
            << "another user read the journal";
    }
    ASSERT_TRUE(run({{&b, IX_OPEN, "", IX_OK, "", kShared},
                     {&reader, IX_OPEN, "", IX_OK, "", IX_MODE_INPUT | IX_MODE_SHARED},
                     {&other, IX_OPEN, "", IX_SHARING_VIOLATION, "", IX_MODE_UPDATE},
                     {&other, IX_OPEN, "", IX_SHARING_VIOLATION, "", IX_MODE_INPUT}}));

    for (int n = 1; n <= 300; ++n)
        ASSERT_TRUE(done(io(IX_WRITE, n % 2 ? &a : &b, rec(n, n % 3 ? "BERN" : "ROME")))) << n;
    const auto key = [&](int n) { return rec(n, "").substr(0, 8); };
    ASSERT_TRUE(run({{&a, IX_WRITE, rec(8, "ROME"), IX_DUPLICATE},  // a key b wrote
                     {&a, IX_READ_EQ, key(8), IX_OK, rec(8, "BERN")},
                     {&b, IX_READ_EQ, key(8), IX_OK},
                     {&b, IX_REWRITE, rec(8, "ROME"), IX_DUPLICATE_FOLLOWS},
                     {&b, IX_READ_EQ, key(9), IX_OK},
                     {&b, IX_DELETE, "", IX_OK},
                     {&a, IX_READ_EQ, key(8), IX_OK, rec(8, "ROME")},
                     {&a, IX_READ_EQ, key(9), IX_NOT_FOUND}}));

    // The reader's scan by city sees both writers' records in key order.
    ASSERT_TRUE(done(io(IX_READ_GE, &reader, "", "ROME", 1)));
    int romans = 1;
    while (done(io(IX_READ_NEXT, &reader, "", "", 1)) && read_record().substr(8, 4) == "ROME")
        ++romans;
    EXPECT_EQ(romans, 100);  // every third of 300, less 9, plus 8

    // A group holds the file from IX_BEGIN_GROUP to IX_END_GROUP: nobody
    // else takes the operation lock meanwhile. A group begun for reading
    // refuses a change, and groups do not nest.
    const int probe = ::open(name.c_str(), O_RDONLY);
    const auto others_may_read = [&] { return operation_byte(probe, F_OFD_GETLK, F_RDLCK); };
    ASSERT_TRUE(run({{&a, IX_BEGIN_GROUP, "", IX_OK, "", 1}}));
    EXPECT_FALSE(others_may_read());
    ASSERT_TRUE(run({{&a, IX_BEGIN_GROUP, "", IX_BAD_OPCODE, "", 1},
                     {&a, IX_WRITE, rec(500, "BERN"), IX_DUPLICATE_FOLLOWS},
                     {&a, IX_READ_EQ, key(500), IX_OK},
                     {&a, IX_DELETE, "", IX_OK},
                     {&a, IX_END_GROUP, "", IX_OK}}));
    EXPECT_TRUE(others_may_read());
    ASSERT_TRUE(run({{&b, IX_BEGIN_GROUP, "", IX_OK},
                     {&b, IX_WRITE, rec(501, "BERN"), IX_BAD_OPCODE},
                     {&b, IX_READ_EQ, key(500), IX_NOT_FOUND},
                     {&b, IX_END_GROUP, "", IX_OK},
                     {&b, IX_END_GROUP, "", IX_OK}}));  // no group: nothing to do
    ::close(probe);

    // A handle keeps its own key of reference when another changes the
    // file: a reads by city, then by number; b reads by city and writes;
    // a's DELETE deletes the record a read by number, not the one its city
    // cursor stands on, and its READ NEXT goes on by number.
    ASSERT_TRUE(run({{&a, IX_READ_EQ, "ROME", IX_DUPLICATE_FOLLOWS, rec(3, "ROME"), 1},
                     {&a, IX_READ_EQ, key(100), IX_OK},
                     {&b, IX_READ_EQ, "BERN", IX_DUPLICATE_FOLLOWS, "", 1},
                     {&b, IX_WRITE, rec(301, "BERN"), IX_DUPLICATE_FOLLOWS},
                     {&a, IX_DELETE, "", IX_OK},
                     {&a, IX_READ_NEXT, "", IX_OK, rec(101, "BERN")},
                     {&b, IX_READ_EQ, key(100), IX_NOT_FOUND},
                     {&b, IX_READ_EQ, key(3), IX_OK},
                     {&reader, IX_CLOSE, "", IX_OK},
                     {&a, IX_CLOSE, "", IX_OK},
                     {&b, IX_CLOSE, "", IX_OK}}));
    kvr::isam::FileSummary summary;
    EXPECT_EQ(checked(&summary), "sound");
    EXPECT_EQ(open_and_close(IX_MODE_UPDATE), IX_OK);
    if (!root)
        GTEST_SKIP() << "all but the journal's owner and another user's reading checked: that "
                        "needs root";
}

// A shared handle's read with IX_HOLD_RECORD locks that record until its
// next read of another record, REWRITE, DELETE or close, or until its process dies: other
// handles' locking reads, REWRITEs and DELETEs of it get IX_LOCK_VIOLATION, plain reads
// read it.
TEST_F(IsamFile, RecordLocksOfSharedOpens) {
    ASSERT_EQ(create(attributes(12, 12, {{1, 4}})), IX_OK);
    constexpr int kShared = IX_MODE_UPDATE | IX_MODE_SHARED;
    constexpr uint16_t kLocking = IX_READ_EQ | IX_HOLD_RECORD;
    void *a = nullptr, *b = nullptr;
    ASSERT_TRUE(run({
        {&a, IX_OPEN, "", IX_OK, "", kShared},
        {&b, IX_OPEN, "", IX_OK, "", kShared},
        {&a, IX_WRITE, "0001record..", IX_OK},
        {&a, IX_WRITE, "0002record..", IX_OK},
        {&a, IX_WRITE, "0003record..", IX_OK},
        {&a, kLocking, "0002", IX_OK},
        {&a, IX_READ_EQ, "0002", IX_OK},  // reading it again, as a REWRITE by key does, keeps it
        {&b, kLocking, "0002", IX_LOCK_VIOLATION},
        {&b, IX_READ_EQ, "0002", IX_OK, "0002record.."},
        {&b, IX_REWRITE, "0002changed!", IX_LOCK_VIOLATION},
        {&b, IX_DELETE, "", IX_LOCK_VIOLATION},
        {&b, kLocking, "0003", IX_OK},    // another record is free
        {&a, IX_READ_EQ, "0003", IX_OK},  // a's next read lets 0002 go
        {&a, IX_REWRITE, "0003changed!", IX_LOCK_VIOLATION},
        {&b, IX_READ_EQ, "0002", IX_OK},
        {&b, IX_REWRITE, "0002changed!", IX_OK},
        {&b, kLocking, "0002", IX_OK},
        {&b, IX_CLOSE, "", IX_OK},  // close lets it go
        {&a, kLocking, "0002", IX_OK, "0002changed!"},
        {&a, IX_READ_EQ, "0001", IX_OK},  // a lock dies with its process
    }));
    auto holder = holding([&](void** c) { return io(kLocking, c, "", "0003") == IX_OK; });
    EXPECT_EQ(io(kLocking, &a, "", "0003"), IX_LOCK_VIOLATION);
    holder.end();
    EXPECT_EQ(io(kLocking, &a, "", "0003"), IX_OK);

    // Nobody keeps the others out for ever: not a user who may only read
    // the file and holds a read lock on the operation lock's byte, nor a
    // sharer stopped inside an operation. After the lock wait limit the
    // operation, or an open, gives up with IX_SHARING_VIOLATION, and the holder is named.
    ::setenv("KVR_LOCK_WAIT", "0.2", 1);
    const auto holder_named = [&] {
        char text[64];
        kvr::engine::open_refusal_detail(name.c_str(), kvr::engine::kSharingViolation, text,
                                         sizeof text);
        return std::string(text);
    };
    const int outsider = ::open(name.c_str(), O_RDONLY);
    ASSERT_TRUE(operation_byte(outsider, F_OFD_SETLK, F_RDLCK));
    EXPECT_EQ(io(IX_WRITE, &a, "0004record.."), IX_SHARING_VIOLATION);
    EXPECT_EQ(io(IX_READ_EQ, &a, "", "0001"), IX_OK);
    EXPECT_EQ(holder_named(), "process " + std::to_string(getpid()) + " holds it");
    ::close(outsider);
    EXPECT_EQ(io(IX_WRITE, &a, "0004record.."), IX_OK);
    auto stopped = holding(
        [](void** c) { return _vmqpIsam(IX_BEGIN_GROUP, c, nullptr, nullptr, nullptr, 1) == 0; },
        true);
    EXPECT_EQ(io(IX_READ_EQ, &a, "", "0001"), IX_SHARING_VIOLATION);
    void* late = nullptr;
    EXPECT_EQ(open(&late, kShared), IX_SHARING_VIOLATION);
    EXPECT_EQ(holder_named(), "process " + std::to_string(stopped.pid) + " holds it");
    stopped.end();
    ::unsetenv("KVR_LOCK_WAIT");
    EXPECT_EQ(io(IX_READ_EQ, &a, "", "0001"), IX_OK);
    EXPECT_EQ(close(&a), IX_OK);
    EXPECT_EQ(checked(), "sound");
}

// Every write of a shared WRITE, REWRITE and DELETE failed in turn, as a
// full disk fails it: the change is taken back whole, both handles go on
// without IX_UNFINISHED_UPDATE, and the file holds what was acknowledged and checks sound.
// Then a process dies at each write of a WRITE in turn, and a shared reader,
// the first to use the file after it, takes the change back.
TEST_F(IsamFile, ASharedChangeThatFailsIsTakenBackWhole) {
    const auto rec = [](int n, int length) {
        return filled(static_cast<size_t>(length), 'a' + n % 26, "%08d%s", n,
                      n % 2 ? "BERN" : "ROME");
    };
    for (const bool blocks : {false, true}) {
        SCOPED_TRACE(blocks ? "block format" : "slot format");
        const auto block = attributes(16, 40, {{1, 8}, {9, 4, true}});
        ASSERT_EQ(blocks ? create_blocks(block) : create(block), IX_OK);
        void *a = nullptr, *b = nullptr;
        ASSERT_EQ(open(&a, IX_MODE_UPDATE | IX_MODE_SHARED), IX_OK);
        ASSERT_EQ(open(&b, IX_MODE_UPDATE | IX_MODE_SHARED), IX_OK);
        std::map<std::string, std::string> held;
        for (int n = 0; n < 120; n += 2) {
            ASSERT_TRUE(done(io(IX_WRITE, &b, rec(n, 16 + n % 20))));
            held[rec(n, 8)] = rec(n, 16 + n % 20);
        }
        // b sees exactly what was acknowledged.
        const auto b_holds_what_was_acknowledged = [&] { return contents(&b) == held; };
        for (int step = 0; step < 12; ++step) {
            const int n = step * 10 + (step % 3 == 0 ? 1 : 0);  // odd: a new record
            const std::string key = rec(n, 8);
            const auto change = [&] {
                if (step % 3 == 0)
                    return io(IX_WRITE, &a, rec(n, 30));
                const int found = io(IX_READ_EQ, &a, "", key);
                if (found != 0)
                    return found;
                return step % 3 == 1 ? io(IX_REWRITE, &a, rec(n, 40)) : io(IX_DELETE, &a, "");
            };
            for (uint64_t k = 1;; ++k) {
                FaultPlan plan{.kinds = FaultPlan::kWrite,
                               .fail_at = k,
                               .error = kvr::platform::ERROR_DISK_FULL};
                const int result = under(plan, change);
                if (plan.failures == 0) {
                    ASSERT_TRUE(done(result)) << result;
                    break;
                }
                ASSERT_FALSE(done(result)) << "write " << k;
                ASSERT_TRUE(b_holds_what_was_acknowledged()) << "step " << step << ", write " << k;
                ASSERT_EQ(io(IX_READ_EQ, &a, "", rec(0, 8)), IX_OK) << "write " << k;
            }
            if (step % 3 == 2)
                held.erase(key);
            else
                held[key] = rec(n, step % 3 == 0 ? 30 : 40);
            ASSERT_TRUE(b_holds_what_was_acknowledged()) << "step " << step;
        }

        // The reader opened the file by a name relative to a directory the
        // program has left since.
        void* reader = nullptr;
        const auto home = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        ASSERT_EQ(_vmqpIsam(IX_OPEN, &reader, nullptr, nullptr, const_cast<char*>("customers.dat"),
                            IX_MODE_INPUT | IX_MODE_SHARED),
                  0);
        std::filesystem::current_path("/");
        for (uint64_t k = 1; dies_writing(k, rec(999, 20)); ++k) {
            const std::map<std::string, std::string> found = contents(&reader);
            ASSERT_EQ(io(IX_READ_EQ, &reader, "", rec(0, 8)), IX_OK) << "write " << k;
            if (found.count(rec(999, 8)) != 0)
                break;  // it died after the change was whole
            ASSERT_EQ(found, held) << "write " << k;
        }
        std::filesystem::current_path(home);
        EXPECT_EQ(close(&reader), IX_OK);
        EXPECT_EQ(close(&a), IX_OK);
        EXPECT_EQ(close(&b), IX_OK);
        EXPECT_EQ(checked(), "sound");
        EXPECT_FALSE(std::filesystem::exists(name + ".kvrj"));
    }
}

// A process dies at each write of a shared WRITE in turn, and the next
// program to use the file opens it on its own, for update or for input:
// the change is taken back from the journal as when a sharer opens it, not
// left for kvr rebuild.
TEST_F(IsamFile, AChangeAProcessDiedInIsTakenBackByAnyOpen) {
    ASSERT_EQ(create(attributes(16, 16, {{1, 8}})), IX_OK);
    void* slot = nullptr;
    ASSERT_EQ(open(&slot, IX_MODE_UPDATE | IX_MODE_SHARED), IX_OK);
    for (int n = 0; n < 40; ++n)
        ASSERT_EQ(io(IX_WRITE, &slot, std::to_string(10000000 + n) + "abcdefgh"), IX_OK);
    ASSERT_EQ(close(&slot), IX_OK);
    const std::string before = bytes();
    for (const int next_mode :
         {int{IX_MODE_UPDATE}, int{IX_MODE_INPUT}, IX_MODE_INPUT | IX_MODE_SHARED}) {
        for (uint64_t k = 1;; ++k) {
            SCOPED_TRACE("open " + std::to_string(next_mode) + ", write " + std::to_string(k));
            write_file(name, before);
            if (!dies_writing(k, "10000099newrecrd"))
                break;
            ASSERT_EQ(open(&slot, next_mode), IX_OK);
            const size_t records = contents(&slot).size();
            EXPECT_TRUE(records == 40 || records == 41) << records;
            ASSERT_EQ(close(&slot), IX_OK);
            ASSERT_EQ(checked(), "sound");
        }
    }

    // A change that fails, on a disk that then fails every write, cannot be
    // taken back by its own handle: the marker stays, and the journal with
    // it when that handle closes, for the next open to take the change back.
    write_file(name, before);
    ASSERT_EQ(open(&slot, IX_MODE_UPDATE | IX_MODE_SHARED), IX_OK);
    FaultPlan plan{.kinds = FaultPlan::kWrite, .fail_at = 6, .sticky = true};
    EXPECT_NE(under(plan, [&] { return io(IX_WRITE, &slot, "10000099newrecrd"); }), IX_OK);
    ASSERT_GT(plan.failures, 1u);
    EXPECT_EQ(word_at(bytes(), 36), word_at("KVRU", 0));
    EXPECT_NE(close(&slot), IX_OK);
    EXPECT_EQ(open_and_close(IX_MODE_UPDATE | IX_MODE_SHARED), IX_OK);
    EXPECT_EQ(checked(), "sound");

    // What lies beside the file under the journal's name is taken back only
    // when it is this file's journal, made by someone who may write the
    // file, and the file is still as the dead change left it. Anything else
    // leaves file and journal as they are, refuses the open (unfinished, or
    // access denied for a shared update open) and says why; no open removes
    // or writes it.
    ::chmod(name.c_str(), 0600);
    const std::string journal = name + ".kvrj";
    for (uint64_t k = 1;; ++k) {
        write_file(name, before);
        std::filesystem::remove(journal);
        ASSERT_TRUE(dies_writing(k, "10000099newrecrd"));
        if (word_at(bytes(), 36) != 0 && read_file(journal).size() > 80)
            break;  // marked, and the journal holds what it saved
    }
    struct stat made {};
    ASSERT_EQ(::stat(journal.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0600u) << "the journal takes the file's permissions";
    const std::string dead = bytes();
    const std::string dead_journal = read_file(journal);
    const std::string precious = path("precious.txt");
    const bool root = ::geteuid() == 0;
    // What lies there, how it is made, why it is not taken back ("": it is), and
    // what a shared update open gives: IX_ACCESS_DENIED when the journal may not
    // be used, IX_UNFINISHED_UPDATE when it holds no such change.
    const std::tuple<const char*, std::function<void()>, std::string, int> cases[] = {
        {"its journal", [] {}, "", IX_OK},
        {"a user's own file", [&] { write_file(journal, "my own notes\n"); },
         "it is not a journal of this system", IX_ACCESS_DENIED},
        {"a damaged journal", [&] { TempDirTest::patch_u32(journal, 20, 12345); },
         "it is a damaged journal", IX_ACCESS_DENIED},
        {"a symbolic link",
         [&] {
             std::filesystem::remove(journal);
             std::filesystem::create_symlink(precious, journal);
         },
         "it is a symbolic link", IX_ACCESS_DENIED},
        {"a directory",
         [&] {
             std::filesystem::remove(journal);
             std::filesystem::create_directory(journal);
         },
         "it is not a regular file, or this user may not read and write it", IX_ACCESS_DENIED},
        {"a hard link", [&] { ::link(journal.c_str(), path("other.kvrj").c_str()); },
         "it has other names (hard links)", IX_ACCESS_DENIED},
        {"a journal readable by all", [&] { ::chmod(journal.c_str(), 0644); },
         "its permissions (0644) are wider than the file's (0600)", IX_ACCESS_DENIED},
        {"another user's journal", [&] { (void)!::chown(journal.c_str(), 65534, 65534); },
         "it belongs to user 65534, who may not write the file", IX_ACCESS_DENIED},
        {"the file changed since", [&] { patch_u32(16, word_at(dead, 16) + 1); },
         "the file has changed since the journal was written", IX_UNFINISHED_UPDATE},
        // Last: the name leads to another file from here on.
        {"the journal of the file replaced",
         [&] {
             write_file(path("copy"), dead);
             ::chmod(path("copy").c_str(), 0600);
             std::filesystem::rename(path("copy"), name);
         },
         "it is the journal of another file", IX_UNFINISHED_UPDATE},
    };
    for (const auto& [what, make, why, shared_open] : cases) {
        SCOPED_TRACE(what);
        if (!root && what == std::string("another user's journal"))
            continue;
        write_file(name, dead);
        std::filesystem::remove(journal);
        write_file(journal, dead_journal);
        ::chmod(journal.c_str(), 0600);
        write_file(precious, "precious");
        make();
        const std::string file_then = bytes();
        const auto beside = [&] {
            return std::filesystem::is_regular_file(journal) ? read_file(journal) : "(not a file)";
        };
        const std::string beside_then = beside();
        EXPECT_EQ(kvr::engine::ChangeJournal::problem(name.c_str()), why);
        EXPECT_EQ(open_and_close(IX_MODE_UPDATE | IX_MODE_SHARED), shared_open);
        if (why.empty()) {
            EXPECT_EQ(checked(), "sound");
            EXPECT_FALSE(std::filesystem::exists(journal));
            continue;
        }
        EXPECT_EQ(open_and_close(IX_MODE_UPDATE), IX_UNFINISHED_UPDATE);
        EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_UNFINISHED_UPDATE);
        EXPECT_TRUE(bytes() == file_then);
        EXPECT_TRUE(beside() == beside_then);
        EXPECT_EQ(read_file(precious), "precious");
        std::filesystem::remove(path("other.kvrj"));
    }

    // Beside a sound file a user's own file of the journal's name stays
    // through a create and an exclusive update open, and keeps the file
    // from being shared; a journal of this library left there goes.
    write_file(journal, "my own notes\n");
    ASSERT_EQ(create(attributes(16, 16, {{1, 8}})), IX_OK);
    EXPECT_EQ(open_and_close(IX_MODE_UPDATE), IX_OK);
    EXPECT_EQ(open_and_close(IX_MODE_UPDATE | IX_MODE_SHARED), IX_ACCESS_DENIED);
    EXPECT_EQ(read_file(journal), "my own notes\n");
    write_file(journal, dead_journal);
    EXPECT_EQ(open_and_close(IX_MODE_UPDATE), IX_OK);
    EXPECT_FALSE(std::filesystem::exists(journal));
    if (!root)
        GTEST_SKIP() << "all but the journal of another user checked: that needs root";
}

// 2, 4 and 8 processes write, rewrite and delete records of one shared
// file at once, in both formats, and in every other round one of them dies
// inside a change: every change acknowledged is in the file, the one under
// way when a process died is there whole or not at all, and the file checks
// sound. Each process logs "+record" before a change and "=record" once it
// is acknowledged (a record of 8 bytes, its key alone, is a DELETE).
TEST_F(IsamFile, SharedUpdatesFromSeveralProcessesLoseNothing) {
    const auto worker = [&](int p, uint32_t seed, bool dies) {
        FaultPlan dying{
            .kinds = FaultPlan::kWrite, .fail_at = dies ? 50 + seed % 400 : 0, .die = true};
        ScopedFaultPlan scope(dying);
        const int log = ::open(path("log" + std::to_string(p)).c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        void* slot = nullptr;
        if (log < 0 || open(&slot, IX_MODE_UPDATE | IX_MODE_SHARED) != 0)
            return 100;
        std::map<int, bool> mine;
        for (int i = 0; i < 300; ++i) {
            seed = seed * 1103515245 + 12345;
            const int n = static_cast<int>((seed >> 8) % 150);
            const std::string record = filled(16 + (seed >> 20) % 24, 'a' + i % 26, "%d%07d%s",
                                              p % 10, n, i % 2 ? "BERN" : "ROME");
            const bool known = mine.count(n) != 0, erase = known && (seed >> 4) % 3 == 0;
            const std::string line = (erase ? record.substr(0, 8) : record) + "\n";
            if (::write(log, ("+" + line).data(), line.size() + 1) < 0)
                return 104;
            int result = known ? io(IX_READ_EQ, &slot, "", record.substr(0, 8))
                               : io(IX_WRITE, &slot, record);
            if (known && result == 0)
                result = erase ? io(IX_DELETE, &slot, "") : io(IX_REWRITE, &slot, record);
            if (!done(result))
                return result == IX_UNFINISHED_UPDATE ? 3 : 101;  // 3: another died in a change
            if (::write(log, ("=" + line).data(), line.size() + 1) < 0)
                return 104;
            if (erase)
                mine.erase(n);
            else
                mine[n] = true;
        }
        return close(&slot) == 0 ? 0 : 102;
    };
    for (const bool blocks : {false, true}) {
        const auto block = attributes(16, 40, {{1, 8}, {9, 4, true}});
        ASSERT_EQ(blocks ? create_blocks(block) : create(block), IX_OK);
        for (const auto& [processes, kill] :
             {std::pair{2, false}, {2, true}, {4, false}, {4, true}, {8, false}, {8, true}}) {
            SCOPED_TRACE(std::to_string(processes) + (kill ? " processes, one killed" : "") +
                         (blocks ? ", block format" : ""));
            std::vector<pid_t> children;
            for (int p = 0; p < processes; ++p) {
                std::fflush(nullptr);
                if ((children.emplace_back(fork())) == 0)
                    _exit(worker(p, static_cast<uint32_t>(p * 7919 + processes),
                                 kill && p == processes / 2));
            }
            for (int c = 0; c < processes; ++c) {
                int status = 0;
                waitpid(children[static_cast<size_t>(c)], &status, 0);
                EXPECT_TRUE(kill && c == processes / 2
                                ? WIFSIGNALED(status)
                                : WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    << c << ": " << status;
            }
            EXPECT_TRUE(kill || !std::filesystem::exists(name + ".kvrj"));
            // Each key's last acknowledged state, and the change under way
            // when a log ends with "+" (only the killed process leaves one).
            std::map<std::string, std::string> acknowledged, under_way;
            for (int p = 0; p < processes; ++p) {
                std::string pending, text = read_file(path("log" + std::to_string(p)));
                for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos;
                     at = end + 1) {
                    const std::string line = text.substr(at + 1, end - at - 1);
                    if (text[at] == '=')
                        acknowledged[line.substr(0, 8)] = line;
                    pending = text[at] == '+' ? line : "";
                }
                if (!pending.empty())
                    under_way[pending.substr(0, 8)] = pending;
            }
            const auto held = [](auto& m, const std::string& k) {
                return m.count(k) != 0 && m[k].size() > 8 ? m[k] : "";
            };
            void* slot = nullptr;
            ASSERT_EQ(open(&slot, IX_MODE_UPDATE), IX_OK);  // exclusive again
            std::map<std::string, std::string> found = contents(&slot);
            for (const auto& [key, unused] : under_way) {
                const std::string now = held(found, key);
                EXPECT_TRUE(now == held(acknowledged, key) || (kill && now == held(under_way, key)))
                    << key << " holds " << now;
                found.erase(key);
                acknowledged.erase(key);
            }
            std::erase_if(acknowledged, [](const auto& entry) { return entry.second.size() == 8; });
            EXPECT_EQ(found, acknowledged);
            for (int r = io(IX_READ_FIRST, &slot, ""); r == 0; r = io(IX_READ_FIRST, &slot, ""))
                ASSERT_EQ(io(IX_DELETE, &slot, ""), IX_OK);  // emptied for the next round
            EXPECT_EQ(close(&slot), IX_OK);
            EXPECT_EQ(checked(), "sound");
        }
    }
}

// Without room for the fixed part GET ATTRIBUTES writes nothing; without
// room for every key, the fixed part only. A file of 255 keys gives back
// every one.
TEST_F(IsamFile, GetAttributesNeedsRoomForTheFixedPartAndEveryKey) {
    void* slot = nullptr;
    std::vector<unsigned char> block(24 + 8 * 255, 0xEE);
    uint32_t size = 0;
    unsigned char aux = 0xEE;
    ix_key_spec entry{};
    const auto get = [&](uint32_t room, uint16_t op = IX_GET_ATTRIBUTES, void* aux_at = nullptr) {
        size = room;
        return _vmqpIsam(op, &slot, block.data(), &size, aux_at, 0);
    };
    ASSERT_EQ(create(attributes(12, 60, {{3, 10}, {20, 8, true}}, 1)), IX_OK);
    ASSERT_EQ(open(&slot, IX_MODE_INPUT), IX_OK);
    EXPECT_EQ(get(23), IX_NO_SPACE);
    EXPECT_EQ(block, std::vector<unsigned char>(block.size(), 0xEE));
    EXPECT_EQ(get(24, IX_GET_ATTRIBUTES | IX_HOLD_RECORD), IX_NO_SPACE);
    const ix_attributes fixed = kvr::test::decode_attributes(block);
    EXPECT_EQ(std::tuple(size, fixed.min_record_length, fixed.max_record_length, fixed.key_count,
                         fixed.options, block[24]),  // no key entry written
              std::tuple(24u, 12u, 60u, 2, 1, 0xEE));
    EXPECT_EQ(get(40), IX_OK);
    ix_key_spec_decode(block.data(), 1, &entry);
    EXPECT_EQ(std::tuple(entry.key_offset, entry.key_length, entry.key_flags),
              std::tuple(20, 8, 1));
    EXPECT_EQ(close(&slot), IX_OK);

    std::vector<Key> keys;
    for (int i = 0; i < 255; ++i)
        keys.push_back({1 + i, 4, i % 2 == 1});
    ASSERT_EQ(create(attributes(300, 300, keys)), IX_OK);
    ASSERT_EQ(open(&slot, IX_MODE_INPUT), IX_OK);
    ASSERT_EQ(get(static_cast<uint32_t>(block.size()), IX_GET_ATTRIBUTES, &aux), IX_OK);
    ix_key_spec_decode(block.data(), 254, &entry);
    EXPECT_EQ(std::tuple(aux, entry.key_offset, entry.key_flags), std::tuple(0, 255, 0));
    EXPECT_EQ(close(&slot), IX_OK);
}

// Block-format files as another maker of the format leaves them, built here
// byte by byte: the header area and key table; per key a tree header whose
// page is a whole block and whose limits are the bare capacity rule's (cap =
// (block - 20) / entry, made odd; cap - 1 and half of it); the records packed
// into sequence sets in prime-key order; each tree as leaves under a branch
// root. Run-time fields hold what such a maker leaves in them at close.
class ForeignBlockFiles : public IsamFile {
protected:
    using Bytes = std::string;
    struct Layout {
        uint32_t max_length;
        std::vector<Key> keys;  // key 0 first
        size_t per_set, per_leaf;

        uint32_t block() const {
            return max_length <= 4064 ? 4096 : max_length <= 16352 ? 16384 : 65568;
        }
        uint32_t tree_at(int i) const {
            const auto entries = static_cast<uint32_t>(std::max<size_t>(keys.size(), 2));
            return 8 * ((332 + 16 * entries) / 8) + 8 + 996 * static_cast<uint32_t>(i);
        }
        int key_len(int i) const { return keys[i].length + (keys[i].duplicates ? 4 : 0); }
        int data_len(int i) const { return i == 0 ? 4 : keys[0].length; }
        int cap(int entry) const {
            const int c = static_cast<int>(block() - 20) / entry;
            return c % 2 == 1 ? c : c - 1;
        }
        // Branch max and min, leaf max and min.
        std::vector<uint32_t> limits(int i) const {
            const int branch = cap(key_len(i) + 4) - 1, leaf = cap(key_len(i) + data_len(i)) - 1;
            return {uint32_t(branch), uint32_t(branch / 2), uint32_t(leaf), uint32_t(leaf / 2)};
        }
        Bytes key(int i, const Bytes& r) const {
            return r.substr(keys[i].offset - 1, keys[i].length);
        }
    };

    // The whole file for `records`, given in prime-key order.
    static Bytes build(const Layout& l, const std::vector<Bytes>& records) {
        const int keys = static_cast<int>(l.keys.size());
        const uint32_t block = l.block(), area = 1024 * (l.tree_at(keys) / 1024) + 1024,
                       stored = static_cast<uint32_t>(records.size()), key_count = l.keys.size();
        Bytes f(area, '\0');
        auto new_block = [&] {
            f.resize(f.size() + block, '\0');
            return static_cast<uint32_t>(f.size() - block);
        };
        // 108: variable length, and the block format's run-time bit
        put_all(f, 0, {0,   area,  4,   0x199605,  16,  stored,       68,  0x01020304,
                       84,  block, 88,  key_count, 96,  l.max_length, 100, l.max_length,
                       108, 3,     112, block,     132, 332});
        f.replace(8, 4, "KVRI");
        for (uint32_t at : {12u, 32u, 72u, 80u, 128u, 176u, 180u, 188u, 240u})
            put(f, at, 0xA4 + at);  // run time, or never read
        uint32_t keys_end = 0;
        for (int i = 0; i < keys; ++i) {
            const uint32_t e = 332 + 16 * static_cast<uint32_t>(i);
            // offset and length in 2 bytes each, then the duplicates flag
            put_all(f, e,
                    {0, l.tree_at(i), 4, 0xA40000 + e, 8,
                     uint32_t(l.keys[i].offset - 1) | uint32_t(l.keys[i].length) << 16, 12,
                     l.keys[i].duplicates ? 1u : 0u});
            keys_end = std::max<uint32_t>(keys_end, l.keys[i].offset - 1 + l.keys[i].length);
        }
        put(f, 104, keys_end);

        std::vector<uint32_t> address(records.size());
        uint32_t previous = 0xFFFFFFFF;
        for (size_t r = 0; r < records.size(); r += l.per_set) {
            const uint32_t b = new_block();
            put(f, previous == 0xFFFFFFFF ? 24 : previous + 24, b);
            const size_t end = std::min(records.size(), r + l.per_set);
            const uint32_t in_set = static_cast<uint32_t>(end - r);
            uint32_t at = b + 32;
            for (size_t n = r; n < end; at += 8 + static_cast<uint32_t>(records[n++].size())) {
                put(f, at, static_cast<uint32_t>(records[n].size()));
                put(f, at + 4, b);
                f.replace(at + 8, records[n].size(), records[n]);
                address[n] = at + 8;
            }
            put_all(f, b,
                    {0, 4, 4, in_set, 8, b + 40, 12, address[end - 1], 16, b + block - at, 20, at,
                     24, 0xFFFFFFFF, 28, previous});
            previous = b;
        }

        for (int i = 0; i < keys; ++i) {
            const uint32_t key_len = l.key_len(i), data_len = l.data_len(i);
            const uint32_t flags = (l.keys[i].duplicates ? 0x100u : 0u) | 0x400u;
            std::vector<std::pair<Bytes, Bytes>> entries;
            std::map<Bytes, uint32_t> duplicates;
            for (size_t n = 0; n < records.size(); ++n) {
                Bytes key = l.key(i, records[n]), data(4, '\0');
                if (l.keys[i].duplicates) {
                    const uint32_t number = duplicates[key]++;
                    for (int shift : {24, 16, 8, 0})
                        key += static_cast<char>(number >> shift);
                }
                put(data, 0, address[n]);
                entries.emplace_back(key, i == 0 ? data : l.key(0, records[n]));
            }
            std::sort(entries.begin(), entries.end());
            const std::vector<uint32_t> limits = l.limits(i);
            const uint32_t leaf_keys_at = 20 + (limits[2] + 2) * data_len;
            const uint32_t branch_keys_at = 24 + 4 * (limits[0] + 1);
            auto new_page = [&](uint16_t type, size_t count) {
                const uint32_t p = new_block();
                put_all(f, p, {0, type | uint32_t(count) << 16, 6, uint32_t(i), 8, p});
                return p;
            };
            const size_t leaves =
                std::max<size_t>(1, (entries.size() + l.per_leaf - 1) / l.per_leaf);
            std::vector<uint32_t> leaf;
            for (size_t j = 0, first = 0; j < leaves; ++j) {
                const size_t end = entries.size() * (j + 1) / leaves;
                leaf.push_back(new_page(2, end - first));
                if (j > 0) {
                    put(f, leaf[j] + 12, leaf[j - 1]);
                    put(f, leaf[j - 1] + 16, leaf[j]);
                }
                for (size_t e = first; e < end; ++e) {
                    f.replace(leaf[j] + 20 + (e - first) * data_len, data_len, entries[e].second);
                    f.replace(leaf[j] + leaf_keys_at + (e - first) * key_len, key_len,
                              entries[e].first);
                }
                first = end;
            }
            uint32_t root = leaf[0];
            if (leaves > 1) {
                root = new_page(1, leaves - 1);
                put(f, root + 20, leaf[0]);
                for (size_t j = 1; j < leaves; ++j) {
                    put(f, root + 20 + 4 * j, leaf[j]);
                    f.replace(root + branch_keys_at + (j - 1) * key_len, key_len,
                              entries[entries.size() * j / leaves].first);
                }
            }
            const uint32_t t = l.tree_at(i);
            for (uint32_t at : {40u, 44u, 48u, 68u, 76u, 204u, 460u, 472u, 476u, 484u})
                put(f, t + at, 0xA4 + at);  // run time
            f.replace(t, 8, "KVR_FILX");
            // 60: the flags, duplicates (0x100) and block pages (0x400)
            put_all(f, t,
                    {12, root,      20, data_len, 24, limits[0], 28, limits[1], 32,  limits[2],
                     36, limits[3], 56, block,    60, flags,     64, key_len,   480, t});
            put(f, t + 475, static_cast<uint32_t>(i), 1);
        }
        return f;
    }

    // Every record of the model by each key, then each key's sequence.
    void expect_records(const Layout& l, const std::map<Bytes, Bytes>& model) {
        void* slot = nullptr;
        ASSERT_EQ(open(&slot, IX_MODE_INPUT), IX_OK);
        for (int k = 0; k < static_cast<int>(l.keys.size()); ++k) {
            std::multimap<Bytes, Bytes> by_key;
            for (const auto& [prime, r] : model)
                by_key.emplace(l.key(k, r), r);
            for (const auto& [value, r] : by_key) {
                ASSERT_TRUE(done(io(IX_READ_EQ, &slot, "", value, k))) << k << " " << value;
                if (!l.keys[k].duplicates) {
                    ASSERT_EQ(read_record(), r);
                }
            }
            int result = io(IX_READ_FIRST, &slot, "", "", k);
            for (const auto& [value, r] : by_key) {
                ASSERT_TRUE(done(result)) << k << " " << value;
                ASSERT_EQ(l.key(k, buffer_), value);
                result = io(IX_READ_NEXT, &slot, "", "", k);
            }
            ASSERT_EQ(result, IX_END_OF_FILE);
        }
        EXPECT_EQ(close(&slot), IX_OK);
        // The file checker, `kvr check` and `kvr info` find it sound.
        kvr::isam::FileSummary summary;
        EXPECT_EQ(checked(&summary), "sound");
        EXPECT_EQ(summary.records, model.size());
        for (const char* command : {"check", "info"})
            EXPECT_EQ(kvr::test::run_kvr_program({command, name}), 0) << command;
    }
};

// 4096-byte blocks whose trees store leaf limits of 290, which 290 alternate
// entries (4 key and 10 data bytes each) would overrun, so leaves split at the
// count that fits; and 65568-byte blocks for records of up to 20000 bytes,
// whose alternate key allows duplicates. Each file reads by every key, takes
// writes, rewrites and deletes, and keeps the limits and page size it was
// given; limits that no rule gives are refused.
TEST_F(ForeignBlockFiles, OpenAndTakeUpdates) {
    // The layout; the head of record n (its prime key, then the alternate key
    // of n * 7919 modulo `alternates`); records 0 to in_file - 1 are in the file
    // as built, with length + step * n bytes below the maximum, the records
    // up to `written` are written later.
    const std::tuple<Layout, const char*, int, int, int, uint32_t, uint32_t> cases[] = {
        {{60, {{1, 10}, {11, 4}}, 50, 200}, "%010d%04d", 10000, 400, 1400, 20, 1},
        {{20000, {{1, 10}, {11, 6, true}}, 3, 1000}, "%010dGROUP%d", 3, 10, 30, 16, 2213},
    };
    for (const auto& [l, head, alternates, in_file, written, length, step] : cases) {
        SCOPED_TRACE(l.max_length);
        // Of writes and rewrites: the alternate key's duplicates follow.
        const int write_result = l.keys[1].duplicates ? IX_DUPLICATE_FOLLOWS : IX_OK;
        // Record n: the built ones take every tenth prime key, later ones fall
        // between those and then go on past them.
        auto make = [&](int n, size_t size) {
            return filled(size, 'a' + n % 26, head, n < in_file ? 10 * n : 10 * (n - in_file) + 5,
                          n * 7919 % alternates);
        };
        std::map<Bytes, Bytes> model;
        std::vector<Bytes> records;
        for (int n = 0; n < in_file; ++n) {
            records.push_back(make(n, length + step * n % (l.max_length - length)));
            model[records.back().substr(0, 10)] = records.back();
        }
        const Bytes built = build(l, records);
        write_file(name, built);
        expect_records(l, model);
        EXPECT_EQ(bytes(), built);

        void* slot = nullptr;
        ASSERT_EQ(open(&slot, IX_MODE_UPDATE), IX_OK);
        for (int n = in_file; n < written; ++n) {
            ASSERT_EQ(io(IX_WRITE, &slot, make(n, l.max_length)), write_result) << n;
            model[make(n, 10)] = make(n, l.max_length);
        }
        // Every third record: deleted, or rewritten with a new alternate key
        // and a length far from its own.
        for (int n = 0; n < written; n += 3) {
            ASSERT_EQ(io(IX_READ_EQ, &slot, "", make(n, 10)), IX_OK);
            if (n % 2 == 1) {
                ASSERT_EQ(io(IX_DELETE, &slot, make(n, 10)), IX_OK);
                model.erase(make(n, 10));
            } else {
                const size_t size = length_ > l.max_length / 2 ? 30 : l.max_length * 9 / 10;
                const Bytes changed = make(n, 10) + make(n + 5000, size).substr(10);
                ASSERT_EQ(io(IX_REWRITE, &slot, changed), write_result);
                model[make(n, 10)] = changed;
            }
        }
        ASSERT_EQ(close(&slot), IX_OK);
        expect_records(l, model);
        const Bytes after = bytes();
        for (int i = 0; i < 2; ++i)  // limits, page size, flags and key_len as they were
            EXPECT_EQ(after.substr(l.tree_at(i) + 20, 48).erase(20, 16),
                      built.substr(l.tree_at(i) + 20, 48).erase(20, 16));

        // A leaf minimum that is not half the maximum, pages larger than the
        // blocks, or of no size a page has.
        for (auto [at, value] :
             {std::pair{36u, l.limits(1)[3] - 1}, {56u, 2 * l.block()}, {56u, 5000u}}) {
            Bytes damaged = built;
            put(damaged, l.tree_at(1) + at, value);
            write_file(name, damaged);
            EXPECT_EQ(open_and_close(IX_MODE_INPUT), IX_NOT_INDEXED_FILE) << at << " " << value;
        }
    }
}

}  // namespace
