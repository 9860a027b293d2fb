#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/share_locks.h"

namespace kvr::platform {
namespace {

static_assert(sizeof(off_t) == 8, "file offsets must be 64 bits wide");

int ftruncate_retrying(int fd, std::uint64_t length) {
    int result;
    do {
        result = ::ftruncate(fd, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

// Calls step(done) until count bytes are moved, the end of the file (step
// gives 0 on a read), or an error. A write that moves nothing is ENOSPC:
// nothing more fits.
template <typename Step>
Transfer transfer(std::size_t count, bool writing, Step step) {
    Transfer moved;
    while (moved.done < count) {
        const ssize_t n = step(moved.done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            moved.error = errno;
            break;
        }
        if (n == 0) {
            if (writing)
                moved.error = ENOSPC;
            break;
        }
        moved.done += static_cast<std::size_t>(n);
    }
    return moved;
}

}  // namespace

Transfer File::read_at(std::uint64_t offset, void* buffer, std::size_t count) {
    if (count != 0 && offset + count <= known_size_ &&
        copy_from_mapping(mapping_, offset, buffer, count))
        return {count, 0};
    auto* bytes = static_cast<unsigned char*>(buffer);
    const Transfer moved = transfer(count, false, [&](std::size_t done) {
        return ::pread(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
    });
    // What the read saw of the file's size: at least this much, and exactly
    // this much when it met the end.
    const std::uint64_t end = offset + moved.done;
    if (moved.error == 0 && (moved.done < count || end > known_size_))
        known_size_ = end;
    return moved;
}

Transfer File::write_at(std::uint64_t offset, const void* buffer, std::size_t count) {
    // Over bytes the file holds, the write goes into the mapping: the page
    // cache has them then, as after a pwrite, with no system call.
    if (count != 0 && offset + count <= known_size_ &&
        copy_to_mapping(mapping_, offset, buffer, count))
        return {count, 0};
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    const Transfer moved = transfer(count, true, [&](std::size_t done) {
        return ::pwrite(fd_, bytes + done, count - done, static_cast<off_t>(offset + done));
    });
    if (offset + moved.done > known_size_)
        known_size_ = offset + moved.done;
    return moved;
}

const unsigned char* File::view_at(std::uint64_t offset, std::size_t count) const {
    if (count == 0 || offset + count > known_size_)
        return nullptr;
    return view_of_mapping(mapping_, offset, count);
}

void File::prefetch(std::uint64_t offset, std::size_t count) const {
    const unsigned char* bytes = view_at(offset, count);
    if (bytes == nullptr)
        return;
    // A prefetch never faults: a page that is gone is simply not fetched.
    constexpr std::size_t kLine = 64;
    for (std::size_t at = 0; at < count; at += kLine)
        __builtin_prefetch(bytes + at);
}

int File::truncate(std::uint64_t length) {
    const int error = ftruncate_retrying(fd_, length);
    if (error == 0)
        known_size_ = length;
    return error;
}

int File::size(std::uint64_t* size) {
    struct stat status;
    if (::fstat(fd_, &status) != 0)
        return errno;
    known_size_ = static_cast<std::uint64_t>(status.st_size);
    *size = known_size_;
    return 0;
}

int File::lock(std::uint64_t start, std::uint64_t length, bool exclusive, bool wait) const {
    return share_locks::range_lock(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK,
                                   exclusive ? F_WRLCK : F_RDLCK, static_cast<off_t>(start),
                                   static_cast<off_t>(length)) == 0
               ? 0
               : errno;
}

int File::unlock(std::uint64_t start, std::uint64_t length) const {
    return share_locks::range_lock(fd_, F_OFD_SETLK, F_UNLCK, static_cast<off_t>(start),
                                   static_cast<off_t>(length)) == 0
               ? 0
               : errno;
}

int File::close() {
    unmap_file(&mapping_);
    const int fd = fd_;
    fd_ = -1;
    // Linux releases the descriptor even when close() reports EINTR.
    return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}

Transfer File::read_here(int fd, void* buffer, std::size_t count) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    return transfer(count, false,
                    [&](std::size_t done) { return ::read(fd, bytes + done, count - done); });
}

Transfer File::write_here(int fd, const void* buffer, std::size_t count) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    return transfer(count, true,
                    [&](std::size_t done) { return ::write(fd, bytes + done, count - done); });
}

int File::truncate(int fd, std::uint64_t length) {
    return ftruncate_retrying(fd, length);
}

}  // namespace kvr::platform
