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

std::string status_text(char first, char second) {
    struct Meaning {
        const char* status;
        const char* text;
    };
    static constexpr Meaning kMeanings[] = {
        {"00", "done"},
        {"02", "done; another record has the same alternate key value"},
        {"04", "done, but the record's length is not one the program describes"},
        {"05", "done; the OPTIONAL file is not there"},
        {"07", "done; the file has no reels or units"},
        {"10", "at end: there is no next record"},
        {"14", "at end: the record number is too big for the RELATIVE KEY item"},
        {"21", "the key is out of order, or REWRITE changed the prime key"},
        {"22", "a record with that key is in the file already"},
        {"23", "no record has that key"},
        {"24", "past the file's limits: the record number, or the room the file has"},
        {"30", "the file cannot be read or written as it should"},
        {"34", "no room for the record in the file"},
        {"35", "the file is not there"},
        {"37", "the file cannot be opened that way: its permissions, or it is no file"},
        {"38", "the program closed the file WITH LOCK"},
        {"39", "the file's organization, record lengths or keys differ from the program's"},
        {"41", "the file is open already"},
        {"42", "the file is not open"},
        {"43", "no record was read before the REWRITE or DELETE"},
        {"44", "the record's length is outside the file's record lengths"},
        {"46", "no next record: the READ before it found none, or failed"},
        {"47", "the file is not open INPUT or I-O"},
        {"48", "the file is not open OUTPUT, I-O or EXTEND"},
        {"49", "the file is not open I-O"},
        {"51", "another program holds the record's lock"},
        {"91", "this file system does not offer that, or may not reach the file"},
        {"92", "the file's keys are not the ones asked for"},
        {"94", "too many files are open"},
        {"98", "another program has the file open"},
        {"99", "the record is locked"},
    };
    for (const Meaning& meaning : kMeanings)
        if (meaning.status[0] == first && meaning.status[1] == second)
            return meaning.text;
    switch (first) {
        case '0':
            return "done";
        case '1':
            return "at end";
        case '2':
            return "invalid key";
        case '3':
            return "a permanent error";
        case '4':
            return "the statement is not allowed now";
        case '5':
            return "a record lock";
        case '6':
            return "the file cannot be shared so";
        default:
            return "an error of this file system";
    }
}

}  // namespace kvr::bridge
