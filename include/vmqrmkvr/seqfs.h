/*
 * The sequential engine: one entry point, _vmqpSeqFS, that creates, opens
 * and closes sequential files and appends, reads and replaces their records.
 * A file is an 80-byte header with the mark "KVRS", then records framed by
 * their length (4 bytes, little-endian) before and after the data.
 *
 *   result = _vmqpSeqFS(op, handle_slot, data, length, aux, selector)
 *
 * op is compared whole. handle_slot: the address of the caller's handle
 * pointer. length points to a 32-bit value whose meaning depends on op.
 *
 *   op                 data              value at length        aux        selector
 *   SQ_CLOSE           -                 -                      -          SQ_CLOSE_...
 *   SQ_CREATE          attribute block   -                      file name  -
 *   SQ_WRITE           record            its length             -          -
 *   SQ_OPEN            -                 -                      file name  open mode
 *   SQ_GET_ATTRIBUTES  attribute block   -                      -          -
 *   SQ_REWRITE         record            its length             -          -
 *   SQ_REPLACE_LAST    record            its length             -          -
 *   SQ_READ_FIRST      record area       in: area size;         -          -
 *   SQ_READ_NEXT       record area         out: bytes delivered -          -
 *
 * Open mode, bits 0-1: 0 read only, shared with other readers; 3 read and
 * write, exclusive, positioned at the end for appending; 2 read and write,
 * exclusive, without buffers; 1 invalid. Other bits are ignored. A handle
 * opened with mode 2 serves close and get-attributes only; record
 * operations on it give 1. A mode-3 handle may read, rewrite and append in
 * turn: appends always go to the end of the file, and the first read of a
 * handle starts at the first record.
 *
 * SQ_CLOSE writes back what is still in memory first. If that fails, the
 * file stays open and the handle valid, so the close can be tried again;
 * with selector SQ_CLOSE_GIVE_UP the unwritten records are dropped and the
 * file is closed all the same. Otherwise the handle is freed and the slot
 * cleared, also when the final close of the file reports a failure (the
 * file is given up all the same).
 *
 * SQ_REWRITE replaces the record last read through the handle, and only
 * with data of its full length (the length words stay as they are).
 * SQ_REPLACE_LAST replaces the record last appended through the handle.
 * Both are refused (2) when there is no such record; writing requests on a
 * read-only handle are refused (2) before anything changes.
 *
 * A file has no size limit of its own: it grows as far as the file system
 * lets it, past 4 GiB too, and holds any number of records (the header's
 * record count stays 0). A read into an area shorter than the record passes
 * over the rest of it without reading what lies more than a block ahead.
 *
 * Results: 0 success, 1 unknown op, invalid mode, or a record operation
 * on a mode-2 handle, 2 I/O error, a refused request, or a damaged record
 * (its two length words differ, or it runs past the end of the file),
 * 3 no handle or not open, 9 end of file, 11 no memory, or no room for an
 * append (a full disk, a file-size limit; nothing of the record stays in
 * the file), 15 access denied (also: a file too short for its header),
 * 17 lock violation, 18 sharing violation, 21 not a file of this system,
 * 29 a file name too long, 1000 an indexed file.
 */
#ifndef VMQRMKVR_SEQFS_H
#define VMQRMKVR_SEQFS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    SQ_CLOSE = 1,
    SQ_CREATE = 2,
    SQ_WRITE = 4,
    SQ_OPEN = 5,
    SQ_GET_ATTRIBUTES = 6,
    SQ_REWRITE = 7,
    SQ_REPLACE_LAST = 8,
    SQ_READ_FIRST = 21,
    SQ_READ_NEXT = 23
};

/* Results of _vmqpSeqFS (described above). */
enum {
    SQ_OK = 0,
    SQ_BAD_REQUEST = 1,
    SQ_IO_ERROR = 2,
    SQ_NOT_OPEN = 3,
    SQ_END_OF_FILE = 9,
    SQ_NO_SPACE = 11,
    SQ_ACCESS_DENIED = 15,
    SQ_LOCK_VIOLATION = 17,
    SQ_SHARING_VIOLATION = 18,
    SQ_NOT_SEQUENTIAL_FILE = 21,
    SQ_NAME_TOO_LONG = 29,
    SQ_INDEXED_FILE = 1000
};

/* Selector of SQ_CLOSE. */
enum { SQ_CLOSE_GIVE_UP = 0xFF };

/* Open modes (selector of SQ_OPEN). */
enum {
    SQ_MODE_INPUT = 0,
    SQ_MODE_UNBUFFERED = 2,
    SQ_MODE_APPEND = 3,
    SQ_MODE_OUTPUT = 0x40 /* added by the verbs for OUTPUT and EXTEND; ignored */
};

int16_t _vmqpSeqFS(uint16_t op, void* handle_slot, void* data, uint32_t* length, void* aux,
                   uint8_t selector);

#ifdef __cplusplus
}
#endif

#endif
