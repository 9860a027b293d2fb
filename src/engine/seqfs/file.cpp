// Create, open and close of sequential files, and the attribute block of an
// open one.
//
// Create writes the 80-byte header and nothing else. Open reads the header,
// checks the mark, and leaves the file ready for reading from the first
// record (mode 0) or for appending at its end (mode 3). Close puts what is
// still in memory into the file first; when that fails the file stays open
// and the handle stays valid, so that the close can be tried again.
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "engine/file_header.h"
#include "engine/seqfs/sq_handle.h"
#include "platform/coding.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::seqfs {

using namespace kvr::platform;

namespace {

constexpr uint32_t kByteOrderMark = 0x01020304;
constexpr uint32_t kOpenStateOnDisk = 1;

void build_header(const ix_attributes& attributes, unsigned char* image) {
    std::memset(image, 0, kHeaderSize);
    store_u32(image + kHeaderSizeAt, kHeaderSize);
    std::memcpy(image + kMarkAt, engine::kSequentialMark, engine::kFileMarkSize);
    store_u32(image + kByteOrderAt, kByteOrderMark);
    store_u32(image + kOpenStateAt, kOpenStateOnDisk);
    store_u32(image + kFileHandleAt, 0);
    store_u16(image + kBlockSizeAt, kBlockSize);
    store_u16(image + kKeyCountAt, static_cast<uint16_t>(attributes.key_count));
    store_u32(image + kMinLengthAt, attributes.min_record_length);
    store_u32(image + kMaxLengthAt, attributes.max_record_length);
    store_u32(image + kAreaLengthAt, attributes.area_length);
    store_u32(image + kRecordCountAt, 0);
    store_u32(image + kOptionsAt, static_cast<uint16_t>(attributes.options));
    store_u32(image + kLastLengthAt, 0);
}

// 0 for a sequential file of this system, else the result that refuses it.
Result check_mark(const unsigned char* image) {
    switch (engine::file_mark_of(image)) {
        case engine::FileMark::kSequential:
            return kOk;
        case engine::FileMark::kIndexed:
            return kIndexedFile;
        default:
            return kNotSequentialFile;
    }
}

std::unique_ptr<unsigned char[]> new_block() {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[kBlockSize]);
}

// Closes the file an open has given up on and passes its result on.
Result give_up(engine::FileChannel& file, Result result) {
    file.close();
    return result;
}

// The u32 at offset, which lies inside the file: kOk, or the failed read's
// result (a read that comes back short is an I/O error there).
Result word_at(sq_handle& handle, uint64_t offset, uint32_t* value) {
    unsigned char word[kLengthWordSize];
    uint32_t got = 0;
    if (Result result = read_at(handle, offset, word, kLengthWordSize, &got); result != kOk)
        return result;
    if (got != kLengthWordSize)
        return kIoError;
    *value = load_u32(word);
    return kOk;
}

// Sets *whole when the file's last bytes are a trailing length word that
// matches the leading word of the record it closes: the last record is
// whole. A zero word is not taken as one (zeros are what a torn record most
// often ends in), nor one that reaches back into the header.
Result ends_with_whole_record(sq_handle& handle, uint64_t end, bool* whole) {
    *whole = end == kHeaderSize;
    uint32_t trailer = 0;
    if (end < kHeaderSize + 2 * kLengthWordSize)
        return kOk;
    if (Result result = word_at(handle, end - kLengthWordSize, &trailer); result != kOk)
        return result;
    if (trailer == 0 || trailer > end - kHeaderSize - 2 * kLengthWordSize)
        return kOk;
    uint32_t leader = 0;
    if (Result result = word_at(handle, end - 2 * kLengthWordSize - trailer, &leader);
        result != kOk)
        return result;
    *whole = leader == trailer;
    return kOk;
}

