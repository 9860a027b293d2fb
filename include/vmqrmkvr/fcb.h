/*
 * The blocks a COBOL runtime hands to every verb of the file system: the file
 * control block (FCB), the read-only file description with its key
 * descriptions, the program context and the runtime block it points to.
 *
 * The runtime owns and lays out all of them. In a 32-bit build every field
 * sits at the byte offset the runtime uses (checked below, one assertion per
 * field); the runtime's own bytes between the fields are named members whose
 * names give their 32-bit offset. A 64-bit build keeps the same fields in the
 * same order with 8-byte pointers and natural alignment.
 *
 * The inline helpers at the end are the one way the library and the runtime
 * find a file's description, its FILE STATUS item and its message area.
 */
#ifndef VMQRMKVR_FCB_H
#define VMQRMKVR_FCB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct vmq_fcb;
struct vmq_program_context;

/* Every verb entry point: (FCB, program context), no result. */
typedef void (*vmq_verb_entry)(struct vmq_fcb* fcb, struct vmq_program_context* context);

/* Verb codes, kept in current_verb, last_verb and last_position_verb. */
enum {
    VMQ_VERB_CLOSE = 0x02,
    VMQ_VERB_OPEN = 0x04,
    VMQ_VERB_DELETE = 0x08,
    VMQ_VERB_START = 0x10,
    VMQ_VERB_REWRITE = 0x20,
    VMQ_VERB_WRITE = 0x40,
    VMQ_VERB_READ = 0x80
};

/* open_request and open_mode. */
enum {
    VMQ_OPEN_INPUT = 0x8000,
    VMQ_OPEN_OUTPUT = 0x4000,
    VMQ_OPEN_IO = 0x2000,
    VMQ_OPEN_EXTEND = 0x1000,
    VMQ_OPEN_REPORT_07 = 0x0400 /* a successful OPEN reports 07 */
};

/* close_options. */
enum {
    VMQ_CLOSE_RELEASE_ONLY = 0x0001, /* close without a report */
    VMQ_CLOSE_WITH_LOCK = 0x1000,    /* the file may not be opened again */
    VMQ_CLOSE_REPORT_07 = 0x4000     /* report 07, leave the file open */
};

/* state_flags. CLOSE clears every bit but VMQ_DESC_BY_INDEX. */
#define VMQ_OPTIONAL_ABSENT 0x80000000u
#define VMQ_AT_END 0x10000000u
#define VMQ_RECORD_READ 0x08000000u
#define VMQ_END_OF_PAGE 0x04000000u
#define VMQ_POSITION_VALID 0x02000000u
#define VMQ_DESC_BY_INDEX 0x01000000u

/* verb_options of READ and START. */
#define VMQ_READ_NEXT 0x02000000u
#define VMQ_KEY_IS 0x01000000u
#define VMQ_START_GREATER 0x00800000u
#define VMQ_START_EQUAL 0x00400000u
#define VMQ_START_NOT_LESS 0x00200000u
#define VMQ_START_LESS 0x00100000u
#define VMQ_START_NOT_GREATER 0x00080000u
#define VMQ_READ_PREVIOUS 0x00040000u

/* advance_options of the sequential WRITE. */
enum { VMQ_ADVANCE_PAGE = 0x04, VMQ_ADVANCE_BEFORE = 0x10, VMQ_ADVANCE_AFTER = 0x20 };

/* File description: organization, access_flags, record_flags, file_flags,
 * lock_flags, linage_flags, code_flags. */
enum {
    VMQ_ORG_SEQUENTIAL = 0x80,
    VMQ_ORG_INDEXED = 0x20,
    VMQ_ORG_RELATIVE = 0x10,
    VMQ_ACCESS_SEQUENTIAL = 0x80,
    VMQ_RECORD_VARIABLE = 0x40,
    VMQ_FILE_OPTIONAL = 0x80,
    VMQ_FILE_NAME_IN_ITEM = 0x04,
    VMQ_LOCK_RECORDS = 0x04, /* the only bit of lock_flags read here */
    VMQ_LINAGE = 0x80,
    VMQ_CODE_EBCDIC_STATUS = 0x80,
    VMQ_CODE_EBCDIC_MESSAGE = 0x40
};

/* Key description flags; runtime block charset_flags. */
enum { VMQ_KEY_DUPLICATES = 0x80, VMQ_CHARSET_EBCDIC = 0x20 };

typedef struct vmq_key_description {
    uint32_t position; /* 0-based position of the key in the record */
    uint32_t length;
    uint8_t flags; /* VMQ_KEY_DUPLICATES */
    uint8_t runtime_9[3];
} vmq_key_description;

/* The description of a RELATIVE KEY data item; only its digit count is read. */
typedef struct vmq_relative_key_item {
    uint8_t runtime_0[34];
    uint16_t digit_count; /* 1 to 9 */
} vmq_relative_key_item;

