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
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
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
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

using kvr::tools::kExitDamaged;
using kvr::tools::kExitFailed;
using kvr::tools::kExitOk;
using Args = std::vector<std::string>;
using Key = kvr::test::KeySpec;
namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
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

// Runs kvr on a command line as a person types it (no word here holds a
// space), its output and messages to the streams given.
int run_line(const std::string& line, std::FILE* out, std::FILE* err) {
    std::istringstream words(line);
    const Args args{std::istream_iterator<std::string>(words), {}};
    std::vector<const char*> argv{"kvr"};
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    return kvr::tools::run(static_cast<int>(argv.size()), argv.data(), out, err);
}

Result kvr_run(const std::string& line, std::FILE* out = std::tmpfile()) {
    std::FILE* err = std::tmpfile();
    const int status = run_line(line, out, err);
    return {status, slurp(out), slurp(err)};
}

std::string dump(const std::string& line) {
    return kvr_run("dump " + line).out;
}

// A little-endian word, and a record behind such a word (a relative file's
// record behind its number, as the engine keeps it).
std::string numbered(uint32_t n, const std::string& tail = "") {
    std::string word(4, '\0');
    kvr::platform::store_u32(reinterpret_cast<unsigned char*>(word.data()), n);
    return word + tail;
}

// Records written to a new sequential file whose header allows lengths min
// to max, or appended to the file there is.
void make_sequential(const std::string& file, uint32_t min_length, uint32_t max_length, int options,
                     std::vector<std::string> records, bool append = false) {
    char* name = const_cast<char*>(file.c_str());
    std::vector<unsigned char> block =
        kvr::test::attribute_block(min_length, max_length, {}, options);
    ASSERT_TRUE(append || _vmqpSeqFS(SQ_CREATE, nullptr, block.data(), nullptr, name, 0) == 0);
    void* seq = nullptr;
    ASSERT_EQ(_vmqpSeqFS(SQ_OPEN, &seq, nullptr, nullptr, name, SQ_MODE_APPEND), 0);
    for (std::string& r : records) {
        uint32_t length = static_cast<uint32_t>(r.size());
        ASSERT_EQ(_vmqpSeqFS(SQ_WRITE, &seq, r.data(), &length, nullptr, 0), 0);
    }
    ASSERT_EQ(_vmqpSeqFS(SQ_CLOSE, &seq, nullptr, nullptr, nullptr, 0), 0);
}

// Files are named as a person at a shell names them, in the test's own
// folder; path() gives the full name where a test needs one.
class KvrTool : public kvr::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        home_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override {
        close();
        fs::current_path(home_);
        TempDirTest::TearDown();
    }

    // Runs kvr and expects its exit status, its messages holding each of `err`
    // and its output each of `out`. A run that fails, or a load that refuses
    // records, leaves the folder as it was.
    Result expect(const std::string& line, int status, const Args& err = {}, const Args& out = {}) {
        const Args before = names_in_dir();
        const Result r = kvr_run(line);
        EXPECT_EQ(r.status, status) << "kvr " << line << "\n" << r.out << r.err;
        for (const std::string& part : err)
            EXPECT_THAT(r.err, HasSubstr(part)) << "kvr " << line;
        for (const std::string& part : out)
            EXPECT_THAT(r.out, HasSubstr(part)) << "kvr " << line;
        if (status == kExitFailed || (status == kExitDamaged && line.starts_with("load"))) {
            EXPECT_EQ(names_in_dir(), before) << "kvr " << line;
        }
        return r;
    }

    // Runs in a table: command line, exit status, and a text the messages hold.
    void expect_runs(const std::vector<std::tuple<std::string, int, std::string>>& runs) {
        for (const auto& [line, status, err] : runs)
            expect(line, status, {err});
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
    // Each record written, or the record of its prime key rewritten or
    // deleted, in the closed file.
    void change(const std::string& file, uint16_t op, const std::vector<std::string>& records) {
        open(file);
        for (const std::string& r : records)
            ASSERT_EQ(write(r, op), 0) << r;
        close();
    }
    // A record that reaches the store, and that no index learns of.
    void put_unindexed(const std::string& file, const std::string& record) {
        open(file);
        uint32_t address = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
        const auto size = static_cast<uint32_t>(record.size());
        ASSERT_EQ(_vmq_put_record(handle(), &address, bytes, size, 0), 0);
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
    // Customer n as make_customers writes it: 40 to 119 bytes.
    static std::string customer(int n) { return record(n, 40 + static_cast<size_t>(n % 80)); }
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
        change(file, IX_WRITE, records);
    }

    // A closed file of n customers, every fifth deleted.
    void make_customers(const std::string& file, int n, bool blocks = false) {
        std::vector<std::string> records, fifths;
        for (int i = 1; i <= n; ++i)
            records.push_back(customer(i));
        for (int i = 5; i <= n; i += 5)
            fifths.push_back(record(i));
        make_indexed(file, 40, 120, customer_keys(), records, blocks);
        change(file, IX_DELETE, fifths);
    }
    // Customers who moved to Aarau, in this order: their city's duplicates
    // are out of prime-key order. Each keeps its length, or becomes 60 bytes.
    void move_to_aarau(const std::string& file, std::initializer_list<int> customers,
                       bool same_length) {
        for (int i : customers)
            change(file, IX_REWRITE,
                   {(same_length ? customer(i) : record(i)).replace(8, 12, "Aarau       ")});
    }

    void* slot_ = nullptr;
    fs::path home_;
};

