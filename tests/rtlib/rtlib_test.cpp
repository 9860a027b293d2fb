// The substitute runtime: EBCDIC conversion, counted storage, per-thread
// storage, and the error entries that report a verb the file's state forbids.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

#include "support/cobol_program.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace {

using kvr::test::CobolProgram;

TEST(Ebcdic, ConvertsInPlaceToCodePage037) {
    unsigned char text[] = "Az09 ,.-$\xE9";
    const unsigned char expected[] = {0xC1, 0xA9, 0xF0, 0xF9, 0x40, 0x6B, 0x4B, 0x60, 0x5B, 0x51};
    int length = 10;
    vmqConvToEBCDIC(text, length, text, &length);
    EXPECT_EQ(std::memcmp(text, expected, sizeof expected), 0);
    EXPECT_EQ(text[10], 0);  // nothing past the length
    EXPECT_EQ(length, 10);
}

TEST(Ebcdic, EveryByteHasItsOwnCode) {
    unsigned char all[256];
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    int length = 256;
    vmqConvToEBCDIC(all, length, all, &length);
    bool seen[256] = {};
    for (unsigned char c : all) {
        EXPECT_FALSE(seen[c]) << "code " << int(c) << " used twice";
        seen[c] = true;
    }
}

TEST(Storage, CountsWhatIsStillLive) {
    vmq_thread_storage* block = threadStorage();
    long live = block->live_allocations;
    long bytes = block->live_bytes;
    void* slot = _vmqMalloc(128, 907, 0);
    void* name = _vmqMalloc(11, 907, 0);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % alignof(std::max_align_t), 0u);
    std::memset(slot, 0xAB, 128);
    EXPECT_EQ(block->live_allocations, live + 2);
    EXPECT_EQ(block->live_bytes, bytes + 139);
    _vmqCheckFree(slot);
    _vmqCheckFree(name);
    _vmqCheckFree(nullptr);
    EXPECT_EQ(block->live_allocations, live);
    EXPECT_EQ(block->live_bytes, bytes);
}

TEST(Storage, FailureOutsideAVerbReturnsNull) {
    vmq_thread_storage* block = threadStorage();
    ASSERT_EQ(block->jump_buffer, nullptr);
    block->fail_allocation_at = 2;
    void* first = _vmqMalloc(8, 907, 0);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(_vmqMalloc(8, 907, 0), nullptr);
    void* third = _vmqMalloc(8, 907, 0);
    EXPECT_NE(third, nullptr);
    _vmqCheckFree(first);
    _vmqCheckFree(third);
}

TEST(ThreadStorage, EachThreadHasItsOwnBlock) {
    vmq_thread_storage* mine = threadStorage();
    EXPECT_EQ(mine, threadStorage());
    vmq_thread_storage* theirs = nullptr;
    void* their_word = nullptr;
    std::thread([&] {
        theirs = threadStorage();
        their_word = theirs->debug_word;
    }).join();
    EXPECT_NE(mine, theirs);
    EXPECT_NE(their_word, nullptr);
    EXPECT_NE(mine->debug_word, their_word);
}

class ErrorEntries : public ::testing::Test {
protected:
    void SetUp() override { calls_before = threadStorage()->error_entry_calls; }

    uint16_t call(vmq_verb_entry entry) {
        program.fcb.status = 0;
        entry(&program.fcb, &program.context);
        return program.fcb.status;
    }

    CobolProgram program{VMQ_ORG_INDEXED, 20};
    long calls_before = 0;
};

TEST_F(ErrorEntries, ReportTheStatusForTheFilesState) {
    // An open file (OPEN OUTPUT).
    program.fcb.open_mode = VMQ_OPEN_OUTPUT;
    EXPECT_EQ(call(_vmqOpenError), 41);
    EXPECT_EQ(call(_vmqReadError), 47);
    EXPECT_EQ(call(_vmqStartError), 47);
    EXPECT_EQ(call(_vmqRewriteError), 49);
    EXPECT_EQ(call(_vmqDeleteError), 49);
    // A closed file.
    program.fcb.open_mode = 0;
    EXPECT_EQ(call(_vmqCloseError), 42);
    EXPECT_EQ(call(_vmqWriteError), 48);
    EXPECT_EQ(program.fcb.current_verb, VMQ_VERB_WRITE);
    EXPECT_EQ(call(_vmqOpenError), 41);
    program.fcb.last_close_options = VMQ_CLOSE_WITH_LOCK;
    EXPECT_EQ(call(_vmqOpenError), 38);

    vmq_thread_storage* block = threadStorage();
    EXPECT_EQ(block->error_entry_calls, calls_before + 9);
    EXPECT_EQ(block->last_error_verb, VMQ_VERB_OPEN);
    EXPECT_EQ(block->last_error_status, 38);
    EXPECT_EQ(program.status_item(), "38");
    EXPECT_EQ(program.use_procedure_calls(), 9);
}

TEST_F(ErrorEntries, AbsentOptionalFileReadsAtEndOrInvalidKey) {
    program.fcb.open_mode = VMQ_OPEN_INPUT;
    program.fcb.state_flags = VMQ_OPTIONAL_ABSENT;
    EXPECT_EQ(call(_vmqReadError), 23);  // random READ
    EXPECT_EQ(call(_vmqStartError), 23);
    program.fcb.verb_options = VMQ_READ_NEXT;
    EXPECT_EQ(call(_vmqReadError), 10);
    EXPECT_NE(program.fcb.state_flags & VMQ_AT_END, 0u);
    program.fcb.verb_options = 0;
    program.description().access_flags = VMQ_ACCESS_SEQUENTIAL;
    EXPECT_EQ(call(_vmqReadError), 10);
    EXPECT_EQ(program.status_item(), "10");
}

TEST_F(ErrorEntries, StatusDigitsFollowTheDescription) {
    program.description().code_flags = VMQ_CODE_EBCDIC_STATUS;
    call(_vmqCloseError);
    EXPECT_EQ(program.status_bytes()[0], 0xF4);
    EXPECT_EQ(program.status_bytes()[1], 0xF2);
    std::string message = program.message();
    EXPECT_EQ(message, std::string(20, '\0'));  // the message area is left alone
}

}  // namespace
