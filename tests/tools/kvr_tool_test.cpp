// The kvr utility, run in-process on files made through the engines: what
// each command prints, the damage check finds, and the files unload, load,
// rebuild and convert write.
#include <db.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_header.h"
#include "engine/isam/ix_handle.h"
#include "engine/store/store.h"
#include "engine/tree/operations.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"
#include "platform/coding.h"
#include "platform/fault_injection.h"
#include "platform/share_locks.h"
#include "support/attribute_block.h"
#include "support/temp_dir.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using kvr::tools::kExitDamaged;
using kvr::tools::kExitFailed;
using kvr::tools::kExitOk;
using Args = std::vector<std::string>;
using Key = kvr::test::KeySpec;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    std::fclose(file);
    return text;
}

// The most memory this process has held at once so far.
long peak_memory_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

Result kvr_run(const Args& args, std::FILE* out = std::tmpfile()) {
    std::vector<const char*> argv{"kvr"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    std::FILE* err = std::tmpfile();
    Result result;
    result.status = kvr::tools::run(static_cast<int>(argv.size()), argv.data(), out, err);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
}

Args joined(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Runs kvr and expects its exit status, its messages holding each of `err`
// and its output each of `out`.
Result expect_run(const Args& args, int status, const Args& err = {}, const Args& out = {}) {
    const Result r = kvr_run(args);
    std::string command = "kvr";
    for (const std::string& arg : args)
        command += " " + arg;
    EXPECT_EQ(r.status, status) << command << "\n" << r.out << r.err;
    for (const std::string& part : err)
        EXPECT_THAT(r.err, HasSubstr(part)) << command;
    for (const std::string& part : out)
        EXPECT_THAT(r.out, HasSubstr(part)) << command;
    return r;
}

// One run of kvr in a table: its arguments, exit status, and the texts its
// messages and its output hold.
struct Run {
    Args args;
    int status;
    Args err = {};
    Args out = {};
};
void expect_runs(const std::vector<Run>& runs) {
    for (const Run& run : runs)
        expect_run(run.args, run.status, run.err, run.out);
}

std::string dump(const Args& args) {
    return kvr_run(joined({"dump"}, args)).out;
}

// Records appended to a sequential file; below, to a new one whose header
// allows lengths min to max.
void append_sequential(const std::string& file, std::vector<std::string> records) {
    void* seq = nullptr;
    char* name = const_cast<char*>(file.c_str());
    ASSERT_EQ(_vmqpSeqFS(SQ_OPEN, &seq, nullptr, nullptr, name, SQ_MODE_APPEND), 0);
    for (std::string& r : records) {
        uint32_t length = static_cast<uint32_t>(r.size());
        ASSERT_EQ(_vmqpSeqFS(SQ_WRITE, &seq, r.data(), &length, nullptr, 0), 0);
    }
    ASSERT_EQ(_vmqpSeqFS(SQ_CLOSE, &seq, nullptr, nullptr, nullptr, 0), 0);
}
void make_sequential(const std::string& file, uint32_t min_length, uint32_t max_length, int options,
                     const std::vector<std::string>& records) {
    std::vector<unsigned char> block =
        kvr::test::attribute_block(min_length, max_length, {}, options);
    char* name = const_cast<char*>(file.c_str());
    ASSERT_EQ(_vmqpSeqFS(SQ_CREATE, nullptr, block.data(), nullptr, name, 0), 0);
    append_sequential(file, records);
}

// Files are named as a person at a shell names them, in the test's own
// folder; path() gives the full name where a test needs one.
class KvrTool : public kvr::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        home_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        close();
        std::filesystem::current_path(home_);
        TempDirTest::TearDown();
    }

    void open(const std::string& file, uint8_t mode = IX_MODE_UPDATE) {
        ASSERT_EQ(
            _vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, const_cast<char*>(file.c_str()), mode), 0);
    }
    void close() {
        if (slot_ != nullptr) {
            EXPECT_EQ(_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0), 0);
        }
    }
    ix_handle* handle() const { return static_cast<ix_handle*>(slot_); }
    // WRITE, or REWRITE or DELETE of the record with the same 8-byte prime
    // key; 0 when done.
    int write(const std::string& record, uint16_t op = IX_WRITE) {
        uint32_t length = 0;
        std::string key = record.substr(0, 8);
        if (op != IX_WRITE)
            if (int found = _vmqpIsam(IX_READ_EQ, &slot_, nullptr, &length, key.data(), 0))
                return found;
        length = static_cast<uint32_t>(record.size());
        unsigned char key_area[512] = {};
        const int result =
            _vmqpIsam(op, &slot_, const_cast<char*>(record.data()), &length, key_area, 0);
        return result == 12 ? 0 : result;
    }
    int rewrite(const std::string& record) { return write(record, IX_REWRITE); }
    // A record that reaches the store, and that no index learns of.
    void put_unindexed(const std::string& file, const std::string& record) {
        open(file);
        uint32_t address = 0;
        ASSERT_EQ(_vmq_put_record(handle(), &address,
                                  reinterpret_cast<const unsigned char*>(record.data()),
                                  static_cast<uint32_t>(record.size()), 0),
                  0);
        close();
    }

    // Customer-like records: an 8-digit prime key in front, a city (an
    // alternate key with duplicates) at 8, a unique code at 20, then text
    // that holds bytes no terminal prints.
    static std::string record(int n, size_t length = 60) {
        static const char* const kCities[] = {"Basel", "Bern", "Geneva", "Lugano", "Zurich"};
        char head[64];
        std::snprintf(head, sizeof head, "%08d%-12s%06dname %d", n * 3, kCities[n % 5],
                      (n * 7919) % 1000000, n);
        std::string r(head);
        r.resize(length, ' ');
        r[length - 1] = static_cast<char>(n % 7 == 0 ? 0x01 : '.');
        return r;
    }
    static std::vector<Key> customer_keys() { return {{1, 8}, {9, 12, true}, {21, 6}}; }

    // A closed file of these records, in the slot or the block format.
    void make_indexed(const std::string& file, uint32_t min_length, uint32_t max_length,
                      const std::vector<Key>& keys, const std::vector<std::string>& records,
                      bool blocks = false) {
        std::vector<unsigned char> block = kvr::test::attribute_block(min_length, max_length, keys);
        ASSERT_EQ(kvr::engine::code(kvr::isam::create_indexed_file(
                      block.data(), static_cast<uint32_t>(block.size()), file.c_str(), 0,
                      blocks ? kvr::isam::StoreFormat::kBlocks : kvr::isam::StoreFormat::kSlots)),
                  0);
        open(file);
        for (const std::string& rec : records)
            ASSERT_EQ(write(rec), 0) << rec;
        close();
    }

    // A closed file of n customers, every fifth deleted.
    void make_customers(const std::string& file, int n, bool blocks = false) {
        std::vector<std::string> records;
        for (int i = 1; i <= n; ++i)
            records.push_back(record(i, 40 + static_cast<size_t>(i % 80)));
        make_indexed(file, 40, 120, customer_keys(), records, blocks);
        open(file);
        for (int i = 5; i <= n; i += 5)
            ASSERT_EQ(write(record(i), IX_DELETE), 0);
        close();
    }

    void expect_no_temporaries() const {
        for (const std::string& name : names_in_dir())
            EXPECT_THAT(name, Not(HasSubstr(".tmp")));
    }

    void* slot_ = nullptr;
    std::filesystem::path home_;
};

