// The append buffer of the slot format: a copy, in 64 KiB of memory, of the
// records most recently appended at the end of the file, so that reading
// them back (as a READ, REWRITE or DELETE right after a WRITE does) costs no
// I/O and an append needs no system call to find the file's end. The buffer
// holds write_buffer_fill bytes that lie at file offset write_buffer_offset
// and beyond; offset 0 means the buffer has no place yet and takes the
// file's end when it next receives a record.
//
// Every byte of the buffer is in the file too: a slot is written through to
// the file when it enters the buffer, and a rewrite in place reaches the file
// before the copy, so a process that dies loses no record that a WRITE or
// REWRITE reported as done. While the buffer is placed, the file ends where
// the buffer does.
//
// The buffered range is half-open, [offset, offset + fill). The buffer starts
// again at the file's new end when it is full, before an index block or an
// unbuffered slot is appended, and when a record inside it is freed or moves.
#ifndef KVR_ENGINE_STORE_APPEND_BUFFER_H
#define KVR_ENGINE_STORE_APPEND_BUFFER_H

#include <cstdint>

#include "engine/store/store_handle.h"

namespace kvr::store {

// True when `address` lies in the buffered range.
bool in_append_buffer(const StoreHandle* handle, uint32_t address);

// Where a slot of `size` bytes appended now goes. Checks that the file can
// grow by it (11 when it would pass the largest 32-bit offset) before
// anything is written. When `buffered` comes back true the slot goes through
// append_buffered_slot; otherwise the caller appends it at `address`.
Status place_appended_slot(StoreHandle* handle, uint32_t size, uint32_t* address, bool* buffered);

// Writes the `size` bytes of a slot that place_appended_slot placed in the
// buffer to the file, then keeps their copy. A failed write leaves the
// buffer as it was and the file ending where it did.
Status append_buffered_slot(StoreHandle* handle, const unsigned char* bytes, uint32_t size);

}  // namespace kvr::store

#endif
