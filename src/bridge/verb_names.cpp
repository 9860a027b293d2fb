#include "bridge/verb_names.h"

#include <cstdio>

namespace kvr::bridge {

namespace {

uint32_t fcd_options(const FCD3* fcd) {
    return get_u32(reinterpret_cast<const unsigned char*>(fcd->opt));
}

const char* close_name(const FCD3* fcd) {
    switch (fcd_options(fcd)) {
        case COB_CLOSE_LOCK:
            return "CLOSE WITH LOCK";
        case COB_CLOSE_NO_REWIND:
            return "CLOSE NO REWIND";
        case COB_CLOSE_UNIT:
            return "CLOSE REEL/UNIT";
        case COB_CLOSE_UNIT_REMOVAL:
            return "CLOSE UNIT FOR REMOVAL";
        default:
            return "CLOSE";
    }
}

const char* write_name(const FCD3* fcd) {
    const uint32_t options = fcd_options(fcd);
    if ((options & COB_WRITE_BEFORE) != 0)
        return "WRITE BEFORE ADVANCING";
    if ((options & COB_WRITE_AFTER) != 0)
        return "WRITE AFTER ADVANCING";
    return "WRITE";
}

}  // namespace

std::string verb_name(unsigned op, const FCD3* fcd) {
    const bool sequential = fcd->fileOrg == ORG_SEQ;
    const bool indexed = fcd->fileOrg == ORG_INDEXED;
    // The record locking variants of each READ.
    const char* lock = "";
    switch (op) {
        case OP_READ_SEQ_NO_LOCK:
        case OP_READ_PREV_NO_LOCK:
        case OP_READ_RAN_NO_LOCK:
        case OP_READ_DIR_NO_LOCK:
        case OP_STEP_NEXT_NO_LOCK:
        case OP_STEP_FIRST_NO_LOCK:
            lock = " WITH NO LOCK";
            break;
        case OP_READ_SEQ_LOCK:
        case OP_READ_PREV_LOCK:
        case OP_READ_RAN_LOCK:
        case OP_READ_DIR_LOCK:
        case OP_STEP_NEXT_LOCK:
        case OP_STEP_FIRST_LOCK:
            lock = " WITH LOCK";
            break;
        case OP_READ_SEQ_KEPT_LOCK:
        case OP_READ_PREV_KEPT_LOCK:
        case OP_READ_RAN_KEPT_LOCK:
        case OP_READ_DIR_KEPT_LOCK:
        case OP_STEP_NEXT_KEPT_LOCK:
        case OP_STEP_FIRST_KEPT_LOCK:
            lock = " WITH KEPT LOCK";
            break;
        default:
            break;
    }
    switch (op) {
        case OP_OPEN_INPUT:
            return "OPEN INPUT";
        case OP_OPEN_INPUT_NOREWIND:
            return "OPEN INPUT NO REWIND";
        case OP_OPEN_INPUT_REVERSED:
            return "OPEN INPUT REVERSED";
        case OP_OPEN_OUTPUT:
            return "OPEN OUTPUT";
        case OP_OPEN_OUTPUT_NOREWIND:
            return "OPEN OUTPUT NO REWIND";
        case OP_OPEN_IO:
            return "OPEN I-O";
        case OP_OPEN_EXTEND:
            return "OPEN EXTEND";
        case OP_CLOSE:
            return close_name(fcd);
        case OP_CLOSE_LOCK:
            return "CLOSE WITH LOCK";
        case OP_CLOSE_NO_REWIND:
        case OP_CLOSE_NOREWIND:
            return "CLOSE NO REWIND";
        case OP_CLOSE_REEL:
            return "CLOSE REEL";
        case OP_CLOSE_REMOVE:
            return "CLOSE REEL FOR REMOVAL";
        case OP_READ_SEQ:
        case OP_READ_SEQ_NO_LOCK:
        case OP_READ_SEQ_LOCK:
        case OP_READ_SEQ_KEPT_LOCK:
            return std::string(sequential ? "READ" : "READ NEXT") + lock;
        case OP_STEP_NEXT:
        case OP_STEP_NEXT_NO_LOCK:
        case OP_STEP_NEXT_LOCK:
        case OP_STEP_NEXT_KEPT_LOCK:
            return std::string("READ NEXT") + lock;
        case OP_STEP_FIRST:
        case OP_STEP_FIRST_NO_LOCK:
        case OP_STEP_FIRST_LOCK:
        case OP_STEP_FIRST_KEPT_LOCK:
            return std::string("READ FIRST") + lock;
        case OP_READ_PREV:
        case OP_READ_PREV_NO_LOCK:
        case OP_READ_PREV_LOCK:
        case OP_READ_PREV_KEPT_LOCK:
            return std::string("READ PREVIOUS") + lock;
        case OP_READ_RAN:
        case OP_READ_RAN_NO_LOCK:
        case OP_READ_RAN_LOCK:
        case OP_READ_RAN_KEPT_LOCK:
        case OP_READ_DIR:
        case OP_READ_DIR_NO_LOCK:
        case OP_READ_DIR_LOCK:
        case OP_READ_DIR_KEPT_LOCK:
            return std::string(indexed ? "READ KEY" : "READ") + lock;
        case OP_START_EQ:
        case OP_START_EQ_ANY:
            return "START =";
        case OP_START_GT:
            return "START >";
        case OP_START_GE:
            return "START >=";
        case OP_START_LT:
            return "START <";
        case OP_START_LE:
            return "START <=";
        case OP_START_FI:
            return "START FIRST";
        case OP_START_LA:
            return "START LAST";
        case OP_WRITE:
            return write_name(fcd);
        case OP_WRITE_BEFORE:
        case OP_WRITE_BEFORE_TAB:
        case OP_WRITE_BEFORE_PAGE:
            return "WRITE BEFORE ADVANCING";
        case OP_WRITE_AFTER:
        case OP_WRITE_AFTER_TAB:
        case OP_WRITE_AFTER_PAGE:
            return "WRITE AFTER ADVANCING";
        case OP_REWRITE:
            return "REWRITE";
        case OP_DELETE:
            return "DELETE";
        case OP_DELETE_FILE:
            return "DELETE FILE";
        case OP_UNLOCK:
            return "UNLOCK";
        case OP_UNLOCK_REC:
            return "UNLOCK RECORD";
        case OP_FLUSH:
            return "FLUSH";
        case OP_COMMIT:
            return "COMMIT";
        case OP_ROLLBACK:
            return "ROLLBACK";
        default: {
            char code[24];
            std::snprintf(code, sizeof code, "operation %04X", op);
            return code;
        }
    }
}

}  // namespace kvr::bridge
