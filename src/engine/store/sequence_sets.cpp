// Records of the block format: reading, writing, rewriting and deleting a
// record in its sequence set, and the split, merge and balance that keep
// the sets between half full and full. The layout is in sequence_set.h, the
// buffer pool in sequence_set_pool.cpp.
//
// Every record a put or delete changed is in the file when it returns: the
// changed sets are written at its end (the pool keeps them for reading).
//
// Every change is made to the sets' images in the pool and the headers are
// settled from the records before anything is reported to the index, so a
// shift hook that fails leaves every set matching its contents; its status
// is passed on and the operation carries on to the end. I/O that can fail
// (loading a neighbour, taking a block) comes before the first change of
// each step, so a failure there leaves the sets as they were after the
// steps already done.
#include <cstring>
#include <memory>
#include <new>

#include "engine/results.h"
#include "engine/store/sequence_set_pool.h"
#include "engine/store/store.h"
#include "engine/store/store_io.h"

namespace kvr::store {

namespace {

// A set held in a buffer for the length of an operation.
struct HeldSet {
    int buffer = -1;
    unsigned char* image = nullptr;
    uint32_t block = 0;

    bool held() const { return buffer >= 0; }
    int32_t count() const { return set_count(image); }
    uint32_t used_end() const { return set_end(image) - block; }  // offset behind the records
};

HeldSet hold(StoreHandle* handle, int buffer) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    return HeldSet{buffer, pool->image(buffer), pool->buffers[buffer].block};
}

// The set's header follows its records and count; the buffer is changed.
Status settle(StoreHandle* handle, const HeldSet& set, int32_t count) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    const int32_t before = set_count(set.image);
    if (!settle_set_header(set.image, set.block, pool->set_size, count))
        return kIoError;
    SetBuffer& b = pool->buffers[set.buffer];
    if (b.count_before < 0)
        b.count_before = before;
    b.first = platform::load_u32(set.image + kSetFirstAt);
    b.last = platform::load_u32(set.image + kSetLastAt);
    b.dirty = true;
    return kOk;
}

void touch(StoreHandle* handle, const HeldSet& set) {
    handle->sequence_sets->buffers[set.buffer].dirty = true;
}

// Offset of record `index` (0-based; index == count gives the end).
uint32_t record_offset(const HeldSet& set, int32_t index) {
    uint32_t at = kSetHeaderSize;
    for (int32_t n = 0; n < index; ++n)
        at += kSetRecordHeaderSize + record_length_at(set.image, at);
    return at;
}

// The index of the record whose data starts at `address`, and its offset;
// -1 when no record does.
int32_t find_record(const HeldSet& set, uint32_t address, uint32_t* offset) {
    const uint64_t want = uint64_t{address} - set.block;
    uint32_t at = kSetHeaderSize;
    const int32_t count = set.count();
    for (int32_t n = 0; n < count; ++n) {
        if (at + uint64_t{kSetRecordHeaderSize} == want) {
            *offset = at;
            return n;
        }
        if (at + uint64_t{kSetRecordHeaderSize} > want)
            return -1;
        at += kSetRecordHeaderSize + record_length_at(set.image, at);
    }
    return -1;
}

// Names `block` as the owner of `count` records from offset `at`.
void set_owners(unsigned char* image, uint32_t at, int32_t count, uint32_t block) {
    for (int32_t n = 0; n < count; ++n) {
        platform::store_u32(image + at + 4, block);
        at += kSetRecordHeaderSize + record_length_at(image, at);
    }
}

Status report_move(StoreHandle* handle, const unsigned char* record, int32_t count, int32_t delta) {
    if (count <= 0 || delta == 0)
        return kOk;
    return status_of_result(handle->shift_tree(handle, record, count, delta));
}

void keep_first_failure(Status* status, Status next) {
    if (*status == kOk)
        *status = next;
}

Status load_neighbour(StoreHandle* handle, uint32_t link, HeldSet* set) {
    *set = HeldSet{};
    if (!names_set(link))
        return kOk;
    int buffer = -1;
    const Status status = load_set_at(handle, link, &buffer);
    if (status == kOk)
        *set = hold(handle, buffer);
    return status;
}

