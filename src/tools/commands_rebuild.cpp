// kvr rebuild and convert: an indexed or relative file written anew beside
// itself, from the records its data store holds (rebuild) or in the slot
// format (convert); the new file replaces it only once it is complete and
// checked.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <optional>

#include "engine/isam/file_checker.h"
#include "engine/isam/store_walk.h"
#include "engine/results.h"
#include "tools/commands.h"
#include "tools/copying.h"
#include "tools/kvr_file.h"
#include "tools/kvr_tool.h"
#include "tools/tool_support.h"
#include "vmqrmkvr/isam.h"

namespace kvr::tools {

namespace {

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

// One rebuild: every record the data store holds goes to a new file; one
// whose key collides with a record found before it, or whose length the
// file does not allow, goes to FILE.collisions instead. When some of the
// store could not be read, the file as it was is kept as FILE.damaged.
class Rebuild {
public:
    Rebuild(const std::string& path, const Streams& io)
        : path_(path), kept_as_(path + ".damaged"), io_(io) {}

    int run();

private:
    int open_source();
    // The new file, made empty, and no names left from an earlier rebuild.
    int prepare();
    // One record of the data store, at offset address.
    bool take(uint32_t address, const unsigned char* data, uint32_t length);
    bool set_aside(uint32_t address, const unsigned char* data, uint32_t length, int result);
    // What the walk met, said; the first failure kept.
    void tell_walk(int walked);
    void close_new_files();
    // The new file in place of the old, with the records set aside and the
    // file as it was beside it; a status to give up with otherwise.
    int replace();
    void tell() const;

