/*
 * The indexed engine: one entry point, _vmqpIsam, that creates, opens and
 * closes indexed and relative files and carries out the record operations
 * on them. Every call returns a small engine result, 0 for success; the
 * verbs turn results into FILE STATUS values.
 *
 *   result = _vmqpIsam(op, handle_slot, data, length, aux, selector)
 *
 * op: the opcode in the low byte; the high byte carries flags, of which the
 * reads honour IX_HOLD_RECORD, WRITE and DELETE IX_KEEP_POSITION, and every
 * other is ignored. handle_slot: the
 * address of the caller's handle pointer (word 0 of the FCB's engine handle
 * slot); IX_OPEN stores the new handle there, IX_CLOSE clears it. For any
 * opcode but IX_CREATE and IX_OPEN a null handle gives 3. length points to a
 * 32-bit in/out value whose meaning depends on the opcode.
 *
 *   op                 data                 length          aux          selector
 *   IX_CLOSE           -                    -               -            IX_CLOSE_...
 *   IX_CREATE          attribute block      its size        file name    0xFF: refuse an
 *                                                                        existing file (16)
 *   IX_OPEN            -                    -               file name    open mode
 *   IX_GET_ATTRIBUTES  block to fill        its size        byte set 0   -
 *   IX_WRITE           record               its length      key area     key index
 *   IX_REWRITE         record               its length      key area     key index
 *   IX_DELETE          -                    -               -            -
 *   IX_READ_EQ .. _LT  record buffer        in: its size,   key value;   key index
 *                                           out: the        out: key
 *                                           record's length found
 *   IX_READ_DUP        buffer holding the   same            alternate    key index
 *                      wanted prime key                     key value
 *   IX_READ_FIRST ..   record buffer        same            key area     key index
 *   IX_READ_PREV                                            (out)
 *   IX_SAVE_POSITION,  -                    -               -            -
 *   IX_RESTORE_POSITION
 *   IX_BEGIN_GROUP     -                    -               -            1: for changes
 *   IX_END_GROUP       -                    -               -            -
 *
 * IX_SAVE_POSITION and IX_RESTORE_POSITION bracket a REWRITE or DELETE that
 * finds its record by the prime key: the key of reference and the place of
 * its cursor come back as they were, a place just after a deleted record
 * included, so that READ NEXT and READ PREVIOUS go on from there. When the
 * record the position stood on is the one deleted, the position stays just
 * after the gap. One position is kept per handle, and used once.
 *
 * IX_BEGIN_GROUP and IX_END_GROUP bracket the calls of one verb on a file
 * open with IX_MODE_SHARED (the READ, REWRITE and position calls of a
 * REWRITE by key), so that they take the file's operation lock once; no
 * other handle changes the file in between. A change asked inside a group
 * begun without selector 1 gives 1. On other opens both do nothing, and
 * IX_END_GROUP without a group does nothing.
 *
 * IX_CLOSE of a file open for update first puts everything it holds into
 * the file. When that fails (a full disk), the file stays open, the handle
 * stays in the slot and the result is returned: a later IX_CLOSE tries
 * again. With selector IX_CLOSE_GIVE_UP the handle goes whatever happens; a
 * file whose close failed then keeps its update marker and the next open
 * refuses it until it is rebuilt.
 *
 * A read with a buffer size of 0 only positions (START). A buffer shorter
 * than the record receives its first bytes, and length its full length.
 * WRITE and REWRITE copy the record's value of the key index into the key
 * area. DELETE removes the record the key last read or positioned stands on.
 *
 * Results (IX_OK and the other names below): 0 success, 1 unknown opcode
 * or open mode, 2 I/O failure or damage, or a change asked of a file open
 * for input, 3 no handle or file not open,
 * 4 no record satisfies the key condition, 5 duplicate key, 6 no such key
 * index, 9 end of file, 10 no current record or a REWRITE that changes the
 * prime key, 11 no memory or buffer too small or file full, 12 success and
 * another record has the same alternate key, 13 key out of order, 14 record
 * shorter than its keys, 23 record longer than the file's maximum,
 * 15 access denied, 16 file exists, 18 sharing violation (the file is
 * open in a way this open cannot share: see the open modes below),
 * 21 not an indexed file or a damaged header, 22 attributes that describe no
 * usable file (key count outside 1..255, a key outside the record), 24 a
 * file whose record store this build cannot read, 25 a sequential file,
 * 30 a file an update session never closed (a process that died with it
 * open, or an update that failed part-way): refused until it is rebuilt.
 */
#ifndef VMQRMKVR_ISAM_H
#define VMQRMKVR_ISAM_H

#include <stdint.h>

