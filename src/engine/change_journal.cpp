#include "engine/change_journal.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "engine/file_channel.h"
#include "engine/file_header.h"
#include "platform/coding.h"
#include "platform/crt_file.h"

namespace kvr::engine {

using namespace kvr::platform;

namespace {

constexpr uint32_t kHeadMark = 0x4A52564B;   // "KVRJ"
constexpr uint32_t kEntryMark = 0x4552564B;  // "KVRE"
constexpr uint32_t kHeadSize = 80;
constexpr uint32_t kChangeAt = 4;
constexpr uint32_t kSizeAt = 8;
constexpr uint32_t kCheckedAt = 12;
constexpr uint32_t kNumberAt = 16;
constexpr uint32_t kBootAt = 24;
constexpr uint32_t kBootSize = 32;
constexpr uint32_t kDeviceAt = 56;
constexpr uint32_t kInodeAt = 64;
constexpr uint32_t kStartCheckAt = 72;
constexpr uint32_t kHeadCheckAt = 76;
constexpr uint32_t kEntryHeadSize = 24;
// How much of the data file's start the head's check covers: the file
// fields, the key table and the first tree headers, which every change of
// the file by any program moves (the record count, at least).
constexpr uint32_t kCheckedBytes = 4096;
constexpr uint32_t kNobody = 0xFFFFFFFFu;

uint32_t fnv1a(const unsigned char* bytes, size_t count, uint32_t hash = 0x811C9DC5u) {
    for (size_t i = 0; i < count; ++i)
        hash = (hash ^ bytes[i]) * 0x01000193u;
    return hash;
}

// The check of the file's start, taken at every change: FNV-1a's steps over
// 8-byte little-endian words (and the bytes past the last whole word), an
// eighth of the bytewise steps, folded to 32 bits.
uint32_t start_check(const unsigned char* bytes, size_t count) {
    uint64_t hash = 0xCBF29CE484222325u;
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        hash = (hash ^ load_u64(bytes + i)) * 0x100000001B3u;
    for (; i < count; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001B3u;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

// The check of an entry's head: FNV-1a over its first 20 bytes.
uint32_t head_check(const unsigned char* head) {
    return fnv1a(head, kEntryHeadSize - 4);
}

// The machine's boot, as Linux names it: a journal written before the
// machine last started may have reached the disk only in part, as may the
// change it saved, so it is never used to undo anything. Empty when it
// cannot be read; nothing is undone then either.
std::string read_boot_id() {
    std::string id;
    if (std::FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "r")) {
        char text[64] = {};
        if (std::fgets(text, sizeof text, file) != nullptr)
            id.assign(text, std::strcspn(text, "\n"));
        std::fclose(file);
    }
    id.resize(kBootSize < id.size() ? kBootSize : id.size());
    return id;
}

std::string journal_name(const char* data_file) {
    return std::string(data_file) + ".kvrj";
}

// Whether `user` belongs to `group`, as the user database says.
bool user_in_group(uint32_t user, uint32_t group) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> text(4096);
    if (getpwuid_r(static_cast<uid_t>(user), &entry, text.data(), text.size(), &found) != 0 ||
        found == nullptr)
        return false;
    if (entry.pw_gid == static_cast<gid_t>(group))
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == static_cast<gid_t>(group))
            return true;
    }
    return false;
}

// Whether `user` could have written the data file itself: a journal of
// theirs can do nothing to it that they could not.
bool may_write(uint32_t user, const FileIdentity& data) {
    return user == data.owner || user == static_cast<uint32_t>(geteuid()) || user == 0 ||
           (data.mode & 0002) != 0 || ((data.mode & 0020) != 0 && user_in_group(user, data.group));
}

// The permission bits the journal may have: the data file's, but for
// group bits that the journal's group would give to others than the data
// file's group (the data file's bits for all users cover those).
uint32_t widest_mode(const FileIdentity& data, uint32_t journal_group) {
    uint32_t mode = data.mode & 0777;
    if (journal_group != data.group)
        mode = (mode & 0707) | (mode & (data.mode & 0007) << 3);
    return mode;
}

