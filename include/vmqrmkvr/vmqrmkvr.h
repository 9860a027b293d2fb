/*
 * The record-file library libvmqrmkvr as a COBOL runtime calls it: its
 * version and its exported functions, _IO_Init and, for a runtime whose
 * programs share files, _IO_InitShared; _IO_LastDiagnostic gives a caller
 * what the message area says as values.
 *
 * A runtime keeps, for each file of a program, an FCB and a file
 * description laid out as fcb.h gives them (organization, record lengths,
 * keys, where the FILE STATUS and message items are), and a program context
 * whose runtime block holds the program's USE procedure. For a closed file
 * it points every entry of the FCB's verb vector but open_entry at the
 * runtime's error entries (_vmqReadError and the others of vmqrtlib.h). It
 * then calls _IO_Init once for the file; _IO_Init stores in open_entry the
 * OPEN of the file's organization (indexed, else sequential, else
 * relative; with none of them, the runtime's _vmqOpenError) and changes
 * nothing else. From then on the runtime reaches every verb through the
 * vector: OPEN fills in the entries the open mode allows, CLOSE puts the
 * error entries back. Each verb leaves its FILE STATUS in the FCB and in
 * the program's status item, and runs the USE procedure for a status of 10
 * or more.
 *
 * The library calls the runtime's services of vmqrtlib.h (storage, thread
 * storage, the USE procedure, EBCDIC); libvmqrtlib, installed with the
 * library, provides them for a runtime that has none of its own.
 *
 * With pkg-config: cc prog.c $(pkg-config --cflags --libs vmqrmkvr)
 */
#ifndef VMQRMKVR_VMQRMKVR_H
#define VMQRMKVR_VMQRMKVR_H

#include "vmqrmkvr/fcb.h"
#include "vmqrmkvr/vmqrtlib.h"

/* The library's version; the build takes the project's version from here. */
#define VMQRMKVR_VERSION_MAJOR 1
#define VMQRMKVR_VERSION_MINOR 0
#define VMQRMKVR_VERSION_PATCH 0
#define VMQRMKVR_VERSION "1.0.0"

#if defined(__GNUC__)
#define VMQRMKVR_API __attribute__((visibility("default")))
#else
#define VMQRMKVR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Stores the OPEN entry of the organization of the FCB's description in
 * fcb->open_entry. A null FCB is ignored; the context is not used. */
VMQRMKVR_API void _IO_Init(vmq_fcb* fcb, vmq_program_context* context);

/* As _IO_Init, for a runtime whose programs update indexed and relative
 * files together with other programs (the GnuCOBOL handler, for a file
 * with LOCK MODE): the OPEN it stores for such a file opens it shared with
 * every other open made through this entry, with record locks for I-O,
 * and the file's CLOSE puts that OPEN back. A sequential file gets the
 * OPEN of _IO_Init. Nothing in the blocks the runtime owns asks for
 * sharing: a file is shared because its FCB was set up here. */
VMQRMKVR_API void _IO_InitShared(vmq_fcb* fcb, vmq_program_context* context);

/* What the last verb this thread ran reported, as values rather than the
 * message area's text: the diagnostic code the message shows (21, a file
 * that is no KVR file, before the message turns it into 24), the FILE
 * STATUS, the code's text as the message shows it ("" when it has none),
 * for codes 1004 to 1007 the existing file's attribute block (attributes.h;
 * null and size 0 otherwise), and the piece the message adds after the
 * code's text ("" when none). The pointers stay good until the thread's
 * next verb. */
typedef struct vmq_diagnostic {
    int32_t code;
    uint16_t status;
    const char* text;
    uint32_t attributes_size;
    const unsigned char* attributes;
    const char* detail;
} vmq_diagnostic;

/* Fills *diagnostic and returns 1 when the thread's last verb ran on this
 * FCB; returns 0 and leaves it alone otherwise, or for a null argument. */
VMQRMKVR_API int _IO_LastDiagnostic(const vmq_fcb* fcb, vmq_diagnostic* diagnostic);

#ifdef __cplusplus
}
#endif

#endif
