// The FILE STATUS a COBOL program sees for a verb's outcome. Only the verbs
// turn outcomes into statuses, and they do it through these tables.
#ifndef KVR_RUNTIME_FILE_STATUS_H
#define KVR_RUNTIME_FILE_STATUS_H

#include <cstdint>

#include "runtime/diagnostics.h"

namespace kvr::runtime {

// READ, WRITE, REWRITE, DELETE and START on indexed and relative files.
// verb is the verb code; it decides what "file not open" becomes. End of
// file maps to 10; the verb also sets the FCB's at_end flag then.
uint16_t record_verb_status(Diagnostic outcome, uint8_t verb);

// The engines' create, open and attribute operations at OPEN.
uint16_t open_status(Diagnostic outcome);

// CLOSE.
uint16_t close_status(Diagnostic outcome);

}  // namespace kvr::runtime

#endif
