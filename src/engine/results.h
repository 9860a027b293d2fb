// Result codes of the indexed engine and the statuses of the layers below it.
//
// Engine results are what _vmqpIsam returns; the verbs turn them into FILE
// STATUS values. The data store returns engine results directly (0, 2, 3, 9,
// 15, 17, 18) or a negative status of its own; the B+tree returns statuses
// of its own (101 to 107). The engine maps both once, in map_tree_status.
#ifndef KVR_ENGINE_RESULTS_H
#define KVR_ENGINE_RESULTS_H

namespace kvr::engine {

enum Result : int {
    kOk = 0,
    kBadOpcode = 1,  // unknown opcode or invalid open mode
    kIoError = 2,    // I/O failure, update of an input file, damage
    kNotOpen = 3,    // no handle, file not open, invalid handle
    kNotFound = 4,
    kDuplicate = 5,
    kBadKeyNumber = 6,
    kEndOfFile = 9,
    kNoPosition = 10,
    kNoSpace = 11,  // out of memory, buffer too small, file full
    kDuplicateFollows = 12,
    kOutOfOrder = 13,
    kRecordTooShort = 14,
    kAccessDenied = 15,
    kFileExists = 16,
    kLockViolation = 17,
    kSharingViolation = 18,
    kNotIndexedFile = 21,  // wrong mark, damaged header, too old a version
    kBadKeyCount = 22,     // also: attributes that describe no usable file
    kRecordTooLong = 23,
    kInvalidFile = 24,
    kSequentialFile = 25,
    kUnfinishedUpdate = 30,  // an update session never closed the file: rebuild it
};

// Negative statuses of the data store.
enum StoreStatus : int {
    kStoreNoBlock = -1,  // no free block without extending the file
    kStoreBadMode = -1,      // a put mode other than write (0) or rewrite (1)
    kStoreNoMemory = -4,
    kStoreSetSizeChanged = -5,  // the file's sets were cut in another size
    kStoreRecordsTooLong = -6,  // records too long for the block format
};

}  // namespace kvr::engine

namespace kvr::tree {

// Statuses of the B+tree.
enum Status : int {
    kTreeOk = 0,
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