    const std::string& path_;
    const std::string kept_as_;
    const Streams& io_;
    IndexedFile source_;
    FileAttributes a_;
    std::optional<PendingFile> target_;
    std::optional<PendingFile> collisions_;
    IndexedFile rebuilt_;
    SequentialFile aside_;
    bool aside_open_ = false;
    uint64_t kept_ = 0;
    uint64_t set_aside_ = 0;
    std::string failure_;
    std::vector<isam::WalkNote> notes_;
    bool fewer_ = false;
    bool incomplete_ = false;
};

int Rebuild::open_source() {
    if (!is_keyed_file(path_, io_, "a sequential file has no indexes to rebuild"))
        return kExitFailed;
    if (const int result = source_.open_for_inspection(path_, true); result != IX_OK) {
        std::string problem;
        if (result == IX_NOT_INDEXED_FILE)
            problem = isam::ix_header_problem(path_.c_str());
        io_.error(path_,
                  (problem.empty() ? io_.engine_text(result) : problem) + "; nothing was changed");
        return kExitFailed;
    }
    a_ = source_.attributes();
    return kExitOk;
}

int Rebuild::prepare() {
    target_.emplace(path_);
    collisions_.emplace(path_ + ".collisions");
    for (const std::string* name : {&collisions_->final_path(), &kept_as_}) {
        if (::access(name->c_str(), F_OK) == 0) {
            io_.error(*name,
                      "exists, from an earlier rebuild; move it away first. Nothing was "
                      "changed");
            return kExitFailed;
        }
    }
    std::string reason;
    if (!target_->check_target(&reason)) {
        io_.error(path_, reason + "; nothing was changed");
        return kExitFailed;
    }
    // The new copy takes about as many bytes as the file it replaces.
    if (const std::string shortage = room_shortage(path_, size_of(path_)); !shortage.empty()) {
        io_.error(path_, shortage + "; nothing was changed");
        return kExitFailed;
    }
    bool opening = false;
    if (const int result = make_new_file(target_->path(), a_, format_of(a_), &rebuilt_, &opening);
        result != IX_OK) {
        io_.error(path_, std::string("the new file cannot be ") +
                             (opening ? "opened: " : "created: ") + io_.engine_text(result));
        return kExitFailed;
    }
    return kExitOk;
}

bool Rebuild::take(uint32_t address, const unsigned char* data, uint32_t length) {
    const int result = rebuilt_.write(data, length);
    if (is_success(result)) {
        ++kept_;
        return true;
    }
    if (result != IX_DUPLICATE && result != IX_RECORD_TOO_SHORT && result != IX_RECORD_TOO_LONG) {
        failure_ = "the record at offset " + std::to_string(address) +
                   " cannot be written to the new file: " + io_.engine_text(result);
        return false;
    }
    return set_aside(address, data, length, result);
}

bool Rebuild::set_aside(uint32_t address, const unsigned char* data, uint32_t length, int result) {
    const std::string& name = collisions_->final_path();
    if (!aside_open_) {
        FileAttributes plain = a_;
        plain.min_length = 0;
        if (const int r = aside_.create(collisions_->path(), plain); r != 0) {
            failure_ = "cannot create " + name + ": " + io_.sequential_text(r);
            return false;
        }
        aside_open_ = true;
    }
    if (const int r = aside_.write(data, length); r != 0) {
        failure_ = "cannot write to " + name + ": " + io_.sequential_text(r);
        return false;
    }
    ++set_aside_;
    io_.error(path_,
              "the record at offset " + std::to_string(address) + " (" +
                  prime_text(a_, data, length) + ") is set aside: " +
                  (result == IX_DUPLICATE ? std::string("a record found before it has the same key")
                                          : io_.engine_text(result)));
    return true;
}

void Rebuild::tell_walk(int walked) {
    for (const isam::WalkNote& note : notes_)
        io_.error(path_, "offset " + std::to_string(note.offset) + ": " + note.what);
    // A file an update session closed cleanly counts its records in its
    // header: finding fewer means records the walk could not reach.
    const uint64_t found = kept_ + set_aside_;
    fewer_ = !source_.unfinished() && found < a_.record_count;
    if (walked == IX_OK && failure_.empty() && found != a_.record_count)
        io_.error(path_, "the header counts " + std::to_string(a_.record_count) +
                             " records, the data store gave " + std::to_string(found) +
                             (source_.unfinished() ? " (the header is from before the update "
                                                     "that never finished)"
                                                   : ""));
    if (walked != IX_OK && failure_.empty())
        failure_ = "the data store cannot be read: " + io_.engine_text(walked);
}

void Rebuild::close_new_files() {
    if (const int result = rebuilt_.close(); result != IX_OK && failure_.empty())
        failure_ = "the new file cannot be closed: " + io_.engine_text(result);
    if (aside_open_) {
        if (const int result = aside_.close(); result != 0 && failure_.empty())
            failure_ =
                "cannot close " + collisions_->final_path() + ": " + io_.sequential_text(result);
    }
}

int Rebuild::replace() {
    if (!verify_new_file(target_->path(), kept_, io_, path_)) {
        io_.error(path_, "nothing was changed");
        return kExitFailed;
    }
    // Records that could not be taken may still be in the old file: it is
    // kept under another name rather than lost with the replacement.
    incomplete_ = !notes_.empty() || fewer_;
    if (incomplete_ &&
        ::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, kept_as_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        io_.error(kept_as_, std::string("the file as it was cannot be kept: ") +
                                std::strerror(errno) + "; nothing was changed");
        return kExitFailed;
    }
    // The records set aside reach their final name first: once FILE is
    // replaced they are nowhere else. Should FILE not be replaced after all,
    // nothing of this rebuild stays.
    std::string reason;
    const bool aside_kept = aside_open_ && collisions_->commit(&reason);
    if ((aside_open_ && !aside_kept) || !target_->commit(&reason)) {
        io_.error(path_, reason + "; nothing was changed");
        if (aside_kept)
            std::remove(collisions_->final_path().c_str());
        if (incomplete_)
            std::remove(kept_as_.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

void Rebuild::tell() const {
    std::fprintf(io_.out, "%s: rebuilt with %s", path_.c_str(),
                 count_text(kept_, "record").c_str());
    if (set_aside_ != 0)
        std::fprintf(io_.out, "; %" PRIu64 " set aside in %s", set_aside_,
                     collisions_->final_path().c_str());
    if (incomplete_)
        std::fprintf(io_.out, "; the file as it was is kept as %s", kept_as_.c_str());
    std::fputc('\n', io_.out);
}

int Rebuild::run() {
    if (const int status = open_source(); status != kExitOk)
        return status;
    if (const int status = prepare(); status != kExitOk)
        return status;
    isam::StoreSpace space;
    Progress progress(io_.err, "rebuilding", size_of(path_));
    const int walked = engine::code(isam::walk_data_store(
        source_.handle(),
        [&](uint32_t address, const unsigned char* data, uint32_t length) {
            progress.update(address);
            return take(address, data, length);
        },
        &notes_, &space));
    progress.done();
    tell_walk(walked);
    close_new_files();
    if (!failure_.empty()) {
        io_.error(path_, failure_ + "; nothing was changed");
        return kExitFailed;
    }
    if (const int status = replace(); status != kExitOk)
        return status;
    source_.close();
    tell();
    return set_aside_ != 0 || incomplete_ ? kExitDamaged : kExitOk;
}

// Whether the file at path is of the block format, which convert rewrites.
// False with the status to give otherwise: 0 when it is in the slot format
// already (said), 2 when it cannot be read as an indexed or relative file.
bool needs_converting(const std::string& path, const Streams& io, int* status) {
    *status = kExitFailed;
    if (!is_keyed_file(path, io, "a sequential file has only one format"))
        return false;
    IndexedFile probe;
    if (const int result = probe.open_for_inspection(path, true); result != IX_OK) {
        io.error(path, io.engine_text(result));
        return false;
    }
    if (!probe.attributes().block_format) {
        std::fprintf(io.out, "%s: already in the slot format; nothing to do\n", path.c_str());
        *status = kExitOk;
        return false;
    }
    return true;
}

// Every record of the file at path, in the order of key order, written to
// a new file of the slot format at target: made at the first record (or at
// the end of an empty file), once the file's attributes are known. 0 with
// *written, or the status to give up with after saying why.
int copy_to_slot_format(const std::string& path, int order, const std::string& target,
                        const Streams& io, uint64_t* written) {
    FileAttributes a;
    IndexedFile converted;
    bool created = false;
    std::string failure;
    const auto create = [&] {
        created = true;
        bool opening = false;
        const int result =
            make_new_file(target, a, isam::StoreFormat::kSlots, &converted, &opening);
        if (result != IX_OK)
            failure = "the new file cannot be made: " + io.engine_text(result);
        return result == IX_OK;
    };
    const int status = read_records(path, order, io, &a, [&](const std::vector<unsigned char>& r) {
        if (!created && !create())
            return false;
        const int result = converted.write(r.data(), static_cast<uint32_t>(r.size()));
        if (!is_success(result)) {
            failure = "record " + prime_text(a, r.data(), static_cast<uint32_t>(r.size())) +
                      " cannot be written: " + io.engine_text(result);
            return false;
        }
        ++*written;
        return true;
    });
    if (status == kExitOk && !created) {
        if (const int result = create_file(target, a, isam::StoreFormat::kSlots); result != IX_OK)
            failure = "the new file cannot be made: " + io.engine_text(result);
    }
    if (const int result = converted.close(); result != IX_OK && failure.empty())
        failure = "the new file cannot be closed: " + io.engine_text(result);
    if (!failure.empty()) {
        io.error(path, failure + "; nothing was changed");
        return kExitFailed;
    }
    return status;
}

}  // namespace

int command_rebuild(const CommandLine& line, const Streams& io) {
    Rebuild rebuild(line.operands[0], io);
    return rebuild.run();
}

int command_convert(const CommandLine& line, const Streams& io) {
    const std::string& path = line.operands[0];
    if (int status = kExitFailed; !needs_converting(path, io, &status))
        return status;
    PendingFile target(path);
    std::string reason;
    if (!target.check_target(&reason)) {
        io.error(path, reason + "; nothing was changed");
        return kExitFailed;
    }
    // Held open for input until the new file has replaced it, so that no
    // update session can change it in between and have its changes lost.
    IndexedFile hold;
    if (const int result = hold.open_input(path); result != IX_OK) {
        io.error(path, open_failure(path, result, io));
        return kExitFailed;
    }
    // The records are written in the order of the first key that allows
    // duplicates, so that its duplicates keep their order; else the prime's.
    int order = 0;
    for (size_t i = 1; i < hold.attributes().keys.size() && order == 0; ++i)
        if (hold.attributes().keys[i].duplicates)
            order = static_cast<int>(i);
    uint64_t written = 0;
    if (const int status = copy_to_slot_format(path, order, target.path(), io, &written);
        status != kExitOk)
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
