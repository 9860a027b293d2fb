// The tree header: the 996-byte description of one key's B+tree, kept in
// the indexed file's header area (one per key) and read and written there as
// a byte image. The tree layer works on the image in place while the file is
// open; everything an open tree needs beyond the persisted fields lives in a
// Tree object beside it (tree.h), so the run-time fields of the image are
// zero whenever the engine writes the header area back.
//
// All numbers little-endian.
//
//   off  size  field           kept  meaning
//     0     8  magic           yes   "KVR_FILX", no terminator
//     8     4  (reserved)      yes   0
//    12     4  root            yes   file offset of the root page; 0 = no page yet
//    16     4  (reserved)      yes   0
//    20     4  data_len        yes   bytes of data per leaf entry, 1..255
//    24     4  branch_max      yes   most keys in a branch page
//    28     4  branch_min      yes   fewest keys in a branch page other than the root
//    32     4  leaf_max        yes   most entries in a leaf page
//    36     4  leaf_min        yes   fewest entries in a leaf page other than the root
//    40     4  branch_keys_at  run   zero in the image (kept by the Tree)
//    44     4  leaf_keys_at    run   zero in the image (kept by the Tree)
//    48     4  file handle     run   zero in the image
//    52     4  store           run   zero in the image
//    56     4  page_size       yes   bytes per page: 4096, 8192, 16384 or 32768;
//                                    in the block format a whole block, which
//                                    may also be 65568
//    60     4  tree_flags      yes   key type in the low byte, option bits above
//    64     4  key_len         yes   bytes per stored key: key length (+4 with duplicates)
//    68   392  page cache      run   slots in use, clock, 32 page addresses,
//                                    32 buffers, 32 stamps: zero in the image
//   460    12  cursor          run   current page, index, descent depth: zero
//   472     1  cur_state       run   zero
//   473     1  mark_dirty      run   zero
//   474     1  writable        run   1 in a newly created header, zero once opened
//   475     1  key_number      yes   the key's index in the file (0 = prime key)
//   476     4  root_on_disk    run   zero
//   480     4  header_at       yes   file offset of this tree header
//   484   259  cur_key         run   the cursor's key (key_len bytes): zero
//   ...        (reserved)      yes   0 up to 995
//
// tree_flags: bits 0-7 key type (0 byte strings, 1 unsigned 32-bit numbers);
// 0x100 duplicates allowed (the last 4 bytes of each stored key are a
// big-endian duplicate number); 0x400 pages are data-store blocks (the old
// block format), which also drops the two-slot reserve of the capacity rule;
// 0x1000 the file was created for descriptor I/O (informational: the channel
// an open tree is given decides the I/O path). The bits 0x200 (fresh page)
// and 0x800 (shared) are run-time state of an open tree and are cleared from
// the image at open.
//
// Page capacity for entries of E bytes: cap = (page_size - 20) / E, less 2
// unless pages are blocks, made odd by taking 1 from an even value. A page
// type's maximum is cap - 1 and its minimum half of that. Branch entries
// are key_len + 4 bytes (a key and a child address), leaf entries key_len +
// data_len. The key arrays start at branch_keys_at = 24 + 4 cap(branch) and
// leaf_keys_at = 20 + (cap(leaf) + 1) data_len.
//
// Without the reserve, that layout can leave the key array of a full page
// short of the page's end: a 4-byte key with 10 data bytes in a 4096-byte
// block gets leaf_max 290, and 290 entries need 4100 bytes. Such limits are
// kept in the header as they were stored (other programs read them), and
// the tree works with lower ones: a page splits at the count that fits.
#ifndef KVR_ENGINE_TREE_TREE_HEADER_H
#define KVR_ENGINE_TREE_TREE_HEADER_H

#include <cstdint>

#include "platform/coding.h"

