// kvr unload, load, rebuild and convert: they write a new file under a
// temporary name and give it its final name only once it is complete and,
// for indexed files, checked.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>

#include "engine/isam/file_checker.h"
#include "engine/isam/ix_handle.h"
#include "engine/isam/store_walk.h"
#include "engine/results.h"
#include "platform/coding.h"
#include "tools/commands.h"
#include "tools/dump_format.h"
#include "tools/kvr_file.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"

namespace kvr::tools {

namespace {

bool is_success(int result) {
    return result == IX_OK || result == IX_DUPLICATE_FOLLOWS;
}

uint64_t size_of(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// Why a file of `needed` bytes cannot be written beside `path`: too little
// free space on its file system, or a smaller limit on the size of a file
// this process may write (ulimit -f). Empty when there is room.
std::string room_shortage(const std::string& path, uint64_t needed) {
    uint64_t room = UINT64_MAX;
    const char* where = "";
    const std::string folder = std::filesystem::path(path).parent_path().string();
    struct statvfs disk {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &disk) == 0) {
        room = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
        where = "free on its file system";
    }
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < room) {
        room = limit.rlim_cur;
        where = "the largest file this process may write";
    }
    if (room >= needed)
        return "";
    return "rebuilding writes a new copy beside the file before it replaces it and needs room "
           "for about " +
           std::to_string(needed) + " bytes; there is room for " + std::to_string(room) + " (" +
           where + ")";
}

// The prime key of a record as text, for messages.
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

// Creates an indexed or relative file at path in the given format.
int create_file(const std::string& path, const FileAttributes& a, isam::StoreFormat format) {
    std::vector<unsigned char> block = a.block();
    return engine::code(isam::create_indexed_file(block.data(), static_cast<uint32_t>(block.size()),
                                                  path.c_str(), 0, format));
}

// Checks the finished file by opening it again: every tree, record and list,
// and the number of records expected. False with a message otherwise.
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

// The same for a sequential file: it reads to its end, with every record
// written.
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

// Why an input open of an indexed or relative file failed, in words.
std::string open_failure(const std::string& path, int result, const Streams& io) {
    std::string problem;
    if (result == IX_NOT_INDEXED_FILE)
        problem = isam::ix_header_problem(path.c_str());
    if (problem.find("never closed") != std::string::npos)
        problem += "; run kvr rebuild first";
    return problem.empty() ? io.engine_text(result) : problem;
}

// Reads every record of an indexed, relative or sequential file in the order
// of key k (file order for a sequential file). visit returns false to stop
// (then 0 is returned). Any other failure: the message is given.
template <typename Visit>
int read_all(const std::string& path, int k, const Streams& io, FileAttributes* attributes,
             Visit visit) {
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return kExitFailed;
    std::vector<unsigned char> record;
    if (organization == Organization::kSequential) {
        SequentialFile file;
        if (const int result = file.open_input(path); result != 0) {
            io.error(path, io.sequential_text(result));
            return kExitFailed;
        }
        *attributes = file.attributes();
        Progress progress(io.err, "reading", size_of(path));
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
            ++count;
            bytes += record.size() + 8;
            progress.update(bytes);
            if (!visit(record))
                return kExitFailed;
        }
    }
    IndexedFile file;
    int result = file.open_input(path);
    if (result != IX_OK) {
        io.error(path, open_failure(path, result, io));
        return kExitFailed;
    }
    *attributes = file.attributes();
    Progress progress(io.err, "reading", attributes->record_count);
    uint64_t count = 0;
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
    return read_all(path, k, io, attributes, visit);
}

namespace {

// The key whose order unload follows: the prime key, except in a dump,
// which keeps the order of an indexed file's first key that allows
// duplicates. A file that cannot be opened here is reported by the read.
int unload_order(const std::string& path, bool dump) {
    Organization organization{};
    std::string reason;
    if (!dump || !identify(path, &organization, &reason) ||
        organization == Organization::kSequential)
        return 0;
    IndexedFile probe;
    if (probe.open_for_inspection(path, true) != IX_OK)
        return 0;
    return dump_format::record_order(probe.attributes());
}

}  // namespace

