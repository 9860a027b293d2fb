#include "bridge/verb_names.h"

#include <cstdio>

#include "bridge/operations.h"

namespace kvr::bridge {

namespace {

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

const char* lock_phrase(LockPhrase lock) {
    switch (lock) {
        case LockPhrase::NoLock:
            return " WITH NO LOCK";
        case LockPhrase::Lock:
            return " WITH LOCK";
        case LockPhrase::KeptLock:
            return " WITH KEPT LOCK";
        case LockPhrase::None:
            break;
    }
    return "";
}

}  // namespace

std::string verb_name(unsigned op, const FCD3* fcd) {
    const Operation* operation = find_operation(op);
    if (operation == nullptr) {
        char code[24];
        std::snprintf(code, sizeof code, "operation %04X", op);
        return code;
    }
    std::string name = operation->name;
    switch (operation->naming) {
        case Naming::AsWritten:
            break;
        case Naming::InOptions:
            name = operation->action == Action::Close ? close_name(fcd) : write_name(fcd);
            break;
        case Naming::NextUnlessSequential:
            name = fcd->fileOrg == ORG_SEQ ? "READ" : "READ NEXT";
            break;
        case Naming::KeyWhenIndexed:
            name = fcd->fileOrg == ORG_INDEXED ? "READ KEY" : "READ";
            break;
    }
    return name + lock_phrase(operation->lock);
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
