#include "engine/named_file.h"

#include <cstdio>
#include <string>

#include "engine/change_journal.h"
#include "engine/isam/ix_handle.h"
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

void open_refusal_detail(const char* name, Result result, char* text, unsigned size) {
    if (size == 0)
        return;
    text[0] = '\0';
    std::string detail;
    if (result == kUnfinishedUpdate || result == kAccessDenied) {
        const std::string why = ChangeJournal::problem(name);
        if (!why.empty())
            detail = "its journal is left alone: " + why;
    } else if (result == kSharingViolation) {
        const long holder = FileLockHolder(name, isam::kSharedOperationLockAt);
        if (holder > 0)
            detail = "process " + std::to_string(holder) + " holds it";
    }
    std::snprintf(text, size, "%s", detail.c_str());
}

}  // namespace kvr::engine
