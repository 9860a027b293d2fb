#include "bridge/open_failure.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/vmqrmkvr.h"

namespace kvr::bridge {

namespace {

// The layout of an attribute block. A relative file's records carry the
// 4-byte record number, which is no key of the program's.
FileLayout layout_of(const unsigned char* block, uint32_t size) {
    FileLayout layout;
    ix_attributes attributes{};
    ix_attributes_decode(block, &attributes);
    // Never a key entry past the block the library handed over.
    const int room = static_cast<int>((size - IX_ATTRIBUTES_FIXED_SIZE) / IX_KEY_SPEC_SIZE);
    int key_count = attributes.key_count < 0 ? 0 : attributes.key_count;
    if (key_count > room)
        key_count = room;
    layout.known = true;
    layout.variable = (attributes.options & IX_ATTR_VARIABLE) != 0;
    long long min_length = attributes.min_record_length;
    long long max_length = attributes.max_record_length;
    ix_key_spec first{};
    if (key_count != 0)
        ix_key_spec_decode(block, 0, &first);
    if (key_count != 0 && first.key_type == IX_KEY_TYPE_NUMBER) {
        min_length -= 4;
        max_length -= 4;
        key_count = 0;
    }
    layout.min_length = static_cast<unsigned long>(min_length < 0 ? 0 : min_length);
    layout.max_length = static_cast<unsigned long>(max_length < 0 ? 0 : max_length);
    layout.key_count = static_cast<unsigned long>(key_count);
    for (int i = 0; i < key_count; ++i) {
        ix_key_spec key{};
        ix_key_spec_decode(block, i, &key);
        layout.keys.emplace_back(
            static_cast<unsigned long>(key.key_offset < 0 ? 0 : key.key_offset),
            static_cast<unsigned long>(key.key_length < 0 ? 0 : key.key_length));
        layout.duplicates.push_back((key.key_flags & IX_KEY_DUPS_ALLOWED) != 0);
    }
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
    switch (open.report.code) {
        case Diagnostic::kKeyCountDiffers:
            return count_of(program.key_count, "key") + " in the program, " +
                   number(file.key_count) + " in the file";
        case Diagnostic::kRecordLengthsDiffer:
        case Diagnostic::kRecordTypesDiffer:
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

// What the library says after the code's text; empty when it says nothing
// more.
const std::string& detail_of(const FailedOpen& open) {
    return open.report.detail;
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

LibraryReport library_report(const vmq_fcb& fcb) {
    LibraryReport report;
    vmq_diagnostic said{};
    if (_IO_LastDiagnostic(&fcb, &said) == 0)
        return report;
    report.reported = true;
    report.code = static_cast<Diagnostic>(said.code);
    report.text = said.text != nullptr ? said.text : "";
    report.detail = said.detail != nullptr ? said.detail : "";
    if (said.attributes != nullptr && said.attributes_size >= IX_ATTRIBUTES_FIXED_SIZE)
        report.layout = layout_of(said.attributes, said.attributes_size);
    return report;
}

std::string explain_open_failure(const FailedOpen& open) {
    const vmq_file_description& program = *open.description;
    switch (open.report.code) {
        case Diagnostic::kFileMissing:
            return "the file does not exist";
        case Diagnostic::kUnfinishedUpdate: {
            const std::string journal = journal_detail(open);
            return "was left open by a program that ended without closing it" +
                   (journal.empty() ? "" : ", and " + journal) + "; run kvr rebuild " + open.name;
        }
        case Diagnostic::kEmptyFile:
            return "the file is empty, not a KVR file";
        case Diagnostic::kNotKvrFile:
        case Diagnostic::kInvalidFile:
            return "it is not a KVR file, or its header is damaged";
        case Diagnostic::kSequentialFile:
            return "it is a sequential file; the program has " + organization_of(program);
        case Diagnostic::kNotSequential:
            return "it is an indexed or relative file; the program has a sequential file";
        case Diagnostic::kIndexedFile:
            return "it is an indexed file; the program has a relative file";
        case Diagnostic::kRelativeFile:
            return "it is a relative file; the program has an indexed file";
        case Diagnostic::kKeyCountDiffers:
        case Diagnostic::kRecordLengthsDiffer:
        case Diagnostic::kRecordTypesDiffer:
        case Diagnostic::kKeyPlaceDiffers: {
            const FileLayout& file = open.report.layout;
            if (!file.known)
                break;
            // A relative file's layout counts no keys: one with keys is an
            // indexed file the library took for a relative one.
            if ((program.organization & VMQ_ORG_RELATIVE) != 0 && file.key_count != 0)
                return "it is an indexed file; the program has a relative file";
            return layout_difference(open, file);
        }
        case Diagnostic::kFileInUse: {
            const std::string holder = open.held_here ? "" : detail_of(open);
            return in_use(open) + (holder.empty() ? "" : " (" + holder + ")");
        }
        case Diagnostic::kRecordLocked:
            return "it is locked by another process";
        case Diagnostic::kAccessDenied: {
            const std::string journal = journal_detail(open);
            return journal.empty() ? access_denied(open) : "it cannot be shared: " + journal;
        }
        case Diagnostic::kFileTableFull:
        case Diagnostic::kHandleTableFull:
            return "too many files are open";
        case Diagnostic::kNoSpace:
            return "not enough memory";
        case Diagnostic::kIoError:
            return "an input-output error";
        default:
            break;
    }
    if (!open.report.text.empty())
        return "the library says \"" + open.report.text + "\" (code " +
               number(static_cast<unsigned long>(runtime::code(open.report.code))) + ")";
    return "status " + number(open.status);
}

std::string duplicates_difference(const LibraryReport& file_keys,
                                  const vmq_file_description& program,
                                  const vmq_key_description* keys) {
    if (file_keys.code != Diagnostic::kKeyCountDiffers)
        return "";
    const FileLayout& file = file_keys.layout;
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

bool output_may_replace(unsigned status, Diagnostic code, const std::string& name) {
    if (status == 39) {
        switch (code) {
            case Diagnostic::kNotKvrFile:
            case Diagnostic::kInvalidFile:
            case Diagnostic::kSequentialFile:
            case Diagnostic::kNotSequential:
            case Diagnostic::kIndexedFile:
            case Diagnostic::kRelativeFile:
            case Diagnostic::kKeyCountDiffers:
            case Diagnostic::kRecordLengthsDiffer:
            case Diagnostic::kRecordTypesDiffer:
            case Diagnostic::kKeyPlaceDiffers:
                return true;
            default:
                return false;
        }
    }
    // "Access denied" for a regular file we may read and write: too short
    // for a KVR header, so none of ours.
    if (status == 91 && code == Diagnostic::kAccessDenied) {
        struct stat file;
        return ::stat(name.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
               ::access(name.c_str(), R_OK | W_OK) == 0;
    }
    return false;
}

}  // namespace kvr::bridge
