#include "engine/file_channel.h"

#include <cstdio>

#include "engine/change_journal.h"
#include "engine/results.h"
#include "platform/crt_file.h"
#include "platform/share_locks.h"

namespace kvr::engine {

using namespace kvr::platform;

namespace {

IoOutcome windows_failure() {
    return IoOutcome{IoOutcome::kFailed, GetLastError()};
}

constexpr IoOutcome kDescriptorFailure{IoOutcome::kFailed, 0};

}  // namespace

IoOutcome FileChannel::open(const char* name, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags, FileChannel* opened) {
    *opened = FileChannel();
    const HANDLE file = CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return windows_failure();
    *opened = windows(file);
    return {};
}

IoOutcome FileChannel::use_descriptor() {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle_), 0);
    if (fd < 0)
        return kDescriptorFailure;
    fd_ = fd;
    return {};
}

IoOutcome FileChannel::close() {
    IoOutcome outcome;
    if (fd_ >= 0 && _close(fd_) != 0)
        outcome = kDescriptorFailure;
    if (handle_ != nullptr && !CloseHandle(handle_) && outcome.ok())
        outcome = windows_failure();
    handle_ = nullptr;
    fd_ = -1;
    return outcome;
}

IoOutcome FileChannel::identity(FileIdentity* identity) const {
    return GetFileIdentity(handle_, identity) ? IoOutcome{} : windows_failure();
}

IoOutcome FileChannel::set_ownership(uint32_t owner, uint32_t group, uint32_t mode) const {
    return SetFileOwnership(handle_, owner, group, mode) ? IoOutcome{} : windows_failure();
}

