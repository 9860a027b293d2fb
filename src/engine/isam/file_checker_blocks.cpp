// The file checker's rules of the block format: the walk block by block,
// the sequence sets and their chain, the avail list, and the records along
// the chain against the prime entries.
#include "engine/isam/file_check.h"

namespace kvr::isam::checking {

// Reads n bytes at `at` as the store sees them: from a set's buffer when
// the store holds that block, else from the file.
bool FileCheck::read_block(uint32_t at, unsigned char* out, uint32_t n) {
    const unsigned char* resident = store::resident_sequence_set(handle_, at);
    if (resident != nullptr) {
        std::memcpy(out, resident, n);
        return true;
    }
    return reader_->read(at, out, n);
}

bool FileCheck::check_set(uint32_t block, const unsigned char* image) {
    if (!store::set_image_is_sound(image, block, block_size_, header_.max_record_length(),
                                   handle_->header_size))
        return fail("sequence set at " + at_text(block) +
                        " does not match its records (count, addresses, free bytes, owners, "
                        "lengths or links)",
                    -1, block);
    SetFound found;
    found.next = store::set_next(image);
    found.previous = store::set_previous(image);
    found.first_piece = pieces_.size();
    const uint32_t keys_end = static_cast<uint32_t>(header_.keys_end());
    uint32_t at = store::kSetHeaderSize;
    const int32_t count = store::set_count(image);
    for (int32_t n = 0; n < count; ++n) {
        const uint32_t length = store::record_length_at(image, at);
        const uint32_t address = block + at + store::kSetRecordHeaderSize;
        if (length < keys_end)
            return fail("record at " + at_text(address) + " is shorter than its keys", -1, address);
        Piece piece;
        piece.address = address;
        piece.size = length + store::kSetRecordHeaderSize;
        piece.kind = Kind::kRecord;
        piece.data_length = length;
        piece.keys_at = record_keys_.size();
        record_keys_.insert(record_keys_.end(), image + at + store::kSetRecordHeaderSize,
                            image + at + store::kSetRecordHeaderSize + keys_end);
        pieces_.push_back(piece);
        at += store::kSetRecordHeaderSize + length;
    }
    found.records = static_cast<size_t>(count);
    sets_.emplace(block, found);
    return true;
}

bool FileCheck::walk_blocks() {
    const uint64_t span = end_ - handle_->header_size;
    if (span % block_size_ != 0)
        return fail("the file's end " + at_text(end_) + " is not on a block boundary");
    Bytes image(block_size_);
    for (uint64_t at = handle_->header_size; at < end_; at += block_size_) {
        const uint32_t block = static_cast<uint32_t>(at);
        if (page_owner_.count(block) != 0)
            continue;
        if (!read_block(block, image.data(), block_size_))
            return fail("the block at " + at_text(block) + " cannot be read", -1, block);
        const uint16_t type = platform::load_u16(image.data());
        if (type == store::kSequenceSetType) {
            if (!check_set(block, image.data()))
                return false;
        } else if (type == 8) {
            free_blocks_.insert(block);
        } else if (type == tree::kBranchPage || type == tree::kLeafPage || type == 0) {
            ++summary_->unused_blocks;  // a page no tree uses, or never written
        } else {
            return fail("block at " + at_text(block) + " has type " + std::to_string(type), -1,
                        block);
        }
    }
    // Pages lie on block boundaries inside the file.
    for (size_t k = 0; k < trees_.size(); ++k) {
        const TreeContents& contents = trees_[k];
        for (size_t j = 0; j < contents.pages.size(); ++j) {
            if ((contents.pages[j] - handle_->header_size) % block_size_ != 0)
                return fail_at_page_link(named_by_text(contents.page_named_by[j]) +
                                             " names the page at " + at_text(contents.pages[j]) +
                                             ", which is not on a block boundary",
                                         static_cast<int>(k), j);
        }
    }
    return true;
}

bool FileCheck::check_chain() {
    uint32_t block = header_.first_sequence_set();
    uint32_t previous = store::kNoSet;
    size_t steps = 0;
    while (store::names_set(block)) {
        const auto it = sets_.find(block);
        if (it == sets_.end())
            return fail("the chain of sets names " + at_text(block) + " (after " +
                            (store::names_set(previous) ? at_text(previous) : "the header") +
                            "), which is no sequence set",
                        -1, block);
        SetFound& set = it->second;
        if (set.on_chain || ++steps > sets_.size())
            return fail("the chain of sets comes back to " + at_text(block), -1, block);
        const bool previous_right =
            store::names_set(previous) ? set.previous == previous : !store::names_set(set.previous);
        if (!previous_right)
            return fail("sequence set at " + at_text(block) + " names " + at_text(set.previous) +
                            " as its previous set",
                        -1, block);
        set.on_chain = true;
        for (size_t r = 0; r < set.records; ++r)
            chain_records_.push_back(set.first_piece + r);
        previous = block;
        block = set.next;
    }
    for (const auto& [address, set] : sets_) {
        if (!set.on_chain)
            return fail("sequence set at " + at_text(address) + " is not on the chain", -1,
                        address);
    }
    summary_->sequence_sets = sets_.size();
    return true;
}

bool FileCheck::check_avail_list() {
    const std::string list = "the avail list";
    const char* kind = "free block";
    const bool sound = walk_list(
        header_.avail_list_head(), list, kind, "", [&](uint32_t at, uint32_t from, uint32_t* next) {
            if (free_blocks_.count(at) == 0)
                return fail(link_text(from, list, kind) + " names " + at_text(at) + ", which is " +
                                (page_owner_.count(at) != 0 ? "a page"
                                 : sets_.count(at) != 0     ? "a sequence set"
                                                            : "no free block"),
                            -1, from);
            unsigned char head[store::kSetHeaderSize];
            if (!reader_->read(at, head, sizeof head))
                return fail("the free block at " + at_text(at) + " cannot be read", -1, at);
            ++summary_->free_blocks;
            *next = platform::load_u32(head + store::kSetNextAt);
            return true;
        });
    if (!sound)
        return false;
    summary_->unused_blocks += free_blocks_.size() - summary_->free_blocks;
    return true;
}

bool FileCheck::check_prime_in_chain() {
    const TreeContents& prime = trees_[0];
    const size_t key_len = static_cast<size_t>(header_.key_length(0));
    if (handle_->tree(0)->key_len() != static_cast<int>(key_len) ||
        handle_->tree(0)->data_len() != 4)
        return fail("the prime tree's entries are not key and address", 0);
    const size_t common = std::min(prime.entries, chain_records_.size());
    for (size_t j = 0; j < common; ++j) {
        const unsigned char* key = prime.keys.data() + j * key_len;
        const uint32_t address = platform::load_u32(prime.data.data() + j * 4);
        Piece& piece = pieces_[chain_records_[j]];
        if (piece.address != address)
            return fail_at_entry("prime entry " + prime_text(key) + " names " + at_text(address) +
                                     ", but record " + std::to_string(j) + " of the chain is at " +
                                     at_text(piece.address),
                                 0, j);
        if (std::memcmp(record_key(piece, 0), key, key_len) != 0)
            return fail_at_entry("prime entry " + prime_text(key) + " names the record at " +
                                     at_text(address) + ", whose prime key is " +
                                     prime_text(record_key(piece, 0)),
                                 0, j);
        piece.named = true;
        record_by_prime_.emplace(std::string(reinterpret_cast<const char*>(key), key_len),
                                 chain_records_[j]);
    }
    if (prime.entries != chain_records_.size())
        return fail("the prime tree has " + std::to_string(prime.entries) +
                    " entries, the chain of sets " + std::to_string(chain_records_.size()) +
                    " records");
    summary_->records = prime.entries;
    if (header_.record_count() != prime.entries)
        return fail("record_count is " + std::to_string(header_.record_count()) +
                    ", the file has " + std::to_string(prime.entries) + " records");
    if ((prime.entries == 0) != !store::names_set(header_.first_sequence_set()))
        return fail("first_sequence_set " + at_text(header_.first_sequence_set()) + " with " +
                    std::to_string(prime.entries) + " records");
    return true;
}

bool FileCheck::run_blocks() {
    const uint32_t block_size = header_.sequence_set_size();
    if (!begin("sequence_set_size", block_size,
               block_size >= 4096 && block_size <= store::kLargestSetSize))
        return false;
    CursorGuard guard(handle_);
    if (!collect_trees())
        return false;
    return walk_blocks() && check_chain() && check_avail_list() && check_prime_in_chain() &&
           check_alternates();
}

}  // namespace kvr::isam::checking