int command_unload(const CommandLine& line, const Streams& io) {
    const std::string& path = line.operands[0];
    int varseq_format = 0;
    if (!parse_varseq_format(line, io, &varseq_format))
        return kExitFailed;
    const std::string* format = line.value("--format");
    if (format != nullptr && *format == "gnucobol")
        return unload_to_gnucobol(path, line.operands[1], varseq_format, io);
    PendingFile target(line.operands[1]);
    // A text file and a dump are lines written here; a sequential file of
    // this system goes through its engine.
    const bool text = line.has_flag("--text");
    const bool dump = format != nullptr && *format == "dump";
    std::string why;
    if (same_file(path, target.final_path())) {
        io.error(target.final_path(), "is the file being unloaded; give another name");
        return kExitFailed;
    }
    if (!target.check_target(&why)) {
        io.error(target.final_path(), why);
        return kExitFailed;
    }
    std::FILE* text_file = nullptr;
    SequentialFile sequential;
    bool opened = false;
    uint64_t count = 0;
    std::string failure;
    FileAttributes attributes;
    // A relative file's record numbers, which a text file does not keep.
    uint32_t first_number = 0;
    uint32_t last_number = 0;
    bool gaps = false;
    const auto open_output = [&] {
        opened = true;
        if (text || dump) {
            text_file = std::fopen(target.path().c_str(), "wb");
            if (text_file == nullptr)
                failure = std::strerror(errno);
            else if (dump &&
                     std::fputs(dump_format::header_text(attributes).c_str(), text_file) == EOF)
                failure = std::strerror(errno);
        } else if (const int result = sequential.create(target.path(), attributes); result != 0) {
            failure = io.sequential_text(result);
        }
        return failure.empty();
    };
    const auto put_line = [&](const std::string& bytes) {
        if (std::fwrite(bytes.data(), 1, bytes.size(), text_file) != bytes.size()) {
            failure = std::strerror(errno);
            return false;
        }
        return true;
    };
    const int status = read_all(
        path, unload_order(path, dump), io, &attributes, [&](const std::vector<unsigned char>& r) {
            if (!opened && !open_output())
                return false;
            ++count;
            if (dump)
                return put_line(dump_format::record_line(attributes, r.data(), r.size()));
            if (!text) {
                if (const int result = sequential.write(r.data(), static_cast<uint32_t>(r.size()));
                    result != 0) {
                    failure = "record " + std::to_string(count) + ": " + io.sequential_text(result);
                    return false;
                }
                return true;
            }
            const size_t skip =
                r.size() - attributes.program_length(static_cast<uint32_t>(r.size()));
            if (skip != 0) {
                last_number = record_number(r.data());
                first_number = count == 1 ? last_number : first_number;
                gaps = gaps || last_number != count;
            }
            if (std::memchr(r.data() + skip, '\n', r.size() - skip) != nullptr) {
                const std::string prime =
                    prime_text(attributes, r.data(), static_cast<uint32_t>(r.size()));
                failure = "record " + std::to_string(count) +
                          (prime.empty() ? "" : " (" + prime + ")") +
                          " holds a line feed, which a text file cannot keep; unload without "
                          "--text, or with --format dump";
                return false;
            }
            if (std::fwrite(r.data() + skip, 1, r.size() - skip, text_file) != r.size() - skip ||
                std::fputc('\n', text_file) == EOF) {
                failure = std::strerror(errno);
                return false;
            }
            return true;
        });
    // An empty file still gives an (empty) output file.
    if (!opened && status == kExitOk)
        open_output();
    if (dump && failure.empty() && status == kExitOk && text_file != nullptr)
        put_line(dump_format::kDataEnd);
    if (text_file != nullptr && std::fclose(text_file) != 0 && failure.empty())
        failure = std::strerror(errno);
    if (const int closed = sequential.close(); closed != 0 && failure.empty())
        failure = io.sequential_text(closed);
    if (!failure.empty()) {
        io.error(target.final_path(), failure);
        return kExitFailed;
    }
    if (status != kExitOk)
        return status;
    std::string reason;
    if (!target.commit(&reason)) {
        io.error(target.final_path(), reason);
        return kExitFailed;
    }
    // A relative file's records keep their numbers in a sequential file, so
    // that load gives them back; its records are longer by as much.
    const bool numbered = !text && !dump && attributes.organization == Organization::kRelative;
    std::fprintf(io.out, "%s: %s unloaded to %s%s\n", path.c_str(),
                 count_text(count, "record").c_str(), target.final_path().c_str(),
                 numbered ? ", each behind its 4-byte record number"
                 : dump   ? ", a dump that kvr load --format dump makes the file again from"
                          : "");
    if (gaps)
        io.warn(path, count_text(count, "record") + " numbered from " +
                          std::to_string(first_number) + " to " + std::to_string(last_number) +
                          ", with gaps: " + target.final_path() +
                          " keeps no record numbers, and kvr load --text --relative numbers its "
                          "lines 1, 2, 3, ...; kvr unload --format dump keeps them");
    return kExitOk;
}

