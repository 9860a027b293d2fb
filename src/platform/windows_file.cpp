// Large-file offsets also in a 32-bit build; must come before any header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform/windows_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/error_mapping.h"
#include "platform/fault_injection.h"
#include "platform/file_object.h"

namespace kvr::platform {
namespace {

static_assert(sizeof(off_t) == 8, "file offsets must be 64 bits wide");

// The calling thread's last error, as Windows keeps it.
// Initial-exec: read and written on many calls, without __tls_get_addr.
__attribute__((tls_model("initial-exec"))) thread_local DWORD last_error = ERROR_SUCCESS;

constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

// How often an open starts again when the file changes under it (created or
// removed by someone else between two of its steps).
constexpr int kOpenAttempts = 8;

BOOL fail(DWORD error) {
    last_error = error;
    return kFalse;
}

HANDLE fail_open(DWORD error) {
    last_error = error;
    return INVALID_HANDLE_VALUE;
}

DWORD fail_seek(DWORD error) {
    last_error = error;
    return INVALID_SET_FILE_POINTER;
}

// Closes the descriptor it holds unless released.
class DescriptorGuard {
public:
    explicit DescriptorGuard(int fd) : fd_(fd) {}
    ~DescriptorGuard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DescriptorGuard(const DescriptorGuard&) = delete;
    DescriptorGuard& operator=(const DescriptorGuard&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

int open_flags_for(DWORD access) {
    // O_NONBLOCK keeps open() from waiting on a FIFO, which is then refused
    // as not a regular file; on regular files it has no effect.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    if (reads && writes) {
        flags |= O_RDWR;
    } else if (writes) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    return flags;
}

struct OpenedDescriptor {
    int fd = -1;
    bool existed = false;  // the file was there before this open
    DWORD error = ERROR_SUCCESS;
};

// Opens `name` as the disposition asks and tells whether the file existed.
// An open without O_CREAT answers "existed"; an O_CREAT|O_EXCL open answers
// "created by us"; when another process creates the file between the two,
// the first kind is tried again.
OpenedDescriptor open_descriptor(const char* name, int flags, DWORD disposition) {
    int last_errno = EEXIST;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (disposition != CREATE_NEW) {
            const int fd = ::open(name, flags);
            if (fd >= 0)
                return {fd, true, ERROR_SUCCESS};
            if (errno == EINTR)
                continue;
            if (errno != ENOENT || disposition == OPEN_EXISTING) {
                return {-1, false, windows_error_from_errno(errno, ErrnoContext::kOpen)};
            }
        }
        const int fd = ::open(name, flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0)
            return {fd, false, ERROR_SUCCESS};
        last_errno = errno;
        if (errno == EINTR)
            continue;
        if (errno != EEXIST) {
            return {-1, false, windows_error_from_errno(errno, ErrnoContext::kCreate)};
        }
        if (disposition == CREATE_NEW)
            return {-1, false, ERROR_FILE_EXISTS};
    }
    // Still there and not there: a dangling symbolic link, or a file that is
    // created and removed as fast as we look.
    return {-1, false, windows_error_from_errno(last_errno, ErrnoContext::kCreate)};
}

// The share modes rest on flock(): an exclusive one for a handle that must
// be alone, a shared one for every other. Two bytes past any data keep
// readers that did not ask to share with writers apart from writing
// sharers: a reader holds a read lock on kReadersByte, a writing sharer on
// kWritersByte, and each checks that no handle holds the other's byte,
// under a lock on kShareMutexByte that keeps a reader and a writing sharer
// from checking at the same moment. A reading sharer holds neither byte: it
// meets readers and sharers alike. These are open-file-description locks:
// they belong to the handle's own descriptor, so two handles of one process
// keep each other out as two processes do, and closing another descriptor
// of the file leaves them alone.
constexpr off_t kShareMutexByte = static_cast<off_t>(kLockableLimit);
constexpr off_t kReadersByte = kShareMutexByte + 1;
constexpr off_t kWritersByte = kShareMutexByte + 2;

enum class ShareKind { kAlone, kReader, kReadingSharer, kWritingSharer };

ShareKind share_kind(DWORD access, DWORD share, bool truncates) {
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    const bool with_writers = (share & FILE_SHARE_READ) != 0 && (share & FILE_SHARE_WRITE) != 0;
    if (truncates || !reads)
        return ShareKind::kAlone;
    if (with_writers)
        return writes ? ShareKind::kWritingSharer : ShareKind::kReadingSharer;
    return !writes && (share & FILE_SHARE_READ) != 0 ? ShareKind::kReader : ShareKind::kAlone;
}

// An open-file-description lock of `type` on `length` bytes at `start`.
int range_lock(int fd, int command, short type, off_t start, off_t length) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    int result;
    do {
        result = ::fcntl(fd, command, &lock);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Takes the locks that stand for the share mode. It never waits for
// another handle's share mode, only for the moment another open of the
// file takes more to check it.
DWORD lock_for_share_mode(int fd, ShareKind kind) {
    int result;
    do {
        result = ::flock(fd, (kind == ShareKind::kAlone ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION
                                    : windows_error_from_errno(errno, ErrnoContext::kOther);
    }
    if (kind == ShareKind::kAlone || kind == ShareKind::kReadingSharer)
        return ERROR_SUCCESS;
    const bool reader = kind == ShareKind::kReader;
    if (range_lock(fd, F_OFD_SETLKW, reader ? F_RDLCK : F_WRLCK, kShareMutexByte, 1) != 0)
        return windows_error_from_errno(errno, ErrnoContext::kOther);
    struct flock theirs = {};
    theirs.l_type = F_WRLCK;
    theirs.l_whence = SEEK_SET;
    theirs.l_start = reader ? kWritersByte : kReadersByte;
    theirs.l_len = 1;
    DWORD error = ERROR_SUCCESS;
    if (::fcntl(fd, F_OFD_GETLK, &theirs) != 0)
        error = windows_error_from_errno(errno, ErrnoContext::kOther);
    else if (theirs.l_type != F_UNLCK)
        error = ERROR_SHARING_VIOLATION;
    else if (range_lock(fd, F_OFD_SETLK, F_RDLCK, reader ? kReadersByte : kWritersByte, 1) != 0)
        error = windows_error_from_errno(errno, ErrnoContext::kOther);
    range_lock(fd, F_OFD_SETLK, F_UNLCK, kShareMutexByte, 1);
    return error;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* /*security*/, DWORD disposition,
                   DWORD /*flags*/, HANDLE /*template_file*/) noexcept {
    if (name == nullptr || (access & ~(GENERIC_READ | GENERIC_WRITE)) != 0 ||
        disposition < CREATE_NEW || disposition > OPEN_ALWAYS) {
        return fail_open(ERROR_INVALID_PARAMETER);
    }
    if (auto error = injected_fault(FaultPlan::kOpen))
        return fail_open(*error);

    std::unique_ptr<FileObject> object(new (std::nothrow) FileObject);
    if (!object)
        return fail_open(ERROR_NOT_ENOUGH_MEMORY);

    const int flags = open_flags_for(access);

    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const OpenedDescriptor opened = open_descriptor(name, flags, disposition);
        if (opened.fd < 0)
            return fail_open(opened.error);
        DescriptorGuard fd(opened.fd);

        struct stat opened_file;
        if (::fstat(fd.get(), &opened_file) != 0) {
            return fail_open(windows_error_from_errno(errno, ErrnoContext::kOther));
        }
        if (!S_ISREG(opened_file.st_mode))
            return fail_open(ERROR_ACCESS_DENIED);

        // Truncating a file takes it alone, whatever the share mode.
        const DWORD lock_error = lock_for_share_mode(
            fd.get(), share_kind(access, share, disposition == CREATE_ALWAYS && opened.existed));
        if (lock_error != ERROR_SUCCESS)
            return fail_open(lock_error);

        // remove() unlinks a file only while it holds it exclusively. If it did
        // so between our open and our lock, the name no longer leads to the file
        // we hold, and writing into it would lose the data: start again.
        struct stat named_file;
        if (::stat(name, &named_file) != 0 || !same_file(opened_file, named_file)) {
            continue;
        }

        // Only now that the file is ours may it be truncated.
        if (disposition == CREATE_ALWAYS && opened.existed) {
            if ((access & GENERIC_WRITE) == 0)
                return fail_open(ERROR_ACCESS_DENIED);
            if (::ftruncate(fd.get(), 0) != 0) {
                return fail_open(windows_error_from_errno(errno, ErrnoContext::kWrite));
            }
        }

        object->fd = fd.release();
        object->access = access;
        object->known_size = disposition == CREATE_ALWAYS && opened.existed
                                 ? 0
                                 : static_cast<std::uint64_t>(opened_file.st_size);
        if ((access & GENERIC_READ) != 0)
            map_file(object->fd, (access & GENERIC_WRITE) != 0, &object->mapping);
        const bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
        last_error = reports_existing && opened.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
        return object.release();
    }
    return fail_open(ERROR_SHARING_VIOLATION);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* transferred,
              void* overlapped) noexcept {
    if (transferred != nullptr)
        *transferred = 0;
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((object->access & GENERIC_READ) == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(FaultPlan::kRead))
        return fail(*error);

    // Bytes the file is known to hold come from the mapping: no system call.
    const std::uint64_t start = object->position;
    if (count != 0 && start + count <= object->known_size &&
        copy_from_mapping(object->mapping, start, buffer, count)) {
        object->position = start + count;
        if (transferred != nullptr)
            *transferred = count;
        return kTrue;
    }

    auto* bytes = static_cast<unsigned char*>(buffer);
    DWORD done = 0;
    int read_errno = 0;
    while (done < count) {
        const ssize_t n = ::pread(object->fd, bytes + done, count - done,
                                  static_cast<off_t>(object->position + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            read_errno = errno;
            break;
        }
        if (n == 0)
            break;  // end of file
        done += static_cast<DWORD>(n);
    }
    object->position += done;
    if (transferred != nullptr)
        *transferred = done;
    if (read_errno != 0) {
        return fail(windows_error_from_errno(read_errno, ErrnoContext::kRead));
    }
    // What the read saw of the file's size: at least this much, and exactly
    // this much when it met the end.
    if (done < count || object->position > object->known_size)
        object->known_size = object->position;
    return kTrue;
}

BOOL ReadFileView(HANDLE file, void* buffer, DWORD count, DWORD* transferred,
                  const unsigned char** view) noexcept {
    *view = nullptr;
    FileObject* object = file_object_from_handle(file);
    if (object != nullptr && (object->access & GENERIC_READ) != 0 && count != 0 &&
        object->position + count <= object->known_size) {
        if (const unsigned char* bytes =
                view_of_mapping(object->mapping, object->position, count)) {
            if (auto error = injected_fault(FaultPlan::kRead)) {
                if (transferred != nullptr)
                    *transferred = 0;
                return fail(*error);
            }
            *view = bytes;
            object->position += count;
            if (transferred != nullptr)
                *transferred = count;
            return kTrue;
        }
    }
    return ReadFile(file, buffer, count, transferred, nullptr);
}

void PrefetchFile(HANDLE file, std::uint64_t offset, DWORD count) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr || count == 0 || offset + count > object->known_size)
        return;
    const unsigned char* bytes = view_of_mapping(object->mapping, offset, count);
    if (bytes == nullptr)
        return;
    // A prefetch never faults: a page that is gone is simply not fetched.
    constexpr DWORD kLine = 64;
    for (DWORD at = 0; at < count; at += kLine)
        __builtin_prefetch(bytes + at);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* transferred,
               void* overlapped) noexcept {
    if (transferred != nullptr)
        *transferred = 0;
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((object->access & GENERIC_WRITE) == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(FaultPlan::kWrite))
        return fail(*error);

    // Over bytes the file holds, the write goes into the mapping: the page
    // cache has them then, as after a pwrite, with no system call.
    const std::uint64_t start = object->position;
    if (count != 0 && start + count <= object->known_size &&
        copy_to_mapping(object->mapping, start, buffer, count)) {
        object->position = start + count;
        if (transferred != nullptr)
            *transferred = count;
        return kTrue;
    }

    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD done = 0;
    int write_errno = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(object->fd, bytes + done, count - done,
                                   static_cast<off_t>(object->position + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            write_errno = errno;
            break;
        }
        if (n == 0) {  // no progress: nothing more fits
            write_errno = ENOSPC;
            break;
        }
        done += static_cast<DWORD>(n);
    }
    object->position += done;
    if (object->position > object->known_size)
        object->known_size = object->position;
    if (transferred != nullptr)
        *transferred = done;
    if (write_errno != 0) {
        return fail(windows_error_from_errno(write_errno, ErrnoContext::kWrite));
    }
    return kTrue;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail_seek(ERROR_INVALID_HANDLE);
    if (method != FILE_BEGIN && method != FILE_CURRENT && method != FILE_END) {
        return fail_seek(ERROR_INVALID_PARAMETER);
    }
    if (auto error = injected_fault(FaultPlan::kSeek))
        return fail_seek(*error);

    const std::int64_t offset =
        distance_high == nullptr
            ? std::int64_t{distance}
            : std::int64_t{*distance_high} * 0x100000000LL + static_cast<std::uint32_t>(distance);
    std::int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = static_cast<std::int64_t>(object->position);
    } else if (method == FILE_END) {
        struct stat status;
        if (::fstat(object->fd, &status) != 0) {
            return fail_seek(windows_error_from_errno(errno, ErrnoContext::kOther));
        }
        base = status.st_size;
        object->known_size = static_cast<std::uint64_t>(status.st_size);
    }
    std::int64_t target;
    if (__builtin_add_overflow(base, offset, &target)) {
        return fail_seek(ERROR_INVALID_PARAMETER);
    }
    if (target < 0)
        return fail_seek(ERROR_NEGATIVE_SEEK);
    if (distance_high == nullptr && target > std::int64_t{0xFFFFFFFF}) {
        return fail_seek(ERROR_INVALID_PARAMETER);
    }

    object->position = static_cast<std::uint64_t>(target);
    if (distance_high != nullptr)
        *distance_high = static_cast<LONG>(target >> 32);
    last_error = ERROR_SUCCESS;
    return static_cast<DWORD>(target);
}

BOOL SetEndOfFile(HANDLE file) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if ((object->access & GENERIC_WRITE) == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(FaultPlan::kTruncate))
        return fail(*error);
    int result;
    do {
        result = ::ftruncate(object->fd, static_cast<off_t>(object->position));
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        return fail(windows_error_from_errno(errno, ErrnoContext::kWrite));
    object->known_size = object->position;
    return kTrue;
}

BOOL CloseHandle(HANDLE file) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    const auto injected = injected_fault(FaultPlan::kClose);

