// The C-runtime file calls that the engines use, on POSIX.
//
// These are the descriptor-level calls of the Windows C runtime (_access,
// remove, _lseek, _read, _write, _chsize, _close, _open_osfhandle) with
// their names, arguments and results: a negative result (or -1) and errno
// on failure. Descriptors are binary: no text-mode translation. What they
// guarantee beyond a plain system call:
//
// - _read and _write transfer the whole count unless the file ends (read)
//   or an error stops them; a write that cannot be completed returns -1,
//   never a short count.
// - remove() refuses a file that any handle or descriptor of this layer has
//   open, in this process or another (-1, errno EACCES), as the system this
//   stands in for does; plain unlink() would let the holder go on writing
//   into a file that no longer has a name. A removed file's name is free
//   again at once. It holds the file alone while it unlinks it, so that no
//   open slips in between; a file this process may not write it can only
//   find unheld just before unlinking it.
// - _open_osfhandle gives a descriptor for an open HANDLE of windows_file.h,
//   so that a file opened with share modes can be used through the
//   descriptor calls. Unlike on Windows, the descriptor does not take the
//   handle over: it is a second reference to the same open file, holding the
//   same share lock, and both must be closed (_close and CloseHandle) before
//   the file is free. The descriptor starts at the handle's file position;
//   after that the handle's position and the descriptor's move
//   independently. Descriptors made from one handle share one position, and
//   each new one moves it to the handle's. The flags argument is accepted
//   and ignored.
// - Fault injection (fault_injection.h) applies to _lseek, _read, _write,
//   _chsize and _close; _access, remove and _open_osfhandle are not counted.

#ifndef KVR_PLATFORM_CRT_FILE_H
#define KVR_PLATFORM_CRT_FILE_H

#include <cstdint>

namespace kvr::platform {

// 0 if `name` exists and allows `mode` (0 existence, 2 write, 4 read,
// 6 read and write), else -1 with errno (EINVAL for any other mode).
int _access(const char* name, int mode) noexcept;

// Deletes the file `name`; see the header comment for files in use.
int remove(const char* name) noexcept;

// Moves the descriptor's position (origin SEEK_SET, SEEK_CUR or SEEK_END)
// and returns the new position.
long _lseek(int fd, long offset, int origin) noexcept;

// Returns the bytes read (0 at end of file) or written, at most INT_MAX.
int _read(int fd, void* buffer, unsigned count) noexcept;
int _write(int fd, const void* buffer, unsigned count) noexcept;

// Sets the file's size, cutting it or extending it with zeros; the
// position does not move. A read-only descriptor gives EACCES.
int _chsize(int fd, long size) noexcept;

// Closes the descriptor; it is released also when a failure is reported.
int _close(int fd) noexcept;

// A descriptor for the HANDLE `handle`; see the header comment.
int _open_osfhandle(std::intptr_t handle, int flags) noexcept;

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_CRT_FILE_H
