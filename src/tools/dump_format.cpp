#include "tools/dump_format.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/tool_support.h"
#include "vmqrmkvr/attributes.h"

namespace kvr::tools::dump_format {

namespace {

constexpr char kMark[] = "KVR-DUMP=";
constexpr char kVersion[] = "1";
constexpr char kHeaderEnd[] = "HEADER=END";
constexpr char kEmptyRecord = '-';
constexpr char kHexDigits[] = "0123456789abcdef";

// Pairs of hex digits, or "-" for no bytes, appended to *out; false when the
// text is neither.
bool decode_bytes(const std::string& text, size_t from, std::vector<unsigned char>* out) {
    if (text.size() == from + 1 && text[from] == kEmptyRecord)
        return true;
    if (text.size() == from || (text.size() - from) % 2 != 0)
        return false;
    out->reserve(out->size() + (text.size() - from) / 2);
    for (size_t i = from; i < text.size(); i += 2) {
        const int high = hex_digit(text[i]);
        const int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out->push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return true;
}

std::string key_text(const KeySpec& key) {
    std::string text = std::to_string(key.offset + 1) + ":" + std::to_string(key.length);
    if (key.duplicates)
        text += ":dups";
    if (key.type == IX_KEY_TYPE_NUMBER)
        text += ":number";
    return text;
}

// "fixed MIN MAX" or "variable MIN MAX", the program's lengths.
bool parse_records(const std::string& text, FileAttributes* a) {
    const size_t first = text.find(' ');
    const size_t second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second == std::string::npos)
        return false;
    const std::string kind = text.substr(0, first);
    uint64_t shortest = 0;
    uint64_t longest = 0;
    if ((kind != "fixed" && kind != "variable") ||
        !parse_number(text.substr(first + 1, second - first - 1), &shortest) ||
        !parse_number(text.substr(second + 1), &longest) || longest == 0 || shortest > longest ||
        longest > UINT32_MAX - kRecordNumberSize)
        return false;
    a->variable = kind == "variable";
    a->min_length = static_cast<uint32_t>(shortest);
    a->max_length = static_cast<uint32_t>(longest);
    return true;
}

}  // namespace

std::string header_text(const FileAttributes& a) {
    std::string text = std::string(kMark) + kVersion + "\n";
    text += std::string("organization=") + organization_name(a.organization) + "\n";
    if (a.organization != Organization::kSequential)
        text += std::string("store=") + (a.block_format ? "block" : "slot") + "\n";
    text += std::string("records=") + (a.variable ? "variable " : "fixed ") +
            std::to_string(a.program_length(a.min_length)) + " " +
            std::to_string(a.program_length(a.max_length)) + "\n";
    if (a.organization == Organization::kIndexed)
        for (const KeySpec& key : a.keys)
            text += "key=" + key_text(key) + "\n";
    return text + kHeaderEnd + "\n";
}

std::string record_line(const FileAttributes& a, const unsigned char* record, size_t length) {
    std::string line = " ";
    if (a.organization == Organization::kRelative && length >= kRecordNumberSize) {
        line += std::to_string(record_number(record)) + " ";
        record += kRecordNumberSize;
        length -= kRecordNumberSize;
    }
    if (length == 0)
        line += kEmptyRecord;
    line.reserve(line.size() + 2 * length + 1);
    for (size_t i = 0; i < length; ++i) {
        line += kHexDigits[record[i] >> 4];
        line += kHexDigits[record[i] & 0x0F];
    }
    return line + "\n";
}

int record_order(const FileAttributes& a) {
    if (a.organization != Organization::kIndexed)
        return 0;
    for (size_t k = 1; k < a.keys.size(); ++k)
        if (a.keys[k].duplicates)
            return static_cast<int>(k);
    return 0;
}

Reader::~Reader() {
    std::free(buffer_);
    if (file_ != nullptr)
        std::fclose(file_);
}

bool Reader::read_line(std::string* text) {
    const ssize_t got = ::getline(&buffer_, &capacity_, file_);
    if (got < 0) {
        read_failed_ = std::ferror(file_) != 0;
        return false;
    }
    ++line_;
    offset_ += static_cast<uint64_t>(got);
    size_t length = static_cast<size_t>(got);
    if (length > 0 && buffer_[length - 1] == '\n')
        --length;
    if (length > 0 && buffer_[length - 1] == '\r')
        --length;  // a dump that went through a tool of another system
    text->assign(buffer_, length);
    return true;
}

std::string Reader::at_line(const std::string& what) const {
    return "line " + std::to_string(line_) + ": " + what;
}

// What the header has given so far: which lines, and the keys with the
// lines they stand on.
struct Reader::Header {
    bool organization = false;
    bool store = false;
    bool records = false;
    std::vector<std::pair<uint64_t, KeySpec>> keys;
};

bool Reader::read_mark(std::string* reason) {
    std::string text;
    if (!read_line(&text) || text.rfind(kMark, 0) != 0) {
        *reason = read_failed_ ? std::string("cannot be read")
                               : "line 1: not a dump of kvr unload --format dump";
        return false;
    }
    if (text != std::string(kMark) + kVersion) {
        *reason = at_line("a dump of version " + text.substr(sizeof kMark - 1) +
                          ", which this kvr does not read (it reads version " + kVersion + ")");
        return false;
    }
    return true;
}

bool Reader::read_attribute(const std::string& text, Header* header, std::string* reason) {
    FileAttributes& a = attributes_;
    const size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
    bool* seen = name == "organization" ? &header->organization
                 : name == "store"      ? &header->store
                 : name == "records"    ? &header->records
                                        : nullptr;
    if (equals == std::string::npos || (seen == nullptr && name != "key")) {
        *reason = at_line("'" + text + "' is no line of a dump's header");
        return false;
    }
    if (seen != nullptr && *seen) {
        *reason = at_line(name + " is given twice");
        return false;
    }
    if (seen != nullptr)
        *seen = true;
    bool fits = true;
    if (name == "organization") {
        fits = value == "indexed" || value == "relative" || value == "sequential";
        a.organization = value == "relative"     ? Organization::kRelative
                         : value == "sequential" ? Organization::kSequential
                                                 : Organization::kIndexed;
    } else if (name == "store") {
        fits = value == "slot" || value == "block";
        a.block_format = value == "block";
    } else if (name == "records") {
        fits = parse_records(value, &a);
    } else {
        KeySpec key;
        fits = parse_key_spec(value, true, &key);
        header->keys.emplace_back(line_, key);
    }
    if (!fits) {
        *reason = at_line("'" + text + "' does not fit: see kvr load --help");
        return false;
    }
    return true;
}

bool Reader::check_header(const Header& header, std::string* reason) {
    FileAttributes& a = attributes_;
    if (!header.organization || !header.records) {
        *reason = at_line(std::string("the header gives no ") +
                          (header.organization ? "records=" : "organization=") + " line");
        return false;
    }
    if (a.organization == Organization::kSequential && header.store) {
        *reason = "a sequential file has no store= line; give it for indexed and relative files";
        return false;
    }
    if (a.organization != Organization::kIndexed && !header.keys.empty()) {
        line_ = header.keys.front().first;
        *reason = at_line(std::string("a ") + organization_name(a.organization) +
                          " file has no key= lines");
        return false;
    }
    if (a.organization == Organization::kIndexed && header.keys.empty()) {
        *reason = at_line("an indexed file's header gives its keys, the prime key first: key=");
        return false;
    }
    if (header.keys.size() > static_cast<size_t>(IX_MAX_KEYS)) {
        *reason = "a file has at most " + std::to_string(IX_MAX_KEYS) + " keys";
        return false;
    }
    if (a.organization == Organization::kRelative) {
        a.min_length = a.engine_length(a.min_length);
        a.max_length = a.engine_length(a.max_length);
        a.keys = {KeySpec{0, static_cast<int>(kRecordNumberSize), false, IX_KEY_TYPE_NUMBER}};
    }
    const uint64_t header_end = line_;
    for (const auto& [at, key] : header.keys) {
        line_ = at;
        std::string problem = key_fit_problem(a, key);
        if (problem.empty() && a.keys.empty() && key.duplicates)
            problem = "the prime key cannot allow duplicates";
        if (!problem.empty()) {
            *reason = at_line(problem);
            return false;
        }
        a.keys.push_back(key);
    }
    line_ = header_end;
    return true;
}

bool Reader::open(const std::string& path, std::string* reason) {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        *reason = std::strerror(errno);
        return false;
    }
    if (!read_mark(reason))
        return false;
    Header header;
    std::string text;
    for (;;) {
        if (!read_line(&text)) {
            *reason = read_failed_ ? "cannot be read"
                                   : "the dump ends inside its header: it was cut short";
            return false;
        }
        if (text == kHeaderEnd)
            return check_header(header, reason);
        if (!read_attribute(text, &header, reason))
            return false;
    }
}

