// Files by name, for the verbs above the engine: whether one is there,
// whether it has no bytes at all, and its removal. The verbs ask these of
// the engine rather than of the platform, which only the engine uses.
#ifndef KVR_ENGINE_NAMED_FILE_H
#define KVR_ENGINE_NAMED_FILE_H

#include "engine/results.h"

namespace kvr::engine {

// True when a file of that name exists.
bool file_exists(const char* name);

// True when `name` is a file of no bytes at all.
bool is_empty_file(const char* name);

// Removes the file; true when it is gone.
bool remove_file(const char* name);

// What an OPEN of `name` that the engine refused with `result` can say
// beside the result's text, in words: for a file left mid-change (30) or
// one that cannot be shared (15), why the journal beside it is left alone;
// for a file another handle holds (18), the process that holds it, where
// that can be known. Written into text[0 .. size), NUL-terminated, empty
// when there is nothing to add.
void open_refusal_detail(const char* name, Result result, char* text, unsigned size);

}  // namespace kvr::engine

#endif
