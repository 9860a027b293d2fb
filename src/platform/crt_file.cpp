// Large-file offsets also in a 32-bit build; must come before any header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform/crt_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/error_mapping.h"
#include "platform/fault_injection.h"
#include "platform/file_object.h"
#include "platform/share_locks.h"

namespace kvr::platform {
namespace {

static_assert(sizeof(off_t) == 8, "file offsets must be 64 bits wide");

int fail(int error) {
    errno = error;
    return -1;
}

// Applies the thread's fault plan to a call of `kind`: true when the call
// must fail, with errno already set.
bool fault_injected(FaultPlan::Kind kind) {
    if (auto error = injected_fault(kind)) {
        errno = errno_from_windows_error(*error);
        return true;
    }
    return false;
}

// Opens `name` only to take its lock: for writing where it may, since only
// a descriptor open for writing holds a file alone; -1 when it cannot be
// opened at all.
int open_for_lock(const char* name) {
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(name, flags | O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR))
        fd = ::open(name, flags | O_RDONLY);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        fd = ::open(name, flags | O_WRONLY);
    return fd;
}

// 0 when no handle has the file of `fd` open and none can open it before
// it is unlinked (a write lock holds it alone); else the errno to fail
// with. A descriptor that cannot take the write lock only asks whether
// anyone holds the file.
int hold_for_removal(int fd) {
    const int error = share_locks::hold_alone(fd);
    if (error == 0)
        return 0;
    if (error == EAGAIN || error == EACCES)
        return EACCES;
    if (error != EBADF)
        return error;
    bool held = false;
    if (const int asked = share_locks::others_hold(fd, &held); asked != 0)
        return asked;
    return held ? EACCES : 0;
}

}  // namespace

int _access(const char* name, int mode) noexcept {
    if (name == nullptr)
        return fail(EINVAL);
    int how;
    switch (mode) {
        case 0:
            how = F_OK;
            break;
        case 2:
            how = W_OK;
            break;
        case 4:
            how = R_OK;
            break;
        case 6:
            how = R_OK | W_OK;
            break;
        default:
            return fail(EINVAL);
    }
    return ::access(name, how) == 0 ? 0 : -1;
}

int remove(const char* name) noexcept {
    if (name == nullptr)
        return fail(EINVAL);
    const int fd = open_for_lock(name);
    if (fd < 0) {
        // A file we can neither read nor write has no holder we could detect.
        if (errno != EACCES && errno != EPERM)
            return -1;
        return ::unlink(name) == 0 ? 0 : fail(errno == EISDIR ? EACCES : errno);
    }
    if (const int refused = hold_for_removal(fd); refused != 0) {
        ::close(fd);
        return fail(refused);
    }
    // Unlinked while the lock is held, so that an open racing with us either
    // fails on the lock or finds the name gone.
    const int result = ::unlink(name);
    const int unlink_errno = errno;
    ::close(fd);
    if (result != 0)
        return fail(unlink_errno == EISDIR ? EACCES : unlink_errno);
    return 0;
}

long _lseek(int fd, long offset, int origin) noexcept {
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        return fail(EINVAL);
    }
    if (fault_injected(FaultPlan::kSeek))
        return -1;
    if constexpr (sizeof(long) < sizeof(off_t)) {
        // A position that a long cannot carry is refused and undone.
        const off_t before = ::lseek(fd, 0, SEEK_CUR);
        if (before < 0)
            return -1;
        const off_t result = ::lseek(fd, offset, origin);
        if (result < 0)
            return -1;
        if (result > LONG_MAX) {
            ::lseek(fd, before, SEEK_SET);
            return fail(EINVAL);
        }
        return static_cast<long>(result);
    } else {
        const off_t result = ::lseek(fd, offset, origin);
        return result < 0 ? -1 : static_cast<long>(result);
    }
}

int _read(int fd, void* buffer, unsigned count) noexcept {
    if (count > INT_MAX || (buffer == nullptr && count != 0))
        return fail(EINVAL);
    if (fault_injected(FaultPlan::kRead))
        return -1;
    const Transfer moved = File::read_here(fd, buffer, count);
    return moved.error != 0 ? fail(moved.error) : static_cast<int>(moved.done);
}

int _write(int fd, const void* buffer, unsigned count) noexcept {
    if (count > INT_MAX || (buffer == nullptr && count != 0))
        return fail(EINVAL);
    if (fault_injected(FaultPlan::kWrite))
        return -1;
    const Transfer moved = File::write_here(fd, buffer, count);
    return moved.error != 0 ? fail(moved.error) : static_cast<int>(moved.done);
}

int _chsize(int fd, long size) noexcept {
    if (size < 0)
        return fail(EINVAL);
    if (fault_injected(FaultPlan::kTruncate))
        return -1;
    const int error = File::truncate(fd, static_cast<std::uint64_t>(size));
    if (error == 0)
        return 0;
    errno = error;
    if (errno == EINVAL || errno == EBADF) {
        // POSIX says EINVAL or EBADF for a descriptor not open for writing.
        const int status = ::fcntl(fd, F_GETFL);
        if (status >= 0 && (status & O_ACCMODE) == O_RDONLY)
            return fail(EACCES);
        errno = status >= 0 ? EINVAL : EBADF;
    }
    return -1;
}

int _close(int fd) noexcept {
    const bool injected = fault_injected(FaultPlan::kClose);
    const int injected_errno = errno;
    // Linux releases the descriptor even when close() reports EINTR.
    if (::close(fd) != 0 && errno != EINTR)
        return -1;
    if (!injected)
        return 0;
    errno = injected_errno;
    return -1;
}

int _open_osfhandle(std::intptr_t handle, int /*flags*/) noexcept {
    FileObject* object = file_object_from_handle(reinterpret_cast<HANDLE>(handle));
    if (object == nullptr)
        return fail(EBADF);
    const int fd = ::fcntl(object->file.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // The duplicate shares the kernel's position with the handle's own
    // descriptor, which the handle never moves (it uses positioned I/O).
    if (::lseek(fd, static_cast<off_t>(object->position), SEEK_SET) < 0) {
        const int seek_errno = errno;
        ::close(fd);
        return fail(seek_errno);
    }
    return fd;
}

}  // namespace kvr::platform