TEST_F(KvrTool, HelpUsageAndErrorsNameTheFileAndTheReason) {
    const std::string overview = expect("--help", kExitOk, {}, {"\nexit status"}).out;
    for (const std::string command :
         {"info", "check", "dump", "unload", "load", "rebuild", "convert"}) {
        EXPECT_THAT(overview, HasSubstr("  " + command + " "));
        EXPECT_THAT(
            expect(command + " --help", kExitOk, {}, {"--verbose", "\nExit status: 0 "}).out,
            StartsWith("Usage: kvr " + command));
    }
    // The version, the library's, as help2man reads it for the man page.
    EXPECT_EQ(expect("--version", kExitOk).out,
              std::string("kvr (KVR) ") + VMQRMKVR_VERSION + "\n");

    // Command lines that cannot be read, and files of another system or kind.
    write_file("text.txt", "just some text, not a file of ours\n");
    make_customers("busy.dat", 10);
    expect_runs({
        {"", kExitFailed, "Usage: kvr COMMAND"},
        {"frobnicate", kExitFailed, "unknown command 'frobnicate'"},
        {"dump x --colour", kExitFailed, "unknown option '--colour'"},
        {"info", kExitFailed, "Usage: kvr info"},
        {"dump x --key 1 --key=2", kExitFailed, "option --key is given more than once"},
        {"dump x --hex=yes", kExitFailed, "option --hex takes no value"},
        {"info busy.dat --verbose=yes", kExitFailed, "option --verbose takes no value"},
        {"check text.txt", kExitFailed, "not a file of this system"},
        {"dump busy.dat --columns --hex", kExitFailed,
         "--hex and --columns are two views of the records; give one"},
        {"dump busy.dat --key 3", kExitFailed, ""},
        {"dump busy.dat --from \\x4", kExitFailed, "malformed"},
        {"load new.dat text.txt --record 20 --key 1:5", kExitFailed,
         "not a file of this system (no KVR mark); a text file loads with --text"},
        {"load new.dat busy.dat --like busy.dat", kExitFailed,
         "an indexed or relative file of this system; kvr load reads a sequential one"},
        {"load new.dat text.txt --text --record 20 --key 30:5", kExitFailed,
         "--key 30:5: the key ends at byte 34, past the end of the 20-byte record"},
        {"load new.dat text.txt --text --record 10-20 --key 1:5 --key 18:4:dups", kExitFailed,
         "--key 18:4:dups: the key ends at byte 21, past the end of the longest record, 20 "
         "bytes"},
        {"load o.dat text.txt --varseq-format 1 --sequential --record 5", kExitFailed,
         "--varseq-format goes with --format gnucobol"},
        {"unload text.txt x --format cobol", kExitFailed, "--format cobol: give gnucobol"},
    });
    // A missing file is named with the reason, and no file appears; a
    // folder is said to be one. What happened is said in words; the
    // engines' result codes follow only with --verbose, given before the
    // command or among its options.
    fs::create_directory("folder");
    const std::string busy = "busy.dat: another process has the file open";
    open("busy.dat");  // for update: no other open may share the file
    for (const std::string command : {"info", "check", "dump", "unload", "rebuild", "convert"}) {
        const std::string out = command == "unload" ? " out.seq" : "";
        expect(command + " " + path("missing.dat") + out, kExitFailed,
               {path("missing.dat") + ": No such file or directory"});
        expect(command + " folder" + out, kExitFailed, {"kvr: folder: a folder, not a file"});
        const std::string line = command + " busy.dat" + out;
        const Result held = expect(line, kExitFailed);  // nothing of the file is shown
        EXPECT_THAT(held.out + held.err, AllOf(StartsWith("kvr: " + busy), Not(HasSubstr("(18)"))));
        expect("--verbose " + line, kExitFailed, {busy + " (18)"});
        expect(line + " --verbose", kExitFailed, {busy + " (18)"});
    }
}

TEST_F(KvrTool, InfoDescribesIndexedRelativeAndSequentialFiles) {
    make_customers("customers.dat", 400);
    // Three index blocks freed by the deletes are index space, not slots.
    expect("info customers.dat", kExitOk, {},
           {"organization    indexed, slot format (version 199609)",
            "records         variable, 40 to 120 bytes", "record count    320",
            "1   alternate  position 9, length 12, duplicates, bytes", "live records",
            "(320 records)", "(8 in the trees, 3 free, blocks of 4096)",
            "free slots      6520 bytes", "key 1   height 2, 4 pages", "320 entries, leaves"});
    // A damaged journal beside the file is left alone, and said.
    write_file("customers.dat.kvrj", "KVRJ and then nothing of a journal");
    expect("info customers.dat", kExitOk, {},
           {"record count    320\njournal         customers.dat.kvrj is left alone: it is a "
            "damaged journal\n"});
    expect("check customers.dat", kExitOk, {},
           {"customers.dat: journal customers.dat.kvrj is left alone: it is a damaged "
            "journal\ncustomers.dat: sound"});
    fs::remove("customers.dat.kvrj");
    // A record slot the size of an index block, freed, is slot space.
    make_indexed("wide.dat", 4092, 4092, {{1, 8}},
                 {std::string(4092, 'a'), std::string(4092, 'b')});
    change("wide.dat", IX_DELETE, {std::string(4092, 'a')});
    expect("info wide.dat", kExitOk, {}, {"free slots      4096 bytes"});

    const std::string c10(10, 'c');
    make_indexed("counters.rel", 14, 14, {{1, 4, false, IX_KEY_TYPE_NUMBER}},
                 {numbered(3, c10), numbered(1, c10), numbered(700, c10)}, true);
    // The program's record length and RELATIVE KEY, not the engine's record.
    const Result r =
        expect("info counters.rel", kExitOk, {},
               {"relative, block format", "(3 records)", "records         fixed, 10 bytes\n",
                "keys\n  0   relative   the record number (RELATIVE KEY), kept in 4 bytes in "
                "front of each record\nfile size"});
    EXPECT_THAT(r.out, Not(HasSubstr("length 4")));
    EXPECT_EQ(dump("counters.rel --from 2"), "3: cccccccccc\n700: cccccccccc\n");
    EXPECT_EQ(dump("counters.rel --columns --to 1"),
              "record number 1, 10 bytes\n"
              "     1  63 63 63 63 63 63 63 63  63 63                    |cccccccccc|\n");
    // The numbers travel in front of the unloaded records, and come back.
    expect("unload counters.rel counters.seq", kExitOk, {},
           {"3 records unloaded to counters.seq, each behind its 4-byte record number"});
    expect("load again.rel counters.seq --relative --record 10", kExitOk);
    EXPECT_EQ(dump("again.rel"), dump("counters.rel"));
    expect("info again.rel", kExitOk, {}, {"records         fixed, 10 bytes\n"});
    // A text file keeps no numbers: the gaps are told of, not lost unseen.
    expect("unload counters.rel counters.txt --text", kExitOk,
           {"kvr: counters.rel: 3 records numbered from 1 to 700, with gaps: counters.txt "
            "keeps no record numbers, and kvr load --text --relative numbers its lines 1, 2, "
            "3, ...; kvr unload --format dump keeps them"});
    EXPECT_EQ(read_file("counters.txt"), "cccccccccc\ncccccccccc\ncccccccccc\n");
    expect("load lines.rel counters.txt --text --relative --record 10", kExitOk);
    EXPECT_EQ(kvr_run("unload lines.rel lines.txt --text").err, "");
}