std::string octal(uint32_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// Why the file `journal` (open) may not serve as the journal of `data`;
// empty when it may.
std::string untrusted(const FileIdentity& journal, const FileIdentity& data) {
    if (journal.links != 1)
        return "it has other names (hard links)";
    if (!may_write(journal.owner, data))
        return "it belongs to user " + std::to_string(journal.owner) +
               ", who may not write the file";
    if ((journal.mode & ~widest_mode(data, journal.group)) != 0)
        return "its permissions (" + octal(journal.mode) + ") are wider than the file's (" +
               octal(data.mode) + ")";
    return {};
}

bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode;
}

// Why the `got` bytes of a head read from a journal are not a sound head
// of this library's; empty when they are. An empty file is taken for a
// journal whose maker died before it wrote the head, which holds no change.
std::string unsound_head(const unsigned char* head, uint32_t got) {
    if (got == 0)
        return {};
    if (got < 4 || load_u32(head) != kHeadMark)
        return "it is not a journal of this system";
    if (got < kHeadSize || load_u32(head + kHeadCheckAt) != fnv1a(head, kHeadCheckAt))
        return "it is a damaged journal";
    return {};
}

// Opens the file at `path` without following a symbolic link, sharing it
// with every sharer (*file); false and *why in words when what is there
// may not be used, or an empty *why and the last error when there is
// nothing or the system failed.
bool open_existing(const std::string& path, DWORD access, FileChannel* file, std::string* why) {
    const IoOutcome opened =
        FileChannel::open(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                          FILE_FLAG_OPEN_REPARSE_POINT, file);
    if (opened.ok())
        return true;
    switch (opened.windows_error) {
        case ERROR_CANT_RESOLVE_FILENAME:
            *why = "it is a symbolic link";
            break;
        case ERROR_ACCESS_DENIED:
            *why = "it is not a regular file, or this user may not read and write it";
            break;
        case ERROR_SHARING_VIOLATION:
            *why = "another program holds it";
            break;
        default:  // none there, or a failure the caller reports
            why->clear();
            break;
    }
    return false;
}

// Reads up to count bytes at offset (*got of them; none at the end).
bool read_bytes(const FileChannel& file, uint32_t offset, void* bytes, uint32_t count,
                uint32_t* got) {
    return file.read_at(offset, bytes, count, got).kind != IoOutcome::kFailed;
}

// A range the journal saved, as it read it back.
struct Saved {
    uint32_t offset;
    std::vector<unsigned char> bytes;
};

// What a journal's head names, once it is known to be sound.
struct Head {
    uint32_t change = 0;
    uint32_t size = 0;
    uint32_t checked = 0;
    uint64_t number = 0;
    uint32_t start_check = 0;
};

// The data file's first bytes now, with the ranges saved put back over
// them as undo would: the file's start as the change found it.
bool start_as_saved(const FileChannel& file, const Head& head, const std::vector<Saved>& saved,
                    std::vector<unsigned char>* start) {
    start->assign(head.checked, 0);
    uint32_t got = 0;
    if (head.checked != 0 && !file.read_at(0, start->data(), head.checked, &got).ok())
        return false;
    start->resize(got);
    for (auto one = saved.rbegin(); one != saved.rend(); ++one) {
        if (one->offset >= head.checked)
            continue;
        const size_t count = std::min<size_t>(one->bytes.size(), head.checked - one->offset);
        if (start->size() < one->offset + count)
            start->resize(one->offset + count, 0);
        std::memcpy(start->data() + one->offset, one->bytes.data(), count);
    }
    return true;
}

