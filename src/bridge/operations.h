// GnuCOBOL's operation codes, each named once: what the handler does with
// it and the COBOL statement it stands for. The handler dispatches on the
// row (handler.cpp) and the trace and the messages name the statement from
// it (verb_names.cpp), so a code is known to both or to neither.
#ifndef KVR_BRIDGE_OPERATIONS_H
#define KVR_BRIDGE_OPERATIONS_H

#include <cstdint>

#include "bridge/bridge_file.h"

namespace kvr::bridge {

// What the handler does for an operation code.
enum class Action {
    Open,
    Close,
    DeleteFile,
    Nothing,  // UNLOCK, FLUSH, COMMIT, ROLLBACK: every verb is done when it returns
    ReadNext,
    ReadPrevious,
    ReadRandom,
    ReadFirst,
    Start,
    Write,
    Rewrite,
    Delete
};

// How the statement's name is told where the code alone does not tell it.
enum class Naming {
    AsWritten,
    InOptions,             // CLOSE and WRITE: the phrase is in the FCD's options
    NextUnlessSequential,  // "READ NEXT", or "READ" on a sequential file
    KeyWhenIndexed         // "READ", or "READ KEY" on an indexed file
};

// The record locking phrase of a READ.
enum class LockPhrase : uint8_t { None, NoLock, Lock, KeptLock };

struct Operation {
    unsigned code;
    Action action;
    const char* name;
    Naming naming = Naming::AsWritten;
    LockPhrase lock = LockPhrase::None;
    Relation relation = Relation::First;  // START
    uint16_t open_request = 0;            // OPEN: the VMQ_OPEN_* mode asked for
    unsigned char open_mode = 0;          // OPEN: the FCD's openMode once open
    CloseKind close = CloseKind::Normal;  // CLOSE named by its code
    uint8_t advancing = 0;                // WRITE named by its code: VMQ_ADVANCE_*
};

// The row of an operation code; null for a code this file system does not
// offer.
const Operation* find_operation(unsigned code);

// The FCD's option word: the phrase of a CLOSE or a WRITE.
inline uint32_t fcd_options(const FCD3* fcd) {
    return get_u32(reinterpret_cast<const unsigned char*>(fcd->opt));
}

}  // namespace kvr::bridge

#endif
