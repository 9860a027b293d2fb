// The engine handle slot of an open file: 128 bytes from the runtime's
// allocator, taken by OPEN, given back by CLOSE, the engine's handle in its
// first word.
//
// A runtime could hand a verb an FCB whose slot is not its own: a copy of
// another FCB, made while that one was open, still names the slot after the
// other's CLOSE gave it back. Reading such a slot would read freed storage.
// So the slots OPEN gives out are kept in a list, each with the FCB it was
// given to, and every verb takes its slot through engine_slot: a slot the
// list does not hold for this FCB is no slot, and the engine answers "file
// not open". The list is the library's one table that outlives a verb. It
// takes no lock (a verb may run while the process ends from a signal
// handler): entries are claimed and given up with atomic operations and
// never freed, so a list as long as the most files ever open at once.
#ifndef KVR_VERBS_ENGINE_SLOT_H
#define KVR_VERBS_ENGINE_SLOT_H

#include "vmqrmkvr/fcb.h"

namespace kvr::verbs {

// Takes a zeroed slot for the FCB, stores it in engine_handle and enters it
// in the list. Null (and engine_handle null) when no room could be made for
// the entry; the slot is then given back at once.
void* take_engine_slot(vmq_fcb* fcb);

// The FCB's slot when OPEN gave it to this FCB and CLOSE has not taken it
// back; null otherwise.
void* engine_slot(const vmq_fcb* fcb);

// CLOSE, or a failed OPEN: the slot goes back to the runtime, but only when
// it is this FCB's own, which the result tells; an FCB holding another
// one's slot gives back nothing of that one's. engine_handle is set to null
// either way.
bool give_back_engine_slot(vmq_fcb* fcb);

}  // namespace kvr::verbs

#endif
