// The buffer pool of the sequence sets: sizing and making it at open,
// writing it back at close, the ring of buffers ordered by use, and loading
// a set into a buffer. A set read from the file is checked whole before it
// is used; a damaged one gives 2 and leaves no buffer holding it.
#include "engine/store/sequence_set_pool.h"

#include <cstring>
#include <limits>
#include <new>

#include "engine/results.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

namespace kvr::store {

namespace {

// Offsets are signed 32-bit in this format: no byte lies at 2^31 or beyond.
constexpr uint64_t kMaxBlockFileEnd = std::numeric_limits<int32_t>::max();

SetBuffer& buffer_of(SequenceSetPool* pool, int i) {
    return pool->buffers[i];
}

void clear_buffer(SetBuffer* b) {
    b->first = 0;
    b->last = 0;
    b->block = 0;
    b->dirty = false;
    b->count_before = -1;
}

void unlink_buffer(SequenceSetPool* pool, int i) {
    SetBuffer& b = buffer_of(pool, i);
    buffer_of(pool, b.newer).older = b.older;
    buffer_of(pool, b.older).newer = b.newer;
}

// Links buffer i in between the head and the least recently used buffer.
void link_behind_head(SequenceSetPool* pool, int i) {
    SetBuffer& b = buffer_of(pool, i);
    if (pool->mru < 0) {
        b.newer = i;
        b.older = i;
        pool->mru = i;
        return;
    }
    const int head = pool->mru;
    const int least = buffer_of(pool, head).newer;
    b.older = head;
    b.newer = least;
    buffer_of(pool, head).newer = i;
    buffer_of(pool, least).older = i;
}

// Buffer i becomes the most recently used. It is always moved, never the
// ring rotated: a rotation would make the former head, which an operation
// may still hold, the next buffer to be reused.
void make_head(SequenceSetPool* pool, int i) {
    if (pool->mru == i)
        return;
    unlink_buffer(pool, i);
    link_behind_head(pool, i);
    pool->mru = i;
}

// The buffer holding the set at `block`, or -1.
int buffer_holding(const SequenceSetPool* pool, uint32_t block) {
    int i = pool->mru;
    for (int n = 0; n < pool->buffers_in_use && i >= 0; ++n) {
        const SetBuffer& b = pool->buffers[i];
        if (b.first != 0 && b.block == block)
            return i;
        i = b.older;
    }
    return -1;
}

// The buffer holding the set whose block contains `address`, or -1.
int buffer_covering(const SequenceSetPool* pool, uint32_t address) {
    int i = pool->mru;
    for (int n = 0; n < pool->buffers_in_use && i >= 0; ++n) {
        const SetBuffer& b = pool->buffers[i];
        if (b.first != 0 && b.block <= address && address - b.block < pool->set_size)
            return i;
        i = b.older;
    }
    return -1;
}

bool link_is_sound(uint32_t link, uint32_t block, uint32_t set_size, uint32_t header_size) {
    return !names_set(link) ||
           (link != block && set_block_address_valid(link, set_size, header_size));
}

}  // namespace

bool sequence_set_shape(uint32_t max_record_length, uint32_t index_block_size, SetShape* shape) {
    if (max_record_length <= 4064) {
        shape->set_size = index_block_size > 4096 ? index_block_size : 4096;
        shape->buffer_count = 256;
    } else if (max_record_length <= 16352) {
        shape->set_size = index_block_size > 16384 ? index_block_size : 16384;
        shape->buffer_count = 64;
    } else if (max_record_length <= kLargestSetRecord) {
        shape->set_size = kLargestSetSize;
        shape->buffer_count = kFewestBuffers;
    } else {
        return false;
    }
    return shape->set_size <= kLargestSetSize;
}

bool set_block_address_valid(uint32_t block, uint32_t set_size, uint32_t header_size) {
    return block >= header_size && uint64_t{block} + set_size <= kMaxBlockFileEnd;
}

namespace {

// Where the records of a set image lie: the last one's header, and the end
// of the records.
struct SetRecords {
    uint32_t last = kSetHeaderSize;
    uint32_t end = kSetHeaderSize;
};

// Walks the first `count` records of a set image: each must lie inside the
// set and hold at most max_length bytes, and (when owner is not null) name
// *owner as its set. False when one does not.
bool walk_set_records(const unsigned char* image, uint32_t set_size, int32_t count,
                      uint32_t max_length, const uint32_t* owner, SetRecords* records) {
    uint32_t at = kSetHeaderSize;
    for (int32_t n = 0; n < count; ++n) {
        if (set_size - at < kSetRecordHeaderSize)
            return false;
        const uint32_t length = record_length_at(image, at);
        if (length > max_length || length > set_size - at - kSetRecordHeaderSize ||
            (owner != nullptr && platform::load_u32(image + at + 4) != *owner))
            return false;
        records->last = at;
        at += kSetRecordHeaderSize + length;
    }
    records->end = at;
    return true;
}

}  // namespace

bool settle_set_header(unsigned char* image, uint32_t block, uint32_t set_size, int32_t count) {
    if (count < 0)
        return false;
    SetRecords records;
    if (!walk_set_records(image, set_size, count, set_size, nullptr, &records))
        return false;
    const uint32_t at = records.end;
    const uint32_t last = records.last;
    platform::store_u16(image, kSequenceSetType);
    platform::store_u16(image + 2, 0);
    platform::store_u32(image + kSetCountAt, static_cast<uint32_t>(count));
    platform::store_u32(image + kSetFirstAt, block + kFirstRecordAt);
    platform::store_u32(image + kSetLastAt, block + last + kSetRecordHeaderSize);
    platform::store_u32(image + kSetFreeAt, set_size - at);
    platform::store_u32(image + kSetEndAt, block + at);
    return true;
}

bool set_image_is_sound(const unsigned char* image, uint32_t block, uint32_t set_size,
                        uint32_t max_record_length, uint32_t header_size) {
    const int32_t count = set_count(image);
    if (platform::load_u16(image) != kSequenceSetType || count < 1 ||
        static_cast<uint32_t>(count) > (set_size - kSetHeaderSize) / kSetRecordHeaderSize ||
        platform::load_u32(image + kSetFirstAt) != block + kFirstRecordAt)
        return false;
    SetRecords records;
    if (!walk_set_records(image, set_size, count, max_record_length, &block, &records))
        return false;
    const uint32_t at = records.end;
    const uint32_t last = records.last;
    return platform::load_u32(image + kSetLastAt) == block + last + kSetRecordHeaderSize &&
           set_end(image) == block + at && set_free(image) == set_size - at &&
           link_is_sound(set_next(image), block, set_size, header_size) &&
           link_is_sound(set_previous(image), block, set_size, header_size);
}

Status flush_sequence_set_buffer(StoreHandle* handle, int i) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    SetBuffer& b = buffer_of(pool, i);
    if (!b.dirty)
        return kOk;
    const Status status = write_exact(handle, b.block, pool->image(i), pool->set_size);
    if (status == kOk)
        b.dirty = false;
    return status;
}

