// The COBOL verbs on indexed files, driven as a runtime drives them.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/fault_injection.h"
#include "verbs/verb_fixture.h"

namespace kvr::test {
namespace {

// Customer records of 30 bytes: number (6) at 0, name (4) at 6, region
// (3, duplicates) at 10, then filler.
class IndexedVerbs : public VerbTest {
protected:
    void SetUp() override {
        VerbTest::SetUp();
        file_ = std::make_unique<VerbFile>(VMQ_ORG_INDEXED, path("customers.idx"), 30);
        file().add_key(0, 6);
        file().add_key(6, 4);
        file().add_key(10, 3, true);
    }
    VerbFile& file() { return *file_; }
    // A second program's view of the same file.
    std::unique_ptr<VerbFile> another(uint32_t record_length = 30) {
        auto other =
            std::make_unique<VerbFile>(VMQ_ORG_INDEXED, path("customers.idx"), record_length);
        other->add_key(0, 6);
        other->add_key(6, 4);
        other->add_key(10, 3, true);
        return other;
    }
    void load(std::initializer_list<const char*> records) {
        ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
        for (const char* r : records)
            ASSERT_LE(file().write(r), "02") << r;
        ASSERT_EQ(file().close(), "00");
    }

    std::unique_ptr<VerbFile> file_;
};

TEST_F(IndexedVerbs, OpenOfAbsentFiles) {
    EXPECT_THAT(file().told(file().open(VMQ_OPEN_INPUT)),
                StartsWith("35 001003,File does not exist"));
    EXPECT_EQ(file().fcb().open_entry, _vmqBIndexOpen);  // still closed

    file().description().file_flags = VMQ_FILE_OPTIONAL;
    EXPECT_EQ(file().open(VMQ_OPEN_INPUT), "05");
    EXPECT_EQ(read_file(path("customers.idx")), "");  // nothing created
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "10");      // the runtime answers: at end
    EXPECT_EQ(file().close(), "00");

