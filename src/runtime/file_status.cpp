#include "runtime/file_status.h"

#include "vmqrmkvr/fcb.h"

namespace kvr::runtime {

uint16_t record_verb_status(Diagnostic outcome, uint8_t verb) {
    switch (outcome) {
        case Diagnostic::kNone:
            return 0;
        case Diagnostic::kDuplicateFollows:
            return 2;
        case Diagnostic::kEndOfFile:
            return 10;
        case Diagnostic::kOutOfOrder:
        case Diagnostic::kNoPosition:
            return 21;  // key out of sequence, or no current position
        case Diagnostic::kDuplicate:
            return 22;
        case Diagnostic::kNotFound:
            return 23;
        case Diagnostic::kBadKeyNumber:
            return 20;
        case Diagnostic::kNotOpen:
            if (verb == VMQ_VERB_READ)
                return 47;
            if (verb == VMQ_VERB_WRITE || verb == VMQ_VERB_REWRITE)
                return 48;
            return 30;
        case Diagnostic::kKeyNumbersDiffer:
            return 92;
        case Diagnostic::kRecordLocked:
            return 99;
        case Diagnostic::kFileInUse:
            return 99;  // the whole file held by another past the lock wait
        default:
            return 30;
    }
}

uint16_t open_status(Diagnostic outcome) {
    switch (outcome) {
        case Diagnostic::kNone:
            return 0;
        case Diagnostic::kAccessDenied:
            return 91;
        case Diagnostic::kRecordLocked:
            return 99;
        case Diagnostic::kFileInUse:
            return 98;
        case Diagnostic::kFileTableFull:
        case Diagnostic::kHandleTableFull:
            return 94;
        case Diagnostic::kNotKvrFile:
        case Diagnostic::kSequentialFile:
        case Diagnostic::kUnfinishedUpdate:  // left mid-update: refused until it is rebuilt
        case Diagnostic::kNotSequential:
            return 39;
        default:
            return 30;
    }
}

uint16_t close_status(Diagnostic outcome) {
    if (outcome == Diagnostic::kNone)
        return 0;
    return outcome == Diagnostic::kNotOpen ? 42 : 30;
}

}  // namespace kvr::runtime
