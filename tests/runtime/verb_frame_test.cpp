// The frame around a verb and the report at its end, driven through an FCB,
// a description and a program context as a runtime drives them.
#include <gtest/gtest.h>

#include <langinfo.h>

#include <string>
#include <vector>

#include "runtime/file_status.h"
#include "runtime/messages.h"
#include "runtime/reporting.h"
#include "runtime/verb_frame.h"
#include "support/attribute_block.h"
#include "support/cobol_program.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace {

using kvr::runtime::begin_verb;
using kvr::runtime::run_verb_frame;
using kvr::test::attribute_block;
using kvr::test::CobolProgram;

TEST(FileStatus, FileNotOpenDependsOnTheVerb) {
    using kvr::runtime::record_verb_status;
    using enum kvr::runtime::Diagnostic;
    EXPECT_EQ(record_verb_status(kNotOpen, VMQ_VERB_READ), 47);
    EXPECT_EQ(record_verb_status(kNotOpen, VMQ_VERB_WRITE), 48);
    EXPECT_EQ(record_verb_status(kNotOpen, VMQ_VERB_REWRITE), 48);
    EXPECT_EQ(record_verb_status(kNotOpen, VMQ_VERB_DELETE), 30);
    EXPECT_EQ(record_verb_status(kNotOpen, VMQ_VERB_START), 30);
    // Another program held the whole file past the lock wait: try again.
    EXPECT_EQ(record_verb_status(kFileInUse, VMQ_VERB_READ), 99);
}

// Six digits, the text and, for a mismatch, the existing file's attributes,
// cut to the area and padded with blanks; nothing is written outside it.
TEST(Message, DigitsTextAndAttributesCutToTheArea) {
    const auto fixed = attribute_block(80, 80, {{1, 10}});
    const auto variable = attribute_block(5, 300, {{1, 8}, {20, 4, true}});
    const auto relative = attribute_block(14, 104, {{1, 4, false, IX_KEY_TYPE_NUMBER}}, 0);
    // Claims two keys but holds one key entry: the area fills up inside the
    // first key piece, so the second entry is never read.
    auto one_key = attribute_block(1, 1, {{1, 1}});
    one_key[18] = 2;
    const struct {
        int length;
        int code;
        const unsigned char* attributes;
        std::string text;
        const char* detail = nullptr;  // a piece added after the text
    } cases[] = {
        {80, 1004, fixed.data(), "001004,Number of keys differ,fixed length 80 80,1 key,(1 10)"},
        {100, 1007, variable.data(),
         "001007,Key length or position differs,variable length 5 300,2 keys,(1 8),(20 4 DUPOK)"},
        {60, 1005, relative.data(), "001005,Record lengths differ,fixed length 10 100"},
        {40, 1003, fixed.data(), "001003,File does not exist"},
        {5, 4, nullptr, ""},  // too short for the digits
        {6, 4, nullptr, "000004"},
        {7, 4, nullptr, "000004,"},
        {8, 4, nullptr, "000004,K"},
        {20, 4321, nullptr, "004321"},
        {30, 21, nullptr, "000024,Invalid file"},
        {40, 16, nullptr, "000016,File already exists"},
        {28, 1004, fixed.data(), "001004,Number of keys differ"},
        {29, 1004, fixed.data(), "001004,Number of keys differ,"},
        {58, 1004, fixed.data(), "001004,Number of keys differ,fixed length 80 80,1 key,(1 1"},
        {57, 1004, one_key.data(), "001004,Number of keys differ,fixed length 1 1,2 keys,(1 1"},
        {40, 18, nullptr, "000018,File locked,process 42 holds it", "process 42 holds it"},
        {26, 18, nullptr, "000018,File locked,process", "process 42 holds it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<unsigned char> area(c.length + 2, '#');  // a guard byte on each side
        _vmq_filestat2(area.data() + 1, c.length, c.code, c.attributes);
        kvr::runtime::append_message_piece(area.data() + 1, c.length, c.detail);
        const std::string padded = c.text + std::string(c.length - c.text.size(), ' ');
        EXPECT_EQ(std::string(area.begin(), area.end()), "#" + padded + "#");
    }
}

// What the scripted worker does; tests hand it over in the FCB's engine
// handle slot, which the frame and the report never look at.
struct Script {
    uint8_t verb = VMQ_VERB_READ;
    uint16_t status = 0;
    kvr::runtime::Diagnostic diagnostic = kvr::runtime::Diagnostic::kNone;
    size_t allocate = 0;  // bytes to take from the runtime first
    int reports_completed = 0;
};

void scripted_worker(vmq_fcb* fcb, vmq_program_context* context) {
    Script* script = static_cast<Script*>(fcb->engine_handle);
    if (script->allocate != 0)
        _vmqCheckFree(_vmqMalloc(script->allocate, 907, 0));
    kvr::runtime::VerbTarget target = begin_verb(fcb, context, script->verb);
    fcb->status = script->status;
    kvr::runtime::report(target, script->diagnostic, nullptr);
    ++script->reports_completed;
}

class VerbFrame : public ::testing::Test {
protected:
    void run() {
        program.fcb.engine_handle = &script;
        run_verb_frame(&program.fcb, &program.context, scripted_worker);
    }

    CobolProgram program{VMQ_ORG_INDEXED, 40};
    Script script;
};

TEST_F(VerbFrame, StatusMessageUseProcedureAndLastVerb) {
    script.status = 4;
    run();
    EXPECT_EQ(program.use_procedure_calls(), 0);  // only from status 10 on
    script.status = 10;
    script.diagnostic = kvr::runtime::Diagnostic::kEndOfFile;
    run();
    EXPECT_EQ(program.use_procedure_calls(), 1);
    EXPECT_EQ(program.status_item(), "10");
    const std::string message = "000009,End of file" + std::string(22, ' ');
    EXPECT_EQ(program.message(), message);

    // EBCDIC status digits and EBCDIC message text, each by its own flag.
    script.status = 35;
    program.description().code_flags = VMQ_CODE_EBCDIC_STATUS;
    run();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(program.status_bytes()), 2), "\xF3\xF5");
    EXPECT_EQ(program.fcb.status, 35);
    EXPECT_EQ(program.message(), message);
    program.description().code_flags = VMQ_CODE_EBCDIC_MESSAGE;
    run();
    EXPECT_EQ(program.status_item(), "35");
    EXPECT_EQ(program.message(),
              "\xF0\xF0\xF0\xF0\xF0\xF9\x6B\xC5\x95\x84\x40\x96\x86\x40\x86\x89\x93\x85" +
                  std::string(22, '\x40'));  // "000009,End of file"

    // Without a status item or a message area the verb still reports.
    const std::string before = program.message();
    program.remove_status_item();
    program.remove_message_area();
    script.status = 30;
    script.diagnostic = kvr::runtime::Diagnostic::kIoError;
    run();
    EXPECT_EQ(program.status_item(), "35");
    EXPECT_EQ(program.message(), before);
    EXPECT_EQ(program.use_procedure_calls(), 4);
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_READ);

    program.fcb.last_verb = VMQ_VERB_OPEN;
    script.status = 99;  // a READ of a locked record is not the last verb
    run();
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_OPEN);
    for (uint8_t verb :
         {VMQ_VERB_READ, VMQ_VERB_WRITE, VMQ_VERB_REWRITE, VMQ_VERB_DELETE, VMQ_VERB_START}) {
        program.fcb.state_flags = VMQ_RECORD_READ | VMQ_POSITION_VALID;
        script.verb = verb;
        script.status = 0;
        run();
        const uint32_t kept = verb == VMQ_VERB_READ ? VMQ_RECORD_READ : 0;
        EXPECT_EQ(program.fcb.state_flags, kept | VMQ_POSITION_VALID) << int(verb);
        EXPECT_EQ(program.fcb.last_verb, verb);
    }
}