typedef struct vmq_file_description {
    uint8_t runtime_0[12];
    uint8_t organization;
    uint8_t access_flags;
    uint8_t record_flags;
    uint8_t file_flags;
    uint32_t max_record_length;
    uint32_t min_record_length;
    uint8_t runtime_24[4];
    uint32_t key_count;
    uint8_t runtime_32[36];
    uint32_t max_area_length;
    uint32_t min_area_length;
    uint16_t name_length;
    uint16_t message_length;
    uint8_t lock_flags;
    uint8_t linage_flags;
    uint8_t code_flags;
    uint8_t runtime_83[5];
    uint32_t status_offset;
    uint32_t message_offset;
    uint32_t keys_offset;         /* from the start of the description */
    uint32_t relative_key_offset; /* from the start; 0 = no RELATIVE KEY */
    uint8_t runtime_104[24];
    unsigned char** status_base;
    unsigned char** message_base;
} vmq_file_description;

/* The runtime's block behind the program context. This substitute runtime
 * keeps the program's USE procedure in its first two words. */
typedef void (*vmq_use_procedure)(struct vmq_fcb* fcb, struct vmq_program_context* context,
                                  void* use_data);

typedef struct vmq_runtime_block {
    vmq_use_procedure use_procedure; /* null: the program has none */
    void* use_data;
    uint8_t runtime_8[14];
    uint8_t charset_flags; /* VMQ_CHARSET_EBCDIC */
    uint8_t runtime_23[9];
    vmq_file_description** descriptions; /* indexed by file_index - 1 */
} vmq_runtime_block;

typedef struct vmq_program_context {
    uint8_t runtime_0[28];
    vmq_runtime_block* runtime;
} vmq_program_context;

typedef struct vmq_fcb {
    uint8_t runtime_0[4];
    uint32_t file_index; /* 1-based, used with VMQ_DESC_BY_INDEX */
    uint8_t runtime_8[16];
    uint16_t open_request;
    uint16_t open_mode;
    uint16_t close_options;
    uint16_t last_close_options;
    uint32_t state_flags;
    vmq_file_description* description;
    uint16_t status; /* FILE STATUS of the last verb, 0 to 99 */
    uint8_t last_verb;
    uint8_t current_verb;
    uint32_t verb_options;
    uint8_t runtime_48[8];
    char* file_name;
    uint8_t runtime_60[8];
    unsigned char* record_area;
    void* engine_handle; /* 128-byte slot; the engine's handle in word 0 */
    unsigned char* work_buffer;
    uint32_t write_length;
    uint32_t read_length;
    uint32_t relative_number;
    uint32_t relative_key_error;
    uint16_t key_of_reference;
    uint16_t start_key_length;
    /* page model of sequential files with LINAGE and ADVANCING */
    uint32_t linage_lines;
    uint32_t linage_footing;
    uint32_t linage_bottom;
    uint32_t linage_top;
    uint32_t next_linage_lines;
    uint32_t next_linage_footing;
    uint32_t next_linage_bottom;
    uint32_t next_linage_top;
    uint32_t linage_counter;
    uint32_t advance_lines;
    uint8_t advance_options;
    uint8_t last_position_verb;
    uint8_t runtime_142[2];
    /* the verb vector */
    vmq_verb_entry read_entry;
    vmq_verb_entry write_entry;
    vmq_verb_entry rewrite_entry;
    vmq_verb_entry start_entry;
    vmq_verb_entry delete_entry;
    vmq_verb_entry close_entry;
    vmq_verb_entry open_entry;
} vmq_fcb;

/* The description a verb works with: through the program context's table
 * when the FCB asks for it, else the FCB's own pointer. */
static inline vmq_file_description* vmq_find_description(const vmq_fcb* fcb,
                                                         const vmq_program_context* context) {
    if ((fcb->state_flags & VMQ_DESC_BY_INDEX) != 0 && context != NULL &&
        context->runtime != NULL && context->runtime->descriptions != NULL && fcb->file_index != 0)
        return context->runtime->descriptions[fcb->file_index - 1];
    return fcb->description;
}

/* A data item at (*base + offset); null when the item does not exist. */
static inline unsigned char* vmq_item_address(unsigned char* const* base, uint32_t offset) {
    if (base == NULL || *base == NULL)
        return NULL;
    return *base + offset;
}

static inline const vmq_key_description* vmq_key_descriptions(
    const vmq_file_description* description) {
    return (const vmq_key_description*)((const unsigned char*)description +
                                        description->keys_offset);
}

/* Two digits of a FILE STATUS, ASCII or EBCDIC as the description asks. */
static inline void vmq_store_status_digits(unsigned char* item, unsigned status,
                                           uint8_t code_flags) {
    unsigned char zero = (code_flags & VMQ_CODE_EBCDIC_STATUS) ? 0xF0 : 0x30;
    item[0] = (unsigned char)(zero + (status / 10) % 10);
    item[1] = (unsigned char)(zero + status % 10);
}

