// Large-file offsets also in a 32-bit build; must come before any header.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "platform/windows_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/error_mapping.h"
#include "platform/fault_injection.h"
#include "platform/file_object.h"
#include "platform/lock_wait.h"
#include "platform/share_locks.h"

namespace kvr::platform {
namespace {

static_assert(sizeof(off_t) == 8, "file offsets must be 64 bits wide");
static_assert(share_locks::kShareMutexByte == static_cast<off_t>(kLockableLimit),
              "the share-mode locks lie past every range LockFileEx takes");

// The calling thread's last error, as Windows keeps it.
// Initial-exec: read and written on many calls, without __tls_get_addr.
__attribute__((tls_model("initial-exec"))) thread_local DWORD last_error = ERROR_SUCCESS;

constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

// How often an open starts again when the file changes under it (created or
// removed by someone else between two of its steps).
constexpr int kOpenAttempts = 8;

BOOL fail(DWORD error) {
    last_error = error;
    return kFalse;
}

HANDLE fail_open(DWORD error) {
    last_error = error;
    return INVALID_HANDLE_VALUE;
}

DWORD fail_seek(DWORD error) {
    last_error = error;
    return INVALID_SET_FILE_POINTER;
}

// Closes the descriptor it holds unless released.
class DescriptorGuard {
public:
    explicit DescriptorGuard(int fd) : fd_(fd) {}
    ~DescriptorGuard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DescriptorGuard(const DescriptorGuard&) = delete;
    DescriptorGuard& operator=(const DescriptorGuard&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

int open_flags_for(DWORD access) {
    // O_NONBLOCK keeps open() from waiting on a FIFO, which is then refused
    // as not a regular file; on regular files it has no effect.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    if (reads && writes) {
        flags |= O_RDWR;
    } else if (writes) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    return flags;
}

struct OpenedDescriptor {
    int fd = -1;
    bool existed = false;  // the file was there before this open
    DWORD error = ERROR_SUCCESS;
};

// Opens `name` as the disposition asks and tells whether the file existed.
// An open without O_CREAT answers "existed"; an O_CREAT|O_EXCL open answers
// "created by us"; when another process creates the file between the two,
// the first kind is tried again.
OpenedDescriptor open_descriptor(const char* name, int flags, DWORD disposition,
                                 mode_t create_mode) {
    int last_errno = EEXIST;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        if (disposition != CREATE_NEW) {
            const int fd = ::open(name, flags);
            if (fd >= 0)
                return {fd, true, ERROR_SUCCESS};
            if (errno == EINTR)
                continue;
            if (errno != ENOENT || disposition == OPEN_EXISTING) {
                return {-1, false, windows_error_from_errno(errno, ErrnoContext::kOpen)};
            }
        }
        const int fd = ::open(name, flags | O_CREAT | O_EXCL, create_mode);
        if (fd >= 0)
            return {fd, false, ERROR_SUCCESS};
        last_errno = errno;
        if (errno == EINTR)
            continue;
        if (errno != EEXIST) {
            return {-1, false, windows_error_from_errno(errno, ErrnoContext::kCreate)};
        }
        if (disposition == CREATE_NEW)
            return {-1, false, ERROR_FILE_EXISTS};
    }
    // Still there and not there: a dangling symbolic link, or a file that is
    // created and removed as fast as we look.
    return {-1, false, windows_error_from_errno(last_errno, ErrnoContext::kCreate)};
}

// The locks that stand for a handle's share mode (share_locks.h). They are
// open-file-description locks: they belong to the handle's own descriptor,
// so two handles of one process keep each other out as two processes do,
// and closing another descriptor of the file leaves them alone.
enum class ShareKind { kAlone, kReader, kReadingSharer, kWritingSharer };

ShareKind share_kind(DWORD access, DWORD share, bool truncates) {
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    const bool with_writers = (share & FILE_SHARE_READ) != 0 && (share & FILE_SHARE_WRITE) != 0;
    // Only a handle that may write holds a file alone.
    if (!writes)
        return with_writers ? ShareKind::kReadingSharer : ShareKind::kReader;
    if (truncates || !reads || !with_writers)
        return ShareKind::kAlone;
    return ShareKind::kWritingSharer;
}

using share_locks::range_lock;

DWORD lock_refused(int error) {
    return error == EAGAIN || error == EACCES
               ? ERROR_SHARING_VIOLATION
               : windows_error_from_errno(error, ErrnoContext::kOther);
}

// Takes the locks that stand for the share mode. It never waits for
// another handle's share mode, only (within the lock wait limit) for the
// moment another open of the file takes more to check it.
DWORD lock_for_share_mode(int fd, ShareKind kind) {
    if (kind == ShareKind::kAlone) {
        const int error = share_locks::hold_alone(fd);
        return error == 0 ? ERROR_SUCCESS : lock_refused(error);
    }
    if (range_lock(fd, F_OFD_SETLK, F_RDLCK, share_locks::kPresenceByte, 1) != 0)
        return lock_refused(errno);
    if (kind == ShareKind::kReadingSharer)
        return ERROR_SUCCESS;
    const bool reader = kind == ShareKind::kReader;
    int mutex_error = 0;
    const bool got = wait_for_lock([&] {
        mutex_error = range_lock(fd, F_OFD_SETLK, reader ? F_RDLCK : F_WRLCK,
                                 share_locks::kShareMutexByte, 1) == 0
                          ? 0
                          : errno;
        return mutex_error != EAGAIN && mutex_error != EACCES;
    });
    if (!got || mutex_error != 0)
        return lock_refused(got ? mutex_error : EAGAIN);
    struct flock theirs = {};
    theirs.l_type = F_WRLCK;
    theirs.l_whence = SEEK_SET;
    theirs.l_start = reader ? share_locks::kWritersByte : share_locks::kReadersByte;
    theirs.l_len = 1;
    DWORD error = ERROR_SUCCESS;
    if (::fcntl(fd, F_OFD_GETLK, &theirs) != 0)
        error = windows_error_from_errno(errno, ErrnoContext::kOther);
    else if (theirs.l_type != F_UNLCK)
        error = ERROR_SHARING_VIOLATION;
    else if (range_lock(fd, F_OFD_SETLK, F_RDLCK,
                        reader ? share_locks::kReadersByte : share_locks::kWritersByte, 1) != 0)
        error = windows_error_from_errno(errno, ErrnoContext::kOther);
    range_lock(fd, F_OFD_SETLK, F_UNLCK, share_locks::kShareMutexByte, 1);
    return error;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, void* /*security*/, DWORD disposition,
                   DWORD file_flags, HANDLE /*template_file*/) noexcept {
    if (name == nullptr || (access & ~(GENERIC_READ | GENERIC_WRITE)) != 0 ||
        disposition < CREATE_NEW || disposition > OPEN_ALWAYS) {
        return fail_open(ERROR_INVALID_PARAMETER);
    }
    if (auto error = injected_fault(FaultPlan::kOpen))
        return fail_open(*error);

    std::unique_ptr<FileObject> object(new (std::nothrow) FileObject);
    if (!object)
        return fail_open(ERROR_NOT_ENOUGH_MEMORY);

    const int flags = open_flags_for(access) |
                      ((file_flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0 ? O_NOFOLLOW : 0);
    const mode_t create_mode = (file_flags & FILE_FLAG_OWNER_ONLY) != 0 ? 0600 : 0666;

    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const OpenedDescriptor opened = open_descriptor(name, flags, disposition, create_mode);
        if (opened.fd < 0)
            return fail_open(opened.error);
        DescriptorGuard fd(opened.fd);

        struct stat opened_file;
        if (::fstat(fd.get(), &opened_file) != 0) {
            return fail_open(windows_error_from_errno(errno, ErrnoContext::kOther));
        }
        if (!S_ISREG(opened_file.st_mode))
            return fail_open(ERROR_ACCESS_DENIED);

        // Truncating a file takes it alone, whatever the share mode.
        const DWORD lock_error = lock_for_share_mode(
            fd.get(), share_kind(access, share, disposition == CREATE_ALWAYS && opened.existed));
        if (lock_error != ERROR_SUCCESS)
            return fail_open(lock_error);

        // remove() unlinks a file only while it holds it exclusively. If it did
        // so between our open and our lock, the name no longer leads to the file
        // we hold, and writing into it would lose the data: start again.
        struct stat named_file;
        if (::stat(name, &named_file) != 0 || !same_file(opened_file, named_file)) {
            continue;
        }

        // Only now that the file is ours may it be truncated.
        if (disposition == CREATE_ALWAYS && opened.existed) {
            if ((access & GENERIC_WRITE) == 0)
                return fail_open(ERROR_ACCESS_DENIED);
            if (::ftruncate(fd.get(), 0) != 0) {
                return fail_open(windows_error_from_errno(errno, ErrnoContext::kWrite));
            }
        }

        object->file.attach(fd.release(), disposition == CREATE_ALWAYS && opened.existed
                                              ? 0
                                              : static_cast<std::uint64_t>(opened_file.st_size));
        object->access = access;
        if ((access & GENERIC_READ) != 0)
            object->file.map((access & GENERIC_WRITE) != 0);
        const bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
        last_error = reports_existing && opened.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
        return object.release();
    }
    return fail_open(ERROR_SHARING_VIOLATION);
}

namespace {

FileObject* refuse(DWORD error) {
    last_error = error;
    return nullptr;
}

// The checks a ReadFile or WriteFile call passes before it moves a byte: a
// live handle, no overlapped I/O, a buffer, the right (`needed`) and the
// thread's fault plan. Null, with the call failed, when one does not hold.
FileObject* transfer_object(HANDLE file, const void* buffer, DWORD count, DWORD* transferred,
                            void* overlapped, DWORD needed, FaultPlan::Kind kind) {
    if (transferred != nullptr)
        *transferred = 0;
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return refuse(ERROR_INVALID_HANDLE);
    if (overlapped != nullptr || (buffer == nullptr && count != 0))
        return refuse(ERROR_INVALID_PARAMETER);
    if ((object->access & needed) == 0)
        return refuse(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(kind))
        return refuse(*error);
    return object;
}

// Moves the handle's position past what a transfer moved and reports it.
BOOL transfer_done(FileObject* object, Transfer moved, DWORD* transferred, ErrnoContext context) {
    object->position += moved.done;
    if (transferred != nullptr)
        *transferred = static_cast<DWORD>(moved.done);
    if (moved.error != 0)
        return fail(windows_error_from_errno(moved.error, context));
    return kTrue;
}

}  // namespace

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* transferred,
              void* overlapped) noexcept {
    FileObject* object = transfer_object(file, buffer, count, transferred, overlapped, GENERIC_READ,
                                         FaultPlan::kRead);
    if (object == nullptr)
        return kFalse;
    // Bytes the file is known to hold come from the mapping: no system call.
    return transfer_done(object, object->file.read_at(object->position, buffer, count), transferred,
                         ErrnoContext::kRead);
}

BOOL ReadFileView(HANDLE file, void* buffer, DWORD count, DWORD* transferred,
                  const unsigned char** view) noexcept {
    *view = nullptr;
    FileObject* object = file_object_from_handle(file);
    if (object != nullptr && (object->access & GENERIC_READ) != 0) {
        if (const unsigned char* bytes = object->file.view_at(object->position, count)) {
            if (auto error = injected_fault(FaultPlan::kRead)) {
                if (transferred != nullptr)
                    *transferred = 0;
                return fail(*error);
            }
            *view = bytes;
            object->position += count;
            if (transferred != nullptr)
                *transferred = count;
            return kTrue;
        }
    }
    return ReadFile(file, buffer, count, transferred, nullptr);
}

void PrefetchFile(HANDLE file, std::uint64_t offset, DWORD count) noexcept {
    if (FileObject* object = file_object_from_handle(file))
        object->file.prefetch(offset, count);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* transferred,
               void* overlapped) noexcept {
    FileObject* object = transfer_object(file, buffer, count, transferred, overlapped,
                                         GENERIC_WRITE, FaultPlan::kWrite);
    if (object == nullptr)
        return kFalse;
    return transfer_done(object, object->file.write_at(object->position, buffer, count),
                         transferred, ErrnoContext::kWrite);
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distance_high, DWORD method) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail_seek(ERROR_INVALID_HANDLE);
    if (method != FILE_BEGIN && method != FILE_CURRENT && method != FILE_END) {
        return fail_seek(ERROR_INVALID_PARAMETER);
    }
    if (auto error = injected_fault(FaultPlan::kSeek))
        return fail_seek(*error);

