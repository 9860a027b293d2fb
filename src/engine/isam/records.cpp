// The record operations of an open indexed file: keyed and positional
// reads (which also serve START when no record is wanted), WRITE, REWRITE
// and DELETE, over every key.
//
// The prime-key tree (key 0) maps each prime key to the 4-byte address of
// the record in the data store; each alternate-key tree maps the alternate
// value to the record's prime key. Every tree keeps its own cursor; reads
// position through the tree of the key asked for and record it in
// current_key, which DELETE then works on.
#include <cstring>
#include <vector>

#include "engine/file_header.h"
#include "engine/isam/ix_handle.h"
#include "engine/results.h"
#include "engine/store/sequence_set.h"
#include "engine/store/store.h"
#include "engine/tree/operations.h"
#include "vmqrmkvr/isam.h"

namespace kvr::isam {

using engine::FileHeader;
using tree::kMaxKeyLen;
using tree::Tree;

namespace {

// A key value as a tree takes it: the record's key bytes, followed (in a
// tree with duplicates) by room for the duplicate number.
struct TreeKey {
    unsigned char bytes[kMaxKeyLen] = {};
};

TreeKey tree_key(const FileHeader& header, int k, const unsigned char* value) {
    TreeKey key;
    std::memcpy(key.bytes, value, static_cast<size_t>(header.key_length(k)));
    return key;
}

TreeKey record_key(const FileHeader& header, int k, const unsigned char* record) {
    return tree_key(header, k, record + header.key_offset(k));
}

const unsigned char* prime_key_of(const FileHeader& header, const unsigned char* record) {
    return record + header.key_offset(0);
}

size_t key_length(const FileHeader& header, int k) {
    return static_cast<size_t>(header.key_length(k));
}

bool same_key(const FileHeader& header, int k, const unsigned char* a, const unsigned char* b) {
    return std::memcmp(a, b, key_length(header, k)) == 0;
}

// The record store of the file's format: sequence sets in the block format,
// slots otherwise. Both take the same arguments.
store::Status store_get(ix_handle* handle, uint32_t address, unsigned char** data,
                        uint32_t* length) {
    return handle->header().block_format() ? store::get_sequence_set(handle, address, data, length)
                                           : store::get_record(handle, address, data, length);
}
store::Status store_put(ix_handle* handle, uint32_t* address, const unsigned char* data,
                        uint32_t length, store::PutMode mode) {
    return handle->header().block_format()
               ? store::put_sequence_set(handle, address, data, length, mode)
               : store::put_record(handle, address, data, length, mode);
}
store::Status store_delete(ix_handle* handle, uint32_t address) {
    return handle->header().block_format() ? store::delete_sequence_set(handle, address)
                                           : store::delete_record(handle, address);
}

// A tree status, ok or not, as an engine result.
engine::Result tree_result(tree::Status status) {
    return map_tree_status(status);
}

bool is_open(const FileHeader& header) {
    return (header.open_flags() & (engine::kOpenInput | engine::kOpenUpdate)) != 0;
}

// The checks every worker that changes records makes first.
engine::Result check_update(const FileHeader& header, uint32_t length, int k) {
    if (!is_open(header))
        return engine::kNotOpen;
    if ((header.open_flags() & engine::kOpenUpdate) == 0)
        return engine::kIoError;
    if (length < static_cast<uint32_t>(header.keys_end()))
        return engine::kRecordTooShort;
    if (length > header.max_record_length())
        return engine::kRecordTooLong;
    // A sequence set holds its records with 40 bytes of headers; a longer
    // record is refused here, before any index changes, not by the store
    // after a REWRITE has changed the alternate keys.
    if (header.block_format() && length + store::kFirstRecordAt > header.sequence_set_size())
        return engine::kRecordTooLong;
    if (k < 0 || k >= header.key_count())
        return engine::kBadKeyNumber;
    return engine::kOk;
}

// Positions the prime-key tree on the record whose prime key an alternate
// entry holds; its data is the record's address.
tree::Status position_prime(ix_handle* handle, const unsigned char* prime_key, uint32_t* address) {
    FileHeader header = handle->header();
    TreeKey key = tree_key(header, 0, prime_key);
    unsigned char* data = nullptr;
    bool equal_seen = false;
    const tree::Status status =
        tree::find_key(handle->tree(0), key.bytes, &data, tree::kFindEqual, &equal_seen, nullptr);
    if (status != tree::kTreeOk)
        return status;
    *address = platform::load_u32(data);
    return tree::kTreeOk;
}

// Fetches the record at address into the caller's buffer: min(buffer size,
// record length) bytes, and the record's full length into *length.
engine::Result fetch_record(ix_handle* handle, uint32_t address, unsigned char* buffer,
                            uint32_t* length, const unsigned char** record) {
    unsigned char* data = nullptr;
    uint32_t record_length = 0;
    const store::Status status = store_get(handle, address, &data, &record_length);
    if (status != store::kOk)
        return store_result(status);
    if (record_length < static_cast<uint32_t>(handle->header().keys_end()))
        return engine::kIoError;  // a record that cannot hold its keys: damage
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
    if (k > 0) {
        unsigned char prime[kMaxKeyLen];
        std::memcpy(prime, entry_data, key_length(handle->header(), 0));
        const tree::Status status = position_prime(handle, prime, &address);
        if (status != tree::kTreeOk)
            return tree_result(status);
    } else {
        address = platform::load_u32(entry_data);
    }
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

// The address of the record whose prime key comes right before `prime`
// (0 when none does); 5 when `prime` is there already.
engine::Result find_predecessor(ix_handle* handle, const unsigned char* prime, uint32_t* address) {
    // Below every key there is no predecessor: that is no failure, the
    // record just has no placement hint.
    *address = 0;
    const TreeKey key = tree_key(handle->header(), 0, prime);
    unsigned char* entry_data = nullptr;
    bool equal_seen = false;
    const tree::Status status = tree::find_key(handle->tree(0), key.bytes, &entry_data,
                                               tree::kFindBackwards, &equal_seen, nullptr);
    if (equal_seen)
        return engine::kDuplicate;
    if (status == tree::kTreeOk)
        *address = platform::load_u32(entry_data);
    else if (status != tree::kNoEntrySatisfies && status != tree::kKeyNotFound)
        return tree_result(status);
    return engine::kOk;
}

KeptPosition keep_position(ix_handle* handle, int i) {
    Tree* tree = handle->tree(i);
    KeptPosition kept;
    kept.state = tree->cursor().state;
    if (kept.state == 0 || (kept.state & tree::kCursorBeforeFirst) != 0)
        return kept;
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    if (tree::current_entry(tree, &entry_key, &entry_data) != tree::kTreeOk) {
        kept.state = 0;
        return kept;
    }
    std::memcpy(kept.key, entry_key, static_cast<size_t>(tree->key_len()));
    std::memcpy(kept.value, entry_data, static_cast<size_t>(tree->data_len()));
    tree->cursor().state = kept.state;
    return kept;
}

// True when the kept position was on the entry of key i that `record` (with
// prime key `prime`) has.
bool kept_on_record(const FileHeader& header, int i, const KeptPosition& kept,
                    const unsigned char* record, const unsigned char* prime) {
    return kept.state != 0 && (kept.state & tree::kCursorBeforeFirst) == 0 &&
           same_key(header, i, kept.key, record + header.key_offset(i)) &&
           (i == 0 || same_key(header, 0, kept.value, prime));
}

// Puts the cursor of key i back where `kept` says. When that entry is gone
// the cursor is left where it stood before the call.
void put_back_position(ix_handle* handle, int i, const KeptPosition& kept) {
    Tree* tree = handle->tree(i);
    const tree::Cursor before = tree->cursor();
    if (kept.state == 0) {
        tree->cursor().state = 0;
        return;
    }
    if ((kept.state & tree::kCursorBeforeFirst) != 0) {
        tree::place_before_first(tree);
        return;
    }
    // A key of a tree with duplicates is found again by its record's prime
    // key, which never changes; a unique key by itself (the prime tree's
    // addresses move in the block format).
    tree::Status status;
    if (tree->duplicates()) {
        status = tree::find_duplicate(tree, kept.key, kept.value, nullptr);
    } else {
        bool equal_seen = false;
        status = tree::find_key(tree, kept.key, nullptr, tree::kFindEqual, &equal_seen, nullptr);
    }
    if (status == tree::kTreeOk)
        tree->cursor().state = kept.state;
    else
        tree->cursor() = before;
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
    if (!is_open(header))
        return engine::kNotOpen;
    if (k < 0 || k >= header.key_count())
        return engine::kBadKeyNumber;
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
            return tree_result(status);
        if (includes_equal && equal_seen)
            return engine::kDuplicateFollows;
        if (!relation_is_equal && key_area != nullptr)
            std::memcpy(key_area, entry_key, key_length(header, k));
        return engine::kOk;
    }
    if (status != tree::kTreeOk)
        return tree_result(status);
    const unsigned char* record = nullptr;
    const engine::Result result =
        read_record_at_entry(handle, k, entry_data, buffer, length, op, &record);
    if (result != engine::kOk)
        return result;
    if (!relation_is_equal && key_area != nullptr)
        std::memcpy(key_area, record + header.key_offset(k), key_length(header, k));
    return includes_equal && equal_seen ? engine::kDuplicateFollows : engine::kOk;
}

// How many records a prime-key scan asks for ahead of the one it reads.
constexpr int kReadAhead = 16;

engine::Result ix_read_positional(ix_handle* handle, unsigned char* buffer, uint32_t* length,
                                  unsigned char* key_area, int k, uint16_t op) {
    FileHeader header = handle->header();
    if (!is_open(header))
        return engine::kNotOpen;
    if (k < 0 || k >= header.key_count())
        return engine::kBadKeyNumber;
    using Step = tree::Status (*)(Tree*, unsigned char**, unsigned char**);
    Step step = nullptr;
    Step undo = nullptr;
    switch (op & 0xFF) {
        case IX_READ_FIRST:
            step = tree::first_entry;
            break;
        case IX_READ_LAST:
            step = tree::last_entry;
            break;
        case IX_READ_NEXT:
            step = tree::next_entry;
            undo = tree::previous_entry;
            break;
        case IX_READ_CURRENT:
            step = tree::current_entry;
            break;
        case IX_READ_PREV:
            step = tree::previous_entry;
            undo = tree::next_entry;
            break;
        default:
            return engine::kBadOpcode;
    }
    Tree* tree = handle->tree(k);
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    const tree::Status status = step(tree, &entry_key, &entry_data);
    header.set_current_key(static_cast<uint32_t>(k));
    if (status != tree::kTreeOk)
        return tree_result(status);
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

namespace {

engine::Result write_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                            unsigned char* key_area, int k, bool* untouched) {
    // Until the first entry goes in, a refusal leaves the file as it was.
    *untouched = true;
    FileHeader header = handle->header();
    engine::Result result = check_update(header, length, k);
    if (result != engine::kOk)
        return result;
    const int key_count = header.key_count();
    const unsigned char* prime = prime_key_of(header, record);

    // The new key's place: after the current (sequential access) or the last
    // (extend) entry of key k, or not yet present (random).
    uint32_t hint = 0;
    const uint32_t open_flags = header.open_flags();
    const bool ordered =
        (open_flags & (engine::kOpenExtendCheck | engine::kOpenSequentialCheck)) != 0;
    if (ordered) {
        Tree* tree = handle->tree(k);
        unsigned char* entry_key = nullptr;
        unsigned char* entry_data = nullptr;
        const tree::Status status = (open_flags & engine::kOpenExtendCheck) != 0
                                        ? tree::last_entry(tree, &entry_key, &entry_data)
                                        : tree::current_entry(tree, &entry_key, &entry_data);
        if (status == tree::kTreeOk) {
            const int order = tree::compare_keys(*tree, record + header.key_offset(k), entry_key,
                                                 header.key_length(k));
            if (order == 0)
                return engine::kDuplicate;
            if (order < 0)
                return engine::kOutOfOrder;
            if (k == 0)
                hint = platform::load_u32(entry_data);
        } else if (status != tree::kTreeEndOfFile) {
            return tree_result(status);
        }
    } else {
        result = find_predecessor(handle, prime, &hint);
        if (result != engine::kOk)
            return result;
    }

    for (int i = 1; i < key_count; ++i) {
        if (header.key_allows_duplicates(i))
            continue;
        const TreeKey key = record_key(header, i, record);
        bool equal_seen = false;
        if (tree::find_key(handle->tree(i), key.bytes, nullptr, tree::kFindEqual, &equal_seen,
                           nullptr) == tree::kTreeOk)
            return engine::kDuplicate;
    }

    // The block format keeps its records in prime-key order, so its hint
    // must be the record right before the new one; the entry an order check
    // found need not be that one.
    if (ordered && header.block_format()) {
        result = find_predecessor(handle, prime, &hint);
        if (result != engine::kOk)
            return result;
    }

    // Alternate entries first, then the record, then its prime entry; a
    // failure takes back what was done.
    *untouched = false;
    bool duplicate = false;
    int inserted = 1;
    tree::Status status = tree::kTreeOk;
    // A tree that had no room for the pages its split needs refused the
    // entry without changing anything.
    bool refused_by_tree = false;
    for (; inserted < key_count; ++inserted) {
        const TreeKey key = record_key(header, inserted, record);
        status = tree::insert_key(handle->tree(inserted), key.bytes, prime, &duplicate);
        if (status != tree::kTreeOk) {
            refused_by_tree = handle->tree(inserted)->refused_for_room();
            break;
        }
    }
    uint32_t address = hint;
    bool stored = false;
    bool refused_by_store = false;
    if (status == tree::kTreeOk) {
        const store::Status put =
            store_put(handle, &address, record, length, store::PutMode::kWrite);
        if (put != store::kOk) {
            result = store_result(put);
            refused_by_store = true;
        } else {
            stored = true;
            unsigned char value[4];
            platform::store_u32(value, address);
            const TreeKey key = tree_key(header, 0, prime);
            status = tree::insert_key(handle->tree(0), key.bytes, value, &duplicate);
            refused_by_tree = status != tree::kTreeOk && handle->tree(0)->refused_for_room();
        }
    }
    if (status != tree::kTreeOk)
        result = tree_result(status);
    if (result != engine::kOk) {
        bool undone = true;
        if (stored)
            undone = store_delete(handle, address) == store::kOk;
        for (int i = 1; i < inserted; ++i)
            undone = tree::remove_current(handle->tree(i)) == tree::kTreeOk && undone;
        // A slot-format store that could not take the record (a full disk,
        // a file at its largest) has written nothing of it, nor has a tree
        // that had no room for a split; once the entries made and the
        // record stored are out again the file is as it was. A tree that
        // failed part-way through an insert may not be.
        *untouched = (refused_by_store || refused_by_tree) && undone && !header.block_format();
        return result;
    }
    if (key_area != nullptr)
        std::memcpy(key_area, record + header.key_offset(k), key_length(header, k));
    header.set_record_count(header.record_count() + 1);
    return duplicate ? engine::kDuplicateFollows : engine::kOk;
}

}  // namespace

engine::Result ix_write_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                               unsigned char* key_area, int k, bool keep_position_of_k,
                               bool* untouched) {
    FileHeader header = handle->header();
    if (!keep_position_of_k || !is_open(header) || k < 0 || k >= header.key_count())
        return write_record(handle, record, length, key_area, k, untouched);
    const KeptPosition kept = keep_position(handle, k);
    const engine::Result result = write_record(handle, record, length, key_area, k, untouched);
    put_back_position(handle, k, kept);
    return result;
}

namespace {

// Where an alternate tree's cursor stood before a rewrite changed its key.
struct SavedCursor {
    enum State { kNone, kAtEntry, kBeforeNext, kWasLast } state = kNone;
    TreeKey key;
    unsigned char value[kMaxKeyLen] = {};
};

engine::Result save_cursor(ix_handle* handle, int i, const unsigned char* old_record,
                           SavedCursor* saved) {
    FileHeader header = handle->header();
    Tree* tree = handle->tree(i);
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    if (tree::current_entry(tree, &entry_key, &entry_data) != tree::kTreeOk)
        return engine::kOk;  // no current entry: nothing to put back
    const unsigned char* prime = prime_key_of(header, old_record);
    saved->state = SavedCursor::kAtEntry;
    if (same_key(header, i, entry_key, old_record + header.key_offset(i)) &&
        same_key(header, 0, entry_data, prime)) {
        // On the old record's own entry: remember the one after it.
        const tree::Status status = tree::next_entry(tree, &entry_key, &entry_data);
        if (status == tree::kTreeEndOfFile) {
            saved->state = SavedCursor::kWasLast;
            return engine::kOk;
        }
        if (status != tree::kTreeOk)
            return tree_result(status);
        saved->state = SavedCursor::kBeforeNext;
    }
    std::memcpy(saved->key.bytes, entry_key, static_cast<size_t>(tree->key_len()));
    std::memcpy(saved->value, entry_data, static_cast<size_t>(tree->data_len()));
    return engine::kOk;
}

engine::Result restore_cursor(ix_handle* handle, int i, const SavedCursor& saved) {
    Tree* tree = handle->tree(i);
    tree::Status status = tree::kTreeOk;
    switch (saved.state) {
        case SavedCursor::kNone:
            return engine::kOk;
        case SavedCursor::kWasLast:
            status = tree::last_entry(tree, nullptr, nullptr);
            break;
        case SavedCursor::kAtEntry:
        case SavedCursor::kBeforeNext:
            status = tree::find_duplicate(tree, saved.key.bytes, saved.value, nullptr);
            if (status == tree::kTreeOk && saved.state == SavedCursor::kBeforeNext) {
                status = tree::previous_entry(tree, nullptr, nullptr);
                if (status == tree::kKeyNotFound) {
                    // The entry that followed is now the first of all.
                    tree::place_before_first(tree);
                    status = tree::kTreeOk;
                }
            }
            break;
    }
    return tree_result(status);
}

}  // namespace

engine::Result ix_rewrite_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                                 unsigned char* key_area, int k, bool* untouched) {
    // Until an alternate entry changes, a refusal leaves the file as it was.
    *untouched = true;
    FileHeader header = handle->header();
    engine::Result result = check_update(header, length, k);
    if (result != engine::kOk)
        return result;
    const int key_count = header.key_count();
    const unsigned char* prime = prime_key_of(header, record);

    // The current record of key k.
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    tree::Status status = tree::current_entry(handle->tree(k), &entry_key, &entry_data);
    if (status == tree::kTreeEndOfFile)
        return engine::kNotFound;  // an empty file has no record to rewrite
    if (status != tree::kTreeOk)
        return tree_result(status);
    unsigned char current_prime[kMaxKeyLen];
    std::memcpy(current_prime, k == 0 ? entry_key : entry_data, key_length(header, 0));
    uint32_t address = 0;
    if (k > 0) {
        status = position_prime(handle, current_prime, &address);
        if (status != tree::kTreeOk)
            return status == tree::kTreeEndOfFile ? engine::kNotFound : tree_result(status);
    } else {
        address = platform::load_u32(entry_data);
    }
    if (!same_key(header, 0, prime, current_prime))
        return engine::kNoPosition;  // the prime key may not change
    // Not while another handle holds the record's lock.
    if (const engine::Result claimed = claim_record_lock(handle, prime); claimed != engine::kOk)
        return claimed;

    unsigned char* old_record = nullptr;
    uint32_t old_length = 0;
    if (const store::Status got = store_get(handle, address, &old_record, &old_length);
        got != store::kOk)
        return store_result(got);
    if (old_length < static_cast<uint32_t>(header.keys_end()))
        return engine::kIoError;

    auto changes = [&](int i) {
        return !same_key(header, i, record + header.key_offset(i),
                         old_record + header.key_offset(i));
    };
    for (int i = 1; i < key_count; ++i) {
        if (!changes(i) || header.key_allows_duplicates(i))
            continue;
        bool equal_seen = false;
        TreeKey key = record_key(header, i, record);
        if (tree::find_key(handle->tree(i), key.bytes, nullptr, tree::kFindEqual, &equal_seen,
                           nullptr) == tree::kTreeOk)
            return engine::kDuplicate;
        key = record_key(header, i, old_record);
        tree::find_key(handle->tree(i), key.bytes, nullptr, tree::kFindEqual, &equal_seen, nullptr);
    }

    // A changed alternate key whose new value other records have already
    // makes the REWRITE report a duplicate, as a WRITE does.
    bool duplicate_made = false;
    for (int i = 1; i < key_count && result == engine::kOk; ++i) {
        if (!changes(i))
            continue;
        SavedCursor saved;
        result = save_cursor(handle, i, old_record, &saved);
        if (result != engine::kOk)
            break;
        *untouched = false;
        Tree* tree = handle->tree(i);
        const TreeKey old_key = record_key(header, i, old_record);
        const TreeKey new_key = record_key(header, i, record);
        bool duplicate = false;
        status = tree::find_duplicate(tree, old_key.bytes, prime, nullptr);
        if (status == tree::kTreeOk)
            status = tree::remove_current(tree);
        if (status == tree::kTreeOk)
            status = tree::insert_key(tree, new_key.bytes, prime, &duplicate);
        result = tree_result(status);
        duplicate_made = duplicate_made || (result == engine::kOk && duplicate);
        // A cursor that cannot be put back loses its place; the change
        // itself stands, and the record must follow it.
        if (result == engine::kOk)
            restore_cursor(handle, i, saved);
    }
    if (result == engine::kOk) {
        result =
            store_result(store_put(handle, &address, record, length, store::PutMode::kRewrite));
        // The slot store refuses a record it has no room for before it
        // writes anything; any other failure may have written part of it.
        if (result != engine::kOk && (result != engine::kNoSpace || header.block_format()))
            *untouched = false;
    }
    if (key_area != nullptr)
        std::memcpy(key_area, record + header.key_offset(k), key_length(header, k));
    if (result == engine::kOk && duplicate_made)
        result = engine::kDuplicateFollows;
    return result;
}

