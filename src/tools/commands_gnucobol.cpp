// kvr load and unload with --format gnucobol: the records of GnuCOBOL's own
// files in, and a file of this system out as GnuCOBOL's own files
// (gnucobol_files.h has their layouts).
#include <unistd.h>

#include <cinttypes>
#include <memory>

#include "platform/coding.h"
#include "tools/commands.h"
#include "tools/gnucobol_files.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"

namespace kvr::tools {

namespace {

std::string lengths_text(uint32_t min_length, uint32_t max_length) {
    return min_length == max_length ? std::to_string(max_length) + "-byte records"
                                    : "variable-length records of " + std::to_string(min_length) +
                                          " to " + std::to_string(max_length) + " bytes";
}

}  // namespace

bool parse_varseq_format(const CommandLine& line, const Streams& io, int* format) {
    *format = gnucobol::kDefaultVarseqFormat;
    const std::string* value = line.value("--varseq-format");
    const std::string* given = line.value("--format");
    if (given != nullptr && *given != "gnucobol" && *given != "dump" && *given != "kvr") {
        io.error("", "--format " + *given +
                         ": give gnucobol (GnuCOBOL's own files), dump (a whole file as text, "
                         "any bytes), or kvr (the default)");
        return false;
    }
    const bool gnucobol = given != nullptr && *given == "gnucobol";
    if (given != nullptr && *given != "kvr" && line.has_flag("--text")) {
        io.error("", "--text and --format " + *given + " are two different formats; give one");
        return false;
    }
    if (value == nullptr)
        return true;
    uint64_t number = 0;
    if (!gnucobol) {
        io.error("", "--varseq-format goes with --format gnucobol");
        return false;
    }
    if (!parse_number(*value, &number) || number >= gnucobol::kVarseqFormats) {
        io.error("", "--varseq-format " + *value + ": give 0, 1, 2 or 3, as COB_VARSEQ_FORMAT");
        return false;
    }
    *format = static_cast<int>(number);
    return true;
}

int read_gnucobol_input(const std::string& input, const FileAttributes& a, int varseq_format,
                        const Streams& io, const RecordSink& put) {
    std::string why;
    if (!file_exists(input, &why)) {
        io.error(input, why);
        return kExitFailed;
    }
    if (Organization mine{}; identify(input, &mine, &why)) {
        io.error(input, "already a file of this system; load it without --format gnucobol");
        return kExitFailed;
    }
    const bool berkeley = gnucobol::is_berkeley_db(input);
    if (a.organization == Organization::kIndexed) {
        if (!berkeley) {
            io.error(input,
                     "not a Berkeley DB database, as GnuCOBOL keeps an indexed file; "
                     "for its relative or sequential files give --relative or "
                     "--sequential");
            return kExitFailed;
        }
        gnucobol::IndexedReader reader;
        std::vector<std::string> notes;
        if (!reader.open(input, a, &why) || !reader.check_keys(&notes, &why)) {
            io.error(input, why + "; no file was created");
            return kExitFailed;
        }
        for (const std::string& note : notes)
            io.warn(input, note);
        Progress progress(io.err, "loading", reader.records());
        uint64_t count = 0;
        const bool done = reader.read_all(
            [&](const std::vector<unsigned char>& record) {
                progress.update(++count);
                return put(record.data(), record.size(), "record " + std::to_string(count));
            },
            &why);
        if (!done && !why.empty()) {
            io.error(input, why + "; no file was created");
            return kExitFailed;
        }
        return kExitOk;
    }
    if (berkeley) {
        io.error(input,
                 "a GnuCOBOL indexed file (Berkeley DB): give its keys, with --key or "
                 "--like");
        return kExitFailed;
    }
    std::vector<unsigned char> record;
    uint64_t count = 0;
    gnucobol::Read step = gnucobol::Read::kEnd;
    if (a.organization == Organization::kRelative) {
        gnucobol::RelativeReader reader;
        if (!reader.open(input, a.program_length(a.max_length), &why)) {
            io.error(input, why + "; no file was created");
            return kExitFailed;
        }
        uint32_t number = 0;
        std::vector<unsigned char> numbered;
        while ((step = reader.next(&number, &record, &why)) == gnucobol::Read::kRecord) {
            numbered.assign(kRecordNumberSize, 0);
            platform::store_u32(numbered.data(), number);
            numbered.insert(numbered.end(), record.begin(), record.end());
            if (!put(numbered.data(), numbered.size(), "record " + std::to_string(++count)))
                return kExitOk;
        }
    } else {
        gnucobol::SequentialReader reader;
        if (!reader.open(input, a.min_length, a.max_length, varseq_format, &why)) {
            io.error(input, why + "; no file was created");
            return kExitFailed;
        }
        while ((step = reader.next(&record, &why)) == gnucobol::Read::kRecord) {
            if (!put(record.data(), record.size(),
                     "record " + std::to_string(++count) + " (offset " +
                         std::to_string(reader.offset()) + ")"))
                return kExitOk;
        }
    }
    if (step == gnucobol::Read::kFailed) {
        io.error(input, why + "; no file was created");
        return kExitFailed;
    }
    return kExitOk;
}

int unload_to_gnucobol(const std::string& path, const std::string& out, int varseq_format,
                       const Streams& io) {
    Organization organization{};
    if (!identify_file(path, io, &organization))
        return kExitFailed;
    FileAttributes a;
    // An indexed or relative file is held open for input until its copy is
    // complete: an update session cannot change it between the passes.
    IndexedFile hold;
    if (organization == Organization::kSequential) {
        SequentialFile probe;
        if (const int result = probe.open_input(path); result != 0) {
            io.error(path, io.sequential_text(result));
            return kExitFailed;
        }
        a = probe.attributes();
    } else {
        if (const int result = hold.open_input(path); result != 0) {
            io.error(path, io.engine_text(result));
            return kExitFailed;
        }
        a = hold.attributes();
    }
    const bool indexed = a.organization == Organization::kIndexed;
    // OUT, and for an indexed file OUT.1 ... for the alternate keys.
    std::vector<std::unique_ptr<PendingFile>> targets;
    std::vector<std::string> temporaries;
    const size_t parts = indexed ? a.keys.size() : 1;
    for (size_t k = 0; k < parts; ++k) {
        targets.push_back(
            std::make_unique<PendingFile>(k == 0 ? out : out + "." + std::to_string(k)));
        temporaries.push_back(targets.back()->path());
        std::string why;
        if (same_file(path, targets.back()->final_path())) {
            io.error(targets.back()->final_path(), "is the file being unloaded; give another name");
            return kExitFailed;
        }
        if (!targets.back()->check_target(&why)) {
            io.error(targets.back()->final_path(), why);
            return kExitFailed;
        }
    }
    const uint32_t min_length = a.program_length(a.min_length);
    const uint32_t max_length = a.program_length(a.max_length);
    gnucobol::SequentialWriter sequential;
    gnucobol::RelativeWriter relative;
    gnucobol::IndexedWriter keyed;
    std::string failure;
    bool created = false;
    if (a.organization == Organization::kSequential)
        created =
            sequential.create(temporaries[0], min_length, max_length, varseq_format, &failure);
    else if (a.organization == Organization::kRelative)
        created = relative.create(temporaries[0], max_length, &failure);
    else
        created = keyed.create(temporaries, a, &failure);
    if (!created) {
        io.error(out, failure);
        return kExitFailed;
    }
    uint64_t count = 0;
    FileAttributes read_attributes;
    int status =
        read_records(path, 0, io, &read_attributes, [&](const std::vector<unsigned char>& r) {
            ++count;
            bool written = false;
            if (a.organization == Organization::kSequential) {
                written = sequential.write(r.data(), r.size(), &failure);
            } else if (a.organization == Organization::kRelative) {
                written =
                    r.size() >= kRecordNumberSize &&
                    relative.write(record_number(r.data()), r.data() + kRecordNumberSize,
                                   a.program_length(static_cast<uint32_t>(r.size())), &failure);
            } else {
                written = keyed.write(r, &failure);
            }
            if (!written)
                failure = "record " + std::to_string(count) + ": " + failure;
            return written;
        });
    for (size_t k = 1; k < parts && status == kExitOk && failure.empty(); ++k) {
        status = read_records(path, static_cast<int>(k), io, &read_attributes,
                              [&](const std::vector<unsigned char>& r) {
                                  return keyed.add_alternate(static_cast<int>(k), r, &failure);
                              });
    }
    std::string closing;
    const bool closed = a.organization == Organization::kSequential ? sequential.close(&closing)
                        : a.organization == Organization::kRelative ? relative.close(&closing)
                                                                    : keyed.close(&closing);
    if (!closed && failure.empty())
        failure = closing;
    if (!failure.empty()) {
        io.error(out, failure + "; nothing was written");
        return kExitFailed;
    }
    if (status != kExitOk)
        return status;
    // The alternate keys' files first: the prime key's file, once in place,
    // is what GnuCOBOL opens.
    std::string reason;
    for (size_t k = parts; k-- > 0;) {
        if (!targets[k]->commit(&reason)) {
            io.error(targets[k]->final_path(), reason);
            return kExitFailed;
        }
    }
    const std::string beyond = out + "." + std::to_string(parts);
    if (indexed && ::access(beyond.c_str(), F_OK) == 0)
        io.warn(beyond, "is left as it was: GnuCOBOL reads only " + std::to_string(parts) +
                            " keys' files, but kvr load --format gnucobol takes it for one more "
                            "key; move it away");
    std::string shape;
    if (indexed) {
        shape = "a GnuCOBOL indexed file (Berkeley DB: " + out;
        for (size_t k = 1; k < parts; ++k)
            if (k < 3 || k == parts - 1)
                shape += (k < 3 ? ", " : " ... ") + out + "." + std::to_string(k);
        shape += ")";
    } else if (a.organization == Organization::kRelative)
        shape = "a GnuCOBOL relative file of " + lengths_text(min_length, max_length);
    else
        shape = "a GnuCOBOL record-sequential file of " + lengths_text(min_length, max_length) +
                (gnucobol::has_record_headers(min_length, max_length)
                     ? ", with headers of COB_VARSEQ_FORMAT " + std::to_string(varseq_format)
                     : std::string());
    std::fprintf(io.out, "%s: %s unloaded to %s, %s\n", path.c_str(),
                 count_text(count, "record").c_str(), out.c_str(), shape.c_str());
    return kExitOk;
}

}  // namespace kvr::tools
