// What a HANDLE of windows_file.h points to.
//
// A HANDLE is the address of a FileObject, made by CreateFileA and freed by
// CloseHandle. It owns one File (file.h), whose descriptor holds the locks
// that stand for the handle's share mode, and tracks the file position
// itself so that the File's positioned transfers need no seek. Private to
// the platform layer.

#ifndef KVR_PLATFORM_FILE_OBJECT_H
#define KVR_PLATFORM_FILE_OBJECT_H

#include <cstdint>

#include "platform/file.h"
#include "platform/windows_file.h"

namespace kvr::platform {

struct FileObject {
    static constexpr std::uint32_t kLiveMagic = 0x4B565246;  // "KVRF"

    std::uint32_t magic = kLiveMagic;  // cleared by CloseHandle
    File file;
    DWORD access = 0;            // GENERIC_READ | GENERIC_WRITE bits
    std::uint64_t position = 0;  // never above INT64_MAX
};

// The object behind `file`, or null for a null handle, INVALID_HANDLE_VALUE
// or an object that does not carry the live mark.
inline FileObject* file_object_from_handle(HANDLE file) noexcept {
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
        return nullptr;
    auto* object = static_cast<FileObject*>(file);
    return object->magic == FileObject::kLiveMagic ? object : nullptr;
}

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_FILE_OBJECT_H
