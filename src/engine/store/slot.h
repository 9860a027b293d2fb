// Slots: how a record, or the space of a deleted one, sits in a slot-format
// file. A slot starts anywhere after the header area; its address is the
// record's address. Little-endian throughout.
//
// Record slot (type 4):
//   off     size        field
//     0        1        flags: low 4 bits slot type (4 record, 8 free);
//                       0x10 slack present; bits 5-7 slack size 1..3, or 0
//                       when the slack size is held in a word after the data
//     1        3        length: data length + 4 (24-bit)
//     4        length-4 record data
//     length   slack    only with 0x10: slack 1..3 is that many spaces (0x20);
//                       otherwise a 4-byte slack size (4 or more), then
//                       spaces up to the end of the slot
//
// So flags are 0x04 (no slack), 0x34 / 0x54 / 0x74 (1 to 3 spaces) or 0x14
// (slack word). The slot's full size is length + slack; a reused slot keeps
// its full size, the difference to the new record becoming slack.
//
// Free slot (type 8) of 12 bytes or more, on a free list:
//     0        1        0x08
//     1        3        full size of the slot (former slack included)
//     4        4        next free slot of the same list, 0 = end
//     8        4        full size of that next slot, 0 = end
//    12                 spaces up to the end of the slot
//
// A freed slot under 12 bytes only gets type 8 in its flags (its other bytes
// stay) and is on no list: it is lost to reuse but still well-formed.
#ifndef KVR_ENGINE_STORE_SLOT_H
#define KVR_ENGINE_STORE_SLOT_H

#include <cstdint>

#include "platform/coding.h"

namespace kvr::store {

inline constexpr unsigned char kSlotTypeMask = 0x0F;
inline constexpr unsigned char kSlotTypeRecord = 0x04;
inline constexpr unsigned char kSlotTypeFree = 0x08;
inline constexpr unsigned char kSlotHasSlack = 0x10;
inline constexpr unsigned char kSlackByte = 0x20;

inline constexpr uint32_t kSlotHeaderSize = 4;
inline constexpr uint32_t kSlackWordSize = 4;
inline constexpr uint32_t kFreeHeaderSize = 12;
// The length field is 24 bits wide; a slot's full size never exceeds it.
inline constexpr uint32_t kMaxSlotSize = 0xFFFFFF;
inline constexpr uint32_t kMaxSlotDataLength = kMaxSlotSize - kSlotHeaderSize;

// The first four bytes of any slot.
struct SlotHeader {
    unsigned char flags = 0;
    uint32_t length = 0;

    unsigned type() const { return flags & kSlotTypeMask; }
    bool has_slack() const { return (flags & kSlotHasSlack) != 0; }
    // Slack 1..3 held in the flags; 0 when a slack word follows the data.
    uint32_t short_slack() const { return static_cast<uint32_t>(flags) >> 5; }
    // A record slot's flags: type 4, and slack bits only with the slack flag.
    bool is_record() const {
        return type() == kSlotTypeRecord && (has_slack() || short_slack() == 0) &&
               length >= kSlotHeaderSize;
    }
};

inline SlotHeader decode_slot_header(const unsigned char* p) {
    const uint32_t word = platform::load_u32(p);
    return SlotHeader{static_cast<unsigned char>(word & 0xFF), word >> 8};
}

inline void encode_slot_header(unsigned char* p, unsigned char flags, uint32_t length) {
    platform::store_u32(p, (length & kMaxSlotSize) << 8 | flags);
}

// The flags of a record slot with `slack` bytes beyond its length.
constexpr unsigned char record_slot_flags(uint32_t slack) {
    if (slack == 0)
        return kSlotTypeRecord;
    if (slack < kSlackWordSize)
        return static_cast<unsigned char>(kSlotHasSlack | kSlotTypeRecord | slack << 5);
    return kSlotHasSlack | kSlotTypeRecord;
}

// The 12-byte header of a free slot on a list.
struct FreeHeader {
    unsigned char flags = kSlotTypeFree;
    uint32_t size = 0;
    uint32_t next = 0;
    uint32_t next_size = 0;
};

inline FreeHeader decode_free_header(const unsigned char* p) {
    const SlotHeader slot = decode_slot_header(p);
    return FreeHeader{slot.flags, slot.length, platform::load_u32(p + 4),
                      platform::load_u32(p + 8)};
}

inline void encode_free_header(unsigned char* p, const FreeHeader& free) {
    encode_slot_header(p, kSlotTypeFree, free.size);
    platform::store_u32(p + 4, free.next);
    platform::store_u32(p + 8, free.next_size);
}

}  // namespace kvr::store

#endif
