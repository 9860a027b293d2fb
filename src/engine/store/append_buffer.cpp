#include "engine/store/append_buffer.h"

#include <cstring>

#include "engine/results.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

namespace kvr::store {

bool in_append_buffer(const StoreHandle* handle, uint32_t address) {
    return handle->write_buffer_fill != 0 && address >= handle->write_buffer_offset &&
           address - handle->write_buffer_offset < handle->write_buffer_fill;
}

void restart_append_buffer(StoreHandle* handle) {
    handle->write_buffer_offset = 0;
    handle->write_buffer_fill = 0;
}

Status place_appended_slot(StoreHandle* handle, uint32_t size, uint32_t* address, bool* buffered) {
    const bool use_buffer = handle->write_buffer != nullptr &&
                            !handle->header().immediate_free_space() && size <= kAppendBufferSize;
    if (!use_buffer) {
        restart_append_buffer(handle);
        uint32_t end = 0;
        const Status status = io_status(handle->io.seek_end(&end));
        if (status != kOk)
            return status;
        if (end < handle->header_size)
            return kIoError;  // a file shorter than its header
        if (!engine::fits_in_file(end, size))
            return kNoSpace;
        *address = end;
        *buffered = false;
        return kOk;
    }

    uint32_t base = handle->write_buffer_offset;
    if (base == 0) {
        const Status status = io_status(handle->io.seek_end(&base));
        if (status != kOk)
            return status;
        if (base < handle->header_size)
            return kIoError;
    }
    if (!engine::fits_in_file(uint64_t{base} + handle->write_buffer_fill, size))
        return kNoSpace;
    if (handle->write_buffer_fill + size > kAppendBufferSize) {
        // Full: it carries on behind the bytes it held, which are in the file.
        handle->write_buffer_offset = base + handle->write_buffer_fill;
        handle->write_buffer_fill = 0;
    } else {
        handle->write_buffer_offset = base;
    }
    *address = handle->write_buffer_offset + handle->write_buffer_fill;
    *buffered = true;
    return kOk;
}

Status append_buffered_slot(StoreHandle* handle, const unsigned char* bytes, uint32_t size) {
    const uint32_t address = handle->write_buffer_offset + handle->write_buffer_fill;
    const Status status = append_exact(handle, address, bytes, size);
    if (status != kOk)
        return status;
    std::memcpy(handle->write_buffer.get() + handle->write_buffer_fill, bytes, size);
    handle->write_buffer_fill += size;
    return kOk;
}

}  // namespace kvr::store
