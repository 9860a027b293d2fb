// The part of the Windows file API that the engines use, on POSIX.
//
// The engines do their file I/O with CreateFileA, ReadFile, WriteFile,
// SetFilePointer, SetEndOfFile, CloseHandle and GetLastError; this header gives them those
// calls with the Windows names, argument order and results. What it
// guarantees:
//
// - A HANDLE is an open regular file with its own 64-bit file position.
//   ReadFile and WriteFile transfer at that position and move it on;
//   SetFilePointer with FILE_BEGIN or FILE_CURRENT moves it without a system
//   call. Reading at or past the end succeeds with 0 bytes; a write past the
//   end extends the file, the gap reading as zeros. A write either transfers
//   every byte or fails: a short write is reported as an error.
// - Share modes hold between processes and between two handles of one
//   process. A handle opened for GENERIC_READ alone (a reader) shares the
//   file with other readers, whatever its share mode. A handle with GENERIC_READ
//   whose share mode has both FILE_SHARE_READ and FILE_SHARE_WRITE (a
//   sharer) shares it with other sharers, and with readers as long as
//   neither writes: a reader that did not ask to share with writers never
//   meets a sharer with GENERIC_WRITE. Any other handle (write access
//   without FILE_SHARE_WRITE or without GENERIC_READ, share mode 0, or any
//   CREATE_ALWAYS of an existing file) must be the only one. An open that
//   would break this fails with ERROR_SHARING_VIOLATION and changes nothing:
//   CREATE_ALWAYS never truncates a file that someone else holds.
// - Byte ranges are locked with LockFileEx and UnlockFileEx, between
//   processes and between two handles of one process. The locks belong to
//   the handle and go with it: at CloseHandle, and when the process ends.
// - Every call reports failure as on Windows: FALSE (or INVALID_HANDLE_VALUE,
//   INVALID_SET_FILE_POINTER) and an error code read with GetLastError. The
//   last error is kept per thread, as Windows keeps it; it is the only
//   per-thread state of this layer.
// - A null handle or INVALID_HANDLE_VALUE gives ERROR_INVALID_HANDLE. A
//   handle already closed is undefined behaviour, as on Windows.
// - Overlapped I/O, security attributes, file attributes and template files
//   are not supported; a non-null overlapped pointer gives
//   ERROR_INVALID_PARAMETER, the others are ignored.
//
// Differences from Windows worth knowing:
// - Sharing rests on byte-range locks far past any data (share_locks.h);
//   files on file systems where these are not honoured between hosts are
//   shared only within one host. Holding a file alone takes a lock only a
//   descriptor open for writing can take, so that reading a file never
//   grants the power to keep others from it: a handle without GENERIC_WRITE
//   never holds a file alone (share mode 0 on it reads as FILE_SHARE_READ).
// - A wait that belongs to an open (the moment another open checks the
//   share modes) lasts at most lock_wait_limit() (lock_wait.h); LockFileEx
//   without LOCKFILE_FAIL_IMMEDIATELY waits as long as the lock is held.
// - Range locks are advisory: they keep out other LockFileEx calls, not
//   reads and writes. A handle's own locks on overlapping ranges merge and
//   change kind as POSIX locks do, and unlocking a range the handle does
//   not hold succeeds.
// - CloseHandle always releases the handle and its share of the file, also
//   when it reports a failure (as POSIX close() gives the descriptor up
//   whatever it returns). A handle is never closed twice.
//
// One handle is used by one thread at a time.

#ifndef KVR_PLATFORM_WINDOWS_FILE_H
#define KVR_PLATFORM_WINDOWS_FILE_H

#include <cstdint>

namespace kvr::platform {

using HANDLE = void*;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using LPCSTR = const char*;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// Access rights (dwDesiredAccess).
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;

// Share mode (dwShareMode).
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;

// Flags of LockFileEx.
constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x00000001;
constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x00000002;

// Where LockFileEx and UnlockFileEx find the start of their range; the
// other members are not used.
struct OVERLAPPED {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    void* hEvent = nullptr;
};

// Ranges that end past this offset are kept for the share modes.
constexpr std::uint64_t kLockableLimit = (std::uint64_t{1} << 62);

// Creation disposition.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;

constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
// A symbolic link at the name is not followed: the open fails with
// ERROR_CANT_RESOLVE_FILENAME (Windows would open the link itself).
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
// Not of the Windows API: a file the call creates is readable and writable
// by its owner alone, whatever the process's umask (SetFileOwnership may
// widen that once it is made).
constexpr DWORD FILE_FLAG_OWNER_ONLY = 0x00080000;

// Move method of SetFilePointer.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// Error codes reported by GetLastError.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_NOT_LOCKED = 158;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// Opens or creates `name`. `access` is GENERIC_READ and/or GENERIC_WRITE
// (other bits: ERROR_INVALID_PARAMETER). `disposition`:
//   CREATE_NEW     create; an existing file gives ERROR_FILE_EXISTS.
//   CREATE_ALWAYS  create, or truncate an existing file to 0 bytes.
//   OPEN_EXISTING  open; a missing file gives ERROR_FILE_NOT_FOUND.
//   OPEN_ALWAYS    open, or create an empty file.
// After a successful CREATE_ALWAYS or OPEN_ALWAYS the last error is
// ERROR_ALREADY_EXISTS when the file was there before, else 0. A directory
// or any other file that is not a regular file gives ERROR_ACCESS_DENIED; a
// missing directory of the path, ERROR_PATH_NOT_FOUND (when creating). The
// descriptor is not inherited by child programs. `flags` honours
// FILE_FLAG_OPEN_REPARSE_POINT and FILE_FLAG_OWNER_ONLY; CREATE_NEW never
// follows a symbolic link.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE template_file) noexcept;

// Not of the Windows API: which file a handle has open and who may use it,
// as the system keeps them (GetFileInformationByHandle names the file the
// same way, by volume and index).
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint32_t owner = 0;  // user and group numbers
    std::uint32_t group = 0;
    std::uint32_t mode = 0;  // permission bits, 07777
    std::uint32_t links = 0;
    std::uint64_t size = 0;
};
BOOL GetFileIdentity(HANDLE file, FileIdentity* identity) noexcept;
// Not of the Windows API: gives the file `owner` and `group` (either
// 0xFFFFFFFF: left as it is), then the permission bits `mode`. Needs the
// system's leave for each (a process that may not give a file away gets
// ERROR_ACCESS_DENIED, and the mode is then left as it was).
BOOL SetFileOwnership(HANDLE file, std::uint32_t owner, std::uint32_t group,
                      std::uint32_t mode) noexcept;

