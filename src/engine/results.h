// Result codes of the indexed engine and the statuses of the layers below it.
//
// Engine results are what _vmqpIsam returns (published in isam.h); the
// verbs turn them into FILE STATUS values. The data store has its own
// results (store::Status: engine results it reports, and negative statuses
// of its own); the B+tree returns statuses of its own (1, 2, 101 to 107).
// The engine maps both by name.
#ifndef KVR_ENGINE_RESULTS_H
#define KVR_ENGINE_RESULTS_H

#include "vmqrmkvr/isam.h"

namespace kvr::engine {

// The indexed engine's results: a type of their own, so that a tree status,
// a store status or a result of the sequential engine cannot be taken for
// one. _vmqpIsam hands them out as the integers isam.h publishes (code).
enum class Result : int {
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
using enum Result;

// The integer _vmqpIsam returns for a result.
constexpr int code(Result result) {
    return static_cast<int>(result);
}

}  // namespace kvr::engine

namespace kvr::store {

// The data store's results: the engine results it reports, with isam.h's
// values, and negative statuses of its own. A type of their own, so that
// neither a tree status nor an engine result can be taken for one; the
// store's C entry points hand them out as the integers below (code), and
// the engine turns them into its results by name.
enum class Status : int {
    kOk = IX_OK,
    kIoError = IX_IO_ERROR,  // also a damaged file
    kNotOpen = IX_NOT_OPEN,
    kNotFound = IX_NOT_FOUND,
    kDuplicate = IX_DUPLICATE,
    kEndOfFile = IX_END_OF_FILE,
    kNoPosition = IX_NO_POSITION,  // a rewrite with no record read
    kNoSpace = IX_NO_SPACE,        // also growth past the largest offset
    kAccessDenied = IX_ACCESS_DENIED,
    kLockViolation = IX_LOCK_VIOLATION,
    kSharingViolation = IX_SHARING_VIOLATION,
    kRecordTooLong = IX_RECORD_TOO_LONG,
    kInvalidFile = IX_INVALID_FILE,
    kNoBlock = -1,  // no free block without extending the file
    kBadMode = -2,  // a put mode other than write (0) or rewrite (1)
    kNoMemory = -4,
    kSetSizeChanged = -5,  // the file's sets were cut in another size
    kRecordsTooLong = -6,  // records too long for the block format
};
using enum Status;

// The integer a C entry point of the store returns for a status. Two
// statuses share -1 there, as the entry points have always had it: no free
// block (from _vmq_get_block) and a bad put mode (from
// _vmq_put_sequence_set). Inside, each keeps its own name: a bad mode can
// only come in through an integer, so only the C entry point finds one.
constexpr int code(Status status) {
    return status == Status::kBadMode ? -1 : static_cast<int>(status);
}

}  // namespace kvr::store

namespace kvr::tree {

// Statuses of the B+tree: a type of their own, so that neither an engine
// result nor a store status can be taken for one. The tree's C entry points
// hand them out as these integers (code); the engine maps them by name.
enum class Status : int {
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
using enum Status;

// The integer a C entry point of the tree returns for a status.
constexpr int code(Status status) {
    return static_cast<int>(status);
}

}  // namespace kvr::tree

#endif