TEST_F(KvrTool, HelpUsageAndErrorsNameTheFileAndTheReason) {
    const std::string overview = expect_run({"--help"}, kExitOk, {}, {"\nexit status"}).out;
    for (const char* command : {"info", "check", "dump", "unload", "load", "rebuild", "convert"}) {
        SCOPED_TRACE(command);
        EXPECT_THAT(overview, HasSubstr(std::string("  ") + command + " "));
        const std::string help = expect_run({command, "--help"}, kExitOk, {}, {"--verbose"}).out;
        EXPECT_EQ(help.rfind(std::string("Usage: kvr ") + command, 0), 0u) << help;
        EXPECT_THAT(help, HasSubstr("\nExit status: 0 "));
    }
    // The version, the library's, as help2man reads it for the man page.
    EXPECT_EQ(expect_run({"--version"}, kExitOk).out,
              std::string("kvr (KVR) ") + VMQRMKVR_VERSION + "\n");

    // Command lines that cannot be read, and files of another system or kind.
    write_file("text.txt", "just some text, not a file of ours\n");
    make_customers("busy.dat", 10);
    expect_runs({
        {{}, kExitFailed, {"Usage: kvr COMMAND"}},
        {{"frobnicate"}, kExitFailed, {"unknown command 'frobnicate'"}},
        {{"dump", "x", "--colour"}, kExitFailed, {"unknown option '--colour'"}},
        {{"info"}, kExitFailed, {"Usage: kvr info"}},
        {{"dump", "x", "--key", "1", "--key=2"},
         kExitFailed,
         {"option --key is given more than once"}},
        {{"dump", "x", "--hex=yes"}, kExitFailed, {"option --hex takes no value"}},
        {{"info", "busy.dat", "--verbose=yes"}, kExitFailed, {"option --verbose takes no value"}},
        {{"check", "text.txt"}, kExitFailed, {"not a file of this system"}},
        {{"load", "new.dat", "text.txt", "--record", "20", "--key", "1:5"},
         kExitFailed,
         {"not a file of this system (no KVR mark); a text file loads with --text"}},
        {{"load", "new.dat", "busy.dat", "--like", "busy.dat"},
         kExitFailed,
         {"an indexed or relative file of this system; kvr load reads a sequential one"}},
        {{"load", "new.dat", "text.txt", "--text", "--record", "20", "--key", "30:5"},
         kExitFailed,
         {"--key 30:5: the key ends at byte 34, past the end of the 20-byte record"}},
        {{"load", "new.dat", "text.txt", "--text", "--record", "10-20", "--key", "1:5", "--key",
          "18:4:dups"},
         kExitFailed,
         {"--key 18:4:dups: the key ends at byte 21, past the end of the longest record, 20 "
          "bytes"}},
    });
    // A missing file is named with the reason, and no file appears; a
    // folder is said to be one.
    std::filesystem::create_directory("folder");
    for (const char* command : {"info", "check", "dump", "rebuild", "convert"}) {
        expect_run({command, path("missing.dat")}, kExitFailed,
                   {path("missing.dat") + ": No such file or directory"});
        EXPECT_FALSE(std::filesystem::exists("missing.dat")) << command;
        expect_run({command, "folder"}, kExitFailed, {"kvr: folder: a folder, not a file"});
    }

    // What happened is said in words; the engines' result codes follow only
    // with --verbose, given before the command or among its options.
    const std::string busy = "busy.dat: another process has the file open";
    open("busy.dat");  // for update: no other open may share the file
    for (const char* command : {"info", "check", "dump", "unload", "rebuild", "convert"}) {
        SCOPED_TRACE(command);
        Args args = {command, "busy.dat"};
        if (std::string(command) == "unload")
            args.push_back("busy.seq");
        const Result held = expect_run(args, kExitFailed, {busy});
        EXPECT_THAT(held.err, Not(HasSubstr("(18)")));
        EXPECT_EQ(held.out, "");  // nothing of the file is shown
        expect_run(joined({"--verbose"}, args), kExitFailed, {busy + " (18)"});
        expect_run(joined(args, {"--verbose"}), kExitFailed, {busy + " (18)"});
    }
}

TEST_F(KvrTool, InfoDescribesIndexedRelativeAndSequentialFiles) {
    make_customers("customers.dat", 400);
    // Three index blocks freed by the deletes are index space, not slots.
    expect_run({"info", "customers.dat"}, kExitOk, {},
               {"organization    indexed, slot format (version 199609)",
                "records         variable, 40 to 120 bytes", "record count    320",
                "1   alternate  position 9, length 12, duplicates, bytes", "live records",
                "(320 records)", "(8 in the trees, 3 free, blocks of 4096)",
                "free slots      6520 bytes", "key 1   height 2, 4 pages", "320 entries, leaves"});
    // A damaged journal beside the file is left alone, and said.
    write_file("customers.dat.kvrj", "KVRJ and then nothing of a journal");
    expect_run({"info", "customers.dat"}, kExitOk, {},
               {"record count    320\njournal         customers.dat.kvrj is left alone: it is a "
                "damaged journal\n"});
    expect_run({"check", "customers.dat"}, kExitOk, {},
               {"customers.dat: journal customers.dat.kvrj is left alone: it is a damaged "
                "journal\ncustomers.dat: sound"});
    std::filesystem::remove("customers.dat.kvrj");

    std::vector<std::string> counters;
    for (uint32_t n : {3u, 1u, 700u}) {
        counters.emplace_back(14, 'c');
        std::memcpy(counters.back().data(), &n, 4);
    }
    make_indexed("counters.rel", 14, 14, {{1, 4, false, IX_KEY_TYPE_NUMBER}}, counters, true);
    // The program's record length and RELATIVE KEY, not the engine's record.
    const Result r =
        expect_run({"info", "counters.rel"}, kExitOk, {},
                   {"relative, block format", "(3 records)", "records         fixed, 10 bytes\n",
                    "keys\n  0   relative   the record number (RELATIVE KEY), kept in 4 bytes in "
                    "front of each record\nfile size"});
    EXPECT_THAT(r.out, Not(HasSubstr("length 4")));
    EXPECT_EQ(dump({"counters.rel", "--from", "2"}), "3: cccccccccc\n700: cccccccccc\n");
    EXPECT_EQ(dump({"counters.rel", "--columns", "--to", "1"}),
              "record number 1, 10 bytes\n"
              "     1  63 63 63 63 63 63 63 63  63 63                    |cccccccccc|\n");
    // The numbers travel in front of the unloaded records, and come back.
    expect_run({"unload", "counters.rel", "counters.seq"}, kExitOk, {},
               {"3 records unloaded to counters.seq, each behind its 4-byte record number"});
    expect_run({"load", "again.rel", "counters.seq", "--relative", "--record", "10"}, kExitOk);
    EXPECT_EQ(dump({"again.rel"}), dump({"counters.rel"}));
    expect_run({"info", "again.rel"}, kExitOk, {}, {"records         fixed, 10 bytes\n"});
    // A text file keeps no numbers: the gaps are told of, not lost unseen.
    expect_run({"unload", "counters.rel", "counters.txt", "--text"}, kExitOk,
               {"kvr: counters.rel: 3 records numbered from 1 to 700, with gaps: counters.txt "
                "keeps no record numbers, and kvr load --text --relative numbers its lines 1, 2, "
                "3, ...; kvr unload --format dump keeps them"});
    EXPECT_EQ(read_file("counters.txt"), "cccccccccc\ncccccccccc\ncccccccccc\n");
    expect_run({"load", "lines.rel", "counters.txt", "--text", "--relative", "--record", "10"},
               kExitOk);
    EXPECT_EQ(kvr_run({"unload", "lines.rel", "lines.txt", "--text"}).err, "");
}

TEST_F(KvrTool, DumpFollowsAKeyBetweenBoundsAsTextOrHex) {
    make_customers("customers.dat", 40);
    // By city, duplicates in written order, from Geneva up to every Lugano.
    const std::string by_city =
        expect_run({"dump", "customers.dat", "--key", "1", "--from", "Geneva", "--to", "Lugano"},
                   kExitOk)
            .out;
    EXPECT_EQ(std::count(by_city.begin(), by_city.end(), '\n'), 16) << by_city;
    EXPECT_EQ(by_city.rfind("00000006Geneva      ", 0), 0u) << by_city;
    EXPECT_THAT(by_city, HasSubstr("\n00000021Geneva      "));
    EXPECT_THAT(by_city, HasSubstr("\n00000114Lugano      "));
    EXPECT_EQ(dump({"customers.dat", "--hex", "--to", "00000003"}).substr(0, 26),
              "30303030 30303033 4265726e");

    // In columns as hexdump -C shows bytes, the record named by its key.
    EXPECT_EQ(dump({"customers.dat", "--columns", "--from", "00000021", "--to", "00000021"}),
              "key \"00000021\", 47 bytes\n"
              "     1  30 30 30 30 30 30 32 31  47 65 6e 65 76 61 20 20  |00000021Geneva  |\n"
              "    17  20 20 20 20 30 35 35 34  33 33 6e 61 6d 65 20 37  |    055433name 7|\n"
              "    33  20 20 20 20 20 20 20 20  20 20 20 20 20 20 01     |              .|\n");
    // A sequential file's records are named by their place in it.
    expect_run({"unload", "customers.dat", "customers.seq"}, kExitOk);
    const std::string columns = dump({"customers.seq", "--columns"});
    EXPECT_EQ(columns.rfind("record 1, 41 bytes\n     1  30 30 30 30 30 30 30 33  42 65 72 6e", 0),
              0u)
        << columns;
    EXPECT_THAT(columns, HasSubstr("\nrecord 32, "));
    expect_run({"dump", "customers.dat", "--columns", "--hex"}, kExitFailed,
               {"--hex and --columns are two views of the records; give one"});
    expect_run({"dump", "customers.dat", "--key", "3"}, kExitFailed);
    expect_run({"dump", "customers.dat", "--from", "\\x4"}, kExitFailed, {"malformed"});

    // Records that cannot be written out make a failure, not a success.
    if (std::FILE* full = std::fopen("/dev/full", "w")) {
        const Result r = kvr_run({"dump", "customers.dat"}, full);
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_THAT(r.err, HasSubstr("the output cannot be written"));
    }
}

