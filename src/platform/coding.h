// Fixed-width integers in on-disk byte images.
//
// Every structure the library keeps in a file is handled as an array of
// bytes; its integer fields are read and written only through these helpers.
// Numbers are little-endian, whatever the byte order of the machine, except
// the duplicate number that ends a key in a tree with duplicates, which is
// big-endian so that byte-wise key comparison orders duplicates by number.
//
// The helpers take a pointer to the first byte of the field and make no
// alignment assumption. They assemble the value byte by byte, which GCC and
// Clang turn into a single load or store, and which keeps them usable in
// constant expressions. The signed variants are two's complement.

#ifndef KVR_PLATFORM_CODING_H
#define KVR_PLATFORM_CODING_H

#include <cstdint>

namespace kvr::platform {

constexpr std::uint16_t load_u16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

constexpr std::uint32_t load_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

constexpr std::uint64_t load_u64(const unsigned char* p) {
    return static_cast<std::uint64_t>(load_u32(p)) |
           (static_cast<std::uint64_t>(load_u32(p + 4)) << 32);
}

constexpr std::int16_t load_s16(const unsigned char* p) {
    return static_cast<std::int16_t>(load_u16(p));
}

constexpr std::int32_t load_s32(const unsigned char* p) {
    return static_cast<std::int32_t>(load_u32(p));
}

constexpr void store_u16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

constexpr void store_u32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

constexpr void store_u64(unsigned char* p, std::uint64_t v) {
    store_u32(p, static_cast<std::uint32_t>(v));
    store_u32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr void store_s16(unsigned char* p, std::int16_t v) {
    store_u16(p, static_cast<std::uint16_t>(v));
}

constexpr void store_s32(unsigned char* p, std::int32_t v) {
    store_u32(p, static_cast<std::uint32_t>(v));
}

// Big-endian: most significant byte first.
constexpr std::uint32_t load_u32_be(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

constexpr void store_u32_be(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_CODING_H
