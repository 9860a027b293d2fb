// Transfers, file positions, access rights and dispositions of the Windows
// file calls.

#include "platform/windows_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/mapped_file.h"
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
    EXPECT_EQ(read_at(h, 102, 10), "rld");
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

// Reads copy from a mapping of the file where they can, and give what pread
// gives in every case: with mappings on and off alike, a reader sees every
// write at once, also past the size the file had when it was opened; a file
// cut short behind the handle reads short, and never ends the process.
TEST_F(WindowsFileTest, MappedReadsGiveWhatReadsGive) {
    for (const bool mapped : {true, false}) {
        SCOPED_TRACE(mapped ? "mapped" : "through pread");
        set_file_mappings(mapped);
        const std::string name = path(mapped ? "mapped" : "plain");
        HANDLE writer = open(name, kReadWrite, 0, CREATE_NEW);
        ASSERT_NE(writer, INVALID_HANDLE_VALUE);
        const std::string page(4096, 'p');
        for (int i = 0; i < 4; ++i)
            write(writer, page);
        EXPECT_EQ(read_at(writer, 4090, 12), std::string(12, 'p'));
        EXPECT_EQ(seek(writer, 4092, FILE_BEGIN), 4092u);
        write(writer, "changed");  // over bytes read before: seen at once
        EXPECT_EQ(read_at(writer, 4090, 12), "ppchangedppp");
        EXPECT_EQ(seek(writer, 0, FILE_END), 16384u);
        write(writer, "grown");  // past the size the handle opened with
        EXPECT_EQ(read_at(writer, 16380, 100), "ppppgrown");

        // Cut behind the handle's back at a page boundary: what lies past
        // it is gone, and a read of it is short, as pread makes it.
        std::filesystem::resize_file(name, 8192);
        EXPECT_EQ(read_at(writer, 8190, 100), "pp");
        EXPECT_EQ(read_at(writer, 12288, 10), "");
        // Cut inside a page: the bytes past the cut read short, or as zeros
        // up to the end of that page through a mapping; nothing more.
        std::filesystem::resize_file(name, 6000);
        EXPECT_EQ(seek(writer, 5990, FILE_BEGIN), 5990u);
        const std::string tail = read(writer, 200);
        EXPECT_EQ(tail.substr(0, 10), std::string(10, 'p'));
        EXPECT_TRUE(tail.size() == 10 || tail.find_first_not_of('\0', 10) == std::string::npos);
        EXPECT_EQ(read_at(writer, 8192, 10), "");
        EXPECT_TRUE(CloseHandle(writer));
    }
    set_file_mappings(true);
}

// A reader that looks at bytes in place through ReadFileView: a page cut
// off behind its back reads as zeros instead of ending the process, and the
// handle's reads go through pread from then on, which reports the cut.
TEST_F(WindowsFileTest, AViewOfACutFileReadsZerosAndNeverEndsTheProcess) {
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
    EXPECT_TRUE(CloseHandle(h));
}

// A fault outside our mappings still takes the action it would have taken
// without the mapping's SIGBUS handler: the process ends.
TEST_F(WindowsFileTest, OtherBusErrorsStillEndTheProcess) {
    HANDLE h = open(path("mapped"), kReadWrite, 0, CREATE_NEW);  // installs the handler
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    write(h, "x");
    std::string byte(1, '?');
    EXPECT_EQ(read_at(h, 0, 1), "x");
    const std::string other = path("other");
    write_file(other, "");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(other.c_str(), O_RDONLY);
        auto* page =
            static_cast<volatile const char*>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
        if (page == MAP_FAILED)
            _exit(2);
        const char touched = page[0];  // past the end of an empty file
        _exit(touched == 0 ? 3 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // The handler before ours ends it: the default action with SIGBUS, a
    // sanitizer's with its report and SIGABRT. Never an exit of its own.
    EXPECT_TRUE(WIFSIGNALED(status) && (WTERMSIG(status) == SIGBUS || WTERMSIG(status) == SIGABRT))
        << status;
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
}  // namespace kvr::platform
