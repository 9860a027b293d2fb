// The descriptor calls, alone and on a descriptor made from a HANDLE.

#include "platform/crt_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "platform/windows_file.h"
#include "support/temp_dir.h"

namespace kvr::platform {
namespace {

using kvr::test::kReadWrite;

class CrtFileTest : public kvr::test::TempDirTest {};

TEST_F(CrtFileTest, DescriptorFromHandleWorksOnTheSameFileAndHoldsItsLock) {
    const std::string f = path("f");
    HANDLE h = open(f, kReadWrite, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "abcdef", 6, &n, nullptr));

    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 6);  // starts at the handle's position
    EXPECT_EQ(_write(fd, "gh", 2), 2);
    EXPECT_EQ(_lseek(fd, 1, SEEK_SET), 1);
    char buffer[16] = {};
    EXPECT_EQ(_read(fd, buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 7), "bcdefgh");
    EXPECT_EQ(_read(fd, buffer, sizeof buffer), 0);

    EXPECT_EQ(_chsize(fd, 3), 0);
    EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 8);  // truncation does not move
    EXPECT_EQ(_lseek(fd, 0, SEEK_END), 3);
    EXPECT_EQ(_chsize(fd, 5), 0);  // extends with zeros
    EXPECT_EQ(read_file(f), std::string("abc\0\0", 5));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), 5u);  // the handle sees it

    // Either reference keeps the file held.
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(open(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(kvr::platform::remove(f.c_str()), -1);
    ASSERT_EQ(_close(fd), 0);
    HANDLE again = open(f, kReadWrite, 0, OPEN_EXISTING);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(CrtFileTest, ReportsErrorsThroughErrno) {
    const std::string f = path("f");
    write_file(f, "abc");
    EXPECT_EQ(_access(f.c_str(), 6), 0);
    errno = 0;
    EXPECT_EQ(_access(path("none").c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);

    const int reader = ::open(f.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    errno = 0;
    EXPECT_EQ(_chsize(reader, 0), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_close(reader), 0);
    EXPECT_EQ(read_file(f), "abc");

    errno = 0;
    EXPECT_EQ(_open_osfhandle(reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE), 0), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace kvr::platform
