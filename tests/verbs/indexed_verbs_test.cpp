// The COBOL verbs on indexed files, driven as a runtime drives them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/fault_injection.h"
#include "verbs/scenarios.h"
#include "verbs/verb_fixture.h"

namespace kvr::test {
namespace {

// Customer records of 30 bytes: number (6) at 0, name (4) at 6, region
// (3, duplicates) at 10, then filler.
class IndexedVerbs : public VerbTest {
protected:
    void SetUp() override {
        VerbTest::SetUp();
        file_ = customers();
    }
    VerbFile& file() { return *file_; }
    // A program's view of the customer file.
    std::unique_ptr<VerbFile> customers() {
        auto file = std::make_unique<VerbFile>(VMQ_ORG_INDEXED, path("customers.idx"), 30);
        file->add_key(0, 6);
        file->add_key(6, 4);
        file->add_key(10, 3, true);
        return file;
    }
    void load(std::initializer_list<const char*> records) {
        ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
        for (const char* r : records)
            ASSERT_LE(file().write(r), "02") << r;
        ASSERT_EQ(file().close(), "00");
    }

    std::unique_ptr<VerbFile> file_;
};

// A refused OPEN says why, leaves the connector closed and the file (or its
// absence) as it was. A file a program killed mid-update left is refused
// until it is rebuilt; OUTPUT makes it, or an empty file, anew.
TEST_F(IndexedVerbs, RefusedOpensSayWhyAndTouchNothing) {
    const std::string name = path("customers.idx");
    load({"000001JOHNNYC"});
    const std::string made = read_file(name);
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    ASSERT_EQ(file().write("000003ANNLAX"), "00");
    const std::string left_open = read_file(name);
    ASSERT_EQ(file().close(), "00");
    const std::string empty;
    const std::string keys = "fixed length 30 30,3 keys,(1 6),(7 4),(11 3 DUPOK)";
    const std::string never_closed = "39 000030,Left open by a program that never closed it";
    const std::function<void(VerbFile&)> same = [](VerbFile&) {};
    struct Case {
        const std::string* contents;  // nullptr: no file
        std::function<void(VerbFile&)> program;
        uint16_t request;
        std::string told;
        std::string beside = "";  // the file of the journal's name, when not empty
    } cases[] = {
        {nullptr, same, VMQ_OPEN_INPUT, "35 001003,File does not exist"},
        {&empty, same, VMQ_OPEN_INPUT, "30 001009,Empty file, not a KVR file"},
        {&empty, same, VMQ_OPEN_IO, "30 001009,Empty file, not a KVR file"},
        {&empty, same, 0, "30 001010,Invalid open mode"},
        {&made, [](VerbFile& f) { f.description().key_count = 1; }, VMQ_OPEN_INPUT,
         "39 001004,Number of keys differ," + keys},
        {&made,
         [](VerbFile& f) {
             vmq_file_description& d = f.description();
             d.max_record_length = d.min_record_length = d.max_area_length = d.min_area_length = 31;
         },
         VMQ_OPEN_IO, "39 001005,Record lengths differ"},
        {&made, [](VerbFile& f) { f.description().record_flags = VMQ_RECORD_VARIABLE; },
         VMQ_OPEN_INPUT, "39 001006,Record types differ"},
        {&made, [](VerbFile& f) { f.program().key(1).position = 5; }, VMQ_OPEN_OUTPUT,
         "39 001007,Key length or position differs"},
        {&left_open, same, VMQ_OPEN_INPUT, never_closed},
        {&left_open, same, VMQ_OPEN_IO, never_closed},
        // A file of the journal's name that is not the file's journal is
        // neither taken back nor removed; OPEN says so, as far as the
        // program's message area of 80 bytes holds it.
        {&left_open, same, VMQ_OPEN_IO,
         (never_closed + ",its journal is left alone: it is not a journal of this system")
             .substr(0, 3 + 80),
         "my own notes\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.told + " on open request " + std::to_string(c.request));
        if (c.contents == nullptr)
            std::filesystem::remove(name);
        else
            write_file(name, *c.contents);
        if (!c.beside.empty())
            write_file(name + ".kvrj", c.beside);
        auto program = customers();
        c.program(*program);
        EXPECT_THAT(program->told(program->open(c.request)), StartsWith(c.told));
        if (!c.beside.empty()) {
            EXPECT_EQ(read_file(name + ".kvrj"), c.beside);
            std::filesystem::remove(name + ".kvrj");
        }
        EXPECT_EQ(program->fcb().open_entry, _vmqBIndexOpen);
        if (c.contents == nullptr)
            EXPECT_FALSE(std::filesystem::exists(name));
        else
            EXPECT_EQ(read_file(name), *c.contents);
    }
    for (const std::string* contents : {&empty, &left_open}) {
        write_file(name, *contents);
        EXPECT_EQ(
            in_order({file().open(VMQ_OPEN_OUTPUT), file().write("000004BOBLAX"), file().close(),
                      file().open(VMQ_OPEN_INPUT), file().next().substr(0, 15),
                      file().read(VMQ_READ_NEXT), file().close()}),
            "00 00 00 00 00 000004BOBLAX 10 00");
    }

    // A different minimum length is no mismatch.
    auto shorter_minimum = customers();
    shorter_minimum->description().min_record_length = 13;
    EXPECT_EQ(in_order({shorter_minimum->open(VMQ_OPEN_INPUT), shorter_minimum->close()}), "00 00");

    // Nor a different duplicates rule: the file keeps its own.
    auto unique_region = customers();
    unique_region->program().key(2).flags = 0;
    EXPECT_EQ(in_order({unique_region->open(VMQ_OPEN_OUTPUT), unique_region->write("000001JOHNNYC"),
                        unique_region->close()}),
              "00 00 00");
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_IO), file().write("000002MARYNYC"), file().close()}),
              "00 22 00");

    // Access denied by the system.
    platform::FaultPlan plan;
    plan.kinds = platform::FaultPlan::kOpen;
    plan.fail_at = 1;
    plan.error = platform::ERROR_ACCESS_DENIED;
    platform::ScopedFaultPlan scope(plan);
    EXPECT_THAT(file().told(file().open(VMQ_OPEN_INPUT)), StartsWith("91 000015,Access denied"));
}

