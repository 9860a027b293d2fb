// _IO_Init picks a file's OPEN entry by the organization bits of the
// description the FCB points to, in the order indexed, sequential, relative;
// _IO_InitShared picks the OPENs that share indexed and relative files.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "support/cobol_program.h"
#include "verbs/entry_points.h"
#include "verbs/verb_fixture.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace {

TEST(IoInit, OrganizationBitsInTheirOrder) {
    const struct {
        uint8_t organization;
        vmq_verb_entry entry, shared_entry;
    } cases[] = {
        {VMQ_ORG_INDEXED | VMQ_ORG_RELATIVE, _vmqBIndexOpen, _vmqBIndexOpenShared},
        {VMQ_ORG_INDEXED | VMQ_ORG_SEQUENTIAL, _vmqBIndexOpen, _vmqBIndexOpenShared},
        {VMQ_ORG_SEQUENTIAL | VMQ_ORG_RELATIVE, _vmqBSeqOpen, _vmqBSeqOpen},
        {VMQ_ORG_RELATIVE, _vmqBRelativeOpen, _vmqBRelativeOpenShared},
        {0x01, _vmqOpenError, _vmqOpenError},
    };
    for (const auto& c : cases) {
        using Init = void (*)(vmq_fcb*, vmq_program_context*);
        for (auto [init, entry] : {std::pair<Init, vmq_verb_entry>{_IO_Init, c.entry},
                                   {_IO_InitShared, c.shared_entry}}) {
            kvr::test::CobolProgram program(c.organization);
            program.fcb.state_flags = VMQ_DESC_BY_INDEX;  // ignored: the field is read directly
            program.runtime.descriptions[0] = nullptr;
            const vmq_fcb before = program.fcb;
            init(&program.fcb, &program.context);
            EXPECT_EQ(program.fcb.open_entry, entry) << int(c.organization);
            program.fcb.open_entry = before.open_entry;  // and nothing else changes
            EXPECT_EQ(std::memcmp(&program.fcb, &before, sizeof before), 0);
        }
    }
    for (auto init : {_IO_Init, _IO_InitShared}) {
        kvr::test::CobolProgram program(VMQ_ORG_INDEXED);
        program.fcb.description = nullptr;
        init(&program.fcb, &program.context);
        EXPECT_EQ(program.fcb.open_entry, _vmqOpenError);
        init(nullptr, &program.context);  // no FCB: nothing to do
    }
}

// Whatever a runtime keeps in lock_flags, a file set up by _IO_Init is held
// alone by the first OPEN I-O (the second gets 98); set up by
// _IO_InitShared, two programs update it at once, and CLOSE puts the
// sharing OPEN back.
class IoInitSharing : public kvr::test::VerbTest {};

TEST_F(IoInitSharing, OnlyTheSharedEntryShares) {
    using kvr::test::VerbFile;
    for (const uint8_t organization : {VMQ_ORG_INDEXED, VMQ_ORG_RELATIVE}) {
        for (const uint8_t lock_flags : {0x00, 0x08, 0xFF}) {
            for (auto init : {_IO_Init, _IO_InitShared}) {
                const bool shared = init == _IO_InitShared;
                std::vector<std::unique_ptr<VerbFile>> programs;
                for (int i = 0; i < 2; ++i) {
                    programs.push_back(std::make_unique<VerbFile>(
                        organization, path(std::to_string(organization)), 8));
                    VerbFile& program = *programs.back();
                    if (organization == VMQ_ORG_INDEXED)
                        program.add_key(0, 4);
                    program.description().lock_flags = lock_flags;
                    program.description().file_flags = VMQ_FILE_OPTIONAL;
                    init(&program.fcb(), &program.program().context);
                }
                const std::string where = std::to_string(organization) + "/" +
                                          std::to_string(lock_flags) + (shared ? " shared" : "");
                EXPECT_THAT(programs[0]->open(VMQ_OPEN_IO), ::testing::AnyOf("00", "05")) << where;
                EXPECT_EQ(programs[1]->open(VMQ_OPEN_IO), shared ? "00" : "98") << where;
                for (auto& program : programs) {
                    if (program->fcb().open_mode != 0) {
                        EXPECT_EQ(program->close(), "00") << where;
                    }
                }
                EXPECT_EQ(
                    programs[0]->fcb().open_entry,
                    !shared ? (organization == VMQ_ORG_INDEXED ? _vmqBIndexOpen : _vmqBRelativeOpen)
                            : (organization == VMQ_ORG_INDEXED ? _vmqBIndexOpenShared
                                                               : _vmqBRelativeOpenShared))
                    << where;
            }
        }
    }
}

}  // namespace
