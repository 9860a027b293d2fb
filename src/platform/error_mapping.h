// Translation between POSIX errno values and Windows error codes.
//
// The platform layer reports errors the way the system it stands in for
// does: the Windows calls set a Windows error code, the C-runtime calls set
// errno. Each direction is decided here once. Private to the platform layer.

#ifndef KVR_PLATFORM_ERROR_MAPPING_H
#define KVR_PLATFORM_ERROR_MAPPING_H

#include "platform/windows_file.h"

namespace kvr::platform {

// What the failing system call was doing; some errno values mean different
// things in different places (EIO while reading or writing, ENOENT while
// opening or creating).
enum class ErrnoContext { kOpen, kCreate, kRead, kWrite, kOther };

DWORD windows_error_from_errno(int error, ErrnoContext context) noexcept;

// The errno a C-runtime call sets for a failure known by its Windows code.
int errno_from_windows_error(DWORD error) noexcept;

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_ERROR_MAPPING_H
