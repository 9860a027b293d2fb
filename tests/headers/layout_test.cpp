// The byte image of the file-attribute block.
#include <gtest/gtest.h>

#include <cstring>

#include "vmqrmkvr/attributes.h"

namespace {

TEST(AttributeBlock, EncodesTheDocumentedBytes) {
    unsigned char block[40];
    std::memset(block, 0xEE, sizeof block);
    ix_attributes attributes{};
    attributes.record_count = 0x01020304;
    attributes.min_record_length = 10;
    attributes.max_record_length = 0x1234;
    attributes.area_length = 80;
    attributes.key_count = 2;
    attributes.options = IX_ATTR_VARIABLE;
    ix_attributes_encode(block, &attributes);
    ix_key_spec key{1, 10, 0, IX_KEY_TYPE_BYTES};
    ix_key_spec_encode(block, 0, &key);
    key = ix_key_spec{-3, 4, IX_KEY_DUPS_ALLOWED, IX_KEY_TYPE_NUMBER};
    ix_key_spec_encode(block, 1, &key);

    const unsigned char expected[40] = {4, 3, 2, 1, 10,   0,    0, 0, 0x34, 0x12, 0, 0, 80, 0,
                                        0, 0, 0, 0, 2,    0,    1, 0, 0,    0,    1, 0, 10, 0,
                                        0, 0, 0, 0, 0xFD, 0xFF, 4, 0, 1,    0,    1, 0};
    EXPECT_EQ(std::memcmp(block, expected, sizeof expected), 0);
    EXPECT_EQ(ix_attributes_size(2), 40u);
    EXPECT_EQ(ix_attributes_size(-1), 24u);

    ix_attributes decoded{};
    ix_attributes_decode(block, &decoded);
    EXPECT_EQ(decoded.record_count, 0x01020304u);
    EXPECT_EQ(decoded.max_record_length, 0x1234u);
    EXPECT_EQ(decoded.key_count, 2);
    EXPECT_EQ(decoded.options, IX_ATTR_VARIABLE);
    ix_key_spec second{};
    ix_key_spec_decode(block, 1, &second);
    EXPECT_EQ(second.key_offset, -3);
    EXPECT_EQ(second.key_flags, IX_KEY_DUPS_ALLOWED);
    EXPECT_EQ(second.key_type, IX_KEY_TYPE_NUMBER);
}

}  // namespace
