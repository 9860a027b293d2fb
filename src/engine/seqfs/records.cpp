// Appending, reading and replacing records of a sequential file.
//
// Records move through the handle's two 4096-byte buffers. An append fills
// the current buffer and writes it to the file when it is full and more bytes
// come. A read takes bytes from the current block and loads the next one only
// when it needs more; loading moves the current block into the previous
// buffer, writing the block that drops out back to the file first if a
// rewrite changed it. A rewrite puts the new data over the old wherever the
// old lies: in the current block, in the previous one, across both, or
// straight into the file for the part that lies before them.
//
// Length words come from the file and are not trusted: the bytes copied are
// bounded by the caller's area. The file ends cleanly only where a record
// would begin: a record that runs past the end of the file (a file cut short
// inside it, or a damaged length word) is a damaged record, as is a trailing
// length word that differs from the leading one.
#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/seqfs/sq_handle.h"
#include "platform/coding.h"

namespace kvr::seqfs {

using namespace kvr::platform;

namespace {

// ---- Appending ----

// Writes the full current buffer to the file and empties it. A cut owed by
// an earlier failed append is made first.
Result flush_full_buffer(sq_handle& handle) {
    if (handle.owed_cut) {
        if (Result result = cut_file_at(handle, *handle.owed_cut); result != kOk)
            return result;
        handle.owed_cut.reset();
    }
    if (Result result = write_at(handle, handle.cursor, handle.current_buffer.get(), kBlockSize);
        result != kOk)
        return result;
    handle.cursor += kBlockSize;
    handle.write_used = 0;
    return kOk;
}

Result put_bytes(sq_handle& handle, const unsigned char* bytes, uint32_t count) {
    while (count > 0) {
        if (handle.write_used == kBlockSize) {
            if (Result result = flush_full_buffer(handle); result != kOk)
                return result;
        }
        const uint32_t step = std::min(count, kBlockSize - handle.write_used);
        std::memcpy(handle.current_buffer.get() + handle.write_used, bytes, step);
        handle.write_used += step;
        bytes += step;
        count -= step;
    }
    return kOk;
}

// Takes back the bytes of a record whose append failed part-way, so that no
// partial record stays in the file. If the buffer still holds the record's
// first byte, the buffer just forgets it; otherwise the buffer is emptied
// and its start moves back to where the record began. Either way the file
// is cut at the buffer's start: the chunk write that failed may have put
// part of the chunk, the record's head among it, into the file (a file-size
// limit lets a write in up to the limit), and what the buffer keeps goes in
// again at the next write. If that cut fails too, it is owed and made
// before anything else is written.
void abandon_append(sq_handle& handle, uint64_t record_start) {
    if (record_start >= handle.cursor) {
        handle.write_used = static_cast<uint32_t>(record_start - handle.cursor);
    } else {
        handle.cursor = record_start;
        handle.write_used = 0;
    }
    handle.owed_cut = handle.cursor;
    if (cut_file_at(handle, handle.cursor) == kOk)
        handle.owed_cut.reset();
}

Result become_appender(sq_handle& handle) {
    if (handle.role == Role::kAppending)
        return kOk;
    if (handle.role == Role::kReading) {
        // Blocks changed by rewrites go back first. Appends always go to the
        // end of the file, wherever reading had got to.
        if (Result result = sq_flush(handle); result != kOk)
            return result;
        uint64_t end = 0;
        if (Result result = seek_to_end(handle, &end); result != kOk)
            return result;
        handle.cursor = end;
        handle.owed_cut.reset();
    }
    // From idle a cut owed at open (a torn last record) stays owed.
    handle.role = Role::kAppending;
    handle.write_used = 0;
    handle.has_last_record = false;
    handle.has_read_record = false;
    handle.resume_at.reset();
    return kOk;
}

// ---- Reading ----

// Moves to the next block: the current block becomes the previous one (the
// block that drops out is written back first if it was changed) and the
// current buffer is filled from the file. Nothing more in the file is end of
// file.
Result load_next_block(sq_handle& handle) {
    if (handle.buffer_flags & kPreviousChanged) {
        if (Result result = write_at(handle, handle.previous_start(), handle.previous_buffer.get(),
                                     handle.previous_length);
            result != kOk)
            return result;
        handle.buffer_flags &= ~kPreviousChanged;
    }
    std::swap(handle.previous_buffer, handle.current_buffer);
    handle.previous_length = handle.current_length;
    handle.buffer_flags = (handle.buffer_flags & kCurrentChanged) ? kPreviousChanged : 0;
    handle.current_length = 0;
    handle.consumed = 0;

    uint32_t got = 0;
    if (Result result =
            read_at(handle, handle.cursor, handle.current_buffer.get(), kBlockSize, &got);
        result != kOk)
        return result;
    if (got == 0)
        return kEndOfFile;
    handle.current_length = got;
    handle.cursor += got;
    return kOk;
}

// Drops both blocks (writing changed ones back) so that the next read starts
// at offset.
Result restart_reading_at(sq_handle& handle, uint64_t offset) {
    if (Result result = sq_flush(handle); result != kOk)
        return result;
    handle.cursor = offset;
    handle.current_length = 0;
    handle.consumed = 0;
    handle.previous_length = 0;
    handle.buffer_flags = 0;
    handle.resume_at.reset();
    return kOk;
}

// Takes count bytes of the file from the read position on, copying them to
// out unless it is null, and loading blocks as needed. *taken counts the
// bytes taken, also when the file ends or a load fails before all are.
//
// Bytes that are only passed over (the part of a record beyond the caller's
// area) are not loaded block by block: when more than a block of them lies
// past the current one, reading starts again at the last of them. That
// byte is still loaded, so a record that runs past the end of the file is
// found as surely as when every block is read.
Result take_bytes(sq_handle& handle, unsigned char* out, uint64_t count, uint64_t* taken) {
    *taken = 0;
    while (count > 0) {
        const uint32_t left = handle.current_length - handle.consumed;
        if (out == nullptr && count > uint64_t{left} + kBlockSize) {
            const uint64_t passed = count - 1;
            if (Result result = restart_reading_at(handle, handle.read_offset() + passed);
                result != kOk)
                return result;
            count -= passed;
            *taken += passed;
            continue;
        }
        if (handle.consumed == handle.current_length) {
            if (Result result = load_next_block(handle); result != kOk)
                return result;
        }
        const uint32_t step = static_cast<uint32_t>(
            std::min<uint64_t>(count, handle.current_length - handle.consumed));
        if (out != nullptr) {
            std::memcpy(out, handle.current_buffer.get() + handle.consumed, step);
            out += step;
        }
        handle.consumed += step;
        count -= step;
        *taken += step;
    }
    return kOk;
}

Result become_reader(sq_handle& handle) {
    if (handle.role == Role::kReading)
        return kOk;
    if (handle.role == Role::kIdle) {
        // A handle that has neither read nor appended reads from the first
        // record, also when it was opened at the end for appending.
        handle.cursor = kHeaderSize;
    } else {
        // Records still in memory go to the file; reading goes on from the
        // end of what was written.
        if (Result result = sq_flush(handle); result != kOk)
            return result;
        handle.cursor += handle.write_used;
        handle.write_used = 0;
        handle.has_last_record = false;
    }
    handle.role = Role::kReading;
    handle.current_length = 0;
    handle.consumed = 0;
    handle.previous_length = 0;
    handle.buffer_flags = 0;
    handle.has_read_record = false;
    handle.resume_at.reset();
    return kOk;
}

// Copies the part of [data_start, data_start + length) that lies in the
// block at block_start (block_length bytes) from record into block; true if
// anything was copied.
bool copy_into_block(unsigned char* block, uint64_t block_start, uint32_t block_length,
                     const unsigned char* record, uint64_t data_start, uint32_t length) {
    const uint64_t low = std::max(block_start, data_start);
    const uint64_t high = std::min(block_start + block_length, data_start + length);
    if (low >= high)
        return false;
    std::memcpy(block + (low - block_start), record + (low - data_start), high - low);
    return true;
}

}  // namespace

Result sq_append(sq_handle& handle, const unsigned char* record, uint32_t length) {
    if (Result result = become_appender(handle); result != kOk)
        return result;
    const uint64_t start = handle.cursor + handle.write_used;
    if (start + 2 * kLengthWordSize + length > kMaxFileEnd)
        return kNoSpace;
    unsigned char word[kLengthWordSize];
    store_u32(word, length);
    Result result = put_bytes(handle, word, kLengthWordSize);
    if (result == kOk)
        result = put_bytes(handle, record, length);
    if (result == kOk)
        result = put_bytes(handle, word, kLengthWordSize);
    if (result != kOk) {
        abandon_append(handle, start);
        return result;
    }
    handle.has_last_record = true;
    handle.last_length = length;
    handle.last_record_start = start;
    return kOk;
}

Result sq_replace_last(sq_handle& handle, const unsigned char* record, uint32_t length) {
    // Only a record appended through this handle, and not given up since,
    // can be replaced: anything else would cut records that are not ours.
    if (handle.role != Role::kAppending || !handle.has_last_record)
        return kIoError;
    const uint64_t start = handle.last_record_start;
    if (start + 2 * kLengthWordSize + length > kMaxFileEnd)
        return kNoSpace;
    if (start >= handle.cursor) {
        // The whole record is still in the buffer.
        handle.write_used = static_cast<uint32_t>(start - handle.cursor);
    } else {
        // Its start is in the file already: the file ends where it began.
        if (Result result = cut_file_at(handle, start); result != kOk)
            return result;
        handle.cursor = start;
        handle.write_used = 0;
        handle.owed_cut.reset();
    }
    handle.has_last_record = false;
    return sq_append(handle, record, length);
}

Result sq_read(sq_handle& handle, unsigned char* area, uint32_t* length, bool from_first) {
    if (Result result = become_reader(handle); result != kOk)
        return result;
    if (from_first || handle.resume_at) {
        if (Result result =
                restart_reading_at(handle, from_first ? kHeaderSize : *handle.resume_at);
            result != kOk)
            return result;
    }
    handle.has_read_record = false;
    const uint64_t start = handle.read_offset();
    // Once a record has begun, the end of the file inside it is damage.
    auto fail = [&](Result result) {
        handle.resume_at = start;
        return result == kEndOfFile ? kIoError : result;
    };

    unsigned char word[kLengthWordSize];
    uint64_t taken = 0;
    if (Result result = take_bytes(handle, word, kLengthWordSize, &taken); result != kOk)
        return (result == kEndOfFile && taken == 0) ? kEndOfFile : fail(result);
    const uint32_t record_length = load_u32(word);
    const uint32_t delivered = std::min(*length, record_length);
    if (Result result = take_bytes(handle, area, delivered, &taken); result != kOk)
        return fail(result);
    if (Result result = take_bytes(handle, nullptr, record_length - delivered, &taken);
        result != kOk)
        return fail(result);
    const uint64_t data_end = handle.read_offset();

    // A file that ends exactly where the trailing length word would begin
    // still holds the whole record (a zero-length record whose leading word
    // ends the file, for one); the next read meets the end of the file. A
    // file that ends inside the trailing word is cut short like any other.
    const Result trailer = take_bytes(handle, word, kLengthWordSize, &taken);
    if (trailer == kOk && load_u32(word) != record_length)
        return fail(kIoError);
    if (trailer != kOk && !(trailer == kEndOfFile && taken == 0))
        return fail(trailer);

    *length = delivered;
    handle.has_read_record = true;
    handle.read_record_length = record_length;
    handle.read_record_end = data_end;
    return kOk;
}

Result sq_rewrite(sq_handle& handle, const unsigned char* record, uint32_t length) {
    // The length words stay as they are, so only data of the same length
    // can take the old data's place.
    if (handle.role != Role::kReading || !handle.has_read_record ||
        length != handle.read_record_length)
        return kIoError;
    const uint64_t data_start = handle.read_record_end - length;
    const uint64_t previous_start = handle.previous_start();
    const uint64_t current_start = handle.current_start();

    if (data_start < previous_start) {
        // The record began before the blocks in memory: it goes straight
        // into the file, and the buffers get the same bytes so that what
        // they write back later agrees with it.
        if (Result result = write_at(handle, data_start, record, length); result != kOk)
            return result;
        copy_into_block(handle.previous_buffer.get(), previous_start, handle.previous_length,
                        record, data_start, length);
        copy_into_block(handle.current_buffer.get(), current_start, handle.current_length, record,
                        data_start, length);
        return kOk;
    }
    if (copy_into_block(handle.previous_buffer.get(), previous_start, handle.previous_length,
                        record, data_start, length))
        handle.buffer_flags |= kPreviousChanged;
    if (copy_into_block(handle.current_buffer.get(), current_start, handle.current_length, record,
                        data_start, length))
        handle.buffer_flags |= kCurrentChanged;
    return kOk;
}

}  // namespace kvr::seqfs
