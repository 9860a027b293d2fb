#include "tools/kvr_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "engine/file_header.h"
#include "engine/results.h"
#include "engine/seqfs/record_length.h"
#include "platform/coding.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::tools {

namespace {

constexpr size_t kKeyAreaSize = 512;
constexpr uint32_t kAttributeBlockSize = IX_ATTRIBUTES_FIXED_SIZE + IX_KEY_SPEC_SIZE * IX_MAX_KEYS;

}  // namespace

std::vector<unsigned char> FileAttributes::block() const {
    const int key_count = static_cast<int>(keys.size());
    std::vector<unsigned char> out(ix_attributes_size(key_count));
    ix_attributes fixed{};
    fixed.min_record_length = min_length;
    fixed.max_record_length = max_length;
    fixed.area_length = max_length;
    fixed.key_count = static_cast<int16_t>(key_count);
    fixed.options = variable ? IX_ATTR_VARIABLE : 0;
    ix_attributes_encode(out.data(), &fixed);
    for (int i = 0; i < key_count; ++i) {
        const KeySpec& key = keys[static_cast<size_t>(i)];
        const ix_key_spec key_spec{static_cast<int16_t>(key.offset + 1),
                                   static_cast<int16_t>(key.length),
                                   static_cast<int16_t>(key.duplicates ? IX_KEY_DUPS_ALLOWED : 0),
                                   static_cast<uint8_t>(key.type)};
        ix_key_spec_encode(out.data(), i, &key_spec);
    }
    return out;
}

FileAttributes FileAttributes::from_block(const unsigned char* block, uint32_t size) {
    FileAttributes out;
    ix_attributes fixed{};
    ix_attributes_decode(block, &fixed);
    out.record_count = fixed.record_count;
    out.min_length = fixed.min_record_length;
    out.max_length = fixed.max_record_length;
    out.variable = (fixed.options & IX_ATTR_VARIABLE) != 0;
    const int keys = fixed.key_count < 0 ? 0 : fixed.key_count;
    for (int i = 0; i < keys && ix_attributes_size(i + 1) <= size; ++i) {
        ix_key_spec key_spec{};
        ix_key_spec_decode(block, i, &key_spec);
        out.keys.push_back(KeySpec{key_spec.key_offset - 1, key_spec.key_length,
                                   (key_spec.key_flags & IX_KEY_DUPS_ALLOWED) != 0,
                                   key_spec.key_type});
    }
    if (!out.keys.empty() && out.keys[0].type == IX_KEY_TYPE_NUMBER)
        out.organization = Organization::kRelative;
    return out;
}

uint32_t FileAttributes::program_length(uint32_t engine_length) const {
    if (organization != Organization::kRelative)
        return engine_length;
    return engine_length >= kRecordNumberSize ? engine_length - kRecordNumberSize : 0;
}

uint32_t FileAttributes::engine_length(uint32_t program_length) const {
    return organization == Organization::kRelative ? program_length + kRecordNumberSize
                                                   : program_length;
}

std::string FileAttributes::lengths_text() const {
    const uint32_t shortest = program_length(min_length);
    const uint32_t longest = program_length(max_length);
    if (!variable && shortest == longest)
        return "fixed, " + std::to_string(longest) + " bytes";
    return "variable, " + std::to_string(shortest) + " to " + std::to_string(longest) + " bytes";
}

bool parse_key_spec(const std::string& text, bool numbers, KeySpec* key) {
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        const size_t colon = text.find(':', at);
        parts.push_back(text.substr(at, colon == std::string::npos ? colon : colon - at));
        if (colon == std::string::npos)
            break;
        at = colon + 1;
    }
    uint64_t position = 0;
    uint64_t length = 0;
    if (parts.size() < 2 || parts.size() > 4 || !parse_number(parts[0], &position) ||
        !parse_number(parts[1], &length) || position == 0 || position > 0x7FFF || length == 0 ||
        length > 255)
        return false;
    *key =
        KeySpec{static_cast<int>(position - 1), static_cast<int>(length), false, IX_KEY_TYPE_BYTES};
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] == "dups" && i == 2)
            key->duplicates = true;
        else if (parts[i] == "number" && numbers && i + 1 == parts.size())
            key->type = IX_KEY_TYPE_NUMBER;
        else
            return false;
    }
    return true;
}

