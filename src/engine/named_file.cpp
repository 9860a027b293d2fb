#include "engine/named_file.h"

#include "platform/crt_file.h"
#include "platform/windows_file.h"

namespace kvr::engine {

using namespace kvr::platform;

bool file_exists(const char* name) {
    return _access(name, 0) == 0;
}

bool is_empty_file(const char* name) {
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

bool remove_file(const char* name) {
    return platform::remove(name) == 0;
}

}  // namespace kvr::engine