// Where appends to a file of `end` bytes begin (*at). A file cut short
// inside its last record, as a writer killed before its buffer reached the
// file leaves it, is walked from the first record to find where the tear
// begins: appending behind the torn record would leave every new record
// behind damage that reads stop at, so appends begin at the tear. Damage
// before the last record is not a tear and changes nothing here. A last
// record whole but for its trailing word gets that word (*missing_trailer).
Result append_point(sq_handle& handle, uint64_t end, uint64_t* at,
                    std::optional<uint32_t>* missing_trailer) {
    *at = end;
    bool whole = false;
    if (Result result = ends_with_whole_record(handle, end, &whole); result != kOk || whole)
        return result;
    uint64_t record = kHeaderSize;
    while (record < end) {
        uint32_t length = 0;
        if (end - record < kLengthWordSize) {
            *at = record;  // the file ends inside a length word
            return kOk;
        }
        if (Result result = word_at(handle, record, &length); result != kOk)
            return result;
        const uint64_t data_end = record + kLengthWordSize + length;
        if (data_end == end) {
            // A whole record without its trailing word ends the file: reads
            // take it, and appends begin with the word it lacks.
            *missing_trailer = length;
            return kOk;
        }
        if (data_end > end || end - data_end < kLengthWordSize) {
            *at = record;  // the file ends inside the record
            return kOk;
        }
        uint32_t trailing = 0;
        if (Result result = word_at(handle, data_end, &trailing); result != kOk)
            return result;
        if (trailing != length)
            return kOk;  // damage before the end: not a tear
        record = data_end + kLengthWordSize;
    }
    return kOk;
}

}  // namespace

Result sq_create_file(const unsigned char* attributes, const char* file_name) {
    if (attributes == nullptr || file_name == nullptr)
        return kIoError;
    ix_attributes fields{};
    ix_attributes_decode(attributes, &fields);
    unsigned char image[kHeaderSize];
    build_header(fields, image);

    engine::FileChannel file;
    if (const engine::IoOutcome opened =
            engine::FileChannel::open(file_name, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, &file);
        !opened.ok())
        return map_windows_error(opened.windows_error);
    Result result = kOk;
    if (const engine::IoOutcome written = file.write(image, kHeaderSize); !written.ok())
        result = map_windows_error(written.windows_error);
    if (const engine::IoOutcome closed = file.close(); !closed.ok() && result == kOk)
        result = map_windows_error(closed.windows_error);
    return result;
}

Result sq_open_file(sq_handle** slot, const char* file_name, uint8_t mode) {
    const uint8_t access_mode = mode & 0x03;
    if (access_mode == 1)
        return kBadRequest;
    if (file_name == nullptr)
        return kIoError;
    const bool read_only = access_mode == SQ_MODE_INPUT;
    const DWORD access = read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const DWORD share = read_only ? FILE_SHARE_READ : 0;
    engine::FileChannel file;
    if (const engine::IoOutcome opened = engine::FileChannel::open(
            file_name, access, share, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, &file);
        !opened.ok())
        return map_windows_error(opened.windows_error);

    // The whole header must be there: a file that ends inside it (an empty
    // one too) is refused before its bytes are looked at.
    unsigned char image[kHeaderSize] = {};
    uint32_t got = 0;
    if (const engine::IoOutcome read = file.read(image, kHeaderSize, &got);
        read.kind == engine::IoOutcome::kFailed)
        return give_up(file, map_windows_error(read.windows_error));
    if (got < kHeaderSize)
        return give_up(file, kAccessDenied);
    if (Result result = check_mark(image); result != kOk)
        return give_up(file, result);

    auto handle = std::unique_ptr<sq_handle>(new (std::nothrow) sq_handle);
    if (handle == nullptr)
        return give_up(file, kNoMemory);
    std::memcpy(handle->header, image, kHeaderBytesKept);
    handle->channel = file;
    handle->open_state = kStateOpen;
    handle->writable = !read_only;
    handle->file_position = kHeaderSize;
    handle->position_known = true;
    handle->cursor = kHeaderSize;

    if (access_mode == SQ_MODE_UNBUFFERED) {
        handle->open_state |= kStateUnbuffered;
    } else {
        handle->previous_buffer = new_block();
        handle->current_buffer = new_block();
        if (handle->previous_buffer == nullptr || handle->current_buffer == nullptr)
            return give_up(file, kNoMemory);
        if (access_mode == SQ_MODE_APPEND) {
            uint64_t end = 0;
            if (Result result = seek_to_end(*handle, &end); result != kOk)
                return give_up(file, result);
            std::optional<uint32_t> missing_trailer;
            if (Result result = append_point(*handle, end, &handle->cursor, &missing_trailer);
                result != kOk)
                return give_up(file, result);
            // The torn record is cut off before the first append is written.
            if (handle->cursor < end)
                handle->owed_cut = handle->cursor;
            if (missing_trailer) {
                unsigned char word[kLengthWordSize];
                store_u32(word, *missing_trailer);
                if (Result result = write_at(*handle, end, word, kLengthWordSize); result != kOk)
                    return give_up(file, result);
                handle->cursor = end + kLengthWordSize;
            }
        }
    }
    *slot = handle.release();
    return kOk;
}

