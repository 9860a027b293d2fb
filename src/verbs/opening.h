// What every organization's OPEN checks before it opens: that the runtime
// asked for a mode at all, and what to do about a file that does not exist.
// (An existing file of no bytes, which a run that died between creating a
// file and writing its header leaves behind, is the engine's
// is_empty_file: OUTPUT makes such a file anew; the other modes say what it
// is rather than report an I-O error.)
#ifndef KVR_VERBS_OPENING_H
#define KVR_VERBS_OPENING_H

#include "runtime/diagnostics.h"
#include "vmqrmkvr/fcb.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::verbs {

inline constexpr uint16_t kOpenModes =
    VMQ_OPEN_INPUT | VMQ_OPEN_OUTPUT | VMQ_OPEN_IO | VMQ_OPEN_EXTEND;

inline bool names_an_open_mode(uint16_t open_request) {
    return (open_request & kOpenModes) != 0;
}

// What OPEN does about a file that does not exist.
enum class MissingFile {
    kCreate,       // make it, then open it
    kAbsentInput,  // an OPTIONAL file opened INPUT: open without a file
    kRefused,      // status 35, nothing made
};

// OPEN of a file that does not exist: OUTPUT makes it; the other modes
// make an OPTIONAL file (status 05) and refuse any other with 35. An
// OPTIONAL file opened INPUT is made not at all: the FCB is left open on no
// file, its READs at end of file, and `close` is the verb that closes it.
// `code` receives the diagnostic code of a refusal.
inline MissingFile open_missing_file(vmq_fcb* fcb, const vmq_file_description* description,
                                     vmq_verb_entry close, runtime::Diagnostic* code) {
    const uint16_t request = fcb->open_request;
    if ((request & VMQ_OPEN_OUTPUT) != 0)
        return MissingFile::kCreate;
    if ((description->file_flags & VMQ_FILE_OPTIONAL) == 0) {
        fcb->status = 35;
        *code = runtime::Diagnostic::kFileMissing;
        return MissingFile::kRefused;
    }
    fcb->status = 5;
    fcb->state_flags |= VMQ_OPTIONAL_ABSENT;
    if ((request & VMQ_OPEN_INPUT) == 0)
        return MissingFile::kCreate;
    fcb->open_entry = _vmqOpenError;
    fcb->close_entry = close;
    fcb->open_mode = request;
    return MissingFile::kAbsentInput;
}

}  // namespace kvr::verbs

#endif