    const int fd = object->fd;
    unmap_file(&object->mapping);
    object->magic = 0;
    delete object;
    // Linux releases the descriptor even when close() reports EINTR.
    if (::close(fd) != 0 && errno != EINTR) {
        return fail(windows_error_from_errno(errno, ErrnoContext::kWrite));
    }
    if (injected)
        return fail(*injected);
    return kTrue;
}

namespace {

// The range LockFileEx and UnlockFileEx name, or false when it is not one
// they take.
bool lock_range_of(DWORD reserved, DWORD bytes_low, DWORD bytes_high, const OVERLAPPED* overlapped,
                   off_t* start, off_t* length) {
    if (reserved != 0 || overlapped == nullptr)
        return false;
    const std::uint64_t from = (std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset;
    const std::uint64_t count = (std::uint64_t{bytes_high} << 32) | bytes_low;
    if (count == 0 || from > kLockableLimit || count > kLockableLimit - from)
        return false;
    *start = static_cast<off_t>(from);
    *length = static_cast<off_t>(count);
    return true;
}

// The open file and the byte range a LockFileEx or UnlockFileEx call names;
// 0, or the error to fail the call with.
DWORD lock_target(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  const OVERLAPPED* overlapped, FileObject** object, off_t* start, off_t* length) {
    *object = file_object_from_handle(file);
    if (*object == nullptr)
        return ERROR_INVALID_HANDLE;
    if (!lock_range_of(reserved, bytes_low, bytes_high, overlapped, start, length))
        return ERROR_INVALID_PARAMETER;
    return 0;
}

}  // namespace

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                OVERLAPPED* overlapped) noexcept {
    FileObject* object = nullptr;
    off_t start = 0;
    off_t length = 0;
    if (const DWORD error = lock_target(file, reserved, bytes_low, bytes_high, overlapped, &object,
                                        &start, &length))
        return fail(error);
    const bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
    if ((object->access & (exclusive ? GENERIC_WRITE : GENERIC_READ)) == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(FaultPlan::kLock))
        return fail(*error);
    const bool wait = (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0;
    if (range_lock(object->fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, exclusive ? F_WRLCK : F_RDLCK,
                   start, length) != 0) {
        return fail(errno == EAGAIN || errno == EACCES
                        ? ERROR_LOCK_VIOLATION
                        : windows_error_from_errno(errno, ErrnoContext::kOther));
    }
    return kTrue;
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  OVERLAPPED* overlapped) noexcept {
    FileObject* object = nullptr;
    off_t start = 0;
    off_t length = 0;
    if (const DWORD error = lock_target(file, reserved, bytes_low, bytes_high, overlapped, &object,
                                        &start, &length))
        return fail(error);
    if (range_lock(object->fd, F_OFD_SETLK, F_UNLCK, start, length) != 0)
        return fail(windows_error_from_errno(errno, ErrnoContext::kOther));
    return kTrue;
}

DWORD GetLastError() noexcept {
    return last_error;
}

void SetLastError(DWORD error) noexcept {
    last_error = error;
}

}  // namespace kvr::platform
