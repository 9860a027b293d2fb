#include "tools/tool_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/share_locks.h"

namespace kvr::tools {

Progress::Progress(std::FILE* err, std::string label, uint64_t total)
    : err_(err),
      label_(std::move(label)),
      total_(total),
      shown_(err != nullptr && total > 0 && ::isatty(::fileno(err)) == 1) {}

namespace {

// Wide enough for the bar with any of the utility's labels.
constexpr int kProgressLineWidth = 64;

}  // namespace

void clear_progress_line(std::FILE* err) {
    if (err != nullptr && ::isatty(::fileno(err)) == 1)
        std::fprintf(err, "\r%*s\r", kProgressLineWidth, "");
}

void Progress::update(uint64_t done_so_far) {
    if (!shown_)
        return;
    const uint64_t done_now = done_so_far < total_ ? done_so_far : total_;
    const int percent = static_cast<int>(done_now * 100 / total_);
    if (percent == last_percent_)
        return;
    last_percent_ = percent;
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    std::fprintf(err_, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
                 std::string(kWidth - filled, '.').c_str(), percent);
    std::fflush(err_);
}

void Progress::done() {
    if (!shown_ || last_percent_ < 0)
        return;
    std::fprintf(err_, "\r%*s\r", static_cast<int>(label_.size()) + 48, "");
    std::fflush(err_);
    last_percent_ = -1;
}

namespace {

// The folder part of a path, with its slash ("" for the current folder).
std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// The file a chain of symbolic links at path leads to; path itself when it
// is no link, and the last name reached when a link leads nowhere yet.
std::string follow_links(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return at;
        std::vector<char> buffer(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
        const ssize_t n = ::readlink(at.c_str(), buffer.data(), buffer.size() - 1);
        if (n <= 0)
            return at;
        const std::string link(buffer.data(), static_cast<size_t>(n));
        at = link[0] == '/' ? link : folder_of(at) + link;
    }
    return at;
}

// The temporary files a signal handler removes. A signal handler can reach
// nothing else, so this is the one place the utility keeps state outside
// its objects: fixed slots, each holding a name, claimed and released
// through a lock-free state word the handler reads.
enum SlotState : int { kSlotFree, kSlotFilling, kSlotReady };

struct SignalSlot {
    std::atomic<int> state{kSlotFree};
    char path[4096] = {};
};
SignalSlot signal_slots[8];

int claim_signal_slot(const std::string& path) {
    if (path.size() >= sizeof signal_slots[0].path)
        return -1;
    for (int i = 0; i < static_cast<int>(std::size(signal_slots)); ++i) {
        SignalSlot& slot = signal_slots[i];
        int expected = kSlotFree;
        if (slot.state.compare_exchange_strong(expected, kSlotFilling)) {
            std::memcpy(slot.path, path.c_str(), path.size() + 1);
            slot.state.store(kSlotReady);
            return i;
        }
    }
    return -1;
}

void release_signal_slot(int i) {
    if (i >= 0)
        signal_slots[i].state.store(kSlotFree);
}

extern "C" void remove_pending_and_end(int signal_number) {
    for (SignalSlot& slot : signal_slots)
        if (slot.state.load() == kSlotReady)
            ::unlink(slot.path);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

void remove_pending_files_on_signals() {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = remove_pending_and_end;
        sigemptyset(&action.sa_mask);
        struct sigaction previous {};
        // A signal the program was started with ignored stays ignored.
        if (::sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            ::sigaction(signal_number, &action, nullptr);
    }
}

namespace {

// The process number in a temporary name ".NAME.kvr-PID.tmp" made for name;
// 0 when entry is no such name.
pid_t temporary_owner(const std::string& entry, const std::string& name) {
    const std::string head = "." + name + ".kvr-";
    const std::string tail = ".tmp";
    if (entry.size() <= head.size() + tail.size() || entry.compare(0, head.size(), head) != 0 ||
        entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0)
        return 0;
    const std::string digits = entry.substr(head.size(), entry.size() - head.size() - tail.size());
    uint64_t pid = 0;
    if (!parse_number(digits, &pid) || pid == 0 || pid > static_cast<uint64_t>(INT32_MAX))
        return 0;
    return static_cast<pid_t>(pid);
}

// Removes the temporary files that runs killed outright (SIGKILL, a crash,
// a power cut) left beside name in dir: those of a process that no longer
// exists. A temporary of a live process is never touched, nor one that some
// process holds open for writing (its share lock): a process number seen
// from another namespace may be dead here and alive there.
void remove_stale_temporaries(const std::string& dir, const std::string& name) {
    DIR* folder = ::opendir(dir.empty() ? "." : dir.c_str());
    if (folder == nullptr)
        return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(folder)) {
        const pid_t owner = temporary_owner(entry->d_name, name);
        if (owner != 0 && owner != ::getpid() && ::kill(owner, 0) != 0 && errno == ESRCH)
            stale.push_back(dir + entry->d_name);
    }
    ::closedir(folder);
    for (const std::string& path : stale) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            platform::share_locks::hold_alone(fd) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }
}

}  // namespace

PendingFile::PendingFile(std::string final_path)
    : final_path_(std::move(final_path)), target_path_(follow_links(final_path_)) {
    const std::string dir = folder_of(target_path_);
    const std::string name = target_path_.substr(dir.size());
    remove_stale_temporaries(dir, name);
    temp_path_ = dir + "." + name + ".kvr-" + std::to_string(::getpid()) + ".tmp";
    signal_slot_ = claim_signal_slot(temp_path_);
}

PendingFile::~PendingFile() {
    if (!committed_)
        std::remove(temp_path_.c_str());
    release_signal_slot(signal_slot_);
}

bool PendingFile::check_target(std::string* reason) const {
    struct stat info {};
    if (::stat(target_path_.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            *reason = S_ISDIR(info.st_mode) ? "a folder" : "not a regular file";
            *reason += "; give the name of a file to write";
            return false;
        }
    } else if (errno != ENOENT) {
        *reason = std::strerror(errno);
        return false;
    }
    const std::string dir = folder_of(target_path_);
    const std::string folder = dir.empty() ? "." : dir;
    if (::access(folder.c_str(), W_OK) != 0) {
        *reason = "the folder " + folder + " cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PendingFile::commit(std::string* reason) {
    struct stat old {};
    if (::stat(target_path_.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // The new file takes the place of the old one: it keeps its
        // permissions, and its owner where this process may give it.
        if (::chmod(temp_path_.c_str(), old.st_mode & 07777) != 0) {
            *reason = std::strerror(errno);
            return false;
        }
        if (::chown(temp_path_.c_str(), old.st_uid, old.st_gid) != 0) {
            // Only the owner of a file, or root, can hand it on; the file
            // then stays this user's, as a file it writes anew would be.
        }
    }
    if (std::rename(temp_path_.c_str(), target_path_.c_str()) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    committed_ = true;
    release_signal_slot(signal_slot_);
    signal_slot_ = -1;
    return true;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

std::string escape_bytes(const unsigned char* bytes, size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char b = bytes[i];
        if (b == '\\') {
            text += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 15];
        }
    }
    return text;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool unescape_text(const std::string& text, std::vector<unsigned char>* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out->push_back(static_cast<unsigned char>(text[i]));
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out->push_back('\\');
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x' && hex_digit(text[i + 2]) >= 0 &&
            hex_digit(text[i + 3]) >= 0) {
            out->push_back(
                static_cast<unsigned char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3])));
            i += 3;
            continue;
        }
        return false;
    }
    return true;
}

std::string hex_bytes(const unsigned char* bytes, size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i > 0 && i % 4 == 0)
            text += ' ';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

std::string column_lines(const unsigned char* bytes, size_t length) {
    static constexpr char kHex[] = "0123456789abcdef";
    constexpr size_t kPerLine = 16;
    std::string text;
    for (size_t start = 0; start < length; start += kPerLine) {
        char position[24];
        std::snprintf(position, sizeof position, "%6zu ", start + 1);
        text += position;
        std::string shown;
        for (size_t i = 0; i < kPerLine; ++i) {
            if (i % 8 == 0)
                text += ' ';
            if (start + i >= length) {
                text += "   ";
                continue;
            }
            const unsigned char c = bytes[start + i];
            text += kHex[c >> 4];
            text += kHex[c & 15];
            text += ' ';
            shown += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        text += " |" + shown + "|\n";
    }
    return text;
}

std::string count_text(uint64_t n, const char* thing) {
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

bool parse_number(const std::string& text, uint64_t* value) {
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = v;
    return true;
}

}  // namespace kvr::tools