std::string key_fit_problem(const FileAttributes& a, const KeySpec& key) {
    const uint64_t end = static_cast<uint64_t>(key.offset) + static_cast<uint64_t>(key.length);
    if (end > 0x7FFF)
        return "the key ends at byte " + std::to_string(end) +
               ", past the 32767 bytes in which keys may lie";
    if (key.type == IX_KEY_TYPE_NUMBER && key.length != 4 && key.length != 8)
        return "a key held as a number is 4 or 8 bytes long";
    if (end > a.max_length) {
        const uint32_t longest = a.program_length(a.max_length);
        return "the key ends at byte " +
               std::to_string(a.program_length(static_cast<uint32_t>(end))) + ", past the end of " +
               (a.variable || a.min_length != a.max_length
                    ? "the longest record, " + std::to_string(longest) + " bytes"
                    : "the " + std::to_string(longest) + "-byte record");
    }
    return "";
}

uint32_t record_number(const unsigned char* engine_record) {
    return platform::load_u32(engine_record);
}

const char* organization_name(Organization organization) {
    switch (organization) {
        case Organization::kIndexed:
            return "indexed";
        case Organization::kRelative:
            return "relative";
        case Organization::kSequential:
            return "sequential";
    }
    return "unknown";
}

namespace {

std::string with_number(const char* text, int result, bool with_code) {
    if (text == nullptr)
        return "an unexpected result, " + std::to_string(result);
    return with_code ? std::string(text) + " (" + std::to_string(result) + ")" : std::string(text);
}

}  // namespace

std::string engine_text(int result, bool with_code) {
    const char* text = nullptr;
    switch (result) {
        case IX_OK:
            text = "success";
            break;
        case IX_BAD_OPCODE:
            text = "request refused";
            break;
        case IX_IO_ERROR:
            text = "the file is damaged or could not be read or written";
            break;
        case IX_NOT_OPEN:
            text = "the file is not open";
            break;
        case IX_NOT_FOUND:
            text = "no record has that key";
            break;
        case IX_DUPLICATE:
            text = "another record already has that key";
            break;
        case IX_BAD_KEY_NUMBER:
            text = "the file has no such key";
            break;
        case IX_END_OF_FILE:
            text = "end of file";
            break;
        case IX_NO_POSITION:
            text = "no current record";
            break;
        case IX_NO_SPACE:
            text = "out of memory, or the file is full";
            break;
        case IX_OUT_OF_ORDER:
            text = "key out of order";
            break;
        case IX_RECORD_TOO_SHORT:
            text = "the record is shorter than its keys";
            break;
        case IX_ACCESS_DENIED:
            text = "access denied";
            break;
        case IX_FILE_EXISTS:
            text = "the file exists";
            break;
        case IX_LOCK_VIOLATION:
            text = "the file is locked";
            break;
        case IX_SHARING_VIOLATION:
            text = "another process has the file open";
            break;
        case IX_NOT_INDEXED_FILE:
            text =
                "not an indexed or relative file of this system, its header is damaged, or "
                "an update of it never finished";
            break;
        case IX_BAD_KEY_COUNT:
            text = "the attributes describe no usable file";
            break;
        case IX_RECORD_TOO_LONG:
            text = "the record is too long for the file";
            break;
        case IX_INVALID_FILE:
            text = "a record store this build cannot read";
            break;
        case IX_SEQUENTIAL_FILE:
            text = "a sequential file";
            break;
        case IX_UNFINISHED_UPDATE:
            text = "an update session never closed the file (kvr rebuild recovers it)";
            break;
        default:
            break;
    }
    return with_number(text, result, with_code);
}

std::string sequential_text(int result, bool with_code) {
    const char* text = nullptr;
    switch (result) {
        case SQ_IO_ERROR:
            text = "the file is damaged or could not be read or written";
            break;
        case SQ_END_OF_FILE:
            text = "end of file";
            break;
        case SQ_NO_SPACE:
            text = "out of memory";
            break;
        case SQ_ACCESS_DENIED:
            text = "access denied, or the file is shorter than its header";
            break;
        case SQ_LOCK_VIOLATION:
            text = "the file is locked";
            break;
        case SQ_SHARING_VIOLATION:
            text = "another process has the file open";
            break;
        case SQ_NOT_SEQUENTIAL_FILE:
            text = "not a file of this system";
            break;
        case SQ_INDEXED_FILE:
            text = "an indexed file";
            break;
        case kSequentialFileCutShort:
            text =
                "the file ends inside a record: the bytes after the last whole record are "
                "left out";
            break;
        case kSequentialRecordTooLong:
            text =
                "a record longer than the file's longest record: its length or the file's "
                "header is damaged";
            break;
        default:
            break;
    }
    return with_number(text, result, with_code);
}

bool file_exists(const std::string& path, std::string* reason) {
    if (::access(path.c_str(), F_OK) == 0)
        return true;
    *reason = std::strerror(errno);
    return false;
}