IoOutcome FileChannel::size(uint64_t* size) const {
    LONG high = 0;
    const DWORD low = SetFilePointer(handle_, 0, &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return windows_failure();
    *size = (uint64_t{static_cast<uint32_t>(high)} << 32) | low;
    return {};
}

IoOutcome FileChannel::lock_byte(uint64_t at, DWORD flags) const {
    return platform::lock_byte(handle_, at, flags) ? IoOutcome{} : windows_failure();
}

void FileChannel::unlock_byte(uint64_t at) const {
    platform::unlock_byte(handle_, at);
}

IoOutcome FileChannel::seek(uint64_t offset) const {
    if (uses_descriptor()) {
        if (_lseek(fd_, static_cast<long>(offset), SEEK_SET) < 0)
            return kDescriptorFailure;
        return {};
    }
    LONG high = static_cast<LONG>(offset >> 32);
    DWORD low = SetFilePointer(handle_, static_cast<LONG>(static_cast<uint32_t>(offset)), &high,
                               FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return windows_failure();
    return {};
}

IoOutcome FileChannel::seek_end(uint32_t* end) const {
    uint64_t position;
    if (uses_descriptor()) {
        long at = _lseek(fd_, 0, SEEK_END);
        if (at < 0)
            return kDescriptorFailure;
        position = static_cast<uint64_t>(at);
    } else {
        LONG high = 0;
        DWORD low = SetFilePointer(handle_, 0, &high, FILE_END);
        if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
            return windows_failure();
        position = (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
    }
    if (position > kMaxFileEnd)
        return IoOutcome{IoOutcome::kFailed, ERROR_DISK_FULL};
    *end = static_cast<uint32_t>(position);
    return {};
}

IoOutcome FileChannel::read(void* buffer, uint32_t count, uint32_t* got) const {
    *got = 0;
    if (uses_descriptor()) {
        int n = _read(fd_, buffer, count);
        if (n < 0)
            return kDescriptorFailure;
        *got = static_cast<uint32_t>(n);
    } else {
        DWORD n = 0;
        if (!ReadFile(handle_, buffer, count, &n, nullptr))
            return windows_failure();
        *got = n;
    }
    if (*got == 0 && count != 0)
        return IoOutcome{IoOutcome::kEndOfFile, 0};
    return {};
}

IoOutcome FileChannel::read_or_view(void* buffer, uint32_t count, uint32_t* got,
                                    const unsigned char** view) const {
    *view = nullptr;
    if (uses_descriptor())
        return read(buffer, count, got);
    *got = 0;
    DWORD n = 0;
    if (!ReadFileView(handle_, buffer, count, &n, view))
        return windows_failure();
    *got = n;
    if (*got == 0 && count != 0)
        return IoOutcome{IoOutcome::kEndOfFile, 0};
    return {};
}

void FileChannel::prefetch(uint32_t offset, uint32_t count) const {
    if (!uses_descriptor())
        PrefetchFile(handle_, offset, count);
}

IoOutcome FileChannel::save_for_journal(uint32_t offset, uint32_t count, bool* moved) const {
    *moved = false;
    if (journal_ == nullptr || !journal_->active())
        return {};
    *moved = true;
    return journal_->save(*this, offset, count);
}

IoOutcome FileChannel::write(const void* buffer, uint32_t count) const {
    if (uses_descriptor())
        return _write(fd_, buffer, count) < 0 ? kDescriptorFailure : IoOutcome{};
    DWORD n = 0;
    if (!WriteFile(handle_, buffer, count, &n, nullptr))
        return windows_failure();
    return {};
}

IoOutcome FileChannel::write_at(uint32_t offset, const void* buffer, uint32_t count) const {
    bool moved = false;
    if (const IoOutcome saved = save_for_journal(offset, count, &moved); !saved.ok())
        return saved;
    const IoOutcome outcome = seek(offset);
    return outcome.ok() ? write(buffer, count) : outcome;
}

IoOutcome FileChannel::write_on_at(uint32_t offset, const void* buffer, uint32_t count) const {
    bool moved = false;
    if (const IoOutcome saved = save_for_journal(offset, count, &moved); !saved.ok())
        return saved;
    const IoOutcome outcome = moved ? seek(offset) : IoOutcome{};
    return outcome.ok() ? write(buffer, count) : outcome;
}

IoOutcome FileChannel::truncate(uint32_t length) const {
    bool moved = false;
    if (const IoOutcome saved = save_for_journal(length, kMaxFileEnd - length, &moved); !saved.ok())
        return saved;
    if (uses_descriptor())
        return _chsize(fd_, static_cast<long>(length)) == 0 ? IoOutcome{} : kDescriptorFailure;
    const IoOutcome outcome = seek(length);
    return outcome.ok() ? end_here() : outcome;
}

IoOutcome FileChannel::end_here() const {
    return SetEndOfFile(handle_) ? IoOutcome{} : windows_failure();
}

IoOutcome FileChannel::read_at(uint32_t offset, void* buffer, uint32_t count, uint32_t* got) const {
    *got = 0;
    IoOutcome outcome = seek(offset);
    return outcome.ok() ? read(buffer, count, got) : outcome;
}

WindowsFailure windows_failure_of(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return WindowsFailure::kAccessDenied;
        case ERROR_INVALID_HANDLE:
            return WindowsFailure::kInvalidHandle;
        case ERROR_LOCK_VIOLATION:
            return WindowsFailure::kLockViolation;
        case ERROR_SHARING_VIOLATION:
            return WindowsFailure::kSharingViolation;
        case ERROR_FILENAME_EXCED_RANGE:
            return WindowsFailure::kNameTooLong;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return WindowsFailure::kDiskFull;
        default:
            return WindowsFailure::kOther;
    }
}

Result map_windows_error(DWORD error) {
    switch (windows_failure_of(error)) {
        case WindowsFailure::kAccessDenied:
            return kAccessDenied;
        case WindowsFailure::kInvalidHandle:
            return kNotOpen;
        case WindowsFailure::kLockViolation:
            return kLockViolation;
        case WindowsFailure::kSharingViolation:
            return kSharingViolation;
        case WindowsFailure::kNameTooLong:
        case WindowsFailure::kDiskFull:
        case WindowsFailure::kOther:
            break;
    }
    return kIoError;
}

Result store_status(IoOutcome outcome) {
    switch (outcome.kind) {
        case IoOutcome::kDone:
            return kOk;
        case IoOutcome::kEndOfFile:
            return kEndOfFile;
        case IoOutcome::kFailed:
            break;
    }
    return outcome.windows_error == 0 ? kIoError : map_windows_error(outcome.windows_error);
}

}  // namespace kvr::engine