// Appends a block of the set size at the file's end, written with the
// image of buffer i: an empty set, well formed, so that a process dying
// before the set's records reach it leaves nothing a rebuild takes for
// damage.
Status append_set_block(StoreHandle* handle, int i, uint32_t* block) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    unsigned char* image = pool->image(i);
    std::memset(image, 0, pool->set_size);
    uint32_t end = 0;
    Status status = io_status(handle->io.seek_end(&end));
    if (status != kOk)
        return status;
    if (end < handle->header_size)
        return kIoError;
    if (!set_block_address_valid(end, pool->set_size, handle->header_size))
        return kNoSpace;
    settle_set_header(image, end, pool->set_size, 0);
    status = append_exact(handle, end, image, pool->set_size);
    if (status == kOk)
        *block = end;
    return status;
}

// A buffer for a new set and the block it goes to: with kAvailListOnly a
// block from the avail list, else one appended to the file; with kAnywhere
// the block get_block hands out, its address checked. The image starts
// from zeros (a block from the avail list keeps its old bytes on disk),
// linked to no set. Nothing is built on a block that was not handed out.
Status take_new_set(StoreHandle* handle, BlockSource source, int* buffer, uint32_t* block) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    int i = -1;
    Status status = take_set_buffer(handle, &i);
    if (status != kOk)
        return status;
    status = get_block(handle, block, source);
    if (source == BlockSource::kAvailListOnly && status == kNoBlock)
        status = append_set_block(handle, i, block);
    if (source == BlockSource::kAnywhere && status == kOk &&
        !set_block_address_valid(*block, pool->set_size, handle->header_size))
        status = kIoError;
    if (status != kOk) {
        discard_set_buffer(pool, i);
        return status;
    }
    forget_set_block(pool, *block, i);
    std::memset(pool->image(i), 0, pool->set_size);
    set_next_link(pool->image(i), kNoSet);
    set_previous_link(pool->image(i), kNoSet);
    *buffer = i;
    return kOk;
}

// A new, empty set in a buffer. Its links are the caller's to set.
Status new_sequence_set(StoreHandle* handle, HeldSet* set) {
    int i = -1;
    uint32_t block = 0;
    const Status status = take_new_set(handle, BlockSource::kAvailListOnly, &i, &block);
    if (status != kOk)
        return status;
    handle->sequence_sets->buffers[i].block = block;
    *set = hold(handle, i);
    return settle(handle, *set, 0);
}

// A new, empty set linked in right behind `set`.
Status new_set_after(StoreHandle* handle, const HeldSet& set, HeldSet* fresh) {
    HeldSet following;
    Status status = load_neighbour(handle, set_next(set.image), &following);
    if (status == kOk)
        status = new_sequence_set(handle, fresh);
    if (status != kOk)
        return status;
    set_next_link(fresh->image, set_next(set.image));
    set_previous_link(fresh->image, set.block);
    set_next_link(set.image, fresh->block);
    touch(handle, set);
    if (following.held()) {
        set_previous_link(following.image, fresh->block);
        touch(handle, following);
    }
    return kOk;
}

// Splits `set`: its first `keep` records stay, the others move to a new set
// linked in behind it, which *moved receives. A failure of the report is
// kept in *reported.
Status split_sequence_set(StoreHandle* handle, const HeldSet& set, int32_t keep, HeldSet* moved,
                          Status* reported) {
    const int32_t count = set.count();
    const int32_t moving = count - keep;
    Status status = new_set_after(handle, set, moved);
    if (status != kOk)
        return status;
    const uint32_t from = record_offset(set, keep);
    const uint32_t bytes = set.used_end() - from;
    std::memcpy(moved->image + kSetHeaderSize, set.image + from, bytes);
    set_owners(moved->image, kSetHeaderSize, moving, moved->block);
    std::memset(set.image + from, 0, bytes);
    status = settle(handle, *moved, moving);
    if (status == kOk)
        status = settle(handle, set, keep);
    if (status != kOk)
        return status;
    const int32_t delta = static_cast<int32_t>((moved->block + kFirstRecordAt) -
                                               (set.block + from + kSetRecordHeaderSize));
    keep_first_failure(reported, report_move(handle, moved->image + kFirstRecordAt, moving, delta));
    return kOk;
}

