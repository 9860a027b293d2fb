// What a HANDLE of windows_file.h points to.
//
// A HANDLE is the address of a FileObject, made by CreateFileA and freed by
// CloseHandle. It owns one POSIX descriptor, holding the locks that stand
// for the handle's share mode, and tracks the file position itself so that
// positioned reads and writes need no seek; reads copy from a mapping of the
// file where they can (mapped_file.h). Private to the platform layer.

#ifndef KVR_PLATFORM_FILE_OBJECT_H
#define KVR_PLATFORM_FILE_OBJECT_H

#include <cstdint>

#include "platform/mapped_file.h"
#include "platform/windows_file.h"

namespace kvr::platform {

struct FileObject {
    static constexpr std::uint32_t kLiveMagic = 0x4B565246;  // "KVRF"

    std::uint32_t magic = kLiveMagic;  // cleared by CloseHandle
    int fd = -1;
    DWORD access = 0;            // GENERIC_READ | GENERIC_WRITE bits
    std::uint64_t position = 0;  // never above INT64_MAX
    // Reads of bytes below known_size copy from the mapping (when there is
    // one). known_size is the file's size as this handle last saw it: at
    // open, after its own writes and cuts, at a seek to the end, and at a
    // read that met the end. Share modes keep other processes from changing
    // the size of a file a handle has open; a size that shrank anyway is
    // caught by the mapping's guard.
    FileMapping mapping;
    std::uint64_t known_size = 0;
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
