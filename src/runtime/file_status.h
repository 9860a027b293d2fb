// The FILE STATUS a COBOL program sees for an engine result. Only the verbs
// turn results into statuses, and they do it through these tables.
#ifndef KVR_RUNTIME_FILE_STATUS_H
#define KVR_RUNTIME_FILE_STATUS_H

#include <cstdint>

namespace kvr::runtime {

// READ, WRITE, REWRITE, DELETE and START on indexed and relative files.
// verb is the verb code; it decides what "file not open" (3) becomes.
// Result 9 maps to 10; the verb also sets the FCB's at_end flag then.
uint16_t record_verb_status(int result, uint8_t verb);

// The engines' create, open and attribute operations at OPEN.
uint16_t open_status(int result);

// CLOSE.
uint16_t close_status(int result);

}  // namespace kvr::runtime

#endif
