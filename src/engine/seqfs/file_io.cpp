// Positioned transfers on an open sequential file, through its file
// channel, and how failed calls become results.
//
// The handle remembers where the operating system's file pointer stands, so
// a transfer at the offset where the last one ended needs no seek. A failed
// transfer may have moved the pointer by an unknown amount; the next one
// then seeks first.
#include <cstdint>

#include "engine/file_channel.h"
#include "engine/seqfs/sq_handle.h"

namespace kvr::seqfs {

using namespace kvr::platform;

Result map_windows_error(DWORD error) {
    switch (engine::windows_failure_of(error)) {
        case engine::WindowsFailure::kAccessDenied:
            return kAccessDenied;
        case engine::WindowsFailure::kInvalidHandle:
            return kNotOpen;
        case engine::WindowsFailure::kSharingViolation:
            return kSharingViolation;
        case engine::WindowsFailure::kLockViolation:
            return kLockViolation;
        case engine::WindowsFailure::kNameTooLong:
            return kNameTooLong;
        case engine::WindowsFailure::kDiskFull:
            return kNoSpace;
        case engine::WindowsFailure::kOther:
            break;
    }
    return kIoError;
}

namespace {

// A failed transfer may have moved the file pointer by an unknown amount.
Result lost_position(sq_handle& handle, engine::IoOutcome outcome) {
    handle.position_known = false;
    return map_windows_error(outcome.windows_error);
}

}  // namespace

Result seek_to(sq_handle& handle, uint64_t offset) {
    if (handle.position_known && handle.file_position == offset)
        return kOk;
    if (const engine::IoOutcome outcome = handle.channel.seek(offset); !outcome.ok())
        return lost_position(handle, outcome);
    handle.file_position = offset;
    handle.position_known = true;
    return kOk;
}

Result seek_to_end(sq_handle& handle, uint64_t* end) {
    if (const engine::IoOutcome outcome = handle.channel.size(&handle.file_position); !outcome.ok())
        return lost_position(handle, outcome);
    handle.position_known = true;
    *end = handle.file_position;
    return kOk;
}

Result read_at(sq_handle& handle, uint64_t offset, unsigned char* buffer, uint32_t count,
               uint32_t* got) {
    *got = 0;
    if (Result result = seek_to(handle, offset); result != kOk)
        return result;
    uint32_t transferred = 0;
    const engine::IoOutcome outcome = handle.channel.read(buffer, count, &transferred);
    // Nothing left to read is no failure here: the caller counts the bytes.
    if (outcome.kind == engine::IoOutcome::kFailed)
        return lost_position(handle, outcome);
    handle.file_position += transferred;
    *got = transferred;
    return kOk;
}

Result write_at(sq_handle& handle, uint64_t offset, const unsigned char* buffer, uint32_t count) {
    if (count == 0)
        return kOk;
    if (Result result = seek_to(handle, offset); result != kOk)
        return result;
    if (const engine::IoOutcome outcome = handle.channel.write(buffer, count); !outcome.ok())
        return lost_position(handle, outcome);
    handle.file_position += count;
    return kOk;
}

// The file pointer carries all 64 bits, so a file is cut as exactly past
// 4 GiB as below it.
Result cut_file_at(sq_handle& handle, uint64_t offset) {
    if (Result result = seek_to(handle, offset); result != kOk)
        return result;
    if (const engine::IoOutcome outcome = handle.channel.end_here(); !outcome.ok())
        return map_windows_error(outcome.windows_error);
    return kOk;
}

}  // namespace kvr::seqfs