namespace {

// --record LEN or LEN-MAX.
bool parse_record_option(const std::string& text, FileAttributes* a) {
    const size_t dash = text.find('-');
    uint64_t low = 0;
    uint64_t high = 0;
    if (dash == std::string::npos) {
        if (!parse_number(text, &low) || low == 0 || low > UINT32_MAX)
            return false;
        a->min_length = a->max_length = static_cast<uint32_t>(low);
        a->variable = false;
        return true;
    }
    if (!parse_number(text.substr(0, dash), &low) || !parse_number(text.substr(dash + 1), &high) ||
        high == 0 || low > high || high > UINT32_MAX)
        return false;
    a->min_length = static_cast<uint32_t>(low);
    a->max_length = static_cast<uint32_t>(high);
    a->variable = true;
    return true;
}

// The attributes of the file load creates, from --like or the options.
bool load_attributes(const CommandLine& line, const Streams& io, const std::string& path,
                     FileAttributes* a) {
    const std::string* like = line.value("--like");
    const std::string* record = line.value("--record");
    const bool relative = line.has_flag("--relative");
    const bool sequential = line.has_flag("--sequential");
    const bool keys = line.value("--key") != nullptr;
    if (like != nullptr) {
        if (record != nullptr || keys || relative || sequential) {
            io.error(path,
                     "--like takes the attributes from another file; --record, --key, "
                     "--relative and --sequential do not go with it");
            return false;
        }
        IndexedFile other;
        const int result = other.open_for_inspection(*like, true);
        if (result == IX_SEQUENTIAL_FILE) {
            SequentialFile plain;
            if (const int opened = plain.open_input(*like); opened != 0) {
                io.error(*like, io.sequential_text(opened));
                return false;
            }
            *a = plain.attributes();
            a->record_count = 0;
            return true;
        }
        if (result != IX_OK) {
            std::string problem = io.engine_text(result);
            if (result == IX_NOT_INDEXED_FILE)
                problem = isam::ix_header_problem(like->c_str());
            io.error(*like, problem);
            return false;
        }
        *a = other.attributes();
        a->record_count = 0;
        a->block_format = false;  // a new file is of the slot format
        return true;
    }
    if (record == nullptr || !parse_record_option(*record, a)) {
        io.error(path, record == nullptr
                           ? "give the file's attributes: --like OTHER, or --record and --key"
                           : "--record " + *record + ": give LEN or LEN-MAX, MAX at least 1");
        return false;
    }
    if (sequential) {
        if (keys || relative) {
            io.error(path,
                     "a sequential file has no keys; --key and --relative do not go with "
                     "--sequential");
            return false;
        }
        a->organization = Organization::kSequential;
        return true;
    }
    if (relative) {
        if (keys) {
            io.error(path, "a relative file's key is its record number; --key does not apply");
            return false;
        }
        // --record gives the program's lengths; the engine's count the
        // record number in front.
        a->organization = Organization::kRelative;
        a->min_length = a->engine_length(a->min_length);
        a->max_length = a->engine_length(a->max_length);
        a->keys = {KeySpec{0, static_cast<int>(kRecordNumberSize), false, IX_KEY_TYPE_NUMBER}};
        return true;
    }
    const auto range = line.values.equal_range("--key");
    for (auto it = range.first; it != range.second; ++it) {
        KeySpec key;
        if (!parse_key_spec(it->second, false, &key)) {
            io.error(path, "--key " + it->second +
                               ": give POS:LEN or POS:LEN:dups, POS from 1, LEN 1 to 255");
            return false;
        }
        if (const std::string problem = key_fit_problem(*a, key); !problem.empty()) {
            io.error(path, "--key " + it->second + ": " + problem);
            return false;
        }
        a->keys.push_back(key);
    }
    if (a->keys.empty()) {
        io.error(path, "an indexed file needs a prime key: --key POS:LEN");
        return false;
    }
    if (a->keys.size() > static_cast<size_t>(IX_MAX_KEYS)) {
        io.error(path, "a file has at most " + std::to_string(IX_MAX_KEYS) + " keys");
        return false;
    }
    if (a->keys[0].duplicates) {
        io.error(path, "the prime key cannot allow duplicates");
        return false;
    }
    return true;
}

}  // namespace

