// The library's one exported function.
#ifndef KVR_LIBRARY_IO_INIT_H
#define KVR_LIBRARY_IO_INIT_H

#include "vmqrmkvr/fcb.h"

#define KVR_EXPORT __attribute__((visibility("default")))

extern "C" {
// Stores the OPEN entry point for the organization of the FCB's
// description (indexed, then sequential, then relative) in open_entry.
KVR_EXPORT void _IO_Init(vmq_fcb* fcb, vmq_program_context* context);
}

#endif
