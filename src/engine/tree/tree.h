// One key's B+tree as the indexed engine sees it: create a tree header in
// the file's header area, open the tree on an open file, close it.
//
// A tree is described by its 996-byte header image (tree_header.h) inside
// the engine's in-memory header area; the open tree is a Tree object built
// on that image. The image stays where it is while the tree is open and
// holds only persisted values (the run-time fields are zero); the Tree
// holds the file channel, the data store that hands out pages, the page
// cache with its buffers, and the cursor.
//
// Every call returns a tree status (engine/results.h): 0; 1 and 2 from the
// searches (_vmq_getdup: no entry with that key and data; _vmq_getkey: no
// entry satisfies the key condition); or 101..107.
#ifndef KVR_ENGINE_TREE_TREE_H
#define KVR_ENGINE_TREE_TREE_H

#include <array>
#include <cstdint>
#include <memory>

#include "engine/file_channel.h"
#include "engine/store/store_handle.h"
#include "engine/tree/tree_header.h"

namespace kvr::tree {

inline constexpr int kCacheSlots = 32;
// Pages an insert may need at once: one per level of the deepest tree a
// path can walk (navigation.h's kMaxLevels) and a new root.
inline constexpr int kMaxReservedPages = 11;
inline constexpr int kUsableCacheSlots = 31;
// The address of an empty cache slot; no page can start there.
inline constexpr uint32_t kNoPage = 0xFFFFFFFF;

// cur_state bits.
inline constexpr uint8_t kCursorOnEntry = 1;  // the entry may be deleted
inline constexpr uint8_t kCursorValid = 2;    // valid for stepping
inline constexpr uint8_t kCursorBeforeFirst = 4;
// Set with kCursorValid after a delete: the cursor stands on the entry
// before the one deleted, so a step back returns this entry itself and a
// step forwards the one after it, as if the deleted entry were still there.
inline constexpr uint8_t kCursorAfterDeleted = 8;

// The cursor of the search and update operations.
struct Cursor {
    uint32_t page = 0;  // the current leaf, 0 = none
    int index = 0;      // the current entry in it
    int descent_depth = 0;
    uint8_t state = 0;
    unsigned char key[kMaxKeyLen] = {};  // the current entry's key, key_len bytes
};

// What every cursor state the operations leave satisfies, a failed one
// too: a cursor on an entry is valid for stepping, and one before the first
// entry is valid, on no entry and not left by a delete. Checked by
// assertions at the start of every operation in builds without NDEBUG.
constexpr bool cursor_state_is_coherent(uint8_t state) {
    if ((state & kCursorOnEntry) != 0 && (state & kCursorValid) == 0)
        return false;
    if ((state & kCursorBeforeFirst) != 0 &&
        ((state & kCursorValid) == 0 || (state & (kCursorOnEntry | kCursorAfterDeleted)) != 0))
        return false;
    return true;
}

class Tree {
public:
    // header: the tree's 996 bytes inside the caller's header area; they
    // must stay where they are until the tree is closed.
    explicit Tree(unsigned char* header) : header_(header) {}
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // What _vmq_open_tree and _vmq_close_tree do.
    Status open(store::StoreHandle* store, engine::FileChannel file, uint32_t page_size,
                OpenFlags flags, bool old_format);
    int close();
    // Writes every changed page of a tree open for update and empties the
    // cache, so that close has nothing left to write: 0, 102 (a page whose
    // own address is wrong) or 106. A failure keeps the pages not written.
    Status write_back();

    unsigned char* header_image() const { return header_; }
    TreeHeader header() const { return TreeHeader(header_); }
    // The root lives in the image: flush_tree writes those 4 bytes back.
    uint32_t root() const { return header().root(); }
    void set_root(uint32_t address) { header().set_root(address); }

