// The header area at the start of every indexed or relative file, and the
// accessors that read and write its fields in the in-memory image.
//
// The area is header_size bytes, a multiple of 1024 in every file this
// system creates. All numbers are little-endian. Fields marked "run time"
// hold state of an open file; pointer-sized run-time state lives in C++
// objects beside the image, so those bytes are always zero.
//
//   off  size  field
//     0     4  header_size
//     4     4  version              0x199609 slot format; 0x199605 block format
//     8     4  file_mark            "KVRI"
//    12     4  (reserved)           never loaded at open
//    16     4  record_count
//    20     4  avail_list_head      block format: first free block, 0 = none
//    24     4  first_sequence_set   block format: the set with the lowest keys;
//                                   none when not above 0 as a signed number
//    28     4  (record store)       zero
//    32     4  held_record          run time: record read with a hold
//    36     4  update_marker        "KVRU" while an update has changed the file
//                                   and it has not been closed cleanly since;
//                                   0 otherwise (and in files of older makers)
//    40     4  change_count         shared opens: one more for every change
//                                   an operation completes
//    44    24  (reserved)
//    68     4  byte_order           0x01020304
//    72     4  open_flags           run time; 1 in a newly created file
//    76     4  (reserved)
//    80     4  os_handle            run time (zero)
//    84     4  index_block_size     largest page size among the trees
//    88     4  key_count            1..255
//    92     4  min_record_length
//    96     4  max_record_length
//   100     4  area_length
//   104     4  keys_end             max(key_offset + key_length): the shortest
//                                   record that holds every key
//   108     4  options              bit 0 variable-length records;
//                                   bit 1 block format (set at open);
//                                   bit 3 immediate_free_space
//   112     4  sequence_set_size    block format: bytes per block
//   116    12  (record store)       zero
//   128     4  current_key          key of the last read or positioning
//   132     4  key_table_offset     332
//   136    40  (reserved)
//   176     4  key_table            run time (zero)
//   180     8  (record store, run time) zero
//   188    56  free-space table     slot format, see below; zero in the
//                                   block format
//   244    88  (record store, run time) zero
//
// The block format's fields are these three and index_block_size, which it
// raises to the set size: the buffer pool of its sequence sets lives in the
// handle beside the image (store_handle.h), so the bytes the format reserves
// for run-time state stay zero and nothing of that format lies in the
// free-space table.
//   332        key table            16 bytes per key, at least two entries
//     T        tree headers         996 bytes per key, tree i at T + 996 i
//
// Free-space table (slot format), 56 bytes at 188 (0xBC):
//   0xBC  number of record size classes (1 or 5), recomputed at open
//   0xC0  head of list 0: free index blocks
//   0xC4 + 8(k-1)  size of the first (largest) slot of list k, k = 1..6
//   0xC8 + 8(k-1)  head of list k
//
// Key entry (16 bytes): 0 tree_at (file offset of the key's tree header),
// 4 run time (zero), 8 key_offset (s16, 0-based), 10 key_length (s16),
// 12 key_flags (s16, bit 0 duplicates allowed), 14 key_type (u8), 15 pad.
#ifndef KVR_ENGINE_FILE_HEADER_H
#define KVR_ENGINE_FILE_HEADER_H

#include <cstdint>

#include "platform/coding.h"

