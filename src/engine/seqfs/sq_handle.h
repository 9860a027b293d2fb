// The open sequential file, and the on-disk format it works on.
//
// A sequential file is an 80-byte header followed by records packed one
// after the other from offset 80, with no padding:
//
//   header, little-endian
//   off  size  field
//     0     4  header size               80
//     4     4  reserved                  0
//     8     4  file mark                 the bytes "KVRS" ("KVRI" is an indexed file)
//    12     4  byte order                0x01020304
//    16     4  open state                1 in every file written here
//    20     4  file handle               0 (room for a run-time value; never read)
//    24    28  buffer state              0 (room for run-time values; never read)
//    52     2  block size                4096
//    54     2  key count                 from the attribute block (0 from the verbs)
//    56     4  minimum record length     from the attribute block
//    60     4  maximum record length     from the attribute block
//    64     4  area length               from the attribute block
//    68     4  record count              0, never updated
//    72     4  options                   from the attribute block (bit 0: variable length)
//    76     4  last record length        0 (run time; not read at open)
//
//   record
//     4  length L (u32)
//     L  data
//     4  length L again
//
// Only create writes the header. The record count stays 0: a file holds as
// many records as follow its header, past 2^32 of them too, and nothing
// counts them. The file is read and written in chunks of 4096 bytes counted
// from where reading or writing started, so a record, and also a length
// word, may straddle two chunks.
//
// The handle keeps the header image as read (bytes 76-79 are not read and
// stay zero) and, beside it, the run-time state: the operating system's
// handle and two 4096-byte buffers. A handle is used in one of two roles at
// a time. Appending: the current buffer collects records until it is full.
// Reading: the current buffer holds the block being read and the previous
// buffer the block before it, so that the record last read can be replaced
// in memory even when it began in the block before; changed blocks go back
// to the file when reading moves past them, when the role changes, at a
// rewind and at close.
//
// Nothing in the format is a file offset, so a file may grow as far as the
// file system lets it. Every position the handle keeps is a 64-bit file
// offset; the one limit of the engine's own is the largest offset the
// platform can name, and an append that would pass it is refused as one
// that finds the disk full.
#ifndef KVR_ENGINE_SEQFS_SQ_HANDLE_H
#define KVR_ENGINE_SEQFS_SQ_HANDLE_H

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/file_channel.h"
#include "engine/file_header.h"
#include "engine/seqfs/sequential_engine.h"
#include "platform/windows_file.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::seqfs {

inline constexpr uint32_t kHeaderSize = 80;
inline constexpr uint32_t kBlockSize = 4096;
inline constexpr uint32_t kLengthWordSize = 4;
// Largest size a file may reach: the largest file offset of the platform.
inline constexpr uint64_t kMaxFileEnd = 0x7FFFFFFFFFFFFFFFu;

// Byte offsets of the header fields.
enum HeaderOffset : uint32_t {
    kHeaderSizeAt = 0,
    kMarkAt = engine::kFileMarkAt,
    kByteOrderAt = 12,
    kOpenStateAt = 16,
    kFileHandleAt = 20,
    kBlockSizeAt = 52,
    kKeyCountAt = 54,
    kMinLengthAt = 56,
    kMaxLengthAt = 60,
    kAreaLengthAt = 64,
    kRecordCountAt = 68,
    kOptionsAt = 72,
    kLastLengthAt = 76,
};
// The header bytes open keeps: everything but the last record length.
inline constexpr uint32_t kHeaderBytesKept = kLastLengthAt;

// open_state bits.
inline constexpr uint32_t kStateOpen = 0x02;
inline constexpr uint32_t kStateUnbuffered = 0x04;

// buffer_flags bits.
inline constexpr uint32_t kPreviousChanged = 0x01;
inline constexpr uint32_t kCurrentChanged = 0x02;

enum class Role : uint8_t { kIdle, kReading, kAppending };

// A failed Windows call (file_channel.h's WindowsFailure) as a result:
// access denied 15, invalid handle 3, sharing violation 18, lock violation
// 17, file name too long 29, a full disk 11, anything else 2.
Result map_windows_error(platform::DWORD error);

}  // namespace kvr::seqfs

