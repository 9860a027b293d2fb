// The file checker: the trees first (each by the tree checker, then read
// whole), then a walk that cuts the file into slots and blocks, then the
// entries against the records, and the free lists against the walk.
#include "engine/isam/file_checker.h"

#include "engine/isam/file_check.h"

namespace kvr::isam {

namespace checking {

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

bool FileCheck::begin(const char* size_field, uint32_t block_size, bool block_size_usable) {
    const int key_count = header_.key_count();
    if (key_count < 1 || key_count > engine::kMaxKeys || handle_->open_trees != key_count)
        return fail("the handle's trees do not match its key count");
    block_size_ = block_size;
    if (!block_size_usable)
        return fail(size_field + (" " + std::to_string(block_size_)));
    return find_end();
}

bool FileCheck::collect_trees() {
    const int key_count = header_.key_count();
    trees_.resize(static_cast<size_t>(key_count));
    for (int k = 0; k < key_count; ++k) {
        if (!collect_tree(k))
            return false;
    }
    return true;
}

bool FileCheck::run() {
    if (!handle_->image || !handle_->trees)
        return fail("the handle holds no open file");
    if ((header_.open_flags() & (engine::kOpenInput | engine::kOpenUpdate)) == 0)
        return fail("the file is not open");
    if (header_.block_format())
        return run_blocks();
    const uint32_t block_size = header_.index_block_size();
    if (!begin("index_block_size", block_size,
               block_size >= store::kFreeHeaderSize && block_size <= store::kMaxSlotSize))
        return false;
    CursorGuard guard(handle_);
    if (!collect_trees())
        return false;
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

}  // namespace checking

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
    checking::FileCheck check(handle, problem, summary);
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