TEST_F(KvrTool, DumpFollowsAKeyBetweenBoundsAsTextOrHex) {
    make_customers("customers.dat", 40);
    // By city, duplicates in written order, from Geneva up to every Lugano.
    const std::string by_city =
        expect("dump customers.dat --key 1 --from Geneva --to Lugano", kExitOk).out;
    EXPECT_EQ(std::count(by_city.begin(), by_city.end(), '\n'), 16) << by_city;
    EXPECT_THAT(by_city,
                AllOf(StartsWith("00000006Geneva      "), HasSubstr("\n00000021Geneva      "),
                      HasSubstr("\n00000114Lugano      ")));
    EXPECT_EQ(dump("customers.dat --hex --to 00000003").substr(0, 26),
              "30303030 30303033 4265726e");

    // In columns as hexdump -C shows bytes, the record named by its key.
    EXPECT_EQ(dump("customers.dat --columns --from 00000021 --to 00000021"),
              "key \"00000021\", 47 bytes\n"
              "     1  30 30 30 30 30 30 32 31  47 65 6e 65 76 61 20 20  |00000021Geneva  |\n"
              "    17  20 20 20 20 30 35 35 34  33 33 6e 61 6d 65 20 37  |    055433name 7|\n"
              "    33  20 20 20 20 20 20 20 20  20 20 20 20 20 20 01     |              .|\n");
    // A sequential file's records are named by their place in it.
    expect("unload customers.dat customers.seq", kExitOk);
    const std::string columns = dump("customers.seq --columns");
    EXPECT_THAT(columns, AllOf(StartsWith("record 1, 41 bytes\n     1  30 30 30 30 30 30 30 33  "
                                          "42 65 72 6e"),
                               HasSubstr("\nrecord 32, ")));

    // Records that cannot be written out make a failure, not a success.
    const Result full = kvr_run("dump customers.dat", std::fopen("/dev/full", "w"));
    EXPECT_EQ(full.status, kExitFailed);
    EXPECT_THAT(full.err, HasSubstr("the output cannot be written"));
}

// A sequential file whose header allows shorter records than it holds, or
// that was cut short, below 4 GiB or past it: no record is cut or left out
// without a word.
TEST_F(KvrTool, SequentialRecordsLongerThanTheHeaderAllowsAreReported) {
    make_customers("customers.dat", 30);
    expect("unload customers.dat out.seq", kExitOk);
    patch_u32("out.seq", 60, 44);  // the longest record
    // Records 1 to 4 are 41 to 44 bytes long; check goes on past the rest.
    const Result r =
        expect("check out.seq", kExitDamaged, {},
               {"record 5: a record longer than the file's longest", "record 24: a record longer"});
    EXPECT_THAT(r.out, Not(HasSubstr("record 4:")));
    EXPECT_NE(kvr_run("dump out.seq").status, kExitOk);
    expect("unload out.seq again.seq", kExitFailed);
    expect("load again.dat out.seq --like customers.dat", kExitFailed);

    // Cut short inside its last record: the engine ends there quietly.
    expect("unload customers.dat out.seq", kExitOk);
    fs::resize_file("out.seq", fs::file_size("out.seq") - 10);
    expect("check out.seq", kExitDamaged, {}, {"record 24: the file ends inside a record"});
    expect("unload out.seq again.seq", kExitFailed);

    // A header may claim records of any length: each record read costs its
    // own length, not the longest one's.
    make_sequential("claims.seq", 1, 100, IX_ATTR_VARIABLE, {"alpha", "beta", "gamma"});
    patch_u32("claims.seq", 60, 0xFFFFFFF0u);  // the longest record
    long peak_before = peak_memory_kib();
    EXPECT_EQ(expect("dump claims.seq", kExitOk).out, "alpha\nbeta\ngamma\n");
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
    make_sequential("big.seq", 1, 0xFFFFFFF0u, IX_ATTR_VARIABLE, records, true);

    peak_before = peak_memory_kib();
    EXPECT_EQ(expect("check big.seq", kExitOk).out, "big.seq: sound, sequential, 6 records\n");
    expect("info big.seq", kExitOk, {},
           {"record count    6\n", "record lengths  1500 to " + std::to_string(hole) + " bytes, " +
                                       std::to_string(uint64_t{hole} + 22500) + " bytes of data"});
    EXPECT_LT(peak_memory_kib() - peak_before, 64 * 1024) << "KiB more at the peak";
    fs::resize_file("big.seq", fs::file_size("big.seq") - 10);
    expect("check big.seq", kExitDamaged, {}, {"record 6: the file ends inside a record"});
}