// The head of the journal open as `journal`, when it names the change of
// the data file `data` that began at change count `change`, on this boot;
// otherwise *why says why in words.
void read_head(const FileChannel& journal, const std::string& boot, const FileIdentity& data,
               uint32_t change, Head* head, std::string* why) {
    unsigned char bytes[kHeadSize];
    uint32_t got = 0;
    if (!read_bytes(journal, 0, bytes, kHeadSize, &got)) {
        *why = "it cannot be read";
        return;
    }
    if (*why = unsound_head(bytes, got); !why->empty())
        return;
    if (got == 0) {
        *why = "it holds no change";
        return;
    }
    head->change = load_u32(bytes + kChangeAt);
    head->size = load_u32(bytes + kSizeAt);
    head->checked = load_u32(bytes + kCheckedAt);
    head->number = load_u32(bytes + kNumberAt) | (uint64_t{load_u32(bytes + kNumberAt + 4)} << 32);
    head->start_check = load_u32(bytes + kStartCheckAt);
    if (load_u64(bytes + kDeviceAt) != data.device || load_u64(bytes + kInodeAt) != data.inode)
        *why = "it is the journal of another file";
    else if (head->number == 0)
        *why = "it holds no change";
    else if (boot.empty() || std::memcmp(bytes + kBootAt, boot.data(), boot.size()) != 0)
        *why = "it was written before the machine last started";
    else if (head->change != change)
        *why = "it holds the change begun at change count " + std::to_string(head->change) +
               ", not the file's " + std::to_string(change);
    else if (head->checked > kCheckedBytes || head->checked > head->size)
        *why = "it is a damaged journal";
}

// The entries saved whole for the change `head` names, in the order they
// were saved, up to the first that is not (the journal's end, or one its
// writer died before it finished). No entry reaches past the journal's end
// (`journal_size` bytes): a length read from it is never trusted further.
void read_entries(const FileChannel& journal, uint64_t journal_size, const Head& head,
                  std::vector<Saved>* saved) {
    uint32_t got = 0;
    for (uint32_t at = kHeadSize;;) {
        unsigned char entry[kEntryHeadSize];
        if (!read_bytes(journal, at, entry, kEntryHeadSize, &got) || got != kEntryHeadSize ||
            load_u32(entry) != kEntryMark ||
            (load_u32(entry + 4) | (uint64_t{load_u32(entry + 8)} << 32)) != head.number ||
            head_check(entry) != load_u32(entry + 20))
            return;
        const uint32_t offset = load_u32(entry + 12);
        const uint32_t length = load_u32(entry + 16);
        // Entries lie within the journal and within 32-bit offsets, so that
        // the walk never wraps back to an entry it has read.
        if (offset >= head.size || length > head.size - offset ||
            uint64_t{at} + kEntryHeadSize + length > std::min<uint64_t>(journal_size, UINT32_MAX))
            return;
        Saved one{offset, std::vector<unsigned char>(length)};
        if (!read_bytes(journal, at + kEntryHeadSize, one.bytes.data(), length, &got) ||
            got != length)
            return;
        saved->push_back(std::move(one));
        at += kEntryHeadSize + length;
    }
}

// Whether the journal open as `journal` holds the change of the data file
// `data` (read through `file`) that began at change count `change`, and
// the file is still as that change left it: *why empty, and *head and
// *saved what undo puts back. Otherwise *why says why in words.
Result examine(const FileChannel& journal, const std::string& boot, const FileIdentity& data,
               const FileChannel& file, uint32_t change, Head* head, std::vector<Saved>* saved,
               std::string* why) {
    read_head(journal, boot, data, change, head, why);
    if (!why->empty())
        return kOk;
    uint64_t journal_size = 0;
    if (!journal.size(&journal_size).ok()) {
        *why = "it cannot be read";
        return kOk;
    }
    std::vector<unsigned char> start;
    try {
        read_entries(journal, journal_size, *head, saved);
        // The file must be as the change left it: its start, with what the
        // change saved put back, is what it was when the change began. A
        // file changed since by another program is left alone.
        if (!start_as_saved(file, *head, *saved, &start)) {
            *why = "the file cannot be read";
            return kIoError;
        }
    } catch (const std::bad_alloc&) {
        return kNoSpace;
    }
    if (start.size() != head->checked ||
        start_check(start.data(), start.size()) != head->start_check)
        *why = "the file has changed since the journal was written";
    return kOk;
}