engine::Result ix_delete_current(ix_handle* handle, bool keep_positions, bool* untouched) {
    *untouched = false;
    FileHeader header = handle->header();
    if (!is_open(header))
        return engine::kNotOpen;
    if ((header.open_flags() & engine::kOpenUpdate) == 0)
        return engine::kIoError;  // an input file is never changed
    const uint32_t k = header.current_key();
    if (k >= static_cast<uint32_t>(header.key_count()))
        return engine::kBadKeyNumber;
    const int key_count = header.key_count();

    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    tree::Status status =
        tree::current_entry(handle->tree(static_cast<int>(k)), &entry_key, &entry_data);
    if (status != tree::kTreeOk) {
        *untouched = true;
        return tree_result(status);
    }
    // Not while another handle holds the record's lock.
    if (const engine::Result claimed = claim_record_lock(handle, k > 0 ? entry_data : entry_key);
        claimed != engine::kOk) {
        *untouched = true;
        return claimed;
    }
    uint32_t address = 0;
    if (k > 0) {
        unsigned char prime[kMaxKeyLen];
        std::memcpy(prime, entry_data, key_length(header, 0));
        status = position_prime(handle, prime, &address);
        if (status != tree::kTreeOk)
            return tree_result(status);
    } else {
        address = platform::load_u32(entry_data);
    }

    // The alternate keys' positions other than the key deleted by: one that
    // stood on this record's entry is left where the delete puts it, right
    // after the gap; the others are put back. (The prime key's cursor has
    // just been moved to the record; the caller keeps that position.)
    std::vector<KeptPosition> kept(keep_positions ? static_cast<size_t>(key_count) : 0);
    std::vector<bool> put_back(kept.size(), false);
    if (key_count > 1) {
        unsigned char* record = nullptr;
        uint32_t record_length = 0;
        if (const store::Status got = store_get(handle, address, &record, &record_length);
            got != store::kOk)
            return store_result(got);
        if (record_length < static_cast<uint32_t>(header.keys_end()))
            return engine::kIoError;
        const unsigned char* prime = prime_key_of(header, record);
        for (int i = 1; keep_positions && i < key_count; ++i) {
            if (static_cast<uint32_t>(i) == k)
                continue;
            kept[i] = keep_position(handle, i);
            put_back[i] = !kept_on_record(header, i, kept[i], record, prime);
        }
        for (int i = 1; i < key_count; ++i) {
            const TreeKey key = record_key(header, i, record);
            status = tree::find_duplicate(handle->tree(i), key.bytes, prime, nullptr);
            if (status == tree::kTreeOk)
                status = tree::remove_current(handle->tree(i));
            if (status != tree::kTreeOk)
                return tree_result(status);
        }
    }
    status = tree::remove_current(handle->tree(0));
    if (status != tree::kTreeOk)
        return tree_result(status);
    for (size_t i = 1; i < kept.size(); ++i)
        if (put_back[i])
            put_back_position(handle, static_cast<int>(i), kept[i]);
    // Without its prime entry the record is gone, whatever becomes of its
    // slot: a slot that cannot be freed only loses its space.
    header.set_record_count(header.record_count() - 1);
    if (header.held_record() == address)
        header.set_held_record(0);
    return store_result(store_delete(handle, address));
}

engine::Result shift_tree(ix_handle* handle, const unsigned char* record, int count,
                          int32_t delta) {
    const TreeKey key = record_key(handle->header(), 0, record);
    return map_tree_status(tree::shift_values(handle->tree(0), key.bytes, count, delta));
}

}  // namespace kvr::isam

extern "C" int _vmq_shift_tree(ix_handle* handle, const unsigned char* record, int count,
                               int32_t delta) {
    return kvr::engine::code(kvr::isam::shift_tree(handle, record, count, delta));
}
