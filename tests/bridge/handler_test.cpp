// The KVRFH handler driven as GnuCOBOL drives it: an FCD3 and a key
// definition block per file, one operation code per verb.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bridge/fcd_access.h"
#include "platform/fault_injection.h"
#include "support/scenario.h"
#include "support/temp_dir.h"
#include "verbs/scenarios.h"

extern "C" int KVRFH(unsigned char* opcode, FCD3* fcd);

namespace {

using kvr::test::in_order;
using kvr::test::kSame;
using kvr::test::Layout;
using kvr::test::Organization;
using kvr::test::Step;
using kvr::test::Verb;
using ::testing::HasSubstr;

using kvr::bridge::get_u32;
using kvr::bridge::put_u16;
using kvr::bridge::put_u32;
namespace platform = kvr::platform;

constexpr size_t kGuard = 8;
constexpr unsigned char kGuardByte = 0xAB;

// A key: its parts (position and length), and whether it allows duplicates
// or has SUPPRESS WHEN.
struct KeySpec {
    std::vector<std::pair<uint32_t, uint32_t>> parts;
    bool duplicates = false;
    bool sparse = false;
};

// One FD of a program: its FCD, key definition block and record area, with
// guard bytes on both sides of the record that no verb may touch.
class ProgramFile : public kvr::test::ScenarioFile {
public:
    // The file a layout describes, as GnuCOBOL hands it over.
    ProgramFile(const Layout& layout, std::string name)
        : name_(std::move(name)),
          area_(kGuard + layout.max_length + kGuard, kGuardByte),
          places_(layout.keys),
          in_sequence_(layout.sequential_access) {
        static constexpr unsigned char kOrganizations[] = {ORG_INDEXED, ORG_RELATIVE, ORG_SEQ};
        fcd_.fileOrg = kOrganizations[static_cast<int>(layout.organization)];
        fcd_.accessFlags = layout.sequential_access ? ACCESS_SEQ : ACCESS_DYNAMIC;
        fcd_.openMode = OPEN_NOT_OPEN;
        fcd_.recordMode =
            layout.min_length == layout.max_length ? REC_MODE_FIXED : REC_MODE_VARIABLE;
        fcd_.otherFlags = layout.optional ? OTH_OPTIONAL : 0;
        put_u32(fcd_.minRecLen, layout.min_length);
        put_u32(fcd_.maxRecLen, layout.max_length);
        put_u32(fcd_.curRecLen, layout.max_length);
        fcd_.fnamePtr = name_.data();
        put_u16(fcd_.fnameLen, static_cast<uint32_t>(name_.size()));
        fcd_.recPtr = area_.data() + kGuard;
        std::memset(fcd_.recPtr, ' ', layout.max_length);
        std::vector<KeySpec> keys;
        for (const kvr::test::Key& key : layout.keys)
            keys.push_back({{{key.at, key.length}}, key.duplicates});
        if (layout.organization == Organization::kIndexed)
            this->keys(keys);
    }

    void keys(const std::vector<KeySpec>& keys) {
        size_t offset = offsetof(KDB, key) + keys.size() * sizeof(KDB_KEY);
        kdb_.assign(offset, 0);
        for (const KeySpec& key : keys)
            kdb_.resize(kdb_.size() + key.parts.size() * sizeof(EXTKEY));
        auto* kdb = reinterpret_cast<KDB*>(kdb_.data());
        put_u16(kdb->kdbLen, static_cast<uint32_t>(kdb_.size()));
        put_u16(kdb->nkeys, static_cast<uint32_t>(keys.size()));
        for (size_t k = 0; k < keys.size(); ++k) {
            put_u16(kdb->key[k].count, static_cast<uint32_t>(keys[k].parts.size()));
            put_u16(kdb->key[k].offset, static_cast<uint32_t>(offset));
            kdb->key[k].keyFlags = static_cast<unsigned char>((keys[k].duplicates ? KEY_DUPS : 0) |
                                                              (keys[k].sparse ? KEY_SPARSE : 0));
            for (const auto& [position, length] : keys[k].parts) {
                auto* component = reinterpret_cast<EXTKEY*>(kdb_.data() + offset);
                put_u32(component->pos, position);
                put_u32(component->len, length);
                offset += sizeof(EXTKEY);
            }
        }
        fcd_.kdbPtr = kdb;
    }

