// Positioned transfers on an open sequential file, and how failed calls
// become results.
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

Result lost_position(sq_handle& handle) {
    handle.position_known = false;
    return map_windows_error(GetLastError());
}

}  // namespace

Result seek_to(sq_handle& handle, uint64_t offset) {
    if (handle.position_known && handle.file_position == offset)
        return kOk;
    LONG high = static_cast<LONG>(offset >> 32);
    const DWORD low = SetFilePointer(
        handle.os_handle, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return lost_position(handle);
    handle.file_position = offset;
    handle.position_known = true;
    return kOk;
}

Result seek_to_end(sq_handle& handle, uint64_t* end) {
    LONG high = 0;
    const DWORD low = SetFilePointer(handle.os_handle, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return lost_position(handle);
    handle.file_position = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
    handle.position_known = true;
    *end = handle.file_position;
    return kOk;
}

Result read_at(sq_handle& handle, uint64_t offset, unsigned char* buffer, uint32_t count,
               uint32_t* got) {
    *got = 0;
    if (Result result = seek_to(handle, offset); result != kOk)
        return result;
    DWORD transferred = 0;
    if (!ReadFile(handle.os_handle, buffer, count, &transferred, nullptr))
        return lost_position(handle);
    // ReadFile never delivers more than asked; the check keeps a broken
    // platform from making the caller trust a larger count.
    if (transferred > count) {
        handle.position_known = false;
        return kIoError;
    }
    handle.file_position += transferred;
    *got = transferred;
    return kOk;
}

Result write_at(sq_handle& handle, uint64_t offset, const unsigned char* buffer, uint32_t count) {
    if (count == 0)
        return kOk;
    if (Result result = seek_to(handle, offset); result != kOk)
        return result;
    DWORD transferred = 0;
    if (!WriteFile(handle.os_handle, buffer, count, &transferred, nullptr))
        return lost_position(handle);
    handle.file_position += count;
    return kOk;
}

// SetEndOfFile takes the whole 64-bit position, so a file is cut as exactly
// past 4 GiB as below it.
Result cut_file_at(sq_handle& handle, uint64_t offset) {
    if (Result result = seek_to(handle, offset); result != kOk)
        return result;
    if (!SetEndOfFile(handle.os_handle))
        return map_windows_error(GetLastError());
    return kOk;
}

}  // namespace kvr::seqfs
