#include "platform/coding.h"

#include <gtest/gtest.h>

#include <array>

namespace kvr::platform {
namespace {

using Bytes = std::array<unsigned char, 9>;

TEST(CodingTest, GoldenBytes) {
    Bytes b{};  // fields start at b[1]: no alignment is assumed
    store_u16(b.data() + 1, 0x0102);
    EXPECT_EQ(b, (Bytes{0, 0x02, 0x01, 0, 0, 0, 0, 0, 0}));
    store_u32(b.data() + 1, 0x01020304);
    EXPECT_EQ(b, (Bytes{0, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0}));
    store_u64(b.data() + 1, 0x0102030405060708ULL);
    EXPECT_EQ(b, (Bytes{0, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
    store_s32(b.data() + 1, -2);
    store_s16(b.data() + 5, -3);
    EXPECT_EQ(b, (Bytes{0, 0xFE, 0xFF, 0xFF, 0xFF, 0xFD, 0xFF, 0x02, 0x01}));
    store_u32_be(b.data() + 1, 0x01020304);
    EXPECT_EQ(b, (Bytes{0, 0x01, 0x02, 0x03, 0x04, 0xFD, 0xFF, 0x02, 0x01}));
    EXPECT_EQ(load_u32_be(b.data() + 1), 0x01020304u);
    EXPECT_EQ(load_u32(b.data() + 1), 0x04030201u);
    EXPECT_EQ(load_s16(b.data() + 5), -3);
}

}  // namespace
}  // namespace kvr::platform
