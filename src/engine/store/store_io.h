// File I/O helpers shared by the data store's modules. Every status they
// return is a data-store status: 0, or the engine result of a failed call
// (access denied 15, invalid handle 3, lock violation 17, sharing violation
// 18, anything else 2), 9 when a read finds nothing at all.
//
// One rule goes beyond the plain mapping: a call that failed never counts as
// done. The mapping turns the Windows error "not locked" into success, but
// the call still moved no bytes, so the store reports 2 for it rather than
// carry on with a record that was never written or bytes that were never
// read.
#ifndef KVR_ENGINE_STORE_STORE_IO_H
#define KVR_ENGINE_STORE_STORE_IO_H

#include <cstdint>

#include "engine/file_channel.h"
#include "engine/store/store_handle.h"

namespace kvr::store {

// An engine result (of the file channel, or of the engine's shift hook) as
// the store's status.
Status status_of_result(engine::Result result);

// The status of one I/O call, as described above.
Status io_status(engine::IoOutcome outcome);

// Reads exactly `count` bytes at `at`. Nothing read at all is `at_end` (9
// for an address the caller gave, 2 for a link read from the file); a read
// that stops short is damage (2).
Status read_exact(const StoreHandle* handle, uint32_t at, void* buffer, uint32_t count,
                  Status at_end);

// Writes `count` bytes at `at`.
Status write_exact(const StoreHandle* handle, uint32_t at, const void* buffer, uint32_t count);

// Writes `count` bytes at `at`, the end of the file. A write that fails
// part-way would leave a slot cut short in front of whatever is appended
// next, so the file is cut back to `at` (as far as the system allows).
Status append_exact(const StoreHandle* handle, uint32_t at, const void* buffer, uint32_t count);

// Writes `count` spaces at `at`, where the file position stands after the
// write before, in chunks.
Status write_spaces(const StoreHandle* handle, uint32_t at, uint64_t count);

// Where the file ends once the append buffer's bytes are in it.
Status logical_file_end(const StoreHandle* handle, uint64_t* end);

}  // namespace kvr::store

#endif