    EXPECT_EQ(file().open(VMQ_OPEN_IO), "05");  // created
    EXPECT_EQ(
        in_order({file().write("000001JOHNNYC"), file().close(), file().open(VMQ_OPEN_INPUT)}),
        "00 00 00");
    EXPECT_THAT(file().next(), StartsWith("00 000001JOHNNYC"));
    EXPECT_EQ(file().fcb().key_of_reference, 1);
    EXPECT_EQ(file().close(), "00");
}

// A file of no bytes is what a run that died right after OPEN OUTPUT made
// it leaves: INPUT and I-O say what it is, OUTPUT makes it anew. An open
// request that names no mode opens nothing.
TEST_F(IndexedVerbs, OpenOfAnEmptyFileOrOfNoMode) {
    const std::string name = path("customers.idx");
    write_file(name, "");
    for (const uint16_t request : {VMQ_OPEN_INPUT, VMQ_OPEN_IO, VMQ_OPEN_EXTEND}) {
        SCOPED_TRACE(request);
        EXPECT_THAT(file().told(file().open(request)),
                    StartsWith("30 001009,Empty file, not a KVR file"));
        EXPECT_EQ(file().fcb().open_entry, _vmqBIndexOpen);
    }
    EXPECT_THAT(file().told(file().open(0)), StartsWith("30 001010,Invalid open mode"));
    EXPECT_EQ(file().fcb().open_entry, _vmqBIndexOpen);
    EXPECT_EQ(read_file(name), "");

    EXPECT_EQ(in_order({file().open(VMQ_OPEN_OUTPUT), file().write("000001JOHNNYC"), file().close(),
                        file().open(VMQ_OPEN_INPUT)}),
              "00 00 00 00");
    EXPECT_THAT(file().next(), StartsWith("00 000001JOHNNYC"));
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, AttributeMismatchesGive39WithTheFilesAttributes) {
    load({"000001JOHNNYC"});
    auto fewer_keys = std::make_unique<VerbFile>(VMQ_ORG_INDEXED, path("customers.idx"), 30);
    fewer_keys->add_key(0, 6);
    EXPECT_EQ(fewer_keys->open(VMQ_OPEN_INPUT), "39");
    const std::string text =
        "001004,Number of keys differ,fixed length 30 30,3 keys,(1 6),(7 4),(11 3 DUPOK)";
    EXPECT_EQ(fewer_keys->message(), text + std::string(80 - text.size(), ' '));
    EXPECT_EQ(fewer_keys->fcb().open_entry, _vmqBIndexOpen);

    auto longer = another(31);
    EXPECT_THAT(longer->told(longer->open(VMQ_OPEN_IO)),
                StartsWith("39 001005,Record lengths differ"));

    auto variable = another();
    variable->description().record_flags = VMQ_RECORD_VARIABLE;
    EXPECT_THAT(variable->told(variable->open(VMQ_OPEN_INPUT)),
                StartsWith("39 001006,Record types differ"));

    auto moved = another();
    moved->program().key(1).position = 5;
    EXPECT_THAT(moved->told(moved->open(VMQ_OPEN_OUTPUT)),
                StartsWith("39 001007,Key length or position differs"));

    // None of them touched the file; a different minimum length is no
    // mismatch.
    auto shorter_minimum = another();
    shorter_minimum->description().min_record_length = 13;
    EXPECT_EQ(in_order({shorter_minimum->open(VMQ_OPEN_INPUT), shorter_minimum->read(VMQ_READ_NEXT),
                        shorter_minimum->close()}),
              "00 00 00");
}

TEST_F(IndexedVerbs, OpenOutputEmptiesAMatchingFile) {
    load({"000001JOHNNYC", "000002MARYNYC"});
    EXPECT_THAT(file().told(file().open(VMQ_OPEN_OUTPUT)),
                StartsWith("00 000009,End of file"));  // position read
    EXPECT_EQ(in_order({file().close(), file().open(VMQ_OPEN_INPUT), file().read(VMQ_READ_NEXT),
                        file().close()}),
              "00 00 10 00");

    // A file as a program that died while updating it leaves it: refused
    // with the reason, until it is rebuilt; OUTPUT, which throws the
    // contents away, replaces it.
    const std::string name = path("customers.idx");
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    ASSERT_EQ(file().write("000003ANNLAX"), "00");
    const std::string as_a_crash_leaves_it = read_file(name);
    ASSERT_EQ(file().close(), "00");
    write_file(name, as_a_crash_leaves_it);
    const std::string left_open = "000030,Left open by a program that never closed it";
    for (const uint16_t request : {VMQ_OPEN_INPUT, VMQ_OPEN_IO, VMQ_OPEN_EXTEND}) {
        EXPECT_EQ(file().open(request), "39") << request;
        EXPECT_EQ(file().message().substr(0, left_open.size()), left_open);
    }
    EXPECT_EQ(in_order({file().open(VMQ_OPEN_OUTPUT), file().write("000004BOBLAX"), file().close(),
                        file().open(VMQ_OPEN_INPUT)}),
              "00 00 00 00");
    EXPECT_THAT(file().next(), StartsWith("00 000004BOBLAX"));
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "10");
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, SharingAndAccessFailures) {
    load({"000001JOHNNYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    auto second = another();
    EXPECT_EQ(second->open(VMQ_OPEN_INPUT), "98");
    EXPECT_EQ(file().close(), "00");

    platform::FaultPlan plan;
    plan.kinds = platform::FaultPlan::kOpen;
    plan.fail_at = 1;
    plan.error = platform::ERROR_ACCESS_DENIED;
    platform::ScopedFaultPlan scope(plan);
    EXPECT_THAT(second->told(second->open(VMQ_OPEN_INPUT)), StartsWith("91 000015,Access denied"));
}

TEST_F(IndexedVerbs, SequentialReadingAndStart) {
    load({"000010ANNABOS", "000020BERTNYC", "000030CARLBOS", "000040DORANYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_INPUT), "00");
    EXPECT_THAT(file().next(), StartsWith("00 000010"));
    EXPECT_THAT(file().next(), StartsWith("00 000020"));

    // START between two keys, then READ NEXT delivers the higher one.
    EXPECT_EQ(file().start(VMQ_START_NOT_LESS, "000025", 6), "00");
    EXPECT_EQ(file().fcb().read_length, 0u);
    EXPECT_THAT(file().next(), StartsWith("00 000030"));
    EXPECT_THAT(file().next(VMQ_READ_PREVIOUS), StartsWith("00 000020"));
    // Right after START, READ PREVIOUS delivers the record START found.
    EXPECT_EQ(file().start(VMQ_START_NOT_GREATER, "000035", 6), "00");
    EXPECT_THAT(file().next(VMQ_READ_PREVIOUS), StartsWith("00 000030"));
    EXPECT_THAT(file().next(VMQ_READ_PREVIOUS), StartsWith("00 000020"));
    // Open INPUT, WRITE is refused by the runtime, not tried on the file.
    EXPECT_EQ(file().write("000050EVE NYC"), "48");

    // By the region key: 02 while another record with the value follows.
    file().fcb().key_of_reference = 3;
    EXPECT_THAT(file().got(file().read_key("          BOS", VMQ_KEY_IS)), StartsWith("02 000010"));
    EXPECT_THAT(file().next(), StartsWith("00 000030"));
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "02");  // NYC, NYC
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "00");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "10");
    EXPECT_NE(file().fcb().state_flags & VMQ_AT_END, 0u);
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "46");

    // A random READ that misses makes the position undefined.
    file().fcb().key_of_reference = 1;
    EXPECT_EQ(in_order({file().read_key("000015"), file().read(VMQ_READ_NEXT),
                        file().read_key("000020")}),
              "23 46 00");
    EXPECT_THAT(file().next(), StartsWith("00 000030"));
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, PartialKeyStart) {
    load({"AAAAA0JOHNNYC", "ABXYZ0MARYNYC", "ABZZZ0ANNANYC", "ACQQQ0BOBBNYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_INPUT), "00");
    struct Case {
        uint32_t relation;
        const char* key;
        const char* status;
        const char* next;
    } cases[] = {
        {VMQ_START_GREATER, "AB", "00", "ACQQQ0"},  // skips every key beginning AB
        {VMQ_START_EQUAL, "AB", "00", "ABXYZ0"},       {VMQ_START_EQUAL, "AD", "23", nullptr},
        {VMQ_START_NOT_LESS, "AB", "00", "ABXYZ0"},    {VMQ_START_LESS, "AB", "00", "AAAAA0"},
        {VMQ_START_NOT_GREATER, "AB", "00", "AAAAA0"}, {VMQ_START_GREATER, "AC", "23", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(file().start(c.relation, c.key, 2), c.status);
        if (c.next != nullptr) {
            EXPECT_EQ(file().read(VMQ_READ_NEXT), "00");
            EXPECT_EQ(file().record().substr(0, 6), c.next);
        } else {
            EXPECT_EQ(file().read(VMQ_READ_NEXT), "46");
        }
    }
    // A key length beyond the key is the whole key.
    EXPECT_EQ(file().start(VMQ_START_EQUAL, "ABZZZ0", 200), "00");
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, AreaBoundsGive04) {
    load({"000001JOHNNYC"});
    file().description().min_area_length = 10;
    file().description().max_area_length = 20;
    ASSERT_EQ(file().open(VMQ_OPEN_INPUT), "00");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "04");
    EXPECT_EQ(file().fcb().read_length, 30u);
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, SequentialAccessUpdates) {
    file().description().access_flags = VMQ_ACCESS_SEQUENTIAL;
    ASSERT_EQ(file().open(VMQ_OPEN_OUTPUT), "00");
    EXPECT_EQ(file().write("000010ANNABOS"), "00");
    EXPECT_EQ(file().write("000005BERTNYC"), "21");  // out of sequence
    EXPECT_EQ(file().write("000010CARLBOS"), "22");  // equal to the last
    EXPECT_EQ(file().write("000020ANNANYC"), "22");  // the name key is unique
    EXPECT_EQ(in_order({file().write(std::string(31, 'X')), file().write("000020DORABOS"),
                        file().close()}),
              "44 02 00");

    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    EXPECT_EQ(file().rewrite("000010ANNABOS"), "43");  // nothing read yet
    EXPECT_EQ(in_order({file().read(), file().rewrite("000010ANNAxxxchanged"), file().read(),
                        file().remove()}),
              "00 00 00 00");
    EXPECT_EQ(file().remove(), "43");  // a second DELETE needs a new READ
    EXPECT_EQ(file().read(), "10");
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, RandomRewriteAndDeleteKeepThePosition) {
    load({"000010ANNABOS", "000020BERTNYC", "000030CARLBOS", "000035FRANBOS", "000040DORANYC",
          "000050EVA NYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    ASSERT_EQ(file().read(VMQ_READ_NEXT), "00");
    ASSERT_EQ(file().read(VMQ_READ_NEXT), "00");  // at 000020
    EXPECT_EQ(file().rewrite("000040DORALAX"), "00");
    EXPECT_EQ(file().rewrite("000045NOONLAX"), "23");
    EXPECT_THAT(file().next(), StartsWith("00 000030"));
    file().set_record("000040");
    EXPECT_EQ(file().remove(), "00");
    EXPECT_THAT(file().next(), StartsWith("00 000035"));
    // Deleting the current record: READ NEXT goes on after it.
    file().set_record("000035");
    EXPECT_EQ(file().remove(), "00");
    EXPECT_THAT(file().next(), StartsWith("00 000050"));
    // A DELETE by an alternate key takes the record the prime key names.
    file().fcb().key_of_reference = 3;
    file().set_record("000010    BOS");
    EXPECT_EQ(file().remove(), "00");
    file().fcb().key_of_reference = 1;
    EXPECT_EQ(file().read_key("000010"), "23");
    EXPECT_EQ(file().close(), "00");
}

// The file position indicator is the one COBOL defines: a WRITE, refused
// or not, leaves it alone; after the current record is deleted READ NEXT
// and READ PREVIOUS go on from where it was; DELETE takes the record whose
// prime key is in the record area, whatever the key of reference.
TEST_F(IndexedVerbs, FilePositionAcrossWriteAndDelete) {
    load({"000010ANNABOS", "000020BERTNYC", "000030CARLBOS", "000040DORALAX", "000050EMILNYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_IO), "00");
    auto next_is = [&](uint32_t options, const char* key) {
        EXPECT_EQ(file().read(options), "00") << key;
        EXPECT_EQ(file().record().substr(0, 6), key);
    };
    next_is(VMQ_READ_NEXT, "000010");
    next_is(VMQ_READ_NEXT, "000020");
    EXPECT_EQ(file().write("000045FREDLAX"), "02");  // LAX again
    next_is(VMQ_READ_NEXT, "000030");
    EXPECT_EQ(file().write("000020GINABOS"), "22");  // an existing prime key
    EXPECT_EQ(file().write("000060CARLBOS"), "22");  // an existing unique name
    next_is(VMQ_READ_NEXT, "000040");
    next_is(VMQ_READ_PREVIOUS, "000030");

    EXPECT_EQ(file().read_key("000040"), "00");
    EXPECT_EQ(file().remove(), "00");
    next_is(VMQ_READ_PREVIOUS, "000030");
    EXPECT_EQ(file().read_key("000030"), "00");
    EXPECT_EQ(file().remove(), "00");
    next_is(VMQ_READ_NEXT, "000045");

    // By name: ANNA BERT EMIL FRED. Standing on BERT, the record in the
    // area names 000050 (EMIL): that one goes, and the names go on after BERT.
    file().fcb().key_of_reference = 2;
    EXPECT_EQ(file().start(VMQ_START_EQUAL | VMQ_KEY_IS, "      BERT", 4), "00");
    next_is(VMQ_READ_NEXT, "000020");
    file().set_record("000050");
    EXPECT_EQ(file().remove(), "00");
    next_is(VMQ_READ_NEXT, "000045");
    EXPECT_EQ(file().read(VMQ_READ_NEXT), "10");
    file().fcb().key_of_reference = 1;
    EXPECT_EQ(file().read_key("000050"), "23");
    EXPECT_EQ(file().close(), "00");
}

TEST_F(IndexedVerbs, CloseWithLockAndReleaseOnly) {
    load({"000001JOHNNYC"});
    ASSERT_EQ(file().open(VMQ_OPEN_INPUT), "00");
    EXPECT_EQ(file().close(VMQ_CLOSE_WITH_LOCK), "00");
    EXPECT_EQ(file().fcb().open_entry, _vmqOpenError);
    EXPECT_EQ(file().fcb().read_entry, _vmqReadError);
    EXPECT_EQ(file().fcb().last_close_options, VMQ_CLOSE_WITH_LOCK);
    EXPECT_EQ(file().open(VMQ_OPEN_INPUT), "38");

    auto other = another();
    ASSERT_EQ(other->open(VMQ_OPEN_INPUT), "00");
    other->fcb().status = 77;
    other->close(VMQ_CLOSE_RELEASE_ONLY);
    EXPECT_EQ(other->fcb().status, 77);  // nothing reported
    EXPECT_EQ(other->fcb().close_entry, _vmqBIndexClose);
    EXPECT_EQ(other->fcb().engine_handle, nullptr);
    // The engine file is closed all the same: the file opens for update.
    auto writer = another();
    EXPECT_EQ(writer->open(VMQ_OPEN_IO), "00");
    EXPECT_EQ(writer->close(), "00");
    // A verb through the stale vector is refused safely.
    EXPECT_EQ(other->read(VMQ_READ_NEXT), "47");
}

// The file system fills up under a program. A WRITE whose record cannot
// reach the file gives 30 and changes nothing; every WRITE that gave 00 is
// in the file; a CLOSE that cannot write reports 30 (not the status of the
// verb before), keeps the file open, and succeeds once there is room.
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
    {
        platform::FaultPlan dead;
        dead.kinds = platform::FaultPlan::kWrite;
        dead.fail_at = 1;
        dead.sticky = true;
        platform::ScopedFaultPlan scope(dead);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_THAT(file().told(file().close()), StartsWith("30 000002,Input-output error"));
            EXPECT_EQ(file().fcb().open_mode, VMQ_OPEN_OUTPUT);
            EXPECT_EQ(file().fcb().close_entry, _vmqBIndexClose);
        }
    }
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
        // A random DELETE goes by the prime key, whatever the key of
        // reference (FilePositionAcrossWriteAndDelete).
    }

    fcb.key_of_reference = 1;
    unsigned char* area = fcb.record_area;
    fcb.record_area = nullptr;
    const std::string refused = "001008,No record area";
    EXPECT_THAT(file().told(file().read_key("000010")), StartsWith("30 " + refused));
    EXPECT_EQ(in_order({file().start(VMQ_START_NOT_LESS, "000010", 6),
                        file().write("000030CARLBOS"), file().rewrite("000010ANNALAX")}),
              "30 30 30");
    EXPECT_THAT(file().told(file().remove()), StartsWith("30 " + refused));
    fcb.record_area = area;

    // Nothing was changed.
    EXPECT_EQ(file().read_key("000030"), "23");
    EXPECT_THAT(file().got(file().read_key("000010")), StartsWith("00 000010ANNABOS"));
    EXPECT_THAT(file().next(), StartsWith("00 000020"));
    EXPECT_EQ(file().close(), "00");
}

// A variable-length record that ends before the last key does is a record
// of the wrong length (44), refused before the engine sees it; one that
// holds every key is written.
TEST_F(IndexedVerbs, RecordShorterThanItsKeysGives44) {
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
    ASSERT_EQ(file().read(VMQ_READ_NEXT), "00");
    EXPECT_EQ(file().record(), "000010ANNABOS");
    file().fcb().write_length = 12;
    EXPECT_THAT(file().told(file().call(file().fcb().rewrite_entry)),
                StartsWith("44 000014,Record too short"));
    EXPECT_EQ(file().close(), "00");
}

}  // namespace
}  // namespace kvr::test
