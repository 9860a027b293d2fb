#include "bridge/file_removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/share_locks.h"

namespace kvr::bridge {

namespace {

// A name replaced between our open and our lock is looked at again, a few
// times; one that keeps changing counts as in use.
constexpr int kAttempts = 4;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Opens the file only to take its lock: for writing where it may, since only
// a descriptor open for writing holds a file alone.
int open_for_lock(const char* path) {
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(path, flags | O_RDWR);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR))
        fd = ::open(path, flags | O_RDONLY);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        fd = ::open(path, flags | O_WRONLY);
    return fd;
}

// 0 when the file is held alone, or, for a descriptor that cannot hold it
// (open for reading only), when nobody holds it; EWOULDBLOCK when a KVR
// user has it open; another errno when the system refused.
int hold_alone(int fd) {
    const int error = platform::share_locks::hold_alone(fd);
    if (error != EBADF)
        return error == EAGAIN || error == EACCES ? EWOULDBLOCK : error;
    bool held = false;
    if (const int asked = platform::share_locks::others_hold(fd, &held); asked != 0)
        return asked;
    return held ? EWOULDBLOCK : 0;
}

}  // namespace

Removal remove_unless_in_use(const std::string& path, int* error) {
    *error = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Descriptor file(open_for_lock(path.c_str()));
        if (file.get() < 0) {
            if (errno == ENOENT)
                return Removal::Removed;
            *error = errno;
            return Removal::Failed;
        }
        if (const int locked = hold_alone(file.get()); locked != 0) {
            if (locked == EWOULDBLOCK)
                return Removal::InUse;
            *error = locked;
            return Removal::Failed;
        }
        struct stat held;
        struct stat named;
        if (::fstat(file.get(), &held) != 0) {
            *error = errno;
            return Removal::Failed;
        }
        if (::stat(path.c_str(), &named) != 0) {
            if (errno == ENOENT)
                return Removal::Removed;
            *error = errno;
            return Removal::Failed;
        }
        // The lock is on the file we opened; the name must still lead to it.
        if (held.st_dev != named.st_dev || held.st_ino != named.st_ino)
            continue;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            *error = errno;
            return Removal::Failed;
        }
        // The lock goes with the descriptor, after the name is gone.
        return Removal::Removed;
    }
    return Removal::InUse;
}

}  // namespace kvr::bridge