namespace kvr::tree {

inline constexpr uint32_t kTreeHeaderSize = 996;
inline constexpr char kTreeMagic[8] = {'K', 'V', 'R', '_', 'F', 'I', 'L', 'X'};

// Field offsets.
inline constexpr uint32_t kMagicAt = 0;
inline constexpr uint32_t kRootAt = 12;
inline constexpr uint32_t kDataLenAt = 20;
inline constexpr uint32_t kBranchMaxAt = 24;
inline constexpr uint32_t kBranchMinAt = 28;
inline constexpr uint32_t kLeafMaxAt = 32;
inline constexpr uint32_t kLeafMinAt = 36;
inline constexpr uint32_t kPageSizeAt = 56;
inline constexpr uint32_t kTreeFlagsAt = 60;
inline constexpr uint32_t kKeyLenAt = 64;
inline constexpr uint32_t kWritableAt = 474;
inline constexpr uint32_t kKeyNumberAt = 475;
inline constexpr uint32_t kHeaderAtAt = 480;
inline constexpr uint32_t kCurKeyAt = 484;

// Tree flag bits live in three places, where the same bit means different
// things (0x200 asks for duplicates at create but marks a fresh page when
// stored; 0x400 opens for update but marks block pages when stored): each
// place has its own type, and flags of two places do not combine. Flags of
// one place combine with |. Nothing converts silently: a flag's bits are
// taken (bits) only where they meet an integer, in the header image and at
// the C entry points, and an integer becomes a flag only by naming its
// place.
template <typename Place>
struct TreeFlags {
    uint32_t bits = 0;

    constexpr TreeFlags operator|(TreeFlags other) const { return {bits | other.bits}; }
    constexpr TreeFlags without(TreeFlags other) const { return {bits & ~other.bits}; }
    constexpr bool has(TreeFlags flag) const { return (bits & flag.bits) == flag.bits; }
    constexpr bool operator==(const TreeFlags&) const = default;
};
template <typename A, typename B>
void operator|(TreeFlags<A>, TreeFlags<B>) = delete;

// Stored in tree_flags, beside the key type in bits 0-7.
using StoredFlags = TreeFlags<struct StoredPlace>;
inline constexpr uint32_t kKeyTypeMask = 0xFF;
inline constexpr uint8_t kByteStringKeyType = 0;
inline constexpr uint8_t kNumericKeyType = 1;  // unsigned 32-bit little-endian
inline constexpr StoredFlags kTreeDups{0x100};
inline constexpr StoredFlags kTreeFreshPage{0x200};
inline constexpr StoredFlags kTreeBlockPages{0x400};
inline constexpr StoredFlags kTreeShared{0x800};
inline constexpr StoredFlags kTreeCrtIo{0x1000};

// Asked of _vmq_create_tree, beside the key type (bits 0-7) and the key
// number (bits 16-23).
using CreateFlags = TreeFlags<struct CreatePlace>;
inline constexpr CreateFlags kCreateDuplicates{0x200};
inline constexpr CreateFlags kCreateBlockPages{0x800};
inline constexpr CreateFlags kCreateCrtIo{0x2000};

// Asked of _vmq_open_tree.
using OpenFlags = TreeFlags<struct OpenPlace>;
inline constexpr OpenFlags kOpenForUpdate{0x400};
inline constexpr OpenFlags kOpenShared{0x1000};

inline constexpr int kMaxKeyLength = 255;  // a record key
inline constexpr int kDuplicateNumberSize = 4;
inline constexpr int kMaxKeyLen = kMaxKeyLength + kDuplicateNumberSize;  // a stored key
inline constexpr int kMaxDataLen = 255;
inline constexpr uint32_t kSmallestPageSize = 4096;
// The largest page create ever chooses (a 255-byte key with duplicates and
// 255 data bytes), and the largest index block.
inline constexpr uint32_t kLargestPageSize = 32768;
// A tree of the block format takes whole blocks as pages, and the largest
// block (the sequence set of records up to 65536 bytes) is this.
inline constexpr uint32_t kLargestBlockPageSize = 65568;
// A page's entry count is a signed 16-bit number.
inline constexpr int kMaxPageCount = 32767;
// Create doubles the page size until both minimums reach this.
inline constexpr int kWantedMinimum = 21;

// A power of two from 4096 to 32768, or, for block pages, the largest block.
constexpr bool is_valid_page_size(uint32_t size, bool block_pages) {
    return (size >= kSmallestPageSize && size <= kLargestPageSize && (size & (size - 1)) == 0) ||
           (block_pages && size == kLargestBlockPageSize);
}

// The four stored limits.
struct PageLimits {
    int branch_max = 0;
    int branch_min = 0;
    int leaf_max = 0;
    int leaf_min = 0;
};

// What a page size means for one tree: the capacities of the rule above,
// where the key arrays start, and how many entries each page type can hold
// before one of its arrays would run past the end of the page (and never
// more than a page's count can say).
struct PageShape {
    int branch_capacity = 0;
    int leaf_capacity = 0;
    uint32_t branch_keys_at = 0;
    uint32_t leaf_keys_at = 0;
    int branch_room = 0;
    int leaf_room = 0;
};

// The odd capacity number for entries of entry_size (>= 1) bytes.
int capacity_for(uint32_t page_size, int entry_size, bool block_pages);

// page_size must be valid, key_len 0..kMaxKeyLen, data_len 1..kMaxDataLen.
PageShape page_shape(uint32_t page_size, int key_len, int data_len, bool block_pages);

// The limits this system gives a new tree: maximum cap - 1, minimum half of
// it. Where the block-page layout leaves less room than that for the key
// array, the maximum is lowered (to an even number) so that a full page
// still fits.
PageLimits default_limits(const PageShape& shape);

// True when stored limits are ones a tree with pages of this shape can have
// been given, for each page type: the bare rule's maximum cap - 1 or
// default_limits' maximum, with half of it as the minimum; and when, worked
// down to what fits (working_limits), both minimums are still at least 1.
bool limits_fit(const PageShape& shape, const PageLimits& limits);

// The limits a tree works with: the stored ones, with each maximum lowered
// to the page's room. A minimum comes down with its maximum where needed,
// so that both halves of a split page keep it, and so do a page joined from
// one below it and a neighbour at it (a leaf split gives (max + 1) / 2 to
// each half, a branch split max / 2, the promoted key going up).
PageLimits working_limits(const PageShape& shape, const PageLimits& stored);

// Read access to a tree header image.
class TreeHeaderView {
public:
    explicit TreeHeaderView(const unsigned char* image) : image_(image) {}