Status write_changed_sets(StoreHandle* handle) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    Status status = kOk;
    for (const bool shrunk : {false, true}) {
        for (int i = 0; i < pool->buffers_in_use && status == kOk; ++i) {
            const SetBuffer& b = pool->buffers[i];
            if (b.first != 0 &&
                (b.count_before >= 0 && set_count(pool->image(i)) < b.count_before) == shrunk)
                status = flush_sequence_set_buffer(handle, i);
        }
    }
    for (int i = 0; i < pool->buffers_in_use; ++i)
        pool->buffers[i].count_before = -1;
    return status;
}

Status take_set_buffer(StoreHandle* handle, int* buffer) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    if (pool->buffers_in_use < pool->buffer_count) {
        const int i = pool->buffers_in_use++;
        SetBuffer& b = buffer_of(pool, i);
        clear_buffer(&b);
        link_behind_head(pool, i);
        pool->mru = i;
        *buffer = i;
        return kOk;
    }
    const int i = buffer_of(pool, pool->mru).newer;
    SetBuffer& b = buffer_of(pool, i);
    if (b.first != 0) {
        // A failed write keeps the set where it is, still changed.
        const Status status = flush_sequence_set_buffer(handle, i);
        if (status != kOk)
            return status;
    }
    clear_buffer(&b);
    make_head(pool, i);
    *buffer = i;
    return kOk;
}

