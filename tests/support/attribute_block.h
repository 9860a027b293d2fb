// The attribute block a program hands to CREATE (and gets back from GET
// ATTRIBUTES): record lengths, options and one entry per key, built from a
// line of test code instead of byte by byte.
#ifndef KVR_TESTS_SUPPORT_ATTRIBUTE_BLOCK_H
#define KVR_TESTS_SUPPORT_ATTRIBUTE_BLOCK_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "vmqrmkvr/attributes.h"

namespace kvr::test {

// One key: its 1-based offset in the record, as the block stores it.
struct KeySpec {
    int offset;
    int length;
    bool duplicates = false;
    uint8_t type = IX_KEY_TYPE_BYTES;
};

// Options the block gets unless told: variable-length records exactly when
// the shortest and the longest differ.
inline constexpr int kOptionsFromLengths = -1;

// A block of at least `room` bytes (zeros past the key entries).
inline std::vector<unsigned char> attribute_block(uint32_t min_length, uint32_t max_length,
                                                  const std::vector<KeySpec>& keys = {},
                                                  int options = kOptionsFromLengths,
                                                  size_t room = 0) {
    const int key_count = static_cast<int>(keys.size());
    std::vector<unsigned char> block(std::max<size_t>(ix_attributes_size(key_count), room));
    ix_attributes fixed{};
    fixed.min_record_length = min_length;
    fixed.max_record_length = max_length;
    fixed.area_length = max_length;
    fixed.key_count = static_cast<int16_t>(key_count);
    fixed.options = static_cast<int16_t>(options != kOptionsFromLengths ? options
                                         : min_length != max_length     ? IX_ATTR_VARIABLE
                                                                        : 0);
    ix_attributes_encode(block.data(), &fixed);
    for (int i = 0; i < key_count; ++i) {
        const KeySpec& key = keys[static_cast<size_t>(i)];
        const ix_key_spec entry{static_cast<int16_t>(key.offset), static_cast<int16_t>(key.length),
                                static_cast<int16_t>(key.duplicates ? IX_KEY_DUPS_ALLOWED : 0),
                                key.type};
        ix_key_spec_encode(block.data(), i, &entry);
    }
    return block;
}

inline ix_attributes decode_attributes(const std::vector<unsigned char>& block) {
    ix_attributes fixed{};
    ix_attributes_decode(block.data(), &fixed);
    return fixed;
}

}  // namespace kvr::test

#endif