    bool magic_is_right() const;
    uint32_t root() const { return u32(kRootAt); }
    int data_len() const { return s32(kDataLenAt); }
    PageLimits limits() const {
        return {s32(kBranchMaxAt), s32(kBranchMinAt), s32(kLeafMaxAt), s32(kLeafMinAt)};
    }
    uint32_t page_size() const { return u32(kPageSizeAt); }
    uint32_t tree_flags() const { return u32(kTreeFlagsAt); }
    uint8_t key_type() const { return static_cast<uint8_t>(tree_flags() & kKeyTypeMask); }
    // The bits of tree_flags above the key type.
    StoredFlags stored_flags() const { return StoredFlags{tree_flags() & ~kKeyTypeMask}; }
    bool duplicates() const { return stored_flags().has(kTreeDups); }
    bool block_pages() const { return stored_flags().has(kTreeBlockPages); }
    int key_len() const { return s32(kKeyLenAt); }
    uint8_t writable() const { return image_[kWritableAt]; }
    uint8_t key_number() const { return image_[kKeyNumberAt]; }
    uint32_t header_at() const { return u32(kHeaderAtAt); }

protected:
    uint32_t u32(uint32_t at) const { return platform::load_u32(image_ + at); }
    int32_t s32(uint32_t at) const { return platform::load_s32(image_ + at); }

private:
    const unsigned char* image_;
};

// Read and write access to a tree header image.
class TreeHeader : public TreeHeaderView {
public:
    explicit TreeHeader(unsigned char* image) : TreeHeaderView(image), image_(image) {}

    unsigned char* image() const { return image_; }

    void set_root(uint32_t v) { set_u32(kRootAt, v); }
    void set_data_len(int v) { set_s32(kDataLenAt, v); }
    void set_limits(const PageLimits& limits);
    void set_page_size(uint32_t v) { set_u32(kPageSizeAt, v); }
    // The key type in bits 0-7, the stored flags above.
    void set_tree_flags(uint8_t key_type, StoredFlags flags) {
        set_u32(kTreeFlagsAt, key_type | flags.bits);
    }
    void set_key_len(int v) { set_s32(kKeyLenAt, v); }
    void set_writable(uint8_t v) { image_[kWritableAt] = v; }
    void set_key_number(uint8_t v) { image_[kKeyNumberAt] = v; }
    void set_header_at(uint32_t v) { set_u32(kHeaderAtAt, v); }

    // Zeroes every run-time field (cur_key over cur_key_len bytes) and the
    // run-time bits of tree_flags.
    void clear_run_time_fields(int cur_key_len);

private:
    void set_u32(uint32_t at, uint32_t v) { platform::store_u32(image_ + at, v); }
    void set_s32(uint32_t at, int32_t v) { platform::store_s32(image_ + at, v); }

    unsigned char* image_;
};

}  // namespace kvr::tree

#endif
