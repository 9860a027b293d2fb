// The frame around a verb and the report at its end, driven as a runtime
// drives them: through an FCB, a description and a program context.
#include <gtest/gtest.h>

#include <langinfo.h>

#include <string>

#include "runtime/reporting.h"
#include "runtime/verb_frame.h"
#include "support/cobol_program.h"
#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace {

using kvr::runtime::begin_verb;
using kvr::runtime::report;
using kvr::runtime::run_verb_frame;
using kvr::test::CobolProgram;

// What the scripted worker does; tests hand it over in the FCB's engine
// handle slot, which the frame and the report never look at.
struct Script {
    uint8_t verb = VMQ_VERB_READ;
    uint16_t status = 0;
    int diagnostic_code = 0;
    size_t allocate = 0;        // bytes to take from the runtime first
    vmq_fcb* nested = nullptr;  // a verb to run inside this one
    void* buffer_inside = nullptr;
    void* buffer_after_nested = nullptr;
    int reports_completed = 0;
};

void scripted_worker(vmq_fcb* fcb, vmq_program_context* context) {
    Script* script = static_cast<Script*>(fcb->engine_handle);
    script->buffer_inside = threadStorage()->jump_buffer;
    if (script->nested != nullptr) {
        run_verb_frame(script->nested, context, scripted_worker);
        script->buffer_after_nested = threadStorage()->jump_buffer;
    }
    if (script->allocate != 0)
        _vmqCheckFree(_vmqMalloc(script->allocate, 907, 0));
    kvr::runtime::VerbTarget target = begin_verb(fcb, context, script->verb);
    fcb->status = script->status;
    report(target, script->diagnostic_code, nullptr);
    ++script->reports_completed;
}

class VerbFrame : public ::testing::Test {
protected:
    void run(Script& script) {
        program.fcb.engine_handle = &script;
        run_verb_frame(&program.fcb, &program.context, scripted_worker);
    }

    CobolProgram program{VMQ_ORG_INDEXED, 40};
};

TEST_F(VerbFrame, StatusDigitsInAsciiOrEbcdic) {
    Script script;
    script.status = 35;
    run(script);
    EXPECT_EQ(program.status_item(), "35");

    program.description().code_flags = VMQ_CODE_EBCDIC_STATUS;
    run(script);
    EXPECT_EQ(program.status_bytes()[0], 0xF3);
    EXPECT_EQ(program.status_bytes()[1], 0xF5);
    EXPECT_EQ(program.fcb.status, 35);
}

TEST_F(VerbFrame, UseProcedureRunsOnlyForStatusTenAndAbove) {
    Script script;
    script.status = 4;
    run(script);
    EXPECT_EQ(program.use_procedure_calls(), 0);
    script.status = 10;
    run(script);
    EXPECT_EQ(program.use_procedure_calls(), 1);
    EXPECT_EQ(program.status_item(), "10");
}

TEST_F(VerbFrame, FileWithoutStatusItemOrMessageAreaStillReports) {
    program.remove_status_item();
    program.remove_message_area();
    std::string before = program.message();
    Script script;
    script.status = 30;
    script.diagnostic_code = 2;
    run(script);
    EXPECT_EQ(program.status_item(), "");
    EXPECT_EQ(program.message(), before);
    EXPECT_EQ(program.use_procedure_calls(), 1);
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_READ);
}

TEST_F(VerbFrame, MessageAreaGetsTheResultText) {
    Script script;
    script.status = 10;
    script.diagnostic_code = 9;
    run(script);
    EXPECT_EQ(program.message(), "000009,End of file" + std::string(22, ' '));

    program.description().code_flags = VMQ_CODE_EBCDIC_MESSAGE;
    run(script);
    std::string ebcdic = program.message();
    EXPECT_EQ(static_cast<unsigned char>(ebcdic[0]), 0xF0);   // '0'
    EXPECT_EQ(static_cast<unsigned char>(ebcdic[5]), 0xF9);   // '9'
    EXPECT_EQ(static_cast<unsigned char>(ebcdic[6]), 0x6B);   // ','
    EXPECT_EQ(static_cast<unsigned char>(ebcdic[7]), 0xC5);   // 'E'
    EXPECT_EQ(static_cast<unsigned char>(ebcdic[39]), 0x40);  // blank
    EXPECT_EQ(program.status_item(), "10");                   // digits stay ASCII
}

