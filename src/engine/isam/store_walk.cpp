// The store walk over both formats of the data store.
#include "engine/isam/store_walk.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "engine/file_header.h"
#include "engine/results.h"
#include "engine/store/sequence_set.h"
#include "engine/store/slot.h"
#include "engine/tree/page.h"
#include "platform/coding.h"

namespace kvr::isam {

namespace {

constexpr uint32_t kWindowSize = 256 * 1024;

// Reads the file through a window, so that stepping from slot to slot does
// not read every header by itself.
class WindowReader {
public:
    WindowReader(const engine::FileChannel& io, uint64_t end) : io_(io), end_(end) {}

    // False when [at, at + n) is not inside the file or a read fails.
    bool read(uint64_t at, unsigned char* out, uint64_t n) {
        if (at > end_ || n > end_ - at)
            return false;
        if (n > kWindowSize)
            return load(at, out, n);
        if (!covers(at, n)) {
            const uint64_t len = std::min<uint64_t>(kWindowSize, end_ - at);
            window_.resize(static_cast<size_t>(len));
            window_at_ = at;
            if (!load(at, window_.data(), len)) {
                window_.clear();
                return false;
            }
        }
        std::memcpy(out, window_.data() + (at - window_at_), static_cast<size_t>(n));
        return true;
    }

    // The first offset at or after `at` (and before end) whose byte is not
    // zero; end when there is none, or when a read fails (*failed set).
    uint64_t skip_zeros(uint64_t at, bool* failed) {
        while (at < end_) {
            unsigned char byte = 0;
            if (!read(at, &byte, 1)) {
                *failed = true;
                return end_;
            }
            const unsigned char* from = window_.data() + (at - window_at_);
            const unsigned char* to = window_.data() + window_.size();
            const unsigned char* found =
                std::find_if(from, to, [](unsigned char b) { return b != 0; });
            at += static_cast<uint64_t>(found - from);
            if (found != to)
                return at;
        }
        return end_;
    }

private:
    bool covers(uint64_t at, uint64_t n) const {
        return !window_.empty() && at >= window_at_ && at + n <= window_at_ + window_.size();
    }

    bool load(uint64_t at, unsigned char* out, uint64_t n) const {
        uint64_t done = 0;
        while (done < n) {
            uint32_t got = 0;
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(n - done, 1u << 30));
            if (!io_.read_at(static_cast<uint32_t>(at + done), out + done, chunk, &got).ok() ||
                got == 0)
                return false;
            done += got;
        }
        return true;
    }

    const engine::FileChannel& io_;
    uint64_t end_;
    std::vector<unsigned char> window_;
    uint64_t window_at_ = 0;
};

using Visit = std::function<bool(uint32_t, const unsigned char*, uint32_t)>;

class StoreWalk {
public:
    StoreWalk(ix_handle* handle, const Visit& visit, std::vector<WalkNote>* notes,
              StoreSpace* space)
        : handle_(handle), header_(handle->header()), visit_(visit), notes_(notes), space_(space) {}

    engine::Result run() {
        uint32_t end = 0;
        if (!handle_->io.seek_end(&end).ok())
            return engine::kIoError;
        end_ = end;
        space_->file_size = end_;
        space_->header_bytes = std::min<uint64_t>(handle_->header_size, end_);
        reader_ = std::make_unique<WindowReader>(handle_->io, end_);
        return header_.version() == engine::kVersionBlockFormat ? walk_blocks() : walk_slots();
    }

private:
    void note(uint64_t offset, std::string what) {
        if (notes_ != nullptr)
            notes_->push_back(WalkNote{offset, std::move(what)});
    }

    // The rest of the file from `at` cannot be walked.
    engine::Result stop_at(uint64_t at, std::string what) {
        space_->unreadable_bytes += end_ - at;
        note(at, what + "; the " + std::to_string(end_ - at) +
                     " bytes from here to the file's end cannot be walked");
        return engine::kOk;
    }