// Writes the record into `set`: behind record `after` (-1: in front) for a
// new record, over record `index` for a rewrite. The set has room.
Status place_record(StoreHandle* handle, const HeldSet& set, int32_t index, bool rewrite,
                    const unsigned char* data, uint32_t length, uint32_t* address,
                    Status* reported) {
    const int32_t count = set.count();
    const uint32_t end = set.used_end();
    const uint32_t at = record_offset(set, rewrite ? index : index + 1);
    const uint32_t old_length = rewrite ? record_length_at(set.image, at) : 0;
    const uint32_t old_size = rewrite ? kSetRecordHeaderSize + old_length : 0;
    const uint32_t new_size = kSetRecordHeaderSize + length;
    const uint32_t tail = end - (at + old_size);
    std::memmove(set.image + at + new_size, set.image + at + old_size, tail);
    if (new_size < old_size)
        std::memset(set.image + at + new_size + tail, 0, old_size - new_size);
    platform::store_u32(set.image + at, length);
    platform::store_u32(set.image + at + 4, set.block);
    std::memcpy(set.image + at + kSetRecordHeaderSize, data, length);
    const Status status = settle(handle, set, rewrite ? count : count + 1);
    if (status != kOk)
        return status;
    *address = set.block + at + kSetRecordHeaderSize;
    const int32_t behind = count - (index + 1);
    keep_first_failure(reported,
                       report_move(handle, set.image + at + new_size + kSetRecordHeaderSize, behind,
                                   static_cast<int32_t>(new_size - old_size)));
    return kOk;
}

// The file's first record starts the first set.
Status write_first_record(StoreHandle* handle, const unsigned char* data, uint32_t length,
                          uint32_t* address) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    int i = -1;
    uint32_t block = 0;
    Status status = take_new_set(handle, BlockSource::kAnywhere, &i, &block);
    if (status != kOk)
        return status;
    unsigned char* image = pool->image(i);
    platform::store_u32(image + kSetHeaderSize, length);
    platform::store_u32(image + kSetHeaderSize + 4, block);
    std::memcpy(image + kFirstRecordAt, data, length);
    pool->buffers[i].block = block;
    status = settle(handle, hold(handle, i), 1);
    if (status != kOk)
        return status;
    handle->header().set_first_sequence_set(block);
    *address = block + kFirstRecordAt;
    return kOk;
}

// Appends the records of `right` to `left` and frees right's block.
Status concatenate_sequence_set(StoreHandle* handle, const HeldSet& left, const HeldSet& right) {
    const uint32_t left_end = left.used_end();
    const uint32_t bytes = right.used_end() - kSetHeaderSize;
    const int32_t moving = right.count();
    if (bytes > set_free(left.image))
        return kIoError;
    HeldSet following;
    const uint32_t after = set_next(right.image);
    Status status = after == left.block ? kOk : load_neighbour(handle, after, &following);
    if (status != kOk)
        return status;
    std::memcpy(left.image + left_end, right.image + kSetHeaderSize, bytes);
    set_owners(left.image, left_end, moving, left.block);
    set_next_link(left.image, after);
    status = settle(handle, left, left.count() + moving);
    if (status != kOk)
        return status;
    if (following.held()) {
        set_previous_link(following.image, left.block);
        touch(handle, following);
    }
    engine::FileHeader header = handle->header();
    if (header.first_sequence_set() == right.block)
        header.set_first_sequence_set(left.block);
    const int32_t delta = static_cast<int32_t>((left.block + left_end + kSetRecordHeaderSize) -
                                               (right.block + kFirstRecordAt));
    status = report_move(handle, left.image + left_end + kSetRecordHeaderSize, moving, delta);
    keep_first_failure(&status, add_to_avail_list(handle, right.block, right.buffer));
    return status;
}

