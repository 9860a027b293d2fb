/*
 * The services of the COBOL runtime library vmqrtlib that the file system
 * calls, as provided by this project's substitute runtime.
 *
 * threadStorage gives each thread a block whose word 0 holds the jump buffer
 * of the verb in progress (the runtime abandons a verb by a longjmp through
 * it) and whose word 1 is handed to vmqDebugStartMsg. The rest of the block
 * is the substitute runtime's own bookkeeping, per thread, so that tests can
 * see what the library asked of its runtime: allocations still live, USE
 * procedures run, abandoned verbs, calls of the error entries.
 *
 * The error entry points stand in the verb vector for verbs that the file's
 * state forbids. They report the FILE STATUS that COBOL 85 assigns:
 *   _vmqOpenError     41 (file already open), 38 after CLOSE WITH LOCK
 *   _vmqCloseError    42 (file not open)
 *   _vmqReadError     47 (not open INPUT or I-O); for an OPTIONAL file that
 *                     was absent at OPEN INPUT: 10 (at end) for a sequential
 *                     READ (sequential access, NEXT or PREVIOUS), 23 for a
 *                     random READ
 *   _vmqStartError    47; 23 for an absent OPTIONAL file
 *   _vmqWriteError    48 (not open OUTPUT, I-O or EXTEND as the file allows)
 *   _vmqRewriteError  49 (not open I-O)
 *   _vmqDeleteError   49 (not open I-O)
 * Each sets the FCB's current_verb and status, writes the status item, sets
 * at_end for 10, and runs the USE procedure, as every status of 10 or more
 * does. The message area is left alone.
 */
#ifndef VMQRMKVR_VMQRTLIB_H
#define VMQRMKVR_VMQRTLIB_H

#include <stddef.h>
#include <stdint.h>

#include "vmqrmkvr/fcb.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vmq_thread_storage {
    void* jump_buffer; /* word 0: jmp_buf of the verb in progress, or null */
    void* debug_word;  /* word 1: passed on to vmqDebugStartMsg */

    /* The substitute runtime's bookkeeping for this thread. */
    long live_allocations;  /* _vmqMalloc minus _vmqCheckFree */
    long total_allocations; /* every _vmqMalloc */
    long live_bytes;
    long fail_allocation_at; /* the Nth _vmqMalloc from now abandons the verb;
                                0 = never */
    long use_procedure_calls;
    long abandoned_verbs; /* vmqDebugStartMsg calls */
    const char* last_abandon_codeset;
    void* last_abandon_word;
    long error_entry_calls;
    uint8_t last_error_verb;    /* verb code of the last error entry called */
    uint16_t last_error_status; /* the status it reported */
} vmq_thread_storage;

/* The calling thread's block; never null. */
vmq_thread_storage* threadStorage(void);

/* Reports an abandoned verb: (0, 1, 2, nl_langinfo's codeset, word 1). */
int vmqDebugStartMsg(int a, int b, int c, const char* codeset, void* word);

/* Runs the USE procedure of the program context's runtime block, if any. */
int _vmqCallUseProc(vmq_fcb* fcb, int reserved, vmq_program_context* context);

/* Converts length bytes of ASCII (Latin-1) text to EBCDIC code page 037.
 * The file system passes the same area as source and target. */
int vmqConvToEBCDIC(unsigned char* source, int length, unsigned char* target, int* length_word);

/* Storage that outlives a verb. The file system passes (size, 907, 0) and
 * never tests for null: when storage runs out, the runtime abandons the verb
 * in progress through the thread's jump buffer (outside a verb it returns
 * null). */
void* _vmqMalloc(size_t size, int tag, int flags);
void _vmqCheckFree(void* pointer);

void _vmqOpenError(vmq_fcb* fcb, vmq_program_context* context);
void _vmqCloseError(vmq_fcb* fcb, vmq_program_context* context);
void _vmqReadError(vmq_fcb* fcb, vmq_program_context* context);
void _vmqWriteError(vmq_fcb* fcb, vmq_program_context* context);
void _vmqRewriteError(vmq_fcb* fcb, vmq_program_context* context);
void _vmqDeleteError(vmq_fcb* fcb, vmq_program_context* context);
void _vmqStartError(vmq_fcb* fcb, vmq_program_context* context);

/* For USE procedures and tests: abandon the verb in progress by a longjmp
 * through word 0 of the thread's block, as the runtime does. Returns only
 * when no verb is in progress. */
void vmqrtAbandonVerb(void);

#ifdef __cplusplus
}
#endif

#endif
