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
#include "support/scenario.h"
#include "support/temp_dir.h"
#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::test {

using ::testing::StartsWith;

class VerbFile : public ScenarioFile {
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

    // The file a scenario's layout describes, reached through the FCB.
    VerbFile(const Layout& layout, const std::string& name)
        : VerbFile(layout.organization == Organization::kIndexed    ? VMQ_ORG_INDEXED
                   : layout.organization == Organization::kRelative ? VMQ_ORG_RELATIVE
                                                                    : VMQ_ORG_SEQUENTIAL,
                   name, layout.max_length) {
        vmq_file_description& d = description();
        d.min_record_length = d.min_area_length = layout.min_length;
        if (layout.min_length != layout.max_length)
            d.record_flags = VMQ_RECORD_VARIABLE;
        if (layout.area_length != 0)
            d.min_area_length = d.max_area_length = layout.area_length;
        d.access_flags = layout.sequential_access ? VMQ_ACCESS_SEQUENTIAL : 0;
        d.file_flags = layout.optional ? VMQ_FILE_OPTIONAL : 0;
        for (const Key& key : layout.keys)
            add_key(key.at, key.length, key.duplicates);
        program_.set_relative_key_digits(layout.relative_key_digits);
    }
    static std::unique_ptr<ScenarioFile> make(const Layout& layout, const std::string& name) {
        return std::make_unique<VerbFile>(layout, name);
    }

    std::string perform(const Step& step) override {
        if (step.without_area)
            fcb().record_area = nullptr;
        const std::string status = dispatch(step);
        fcb().record_area = record_;
        return status;
    }
    uint64_t relative_number() const override { return program_.fcb.relative_number; }
    std::string said() const override {
        std::string text = program_.message();
        return text.erase(text.find_last_not_of(std::string(" \0", 2)) + 1);
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
    // WRITE of a record padded with blanks to the record length (a longer
    // one, or one of a variable-length file, keeps its length).
    std::string write(const std::string& record) { return dispatch({Verb::kWrite, record}); }
    std::string remove() { return call(fcb().delete_entry); }
    std::string read(uint32_t options = 0) {
        fcb().verb_options = options;
        return call(fcb().read_entry);
    }
    void set_record(std::string_view record) {
        std::memset(record_, ' ', record_length_ + 16);
        std::memcpy(record_, record.data(), std::min<size_t>(record.size(), record_length_ + 16));
    }
    std::string record() const override {
        return std::string(reinterpret_cast<const char*>(record_), program_.fcb.read_length);
    }
    // A verb's status followed by the message the program sees: "35
    // 001003,File does not exist"; or READ NEXT's and the record it leaves.
    std::string told(const std::string& status) const { return status + " " + said(); }
    std::string next() {
        const std::string status = read(VMQ_READ_NEXT);
        return status + " " + record();
    }

private:
    std::string dispatch(const Step& step) {
        const bool relative = description().organization == VMQ_ORG_RELATIVE;
        if (step.key != kSame && relative)
            fcb().relative_number = static_cast<uint32_t>(step.key);
        const uint32_t key = step.key == kSame || relative ? 0 : static_cast<uint32_t>(step.key);
        static constexpr uint32_t kRelations[] = {VMQ_START_EQUAL, VMQ_START_GREATER,
                                                  VMQ_START_NOT_LESS, VMQ_START_LESS,
                                                  VMQ_START_NOT_GREATER};
        static constexpr uint16_t kOpens[] = {VMQ_OPEN_INPUT, VMQ_OPEN_OUTPUT, VMQ_OPEN_IO,
                                              VMQ_OPEN_EXTEND};
        if (step.verb <= Verb::kOpenExtend)
            return open(kOpens[static_cast<int>(step.verb)]);
        const bool start = step.verb >= Verb::kStartEqual && step.verb <= Verb::kStartNotGreater;
        if (!step.data.empty() && (step.verb == Verb::kRead || start))
            set_key(key, step.data);
        switch (step.verb) {
            case Verb::kOpenNothing:
                return open(0);
            case Verb::kClose:
            case Verb::kCloseLock:
            case Verb::kCloseUnit:
                return close(step.verb == Verb::kClose       ? 0
                             : step.verb == Verb::kCloseLock ? VMQ_CLOSE_WITH_LOCK
                                                             : VMQ_CLOSE_REPORT_07);
            case Verb::kWrite:
            case Verb::kRewrite: {
                const auto size = static_cast<uint32_t>(step.data.size());
                set_record(step.data);
                fcb().write_length = step.length != 0 ? step.length
                                     : description().record_flags == VMQ_RECORD_VARIABLE
                                         ? size
                                         : std::max(size, record_length_);
                return call(step.verb == Verb::kWrite ? fcb().write_entry : fcb().rewrite_entry);
            }
            case Verb::kDelete:
                if (!step.data.empty())
                    set_record(step.data);
                return remove();
            case Verb::kRead:
                if (step.key != kSame && !relative)
                    fcb().key_of_reference = static_cast<uint16_t>(key + 1);
                return read(key != 0 ? VMQ_KEY_IS : 0);
            case Verb::kReadNext:
                return read(VMQ_READ_NEXT);
            case Verb::kReadPrevious:
                return read(VMQ_READ_PREVIOUS);
            default:
                fcb().key_of_reference = static_cast<uint16_t>(key + 1);
                fcb().start_key_length = static_cast<uint16_t>(
                    step.length != 0 ? step.length : key_length(key, step.data));
                // Without a key of reference named, no KEY IS: the prime key.
                fcb().verb_options =
                    (step.key == kSame ? 0 : VMQ_KEY_IS) |
                    kRelations[static_cast<int>(step.verb) - static_cast<int>(Verb::kStartEqual)];
                return call(fcb().start_entry);
        }
    }
    // The key value at the key's place in a blank record area (a key the
    // file does not have: at the start).
    void set_key(uint32_t key, std::string_view value) {
        std::memset(record_, ' ', record_length_ + 16);
        const uint32_t at =
            key < description().key_count ? program_.key(static_cast<int>(key)).position : 0;
        std::memcpy(record_ + at, value.data(),
                    std::min<size_t>(value.size(), record_length_ + 16 - at));
    }
    uint32_t key_length(uint32_t key, std::string_view value) {
        return key < description().key_count ? program_.key(static_cast<int>(key)).length
                                             : static_cast<uint32_t>(value.size());
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
