#include "engine/store/append_buffer.h"

#include "engine/results.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

namespace kvr::store {

using engine::kOk;

namespace {

// Writes the buffered bytes at their offset. On success the buffer is empty;
// on failure it keeps them.
int write_out(StoreHandle* handle) {
    if (handle->write_buffer_fill == 0)
        return kOk;
    return write_exact(handle, handle->write_buffer_offset, handle->write_buffer.get(),
                       handle->write_buffer_fill);
}

}  // namespace

bool in_append_buffer(const StoreHandle* handle, uint32_t address) {
    return handle->write_buffer_fill != 0 && address >= handle->write_buffer_offset &&
           address - handle->write_buffer_offset < handle->write_buffer_fill;
}

int flush_append_buffer(StoreHandle* handle) {
    const int status = write_out(handle);
    if (status != kOk)
        return status;
    handle->write_buffer_offset = 0;
    handle->write_buffer_fill = 0;
    return kOk;
}

int place_appended_slot(StoreHandle* handle, uint32_t size, uint32_t* address, bool* buffered) {
    const bool use_buffer = handle->write_buffer != nullptr &&
                            !handle->header().immediate_free_space() && size <= kAppendBufferSize;
    if (!use_buffer) {
        // Buffered bytes belong at the end of the file: they go first.
        int status = flush_append_buffer(handle);
        if (status != kOk)
            return status;
        uint32_t end = 0;
        status = io_status(handle->io.seek_end(&end));
        if (status != kOk)
            return status;
        if (end < handle->header_size)
            return engine::kIoError;  // a file shorter than its header
        if (!engine::fits_in_file(end, size))
            return engine::kNoSpace;
        *address = end;
        *buffered = false;
        return kOk;
    }

    uint32_t base = handle->write_buffer_offset;
    if (base == 0) {
        const int status = io_status(handle->io.seek_end(&base));
        if (status != kOk)
            return status;
        if (base < handle->header_size)
            return engine::kIoError;
    }
    if (!engine::fits_in_file(uint64_t{base} + handle->write_buffer_fill, size))
        return engine::kNoSpace;
    if (handle->write_buffer_fill + size > kAppendBufferSize) {
        // Full: its bytes go to the file and it carries on behind them.
        const int status = write_out(handle);
        if (status != kOk)
            return status;
        handle->write_buffer_offset += handle->write_buffer_fill;
        handle->write_buffer_fill = 0;
    } else {
        handle->write_buffer_offset = base;
    }
    *address = handle->write_buffer_offset + handle->write_buffer_fill;
    *buffered = true;
    return kOk;
}

}  // namespace kvr::store