// Opens the journal at `path` for reading and writing (*file), or makes it
// new when there is none and `make` is set (*made): never through a
// symbolic link, readable by its maker alone until it has the data file's
// group and permissions. False with *result 0 when there is none; with 15
// and *why when what is there may not be used; else with the mapped error.
bool open_or_make(const std::string& path, bool make, FileChannel* file, bool* made, Result* result,
                  std::string* why) {
    for (int attempt = 0;; ++attempt) {
        if (open_existing(path, GENERIC_READ | GENERIC_WRITE, file, why))
            return true;
        const DWORD error = GetLastError();
        if (!why->empty()) {
            *result = kAccessDenied;
            return false;
        }
        const bool none = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        if (!none || !make) {
            *result = none ? kOk : map_windows_error(error);
            return false;
        }
        const IoOutcome created = FileChannel::open(
            path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OWNER_ONLY, file);
        *made = created.ok();
        if (*made)
            return true;
        // Made by another meanwhile: it is opened as found, a few times.
        if (created.windows_error != ERROR_FILE_EXISTS || attempt == 3) {
            *result = map_windows_error(created.windows_error);
            return false;
        }
    }
}

// Gives a journal just made the data file's group, and its owner where
// this process may give a file away; group bits that the journal's group
// would give to others than the data file's go.
void take_data_files_ownership(const FileChannel& file, const FileIdentity& data) {
    const bool superuser = geteuid() == 0;
    if (!file.set_ownership(superuser ? data.owner : kNobody, data.group, data.mode & 0666).ok()) {
        FileIdentity now;
        const uint32_t group = file.identity(&now).ok() ? now.group : kNobody;
        file.set_ownership(kNobody, kNobody, widest_mode(data, group) & 0666);
    }
}

// Why a journal found at its name may not be used for the data file
// (`data`), in words in *why: empty when it may. *empty tells whether it
// has no bytes yet. The result is the mapped error when the system cannot
// say who owns it.
Result check_found(const FileChannel& file, const FileIdentity& data, bool* empty,
                   std::string* why) {
    FileIdentity identity;
    if (const IoOutcome known = file.identity(&identity); !known.ok())
        return map_windows_error(known.windows_error);
    unsigned char head[kHeadSize];
    uint32_t got = 0;
    *why =
        read_bytes(file, 0, head, kHeadSize, &got) ? unsound_head(head, got) : "it cannot be read";
    if (why->empty())
        *why = untrusted(identity, data);
    *empty = got == 0;
    return kOk;
}

}  // namespace

std::unique_ptr<ChangeJournal> ChangeJournal::open(const char* data_file, const FileChannel& data,
                                                   bool make, Result* result, std::string* why) {
    *result = kOk;
    why->clear();
    FileIdentity data_identity;
    if (const IoOutcome known = data.identity(&data_identity); !known.ok()) {
        *result = map_windows_error(known.windows_error);
        return nullptr;
    }
    std::string path = journal_name(data_file);
    bool made = false;
    FileChannel file;
    if (!open_or_make(path, make, &file, &made, result, why))
        return nullptr;
    std::unique_ptr<ChangeJournal> journal(
        new (std::nothrow) ChangeJournal(file, path, read_boot_id(), data_identity));
    if (!journal) {
        file.close();
        *result = kNoSpace;
        return nullptr;
    }
    if (made) {
        take_data_files_ownership(file, data_identity);
        if (!journal->write_head(0, 0, 0, 0)) {
            *result = map_windows_error(GetLastError());
            journal->remove();
            return nullptr;
        }
        return journal;
    }
    bool empty = false;
    if (const Result checked = check_found(file, data_identity, &empty, why); checked != kOk) {
        *result = checked;
        return nullptr;
    }
    if (!why->empty()) {
        *result = kAccessDenied;
        return nullptr;
    }
    // An empty one gets its head now, so that it is known for a journal.
    if (empty && !journal->write_head(0, 0, 0, 0)) {
        *result = map_windows_error(GetLastError());
        return nullptr;
    }
    return journal;
}

ChangeJournal::~ChangeJournal() {
    if (file_.is_open())
        file_.close();
}