// A sequential file whose header allows shorter records than it holds, or
// that was cut short, below 4 GiB or past it: no record is cut or left out
// without a word.
TEST_F(KvrTool, SequentialRecordsLongerThanTheHeaderAllowsAreReported) {
    make_customers("customers.dat", 30);
    expect_run({"unload", "customers.dat", "out.seq"}, kExitOk);
    patch_u32("out.seq", 60, 44);  // the longest record
    // Records 1 to 4 are 41 to 44 bytes long; check goes on past the rest.
    const Result r = expect_run(
        {"check", "out.seq"}, kExitDamaged, {},
        {"record 5: a record longer than the file's longest", "record 24: a record longer"});
    EXPECT_THAT(r.out, Not(HasSubstr("record 4:")));
    EXPECT_NE(kvr_run({"dump", "out.seq"}).status, kExitOk);
    expect_run({"unload", "out.seq", "again.seq"}, kExitFailed);
    expect_run({"load", "again.dat", "out.seq", "--like", "customers.dat"}, kExitFailed);
    EXPECT_FALSE(std::filesystem::exists("again.seq"));
    EXPECT_FALSE(std::filesystem::exists("again.dat"));

    // Cut short inside its last record: the engine ends there quietly.
    expect_run({"unload", "customers.dat", "out.seq"}, kExitOk);
    std::filesystem::resize_file("out.seq", std::filesystem::file_size("out.seq") - 10);
    expect_run({"check", "out.seq"}, kExitDamaged, {},
               {"record 24: the file ends inside a record"});
    expect_run({"unload", "out.seq", "again.seq"}, kExitFailed);
    EXPECT_FALSE(std::filesystem::exists("again.seq"));

    // A header may claim records of any length: each record read costs its
    // own length, not the longest one's.
    make_sequential("claims.seq", 1, 100, IX_ATTR_VARIABLE, {"alpha", "beta", "gamma"});
    patch_u32("claims.seq", 60, 0xFFFFFFF0u);  // the longest record
    long peak_before = peak_memory_kib();
    EXPECT_EQ(expect_run({"dump", "claims.seq"}, kExitOk).out, "alpha\nbeta\ngamma\n");
    EXPECT_LT(peak_memory_kib() - peak_before, 64 * 1024) << "KiB more at the peak";

    // Past 4 GiB: a record of 4 GiB of zeros kept as a hole, then records
    // across 2^32, read by their lengths without holding the long record.
    const uint64_t hole_end = (uint64_t{1} << 32) - 3000;
    const uint32_t hole = static_cast<uint32_t>(hole_end - 88);
    make_sequential("big.seq", 1, 0xFFFFFFF0u, IX_ATTR_VARIABLE, {});
    patch_u32("big.seq", 80, hole);
    patch_u32("big.seq", hole_end - 4, hole);
    std::vector<std::string> records;
    for (size_t i = 1; i <= 5; ++i)
        records.emplace_back(1500 * i, static_cast<char>('a' + i));
    append_sequential("big.seq", records);

    peak_before = peak_memory_kib();
    EXPECT_EQ(expect_run({"check", "big.seq"}, kExitOk).out,
              "big.seq: sound, sequential, 6 records\n");
    expect_run(
        {"info", "big.seq"}, kExitOk, {},
        {"record count    6\n", "record lengths  1500 to " + std::to_string(hole) + " bytes, " +
                                    std::to_string(uint64_t{hole} + 22500) + " bytes of data"});
    EXPECT_LT(peak_memory_kib() - peak_before, 64 * 1024) << "KiB more at the peak";
    std::filesystem::resize_file("big.seq", std::filesystem::file_size("big.seq") - 10);
    expect_run({"check", "big.seq"}, kExitDamaged, {}, {"record 6: the file ends inside a record"});
}

// The bar is drawn on the message stream when it is a terminal, and not
// while dump writes records to that same terminal; a message written during
// a run starts on a line of its own, not after the bar.
TEST_F(KvrTool, ProgressBarOnlyOnATerminalThatCarriesNoRecords) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    std::FILE* terminal = std::fopen(::ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    make_customers("customers.dat", 20);
    // What the terminal shows of one command, read while it runs.
    auto shown = [&](std::FILE* out, const Args& args, int status) {
        std::vector<const char*> argv{"kvr"};
        for (const std::string& arg : args)
            argv.push_back(arg.c_str());
        std::string text;
        std::atomic<bool> finished{false};
        std::thread reader([&] {
            char buffer[4096];
            for (;;) {
                pollfd ready{master, POLLIN, 0};
                if (::poll(&ready, 1, 100) <= 0) {
                    if (finished)
                        break;
                    continue;
                }
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                text.append(buffer, static_cast<size_t>(n));
            }
        });
        EXPECT_EQ(kvr::tools::run(static_cast<int>(argv.size()), argv.data(), out, terminal),
                  status);
        std::fflush(terminal);
        finished = true;
        reader.join();
        return text;
    };
    std::FILE* records = std::tmpfile();
    const std::string bar = shown(records, {"dump", "customers.dat"}, kExitOk);
    EXPECT_THAT(bar, HasSubstr("100%"));
    EXPECT_EQ(bar.find("dumping ["), bar.find_first_not_of('\r')) << bar;
    // Records and bar on one terminal: only records.
    const std::string mixed = shown(terminal, {"dump", "customers.dat"}, kExitOk);
    EXPECT_THAT(mixed, Not(HasSubstr("dumping")));
    EXPECT_THAT(mixed, HasSubstr("00000003Bern"));
    // A refusal reported while the bar is drawn.
    std::string text = "A0001\n";
    for (int i = 0; i < 400; ++i)
        text += (i == 300 ? std::string("A0001") : "B" + std::to_string(10000 + i)) + "\n";
    write_file("in.txt", text);
    const std::string refused =
        shown(records, {"load", "new.dat", "in.txt", "--text", "--record", "10", "--key", "1:5"},
              kExitDamaged);
    const size_t message = refused.find("kvr: ");
    ASSERT_NE(message, std::string::npos) << refused;
    EXPECT_THAT(refused, HasSubstr("loading ["));
    EXPECT_EQ(refused[message - 1], '\r') << refused;
    std::fclose(records);
    std::fclose(terminal);
    ::close(master);
}

