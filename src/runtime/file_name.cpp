#include "runtime/file_name.h"

#include <cstring>

#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::runtime {

const char* open_file_name(const vmq_fcb* fcb, const vmq_file_description* description,
                           char** copy) {
    *copy = nullptr;
    if (description == nullptr || (description->file_flags & VMQ_FILE_NAME_IN_ITEM) == 0)
        return fcb->file_name != nullptr ? fcb->file_name : "";
    const size_t length = description->name_length;
    char* name = static_cast<char*>(_vmqMalloc(length + 1, 907, 0));
    *copy = name;
    if (fcb->file_name != nullptr)
        std::memcpy(name, fcb->file_name, length);
    else
        std::memset(name, ' ', length);
    size_t end = length;
    while (end > 0 && name[end - 1] == ' ')
        --end;
    name[end] = '\0';
    const char* hyphen = static_cast<const char*>(std::memchr(name, '-', end));
    return hyphen != nullptr ? hyphen + 1 : name;
}

}  // namespace kvr::runtime
