// kvr load and unload with --format gnucobol: the records of GnuCOBOL's own
// files in, and a file of this system out as GnuCOBOL's own files
// (gnucobol_files.h has their layouts).
#include <unistd.h>

#include <cinttypes>
#include <memory>

#include "platform/coding.h"
#include "tools/commands.h"
#include "tools/copying.h"
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

namespace {

// An indexed file: every key's database checked against the keys given,
// then the records in the order gnucobol_files.h tells.
int read_indexed_input(const std::string& input, const FileAttributes& a, const Streams& io,
                       const RecordSink& put) {
    std::string why;
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

// What a flat file's reader ended with: 0 at its end (or when put() ended
// the load), 2 after saying why it failed.
int flat_input_end(gnucobol::Read step, const std::string& input, const std::string& why,
                   const Streams& io) {
    if (step == gnucobol::Read::kFailed) {
        io.error(input, why + "; no file was created");
        return kExitFailed;
    }
    return kExitOk;
}

// A relative file: each record behind its number, as the engine keeps it.
int read_relative_input(const std::string& input, const FileAttributes& a, const Streams& io,
                        const RecordSink& put) {
    std::string why;
    gnucobol::RelativeReader reader;
    if (!reader.open(input, a.program_length(a.max_length), &why)) {
        io.error(input, why + "; no file was created");
        return kExitFailed;
    }
    std::vector<unsigned char> record;
    uint64_t count = 0;
    uint32_t number = 0;
    std::vector<unsigned char> numbered;
    gnucobol::Read step = gnucobol::Read::kEnd;
    while ((step = reader.next(&number, &record, &why)) == gnucobol::Read::kRecord) {
        numbered.assign(kRecordNumberSize, 0);
        platform::store_u32(numbered.data(), number);
        numbered.insert(numbered.end(), record.begin(), record.end());
        if (!put(numbered.data(), numbered.size(), "record " + std::to_string(++count)))
            return kExitOk;
    }
    return flat_input_end(step, input, why, io);
}

int read_sequential_input(const std::string& input, const FileAttributes& a, int varseq_format,
                          const Streams& io, const RecordSink& put) {
    std::string why;
    gnucobol::SequentialReader reader;
    if (!reader.open(input, a.min_length, a.max_length, varseq_format, &why)) {
        io.error(input, why + "; no file was created");
        return kExitFailed;
    }
    std::vector<unsigned char> record;
    uint64_t count = 0;
    gnucobol::Read step = gnucobol::Read::kEnd;
    while ((step = reader.next(&record, &why)) == gnucobol::Read::kRecord) {
        if (!put(record.data(), record.size(),
                 "record " + std::to_string(++count) + " (offset " +
                     std::to_string(reader.offset()) + ")"))
            return kExitOk;
    }
    return flat_input_end(step, input, why, io);
}

}  // namespace

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
    if (a.organization == Organization::kIndexed && !berkeley) {
        io.error(input,
                 "not a Berkeley DB database, as GnuCOBOL keeps an indexed file; "
                 "for its relative or sequential files give --relative or "
                 "--sequential");
        return kExitFailed;
    }
    if (a.organization == Organization::kIndexed)
        return read_indexed_input(input, a, io, put);
    if (berkeley) {
        io.error(input,
                 "a GnuCOBOL indexed file (Berkeley DB): give its keys, with --key or "
                 "--like");
        return kExitFailed;
    }
    if (a.organization == Organization::kRelative)
        return read_relative_input(input, a, io, put);
    return read_sequential_input(input, a, varseq_format, io, put);
}

namespace {

// One kvr unload --format gnucobol: the file as GnuCOBOL's own file of its
// organization, OUT, and for an indexed file OUT.1 ... for the alternate
// keys. An indexed or relative file is held open for input until its copy is
// complete: an update session cannot change it between the passes.
class GnucobolUnload {
public:
    GnucobolUnload(const std::string& path, const std::string& out, int varseq_format,
                   const Streams& io)
        : path_(path), out_(out), varseq_format_(varseq_format), io_(io) {}

    int run();

private:
    int open_source();
    bool make_targets();
    bool create_writers();
    // Every record to the writer of the file's organization, then, for an
    // indexed file, each alternate key's entries in that key's order.
    int copy_records();
    bool write_record(const std::vector<unsigned char>& r);
    bool close_writers();
    int commit();
    // What was written, for the closing line.
    std::string shape() const;

    bool indexed() const { return a_.organization == Organization::kIndexed; }

