// _vmqpSeqFS: checks the handle and routes each opcode to its worker.
//
// Record operations need a handle opened with buffers (modes 0 and 3); a
// handle opened in mode 2 has none, and they are refused on it. Writing
// operations on a handle opened for reading only are refused before
// anything changes.
#include <cstdint>

#include "engine/seqfs/record_length.h"
#include "engine/seqfs/sq_handle.h"
#include "vmqrmkvr/seqfs.h"

namespace {

using namespace kvr::seqfs;

// The handle a record operation may work on, or the result that refuses it.
Result check_record_handle(const sq_handle* handle, bool writes) {
    if (handle == nullptr || !(handle->open_state & kStateOpen))
        return kNotOpen;
    if (!handle->buffered())
        return kBadRequest;
    if (writes && !handle->writable)
        return kIoError;
    return kOk;
}

Result dispatch(uint16_t op, sq_handle** slot, void* data, uint32_t* length, void* aux,
                uint8_t selector) {
    switch (op) {
        case SQ_CREATE:
            return sq_create_file(static_cast<const unsigned char*>(data),
                                  static_cast<const char*>(aux));
        case SQ_OPEN:
            if (slot == nullptr)
                return kNotOpen;
            return sq_open_file(slot, static_cast<const char*>(aux), selector);
        case SQ_CLOSE:
        case SQ_GET_ATTRIBUTES:
        case SQ_WRITE:
        case SQ_REWRITE:
        case SQ_REPLACE_LAST:
        case SQ_READ_FIRST:
        case SQ_READ_NEXT:
            break;
        default:
            return kBadRequest;
    }

    sq_handle* handle = slot != nullptr ? *slot : nullptr;
    if (handle == nullptr)
        return kNotOpen;
    if (op == SQ_GET_ATTRIBUTES)
        return sq_get_attributes(*handle, static_cast<unsigned char*>(data));
    if (!(handle->open_state & kStateOpen))
        return kNotOpen;
    if (op == SQ_CLOSE) {
        bool released = false;
        const Result result = sq_close_file(handle, selector == SQ_CLOSE_GIVE_UP, &released);
        if (released)
            *slot = nullptr;
        return result;
    }

    const bool reads = op == SQ_READ_FIRST || op == SQ_READ_NEXT;
    if (Result result = check_record_handle(handle, !reads); result != kOk)
        return result;
    if (length == nullptr || (data == nullptr && *length != 0))
        return kIoError;
    if (reads)
        return sq_read(*handle, static_cast<unsigned char*>(data), length, op == SQ_READ_FIRST);
    const auto* record = static_cast<const unsigned char*>(data);
    switch (op) {
        case SQ_WRITE:
            return sq_append(*handle, record, *length);
        case SQ_REWRITE:
            return sq_rewrite(*handle, record, *length);
        default:
            return sq_replace_last(*handle, record, *length);
    }
}

}  // namespace

kvr::seqfs::Result kvr::seqfs::call(uint16_t op, void* handle_slot, void* data, uint32_t* length,
                                    void* aux, uint8_t selector) {
    return dispatch(op, static_cast<sq_handle**>(handle_slot), data, length, aux, selector);
}

extern "C" int16_t _vmqpSeqFS(uint16_t op, void* handle_slot, void* data, uint32_t* length,
                              void* aux, uint8_t selector) {
    return static_cast<int16_t>(
        kvr::seqfs::code(kvr::seqfs::call(op, handle_slot, data, length, aux, selector)));
}

// The utility's length-only read: the same checks as a read through
// _vmqpSeqFS, then the length word of the record read.
int kvr::seqfs::sq_read_length(void* handle_slot, bool from_first, uint32_t* record_length) {
    *record_length = 0;
    sq_handle* handle = handle_slot != nullptr ? *static_cast<sq_handle**>(handle_slot) : nullptr;
    if (Result result = check_record_handle(handle, false); result != kOk)
        return static_cast<int>(result);
    uint32_t delivered = 0;
    const Result result = sq_read(*handle, nullptr, &delivered, from_first);
    if (result == kOk)
        *record_length = handle->read_record_length;
    return static_cast<int>(result);
}