    // Persisted values, copied from the image at open.
    uint32_t page_size() const { return page_size_; }
    int key_len() const { return key_len_; }
    int data_len() const { return data_len_; }
    // The limits the operations keep: the stored ones, lowered where a page
    // holding that many entries would run past its end (working_limits in
    // tree_header.h); the image keeps the stored ones.
    int branch_max() const { return limits_.branch_max; }
    int branch_min() const { return limits_.branch_min; }
    int leaf_max() const { return limits_.leaf_max; }
    int leaf_min() const { return limits_.leaf_min; }
    uint8_t key_type() const { return key_type_; }
    bool duplicates() const { return duplicates_; }
    uint8_t key_number() const { return key_number_; }
    uint32_t header_at() const { return header_at_; }

    // Page layout, computed at open.
    uint32_t branch_keys_at() const { return branch_keys_at_; }
    uint32_t leaf_keys_at() const { return leaf_keys_at_; }
    // Most entries a page of each type can hold without an array running
    // past the end of the page (at least the type's working maximum).
    int branch_room() const { return branch_room_; }
    int leaf_room() const { return leaf_room_; }

    // Run-time state.
    bool writable() const { return writable_; }
    bool shared() const { return shared_; }
    // A shared tree takes its root afresh, forgetting every page it keeps,
    // at the start of each operation. One whose owner watches the file for
    // other handles' changes (watch_for_changes) does that only at the first
    // operation after the owner called others_changed, and otherwise goes
    // on with the pages it keeps. Either way a shared tree finds its cursor
    // again by the cursor's key before it steps from it.
    void watch_for_changes() {
        watched_ = true;
        stale_ = true;
    }
    void others_changed() { stale_ = true; }
    // Forgets every page the tree keeps, changed or not, without writing
    // any: a change that failed has been taken back from the file, or is
    // left for another handle to take back.
    void drop_cached_pages();
    bool root_is_stale() const { return !watched_ || stale_; }
    bool block_pages() const { return block_pages_; }
    // While set, every page fetched is marked modified.
    bool mark_dirty() const { return mark_dirty_; }
    void set_mark_dirty(bool on) { mark_dirty_ = on; }
    uint32_t root_on_disk() const { return root_on_disk_; }
    const engine::FileChannel& io() const { return io_; }
    store::StoreHandle* store() const { return store_; }
    // True when the last _vmq_insert was refused because the store had no
    // room for the pages its splits need (a full disk): it changed nothing.
    bool refused_for_room() const { return refused_for_room_; }
    void set_refused_for_room(bool refused) { refused_for_room_ = refused; }

    Cursor& cursor() { return cursor_; }
    const Cursor& cursor() const { return cursor_; }

    // Every operation starts by advancing the cache clock, so the pages it
    // touches share one stamp and none of them is evicted while it runs.
    void begin_operation() { ++cache_clock_; }

    // The page cache, for inspection.
    int cache_used() const { return cache_used_; }
    uint32_t cached_page(int slot) const { return slots_[slot].page; }
    unsigned char* cache_buffer(int slot) const { return slots_[slot].bytes(); }

private:
    // The page cache (page_cache.h) keeps its state here.
    friend unsigned char* get_page(Tree* tree, uint32_t address, Status* result);
    friend unsigned char* new_page(Tree* tree, uint32_t* address, Status* result);
    friend Status reserve_pages(Tree* tree, int count);
    friend void release_reserved_pages(Tree* tree);
    friend Status free_page(Tree* tree, uint32_t address);
    friend Status reload_root(Tree* tree);
    friend Status flush_tree(Tree* tree);
    friend struct PageCacheSteps;

    struct CacheSlot {
        uint32_t page = kNoPage;
        uint32_t stamp = 0;
        std::unique_ptr<unsigned char[]> buffer;  // page_size bytes once used
        // A clean page read in place from the file's mapping, not copied
        // into the buffer; null when the buffer holds the page. A page an
        // update marks modified is copied into the buffer first.
        const unsigned char* view = nullptr;
        unsigned char* bytes() const {
            return view != nullptr ? const_cast<unsigned char*>(view) : buffer.get();
        }
    };

