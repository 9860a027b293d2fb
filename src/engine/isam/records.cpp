// WRITE, REWRITE and DELETE of an open indexed file, over every key, and
// the prime-key tree following records the data store moved.
//
// A WRITE puts the alternate entries in first, then the record, then its
// prime entry, and takes back what it did when a step fails; a REWRITE
// moves the entries of the alternate keys that change, then replaces the
// record; a DELETE takes out every entry of the record, then the record.
#include <cstring>
#include <vector>

#include "engine/isam/record_access.h"
#include "engine/store/sequence_set.h"
#include "vmqrmkvr/isam.h"

namespace kvr::isam {

using engine::FileHeader;
using tree::kMaxKeyLen;
using tree::Tree;

namespace {

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
        return map_tree_status(status);
    return engine::kOk;
}

// Under sequential access (after the current entry of key k) or EXTEND
// (after the last one) the new key must follow the entry it is checked
// against; with k = 0 that entry's record is the placement hint.
engine::Result check_write_order(ix_handle* handle, const unsigned char* record, int k,
                                 uint32_t* hint) {
    const FileHeader header = handle->header();
    Tree* tree = handle->tree(k);
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    const tree::Status status = (header.open_flags() & engine::kOpenExtendCheck) != 0
                                    ? tree::last_entry(tree, &entry_key, &entry_data)
                                    : tree::current_entry(tree, &entry_key, &entry_data);
    if (status == tree::kTreeEndOfFile)
        return engine::kOk;  // nothing to follow
    if (status != tree::kTreeOk)
        return map_tree_status(status);
    const int order =
        tree::compare_keys(*tree, record + header.key_offset(k), entry_key, header.key_length(k));
    if (order == 0)
        return engine::kDuplicate;
    if (order < 0)
        return engine::kOutOfOrder;
    if (k == 0)
        *hint = platform::load_u32(entry_data);
    return engine::kOk;
}

// Every alternate key that forbids duplicates must be new.
engine::Result check_unique_keys(ix_handle* handle, const unsigned char* record) {
    const FileHeader header = handle->header();
    for (int i = 1; i < header.key_count(); ++i) {
        if (header.key_allows_duplicates(i))
            continue;
        const TreeKey key = record_key(header, i, record);
        bool equal_seen = false;
        if (tree::find_key(handle->tree(i), key.bytes, nullptr, tree::kFindEqual, &equal_seen,
                           nullptr) == tree::kTreeOk)
            return engine::kDuplicate;
    }
    return engine::kOk;
}

// Whether a new record may go in, and the address of the record it goes
// after (the store's placement hint).
engine::Result check_new_record(ix_handle* handle, const unsigned char* record, int k,
                                uint32_t* hint) {
    const FileHeader header = handle->header();
    const unsigned char* prime = prime_key_of(header, record);
    // The new key's place: after the current (sequential access) or the last
    // (extend) entry of key k, or not yet present (random).
    const bool ordered =
        (header.open_flags() & (engine::kOpenExtendCheck | engine::kOpenSequentialCheck)) != 0;
    engine::Result result = ordered ? check_write_order(handle, record, k, hint)
                                    : find_predecessor(handle, prime, hint);
    if (result == engine::kOk)
        result = check_unique_keys(handle, record);
    // The block format keeps its records in prime-key order, so its hint
    // must be the record right before the new one; the entry an order check
    // found need not be that one.
    if (result == engine::kOk && ordered && header.block_format())
        result = find_predecessor(handle, prime, hint);
    return result;
}

// How far a WRITE got: alternate entries 1 .. inserted - 1 are in, the
// record is stored at address; refused when a tree with no room for its
// split, or a store with no room for the record, refused without changing
// anything.
struct WriteProgress {
    int inserted = 1;
    uint32_t address = 0;
    bool stored = false;
    bool refused = false;
    bool duplicate = false;
};

// Alternate entries first, then the record, then its prime entry.
engine::Result insert_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                             WriteProgress* progress) {
    const FileHeader header = handle->header();
    const unsigned char* prime = prime_key_of(header, record);
    for (; progress->inserted < header.key_count(); ++progress->inserted) {
        Tree* tree = handle->tree(progress->inserted);
        const TreeKey key = record_key(header, progress->inserted, record);
        const tree::Status status = tree::insert_key(tree, key.bytes, prime, &progress->duplicate);
        if (status != tree::kTreeOk) {
            progress->refused = tree->refused_for_room();
            return map_tree_status(status);
        }
    }
    const store::Status put =
        store_put(handle, &progress->address, record, length, store::PutMode::kWrite);
    if (put != store::kOk) {
        progress->refused = true;
        return store_result(put);
    }
    progress->stored = true;
    unsigned char value[4];
    platform::store_u32(value, progress->address);
    const TreeKey key = tree_key(header, 0, prime);
    const tree::Status status =
        tree::insert_key(handle->tree(0), key.bytes, value, &progress->duplicate);
    progress->refused = status != tree::kTreeOk && handle->tree(0)->refused_for_room();
    return map_tree_status(status);
}

