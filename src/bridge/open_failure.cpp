#include "bridge/open_failure.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kvr::bridge {

namespace {

// The diagnostic codes an OPEN may leave in the message area. An engine
// that finds no KVR file, a damaged header or too old a version reports
// 21, which the message shows as 24.
enum MessageCode : int {
    kIoError = 2,
    kNoSpace = kCodeNoSpace,
    kAccessDenied = 15,
    kLockViolation = 17,
    kSharingViolation = kCodeFileInUse,
    kFileTableFull = 19,
    kHandleTableFull = 20,
    kInvalidFile = 24,
    kSequentialFile = 25,
    kUnfinishedUpdate = 30,
    kNotSequential = 1000,
    kIndexedFile = 1001,
    kRelativeFile = 1002,
    kMissing = 1003,
    kKeyCount = kCodeKeyCount,
    kRecordLength = 1005,
    kRecordType = 1006,
    kKeyPlace = 1007,
    kEmptyFile = 1009,
};

// The existing file's layout, as codes 1004 to 1007 append it: "fixed
// length 34 34", then "1 key" or "2 keys" (none for a sequential or
// relative file), then "(1 10)" or "(1 10 DUPOK)" per key.
struct FileLayout {
    bool known = false;
    bool variable = false;
    unsigned long min_length = 0;
    unsigned long max_length = 0;
    unsigned long key_count = 0;
    std::vector<std::pair<unsigned long, unsigned long>> keys;  // 1-based position, length
    std::vector<bool> duplicates;                               // DUPOK, per key
};

FileLayout file_layout(const std::vector<std::string>& pieces) {
    FileLayout layout;
    // pieces[0] is the code's text.
    if (pieces.size() < 2)
        return layout;
    char kind[16] = {};
    if (std::sscanf(pieces[1].c_str(), "%15s length %lu %lu", kind, &layout.min_length,
                    &layout.max_length) != 3)
        return layout;
    layout.variable = std::strcmp(kind, "variable") == 0;
    size_t next = 2;
    if (next < pieces.size() && std::isdigit(static_cast<unsigned char>(pieces[next][0])) != 0) {
        layout.key_count = std::strtoul(pieces[next].c_str(), nullptr, 10);
        ++next;
    }
    for (; next < pieces.size(); ++next) {
        unsigned long position = 0;
        unsigned long length = 0;
        if (std::sscanf(pieces[next].c_str(), "(%lu %lu", &position, &length) != 2)
            break;
        layout.keys.emplace_back(position, length);
        layout.duplicates.push_back(pieces[next].find("DUPOK") != std::string::npos);
    }
    layout.known = true;
    return layout;
}

std::string number(unsigned long n) {
    return std::to_string(n);
}

std::string count_of(unsigned long n, const char* thing) {
    return number(n) + " " + thing + (n == 1 ? "" : "s");
}

std::string organization_of(const vmq_file_description& description) {
    if ((description.organization & VMQ_ORG_INDEXED) != 0)
        return "an indexed file";
    if ((description.organization & VMQ_ORG_SEQUENTIAL) != 0)
        return "a sequential file";
    return "a relative file";
}

std::string records(bool variable, unsigned long min_length, unsigned long max_length) {
    if (variable)
        return "variable-length records of " + number(min_length) + " to " + number(max_length) +
               " bytes";
    return "fixed-length records of " + number(max_length) + " bytes";
}

std::string key_name(size_t k) {
    return k == 0 ? "the record key" : "alternate key " + number(k);
}

std::string bytes(unsigned long first, unsigned long length) {
    return "bytes " + number(first) + " to " + number(first + length - 1);
}

std::string layout_difference(const FailedOpen& open, const FileLayout& file) {
    const vmq_file_description& program = *open.description;
    const bool variable = (program.record_flags & VMQ_RECORD_VARIABLE) != 0;
    switch (open.message.code) {
        case kKeyCount:
            return count_of(program.key_count, "key") + " in the program, " +
                   number(file.key_count) + " in the file";
        case kRecordLength:
        case kRecordType:
            if (!variable && !file.variable)
                return "record length " + number(program.max_record_length) + " in the program, " +
                       number(file.max_length) + " in the file";
            return records(variable, program.min_record_length, program.max_record_length) +
                   " in the program, " + records(file.variable, file.min_length, file.max_length) +
                   " in the file";
        default:
            break;
    }
    // The first key whose place differs.
    for (size_t k = 0; k < file.keys.size() && k < program.key_count; ++k) {
        const vmq_key_description& key = open.keys[k];
        const auto [position, length] = file.keys[k];
        if (key.position + 1 != position || key.length != length)
            return key_name(k) + " is " + bytes(key.position + 1, key.length) +
                   " in the program, " + bytes(position, length) + " in the file";
    }
    return "its keys lie elsewhere in the record than the program's";
}

// Refused as "access denied": no permission, something that is no regular
// file, or a file too short to hold a KVR header.
std::string access_denied(const FailedOpen& open) {
    struct stat file;
    if (::stat(open.name.c_str(), &file) != 0)
        return std::strerror(errno);
    if (!S_ISREG(file.st_mode))
        return "it is not a regular file";
    const bool input = (open.request & VMQ_OPEN_INPUT) != 0;
    if (::access(open.name.c_str(), input ? R_OK : R_OK | W_OK) != 0)
        return input ? "no permission to read it" : "no permission to read and write it";
    return "it is too short to be a KVR file";
}

// What the library says after the code's text (its pieces but the first),
// as one text; empty when it says nothing more.
std::string detail_of(const FailedOpen& open) {
    std::string detail;
    for (size_t i = 1; i < open.message.pieces.size(); ++i)
        detail += (i == 1 ? "" : ",") + open.message.pieces[i];
    return detail;
}

// The library's "its journal is left alone: ..." with the journal's name.
std::string journal_detail(const FailedOpen& open) {
    std::string detail = detail_of(open);
    const std::string journal = "its journal ";
    if (detail.compare(0, journal.size(), journal) == 0)
        detail.insert(journal.size(), open.name + ".kvrj ");
    return detail;
}

std::string in_use(const FailedOpen& open) {
    const bool input = (open.request & VMQ_OPEN_INPUT) != 0;
    if (open.held_here)
        return input ? "another file of this program has it open for update"
                     : "another file of this program has it open";
    // A reader shares the file with other readers: only a writer keeps it
    // from one.
    return input ? "it is open for update by another process" : "it is in use by another process";
}

}  // namespace