bool identify(const std::string& path, Organization* organization, std::string* reason) {
    if (!file_exists(path, reason))
        return false;
    // A folder reads as no bytes, and a pipe would keep the open waiting.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        *reason = S_ISDIR(info.st_mode) ? "a folder, not a file" : "not a regular file";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *reason = std::strerror(errno);
        return false;
    }
    unsigned char first[engine::kFileMarkAt + engine::kFileMarkSize] = {};
    const size_t got = std::fread(first, 1, sizeof first, file);
    std::fclose(file);
    const engine::FileMark mark =
        got < sizeof first ? engine::FileMark::kNone : engine::file_mark_of(first);
    if (mark == engine::FileMark::kNone) {
        *reason = "not a file of this system (no KVR mark)";
        return false;
    }
    if (mark == engine::FileMark::kSequential) {
        *organization = Organization::kSequential;
        return true;
    }
    if (mark != engine::FileMark::kIndexed) {
        *reason = "not a file of this system (unknown mark)";
        return false;
    }
    // Indexed or relative: the key table tells, once the file is open.
    *organization = Organization::kIndexed;
    return true;
}

IndexedFile::~IndexedFile() {
    close();
}

int IndexedFile::after_open(int result) {
    if (result != IX_OK)
        return result;
    std::vector<unsigned char> block(kAttributeBlockSize);
    uint32_t size = kAttributeBlockSize;
    const int got = engine::code(isam::ix_get_attributes(handle_, block.data(), size, nullptr));
    if (got != IX_OK) {
        close();
        return got;
    }
    attributes_ = FileAttributes::from_block(block.data(), size);
    const engine::FileHeader header = handle_->header();
    attributes_.version = header.version();
    attributes_.block_format = header.block_format();
    key_area_.assign(kKeyAreaSize, 0);
    // The open has checked the header's longest record against what the
    // format can hold.
    buffer_.assign(std::max<uint32_t>(attributes_.max_length, 1), 0);
    return IX_OK;
}

int IndexedFile::open_for_inspection(const std::string& path, bool skip_trees) {
    close();
    return after_open(engine::code(
        isam::ix_open_for_inspection(&handle_, path.c_str(), skip_trees, &unfinished_)));
}

int IndexedFile::open_input(const std::string& path) {
    close();
    return after_open(_vmqpIsam(IX_OPEN, &handle_, nullptr, nullptr,
                                const_cast<char*>(path.c_str()), IX_MODE_INPUT));
}

int IndexedFile::open_update(const std::string& path) {
    close();
    return after_open(_vmqpIsam(IX_OPEN, &handle_, nullptr, nullptr,
                                const_cast<char*>(path.c_str()), IX_MODE_UPDATE));
}

int IndexedFile::close() {
    if (handle_ == nullptr)
        return IX_OK;
    return _vmqpIsam(IX_CLOSE, &handle_, nullptr, nullptr, nullptr, 0);
}

int IndexedFile::call(uint16_t op, void* data, uint32_t* length, void* aux, uint8_t selector) {
    return _vmqpIsam(op, &handle_, data, length, aux, selector);
}

int IndexedFile::read(uint16_t op, int k, std::vector<unsigned char>* record) {
    uint32_t length = static_cast<uint32_t>(buffer_.size());
    const int result = call(op, buffer_.data(), &length, key_area_.data(), static_cast<uint8_t>(k));
    if (result == IX_OK || result == IX_DUPLICATE_FOLLOWS)
        record->assign(buffer_.begin(),
                       buffer_.begin() +
                           static_cast<std::ptrdiff_t>(std::min<size_t>(length, buffer_.size())));
    return result;
}

int IndexedFile::read_at_or_after(int k, const std::vector<unsigned char>& value,
                                  std::vector<unsigned char>* record) {
    std::fill(key_area_.begin(), key_area_.end(), 0);
    std::memcpy(key_area_.data(), value.data(), std::min(value.size(), key_area_.size()));
    return read(IX_READ_GE, k, record);
}

int IndexedFile::write(const unsigned char* record, uint32_t length) {
    uint32_t in = length;
    return call(IX_WRITE, const_cast<unsigned char*>(record), &in, key_area_.data(), 0);
}

SequentialFile::~SequentialFile() {
    close();
}

int SequentialFile::load_attributes() {
    unsigned char block[kAttributeBlockSize] = {};
    const int result = _vmqpSeqFS(SQ_GET_ATTRIBUTES, &handle_, block, nullptr, nullptr, 0);
    if (result != 0)
        return result;
    attributes_ = FileAttributes::from_block(block, IX_ATTRIBUTES_FIXED_SIZE);
    attributes_.keys.clear();
    attributes_.organization = Organization::kSequential;
    return 0;
}