// The kinds of damage check claims to find, each made by hand in a sound
// file: every one gives exit status 1 and a line saying what and where, and
// check leaves the file as it was.
TEST_F(KvrTool, CheckFindsEachKindOfDamage) {
    make_customers("sound.dat", 600);
    expect_run({"check", "sound.dat"}, kExitOk, {}, {"sound, indexed, 480 records"});

    // Where things are, read through the engine before the file is damaged.
    open("sound.dat", IX_MODE_INPUT);
    kvr::tree::Tree* prime = handle()->tree(0);
    const uint32_t root = prime->root();
    const uint32_t header_size = handle()->header_size;
    kvr::tree::Status status = kvr::tree::kTreeOk;
    prime->begin_operation();
    const unsigned char* page = kvr::tree::get_page(prime, root, &status);
    ASSERT_NE(page, nullptr);
    ASSERT_FALSE(kvr::tree::is_leaf(page));
    const uint32_t separator_at =
        root + static_cast<uint32_t>(kvr::tree::branch_key(*prime, page, 0) - page);
    const uint32_t first_leaf = kvr::tree::branch_child(page, 0);
    const unsigned char* leaf = kvr::tree::get_page(prime, first_leaf, &status);
    ASSERT_NE(leaf, nullptr);
    const uint32_t first_address = kvr::platform::load_u32(kvr::tree::leaf_data(*prime, leaf, 0));
    kvr::engine::FileHeader header = handle()->header();
    int listed_class = 0;
    for (int k = 1; k <= static_cast<int>(header.size_class_count()) && listed_class == 0; ++k)
        if (header.free_list_head(k) != 0)
            listed_class = k;
    close();
    ASSERT_NE(listed_class, 0);

    // Each finding names the place of the damage and the key as text.
    const unsigned char low_count[2] = {1, 0};
    const std::string at_root = ": key 0: page " + std::to_string(root) + " (level 0) entry 0: ";
    const std::string at_leaf = ": key 0: page " + std::to_string(first_leaf) + " (level 1): ";
    const std::string first = std::to_string(first_address);
    const std::vector<std::tuple<const char*, std::function<void(const std::string&)>, std::string>>
        damages = {
            {"a wrong separator", [&](auto& f) { patch_file(f, separator_at, "99999999", 8); },
             at_root + "separator \"99999999\" differs from the first key"},
            {"a page with a wrong count",
             [&](auto& f) { patch_file(f, first_leaf + 2, low_count, 2); },
             at_leaf + "count 1 is below the minimum"},
            {"a lost record", [&](auto& f) { put_unindexed(f, record(5000, 60)); },
             "no prime entry names"},
            {"a damaged page, and a damaged slot behind it",
             [&](auto& f) {
                 patch_file(f, first_leaf + 2, low_count, 2);
                 patch_u32(f, first_address, 0xFFFFFFFF);
             },
             ": offset " + first + ": bytes that are neither a slot nor an index block"},
            {"a record with two entries of one key",
             [&](auto& f) {
                 open(f);
                 kvr::tree::Tree* city = handle()->tree(1);
                 city->begin_operation();
                 unsigned char key[16] = "Bern        ";
                 const std::string prime_key = record(1).substr(0, 8);
                 int duplicate = 0;
                 ASSERT_EQ(_vmq_insert(city, key,
                                       reinterpret_cast<const unsigned char*>(prime_key.data()),
                                       &duplicate),
                           0);
                 close();
             },
             ": entry \"Bern        \" names the record \"00000003\" at " + first +
                 ", which has an entry before it"},
            {"a free slot linked into a live one",
             [&](auto& f) { patch_u32(f, 0xC8 + 8 * (listed_class - 1), first_address); },
             ": the header's head of free list " + std::to_string(listed_class) + " names " +
                 first + ", which is a live record"},
            {"a header with a wrong size", [&](auto& f) { patch_u32(f, 0, header_size - 16); },
             "header: the header size 4080 is not"},
            {"a header claiming more than it holds",
             [&](auto& f) { patch_u32(f, 0, header_size + 1024); },
             "header: the header size 5120 is not the 4096 bytes a file of 3 keys has"},
            {"a version older than the block format", [&](auto& f) { patch_u32(f, 4, 0x199512); },
             "header: version 199512 is older than the oldest this build reads (199605)"},
            {"an update that never finished",
             [&](auto& f) {
                 patch_u32(f, kvr::engine::kUpdateMarkerAt, kvr::engine::kUpdateMarker);
             },
             "never closed"},
            {"an update that never finished, and a user's own file of the journal's name",
             [&](auto& f) {
                 patch_u32(f, kvr::engine::kUpdateMarkerAt, kvr::engine::kUpdateMarker);
                 write_file(f + ".kvrj", "my own notes\n");
             },
             "damaged.dat: journal damaged.dat.kvrj is left alone: it is not a journal of this "
             "system\n"},
            {"a damaged tree header",
             [&](auto& f) {
                 patch_u32(f, kvr::engine::tree_headers_at(3) + 2 * kvr::engine::kTreeHeaderSize,
                           0xDEADBEEF);
             },
             "header: the record lengths, the key table or a tree header is damaged"},
            {"a file cut short", [&](auto& f) { std::filesystem::resize_file(f, 5000); },
             ": the trees cannot be opened: key 0: its root page at " + std::to_string(root) +
                 " runs past the file's end at 5000"},
        };
    for (const auto& [name, make, reported] : damages) {
        SCOPED_TRACE(name);
        std::filesystem::copy_file("sound.dat", "damaged.dat",
                                   std::filesystem::copy_options::overwrite_existing);
        make("damaged.dat");
        const std::string before = read_file("damaged.dat");
        expect_run({"check", "damaged.dat"}, kExitDamaged, {}, {reported});
        EXPECT_EQ(read_file("damaged.dat"), before) << "check changed the file";
        // info shows what it can, and names damage it meets at the open as
        // check does.
        const Result shown = kvr_run({"info", "damaged.dat"});
        EXPECT_NE(shown.status, kExitFailed) << shown.err;
        for (const char* at_open : {"header: ", "cannot be opened: "}) {
            if (const size_t at = reported.find(at_open); at != std::string::npos) {
                EXPECT_EQ(shown.status, kExitDamaged);
                EXPECT_THAT(shown.out, HasSubstr(reported.substr(at)));
            }
        }
        std::filesystem::remove("damaged.dat.kvrj");
    }

    // Keys as the program has them (a record number, escaped bytes): the
    // second entry of the one leaf is made to name the first entry's record.
    const auto numbered = [](uint32_t n) {
        std::string numbered_record(8, 'r');
        kvr::platform::store_u32(reinterpret_cast<unsigned char*>(numbered_record.data()), n);
        return numbered_record;
    };
    const std::vector<std::tuple<const char*, Key, Args, std::string>> keyed = {
        {"relative.rel",
         {1, 4, false, IX_KEY_TYPE_NUMBER},
         {numbered(1), numbered(3)},
         "entry 1: prime entry record number 3 names the record at "},
        {"binary.dat",
         {1, 4},
         {std::string("\x00\x04\x9f"
                      "A----",
                      8),
          "AB\\C----"},
         "entry 1: prime entry \"AB\\\\C\" names the record at "},
    };
    std::string reported;
    for (const auto& [file, key, records, entry] : keyed) {
        SCOPED_TRACE(file);
        make_indexed(file, 8, 8, {key}, records);
        open(file, IX_MODE_INPUT);
        kvr::tree::Tree* tree = handle()->tree(0);
        const uint32_t leaf_at = tree->root();
        tree->begin_operation();
        const unsigned char* only = kvr::tree::get_page(tree, leaf_at, &status);
        ASSERT_NE(only, nullptr);
        const uint32_t named = kvr::platform::load_u32(kvr::tree::leaf_data(*tree, only, 0));
        const uint32_t entry_at =
            leaf_at + static_cast<uint32_t>(kvr::tree::leaf_data(*tree, only, 1) - only);
        close();
        patch_u32(file, entry_at, named);
        reported = expect_run({"check", file}, kExitDamaged, {},
                              {": key 0, page " + std::to_string(leaf_at) + " " + entry +
                               std::to_string(named) + ", which an entry before it names"})
                       .out;
    }
    EXPECT_THAT(reported, HasSubstr("(the record's prime key is \"\\x00\\x04\\x9fA\")"));
}

// A process dies with the file open for update: the copy taken then has a
// stale header (counts, tree roots, free lists) and trees whose pages never
// reached it. Rebuild gets back every record the data store holds.
TEST_F(KvrTool, RebuildRecoversEveryRecordOfAFileCopiedWhileOpen) {
    for (const bool blocks : {false, true}) {
        SCOPED_TRACE(blocks ? "block format" : "slot format");
        const std::string file = path(blocks ? "live.blk" : "live.dat");
        const std::string crashed = path(blocks ? "crashed.blk" : "crashed.dat");
        make_customers(file, 300, blocks);
        open(file);
        for (int i = 301; i <= 2500; ++i)
            ASSERT_EQ(write(record(i, 40 + static_cast<size_t>(i % 80))), 0);
        for (int i = 2; i <= 2500; i += 9) {
            if (i % 5 != 0) {
                ASSERT_EQ(write(record(i), IX_DELETE), 0) << i;
            }
        }
        for (int i = 4; i <= 2500; i += 11) {
            if (i % 5 != 0 && i % 9 != 2) {
                ASSERT_EQ(rewrite(record(i, 118)), 0) << i;
            }
        }
        // Every record is in the file; the trees and header are in memory.
        std::filesystem::copy_file(file, crashed);
        close();

        expect_run({"check", crashed}, kExitDamaged, {}, {"never closed"});
        expect_run({"dump", crashed}, kExitFailed);
        // Without room for a second copy, it says so, and how much.
        const std::string size = std::to_string(std::filesystem::file_size(crashed));
        {
            const kvr::test::FileSizeLimit full(32 * 1024);
            expect_run({"rebuild", crashed}, kExitFailed,
                       {"needs room for about " + size + " bytes; there is room for 32768",
                        "nothing was changed"});
        }
        expect_run({"rebuild", crashed}, kExitOk, {}, {"rebuilt with"});
        expect_run({"check", crashed}, kExitOk);
        // The same records as the file closed cleanly, by every key.
        for (const char* key : {"0", "2"})
            EXPECT_EQ(dump({crashed, "--key", key}), dump({file, "--key", key})) << key;
        expect_run({"info", crashed}, kExitOk, {}, {blocks ? "block format" : "slot format"});
        expect_no_temporaries();
    }
}

