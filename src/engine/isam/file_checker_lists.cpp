// The file checker's free lists of the slot format: the index-block list
// and the record lists by size class, each against the pieces the walk
// found.
#include "engine/isam/file_check.h"

namespace kvr::isam::checking {

bool FileCheck::read_free_header(uint32_t at, store::FreeHeader* free) {
    unsigned char bytes[store::kFreeHeaderSize];
    if (!reader_->read(at, bytes, store::kFreeHeaderSize))
        return fail("the free header at " + at_text(at) + " cannot be read", -1, at);
    *free = store::decode_free_header(bytes);
    return true;
}

Piece* FileCheck::listed_free_piece(uint32_t at, uint32_t from, const std::string& list,
                                    const char* kind) {
    Piece* piece = piece_at(at);
    if (piece == nullptr || piece->kind != Kind::kFree) {
        fail(link_text(from, list, kind) + " names " + at_text(at) + ", which is " + what_is_at(at),
             piece != nullptr ? piece->tree : -1, from);
        return nullptr;
    }
    return piece;
}

bool FileCheck::check_index_block_list() {
    const std::string list = "the index-block list";
    const char* kind = "free index block";
    return walk_list(
        header_.index_block_list(), list, kind, "",
        [&](uint32_t at, uint32_t from, uint32_t* next) {
            Piece* piece = listed_free_piece(at, from, list, kind);
            store::FreeHeader free;
            if (piece == nullptr || !read_free_header(at, &free))
                return false;
            if (free.flags != store::kSlotTypeFree || free.size != block_size_ ||
                piece->size != block_size_ || free.next_size != 0)
                return fail("free index block at " + at_text(at) + " is not marked as one", -1, at);
            piece->listed = true;
            ++summary_->free_index_blocks;
            *next = free.next;
            return true;
        });
}

// The rules of one free slot on record list k beyond its kind: its free
// header, the size its predecessor gives it, and (with five classes) its
// class and its place in the list's descending order.
bool FileCheck::check_listed_slot(int k, uint32_t classes, uint32_t at, uint32_t from,
                                  const store::FreeHeader& free, const Piece& piece,
                                  uint32_t expected, uint32_t previous_size) {
    const std::string list = "free list " + std::to_string(k);
    if (free.flags != store::kSlotTypeFree || free.size < store::kFreeHeaderSize ||
        free.size != piece.size)
        return fail("free slot at " + at_text(at) + " on " + list + " has no free header", -1, at);
    if (free.size != expected)
        return fail(link_text(from, list, "free slot") + " gives the free slot at " + at_text(at) +
                        " " + std::to_string(expected) + " bytes; it has " +
                        std::to_string(free.size),
                    -1, from);
    if (classes != 1) {
        const int own = store::size_class(header_, free.size);
        if (own != k)
            return fail("free slot at " + at_text(at) + " of " + std::to_string(free.size) +
                            " bytes is on " + list + ", its class is " + std::to_string(own),
                        -1, at);
        if (free.size > previous_size)
            return fail(list + " is out of order: the slot at " + at_text(at) + " of " +
                            std::to_string(free.size) + " bytes follows one of " +
                            std::to_string(previous_size),
                        -1, at);
    }
    if (free.next == 0 && free.next_size != 0)
        return fail("free slot at " + at_text(at) + " ends " + list + " but gives a next size", -1,
                    at);
    return true;
}

bool FileCheck::check_record_list(int k, uint32_t classes) {
    const uint32_t head = header_.free_list_head(k);
    uint32_t expected = header_.free_list_size(k);
    const std::string list = "free list " + std::to_string(k);
    if (head == 0 && expected != 0)
        return fail(list + " is empty, but the table gives its first slot " +
                    std::to_string(expected) + " bytes");
    if (classes == 1 && k > 1 && head != 0)
        return fail(list + " is used, but every record has the same length", -1, head);
    uint32_t previous_size = std::numeric_limits<uint32_t>::max();
    const char* kind = "free slot";
    return walk_list(
        head, list, kind, " (a loop, or a slot on two lists)",
        [&](uint32_t at, uint32_t from, uint32_t* next) {
            Piece* piece = listed_free_piece(at, from, list, kind);
            store::FreeHeader free;
            if (piece == nullptr || !read_free_header(at, &free) ||
                !check_listed_slot(k, classes, at, from, free, *piece, expected, previous_size))
                return false;
            piece->listed = true;
            ++summary_->listed_free_slots;
            previous_size = free.size;
            expected = free.next_size;
            *next = free.next;
            return true;
        });
}

bool FileCheck::check_record_lists() {
    const uint32_t classes = header_.size_class_count();
    if (classes != store::size_class_count_for(header_))
        return fail("the free-space table holds " + std::to_string(classes) + " size classes");
    for (int k = 1; k <= engine::kRecordSizeClasses; ++k) {
        if (!check_record_list(k, classes))
            return false;
    }
    return true;
}

}  // namespace kvr::isam::checking
