#include "engine/store/store_io.h"

#include <algorithm>
#include <array>

#include "engine/results.h"
#include "engine/store/slot.h"

namespace kvr::store {

namespace {

constexpr uint32_t kSpaceChunk = 512;

constexpr std::array<unsigned char, kSpaceChunk> make_spaces() {
    std::array<unsigned char, kSpaceChunk> spaces{};
    spaces.fill(kSlackByte);
    return spaces;
}

constexpr std::array<unsigned char, kSpaceChunk> kSpaces = make_spaces();

}  // namespace

int io_status(engine::IoOutcome outcome) {
    const int status = engine::store_status(outcome);
    if (!outcome.ok() && status == engine::kOk)
        return engine::kIoError;
    return status;
}

int read_exact(const StoreHandle* handle, uint32_t at, void* buffer, uint32_t count, int at_end) {
    uint32_t got = 0;
    engine::IoOutcome outcome = handle->io.read_at(at, buffer, count, &got);
    if (outcome.kind == engine::IoOutcome::kEndOfFile)
        return at_end;
    if (!outcome.ok())
        return io_status(outcome);
    return got == count ? engine::kOk : engine::kIoError;
}

int write_exact(const StoreHandle* handle, uint32_t at, const void* buffer, uint32_t count) {
    return io_status(handle->io.write_at(at, buffer, count));
}

int append_exact(const StoreHandle* handle, uint32_t at, const void* buffer, uint32_t count) {
    const int status = write_exact(handle, at, buffer, count);
    if (status != engine::kOk)
        handle->io.truncate(at);
    return status;
}

int write_spaces(const StoreHandle* handle, uint64_t count) {
    while (count > 0) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(count, kSpaceChunk));
        const int status = io_status(handle->io.write(kSpaces.data(), chunk));
        if (status != engine::kOk)
            return status;
        count -= chunk;
    }
    return engine::kOk;
}

int logical_file_end(const StoreHandle* handle, uint64_t* end) {
    uint32_t physical = 0;
    const int status = io_status(handle->io.seek_end(&physical));
    if (status != engine::kOk)
        return status;
    *end = physical;
    if (handle->write_buffer_fill != 0)
        *end = std::max<uint64_t>(
            *end, uint64_t{handle->write_buffer_offset} + handle->write_buffer_fill);
    return engine::kOk;
}

}  // namespace kvr::store