// A writer killed (SIGKILL) at one write after another: every WRITE,
// REWRITE and DELETE that had returned is in the file, after kvr rebuild
// when the kill left it mid-update. Only the one under way may be either.
class KilledWriter : public KvrTool, public ::testing::WithParamInterface<bool> {
protected:
    // After 150 records: writes, rewrites (longer, so they move), deletes.
    static std::vector<std::pair<uint16_t, int>> operations() {
        std::vector<std::pair<uint16_t, int>> ops;
        for (int n = 151; n <= 450; ++n) {
            ops.push_back({IX_WRITE, n});
            if (n % 3 == 0)
                ops.push_back({IX_REWRITE, n - 140});
            if (n % 4 == 0)
                ops.push_back({IX_DELETE, n - 147});
        }
        return ops;
    }
    static std::string written(uint16_t op, int n) {
        return op == IX_REWRITE ? record(n, 110).replace(40, 9, "REWRITTEN")
                                : record(n, 40 + n % 50);
    }
    using Model = std::map<std::string, std::string>;  // prime key -> record
    static void apply(Model* model, uint16_t op, int n) {
        const std::string r = written(op, n);
        if (op == IX_DELETE)
            model->erase(r.substr(0, 8));
        else
            (*model)[r.substr(0, 8)] = r;
    }
    // What kvr dump shows of these records.
    static std::string dumped(const Model& model) {
        std::string text;
        for (const auto& [key, r] : model)
            text += (r.back() == '\x01' ? r.substr(0, r.size() - 1) + "\\x01" : r) + "\n";
        return text;
    }

    // Makes every operation, keeping in `report` how many returned.
    void writer(const std::string& file, int report) {
        if (_vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, const_cast<char*>(file.c_str()),
                      IX_MODE_UPDATE) != 0)
            _exit(2);
        size_t returned = 0;
        for (const auto& [op, n] : operations()) {
            ++returned;
            if (write(written(op, n), op) != 0 ||
                (report >= 0 && ::pwrite(report, &returned, sizeof returned, 0) < 0))
                _exit(2);
        }
        if (_vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0) != 0)
            _exit(2);
    }
};

TEST_P(KilledWriter, LosesNoRecordThatWasAcknowledged) {
    Model before;
    for (int n = 1; n <= 150; ++n)
        apply(&before, IX_WRITE, n);
    std::vector<std::string> records;
    for (const auto& [key, r] : before)
        records.push_back(r);
    make_indexed("start.dat", 40, 120, customer_keys(), records, GetParam());
    const auto ops = operations();

    kvr::platform::FaultPlan counting{.kinds = kvr::platform::FaultPlan::kWrite};
    std::filesystem::copy_file("start.dat", "killed.dat");
    {
        kvr::platform::ScopedFaultPlan scope(counting);
        writer("killed.dat", -1);
    }
    const uint64_t writes = counting.calls_seen;
    ASSERT_GT(writes, ops.size());
    int rebuilt = 0;
    for (uint64_t k = 1; k <= writes; k += std::max<uint64_t>(1, writes / 160)) {
        SCOPED_TRACE("killed at write " + std::to_string(k) + " of " + std::to_string(writes));
        std::filesystem::copy_file("start.dat", "killed.dat",
                                   std::filesystem::copy_options::overwrite_existing);
        const int report = ::open("returned", O_RDWR | O_CREAT | O_TRUNC, 0600);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            kvr::platform::FaultPlan plan{
                .kinds = kvr::platform::FaultPlan::kWrite, .fail_at = k, .die = true};
            kvr::platform::ScopedFaultPlan scope(plan);
            writer("killed.dat", report);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        size_t done = 0;  // operations that returned
        EXPECT_GE(::pread(report, &done, sizeof done, 0), 0);
        ::close(report);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

        if (kvr_run({"check", "killed.dat"}).status != kExitOk) {
            ++rebuilt;
            // A record caught in two places comes back once, the other aside.
            const Result r = kvr_run({"rebuild", "killed.dat"});
            ASSERT_TRUE(r.status == kExitOk || std::filesystem::exists("killed.dat.collisions"))
                << r.out << r.err;
            ASSERT_EQ(kvr_run({"check", "killed.dat"}).status, kExitOk);
            std::filesystem::remove("killed.dat.collisions");
        }
        Model expected = before;
        for (size_t i = 0; i < done; ++i)
            apply(&expected, ops[i].first, ops[i].second);
        // The operation under way, if any: either outcome is right.
        Model after = expected;
        if (done < ops.size())
            apply(&after, ops[done].first, ops[done].second);
        const std::string found = dump({"killed.dat"});
        EXPECT_TRUE(found == dumped(expected) || found == dumped(after))
            << done << " operations returned";
    }
    // Most kills come while the file is open for update.
    EXPECT_GT(rebuilt, 100);
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledWriter, ::testing::Bool(), [](const auto& format) {
    return format.param ? "BlockFormat" : "SlotFormat";
});

// Damage the walk cannot get past, or a header that counts records the walk
// does not find: the rebuilt file replaces the old one, which is kept beside
// it as FILE.damaged so that no record is lost with it, nor a second record
// of one prime key.
TEST_F(KvrTool, RebuildKeepsTheOldFileWhenItCannotTakeEveryRecord) {
    // Block format: a set's record count damaged low, another's negative.
    // The end address still bounds their records; all of them are taken.
    make_customers("blocks.dat", 600, true);
    const std::string sound_dump = dump({"blocks.dat", "--key", "2"});
    open("blocks.dat", IX_MODE_INPUT);
    const uint32_t header_size = handle()->header_size;
    const uint32_t set_size = kvr::engine::FileHeader(handle()->image.get()).sequence_set_size();
    close();
    const std::string image = read_file("blocks.dat");
    const auto* bytes = reinterpret_cast<const unsigned char*>(image.data());
    std::vector<uint32_t> sets;
    for (uint32_t at = header_size; at + set_size <= image.size() && sets.size() < 2;
         at += set_size)
        if (kvr::platform::load_u16(bytes + at) == 4 && kvr::platform::load_u32(bytes + at + 4) > 3)
            sets.push_back(at);
    ASSERT_EQ(sets.size(), 2u);
    patch_u32("blocks.dat", sets[0] + 4, 1);
    patch_u32("blocks.dat", sets[1] + 4, static_cast<uint32_t>(-5));
    const std::string damaged_image = read_file("blocks.dat");
    expect_run({"rebuild", "blocks.dat"}, kExitDamaged, {"header counts 1 records, it holds"},
               {"rebuilt with 480 records"});
    EXPECT_TRUE(dump({"blocks.dat", "--key", "2"}) == sound_dump);
    EXPECT_EQ(read_file("blocks.dat.damaged"), damaged_image);

    // Slot format: a slot header overwritten in the middle of the store
    // ends the walk there; the records behind it are still in the old file.
    make_customers("slots.dat", 600);
    const std::string sound_image = read_file("slots.dat");
    const size_t record_at = sound_image.find(record(301, 40).substr(0, 20));
    ASSERT_NE(record_at, std::string::npos);
    patch_u32("slots.dat", record_at - 4, 0xFFFFFFFF);
    const std::string cut_image = read_file("slots.dat");
    expect_run({"info", "slots.dat"}, kExitDamaged, {}, {"cannot be walked"});
    expect_run(
        {"rebuild", "slots.dat"}, kExitDamaged,
        {"neither a slot nor an index block", "the header counts 480 records, the data store gave"},
        {"kept as slots.dat.damaged"});
    EXPECT_EQ(read_file("slots.dat.damaged"), cut_image);
    expect_run({"check", "slots.dat"}, kExitOk);
    // A second rebuild would put the kept file at risk: it is refused.
    const std::string rebuilt = read_file("slots.dat");
    expect_run({"rebuild", "slots.dat"}, kExitFailed, {".damaged: exists"});
    EXPECT_EQ(read_file("slots.dat"), rebuilt);
    EXPECT_EQ(read_file("slots.dat.damaged"), cut_image);

    // A file cut back to its header: no record found where 480 were
    // counted is damage, not a clean rebuild.
    write_file("cut.dat",
               sound_image.substr(0, kvr::platform::load_u32(reinterpret_cast<const unsigned char*>(
                                         sound_image.data()))));
    expect_run({"rebuild", "cut.dat"}, kExitDamaged);
    EXPECT_TRUE(std::filesystem::exists("cut.dat.damaged"));

    // A second record with the prime key of customer 1, in the store only,
    // is set aside beside the file.
    make_customers("collide.dat", 50);
    const std::string twin = record(1, 70).replace(30, 4, "TWIN");
    put_unindexed("collide.dat", twin);
    expect_run({"rebuild", "collide.dat"}, kExitDamaged, {"key \"00000003\") is set aside"},
               {"rebuilt with 40 records; 1 set aside"});
    EXPECT_EQ(dump({"collide.dat.collisions"}), twin + "\n");
    expect_run({"check", "collide.dat"}, kExitOk);

    // A damaged tree header does not keep rebuild from the records.
    std::filesystem::copy_file("collide.dat", "tree_header.dat");
    patch_u32("tree_header.dat", kvr::engine::tree_headers_at(3) + 2 * kvr::engine::kTreeHeaderSize,
              0xDEADBEEF);
    expect_run({"rebuild", "tree_header.dat"}, kExitOk);
    EXPECT_EQ(dump({"tree_header.dat", "--key", "2"}), dump({"collide.dat", "--key", "2"}));
}

