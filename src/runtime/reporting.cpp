#include "runtime/reporting.h"

#include <cstring>

#include "runtime/messages.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::runtime {

namespace {

// The last report of this thread, as values: what KVRFH reads back after a
// verb instead of the message area's text, which a short area cuts.
struct LastReport {
    const vmq_fcb* fcb = nullptr;
    Diagnostic diagnostic = Diagnostic::kNone;
    uint16_t status = 0;
    uint32_t attributes_size = 0;
    unsigned char attributes[IX_ATTRIBUTES_FIXED_SIZE + IX_KEY_SPEC_SIZE * IX_MAX_KEYS] = {};
    char detail[256] = {};
};

thread_local LastReport last_report;

void keep_report(const vmq_fcb* fcb, Diagnostic diagnostic, const unsigned char* attributes,
                 const char* detail) {
    LastReport& last = last_report;
    last.fcb = fcb;
    last.diagnostic = diagnostic;
    last.status = fcb->status;
    last.attributes_size = 0;
    if (attributes != nullptr && lists_layout(diagnostic)) {
        ix_attributes fixed{};
        ix_attributes_decode(attributes, &fixed);
        const int keys = fixed.key_count < 0 || fixed.key_count > IX_MAX_KEYS ? 0 : fixed.key_count;
        last.attributes_size = ix_attributes_size(keys);
        std::memcpy(last.attributes, attributes, last.attributes_size);
    }
    last.detail[0] = '\0';
    if (detail != nullptr) {
        std::strncpy(last.detail, detail, sizeof last.detail - 1);
        last.detail[sizeof last.detail - 1] = '\0';
    }
}

}  // namespace

VerbTarget begin_verb(vmq_fcb* fcb, vmq_program_context* context, uint8_t verb) {
    VerbTarget target{};
    target.fcb = fcb;
    target.context = context;
    target.verb = verb;
    target.description = vmq_find_description(fcb, context);
    if (target.description != nullptr) {
        target.status_item =
            vmq_item_address(target.description->status_base, target.description->status_offset);
        target.message_area =
            vmq_item_address(target.description->message_base, target.description->message_offset);
    }
    fcb->current_verb = verb;
    if (verb != VMQ_VERB_START && verb != VMQ_VERB_CLOSE)
        fcb->status = 0;
    return target;
}

void report(const VerbTarget& target, Diagnostic diagnostic, const unsigned char* attributes,
            const char* detail) {
    vmq_fcb* fcb = target.fcb;
    keep_report(fcb, diagnostic, attributes, detail);
    const vmq_file_description* description = target.description;
    if (target.status_item != nullptr)
        vmq_store_status_digits(target.status_item, fcb->status, description->code_flags);
    if (target.message_area != nullptr) {
        int length = description->message_length;
        _vmq_filestat2(target.message_area, length, code(diagnostic), attributes);
        append_message_piece(target.message_area, length, detail);
        if ((description->code_flags & VMQ_CODE_EBCDIC_MESSAGE) != 0)
            vmqConvToEBCDIC(target.message_area, length, target.message_area, &length);
    }
    if (fcb->status >= 10)
        _vmqCallUseProc(fcb, 0, target.context);
    if (!(target.verb == VMQ_VERB_READ && fcb->status == 99))
        fcb->last_verb = target.verb;
    switch (target.verb) {
        case VMQ_VERB_WRITE:
        case VMQ_VERB_REWRITE:
        case VMQ_VERB_DELETE:
        case VMQ_VERB_START:
            fcb->state_flags &= ~VMQ_RECORD_READ;
            break;
        default:
            break;
    }
}

bool last_diagnostic(const vmq_fcb* fcb, vmq_diagnostic* diagnostic) {
    const LastReport& last = last_report;
    if (fcb == nullptr || last.fcb != fcb)
        return false;
    diagnostic->code = code(last.diagnostic);
    diagnostic->status = last.status;
    // The message shows a file that is no KVR file as "Invalid file".
    const Diagnostic shown =
        last.diagnostic == Diagnostic::kNotKvrFile ? Diagnostic::kInvalidFile : last.diagnostic;
    const char* text = result_text(code(shown));
    diagnostic->text = text != nullptr ? text : "";
    diagnostic->attributes_size = last.attributes_size;
    diagnostic->attributes = last.attributes_size != 0 ? last.attributes : nullptr;
    diagnostic->detail = last.detail;
    return true;
}

}  // namespace kvr::runtime
