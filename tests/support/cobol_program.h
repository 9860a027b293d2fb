// Plays the runtime's part for one file in tests: an FCB, a file description
// with room for key descriptions, a FILE STATUS item and a message area in
// storage reached through base pointers, a program context with its runtime
// block, and a USE procedure that tests can set.
#ifndef KVR_TESTS_SUPPORT_COBOL_PROGRAM_H
#define KVR_TESTS_SUPPORT_COBOL_PROGRAM_H

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vmqrmkvr/fcb.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::test {

class CobolProgram {
public:
    // A file of the given organization with a status item and a message area
    // of message_length bytes (0: no message area).
    explicit CobolProgram(uint8_t organization, uint16_t message_length = 80)
        : message_storage_(kMessageOffset + message_length, 0) {
        vmq_file_description& d = layout_.description;
        d.organization = organization;
        d.keys_offset = offsetof(DescriptionLayout, keys);
        d.status_offset = kStatusOffset;
        d.message_offset = kMessageOffset;
        d.message_length = message_length;
        status_base_ = status_storage_;
        d.status_base = &status_base_;
        if (message_length != 0) {
            message_base_ = message_storage_.data();
            d.message_base = &message_base_;
        }
        descriptions_[0] = &d;
        runtime.descriptions = descriptions_;
        runtime.use_procedure = &CobolProgram::use_trampoline;
        runtime.use_data = this;
        context.runtime = &runtime;
        fcb.description = &d;
        fcb.file_index = 1;
        // A closed file, as the runtime sets it up: every verb but OPEN goes
        // to the runtime's error entries.
        fcb.read_entry = _vmqReadError;
        fcb.write_entry = _vmqWriteError;
        fcb.rewrite_entry = _vmqRewriteError;
        fcb.start_entry = _vmqStartError;
        fcb.delete_entry = _vmqDeleteError;
        fcb.close_entry = _vmqCloseError;
    }
    CobolProgram(const CobolProgram&) = delete;
    CobolProgram& operator=(const CobolProgram&) = delete;

    vmq_fcb fcb{};
    vmq_program_context context{};
    vmq_runtime_block runtime{};

    vmq_file_description& description() { return layout_.description; }
    vmq_key_description& key(int i) { return layout_.keys[i]; }

    // The two status bytes as written, e.g. "35"; "" when never written.
    std::string status_item() const {
        const unsigned char* item = status_bytes();
        if (item[0] == 0 && item[1] == 0)
            return "";
        return std::string(reinterpret_cast<const char*>(item), 2);
    }
    const unsigned char* status_bytes() const { return status_storage_ + kStatusOffset; }
    // The message area's bytes.
    std::string message() const {
        return std::string(message_storage_.begin() + kMessageOffset, message_storage_.end());
    }

    void remove_status_item() { status_base_ = nullptr; }
    void remove_message_area() { message_base_ = nullptr; }

    // Gives the file a RELATIVE KEY item of `digits` digits (0: none).
    void set_relative_key_digits(uint16_t digits) {
        layout_.relative_key.digit_count = digits;
        layout_.description.relative_key_offset =
            digits == 0 ? 0 : static_cast<uint32_t>(offsetof(DescriptionLayout, relative_key));
    }
    // A record area of `size` bytes, with 4 writable bytes in front of it as
    // relative files need; becomes the FCB's record_area.
    unsigned char* make_record_area(size_t size) {
        record_storage_.assign(size + 4, 0);
        fcb.record_area = record_storage_.data() + 4;
        return fcb.record_area;
    }

    // Runs on every _vmqCallUseProc of this program.
    void on_use_procedure(std::function<void(vmq_fcb*)> procedure) {
        use_procedure_ = std::move(procedure);
    }
    int use_procedure_calls() const { return use_calls_; }

private:
    static constexpr uint32_t kStatusOffset = 5;
    static constexpr uint32_t kMessageOffset = 3;

    struct DescriptionLayout {
        vmq_file_description description;
        vmq_key_description keys[255];
        vmq_relative_key_item relative_key;
    };

    static void use_trampoline(vmq_fcb* fcb, vmq_program_context*, void* data) {
        auto* program = static_cast<CobolProgram*>(data);
        ++program->use_calls_;
        if (program->use_procedure_)
            program->use_procedure_(fcb);
    }

    DescriptionLayout layout_{};
    unsigned char status_storage_[kStatusOffset + 2] = {};
    std::vector<unsigned char> message_storage_;
    unsigned char* status_base_ = nullptr;
    unsigned char* message_base_ = nullptr;
    vmq_file_description* descriptions_[1] = {};
    std::vector<unsigned char> record_storage_;
    std::function<void(vmq_fcb*)> use_procedure_;
    int use_calls_ = 0;
};

}  // namespace kvr::test

#endif
