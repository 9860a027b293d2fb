#include "runtime/reporting.h"

#include "runtime/messages.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::runtime {

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

void report(const VerbTarget& target, int diagnostic_code, const unsigned char* attributes,
            const char* detail) {
    vmq_fcb* fcb = target.fcb;
    const vmq_file_description* description = target.description;
    if (target.status_item != nullptr)
        vmq_store_status_digits(target.status_item, fcb->status, description->code_flags);
    if (target.message_area != nullptr) {
        int length = description->message_length;
        _vmq_filestat2(target.message_area, length, diagnostic_code, attributes);
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

}  // namespace kvr::runtime