namespace kvr::engine {

inline constexpr uint32_t kVersionSlotFormat = 0x199609;
inline constexpr uint32_t kVersionBlockFormat = 0x199605;
inline constexpr uint32_t kByteOrderMark = 0x01020304;
inline constexpr uint32_t kKeyTableOffset = 332;
inline constexpr uint32_t kKeyEntrySize = 16;
inline constexpr uint32_t kTreeHeaderSize = 996;
inline constexpr int kMaxKeys = 255;
// The update marker: the bytes "KVRU".
inline constexpr uint32_t kUpdateMarker = 0x5552564B;
inline constexpr uint32_t kUpdateMarkerAt = 36;
// Run-time fields of an open file's session, which a shared handle keeps as
// its own when it takes the header afresh.
inline constexpr uint32_t kHeldRecordAt = 32;
inline constexpr uint32_t kOpenFlagsAt = 72;
inline constexpr uint32_t kOptionsAt = 108;
inline constexpr uint32_t kCurrentKeyAt = 128;

// Every file of this system, indexed, relative or sequential, has at offset
// 8 the bytes "KVR" and a letter for its organization: "KVRI" an indexed
// (or relative) file, "KVRS" a sequential one.
inline constexpr uint32_t kFileMarkAt = 8;
inline constexpr char kIndexedMark[] = "KVRI";
inline constexpr char kSequentialMark[] = "KVRS";
inline constexpr uint32_t kFileMarkSize = 4;
// Where a file's mark puts it, from the first kFileMarkAt + kFileMarkSize
// bytes of the file.
enum class FileMark { kIndexed, kSequential, kOtherLetter, kNone };
inline FileMark file_mark_of(const unsigned char* first) {
    const unsigned char* mark = first + kFileMarkAt;
    for (uint32_t i = 0; i + 1 < kFileMarkSize; ++i) {
        if (mark[i] != static_cast<unsigned char>(kIndexedMark[i]))
            return FileMark::kNone;
    }
    const unsigned char letter = mark[kFileMarkSize - 1];
    if (letter == static_cast<unsigned char>(kIndexedMark[kFileMarkSize - 1]))
        return FileMark::kIndexed;
    if (letter == static_cast<unsigned char>(kSequentialMark[kFileMarkSize - 1]))
        return FileMark::kSequential;
    return FileMark::kOtherLetter;
}
// Every version from the block format's up is read: exactly the block
// format's stamp is the block format, any later one the slot format.
inline bool is_readable_version(uint32_t version) {
    return version >= kVersionBlockFormat;
}

// open_flags
inline constexpr uint32_t kOpenInput = 0x02;
inline constexpr uint32_t kOpenUpdate = 0x04;
inline constexpr uint32_t kOpenSequentialCheck = 0x08;
inline constexpr uint32_t kOpenExtendCheck = 0x10;
inline constexpr uint32_t kOpenCrtIo = 0x20;

// options
inline constexpr uint32_t kOptionVariable = 0x01;
inline constexpr uint32_t kOptionBlockFormat = 0x02;
inline constexpr uint32_t kOptionImmediateFreeSpace = 0x08;

// key_flags
inline constexpr uint16_t kKeyDuplicates = 0x0001;

// The free-space table of the slot format.
inline constexpr uint32_t kFreeSpaceTableAt = 0xBC;
inline constexpr uint32_t kFreeSpaceTableSize = 56;
inline constexpr int kRecordSizeClasses = 6;  // lists 1..6

// Offset of the key table's end rounded up past the next multiple of 8: where
// the tree headers start (368 for one or two keys).
constexpr uint32_t tree_headers_at(int key_count) {
    uint32_t entries = static_cast<uint32_t>(key_count < 2 ? 2 : key_count);
    return 8 * ((kKeyTableOffset + kKeyEntrySize * entries) / 8) + 8;
}

// Bytes of the header area of a file with key_count keys: the tree headers'
// end rounded up past the next multiple of 1024.
constexpr uint32_t header_size_for(int key_count) {
    return 1024 *
               ((tree_headers_at(key_count) + kTreeHeaderSize * static_cast<uint32_t>(key_count)) /
                1024) +
           1024;
}

// Named access to the fields of a header image. The view does not own the
// bytes; every accessor reads or writes the image itself.
class FileHeader {
public:
    explicit FileHeader(unsigned char* image) : image_(image) {}

    unsigned char* image() const { return image_; }