TEST_F(KvrTool, UnloadThenLoadRoundTripsExactly) {
    make_customers("customers.dat", 700);
    expect_run({"unload", "customers.dat", "customers.seq"}, kExitOk, {}, {"560 records unloaded"});
    expect_run({"load", "copy.dat", "customers.seq", "--like", "customers.dat"}, kExitOk);
    expect_run({"check", "copy.dat"}, kExitOk);
    for (const char* key : {"0", "1", "2"})
        EXPECT_EQ(dump({"copy.dat", "--key", key}), dump({"customers.dat", "--key", key})) << key;

    // Text, with the attributes on the command line.
    write_file("in.txt", "B0002 second\nA0001 first\nC0003 third  \n");
    expect_run({"load", "t.dat", "in.txt", "--text", "--record", "20", "--key", "1:5", "--key",
                "7:5:dups"},
               kExitOk);
    expect_run({"unload", "t.dat", "out.txt", "--text"}, kExitOk);
    EXPECT_EQ(read_file("out.txt"),
              "A0001 first         \nB0002 second        \nC0003 third         \n");

    // Relative records get the numbers 1, 2, 3.
    expect_run({"load", "r.rel", "in.txt", "--text", "--relative", "--record", "20"}, kExitOk);
    EXPECT_EQ(dump({"r.rel", "--to", "1"}), "1: B0002 second        \n");

    // The dump format: the attributes, then each record's bytes in hex (a
    // relative file's behind its number), whatever bytes they are.
    const std::string hand =
        "KVR-DUMP=1\norganization=relative\nstore=slot\nrecords=variable 0 6\nHEADER=END\n"
        " 2 414243\n 9 -\n 10 00ff0a0d5c20\nDATA=END\n";
    write_file("hand.dump", hand);
    expect_run({"load", "hand.rel", "hand.dump", "--format", "dump"}, kExitOk, {},
               {"hand.rel: 3 records loaded from hand.dump"});
    EXPECT_EQ(dump({"hand.rel"}), "2: ABC\n9: \n10: \\x00\\xff\\x0a\\x0d\\\\ \n");
    expect_run({"unload", "hand.rel", "again.dump", "--format", "dump"}, kExitOk);
    EXPECT_EQ(read_file("again.dump"), hand);
    // Every organization, both store formats, any record bytes: back as
    // they were, by every key, duplicates in their order, and again the
    // same dump.
    make_customers("blocks.dat", 90, true);
    open("blocks.dat");
    for (int i : {41, 3, 22})
        ASSERT_EQ(rewrite(record(i).replace(8, 12, "Aarau       ")), 0);
    close();
    std::vector<std::string> numbered;
    for (uint32_t n : {7u, 1u, 65536u, 4000000000u}) {
        numbered.emplace_back(4, '\0');
        kvr::platform::store_u32(reinterpret_cast<unsigned char*>(numbered.back().data()), n);
        for (uint32_t b = 0; b < n % 300; ++b)
            numbered.back() += static_cast<char>((b * 37 + n) & 0xFF);
    }
    make_indexed("binary.rel", 4, 304, {{1, 4, false, IX_KEY_TYPE_NUMBER}}, numbered);
    make_sequential("binary.seq", 0, 300, IX_ATTR_VARIABLE,
                    {"", std::string("\0\n\r\xff", 4), std::string(300, '\n'), "plain"});
    make_sequential("fixed.seq", 5, 5, 0, {"AAAAA", "BBBBB"});
    for (const std::string name :
         {"customers.dat", "blocks.dat", "binary.rel", "binary.seq", "fixed.seq"}) {
        SCOPED_TRACE(name);
        expect_run({"unload", name, name + ".dump", "--format", "dump"}, kExitOk);
        expect_run({"load", name + ".back", name + ".dump", "--format", "dump"}, kExitOk);
        expect_run({"unload", name + ".back", name + ".again", "--format", "dump"}, kExitOk);
        EXPECT_EQ(read_file(name + ".again"), read_file(name + ".dump"));
        // What info says of the file up to how its bytes divide.
        const auto attributes = [](const std::string& file) {
            const std::string shown = kvr_run({"info", file}).out;
            const size_t from = shown.find("\norganization");
            return shown.substr(from, shown.find("\nfile size") - from);
        };
        EXPECT_EQ(attributes(name + ".back"), attributes(name));
        for (const char* key : {"0", "1", "2"})
            EXPECT_EQ(dump({name + ".back", "--key", key}), dump({name, "--key", key})) << key;
        EXPECT_EQ(dump({name + ".back", "--hex"}), dump({name, "--hex"}));
    }
}

TEST_F(KvrTool, FailedCommandsLeaveNoFileBehind) {
    write_file("dups.txt", "A0001 x\nA0001 y\nB0002 z\nthis line is longer than twenty\n");
    make_customers("customers.dat", 30);
    // A record with a line feed cannot go to a text file.
    make_indexed("lf.dat", 10, 10, {{1, 4}}, {"AAAAline\nx"});
    // A dump cut short, or with a line that is no record, loads nothing.
    expect_run({"unload", "customers.dat", "c.dump", "--format", "dump"}, kExitOk);
    const std::string whole = read_file("c.dump");
    write_file("cut.dump", whole.substr(0, whole.rfind("DATA=END")));
    std::string bad = whole;
    bad[bad.find("HEADER=END\n") + 13] = 'g';
    write_file("bad.dump", bad);
    bad = whole;
    bad.replace(bad.find("key=9:12:dups\n"), 14, "key=9:12\n");
    write_file("keys.dump", bad);
    make_sequential("lf.seq", 1, 20, IX_ATTR_VARIABLE, {"one line", "two\nlines"});
    expect_runs({
        {{"load", "t.dat", "dups.txt", "--text", "--record", "20", "--key", "1:5"},
         kExitDamaged,
         {"line 2 (key \"A0001\") is refused: another record already has that key", "line 4",
          "2 records refused; no file was created"}},
        {{"load", "customers.dat", "dups.txt", "--text", "--like", "customers.dat"},
         kExitFailed,
         {"the file exists"}},
        {{"load", "u.dat", "dups.txt", "--text"},
         kExitFailed,
         {"--like OTHER, or --record and --key"}},
        {{"load", "u.dat", "dups.txt", "--text", "--record", "9", "--key", "0:5"}, kExitFailed, {}},
        {{"unload", "t2.dat", "x.txt", "--text"}, kExitFailed, {}},
        {{"unload", "lf.dat", "lf.txt", "--text"},
         kExitFailed,
         {"record 1 (key \"AAAA\") holds a line feed"}},
        {{"unload", "lf.seq", "lf.txt", "--text"},
         kExitFailed,
         {"kvr: lf.txt: record 2 holds a line feed"}},
        {{"load", "t.dat", "cut.dump", "--format", "dump"},
         kExitFailed,
         {"cut.dump: the dump ends before its DATA=END line: it was cut short"}},
        {{"load", "t.dat", "bad.dump", "--format", "dump"},
         kExitFailed,
         {"bad.dump: line 9: not a record"}},
        {{"load", "t.dat", "keys.dump", "--format", "dump"},
         kExitDamaged,
         {"keys.dump: line 10 (key \"00000018\") is refused: another record already has that key",
          "no file was created"}},
        {{"load", "t.dat", "c.dump", "--format", "dump", "--like", "customers.dat"},
         kExitFailed,
         {"--format dump takes the file's attributes from the dump"}},
        {{"load", "t.dat", "dups.txt", "--format", "dump"},
         kExitFailed,
         {"dups.txt: line 1: not a dump of kvr unload --format dump"}},
    });
    EXPECT_EQ(names_in_dir(), (Args{"bad.dump", "c.dump", "customers.dat", "cut.dump", "dups.txt",
                                    "keys.dump", "lf.dat", "lf.seq"}));
}

