// The state of a file check and the pieces its parts share: the reader of
// the file as the store sees it, the pieces the walk cuts the file into,
// the trees' entries. Internal to the file checker (file_checker.h): its
// walk and entry checks (file_checker.cpp), its free-list checks
// (file_checker_lists.cpp) and its block-format checks
// (file_checker_blocks.cpp).
#ifndef KVR_ENGINE_ISAM_FILE_CHECK_H
#define KVR_ENGINE_ISAM_FILE_CHECK_H

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/file_header.h"
#include "engine/store/free_lists.h"
#include "engine/store/sequence_set_pool.h"
#include "engine/store/slot.h"
#include "engine/store/store.h"
#include "engine/tree/checker.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"
#include "platform/coding.h"

#include "engine/isam/file_checker.h"

namespace kvr::isam::checking {

using Bytes = std::vector<unsigned char>;
using engine::FileHeader;

inline constexpr uint32_t kWindowSize = 64 * 1024;

inline std::string at_text(uint64_t offset) {
    return std::to_string(offset);
}

// Reads the file as the store sees it: the bytes still in the append buffer
// replace (or extend) what the file holds. A window of the file is kept so
// that the walk does not read every slot header by itself.
class Reader {
public:
    Reader(const ix_handle& handle, uint64_t physical_end, uint64_t end)
        : handle_(handle), physical_end_(physical_end), end_(end) {}

    // False when [at, at + n) is not inside the file or a read fails.
    bool read(uint64_t at, unsigned char* out, uint32_t n) {
        if (at > end_ || n > end_ - at)
            return false;
        if (n > kWindowSize)
            return load(at, out, n);
        if (window_.empty() || at < window_at_ || at + n > window_at_ + window_.size()) {
            const uint64_t len = std::min<uint64_t>(kWindowSize, end_ - at);
            window_.assign(static_cast<size_t>(len), 0);
            window_at_ = at;
            if (!load(at, window_.data(), static_cast<uint32_t>(len))) {
                window_.clear();
                return false;
            }
        }
        std::memcpy(out, window_.data() + (at - window_at_), n);
        return true;
    }

private:
    bool load(uint64_t at, unsigned char* out, uint32_t n) const {
        std::memset(out, 0, n);
        uint64_t done = 0;
        const uint64_t from_file =
            at < physical_end_ ? std::min<uint64_t>(n, physical_end_ - at) : 0;
        while (done < from_file) {
            uint32_t got = 0;
            const engine::IoOutcome outcome =
                handle_.io.read_at(static_cast<uint32_t>(at + done), out + done,
                                   static_cast<uint32_t>(from_file - done), &got);
            if (!outcome.ok() || got == 0)
                return false;
            done += got;
        }
        const uint64_t buffer_at = handle_.write_buffer_offset;
        const uint64_t buffer_end = buffer_at + handle_.write_buffer_fill;
        if (handle_.write_buffer_fill != 0 && handle_.write_buffer) {
            const uint64_t from = std::max(at, buffer_at);
            const uint64_t to = std::min(at + n, buffer_end);
            if (from < to)
                std::memcpy(out + (from - at), handle_.write_buffer.get() + (from - buffer_at),
                            static_cast<size_t>(to - from));
        }
        return true;
    }

    const ix_handle& handle_;
    uint64_t physical_end_;
    uint64_t end_;
    Bytes window_;
    uint64_t window_at_ = 0;
};

// Puts every tree's cursor and mark_dirty setting back as they were.
class CursorGuard {
public:
    explicit CursorGuard(ix_handle* handle) : handle_(handle) {
        for (int i = 0; i < handle->open_trees; ++i) {
            tree::Tree* t = handle->tree(i);
            saved_.push_back(
                {t != nullptr ? t->cursor() : tree::Cursor{}, t != nullptr && t->mark_dirty()});
        }
    }
    ~CursorGuard() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            tree::Tree* t = handle_->tree(static_cast<int>(i));
            if (t == nullptr)
                continue;
            t->cursor() = saved_[i].cursor;
            t->set_mark_dirty(saved_[i].mark_dirty);
        }
    }
    CursorGuard(const CursorGuard&) = delete;
    CursorGuard& operator=(const CursorGuard&) = delete;

private:
    struct Saved {
        tree::Cursor cursor;
        bool mark_dirty;
    };
    ix_handle* handle_;
    std::vector<Saved> saved_;
};

// A piece of the file as the walk cut it.
enum class Kind { kPage, kUnusedBlock, kRecord, kFree };

struct Piece {
    uint32_t address = 0;
    uint32_t size = 0;
    Kind kind = Kind::kRecord;
    unsigned char flags = 0;
    int tree = -1;             // kPage: the tree using it
    uint32_t data_length = 0;  // kRecord
    size_t keys_at = 0;        // kRecord: where its first keys_end bytes are kept
    bool named = false;        // kRecord: a prime entry names it
    bool listed = false;       // kFree: on a list
};

// Where something is named: an entry of an index page; page 0 is the
// tree's header (it names the root).
struct Place {
    uint32_t page = 0;
    int entry = -1;
};

// The entries of one tree, in key order, and its pages.
struct TreeContents {
    std::vector<uint32_t> pages;
    std::vector<Place> page_named_by;  // for each page, its parent's entry
    Bytes keys;                        // key_len bytes per entry
    Bytes data;                        // data_len bytes per entry
    std::vector<Place> places;         // where each entry lies
    size_t entries = 0;
};