Result sq_flush(sq_handle& handle) {
    switch (handle.role) {
        case Role::kIdle:
            return kOk;
        case Role::kAppending: {
            if (handle.owed_cut) {
                if (Result result = cut_file_at(handle, *handle.owed_cut); result != kOk)
                    return result;
                handle.owed_cut.reset();
            }
            if (Result result =
                    write_at(handle, handle.cursor, handle.current_buffer.get(), handle.write_used);
                result != kOk)
                return result;
            // The records stay where they are in the buffer; only the file
            // offset of byte 0 remembers that they are written.
            return kOk;
        }
        case Role::kReading:
            if (handle.buffer_flags & kCurrentChanged) {
                if (Result result = write_at(handle, handle.current_start(),
                                             handle.current_buffer.get(), handle.current_length);
                    result != kOk)
                    return result;
                handle.buffer_flags &= ~kCurrentChanged;
            }
            if (handle.buffer_flags & kPreviousChanged) {
                if (Result result = write_at(handle, handle.previous_start(),
                                             handle.previous_buffer.get(), handle.previous_length);
                    result != kOk)
                    return result;
                handle.buffer_flags &= ~kPreviousChanged;
            }
            return kOk;
    }
    return kOk;
}

Result sq_close_file(sq_handle* handle, bool give_up, bool* released) {
    *released = false;
    Result result = kOk;
    if (handle->buffered()) {
        result = sq_flush(*handle);
        if (result != kOk && !give_up)
            return result;
    }
    // CloseHandle gives the handle up whatever it reports, so a failure here
    // still ends the open file; the failure is passed on.
    if (const engine::IoOutcome closed = handle->channel.close(); !closed.ok() && result == kOk)
        result = map_windows_error(closed.windows_error);
    delete handle;
    *released = true;
    return result;
}

Result sq_get_attributes(const sq_handle& handle, unsigned char* block) {
    if (block == nullptr)
        return kIoError;
    ix_attributes fields{};
    fields.record_count = load_u32(handle.header + kRecordCountAt);
    fields.min_record_length = load_u32(handle.header + kMinLengthAt);
    fields.max_record_length = load_u32(handle.header + kMaxLengthAt);
    fields.area_length = load_u32(handle.header + kAreaLengthAt);
    fields.block_size = kBlockSize;
    fields.key_count = static_cast<int16_t>(load_u16(handle.header + kKeyCountAt));
    fields.options = static_cast<int16_t>(load_u32(handle.header + kOptionsAt) & 0xFFFF);
    ix_attributes_encode(block, &fields);
    return kOk;
}

}  // namespace kvr::seqfs