    // Forgets everything of an earlier open, freeing the buffers.
    void reset();
    // Formats the buffer of a page just made at address.
    void format_new_page(unsigned char* page, uint32_t address) const;
    // A read-only tree without pages: its empty root leaf lives only in the
    // cache, at the file's end, and is never written; close puts the image's
    // root back to 0.
    Status make_unwritten_root();

    unsigned char* header_;

    uint32_t page_size_ = 0;
    int key_len_ = 0;
    int data_len_ = 0;
    PageLimits limits_;
    uint8_t key_type_ = 0;
    bool duplicates_ = false;
    uint8_t key_number_ = 0;
    uint32_t header_at_ = 0;
    uint32_t branch_keys_at_ = 0;
    uint32_t leaf_keys_at_ = 0;
    int branch_room_ = 0;
    int leaf_room_ = 0;

    engine::FileChannel io_;
    store::StoreHandle* store_ = nullptr;
    bool writable_ = false;
    bool mark_dirty_ = false;
    bool shared_ = false;
    bool watched_ = false;
    bool stale_ = true;
    bool fresh_page_ = false;
    bool block_pages_ = false;
    uint32_t root_on_disk_ = 0;
    bool unwritten_root_ = false;

    int cache_used_ = 0;
    uint32_t cache_clock_ = 0;
    std::array<CacheSlot, kCacheSlots> slots_;
    // Where a page was last cached, by its address: a hit skips the scan of
    // the slots. Always checked against the slot, so a stale hint only costs
    // the scan it would have saved; it never changes which slot is evicted.
    std::array<int8_t, 64> slot_hint_{};

    Cursor cursor_;

    // Pages taken from the store for a running insert (reserve_pages): at
    // most one per level and one for a new root.
    std::array<uint32_t, kMaxReservedPages> reserved_{};
    int reserved_count_ = 0;
    bool refused_for_room_ = false;
};

// What the engine knows a key's tree header must say; used at open to refuse
// a damaged header before the tree is opened.
struct TreeShape {
    uint32_t header_at;
    int key_number;
    int key_length;  // the record key's length, without a duplicate number
    bool duplicates;
    int data_len;
    uint8_t key_type;
    uint32_t max_page_size;  // the largest page the store's blocks can hold
    bool block_pages;        // the file is of the block format
};

// True when the header can be opened as the tree of that key: its magic,
// place, key number, key and data lengths, duplicates flag and key type are
// the expected ones, its page size is one a page may have and the store can
// hold, and (once the tree has pages) its limits are ones a tree of that
// shape is given (limits_fit).
bool tree_header_is_sound(const unsigned char* header, const TreeShape& expected);

}  // namespace kvr::tree

extern "C" {

// Null header: 996. key_length outside 0..255 or data_len outside 1..255: 0.
// Else fills the 996 bytes and returns the page size chosen. flags: bits 0-7
// key type, 0x200 duplicates, 0x800 block pages, 0x2000 descriptor I/O,
// bits 16-23 key number.
int _vmq_create_tree(unsigned char* header, uint32_t flags, int key_length, int data_len,
                     uint32_t header_at);
// flags: 0x400 open for update, 0x1000 shared; other bits ignored.
// old_format non-zero: pages are data-store blocks. page_size is the file's
// index block size: the page size of a tree that has no page yet, and the
// largest page an index block can hold. A tree without pages opened for
// reading gets an empty root leaf that lives in the cache only.
int _vmq_open_tree(kvr::tree::Tree* tree, kvr::store::StoreHandle* store,
                   kvr::engine::FileChannel file, uint32_t page_size, uint32_t flags,
                   int old_format);
// Writes every cached page back (when open for update) and frees the
// buffers. Returns the number of cached pages whose own address was wrong
// (they are not written), else 0 or 106.
int _vmq_close_tree(kvr::tree::Tree* tree);
}

#endif