// A variable-length record that ends before the last key does is refused
// with 44 before the engine sees it, as is one longer than the file's; a
// record longer than the program's area is delivered whole with 04.
TEST_F(IndexedVerbs, RecordLengths) {
    file().description().record_flags = VMQ_RECORD_VARIABLE;
    file().description().min_record_length = file().description().min_area_length = 5;
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    file().set_record("000010ANNABOS");
    file().fcb().write_length = 12;  // the region key ends at 13
    EXPECT_THAT(file().told(file().call(file().fcb().write_entry)),
                StartsWith("44 000014,Record too short"));
    file().fcb().write_length = 13;
    EXPECT_EQ(file().call(file().fcb().write_entry), "00");
    EXPECT_EQ(file().close(), "00");

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    EXPECT_EQ(file().next(), "00 000010ANNABOS");
    file().fcb().write_length = 12;
    EXPECT_THAT(file().told(file().call(file().fcb().rewrite_entry)),
                StartsWith("44 000014,Record too short"));
    EXPECT_EQ(file().close(), "00");

    std::filesystem::remove(path("customers.idx"));
    auto fixed = customers();
    fixed->description().min_area_length = 10;
    fixed->description().max_area_length = 20;
    EXPECT_EQ(in_order({fixed->open(VMQ_OPEN_OUTPUT), fixed->write("000001JOHNNYC"),
                        fixed->write(std::string(31, 'X')), fixed->close(),
                        fixed->open(VMQ_OPEN_INPUT), fixed->read(VMQ_READ_NEXT),
                        std::to_string(fixed->fcb().read_length), fixed->close()}),
              "00 00 44 00 00 04 30 00");
}

