// The open indexed file as the data store sees it: the header image (the
// whole header area, header_size bytes), the channel its I/O goes through,
// the record buffer and the 64 KiB append buffer of the slot format, and the
// hook through which the store tells the primary index that a record moved;
// for the block format, the pool of sequence-set buffers.
//
// The indexed engine's handle (ix_handle) extends this with the trees, so
// the store works on the engine's handle without knowing the engine.
#ifndef KVR_ENGINE_STORE_STORE_HANDLE_H
#define KVR_ENGINE_STORE_STORE_HANDLE_H

#include <cstdint>
#include <memory>

#include "engine/file_channel.h"
#include "engine/file_header.h"
#include "engine/results.h"
#include "engine/store/sequence_set.h"

namespace kvr::store {

struct StoreHandle;

// Reports that `count` records starting with the one whose bytes are
// `record` moved by `delta` bytes; returns the engine's result.
using ShiftHook = engine::Result (*)(StoreHandle* handle, const unsigned char* record, int count,
                                     int32_t delta);

inline constexpr uint32_t kAppendBufferSize = 65536;
// Files with longer records get no append buffer.
inline constexpr uint32_t kAppendBufferRecordLimit = 32760;

struct StoreHandle {
    StoreHandle() = default;
    StoreHandle(const StoreHandle&) = delete;
    StoreHandle& operator=(const StoreHandle&) = delete;
    virtual ~StoreHandle() = default;

    engine::FileHeader header() const { return engine::FileHeader(image.get()); }

    // The header area as read from the file; written back at close.
    std::unique_ptr<unsigned char[]> image;
    uint32_t header_size = 0;
    engine::FileChannel io;

    // Slot format: the record last read, and the buffers.
    std::unique_ptr<unsigned char[]> record_buffer;
    uint32_t record_buffer_size = 0;
    uint32_t last_record_address = 0;
    uint32_t last_slot_size = 0;  // the slot's full size, slack included
    // The record whose data the record buffer still holds (0 = none): reading
    // it again, as REWRITE and DELETE do right after a READ, costs no I/O.
    // An update open has the file to itself, so nothing else can change it.
    uint32_t buffered_record_address = 0;
    uint32_t buffered_record_length = 0;
    uint32_t buffered_slot_size = 0;
    // A file end known to be no later than the real one (the file only grows
    // while it is open): most checks against the end need no system call.
    uint64_t known_file_end = 0;
    std::unique_ptr<unsigned char[]> write_buffer;  // null: no append buffer
    uint32_t write_buffer_offset = 0;               // file offset of its first byte; 0 = not placed
    uint32_t write_buffer_fill = 0;

    // Block format: the buffers of the sequence sets (null while the file is
    // not open in that format).
    std::unique_ptr<SequenceSetPool> sequence_sets;

    // Set by the engine at open; a record that must move while no hook is
    // set is refused, since the index could not follow it.
    ShiftHook shift_tree = nullptr;
};

}  // namespace kvr::store

#endif
