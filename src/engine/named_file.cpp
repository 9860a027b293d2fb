#include "engine/named_file.h"

#include <cstdio>
#include <string>

#include "engine/change_journal.h"
#include "engine/file_channel.h"
#include "engine/isam/ix_handle.h"
#include "platform/crt_file.h"
#include "platform/windows_file.h"

namespace kvr::engine {

using namespace kvr::platform;

bool file_exists(const char* name) {
    return _access(name, 0) == 0;
}

bool is_empty_file(const char* name) {
    FileChannel file;
    if (!FileChannel::open(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, &file)
             .ok())
        return false;
    uint32_t end = 0;
    const bool empty = file.seek_end(&end).ok() && end == 0;
    file.close();
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