    // Each verb returns the FILE STATUS the program sees; `option` goes in
    // the FCD's option word.
    std::string call(unsigned op, uint32_t option = 0) {
        unsigned char code[2] = {static_cast<unsigned char>(op >> 8),
                                 static_cast<unsigned char>(op)};
        put_u32(reinterpret_cast<unsigned char*>(fcd_.opt), option);
        KVRFH(code, &fcd_);
        return status();
    }
    std::string status() const {
        return std::string(reinterpret_cast<const char*>(fcd_.fileStatus), 2);
    }
    std::string close(uint32_t option = COB_CLOSE_NORMAL) { return call(OP_CLOSE, option); }
    std::string write(const std::string& text, uint32_t option = 0) {
        set(text);
        return call(OP_WRITE, option);
    }
    // START with a key number and length.
    std::string start(unsigned op, const std::string& text, unsigned k, unsigned length) {
        set(text);
        put_u16(fcd_.refKey, k);
        put_u16(fcd_.effKeyLen, length);
        return call(op);
    }
    void set(std::string_view text) {
        const uint32_t max = get_u32(fcd_.maxRecLen);
        std::memset(fcd_.recPtr, ' ', max);
        std::memcpy(fcd_.recPtr, text.data(), std::min<size_t>(text.size(), max));
        // A fixed-length record is always whole, as GnuCOBOL passes it.
        const bool fixed = get_u32(fcd_.minRecLen) == max;
        put_u32(fcd_.curRecLen,
                fixed ? max : static_cast<uint32_t>(std::min<size_t>(text.size(), max)));
    }
    void relative_key(uint64_t number) {
        put_u32(fcd_.relKey, static_cast<uint32_t>(number >> 32));
        put_u32(fcd_.relKey + 4, static_cast<uint32_t>(number));
    }
    std::string record() const override {
        return std::string(reinterpret_cast<const char*>(fcd_.recPtr), get_u32(fcd_.curRecLen));
    }
    bool guards_intact() const {
        return std::count(area_.begin(), area_.begin() + kGuard, kGuardByte) +
                   std::count(area_.end() - kGuard, area_.end(), kGuardByte) ==
               2 * kGuard;
    }
    uint64_t relative_number() const override {
        return (uint64_t{get_u32(fcd_.relKey)} << 32) | get_u32(fcd_.relKey + 4);
    }
    FCD3& fcd() { return fcd_; }
    // KVRFH gives the program nothing but the status; what it says goes to
    // the standard error.
    std::string said() const override { return ""; }

