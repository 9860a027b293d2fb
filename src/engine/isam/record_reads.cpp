// The reads of an open indexed file, keyed and positional (which also
// serve START when no record is wanted), and the key of reference's
// position kept and put back.
//
// Every tree keeps its own cursor; reads position through the tree of the
// key asked for and record it in current_key, which DELETE then works on.
#include <cstring>

#include "engine/isam/record_access.h"
#include "vmqrmkvr/isam.h"

namespace kvr::isam {

using engine::FileHeader;
using tree::kMaxKeyLen;
using tree::Tree;

namespace {

// Fetches the record at address into the caller's buffer: min(buffer size,
// record length) bytes, and the record's full length into *length.
engine::Result fetch_record(ix_handle* handle, uint32_t address, unsigned char* buffer,
                            uint32_t* length, const unsigned char** record) {
    unsigned char* data = nullptr;
    uint32_t record_length = 0;
    const engine::Result result = stored_record(handle, address, &data, &record_length);
    if (result != engine::kOk)
        return result;
    std::memcpy(buffer, data, record_length < *length ? record_length : *length);
    *length = record_length;
    *record = data;
    return engine::kOk;
}

// Reads the record whose entry tree k's cursor stands on (its key and data
// as a tree operation handed them back), copying what the reads promise.
engine::Result read_record_at_entry(ix_handle* handle, int k, const unsigned char* entry_data,
                                    unsigned char* buffer, uint32_t* length, uint16_t op,
                                    const unsigned char** record) {
    uint32_t address = 0;
    const tree::Status status = record_address_at(handle, k, entry_data, &address);
    if (status != tree::kTreeOk)
        return map_tree_status(status);
    engine::Result result = fetch_record(handle, address, buffer, length, record);
    if (result == engine::kOk && (op & IX_HOLD_RECORD) != 0)
        handle->header().set_held_record(address);
    // A read gives up the record this handle locked last, unless it reads
    // that record again (as REWRITE and DELETE by key do); a read that
    // holds its record takes the record's lock, or reports that another
    // handle holds it.
    if (result == engine::kOk && (op & IX_HOLD_RECORD) != 0)
        result = claim_record_lock(handle, prime_key_of(handle->header(), *record));
    else if (result != engine::kOk ||
             !holds_record_lock(handle, prime_key_of(handle->header(), *record)))
        release_record_lock(handle);
    return result;
}

// The checks both reads make first: an open file, a key that exists.
engine::Result check_read(const FileHeader& header, int k) {
    if (!is_open(header))
        return engine::kNotOpen;
    if (k < 0 || k >= header.key_count())
        return engine::kBadKeyNumber;
    return engine::kOk;
}

}  // namespace

engine::Result ix_save_position(ix_handle* handle) {
    FileHeader header = handle->header();
    if (!is_open(header))
        return engine::kNotOpen;
    SavedReference& saved = handle->saved_reference;
    saved = SavedReference{};
    const uint32_t k = header.current_key();
    if (k >= static_cast<uint32_t>(header.key_count()))
        return engine::kOk;  // no key of reference yet: nothing to keep
    saved.saved = true;
    saved.key_number = k;
    saved.position = keep_position(handle, static_cast<int>(k));
    return engine::kOk;
}

engine::Result ix_restore_position(ix_handle* handle) {
    FileHeader header = handle->header();
    if (!is_open(header))
        return engine::kNotOpen;
    const SavedReference saved = handle->saved_reference;
    handle->saved_reference = SavedReference{};
    if (!saved.saved)
        return engine::kNoPosition;
    put_back_position(handle, static_cast<int>(saved.key_number), saved.position);
    header.set_current_key(saved.key_number);
    return engine::kOk;
}

engine::Result ix_read_keyed(ix_handle* handle, unsigned char* buffer, uint32_t* length,
                             unsigned char* key_area, int k, uint16_t op) {
    FileHeader header = handle->header();
    if (const engine::Result checked = check_read(header, k); checked != engine::kOk)
        return checked;
    tree::SearchMode mode;
    switch (op & 0xFF) {
        case IX_READ_EQ:
            mode = tree::kFindEqual;
            break;
        case IX_READ_GT:
            mode = tree::kFindGreater;
            break;
        case IX_READ_GE:
            mode = tree::kFindGreater | tree::kFindEqual;
            break;
        case IX_READ_LE:
            mode = tree::kFindBackwards | tree::kFindEqual;
            break;
        case IX_READ_LT:
            mode = tree::kFindBackwards;
            break;
        case IX_READ_DUP:
            break;
        default:
            return engine::kBadOpcode;
    }
    const bool exact = (op & 0xFF) == IX_READ_DUP;
    if (exact && buffer == nullptr)
        return engine::kBadOpcode;  // the wanted prime key comes in the buffer
    Tree* tree = handle->tree(k);
    const TreeKey search = tree_key(header, k, key_area);
    unsigned char* entry_data = nullptr;
    unsigned char* entry_key = nullptr;
    bool equal_seen = false;
    tree::Status status;
    if (exact) {
        unsigned char prime[kMaxKeyLen];
        std::memcpy(prime, prime_key_of(header, buffer), key_length(header, 0));
        status = tree::find_duplicate(tree, search.bytes, prime, &entry_data);
        if (status == tree::kTreeOk)
            entry_key = tree->cursor().key;
    } else {
        status = tree::find_key(tree, search.bytes, &entry_data, mode, &equal_seen, &entry_key);
    }
    header.set_current_key(static_cast<uint32_t>(k));
    const bool includes_equal = exact || mode.has(tree::kFindEqual);
    const bool relation_is_equal = exact || mode == tree::kFindEqual;

    if (*length == 0) {
        if (status != tree::kTreeOk)
            return map_tree_status(status);
        if (includes_equal && equal_seen)
            return engine::kDuplicateFollows;
        if (!relation_is_equal && key_area != nullptr)
            std::memcpy(key_area, entry_key, key_length(header, k));
        return engine::kOk;
    }
    if (status != tree::kTreeOk)
        return map_tree_status(status);
    const unsigned char* record = nullptr;
    const engine::Result result =
        read_record_at_entry(handle, k, entry_data, buffer, length, op, &record);
    if (result != engine::kOk)
        return result;
    if (!relation_is_equal && key_area != nullptr)
        std::memcpy(key_area, record + header.key_offset(k), key_length(header, k));
    return includes_equal && equal_seen ? engine::kDuplicateFollows : engine::kOk;
}

namespace {

// The cursor step of each positional read, and the step that takes a
// successful move back (for reads that move).
using Step = tree::Status (*)(Tree*, unsigned char**, unsigned char**);
struct PositionalRead {
    int opcode;
    Step step;
    Step undo;
};
constexpr PositionalRead kPositionalReads[] = {
    {IX_READ_FIRST, tree::first_entry, nullptr},
    {IX_READ_LAST, tree::last_entry, nullptr},
    {IX_READ_NEXT, tree::next_entry, tree::previous_entry},
    {IX_READ_CURRENT, tree::current_entry, nullptr},
    {IX_READ_PREV, tree::previous_entry, tree::next_entry},
};

const PositionalRead* positional_read(int opcode) {
    for (const PositionalRead& read : kPositionalReads)
        if (read.opcode == opcode)
            return &read;
    return nullptr;
}

}  // namespace

// How many records a prime-key scan asks for ahead of the one it reads.
constexpr int kReadAhead = 16;

engine::Result ix_read_positional(ix_handle* handle, unsigned char* buffer, uint32_t* length,
                                  unsigned char* key_area, int k, uint16_t op) {
    FileHeader header = handle->header();
    if (const engine::Result checked = check_read(header, k); checked != engine::kOk)
        return checked;
    const PositionalRead* read = positional_read(op & 0xFF);
    if (read == nullptr)
        return engine::kBadOpcode;
    const Step step = read->step;
    const Step undo = read->undo;
    Tree* tree = handle->tree(k);
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    const tree::Status status = step(tree, &entry_key, &entry_data);
    header.set_current_key(static_cast<uint32_t>(k));
    if (status != tree::kTreeOk)
        return map_tree_status(status);
    // A move under a hold is taken back when the record cannot be read, so
    // that the cursor stays where it was.
    const bool remembered = undo != nullptr && (op & IX_HOLD_RECORD) != 0;
    if (key_area != nullptr)
        std::memcpy(key_area, entry_key, key_length(header, k));
    const bool duplicate_follows = k > 0 && tree::duplicate_follows(tree);

    if (*length == 0)
        return duplicate_follows ? engine::kDuplicateFollows : engine::kOk;
    // Reading on through the prime key: the records the next entries name
    // lie anywhere in the file; asking for them now lets their fetches
    // overlap. On a leaf's first entry the whole run ahead is asked for;
    // after that each step asks only for the farthest, since the steps
    // before asked for the nearer ones (asking again only fills the
    // processor's queue of outstanding fetches).
    if (k == 0 && (op & 0xFF) == IX_READ_NEXT && !header.block_format()) {
        const unsigned char* ahead[kReadAhead];
        int index = 0;
        const int n = _vmq_following_data(tree, kReadAhead, ahead, &index);
        const int first = index <= 0 ? 0 : (n == kReadAhead ? n - 1 : n);
        for (int i = first; i < n; ++i)
            _vmq_prefetch_record(handle, platform::load_u32(ahead[i]));
    }
    const unsigned char* record = nullptr;
    const engine::Result result =
        read_record_at_entry(handle, k, entry_data, buffer, length, op, &record);
    if (result != engine::kOk) {
        if (remembered)
            undo(tree, nullptr, nullptr);
        return result;
    }
    return duplicate_follows ? engine::kDuplicateFollows : engine::kOk;
}

}  // namespace kvr::isam