int command_load(const CommandLine& line, const Streams& io) {
    const std::string& path = line.operands[0];
    const std::string& input = line.operands[1];
    const bool text = line.has_flag("--text");
    int varseq_format = 0;
    if (!parse_varseq_format(line, io, &varseq_format))
        return kExitFailed;
    const std::string* format = line.value("--format");
    const bool gnucobol = format != nullptr && *format == "gnucobol";
    std::string reason;
    if (file_exists(path, &reason)) {
        io.error(path, "the file exists; kvr load creates a new file (remove this one first)");
        return kExitFailed;
    }
    // A dump carries the file's attributes: they are read before anything
    // is made.
    const bool from_dump = format != nullptr && *format == "dump";
    dump_format::Reader dump_in;
    FileAttributes a;
    if (from_dump) {
        if (line.value("--like") || line.value("--record") || line.value("--key") ||
            line.has_flag("--relative") || line.has_flag("--sequential")) {
            io.error(path,
                     "--format dump takes the file's attributes from the dump; --like, "
                     "--record, --key, --relative and --sequential do not go with it");
            return kExitFailed;
        }
        if (!file_exists(input, &reason) || !dump_in.open(input, &reason)) {
            io.error(input, reason);
            return kExitFailed;
        }
        a = dump_in.attributes();
    } else if (!load_attributes(line, io, path, &a)) {
        return kExitFailed;
    }
    PendingFile target(path);
    if (!target.check_target(&reason)) {
        io.error(path, reason);
        return kExitFailed;
    }
    const bool to_sequential = a.organization == Organization::kSequential;
    IndexedFile file;
    SequentialFile sequential;
    if (to_sequential) {
        if (const int result = sequential.create(target.path(), a); result != 0) {
            io.error(path, "cannot be created: " + io.sequential_text(result));
            return kExitFailed;
        }
    } else if (const int result = create_file(
                   target.path(), a,
                   a.block_format ? isam::StoreFormat::kBlocks : isam::StoreFormat::kSlots);
               result != IX_OK) {
        io.error(path, "cannot be created: " + io.engine_text(result));
        return kExitFailed;
    } else if (const int opened = file.open_update(target.path()); opened != IX_OK) {
        io.error(path, "cannot be opened: " + io.engine_text(opened));
        return kExitFailed;
    }
    const bool relative = a.organization == Organization::kRelative;
    uint64_t written = 0;
    uint64_t refused = 0;
    uint64_t number = 0;
    std::vector<unsigned char> record;
    // Writes one record of the input; a refusal is reported and counted.
    // Any other failure (a full disk, a write error) ends the load: false.
    std::string failure;
    auto put = [&](const unsigned char* data, size_t length, const std::string& where) {
        record.assign(data, data + length);
        if (text && relative) {
            ++number;
            record.insert(record.begin(), kRecordNumberSize, 0);
            platform::store_u32(record.data(), static_cast<uint32_t>(number));
        }
        if (text && record.size() < a.min_length)
            record.resize(a.min_length, ' ');
        if (text && !a.variable && record.size() < a.max_length)
            record.resize(a.max_length, ' ');
        int result = IX_RECORD_TOO_LONG;
        int sequential_result = 0;
        if (record.size() < a.min_length)
            result = IX_RECORD_TOO_SHORT;
        else if (record.size() <= a.max_length && to_sequential)
            result = (sequential_result = sequential.write(
                          record.data(), static_cast<uint32_t>(record.size()))) == 0
                         ? IX_OK
                         : IX_IO_ERROR;
        else if (record.size() <= a.max_length)
            result = file.write(record.data(), static_cast<uint32_t>(record.size()));
        if (is_success(result)) {
            ++written;
            return true;
        }
        const std::string prime =
            prime_text(a, record.data(), static_cast<uint32_t>(record.size()));
        const std::string named = where + (prime.empty() ? "" : " (" + prime + ")");
        if (result != IX_DUPLICATE && result != IX_RECORD_TOO_SHORT &&
            result != IX_RECORD_TOO_LONG) {
            failure =
                named + " cannot be written: " +
                (to_sequential ? io.sequential_text(sequential_result) : io.engine_text(result));
            return false;
        }
        ++refused;
        std::string what = io.engine_text(result);
        if (relative && record.size() < kRecordNumberSize)
            what = std::to_string(record.size()) + " bytes, too short to hold a record number";
        else if (result == IX_RECORD_TOO_LONG || result == IX_RECORD_TOO_SHORT)
            what = std::to_string(a.program_length(static_cast<uint32_t>(record.size()))) +
                   " bytes, outside the file's record lengths (" + a.lengths_text() + ")";
        io.error(input, named + " is refused: " + what);
        return true;
    };

    if (text) {
        std::FILE* in = std::fopen(input.c_str(), "rb");
        if (in == nullptr) {
            io.error(input, std::strerror(errno));
            return kExitFailed;
        }
        Progress progress(io.err, "loading", size_of(input));
        std::vector<unsigned char> current;
        uint64_t line_number = 0;
        uint64_t bytes = 0;
        int c = 0;
        bool pending = false;
        while ((c = std::fgetc(in)) != EOF) {
            ++bytes;
            if (c != '\n') {
                current.push_back(static_cast<unsigned char>(c));
                pending = true;
                continue;
            }
            if (!put(current.data(), current.size(), "line " + std::to_string(++line_number)))
                break;
            current.clear();
            pending = false;
            progress.update(bytes);
        }
        const bool read_failed = std::ferror(in) != 0;
        std::fclose(in);
        if (read_failed) {
            io.error(input, "cannot be read");
            return kExitFailed;
        }
        if (pending && failure.empty())
            put(current.data(), current.size(), "line " + std::to_string(++line_number));
    } else if (gnucobol) {
        if (const int status = read_gnucobol_input(input, a, varseq_format, io, put);
            status != kExitOk)
            return status;
    } else if (from_dump) {
        Progress progress(io.err, "loading", size_of(input));
        std::vector<unsigned char> r;
        int got = 0;
        while ((got = dump_in.next(&r, &reason)) == 1) {
            if (!put(r.data(), r.size(), "line " + std::to_string(dump_in.line())))
                break;
            progress.update(dump_in.offset());
        }
        if (got < 0 && failure.empty()) {
            io.error(input, reason + "; no file was created");
            return kExitFailed;
        }
    } else {
        // Asked first: the engine's open makes a missing file, empty.
        std::string why;
        if (!file_exists(input, &why)) {
            io.error(input, why);
            return kExitFailed;
        }
        // What the file is, when it is not the sequential file expected.
        Organization kind{};
        if (!identify(input, &kind, &why)) {
            io.error(input, why +
                                "; a text file loads with --text, a file GnuCOBOL's own "
                                "handler wrote with --format gnucobol");
            return kExitFailed;
        }
        if (kind != Organization::kSequential) {
            io.error(input,
                     "an indexed or relative file of this system; kvr load reads a "
                     "sequential one (kvr unload makes it)");
            return kExitFailed;
        }
        SequentialFile in;
        if (const int result = in.open_input(input); result != 0) {
            io.error(input, io.sequential_text(result));
            return kExitFailed;
        }
        Progress progress(io.err, "loading", size_of(input));
        uint64_t count = 0;
        uint64_t bytes = 0;
        std::vector<unsigned char> r;
        int result = 0;
        while ((result = in.read_next(&r)) == 0) {
            if (!put(r.data(), r.size(), "record " + std::to_string(++count)))
                break;
            bytes += r.size() + 8;
            progress.update(bytes);
        }
        if (result != SQ_END_OF_FILE && failure.empty()) {
            io.error(input,
                     "record " + std::to_string(count + 1) + ": " + io.sequential_text(result));
            return kExitFailed;
        }
    }
    if (!failure.empty()) {
        io.error(path, failure + "; no file was created");
        return kExitFailed;
    }
    if (const int result = file.close(); result != IX_OK) {
        io.error(path, "cannot be closed: " + io.engine_text(result));
        return kExitFailed;
    }
    if (const int result = sequential.close(); result != 0) {
        io.error(path, "cannot be closed: " + io.sequential_text(result));
        return kExitFailed;
    }
    if (refused != 0) {
        io.error(path, count_text(refused, "record") + " refused; no file was created");
        return kExitDamaged;
    }
    if (!(to_sequential ? verify_new_sequential(target.path(), written, io, path)
                        : verify_new_file(target.path(), written, io, path)) ||
        !target.commit(&reason)) {
        if (!reason.empty())
            io.error(path, reason);
        return kExitFailed;
    }
    std::fprintf(io.out, "%s: %s loaded from %s\n", path.c_str(),
                 count_text(written, "record").c_str(), input.c_str());
    return kExitOk;
}