    const std::int64_t offset =
        distance_high == nullptr
            ? std::int64_t{distance}
            : std::int64_t{*distance_high} * 0x100000000LL + static_cast<std::uint32_t>(distance);
    std::int64_t base = 0;
    if (method == FILE_CURRENT) {
        base = static_cast<std::int64_t>(object->position);
    } else if (method == FILE_END) {
        std::uint64_t size = 0;
        if (const int error = object->file.size(&size))
            return fail_seek(windows_error_from_errno(error, ErrnoContext::kOther));
        base = static_cast<std::int64_t>(size);
    }
    std::int64_t target;
    if (__builtin_add_overflow(base, offset, &target)) {
        return fail_seek(ERROR_INVALID_PARAMETER);
    }
    if (target < 0)
        return fail_seek(ERROR_NEGATIVE_SEEK);
    if (distance_high == nullptr && target > std::int64_t{0xFFFFFFFF}) {
        return fail_seek(ERROR_INVALID_PARAMETER);
    }

    object->position = static_cast<std::uint64_t>(target);
    if (distance_high != nullptr)
        *distance_high = static_cast<LONG>(target >> 32);
    last_error = ERROR_SUCCESS;
    return static_cast<DWORD>(target);
}

BOOL SetEndOfFile(HANDLE file) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if ((object->access & GENERIC_WRITE) == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(FaultPlan::kTruncate))
        return fail(*error);
    if (const int error = object->file.truncate(object->position))
        return fail(windows_error_from_errno(error, ErrnoContext::kWrite));
    return kTrue;
}