    const std::string& path_;
    const std::string& out_;
    const int varseq_format_;
    const Streams& io_;
    IndexedFile hold_;
    FileAttributes a_;
    size_t parts_ = 1;
    std::vector<std::unique_ptr<PendingFile>> targets_;
    uint32_t min_length_ = 0;
    uint32_t max_length_ = 0;
    gnucobol::SequentialWriter sequential_;
    gnucobol::RelativeWriter relative_;
    gnucobol::IndexedWriter keyed_;
    uint64_t count_ = 0;
    std::string failure_;
};

int GnucobolUnload::open_source() {
    Organization organization{};
    if (!identify_file(path_, io_, &organization))
        return kExitFailed;
    if (organization == Organization::kSequential) {
        SequentialFile probe;
        if (!open_sequential_input(path_, io_, &probe))
            return kExitFailed;
        a_ = probe.attributes();
    } else {
        if (const int result = hold_.open_input(path_); result != 0) {
            io_.error(path_, io_.engine_text(result));
            return kExitFailed;
        }
        a_ = hold_.attributes();
    }
    parts_ = indexed() ? a_.keys.size() : 1;
    min_length_ = a_.program_length(a_.min_length);
    max_length_ = a_.program_length(a_.max_length);
    return kExitOk;
}

bool GnucobolUnload::make_targets() {
    for (size_t k = 0; k < parts_; ++k) {
        targets_.push_back(
            std::make_unique<PendingFile>(k == 0 ? out_ : out_ + "." + std::to_string(k)));
        if (!unload_target_fits(path_, *targets_.back(), io_))
            return false;
    }
    return true;
}

bool GnucobolUnload::create_writers() {
    bool created = false;
    if (a_.organization == Organization::kSequential) {
        created = sequential_.create(targets_[0]->path(), min_length_, max_length_, varseq_format_,
                                     &failure_);
    } else if (a_.organization == Organization::kRelative) {
        created = relative_.create(targets_[0]->path(), max_length_, &failure_);
    } else {
        std::vector<std::string> temporaries;
        for (const auto& target : targets_)
            temporaries.push_back(target->path());
        created = keyed_.create(temporaries, a_, &failure_);
    }
    if (!created)
        io_.error(out_, failure_);
    return created;
}

bool GnucobolUnload::write_record(const std::vector<unsigned char>& r) {
    ++count_;
    bool written = false;
    if (a_.organization == Organization::kSequential) {
        written = sequential_.write(r.data(), r.size(), &failure_);
    } else if (a_.organization == Organization::kRelative) {
        written = r.size() >= kRecordNumberSize &&
                  relative_.write(record_number(r.data()), r.data() + kRecordNumberSize,
                                  a_.program_length(static_cast<uint32_t>(r.size())), &failure_);
    } else {
        written = keyed_.write(r, &failure_);
    }
    if (!written)
        failure_ = "record " + std::to_string(count_) + ": " + failure_;
    return written;
}

int GnucobolUnload::copy_records() {
    FileAttributes read_attributes;
    int status =
        read_records(path_, 0, io_, &read_attributes,
                     [this](const std::vector<unsigned char>& r) { return write_record(r); });
    for (size_t k = 1; k < parts_ && status == kExitOk && failure_.empty(); ++k) {
        status = read_records(path_, static_cast<int>(k), io_, &read_attributes,
                              [&](const std::vector<unsigned char>& r) {
                                  return keyed_.add_alternate(static_cast<int>(k), r, &failure_);
                              });
    }
    return status;
}

bool GnucobolUnload::close_writers() {
    std::string closing;
    const bool closed = a_.organization == Organization::kSequential ? sequential_.close(&closing)
                        : a_.organization == Organization::kRelative ? relative_.close(&closing)
                                                                     : keyed_.close(&closing);
    if (!closed && failure_.empty())
        failure_ = closing;
    return failure_.empty();
}

int GnucobolUnload::commit() {
    // The alternate keys' files first: the prime key's file, once in place,
    // is what GnuCOBOL opens.
    std::string reason;
    for (size_t k = parts_; k-- > 0;) {
        if (!targets_[k]->commit(&reason)) {
            io_.error(targets_[k]->final_path(), reason);
            return kExitFailed;
        }
    }
    const std::string beyond = out_ + "." + std::to_string(parts_);
    if (indexed() && ::access(beyond.c_str(), F_OK) == 0)
        io_.warn(beyond, "is left as it was: GnuCOBOL reads only " + std::to_string(parts_) +
                             " keys' files, but kvr load --format gnucobol takes it for one more "
                             "key; move it away");
    return kExitOk;
}

std::string GnucobolUnload::shape() const {
    if (indexed()) {
        std::string shape = "a GnuCOBOL indexed file (Berkeley DB: " + out_;
        for (size_t k = 1; k < parts_; ++k)
            if (k < 3 || k == parts_ - 1)
                shape += (k < 3 ? ", " : " ... ") + out_ + "." + std::to_string(k);
        return shape + ")";
    }
    if (a_.organization == Organization::kRelative)
        return "a GnuCOBOL relative file of " + lengths_text(min_length_, max_length_);
    return "a GnuCOBOL record-sequential file of " + lengths_text(min_length_, max_length_) +
           (gnucobol::has_record_headers(min_length_, max_length_)
                ? ", with headers of COB_VARSEQ_FORMAT " + std::to_string(varseq_format_)
                : std::string());
}

int GnucobolUnload::run() {
    if (const int status = open_source(); status != kExitOk)
        return status;
    if (!make_targets() || !create_writers())
        return kExitFailed;
    const int status = copy_records();
    if (!close_writers()) {
        io_.error(out_, failure_ + "; nothing was written");
        return kExitFailed;
    }
    if (status != kExitOk)
        return status;
    if (const int committed = commit(); committed != kExitOk)
        return committed;
    std::fprintf(io_.out, "%s: %s unloaded to %s, %s\n", path_.c_str(),
                 count_text(count_, "record").c_str(), out_.c_str(), shape().c_str());
    return kExitOk;
}

}  // namespace

int unload_to_gnucobol(const std::string& path, const std::string& out, int varseq_format,
                       const Streams& io) {
    GnucobolUnload unload(path, out, varseq_format, io);
    return unload.run();
}

}  // namespace kvr::tools