    uint32_t header_size() const { return u32(0); }
    void set_header_size(uint32_t v) { set_u32(0, v); }
    uint32_t version() const { return u32(4); }
    void set_version(uint32_t v) { set_u32(4, v); }
    const unsigned char* file_mark() const { return image_ + 8; }
    uint32_t record_count() const { return u32(16); }
    void set_record_count(uint32_t v) { set_u32(16, v); }
    uint32_t avail_list_head() const { return u32(20); }
    void set_avail_list_head(uint32_t v) { set_u32(20, v); }
    uint32_t first_sequence_set() const { return u32(24); }
    void set_first_sequence_set(uint32_t v) { set_u32(24, v); }
    uint32_t change_count() const { return u32(40); }
    void set_change_count(uint32_t v) { set_u32(40, v); }
    uint32_t held_record() const { return u32(kHeldRecordAt); }
    void set_held_record(uint32_t v) { set_u32(kHeldRecordAt, v); }
    uint32_t update_marker() const { return u32(kUpdateMarkerAt); }
    void set_update_marker(uint32_t v) { set_u32(kUpdateMarkerAt, v); }
    uint32_t byte_order() const { return u32(68); }
    void set_byte_order(uint32_t v) { set_u32(68, v); }
    uint32_t open_flags() const { return u32(kOpenFlagsAt); }
    void set_open_flags(uint32_t v) { set_u32(kOpenFlagsAt, v); }
    uint32_t index_block_size() const { return u32(84); }
    void set_index_block_size(uint32_t v) { set_u32(84, v); }
    int32_t key_count() const { return static_cast<int32_t>(u32(88)); }
    void set_key_count(int32_t v) { set_u32(88, static_cast<uint32_t>(v)); }
    uint32_t min_record_length() const { return u32(92); }
    void set_min_record_length(uint32_t v) { set_u32(92, v); }
    uint32_t max_record_length() const { return u32(96); }
    void set_max_record_length(uint32_t v) { set_u32(96, v); }
    uint32_t area_length() const { return u32(100); }
    void set_area_length(uint32_t v) { set_u32(100, v); }
    int32_t keys_end() const { return static_cast<int32_t>(u32(104)); }
    void set_keys_end(int32_t v) { set_u32(104, static_cast<uint32_t>(v)); }
    uint32_t options() const { return u32(kOptionsAt); }
    void set_options(uint32_t v) { set_u32(kOptionsAt, v); }
    uint32_t sequence_set_size() const { return u32(112); }
    void set_sequence_set_size(uint32_t v) { set_u32(112, v); }
    uint32_t current_key() const { return u32(kCurrentKeyAt); }
    void set_current_key(uint32_t v) { set_u32(kCurrentKeyAt, v); }
    uint32_t key_table_offset() const { return u32(132); }
    void set_key_table_offset(uint32_t v) { set_u32(132, v); }

    bool block_format() const { return (options() & kOptionBlockFormat) != 0; }
    bool open_for_update() const { return (open_flags() & kOpenUpdate) != 0; }
    bool immediate_free_space() const { return (options() & kOptionImmediateFreeSpace) != 0; }

    // Free-space table: class count, index-block list, record lists 1..6.
    uint32_t size_class_count() const { return u32(kFreeSpaceTableAt); }
    void set_size_class_count(uint32_t v) { set_u32(kFreeSpaceTableAt, v); }
    uint32_t index_block_list() const { return u32(0xC0); }
    void set_index_block_list(uint32_t v) { set_u32(0xC0, v); }
    uint32_t free_list_size(int k) const { return u32(0xC4 + 8 * (k - 1)); }
    void set_free_list_size(int k, uint32_t v) { set_u32(0xC4 + 8 * (k - 1), v); }
    uint32_t free_list_head(int k) const { return u32(0xC8 + 8 * (k - 1)); }
    void set_free_list_head(int k, uint32_t v) { set_u32(0xC8 + 8 * (k - 1), v); }

    // Key table entry i.
    uint32_t tree_at(int i) const { return u32(key_entry(i)); }
    void set_tree_at(int i, uint32_t v) { set_u32(key_entry(i), v); }
    int16_t key_offset(int i) const { return s16(key_entry(i) + 8); }
    void set_key_offset(int i, int16_t v) { set_s16(key_entry(i) + 8, v); }
    int16_t key_length(int i) const { return s16(key_entry(i) + 10); }
    void set_key_length(int i, int16_t v) { set_s16(key_entry(i) + 10, v); }
    int16_t key_flags(int i) const { return s16(key_entry(i) + 12); }
    void set_key_flags(int i, int16_t v) { set_s16(key_entry(i) + 12, v); }
    uint8_t key_type(int i) const { return image_[key_entry(i) + 14]; }
    void set_key_type(int i, uint8_t v) { image_[key_entry(i) + 14] = v; }
    bool key_allows_duplicates(int i) const { return (key_flags(i) & kKeyDuplicates) != 0; }

private:
    static uint32_t key_entry(int i) {
        return kKeyTableOffset + kKeyEntrySize * static_cast<uint32_t>(i);
    }
    uint32_t u32(uint32_t at) const { return platform::load_u32(image_ + at); }
    void set_u32(uint32_t at, uint32_t v) { platform::store_u32(image_ + at, v); }
    int16_t s16(uint32_t at) const { return platform::load_s16(image_ + at); }
    void set_s16(uint32_t at, int16_t v) { platform::store_s16(image_ + at, v); }

    unsigned char* image_;
};

}  // namespace kvr::engine

#endif
