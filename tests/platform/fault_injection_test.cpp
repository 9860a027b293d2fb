// Every fault-injection point fires at the chosen call and no other.
#include "platform/fault_injection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/crt_file.h"
#include "platform/windows_file.h"
#include "support/temp_dir.h"

namespace kvr::platform {
namespace {

using kvr::test::kReadWrite;

int win(bool ok) {
    return ok ? 0 : static_cast<int>(GetLastError());
}
int crt(bool ok) {
    return ok ? 0 : errno;
}

// What the calls work on. Handles made by CreateFileA are closed by
// CloseHandle, which releases them also when it reports a failure.
class FaultInjectionTest : public kvr::test::TempDirTest {
public:
    void SetUp() override {
        TempDirTest::SetUp();
        file = open(path("main"), kReadWrite, 0, CREATE_NEW);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        fd = descriptor();
        ASSERT_EQ(create_one(), 0);
    }
    void TearDown() override {
        for (HANDLE h : handles)
            EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(_close(fd), 0);
        EXPECT_TRUE(CloseHandle(file));
        TempDirTest::TearDown();
    }
    int descriptor() { return _open_osfhandle(reinterpret_cast<std::intptr_t>(file), 0); }
    int create_one() {
        const std::string name = path("new" + std::to_string(handles.size()));
        HANDLE h = CreateFileA(name.c_str(), kReadWrite, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handles.push_back(h);
        return win(h != INVALID_HANDLE_VALUE);
    }

    HANDLE file = nullptr;
    int fd = -1;
    std::vector<HANDLE> handles;
    char buffer[2];
};

using Bench = FaultInjectionTest;

// The I/O calls, one of each; each returns 0 or the error it reported (a
// Windows code, or errno for the descriptor calls, whose names start '_').
struct Call {
    const char* name;
    FaultPlan::Kind kind;
    int (*run)(Bench&);
};
constexpr Call kCalls[] = {
    {"CreateFileA", FaultPlan::kOpen, [](Bench& b) { return b.create_one(); }},
    {"SetFilePointer", FaultPlan::kSeek,
     [](Bench& b) { return win(SetFilePointer(b.file, 1, nullptr, FILE_BEGIN) == 1); }},
    {"_lseek", FaultPlan::kSeek, [](Bench& b) { return crt(_lseek(b.fd, 1, SEEK_SET) == 1); }},
    {"ReadFile", FaultPlan::kRead,
     [](Bench& b) { return win(ReadFile(b.file, b.buffer, 2, nullptr, nullptr)); }},
    {"_read", FaultPlan::kRead, [](Bench& b) { return crt(_read(b.fd, b.buffer, 2) >= 0); }},
    {"WriteFile", FaultPlan::kWrite,
     [](Bench& b) { return win(WriteFile(b.file, "ab", 2, nullptr, nullptr)); }},
    {"_write", FaultPlan::kWrite, [](Bench& b) { return crt(_write(b.fd, "ab", 2) == 2); }},
    {"_chsize", FaultPlan::kTruncate, [](Bench& b) { return crt(_chsize(b.fd, 4) == 0); }},
    {"CloseHandle", FaultPlan::kClose,
     [](Bench& b) {
         const bool closed = CloseHandle(b.handles.back());
         b.handles.pop_back();
         return win(closed);
     }},
    {"_close", FaultPlan::kClose, [](Bench& b) { return crt(_close(b.descriptor()) == 0); }},
};

TEST_F(FaultInjectionTest, EachKindFailsAtTheChosenCallAndNoOther) {
    for (FaultPlan::Kind kind : {FaultPlan::kOpen, FaultPlan::kSeek, FaultPlan::kRead,
                                 FaultPlan::kWrite, FaultPlan::kClose, FaultPlan::kTruncate}) {
        FaultPlan plan;
        plan.kinds = kind;
        plan.fail_at = 2;
        plan.error = ERROR_DISK_FULL;
        ScopedFaultPlan scope(plan);
        std::uint64_t counted = 0;
        for (int round = 0; round < 3; ++round) {
            for (const Call& call : kCalls) {
                SCOPED_TRACE(std::string(call.name) + ", round " + std::to_string(round));
                const bool fails = call.kind == kind && ++counted == 2;
                const int error = call.name[0] == '_' ? ENOSPC : int{ERROR_DISK_FULL};
                EXPECT_EQ(call.run(*this), fails ? error : 0);
            }
        }
        EXPECT_EQ(plan.calls_seen, counted);
        EXPECT_EQ(plan.failures, 1u);
    }
}

}  // namespace
}  // namespace kvr::platform