BOOL CloseHandle(HANDLE file) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    const auto injected = injected_fault(FaultPlan::kClose);

    object->magic = 0;
    const int error = object->file.close();
    delete object;
    if (error != 0)
        return fail(windows_error_from_errno(error, ErrnoContext::kWrite));
    if (injected)
        return fail(*injected);
    return kTrue;
}

namespace {

// The range LockFileEx and UnlockFileEx name, or false when it is not one
// they take.
bool lock_range_of(DWORD reserved, DWORD bytes_low, DWORD bytes_high, const OVERLAPPED* overlapped,
                   off_t* start, off_t* length) {
    if (reserved != 0 || overlapped == nullptr)
        return false;
    const std::uint64_t from = (std::uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset;
    const std::uint64_t count = (std::uint64_t{bytes_high} << 32) | bytes_low;
    if (count == 0 || from > kLockableLimit || count > kLockableLimit - from)
        return false;
    *start = static_cast<off_t>(from);
    *length = static_cast<off_t>(count);
    return true;
}

// The open file and the byte range a LockFileEx or UnlockFileEx call names;
// 0, or the error to fail the call with.
DWORD lock_target(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  const OVERLAPPED* overlapped, FileObject** object, off_t* start, off_t* length) {
    *object = file_object_from_handle(file);
    if (*object == nullptr)
        return ERROR_INVALID_HANDLE;
    if (!lock_range_of(reserved, bytes_low, bytes_high, overlapped, start, length))
        return ERROR_INVALID_PARAMETER;
    return 0;
}

}  // namespace

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                OVERLAPPED* overlapped) noexcept {
    FileObject* object = nullptr;
    off_t start = 0;
    off_t length = 0;
    if (const DWORD error = lock_target(file, reserved, bytes_low, bytes_high, overlapped, &object,
                                        &start, &length))
        return fail(error);
    const bool exclusive = (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0;
    if ((object->access & (exclusive ? GENERIC_WRITE : GENERIC_READ)) == 0)
        return fail(ERROR_ACCESS_DENIED);
    if (auto error = injected_fault(FaultPlan::kLock))
        return fail(*error);
    const bool wait = (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0;
    if (const int error = object->file.lock(static_cast<std::uint64_t>(start),
                                            static_cast<std::uint64_t>(length), exclusive, wait)) {
        return fail(error == EAGAIN || error == EACCES
                        ? ERROR_LOCK_VIOLATION
                        : windows_error_from_errno(error, ErrnoContext::kOther));
    }
    return kTrue;
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytes_low, DWORD bytes_high,
                  OVERLAPPED* overlapped) noexcept {
    FileObject* object = nullptr;
    off_t start = 0;
    off_t length = 0;
    if (const DWORD error = lock_target(file, reserved, bytes_low, bytes_high, overlapped, &object,
                                        &start, &length))
        return fail(error);
    if (const int error = object->file.unlock(static_cast<std::uint64_t>(start),
                                              static_cast<std::uint64_t>(length)))
        return fail(windows_error_from_errno(error, ErrnoContext::kOther));
    return kTrue;
}

BOOL GetFileIdentity(HANDLE file, FileIdentity* identity) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (identity == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    struct stat status;
    if (::fstat(object->file.fd(), &status) != 0)
        return fail(windows_error_from_errno(errno, ErrnoContext::kOther));
    identity->device = static_cast<std::uint64_t>(status.st_dev);
    identity->inode = static_cast<std::uint64_t>(status.st_ino);
    identity->owner = static_cast<std::uint32_t>(status.st_uid);
    identity->group = static_cast<std::uint32_t>(status.st_gid);
    identity->mode = static_cast<std::uint32_t>(status.st_mode & 07777);
    identity->links = static_cast<std::uint32_t>(status.st_nlink);
    identity->size = static_cast<std::uint64_t>(status.st_size);
    return kTrue;
}

BOOL SetFileOwnership(HANDLE file, std::uint32_t owner, std::uint32_t group,
                      std::uint32_t mode) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if ((owner != 0xFFFFFFFFu || group != 0xFFFFFFFFu) &&
        ::fchown(object->file.fd(), static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0)
        return fail(windows_error_from_errno(errno, ErrnoContext::kOther));
    if (::fchmod(object->file.fd(), static_cast<mode_t>(mode & 07777)) != 0)
        return fail(windows_error_from_errno(errno, ErrnoContext::kOther));
    return kTrue;
}

namespace {

// Whether a line of a descriptor's lock list in /proc ("lock:\t1: OFDLCK
// ADVISORY  WRITE -1 fe:00:1234 0 EOF") is a lock on the file `status`
// that covers `offset` and keeps out a lock of the kind asked (`exclusive`:
// any lock does).
bool lock_line_keeps_out(const char* line, const struct stat& status, std::uint64_t offset,
                         bool exclusive) {
    char kind[16];
    char mode[16];
    char access[16];
    long pid = 0;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long long inode = 0;
    unsigned long long start = 0;
    char end[24];
    if (std::sscanf(line, "lock: %*d: %15s %15s %15s %ld %x:%x:%llu %llu %23s", kind, mode, access,
                    &pid, &major_number, &minor_number, &inode, &start, end) != 9)
        return false;
    if (inode != static_cast<unsigned long long>(status.st_ino) ||
        major_number != major(status.st_dev) || minor_number != minor(status.st_dev))
        return false;
    if (std::strcmp(kind, "FLOCK") == 0 || (!exclusive && std::strcmp(access, "WRITE") != 0))
        return false;
    const bool to_the_end = std::strcmp(end, "EOF") == 0;
    return start <= offset && (to_the_end || std::strtoull(end, nullptr, 10) >= offset);
}

// The process one of whose descriptors holds a lock on `status`'s file
// that keeps out the lock asked, looked for in every process's descriptor
// lists this process may read; -1 when none is found.
long find_lock_holder(const struct stat& status, std::uint64_t offset, bool exclusive) {
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr)
        return -1;
    long found = -1;
    while (const dirent* process = ::readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const std::string fdinfo = std::string("/proc/") + process->d_name + "/fdinfo";
        DIR* descriptors = ::opendir(fdinfo.c_str());
        if (descriptors == nullptr)
            continue;
        while (const dirent* descriptor = ::readdir(descriptors)) {
            if (descriptor->d_name[0] == '.')
                continue;
            std::FILE* info = std::fopen((fdinfo + "/" + descriptor->d_name).c_str(), "r");
            if (info == nullptr)
                continue;
            char line[256];
            while (found < 0 && std::fgets(line, sizeof line, info) != nullptr) {
                if (lock_line_keeps_out(line, status, offset, exclusive))
                    found = pid;
            }
            std::fclose(info);
            if (found >= 0)
                break;
        }
        ::closedir(descriptors);
        if (found >= 0)
            break;
    }
    ::closedir(processes);
    return found;
}

}  // namespace

namespace {

// The process whose lock on the byte at `offset` of the file open as `fd`
// keeps out a lock of the kind asked: 0 when none does, -1 when its
// process cannot be named.
long holder_of_lock(int fd, std::uint64_t offset, bool exclusive) noexcept {
    if (offset > static_cast<std::uint64_t>(INT64_MAX))
        return 0;
    struct flock theirs = {};
    theirs.l_type = exclusive ? F_WRLCK : F_RDLCK;
    theirs.l_whence = SEEK_SET;
    theirs.l_start = static_cast<off_t>(offset);
    theirs.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &theirs) != 0 || theirs.l_type == F_UNLCK)
        return 0;
    // A process-owned lock names its process; an open-file-description lock
    // names none, and is looked for in the descriptor lists.
    if (theirs.l_pid > 0)
        return theirs.l_pid;
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return -1;
    try {
        return find_lock_holder(status, offset, exclusive);
    } catch (...) {
        return -1;
    }
}

}  // namespace

long LockHolder(HANDLE file, std::uint64_t offset, DWORD flags) noexcept {
    FileObject* object = file_object_from_handle(file);
    if (object == nullptr)
        return 0;
    return holder_of_lock(object->file.fd(), offset, (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0);
}

long FileLockHolder(LPCSTR name, std::uint64_t offset) noexcept {
    if (name == nullptr)
        return 0;
    const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = ::open(name, flags | O_RDONLY);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        fd = ::open(name, flags | O_WRONLY);
    if (fd < 0)
        return 0;
    const DescriptorGuard guard(fd);
    if (const long holder = holder_of_lock(fd, offset, true); holder != 0)
        return holder;
    if (const long holder = holder_of_lock(fd, share_locks::kShareMutexByte, true); holder != 0)
        return holder;
    return holder_of_lock(fd, share_locks::kPresenceByte, false);
}

DWORD GetLastError() noexcept {
    return last_error;
}

void SetLastError(DWORD error) noexcept {
    last_error = error;
}

}  // namespace kvr::platform
