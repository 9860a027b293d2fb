// Reads and writes without a system call: a shared mapping of an open file.
//
// A handle's reads copy from a mapping of its file when the bytes lie below
// the size the handle knows the file to have, and go through pread
// otherwise; its writes over bytes the file holds copy into the mapping, and
// writes that make the file grow go through pwrite. What this guarantees:
//
// - Coherence. The mapping is MAP_SHARED over the page cache, as pwrite is:
//   on Linux a write through any descriptor of any process is seen at once
//   by every mapping of the file, and the other way round. File systems
//   that cannot promise this for mappings (network and FUSE file systems)
//   get no mapping; their reads go through pread.
// - Growth never remaps. The mapping reserves kMappingSpan bytes of address
//   space up front, far past the file's end: a file that grows is read
//   through the same addresses, so no pointer an operation still holds ever
//   goes stale. Bytes past the span are read through pread.
// - A file cut short under the mapping never kills the process. Touching a
//   mapped page past the file's end raises SIGBUS; the copy runs under a
//   guard that turns that fault into "not mapped" (the caller then reads
//   through pread, which reports the short read). A fault elsewhere in a
//   mapping (a reader looking at a view in place) is healed with a page of
//   zeros, and that mapping serves no further reads. The SIGBUS handler is
//   installed once, at the first mapping, and hands every fault that is not
//   in a mapping of ours to the handler that was there before it (libcob's,
//   a sanitizer's, or the default action).
// - Nothing is required. A mapping that cannot be made (no address space, a
//   32-bit process, an unsuitable file system, mappings switched off for a
//   test) leaves the handle reading through pread, with the same results.
#ifndef KVR_PLATFORM_MAPPED_FILE_H
#define KVR_PLATFORM_MAPPED_FILE_H

#include <cstddef>
#include <cstdint>

namespace kvr::platform {

// Address space a mapping reserves: every indexed or relative file (their
// addresses are 32-bit) and sequential files up to this size.
inline constexpr std::uint64_t kMappingSpan = std::uint64_t{1} << 33;

struct MappingRecord;

struct FileMapping {
    unsigned char* base = nullptr;  // null: no mapping
    std::uint64_t span = 0;
    bool writable = false;
    MappingRecord* record = nullptr;  // its entry in the process's table of mappings
};

// Maps the open regular file `fd` (for writing too when `writable`, which
// needs a descriptor open for reading and writing) when mappings are on and
// its file system keeps them coherent; leaves `mapping` empty otherwise.
void map_file(int fd, bool writable, FileMapping* mapping) noexcept;
void unmap_file(FileMapping* mapping) noexcept;

// Copies `count` bytes at `offset` from the mapping. False when they are not
// mapped (past the span) or the file turned out shorter than that (the
// SIGBUS a cut-short file raises was caught): nothing is to be trusted in
// `buffer`, and the caller reads through pread.
bool copy_from_mapping(const FileMapping& mapping, std::uint64_t offset, void* buffer,
                       std::size_t count) noexcept;

// The address of `count` bytes at `offset` in the mapping, for a reader that
// looks at them in place (until the mapping goes, at the handle's close);
// null when they are not mapped. A page of the file cut short behind such a
// reader's back does not end the process either: the fault is healed by a
// page of zeros in its place, and the mapping is no longer used for copies.
const unsigned char* view_of_mapping(const FileMapping& mapping, std::uint64_t offset,
                                     std::size_t count) noexcept;

// Copies `count` bytes from `buffer` into a writable mapping at `offset`,
// which must lie below the file's end (a mapping cannot make a file grow).
// Bytes stored in a shared mapping are in the page cache, as a pwrite puts
// them: they reach the file whatever becomes of the process. False when the
// bytes are not mapped or the store faulted (a file cut short, a page the
// file system could not find room for): some of them may have been stored,
// and the caller writes them all through pwrite, which reports the failure.
bool copy_to_mapping(const FileMapping& mapping, std::uint64_t offset, const void* buffer,
                     std::size_t count) noexcept;

// With false, files opened from now on get no mapping (a test seam; the
// environment variable KVR_FILE_MAPPINGS=off does the same for a process).
void set_file_mappings(bool on) noexcept;
bool file_mappings_on() noexcept;

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_MAPPED_FILE_H
