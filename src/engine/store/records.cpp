// Records of the slot format: open and close of the store, and reading,
// writing, rewriting and deleting one record. The slot layout is in slot.h,
// the free lists in free_lists.cpp, the append buffer in append_buffer.cpp.
//
// The record buffer holds max_record_length + 8 bytes: room for a slot's
// header, the longest record and a slack word. A read leaves the record's
// data at its start; a write lays the slot out in it (header, data, slack
// word, and the slack spaces when they fit) and writes the rest of a large
// slack from a block of spaces, so a reused slot of any size never overruns
// it.
//
// Every slot written, appended or rewritten reaches the file before the call
// returns; the append buffer only keeps a copy of the newest (append_buffer.h).
//
// A record moves only when a rewrite makes it longer than its slot. The new
// slot is written first, the index is told through the handle's shift hook,
// and only then is the old slot freed: a failure at any step leaves the
// index naming a slot that holds the record, old or new.
#include <cstring>
#include <new>

#include "engine/results.h"
#include "engine/store/append_buffer.h"
#include "engine/store/free_lists.h"
#include "engine/store/slot.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

using kvr::engine::FileHeader;
using kvr::store::StoreHandle;

namespace kvr::store {

namespace {

constexpr uint32_t kRecordBufferExtra = kSlotHeaderSize + kSlackWordSize;

// A slot of the record buffer's layout ready to be written: the first
// `laid_out` bytes are in the record buffer, `spaces` more follow.
struct LaidOutSlot {
    uint32_t laid_out = 0;
    uint32_t spaces = 0;
};

// Lays out a record slot of `slot_size` bytes holding `length` bytes of
// `data`, which may lie in the record buffer itself.
LaidOutSlot lay_out_slot(StoreHandle* handle, const unsigned char* data, uint32_t length,
                         uint32_t slot_size) {
    unsigned char* slot = handle->record_buffer.get();
    handle->buffered_record_address = 0;
    const uint32_t used = kSlotHeaderSize + length;
    const uint32_t slack = slot_size - used;
    std::memmove(slot + kSlotHeaderSize, data, length);
    encode_slot_header(slot, record_slot_flags(slack), used);
    uint32_t laid_out = used;
    if (slack >= kSlackWordSize) {
        platform::store_u32(slot + used, slack);
        laid_out += kSlackWordSize;
    }
    const uint32_t room = handle->record_buffer_size - laid_out;
    const uint32_t spaces = slot_size - laid_out;
    const uint32_t here = spaces < room ? spaces : room;
    std::memset(slot + laid_out, kSlackByte, here);
    return LaidOutSlot{laid_out + here, spaces - here};
}

// Writes a laid-out slot at `address` in the file, and into the append
// buffer too when the address lies in the buffered range (the slot must lie
// wholly inside what the buffer holds). The buffer's copy changes only once
// the file holds the slot.
Status write_slot(StoreHandle* handle, uint32_t address, const LaidOutSlot& slot) {
    const unsigned char* bytes = handle->record_buffer.get();
    const bool buffered = in_append_buffer(handle, address);
    const uint32_t at = address - handle->write_buffer_offset;
    if (buffered && uint64_t{at} + slot.laid_out + slot.spaces > handle->write_buffer_fill)
        return kIoError;
    Status status = write_exact(handle, address, bytes, slot.laid_out);
    if (status == kOk)
        status = write_spaces(handle, address + slot.laid_out, slot.spaces);
    if (status != kOk) {
        // What the file holds there is no longer known: the copy goes.
        if (buffered)
            restart_append_buffer(handle);
        return status;
    }
    if (buffered) {
        std::memcpy(handle->write_buffer.get() + at, bytes, slot.laid_out);
        std::memset(handle->write_buffer.get() + at + slot.laid_out, kSlackByte, slot.spaces);
    }
    return kOk;
}

// Stores a record of `length` bytes in new space: a free slot, or the end
// of the file (through the append buffer when there is one).
Status store_in_new_space(StoreHandle* handle, const unsigned char* data, uint32_t length,
                          uint32_t* address, uint32_t* slot_size) {
    const uint32_t size = length + kSlotHeaderSize;
    SlotSpace space;
    Status status = find_free_slot(handle, size, &space);
    if (status != kOk)
        return status;
    if (space.reuse) {
        status = write_slot(handle, space.address, lay_out_slot(handle, data, length, space.size));
        if (status != kOk)
            return status;
        *address = space.address;
        *slot_size = space.size;
        return kOk;
    }
    bool buffered = false;
    uint32_t at = 0;
    status = place_appended_slot(handle, size, &at, &buffered);
    if (status != kOk)
        return status;
    // An appended slot is exactly as large as its record: no slack.
    const LaidOutSlot slot = lay_out_slot(handle, data, length, size);
    status = buffered ? append_buffered_slot(handle, handle->record_buffer.get(), size)
                      : append_exact(handle, at, handle->record_buffer.get(), slot.laid_out);
    if (status != kOk)
        return status;
    *address = at;
    *slot_size = size;
    return kOk;
}

// Frees a record's slot. The append buffer's copy of it would go stale, so
// the buffer starts again.
Status release_slot(StoreHandle* handle, uint32_t address, const KnownSlot* known = nullptr) {
    if (in_append_buffer(handle, address))
        restart_append_buffer(handle);
    return free_slot(handle, address, known);
}

// Replaces the record last read with `length` bytes of `data`.
Status rewrite_record(StoreHandle* handle, const unsigned char* data, uint32_t length,
                      uint32_t* address) {
    const uint32_t old_address = handle->last_record_address;
    if (old_address == 0)
        return kNoPosition;  // no record read to replace
    const uint32_t size = length + kSlotHeaderSize;
    if (handle->last_slot_size >= size) {
        const Status status = write_slot(
            handle, old_address, lay_out_slot(handle, data, length, handle->last_slot_size));
        if (status == kOk)
            *address = old_address;
        return status;
    }

    // The record moves. Without a hook the index could not follow it.
    if (handle->shift_tree == nullptr)
        return kIoError;
    restart_append_buffer(handle);
    uint32_t new_address = 0;
    uint32_t new_size = 0;
    Status status = store_in_new_space(handle, data, length, &new_address, &new_size);
    if (status != kOk)
        return status;
    // The record buffer still holds the new slot; its data follows the header.
    const int32_t delta = static_cast<int32_t>(new_address - old_address);
    status = status_of_result(
        handle->shift_tree(handle, handle->record_buffer.get() + kSlotHeaderSize, 1, delta));
    if (status != kOk) {
        // The index still names the old slot, which still holds the record.
        release_slot(handle, new_address);
        return status;
    }
    *address = new_address;
    handle->last_record_address = new_address;
    handle->last_slot_size = new_size;
    // The new copy is in the file before the old one is freed there, so
    // that a process dying in between leaves a copy of the record in the
    // store for a rebuild to find.
    return free_slot(handle, old_address);
}

// True when a slot header read from the file is that of a record the
// record buffer can hold.
bool valid_record_header(const StoreHandle* handle, const SlotHeader& slot) {
    return slot.is_record() &&
           slot.length - kSlotHeaderSize <= handle->header().max_record_length();
}

// Reads the slot at `address` from the append buffer: header, data and slack
// word into the record buffer's layout. The whole slot must lie in what the
// buffer holds.
Status read_buffered_slot(StoreHandle* handle, uint32_t address, SlotHeader* slot,
                          uint32_t* slack) {
    const uint32_t at = address - handle->write_buffer_offset;
    const uint32_t held = handle->write_buffer_fill - at;
    const unsigned char* bytes = handle->write_buffer.get() + at;
    if (held < kSlotHeaderSize)
        return kIoError;
    *slot = decode_slot_header(bytes);
    if (!valid_record_header(handle, *slot) || slot->length > held)
        return kIoError;
    const uint32_t data_length = slot->length - kSlotHeaderSize;
    std::memcpy(handle->record_buffer.get(), bytes + kSlotHeaderSize, data_length);
    *slack = slot->short_slack();
    if (slot->has_slack() && *slack == 0) {
        if (held - slot->length < kSlackWordSize)
            return kIoError;
        *slack = platform::load_u32(bytes + slot->length);
        if (*slack < kSlackWordSize)
            return kIoError;
    }
    if (uint64_t{slot->length} + *slack > held)
        return kIoError;
    return kOk;
}

// Reads the slot at `address` from the file into the record buffer: one read
// of up to 4 KiB takes the header, the data and a slack word together; a
// longer slot gets a second read for the rest.
Status read_filed_slot(StoreHandle* handle, uint32_t address, SlotHeader* slot, uint32_t* slack) {
    unsigned char* buffer = handle->record_buffer.get();
    const uint32_t want = handle->record_buffer_size < 4096 ? handle->record_buffer_size : 4096;
    uint32_t got = 0;
    engine::IoOutcome outcome = handle->io.read_at(address, buffer, want, &got);
    if (outcome.kind == engine::IoOutcome::kEndOfFile)
        return kEndOfFile;
    if (!outcome.ok())
        return io_status(outcome);
    if (got < kSlotHeaderSize)
        return kIoError;
    *slot = decode_slot_header(buffer);
    if (!valid_record_header(handle, *slot))
        return kIoError;
    *slack = slot->short_slack();
    const bool slack_word = slot->has_slack() && *slack == 0;
    const uint32_t data_length = slot->length - kSlotHeaderSize;
    const uint32_t count = slot->length + (slack_word ? kSlackWordSize : 0);
    if (got < count) {
        uint32_t more = 0;
        outcome = handle->io.read_at(address + got, buffer + got, count - got, &more);
        if (outcome.kind == engine::IoOutcome::kEndOfFile || (outcome.ok() && more != count - got))
            return kIoError;
        if (!outcome.ok())
            return io_status(outcome);
    }
    if (slack_word) {
        *slack = platform::load_u32(buffer + slot->length);
        if (*slack < kSlackWordSize)
            return kIoError;
    }
    std::memmove(buffer, buffer + kSlotHeaderSize, data_length);
    if (slot->has_slack()) {
        uint64_t end = 0;
        Status status = logical_file_end(handle, &end);
        if (status != kOk)
            return status;
        if (uint64_t{address} + slot->length + *slack > end)
            return kIoError;  // slack reaching past the end of the file
    }
    return kOk;
}

}  // namespace

}  // namespace kvr::store

