// The sequential engine's one entry, typed: _vmqpSeqFS's opcodes and
// arguments (seqfs.h) with the result as a Result. _vmqpSeqFS is this call,
// its result turned into the published integer; the verbs of sequential
// files call it directly.
#ifndef KVR_ENGINE_SEQFS_SEQUENTIAL_ENGINE_H
#define KVR_ENGINE_SEQFS_SEQUENTIAL_ENGINE_H

#include <cstdint>

#include "vmqrmkvr/seqfs.h"

namespace kvr::seqfs {

// The sequential engine's results: its own type, so that they cannot be
// mixed with the indexed engine's.
enum class Result : int {
    kOk = SQ_OK,
    kBadRequest = SQ_BAD_REQUEST,  // unknown opcode, invalid open mode, not available in mode 2
    kIoError = SQ_IO_ERROR,        // I/O failure, a refused request, a damaged record
    kNotOpen = SQ_NOT_OPEN,        // no handle, not open, invalid handle
    kEndOfFile = SQ_END_OF_FILE,
    kNoMemory = SQ_NO_SPACE,
    kNoSpace = SQ_NO_SPACE,            // no room: a full disk, a size limit, the largest offset
    kAccessDenied = SQ_ACCESS_DENIED,  // also: a file too short for its header
    kLockViolation = SQ_LOCK_VIOLATION,
    kSharingViolation = SQ_SHARING_VIOLATION,
    kNotSequentialFile = SQ_NOT_SEQUENTIAL_FILE,
    kNameTooLong = SQ_NAME_TOO_LONG,
    kIndexedFile = SQ_INDEXED_FILE,
};
using enum Result;

// The integer _vmqpSeqFS returns for a result.
constexpr int code(Result result) {
    return static_cast<int>(result);
}

Result call(uint16_t op, void* handle_slot, void* data, uint32_t* length, void* aux,
            uint8_t selector);

}  // namespace kvr::seqfs

#endif