#include "vmqrmkvr/attributes.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    IX_CLOSE = 1,
    IX_CREATE = 2,
    IX_DELETE = 3,
    IX_WRITE = 4,
    IX_OPEN = 5,
    IX_GET_ATTRIBUTES = 6,
    IX_REWRITE = 7,
    IX_READ_EQ = 11,
    IX_READ_GT = 12,
    IX_READ_GE = 13,
    IX_READ_LE = 14,
    IX_READ_LT = 15,
    IX_READ_FIRST = 21,
    IX_READ_LAST = 22,
    IX_READ_NEXT = 23,
    IX_READ_CURRENT = 24,
    IX_READ_PREV = 25,
    IX_READ_DUP = 26,
    IX_SAVE_POSITION = 27,    /* keep the key of reference and its position */
    IX_RESTORE_POSITION = 28, /* go back to them (10 when none was kept) */
    IX_BEGIN_GROUP = 29,      /* shared opens: the calls up to IX_END_GROUP
                                 run under one hold of the file's operation
                                 lock (selector 1: exclusive, for changes) */
    IX_END_GROUP = 30,        /* gives that hold up */

    /* Flags in the high byte of op, combined with an opcode. */
    IX_HOLD_RECORD = 0x400,   /* reads: remember the record read; in a
                                 shared open for update also lock it (17
                                 while another handle holds its lock) */
    IX_LOCK_RECORD = 0x800,   /* set by the verbs on START, WRITE,
                                 REWRITE and DELETE of a file open I-O whose
                                 description asks for record locking; the
                                 engine does not read it: a shared update
                                 handle's REWRITE and DELETE take the
                                 record's lock with or without it, and a
                                 read locks only with IX_HOLD_RECORD */
    IX_KEEP_POSITION = 0x1000 /* WRITE: key index's position stays where it
                                 was; DELETE: so do the other alternate keys'
                                 (but one on the record deleted) */
};

/* Open mode (selector of IX_OPEN). Bits 0-1: 0 input, 2 or 3 update, 1
 * invalid. Update opens are exclusive only without IX_MODE_SHARED: such an
 * open holds the file alone. An input open without it shares the file with
 * other input opens, but not with a shared update open. A shared update
 * open shares the file with every other shared open, input or update; a
 * shared input open with every open but one that holds the file alone. */
enum {
    IX_MODE_INPUT = 0x00,
    IX_MODE_UPDATE = 0x02,
    IX_MODE_SEQUENTIAL = 0x04, /* WRITE keys must follow the current one */
    IX_MODE_EXTEND = 0x10,     /* WRITE keys must follow the last one */
    IX_MODE_CRT_IO = 0x20      /* do the file's I/O through C-runtime
                                  descriptors instead of the Windows calls */
    ,
    IX_MODE_UNFINISHED_OK = 0x40, /* input only: also open a file an update
                                     session never closed (30 otherwise), to
                                     read its attributes before OUTPUT
                                     replaces it */
    IX_MODE_SHARED = 0x80         /* share the file with other shared opens, input
                                     and update alike: each operation sees every
                                     change the others have completed */
};

/* Results of _vmqpIsam (described above). */
enum {
    IX_OK = 0,
    IX_BAD_OPCODE = 1,
    IX_IO_ERROR = 2,
    IX_NOT_OPEN = 3,
    IX_NOT_FOUND = 4,
    IX_DUPLICATE = 5,
    IX_BAD_KEY_NUMBER = 6,
    IX_END_OF_FILE = 9,
    IX_NO_POSITION = 10,
    IX_NO_SPACE = 11,
    IX_DUPLICATE_FOLLOWS = 12,
    IX_OUT_OF_ORDER = 13,
    IX_RECORD_TOO_SHORT = 14,
    IX_ACCESS_DENIED = 15,
    IX_FILE_EXISTS = 16,
    IX_LOCK_VIOLATION = 17,
    IX_SHARING_VIOLATION = 18,
    IX_NOT_INDEXED_FILE = 21,
    IX_BAD_KEY_COUNT = 22,
    IX_RECORD_TOO_LONG = 23,
    IX_INVALID_FILE = 24,
    IX_SEQUENTIAL_FILE = 25,
    IX_UNFINISHED_UPDATE = 30
};

/* Selector of IX_CREATE. */
enum { IX_CREATE_NEW_ONLY = 0xFF };

/* Selector of IX_CLOSE. */
enum { IX_CLOSE_GIVE_UP = 0xFF };

int16_t _vmqpIsam(uint16_t op, void* handle_slot, void* data, uint32_t* length, void* aux,
                  uint8_t selector);

#ifdef __cplusplus
}
#endif

#endif