// A release-only CLOSE reports nothing but closes the engine file: it
// opens for update; a verb through the stale vector is refused safely, as
// is one through a copy of an open FCB, whose slot is not its own, before
// and after the FCB it was copied from closes.
TEST_F(IndexedVerbs, ReleaseOnlyClose) {
    load({"000001JOHNNYC"});
    auto other = customers();
    ASSERT_EQ(other->open(VMQ_OPEN_INPUT), "00");
    other->fcb().status = 77;
    other->close(VMQ_CLOSE_RELEASE_ONLY);
    EXPECT_EQ(other->fcb().status, 77);
    EXPECT_EQ(other->fcb().close_entry, _vmqBIndexClose);
    EXPECT_EQ(other->fcb().engine_handle, nullptr);
    auto writer = customers();
    ASSERT_EQ(writer->open(VMQ_OPEN_IO), "00");
    vmq_fcb copy = writer->fcb();
    copy.write_length = 30;
    auto status_of = [&](vmq_verb_entry vmq_fcb::*entry) {
        (copy.*entry)(&copy, &writer->program().context);
        return std::to_string(copy.status);
    };
    EXPECT_EQ(in_order({status_of(&vmq_fcb::read_entry), writer->close(),
                        status_of(&vmq_fcb::read_entry), status_of(&vmq_fcb::write_entry),
                        status_of(&vmq_fcb::close_entry), other->read(VMQ_READ_NEXT)}),
              "47 00 47 48 42 47");
}

// The file system fills up under a program. A WRITE whose record cannot
// reach the file gives 30 and changes nothing; every WRITE that gave 00 is
// in the file.
TEST_F(IndexedVerbs, AFullDiskLosesNoAcknowledgedRecord) {
    auto customer = [](int n) {
        char r[16];
        std::snprintf(r, sizeof r, "%06dC%03dR%02d", n, n, n);
        return std::string(r);
    };
    const std::string name = path("customers.idx");
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    ASSERT_EQ(file().write(customer(1)), "00");
    const uint64_t used = std::filesystem::file_size(name);
    {
        // Room for ten more records (slots of 34 bytes) and part of one.
        FileSizeLimit full(used + 10 * 34 + 10);
        for (int n = 2; n <= 11; ++n)
            ASSERT_EQ(file().write(customer(n)), "00") << n;
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_THAT(file().told(file().write(customer(12))),
                        StartsWith("30 000002,Input-output error"));
            EXPECT_EQ(std::filesystem::file_size(name), used + 10 * 34);  // nothing cut short
        }
    }
    EXPECT_EQ(file().write(customer(12)), "00");
    EXPECT_EQ(file().close(), "00");
    ASSERT_EQ(file().open(VMQ_OPEN_INPUT), "00");
    for (int n = 1; n <= 12; ++n) {
        ASSERT_EQ(file().read(VMQ_READ_NEXT), "00") << n;
        EXPECT_EQ(file().record().substr(0, 13), customer(n));
    }
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "10");
    EXPECT_EQ(file().close(), "00");

    // At the largest size a file can have, a WRITE is refused with 30 before
    // anything is written, and the file stays sound: it closes and opens.
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    std::filesystem::resize_file(name, 0xFFFFFFFFu - 40);  // sparse: room for one slot
    EXPECT_EQ(file().write(customer(1)), "00");
    EXPECT_THAT(file().told(file().write(customer(2))), StartsWith("30 000011,No space"));
    EXPECT_EQ(in_order({file().close(), file().open(VMQ_OPEN_INPUT), file().read(VMQ_READ_NEXT),
                        file().read(VMQ_READ_NEXT), file().close()}),
              "00 00 00 10 00");
}

