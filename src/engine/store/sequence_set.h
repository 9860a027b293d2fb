// Sequence sets: how the block format keeps its records, and the pool of
// buffers that holds them in memory while a file is open.
//
// A sequence set is one block of sequence_set_size bytes holding a run of
// records one after another in ascending prime-key order; the sets are
// chained to their neighbours in key order, so that walking the chain from
// first_sequence_set visits every record in key order. A record's address is
// the file offset of its data. Inserting or deleting a record moves the
// records behind it, and every move is reported to the primary index through
// the handle's shift hook. Little-endian throughout.
//
// Sequence set at block offset B:
//   off  size  field
//     0     2  block type: 4
//     2     2  zero
//     4     4  record count (signed)
//     8     4  first record address: B + 40
//    12     4  last record address: the data of the last record
//    16     4  free bytes: sequence_set_size - 32 - the records' total size
//    20     4  end address: B + 32 + the records' total size
//    24     4  next sequence set (following keys); none when not above 0
//                as a signed number (0xFFFFFFFF is written for none)
//    28     4  previous sequence set (preceding keys); likewise
//    32        records, packed
//
// Record in a set: a 4-byte data length, a 4-byte owner (B, which lets an
// address be resolved to its block without the index: the 8 bytes before
// the address name the block), then the data. A record's total size is its
// length + 8; the longest record a set can take is sequence_set_size - 40.
//
// Set size and pool, chosen at open from the longest record and the largest
// index page (index_block_size, raised to the set size, since index pages
// of this format are blocks too):
//   longest record     set size                          buffers
//   up to 4064         larger of index_block_size, 4096     256
//   4065 to 16352      larger of index_block_size, 16384     64
//   16353 to 65536     65568                                 16
//   above 65536        refused
//
// Every set in memory lives in one buffer of the pool. The buffers in use
// form a ring ordered by use: the head is the most recently used, its older
// links lead to ever less recently used ones, and its newer link to the
// least recently used, the next to be reused. A changed set reaches the file
// when its buffer is reused or at close. An operation holds at most four
// buffers at a time and makes each the most recently used when it takes it
// (an insert that splits a set again and again, each time it splits it),
// and the pool never has fewer than 16: a buffer in use is never the one
// reused.
#ifndef KVR_ENGINE_STORE_SEQUENCE_SET_H
#define KVR_ENGINE_STORE_SEQUENCE_SET_H

#include <cstdint>
#include <memory>

#include "platform/coding.h"

namespace kvr::store {

inline constexpr uint16_t kSequenceSetType = 4;
inline constexpr uint32_t kSetHeaderSize = 32;
inline constexpr uint32_t kSetRecordHeaderSize = 8;
// Where the first record's data lies in a set.
inline constexpr uint32_t kFirstRecordAt = kSetHeaderSize + kSetRecordHeaderSize;
inline constexpr uint32_t kNoSet = 0xFFFFFFFF;
inline constexpr uint32_t kLargestSetSize = 65568;
inline constexpr uint32_t kLargestSetRecord = 65536;
inline constexpr int kFewestBuffers = 16;

// Field offsets in a set's header.
inline constexpr uint32_t kSetCountAt = 4;
inline constexpr uint32_t kSetFirstAt = 8;
inline constexpr uint32_t kSetLastAt = 12;
inline constexpr uint32_t kSetFreeAt = 16;
inline constexpr uint32_t kSetEndAt = 20;
inline constexpr uint32_t kSetNextAt = 24;
inline constexpr uint32_t kSetPreviousAt = 28;

// A neighbour link names a set when it is above 0 as a signed number.
constexpr bool names_set(uint32_t link) {
    return static_cast<int32_t>(link) > 0;
}

// The set size and buffer count for a file, and the index_block_size it
// gets; false when its records are too long for the format.
struct SetShape {
    uint32_t set_size = 0;
    int buffer_count = 0;
};
bool sequence_set_shape(uint32_t max_record_length, uint32_t index_block_size, SetShape* shape);

// One buffer of the pool.
struct SetBuffer {
    uint32_t first = 0;  // first record address; 0: the buffer holds no set
    uint32_t last = 0;   // last record address
    uint32_t block = 0;  // block offset of the set held
    int newer = -1;      // ring links: buffer indexes
    int older = -1;
    bool dirty = false;  // the image differs from the file
    // The set's record count when the operation under way first changed it
    // (-1: unchanged so far). A set left with fewer records reaches the file
    // after the sets that took them, so that a process dying in between
    // leaves a record twice rather than nowhere.
    int32_t count_before = -1;
};

struct SequenceSetPool {
    uint32_t set_size = 0;
    int buffer_count = 0;
    int buffers_in_use = 0;  // buffers taken into the ring so far
    int mru = -1;            // the ring's head, -1 when empty
    std::unique_ptr<SetBuffer[]> buffers;
    std::unique_ptr<unsigned char[]> images;  // buffer_count images of set_size bytes

    unsigned char* image(int i) const { return images.get() + static_cast<size_t>(i) * set_size; }
};

}  // namespace kvr::store

#endif
