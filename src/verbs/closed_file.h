// What every organization's CLOSE does to the FCB: the verb vector of a
// closed file, and the release of the storage the file held.
#ifndef KVR_VERBS_CLOSED_FILE_H
#define KVR_VERBS_CLOSED_FILE_H

#include "verbs/engine_slot.h"
#include "vmqrmkvr/fcb.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::verbs {

// Every verb but OPEN goes to the runtime's error entries; OPEN goes to
// `open` again unless the file was closed WITH LOCK.
inline void install_closed_vector(vmq_fcb* fcb, vmq_verb_entry open, uint16_t close_options) {
    fcb->read_entry = _vmqReadError;
    fcb->write_entry = _vmqWriteError;
    fcb->rewrite_entry = _vmqRewriteError;
    fcb->delete_entry = _vmqDeleteError;
    fcb->start_entry = _vmqStartError;
    fcb->close_entry = _vmqCloseError;
    if ((close_options & VMQ_CLOSE_WITH_LOCK) == 0)
        fcb->open_entry = open;
    fcb->last_close_options = close_options;
    fcb->state_flags &= VMQ_DESC_BY_INDEX;
}

// The file is closed: its engine handle slot and work buffer go back to the
// runtime. The slot pointer is cleared, so later verbs of an FCB whose
// CLOSE failed find no handle and get "file not open" from the engine. An
// FCB that held another FCB's slot (engine_slot.h) gives back neither: they
// are that one's.
inline void release_file_storage(vmq_fcb* fcb) {
    fcb->open_mode = 0;
    fcb->state_flags &= ~VMQ_RECORD_READ;
    const bool own = give_back_engine_slot(fcb);
    if (own && fcb->work_buffer != nullptr)
        _vmqCheckFree(fcb->work_buffer);
    fcb->work_buffer = nullptr;
    fcb->last_verb = VMQ_VERB_CLOSE;
}

}  // namespace kvr::verbs

#endif