    static std::unique_ptr<ScenarioFile> make(const Layout& layout, const std::string& name) {
        return std::make_unique<ProgramFile>(layout, name);
    }
    std::string perform(const Step& step) override {
        // Each verb's operation, up to CLOSE UNIT (0: none).
        // clang-format off
        static constexpr unsigned kOps[] = {
            OP_OPEN_INPUT, OP_OPEN_OUTPUT, OP_OPEN_IO,  OP_OPEN_EXTEND, OP_CLOSE,    OP_CLOSE,
            OP_WRITE,      OP_REWRITE,     OP_DELETE,   OP_READ_RAN,    OP_READ_SEQ, OP_READ_PREV,
            OP_START_EQ,   OP_START_GT,    OP_START_GE, OP_START_LT,    OP_START_LE, 0, 0, OP_CLOSE};
        // clang-format on
        const auto verb = static_cast<size_t>(step.verb);
        if (verb >= std::size(kOps) || kOps[verb] == 0) {
            ADD_FAILURE() << "no KVRFH statement";
            return "";
        }
        const bool relative = fcd_.fileOrg == ORG_RELATIVE;
        if (step.key != kSame && relative)
            relative_key(static_cast<uint64_t>(step.key));
        const unsigned key = step.key == kSame || relative ? 0 : static_cast<unsigned>(step.key);
        if (step.verb == Verb::kRead && in_sequence_)
            return call(OP_READ_SEQ);
        if (step.verb == Verb::kWrite || step.verb == Verb::kRewrite ||
            (step.verb == Verb::kDelete && !step.data.empty())) {
            set(step.data);
        } else if ((step.verb == Verb::kRead || step.verb >= Verb::kStartEqual) &&
                   !step.data.empty()) {
            // The key value at the key's place, as long as the key or the
            // length the step gives.
            set("");
            const uint32_t at = key < places_.size() ? places_[key].at : 0;
            std::memcpy(fcd_.recPtr + at, step.data.data(),
                        std::min<size_t>(step.data.size(), get_u32(fcd_.maxRecLen) - at));
            put_u16(fcd_.refKey, key);
            put_u16(fcd_.effKeyLen, step.length != 0 ? step.length
                                    : key < places_.size()
                                        ? places_[key].length
                                        : static_cast<unsigned>(step.data.size()));
        }
        const uint32_t closing = step.verb == Verb::kCloseLock   ? COB_CLOSE_LOCK
                                 : step.verb == Verb::kCloseUnit ? COB_CLOSE_UNIT
                                                                 : 0;
        return call(kOps[verb], closing);
    }
    // GnuCOBOL frees the FCD after every CLOSE, a failed one too, and gives
    // the connector's next verb a new one: the same fields, no file handle.
    void renew_fcd() { fcd_.fileHandle = nullptr; }

private:
    FCD3 fcd_{};
    std::string name_;
    std::vector<unsigned char> kdb_;
    std::vector<unsigned char> area_;
    std::vector<kvr::test::Key> places_;
    bool in_sequence_ = false;
};

// Programs that describe one file name in different ways. Customers:
// number (6), name (10), city (6, duplicates).
const Layout kSequential10{Organization::kSequential, 10, 10, {}, true};
const Layout kSequential20{Organization::kSequential, 20, 20, {}, true};
const Layout kSequentialVariable{Organization::kSequential, 5, 10, {}, true};
const Layout kRelative10{Organization::kRelative, 10, 10};
const Layout kRelative12{Organization::kRelative, 12, 12};
const Layout kCustomers{Organization::kIndexed, 22, 22, {{0, 6}, {16, 6, true}}};
const Layout kOneKey{Organization::kIndexed, 22, 22, {{0, 6}}};
const Layout kCityElsewhere{Organization::kIndexed, 22, 22, {{0, 6}, {10, 6, true}}};
const Layout kLongerCustomers{Organization::kIndexed, 30, 30, {{0, 6}, {16, 6, true}}};
const Layout kCityUnique{Organization::kIndexed, 22, 22, {{0, 6}, {16, 6}}};
const Layout kKeyPastRecord{Organization::kIndexed, 22, 22, {{0, 6}, {18, 6}}};

class HandlerTest : public kvr::test::TempDirTest {
protected:
    // A whole record of the layout; a relative one is record 1.
    static std::string record_of(const Layout& layout) {
        return std::string("100100ANNA      BERGEN  AND MORE").substr(0, layout.max_length);
    }
    // The file `name` as a program of the layout leaves it: one record.
    void make(const Layout& layout, const std::string& name) {
        ProgramFile file(layout, path(name));
        file.relative_key(1);
        ASSERT_EQ(
            in_order({file.call(OP_OPEN_OUTPUT), file.write(record_of(layout)), file.close()}),
            "00 00 00");
    }