#ifdef __cplusplus
}
#define VMQ_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define VMQ_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
#define VMQ_AT(type, field, offset)                      \
    VMQ_STATIC_ASSERT(offsetof(type, field) == (offset), \
                      #type "." #field " must sit at byte " #offset)

VMQ_AT(vmq_fcb, file_index, 4);
VMQ_AT(vmq_fcb, open_request, 24);
VMQ_AT(vmq_fcb, open_mode, 26);
VMQ_AT(vmq_fcb, close_options, 28);
VMQ_AT(vmq_fcb, last_close_options, 30);
VMQ_AT(vmq_fcb, state_flags, 32);
VMQ_AT(vmq_fcb, description, 36);
VMQ_AT(vmq_fcb, status, 40);
VMQ_AT(vmq_fcb, last_verb, 42);
VMQ_AT(vmq_fcb, current_verb, 43);
VMQ_AT(vmq_fcb, verb_options, 44);
VMQ_AT(vmq_fcb, file_name, 56);
VMQ_AT(vmq_fcb, record_area, 68);
VMQ_AT(vmq_fcb, engine_handle, 72);
VMQ_AT(vmq_fcb, work_buffer, 76);
VMQ_AT(vmq_fcb, write_length, 80);
VMQ_AT(vmq_fcb, read_length, 84);
VMQ_AT(vmq_fcb, relative_number, 88);
VMQ_AT(vmq_fcb, relative_key_error, 92);
VMQ_AT(vmq_fcb, key_of_reference, 96);
VMQ_AT(vmq_fcb, start_key_length, 98);
VMQ_AT(vmq_fcb, linage_lines, 100);
VMQ_AT(vmq_fcb, linage_footing, 104);
VMQ_AT(vmq_fcb, linage_bottom, 108);
VMQ_AT(vmq_fcb, linage_top, 112);
VMQ_AT(vmq_fcb, next_linage_lines, 116);
VMQ_AT(vmq_fcb, next_linage_footing, 120);
VMQ_AT(vmq_fcb, next_linage_bottom, 124);
VMQ_AT(vmq_fcb, next_linage_top, 128);
VMQ_AT(vmq_fcb, linage_counter, 132);
VMQ_AT(vmq_fcb, advance_lines, 136);
VMQ_AT(vmq_fcb, advance_options, 140);
VMQ_AT(vmq_fcb, last_position_verb, 141);
VMQ_AT(vmq_fcb, read_entry, 144);
VMQ_AT(vmq_fcb, write_entry, 148);
VMQ_AT(vmq_fcb, rewrite_entry, 152);
VMQ_AT(vmq_fcb, start_entry, 156);
VMQ_AT(vmq_fcb, delete_entry, 160);
VMQ_AT(vmq_fcb, close_entry, 164);
VMQ_AT(vmq_fcb, open_entry, 168);

VMQ_AT(vmq_file_description, organization, 12);
VMQ_AT(vmq_file_description, access_flags, 13);
VMQ_AT(vmq_file_description, record_flags, 14);
VMQ_AT(vmq_file_description, file_flags, 15);
VMQ_AT(vmq_file_description, max_record_length, 16);
VMQ_AT(vmq_file_description, min_record_length, 20);
VMQ_AT(vmq_file_description, key_count, 28);
VMQ_AT(vmq_file_description, max_area_length, 68);
VMQ_AT(vmq_file_description, min_area_length, 72);
VMQ_AT(vmq_file_description, name_length, 76);
VMQ_AT(vmq_file_description, message_length, 78);
VMQ_AT(vmq_file_description, lock_flags, 80);
VMQ_AT(vmq_file_description, linage_flags, 81);
VMQ_AT(vmq_file_description, code_flags, 82);
VMQ_AT(vmq_file_description, status_offset, 88);
VMQ_AT(vmq_file_description, message_offset, 92);
VMQ_AT(vmq_file_description, keys_offset, 96);
VMQ_AT(vmq_file_description, relative_key_offset, 100);
VMQ_AT(vmq_file_description, status_base, 128);
VMQ_AT(vmq_file_description, message_base, 132);

VMQ_AT(vmq_key_description, position, 0);
VMQ_AT(vmq_key_description, length, 4);
VMQ_AT(vmq_key_description, flags, 8);
VMQ_STATIC_ASSERT(sizeof(vmq_key_description) == 12, "a key description is 12 bytes");
VMQ_AT(vmq_relative_key_item, digit_count, 34);

VMQ_AT(vmq_program_context, runtime, 28);
VMQ_AT(vmq_runtime_block, charset_flags, 22);
VMQ_AT(vmq_runtime_block, descriptions, 32);

#undef VMQ_AT
#endif

#endif