// Moves records across the boundary of two neighbours so that the right
// one ends with half of them and the left one with the rest (the odd one).
// Should that split overfill a set, the nearest split that fills neither
// beyond its room is taken.
Status redistribute_sequence_set(StoreHandle* handle, const HeldSet& left, const HeldSet& right) {
    const uint32_t room = handle->sequence_sets->set_size - kSetHeaderSize;
    const int32_t left_count = left.count();
    const int32_t right_count = right.count();
    const int32_t total = left_count + right_count;
    const uint64_t left_bytes = left.used_end() - kSetHeaderSize;
    const uint64_t all_bytes = left_bytes + (right.used_end() - kSetHeaderSize);

    // Split points k (records left of it) where both sides fit: [lowest, highest].
    int32_t lowest = -1;
    int32_t highest = -1;
    uint64_t before = 0;
    uint32_t at = kSetHeaderSize;  // the next record's offset in its set
    for (int32_t k = 0; k <= total; ++k) {
        if (before <= room)
            highest = k;
        if (lowest < 0 && all_bytes - before <= room)
            lowest = k;
        if (k == total)
            break;
        if (k == left_count)
            at = kSetHeaderSize;
        const uint32_t size =
            kSetRecordHeaderSize + record_length_at((k < left_count ? left : right).image, at);
        before += size;
        at += size;
    }
    if (lowest < 0 || lowest > highest)
        return kIoError;
    int32_t k = total - total / 2;
    k = k < lowest ? lowest : k > highest ? highest : k;
    if (k == left_count)
        return kOk;

    Status status = kOk;
    if (k > left_count) {
        // The front of right moves behind the records of left.
        const int32_t moving = k - left_count;
        const uint32_t bytes = record_offset(right, moving) - kSetHeaderSize;
        const uint32_t left_end = left.used_end();
        const uint32_t rest = right.used_end() - kSetHeaderSize - bytes;
        std::memcpy(left.image + left_end, right.image + kSetHeaderSize, bytes);
        set_owners(left.image, left_end, moving, left.block);
        std::memmove(right.image + kSetHeaderSize, right.image + kSetHeaderSize + bytes, rest);
        std::memset(right.image + kSetHeaderSize + rest, 0, bytes);
        status = settle(handle, left, k);
        if (status == kOk)
            status = settle(handle, right, total - k);
        if (status != kOk)
            return status;
        const int32_t delta = static_cast<int32_t>((left.block + left_end + kSetRecordHeaderSize) -
                                                   (right.block + kFirstRecordAt));
        status = report_move(handle, left.image + left_end + kSetRecordHeaderSize, moving, delta);
        keep_first_failure(&status, report_move(handle, right.image + kFirstRecordAt, total - k,
                                                -static_cast<int32_t>(bytes)));
        return status;
    }
    // The back of left moves in front of the records of right.
    const int32_t moving = left_count - k;
    const uint32_t from = record_offset(left, k);
    const uint32_t bytes = left.used_end() - from;
    const uint32_t right_bytes = right.used_end() - kSetHeaderSize;
    std::memmove(right.image + kSetHeaderSize + bytes, right.image + kSetHeaderSize, right_bytes);
    std::memcpy(right.image + kSetHeaderSize, left.image + from, bytes);
    set_owners(right.image, kSetHeaderSize, moving, right.block);
    std::memset(left.image + from, 0, bytes);
    status = settle(handle, right, right_count + moving);
    if (status == kOk)
        status = settle(handle, left, k);
    if (status != kOk)
        return status;
    const int32_t delta = static_cast<int32_t>((right.block + kFirstRecordAt) -
                                               (left.block + from + kSetRecordHeaderSize));
    status = report_move(handle, right.image + kFirstRecordAt, moving, delta);
    keep_first_failure(&status, report_move(handle, right.image + kFirstRecordAt + bytes,
                                            right_count, static_cast<int32_t>(bytes)));
    return status;
}

// An empty set leaves the chain and its block goes to the avail list. Its
// neighbours were loaded before its last record was removed, so that a
// neighbour that cannot be read leaves the set as it was.
Status free_empty_set(StoreHandle* handle, const HeldSet& set, const HeldSet& before,
                      const HeldSet& after) {
    const uint32_t previous = set_previous(set.image);
    const uint32_t next = set_next(set.image);
    if (before.held()) {
        set_next_link(before.image, next);
        touch(handle, before);
    }
    if (after.held()) {
        set_previous_link(after.image, previous);
        touch(handle, after);
    }
    engine::FileHeader header = handle->header();
    if (header.first_sequence_set() == set.block)
        header.set_first_sequence_set(names_set(next) ? next : kNoSet);
    return add_to_avail_list(handle, set.block, set.buffer);
}

