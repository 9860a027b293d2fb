// Plays the runtime's part for one file in tests: an FCB, a file description
// with room for key descriptions, a FILE STATUS item and a message area in
// storage reached through base pointers, a program context with its runtime
// block, and a USE procedure that tests can set.
#ifndef KVR_TESTS_SUPPORT_COBOL_PROGRAM_H
#define KVR_TESTS_SUPPORT_COBOL_PROGRAM_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "vmqrmkvr/fcb.h"

namespace kvr::test {

class CobolProgram {
public:
    // A file of the given organization with a status item and a message area
    // of message_length bytes (0: no message area).
    explicit CobolProgram(uint8_t organization, uint16_t message_length = 80);
    CobolProgram(const CobolProgram&) = delete;
    CobolProgram& operator=(const CobolProgram&) = delete;

    vmq_fcb fcb{};
    vmq_program_context context{};
    vmq_runtime_block runtime{};

    vmq_file_description& description() { return layout_.description; }
    vmq_key_description& key(int i) { return layout_.keys[i]; }

    // The two status bytes as written, e.g. "35"; "" when never written.
    std::string status_item() const;
    const unsigned char* status_bytes() const { return status_storage_ + kStatusOffset; }
    // The message area's bytes.
    std::string message() const;

    void remove_status_item() { status_base_ = nullptr; }
    void remove_message_area() { message_base_ = nullptr; }

    // Gives the file a RELATIVE KEY item of `digits` digits (0: none).
    void set_relative_key_digits(uint16_t digits);
    // A record area of `size` bytes, with 4 writable bytes in front of it as
    // relative files need; becomes the FCB's record_area.
    unsigned char* make_record_area(size_t size);

    // Runs on every _vmqCallUseProc of this program.
    void on_use_procedure(std::function<void(vmq_fcb*)> procedure);
    int use_procedure_calls() const { return use_calls_; }

private:
    static constexpr uint32_t kStatusOffset = 5;
    static constexpr uint32_t kMessageOffset = 3;

    struct DescriptionLayout {
        vmq_file_description description;
        vmq_key_description keys[255];
        vmq_relative_key_item relative_key;
    };

    static void use_trampoline(vmq_fcb* fcb, vmq_program_context* context, void* data);

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
