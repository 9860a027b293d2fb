// A COBOL program's view of one file: the FCB, the
// description and the record area, driven through the verb vector the way a
// runtime drives it, with the FILE STATUS and message the program sees.
#ifndef KVR_TESTS_VERBS_VERB_FIXTURE_H
#define KVR_TESTS_VERBS_VERB_FIXTURE_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "support/cobol_program.h"
#include "support/temp_dir.h"
#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::test {

using ::testing::StartsWith;

class VerbFile {
public:
    VerbFile(uint8_t organization, std::string name, uint32_t record_length)
        : program_(organization, 80), name_(std::move(name)), record_length_(record_length) {
        vmq_file_description& d = program_.description();
        d.max_record_length = d.min_record_length = record_length;
        d.max_area_length = d.min_area_length = record_length;
        fcb().file_name = name_.data();
        fcb().open_entry = organization == VMQ_ORG_RELATIVE     ? _vmqBRelativeOpen
                           : organization == VMQ_ORG_SEQUENTIAL ? _vmqBSeqOpen
                                                                : _vmqBIndexOpen;
        record_ = program_.make_record_area(record_length + 16);
    }

    vmq_fcb& fcb() { return program_.fcb; }
    vmq_file_description& description() { return program_.description(); }
    CobolProgram& program() { return program_; }
    void add_key(uint32_t position, uint32_t length, bool duplicates = false) {
        vmq_key_description& key = program_.key(static_cast<int>(description().key_count++));
        key.position = position;
        key.length = length;
        key.flags = duplicates ? VMQ_KEY_DUPLICATES : 0;
    }

    // Each verb returns the FILE STATUS the program sees, as text.
    std::string call(vmq_verb_entry entry) {
        entry(&fcb(), &program_.context);
        return program_.status_item();
    }
    std::string open(uint16_t request) {
        fcb().open_request = request;
        return call(fcb().open_entry);
    }
    std::string close(uint16_t options = 0) {
        fcb().close_options = options;
        return call(fcb().close_entry);
    }
    // WRITE and REWRITE of a record padded with blanks to the record length
    // (a longer one keeps its length).
    std::string write(const std::string& record) { return put(record, fcb().write_entry); }
    std::string rewrite(const std::string& record) { return put(record, fcb().rewrite_entry); }
    std::string remove() { return call(fcb().delete_entry); }
    std::string read(uint32_t options = 0) {
        fcb().verb_options = options;
        return call(fcb().read_entry);
    }
    // A random READ by the key in `record` (KEY IS with key_of_reference).
    std::string read_key(const std::string& record, uint32_t options = 0) {
        set_record(record);
        return read(options);
    }
    std::string start(uint32_t relation, const std::string& record, uint16_t key_length) {
        set_record(record);
        fcb().start_key_length = key_length;
        fcb().verb_options = relation;
        return call(fcb().start_entry);
    }
    // A verb called with no record area, as a runtime never should; told().
    std::string without_area(const std::function<std::string()>& verb) {
        unsigned char* area = fcb().record_area;
        fcb().record_area = nullptr;
        const std::string status = verb();
        fcb().record_area = area;
        return told(status);
    }

    void set_record(const std::string& record) {
        std::memset(record_, ' ', record_length_ + 16);
        std::memcpy(record_, record.data(), std::min<size_t>(record.size(), record_length_ + 16));
    }
    std::string record() const {
        return std::string(reinterpret_cast<const char*>(record_), program_.fcb.read_length);
    }
    std::string message() const { return program_.message(); }
    // A verb's status followed by the record it leaves or by the message
    // the program sees: "00 000010ANNABOS", "35 001003,File does not exist".
    std::string got(const std::string& status) const { return status + " " + record(); }
    std::string told(const std::string& status) const { return status + " " + message(); }
    std::string next(uint32_t options = VMQ_READ_NEXT) { return got(read(options)); }

private:
    std::string put(const std::string& record, vmq_verb_entry entry) {
        set_record(record);
        fcb().write_length = std::max(static_cast<uint32_t>(record.size()), record_length_);
        return call(entry);
    }

    CobolProgram program_;
    std::string name_;
    uint32_t record_length_;
    unsigned char* record_;
};

// The storage every OPEN takes must be back by the end of each test.
class VerbTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        live_ = threadStorage()->live_allocations;
    }
    void TearDown() override {
        EXPECT_EQ(threadStorage()->live_allocations, live_) << "storage left behind";
        TempDirTest::TearDown();
    }

    long live_ = 0;
};

}  // namespace kvr::test

#endif
