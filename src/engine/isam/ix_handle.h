// The open indexed file: the header area in memory (the data store's part of
// the handle, with its channel and buffers) plus one open tree per key.
//
// The header image is exactly header_size bytes; its key table and tree
// headers stay where the file has them, and each key's Tree works on its
// 996 bytes in place. The file is the store's channel (io), which close
// releases.
#ifndef KVR_ENGINE_ISAM_IX_HANDLE_H
#define KVR_ENGINE_ISAM_IX_HANDLE_H

#include <memory>
#include <string>

#include "engine/isam/shared_session.h"
#include "engine/store/store_handle.h"
#include "engine/tree/tree.h"
#include "platform/windows_file.h"

namespace kvr::isam {

// Where a tree's cursor stands, kept across an operation that moves it and
// put back afterwards, state bits and all, so that the program's next READ
// NEXT or READ PREVIOUS goes on from where it was: the entry's key and data
// (a duplicate is found again by its record's prime key).
struct KeptPosition {
    uint8_t state = 0;  // 0: no position
    unsigned char key[tree::kMaxKeyLen] = {};
    unsigned char value[tree::kMaxKeyLen] = {};
};

// The position IX_SAVE_POSITION keeps for IX_RESTORE_POSITION: the key of
// reference and where its cursor stood.
struct SavedReference {
    bool saved = false;
    uint32_t key_number = 0;
    KeptPosition position;
};

}  // namespace kvr::isam

struct ix_handle : kvr::store::StoreHandle {
    kvr::tree::Tree* tree(int key) const { return trees[key].get(); }

    std::unique_ptr<std::unique_ptr<kvr::tree::Tree>[]> trees;  // one per key
    int open_trees = 0;  // trees 0 .. open_trees - 1 are open

    // The update marker is on disk: this session has begun to change the
    // file. An operation that failed part-way leaves the file unsound, and
    // close then leaves the marker in place.
    bool marked = false;
    bool unsound = false;

    kvr::isam::SavedReference saved_reference;

    // Opened with IX_MODE_SHARED: what sharing adds (shared_session.h);
    // null for a handle opened without it.
    std::unique_ptr<kvr::isam::SharedSession> sharing;
};

namespace kvr::isam {

// A tree status as an engine result. A damaged page is also reported on
// standard output.
engine::Result map_tree_status(tree::Status status);

// A data-store status as an engine result: the store's own negative
// statuses by name, the engine results it reports as they are.
engine::Result store_result(store::Status status);

// The workers of IX_CREATE, IX_OPEN, IX_CLOSE and IX_GET_ATTRIBUTES.
// block_size is the size of the attribute block, or 0 when unknown.
engine::Result ix_create_file(const unsigned char* attributes, uint32_t block_size,
                              const char* file_name, uint8_t selector);
// IX_CREATE in a chosen record-store format: kBlocks writes version
// 0x199605 and sizes the sequence sets; records above 65528 bytes, more
// than the largest set holds, are refused with 22. IX_CREATE itself always
// uses kSlots.
enum class StoreFormat { kSlots, kBlocks };
engine::Result create_indexed_file(const unsigned char* attributes, uint32_t block_size,
                                   const char* file_name, uint8_t selector, StoreFormat format);
engine::Result ix_open_file(ix_handle** slot, const char* file_name, uint8_t mode);
// Opens a file for reading by the tools that inspect, check and rebuild
// files: like an input open, except that a file an update session never
// closed (its update marker still set) is opened all the same, and
// *unfinished (when not null) tells whether it was. With skip_trees no tree
// is opened (open_trees stays 0): only the header and the data store are
// read, for a rebuild that does not trust the trees.
engine::Result ix_open_for_inspection(ix_handle** slot, const char* file_name, bool skip_trees,
                                      bool* unfinished);
// Why open refuses the file's header, in words; empty when the header is
// sound. For the tools that tell people what is wrong with a file.
std::string ix_header_problem(const char* file_name);
// Closes the file and frees the handle. A file open for update first has
// everything the handle holds written to it (changed sets and tree pages,
// then the header without the update marker). When that fails and `kept` is
// not null, nothing is freed, *kept is set and the file stays open as it
// was, so that a later close can try again; otherwise the handle is freed
// whatever the result, and a failure leaves the marker on disk.
engine::Result ix_close_file(ix_handle* handle, bool* kept = nullptr);
engine::Result ix_get_attributes(ix_handle* handle, unsigned char* block, uint32_t size,
                                 unsigned char* aux);

// The record workers. length: in, the buffer's size (0: position only);
// out, the record's full length. key_area: the key to search, and where the
// key found or written is copied. k: the key index.
engine::Result ix_read_keyed(ix_handle* handle, unsigned char* buffer, uint32_t* length,
                             unsigned char* key_area, int k, uint16_t op);
engine::Result ix_read_positional(ix_handle* handle, unsigned char* buffer, uint32_t* length,
                                  unsigned char* key_area, int k, uint16_t op);
// WRITE and REWRITE set *untouched when a failure left the file as sound as
// it was: a refusal before anything changed, or a change taken back whole.
// With keep_position_of_k, WRITE leaves key k's position where it was (the
// inserts move every tree's cursor otherwise).
engine::Result ix_write_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                               unsigned char* key_area, int k, bool keep_position_of_k,
                               bool* untouched);
engine::Result ix_rewrite_record(ix_handle* handle, const unsigned char* record, uint32_t length,
                                 unsigned char* key_area, int k, bool* untouched);
// *untouched is set when the DELETE ended before it changed anything
// because there was no current record (an empty file, or a position past
// the last record): a result of 9 that leaves the file sound. With
// keep_positions the other alternate keys' positions stay where they were,
// but for one that stood on the record deleted.
engine::Result ix_delete_current(ix_handle* handle, bool keep_positions, bool* untouched);

// IX_SAVE_POSITION keeps the key of reference and where its cursor stands;
// IX_RESTORE_POSITION makes that key the key of reference again with its
// cursor where it stood (a position on the entry before a deleted one
// included). When the entry it stood on has been deleted meanwhile, the
// cursor stays where the delete left it, just after the gap. Restoring with
// nothing saved gives 10; either way the saved position is used once.
engine::Result ix_save_position(ix_handle* handle);
engine::Result ix_restore_position(ix_handle* handle);

// Record locks of shared handles open for update (SharedSession): a handle
// that is not shared, or open for input, claims nothing.
engine::Result claim_record_lock(ix_handle* handle, const unsigned char* prime);
void release_record_lock(ix_handle* handle);
// Whether the handle holds the lock of the record with this prime key.
bool holds_record_lock(const ix_handle* handle, const unsigned char* prime);

// What _vmq_shift_tree does: the data store moved `count` records starting
// with the one whose bytes are `record` by `delta` bytes, and the prime-key
// tree's addresses follow them. The store's shift hook.
engine::Result shift_tree(ix_handle* handle, const unsigned char* record, int count, int32_t delta);

// Puts the update marker on disk before the first change of a session.
engine::Result mark_update(ix_handle* handle);
// Routes WRITE, REWRITE and DELETE, keeping the marker and the soundness.
engine::Result change_records(ix_handle* handle, uint16_t op, void* data, uint32_t* length,
                              void* aux, uint8_t selector);

}  // namespace kvr::isam

extern "C" {
// Called by the data store after it moved `count` records starting with the
// one whose bytes are `record` by `delta` bytes: the prime-key tree's
// addresses follow them. 0 or an engine result.
int _vmq_shift_tree(ix_handle* handle, const unsigned char* record, int count, int32_t delta);
}

#endif