class FileCheck {
public:
    FileCheck(ix_handle* handle, FileProblem* problem, FileSummary* summary)
        : handle_(handle), header_(handle->header()), problem_(problem), summary_(summary) {}

    bool run();

private:
    bool fail(std::string what, int key = -1, uint32_t offset = 0, int entry = -1) {
        problem_->what = std::move(what);
        problem_->key = key;
        problem_->offset = offset;
        problem_->entry = entry;
        return false;
    }
    // A wrong entry j of key k's tree: the place is its page and slot.
    bool fail_at_entry(std::string what, int k, size_t j) {
        const Place& place = trees_[static_cast<size_t>(k)].places[j];
        return fail(std::move(what), k, place.page, place.entry);
    }
    // A wrong page of key k's tree (the j-th the walk found): the place is
    // the entry that names it, or the tree's header for the root.
    bool fail_at_page_link(std::string what, int k, size_t j) {
        const Place& place = trees_[static_cast<size_t>(k)].page_named_by[j];
        return fail(std::move(what), k, place.page, place.entry);
    }
    // What names a page: its parent's entry, or the tree's header.
    static std::string named_by_text(const Place& place) {
        return place.page == 0 ? std::string("the tree's header")
                               : "entry " + std::to_string(place.entry) + " of the page at " +
                                     at_text(place.page);
    }
    // Where a list's link lies: the header's head of the list (from 0), or
    // the free slot or block (kind) at `from`.
    static std::string link_text(uint32_t from, const std::string& list, const char* kind) {
        return from == 0 ? "the header's head of " + list
                         : "the link of the " + std::string(kind) + " at " + at_text(from) +
                               " on " + list;
    }

    // Walks a list from `head` along its links. Each node is first checked
    // not to come round again (a loop, or with `again` a node on two
    // lists); then visit(at, from, &next) checks it and gives its link.
    // `kind` names the nodes in messages.
    template <typename Visit>
    bool walk_list(uint32_t head, const std::string& list, const char* kind, const char* again,
                   Visit visit) {
        uint32_t from = 0;
        for (uint32_t at = head; at != 0;) {
            if (!listed_.insert(at).second)
                return fail(link_text(from, list, kind) + " names " + at_text(at) +
                                " again: the list comes back to it" + again,
                            -1, from);
            uint32_t next = 0;
            if (!visit(at, from, &next))
                return false;
            from = at;
            at = next;
        }
        return true;
    }
    // The free piece a list's link (from `from`) names at `at`; null, the
    // problem told, when the walk found something else there.
    Piece* listed_free_piece(uint32_t at, uint32_t from, const std::string& list, const char* kind);

    // The start both formats share: the handle's trees against its key
    // count, the block size (named size_field in a message), the file's end.
    bool begin(const char* size_field, uint32_t block_size, bool block_size_usable);
    // Reads every tree whole (collect_tree), key by key.
    bool collect_trees();
    bool find_end();
    bool collect_tree(int k);
    bool walk();
    bool walk_one(uint32_t at, Piece* piece);
    bool check_prime();
    bool check_alternates();
    bool check_index_block_list();
    bool check_record_lists();
    bool check_record_list(int k, uint32_t classes);
    bool check_listed_slot(int k, uint32_t classes, uint32_t at, uint32_t from,
                           const store::FreeHeader& free, const Piece& piece, uint32_t expected,
                           uint32_t previous_size);
    bool run_blocks();
    bool read_block(uint32_t at, unsigned char* out, uint32_t n);
    bool walk_blocks();
    bool check_set(uint32_t block, const unsigned char* image);
    bool check_chain();
    bool check_avail_list();
    bool check_prime_in_chain();
    const Piece* piece_at(uint32_t address) const;
    Piece* piece_at(uint32_t address) {
        return const_cast<Piece*>(static_cast<const FileCheck*>(this)->piece_at(address));
    }
    std::string what_is_at(uint32_t address) const;
    bool read_free_header(uint32_t at, store::FreeHeader* free);
    const unsigned char* record_key(const Piece& piece, int k) const {
        return record_keys_.data() + piece.keys_at + header_.key_offset(k);
    }
    // Key k's value, as text.
    std::string key_text(int k, const unsigned char* key) const {
        return tree::key_text(key, header_.key_length(k), header_.key_type(k));
    }
    std::string prime_text(const unsigned char* prime) const { return key_text(0, prime); }

    ix_handle* handle_;
    FileHeader header_;
    FileProblem* problem_;
    FileSummary* summary_;
    uint32_t block_size_ = 0;
    uint64_t end_ = 0;
    uint64_t physical_end_ = 0;
    std::unique_ptr<Reader> reader_;

    std::vector<TreeContents> trees_;
    std::unordered_map<uint32_t, int> page_owner_;  // page address -> tree
    std::vector<Piece> pieces_;                     // in address order
    Bytes record_keys_;
    std::unordered_map<std::string, size_t> record_by_prime_;  // prime -> piece index
    std::unordered_set<uint32_t> listed_;

    // Block format: the sets found by the walk, and the records in chain order.
    struct SetFound {
        uint32_t next = 0;
        uint32_t previous = 0;
        size_t first_piece = 0;  // its records in pieces_
        size_t records = 0;
        bool on_chain = false;
    };
    std::unordered_map<uint32_t, SetFound> sets_;
    std::unordered_set<uint32_t> free_blocks_;  // type 8 blocks found by the walk
    std::vector<size_t> chain_records_;
};

}  // namespace kvr::isam::checking

#endif
