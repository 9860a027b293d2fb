// The file checker: the trees first (each by the tree checker, then read
// whole), then a walk that cuts the file into slots and blocks, then the
// entries against the records, and the free lists against the walk.
#include "engine/isam/file_checker.h"

#include <algorithm>
#include <cstring>
#include <limits>
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

namespace kvr::isam {

namespace {

using Bytes = std::vector<unsigned char>;
using engine::FileHeader;

constexpr uint32_t kWindowSize = 64 * 1024;

std::string at_text(uint64_t offset) {
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

    bool find_end();
    bool collect_tree(int k);
    bool walk();
    bool walk_one(uint32_t at, Piece* piece);
    bool check_prime();
    bool check_alternates();
    bool check_index_block_list();
    bool check_record_lists();
    bool check_record_list(int k, uint32_t classes);
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

bool FileCheck::find_end() {
    uint32_t physical = 0;
    if (!handle_->io.seek_end(&physical).ok())
        return fail("the file's end cannot be found");
    physical_end_ = physical;
    end_ = physical;
    if (handle_->write_buffer_fill != 0) {
        // The buffer keeps a copy of the file's last slots: it ends where
        // the file does.
        const uint64_t buffer_end =
            uint64_t{handle_->write_buffer_offset} + handle_->write_buffer_fill;
        if (buffer_end != physical)
            return fail("the append buffer ends at " + at_text(buffer_end) +
                            ", not at the file's end " + at_text(physical),
                        -1, handle_->write_buffer_offset);
    }
    if (end_ < handle_->header_size)
        return fail("the file ends at " + at_text(end_) + ", inside its header area");
    summary_->file_end = end_;
    reader_ = std::make_unique<Reader>(*handle_, physical_end_, end_);
    return true;
}

// Reads every page of tree k (already found sound by the tree checker) and
// keeps its entries.
bool FileCheck::collect_tree(int k) {
    tree::Tree* t = handle_->tree(k);
    tree::TreeProblem tree_problem;
    tree::TreeSummary tree_summary;
    if (!tree::check_tree(t, &tree_problem, &tree_summary))
        return fail("tree: " + tree::describe(tree_problem), k, tree_problem.page);
    if (t->page_size() > block_size_)
        return fail("page size " + std::to_string(t->page_size()) + " exceeds the index block size",
                    k);

    TreeContents& contents = trees_[static_cast<size_t>(k)];
    const uint32_t key_len = static_cast<uint32_t>(t->key_len());
    const uint32_t data_len = static_cast<uint32_t>(t->data_len());
    std::vector<uint32_t> level{t->root()};
    std::vector<Place> level_named_by{Place{}};
    Bytes page(t->page_size());
    while (!level.empty()) {
        std::vector<uint32_t> below;
        std::vector<Place> below_named_by;
        for (size_t p = 0; p < level.size(); ++p) {
            const uint32_t address = level[p];
            if (contents.pages.size() >= tree_summary.pages)
                return fail("more pages than the tree checker counted", k, address);
            contents.pages.push_back(address);
            contents.page_named_by.push_back(level_named_by[p]);
            t->set_mark_dirty(false);
            t->begin_operation();
            tree::Status result = tree::kTreeOk;
            const unsigned char* cached = tree::get_page(t, address, &result);
            if (cached == nullptr)
                return fail(tree::fetch_failure(result), k, address);
            std::memcpy(page.data(), cached, page.size());
            const int count = tree::page_count(page.data());
            if (count < 0)
                return fail("a negative count", k, address);
            if (tree::is_leaf(page.data())) {
                for (int i = 0; i < count; ++i) {
                    const unsigned char* key = tree::leaf_key(*t, page.data(), i);
                    const unsigned char* data = tree::leaf_data(*t, page.data(), i);
                    contents.keys.insert(contents.keys.end(), key, key + key_len);
                    contents.data.insert(contents.data.end(), data, data + data_len);
                    contents.places.push_back(Place{address, i});
                }
                contents.entries += static_cast<size_t>(count);
            } else {
                for (int i = 0; i <= count; ++i) {
                    below.push_back(tree::branch_child(page.data(), i));
                    below_named_by.push_back(Place{address, i});
                }
            }
        }
        level = std::move(below);
        level_named_by = std::move(below_named_by);
    }

    // A tree without pages opened for reading has an empty root leaf that
    // lives in the cache only, at or past the file's end.
    if (!t->writable() && contents.pages.size() == 1 && contents.entries == 0 &&
        contents.pages[0] >= end_) {
        contents.pages.clear();
        contents.page_named_by.clear();
    }
    for (size_t j = 0; j < contents.pages.size(); ++j) {
        const uint32_t address = contents.pages[j];
        if (address < handle_->header_size || uint64_t{address} + block_size_ > end_)
            return fail_at_page_link(named_by_text(contents.page_named_by[j]) +
                                         " names the page at " + at_text(address) +
                                         ", which lies outside the file's blocks",
                                     k, j);
        const auto owner = page_owner_.emplace(address, k);
        if (!owner.second)
            return fail("page at " + at_text(address) + " is also a page of key " +
                            std::to_string(owner.first->second),
                        k, address);
    }
    summary_->index_pages += contents.pages.size();
    return true;
}

// One piece of the file starting at `at`.
bool FileCheck::walk_one(uint32_t at, Piece* piece) {
    piece->address = at;
    const auto owner = page_owner_.find(at);
    if (owner != page_owner_.end()) {
        piece->kind = Kind::kPage;
        piece->tree = owner->second;
        piece->size = block_size_;
        return true;
    }
    unsigned char head[store::kSlotHeaderSize];
    if (end_ - at < store::kSlotHeaderSize || !reader_->read(at, head, store::kSlotHeaderSize))
        return fail("the file ends inside the slot header at " + at_text(at), -1, at);
    const store::SlotHeader slot = store::decode_slot_header(head);
    piece->flags = slot.flags;
    const uint16_t page_type = platform::load_u16(head);
    if (page_type == tree::kBranchPage || page_type == tree::kLeafPage ||
        platform::load_u32(head) == 0) {
        // An index page no tree uses, or a block handed out and never written.
        piece->kind = Kind::kUnusedBlock;
        piece->size = block_size_;
    } else if (slot.type() == store::kSlotTypeRecord || slot.type() == store::kSlotTypeFree) {
        const bool free = slot.type() == store::kSlotTypeFree;
        piece->kind = free ? Kind::kFree : Kind::kRecord;
        if (slot.length < store::kSlotHeaderSize)
            return fail("slot of length " + std::to_string(slot.length) + " at " + at_text(at), -1,
                        at);
        if (!slot.has_slack() && slot.short_slack() != 0)
            return fail("slot flags " + std::to_string(slot.flags) + " at " + at_text(at) +
                            " carry a slack size without the slack bit",
                        -1, at);
        if (free && slot.has_slack() && slot.length >= store::kFreeHeaderSize)
            return fail("free slot at " + at_text(at) + " carries slack flags", -1, at);
        uint64_t size = slot.length;
        if (slot.has_slack()) {
            uint32_t slack = slot.short_slack();
            if (slack == 0) {
                unsigned char word[store::kSlackWordSize];
                if (!reader_->read(uint64_t{at} + slot.length, word, store::kSlackWordSize))
                    return fail("the slack word of the slot at " + at_text(at) +
                                    " lies past the file's end",
                                -1, at);
                slack = platform::load_u32(word);
                if (slack < store::kSlackWordSize)
                    return fail("slack word " + std::to_string(slack) + " of the slot at " +
                                    at_text(at) + " is below 4",
                                -1, at);
            }
            size += slack;
        }
        if (size > store::kMaxSlotSize)
            return fail("slot at " + at_text(at) + " is larger than a slot can be", -1, at);
        piece->size = static_cast<uint32_t>(size);
        if (!free) {
            piece->data_length = slot.length - store::kSlotHeaderSize;
            if (piece->data_length > header_.max_record_length())
                return fail("record at " + at_text(at) + " is longer than the longest record", -1,
                            at);
            const uint32_t keys_end = static_cast<uint32_t>(header_.keys_end());
            if (piece->data_length < keys_end)
                return fail("record at " + at_text(at) + " is shorter than its keys", -1, at);
            piece->keys_at = record_keys_.size();
            record_keys_.resize(record_keys_.size() + keys_end);
            if (!reader_->read(uint64_t{at} + store::kSlotHeaderSize,
                               record_keys_.data() + piece->keys_at, keys_end))
                return fail("record at " + at_text(at) + " cannot be read", -1, at);
        }
    } else {
        return fail("bytes at " + at_text(at) +
                        " are neither a slot nor an index block (first byte " +
                        std::to_string(head[0]) + ")",
                    -1, at);
    }
    if (uint64_t{at} + piece->size > end_)
        return fail(
            "the slot or block at " + at_text(at) + " runs past the file's end " + at_text(end_),
            -1, at);
    return true;
}

bool FileCheck::walk() {
    uint64_t at = handle_->header_size;
    while (at < end_) {
        Piece piece;
        if (!walk_one(static_cast<uint32_t>(at), &piece))
            return false;
        at += piece.size;  // every piece is at least 4 bytes: the walk ends
        pieces_.push_back(piece);
    }
    // A page that the walk stepped over lies inside something else.
    for (const auto& [address, k] : page_owner_) {
        const Piece* piece = piece_at(address);
        if (piece == nullptr || piece->kind != Kind::kPage)
            return fail("page at " + at_text(address) + " overlaps " + what_is_at(address), k,
                        address);
    }
    return true;
}

const Piece* FileCheck::piece_at(uint32_t address) const {
    const auto it =
        std::lower_bound(pieces_.begin(), pieces_.end(), address,
                         [](const Piece& piece, uint32_t value) { return piece.address < value; });
    if (it == pieces_.end() || it->address != address)
        return nullptr;
    return &*it;
}

// What lies at an address, for messages.
std::string FileCheck::what_is_at(uint32_t address) const {
    if (address < handle_->header_size)
        return "the header area";
    if (address >= end_)
        return "nothing: it is past the file's end " + at_text(end_);
    const Piece* piece = piece_at(address);
    if (piece == nullptr) {
        const auto it =
            std::upper_bound(pieces_.begin(), pieces_.end(), address,
                             [](uint32_t value, const Piece& p) { return value < p.address; });
        if (it == pieces_.begin())
            return "an unknown place";
        return "the middle of the slot or block at " + at_text(std::prev(it)->address);
    }
    switch (piece->kind) {
        case Kind::kPage:
            return "a page of key " + std::to_string(piece->tree);
        case Kind::kUnusedBlock:
            return "an index block not marked free";
        case Kind::kRecord:
            return "a live record";
        case Kind::kFree:
            return "a free slot";
    }
    return "an unknown place";
}

bool FileCheck::check_prime() {
    const TreeContents& prime = trees_[0];
    const size_t key_len = static_cast<size_t>(header_.key_length(0));
    if (handle_->tree(0)->key_len() != static_cast<int>(key_len) ||
        handle_->tree(0)->data_len() != 4)
        return fail("the prime tree's entries are not key and address", 0);
    for (size_t j = 0; j < prime.entries; ++j) {
        const unsigned char* key = prime.keys.data() + j * key_len;
        const uint32_t address = platform::load_u32(prime.data.data() + j * 4);
        Piece* piece = piece_at(address);
        if (piece == nullptr || piece->kind != Kind::kRecord)
            return fail_at_entry("prime entry " + prime_text(key) + " names " + at_text(address) +
                                     ", which is " + what_is_at(address),
                                 0, j);
        if (piece->named)
            return fail_at_entry("prime entry " + prime_text(key) + " names the record at " +
                                     at_text(address) + ", which an entry before it names (" +
                                     "the record's prime key is " +
                                     prime_text(record_key(*piece, 0)) + ")",
                                 0, j);
        if (std::memcmp(record_key(*piece, 0), key, key_len) != 0)
            return fail_at_entry("prime entry " + prime_text(key) + " names the record at " +
                                     at_text(address) + ", whose prime key is " +
                                     prime_text(record_key(*piece, 0)),
                                 0, j);
        piece->named = true;
        record_by_prime_.emplace(std::string(reinterpret_cast<const char*>(key), key_len),
                                 static_cast<size_t>(piece - pieces_.data()));
    }
    summary_->records = prime.entries;
    if (header_.record_count() != prime.entries)
        return fail("record_count is " + std::to_string(header_.record_count()) +
                    ", the file has " + std::to_string(prime.entries) + " records");
    return true;
}

bool FileCheck::check_alternates() {
    const size_t prime_len = static_cast<size_t>(header_.key_length(0));
    for (int i = 1; i < header_.key_count(); ++i) {
        const TreeContents& alt = trees_[static_cast<size_t>(i)];
        const tree::Tree& t = *handle_->tree(i);
        const size_t key_len = static_cast<size_t>(t.key_len());
        const size_t part_len = static_cast<size_t>(header_.key_length(i));
        if (static_cast<size_t>(t.data_len()) != prime_len)
            return fail("the tree's data is not a prime key", i);
        std::unordered_map<size_t, uint32_t> entries_of;  // piece index -> entries
        for (size_t j = 0; j < alt.entries; ++j) {
            const unsigned char* key = alt.keys.data() + j * key_len;
            const unsigned char* prime = alt.data.data() + j * prime_len;
            const auto found =
                record_by_prime_.find(std::string(reinterpret_cast<const char*>(prime), prime_len));
            if (found == record_by_prime_.end())
                return fail_at_entry("entry " + key_text(i, key) + " names prime key " +
                                         prime_text(prime) + ", which no record has",
                                     i, j);
            const Piece& piece = pieces_[found->second];
            if (std::memcmp(record_key(piece, i), key, part_len) != 0)
                return fail_at_entry("entry " + key_text(i, key) + " names the record " +
                                         prime_text(prime) + " at " + at_text(piece.address) +
                                         ", whose key is " + key_text(i, record_key(piece, i)),
                                     i, j);
            if (++entries_of[found->second] > 1)
                return fail_at_entry("entry " + key_text(i, key) + " names the record " +
                                         prime_text(prime) + " at " + at_text(piece.address) +
                                         ", which has an entry before it: the record has two "
                                         "entries",
                                     i, j);
        }
        if (entries_of.size() != record_by_prime_.size()) {
            for (const auto& [prime, index] : record_by_prime_) {
                if (entries_of.count(index) == 0)
                    return fail(
                        "the record " +
                            prime_text(reinterpret_cast<const unsigned char*>(prime.data())) +
                            " at " + at_text(pieces_[index].address) + " has no entry",
                        i, pieces_[index].address);
            }
        }
    }
    return true;
}

bool FileCheck::read_free_header(uint32_t at, store::FreeHeader* free) {
    unsigned char bytes[store::kFreeHeaderSize];
    if (!reader_->read(at, bytes, store::kFreeHeaderSize))
        return fail("the free header at " + at_text(at) + " cannot be read", -1, at);
    *free = store::decode_free_header(bytes);
    return true;
}

bool FileCheck::check_index_block_list() {
    uint32_t at = header_.index_block_list();
    uint32_t from = 0;
    const std::string list = "the index-block list";
    while (at != 0) {
        if (!listed_.insert(at).second)
            return fail(link_text(from, list, "free index block") + " names " + at_text(at) +
                            " again: the list comes back to it",
                        -1, from);
        Piece* piece = piece_at(at);
        if (piece == nullptr || piece->kind != Kind::kFree)
            return fail(link_text(from, list, "free index block") + " names " + at_text(at) +
                            ", which is " + what_is_at(at),
                        piece != nullptr ? piece->tree : -1, from);
        store::FreeHeader free;
        if (!read_free_header(at, &free))
            return false;
        if (free.flags != store::kSlotTypeFree || free.size != block_size_ ||
            piece->size != block_size_ || free.next_size != 0)
            return fail("free index block at " + at_text(at) + " is not marked as one", -1, at);
        piece->listed = true;
        ++summary_->free_index_blocks;
        from = at;
        at = free.next;
    }
    return true;
}

bool FileCheck::check_record_list(int k, uint32_t classes) {
    uint32_t at = header_.free_list_head(k);
    uint32_t expected = header_.free_list_size(k);
    const std::string list = "free list " + std::to_string(k);
    if (at == 0 && expected != 0)
        return fail(list + " is empty, but the table gives its first slot " +
                    std::to_string(expected) + " bytes");
    if (classes == 1 && k > 1 && at != 0)
        return fail(list + " is used, but every record has the same length", -1, at);
    uint32_t previous_size = std::numeric_limits<uint32_t>::max();
    uint32_t from = 0;
    while (at != 0) {
        if (!listed_.insert(at).second)
            return fail(link_text(from, list, "free slot") + " names " + at_text(at) +
                            " again: the list comes back to it (a loop, or a slot on two "
                            "lists)",
                        -1, from);
        Piece* piece = piece_at(at);
        if (piece == nullptr || piece->kind != Kind::kFree)
            return fail(link_text(from, list, "free slot") + " names " + at_text(at) +
                            ", which is " + what_is_at(at),
                        piece != nullptr ? piece->tree : -1, from);
        store::FreeHeader free;
        if (!read_free_header(at, &free))
            return false;
        if (free.flags != store::kSlotTypeFree || free.size < store::kFreeHeaderSize ||
            free.size != piece->size)
            return fail("free slot at " + at_text(at) + " on " + list + " has no free header", -1,
                        at);
        if (free.size != expected)
            return fail(link_text(from, list, "free slot") + " gives the free slot at " +
                            at_text(at) + " " + std::to_string(expected) + " bytes; it has " +
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
            return fail("free slot at " + at_text(at) + " ends " + list + " but gives a next size",
                        -1, at);
        piece->listed = true;
        ++summary_->listed_free_slots;
        previous_size = free.size;
        expected = free.next_size;
        from = at;
        at = free.next;
    }
    return true;
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
    uint32_t at = header_.avail_list_head();
    uint32_t from = 0;
    const std::string list = "the avail list";
    while (at != 0) {
        if (!listed_.insert(at).second)
            return fail(link_text(from, list, "free block") + " names " + at_text(at) +
                            " again: the list comes back to it",
                        -1, from);
        if (free_blocks_.count(at) == 0)
            return fail(link_text(from, list, "free block") + " names " + at_text(at) +
                            ", which is " +
                            (page_owner_.count(at) != 0 ? "a page"
                             : sets_.count(at) != 0     ? "a sequence set"
                                                        : "no free block"),
                        -1, from);
        unsigned char head[store::kSetHeaderSize];
        if (!reader_->read(at, head, sizeof head))
            return fail("the free block at " + at_text(at) + " cannot be read", -1, at);
        ++summary_->free_blocks;
        from = at;
        at = platform::load_u32(head + store::kSetNextAt);
    }
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
    const int key_count = header_.key_count();
    if (key_count < 1 || key_count > engine::kMaxKeys || handle_->open_trees != key_count)
        return fail("the handle's trees do not match its key count");
    block_size_ = header_.sequence_set_size();
    if (block_size_ < 4096 || block_size_ > store::kLargestSetSize)
        return fail("sequence_set_size " + std::to_string(block_size_));
    if (!find_end())
        return false;
    CursorGuard guard(handle_);
    trees_.resize(static_cast<size_t>(key_count));
    for (int k = 0; k < key_count; ++k) {
        if (!collect_tree(k))
            return false;
    }
    return walk_blocks() && check_chain() && check_avail_list() && check_prime_in_chain() &&
           check_alternates();
}

bool FileCheck::run() {
    if (!handle_->image || !handle_->trees)
        return fail("the handle holds no open file");
    if ((header_.open_flags() & (engine::kOpenInput | engine::kOpenUpdate)) == 0)
        return fail("the file is not open");
    if (header_.block_format())
        return run_blocks();
    const int key_count = header_.key_count();
    if (key_count < 1 || key_count > engine::kMaxKeys || handle_->open_trees != key_count)
        return fail("the handle's trees do not match its key count");
    block_size_ = header_.index_block_size();
    if (block_size_ < store::kFreeHeaderSize || block_size_ > store::kMaxSlotSize)
        return fail("index_block_size " + std::to_string(block_size_));
    if (!find_end())
        return false;

    CursorGuard guard(handle_);
    trees_.resize(static_cast<size_t>(key_count));
    for (int k = 0; k < key_count; ++k) {
        if (!collect_tree(k))
            return false;
    }
    if (!walk() || !check_prime() || !check_alternates() || !check_index_block_list() ||
        !check_record_lists())
        return false;
    for (const Piece& piece : pieces_) {
        if (piece.kind == Kind::kRecord && !piece.named)
            ++summary_->orphan_records;
        else if (piece.kind == Kind::kFree && !piece.listed)
            ++summary_->unlisted_free_slots;
        else if (piece.kind == Kind::kUnusedBlock)
            ++summary_->unused_blocks;
    }
    return true;
}

}  // namespace

bool check_file(ix_handle* handle, FileProblem* problem, FileSummary* summary) {
    FileProblem unused_problem;
    FileSummary unused_summary;
    if (problem == nullptr)
        problem = &unused_problem;
    if (summary == nullptr)
        summary = &unused_summary;
    *problem = FileProblem{};
    *summary = FileSummary{};
    if (handle == nullptr) {
        problem->what = "no handle";
        return false;
    }
    FileCheck check(handle, problem, summary);
    return check.run();
}

std::string describe(const FileProblem& problem) {
    std::string where;
    if (problem.key >= 0)
        where = "key " + std::to_string(problem.key);
    if (problem.offset != 0)
        where += (where.empty() ? "" : ", ") + (problem.entry >= 0
                                                    ? "page " + std::to_string(problem.offset) +
                                                          " entry " + std::to_string(problem.entry)
                                                    : "offset " + std::to_string(problem.offset));
    return where.empty() ? problem.what : where + ": " + problem.what;
}

}  // namespace kvr::isam
