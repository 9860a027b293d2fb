// Result codes of the indexed engine and the statuses of the layers below it.
//
// Engine results are what _vmqpIsam returns (published in isam.h); the
// verbs turn them into FILE STATUS values. The data store returns engine
// results directly (0, 2, 3, 9, 15, 17, 18) or a negative status of its
// own; the B+tree returns statuses of its own (1, 2, 101 to 107). The
// engine maps both once, in map_tree_status.
#ifndef KVR_ENGINE_RESULTS_H
#define KVR_ENGINE_RESULTS_H

#include "vmqrmkvr/isam.h"

namespace kvr::engine {

// The engine's names for the results isam.h publishes.
enum Result : int {
    kOk = IX_OK,
    kBadOpcode = IX_BAD_OPCODE,  // unknown opcode or invalid open mode
    kIoError = IX_IO_ERROR,      // I/O failure, update of an input file, damage
    kNotOpen = IX_NOT_OPEN,      // no handle, file not open, invalid handle
    kNotFound = IX_NOT_FOUND,
    kDuplicate = IX_DUPLICATE,
    kBadKeyNumber = IX_BAD_KEY_NUMBER,
    kEndOfFile = IX_END_OF_FILE,
    kNoPosition = IX_NO_POSITION,
    kNoSpace = IX_NO_SPACE,  // out of memory, buffer too small, file full
    kDuplicateFollows = IX_DUPLICATE_FOLLOWS,
    kOutOfOrder = IX_OUT_OF_ORDER,
    kRecordTooShort = IX_RECORD_TOO_SHORT,
    kAccessDenied = IX_ACCESS_DENIED,
    kFileExists = IX_FILE_EXISTS,
    kLockViolation = IX_LOCK_VIOLATION,
    kSharingViolation = IX_SHARING_VIOLATION,
    kNotIndexedFile = IX_NOT_INDEXED_FILE,  // wrong mark, damaged header, unknown version
    kBadKeyCount = IX_BAD_KEY_COUNT,        // also: attributes that describe no usable file
    kRecordTooLong = IX_RECORD_TOO_LONG,
    kInvalidFile = IX_INVALID_FILE,
    kSequentialFile = IX_SEQUENTIAL_FILE,
    kUnfinishedUpdate = IX_UNFINISHED_UPDATE,  // an update session never closed the file
};

// Negative statuses of the data store. No block and a bad put mode share
// -1: the store's C entry points document that value for both, and no
// caller tells them apart (each comes from a different call).
enum StoreStatus : int {
    kStoreNoBlock = -1,  // no free block without extending the file
    kStoreBadMode = -1,  // a put mode other than write (0) or rewrite (1)
    kStoreNoMemory = -4,
    kStoreSetSizeChanged = -5,  // the file's sets were cut in another size
    kStoreRecordsTooLong = -6,  // records too long for the block format
};

}  // namespace kvr::engine

namespace kvr::tree {

// Statuses of the B+tree.
enum Status : int {
    kTreeOk = 0,
    kNoSuchDuplicate = 1,   // _vmq_getdup: no entry with that key and data
    kNoEntrySatisfies = 2,  // _vmq_getkey: no entry satisfies the key condition
    kNoCurrentEntry = 101,
    kDamagedPage = 102,
    kTreeEndOfFile = 103,
    kDuplicateKey = 104,
    kKeyNotFound = 105,
    kTreeIoError = 106,
    kTreeNoMemory = 107,
};

}  // namespace kvr::tree

#endif
