#include "runtime/verb_frame.h"

#include <langinfo.h>

#include <csetjmp>

#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::runtime {

void run_verb_frame(vmq_fcb* fcb, vmq_program_context* context, VerbWorker worker) {
    if (fcb == nullptr)
        return;  // nothing to work on and nowhere to report
    vmq_thread_storage* block = threadStorage();
    void* const saved = block->jump_buffer;
    std::jmp_buf jump;
    block->jump_buffer = &jump;
    if (setjmp(jump) == 0) {
        if (vmq_find_description(fcb, context) != nullptr) {
            worker(fcb, context);
        } else {
            // Without a description there is no status item or message area
            // to write: the FCB's status and the USE procedure tell the
            // runtime.
            fcb->status = 30;
            _vmqCallUseProc(fcb, 0, context);
        }
        block->jump_buffer = saved;
        return;
    }
    // The runtime abandoned the verb.
    block->jump_buffer = saved;
    block = threadStorage();
    vmqDebugStartMsg(0, 1, 2, nl_langinfo(CODESET), block->debug_word);
}

}  // namespace kvr::runtime