// Reads up to `count` bytes at the file position and moves the position past
// them. Fewer bytes than asked are delivered only at the end of the file.
// `transferred` may be null. Needs GENERIC_READ (else ERROR_ACCESS_DENIED).
// If the system reports an error part-way, the bytes already read are
// counted in `transferred` and passed by the position, and FALSE is returned.
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* transferred,
              void* overlapped) noexcept;

// Not of the Windows API: ReadFile for a reader that can look at the bytes
// in place. When they lie in the handle's mapping of its file, *view
// receives their address and nothing is copied (they stay there until the
// handle is closed; a write through the handle changes them); otherwise
// *view is null and the call is ReadFile into `buffer`. Either way it counts
// as one read, and fails as ReadFile fails.
BOOL ReadFileView(HANDLE file, void* buffer, DWORD count, DWORD* transferred,
                  const unsigned char** view) noexcept;

// Not of the Windows API: a hint that the `count` bytes at `offset` will be
// read soon. Where they lie in the handle's mapping, the processor starts
// bringing them in; otherwise nothing happens. Never fails, never faults.
void PrefetchFile(HANDLE file, std::uint64_t offset, DWORD count) noexcept;

// Writes `count` bytes at the file position and moves the position past
// them. Needs GENERIC_WRITE (else ERROR_ACCESS_DENIED). Anything short of
// the full count fails (ERROR_DISK_FULL when the device is full); the bytes
// that did reach the file are counted in `transferred` and passed by the
// position.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* transferred,
               void* overlapped) noexcept;

// Moves the file position by `distance` from the start (FILE_BEGIN), the
// current position (FILE_CURRENT) or the end of the file (FILE_END), and
// returns the low 32 bits of the new position.
// - Without `distance_high`, `distance` is a signed 32-bit offset and the
//   new position must fit in 32 bits (else ERROR_INVALID_PARAMETER).
// - With `distance_high`, the offset is the signed 64-bit value
//   (*distance_high : distance) and the high 32 bits of the new position are
//   stored back into *distance_high.
// A new position before the start of the file gives ERROR_NEGATIVE_SEEK. On
// failure the position is unchanged and INVALID_SET_FILE_POINTER is
// returned. On success the last error is set to 0, so that a position whose
// low word is 0xFFFFFFFF can be told from a failure.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method) noexcept;

// Makes the file end at the file position: bytes past it are cut off, or
// the file grows with zeros up to it. Needs GENERIC_WRITE (else
// ERROR_ACCESS_DENIED).
BOOL SetEndOfFile(HANDLE file) noexcept;

// Locks the (bytes_high:bytes_low) bytes from (overlapped->OffsetHigh:
// overlapped->Offset) for the handle: shared, or with LOCKFILE_EXCLUSIVE_LOCK
// exclusive (no other handle holds any lock on an overlapping range). Waits
// for other handles' locks to go unless LOCKFILE_FAIL_IMMEDIATELY is given,
// which fails with ERROR_LOCK_VIOLATION instead. A shared lock needs
// GENERIC_READ, an exclusive one GENERIC_WRITE (else ERROR_ACCESS_DENIED);
// an empty range, a range past kLockableLimit, a null `overlapped` or a
// `reserved` other than 0 give ERROR_INVALID_PARAMETER.
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                OVERLAPPED* overlapped) noexcept;
// Gives up the handle's locks on the range, as LockFileEx names one.
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  OVERLAPPED* overlapped) noexcept;
// Not of the Windows API: the process whose lock keeps the handle from
// locking the byte at `offset` as LockFileEx with `flags` would, where the
// system lets it be known (another user's processes may be hidden from this
// one): 0 when no other handle holds such a lock, -1 when one does but its
// process cannot be named.
long LockHolder(HANDLE file, std::uint64_t offset, DWORD flags) noexcept;
// Not of the Windows API: the process, named as by LockHolder, that keeps
// others from the file `name`: by a lock on the byte at `offset` (any lock
// there keeps out an exclusive one), else by holding the file alone or
// holding up the opens of others.
long FileLockHolder(LPCSTR name, std::uint64_t offset) noexcept;

// Closes the handle and releases its share of the file and its locks,
// whatever it reports.
BOOL CloseHandle(HANDLE file) noexcept;

// The calling thread's last error.
DWORD GetLastError() noexcept;
void SetLastError(DWORD error) noexcept;

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_WINDOWS_FILE_H
