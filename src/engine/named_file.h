// Files by name, for the verbs above the engine: whether one is there,
// whether it has no bytes at all, and its removal. The verbs ask these of
// the engine rather than of the platform, which only the engine uses.
#ifndef KVR_ENGINE_NAMED_FILE_H
#define KVR_ENGINE_NAMED_FILE_H

namespace kvr::engine {

// True when a file of that name exists.
bool file_exists(const char* name);

// True when `name` is a file of no bytes at all.
bool is_empty_file(const char* name);

// Removes the file; true when it is gone.
bool remove_file(const char* name);

}  // namespace kvr::engine

#endif
