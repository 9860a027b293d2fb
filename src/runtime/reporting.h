// What every verb does first and last: find the file description, the
// FILE STATUS item and the message area; and, at the end, report the outcome
// through the status item, the message area and the USE procedure.
//
// VerbTarget is plain data, so it may live in a frame that a USE procedure
// abandons.
#ifndef KVR_RUNTIME_REPORTING_H
#define KVR_RUNTIME_REPORTING_H

#include <cstdint>

#include "runtime/diagnostics.h"
#include "vmqrmkvr/fcb.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace kvr::runtime {

struct VerbTarget {
    vmq_fcb* fcb;
    vmq_program_context* context;
    const vmq_file_description* description;
    unsigned char* status_item;   // null: the file has none
    unsigned char* message_area;  // null: the file has none
    uint8_t verb;
};

// Finds the description and its items and stores the verb code into
// current_verb. OPEN, READ, WRITE, REWRITE and DELETE also set status to 0;
// START and CLOSE set it themselves once they know the outcome.
VerbTarget begin_verb(vmq_fcb* fcb, vmq_program_context* context, uint8_t verb);

// Reports the FCB's status: the digits into the status item, the message for
// the diagnostic into the message area (attributes: the file-attribute
// block at OPEN, else null; detail, when not null or empty, a piece added
// after the code's text), the USE procedure for a status of 10 or more,
// then last_verb (not for a READ that ends with 99), and for WRITE, REWRITE,
// DELETE and START the end of record_read. The USE procedure may abandon the
// verb; nothing after it is then done. The diagnostic, the attributes and
// the detail are also kept as values for last_diagnostic.
void report(const VerbTarget& target, Diagnostic diagnostic, const unsigned char* attributes,
            const char* detail = nullptr);

// What the last report of this thread said of the FCB, as values (see
// _IO_LastDiagnostic); false when that report was of another FCB or none
// was made.
bool last_diagnostic(const vmq_fcb* fcb, vmq_diagnostic* diagnostic);

}  // namespace kvr::runtime

#endif