// Takes back what a failed WRITE did: true when all of it is out again.
bool undo_write(ix_handle* handle, const WriteProgress& progress) {
    bool undone = true;
    if (progress.stored)
        undone = store_delete(handle, progress.address) == store::kOk;
    for (int i = 1; i < progress.inserted; ++i)
        undone = tree::remove_current(handle->tree(i)) == tree::kTreeOk && undone;
    return undone;
}

engine::Result write_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                            unsigned char* key_area, int k, bool* untouched) {
    // Until the first entry goes in, a refusal leaves the file as it was.
    *untouched = true;
    FileHeader header = handle->header();
    engine::Result result = check_update(header, length, k);
    WriteProgress progress;
    if (result == engine::kOk)
        result = check_new_record(handle, record, k, &progress.address);
    if (result != engine::kOk)
        return result;

    // A failure takes back what was done.
    *untouched = false;
    result = insert_record(handle, record, length, &progress);
    if (result != engine::kOk) {
        const bool undone = undo_write(handle, progress);
        // A slot-format store that could not take the record (a full disk,
        // a file at its largest) has written nothing of it, nor has a tree
        // that had no room for a split; once the entries made and the
        // record stored are out again the file is as it was. A tree that
        // failed part-way through an insert may not be.
        *untouched = progress.refused && undone && !header.block_format();
        return result;
    }
    if (key_area != nullptr)
        std::memcpy(key_area, record + header.key_offset(k), key_length(header, k));
    header.set_record_count(header.record_count() + 1);
    return progress.duplicate ? engine::kDuplicateFollows : engine::kOk;
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
            return map_tree_status(status);
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
    return map_tree_status(status);
}

// True when the record's key i differs from the old record's.
bool key_changes(const FileHeader& header, int i, const unsigned char* record,
                 const unsigned char* old_record) {
    return !same_key(header, i, record + header.key_offset(i), old_record + header.key_offset(i));
}

// The record a REWRITE replaces: the current record of key k, which must
// have the new record's prime key and must not be locked by another handle.
engine::Result record_to_rewrite(ix_handle* handle, const unsigned char* prime, int k,
                                 uint32_t* address) {
    const FileHeader header = handle->header();
    unsigned char* entry_key = nullptr;
    unsigned char* entry_data = nullptr;
    tree::Status status = tree::current_entry(handle->tree(k), &entry_key, &entry_data);
    if (status == tree::kTreeEndOfFile)
        return engine::kNotFound;  // an empty file has no record to rewrite
    if (status != tree::kTreeOk)
        return map_tree_status(status);
    unsigned char current_prime[kMaxKeyLen];
    std::memcpy(current_prime, k == 0 ? entry_key : entry_data, key_length(header, 0));
    status = record_address_at(handle, k, entry_data, address);
    if (status != tree::kTreeOk)
        return status == tree::kTreeEndOfFile ? engine::kNotFound : map_tree_status(status);
    if (!same_key(header, 0, prime, current_prime))
        return engine::kNoPosition;  // the prime key may not change
    // Not while another handle holds the record's lock.
    return claim_record_lock(handle, prime);
}

