// The diagnostic codes a verb leaves in the program's message area, by name.
// A code is the engine's result where the engine decided the outcome (the
// same numbers for the indexed and the sequential engine), or one of the
// verbs' own, from 1000 on. The message area shows it as six digits and its
// text (messages.h); KVRFH reads it back as a value (_IO_LastDiagnostic).
#ifndef KVR_RUNTIME_DIAGNOSTICS_H
#define KVR_RUNTIME_DIAGNOSTICS_H

namespace kvr::runtime {

enum class Diagnostic : int {
    kNone = 0,
    // The engines' results that a verb reports as they are.
    kIoError = 2,
    kNotOpen = 3,
    kNotFound = 4,
    kDuplicate = 5,
    kBadKeyNumber = 6,
    kKeyNumbersDiffer = 7,
    kEndOfFile = 9,
    kNoPosition = 10,
    kNoSpace = 11,           // no room on the disk or in memory
    kDuplicateFollows = 12,  // read: the next record has the same key
    kOutOfOrder = 13,
    kRecordTooShort = 14,
    kAccessDenied = 15,
    kRecordLocked = 17,
    kFileInUse = 18,  // another program holds the file
    kFileTableFull = 19,
    kHandleTableFull = 20,
    kNotKvrFile = 21,  // shown as 24
    kInvalidFile = 24,
    kSequentialFile = 25,
    kUnfinishedUpdate = 30,
    // The verbs' own.
    kNotSequential = 1000,  // a sequential OPEN found an indexed or relative file
    kIndexedFile = 1001,    // a relative OPEN found an indexed file
    kRelativeFile = 1002,   // an indexed OPEN found a relative file
    kFileMissing = 1003,
    kKeyCountDiffers = 1004,  // 1004 to 1007 list the file's layout after the text
    kRecordLengthsDiffer = 1005,
    kRecordTypesDiffer = 1006,
    kKeyPlaceDiffers = 1007,
    kNoRecordArea = 1008,  // a record verb called without a record area; status 30
    kEmptyFile = 1009,     // OPEN of a file of no bytes; status 30
    kInvalidOpenMode = 1010,
};

// The number a message area shows for a diagnostic.
constexpr int code(Diagnostic diagnostic) {
    return static_cast<int>(diagnostic);
}

// The diagnostic an engine's result (of either engine: both number their
// results alike) stands for.
constexpr Diagnostic diagnostic_of(int engine_result) {
    return static_cast<Diagnostic>(engine_result);
}

// Whether the message lists the existing file's layout after the text.
constexpr bool lists_layout(Diagnostic diagnostic) {
    return diagnostic >= Diagnostic::kKeyCountDiffers && diagnostic <= Diagnostic::kKeyPlaceDiffers;
}

}  // namespace kvr::runtime

#endif
