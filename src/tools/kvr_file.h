// The files the kvr utility works on, opened through the engines: an
// indexed or relative file through _vmqpIsam (or the inspection open, which
// also reads a file an update session never closed), a sequential file
// through _vmqpSeqFS. Each closes itself when it goes out of scope.
#ifndef KVR_TOOLS_KVR_FILE_H
#define KVR_TOOLS_KVR_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/isam/ix_handle.h"
#include "vmqrmkvr/attributes.h"

namespace kvr::tools {

enum class Organization { kIndexed, kRelative, kSequential };

struct KeySpec {
    int offset = 0;  // 0-based position in the record
    int length = 0;
    bool duplicates = false;
    int type = IX_KEY_TYPE_BYTES;
};

// A relative file's engine record is the record number, 4 bytes, and then
// the record as the program has it; the engines' lengths count the number,
// the program's (and those kvr shows and takes) do not.
inline constexpr uint32_t kRecordNumberSize = 4;

// What a file's header says about it. The lengths are the engines'.
struct FileAttributes {
    Organization organization = Organization::kIndexed;
    bool block_format = false;
    uint32_t version = 0;
    uint32_t record_count = 0;
    uint32_t min_length = 0;
    uint32_t max_length = 0;
    bool variable = false;
    std::vector<KeySpec> keys;

    // The one rule between the two lengths of a record: the program's
    // length of an engine record (for a relative file the record number is
    // not counted), and the engine's length of a program's record.
    uint32_t program_length(uint32_t engine_length) const;
    uint32_t engine_length(uint32_t program_length) const;
    // The record lengths as the program has them: "fixed, 30 bytes",
    // "variable, 1 to 300 bytes".
    std::string lengths_text() const;

    // The attribute block the engines create a file from.
    std::vector<unsigned char> block() const;
    // From a block the engines filled.
    static FileAttributes from_block(const unsigned char* block, uint32_t size);
};

// A key as kvr load --key and a dump give it: POS:LEN[:dups], POS from 1,
// LEN 1 to 255; with numbers, also POS:LEN[:dups]:number for a key held as a
// number. False when the text is none of these.
bool parse_key_spec(const std::string& text, bool numbers, KeySpec* key);
// Why the key cannot be one of a file of these record lengths ("the key
// ends at byte 34, past the end of the 20-byte record"); empty when it can.
std::string key_fit_problem(const FileAttributes& a, const KeySpec& key);

// A relative file's engine record: its record number, from the first 4
// bytes (the record is at least that long).
uint32_t record_number(const unsigned char* engine_record);

// "indexed", "relative" or "sequential".
const char* organization_name(Organization organization);

// An engine result in words: "another process has the file open". With
// with_code the engine's number follows, "... (18)", for kvr --verbose; a
// result that has no words here always shows its number.
std::string engine_text(int result, bool with_code);
// The same for the sequential engine's results.
std::string sequential_text(int result, bool with_code);

// True when a file of that name exists; otherwise *reason says why not.
bool file_exists(const std::string& path, std::string* reason);

// Which organization the file at path has, from its first bytes; false with
// a reason when it is none of this system's files or cannot be read.
bool identify(const std::string& path, Organization* organization, std::string* reason);

class IndexedFile {
public:
    IndexedFile() = default;
    ~IndexedFile();
    IndexedFile(const IndexedFile&) = delete;
    IndexedFile& operator=(const IndexedFile&) = delete;

    // Opens for reading through the inspection open: also a file an update
    // session never closed (unfinished() tells), and with skip_trees the
    // trees stay closed. 0 or an engine result.
    int open_for_inspection(const std::string& path, bool skip_trees);
    // The ordinary opens: input (shared), or update (exclusive).
    int open_input(const std::string& path);
    int open_update(const std::string& path);
    // 0 or the result of the close; the handle is gone either way.
    int close();

    bool is_open() const { return handle_ != nullptr; }
    bool unfinished() const { return unfinished_; }
    ix_handle* handle() const { return handle_; }
    const FileAttributes& attributes() const { return attributes_; }

    // One engine call on the open file.
    int call(uint16_t op, void* data, uint32_t* length, void* aux, uint8_t selector);

    // Reads positionally by key k: first is IX_READ_FIRST / _LAST, then
    // IX_READ_NEXT / _PREV. The record lands in *record. The reads go
    // through one buffer of the file's longest record, made at open, so a
    // read costs the record's length, not the longest one's.
    int read(uint16_t op, int k, std::vector<unsigned char>* record);
    // Reads the first record whose key k is at or after value.
    int read_at_or_after(int k, const std::vector<unsigned char>& value,
                         std::vector<unsigned char>* record);
    int write(const unsigned char* record, uint32_t length);

private:
    int after_open(int result);

    ix_handle* handle_ = nullptr;
    bool unfinished_ = false;
    FileAttributes attributes_;
    std::vector<unsigned char> key_area_;
    std::vector<unsigned char> buffer_;
};

// What SequentialFile::read_next gives for a record longer than the file's
// header allows; the next read goes on with the record after it.
inline constexpr int kSequentialRecordTooLong = 1001;
// What it gives, in place of the engine's damaged record, when the record
// runs past the end of the file: the file was cut short inside it.
inline constexpr int kSequentialFileCutShort = 1002;
// A sequential file: an 80-byte header, then each record framed by its
// length before and after.
inline constexpr uint64_t kSequentialHeaderSize = 80;
inline constexpr uint64_t kSequentialLengthWordSize = 4;

class SequentialFile {
public:
    SequentialFile() = default;
    ~SequentialFile();
    SequentialFile(const SequentialFile&) = delete;
    SequentialFile& operator=(const SequentialFile&) = delete;

    int open_input(const std::string& path);
    // Creates the file (replacing one of that name) and opens it to append.
    int create(const std::string& path, const FileAttributes& attributes);
    int close();

    const FileAttributes& attributes() const { return attributes_; }
    // The next record (the first one on the first call); SQ_END_OF_FILE at
    // the end. A record is never longer than the file that holds it,
    // whatever its header claims, so the reads' buffer is no longer than the
    // file. It is made at the first call.
    int read_next(std::vector<unsigned char>* record);
    // The next record's length alone, as read_next goes on: its data is
    // passed over, so records of any length cost no memory and long ones
    // little reading. A record longer than the header allows gives
    // kSequentialRecordTooLong with its length.
    int read_length(uint32_t* length);
    int write(const unsigned char* record, uint32_t length);

private:
    int load_attributes();
    // What a failed read gives: the engine's result, or
    // kSequentialFileCutShort.
    int failed_read(int result);
    // Whether the record after those read so far runs past the end of the
    // file, by its leading length word.
    bool record_runs_past_end() const;

    void* handle_ = nullptr;
    std::string path_;
    bool first_read_ = true;
    FileAttributes attributes_;
    std::vector<unsigned char> buffer_;
    size_t area_ = 1;  // the size read_next gives buffer_
    uint64_t file_size_ = 0;
    uint64_t read_to_ = 0;        // where the records read so far end
    bool framing_known_ = false;  // read_to_ can be trusted
};

}  // namespace kvr::tools

#endif