TEST_F(VerbFrame, UseProcedureThatAbandonsTheVerb) {
    vmq_thread_storage* block = threadStorage();
    int outer_marker = 0;
    block->jump_buffer = &outer_marker;  // the buffer of an enclosing verb
    long abandoned = block->abandoned_verbs;
    program.on_use_procedure([](vmq_fcb*) { vmqrtAbandonVerb(); });
    program.fcb.last_verb = VMQ_VERB_OPEN;
    program.fcb.state_flags = VMQ_RECORD_READ;

    Script script;
    script.verb = VMQ_VERB_WRITE;
    script.status = 22;
    run(script);

    EXPECT_EQ(block->jump_buffer, &outer_marker);
    EXPECT_EQ(block->abandoned_verbs, abandoned + 1);
    EXPECT_EQ(block->last_abandon_word, block->debug_word);
    EXPECT_STREQ(block->last_abandon_codeset, nl_langinfo(CODESET));
    // What the verb stored before the jump stays; nothing after it happens.
    EXPECT_EQ(program.status_item(), "22");
    EXPECT_EQ(script.reports_completed, 0);
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_OPEN);
    EXPECT_EQ(program.fcb.state_flags, VMQ_RECORD_READ);
    block->jump_buffer = nullptr;
}

TEST_F(VerbFrame, NestedVerbRestoresTheOuterBuffer) {
    CobolProgram inner_program(VMQ_ORG_SEQUENTIAL, 0);
    inner_program.on_use_procedure([](vmq_fcb*) { vmqrtAbandonVerb(); });
    Script inner;
    inner.status = 30;
    inner_program.fcb.engine_handle = &inner;

    Script outer;
    outer.nested = &inner_program.fcb;
    outer.status = 0;
    program.fcb.engine_handle = &outer;
    run_verb_frame(&program.fcb, &inner_program.context, scripted_worker);

    // The inner verb was abandoned; the outer one went on and completed.
    EXPECT_EQ(inner.reports_completed, 0);
    EXPECT_NE(inner.buffer_inside, outer.buffer_inside);
    EXPECT_EQ(outer.buffer_after_nested, outer.buffer_inside);
    EXPECT_EQ(outer.reports_completed, 1);
    EXPECT_EQ(threadStorage()->jump_buffer, nullptr);
}

TEST_F(VerbFrame, AllocatorThatRunsOutAbandonsTheVerb) {
    vmq_thread_storage* block = threadStorage();
    long live = block->live_allocations;
    long abandoned = block->abandoned_verbs;
    block->fail_allocation_at = 1;
    Script script;
    script.allocate = 128;
    run(script);
    EXPECT_EQ(block->abandoned_verbs, abandoned + 1);
    EXPECT_EQ(block->live_allocations, live);
    EXPECT_EQ(script.reports_completed, 0);
    EXPECT_EQ(block->jump_buffer, nullptr);

    run(script);  // the next allocation succeeds again
    EXPECT_EQ(script.reports_completed, 1);
    EXPECT_EQ(block->live_allocations, live);
}

TEST_F(VerbFrame, DescriptionFoundThroughTheProgramContext) {
    program.fcb.description = nullptr;
    program.fcb.state_flags = VMQ_DESC_BY_INDEX;
    Script script;
    script.status = 23;
    run(script);
    EXPECT_EQ(program.status_item(), "23");
    EXPECT_EQ(program.fcb.state_flags, VMQ_DESC_BY_INDEX);
}

