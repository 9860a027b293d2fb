// Share modes between handles of one process and between processes, and
// remove() of a file in use.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/crt_file.h"
#include "platform/windows_file.h"
#include "support/temp_dir.h"

namespace kvr::platform {
namespace {

using kvr::test::kReadWrite;

// Runs `body` in a child process and returns its exit status.
template <typename Body>
int in_child(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Opener {
    DWORD access;
    DWORD share;
};

constexpr Opener kSharedReader{GENERIC_READ, FILE_SHARE_READ};
constexpr Opener kExclusiveReader{GENERIC_READ, 0};
constexpr Opener kWriter{kReadWrite, 0};
constexpr Opener kSharingWriter{kReadWrite, FILE_SHARE_READ};

struct ShareCase {
    const char* name;
    Opener first;
    Opener second;
    DWORD second_disposition;
    DWORD expected;  // error of the second open, 0 when it succeeds
};

constexpr DWORD kRefused = ERROR_SHARING_VIOLATION;
constexpr ShareCase kShareCases[] = {
    {"readers coexist", kSharedReader, kSharedReader, OPEN_EXISTING, 0},
    {"reader then writer", kSharedReader, kWriter, OPEN_EXISTING, kRefused},
    {"reader then truncation", kSharedReader, kWriter, CREATE_ALWAYS, kRefused},
    {"writer then reader", kWriter, kSharedReader, OPEN_EXISTING, kRefused},
    {"writer then writer", kWriter, kWriter, OPEN_ALWAYS, kRefused},
    {"sharing writer then reader", kSharingWriter, kSharedReader, OPEN_EXISTING, kRefused},
    {"exclusive reader then reader", kExclusiveReader, kSharedReader, OPEN_EXISTING, kRefused},
    {"reader then exclusive reader", kSharedReader, kExclusiveReader, OPEN_EXISTING, kRefused},
};

class ShareModeTest : public kvr::test::TempDirTest {
protected:
    // Opens as `opener` asks; returns 0 or the error, closing what it opened.
    static DWORD try_open(const std::string& name, Opener opener, DWORD disposition) {
        HANDLE h = open(name, opener.access, opener.share, disposition);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        EXPECT_TRUE(CloseHandle(h));
        return 0;
    }
};

TEST_F(ShareModeTest, SecondOpenInThisProcessAndAnother) {
    const std::string file = path("shared");
    for (const ShareCase& c : kShareCases) {
        SCOPED_TRACE(c.name);
        write_file(file, "contents");
        HANDLE first = open(file, c.first.access, c.first.share, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);

        EXPECT_EQ(try_open(file, c.second, c.second_disposition), c.expected);
        EXPECT_EQ(in_child([&] {
                      return static_cast<int>(try_open(file, c.second, c.second_disposition));
                  }),
                  static_cast<int>(c.expected));
        EXPECT_EQ(read_file(file), "contents");  // a refused open changes nothing

        ASSERT_TRUE(CloseHandle(first));
        // With the first handle gone, the second open succeeds everywhere.
        EXPECT_EQ(in_child([&] {
                      return static_cast<int>(try_open(file, c.second, c.second_disposition));
                  }),
                  0);
        EXPECT_EQ(try_open(file, c.second, c.second_disposition), 0u);
    }
}

TEST_F(ShareModeTest, RemoveRefusesAHeldFile) {
    const std::string file = path("held");
    write_file(file, "data");
    HANDLE reader = open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);

    errno = 0;
    EXPECT_EQ(kvr::platform::remove(file.c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(in_child([&] { return kvr::platform::remove(file.c_str()) == 0 ? 0 : errno; }),
              EACCES);
    EXPECT_EQ(read_file(file), "data");

    ASSERT_TRUE(CloseHandle(reader));
    EXPECT_EQ(kvr::platform::remove(file.c_str()), 0);
    EXPECT_EQ(_access(file.c_str(), 0), -1);
}

}  // namespace
}  // namespace kvr::platform
