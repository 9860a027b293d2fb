/*
 * The file-attribute block: how the verbs describe a file's record lengths
 * and keys to the engines, and how the engines describe an existing file
 * back. It is a byte image, little-endian: a fixed part of 24 bytes, then
 * one 8-byte key spec per key.
 *
 *   offset  size  field
 *        0     4  record_count       (filled by the engines only)
 *        4     4  min_record_length
 *        8     4  max_record_length
 *       12     4  area_length
 *       16     2  block_size         (sequential engine only)
 *       18     2  key_count          (signed)
 *       20     2  options            (bit 0: variable-length records)
 *       22     2  (not used)
 *   key spec i at 24 + 8 * i:
 *        0     2  key_offset         (1-based position in the record)
 *        2     2  key_length
 *        4     2  key_flags          (bit 0: duplicates allowed)
 *        6     1  key_type           (0 byte string; 1 unsigned 32-bit
 *                                     number, the relative record number)
 *        7     1  (not used)
 *
 * The helpers decode the block into plain structs and encode it back, and
 * never touch bytes beyond the part they name.
 */
#ifndef VMQRMKVR_ATTRIBUTES_H
#define VMQRMKVR_ATTRIBUTES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    IX_ATTRIBUTES_FIXED_SIZE = 24,
    IX_KEY_SPEC_SIZE = 8,
    IX_MAX_KEYS = 255,
    IX_ATTR_VARIABLE = 0x0001,    /* options */
    IX_KEY_DUPS_ALLOWED = 0x0001, /* key_flags */
    IX_KEY_TYPE_BYTES = 0,
    IX_KEY_TYPE_NUMBER = 1
};

typedef struct ix_key_spec {
    int16_t key_offset; /* 1-based */
    int16_t key_length;
    int16_t key_flags;
    uint8_t key_type;
} ix_key_spec;

typedef struct ix_attributes {
    uint32_t record_count;
    uint32_t min_record_length;
    uint32_t max_record_length;
    uint32_t area_length;
    uint16_t block_size;
    int16_t key_count;
    int16_t options;
} ix_attributes;

/* Bytes a block with key_count key specs occupies. */
static inline uint32_t ix_attributes_size(int key_count) {
    return IX_ATTRIBUTES_FIXED_SIZE + IX_KEY_SPEC_SIZE * (uint32_t)(key_count > 0 ? key_count : 0);
}

static inline uint32_t ix_attr_load32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static inline uint16_t ix_attr_load16(const unsigned char* p) {
    return (uint16_t)(p[0] | p[1] << 8);
}

static inline void ix_attr_store32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static inline void ix_attr_store16(unsigned char* p, uint16_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

/* Reads the fixed part of a block. */
static inline void ix_attributes_decode(const unsigned char* block, ix_attributes* out) {
    out->record_count = ix_attr_load32(block + 0);
    out->min_record_length = ix_attr_load32(block + 4);
    out->max_record_length = ix_attr_load32(block + 8);
    out->area_length = ix_attr_load32(block + 12);
    out->block_size = ix_attr_load16(block + 16);
    out->key_count = (int16_t)ix_attr_load16(block + 18);
    out->options = (int16_t)ix_attr_load16(block + 20);
}

/* Writes the fixed part of a block; bytes 22-23 become zero. */
static inline void ix_attributes_encode(unsigned char* block, const ix_attributes* in) {
    ix_attr_store32(block + 0, in->record_count);
    ix_attr_store32(block + 4, in->min_record_length);
    ix_attr_store32(block + 8, in->max_record_length);
    ix_attr_store32(block + 12, in->area_length);
    ix_attr_store16(block + 16, in->block_size);
    ix_attr_store16(block + 18, (uint16_t)in->key_count);
    ix_attr_store16(block + 20, (uint16_t)in->options);
    ix_attr_store16(block + 22, 0);
}

/* Reads key spec i (0-based); the block must hold it. */
static inline void ix_key_spec_decode(const unsigned char* block, int i, ix_key_spec* out) {
    const unsigned char* p = block + IX_ATTRIBUTES_FIXED_SIZE + IX_KEY_SPEC_SIZE * i;
    out->key_offset = (int16_t)ix_attr_load16(p + 0);
    out->key_length = (int16_t)ix_attr_load16(p + 2);
    out->key_flags = (int16_t)ix_attr_load16(p + 4);
    out->key_type = p[6];
}

/* Writes key spec i (0-based); its unused byte becomes zero. */
static inline void ix_key_spec_encode(unsigned char* block, int i, const ix_key_spec* in) {
    unsigned char* p = block + IX_ATTRIBUTES_FIXED_SIZE + IX_KEY_SPEC_SIZE * i;
    ix_attr_store16(p + 0, (uint16_t)in->key_offset);
    ix_attr_store16(p + 2, (uint16_t)in->key_length);
    ix_attr_store16(p + 4, (uint16_t)in->key_flags);
    p[6] = in->key_type;
    p[7] = 0;
}

#ifdef __cplusplus
}
#endif

#endif
