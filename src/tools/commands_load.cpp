// kvr load: a new indexed, relative or sequential file from the records of
// a sequential file of this system, a text file, a dump or GnuCOBOL's own
// files (commands_gnucobol.cpp reads those). The new file takes its name
// only once it is complete and checked.
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/coding.h"
#include "tools/commands.h"
#include "tools/copying.h"
#include "tools/dump_format.h"
#include "tools/kvr_file.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"

namespace kvr::tools {

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

// --like OTHER: the attributes of another file of this system, for a new
// file of the slot format with no records.
bool attributes_like(const std::string& like, const Streams& io, FileAttributes* a) {
    IndexedFile other;
    const int result = other.open_for_inspection(like, true);
    if (result == IX_SEQUENTIAL_FILE) {
        SequentialFile plain;
        if (const int opened = plain.open_input(like); opened != 0) {
            io.error(like, io.sequential_text(opened));
            return false;
        }
        *a = plain.attributes();
        a->record_count = 0;
        return true;
    }
    if (result != IX_OK) {
        std::string problem = io.engine_text(result);
        if (result == IX_NOT_INDEXED_FILE)
            problem = isam::ix_header_problem(like.c_str());
        io.error(like, problem);
        return false;
    }
    *a = other.attributes();
    a->record_count = 0;
    a->block_format = false;  // a new file is of the slot format
    return true;
}

// The keys of an indexed file, from --key: the prime key first.
bool keys_given(const CommandLine& line, const Streams& io, const std::string& path,
                FileAttributes* a) {
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

// The attributes of the file load creates, from --like or the options.
bool load_attributes(const CommandLine& line, const Streams& io, const std::string& path,
                     FileAttributes* a) {
    const std::string* like = line.value("--like");
    const std::string* record = line.value("--record");
    const bool relative = line.has_flag("--relative");
    const bool sequential = line.has_flag("--sequential");
    const bool keys = line.value("--key") != nullptr;
    if (like != nullptr && (record != nullptr || keys || relative || sequential)) {
        io.error(path,
                 "--like takes the attributes from another file; --record, --key, "
                 "--relative and --sequential do not go with it");
        return false;
    }
    if (like != nullptr)
        return attributes_like(*like, io, a);
    if (record == nullptr || !parse_record_option(*record, a)) {
        io.error(path, record == nullptr
                           ? "give the file's attributes: --like OTHER, or --record and --key"
                           : "--record " + *record + ": give LEN or LEN-MAX, MAX at least 1");
        return false;
    }
    if (sequential && (keys || relative)) {
        io.error(path,
                 "a sequential file has no keys; --key and --relative do not go with "
                 "--sequential");
        return false;
    }
    if (sequential) {
        a->organization = Organization::kSequential;
        return true;
    }
    if (relative && keys) {
        io.error(path, "a relative file's key is its record number; --key does not apply");
        return false;
    }
    if (!relative)
        return keys_given(line, io, path, a);
    // --record gives the program's lengths; the engine's count the record
    // number in front.
    a->organization = Organization::kRelative;
    a->min_length = a->engine_length(a->min_length);
    a->max_length = a->engine_length(a->max_length);
    a->keys = {KeySpec{0, static_cast<int>(kRecordNumberSize), false, IX_KEY_TYPE_NUMBER}};
    return true;
}

// One load: the attributes, the new file under its temporary name, the
// input's records offered one by one to put(), and the new file checked and
// named.
class Load {
public:
    Load(const CommandLine& line, const Streams& io)
        : line_(line),
          io_(io),
          path_(line.operands[0]),
          input_(line.operands[1]),
          text_(line.has_flag("--text")) {}

    int run();

private:
    // The attributes of a dump, which carries them, or of the options.
    bool read_attributes(const std::string* format);
    bool create();
    // Writes one record of the input; a refusal is reported and counted.
    // Any other failure (a full disk, a write error) ends the load: false.
    bool put(const unsigned char* data, size_t length, const std::string& where);
    // A line of a text file made a record: numbered in a relative file,
    // padded with spaces to the file's lengths.
    void shape_text_record();
    // The engine's result for the record; a sequential file's own in
    // *sequential_result.
    int write_record(int* sequential_result);
    bool refuse(int result, int sequential_result, const std::string& where);
    int read_input();
    int read_text_input();
    int read_dump_input();
    int read_sequential_input();
    int finish();

    const CommandLine& line_;
    const Streams& io_;
    const std::string& path_;
    const std::string& input_;
    const bool text_;
    bool gnucobol_ = false;
    bool from_dump_ = false;
    int varseq_format_ = 0;
    dump_format::Reader dump_in_;
    FileAttributes a_;
    std::optional<PendingFile> target_;
    IndexedFile file_;
    SequentialFile sequential_;
    uint64_t written_ = 0;
    uint64_t refused_ = 0;
    uint64_t number_ = 0;
    std::vector<unsigned char> record_;
    std::string failure_;
};

bool Load::read_attributes(const std::string* format) {
    from_dump_ = format != nullptr && *format == "dump";
    if (!from_dump_)
        return load_attributes(line_, io_, path_, &a_);
    if (line_.value("--like") || line_.value("--record") || line_.value("--key") ||
        line_.has_flag("--relative") || line_.has_flag("--sequential")) {
        io_.error(path_,
                  "--format dump takes the file's attributes from the dump; --like, "
                  "--record, --key, --relative and --sequential do not go with it");
        return false;
    }
    std::string reason;
    if (!file_exists(input_, &reason) || !dump_in_.open(input_, &reason)) {
        io_.error(input_, reason);
        return false;
    }
    a_ = dump_in_.attributes();
    return true;
}

bool Load::create() {
    if (a_.organization == Organization::kSequential) {
        if (const int result = sequential_.create(target_->path(), a_); result != 0) {
            io_.error(path_, "cannot be created: " + io_.sequential_text(result));
            return false;
        }
        return true;
    }
    bool opening = false;
    if (const int result = make_new_file(target_->path(), a_, format_of(a_), &file_, &opening);
        result != IX_OK) {
        io_.error(path_, (opening ? "cannot be opened: " : "cannot be created: ") +
                             io_.engine_text(result));
        return false;
    }
    return true;
}

void Load::shape_text_record() {
    if (a_.organization == Organization::kRelative) {
        ++number_;
        record_.insert(record_.begin(), kRecordNumberSize, 0);
        platform::store_u32(record_.data(), static_cast<uint32_t>(number_));
    }
    if (record_.size() < a_.min_length)
        record_.resize(a_.min_length, ' ');
    if (!a_.variable && record_.size() < a_.max_length)
        record_.resize(a_.max_length, ' ');
}

int Load::write_record(int* sequential_result) {
    const uint32_t length = static_cast<uint32_t>(record_.size());
    if (record_.size() < a_.min_length)
        return IX_RECORD_TOO_SHORT;
    if (record_.size() > a_.max_length)
        return IX_RECORD_TOO_LONG;
    if (a_.organization != Organization::kSequential)
        return file_.write(record_.data(), length);
    *sequential_result = sequential_.write(record_.data(), length);
    return *sequential_result == 0 ? IX_OK : IX_IO_ERROR;
}

bool Load::put(const unsigned char* data, size_t length, const std::string& where) {
    record_.assign(data, data + length);
    if (text_)
        shape_text_record();
    int sequential_result = 0;
    const int result = write_record(&sequential_result);
    if (!is_success(result))
        return refuse(result, sequential_result, where);
    ++written_;
    return true;
}

bool Load::refuse(int result, int sequential_result, const std::string& where) {
    const std::string prime = prime_text(a_, record_.data(), static_cast<uint32_t>(record_.size()));
    const std::string named = where + (prime.empty() ? "" : " (" + prime + ")");
    if (result != IX_DUPLICATE && result != IX_RECORD_TOO_SHORT && result != IX_RECORD_TOO_LONG) {
        failure_ =
            named + " cannot be written: " +
            (a_.organization == Organization::kSequential ? io_.sequential_text(sequential_result)
                                                          : io_.engine_text(result));
        return false;
    }
    ++refused_;
    std::string what = io_.engine_text(result);
    if (a_.organization == Organization::kRelative && record_.size() < kRecordNumberSize)
        what = std::to_string(record_.size()) + " bytes, too short to hold a record number";
    else if (result == IX_RECORD_TOO_LONG || result == IX_RECORD_TOO_SHORT)
        what = std::to_string(a_.program_length(static_cast<uint32_t>(record_.size()))) +
               " bytes, outside the file's record lengths (" + a_.lengths_text() + ")";
    io_.error(input_, named + " is refused: " + what);
    return true;
}

int Load::read_text_input() {
    std::FILE* in = std::fopen(input_.c_str(), "rb");
    if (in == nullptr) {
        io_.error(input_, std::strerror(errno));
        return kExitFailed;
    }
    Progress progress(io_.err, "loading", size_of(input_));
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
        io_.error(input_, "cannot be read");
        return kExitFailed;
    }
    if (pending && failure_.empty())
        put(current.data(), current.size(), "line " + std::to_string(++line_number));
    return kExitOk;
}

int Load::read_dump_input() {
    Progress progress(io_.err, "loading", size_of(input_));
    std::vector<unsigned char> r;
    std::string reason;
    int got = 0;
    while ((got = dump_in_.next(&r, &reason)) == 1) {
        if (!put(r.data(), r.size(), "line " + std::to_string(dump_in_.line())))
            break;
        progress.update(dump_in_.offset());
    }
    if (got < 0 && failure_.empty()) {
        io_.error(input_, reason + "; no file was created");
        return kExitFailed;
    }
    return kExitOk;
}

int Load::read_sequential_input() {
    // Asked first: the engine's open makes a missing file, empty.
    std::string why;
    if (!file_exists(input_, &why)) {
        io_.error(input_, why);
        return kExitFailed;
    }
    // What the file is, when it is not the sequential file expected.
    Organization kind{};
    if (!identify(input_, &kind, &why)) {
        io_.error(input_, why +
                              "; a text file loads with --text, a file GnuCOBOL's own "
                              "handler wrote with --format gnucobol");
        return kExitFailed;
    }
    if (kind != Organization::kSequential) {
        io_.error(input_,
                  "an indexed or relative file of this system; kvr load reads a "
                  "sequential one (kvr unload makes it)");
        return kExitFailed;
    }
    const int status = read_sequential_records(
        input_, "loading", io_, nullptr, [this](const std::vector<unsigned char>& r, uint64_t n) {
            return put(r.data(), r.size(), "record " + std::to_string(n));
        });
    // A record put() could not write is told with the others by finish().
    return failure_.empty() ? status : kExitOk;
}

int Load::read_input() {
    if (text_)
        return read_text_input();
    if (gnucobol_)
        return read_gnucobol_input(
            input_, a_, varseq_format_, io_,
            [this](const unsigned char* data, size_t length, const std::string& where) {
                return put(data, length, where);
            });
    if (from_dump_)
        return read_dump_input();
    return read_sequential_input();
}

int Load::finish() {
    if (!failure_.empty()) {
        io_.error(path_, failure_ + "; no file was created");
        return kExitFailed;
    }
    if (const int result = file_.close(); result != IX_OK) {
        io_.error(path_, "cannot be closed: " + io_.engine_text(result));
        return kExitFailed;
    }
    if (const int result = sequential_.close(); result != 0) {
        io_.error(path_, "cannot be closed: " + io_.sequential_text(result));
        return kExitFailed;
    }
    if (refused_ != 0) {
        io_.error(path_, count_text(refused_, "record") + " refused; no file was created");
        return kExitDamaged;
    }
    std::string reason;
    if (!(a_.organization == Organization::kSequential
              ? verify_new_sequential(target_->path(), written_, io_, path_)
              : verify_new_file(target_->path(), written_, io_, path_)) ||
        !target_->commit(&reason)) {
        if (!reason.empty())
            io_.error(path_, reason);
        return kExitFailed;
    }
    std::fprintf(io_.out, "%s: %s loaded from %s\n", path_.c_str(),
                 count_text(written_, "record").c_str(), input_.c_str());
    return kExitOk;
}

int Load::run() {
    if (!parse_varseq_format(line_, io_, &varseq_format_))
        return kExitFailed;
    const std::string* format = line_.value("--format");
    gnucobol_ = format != nullptr && *format == "gnucobol";
    std::string reason;
    if (file_exists(path_, &reason)) {
        io_.error(path_, "the file exists; kvr load creates a new file (remove this one first)");
        return kExitFailed;
    }
    if (!read_attributes(format))
        return kExitFailed;
    target_.emplace(path_);
    if (!target_->check_target(&reason)) {
        io_.error(path_, reason);
        return kExitFailed;
    }
    if (!create())
        return kExitFailed;
    if (const int status = read_input(); status != kExitOk)
        return status;
    return finish();
}

}  // namespace

int command_load(const CommandLine& line, const Streams& io) {
    Load load(line, io);
    return load.run();
}

}  // namespace kvr::tools
