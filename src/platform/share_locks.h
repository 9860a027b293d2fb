// The locks that stand for a handle's share mode, for the code that must
// honour them from outside the Windows calls: remove(), and the file
// handler and kvr tool, which remove or replace files no KVR user holds.
//
// They are open-file-description locks (fcntl F_OFD_*) on bytes past any
// data and past every range LockFileEx takes. Every handle holds a lock on
// kPresenceByte for as long as it is open: a read lock, or a write lock
// when it must be alone. A write lock needs a descriptor open for writing,
// so that reading a file never grants the power to keep others from it; a
// read lock only keeps out a handle that must be alone, as any reader does.
// Readers that did not ask to share with writers hold a read lock on
// kReadersByte, writing sharers on kWritersByte, each taken after checking
// that nobody holds the other's, under kShareMutexByte.
//
// Below kLockableLimit lie the byte locks the indexed engine takes through
// LockFileEx on a handle for its own sharing (one byte for the operations on
// a shared file, one per record held): lock_byte and unlock_byte.
#ifndef KVR_PLATFORM_SHARE_LOCKS_H
#define KVR_PLATFORM_SHARE_LOCKS_H

#include <fcntl.h>

#include <cerrno>
#include <cstdint>

#include "platform/windows_file.h"

namespace kvr::platform::share_locks {

// Ranges LockFileEx takes end at or below this byte (kLockableLimit).
inline constexpr off_t kShareMutexByte = static_cast<off_t>(std::uint64_t{1} << 62);
inline constexpr off_t kReadersByte = kShareMutexByte + 1;
inline constexpr off_t kWritersByte = kShareMutexByte + 2;
inline constexpr off_t kPresenceByte = kShareMutexByte + 3;

// An open-file-description lock of `type` on `length` bytes at `start`;
// 0, or -1 with errno.
inline int range_lock(int fd, int command, short type, off_t start, off_t length) {
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

// Takes the file for this descriptor alone, without waiting: 0, or the
// errno (EAGAIN while another handle has the file open, EBADF when the
// descriptor is not open for writing).
inline int hold_alone(int fd) {
    return range_lock(fd, F_OFD_SETLK, F_WRLCK, kPresenceByte, 1) == 0 ? 0 : errno;
}

// Whether some handle has the file open: for a descriptor that cannot take
// the write lock itself. 0, or the errno of the query.
inline int others_hold(int fd, bool* held) {
    struct flock theirs = {};
    theirs.l_type = F_WRLCK;
    theirs.l_whence = SEEK_SET;
    theirs.l_start = kPresenceByte;
    theirs.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &theirs) != 0)
        return errno;
    *held = theirs.l_type != F_UNLCK;
    return 0;
}

}  // namespace kvr::platform::share_locks

namespace kvr::platform {

// Locks the one byte at `at` for `file`, with LockFileEx's flags
// (LOCKFILE_EXCLUSIVE_LOCK, LOCKFILE_FAIL_IMMEDIATELY); false with the error
// in GetLastError.
inline bool lock_byte(HANDLE file, std::uint64_t at, DWORD flags) {
    OVERLAPPED where;
    where.Offset = static_cast<std::uint32_t>(at);
    where.OffsetHigh = static_cast<std::uint32_t>(at >> 32);
    return LockFileEx(file, flags, 0, 1, 0, &where) != 0;
}

// Gives up the handle's lock on the byte at `at`.
inline void unlock_byte(HANDLE file, std::uint64_t at) {
    OVERLAPPED where;
    where.Offset = static_cast<std::uint32_t>(at);
    where.OffsetHigh = static_cast<std::uint32_t>(at >> 32);
    UnlockFileEx(file, 0, 1, 0, &where);
}

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_SHARE_LOCKS_H