int SequentialFile::open_input(const std::string& path) {
    close();
    int result = _vmqpSeqFS(SQ_OPEN, &handle_, nullptr, nullptr, const_cast<char*>(path.c_str()),
                            SQ_MODE_INPUT);
    if (result == 0 && (result = load_attributes()) != 0)
        close();
    first_read_ = true;
    if (result == 0) {
        // The header's longest record is not checked against anything: a
        // damaged one may claim gigabytes. The file, open for input, holds
        // no record longer than itself.
        // One byte more than the longest record shows a record longer than
        // the header allows, which is never cut short without a word.
        std::error_code error;
        const uintmax_t file_size = std::filesystem::file_size(path, error);
        file_size_ = error ? 0 : file_size;
        read_to_ = kSequentialHeaderSize;
        path_ = path;
        framing_known_ = !error;
        const uintmax_t longest =
            std::min<uintmax_t>(attributes_.max_length, error ? 0 : file_size);
        area_ = static_cast<size_t>(std::min<uintmax_t>(longest + 1, UINT32_MAX));
        buffer_.clear();
    }
    return result;
}

int SequentialFile::create(const std::string& path, const FileAttributes& attributes) {
    close();
    FileAttributes plain = attributes;
    plain.keys.clear();
    std::vector<unsigned char> block = plain.block();
    int result =
        _vmqpSeqFS(SQ_CREATE, &handle_, block.data(), nullptr, const_cast<char*>(path.c_str()), 0);
    if (result != 0)
        return result;
    result = _vmqpSeqFS(SQ_OPEN, &handle_, nullptr, nullptr, const_cast<char*>(path.c_str()),
                        SQ_MODE_APPEND);
    if (result == 0 && (result = load_attributes()) != 0)
        close();
    if (result == 0)  // the caller's own attributes
        area_ = std::max<uint32_t>(attributes_.max_length, 1);
    return result;
}

int SequentialFile::close() {
    if (handle_ == nullptr)
        return 0;
    // A close that cannot write back what it holds keeps the handle; the
    // destructor tries once more.
    return _vmqpSeqFS(SQ_CLOSE, &handle_, nullptr, nullptr, nullptr, 0);
}

int SequentialFile::read_next(std::vector<unsigned char>* record) {
    if (buffer_.size() != area_)  // made at the first read (1 byte if not open)
        buffer_.assign(area_, 0);
    uint32_t length = static_cast<uint32_t>(buffer_.size());
    const int result = _vmqpSeqFS(first_read_ ? SQ_READ_FIRST : SQ_READ_NEXT, &handle_,
                                  buffer_.data(), &length, nullptr, 0);
    first_read_ = false;
    if (result == 0 && length > attributes_.max_length) {
        framing_known_ = false;  // how long the record really was is not told
        return kSequentialRecordTooLong;
    }
    if (result != 0)
        return failed_read(result);
    read_to_ += uint64_t{length} + 2 * kSequentialLengthWordSize;
    record->assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(
                                                          length, buffer_.size())));
    return 0;
}

int SequentialFile::read_length(uint32_t* length) {
    const int result = seqfs::sq_read_length(&handle_, first_read_, length);
    first_read_ = false;
    if (result != 0)
        return failed_read(result);
    read_to_ += uint64_t{*length} + 2 * kSequentialLengthWordSize;
    return *length > attributes_.max_length ? kSequentialRecordTooLong : 0;
}

// The engine calls a record damaged both when it runs past the end of the
// file and when its two length words differ; the first is told apart by
// what is left of the file.
int SequentialFile::failed_read(int result) {
    if (result == 2 && framing_known_ && record_runs_past_end()) {
        framing_known_ = false;
        return kSequentialFileCutShort;
    }
    return result;
}

bool SequentialFile::record_runs_past_end() const {
    if (file_size_ <= read_to_)
        return false;
    const uint64_t left = file_size_ - read_to_;
    if (left < kSequentialLengthWordSize)
        return true;  // it ends inside the leading length word
    std::FILE* file = std::fopen(path_.c_str(), "rb");
    if (file == nullptr)
        return false;
    unsigned char word[kSequentialLengthWordSize] = {};
    const bool got = ::fseeko(file, static_cast<off_t>(read_to_), SEEK_SET) == 0 &&
                     std::fread(word, 1, sizeof word, file) == sizeof word;
    std::fclose(file);
    if (!got)
        return false;
    return left < uint64_t{platform::load_u32(word)} + 2 * kSequentialLengthWordSize;
}

int SequentialFile::write(const unsigned char* record, uint32_t length) {
    uint32_t in = length;
    return _vmqpSeqFS(SQ_WRITE, &handle_, const_cast<unsigned char*>(record), &in, nullptr, 0);
}

}  // namespace kvr::tools