// An under-full set is merged into a neighbour that has room for it, or
// takes records from the fuller one.
Status rebalance(StoreHandle* handle, const HeldSet& set) {
    const uint32_t half = (handle->sequence_sets->set_size - kSetHeaderSize) / 2;
    HeldSet before;
    HeldSet after;
    Status status = load_neighbour(handle, set_previous(set.image), &before);
    if (status == kOk)
        status = load_neighbour(handle, set_next(set.image), &after);
    if (status != kOk)
        return status;
    const uint32_t before_free = before.held() ? set_free(before.image) : 0;
    const uint32_t after_free = after.held() ? set_free(after.image) : 0;
    if (before.held() && before_free >= half)
        return concatenate_sequence_set(handle, before, set);
    if (after.held() && after_free >= half)
        return concatenate_sequence_set(handle, set, after);
    if (before.held() && (!after.held() || before_free < after_free))
        return redistribute_sequence_set(handle, before, set);
    if (after.held())
        return redistribute_sequence_set(handle, set, after);
    return kOk;
}

// Loads the set holding the record at `address`; *index and *offset name it.
Status hold_record(StoreHandle* handle, uint32_t address, HeldSet* set, int32_t* index,
                   uint32_t* offset) {
    int buffer = -1;
    const Status status = load_sequence_set(handle, address, &buffer);
    if (status != kOk)
        return status;
    *set = hold(handle, buffer);
    *index = find_record(*set, address, offset);
    if (*index >= 0)
        return kOk;
    // An unwritten block read as an empty set holds no record; it is not
    // kept, so that it can never stand in for the set later written there.
    SequenceSetPool* pool = handle->sequence_sets.get();
    if (set->count() == 0 && !pool->buffers[buffer].dirty)
        discard_set_buffer(pool, buffer);
    return kIoError;
}

// Each split leaves fewer records in the set the record goes to: far fewer
// splits than this always suffice.
constexpr int kMostSplits = 32;

Status put_record(StoreHandle* handle, uint32_t* address, const unsigned char* data,
                  uint32_t length, bool rewrite) {
    engine::FileHeader header = handle->header();
    if (!rewrite && header.record_count() == 0)
        return write_first_record(handle, data, length, address);

    HeldSet set;
    int32_t index = -1;  // new record: the one it follows; rewrite: the one replaced
    uint32_t offset = 0;
    Status status = kOk;
    if (!rewrite && *address == 0) {
        const uint32_t first = header.first_sequence_set();
        if (!names_set(first))
            return kIoError;
        int buffer = -1;
        status = load_set_at(handle, first, &buffer);
        if (status != kOk)
            return status;
        set = hold(handle, buffer);
    } else {
        status = hold_record(handle, *address, &set, &index, &offset);
        if (status != kOk)
            return status;
    }
    const uint32_t old_length = rewrite ? record_length_at(set.image, offset) : 0;
    const uint32_t need =
        rewrite ? (length > old_length ? length - old_length : 0) : kSetRecordHeaderSize + length;

    Status reported = kOk;
    uint32_t left_behind = 0;  // a rewritten last record that moved to a new set: its old address
    for (int splits = 0; set_free(set.image) < need; ++splits) {
        if (splits >= kMostSplits)
            return kIoError;
        // The set split again may be the one kept on the left each time:
        // it stays the most recently used, however many sets the splits make.
        use_set_buffer(handle->sequence_sets.get(), set.buffer);
        const int32_t count = set.count();
        if (index == count - 1 && (!rewrite || count > 1)) {
            // Behind the last record of a full set: a new set follows it.
            // A rewritten last record leaves for it; nothing else moves.
            HeldSet fresh;
            status = new_set_after(handle, set, &fresh);
            if (status != kOk)
                return reported != kOk ? reported : status;
            if (rewrite) {
                const uint32_t at = record_offset(set, index);
                left_behind = set.block + at + kSetRecordHeaderSize;
                std::memset(set.image + at, 0, set.used_end() - at);
                status = settle(handle, set, count - 1);
                if (status != kOk)
                    return status;
                rewrite = false;
            }
            set = fresh;
            index = -1;
            break;
        }
        HeldSet moved;
        const int32_t keep = count / 2;
        status = split_sequence_set(handle, set, keep, &moved, &reported);
        if (status != kOk)
            return reported != kOk ? reported : status;
        if (index >= keep) {
            set = moved;
            index -= keep;
        }
    }
    status = place_record(handle, set, index, rewrite, data, length, address, &reported);
    if (status != kOk)
        return status;
    if (left_behind != 0)
        keep_first_failure(&reported, report_move(handle, set.image + kFirstRecordAt, 1,
                                                  static_cast<int32_t>(*address - left_behind)));
    return reported;
}

}  // namespace

}  // namespace kvr::store

