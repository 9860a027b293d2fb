#include "runtime/messages.h"

#include <cstdio>
#include <cstring>

#include "vmqrmkvr/attributes.h"

namespace kvr::runtime {
namespace {

// Texts of the engine results 0 to 30; null where a result has none.
constexpr const char* kEngineTexts[] = {
    nullptr,                                        // 0
    nullptr,                                        // 1
    "Input-output error",                           // 2
    "File not open",                                // 3
    "Key value not found",                          // 4
    "Invalid duplicate key",                        // 5
    "Invalid key number",                           // 6
    "Key numbers differ",                           // 7
    nullptr,                                        // 8
    "End of file",                                  // 9
    "Invalid position",                             // 10
    "No space",                                     // 11
    "Valid duplicate key",                          // 12
    "Key not sequential",                           // 13
    "Record too short",                             // 14
    "Access denied",                                // 15
    "File already exists",                          // 16
    "Record locked",                                // 17
    "File locked",                                  // 18
    "File table full",                              // 19
    "Handle table full",                            // 20
    nullptr,                                        // 21, reported as 24
    nullptr,                                        // 22
    "Record too long",                              // 23
    "Invalid file",                                 // 24
    "Organization is sequential",                   // 25
    "version1 files do not support locking",        // 26
    "Filesystem does not support locking",          // 27
    "locking error",                                // 28
    nullptr,                                        // 29
    "Left open by a program that never closed it",  // 30
};

// Texts of the verbs' own codes: 1000 to 1007, 1009 and 1010 from OPEN, 1008
// from a record verb called without a record area.
constexpr const char* kOpenTexts[] = {
    "Organization is not sequential",  // 1000
    "Organization is indexed",         // 1001
    "Organization is relative",        // 1002
    "File does not exist",             // 1003
    "Number of keys differ",           // 1004
    "Record lengths differ",           // 1005
    "Record types differ",             // 1006
    "Key length or position differs",  // 1007
    "No record area",                  // 1008
    "Empty file, not a KVR file",      // 1009
    "Invalid open mode",               // 1010
};

constexpr int kEngineTextCount = sizeof kEngineTexts / sizeof kEngineTexts[0];
constexpr int kOpenTextCount = sizeof kOpenTexts / sizeof kOpenTexts[0];

// Appends comma-separated pieces to a message area, cutting off silently
// what does not fit.
class PieceWriter {
public:
    PieceWriter(unsigned char* area, int32_t length, int32_t used)
        : area_(area), length_(length), used_(used) {}

    bool full() const { return used_ >= length_; }

    void append(const char* text) {
        if (full())
            return;
        area_[used_++] = ',';
        for (; *text != '\0' && !full(); ++text)
            area_[used_++] = static_cast<unsigned char>(*text);
    }

private:
    unsigned char* area_;
    int32_t length_;
    int32_t used_;
};

// "fixed length 80 80", "1 key", "(1 10)" ... for codes 1004 to 1007.
void append_attributes(PieceWriter& writer, const unsigned char* block) {
    ix_attributes attributes;
    ix_attributes_decode(block, &attributes);
    int key_count = attributes.key_count;
    if (key_count < 0)
        key_count = 0;
    if (key_count > IX_MAX_KEYS)
        key_count = IX_MAX_KEYS;

    long long min_length = attributes.min_record_length;
    long long max_length = attributes.max_record_length;
    if (key_count != 0) {
        ix_key_spec first;
        ix_key_spec_decode(block, 0, &first);
        if (first.key_type == IX_KEY_TYPE_NUMBER) {
            // A relative file: its records carry the 4-byte record number.
            min_length -= 4;
            max_length -= 4;
            key_count = 0;
        }
    }

    char piece[64];
    std::snprintf(piece, sizeof piece, "%s length %lld %lld",
                  (attributes.options & IX_ATTR_VARIABLE) ? "variable" : "fixed", min_length,
                  max_length);
    writer.append(piece);
    if (key_count == 0)
        return;
    std::snprintf(piece, sizeof piece, key_count == 1 ? "%d key" : "%d keys", key_count);
    writer.append(piece);
    for (int i = 0; i < key_count && !writer.full(); ++i) {
        ix_key_spec key;
        ix_key_spec_decode(block, i, &key);
        std::snprintf(piece, sizeof piece,
                      (key.key_flags & IX_KEY_DUPS_ALLOWED) ? "(%d %d DUPOK)" : "(%d %d)",
                      key.key_offset, key.key_length);
        writer.append(piece);
    }
}

}  // namespace

void append_message_piece(unsigned char* area, int32_t length, const char* text) {
    if (area == nullptr || length <= 6 || text == nullptr || *text == '\0')
        return;
    int32_t used = length;
    while (used > 6 && area[used - 1] == ' ')
        --used;
    PieceWriter(area, length, used).append(text);
}

const char* result_text(int code) {
    if (code >= 0 && code < kEngineTextCount)
        return kEngineTexts[code];
    if (code >= 1000 && code < 1000 + kOpenTextCount)
        return kOpenTexts[code - 1000];
    return nullptr;
}

}  // namespace kvr::runtime

extern "C" void _vmq_filestat2(unsigned char* area, int32_t length, int code,
                               const unsigned char* attributes) {
    if (area == nullptr || length <= 0)
        return;
    std::memset(area, ' ', static_cast<size_t>(length));
    if (length < 6)
        return;
    if (code == 21)
        code = 24;

    // Six digits, every verb: written by hand, not formatted.
    long digits = code % 1000000;
    if (digits < 0)
        digits = -digits;
    for (int i = 5; i >= 0; --i, digits /= 10)
        area[i] = static_cast<unsigned char>('0' + digits % 10);

    const char* message = kvr::runtime::result_text(code);
    if (length == 6 || message == nullptr)
        return;
    kvr::runtime::PieceWriter writer(area, length, 6);
    writer.append(message);
    if (code >= 1004 && code <= 1007 && attributes != nullptr)
        kvr::runtime::append_attributes(writer, attributes);
}
