// What kvr unload, load, rebuild and convert share: reading every record of
// a file, and making, checking and naming the new file they write.
#ifndef KVR_TOOLS_COPYING_H
#define KVR_TOOLS_COPYING_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/isam/ix_handle.h"
#include "tools/commands.h"
#include "tools/kvr_file.h"
#include "tools/tool_support.h"

namespace kvr::tools {

// Whether an engine's result is a record written or read.
bool is_success(int result);

// The file's size in bytes; 0 when it cannot be told.
uint64_t size_of(const std::string& path);

// The prime key of a record as text, for messages: its record number in a
// relative file, its bytes with escapes in an indexed one.
std::string prime_text(const FileAttributes& a, const unsigned char* record, uint32_t length);

// Creates an indexed or relative file at path in the given format: the
// engine's result.
int create_file(const std::string& path, const FileAttributes& a, isam::StoreFormat format);

// Checks the finished file by opening it again: every tree, record and list,
// and the number of records expected. False after saying what is wrong; name
// is the file the messages speak of.
bool verify_new_file(const std::string& path, uint64_t expected, const Streams& io,
                     const std::string& name);
// The same for a sequential file: it reads to its end, with every record
// written.
bool verify_new_sequential(const std::string& path, uint64_t expected, const Streams& io,
                           const std::string& name);

// Creates an indexed or relative file at path in the given format and opens
// it for update: IX_OK, or the engine's result, *opening telling whether it
// was the open that failed.
int make_new_file(const std::string& path, const FileAttributes& a, isam::StoreFormat format,
                  IndexedFile* file, bool* opening);
// The format a new copy of a file with these attributes keeps.
inline isam::StoreFormat format_of(const FileAttributes& a) {
    return a.block_format ? isam::StoreFormat::kBlocks : isam::StoreFormat::kSlots;
}

// Whether the file at path is an indexed or relative file; false after
// saying why not (for a sequential file, `sequential`).
bool is_keyed_file(const std::string& path, const Streams& io, const char* sequential);

// Whether unload may write target: it is not the file being unloaded, and
// it can be written where it is to go. False after saying why.
bool unload_target_fits(const std::string& path, const PendingFile& target, const Streams& io);

// Why an input open of an indexed or relative file failed, in words.
std::string open_failure(const std::string& path, int result, const Streams& io);

// Every record of the sequential file at path, in file order, to visit with
// its number (from 1); label names the progress bar. attributes, when not
// null, receives the file's. 0; 2 when visit returned false, or after a
// failure was said.
using NumberedVisit = std::function<bool(const std::vector<unsigned char>&, uint64_t number)>;
int read_sequential_records(const std::string& path, const char* label, const Streams& io,
                            FileAttributes* attributes, const NumberedVisit& visit);

}  // namespace kvr::tools

#endif
