// Blocks of the block format and the avail list.
//
// In a block-format file all space after the header area is cut into blocks
// of sequence_set_size bytes (a header field). A block is a sequence set
// (type 4), an index page (its own layout, written over a block handed out
// here) or a free block (type 8) on the avail list. Block addresses are file
// offsets compared as signed 32-bit values, so the file stays below 2^31
// bytes: growth past that is refused.
//
// Block header, first 32 bytes of a free block (the rest of the block keeps
// its old contents; a sequence set gives the middle fields meanings of its
// own):
//   off  size  field
//     0     2  block type: 8 free, 4 sequence set
//     2    22  zero in a free block
//    24     4  next free block, 0 = end of the avail list
//    28     4  zero in a free block
//
// The avail list is a stack threaded through those links; its head is the
// header field avail_list_head, kept in the image while the file is open and
// written back with the header. A block handed out from it keeps its old
// bytes: the caller overwrites the whole block.
#include <limits>
#include <memory>
#include <new>

#include "engine/results.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

using kvr::engine::FileHeader;
using namespace kvr::store;

namespace {

constexpr uint32_t kBlockHeaderSize = 32;
constexpr uint16_t kFreeBlockType = 8;
constexpr uint32_t kLinkAt = 24;
// Offsets are signed 32-bit: no byte of the file may lie at 2^31 or beyond.
constexpr uint64_t kMaxBlockFileEnd = std::numeric_limits<int32_t>::max();

// True when a block at `address` may exist: after the header area and where
// a signed 32-bit offset can name it.
bool block_address_valid(const StoreHandle* handle, uint32_t address) {
    return address >= handle->header_size &&
           uint64_t{address} + kBlockHeaderSize <= kMaxBlockFileEnd;
}

}  // namespace

namespace kvr::store {

Status get_block(StoreHandle* handle, uint32_t* address, BlockSource source) {
    FileHeader header = handle->header();
    const uint32_t head = header.avail_list_head();
    if (head == 0) {
        if (source == BlockSource::kAvailListOnly)
            return kNoBlock;
        const uint32_t block_size = header.sequence_set_size();
        if (block_size < kBlockHeaderSize)
            return kIoError;  // a damaged header: no block could hold its own header
        std::unique_ptr<unsigned char[]> zeros(new (std::nothrow) unsigned char[block_size]());
        if (!zeros)
            return kNoMemory;
        uint32_t end = 0;
        const Status status = io_status(handle->io.seek_end(&end));
        if (status != kOk)
            return status;
        if (end < handle->header_size)
            return kIoError;  // a file shorter than its header
        if (uint64_t{end} + block_size > kMaxBlockFileEnd)
            return kNoSpace;
        // The address is the caller's also when the write fails.
        *address = end;
        return io_status(handle->io.write_on_at(end, zeros.get(), block_size));
    }

    if (!block_address_valid(handle, head))
        return kIoError;
    unsigned char bytes[kBlockHeaderSize];
    const Status status = read_exact(handle, head, bytes, kBlockHeaderSize, kEndOfFile);
    if (status != kOk)
        return status;
    const uint32_t next = kvr::platform::load_u32(bytes + kLinkAt);
    if (kvr::platform::load_u16(bytes) != kFreeBlockType || next == head ||
        (next != 0 && !block_address_valid(handle, next)))
        return kIoError;  // not a free block: a damaged avail list
    header.set_avail_list_head(next);
    *address = head;
    return kOk;
}

Status release_block(StoreHandle* handle, uint32_t address) {
    FileHeader header = handle->header();
    if (!block_address_valid(handle, address) || address == header.avail_list_head())
        return kIoError;  // never the header area, never a block twice in a row
    unsigned char bytes[kBlockHeaderSize] = {};
    kvr::platform::store_u16(bytes, kFreeBlockType);
    kvr::platform::store_u32(bytes + kLinkAt, header.avail_list_head());
    // The head changes before the write: a failed write still has the block
    // at the head of the list in memory.
    header.set_avail_list_head(address);
    return write_exact(handle, address, bytes, kBlockHeaderSize);
}

}  // namespace kvr::store

extern "C" int _vmq_get_block(StoreHandle* handle, uint32_t* address, int32_t no_extend) {
    return code(get_block(handle, address,
                          no_extend != 0 ? BlockSource::kAvailListOnly : BlockSource::kAnywhere));
}

extern "C" int _vmq_release_block(StoreHandle* handle, uint32_t address) {
    return code(release_block(handle, address));
}

extern "C" int _vmq_free_all_avail_list(StoreHandle*) {
    return code(kOk);  // the avail list lives in the file only
}
