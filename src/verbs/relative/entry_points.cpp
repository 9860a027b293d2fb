// The entry points of relative files: each runs its worker inside the verb
// frame. A relative file is kept by the indexed engine; the workers are the
// indexed ones, told that the file is relative.
#include "verbs/entry_points.h"
#include "runtime/verb_frame.h"
#include "verbs/indexed/keyed_file.h"

const kvr::verbs::KeyedOrganization& kvr::verbs::relative_organization() {
    static constexpr KeyedOrganization kRelative{true,
                                                 false,
                                                 _vmqBRelativeOpen,
                                                 _vmqBRelativeClose,
                                                 _vmqBRelativeRead,
                                                 _vmqBRelativeWrite,
                                                 _vmqBRelativeRewrite,
                                                 _vmqBRelativeDelete,
                                                 _vmqBRelativeStart};
    return kRelative;
}

const kvr::verbs::KeyedOrganization& kvr::verbs::relative_shared_organization() {
    static constexpr KeyedOrganization kRelativeShared{true,
                                                       true,
                                                       _vmqBRelativeOpenShared,
                                                       _vmqBRelativeCloseShared,
                                                       _vmqBRelativeRead,
                                                       _vmqBRelativeWrite,
                                                       _vmqBRelativeRewrite,
                                                       _vmqBRelativeDelete,
                                                       _vmqBRelativeStart};
    return kRelativeShared;
}

namespace {
using Workers = kvr::verbs::KeyedWorkers<kvr::verbs::relative_organization>;
using SharedWorkers = kvr::verbs::KeyedWorkers<kvr::verbs::relative_shared_organization>;
using kvr::runtime::run_verb_frame;
}  // namespace

extern "C" {
void _vmqBRelativeOpen(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::open);
}
void _vmqBRelativeClose(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::close);
}
void _vmqBRelativeOpenShared(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, SharedWorkers::open);
}
void _vmqBRelativeCloseShared(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, SharedWorkers::close);
}
void _vmqBRelativeRead(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::read);
}
void _vmqBRelativeStart(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::start);
}
void _vmqBRelativeWrite(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::write);
}
void _vmqBRelativeRewrite(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::rewrite);
}
void _vmqBRelativeDelete(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::remove);
}
}
