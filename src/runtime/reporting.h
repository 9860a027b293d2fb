// What every verb does first and last: find the file description, the
// FILE STATUS item and the message area; and, at the end, report the outcome
// through the status item, the message area and the USE procedure.
//
// VerbTarget is plain data, so it may live in a frame that a USE procedure
// abandons.
#ifndef KVR_RUNTIME_REPORTING_H
#define KVR_RUNTIME_REPORTING_H

#include <cstdint>

#include "vmqrmkvr/fcb.h"

namespace kvr::runtime {

// The diagnostic code of a record verb refused because the FCB has no record
// area; the status is 30.
inline constexpr int kNoRecordArea = 1008;
// OPEN of a file of no bytes, which a run that died before its first write
// leaves; the status is 30.
inline constexpr int kEmptyFile = 1009;
// OPEN with an open request that names no mode; the status is 30.
inline constexpr int kInvalidOpenMode = 1010;

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
// diagnostic_code into the message area (attributes: the file-attribute
// block at OPEN, else null; detail, when not null or empty, a piece added
// after the code's text), the USE procedure for a status of 10 or more,
// then last_verb (not for a READ that ends with 99), and for WRITE, REWRITE,
// DELETE and START the end of record_read. The USE procedure may abandon the
// verb; nothing after it is then done.
void report(const VerbTarget& target, int diagnostic_code, const unsigned char* attributes,
            const char* detail = nullptr);

}  // namespace kvr::runtime

#endif
