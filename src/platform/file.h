// The one file type under both I/O paths: an open descriptor with
// positioned reads and writes, cutting, byte-range locks and a mapping of
// the file. The Windows-style calls (windows_file.h) keep one File per
// handle and add the handle's position, access rights and error codes; the
// C-runtime calls (crt_file.h) use the transfers at the descriptor's own
// position. Every call reports errno's value (0 for success) and retries
// what EINTR interrupted; fault injection stays with the calls above, where
// the engines make them. Private to the platform layer.
#ifndef KVR_PLATFORM_FILE_H
#define KVR_PLATFORM_FILE_H

// Large-file offsets also in a 32-bit build; must come before any header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <cstddef>
#include <cstdint>

#include "platform/mapped_file.h"

namespace kvr::platform {

// What a transfer moved, and errno's value when it stopped short for a
// reason other than the end of the file (0 otherwise).
struct Transfer {
    std::size_t done = 0;
    int error = 0;
};

class File {
public:
    File() = default;
    explicit File(int fd, std::uint64_t size = 0) : fd_(fd), known_size_(size) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int fd() const { return fd_; }
    // Takes over `fd`, a file of `size` bytes, to close it at close().
    void attach(int fd, std::uint64_t size) {
        fd_ = fd;
        known_size_ = size;
    }

    // Maps the file for reading (and writing when `writable`), where the
    // file system keeps mappings coherent; the transfers below then copy
    // from and to the mapping instead of calling the system.
    void map(bool writable) { map_file(fd_, writable, &mapping_); }

    // Reads up to count bytes at offset; fewer only at the end of the file
    // or on an error. Bytes below the size this file last saw come from the
    // mapping.
    Transfer read_at(std::uint64_t offset, void* buffer, std::size_t count);
    // Writes count bytes at offset: over bytes the file holds into the
    // mapping, else with pwrite; no progress at all is ENOSPC.
    Transfer write_at(std::uint64_t offset, const void* buffer, std::size_t count);
    // The address of count bytes at offset in the mapping, or null when they
    // are not all mapped bytes of the file.
    const unsigned char* view_at(std::uint64_t offset, std::size_t count) const;
    // A hint that count bytes at offset will be read soon; never faults.
    void prefetch(std::uint64_t offset, std::size_t count) const;
    // Makes the file end at `length`.
    int truncate(std::uint64_t length);
    // The file's size, as fstat reports it now.
    int size(std::uint64_t* size);
    // A byte-range lock of this descriptor (open-file-description locks,
    // so two descriptors of one process keep each other out as two
    // processes do): shared or exclusive, waiting or not. A range held by
    // another is EAGAIN or EACCES.
    int lock(std::uint64_t start, std::uint64_t length, bool exclusive, bool wait) const;
    int unlock(std::uint64_t start, std::uint64_t length) const;
    // Unmaps and closes; the descriptor is released even when close reports
    // EINTR, which therefore counts as success.
    int close();

    // Transfers at the descriptor's own position, for the C runtime's calls
    // on a descriptor the caller owns.
    static Transfer read_here(int fd, void* buffer, std::size_t count);
    static Transfer write_here(int fd, const void* buffer, std::size_t count);
    static int truncate(int fd, std::uint64_t length);

private:
    int fd_ = -1;
    FileMapping mapping_;
    // The file's size as this file last saw it: at open, after its own
    // writes and cuts, at size(), and at a read that met the end. Share
    // modes keep other processes from changing the size of a file a handle
    // has open; a size that shrank anyway is caught by the mapping's guard.
    std::uint64_t known_size_ = 0;
};

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_FILE_H
