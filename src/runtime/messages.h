// Diagnostic messages: the six-digit result code, its text and, for an
// attribute mismatch at OPEN, the existing file's attributes, written into a
// program's message area. The area is always filled to its length with
// blanks and never receives a byte past its end.
#ifndef KVR_RUNTIME_MESSAGES_H
#define KVR_RUNTIME_MESSAGES_H

#include <cstdint>

extern "C" {

// Fills area[0 .. length) with the message for a result code. attributes is
// a file-attribute block holding its key entries, or null; it is read only for
// the codes 1004 to 1007.
void _vmq_filestat2(unsigned char* area, int32_t length, int code, const unsigned char* attributes);
}

namespace kvr::runtime {

// The text of a result code, or null for a code that has none.
const char* result_text(int code);

// Adds ",text" after the message in area[0 .. length), as far as it fits.
void append_message_piece(unsigned char* area, int32_t length, const char* text);

}  // namespace kvr::runtime

#endif
