// What the record operations of an open indexed file share: key values as
// the trees take them, the record store of the file's format, the record an
// entry names, and keeping a tree's cursor across an operation that moves
// it. Internal to the engine's record operations (record_reads.cpp,
// records.cpp).
//
// The prime-key tree (key 0) maps each prime key to the 4-byte address of
// the record in the data store; each alternate-key tree maps the alternate
// value to the record's prime key.
#ifndef KVR_ENGINE_ISAM_RECORD_ACCESS_H
#define KVR_ENGINE_ISAM_RECORD_ACCESS_H

#include <cstddef>
#include <cstdint>

#include "engine/file_header.h"
#include "engine/isam/ix_handle.h"
#include "engine/results.h"
#include "engine/store/store.h"
#include "engine/tree/operations.h"

namespace kvr::isam {

// A key value as a tree takes it: the record's key bytes, followed (in a
// tree with duplicates) by room for the duplicate number.
struct TreeKey {
    unsigned char bytes[tree::kMaxKeyLen] = {};
};

TreeKey tree_key(const engine::FileHeader& header, int k, const unsigned char* value);
TreeKey record_key(const engine::FileHeader& header, int k, const unsigned char* record);
const unsigned char* prime_key_of(const engine::FileHeader& header, const unsigned char* record);
size_t key_length(const engine::FileHeader& header, int k);
bool same_key(const engine::FileHeader& header, int k, const unsigned char* a,
              const unsigned char* b);

// The record store of the file's format: sequence sets in the block format,
// slots otherwise. Both take the same arguments.
store::Status store_get(ix_handle* handle, uint32_t address, unsigned char** data,
                        uint32_t* length);
store::Status store_put(ix_handle* handle, uint32_t* address, const unsigned char* data,
                        uint32_t length, store::PutMode mode);
store::Status store_delete(ix_handle* handle, uint32_t address);

// The record at address as the store holds it (valid until the next call of
// the store), *length its length. A record too short to hold its keys is
// damage: 2.
engine::Result stored_record(ix_handle* handle, uint32_t address, unsigned char** record,
                             uint32_t* length);

bool is_open(const engine::FileHeader& header);

// Positions the prime-key tree on the record whose prime key an alternate
// entry holds; its data is the record's address.
tree::Status position_prime(ix_handle* handle, const unsigned char* prime_key, uint32_t* address);

// The address of the record an entry of key k names: its data for the
// prime key, else the prime-key tree positioned on the prime key its data
// holds.
tree::Status record_address_at(ix_handle* handle, int k, const unsigned char* entry_data,
                               uint32_t* address);

// Where tree i's cursor stands (KeptPosition), and putting it back there.
// When that entry is gone the cursor is left where it stood before the
// call.
KeptPosition keep_position(ix_handle* handle, int i);
void put_back_position(ix_handle* handle, int i, const KeptPosition& kept);
// True when the kept position was on the entry of key i that `record` (with
// prime key `prime`) has.
bool kept_on_record(const engine::FileHeader& header, int i, const KeptPosition& kept,
                    const unsigned char* record, const unsigned char* prime);

}  // namespace kvr::isam

#endif