// A changed alternate key that forbids duplicates must be new. (The old
// value is searched again afterwards, where the cursor stood.)
engine::Result check_changed_keys(ix_handle* handle, const unsigned char* record,
                                  const unsigned char* old_record) {
    const FileHeader header = handle->header();
    for (int i = 1; i < header.key_count(); ++i) {
        if (!key_changes(header, i, record, old_record) || header.key_allows_duplicates(i))
            continue;
        bool equal_seen = false;
        TreeKey key = record_key(header, i, record);
        if (tree::find_key(handle->tree(i), key.bytes, nullptr, tree::kFindEqual, &equal_seen,
                           nullptr) == tree::kTreeOk)
            return engine::kDuplicate;
        key = record_key(header, i, old_record);
        tree::find_key(handle->tree(i), key.bytes, nullptr, tree::kFindEqual, &equal_seen, nullptr);
    }
    return engine::kOk;
}

// Moves the entry of every changed alternate key from the old value to the
// new one, each tree's cursor kept where it stood. *duplicate_made is set
// when a new value other records have already was made, as a WRITE reports
// it; *untouched is cleared once an entry changes.
engine::Result move_changed_entries(ix_handle* handle, const unsigned char* record,
                                    const unsigned char* old_record, bool* duplicate_made,
                                    bool* untouched) {
    const FileHeader header = handle->header();
    const unsigned char* prime = prime_key_of(header, record);
    engine::Result result = engine::kOk;
    for (int i = 1; i < header.key_count() && result == engine::kOk; ++i) {
        if (!key_changes(header, i, record, old_record))
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
        tree::Status status = tree::find_duplicate(tree, old_key.bytes, prime, nullptr);
        if (status == tree::kTreeOk)
            status = tree::remove_current(tree);
        if (status == tree::kTreeOk)
            status = tree::insert_key(tree, new_key.bytes, prime, &duplicate);
        result = map_tree_status(status);
        *duplicate_made = *duplicate_made || (result == engine::kOk && duplicate);
        // A cursor that cannot be put back loses its place; the change
        // itself stands, and the record must follow it.
        if (result == engine::kOk)
            restore_cursor(handle, i, saved);
    }
    return result;
}

}  // namespace

engine::Result ix_rewrite_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                                 unsigned char* key_area, int k, bool* untouched) {
    // Until an alternate entry changes, a refusal leaves the file as it was.
    *untouched = true;
    FileHeader header = handle->header();
    engine::Result result = check_update(header, length, k);
    uint32_t address = 0;
    if (result == engine::kOk)
        result = record_to_rewrite(handle, prime_key_of(header, record), k, &address);
    unsigned char* old_record = nullptr;
    uint32_t old_length = 0;
    if (result == engine::kOk)
        result = stored_record(handle, address, &old_record, &old_length);
    if (result == engine::kOk)
        result = check_changed_keys(handle, record, old_record);
    if (result != engine::kOk)
        return result;

    bool duplicate_made = false;
    result = move_changed_entries(handle, record, old_record, &duplicate_made, untouched);
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
        return map_tree_status(status);
    }
    // Not while another handle holds the record's lock.
    if (const engine::Result claimed = claim_record_lock(handle, k > 0 ? entry_data : entry_key);
        claimed != engine::kOk) {
        *untouched = true;
        return claimed;
    }
    uint32_t address = 0;
    status = record_address_at(handle, static_cast<int>(k), entry_data, &address);
    if (status != tree::kTreeOk)
        return map_tree_status(status);

    // The alternate keys' positions other than the key deleted by: one that
    // stood on this record's entry is left where the delete puts it, right
    // after the gap; the others are put back. (The prime key's cursor has
    // just been moved to the record; the caller keeps that position.)
    std::vector<KeptPosition> kept(keep_positions ? static_cast<size_t>(key_count) : 0);
    std::vector<bool> put_back(kept.size(), false);
    if (key_count > 1) {
        unsigned char* record = nullptr;
        uint32_t record_length = 0;
        if (const engine::Result got = stored_record(handle, address, &record, &record_length);
            got != engine::kOk)
            return got;
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
                return map_tree_status(status);
        }
    }
    status = tree::remove_current(handle->tree(0));
    if (status != tree::kTreeOk)
        return map_tree_status(status);
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