    static std::vector<std::string> read_all(ProgramFile& file) {
        if (file.call(OP_OPEN_INPUT) != "00")
            return {"OPEN INPUT gave " + file.status()};
        std::vector<std::string> records;
        while (file.call(OP_READ_SEQ) == "00")
            records.push_back(file.record());
        if (file.close() != "00")
            records.push_back("CLOSE failed");
        return records;
    }
};

// Every write fails, as on a full disk.
platform::FaultPlan disk_full() {
    return {.kinds = platform::FaultPlan::kWrite,
            .fail_at = 1,
            .error = platform::ERROR_DISK_FULL,
            .sticky = true};
}

// START FIRST and LAST leave the program's record as it was; a key of
// reference the file does not have is refused (20). A relative
// record number of 2^32 or more names no record: 24 for a WRITE, 23 for
// the verbs that look one up.
TEST_F(HandlerTest, IndexedFileThroughEveryKeyedVerb) {
    ProgramFile file(kCustomers, path("customers.dat"));
    EXPECT_EQ(in_order({file.call(OP_OPEN_OUTPUT), file.write("100300CLARA     OSLO  "),
                        file.write("100100ANNA      BERGEN"), file.write("100200BJORN     OSLO  "),
                        file.close()}),
              "00 00 00 02 00");
    EXPECT_EQ(file.fcd().fileHandle, nullptr);

    ASSERT_EQ(file.call(OP_OPEN_IO), "00");
    EXPECT_EQ(in_order({file.start(OP_START_LA, "100200XYZ", 1, 0), file.record(),
                        file.call(OP_READ_PREV), file.record()}),
              "00 100200XYZ              00 100200BJORN     OSLO  ");
    EXPECT_EQ(
        in_order({file.start(OP_START_FI, "", 0, 0), file.call(OP_READ_SEQ),
                  file.record().substr(0, 6), file.start(OP_START_FI, "", 65535, 0), file.close()}),
        "00 00 100100 20 00");
    EXPECT_TRUE(file.guards_intact());

    ProgramFile numbers(kRelative10, path("numbers.rel"));
    const uint64_t beyond = (uint64_t{1} << 32) + 1;
    numbers.relative_key(1);
    ASSERT_EQ(in_order({numbers.call(OP_OPEN_OUTPUT), numbers.write("ONE"), numbers.close()}),
              "00 00 00");
    numbers.relative_key(beyond);
    EXPECT_EQ(in_order({numbers.call(OP_OPEN_IO), numbers.write("BEYOND"),
                        numbers.call(OP_READ_RAN), numbers.call(OP_START_EQ),
                        numbers.perform({Verb::kRewrite, "BEYOND"}), numbers.call(OP_DELETE)}),
              "00 24 23 23 23 23");
    numbers.relative_key(1);
    EXPECT_EQ(in_order({numbers.call(OP_READ_RAN), numbers.record(), numbers.close()}),
              "00 ONE        00");
}

TEST_F(HandlerTest, DeleteFileRemovesAClosedFileOnly) {
    ProgramFile file(kCustomers, path("gone.dat"));
    EXPECT_EQ(in_order({file.call(OP_OPEN_OUTPUT), file.call(OP_DELETE_FILE), file.close(),
                        file.call(OP_DELETE_FILE)}),
              "00 41 00 00");
    EXPECT_FALSE(std::filesystem::exists(path("gone.dat")));
    EXPECT_EQ(file.call(OP_DELETE_FILE), "35");
    file.fcd().otherFlags = OTH_OPTIONAL;  // an OPTIONAL file may be missing
    EXPECT_EQ(file.call(OP_DELETE_FILE), "05");

    // A file another connector (or another program) has open is not taken
    // from under it: its writes would go to a file no name reaches. The
    // two name it as GnuCOBOL maps names: DD_NAME, and COB_FILE_PATH.
    ::setenv("DD_HELD", path("held.dat").c_str(), 1);
    ::setenv("COB_FILE_PATH", dir_.c_str(), 1);
    ProgramFile holder(kCustomers, "  HELD  ");
    ProgramFile other(kCustomers, "held.dat");
    ASSERT_EQ(holder.call(OP_OPEN_OUTPUT), "00");
    EXPECT_EQ(other.call(OP_DELETE_FILE), "98");
    EXPECT_TRUE(std::filesystem::exists(path("held.dat")));
    EXPECT_EQ(in_order({holder.close(), other.call(OP_DELETE_FILE)}), "00 00");
    ::unsetenv("DD_HELD");
    ::unsetenv("COB_FILE_PATH");
    EXPECT_FALSE(std::filesystem::exists(path("held.dat")));
}

// Variable-length records keep their lengths; advancing puts blank lines,
// each a record of the shortest length, in front of the record. A WRITE
// with no room is at the file's boundary (34). A CLOSE that cannot write
// reports 30 and keeps the file open for the connector's next FCD; once
// there is room a CLOSE writes every record.
TEST_F(HandlerTest, AFailedCloseReportsItAndKeepsTheFileForAnotherClose) {
    ProgramFile file({Organization::kSequential, 5, 20, {}, true}, path("lines.dat"));
    EXPECT_EQ(in_order({file.call(OP_OPEN_OUTPUT), file.write("FIVE5"),
                        file.write("TWENTY CHARACTERS 20"), file.write("TOO"),
                        file.write("AFTER", COB_WRITE_AFTER | COB_WRITE_LINES | 2)}),
              "00 00 00 44 00");
    std::vector<std::string> written = {"FIVE5", "TWENTY CHARACTERS 20", "     ", "AFTER"};
    {
        platform::FaultPlan plan = disk_full();
        platform::ScopedFaultPlan scope(plan);
        std::string status;
        while ((status = file.write("MORE!")) == "00" && written.size() < 100000)
            written.push_back("MORE!");
        EXPECT_EQ(status, "34");
        EXPECT_EQ(file.close(), "30");
    }
    EXPECT_EQ(file.fcd().openMode, OPEN_OUTPUT);
    file.renew_fcd();
    EXPECT_EQ(file.call(OP_OPEN_INPUT), "41");
    EXPECT_EQ(file.fcd().openMode, OPEN_OUTPUT);
    file.renew_fcd();
    EXPECT_EQ(in_order({file.close(), file.close()}), "00 42");
    EXPECT_EQ(file.fcd().openMode, OPEN_NOT_OPEN);
    EXPECT_EQ(read_all(file), written);
    EXPECT_TRUE(file.guards_intact());
}

// Files left open are closed at exit, and a close that fails then says so,
// naming the file; a child made by fork() inherits the table of open files
// but not the files: its exit must not close them under the parent.
TEST_F(HandlerTest, FilesLeftOpenAreClosedWhenTheProcessExits) {
    make(kCustomers, "left.dat");
    ProgramFile customers(kCustomers, path("left.dat"));
    EXPECT_EXIT(
        {
            if (customers.call(OP_OPEN_EXTEND) == "00")
                customers.write("100200BJORN     OSLO  ");
            // exit() leaves these in place for the exit handler.
            platform::FaultPlan plan = disk_full();
            platform::ScopedFaultPlan scope(plan);
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^KVRFH: cannot close .*/left\\.dat at the end of the run: status 30.*\n$");

    ProgramFile file(kSequential10, path("parent.dat"));
    const std::string record = record_of(kSequential10);
    ASSERT_EQ(in_order({file.call(OP_OPEN_OUTPUT), file.write(record)}), "00 00");
    const auto size_before = std::filesystem::file_size(path("parent.dat"));  // still buffered
    EXPECT_EXIT(std::exit(0), testing::ExitedWithCode(0), "^$");              // a forked child
    EXPECT_EQ(std::filesystem::file_size(path("parent.dat")), size_before);
    EXPECT_EQ(file.close(), "00");
    EXPECT_EQ(read_all(file), std::vector<std::string>{record});
}

// OPEN of a file another program made: OUTPUT makes it anew whatever was
// there, as COBOL does, saying nothing; every failed OPEN prints one line:
// the file, the statement, the status and the reason in words.
TEST_F(HandlerTest, OpenSaysWhyItFailsAndOutputMakesAnyFileAnew) {
    const std::string why = path("why.dat");
    enum Existing { kNothing, kDirectory, kLeftOpen };
    struct Case {
        // What is there: the file a program of the layout made, or these bytes.
        std::variant<Existing, Layout, std::string> existing;
        Layout layout;
        unsigned op;
        std::string said;  // nothing: opened and used
        // What the key definition block says instead.
        std::function<void(ProgramFile&)> lie = nullptr;
    };
    const std::string kText(200, 'x');
    const auto keyless = [](ProgramFile& f) { f.fcd().kdbPtr = nullptr; };
    const auto keys = [](std::vector<KeySpec> layout) {
        return [=](ProgramFile& f) { f.keys(layout); };
    };
    const Case cases[] = {
        {kSequential10, kCustomers, OP_OPEN_OUTPUT, ""},
        {kCustomers, kSequential10, OP_OPEN_OUTPUT, ""},
        {kText, kCustomers, OP_OPEN_OUTPUT, ""},
        {"hello\n", kSequential10, OP_OPEN_OUTPUT, ""},
        {kNothing, kOneKey, OP_OPEN_OUTPUT, "", keys({{{{0, 3}, {3, 3}}}})},
        {kNothing, kCustomers, OP_OPEN_INPUT, "35: the file does not exist"},
        {kSequential10, kSequential20, OP_OPEN_INPUT,
         "39: record length 20 in the program, 10 in the file"},
        {kSequential10, kSequentialVariable, OP_OPEN_EXTEND,
         "39: variable-length records of 5 to 10 bytes in the program, fixed-length records of 10 "
         "bytes in the file"},
        {kRelative10, kRelative12, OP_OPEN_IO,
         "39: record length 12 in the program, 10 in the file"},
        {kCustomers, kLongerCustomers, OP_OPEN_INPUT,
         "39: record length 30 in the program, 22 in the file"},
        {kCustomers, kOneKey, OP_OPEN_INPUT, "39: 1 key in the program, 2 in the file"},
        {kCustomers, kCityElsewhere, OP_OPEN_IO,
         "39: alternate key 1 is bytes 11 to 16 in the program, bytes 17 to 22 in the file"},
        {kCityUnique, kCustomers, OP_OPEN_EXTEND,
         "39: alternate key 1 allows duplicates in the program, not in the file"},
        {kCustomers, kCityUnique, OP_OPEN_INPUT,
         "39: alternate key 1 allows duplicates in the file, not in the program"},
        {kCityUnique, kCustomers, OP_OPEN_OUTPUT, ""},
        {kSequential10, kCustomers, OP_OPEN_INPUT,
         "39: it is a sequential file; the program has an indexed file"},
        {kSequential10, kRelative10, OP_OPEN_INPUT,
         "39: it is a sequential file; the program has a relative file"},
        {kCustomers, kSequential10, OP_OPEN_INPUT,
         "39: it is an indexed or relative file; the program has a sequential file"},
        {kRelative10, kCustomers, OP_OPEN_INPUT,
         "39: it is a relative file; the program has an indexed file"},
        {kCustomers, kRelative10, OP_OPEN_INPUT,
         "39: it is an indexed file; the program has a relative file"},
        {kText, kCustomers, OP_OPEN_IO, "39: it is not a KVR file, or its header is damaged"},
        {"hello\n", kSequential10, OP_OPEN_INPUT, "91: it is too short to be a KVR file"},
        {"", kSequential10, OP_OPEN_INPUT, "30: the file is empty, not a KVR file"},
        {kDirectory, kCustomers, OP_OPEN_OUTPUT, "91: it is not a regular file"},
        // Left mid-update, with a user's own file of the journal's name.
        {kLeftOpen, kCustomers, OP_OPEN_IO,
         "39: was left open by a program that ended without closing it, and its journal " + why +
             ".kvrj is left alone: it is not a journal of this system; run kvr rebuild " + why},
        // Keys this file system cannot keep; no file is made.
        {kNothing, kCustomers, OP_OPEN_OUTPUT,
         "91: alternate key 1 is made of 2 separate parts; a key must be one run of bytes of the "
         "record",
         keys({{{{0, 6}}}, {{{16, 3}, {10, 3}}}})},
        {kNothing, kCustomers, OP_OPEN_OUTPUT,
         "91: alternate key 1 has SUPPRESS WHEN, which this file system cannot keep",
         keys({{{{0, 6}}}, {{{16, 6}}, true, true}})},
        {kNothing, kCustomers, OP_OPEN_OUTPUT, "91: the record key lies outside the record",
         keys({{{{0xFFFFFFF0u, 0x20}}}})},
        {kNothing, kCustomers, OP_OPEN_OUTPUT, "91: the program gave no record key", keyless},
        {kCustomers, kCustomers, OP_OPEN_INPUT, "91: the program gave no record key", keyless},
        {kCustomers, kCustomers, OP_OPEN_IO,
         "91: the key definition block names 200 keys (1 to 64 can be kept)",
         [](ProgramFile& f) { put_u16(f.fcd().kdbPtr->nkeys, 200); }},
        {kCustomers, kCustomers, OP_OPEN_INPUT,
         "91: alternate key 1 is not described in the key definition block",
         [](ProgramFile& f) {
             put_u16(f.fcd().kdbPtr->key[1].offset, kvr::bridge::get_u16(f.fcd().kdbPtr->kdbLen));
         }},
        {kCustomers, kCustomers, OP_OPEN_EXTEND,
         "91: the key definition block says it is 65535 bytes long; its keys take 66",
         [](ProgramFile& f) {
             put_u16(f.fcd().kdbPtr->kdbLen, 0xFFFF);
             put_u16(f.fcd().kdbPtr->key[1].offset, 0x8000);
         }},
        {kCustomers, kKeyPastRecord, OP_OPEN_INPUT, "91: alternate key 1 lies outside the record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        const auto* existing = std::get_if<Existing>(&c.existing);
        const auto is = [&](Existing kind) { return existing != nullptr && *existing == kind; };
        if (const auto* layout = std::get_if<Layout>(&c.existing))
            make(*layout, "why.dat");
        else if (const auto* bytes = std::get_if<std::string>(&c.existing))
            write_file(why, *bytes);
        else if (is(kDirectory))
            std::filesystem::create_directory(why);
        else if (is(kLeftOpen)) {
            make(kCustomers, "why.dat");
            patch_file(why, 36, "KVRU", 4);
            write_file(path("why.dat.kvrj"), "my own notes\n");
        }
        ProgramFile file(c.layout, why);
        if (c.lie != nullptr)
            c.lie(file);
        testing::internal::CaptureStderr();
        const std::string status = file.call(c.op);
        const std::string said = testing::internal::GetCapturedStderr();
        if (c.said.empty()) {
            file.relative_key(1);
            EXPECT_EQ(in_order({status, said, file.write(record_of(c.layout)), file.close()}),
                      "00  00 00");
            EXPECT_EQ(read_all(file), std::vector<std::string>{record_of(c.layout)});
            EXPECT_TRUE(file.guards_intact());
        } else {
            // The OPENs' operation codes follow one another from OPEN INPUT.
            const std::string opens[] = {"INPUT", "OUTPUT", "I-O", "EXTEND"};
            EXPECT_EQ(said, "KVRFH: cannot open " + why + " (OPEN " + opens[c.op - OP_OPEN_INPUT] +
                                ", status " + c.said.substr(0, 2) + ")" + c.said.substr(2) + "\n");
            EXPECT_EQ(file.fcd().openMode, OPEN_NOT_OPEN);
            EXPECT_EQ(std::filesystem::exists(why), !is(kNothing));
        }
        if (is(kLeftOpen)) {
            EXPECT_EQ(read_file(path("why.dat.kvrj")), "my own notes\n");
        }
        std::filesystem::remove(why);
        std::filesystem::remove(path("why.dat.kvrj"));
    }
}

// Each statement is traced with its name and status: verbs out of place
// give theirs, operations this system does not offer are refused open or
// not, and CLOSE WITH LOCK locks out that connector only.
TEST_F(HandlerTest, TraceNamesEachStatement) {
    ProgramFile file(kCustomers, path("traced.dat"));
    ::setenv("KVRFH_TRACE", "1", 1);
    testing::internal::CaptureStderr();
    file.set("100100ANNA      BERGEN");
    put_u16(file.fcd().effKeyLen, 6);
    // Each operation, the options of the CLOSEs in turn; after a CLOSE,
    // GnuCOBOL gives the next verb a new FCD.
    const unsigned ops[] = {
        OP_READ_SEQ,      OP_START_GE,    OP_WRITE,      OP_REWRITE, OP_DELETE,   OP_CLOSE,
        OP_READ_POSITION, OP_OPEN_OUTPUT, OP_OPEN_INPUT, 0x0006u,    0xFAF2u,     OP_WRITE,
        OP_CLOSE,         OP_CLOSE_REEL,  OP_CLOSE,      OP_OPEN_IO, OP_START_GE, OP_READ_SEQ,
        OP_READ_PREV,     OP_READ_PREV,   OP_READ_RAN,   OP_DELETE,  OP_CLOSE,    OP_OPEN_INPUT,
        OP_CLOSE,         OP_OPEN_INPUT};
    const uint32_t options[] = {0, COB_CLOSE_UNIT, 0, COB_CLOSE_NO_REWIND, COB_CLOSE_LOCK};
    size_t closes = 0;
    for (unsigned op : ops) {
        file.call(op, op == OP_CLOSE ? options[closes++] : 0);
        if (op == OP_CLOSE || op == OP_CLOSE_REEL)
            file.renew_fcd();
    }
    const std::string trace = testing::internal::GetCapturedStderr();
    ::unsetenv("KVRFH_TRACE");

    // Each line ends with what its status means, and the library's message
    // when it has one to add.
    std::vector<std::string> seen;
    const std::regex line("KVRFH \\S+ (.+?) +status (\\d\\d)  \\(([a-z][^;)]+)(; [^)]*)?\\)\n");
    for (std::sregex_iterator it(trace.begin(), trace.end(), line), end; it != end; ++it)
        seen.push_back((*it)[1].str() + " " + (*it)[2].str());
    EXPECT_THAT(trace, HasSubstr("READ PREVIOUS          status 46  (no next record: the READ "
                                 "before it found none, or failed)\n"));
    EXPECT_THAT(trace, HasSubstr("status 47  (the file is not open INPUT or I-O)"));
    EXPECT_EQ(
        seen,
        (std::vector<std::string>{
            "READ NEXT 47",       "START >= 47",       "WRITE 48",           "REWRITE 49",
            "DELETE 49",          "CLOSE 42",          "operation FAF1 91",  "OPEN OUTPUT 00",
            "OPEN INPUT 41",      "operation 0006 91", "operation FAF2 91",  "WRITE 00",
            "CLOSE REEL/UNIT 07", "CLOSE REEL 07",     "CLOSE 00",           "OPEN I-O 00",
            "START >= 00",        "READ NEXT 00",      "READ PREVIOUS 10",   "READ PREVIOUS 46",
            "READ KEY 00",        "DELETE 00",         "CLOSE NO REWIND 07", "OPEN INPUT 00",
            "CLOSE WITH LOCK 00", "OPEN INPUT 38"}))
        << trace;
    EXPECT_EQ(file.fcd().openMode, OPEN_NOT_OPEN);
    ProgramFile other(kCustomers, path("traced.dat"));
    EXPECT_EQ(read_all(other), std::vector<std::string>{});

    // An FCD still carrying the handle of a file closed through another FCD
    // names no file: it is not open.
    ProgramFile first(kRelative10, path("handed.dat"));
    ProgramFile second(kRelative10, path("handed.dat"));
    ASSERT_EQ(first.call(OP_OPEN_OUTPUT), "00");
    second.fcd().fileHandle = first.fcd().fileHandle;
    first.relative_key(1);
    EXPECT_EQ(in_order({second.close(), first.call(OP_READ_SEQ),
                        first.write(record_of(kRelative10)), first.call(OP_DELETE), first.close()}),
              "00 47 48 49 42");
}

// The tables every engine runs, through KVRFH.
class HandlerScenarios : public kvr::test::TempDirTest,
                         public ::testing::WithParamInterface<kvr::test::Scenario> {};
TEST_P(HandlerScenarios, ThroughKvrfh) {
    kvr::test::run_scenario(ProgramFile::make, GetParam(), path("scenario.dat"));
}
INSTANTIATE_TEST_SUITE_P(Tables, HandlerScenarios, ::testing::ValuesIn(kvr::test::verb_scenarios()),
                         [](const auto& scenario) { return scenario.param.name; });

}  // namespace