void ChangeJournal::remove() {
    FileIdentity mine;
    const bool known = file_.identity(&mine).ok();
    file_.close();
    // Only while the name still leads to this journal; and another process
    // sharing the file that still has it open keeps it (remove refuses).
    std::string why;
    FileChannel named;
    if (!open_existing(path_, GENERIC_READ, &named, &why))
        return;
    FileIdentity now;
    const bool same = known && named.identity(&now).ok() && same_file(mine, now);
    named.close();
    if (same)
        platform::remove(path_.c_str());
}

Result ChangeJournal::remove_stale(const char* data_file) {
    const std::string path = journal_name(data_file);
    std::string why;
    FileChannel file;
    if (!open_existing(path, GENERIC_READ, &file, &why)) {
        // Nothing there, or nothing of this library's that could be used.
        switch (GetLastError()) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_CANT_RESOLVE_FILENAME:
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
                return kOk;
            default:
                return map_windows_error(GetLastError());
        }
    }
    unsigned char head[kHeadSize];
    uint32_t got = 0;
    const bool read = read_bytes(file, 0, head, kHeadSize, &got);
    const DWORD error = GetLastError();
    if (const IoOutcome closed = file.close(); !closed.ok() || !read)
        return map_windows_error(read ? closed.windows_error : error);
    if (unsound_head(head, got).empty())
        platform::remove(path.c_str());
    return kOk;
}

bool ChangeJournal::write_at(uint32_t offset, const void* bytes, uint32_t count) {
    return file_.write_at(offset, bytes, count).ok();
}

bool ChangeJournal::read_at(uint32_t offset, void* bytes, uint32_t count) {
    uint32_t got = 0;
    return read_bytes(file_, offset, bytes, count, &got) && got == count;
}

bool ChangeJournal::write_head(uint32_t change, uint32_t file_size, uint32_t checked,
                               uint32_t check) {
    unsigned char head[kHeadSize] = {};
    store_u32(head, kHeadMark);
    store_u32(head + kChangeAt, change);
    store_u32(head + kSizeAt, file_size);
    store_u32(head + kCheckedAt, checked);
    store_u32(head + kNumberAt, static_cast<uint32_t>(number_));
    store_u32(head + kNumberAt + 4, static_cast<uint32_t>(number_ >> 32));
    std::memcpy(head + kBootAt, boot_.data(), boot_.size());
    store_u64(head + kDeviceAt, data_.device);
    store_u64(head + kInodeAt, data_.inode);
    store_u32(head + kStartCheckAt, check);
    store_u32(head + kHeadCheckAt, fnv1a(head, kHeadCheckAt));
    return write_at(0, head, kHeadSize);
}

Result ChangeJournal::begin(const FileChannel& file, uint32_t change, uint32_t file_size) {
    active_ = false;
    // A number no other change of this file is likely to carry: the time,
    // the process, this journal object and its own count of changes; never
    // 0, which names no change.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    number_ = (static_cast<uint64_t>(now.tv_sec) << 30) ^ static_cast<uint64_t>(now.tv_nsec) ^
              (static_cast<uint64_t>(getpid()) << 40) ^ reinterpret_cast<uintptr_t>(this) ^
              (++changes_ * 0x9E3779B97F4A7C15u);
    if (number_ == 0)
        number_ = 1;
    // The file's start as the change finds it, for undo to tell that the
    // file is still the one the change left.
    const uint32_t checked = file_size < kCheckedBytes ? file_size : kCheckedBytes;
    unsigned char start[kCheckedBytes];
    uint32_t got = 0;
    const IoOutcome read = file.read_at(0, start, checked, &got);
    if (!read.ok() && checked != 0)
        return store_status(read);
    if (got != checked)
        return kIoError;
    if (!write_head(change, file_size, checked, start_check(start, checked)))
        return map_windows_error(GetLastError());
    size_ = file_size;
    next_at_ = kHeadSize;
    active_ = true;
    return kOk;
}

