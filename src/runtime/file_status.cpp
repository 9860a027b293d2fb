#include "runtime/file_status.h"

#include "vmqrmkvr/fcb.h"
#include "vmqrmkvr/isam.h"

namespace kvr::runtime {

uint16_t record_verb_status(int result, uint8_t verb) {
    switch (result) {
        case 0:
            return 0;
        case IX_DUPLICATE_FOLLOWS:
            return 2;  // valid duplicate key
        case 9:
            return 10;  // end of file
        case 13:
        case 10:
            return 21;  // key out of sequence, or no current position
        case 5:
            return 22;
        case 4:
            return 23;
        case 6:
            return 20;
        case 3:
            if (verb == VMQ_VERB_READ)
                return 47;
            if (verb == VMQ_VERB_WRITE || verb == VMQ_VERB_REWRITE)
                return 48;
            return 30;
        case 7:
            return 92;
        case 17:
            return 99;  // record locked
        case 18:
            return 99;  // the whole file held by another past the lock wait
        default:
            return 30;
    }
}

uint16_t open_status(int result) {
    switch (result) {
        case 0:
            return 0;
        case 15:
            return 91;  // access denied
        case 17:
            return 99;
        case 18:
            return 98;  // another program holds the file
        case 19:
        case 20:
            return 94;
        case 21:
        case 25:
        case 30:    // left mid-update: refused until it is rebuilt
        case 1000:  // not a file of this organization
            return 39;
        default:
            return 30;
    }
}

uint16_t close_status(int result) {
    if (result == 0)
        return 0;
    return result == 3 ? 42 : 30;
}

}  // namespace kvr::runtime