struct sq_handle {
    unsigned char header[kvr::seqfs::kHeaderSize] = {};
    uint32_t open_state = 0;
    bool writable = false;             // opened for reading and writing
    kvr::engine::FileChannel channel;  // the Windows path, 64-bit positions
    // Null in mode 2, which has no buffers.
    std::unique_ptr<unsigned char[]> previous_buffer;
    std::unique_ptr<unsigned char[]> current_buffer;

    // Where the operating system's file pointer stands, when known; after a
    // failed transfer it is not, and the next transfer seeks first.
    uint64_t file_position = 0;
    bool position_known = false;

    kvr::seqfs::Role role = kvr::seqfs::Role::kIdle;
    // Reading: the file offset just past the data of the current block.
    // Appending: the file offset where byte 0 of the current buffer belongs.
    // Idle (nothing read or appended yet): where appends begin; reads
    // begin at the first record.
    uint64_t cursor = 0;

    // Reading.
    uint32_t current_length = 0;   // bytes of the current block
    uint32_t consumed = 0;         // bytes of the current block taken by reads
    uint32_t previous_length = 0;  // bytes of the previous block
    uint32_t buffer_flags = 0;
    bool has_read_record = false;     // a record was read and may be replaced
    uint32_t read_record_length = 0;  // its length word
    uint64_t read_record_end = 0;     // file offset just past its data
    // Set when a read failed part-way through a record: the next read starts
    // again at this record's first byte.
    std::optional<uint64_t> resume_at;

    // Appending.
    uint32_t write_used = 0;       // bytes of the current buffer holding records
    bool has_last_record = false;  // an append on this handle can be replaced
    uint32_t last_length = 0;
    uint64_t last_record_start = 0;
    // The file must be cut here before anything more is written: an append
    // that failed part-way left the head of its record in the file.
    std::optional<uint64_t> owed_cut;

    bool buffered() const { return current_buffer != nullptr; }
    uint64_t current_start() const { return cursor - current_length; }
    uint64_t previous_start() const { return current_start() - previous_length; }
    // The file offset of the next byte a read takes.
    uint64_t read_offset() const { return current_start() + consumed; }
};

namespace kvr::seqfs {

// Positioned transfers on the handle's file; each returns 0 or a mapped
// error. They seek only when the file pointer is not already there.
Result seek_to(sq_handle& handle, uint64_t offset);
Result seek_to_end(sq_handle& handle, uint64_t* end);
Result read_at(sq_handle& handle, uint64_t offset, unsigned char* buffer, uint32_t count,
               uint32_t* got);
Result write_at(sq_handle& handle, uint64_t offset, const unsigned char* buffer, uint32_t count);
// Makes the file end at offset, leaving the file pointer there.
Result cut_file_at(sq_handle& handle, uint64_t offset);

// The file workers.
Result sq_create_file(const unsigned char* attributes, const char* file_name);
Result sq_open_file(sq_handle** slot, const char* file_name, uint8_t mode);
// 0 when the handle is closed and freed, the error of a write-back when it
// stays open (nothing freed), or the error of the close itself (freed).
// With give_up a failed write-back is reported and the handle freed too.
Result sq_close_file(sq_handle* handle, bool give_up, bool* released);
Result sq_get_attributes(const sq_handle& handle, unsigned char* block);

// Puts everything written or changed in memory into the file: the pending
// records of an append, the changed blocks of a read.
Result sq_flush(sq_handle& handle);

// The record workers; the handle is open and buffered.
Result sq_append(sq_handle& handle, const unsigned char* record, uint32_t length);
Result sq_replace_last(sq_handle& handle, const unsigned char* record, uint32_t length);
Result sq_read(sq_handle& handle, unsigned char* area, uint32_t* length, bool from_first);
Result sq_rewrite(sq_handle& handle, const unsigned char* record, uint32_t length);

}  // namespace kvr::seqfs

#endif