// The bar is drawn on the message stream when it is a terminal, and not
// while dump writes records to that same terminal; a message written during
// a run starts on a line of its own, not after the bar.
TEST_F(KvrTool, ProgressBarOnlyOnATerminalThatCarriesNoRecords) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    std::FILE* terminal = std::fopen(::ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    make_customers("customers.dat", 20);
    // What the terminal shows of one command, read while it runs.
    auto shown = [&](std::FILE* out, const std::string& line, int status) {
        std::string text;
        std::atomic<bool> finished{false};
        std::thread reader([&] {
            char buffer[4096];
            // Until the run has finished and nothing more comes, or the
            // terminal is gone.
            pollfd ready{master, POLLIN, 0};
            for (int got; (got = ::poll(&ready, 1, 100)) > 0 || !finished;) {
                const ssize_t n = got > 0 ? ::read(master, buffer, sizeof buffer) : 0;
                if (n < 0 || (got > 0 && n == 0))
                    break;
                text.append(buffer, static_cast<size_t>(n));
            }
        });
        EXPECT_EQ(run_line(line, out, terminal), status);
        std::fflush(terminal);
        finished = true;
        reader.join();
        return text;
    };
    std::FILE* records = std::tmpfile();
    const std::string bar = shown(records, "dump customers.dat", kExitOk);
    EXPECT_THAT(bar, HasSubstr("100%"));
    EXPECT_EQ(bar.find("dumping ["), bar.find_first_not_of('\r')) << bar;
    // Records and bar on one terminal: only records.
    const std::string mixed = shown(terminal, "dump customers.dat", kExitOk);
    EXPECT_THAT(mixed, Not(HasSubstr("dumping")));
    EXPECT_THAT(mixed, HasSubstr("00000003Bern"));
    // A refusal reported while the bar is drawn.
    std::string text = "A0001\n";
    for (int i = 0; i < 400; ++i)
        text += (i == 300 ? std::string("A0001") : "B" + std::to_string(10000 + i)) + "\n";
    write_file("in.txt", text);
    const std::string refused =
        shown(records, "load new.dat in.txt --text --record 10 --key 1:5", kExitDamaged);
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
    expect("check sound.dat", kExitOk, {}, {"sound, indexed, 480 records"});

    // Where things are, read through the engine before the file is damaged.
    open("sound.dat", IX_MODE_INPUT);
    kvr::tree::Tree* prime = handle()->tree(0);
    const uint32_t root = prime->root();
    const uint32_t header_size = handle()->header_size;
    kvr::tree::Status status = kvr::tree::kTreeOk;
    prime->begin_operation();
    const unsigned char* page = kvr::tree::get_page(prime, root, &status);
    ASSERT_TRUE(page != nullptr && !kvr::tree::is_leaf(page));
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

    // Each finding names the place of the damage and the key as text. A
    // damage is bytes written at offsets, and what else is done to the file.
    struct Damage {
        std::vector<std::pair<uint32_t, std::string>> patches;
        std::string reported;
        std::function<void(const std::string&)> also = nullptr;
    };
    const std::string low_count("\1\0", 2);
    const std::pair<uint32_t, std::string> marker{kvr::engine::kUpdateMarkerAt,
                                                  numbered(kvr::engine::kUpdateMarker)};
    const std::string at_root = ": key 0: page " + std::to_string(root) + " (level 0) entry 0: ";
    const std::string at_leaf = ": key 0: page " + std::to_string(first_leaf) + " (level 1): ";
    const std::string first = std::to_string(first_address);
    const std::string sized = "header: the header size ";
    const uint32_t tree_header = kvr::engine::tree_headers_at(3) + 2 * kvr::engine::kTreeHeaderSize;
    const std::vector<Damage> damages = {
        {{{separator_at, "99999999"}},
         at_root + "separator \"99999999\" differs from the first key"},
        {{{first_leaf + 2, low_count}}, at_leaf + "count 1 is below the minimum"},
        // a lost record
        {{}, "no prime entry names", [&](auto& f) { put_unindexed(f, record(5000, 60)); }},
        // a damaged page, and a damaged slot behind it
        {{{first_leaf + 2, low_count}, {first_address, numbered(0xFFFFFFFF)}},
         ": offset " + first + ": bytes that are neither a slot nor an index block"},
        // a record with two entries of one key
        {{},
         ": entry \"Bern        \" names the record \"00000003\" at " + first +
             ", which has an entry before it",
         [&](auto& f) {
             open(f);
             kvr::tree::Tree* city = handle()->tree(1);
             city->begin_operation();
             unsigned char key[16] = "Bern        ";
             const std::string prime_key = record(1).substr(0, 8);
             const auto* value = reinterpret_cast<const unsigned char*>(prime_key.data());
             int duplicate = 0;
             ASSERT_EQ(_vmq_insert(city, key, value, &duplicate), 0);
             close();
         }},
        // a free slot linked into a live one
        {{{0xC8 + 8 * (listed_class - 1), numbered(first_address)}},
         ": the header's head of free list " + std::to_string(listed_class) + " names " + first +
             ", which is a live record"},
        {{{0, numbered(header_size - 16)}}, sized + "4080 is not"},
        {{{0, numbered(header_size + 1024)}},
         sized + "5120 is not the 4096 bytes a file of 3 keys has"},
        {{{4, numbered(0x199512)}},
         "header: version 199512 is older than the oldest this build reads (199605)"},
        // an update that never finished, alone or with a user's own file of
        // the journal's name
        {{marker}, "never closed"},
        {{marker},
         "damaged.dat: journal damaged.dat.kvrj is left alone: it is not a journal of this "
         "system\n",
         [&](auto& f) { write_file(f + ".kvrj", "my own notes\n"); }},
        {{{tree_header, numbered(0xDEADBEEF)}},
         "header: the record lengths, the key table or a tree header is damaged"},
        // a file cut short
        {{},
         ": the trees cannot be opened: key 0: its root page at " + std::to_string(root) +
             " runs past the file's end at 5000",
         [](auto& f) { fs::resize_file(f, 5000); }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.reported);
        fs::copy_file("sound.dat", "damaged.dat", fs::copy_options::overwrite_existing);
        for (const auto& [at, bytes] : damage.patches)
            patch_file("damaged.dat", at, bytes.data(), bytes.size());
        if (damage.also)
            damage.also("damaged.dat");
        const std::string before = read_file("damaged.dat");
        expect("check damaged.dat", kExitDamaged, {}, {damage.reported});
        EXPECT_EQ(read_file("damaged.dat"), before) << "check changed the file";
        // info shows what it can, and names damage it meets at the open as
        // check does.
        const Result shown = kvr_run("info damaged.dat");
        EXPECT_NE(shown.status, kExitFailed) << shown.err;
        for (const char* at_open : {"header: ", "cannot be opened: "}) {
            if (const size_t at = damage.reported.find(at_open); at != std::string::npos) {
                EXPECT_EQ(shown.status, kExitDamaged);
                EXPECT_THAT(shown.out, HasSubstr(damage.reported.substr(at)));
            }
        }
        fs::remove("damaged.dat.kvrj");
    }
    // dump refuses a file an update left unfinished: its indexes may miss
    // records.
    patch_file("sound.dat", marker.first, marker.second.data(), marker.second.size());
    expect("dump sound.dat", kExitFailed, {"its indexes cannot be trusted; run kvr rebuild first"});

    // Keys as the program has them (a record number, escaped bytes): the
    // second entry of the one leaf is made to name the first entry's record.
    const std::vector<std::tuple<std::string, Key, Args, std::string>> keyed = {
        {"relative.rel",
         {1, 4, false, IX_KEY_TYPE_NUMBER},
         {numbered(1, "rrrr"), numbered(3, "rrrr")},
         "entry 1: prime entry record number 3 names the record at "},
        {"binary.dat",
         {1, 4},
         {std::string("\0\4\237A----", 8), "AB\\C----"},
         "entry 1: prime entry \"AB\\\\C\" names the record at "},
    };
    std::string reported;
    for (const auto& [file, key, records, entry] : keyed) {
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
        reported = expect("check " + file, kExitDamaged, {},
                          {": key 0, page " + std::to_string(leaf_at) + " " + entry +
                           std::to_string(named) + ", which an entry before it names"})
                       .out;
    }
    EXPECT_THAT(reported, HasSubstr("(the record's prime key is \"\\x00\\x04\\x9fA\")"));
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
    fs::copy_file("start.dat", "killed.dat");
    {
        kvr::platform::ScopedFaultPlan scope(counting);
        writer("killed.dat", -1);
    }
    const uint64_t writes = counting.calls_seen;
    ASSERT_GT(writes, ops.size());
    int rebuilt = 0;
    for (uint64_t k = 1; k <= writes; k += std::max<uint64_t>(1, writes / 160)) {
        SCOPED_TRACE("killed at write " + std::to_string(k) + " of " + std::to_string(writes));
        fs::copy_file("start.dat", "killed.dat", fs::copy_options::overwrite_existing);
        const int report = ::open("returned", O_RDWR | O_CREAT | O_TRUNC, 0600);
        kvr::platform::FaultPlan plan{
            .kinds = kvr::platform::FaultPlan::kWrite, .fail_at = k, .die = true};
        EXPECT_EXIT(
            {
                kvr::platform::ScopedFaultPlan scope(plan);
                writer("killed.dat", report);
            },
            testing::KilledBySignal(SIGKILL), "");
        size_t done = 0;  // operations that returned
        EXPECT_GE(::pread(report, &done, sizeof done, 0), 0);
        ::close(report);

        if (kvr_run("check killed.dat").status != kExitOk) {
            ++rebuilt;
            // A record caught in two places comes back once, the other aside.
            const Result r = kvr_run("rebuild killed.dat");
            ASSERT_TRUE(r.status == kExitOk || fs::exists("killed.dat.collisions"))
                << r.out << r.err;
            ASSERT_EQ(kvr_run("check killed.dat").status, kExitOk);
            fs::remove("killed.dat.collisions");
        }
        Model expected = before;
        for (size_t i = 0; i < done; ++i)
            apply(&expected, ops[i].first, ops[i].second);
        // The operation under way, if any: either outcome is right.
        Model after = expected;
        if (done < ops.size())
            apply(&after, ops[done].first, ops[done].second);
        const std::string found = dump("killed.dat");
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
    const std::string sound_dump = dump("blocks.dat --key 2");
    std::string image = read_file("blocks.dat");
    auto* bytes = reinterpret_cast<unsigned char*>(image.data());
    const uint32_t set_size = kvr::engine::FileHeader(bytes).sequence_set_size();
    std::vector<uint32_t> sets;
    for (uint32_t at = kvr::platform::load_u32(bytes);
         at + set_size <= image.size() && sets.size() < 2; at += set_size)
        if (kvr::platform::load_u16(bytes + at) == 4 && kvr::platform::load_u32(bytes + at + 4) > 3)
            sets.push_back(at);
    ASSERT_EQ(sets.size(), 2u);
    patch_u32("blocks.dat", sets[0] + 4, 1);
    patch_u32("blocks.dat", sets[1] + 4, static_cast<uint32_t>(-5));
    const std::string damaged_image = read_file("blocks.dat");
    // Without room for a second copy, it says so, and how much; a load
    // that cannot write stops with one message, not a refusal per record.
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += record(i, 60) + "\n";
    write_file("in.txt", text);
    {
        const std::string size = std::to_string(damaged_image.size());
        const kvr::test::FileSizeLimit full(32 * 1024);
        expect("rebuild blocks.dat", kExitFailed,
               {"needs room for about " + size + " bytes; there is room for 32768",
                "nothing was changed"});
        const Result r = expect("load full.dat in.txt --text --record 60 --key 1:8", kExitFailed,
                                {"cannot be written"});
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(read_file("blocks.dat"), damaged_image);
    expect("rebuild blocks.dat", kExitDamaged, {"header counts 1 records, it holds"},
           {"rebuilt with 480 records"});
    expect("info blocks.dat", kExitOk, {}, {"indexed, block format"});
    EXPECT_TRUE(dump("blocks.dat --key 2") == sound_dump);
    EXPECT_EQ(read_file("blocks.dat.damaged"), damaged_image);

    // Slot format: a slot header overwritten in the middle of the store
    // ends the walk there; the records behind it are still in the old file.
    make_customers("slots.dat", 600);
    const std::string sound_image = read_file("slots.dat");
    const size_t record_at = sound_image.find(record(301, 40).substr(0, 20));
    ASSERT_NE(record_at, std::string::npos);
    patch_u32("slots.dat", record_at - 4, 0xFFFFFFFF);
    const std::string cut_image = read_file("slots.dat");
    expect("info slots.dat", kExitDamaged, {}, {"cannot be walked"});
    expect(
        "rebuild slots.dat", kExitDamaged,
        {"neither a slot nor an index block", "the header counts 480 records, the data store gave"},
        {"kept as slots.dat.damaged"});
    EXPECT_EQ(read_file("slots.dat.damaged"), cut_image);
    expect("check slots.dat", kExitOk);
    // A second rebuild would put the kept file at risk: it is refused.
    const std::string rebuilt = read_file("slots.dat");
    expect("rebuild slots.dat", kExitFailed, {".damaged: exists"});
    EXPECT_EQ(read_file("slots.dat"), rebuilt);
    EXPECT_EQ(read_file("slots.dat.damaged"), cut_image);

    // A file cut back to its header: no record found where 480 were
    // counted is damage, not a clean rebuild.
    write_file("cut.dat",
               sound_image.substr(0, kvr::platform::load_u32(reinterpret_cast<const unsigned char*>(
                                         sound_image.data()))));
    expect("rebuild cut.dat", kExitDamaged);
    EXPECT_TRUE(fs::exists("cut.dat.damaged"));

    // A second record with the prime key of customer 1, in the store only,
    // is set aside beside the file.
    make_customers("collide.dat", 50);
    const std::string twin = record(1, 70).replace(30, 4, "TWIN");
    put_unindexed("collide.dat", twin);
    expect("rebuild collide.dat", kExitDamaged, {"key \"00000003\") is set aside"},
           {"rebuilt with 40 records; 1 set aside"});
    EXPECT_EQ(dump("collide.dat.collisions"), twin + "\n");
    expect("check collide.dat", kExitOk);

    // A damaged tree header does not keep rebuild from the records.
    fs::copy_file("collide.dat", "tree_header.dat");
    patch_u32("tree_header.dat", kvr::engine::tree_headers_at(3) + 2 * kvr::engine::kTreeHeaderSize,
              0xDEADBEEF);
    expect("rebuild tree_header.dat", kExitOk);
    EXPECT_EQ(dump("tree_header.dat --key 2"), dump("collide.dat --key 2"));
}

TEST_F(KvrTool, UnloadThenLoadRoundTripsExactly) {
    make_customers("customers.dat", 700);
    expect("unload customers.dat customers.seq", kExitOk, {}, {"560 records unloaded"});
    expect("load copy.dat customers.seq --like customers.dat", kExitOk);
    expect("check copy.dat", kExitOk);
    for (const std::string key : {" --key 0", " --key 1", " --key 2"})
        EXPECT_EQ(dump("copy.dat" + key), dump("customers.dat" + key)) << key;

    // Text, with the attributes on the command line.
    write_file("in.txt", "B0002 second\nA0001 first\nC0003 third  \n");
    expect("load t.dat in.txt --text --record 20 --key 1:5 --key 7:5:dups", kExitOk);
    expect("unload t.dat out.txt --text", kExitOk);
    EXPECT_EQ(read_file("out.txt"),
              "A0001 first         \nB0002 second        \nC0003 third         \n");

    // Relative records get the numbers 1, 2, 3.
    expect("load r.rel in.txt --text --relative --record 20", kExitOk);
    EXPECT_EQ(dump("r.rel --to 1"), "1: B0002 second        \n");

    // The dump format: the attributes, then each record's bytes in hex (a
    // relative file's behind its number), whatever bytes they are.
    const std::string hand =
        "KVR-DUMP=1\norganization=relative\nstore=slot\nrecords=variable 0 6\nHEADER=END\n"
        " 2 414243\n 9 -\n 10 00ff0a0d5c20\nDATA=END\n";
    write_file("hand.dump", hand);
    expect("load hand.rel hand.dump --format dump", kExitOk, {},
           {"hand.rel: 3 records loaded from hand.dump"});
    EXPECT_EQ(dump("hand.rel"), "2: ABC\n9: \n10: \\x00\\xff\\x0a\\x0d\\\\ \n");
    expect("unload hand.rel again.dump --format dump", kExitOk);
    EXPECT_EQ(read_file("again.dump"), hand);
    // Every organization, both store formats, any record bytes: back as
    // they were, by every key, duplicates in their order, and again the
    // same dump.
    make_customers("blocks.dat", 90, true);
    move_to_aarau("blocks.dat", {41, 3, 22}, false);
    std::vector<std::string> numbers;
    for (uint32_t n : {7u, 1u, 65536u, 4000000000u}) {
        numbers.push_back(numbered(n));
        for (uint32_t b = 0; b < n % 300; ++b)
            numbers.back() += static_cast<char>((b * 37 + n) & 0xFF);
    }
    make_indexed("binary.rel", 4, 304, {{1, 4, false, IX_KEY_TYPE_NUMBER}}, numbers);
    make_sequential("binary.seq", 0, 300, IX_ATTR_VARIABLE,
                    {"", std::string("\0\n\r\xff", 4), std::string(300, '\n'), "plain"});
    make_sequential("fixed.seq", 5, 5, 0, {"AAAAA", "BBBBB"});
    // What info says of a file up to how its bytes divide.
    const auto attributes = [](const std::string& file) {
        const std::string shown = kvr_run("info " + file).out;
        const size_t from = shown.find("\norganization");
        return shown.substr(from, shown.find("\nfile size") - from);
    };
    for (const std::string name :
         {"customers.dat", "blocks.dat", "binary.rel", "binary.seq", "fixed.seq"}) {
        SCOPED_TRACE(name);
        expect("unload " + name + " " + name + ".dump --format dump", kExitOk);
        expect("load " + name + ".back " + name + ".dump --format dump", kExitOk);
        expect("unload " + name + ".back " + name + ".again --format dump", kExitOk);
        EXPECT_EQ(read_file(name + ".again"), read_file(name + ".dump"));
        EXPECT_EQ(attributes(name + ".back"), attributes(name));
        for (const std::string view : {" --key 0", " --key 1", " --key 2", " --hex"})
            EXPECT_EQ(dump(name + ".back" + view), dump(name + view)) << view;
    }
}

TEST_F(KvrTool, FailedCommandsLeaveNoFileBehind) {
    write_file("dups.txt", "A0001 x\nA0001 y\nB0002 z\nthis line is longer than twenty\n");
    make_customers("customers.dat", 30);
    // A record with a line feed cannot go to a text file.
    make_indexed("lf.dat", 10, 10, {{1, 4}}, {"AAAAline\nx"});
    // A dump cut short, or with a line that is no record, loads nothing.
    expect("unload customers.dat c.dump --format dump", kExitOk);
    std::string whole = read_file("c.dump"), bad = whole;
    write_file("cut.dump", whole.substr(0, whole.rfind("DATA=END")));
    write_file("bad.dump", bad.replace(bad.find("HEADER=END\n") + 13, 1, "g"));
    write_file("keys.dump", whole.replace(whole.find("key=9:12:dups\n"), 14, "key=9:12\n"));
    make_sequential("lf.seq", 1, 20, IX_ATTR_VARIABLE, {"one line", "two\nlines"});
    expect("load t.dat dups.txt --text --record 20 --key 1:5", kExitDamaged,
           {"line 2 (key \"A0001\") is refused: another record already has that key", "line 4",
            "2 records refused; no file was created"});
    expect("load t.dat keys.dump --format dump", kExitDamaged,
           {"keys.dump: line 10 (key \"00000018\") is refused: another record already has that "
            "key",
            "no file was created"});
    expect_runs({
        {"load customers.dat dups.txt --text --like customers.dat", kExitFailed, "the file exists"},
        {"load u.dat dups.txt --text", kExitFailed, "--like OTHER, or --record and --key"},
        {"load u.dat dups.txt --text --record 9 --key 0:5", kExitFailed, ""},
        {"unload t2.dat x.txt --text", kExitFailed, ""},
        {"unload lf.dat lf.txt --text", kExitFailed, "record 1 (key \"AAAA\") holds a line feed"},
        {"unload lf.seq lf.txt --text", kExitFailed, "kvr: lf.txt: record 2 holds a line feed"},
        {"load t.dat cut.dump --format dump", kExitFailed,
         "cut.dump: the dump ends before its DATA=END line: it was cut short"},
        {"load t.dat bad.dump --format dump", kExitFailed, "bad.dump: line 9: not a record"},
        {"load t.dat c.dump --format dump --like customers.dat", kExitFailed,
         "--format dump takes the file's attributes from the dump"},
        {"load t.dat dups.txt --format dump", kExitFailed,
         "dups.txt: line 1: not a dump of kvr unload --format dump"},
    });
}

// What takes an output's name is a regular file, never the input itself,
// a device, pipe or folder; a link is followed, not replaced; a replaced
// file keeps its permissions and its records.
TEST_F(KvrTool, OutputsReplaceOnlyRegularFilesAndNeverTheInput) {
    const std::string file = path("customers.dat");
    make_customers(file, 60);
    const std::string before = read_file(file);
    fs::create_symlink(file, path("alias.dat"));
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    fs::create_directory("folder");
    for (const std::string& out :
         {file, path("alias.dat"), path("pipe"), std::string("folder"), path("missing/out.seq")}) {
        const std::string line = "unload " + file + " " + out;
        EXPECT_THAT(expect(line, kExitFailed).err, StartsWith("kvr: " + out + ": "));
        expect(line + " --text", kExitFailed);
    }
    EXPECT_EQ(read_file(file), before);
    EXPECT_TRUE(fs::is_fifo("pipe"));
    expect("load missing/new.dat x --like " + file, kExitFailed);
    // A missing input is reported as missing, and is not made.
    expect("load new.dat absent.seq --like " + file, kExitFailed,
           {"absent.seq: No such file or directory"});

    // Rebuild and convert through a link replace the file it leads to,
    // keeping every record and the order of the duplicates.
    make_customers("blocks.dat", 60, true);
    move_to_aarau("blocks.dat", {41, 3, 22}, false);
    const std::string by_city = dump("blocks.dat --key 1");
    EXPECT_EQ(by_city.substr(0, 8), "00000123");
    const auto perms = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions("blocks.dat", perms);
    fs::create_symlink(path("blocks.dat"), "link.dat");
    expect("convert link.dat", kExitOk, {}, {"converted to the slot format, 48 records"});
    EXPECT_EQ(dump("blocks.dat --key 1"), by_city);
    expect("convert link.dat", kExitOk, {}, {"already in the slot format"});
    expect("rebuild link.dat", kExitOk);
    EXPECT_TRUE(fs::is_symlink("link.dat"));
    expect("info blocks.dat", kExitOk, {}, {"indexed, slot format"});
    EXPECT_EQ(fs::status("blocks.dat").permissions(), perms);
    for (const std::string& name : names_in_dir())
        EXPECT_THAT(name, Not(HasSubstr(".tmp")));
}

// A run ended by a signal removes its temporary files and still ends by
// it; one killed outright leaves its file to the next run, which never
// removes the temporary of a live process or one a process holds open.
TEST_F(KvrTool, TemporaryFilesOfARunEndedBySignalsGo) {
    make_customers("customers.dat", 40);
    auto temporary_of = [](pid_t pid) {
        return ".customers.dat.kvr-" + std::to_string(pid) + ".tmp";
    };
    EXPECT_EXIT(
        {
            kvr::tools::remove_pending_files_on_signals();
            kvr::tools::PendingFile done("done.seq");
            write_file(done.path(), "finished");
            std::string reason;
            if (!done.commit(&reason))
                ::_exit(3);
            kvr::tools::PendingFile pending("out.seq");
            write_file(pending.path(), "half of a file");
            ::raise(SIGTERM);
        },
        testing::KilledBySignal(SIGTERM), "");
    EXPECT_EXIT(
        {
            kvr::tools::PendingFile pending("customers.dat");
            write_file(pending.path(), "half of a rebuild");
            ::raise(SIGKILL);
        },
        testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(read_file("done.seq"), "finished");
    // The killed run's temporary, named by a process that is gone.
    const std::string killed = names_in_dir()[0];
    EXPECT_THAT(killed, AllOf(StartsWith(".customers.dat.kvr-"), EndsWith(".tmp"),
                              Not(temporary_of(::getpid()))));
    ASSERT_EQ(read_file(killed), "half of a rebuild");
    EXPECT_EQ(names_in_dir(), (Args{killed, "customers.dat", "done.seq"}));

    // The process that started this test is alive.
    const pid_t alive = ::getppid();
    write_file(temporary_of(alive), "a live run's file");
    // A number no process has here, held open as a writer in another
    // process namespace holds its file.
    const std::string held = temporary_of(1999999999);
    write_file(held, "held");
    const int fd = ::open(held.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kvr::platform::share_locks::hold_alone(fd), 0);

    expect("rebuild " + path("customers.dat"), kExitOk);
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_EQ(read_file(temporary_of(alive)), "a live run's file");
    EXPECT_EQ(read_file(held), "held");
    expect("check customers.dat", kExitOk);
    ::close(fd);
}

// GnuCOBOL's own files as its runtime writes them: a variable-length
// record's header of COB_VARSEQ_FORMAT format, and a relative slot.
std::string gnucobol_header(int format, size_t length) {
    const std::string little = numbered(static_cast<uint32_t>(length));
    const std::string big(little.rbegin(), little.rend());
    const std::string headers[] = {big.substr(2) + std::string(2, '\0'), big, little,
                                   big.substr(2)};
    return headers[format];
}

std::string gnucobol_slot(size_t length, const std::string& data, size_t max_length) {
    std::string slot = numbered(static_cast<uint32_t>(length)) + std::string(4 + max_length, '\0');
    return slot.replace(8, data.size(), data);
}

// Each kind of GnuCOBOL sequential and relative file goes in as GnuCOBOL
// reads it, and comes out as GnuCOBOL wrote it. Another record layout, or
// options that do not go together, are refused with what does not fit; no
// file is made.
TEST_F(KvrTool, GnuCobolSequentialAndRelativeFilesGoInAndComeOutAsWritten) {
    struct Case {
        std::string bytes;
        std::string options;  // load's attributes, and a --varseq-format for both
        int status;
        std::string shown;      // the records dumped, or what the refusal says
        std::string back = "";  // what unload writes, when not the bytes themselves
    };
    const std::string qs(300, 'Q');
    const std::string binary("B\0\n\377C", 5);  // B, 0x00, 0x0a, 0xff, C
    const std::string escaped = "B\\x00\\x0a\\xffC";
    const std::string fixed = "--sequential --record 5";
    const std::string variable = "--sequential --record 1-5";
    std::vector<Case> cases = {
        {"AAAAA" + binary, fixed, kExitOk, "AAAAA\n" + escaped + "\n"},
        {gnucobol_slot(6, "ONE   ", 6) + gnucobol_slot(0, "", 6) + gnucobol_slot(0, "", 6) +
             gnucobol_slot(6, binary + "!", 6),
         "--relative --record 6", kExitOk, "1: ONE   \n4: " + escaped + "!\n"},
        // A deleted record keeps its bytes behind a length of 0; the slot
        // comes back empty. A short record's slot is filled with zeros.
        {gnucobol_slot(2, "AB", 6) + gnucobol_slot(0, "GONE!!", 6) + gnucobol_slot(6, "CDEFGH", 6),
         "--relative --record 1-6", kExitOk, "1: AB\n3: CDEFGH\n",
         gnucobol_slot(2, "AB", 6) + gnucobol_slot(0, "", 6) + gnucobol_slot(6, "CDEFGH", 6)},
        {"AAAAABBBBBC", fixed, kExitFailed, "holds 11 bytes, not a whole number of 5-byte records"},
        {"AAAAABBBBB", variable, kExitFailed,
         "its header 41414141 is not a record length of COB_VARSEQ_FORMAT 0"},
        {gnucobol_header(1, 3) + "abc", variable, kExitFailed,
         "is not a record length of COB_VARSEQ_FORMAT 0"},
        {gnucobol_header(0, 300) + "abc", "--sequential --record 1-300", kExitFailed,
         "its header gives 300 bytes, but only 3 follow"},
        {gnucobol_header(0, 3) + "abc" + gnucobol_header(0, 9) + "123456789", variable,
         kExitDamaged,
         "record 2 (offset 7) is refused: 9 bytes, outside the file's record lengths"},
        {gnucobol_slot(3, "abc", 5) + "x", "--relative --record 5", kExitFailed,
         "not a whole number of 13-byte slots"},
        {gnucobol_slot(9, "abcde", 5), "--relative --record 5", kExitFailed,
         "record number 1: its length word says 9 bytes, more than the 5 bytes of a slot"},
        {gnucobol_slot(0, "", 5) + gnucobol_slot(3, "abc", 5), "--relative --record 4-5",
         kExitDamaged,
         "record 1 (record number 2) is refused: 3 bytes, outside the file's record lengths"},
        {"AAAAA", "--record 5 --key 1:2", kExitFailed, "not a Berkeley DB database"},
        {"AAAAA", fixed + " --text", kExitFailed,
         "--text and --format gnucobol are two different formats"},
        {"AAAAA", fixed + " --varseq-format 4", kExitFailed,
         "--varseq-format 4: give 0, 1, 2 or 3"},
        {"AAAAA", fixed + " --key 1:2", kExitFailed, "a sequential file has no keys"},
    };
    for (int format = 0; format < 4; ++format) {
        const std::string varseq = format == 0 ? "" : " --varseq-format " + std::to_string(format);
        cases.push_back({gnucobol_header(format, 3) + "XYZ" + gnucobol_header(format, 300) + qs +
                             gnucobol_header(format, 5) + binary,
                         "--sequential --record 1-300" + varseq, kExitOk,
                         "XYZ\n" + qs + "\n" + escaped + "\n"});
    }
    for (size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        const std::string name = "case" + std::to_string(n);
        SCOPED_TRACE(name + " " + c.options);
        write_file(name, c.bytes);
        const std::string load = "load " + name + ".kvr " + name + " --format gnucobol ";
        expect(load + c.options, c.status,
               {c.status == kExitOk ? "" : c.shown,
                c.status == kExitDamaged ? "no file was created" : ""});
        if (c.status != kExitOk)
            continue;
        EXPECT_EQ(dump(name + ".kvr"), c.shown);
        const size_t varseq = c.options.find(" --varseq-format");
        const std::string unload_varseq =
            varseq == std::string::npos ? "" : c.options.substr(varseq);
        expect("unload " + name + ".kvr " + name + ".back --format gnucobol" + unload_varseq,
               kExitOk);
        EXPECT_EQ(read_file(name + ".back"), c.back.empty() ? c.bytes : c.back);
        // The file of this system lends its attributes to the next load.
        const Result r = kvr_run("load " + name + ".kvr2 " + name +
                                 ".back --format gnucobol --like " + name + ".kvr");
        if (unload_varseq.empty()) {
            EXPECT_EQ(r.status, kExitOk) << r.err;
            EXPECT_EQ(dump(name + ".kvr2"), c.shown);
        }
    }
    // A fixed-length record of another length cannot go out.
    make_sequential("odd.seq", 5, 5, 0, {"fives", "abc"});
    expect("unload odd.seq odd.out --format gnucobol", kExitFailed,
           {"record 2: 3 bytes; every record of a fixed-length GnuCOBOL file has 5"});
}

// An indexed file goes out as GnuCOBOL's Berkeley DB files, one per key,
// and comes back with every record under every key, its duplicates in
// their order. Keys that do not fit the files are refused.
TEST_F(KvrTool, GnuCobolIndexedFilesKeepEveryKeyAndTheDuplicateOrder) {
    make_customers("customers.dat", 300);
    move_to_aarau("customers.dat", {201, 3, 102}, true);
    const Args dumps = {dump("customers.dat --key 0"), dump("customers.dat --key 1"),
                        dump("customers.dat --key 2")};
    EXPECT_EQ(dumps[1].substr(0, 8), "00000603");
    fs::create_directory("gc");
    const std::string gc = path("gc/customers");
    expect("unload customers.dat " + gc + " --format gnucobol", kExitOk, {},
           {"240 records unloaded to " + gc + ", a GnuCOBOL indexed file (Berkeley DB: " + gc +
            ", " + gc + ".1, " + gc + ".2)"});
    const std::string load = "load back.dat " + gc + " --format gnucobol ";
    const std::string keys = "--record 40-120 --key 1:8 --key 9:12:dups --key 21:6";
    for (const std::string& attributes : {std::string("--like customers.dat"), keys}) {
        fs::remove("back.dat");
        expect(load + attributes, kExitOk, {}, {"240 records loaded"});
        for (size_t k = 0; k < 3; ++k)
            EXPECT_EQ(dump("back.dat --key " + std::to_string(k)), dumps[k]) << k;
    }

    // Each case changes one thing of the keys given.
    const auto but = [&](const std::string& from, const std::string& to) {
        std::string changed = keys;
        return changed.replace(changed.find(from), from.size(), to);
    };
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {but("1:8", "2:8"), kExitFailed, "the program's RECORD KEY is not at that position"},
        {but("1:8", "1:7"), kExitFailed, "a prime key of 8 bytes"},
        {but("21:6", "20:6"), kExitFailed, gc + ".2: the record with prime key"},
        {but("9:12:dups", "9:12"), kExitFailed,
         gc + ".1 allows duplicates, and key 1 does not: give --key 9:12:dups"},
        {but("21:6", "21:6:dups"), kExitFailed,
         gc + ".2 does not allow duplicates, and key 2 does: give --key 21:6"},
        {but(" --key 21:6", ""), kExitFailed,
         gc + ".2 exists: the GnuCOBOL file seems to have more than the 2 keys given"},
        {keys + " --key 27:4", kExitFailed, gc + ".3 is missing"},
        {but("40-120", "40-100"), kExitDamaged,
         ") is refused: 101 bytes, outside the file's record lengths"},
        {"--sequential --record 40-120", kExitFailed,
         "a GnuCOBOL indexed file (Berkeley DB): give its keys"},
    };
    for (const auto& [options, status, message] : cases)
        expect("load no.dat " + gc + " --format gnucobol " + options, status, {message});
    expect("load no.dat customers.dat --format gnucobol --like customers.dat", kExitFailed,
           {"already a file of this system"});

    // A record with no entry under a key (SUPPRESS WHEN) is loaded all the
    // same, after the others, and indexed under every key.
    DB* db = nullptr;
    ASSERT_EQ(db_create(&db, nullptr, 0), 0);
    ASSERT_EQ(db->set_flags(db, DB_DUP), 0);
    ASSERT_EQ(db->open(db, nullptr, (gc + ".1").c_str(), nullptr, DB_BTREE, 0, 0), 0);
    DBC* cursor = nullptr;
    ASSERT_EQ(db->cursor(db, nullptr, &cursor, 0), 0);
    DBT key{}, data{};
    ASSERT_EQ(cursor->get(cursor, &key, &data, DB_NEXT), 0);  // the first Aarau
    ASSERT_EQ(cursor->del(cursor, 0), 0);
    cursor->close(cursor);
    ASSERT_EQ(db->close(db, 0), 0);
    fs::remove("back.dat");
    expect(load + keys, kExitOk, {gc + ".1 has no entry for 1 of the 240 records"});
    EXPECT_EQ(dump("back.dat"), dumps[0]);
    const std::string by_city = dump("back.dat --key 1");
    EXPECT_EQ(by_city.substr(0, 8), dumps[1].substr(dumps[1].find('\n') + 1, 8));
    EXPECT_THAT(by_city, HasSubstr("00000603Aarau"));

    // A file of fewer keys in the same place leaves the files it has no
    // keys for, and says so.
    make_indexed("one.dat", 10, 10, {{1, 4}}, {"AAAAbbbbbb"});
    expect("unload one.dat " + gc + " --format gnucobol", kExitOk, {gc + ".1: is left as it was"});
}

}  // namespace
