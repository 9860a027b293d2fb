// The substitute runtime: counted storage, and the error entries that report
// a verb the file's state forbids.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/cobol_program.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace {

using kvr::test::CobolProgram;

TEST(Storage, CountsWhatIsLiveAndFailsOutsideAVerbWithNull) {
    vmq_thread_storage* block = threadStorage();
    const long live = block->live_allocations;
    const long bytes = block->live_bytes;
    ASSERT_EQ(block->jump_buffer, nullptr);
    block->fail_allocation_at = 2;
    void* slot = _vmqMalloc(128, 907, 0);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % alignof(std::max_align_t), 0u);
    std::memset(slot, 0xAB, 128);
    EXPECT_EQ(_vmqMalloc(8, 907, 0), nullptr);  // the second
    EXPECT_EQ(block->live_allocations, live + 1);
    EXPECT_EQ(block->live_bytes, bytes + 128);
    _vmqCheckFree(slot);
    _vmqCheckFree(nullptr);
    EXPECT_EQ(block->live_allocations, live);
    EXPECT_EQ(block->live_bytes, bytes);
    void* third = _vmqMalloc(8, 907, 0);  // only the chosen one fails
    EXPECT_NE(third, nullptr);
    _vmqCheckFree(third);
}

class ErrorEntries : public ::testing::Test {
protected:
    uint16_t call(vmq_verb_entry entry) {
        program.fcb.status = 0;
        entry(&program.fcb, &program.context);
        return program.fcb.status;
    }

    CobolProgram program{VMQ_ORG_INDEXED, 20};
};

TEST_F(ErrorEntries, ReportTheStatusForTheFilesState) {
    const long calls_before = threadStorage()->error_entry_calls;
    program.fcb.open_mode = VMQ_OPEN_OUTPUT;
    EXPECT_EQ(call(_vmqOpenError), 41);
    EXPECT_EQ(call(_vmqReadError), 47);
    EXPECT_EQ(call(_vmqStartError), 47);
    EXPECT_EQ(call(_vmqRewriteError), 49);
    EXPECT_EQ(call(_vmqDeleteError), 49);
    program.fcb.open_mode = 0;  // closed
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
    // EBCDIC status digits; the message area is left alone.
    program.description().code_flags = VMQ_CODE_EBCDIC_STATUS;
    call(_vmqCloseError);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(program.status_bytes()), 2), "\xF4\xF2");
    EXPECT_EQ(program.message(), std::string(20, '\0'));
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

}  // namespace