    bool deliver(uint64_t address, uint32_t length) {
        const uint32_t keys_end = static_cast<uint32_t>(std::max(header_.keys_end(), 0));
        if (length > header_.max_record_length()) {
            note(address, "a record of " + std::to_string(length) +
                              " bytes, longer than the file's longest record " +
                              std::to_string(header_.max_record_length()) + ", is left out");
            return true;
        }
        if (length < keys_end) {
            note(address, "a record of " + std::to_string(length) +
                              " bytes, too short to hold its keys (" + std::to_string(keys_end) +
                              "), is left out");
            return true;
        }
        record_.resize(std::max<size_t>(length, 1));
        if (!reader_->read(address, record_.data(), length)) {
            note(address, "the record cannot be read");
            return true;
        }
        ++space_->records;
        return visit_(static_cast<uint32_t>(address), record_.data(), length);
    }

    engine::Result walk_slots();
    engine::Result walk_blocks();
    bool walk_set_records(uint64_t at, const unsigned char* block, uint64_t set_end, int32_t count);

    ix_handle* handle_;
    engine::FileHeader header_;
    const Visit& visit_;
    std::vector<WalkNote>* notes_;
    StoreSpace* space_;
    uint64_t end_ = 0;
    std::unique_ptr<WindowReader> reader_;
    std::vector<unsigned char> record_;
};

// The index blocks on the free list of index blocks: free slots of the
// block size that are index space, not record space. The list is followed
// as far as it stays well-formed, and no further than the file has blocks.
std::unordered_set<uint64_t> free_index_blocks(WindowReader& reader, uint32_t head,
                                               uint32_t block_size, uint64_t header_size,
                                               uint64_t end) {
    std::unordered_set<uint64_t> blocks;
    const uint64_t most = block_size == 0 ? 0 : end / block_size;
    for (uint64_t at = head; at != 0 && at >= header_size && blocks.size() < most;) {
        unsigned char bytes[store::kFreeHeaderSize];
        if (!reader.read(at, bytes, sizeof bytes))
            break;
        const store::FreeHeader free = store::decode_free_header(bytes);
        if (free.flags != store::kSlotTypeFree || free.size != block_size ||
            !blocks.insert(at).second)
            break;
        at = free.next;
    }
    return blocks;
}

engine::Result StoreWalk::walk_slots() {
    const uint32_t block_size = header_.index_block_size();
    const std::unordered_set<uint64_t> free_blocks = free_index_blocks(
        *reader_, header_.index_block_list(), block_size, handle_->header_size, end_);
    uint64_t at = handle_->header_size;
    while (at < end_) {
        bool failed = false;
        const uint64_t nonzero = reader_->skip_zeros(at, &failed);
        if (failed)
            return engine::kIoError;
        space_->unwritten_bytes += nonzero - at;
        at = nonzero;
        if (at >= end_)
            break;
        unsigned char head[store::kSlotHeaderSize] = {};
        if (end_ - at < store::kSlotHeaderSize || !reader_->read(at, head, sizeof head))
            return stop_at(at, "the file ends inside a slot header");
        const uint16_t page_type = platform::load_u16(head);
        if (page_type == tree::kBranchPage || page_type == tree::kLeafPage) {
            if (end_ - at < block_size)
                return stop_at(at, "an index block runs past the file's end");
            ++space_->index_blocks;
            space_->index_bytes += block_size;
            at += block_size;
            continue;
        }
        const store::SlotHeader slot = store::decode_slot_header(head);
        const bool record = slot.type() == store::kSlotTypeRecord;
        const bool free = slot.type() == store::kSlotTypeFree;
        if ((!record && !free) || slot.length < store::kSlotHeaderSize ||
            (!slot.has_slack() && slot.short_slack() != 0))
            return stop_at(at, "bytes that are neither a slot nor an index block (first byte " +
                                   std::to_string(head[0]) + ")");
        uint64_t size = slot.length;
        if (slot.has_slack()) {
            uint32_t slack = slot.short_slack();
            if (slack == 0) {
                unsigned char word[store::kSlackWordSize];
                if (!reader_->read(at + slot.length, word, sizeof word))
                    return stop_at(at, "the slack word of a slot lies past the file's end");
                slack = platform::load_u32(word);
                if (slack < store::kSlackWordSize)
                    return stop_at(at, "a slot's slack word is below 4");
            }
            size += slack;
        }
        if (size > store::kMaxSlotSize || size > end_ - at)
            return stop_at(at, "a slot runs past the file's end");
        if (record) {
            const uint32_t length = slot.length - store::kSlotHeaderSize;
            if (length > header_.max_record_length())
                return stop_at(at, "a record slot longer than the file's longest record");
            space_->record_bytes += size;
            if (!deliver(at + store::kSlotHeaderSize, length))
                return engine::kOk;
        } else if (size == block_size && free_blocks.count(at) != 0) {
            ++space_->index_blocks;
            space_->index_bytes += size;
        } else {
            ++space_->free_slots;
            space_->free_slot_bytes += size;
        }
        at += size;
    }
    return engine::kOk;
}

// Hands the records of the set at `at` to the visitor. They are read as
// far as the end address, whatever the count says: a damaged count hides
// no record. Nothing past the end address is read, since what lies there
// is stale (records moved or deleted). False when the visitor stopped the
// walk.
bool StoreWalk::walk_set_records(uint64_t at, const unsigned char* block, uint64_t set_end,
                                 int32_t count) {
    uint64_t p = store::kSetHeaderSize;
    int64_t found = 0;
    while (p < set_end) {
        if (set_end - p < store::kSetRecordHeaderSize) {
            note(at + p, "a record header runs past the set's end");
            return true;
        }
        const uint32_t length = platform::load_u32(block + p);
        const uint32_t owner = platform::load_u32(block + p + 4);
        if (owner != at) {
            note(at + p, "a record names the set at " + std::to_string(owner) +
                             " as its owner; the set's records from here are left out");
            return true;
        }
        if (length > set_end - p - store::kSetRecordHeaderSize) {
            note(at + p,
                 "a record runs past the set's end; the set's records from here "
                 "are left out");
            return true;
        }
        space_->record_bytes += length + store::kSetRecordHeaderSize;
        if (!deliver(at + p + store::kSetRecordHeaderSize, length))
            return false;
        p += store::kSetRecordHeaderSize + length;
        ++found;
    }
    if (found != count)
        note(at, "the sequence set's header counts " + std::to_string(count) +
                     " records, it holds " + std::to_string(found) + " up to its end address");
    return true;
}

engine::Result StoreWalk::walk_blocks() {
    const uint32_t set_size = header_.sequence_set_size();
    if (set_size < store::kFirstRecordAt || set_size > store::kLargestSetSize)
        return stop_at(handle_->header_size,
                       "the sequence set size " + std::to_string(set_size) + " is not usable");
    std::vector<unsigned char> block(set_size);
    uint64_t at = handle_->header_size;
    for (; at < end_; at += set_size) {
        if (end_ - at < set_size) {
            space_->unreadable_bytes += end_ - at;
            note(at, "the file ends " + std::to_string(end_ - at) +
                         " bytes into a block; they are left out");
            break;
        }
        if (!reader_->read(at, block.data(), set_size))
            return engine::kIoError;
        const uint16_t type = platform::load_u16(block.data());
        if (type == tree::kBranchPage || type == tree::kLeafPage) {
            ++space_->index_blocks;
            space_->index_bytes += set_size;
            continue;
        }
        if (type == store::kSlotTypeFree) {
            ++space_->free_blocks;
            space_->free_block_bytes += set_size;
            continue;
        }
        if (type != store::kSequenceSetType || platform::load_u16(block.data() + 2) != 0) {
            if (std::all_of(block.begin(), block.end(), [](unsigned char b) { return b == 0; }))
                space_->unwritten_bytes += set_size;
            else
                note(at,
                     "a block that is neither a sequence set, an index page nor a free "
                     "block is left out");
            continue;
        }
        ++space_->sequence_sets;
        space_->set_bytes += set_size;
        const int32_t count = platform::load_s32(block.data() + store::kSetCountAt);
        const uint32_t end_address = platform::load_u32(block.data() + store::kSetEndAt);
        uint64_t set_end = uint64_t{end_address} >= at ? end_address - at : 0;
        if (set_end < store::kSetHeaderSize || set_end > set_size) {
            note(at, "the sequence set's end address " + std::to_string(end_address) +
                         " lies outside it; its records are left out");
            continue;
        }
        if (!walk_set_records(at, block.data(), set_end, count))
            return engine::kOk;
    }
    return engine::kOk;
}

}  // namespace

engine::Result walk_data_store(ix_handle* handle, const Visit& visit, std::vector<WalkNote>* notes,
                               StoreSpace* space) {
    StoreSpace unused;
    StoreWalk walk(handle, visit, notes, space != nullptr ? space : &unused);
    return walk.run();
}

}  // namespace kvr::isam
