// The frame around every verb: it installs a jump buffer as the thread's
// current one, runs the verb's worker, and puts the previous buffer back.
// When the runtime abandons the verb through the buffer, the frame puts the
// previous buffer back, reports the abandonment to the runtime, and returns;
// nothing else is written.
//
// A verb whose file description cannot be found (a null description, or a
// null entry in the program's table) is not run: the frame sets the FCB's
// status to 30 and calls the USE procedure, as the runtime's own error
// entries do. A null FCB is left alone.
//
// A worker must not hold an object with a destructor in any frame that is
// alive while it calls into the runtime (USE procedure, allocator): a jump
// would skip the destructor. Workers compute their outcome first, in
// ordinary C++, and report from a plain frame.
#ifndef KVR_RUNTIME_VERB_FRAME_H
#define KVR_RUNTIME_VERB_FRAME_H

#include "vmqrmkvr/fcb.h"

namespace kvr::runtime {

using VerbWorker = void (*)(vmq_fcb* fcb, vmq_program_context* context);

void run_verb_frame(vmq_fcb* fcb, vmq_program_context* context, VerbWorker worker);

}  // namespace kvr::runtime

#endif
