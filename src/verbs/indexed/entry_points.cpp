// The entry points of indexed files: each runs its worker inside the verb
// frame.
#include "verbs/entry_points.h"
#include "runtime/verb_frame.h"
#include "verbs/indexed/keyed_file.h"

const kvr::verbs::KeyedOrganization& kvr::verbs::indexed_organization() {
    static constexpr KeyedOrganization kIndexed{
        false,          false,           _vmqBIndexOpen,    _vmqBIndexClose,
        _vmqBIndexRead, _vmqBIndexWrite, _vmqBIndexRewrite, _vmqBIndexDelete,
        _vmqBIndexStart};
    return kIndexed;
}

const kvr::verbs::KeyedOrganization& kvr::verbs::indexed_shared_organization() {
    static constexpr KeyedOrganization kIndexedShared{false,
                                                      true,
                                                      _vmqBIndexOpenShared,
                                                      _vmqBIndexCloseShared,
                                                      _vmqBIndexRead,
                                                      _vmqBIndexWrite,
                                                      _vmqBIndexRewrite,
                                                      _vmqBIndexDelete,
                                                      _vmqBIndexStart};
    return kIndexedShared;
}

namespace {
using Workers = kvr::verbs::KeyedWorkers<kvr::verbs::indexed_organization>;
using SharedWorkers = kvr::verbs::KeyedWorkers<kvr::verbs::indexed_shared_organization>;
using kvr::runtime::run_verb_frame;
}  // namespace

extern "C" {
void _vmqBIndexOpen(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::open);
}
void _vmqBIndexClose(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::close);
}
void _vmqBIndexOpenShared(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, SharedWorkers::open);
}
void _vmqBIndexCloseShared(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, SharedWorkers::close);
}
void _vmqBIndexRead(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::read);
}
void _vmqBIndexStart(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::start);
}
void _vmqBIndexWrite(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::write);
}
void _vmqBIndexRewrite(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::rewrite);
}
void _vmqBIndexDelete(vmq_fcb* f, vmq_program_context* c) {
    run_verb_frame(f, c, Workers::remove);
}
}
