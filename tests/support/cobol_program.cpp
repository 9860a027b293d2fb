#include "support/cobol_program.h"

#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::test {

CobolProgram::CobolProgram(uint8_t organization, uint16_t message_length)
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
    // A closed file, as the runtime sets it up: every verb but OPEN goes to
    // the runtime's error entries.
    fcb.read_entry = _vmqReadError;
    fcb.write_entry = _vmqWriteError;
    fcb.rewrite_entry = _vmqRewriteError;
    fcb.start_entry = _vmqStartError;
    fcb.delete_entry = _vmqDeleteError;
    fcb.close_entry = _vmqCloseError;
}

void CobolProgram::set_relative_key_digits(uint16_t digits) {
    layout_.relative_key.digit_count = digits;
    layout_.description.relative_key_offset =
        digits == 0 ? 0 : static_cast<uint32_t>(offsetof(DescriptionLayout, relative_key));
}

unsigned char* CobolProgram::make_record_area(size_t size) {
    record_storage_.assign(size + 4, 0);
    fcb.record_area = record_storage_.data() + 4;
    return fcb.record_area;
}

std::string CobolProgram::status_item() const {
    const unsigned char* item = status_bytes();
    if (item[0] == 0 && item[1] == 0)
        return "";
    return std::string(reinterpret_cast<const char*>(item), 2);
}

std::string CobolProgram::message() const {
    return std::string(message_storage_.begin() + kMessageOffset, message_storage_.end());
}

void CobolProgram::on_use_procedure(std::function<void(vmq_fcb*)> procedure) {
    use_procedure_ = std::move(procedure);
}

void CobolProgram::use_trampoline(vmq_fcb* fcb, vmq_program_context*, void* data) {
    auto* program = static_cast<CobolProgram*>(data);
    ++program->use_calls_;
    if (program->use_procedure_)
        program->use_procedure_(fcb);
}

}  // namespace kvr::test
