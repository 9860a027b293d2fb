// _IO_Init picks a file's OPEN entry by its organization bits, in the order
// indexed, sequential, relative.
#include <gtest/gtest.h>

#include <cstring>

#include "support/cobol_program.h"
#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace {

vmq_verb_entry open_entry_for(uint8_t organization) {
    kvr::test::CobolProgram program(organization);
    const vmq_fcb before = program.fcb;
    _IO_Init(&program.fcb, &program.context);
    // Nothing but open_entry changes.
    vmq_fcb compared = program.fcb;
    compared.open_entry = before.open_entry;
    EXPECT_EQ(std::memcmp(&compared, &before, sizeof before), 0);
    return program.fcb.open_entry;
}

TEST(IoInit, OrganizationBitsInTheirOrder) {
    EXPECT_EQ(open_entry_for(VMQ_ORG_INDEXED), _vmqBIndexOpen);
    EXPECT_EQ(open_entry_for(VMQ_ORG_INDEXED | VMQ_ORG_RELATIVE), _vmqBIndexOpen);
    EXPECT_EQ(open_entry_for(VMQ_ORG_INDEXED | VMQ_ORG_SEQUENTIAL), _vmqBIndexOpen);
    EXPECT_EQ(open_entry_for(VMQ_ORG_SEQUENTIAL), _vmqBSeqOpen);
    EXPECT_EQ(open_entry_for(VMQ_ORG_SEQUENTIAL | VMQ_ORG_RELATIVE), _vmqBSeqOpen);
    EXPECT_EQ(open_entry_for(VMQ_ORG_RELATIVE), _vmqBRelativeOpen);
    EXPECT_EQ(open_entry_for(0x01), _vmqOpenError);
}

TEST(IoInit, TheDescriptionFieldIsReadDirectly) {
    kvr::test::CobolProgram program(VMQ_ORG_RELATIVE);
    program.fcb.state_flags = VMQ_DESC_BY_INDEX;  // ignored by _IO_Init
    _IO_Init(&program.fcb, &program.context);
    EXPECT_EQ(program.fcb.open_entry, _vmqBRelativeOpen);
    program.fcb.description = nullptr;
    _IO_Init(&program.fcb, &program.context);
    EXPECT_EQ(program.fcb.open_entry, _vmqOpenError);
    _IO_Init(nullptr, &program.context);  // no FCB: nothing to do, no crash
}

}  // namespace
