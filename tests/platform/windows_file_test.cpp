// Transfers, file positions, access rights and dispositions of the Windows
// file calls.

#include "platform/windows_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace kvr::platform {
namespace {

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
    static void write(HANDLE h, const std::string& bytes) {
        DWORD put = 0;
        EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
        EXPECT_EQ(put, bytes.size());
    }
    // 0 or the error of opening `name` for read and write.
    static DWORD open_error(const std::string& name, DWORD disposition) {
        HANDLE h = open(name, kReadWrite, 0, disposition);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError();
        const DWORD reported = GetLastError();
        EXPECT_TRUE(CloseHandle(h));
        return reported;
    }
};

TEST_F(WindowsFileTest, TransfersAtTheFilePosition) {
    HANDLE h = open(path("f"), kReadWrite, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    write(h, "hello");
    EXPECT_EQ(seek(h, 100, FILE_BEGIN), 100u);
    write(h, "world");  // past the end: the gap reads as zeros
    EXPECT_EQ(seek(h, -5, FILE_CURRENT), 100u);
    EXPECT_EQ(read(h, 5), "world");
    EXPECT_EQ(seek(h, -105, FILE_END), 0u);
    EXPECT_EQ(read(h, 7), std::string("hello\0\0", 7));

    // A short read at the end, then empty reads that still succeed.
    EXPECT_EQ(seek(h, 102, FILE_BEGIN), 102u);
    EXPECT_EQ(read(h, 10), "rld");
    EXPECT_EQ(read(h, 10), "");
    EXPECT_EQ(seek(h, 0, FILE_CURRENT), 105u);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(read_file(path("f")).size(), 105u);  // reading never extends
}

TEST_F(WindowsFileTest, SeekLimits) {
    HANDLE h = open(path("f"), kReadWrite, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(seek(h, 10, FILE_BEGIN), 10u);
    EXPECT_EQ(seek(h, -11, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(seek(h, -1, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(seek(h, 0, FILE_CURRENT), 10u);  // failed seeks did not move

    // Without a high word the position must fit 32 bits; 0xFFFFFFFF itself is
    // a position, told from failure by the cleared last error.
    ASSERT_EQ(seek(h, 0x7FFFFFFF, FILE_BEGIN), 0x7FFFFFFFu);
    EXPECT_EQ(seek(h, 0x7FFFFFFF, FILE_CURRENT), 0xFFFFFFFEu);
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(seek(h, 1, FILE_CURRENT), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(seek(h, 1, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // With a high word the position is 64 bits, in and out.
    LONG high = 5;
    EXPECT_EQ(SetFilePointer(h, 7, &high, FILE_BEGIN), 7u);
    EXPECT_EQ(high, 5);
    high = -1;  // (-1 : -8) is -8
    EXPECT_EQ(SetFilePointer(h, -8, &high, FILE_CURRENT), 0xFFFFFFFFu);
    EXPECT_EQ(high, 4);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    high = -1;
    EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(WindowsFileTest, RefusesMissingRightsAndBadHandles) {
    write_file(path("f"), "abc");
    char byte = 0;
    DWORD n = 99;
    HANDLE reader = open(path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    ASSERT_TRUE(CloseHandle(reader));
    HANDLE writer = open(path("f"), GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(writer, &byte, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(writer));
    EXPECT_EQ(read_file(path("f")), "abc");

    for (HANDLE bad : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(ReadFile(bad, &byte, 1, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST_F(WindowsFileTest, Dispositions) {
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
    EXPECT_EQ(open(dir_, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_error(path("missing/f"), OPEN_ALWAYS), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(open_error(f + "/f", OPEN_EXISTING), ERROR_PATH_NOT_FOUND);  // f is a file
}

}  // namespace
}  // namespace kvr::platform