// What takes an output's name is a regular file, never the input itself,
// a device, pipe or folder; a link is followed, not replaced; a replaced
// file keeps its permissions and its records.
TEST_F(KvrTool, OutputsReplaceOnlyRegularFilesAndNeverTheInput) {
    const std::string file = path("customers.dat");
    make_customers(file, 60);
    const std::string before = read_file(file);
    std::filesystem::create_symlink(file, path("alias.dat"));
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    std::filesystem::create_directory("folder");
    for (const std::string& out :
         {file, path("alias.dat"), path("pipe"), std::string("folder"), path("missing/out.seq")}) {
        EXPECT_EQ(expect_run({"unload", file, out}, kExitFailed).err.rfind("kvr: " + out + ": ", 0),
                  0u);
        expect_run({"unload", file, out, "--text"}, kExitFailed);
    }
    EXPECT_EQ(read_file(file), before);
    EXPECT_TRUE(std::filesystem::is_fifo("pipe"));
    expect_run({"load", "missing/new.dat", "x", "--like", file}, kExitFailed);
    // A missing input is reported as missing, and is not made.
    expect_run({"load", "new.dat", "absent.seq", "--like", file}, kExitFailed,
               {"absent.seq: No such file or directory"});
    EXPECT_FALSE(std::filesystem::exists("absent.seq"));

    // Rebuild and convert through a link replace the file it leads to,
    // keeping every record and the order of the duplicates, which a few
    // customers moved to another city have out of prime-key order.
    make_customers("blocks.dat", 60, true);
    open("blocks.dat");
    for (int i : {41, 3, 22})
        ASSERT_EQ(rewrite(record(i).replace(8, 12, "Aarau       ")), 0);
    close();
    const std::string by_city = dump({"blocks.dat", "--key", "1"});
    EXPECT_EQ(by_city.substr(0, 8), "00000123");
    const auto perms = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                       std::filesystem::perms::group_read;
    std::filesystem::permissions("blocks.dat", perms);
    std::filesystem::create_symlink(path("blocks.dat"), "link.dat");
    expect_run({"convert", "link.dat"}, kExitOk, {}, {"converted to the slot format, 48 records"});
    EXPECT_EQ(dump({"blocks.dat", "--key", "1"}), by_city);
    expect_run({"convert", "link.dat"}, kExitOk, {}, {"already in the slot format"});
    expect_run({"rebuild", "link.dat"}, kExitOk);
    EXPECT_TRUE(std::filesystem::is_symlink("link.dat"));
    expect_run({"info", "blocks.dat"}, kExitOk, {}, {"indexed, slot format"});
    EXPECT_EQ(std::filesystem::status("blocks.dat").permissions(), perms);
    expect_no_temporaries();
}

