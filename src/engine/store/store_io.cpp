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

Status status_of_result(engine::Result result) {
    switch (result) {
        case engine::kOk:
            return kOk;
        case engine::kNotOpen:
            return kNotOpen;
        case engine::kNotFound:
            return kNotFound;
        case engine::kDuplicate:
            return kDuplicate;
        case engine::kEndOfFile:
            return kEndOfFile;
        case engine::kNoPosition:
            return kNoPosition;
        case engine::kNoSpace:
            return kNoSpace;
        case engine::kAccessDenied:
            return kAccessDenied;
        case engine::kLockViolation:
            return kLockViolation;
        case engine::kSharingViolation:
            return kSharingViolation;
        case engine::kRecordTooLong:
            return kRecordTooLong;
        case engine::kInvalidFile:
            return kInvalidFile;
        default:
            return kIoError;
    }
}

Status io_status(engine::IoOutcome outcome) {
    const Status status = status_of_result(engine::store_status(outcome));
    if (!outcome.ok() && status == kOk)
        return kIoError;
    return status;
}

Status read_exact(const StoreHandle* handle, uint32_t at, void* buffer, uint32_t count,
                  Status at_end) {
    uint32_t got = 0;
    engine::IoOutcome outcome = handle->io.read_at(at, buffer, count, &got);
    if (outcome.kind == engine::IoOutcome::kEndOfFile)
        return at_end;
    if (!outcome.ok())
        return io_status(outcome);
    return got == count ? kOk : kIoError;
}

Status write_exact(const StoreHandle* handle, uint32_t at, const void* buffer, uint32_t count) {
    return io_status(handle->io.write_at(at, buffer, count));
}

Status append_exact(const StoreHandle* handle, uint32_t at, const void* buffer, uint32_t count) {
    const Status status = write_exact(handle, at, buffer, count);
    if (status != kOk)
        handle->io.truncate(at);
    return status;
}

Status write_spaces(const StoreHandle* handle, uint32_t at, uint64_t count) {
    while (count > 0) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(count, kSpaceChunk));
        const Status status = io_status(handle->io.write_on_at(at, kSpaces.data(), chunk));
        if (status != kOk)
            return status;
        at += chunk;
        count -= chunk;
    }
    return kOk;
}

Status logical_file_end(const StoreHandle* handle, uint64_t* end) {
    uint32_t physical = 0;
    const Status status = io_status(handle->io.seek_end(&physical));
    if (status != kOk)
        return status;
    *end = physical;
    if (handle->write_buffer_fill != 0)
        *end = std::max<uint64_t>(
            *end, uint64_t{handle->write_buffer_offset} + handle->write_buffer_fill);
    return kOk;
}

}  // namespace kvr::store
