// What every organization's OPEN checks before it opens: that the runtime
// asked for a mode at all, and whether an existing file is one of no bytes,
// which a run that died between creating a file and writing its header
// leaves behind (OUTPUT makes such a file anew; the other modes say what it
// is rather than report an I-O error).
#ifndef KVR_VERBS_OPENING_H
#define KVR_VERBS_OPENING_H

#include "platform/windows_file.h"
#include "vmqrmkvr/fcb.h"

namespace kvr::verbs {

inline constexpr uint16_t kOpenModes =
    VMQ_OPEN_INPUT | VMQ_OPEN_OUTPUT | VMQ_OPEN_IO | VMQ_OPEN_EXTEND;

inline bool names_an_open_mode(uint16_t open_request) {
    return (open_request & kOpenModes) != 0;
}

// True when `name` is a file of no bytes at all.
inline bool is_empty_file(const char* name) {
    using namespace kvr::platform;
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LONG high = 0;
    const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
    const bool empty = low == 0 && high == 0 && GetLastError() == ERROR_SUCCESS;
    CloseHandle(file);
    return empty;
}

}  // namespace kvr::verbs

#endif
