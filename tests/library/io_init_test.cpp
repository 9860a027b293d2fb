// _IO_Init picks a file's OPEN entry by the organization bits of the
// description the FCB points to, in the order indexed, sequential, relative.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "support/cobol_program.h"
#include "verbs/entry_points.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace {

TEST(IoInit, OrganizationBitsInTheirOrder) {
    const std::pair<uint8_t, vmq_verb_entry> cases[] = {
        {VMQ_ORG_INDEXED | VMQ_ORG_RELATIVE, _vmqBIndexOpen},
        {VMQ_ORG_INDEXED | VMQ_ORG_SEQUENTIAL, _vmqBIndexOpen},
        {VMQ_ORG_SEQUENTIAL | VMQ_ORG_RELATIVE, _vmqBSeqOpen},
        {VMQ_ORG_RELATIVE, _vmqBRelativeOpen},
        {0x01, _vmqOpenError},
    };
    for (auto [organization, entry] : cases) {
        kvr::test::CobolProgram program(organization);
        program.fcb.state_flags = VMQ_DESC_BY_INDEX;  // ignored: the field is read directly
        program.runtime.descriptions[0] = nullptr;
        const vmq_fcb before = program.fcb;
        _IO_Init(&program.fcb, &program.context);
        EXPECT_EQ(program.fcb.open_entry, entry) << int(organization);
        program.fcb.open_entry = before.open_entry;  // and nothing else changes
        EXPECT_EQ(std::memcmp(&program.fcb, &before, sizeof before), 0);
    }
    kvr::test::CobolProgram program(VMQ_ORG_INDEXED);
    program.fcb.description = nullptr;
    _IO_Init(&program.fcb, &program.context);
    EXPECT_EQ(program.fcb.open_entry, _vmqOpenError);
    _IO_Init(nullptr, &program.context);  // no FCB: nothing to do
}

}  // namespace
