// The name a file is assigned to, as OPEN finds it: either the FCB's
// NUL-terminated string, or, when the description says the name is a data
// item, a copy of that blank-padded item with its trailing blanks removed
// and, when it holds a hyphen, only the text after the first hyphen
// ("MYDD-data.idx" names data.idx).
#ifndef KVR_RUNTIME_FILE_NAME_H
#define KVR_RUNTIME_FILE_NAME_H

#include "vmqrmkvr/fcb.h"

namespace kvr::runtime {

// The file's name. When the name is a data item, *copy receives the storage
// the name lives in (from the runtime's allocator; the caller releases it
// with _vmqCheckFree), otherwise null. Without a description the name is
// the FCB's string. Calls the runtime's allocator, so it must be called from
// a frame that holds no object with a destructor.
const char* open_file_name(const vmq_fcb* fcb, const vmq_file_description* description,
                           char** copy);

}  // namespace kvr::runtime

#endif