// A run ended by a signal removes its temporary files and still ends by
// it; one killed outright leaves its file to the next run, which never
// removes the temporary of a live process or one a process holds open.
TEST_F(KvrTool, TemporaryFilesOfARunEndedBySignalsGo) {
    make_customers("customers.dat", 40);
    auto temporary_of = [&](pid_t pid) {
        return ".customers.dat.kvr-" + std::to_string(pid) + ".tmp";
    };
    std::fflush(nullptr);
    const pid_t terminated = ::fork();
    ASSERT_GE(terminated, 0);
    if (terminated == 0) {
        kvr::tools::remove_pending_files_on_signals();
        kvr::tools::PendingFile done("done.seq");
        write_file(done.path(), "finished");
        std::string reason;
        if (!done.commit(&reason))
            ::_exit(3);
        kvr::tools::PendingFile pending("out.seq");
        write_file(pending.path(), "half of a file");
        ::raise(SIGTERM);
        ::_exit(4);
    }
    const pid_t killed = ::fork();
    ASSERT_GE(killed, 0);
    if (killed == 0) {
        kvr::tools::PendingFile pending("customers.dat");
        write_file(pending.path(), "half of a rebuild");
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(terminated, &status, 0), terminated);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(read_file("done.seq"), "finished");
    ASSERT_EQ(::waitpid(killed, &status, 0), killed);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(read_file(temporary_of(killed)), "half of a rebuild");
    EXPECT_EQ(names_in_dir(), (Args{temporary_of(killed), "customers.dat", "done.seq"}));

    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t alive = ::fork();
    ASSERT_GE(alive, 0);
    if (alive == 0) {
        char byte;
        ::close(pipe_ends[1]);
        while (::read(pipe_ends[0], &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(0);
    }
    ::close(pipe_ends[0]);
    write_file(temporary_of(alive), "a live run's file");
    // A number no process has here, held open as a writer in another
    // process namespace holds its file.
    const std::string held = temporary_of(1999999999);
    write_file(held, "held");
    const int fd = ::open(held.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kvr::platform::share_locks::hold_alone(fd), 0);

    expect_run({"rebuild", path("customers.dat")}, kExitOk);
    EXPECT_FALSE(std::filesystem::exists(temporary_of(killed)));
    EXPECT_EQ(read_file(temporary_of(alive)), "a live run's file");
    EXPECT_EQ(read_file(held), "held");
    expect_run({"check", "customers.dat"}, kExitOk);
    ::close(fd);
    ::close(pipe_ends[1]);
    ASSERT_EQ(::waitpid(alive, &status, 0), alive);
}

// A write that fails (here the file size limit stands for a full disk)
// ends load with one message, not a refusal per record, and no file.
TEST_F(KvrTool, LoadStopsAtTheFirstRecordThatCannotBeWritten) {
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += record(i, 60) + "\n";
    write_file("in.txt", text);
    Result r;
    {
        const kvr::test::FileSizeLimit full(64 * 1024);
        r = kvr_run({"load", "full.dat", "in.txt", "--text", "--record", "60", "--key", "1:8"});
    }
    EXPECT_EQ(r.status, kExitFailed) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_THAT(r.err, HasSubstr("cannot be written"));
    EXPECT_EQ(names_in_dir(), Args{"in.txt"});
}

// GnuCOBOL's own files as its runtime writes them: a variable-length
// record's header of COB_VARSEQ_FORMAT format, and a relative slot.
std::string gnucobol_header(int format, size_t length) {
    const auto byte = [&](int shift) { return static_cast<char>((length >> shift) & 0xFF); };
    switch (format) {
        case 0:
            return {byte(8), byte(0), '\0', '\0'};
        case 1:
            return {byte(24), byte(16), byte(8), byte(0)};
        case 2:
            return {byte(0), byte(8), byte(16), byte(24)};
        default:
            return {byte(8), byte(0)};
    }
}

std::string gnucobol_slot(size_t length, const std::string& data, size_t max_length) {
    std::string slot(8 + max_length, '\0');
    for (int i = 0; i < 8; ++i)
        slot[static_cast<size_t>(i)] = static_cast<char>((uint64_t{length} >> (8 * i)) & 0xFF);
    slot.replace(8, data.size(), data);
    return slot;
}

// Each kind of GnuCOBOL sequential and relative file goes in as GnuCOBOL
// reads it, and comes out as GnuCOBOL wrote it.
TEST_F(KvrTool, GnuCobolSequentialAndRelativeFilesGoInAndComeOutAsWritten) {
    struct Case {
        std::string bytes;
        Args options;  // load's attributes, and --varseq-format for both
        std::string dump;
        std::string back;  // what unload writes, when not the bytes themselves
    };
    const std::string qs(300, 'Q');
    const std::string binary(
        "B\x00\x0a\xff"
        "C",
        5);
    const std::string escaped = "B\\x00\\x0a\\xffC";
    std::vector<Case> cases = {
        {"AAAAA" + binary, {"--sequential", "--record", "5"}, "AAAAA\n" + escaped + "\n", ""},
        {gnucobol_slot(6, "ONE   ", 6) + gnucobol_slot(0, "", 6) + gnucobol_slot(0, "", 6) +
             gnucobol_slot(6, binary + "!", 6),
         {"--relative", "--record", "6"},
         "1: ONE   \n4: " + escaped + "!\n",
         ""},
        // A deleted record keeps its bytes behind a length of 0; the slot
        // comes back empty. A short record's slot is filled with zeros.
        {gnucobol_slot(2, "AB", 6) + gnucobol_slot(0, "GONE!!", 6) + gnucobol_slot(6, "CDEFGH", 6),
         {"--relative", "--record", "1-6"},
         "1: AB\n3: CDEFGH\n",
         gnucobol_slot(2, "AB", 6) + gnucobol_slot(0, "", 6) + gnucobol_slot(6, "CDEFGH", 6)},
    };
    for (int format = 0; format < 4; ++format) {
        Args options = {"--sequential", "--record", "1-300"};
        if (format != 0)
            options = joined(options, {"--varseq-format", std::to_string(format)});
        cases.push_back({gnucobol_header(format, 3) + "XYZ" + gnucobol_header(format, 300) + qs +
                             gnucobol_header(format, 5) + binary,
                         options, "XYZ\n" + qs + "\n" + escaped + "\n", ""});
    }
    for (size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        const std::string name = "case" + std::to_string(n);
        SCOPED_TRACE(name);
        write_file(name, c.bytes);
        expect_run(joined({"load", name + ".kvr", name, "--format", "gnucobol"}, c.options),
                   kExitOk);
        EXPECT_EQ(dump({name + ".kvr"}), c.dump);
        Args unload = {"unload", name + ".kvr", name + ".back", "--format", "gnucobol"};
        if (c.options.size() > 3)
            unload = joined(unload, {"--varseq-format", c.options[4]});
        expect_run(unload, kExitOk);
        EXPECT_EQ(read_file(name + ".back"), c.back.empty() ? c.bytes : c.back);
        // The file of this system lends its attributes to the next load.
        const Result r = kvr_run({"load", name + ".kvr2", name + ".back", "--format", "gnucobol",
                                  "--like", name + ".kvr"});
        if (c.options.size() < 4) {
            EXPECT_EQ(r.status, kExitOk) << r.err;
            EXPECT_EQ(dump({name + ".kvr2"}), c.dump);
        }
    }
    // A fixed-length record of another length cannot go out.
    make_sequential("odd.seq", 5, 5, 0, {"fives", "abc"});
    expect_run({"unload", "odd.seq", "odd.out", "--format", "gnucobol"}, kExitFailed,
               {"record 2: 3 bytes; every record of a fixed-length GnuCOBOL file has 5"});
    EXPECT_FALSE(std::filesystem::exists("odd.out"));
}

// Another record layout, or options that do not go together, are refused
// with what does not fit; no file is made.
TEST_F(KvrTool, GnuCobolFilesThatDoNotFitAreRefusedWithWhatDoesNotFit) {
    const Args fixed = {"--sequential", "--record", "5"};
    const Args variable = {"--sequential", "--record", "1-5"};
    const std::vector<std::tuple<std::string, Args, int, std::string>> cases = {
        {"AAAAABBBBBC", fixed, kExitFailed, "holds 11 bytes, not a whole number of 5-byte records"},
        {"AAAAABBBBB", variable, kExitFailed,
         "its header 41414141 is not a record length of COB_VARSEQ_FORMAT 0"},
        {gnucobol_header(1, 3) + "abc", variable, kExitFailed,
         "is not a record length of COB_VARSEQ_FORMAT 0"},
        {gnucobol_header(0, 300) + "abc",
         {"--sequential", "--record", "1-300"},
         kExitFailed,
         "its header gives 300 bytes, but only 3 follow"},
        {gnucobol_header(0, 3) + "abc" + gnucobol_header(0, 9) + "123456789", variable,
         kExitDamaged,
         "record 2 (offset 7) is refused: 9 bytes, outside the file's record lengths"},
        {gnucobol_slot(3, "abc", 5) + "x",
         {"--relative", "--record", "5"},
         kExitFailed,
         "not a whole number of 13-byte slots"},
        {gnucobol_slot(9, "abcde", 5),
         {"--relative", "--record", "5"},
         kExitFailed,
         "record number 1: its length word says 9 bytes, more than the 5 bytes of a slot"},
        {gnucobol_slot(0, "", 5) + gnucobol_slot(3, "abc", 5),
         {"--relative", "--record", "4-5"},
         kExitDamaged,
         "record 1 (record number 2) is refused: 3 bytes, outside the file's record lengths"},
        {"AAAAA", {"--record", "5", "--key", "1:2"}, kExitFailed, "not a Berkeley DB database"},
        {"AAAAA", joined(fixed, {"--text"}), kExitFailed,
         "--text and --format gnucobol are two different formats"},
        {"AAAAA", joined(fixed, {"--varseq-format", "4"}), kExitFailed,
         "--varseq-format 4: give 0, 1, 2 or 3"},
        {"AAAAA", joined(fixed, {"--key", "1:2"}), kExitFailed, "a sequential file has no keys"},
    };
    for (const auto& [bytes, options, status, message] : cases) {
        SCOPED_TRACE(message);
        write_file("in", bytes);
        const Result r = expect_run(
            joined({"load", "out.dat", "in", "--format", "gnucobol"}, options), status, {message});
        if (status == kExitDamaged) {
            EXPECT_THAT(r.err, HasSubstr("no file was created"));
        }
        EXPECT_FALSE(std::filesystem::exists("out.dat"));
    }
    expect_run(joined({"load", "out.dat", "in", "--varseq-format", "1"}, fixed), kExitFailed,
               {"--varseq-format goes with --format gnucobol"});
    expect_run({"unload", "in", "x", "--format", "cobol"}, kExitFailed,
               {"--format cobol: give gnucobol"});
}

// An indexed file goes out as GnuCOBOL's Berkeley DB files, one per key,
// and comes back with every record under every key, its duplicates in
// their order. Keys that do not fit the files are refused.
TEST_F(KvrTool, GnuCobolIndexedFilesKeepEveryKeyAndTheDuplicateOrder) {
    make_customers("customers.dat", 300);
    open("customers.dat");
    for (int i : {201, 3, 102})
        ASSERT_EQ(
            rewrite(record(i, 40 + static_cast<size_t>(i % 80)).replace(8, 12, "Aarau       ")), 0);
    close();
    Args dumps;
    for (const char* key : {"0", "1", "2"})
        dumps.push_back(dump({"customers.dat", "--key", key}));
    EXPECT_EQ(dumps[1].substr(0, 8), "00000603");
    std::filesystem::create_directory("gc");
    const std::string gc = path("gc/customers");
    expect_run({"unload", "customers.dat", gc, "--format", "gnucobol"}, kExitOk, {},
               {"240 records unloaded to " + gc + ", a GnuCOBOL indexed file (Berkeley DB: " + gc +
                ", " + gc + ".1, " + gc + ".2)"});
    const auto load = [&](const Args& options) {
        return joined({"load", "back.dat", gc, "--format", "gnucobol"}, options);
    };
    const Args keys = {"--record", "40-120", "--key", "1:8", "--key", "9:12:dups", "--key", "21:6"};
    for (const Args& attributes : {Args{"--like", "customers.dat"}, keys}) {
        std::filesystem::remove("back.dat");
        expect_run(load(attributes), kExitOk, {}, {"240 records loaded"});
        for (size_t k = 0; k < 3; ++k)
            EXPECT_EQ(dump({"back.dat", "--key", std::to_string(k)}), dumps[k]) << k;
    }

    // Each case changes one thing of the keys given.
    const auto but = [&](size_t at, const std::string& value) {
        Args changed = keys;
        changed[at] = value;
        return changed;
    };
    const std::vector<std::tuple<Args, int, std::string>> cases = {
        {but(3, "2:8"), kExitFailed, "the program's RECORD KEY is not at that position"},
        {but(3, "1:7"), kExitFailed, "a prime key of 8 bytes"},
        {but(7, "20:6"), kExitFailed, gc + ".2: the record with prime key"},
        {but(5, "9:12"), kExitFailed,
         gc + ".1 allows duplicates, and key 1 does not: give --key 9:12:dups"},
        {but(7, "21:6:dups"), kExitFailed,
         gc + ".2 does not allow duplicates, and key 2 does: give --key 21:6"},
        {Args(keys.begin(), keys.end() - 2), kExitFailed,
         gc + ".2 exists: the GnuCOBOL file seems to have more than the 2 keys given"},
        {joined(keys, {"--key", "27:4"}), kExitFailed, gc + ".3 is missing"},
        {but(1, "40-100"), kExitDamaged,
         ") is refused: 101 bytes, outside the file's record lengths"},
        {{"--sequential", "--record", "40-120"},
         kExitFailed,
         "a GnuCOBOL indexed file (Berkeley DB): give its keys"},
    };
    for (const auto& [options, status, message] : cases) {
        expect_run(joined({"load", "no.dat", gc, "--format", "gnucobol"}, options), status,
                   {message});
        EXPECT_FALSE(std::filesystem::exists("no.dat"));
    }
    expect_run(
        {"load", "no.dat", "customers.dat", "--format", "gnucobol", "--like", "customers.dat"},
        kExitFailed, {"already a file of this system"});

    // A record with no entry under a key (SUPPRESS WHEN) is loaded all the
    // same, after the others, and indexed under every key.
    DB* db = nullptr;
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->set_flags(db, DB_DUP), 0);
    ASSERT_EQ(db->open(db, nullptr, (gc + ".1").c_str(), nullptr, DB_BTREE, 0, 0), 0);
    DBC* cursor = nullptr;
    ASSERT_EQ(db->cursor(db, nullptr, &cursor, 0), 0);
    DBT key{};
    DBT data{};
    ASSERT_EQ(cursor->get(cursor, &key, &data, DB_NEXT), 0);  // the first Aarau
    ASSERT_EQ(cursor->del(cursor, 0), 0);
    cursor->close(cursor);
    ASSERT_EQ(db->close(db, 0), 0);
    std::filesystem::remove("back.dat");
    expect_run(load(keys), kExitOk, {gc + ".1 has no entry for 1 of the 240 records"});
    EXPECT_EQ(dump({"back.dat"}), dumps[0]);
    const std::string by_city = dump({"back.dat", "--key", "1"});
    EXPECT_EQ(by_city.substr(0, 8), dumps[1].substr(dumps[1].find('\n') + 1, 8));
    EXPECT_THAT(by_city, HasSubstr("00000603Aarau"));

    // A file of fewer keys in the same place leaves the files it has no
    // keys for, and says so.
    make_indexed("one.dat", 10, 10, {{1, 4}}, {"AAAAbbbbbb"});
    expect_run({"unload", "one.dat", gc, "--format", "gnucobol"}, kExitOk,
               {gc + ".1: is left as it was"});
}

}  // namespace
