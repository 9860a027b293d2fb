// What the record operations share: key values, the record store of the
// file's format, the record an entry names, kept cursor positions.
#include "engine/isam/record_access.h"

#include <cstring>

namespace kvr::isam {

using engine::FileHeader;
using tree::kMaxKeyLen;
using tree::Tree;

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

engine::Result stored_record(ix_handle* handle, uint32_t address, unsigned char** record,
                             uint32_t* length) {
    const store::Status status = store_get(handle, address, record, length);
    if (status != store::kOk)
        return store_result(status);
    if (*length < static_cast<uint32_t>(handle->header().keys_end()))
        return engine::kIoError;  // a record that cannot hold its keys: damage
    return engine::kOk;
}

bool is_open(const FileHeader& header) {
    return (header.open_flags() & (engine::kOpenInput | engine::kOpenUpdate)) != 0;
}

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

tree::Status record_address_at(ix_handle* handle, int k, const unsigned char* entry_data,
                               uint32_t* address) {
    if (k == 0) {
        *address = platform::load_u32(entry_data);
        return tree::kTreeOk;
    }
    unsigned char prime[kMaxKeyLen];
    std::memcpy(prime, entry_data, key_length(handle->header(), 0));
    return position_prime(handle, prime, address);
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

bool kept_on_record(const FileHeader& header, int i, const KeptPosition& kept,
                    const unsigned char* record, const unsigned char* prime) {
    return kept.state != 0 && (kept.state & tree::kCursorBeforeFirst) == 0 &&
           same_key(header, i, kept.key, record + header.key_offset(i)) &&
           (i == 0 || same_key(header, 0, kept.value, prime));
}

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

}  // namespace kvr::isam
