// The data store's operations, called by the engine (records) and by the
// B+tree (index pages). Each takes the open file's handle first and returns
// an engine result (0, 2, 3, 9, 11, 15, 17, 18, and 10 or 23 from a put) or
// a negative store status (-1 no free block without extending the file, -4
// out of memory): the integers of store::Status (results.h), which the
// store works with inside and the engine maps by name. 2 also reports a
// damaged file: nothing read from it is used unchecked. 11 also refuses
// growth past the largest offset a file may have (2^32 - 1, or 2^31 - 1 in
// the block format), before anything is written.
//
// Slot format (every file this system creates): records live in slots of
// their own, free slots on lists by size class, index pages in index blocks
// of index_block_size bytes on their own free list. Block format: all space
// after the header is cut into blocks of sequence_set_size bytes, each a
// sequence set of records (sequence_set.h), an index page, or a free block
// chained on the avail list.
//
// The block format's fields of the file header, chosen once and kept:
//   20  avail_list_head      first free block, 0 = none
//   24  first_sequence_set   the set with the lowest keys, none when not
//                            above 0 as a signed number
//   112 sequence_set_size    bytes per block
// together with index_block_size (84), raised to the set size at open.
// Bytes 28 to 31 and 116 to 127 stay zero, and the format keeps nothing at
// 180 or beyond (its buffer pool lives in the handle), so it never touches
// the slot format's free-space table at 0xBC.
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
// A hint that the record at address will be read soon; nothing is read and
// nothing can fail.
void _vmq_prefetch_record(kvr::store::StoreHandle* handle, uint32_t address);

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

// Block-format records, kept in sequence sets (sequence_set.h).
// Sizes the set from the file's longest record and index_block_size (which
// is raised to it) and makes the buffer pool: -6 for records too long for
// the format, -5 when the file's blocks were cut in another size, -4 out of
// memory.
int _vmq_allocate_sequence_sets(kvr::store::StoreHandle* handle);
// Writes every changed set back, in buffer order, stopping at the first
// failure, which is returned; the pool is freed in any case.
int _vmq_free_all_sequence_sets(kvr::store::StoreHandle* handle);
// *data points to the record's data inside its buffer, valid until the next
// call of the store; *length (if not null) receives its length. An address
// that is not the start of a record's data gives 2.
int _vmq_get_sequence_set(kvr::store::StoreHandle* handle, uint32_t address, unsigned char** data,
                          uint32_t* length);
// mode 0: stores a new record right behind the record at *address (before
// every record when it is 0) and returns its address there; the file's
// first record (record_count 0) starts the first set. mode 1: replaces the
// record at *address, whose address afterwards comes back. Other modes: -1.
// A record longer than the file's maximum, or than a set can hold, is
// refused with 23. Every record that moves is reported through the shift
// hook; a failing hook still leaves every set matching its contents, and
// its status is returned.
int _vmq_put_sequence_set(kvr::store::StoreHandle* handle, uint32_t* address,
                          const unsigned char* data, uint32_t length, uint8_t mode);
// Removes the record at address; an under-full set is merged with or
// balanced against a neighbour, an empty one goes to the avail list.
int _vmq_delete_sequence_set(kvr::store::StoreHandle* handle, uint32_t address);
}

namespace kvr::store {

// The operations as the engine and the tree call them: what the C entry
// points above do, with the store's Status and typed modes. Each C entry
// point calls its twin here and turns the status into its integer once.

// What a put does with the record.
enum class PutMode : uint8_t {
    kWrite,    // a new record
    kRewrite,  // replaces the record last read (slots) or at *address (sets)
};
// Where a block may come from: the avail list only (kNoBlock when it is
// empty, nothing touched), or the end of the file when the list is empty.
enum class BlockSource { kAvailListOnly, kAnywhere };

Status open_data_records(StoreHandle* handle);
Status close_data_records(StoreHandle* handle);
Status get_record(StoreHandle* handle, uint32_t address, unsigned char** data, uint32_t* length);
Status put_record(StoreHandle* handle, uint32_t* address, const unsigned char* data,
                  uint32_t length, PutMode mode);
Status delete_record(StoreHandle* handle, uint32_t address);

Status get_index_block(StoreHandle* handle, uint32_t* address);
Status release_index_block(StoreHandle* handle, uint32_t address);

Status get_block(StoreHandle* handle, uint32_t* address, BlockSource source);
Status release_block(StoreHandle* handle, uint32_t address);

Status allocate_sequence_sets(StoreHandle* handle);
Status free_all_sequence_sets(StoreHandle* handle);
Status get_sequence_set(StoreHandle* handle, uint32_t address, unsigned char** data,
                        uint32_t* length);
Status put_sequence_set(StoreHandle* handle, uint32_t* address, const unsigned char* data,
                        uint32_t length, PutMode mode);
Status delete_sequence_set(StoreHandle* handle, uint32_t address);

// Writes the 56-byte free-space table from the image to the file header.
Status write_free_space_table(StoreHandle* handle);

// Puts the block of a sequence set that has just emptied on the avail list
// and gives its buffer (an index into the pool, or -1) back to the pool as
// the next one to be reused.
Status add_to_avail_list(StoreHandle* handle, uint32_t block, int buffer);

// The image of the set at `block` when a buffer holds it (it may be newer
// than the file), else null. For checks that read the file as the store
// sees it.
const unsigned char* resident_sequence_set(const StoreHandle* handle, uint32_t block);

// Block format: writes every changed set back, those left with fewer
// records than the operation found in them last. The sets stay in the pool.
Status write_changed_sets(StoreHandle* handle);

// Empties the append buffer (its offset becomes 0, so the next append starts
// at the file's new end). Its bytes are in the file already.
void restart_append_buffer(StoreHandle* handle);

}  // namespace kvr::store

#endif