void discard_set_buffer(SequenceSetPool* pool, int i) {
    clear_buffer(&buffer_of(pool, i));
    if (pool->buffers_in_use < 2)
        return;
    if (pool->mru == i) {
        // Its older neighbour leads now, which leaves it the least recent.
        pool->mru = buffer_of(pool, i).older;
        return;
    }
    unlink_buffer(pool, i);
    link_behind_head(pool, i);
}

void forget_set_block(SequenceSetPool* pool, uint32_t block, int keep) {
    for (int i = 0; i < pool->buffers_in_use; ++i) {
        if (i != keep && pool->buffers[i].first != 0 && pool->buffers[i].block == block)
            discard_set_buffer(pool, i);
    }
}

namespace {

void forget_sets(SequenceSetPool* pool, bool changed_too) {
    for (int i = 0; i < pool->buffers_in_use; ++i) {
        if (pool->buffers[i].first != 0 && (changed_too || !pool->buffers[i].dirty))
            discard_set_buffer(pool, i);
    }
}

}  // namespace

void forget_unchanged_sets(SequenceSetPool* pool) {
    forget_sets(pool, false);
}

void forget_all_sets(SequenceSetPool* pool) {
    forget_sets(pool, true);
}

Status load_sequence_set(StoreHandle* handle, uint32_t address, int* buffer) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    const uint32_t set_size = pool->set_size;
    if (address < handle->header_size + kFirstRecordAt || address >= kMaxBlockFileEnd)
        return kIoError;
    int i = pool->mru;
    for (int n = 0; n < pool->buffers_in_use && i >= 0; ++n) {
        const SetBuffer& b = pool->buffers[i];
        if (b.first != 0 && b.first <= address && address <= b.last) {
            make_head(pool, i);
            *buffer = i;
            return kOk;
        }
        i = b.older;
    }

    // The record's header names the block that holds it.
    unsigned char record_header[kSetRecordHeaderSize];
    Status status = read_exact(handle, address - kSetRecordHeaderSize, record_header,
                               kSetRecordHeaderSize, kIoError);
    if (status != kOk)
        return status;
    const uint32_t owner = platform::load_u32(record_header + 4);
    // An owner below 1: a block appended and never written, all zeros. It
    // reads as an empty set whose first record would be at the address.
    const bool unwritten = static_cast<int32_t>(owner) < 1;
    const uint32_t block = unwritten ? address - kFirstRecordAt : owner;
    if (!set_block_address_valid(block, set_size, handle->header_size) ||
        address < block + kFirstRecordAt || address - block >= set_size)
        return kIoError;
    // A block has one buffer at most, and what the file holds of a resident
    // block may be out of date: an address inside a resident block that its
    // range did not cover is no record of it, whatever the file says.
    i = buffer_covering(pool, address);
    if (i >= 0) {
        make_head(pool, i);
        *buffer = i;
        return kOk;
    }

    status = take_set_buffer(handle, &i);
    if (status != kOk)
        return status;
    unsigned char* image = pool->image(i);
    SetBuffer& b = buffer_of(pool, i);
    if (unwritten) {
        std::memset(image, 0, set_size);
        platform::store_u16(image, kSequenceSetType);
        platform::store_u32(image + kSetFirstAt, address);
        platform::store_u32(image + kSetLastAt, address);
        platform::store_u32(image + kSetFreeAt, set_size - kSetHeaderSize);
        platform::store_u32(image + kSetEndAt, address - kSetRecordHeaderSize);
        b.first = address;
        b.last = address;
        b.block = block;
        b.dirty = false;
        *buffer = i;
        return kOk;
    }
    status = read_exact(handle, block, image, set_size, kIoError);
    if (status == kOk &&
        !set_image_is_sound(image, block, set_size, handle->header().max_record_length(),
                            handle->header_size))
        status = kIoError;
    if (status != kOk) {
        discard_set_buffer(pool, i);
        return status;
    }
    b.first = platform::load_u32(image + kSetFirstAt);
    b.last = platform::load_u32(image + kSetLastAt);
    b.block = block;
    b.dirty = false;
    *buffer = i;
    return kOk;
}

