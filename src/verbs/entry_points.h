// The verb entry points of the three organizations. The runtime reaches
// them only through the FCB's verb vector, which _IO_Init and the OPEN and
// CLOSE entries fill; each takes (FCB, program context) and runs its verb
// inside the verb frame.
#ifndef KVR_VERBS_ENTRY_POINTS_H
#define KVR_VERBS_ENTRY_POINTS_H

#include "vmqrmkvr/fcb.h"

extern "C" {

void _vmqBIndexOpen(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexClose(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexRead(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexWrite(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexRewrite(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexDelete(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexStart(vmq_fcb* fcb, vmq_program_context* context);

void _vmqBRelativeOpen(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeClose(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeRead(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeWrite(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeRewrite(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeDelete(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeStart(vmq_fcb* fcb, vmq_program_context* context);

// The OPEN and CLOSE of indexed and relative files that share them with
// other programs (_IO_InitShared stores the OPEN); the other verbs are the
// same entries as for a file held alone.
void _vmqBIndexOpenShared(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBIndexCloseShared(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeOpenShared(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBRelativeCloseShared(vmq_fcb* fcb, vmq_program_context* context);

void _vmqBSeqOpen(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBSeqClose(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBSeqRead(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBSeqWrite(vmq_fcb* fcb, vmq_program_context* context);
void _vmqBSeqRewrite(vmq_fcb* fcb, vmq_program_context* context);
}

#endif