LibraryMessage parse_library_message(const std::string& text) {
    LibraryMessage message;
    if (text.size() < 6)
        return message;
    for (size_t i = 0; i < 6; ++i) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0)
            return message;
    }
    message.code = std::stoi(text.substr(0, 6));
    if (text.size() <= 7)
        return message;
    for (size_t start = 7;;) {
        const size_t comma = text.find(',', start);
        message.pieces.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return message;
}

std::string explain_open_failure(const FailedOpen& open) {
    const vmq_file_description& program = *open.description;
    switch (open.message.code) {
        case kMissing:
            return "the file does not exist";
        case kUnfinishedUpdate: {
            const std::string journal = journal_detail(open);
            return "was left open by a program that ended without closing it" +
                   (journal.empty() ? "" : ", and " + journal) + "; run kvr rebuild " + open.name;
        }
        case kEmptyFile:
            return "the file is empty, not a KVR file";
        case kInvalidFile:
            return "it is not a KVR file, or its header is damaged";
        case kSequentialFile:
            return "it is a sequential file; the program has " + organization_of(program);
        case kNotSequential:
            return "it is an indexed or relative file; the program has a sequential file";
        case kIndexedFile:
            return "it is an indexed file; the program has a relative file";
        case kRelativeFile:
            return "it is a relative file; the program has an indexed file";
        case kKeyCount:
        case kRecordLength:
        case kRecordType:
        case kKeyPlace: {
            const FileLayout file = file_layout(open.message.pieces);
            if (!file.known)
                break;
            // The message counts no keys for a relative file: one with keys
            // is an indexed file the library took for a relative one.
            if ((program.organization & VMQ_ORG_RELATIVE) != 0 && file.key_count != 0)
                return "it is an indexed file; the program has a relative file";
            return layout_difference(open, file);
        }
        case kSharingViolation: {
            const std::string holder = open.held_here ? "" : detail_of(open);
            return in_use(open) + (holder.empty() ? "" : " (" + holder + ")");
        }
        case kLockViolation:
            return "it is locked by another process";
        case kAccessDenied: {
            const std::string journal = journal_detail(open);
            return journal.empty() ? access_denied(open) : "it cannot be shared: " + journal;
        }
        case kFileTableFull:
        case kHandleTableFull:
            return "too many files are open";
        case kNoSpace:
            return "not enough memory";
        case kIoError:
            return "an input-output error";
        default:
            break;
    }
    if (!open.message.pieces.empty() && !open.message.pieces[0].empty())
        return "the library says \"" + open.message.pieces[0] + "\" (code " +
               number(static_cast<unsigned long>(open.message.code)) + ")";
    return "status " + number(open.status);
}

std::string duplicates_difference(const LibraryMessage& file_keys,
                                  const vmq_file_description& program,
                                  const vmq_key_description* keys) {
    if (file_keys.code != kKeyCount)
        return "";
    const FileLayout file = file_layout(file_keys.pieces);
    if (!file.known || file.keys.size() != program.key_count)
        return "";
    for (size_t k = 0; k < file.keys.size(); ++k) {
        if (keys[k].position + 1 != file.keys[k].first || keys[k].length != file.keys[k].second)
            return "";
    }
    for (size_t k = 0; k < file.keys.size(); ++k) {
        const bool in_program = (keys[k].flags & VMQ_KEY_DUPLICATES) != 0;
        if (in_program != file.duplicates[k])
            return key_name(k) + " allows duplicates in the " +
                   (in_program ? "program, not in the file" : "file, not in the program");
    }
    return "";
}

bool output_may_replace(unsigned status, int code, const std::string& name) {
    if (status == 39) {
        switch (code) {
            case kInvalidFile:
            case kSequentialFile:
            case kNotSequential:
            case kIndexedFile:
            case kRelativeFile:
            case kKeyCount:
            case kRecordLength:
            case kRecordType:
            case kKeyPlace:
                return true;
            default:
                return false;
        }
    }
    // "Access denied" for a regular file we may read and write: too short
    // for a KVR header, so none of ours.
    if (status == 91 && code == kAccessDenied) {
        struct stat file;
        return ::stat(name.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
               ::access(name.c_str(), R_OK | W_OK) == 0;
    }
    return false;
}

}  // namespace kvr::bridge