using namespace kvr::store;

namespace kvr::store {

Status get_sequence_set(StoreHandle* handle, uint32_t address, unsigned char** data,
                        uint32_t* length) {
    if (!handle->sequence_sets)
        return kNotOpen;
    HeldSet set;
    int32_t index = -1;
    uint32_t offset = 0;
    const Status status = hold_record(handle, address, &set, &index, &offset);
    if (status != kOk)
        return status;
    *data = set.image + offset + kSetRecordHeaderSize;
    if (length != nullptr)
        *length = record_length_at(set.image, offset);
    return kOk;
}

Status put_sequence_set(StoreHandle* handle, uint32_t* address, const unsigned char* data,
                        uint32_t length, PutMode mode) {
    SequenceSetPool* pool = handle->sequence_sets.get();
    if (pool == nullptr)
        return kNotOpen;
    if (length > handle->header().max_record_length() || length > pool->set_size - kFirstRecordAt)
        return kRecordTooLong;
    // Records move: without a hook the index could not follow them.
    if (handle->shift_tree == nullptr)
        return kIoError;
    // Data that lies in the pool (a record just fetched) may move while the
    // sets change: it is copied aside first.
    std::unique_ptr<unsigned char[]> copy;
    const unsigned char* images = pool->images.get();
    const size_t pool_bytes = static_cast<size_t>(pool->set_size) * pool->buffer_count;
    if (data >= images && data < images + pool_bytes) {
        copy.reset(new (std::nothrow) unsigned char[length + 1]);
        if (!copy)
            return kNoMemory;
        std::memcpy(copy.get(), data, length);
        data = copy.get();
    }
    const Status status = put_record(handle, address, data, length, mode == PutMode::kRewrite);
    return status == kOk ? write_changed_sets(handle) : status;
}

Status delete_sequence_set(StoreHandle* handle, uint32_t address) {
    if (!handle->sequence_sets)
        return kNotOpen;
    if (handle->shift_tree == nullptr)
        return kIoError;
    HeldSet set;
    int32_t index = -1;
    uint32_t offset = 0;
    Status status = hold_record(handle, address, &set, &index, &offset);
    if (status != kOk)
        return status;
    const int32_t count = set.count();
    HeldSet before;
    HeldSet after;
    if (count == 1) {
        status = load_neighbour(handle, set_previous(set.image), &before);
        if (status == kOk)
            status = load_neighbour(handle, set_next(set.image), &after);
        if (status != kOk)
            return status;
    }
    const uint32_t size = kSetRecordHeaderSize + record_length_at(set.image, offset);
    const uint32_t tail = set.used_end() - offset - size;
    std::memmove(set.image + offset, set.image + offset + size, tail);
    std::memset(set.image + offset + tail, 0, size);
    status = settle(handle, set, count - 1);
    if (status != kOk)
        return status;
    status = report_move(handle, set.image + offset + kSetRecordHeaderSize, count - 1 - index,
                         -static_cast<int32_t>(size));
    if (status != kOk)
        return status;
    if (count == 1)
        status = free_empty_set(handle, set, before, after);
    else if (set_free(set.image) > (handle->sequence_sets->set_size - kSetHeaderSize) / 2)
        status = rebalance(handle, set);
    return status == kOk ? write_changed_sets(handle) : status;
}

}  // namespace kvr::store

extern "C" int _vmq_get_sequence_set(StoreHandle* handle, uint32_t address, unsigned char** data,
                                     uint32_t* length) {
    return code(get_sequence_set(handle, address, data, length));
}

extern "C" int _vmq_put_sequence_set(StoreHandle* handle, uint32_t* address,
                                     const unsigned char* data, uint32_t length, uint8_t mode) {
    // Only write (0) and rewrite (1) are modes.
    if (mode > 1)
        return code(kBadMode);
    return code(put_sequence_set(handle, address, data, length,
                                 mode == 1 ? PutMode::kRewrite : PutMode::kWrite));
}

extern "C" int _vmq_delete_sequence_set(StoreHandle* handle, uint32_t address) {
    return code(delete_sequence_set(handle, address));
}
