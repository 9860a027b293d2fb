// Index blocks of the slot format: the pages of the B+trees. Freed blocks
// are kept last-in, first-out on list 0 of the free-space table and reused
// before the file grows.
//
// Free index block, first 12 bytes (the rest keeps its old contents):
//   0  1  0x08 (slot type free)
//   1  3  index_block_size (24-bit)
//   4  4  next free index block, 0 = end of the list
//   8  4  0
#include <memory>
#include <new>

#include "engine/results.h"
#include "engine/store/slot.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

using kvr::engine::FileHeader;
using namespace kvr::store;

namespace {

// An index block must hold its free header, and its size must fit the
// 24-bit size field of that header.
bool block_size_valid(uint32_t block_size) {
    return block_size >= kFreeHeaderSize && block_size <= kMaxSlotSize;
}

}  // namespace

namespace kvr::store {

Status get_index_block(StoreHandle* handle, uint32_t* address) {
    FileHeader header = handle->header();
    const uint32_t block_size = header.index_block_size();
    if (!block_size_valid(block_size))
        return kIoError;  // a damaged header
    const uint32_t head = header.index_block_list();
    if (head == 0) {
        // The block goes behind the records of the append buffer, which are
        // in the file; the buffer then starts again at the file's new end.
        restart_append_buffer(handle);
        uint32_t end = 0;
        Status status = io_status(handle->io.seek_end(&end));
        if (status != kOk)
            return status;
        if (end < handle->header_size)
            return kIoError;  // a file shorter than its header
        if (!kvr::engine::fits_in_file(end, block_size))
            return kNoSpace;
        std::unique_ptr<unsigned char[]> zeros(new (std::nothrow) unsigned char[block_size]());
        if (!zeros)
            return kNoMemory;
        status = io_status(handle->io.write_on_at(end, zeros.get(), block_size));
        if (status != kOk) {
            handle->io.truncate(end);  // no block cut short at the end
            return status;
        }
        *address = end;
        return status;
    }

    if (head < handle->header_size)
        return kIoError;  // a free list pointing into the header
    unsigned char free_header[kFreeHeaderSize];
    // A head past the end of the file is a damaged list, not the end.
    const Status status = read_exact(handle, head, free_header, kFreeHeaderSize, kIoError);
    if (status != kOk)
        return status;
    const FreeHeader free = decode_free_header(free_header);
    const uint32_t next = free.next;
    if (free.flags != kSlotTypeFree || free.size != block_size || next == head ||
        (next != 0 && next < handle->header_size))
        return kIoError;  // not a free index block: damaged list
    header.set_index_block_list(next);
    *address = head;
    if (header.immediate_free_space())
        return write_free_space_table(handle);
    return kOk;
}

Status release_index_block(StoreHandle* handle, uint32_t address) {
    FileHeader header = handle->header();
    if (!block_size_valid(header.index_block_size()))
        return kIoError;
    // Never a block of the header area, never the same block twice in a row
    // (it would link to itself).
    if (address < handle->header_size || address == header.index_block_list())
        return kIoError;
    // A seek that fails leaves the list as it was; a write that fails
    // leaves the block at its head.
    Status status = io_status(handle->io.seek(address));
    if (status != kOk)
        return status;
    unsigned char free_header[kFreeHeaderSize];
    FreeHeader free;
    free.size = header.index_block_size();
    free.next = header.index_block_list();
    encode_free_header(free_header, free);
    header.set_index_block_list(address);
    status = io_status(handle->io.write_on_at(address, free_header, kFreeHeaderSize));
    if (status == kOk && header.immediate_free_space())
        status = write_free_space_table(handle);
    return status;
}

}  // namespace kvr::store

extern "C" int _vmq_get_index_block(StoreHandle* handle, uint32_t* address, int) {
    return code(get_index_block(handle, address));
}

extern "C" int _vmq_release_index_block(StoreHandle* handle, uint32_t address) {
    return code(release_index_block(handle, address));
}