int command_rebuild(const CommandLine& line, const Streams& io) {
    const std::string& path = line.operands[0];
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return kExitFailed;
    if (organization == Organization::kSequential) {
        io.error(path, "a sequential file has no indexes to rebuild");
        return kExitFailed;
    }
    IndexedFile source;
    if (const int result = source.open_for_inspection(path, true); result != IX_OK) {
        std::string problem;
        if (result == IX_NOT_INDEXED_FILE)
            problem = isam::ix_header_problem(path.c_str());
        io.error(path,
                 (problem.empty() ? io.engine_text(result) : problem) + "; nothing was changed");
        return kExitFailed;
    }
    const FileAttributes a = source.attributes();
    PendingFile target(path);
    PendingFile collisions(path + ".collisions");
    // The file as it was, kept when the rebuild could not take all of it.
    const std::string kept_as = path + ".damaged";
    std::string reason;
    for (const std::string* name : {&collisions.final_path(), &kept_as}) {
        if (::access(name->c_str(), F_OK) == 0) {
            io.error(*name,
                     "exists, from an earlier rebuild; move it away first. Nothing was "
                     "changed");
            return kExitFailed;
        }
    }
    if (!target.check_target(&reason)) {
        io.error(path, reason + "; nothing was changed");
        return kExitFailed;
    }
    // The new copy takes about as many bytes as the file it replaces.
    if (const std::string shortage = room_shortage(path, size_of(path)); !shortage.empty()) {
        io.error(path, shortage + "; nothing was changed");
        return kExitFailed;
    }
    const isam::StoreFormat format =
        a.block_format ? isam::StoreFormat::kBlocks : isam::StoreFormat::kSlots;
    if (const int result = create_file(target.path(), a, format); result != IX_OK) {
        io.error(path, "the new file cannot be created: " + io.engine_text(result));
        return kExitFailed;
    }
    IndexedFile rebuilt;
    if (const int result = rebuilt.open_update(target.path()); result != IX_OK) {
        io.error(path, "the new file cannot be opened: " + io.engine_text(result));
        return kExitFailed;
    }
    SequentialFile aside;
    bool aside_open = false;
    uint64_t kept = 0;
    uint64_t set_aside = 0;
    std::string failure;
    std::vector<isam::WalkNote> notes;
    isam::StoreSpace space;
    Progress progress(io.err, "rebuilding", size_of(path));
    const int walked = engine::code(isam::walk_data_store(
        source.handle(),
        [&](uint32_t address, const unsigned char* data, uint32_t length) {
            progress.update(address);
            const int result = rebuilt.write(data, length);
            if (is_success(result)) {
                ++kept;
                return true;
            }
            if (result != IX_DUPLICATE && result != IX_RECORD_TOO_SHORT &&
                result != IX_RECORD_TOO_LONG) {
                failure = "the record at offset " + std::to_string(address) +
                          " cannot be written to the new file: " + io.engine_text(result);
                return false;
            }
            if (!aside_open) {
                FileAttributes plain = a;
                plain.min_length = 0;
                if (const int r = aside.create(collisions.path(), plain); r != 0) {
                    failure =
                        "cannot create " + collisions.final_path() + ": " + io.sequential_text(r);
                    return false;
                }
                aside_open = true;
            }
            if (const int r = aside.write(data, length); r != 0) {
                failure =
                    "cannot write to " + collisions.final_path() + ": " + io.sequential_text(r);
                return false;
            }
            ++set_aside;
            io.error(path, "the record at offset " + std::to_string(address) + " (" +
                               prime_text(a, data, length) + ") is set aside: " +
                               (result == IX_DUPLICATE
                                    ? std::string("a record found before it has the same key")
                                    : io.engine_text(result)));
            return true;
        },
        &notes, &space));
    progress.done();
    for (const isam::WalkNote& note : notes)
        io.error(path, "offset " + std::to_string(note.offset) + ": " + note.what);
    // A file an update session closed cleanly counts its records in its
    // header: finding fewer means records the walk could not reach.
    const uint64_t found = kept + set_aside;
    const bool fewer = !source.unfinished() && found < a.record_count;
    if (walked == IX_OK && failure.empty() && found != a.record_count)
        io.error(path, "the header counts " + std::to_string(a.record_count) +
                           " records, the data store gave " + std::to_string(found) +
                           (source.unfinished() ? " (the header is from before the update that "
                                                  "never finished)"
                                                : ""));
    if (walked != IX_OK && failure.empty())
        failure = "the data store cannot be read: " + io.engine_text(walked);
    if (const int result = rebuilt.close(); result != IX_OK && failure.empty())
        failure = "the new file cannot be closed: " + io.engine_text(result);
    if (aside_open) {
        if (const int result = aside.close(); result != 0 && failure.empty())
            failure = "cannot close " + collisions.final_path() + ": " + io.sequential_text(result);
    }
    if (!failure.empty()) {
        io.error(path, failure + "; nothing was changed");
        return kExitFailed;
    }
    if (!verify_new_file(target.path(), kept, io, path)) {
        io.error(path, "nothing was changed");
        return kExitFailed;
    }
    // Records that could not be taken may still be in the old file: it is
    // kept under another name rather than lost with the replacement.
    const bool incomplete = !notes.empty() || fewer;
    if (incomplete &&
        ::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, kept_as.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        io.error(kept_as, std::string("the file as it was cannot be kept: ") +
                              std::strerror(errno) + "; nothing was changed");
        return kExitFailed;
    }
    // The records set aside reach their final name first: once FILE is
    // replaced they are nowhere else. Should FILE not be replaced after all,
    // nothing of this rebuild stays.
    const bool aside_kept = aside_open && collisions.commit(&reason);
    if ((aside_open && !aside_kept) || !target.commit(&reason)) {
        io.error(path, reason + "; nothing was changed");
        if (aside_kept)
            std::remove(collisions.final_path().c_str());
        if (incomplete)
            std::remove(kept_as.c_str());
        return kExitFailed;
    }
    source.close();
    std::fprintf(io.out, "%s: rebuilt with %s", path.c_str(), count_text(kept, "record").c_str());
    if (set_aside != 0)
        std::fprintf(io.out, "; %" PRIu64 " set aside in %s", set_aside,
                     collisions.final_path().c_str());
    if (incomplete)
        std::fprintf(io.out, "; the file as it was is kept as %s", kept_as.c_str());
    std::fputc('\n', io.out);
    return set_aside != 0 || incomplete ? kExitDamaged : kExitOk;
}