IoOutcome ChangeJournal::save(const FileChannel& file, uint32_t offset, uint32_t count) {
    if (!active_ || offset >= size_ || count == 0)
        return {};
    const uint32_t length = count < size_ - offset ? count : size_ - offset;
    if (next_at_ > kMaxFileEnd - kEntryHeadSize - length)
        return IoOutcome{IoOutcome::kFailed, ERROR_DISK_FULL};
    std::vector<unsigned char>& entry = entry_;
    try {
        entry.resize(kEntryHeadSize + length);
    } catch (const std::bad_alloc&) {
        return IoOutcome{IoOutcome::kFailed, ERROR_NOT_ENOUGH_MEMORY};
    }
    uint32_t got = 0;
    const IoOutcome read = file.read_at(offset, entry.data() + kEntryHeadSize, length, &got);
    if (!read.ok())
        return read;
    if (got != length)
        return IoOutcome{IoOutcome::kFailed, ERROR_READ_FAULT};
    store_u32(entry.data(), kEntryMark);
    store_u32(entry.data() + 4, static_cast<uint32_t>(number_));
    store_u32(entry.data() + 8, static_cast<uint32_t>(number_ >> 32));
    store_u32(entry.data() + 12, offset);
    store_u32(entry.data() + 16, length);
    store_u32(entry.data() + 20, head_check(entry.data()));
    // The bytes first, then the head that vouches for them: a process dies
    // between two of its writes, never before one it has done, so a sound
    // head is never found before its bytes are all there.
    if (!write_at(next_at_ + kEntryHeadSize, entry.data() + kEntryHeadSize, length) ||
        !write_at(next_at_, entry.data(), kEntryHeadSize))
        return IoOutcome{IoOutcome::kFailed, GetLastError()};
    next_at_ += static_cast<uint32_t>(entry.size());
    return {};
}

Result ChangeJournal::undo(const FileChannel& file, uint32_t change, bool* undone,
                           std::string* why) {
    *undone = false;
    active_ = false;
    std::string reason;
    std::string& said = why != nullptr ? *why : reason;
    said.clear();
    Head head;
    std::vector<Saved> saved;
    Result result = examine(file_, boot_, data_, file, change, &head, &saved, &said);
    if (result != kOk || !said.empty())
        return result;
    // What the change appended goes first; the update marker, saved first,
    // is put back last, so that a process dying while it undoes the change
    // leaves it for the next one to undo again.
    uint32_t end = 0;
    result = store_status(file.seek_end(&end));
    if (result == kOk && end > head.size)
        result = store_status(file.truncate(head.size));
    for (auto one = saved.rbegin(); one != saved.rend() && result == kOk; ++one)
        result = store_status(file.write_at(one->offset, one->bytes.data(),
                                            static_cast<uint32_t>(one->bytes.size())));
    *undone = result == kOk;
    return result;
}

std::string ChangeJournal::problem(const char* data_file) {
    std::string why;
    FileChannel journal;
    if (!open_existing(journal_name(data_file), GENERIC_READ, &journal, &why))
        return why;
    FileChannel data;
    FileIdentity journal_identity;
    FileIdentity data_identity;
    if (!FileChannel::open(data_file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, &data)
             .ok() ||
        !journal.identity(&journal_identity).ok() || !data.identity(&data_identity).ok()) {
        if (data.is_open())
            data.close();
        journal.close();
        return {};
    }
    unsigned char head[kHeadSize];
    uint32_t got = 0;
    why = read_bytes(journal, 0, head, kHeadSize, &got) ? unsound_head(head, got)
                                                        : "it cannot be read";
    if (why.empty())
        why = untrusted(journal_identity, data_identity);
    // A change left in the file that the journal would not take back.
    unsigned char words[8];
    if (why.empty() && data.read_at(kUpdateMarkerAt, words, sizeof words, &got).ok() &&
        got == sizeof words && load_u32(words) == kUpdateMarker) {
        Head examined;
        std::vector<Saved> saved;
        examine(journal, read_boot_id(), data_identity, data, load_u32(words + 4), &examined,
                &saved, &why);
    }
    data.close();
    journal.close();
    return why;
}

}  // namespace kvr::engine