using namespace kvr::store;

extern "C" void _vmq_prefetch_record(StoreHandle* handle, uint32_t address) {
    // The slot header and the record, as far as one read takes them.
    if (address >= handle->header_size && handle->record_buffer)
        handle->io.prefetch(address,
                            handle->record_buffer_size < 256 ? handle->record_buffer_size : 256);
}

namespace kvr::store {

Status open_data_records(StoreHandle* handle) {
    FileHeader header = handle->header();
    const uint32_t longest = header.max_record_length();
    if (longest > kMaxSlotDataLength)
        return kRecordTooLong;  // no slot could hold such a record
    handle->record_buffer.reset(new (std::nothrow) unsigned char[longest + kRecordBufferExtra]);
    if (!handle->record_buffer) {
        handle->record_buffer_size = 0;
        return kNoMemory;
    }
    handle->record_buffer_size = longest + kRecordBufferExtra;
    handle->buffered_record_address = 0;
    handle->known_file_end = 0;
    header.set_size_class_count(size_class_count_for(header));
    handle->last_record_address = 0;
    handle->last_slot_size = 0;
    handle->write_buffer_offset = 0;
    handle->write_buffer_fill = 0;
    handle->write_buffer.reset();
    if (header.open_for_update() && longest <= kAppendBufferRecordLimit)
        handle->write_buffer.reset(new (std::nothrow) unsigned char[kAppendBufferSize]);
    return kOk;
}

Status close_data_records(StoreHandle* handle) {
    // Every record is in the file already: nothing is left to write.
    restart_append_buffer(handle);
    handle->write_buffer.reset();
    handle->record_buffer.reset();
    handle->record_buffer_size = 0;
    handle->buffered_record_address = 0;
    handle->last_record_address = 0;
    handle->last_slot_size = 0;
    return kOk;
}

Status get_record(StoreHandle* handle, uint32_t address, unsigned char** data, uint32_t* length) {
    if (handle->record_buffer && address != 0 && address == handle->buffered_record_address) {
        handle->last_record_address = address;
        handle->last_slot_size = handle->buffered_slot_size;
        *data = handle->record_buffer.get();
        if (length != nullptr)
            *length = handle->buffered_record_length;
        return kOk;
    }
    handle->buffered_record_address = 0;
    handle->last_record_address = 0;
    handle->last_slot_size = 0;
    if (!handle->record_buffer)
        return kNotOpen;
    if (address < handle->header_size)
        return kIoError;
    SlotHeader slot;
    uint32_t slack = 0;
    const Status status = in_append_buffer(handle, address)
                              ? read_buffered_slot(handle, address, &slot, &slack)
                              : read_filed_slot(handle, address, &slot, &slack);
    if (status != kOk)
        return status;
    if (uint64_t{slot.length} + slack > kMaxSlotSize)
        return kIoError;  // no slot is larger than its length field can name
    handle->last_record_address = address;
    handle->last_slot_size = slot.length + slack;
    handle->buffered_record_address = address;
    handle->buffered_record_length = slot.length - kSlotHeaderSize;
    handle->buffered_slot_size = slot.length + slack;
    *data = handle->record_buffer.get();
    if (length != nullptr)
        *length = slot.length - kSlotHeaderSize;
    return kOk;
}

Status put_record(StoreHandle* handle, uint32_t* address, const unsigned char* data,
                  uint32_t length, PutMode mode) {
    if (!handle->record_buffer)
        return kNotOpen;
    if (length > handle->header().max_record_length())
        return kRecordTooLong;
    if (mode == PutMode::kRewrite)
        return rewrite_record(handle, data, length, address);
    uint32_t slot_size = 0;
    return store_in_new_space(handle, data, length, address, &slot_size);
}

Status delete_record(StoreHandle* handle, uint32_t address) {
    if (!handle->record_buffer)
        return kNotOpen;
    KnownSlot known;
    const bool is_known = address == handle->buffered_record_address && address != 0;
    if (is_known) {
        known.length = handle->buffered_record_length + kSlotHeaderSize;
        known.full = handle->buffered_slot_size;
    }
    handle->buffered_record_address = 0;
    if (address == handle->last_record_address) {
        // The record last read is gone: nothing is left to rewrite.
        handle->last_record_address = 0;
        handle->last_slot_size = 0;
    }
    return release_slot(handle, address, is_known ? &known : nullptr);
}

}  // namespace kvr::store

extern "C" int _vmq_open_data_records(StoreHandle* handle) {
    return code(open_data_records(handle));
}

extern "C" int _vmq_close_data_records(StoreHandle* handle) {
    return code(close_data_records(handle));
}

extern "C" int _vmq_get_record(StoreHandle* handle, uint32_t address, unsigned char** data,
                               uint32_t* length) {
    return code(get_record(handle, address, data, length));
}

extern "C" int _vmq_put_record(StoreHandle* handle, uint32_t* address, const unsigned char* data,
                               uint32_t length, uint8_t mode) {
    return code(
        put_record(handle, address, data, length, mode != 0 ? PutMode::kRewrite : PutMode::kWrite));
}

extern "C" int _vmq_delete_record(StoreHandle* handle, uint32_t address) {
    return code(delete_record(handle, address));
}
