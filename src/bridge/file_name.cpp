#include "bridge/file_name.h"

#include <cstdlib>
#include <cstring>

namespace kvr::bridge {

namespace {

const char* environment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string resolve_file_name(const FCD3* fcd) {
    if (fcd->fnamePtr == nullptr)
        return {};
    const size_t given = get_u16(fcd->fnameLen);
    std::string name(fcd->fnamePtr, strnlen(fcd->fnamePtr, given));
    const size_t first = name.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    name = name.substr(first, name.find_last_not_of(' ') - first + 1);

    if (name[0] == '$') {
        const size_t slash = name.find('/');
        const std::string variable = name.substr(1, slash == std::string::npos ? slash : slash - 1);
        if (const char* value = environment(variable))
            return value + (slash == std::string::npos ? std::string() : name.substr(slash));
        return name;
    }
    if (name.find('/') != std::string::npos)
        return name;
    for (const char* prefix : {"DD_", "dd_", ""}) {
        if (const char* value = environment(prefix + name))
            return value;
    }
    if (const char* path = environment("COB_FILE_PATH"))
        return std::string(path) + "/" + name;
    return name;
}

}  // namespace kvr::bridge
