// kvr unload: every record of a file, in the order of a key, to a new
// sequential file of this system, a text file or a dump (GnuCOBOL's own
// files: commands_gnucobol.cpp). The output takes its name only once it is
// complete.
#include <cerrno>
#include <cstring>

#include "tools/commands.h"
#include "tools/copying.h"
#include "tools/dump_format.h"
#include "tools/kvr_file.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"

namespace kvr::tools {

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

// One unload to a sequential file of this system, a text file (--text) or
// a dump (--format dump). A text file and a dump are lines written here; a
// sequential file goes through its engine.
class Unload {
public:
    Unload(const std::string& path, const std::string& out, bool text, bool dump, const Streams& io)
        : path_(path), target_(out), text_(text), dump_(dump), io_(io) {}
    ~Unload() {
        if (text_file_ != nullptr)
            std::fclose(text_file_);
    }
    Unload(const Unload&) = delete;
    Unload& operator=(const Unload&) = delete;

    int run();

private:
    // Opens the output at the first record (or at the end of an empty
    // file), once the file's attributes are known.
    bool open_output();
    bool put_line(const std::string& bytes);
    bool take(const std::vector<unsigned char>& r);
    bool take_text_line(const std::vector<unsigned char>& r);
    // Ends the output, keeping the first failure.
    void close_output(int status);
    void tell() const;

    const std::string& path_;
    PendingFile target_;
    const bool text_;
    const bool dump_;
    const Streams& io_;
    std::FILE* text_file_ = nullptr;
    SequentialFile sequential_;
    bool opened_ = false;
    uint64_t count_ = 0;
    std::string failure_;
    FileAttributes attributes_;
    // A relative file's record numbers, which a text file does not keep.
    uint32_t first_number_ = 0;
    uint32_t last_number_ = 0;
    bool gaps_ = false;
};

bool Unload::open_output() {
    opened_ = true;
    if (text_ || dump_) {
        text_file_ = std::fopen(target_.path().c_str(), "wb");
        if (text_file_ == nullptr)
            failure_ = std::strerror(errno);
        else if (dump_ &&
                 std::fputs(dump_format::header_text(attributes_).c_str(), text_file_) == EOF)
            failure_ = std::strerror(errno);
    } else if (const int result = sequential_.create(target_.path(), attributes_); result != 0) {
        failure_ = io_.sequential_text(result);
    }
    return failure_.empty();
}

bool Unload::put_line(const std::string& bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), text_file_) != bytes.size()) {
        failure_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool Unload::take(const std::vector<unsigned char>& r) {
    if (!opened_ && !open_output())
        return false;
    ++count_;
    if (dump_)
        return put_line(dump_format::record_line(attributes_, r.data(), r.size()));
    if (text_)
        return take_text_line(r);
    if (const int result = sequential_.write(r.data(), static_cast<uint32_t>(r.size()));
        result != 0) {
        failure_ = "record " + std::to_string(count_) + ": " + io_.sequential_text(result);
        return false;
    }
    return true;
}

bool Unload::take_text_line(const std::vector<unsigned char>& r) {
    const size_t skip = r.size() - attributes_.program_length(static_cast<uint32_t>(r.size()));
    if (skip != 0) {
        last_number_ = record_number(r.data());
        first_number_ = count_ == 1 ? last_number_ : first_number_;
        gaps_ = gaps_ || last_number_ != count_;
    }
    if (std::memchr(r.data() + skip, '\n', r.size() - skip) != nullptr) {
        const std::string prime =
            prime_text(attributes_, r.data(), static_cast<uint32_t>(r.size()));
        failure_ = "record " + std::to_string(count_) + (prime.empty() ? "" : " (" + prime + ")") +
                   " holds a line feed, which a text file cannot keep; unload without "
                   "--text, or with --format dump";
        return false;
    }
    if (std::fwrite(r.data() + skip, 1, r.size() - skip, text_file_) != r.size() - skip ||
        std::fputc('\n', text_file_) == EOF) {
        failure_ = std::strerror(errno);
        return false;
    }
    return true;
}

void Unload::close_output(int status) {
    // An empty file still gives an (empty) output file.
    if (!opened_ && status == kExitOk)
        open_output();
    if (dump_ && failure_.empty() && status == kExitOk && text_file_ != nullptr)
        put_line(dump_format::kDataEnd);
    if (text_file_ != nullptr && std::fclose(text_file_) != 0 && failure_.empty())
        failure_ = std::strerror(errno);
    text_file_ = nullptr;
    if (const int closed = sequential_.close(); closed != 0 && failure_.empty())
        failure_ = io_.sequential_text(closed);
}

void Unload::tell() const {
    // A relative file's records keep their numbers in a sequential file, so
    // that load gives them back; its records are longer by as much.
    const bool numbered = !text_ && !dump_ && attributes_.organization == Organization::kRelative;
    std::fprintf(io_.out, "%s: %s unloaded to %s%s\n", path_.c_str(),
                 count_text(count_, "record").c_str(), target_.final_path().c_str(),
                 numbered ? ", each behind its 4-byte record number"
                 : dump_  ? ", a dump that kvr load --format dump makes the file again from"
                          : "");
    if (gaps_)
        io_.warn(path_, count_text(count_, "record") + " numbered from " +
                            std::to_string(first_number_) + " to " + std::to_string(last_number_) +
                            ", with gaps: " + target_.final_path() +
                            " keeps no record numbers, and kvr load --text --relative numbers "
                            "its lines 1, 2, 3, ...; kvr unload --format dump keeps them");
}

int Unload::run() {
    if (!unload_target_fits(path_, target_, io_))
        return kExitFailed;
    const int status =
        read_records(path_, unload_order(path_, dump_), io_, &attributes_,
                     [this](const std::vector<unsigned char>& r) { return take(r); });
    close_output(status);
    if (!failure_.empty()) {
        io_.error(target_.final_path(), failure_);
        return kExitFailed;
    }
    if (status != kExitOk)
        return status;
    std::string reason;
    if (!target_.commit(&reason)) {
        io_.error(target_.final_path(), reason);
        return kExitFailed;
    }
    tell();
    return kExitOk;
}

}  // namespace

int command_unload(const CommandLine& line, const Streams& io) {
    int varseq_format = 0;
    if (!parse_varseq_format(line, io, &varseq_format))
        return kExitFailed;
    const std::string* format = line.value("--format");
    if (format != nullptr && *format == "gnucobol")
        return unload_to_gnucobol(line.operands[0], line.operands[1], varseq_format, io);
    Unload unload(line.operands[0], line.operands[1], line.has_flag("--text"),
                  format != nullptr && *format == "dump", io);
    return unload.run();
}

}  // namespace kvr::tools