Status load_set_at(StoreHandle* handle, uint32_t block, int* buffer) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    if (!set_block_address_valid(block, pool->set_size, handle->header_size))
        return kIoError;
    const Status status = load_sequence_set(handle, block + kFirstRecordAt, buffer);
    if (status != kOk)
        return status;
    if (pool->buffers[*buffer].block != block || set_count(pool->image(*buffer)) < 1) {
        // A link that names a block holding no set (an all-zero block on a
        // damaged file): the empty image read is not kept.
        if (!pool->buffers[*buffer].dirty)
            discard_set_buffer(pool, *buffer);
        return kIoError;
    }
    return kOk;
}

Status add_to_avail_list(StoreHandle* handle, uint32_t block, int buffer) {
    // The records that left the set reach their new sets in the file before
    // its block is given up there.
    Status status = handle->sequence_sets ? write_changed_sets(handle) : kOk;
    if (status == kOk)
        status = release_block(handle, block);
    if (buffer >= 0 && handle->sequence_sets)
        discard_set_buffer(handle->sequence_sets.get(), buffer);
    return status;
}

const unsigned char* resident_sequence_set(const StoreHandle* handle, uint32_t block) {
    const SequenceSetPool* pool = handle->sequence_sets.get();
    if (pool == nullptr)
        return nullptr;
    const int i = buffer_holding(pool, block);
    return i >= 0 ? pool->image(i) : nullptr;
}

void use_set_buffer(SequenceSetPool* pool, int buffer) {
    make_head(pool, buffer);
}

}  // namespace kvr::store

using namespace kvr::store;

namespace kvr::store {

Status allocate_sequence_sets(StoreHandle* handle) {
    handle->sequence_sets.reset();
    kvr::engine::FileHeader header = handle->header();
    SetShape shape;
    if (!sequence_set_shape(header.max_record_length(), header.index_block_size(), &shape))
        return kRecordsTooLong;
    // Blocks cut in another size cannot be read in this one: a file that
    // holds records, or blocks on the avail list, keeps its size.
    const bool has_blocks = header.record_count() > 0 || header.avail_list_head() != 0 ||
                            names_set(header.first_sequence_set());
    if (has_blocks && header.sequence_set_size() != shape.set_size)
        return kSetSizeChanged;
    std::unique_ptr<SequenceSetPool> pool(new (std::nothrow) SequenceSetPool);
    if (!pool)
        return kNoMemory;
    pool->set_size = shape.set_size;
    pool->buffer_count = shape.buffer_count;
    pool->buffers.reset(new (std::nothrow) SetBuffer[static_cast<size_t>(shape.buffer_count)]);
    pool->images.reset(
        new (std::nothrow) unsigned char[static_cast<size_t>(shape.set_size) * shape.buffer_count]);
    if (!pool->buffers || !pool->images)
        return kNoMemory;
    header.set_sequence_set_size(shape.set_size);
    header.set_index_block_size(shape.set_size);
    handle->sequence_sets = std::move(pool);
    return kOk;
}

Status free_all_sequence_sets(StoreHandle* handle) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    if (pool == nullptr)
        return kOk;
    Status status = kOk;
    for (int i = 0; i < pool->buffers_in_use; ++i) {
        if (pool->buffers[i].first == 0)
            continue;
        status = flush_sequence_set_buffer(handle, i);
        if (status != kOk)
            break;
    }
    handle->sequence_sets.reset();
    return status;
}

}  // namespace kvr::store

extern "C" int _vmq_allocate_sequence_sets(StoreHandle* handle) {
    return code(allocate_sequence_sets(handle));
}

extern "C" int _vmq_free_all_sequence_sets(StoreHandle* handle) {
    return code(free_all_sequence_sets(handle));
}
