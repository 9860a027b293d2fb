// The buffer pool of the sequence sets, as the set operations use it: the
// ring of buffers, loading a set by a record address, taking a buffer for a
// new set, writing a changed set back, and the helpers that read and settle
// a set's header in an image. The layout is in sequence_set.h.
#ifndef KVR_ENGINE_STORE_SEQUENCE_SET_POOL_H
#define KVR_ENGINE_STORE_SEQUENCE_SET_POOL_H

#include <cstdint>

#include "engine/store/sequence_set.h"
#include "engine/store/store_handle.h"

namespace kvr::store {

// Header fields of a set image.
inline int32_t set_count(const unsigned char* image) {
    return platform::load_s32(image + kSetCountAt);
}
inline uint32_t set_free(const unsigned char* image) {
    return platform::load_u32(image + kSetFreeAt);
}
inline uint32_t set_end(const unsigned char* image) {
    return platform::load_u32(image + kSetEndAt);
}
inline uint32_t set_next(const unsigned char* image) {
    return platform::load_u32(image + kSetNextAt);
}
inline uint32_t set_previous(const unsigned char* image) {
    return platform::load_u32(image + kSetPreviousAt);
}
inline void set_next_link(unsigned char* image, uint32_t v) {
    platform::store_u32(image + kSetNextAt, v);
}
inline void set_previous_link(unsigned char* image, uint32_t v) {
    platform::store_u32(image + kSetPreviousAt, v);
}
inline uint32_t record_length_at(const unsigned char* image, uint32_t at) {
    return platform::load_u32(image + at);
}

// Recomputes a set's header from its first `count` records: type, count,
// first and last record address, free bytes, end address. False when the
// records do not fit the image (the header is then left alone).
bool settle_set_header(unsigned char* image, uint32_t block, uint32_t set_size, int32_t count);

// Everything the store relies on in a set read from the file: its header
// matches its records, every record is at most max_record_length bytes and
// names the block as its owner, and its links name none or another block
// after the header area.
bool set_image_is_sound(const unsigned char* image, uint32_t block, uint32_t set_size,
                        uint32_t max_record_length, uint32_t header_size);

// True when a set of set_size bytes may lie at `block`.
bool set_block_address_valid(uint32_t block, uint32_t set_size, uint32_t header_size);

// Finds the buffer holding the set of a record address, reading the set
// from the file on a miss (the least recently used buffer is written back
// first when it is changed). The buffer becomes the ring's head.
Status load_sequence_set(StoreHandle* handle, uint32_t address, int* buffer);
// As load_sequence_set for the set at `block`; 2 when that is not a set.
Status load_set_at(StoreHandle* handle, uint32_t block, int* buffer);
// Writes a changed buffer's image back.
Status flush_sequence_set_buffer(StoreHandle* handle, int buffer);
// A buffer holding nothing, at the ring's head.
Status take_set_buffer(StoreHandle* handle, int* buffer);
// Empties a buffer unwritten and makes it the next to be reused.
void discard_set_buffer(SequenceSetPool* pool, int buffer);
// Makes a buffer the most recently used, so that an operation that keeps
// holding it while it takes others never sees it reused.
void use_set_buffer(SequenceSetPool* pool, int buffer);
// Empties, unwritten, any buffer other than `keep` that holds `block`: a
// block taken for a new set has no older copy in the pool.
void forget_set_block(SequenceSetPool* pool, uint32_t block, int keep);
// Empties every buffer whose set is as the file has it: another handle
// sharing the file may have changed those sets since. A changed buffer (a
// write that failed) is kept for close to try again.
void forget_unchanged_sets(SequenceSetPool* pool);
// Empties every buffer, changed or not, unwritten.
void forget_all_sets(SequenceSetPool* pool);

}  // namespace kvr::store

#endif