// A verb abandoned by the allocator or its USE procedure stops where it is,
// and the enclosing verb's buffer is back in place.
TEST_F(VerbFrame, AbandonedVerbStopsAndRestoresTheOuterBuffer) {
    vmq_thread_storage* block = threadStorage();
    int outer_marker = 0;
    block->jump_buffer = &outer_marker;
    const long abandoned = block->abandoned_verbs;
    const long live = block->live_allocations;
    program.fcb.last_verb = VMQ_VERB_OPEN;
    program.fcb.state_flags = VMQ_RECORD_READ;
    script.verb = VMQ_VERB_WRITE;
    script.allocate = 128;
    block->fail_allocation_at = 1;
    run();
    EXPECT_EQ(program.status_item(), "");
    script.status = 22;
    program.on_use_procedure([](vmq_fcb*) { vmqrtAbandonVerb(); });
    run();

    EXPECT_EQ(block->jump_buffer, &outer_marker);
    EXPECT_EQ(block->abandoned_verbs, abandoned + 2);
    EXPECT_EQ(block->live_allocations, live);
    EXPECT_EQ(block->last_abandon_word, block->debug_word);
    EXPECT_STREQ(block->last_abandon_codeset, nl_langinfo(CODESET));
    EXPECT_EQ(program.status_item(), "22");
    EXPECT_EQ(script.reports_completed, 0);
    EXPECT_EQ(program.fcb.last_verb, VMQ_VERB_OPEN);
    EXPECT_EQ(program.fcb.state_flags, VMQ_RECORD_READ);
    script.status = 0;
    run();  // allocates again and completes
    EXPECT_EQ(script.reports_completed, 1);
    block->jump_buffer = nullptr;
}

// A verb whose description cannot be found, directly or through the
// program's table, is not run: status 30 and the USE procedure tell why.
TEST_F(VerbFrame, NoDescriptionGives30AndRunsNothing) {
    vmq_file_description* const description = &program.description();
    program.fcb.description = nullptr;
    run();
    EXPECT_EQ(program.use_procedure_calls(), 1);
    EXPECT_EQ(program.status_item(), "");
    program.fcb.state_flags = VMQ_DESC_BY_INDEX;
    program.runtime.descriptions[0] = nullptr;
    for (uint32_t index : {1u, 0u}) {  // a null entry; no index falls back to it
        program.fcb.file_index = index;
        program.fcb.status = 0;
        run();
        EXPECT_EQ(program.fcb.status, 30);
    }
    EXPECT_EQ(script.reports_completed, 0);
    program.runtime.descriptions[0] = description;
    program.fcb.file_index = 1;
    script.status = 23;
    run();
    EXPECT_EQ(script.reports_completed, 1);
    EXPECT_EQ(program.status_item(), "23");
    EXPECT_EQ(program.fcb.state_flags, VMQ_DESC_BY_INDEX);
    run_verb_frame(nullptr, &program.context, scripted_worker);  // no FCB: nothing to do

    EXPECT_EQ(threadStorage()->jump_buffer, nullptr);
}

}  // namespace