// A WRITE whose key needs a new index page where the disk has no room for
// one gives 30 and changes nothing, at any level of the trees; a CLOSE
// that cannot write what it holds gives 30, and the CLOSE after it, once
// there is room, writes it and gives 00. Every record that gave 00 is in
// the file. Indexed (the split in an alternate tree) and relative.
TEST_F(IndexedVerbs, AFullDiskAtASplitLosesNothingAndTheSecondCloseWritesIt) {
    for (const bool relative : {false, true}) {
        SCOPED_TRACE(relative ? "relative" : "indexed");
        const std::string name = path(relative ? "counters.rel" : "customers.idx");
        auto program = [&] {
            return relative ? std::make_unique<VerbFile>(VMQ_ORG_RELATIVE, name, 8) : customers();
        };
        auto record = [&](VerbFile& f, int n) {
            char r[16];
            std::snprintf(r, sizeof r, "%06dC%03dR%02d", n, n % 1000, n % 100);
            f.fcb().relative_number = static_cast<uint32_t>(n);
            return std::string(r, relative ? 8 : 13);
        };
        // The WRITEs that take a new index page: the file grows by a page.
        std::vector<int> splits;
        auto f = program();
        ASSERT_EQ(f->open(VMQ_OPEN_OUTPUT), "00");
        for (int n = 1; splits.size() < 4; ++n) {
            const auto before = std::filesystem::file_size(name);
            ASSERT_LE(f->write(record(*f, n)), "02");
            if (std::filesystem::file_size(name) - before > 200)
                splits.push_back(n);
        }
        ASSERT_EQ(f->close(), "00");
        for (const int split : splits) {
            std::filesystem::remove(name);
            ASSERT_EQ(f->open(VMQ_OPEN_OUTPUT), "00");
            for (int n = 1; n < split; ++n)
                ASSERT_LE(f->write(record(*f, n)), "02");
            {
                FileSizeLimit full(std::filesystem::file_size(name) + 100);
                EXPECT_EQ(f->write(record(*f, split)), "30") << split;
            }
            {
                platform::FaultPlan plan;
                plan.kinds = platform::FaultPlan::kWrite;
                plan.fail_at = 1;
                plan.sticky = true;
                plan.error = platform::ERROR_DISK_FULL;
                platform::ScopedFaultPlan scope(plan);
                EXPECT_EQ(f->close(), "30");
            }
            EXPECT_EQ(in_order({f->close(), f->open(VMQ_OPEN_INPUT)}), "00 00");
            int count = 0;
            while (f->read(VMQ_READ_NEXT) == "00")
                ++count;
            EXPECT_EQ(count, split - 1);
            EXPECT_EQ(f->close(), "00");
        }
    }
}

// Calls no runtime should make get a status and a message, never a crash
// and never a quiet success: a key of reference the file does not have (as
// a byte, 257 would pass for the prime key), and no record area.
TEST_F(IndexedVerbs, BadCallsGetAStatusAndAMessage) {
    load({"000010ANNABOS", "000020BERTNYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    vmq_fcb& fcb = file().fcb();
    for (uint16_t key : {4, 257, 65535}) {
        SCOPED_TRACE(key);
        fcb.key_of_reference = key;
        EXPECT_EQ(file().read_key("000010"), "00");  // by the prime key: no key of reference
        EXPECT_THAT(file().told(file().read(VMQ_READ_NEXT)),
                    StartsWith("20 000006,Invalid key number"));
        EXPECT_EQ(in_order({file().read_key("000010", VMQ_KEY_IS),
                            file().start(VMQ_START_EQUAL | VMQ_KEY_IS, "000010", 6),
                            file().write("000030CARLBOS")}),
                  "20 20 20");
    }

    fcb.key_of_reference = 1;
    const std::string refused = "30 001008,No record area";
    for (const std::function<std::string()>& verb : std::vector<std::function<std::string()>>{
             [&] { return file().read_key("000010"); },
             [&] { return file().start(VMQ_START_NOT_LESS, "000010", 6); },
             [&] { return file().write("000030CARLBOS"); },
             [&] { return file().rewrite("000010ANNALAX"); }, [&] { return file().remove(); }})
        EXPECT_THAT(file().without_area(verb), StartsWith(refused));

    // Nothing was changed.
    EXPECT_EQ(file().read_key("000030"), "23");
    EXPECT_EQ(in_order({file().got(file().read_key("000010")).substr(0, 16),
                        file().next().substr(0, 9), file().close()}),
              "00 000010ANNABOS 00 000020 00");
}

// The tables every engine runs, through the FCB's verb vector.
class VerbScenarios : public VerbTest, public ::testing::WithParamInterface<Scenario> {};
TEST_P(VerbScenarios, ThroughTheVerbVector) {
    run_scenario(VerbFile::make, GetParam(), path("scenario.dat"));
}
INSTANTIATE_TEST_SUITE_P(Tables, VerbScenarios, ::testing::ValuesIn(verb_scenarios()),
                         [](const auto& scenario) { return scenario.param.name; });

}  // namespace
}  // namespace kvr::test
