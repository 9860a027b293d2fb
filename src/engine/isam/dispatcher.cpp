// _vmqpIsam: routes each opcode to its worker and maps the statuses of the
// tree and the data store to engine results.
#include <cstdio>

#include "engine/isam/dispatcher.h"
#include "engine/isam/ix_handle.h"
#include "engine/results.h"
#include "vmqrmkvr/isam.h"

namespace kvr::isam {

engine::Result map_tree_status(tree::Status status) {
    switch (status) {
        case tree::kTreeOk:
            return engine::kOk;
        case tree::kNoSuchDuplicate:
        case tree::kNoEntrySatisfies:
            return engine::kNotFound;
        case tree::kNoCurrentEntry:
            return engine::kNoPosition;
        case tree::kDamagedPage:
            std::printf("internal error in Cobol library: vmqpixfs\n");
            std::fflush(stdout);
            return engine::kIoError;
        case tree::kTreeEndOfFile:
        case tree::kKeyNotFound:
            return engine::kEndOfFile;
        case tree::kDuplicateKey:
            return engine::kDuplicate;
        case tree::kTreeIoError:
            return engine::kIoError;
        case tree::kTreeNoMemory:
            return engine::kNoSpace;
    }
    return engine::kIoError;
}

engine::Result store_result(store::Status status) {
    switch (status) {
        case store::kOk:
            return engine::kOk;
        case store::kIoError:
        case store::kNoBlock:
        case store::kBadMode:
            return engine::kIoError;
        case store::kNotOpen:
            return engine::kNotOpen;
        case store::kNotFound:
            return engine::kNotFound;
        case store::kDuplicate:
            return engine::kDuplicate;
        case store::kEndOfFile:
            return engine::kEndOfFile;
        case store::kNoPosition:
            return engine::kNoPosition;
        case store::kNoSpace:
        case store::kNoMemory:
            return engine::kNoSpace;
        case store::kAccessDenied:
            return engine::kAccessDenied;
        case store::kLockViolation:
            return engine::kLockViolation;
        case store::kSharingViolation:
            return engine::kSharingViolation;
        case store::kRecordTooLong:
        case store::kSetSizeChanged:
            return engine::kRecordTooLong;
        case store::kInvalidFile:
        case store::kRecordsTooLong:
            return engine::kInvalidFile;
    }
    return engine::kIoError;
}

namespace {

// Results after which a changing operation has left the file as sound as it
// found it: it succeeded, or refused before changing anything.
bool leaves_file_sound(engine::Result result) {
    switch (result) {
        case engine::kOk:
        case engine::kDuplicateFollows:
        case engine::kNotFound:
        case engine::kDuplicate:
        case engine::kBadKeyNumber:
        case engine::kNoPosition:
        case engine::kOutOfOrder:
        case engine::kRecordTooShort:
        case engine::kRecordTooLong:
            return true;
        default:
            return false;
    }
}

}  // namespace

// WRITE, REWRITE and DELETE. The first change of an update session puts the
// update marker on disk; an operation that fails part-way marks the file
// unsound, so that close leaves the marker for the next open to refuse.
engine::Result change_records(ix_handle* handle, uint16_t op, void* data, uint32_t* length,
                              void* aux, uint8_t selector) {
    const int opcode = op & 0xFF;
    const bool keep_position = (op & IX_KEEP_POSITION) != 0;
    // A file open for input is never changed: the workers refuse at once.
    const bool update = handle->header().open_for_update();
    if (update) {
        const engine::Result marked = mark_update(handle);
        if (marked != engine::kOk)
            return marked;
    }
    engine::Result result;
    bool untouched = false;
    if (opcode == IX_DELETE) {
        result = ix_delete_current(handle, keep_position, &untouched);
    } else if (data == nullptr || length == nullptr) {
        return engine::kRecordTooShort;
    } else {
        auto* record = static_cast<const unsigned char*>(data);
        auto* key_area = static_cast<unsigned char*>(aux);
        result = opcode == IX_WRITE
                     ? ix_write_record(handle, record, *length, key_area, selector, keep_position,
                                       &untouched)
                     : ix_rewrite_record(handle, record, *length, key_area, selector, &untouched);
    }
    if (update && !untouched && !leaves_file_sound(result))
        handle->unsound = true;
    // A REWRITE or DELETE gives up the record's lock.
    if (opcode != IX_WRITE)
        release_record_lock(handle);
    return result;
}

namespace {

// The worker of each opcode, and its result.
engine::Result run(uint16_t op, ix_handle** slot, ix_handle* handle, void* data, uint32_t* length,
                   void* aux, uint8_t selector) {
    const int opcode = op & 0xFF;
    switch (opcode) {
        case IX_CLOSE: {
            bool kept = false;
            const engine::Result result =
                ix_close_file(handle, selector == IX_CLOSE_GIVE_UP ? nullptr : &kept);
            if (!kept)
                *slot = nullptr;
            return result;
        }
        case IX_CREATE:
            return ix_create_file(static_cast<const unsigned char*>(data), length ? *length : 0,
                                  static_cast<const char*>(aux), selector);
        case IX_OPEN:
            return ix_open_file(slot, static_cast<const char*>(aux), selector);
        case IX_GET_ATTRIBUTES:
            return ix_get_attributes(handle, static_cast<unsigned char*>(data),
                                     length ? *length : 0, static_cast<unsigned char*>(aux));
        case IX_WRITE:
        case IX_REWRITE:
        case IX_DELETE:
            return change_records(handle, op, data, length, aux, selector);
        case IX_SAVE_POSITION:
            return ix_save_position(handle);
        case IX_RESTORE_POSITION:
            return ix_restore_position(handle);
        case IX_BEGIN_GROUP:
        case IX_END_GROUP:
            // A handle that does not share its file needs no lock.
            return engine::kOk;
        case IX_READ_EQ:
        case IX_READ_GT:
        case IX_READ_GE:
        case IX_READ_LE:
        case IX_READ_LT:
        case IX_READ_DUP:
        case IX_READ_FIRST:
        case IX_READ_LAST:
        case IX_READ_NEXT:
        case IX_READ_CURRENT:
        case IX_READ_PREV: {
            // Without a buffer a read only positions.
            uint32_t size = length != nullptr && data != nullptr ? *length : 0;
            auto* buffer = static_cast<unsigned char*>(data);
            auto* key_area = static_cast<unsigned char*>(aux);
            const bool keyed = opcode <= IX_READ_LT || opcode == IX_READ_DUP;
            const engine::Result result =
                keyed ? ix_read_keyed(handle, buffer, &size, key_area, selector, op)
                      : ix_read_positional(handle, buffer, &size, key_area, selector, op);
            if (length != nullptr)
                *length = size;
            return result;
        }
        default:
            return engine::kBadOpcode;
    }
}

engine::Result dispatch(uint16_t op, void* handle_slot, void* data, uint32_t* length, void* aux,
                        uint8_t selector) {
    const int opcode = op & 0xFF;
    auto** slot = static_cast<ix_handle**>(handle_slot);
    if (slot == nullptr)
        return engine::kNotOpen;
    ix_handle* handle = *slot;
    if (handle == nullptr && opcode != IX_CREATE && opcode != IX_OPEN)
        return engine::kNotOpen;
    // A shared handle's operations run under the file's operation lock
    // (shared_session.h); keeping the position reads nothing from the file.
    if (handle != nullptr && handle->sharing && opcode != IX_OPEN && opcode != IX_CREATE &&
        opcode != IX_SAVE_POSITION)
        return SharedSession::run(slot, opcode, selector, [&] {
            return run(op, slot, handle, data, length, aux, selector);
        });
    return run(op, slot, handle, data, length, aux, selector);
}

}  // namespace

engine::Result call(uint16_t op, void* handle_slot, void* data, uint32_t* length, void* aux,
                    uint8_t selector) {
    return dispatch(op, handle_slot, data, length, aux, selector);
}

}  // namespace kvr::isam

extern "C" int16_t _vmqpIsam(uint16_t op, void* handle_slot, void* data, uint32_t* length,
                             void* aux, uint8_t selector) {
    return static_cast<int16_t>(
        kvr::engine::code(kvr::isam::call(op, handle_slot, data, length, aux, selector)));
}
