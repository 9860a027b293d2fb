// A fresh directory per test, and small helpers for files in it.

#ifndef KVR_TESTS_SUPPORT_TEMP_DIR_H
#define KVR_TESTS_SUPPORT_TEMP_DIR_H

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/coding.h"
#include "platform/windows_file.h"

namespace kvr::test {

using namespace kvr::platform;

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvr_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    static HANDLE open(const std::string& name, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileA(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }

    static void write_file(const std::string& name, const std::string& bytes) {
        std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
    }

    static std::string read_file(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // The names of the files in the directory, sorted.
    std::vector<std::string> names_in_dir() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // Damage made by hand: n bytes, or a little-endian word, over the file's
    // bytes at `at`.
    static void patch_file(const std::string& name, uint64_t at, const void* bytes, size_t n) {
        std::fstream file(name, std::ios::binary | std::ios::in | std::ios::out);
        ASSERT_TRUE(file.seekp(static_cast<std::streamoff>(at)));
        ASSERT_TRUE(file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(n)));
    }
    static void patch_u32(const std::string& name, uint64_t at, uint32_t value) {
        unsigned char word[4];
        store_u32(word, value);
        patch_file(name, at, word, 4);
    }

    std::string dir_;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// A full file system, as far as this process can tell, for as long as it
// lives: no file may grow past `bytes` (the write that would cross it stops
// short there and the next fails with EFBIG, as on a full disk).
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    sighandler_t old_handler_ = SIG_DFL;
};

// The statuses of a run of statements, taken in order: "00 02 22".
inline std::string in_order(std::initializer_list<std::string> statuses) {
    std::string all;
    for (const std::string& status : statuses)
        all += (all.empty() ? "" : " ") + status;
    return all;
}

// A 32-bit word as the files store it, little-endian.
inline std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    store_u32(reinterpret_cast<unsigned char*>(bytes.data()), value);
    return bytes;
}

}  // namespace kvr::test

#endif  // KVR_TESTS_SUPPORT_TEMP_DIR_H
