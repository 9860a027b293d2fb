// The data store's operations, called by the engine (records) and by the
// B+tree (index pages). Each takes the open file's handle first and returns
// an engine result (0, 2, 3, 9, 11, 15, 17, 18, and 10 or 23 from a put) or
// a negative store status (-1 no free block without extending the file, -4
// out of memory), which the engine maps once. 2 also reports a damaged file:
// nothing read from it is used unchecked. 11 also refuses growth past the
// largest offset a file may have (2^32 - 1, or 2^31 - 1 in the block format),
// before anything is written.
//
// Slot format (every file this system creates): records live in slots of
// their own, free slots on lists by size class, index pages in index blocks
// of index_block_size bytes on their own free list. Block format: all space
// after the header is cut into blocks of sequence_set_size bytes, free
// blocks chained on the avail list.
#ifndef KVR_ENGINE_STORE_STORE_H
#define KVR_ENGINE_STORE_STORE_H

#include <cstdint>

#include "engine/store/store_handle.h"

extern "C" {

// Slot-format records.
// Makes the record buffer and, for a file open for update whose records are
// at most 32760 bytes, the append buffer; sets the number of size classes.
int _vmq_open_data_records(kvr::store::StoreHandle* handle);
// Writes the append buffer out and frees the buffers. A failed write is
// returned and keeps both buffers, so that close can be called again.
int _vmq_close_data_records(kvr::store::StoreHandle* handle);
// Reads the record at address into the record buffer; *data points to it,
// *length (if not null) receives its length. It becomes the record that a
// rewrite replaces.
int _vmq_get_record(kvr::store::StoreHandle* handle, uint32_t address, unsigned char** data,
                    uint32_t* length);
// mode 0: stores a new record, *address receives its address (the value
// passed in is not used). Otherwise replaces the record last read (10 when
// there is none); *address receives its address afterwards, a new one if it
// had to move. A move is reported through the handle's shift hook, and
// refused (2) when there is no hook. A record longer than the file's maximum
// is refused with 23. The record buffer is reused: a pointer from an earlier
// get no longer shows that record.
int _vmq_put_record(kvr::store::StoreHandle* handle, uint32_t* address, const unsigned char* data,
                    uint32_t length, uint8_t mode);
// Frees the record's slot for reuse.
int _vmq_delete_record(kvr::store::StoreHandle* handle, uint32_t address);

// Slot-format index blocks. A new block is zeroed and lands behind the
// records waiting in the append buffer; freed blocks are reused last-in,
// first-out. Releasing the block at the head of the list again is refused.
int _vmq_get_index_block(kvr::store::StoreHandle* handle, uint32_t* address, int ignored);
int _vmq_release_index_block(kvr::store::StoreHandle* handle, uint32_t address);

// Block-format blocks and the avail list. get_block pops the avail list, or
// appends a zeroed block unless no_extend is set (-1 then, nothing touched).
// release_block puts the block at the head of the list, in memory before
// the write, and refuses the block already at the head.
int _vmq_get_block(kvr::store::StoreHandle* handle, uint32_t* address, int32_t no_extend);
int _vmq_release_block(kvr::store::StoreHandle* handle, uint32_t address);
int _vmq_free_all_avail_list(kvr::store::StoreHandle* handle);
}

namespace kvr::store {

// Writes the 56-byte free-space table from the image to the file header.
int write_free_space_table(StoreHandle* handle);

// Writes the append buffer's bytes at its file offset and empties it (its
// offset becomes 0, so the next append starts at the file's new end). A
// failed write keeps the bytes in the buffer.
int flush_append_buffer(StoreHandle* handle);

}  // namespace kvr::store

#endif
