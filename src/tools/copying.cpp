#include "tools/copying.h"

#include <sys/stat.h>

#include "engine/isam/file_checker.h"
#include "engine/results.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::tools {

bool is_success(int result) {
    return result == IX_OK || result == IX_DUPLICATE_FOLLOWS;
}

uint64_t size_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

std::string prime_text(const FileAttributes& a, const unsigned char* record, uint32_t length) {
    if (a.keys.empty())
        return "";
    const KeySpec& key = a.keys[0];
    if (static_cast<uint64_t>(key.offset) + static_cast<uint64_t>(key.length) > length)
        return "(too short for its key)";
    if (a.organization == Organization::kRelative)
        return "record number " + std::to_string(record_number(record));
    return "key \"" + escape_bytes(record + key.offset, static_cast<size_t>(key.length)) + "\"";
}

int create_file(const std::string& path, const FileAttributes& a, isam::StoreFormat format) {
    std::vector<unsigned char> block = a.block();
    return engine::code(isam::create_indexed_file(block.data(), static_cast<uint32_t>(block.size()),
                                                  path.c_str(), 0, format));
}

int make_new_file(const std::string& path, const FileAttributes& a, isam::StoreFormat format,
                  IndexedFile* file, bool* opening) {
    *opening = false;
    if (const int result = create_file(path, a, format); result != IX_OK)
        return result;
    *opening = true;
    return file->open_update(path);
}

bool is_keyed_file(const std::string& path, const Streams& io, const char* sequential) {
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return false;
    if (organization == Organization::kSequential) {
        io.error(path, sequential);
        return false;
    }
    return true;
}

bool unload_target_fits(const std::string& path, const PendingFile& target, const Streams& io) {
    std::string why;
    if (same_file(path, target.final_path())) {
        io.error(target.final_path(), "is the file being unloaded; give another name");
        return false;
    }
    if (!target.check_target(&why)) {
        io.error(target.final_path(), why);
        return false;
    }
    return true;
}

bool verify_new_file(const std::string& path, uint64_t expected, const Streams& io,
                     const std::string& name) {
    IndexedFile check;
    const int result = check.open_input(path);
    if (result != IX_OK) {
        io.error(name, "the new file cannot be opened again: " + io.engine_text(result));
        return false;
    }
    isam::FileProblem problem;
    isam::FileSummary summary;
    if (!isam::check_file(check.handle(), &problem, &summary)) {
        io.error(name, "the new file fails its check: " + isam::describe(problem));
        return false;
    }
    if (summary.records != expected) {
        io.error(name, "the new file holds " + std::to_string(summary.records) +
                           " records, not the " + std::to_string(expected) + " written");
        return false;
    }
    return true;
}

bool verify_new_sequential(const std::string& path, uint64_t expected, const Streams& io,
                           const std::string& name) {
    SequentialFile check;
    int result = check.open_input(path);
    uint64_t records = 0;
    uint32_t length = 0;
    while (result == 0 && (result = check.read_length(&length)) == 0)
        ++records;
    if (result != SQ_END_OF_FILE) {
        io.error(name, "the new file cannot be read again: " + io.sequential_text(result));
        return false;
    }
    if (records != expected) {
        io.error(name, "the new file holds " + std::to_string(records) + " records, not the " +
                           std::to_string(expected) + " written");
        return false;
    }
    return true;
}

std::string open_failure(const std::string& path, int result, const Streams& io) {
    std::string problem;
    if (result == IX_NOT_INDEXED_FILE)
        problem = isam::ix_header_problem(path.c_str());
    if (problem.find("never closed") != std::string::npos)
        problem += "; run kvr rebuild first";
    return problem.empty() ? io.engine_text(result) : problem;
}

int read_sequential_records(const std::string& path, const char* label, const Streams& io,
                            FileAttributes* attributes, const NumberedVisit& visit) {
    SequentialFile file;
    if (!open_sequential_input(path, io, &file))
        return kExitFailed;
    if (attributes != nullptr)
        *attributes = file.attributes();
    Progress progress(io.err, label, size_of(path));
    std::vector<unsigned char> record;
    uint64_t count = 0;
    uint64_t bytes = 0;
    for (;;) {
        const int result = file.read_next(&record);
        if (result == SQ_END_OF_FILE)
            return kExitOk;
        if (result != 0) {
            io.error(path,
                     "record " + std::to_string(count + 1) + ": " + io.sequential_text(result));
            return kExitFailed;
        }
        if (!visit(record, ++count))
            return kExitFailed;
        bytes += record.size() + 8;
        progress.update(bytes);
    }
}

namespace {

// read_records for an indexed or relative file.
int read_keyed_records(const std::string& path, int k, const Streams& io,
                       FileAttributes* attributes,
                       const std::function<bool(const std::vector<unsigned char>&)>& visit) {
    IndexedFile file;
    int result = file.open_input(path);
    if (result != IX_OK) {
        io.error(path, open_failure(path, result, io));
        return kExitFailed;
    }
    *attributes = file.attributes();
    Progress progress(io.err, "reading", attributes->record_count);
    uint64_t count = 0;
    std::vector<unsigned char> record;
    for (result = file.read(IX_READ_FIRST, k, &record); is_success(result);
         result = file.read(IX_READ_NEXT, k, &record)) {
        progress.update(++count);
        if (!visit(record))
            return kExitFailed;
    }
    if (result != IX_END_OF_FILE && result != IX_NOT_FOUND) {
        io.error(path, "after " + std::to_string(count) + " records: " + io.engine_text(result));
        return kExitFailed;
    }
    if (count != attributes->record_count) {
        io.error(path, "the header counts " + std::to_string(attributes->record_count) +
                           " records, the prime index " + std::to_string(count) +
                           "; run kvr check");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int read_records(const std::string& path, int k, const Streams& io, FileAttributes* attributes,
                 const std::function<bool(const std::vector<unsigned char>&)>& visit) {
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return kExitFailed;
    if (organization != Organization::kSequential)
        return read_keyed_records(path, k, io, attributes, visit);
    return read_sequential_records(
        path, "reading", io, attributes,
        [&](const std::vector<unsigned char>& record, uint64_t) { return visit(record); });
}

}  // namespace kvr::tools
