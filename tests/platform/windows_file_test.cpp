// The Windows file calls and the descriptor calls over them, share modes
// between processes, and reads through mappings of files cut short.

#include "platform/windows_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/crt_file.h"
#include "platform/lock_wait.h"
#include "platform/mapped_file.h"
#include "platform/share_locks.h"
#include "support/child.h"
#include "support/temp_dir.h"

namespace kvr::platform {
namespace {

using kvr::test::in_child;
using kvr::test::kReadWrite;

class WindowsFileTest : public kvr::test::TempDirTest {
protected:
    static DWORD seek(HANDLE h, LONG distance, DWORD method) {
        return SetFilePointer(h, distance, nullptr, method);
    }
    static std::string read(HANDLE h, DWORD count) {
        std::string bytes(count, '?');
        DWORD got = 12345;
        EXPECT_TRUE(ReadFile(h, bytes.data(), count, &got, nullptr));
        bytes.resize(got);
        return bytes;
    }
    // The bytes read after a seek from the start to `at`.
    static std::string read_at(HANDLE h, DWORD at, DWORD count) {
        EXPECT_EQ(seek(h, static_cast<LONG>(at), FILE_BEGIN), at);
        return read(h, count);
    }
    static void write(HANDLE h, const std::string& bytes) {
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
        EXPECT_EQ(put, bytes.size());
    }
    // The error of opening `name` (ERROR_SUCCESS or ERROR_ALREADY_EXISTS when
    // it opens), closing what it opened.
    static DWORD open_error(const std::string& name, DWORD disposition, DWORD access = kReadWrite,
                            DWORD share = 0) {
        HANDLE h = open(name, access, share, disposition);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        const DWORD reported = GetLastError();
        EXPECT_TRUE(CloseHandle(h));
        return reported;
    }
};

TEST_F(WindowsFileTest, TransfersAndSeeksAtTheFilePosition) {
    HANDLE h = open(path("f"), kReadWrite, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    write(h, "hello");
    EXPECT_EQ(seek(h, 100, FILE_BEGIN), 100u);
    write(h, "world");  // past the end: the gap reads as zeros
    EXPECT_EQ(seek(h, -5, FILE_CURRENT), 100u);
    EXPECT_EQ(read(h, 5), "world");
    EXPECT_EQ(seek(h, -105, FILE_END), 0u);
    EXPECT_EQ(read(h, 7), std::string("hello\0\0", 7));
    EXPECT_EQ(read_at(h, 102, 10), "rld");  // short at the end, then empty
    EXPECT_EQ(read(h, 10), "");
    EXPECT_EQ(seek(h, -106, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(seek(h, -106, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(seek(h, 0, FILE_CURRENT), 105u);  // failed seeks did not move

    // Without a high word the position must fit 32 bits; 0xFFFFFFFF itself is
    // a position, told from failure by the cleared last error.
    ASSERT_EQ(seek(h, 0x7FFFFFFF, FILE_BEGIN), 0x7FFFFFFFu);
    EXPECT_EQ(seek(h, 0x7FFFFFFF, FILE_CURRENT), 0xFFFFFFFEu);
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(seek(h, 1, FILE_CURRENT), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(seek(h, 1, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(read_file(path("f")).size(), 105u);  // reading never extends
}

TEST_F(WindowsFileTest, DispositionsRightsAndBadHandles) {
    const std::string f = path("f");
    EXPECT_EQ(open_error(f, OPEN_EXISTING), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_error(f, OPEN_ALWAYS), ERROR_SUCCESS);
    EXPECT_EQ(read_file(f), "");  // created empty
    write_file(f, "data");
    EXPECT_EQ(open_error(f, OPEN_ALWAYS), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(open_error(f, CREATE_NEW), ERROR_FILE_EXISTS);
    EXPECT_EQ(read_file(f), "data");
    EXPECT_EQ(open_error(f, CREATE_ALWAYS), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(read_file(f), "");  // truncated
    EXPECT_EQ(open_error(path("g"), CREATE_ALWAYS), ERROR_SUCCESS);
    EXPECT_EQ(open_error(path("h"), 5), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(open_error(dir_, OPEN_EXISTING), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_error(dir_, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_error(path("missing/f"), OPEN_ALWAYS), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(open_error(f + "/f", OPEN_EXISTING), ERROR_PATH_NOT_FOUND);  // f is a file

    write_file(f, "abc");
    char byte = 0;
    DWORD n = 99;
    HANDLE reader = open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(CloseHandle(reader));
    HANDLE writer = open(f, GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(writer, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(writer));
    EXPECT_EQ(read_file(f), "abc");
    for (HANDLE bad : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(ReadFile(bad, &byte, 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

// A second open while a first handle is held, in this process and in
// another; remove() refuses the held file from both.
TEST_F(WindowsFileTest, ShareModesHereAndInAnotherProcess) {
    struct Opener {
        DWORD access;
        DWORD share;
    };
    constexpr Opener kSharedReader{GENERIC_READ, FILE_SHARE_READ};
    constexpr Opener kExclusiveReader{GENERIC_READ, 0};
    constexpr Opener kWriter{kReadWrite, 0};
    constexpr Opener kSharingWriter{kReadWrite, FILE_SHARE_READ};
    constexpr Opener kSharer{kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE};
    constexpr Opener kReadingSharer{GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE};
    constexpr DWORD kRefused = ERROR_SHARING_VIOLATION;
    const struct {
        const char* name;
        Opener first;
        Opener second;
        DWORD second_disposition;
        DWORD expected;  // error of the second open, 0 when it succeeds
    } cases[] = {
        {"readers coexist", kSharedReader, kSharedReader, OPEN_EXISTING, 0},
        {"reader then writer", kSharedReader, kWriter, OPEN_EXISTING, kRefused},
        {"reader then truncation", kSharedReader, kWriter, CREATE_ALWAYS, kRefused},
        {"writer then reader", kWriter, kSharedReader, OPEN_EXISTING, kRefused},
        {"writer then writer", kWriter, kWriter, OPEN_ALWAYS, kRefused},
        {"sharing writer then reader", kSharingWriter, kSharedReader, OPEN_EXISTING, kRefused},
        // Holding a file alone needs write access: share mode 0 on a
        // reader keeps only writers out.
        {"exclusive reader then reader", kExclusiveReader, kSharedReader, OPEN_EXISTING, 0},
        {"exclusive reader then writer", kExclusiveReader, kWriter, OPEN_EXISTING, kRefused},
        {"sharers coexist", kSharer, kSharer, OPEN_EXISTING, 0},
        {"sharer then reading sharer", kSharer, kReadingSharer, OPEN_EXISTING, 0},
        {"reader then reading sharer", kSharedReader, kReadingSharer, OPEN_EXISTING, 0},
        {"reader then sharer", kSharedReader, kSharer, OPEN_EXISTING, kRefused},
        {"sharer then reader", kSharer, kSharedReader, OPEN_EXISTING, kRefused},
        {"sharer then writer", kSharer, kWriter, OPEN_EXISTING, kRefused},
        {"writer then sharer", kWriter, kSharer, OPEN_EXISTING, kRefused},
        {"sharer then truncation", kSharer, kSharer, CREATE_ALWAYS, kRefused},
    };
    const std::string file = path("shared");
    const auto remove_error = [&] { return remove(file.c_str()) == 0 ? 0 : errno; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(file, "contents");
        HANDLE first = open(file, c.first.access, c.first.share, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        const auto second = [&] {
            const DWORD error =
                open_error(file, c.second_disposition, c.second.access, c.second.share);
            return static_cast<int>(error == ERROR_ALREADY_EXISTS ? 0 : error);
        };
        EXPECT_EQ(second(), static_cast<int>(c.expected));
        EXPECT_EQ(in_child(second), static_cast<int>(c.expected));
        EXPECT_EQ(remove_error(), EACCES);
        EXPECT_EQ(in_child(remove_error), EACCES);
        EXPECT_EQ(read_file(file), "contents");  // refusals change nothing

        ASSERT_TRUE(CloseHandle(first));
        EXPECT_EQ(in_child(second), 0);
        EXPECT_EQ(second(), 0);
        EXPECT_EQ(remove_error(), 0);
        EXPECT_EQ(_access(file.c_str(), 0), -1);
    }

    // A descriptor open for reading only can take no hold that keeps
    // readers and sharers out: an flock() of its own stops nobody, and the
    // lock that holds a file alone needs write access. A read lock on the
    // byte every open of a writing sharer takes for a moment holds those
    // opens up for the lock wait limit at most; then they are refused.
    write_file(file, "contents");
    const int outsider = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(outsider, 0);
    ASSERT_EQ(::flock(outsider, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(open_error(file, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), 0u);
    EXPECT_EQ(open_error(file, OPEN_EXISTING, kReadWrite, kSharer.share), 0u);
    EXPECT_EQ(open_error(file, OPEN_EXISTING, kReadWrite, 0), 0u);
    EXPECT_EQ(share_locks::hold_alone(outsider), EBADF);
    ASSERT_EQ(
        share_locks::range_lock(outsider, F_OFD_SETLK, F_RDLCK, share_locks::kShareMutexByte, 1),
        0);
    ::setenv("KVR_LOCK_WAIT", "0.2", 1);
    const int64_t began = monotonic_now();
    EXPECT_EQ(open_error(file, OPEN_EXISTING, kReadWrite, kSharer.share), kRefused);
    EXPECT_GE(monotonic_now() - began, 200'000'000);
    EXPECT_EQ(FileLockHolder(file.c_str(), 0), ::getpid());
    EXPECT_EQ(open_error(file, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), 0u);
    ::unsetenv("KVR_LOCK_WAIT");
    ::close(outsider);
    EXPECT_EQ(FileLockHolder(file.c_str(), 0), 0);
}

// Range locks keep other handles out, in this process and in others, and
// go with the handle that holds them: at CloseHandle or when its process
// dies.
TEST_F(WindowsFileTest, RangeLocksBetweenHandlesAndProcesses) {
    const std::string file = path("locks");
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE a = open(file, kReadWrite, kShare, OPEN_ALWAYS);
    HANDLE b = open(file, kReadWrite, kShare, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    const auto place = [](uint64_t at) {
        OVERLAPPED where;
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        return where;
    };
    const auto lock = [&](HANDLE h, uint64_t at, DWORD flags, DWORD count = 4) {
        OVERLAPPED where = place(at);
        return LockFileEx(h, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, count, 0, &where)
                   ? 0
                   : static_cast<int>(GetLastError());
    };
    const auto unlock = [&](HANDLE h, uint64_t at) {
        OVERLAPPED where = place(at);
        return UnlockFileEx(h, 0, 4, 0, &where) != 0;
    };
    constexpr DWORD kExclusive = LOCKFILE_EXCLUSIVE_LOCK;
    constexpr int kBusy = static_cast<int>(ERROR_LOCK_VIOLATION);
    const uint64_t record = uint64_t{1} << 40;

    EXPECT_EQ(lock(a, record, kExclusive), 0);
    EXPECT_EQ(lock(b, record + 2, 0), kBusy);  // overlapping, from another handle
    EXPECT_EQ(lock(b, record + 4, kExclusive), 0);
    EXPECT_EQ(in_child([&] {
                  HANDLE c = open(file, kReadWrite, kShare, OPEN_EXISTING);
                  return c == INVALID_HANDLE_VALUE ? 1 : lock(c, record, 0);
              }),
              kBusy);
    EXPECT_TRUE(unlock(a, record));
    EXPECT_EQ(lock(a, record, 0), 0);  // shared locks meet
    EXPECT_EQ(lock(b, record, 0), 0);
    EXPECT_EQ(lock(b, record, kExclusive), kBusy);

    // A lock a process took goes when it dies, and one a handle took when
    // the handle is closed.
    kvr::test::Holder holder([&] {
        return lock(open(file, kReadWrite, kShare, OPEN_EXISTING), record + 8, kExclusive) == 0;
    });
    EXPECT_EQ(lock(a, record + 8, 0), kBusy);
    // The holder is named, though its lock belongs to no process.
    EXPECT_EQ(LockHolder(a, record + 8, 0), holder.pid);
    EXPECT_EQ(LockHolder(a, record + 12, kExclusive), 0);
    holder.end();
    EXPECT_EQ(lock(a, record + 8, kExclusive), 0);
    ASSERT_TRUE(CloseHandle(a));
    EXPECT_EQ(lock(b, record + 8, kExclusive), 0);

    // Ranges the share modes keep, an empty range, and locks the access does
    // not allow are refused.
    HANDLE reader = open(file, GENERIC_READ, kShare, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(lock(b, kLockableLimit - 2, 0), static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(lock(b, record, 0, 0), static_cast<int>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(lock(reader, record + 16, kExclusive), static_cast<int>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(lock(reader, record + 16, 0), 0);
    ASSERT_TRUE(CloseHandle(reader));
    ASSERT_TRUE(CloseHandle(b));
}

// A descriptor made from a handle starts at its position and holds its
// lock; descriptor calls report errors through errno.
TEST_F(WindowsFileTest, DescriptorsFromHandlesAndTheirErrors) {
    const std::string f = path("f");
    HANDLE h = open(f, kReadWrite, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    write(h, "abcdef");
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 6);
    EXPECT_EQ(_chsize(fd, 3), 0);
    EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 6);  // truncation does not move
    EXPECT_EQ(_lseek(fd, 0, SEEK_END), 3);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(open_error(f, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ), ERROR_SHARING_VIOLATION);
    ASSERT_EQ(_close(fd), 0);

    EXPECT_EQ(_access(f.c_str(), 6), 0);
    errno = 0;
    EXPECT_EQ(_access(path("none").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    const int reader = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(_chsize(reader, 0), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_close(reader), 0);
    EXPECT_EQ(read_file(f), "abc");
    EXPECT_EQ(_open_osfhandle(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE), 0), -1);
    EXPECT_EQ(errno, EBADF);
}

// A page viewed in place through ReadFileView and cut off behind the
// reader's back reads as zeros instead of ending the process, and the
// handle's reads go through pread from then on, which reports the cut.
TEST_F(WindowsFileTest, ACutViewReadsZerosAndOtherBusErrorsEndTheProcess) {
    const std::string name = path("viewed");
    HANDLE h = open(name, kReadWrite, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    write(h, std::string(3 * 4096, 'v'));
    EXPECT_EQ(seek(h, 4096, FILE_BEGIN), 4096u);
    char buffer[4096];
    DWORD got = 0;
    const unsigned char* view = nullptr;
    ASSERT_TRUE(ReadFileView(h, buffer, 4096, &got, &view));
    EXPECT_EQ(got, 4096u);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[100], 'v');
    std::filesystem::resize_file(name, 4096);  // the viewed page is gone
    EXPECT_EQ(view[100], 0);                   // healed with zeros
    EXPECT_EQ(read_at(h, 4000, 200), std::string(96, 'v'));
    EXPECT_EQ(seek(h, 4096, FILE_BEGIN), 4096u);
    view = nullptr;
    ASSERT_TRUE(ReadFileView(h, buffer, 100, &got, &view));
    EXPECT_EQ(view, nullptr);  // no views of a mapping that lost a page
    EXPECT_EQ(got, 0u);

    // A fault outside our mappings still ends the process, as it would
    // without the handler.
    const std::string other = path("other");
    write_file(other, "");
    const int ended = in_child([&] {
        const int fd = ::open(other.c_str(), O_RDONLY);
        auto* page =
            static_cast<volatile const char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        return page == MAP_FAILED ? 2 : page[0] == 0 ? 3 : 4;  // past the end of an empty file
    });
    // The handler before ours ends it: the default action with SIGBUS, a
    // sanitizer's with its report and SIGABRT. Never an exit of its own.
    EXPECT_TRUE(ended == -SIGBUS || ended == -SIGABRT) << ended;
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace kvr::platform
