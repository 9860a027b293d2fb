// The append buffer of the slot format: new records that go at the end of
// the file are gathered in 64 KiB of memory and written with one call per
// buffer-full. The buffer holds write_buffer_fill bytes that belong at file
// offset write_buffer_offset and beyond; offset 0 means the buffer has no
// place yet and takes the file's end when it next receives a record.
//
// The buffered range is half-open, [offset, offset + fill): a record whose
// address lies in it is read from and rewritten in memory. The bytes reach
// the file when the buffer is full, before an index block or an unbuffered
// slot is appended, before a record inside it is deleted or a record moves,
// and at close. A failed write keeps them in the buffer, so a later flush
// can try again.
#ifndef KVR_ENGINE_STORE_APPEND_BUFFER_H
#define KVR_ENGINE_STORE_APPEND_BUFFER_H

#include <cstdint>

#include "engine/store/store_handle.h"

namespace kvr::store {

// True when `address` lies in the buffered range.
bool in_append_buffer(const StoreHandle* handle, uint32_t address);

// Where a slot of `size` bytes appended now goes. Checks that the file can
// grow by it (11 when it would pass the largest 32-bit offset) before
// anything is written. When `buffered` comes back true the slot's bytes
// are to be copied to the buffer at write_buffer_fill, which the caller
// then advances by `size`; otherwise the caller writes them at `address`.
int place_appended_slot(StoreHandle* handle, uint32_t size, uint32_t* address, bool* buffered);

}  // namespace kvr::store

#endif