int Reader::next(std::vector<unsigned char>* record, std::string* reason) {
    std::string text;
    if (!read_line(&text)) {
        *reason = read_failed_ ? "cannot be read"
                               : "the dump ends before its DATA=END line: it was cut short";
        return -1;
    }
    if (text + "\n" == kDataEnd) {
        if (read_line(&text) && !text.empty()) {
            *reason = at_line("more follows the DATA=END line");
            return -1;
        }
        if (read_failed_) {
            *reason = "cannot be read";
            return -1;
        }
        return 0;
    }
    const bool relative = attributes_.organization == Organization::kRelative;
    record->clear();
    size_t from = 1;
    bool fits = text.size() > 1 && text[0] == ' ';
    if (fits && relative) {
        const size_t space = text.find(' ', 1);
        uint64_t number = 0;
        fits = space != std::string::npos && parse_number(text.substr(1, space - 1), &number) &&
               number <= UINT32_MAX;
        record->resize(kRecordNumberSize);
        for (size_t i = 0; i < kRecordNumberSize; ++i)
            (*record)[i] = static_cast<unsigned char>(number >> (8 * i));
        from = space + 1;
    }
    if (!fits || !decode_bytes(text, from, record)) {
        *reason = at_line(std::string("not a record: give a space, ") +
                          (relative ? "its record number, a space, " : "") +
                          "then its bytes as pairs of hex digits (- for none)");
        return -1;
    }
    return 1;
}

}  // namespace kvr::tools::dump_format