// A verb whose description cannot be found is not run: there is no status
// item or message area to write, so the FCB's status (30) and the USE
// procedure tell the runtime. Every entry point goes through the frame.
TEST_F(VerbFrame, NoDescriptionGives30AndRunsNothing) {
    vmq_file_description* const description = &program.description();
    Script script;
    program.fcb.description = nullptr;
    run(script);
    EXPECT_EQ(script.reports_completed, 0);
    EXPECT_EQ(program.fcb.status, 30);
    EXPECT_EQ(program.use_procedure_calls(), 1);
    EXPECT_EQ(program.status_item(), "");

    // A null entry in the program's table, and a table entry asked for
    // without a file index, which falls back to the null description.
    program.fcb.state_flags = VMQ_DESC_BY_INDEX;
    program.runtime.descriptions[0] = nullptr;
    for (uint32_t index : {1u, 0u}) {
        program.fcb.file_index = index;
        program.fcb.status = 0;
        run(script);
        EXPECT_EQ(script.reports_completed, 0);
        EXPECT_EQ(program.fcb.status, 30);
    }
    program.runtime.descriptions[0] = description;
    program.fcb.file_index = 1;
    run(script);
    EXPECT_EQ(script.reports_completed, 1);

    const vmq_verb_entry entries[] = {
        _vmqBIndexOpen,      _vmqBIndexClose,    _vmqBIndexRead,     _vmqBIndexWrite,
        _vmqBIndexRewrite,   _vmqBIndexDelete,   _vmqBIndexStart,    _vmqBRelativeOpen,
        _vmqBRelativeClose,  _vmqBRelativeRead,  _vmqBRelativeWrite, _vmqBRelativeRewrite,
        _vmqBRelativeDelete, _vmqBRelativeStart, _vmqBSeqOpen,       _vmqBSeqClose,
        _vmqBSeqRead,        _vmqBSeqWrite,      _vmqBSeqRewrite};
    const long live = threadStorage()->live_allocations;
    for (vmq_verb_entry entry : entries) {
        CobolProgram lost(VMQ_ORG_INDEXED, 40);
        lost.fcb.description = nullptr;
        lost.fcb.state_flags = 0;
        entry(&lost.fcb, &lost.context);
        EXPECT_EQ(lost.fcb.status, 30);
        EXPECT_EQ(lost.use_procedure_calls(), 1);
        entry(nullptr, &lost.context);  // no FCB at all: nothing to do
    }
    EXPECT_EQ(threadStorage()->live_allocations, live);
    EXPECT_EQ(threadStorage()->jump_buffer, nullptr);
}

TEST_F(VerbFrame, LastVerbAndRecordRead) {
    Script script;
    program.fcb.last_verb = VMQ_VERB_OPEN;
    script.status = 99;  // a READ of a locked record is not the last verb
    run(script);
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_OPEN);
    script.status = 0;
    program.fcb.state_flags = VMQ_RECORD_READ;
    run(script);
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_READ);
    EXPECT_EQ(program.fcb.state_flags, VMQ_RECORD_READ);

    for (uint8_t verb : {VMQ_VERB_WRITE, VMQ_VERB_REWRITE, VMQ_VERB_DELETE, VMQ_VERB_START}) {
        program.fcb.state_flags = VMQ_RECORD_READ | VMQ_POSITION_VALID;
        script.verb = verb;
        run(script);
        EXPECT_EQ(program.fcb.state_flags, VMQ_POSITION_VALID) << int(verb);
        EXPECT_EQ(program.fcb.last_verb, verb);
    }
}

TEST_F(VerbFrame, StartAndCloseKeepTheStatusUntilTheyKnowTheOutcome) {
    kvr::runtime::VerbTarget target;
    program.fcb.status = 47;
    target = begin_verb(&program.fcb, &program.context, VMQ_VERB_START);
    EXPECT_EQ(program.fcb.status, 47);
    EXPECT_EQ(program.fcb.current_verb, VMQ_VERB_START);
    target = begin_verb(&program.fcb, &program.context, VMQ_VERB_CLOSE);
    EXPECT_EQ(program.fcb.status, 47);
    target = begin_verb(&program.fcb, &program.context, VMQ_VERB_OPEN);
    EXPECT_EQ(program.fcb.status, 0);
    EXPECT_EQ(target.message_area != nullptr, true);
}

}  // namespace