int command_convert(const CommandLine& line, const Streams& io) {
    const std::string& path = line.operands[0];
    FileAttributes a;
    {
        Organization organization{};
        if (!identify_file(path, io, &organization))
            return kExitFailed;
        if (organization == Organization::kSequential) {
            io.error(path, "a sequential file has only one format");
            return kExitFailed;
        }
        IndexedFile probe;
        const int result = probe.open_for_inspection(path, true);
        if (result != IX_OK) {
            io.error(path, io.engine_text(result));
            return kExitFailed;
        }
        if (!probe.attributes().block_format) {
            std::fprintf(io.out, "%s: already in the slot format; nothing to do\n", path.c_str());
            return kExitOk;
        }
    }
    // The records are written in the order of the first key that allows
    // duplicates, so that its duplicates keep their order; else the prime's.
    PendingFile target(path);
    std::string reason;
    if (!target.check_target(&reason)) {
        io.error(path, reason + "; nothing was changed");
        return kExitFailed;
    }
    FileAttributes source_attributes;
    int order = 0;
    // Held open for input until the new file has replaced it, so that no
    // update session can change it in between and have its changes lost.
    IndexedFile hold;
    if (const int result = hold.open_input(path); result != IX_OK) {
        io.error(path, open_failure(path, result, io));
        return kExitFailed;
    }
    for (size_t i = 1; i < hold.attributes().keys.size() && order == 0; ++i)
        if (hold.attributes().keys[i].duplicates)
            order = static_cast<int>(i);
    IndexedFile converted;
    bool created = false;
    uint64_t written = 0;
    std::string failure;
    const int status =
        read_all(path, order, io, &source_attributes, [&](const std::vector<unsigned char>& r) {
            if (!created) {
                created = true;
                int result =
                    create_file(target.path(), source_attributes, isam::StoreFormat::kSlots);
                if (result == IX_OK)
                    result = converted.open_update(target.path());
                if (result != IX_OK) {
                    failure = "the new file cannot be made: " + io.engine_text(result);
                    return false;
                }
            }
            const int result = converted.write(r.data(), static_cast<uint32_t>(r.size()));
            if (!is_success(result)) {
                failure = "record " +
                          prime_text(source_attributes, r.data(), static_cast<uint32_t>(r.size())) +
                          " cannot be written: " + io.engine_text(result);
                return false;
            }
            ++written;
            return true;
        });
    if (status == kExitOk && !created) {
        if (const int result =
                create_file(target.path(), source_attributes, isam::StoreFormat::kSlots);
            result != IX_OK)
            failure = "the new file cannot be made: " + io.engine_text(result);
    }
    if (const int result = converted.close(); result != IX_OK && failure.empty())
        failure = "the new file cannot be closed: " + io.engine_text(result);
    if (!failure.empty()) {
        io.error(path, failure + "; nothing was changed");
        return kExitFailed;
    }
    if (status != kExitOk)
        return status;
    if (!verify_new_file(target.path(), written, io, path) || !target.commit(&reason)) {
        io.error(path, reason.empty() ? "nothing was changed" : reason);
        return kExitFailed;
    }
    std::fprintf(io.out, "%s: converted to the slot format, %s\n", path.c_str(),
                 count_text(written, "record").c_str());
    return kExitOk;
}

}  // namespace kvr::tools
