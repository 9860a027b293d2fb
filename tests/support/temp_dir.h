// A fresh directory per test, and small helpers for files in it.

#ifndef KVR_TESTS_SUPPORT_TEMP_DIR_H
#define KVR_TESTS_SUPPORT_TEMP_DIR_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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

    std::string dir_;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

}  // namespace kvr::test

#endif  // KVR_TESTS_SUPPORT_TEMP_DIR_H
