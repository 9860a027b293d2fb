#include "engine/change_journal.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "engine/file_channel.h"
#include "platform/coding.h"
#include "platform/crt_file.h"

namespace kvr::engine {

using namespace kvr::platform;

namespace {

constexpr uint32_t kHeadMark = 0x4A52564B;   // "KVRJ"
constexpr uint32_t kEntryMark = 0x4552564B;  // "KVRE"
constexpr uint32_t kHeadSize = 56;
constexpr uint32_t kBootAt = 24;
constexpr uint32_t kBootSize = 32;
constexpr uint32_t kEntryHeadSize = 24;

// The check of an entry's head: FNV-1a over its first 20 bytes.
uint32_t head_check(const unsigned char* head) {
    uint32_t hash = 0x811C9DC5u;
    for (uint32_t i = 0; i < kEntryHeadSize - 4; ++i)
        hash = (hash ^ head[i]) * 0x01000193u;
    return hash;
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

}  // namespace

std::unique_ptr<ChangeJournal> ChangeJournal::open(const char* data_file, Result* result,
                                                   bool make) {
    std::string path = std::string(data_file) + ".kvrj";
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, make ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *result = map_windows_error(GetLastError());
        return nullptr;
    }
    std::unique_ptr<ChangeJournal> journal(
        new (std::nothrow) ChangeJournal(file, std::move(path), read_boot_id()));
    if (!journal) {
        CloseHandle(file);
        *result = kNoSpace;
    }
    return journal;
}

ChangeJournal::~ChangeJournal() {
    if (file_ != nullptr)
        CloseHandle(file_);
}

void ChangeJournal::remove() {
    CloseHandle(file_);
    file_ = nullptr;
    // Another process sharing the file still has the journal open: it
    // stays for that one.
    platform::remove(path_.c_str());
}

void ChangeJournal::remove_stale(const char* data_file) {
    platform::remove((std::string(data_file) + ".kvrj").c_str());
}

bool ChangeJournal::write_at(uint32_t offset, const void* bytes, uint32_t count) {
    DWORD written = 0;
    return SetFilePointer(file_, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset &&
           WriteFile(file_, bytes, count, &written, nullptr) && written == count;
}

bool ChangeJournal::read_at(uint32_t offset, void* bytes, uint32_t count) {
    DWORD got = 0;
    return SetFilePointer(file_, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset &&
           ReadFile(file_, bytes, count, &got, nullptr) && got == count;
}

Result ChangeJournal::begin(uint32_t change, uint32_t file_size) {
    active_ = false;
    // A number no other change of this file is likely to carry: the time,
    // the process, this journal object and its own count of changes.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    number_ = (static_cast<uint64_t>(now.tv_sec) << 30) ^ static_cast<uint64_t>(now.tv_nsec) ^
              (static_cast<uint64_t>(getpid()) << 40) ^ reinterpret_cast<uintptr_t>(this) ^
              (++changes_ * 0x9E3779B97F4A7C15u);
    unsigned char head[kHeadSize] = {};
    store_u32(head, kHeadMark);
    store_u32(head + 4, change);
    store_u32(head + 8, file_size);
    store_u32(head + 16, static_cast<uint32_t>(number_));
    store_u32(head + 20, static_cast<uint32_t>(number_ >> 32));
    std::memcpy(head + kBootAt, boot_.data(), boot_.size());
    if (!write_at(0, head, kHeadSize))
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

Result ChangeJournal::undo(const FileChannel& file, uint32_t change, bool* undone) {
    *undone = false;
    active_ = false;
    unsigned char head[kHeadSize];
    if (!read_at(0, head, kHeadSize) || load_u32(head) != kHeadMark ||
        load_u32(head + 4) != change || boot_.empty() ||
        std::memcmp(head + kBootAt, boot_.data(), boot_.size()) != 0)
        return kOk;
    const uint32_t size = load_u32(head + 8);
    const uint64_t number = load_u32(head + 16) | (uint64_t{load_u32(head + 20)} << 32);

    // The entries saved whole for this change, in the order they were saved.
    struct Saved {
        uint32_t offset;
        std::vector<unsigned char> bytes;
    };
    std::vector<Saved> saved;
    // No entry reaches past the journal's end: a length read from it is
    // never trusted further than that.
    LONG end_high = 0;
    const DWORD journal_end = SetFilePointer(file_, 0, &end_high, FILE_END);
    if (journal_end == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        return kOk;
    const uint64_t journal_size = (uint64_t{static_cast<uint32_t>(end_high)} << 32) | journal_end;
    try {
        for (uint32_t at = kHeadSize;;) {
            unsigned char entry[kEntryHeadSize];
            if (!read_at(at, entry, kEntryHeadSize) || load_u32(entry) != kEntryMark ||
                (load_u32(entry + 4) | (uint64_t{load_u32(entry + 8)} << 32)) != number ||
                head_check(entry) != load_u32(entry + 20))
                break;
            const uint32_t offset = load_u32(entry + 12);
            const uint32_t length = load_u32(entry + 16);
            if (offset >= size || length > size - offset ||
                uint64_t{at} + kEntryHeadSize + length > journal_size)
                break;
            Saved one{offset, std::vector<unsigned char>(length)};
            if (!read_at(at + kEntryHeadSize, one.bytes.data(), length))
                break;
            saved.push_back(std::move(one));
            at += kEntryHeadSize + length;
        }
    } catch (const std::bad_alloc&) {
        return kNoSpace;
    }
    // What the change appended goes first; the update marker, saved first,
    // is put back last, so that a process dying while it undoes the change
    // leaves it for the next one to undo again.
    uint32_t end = 0;
    Result result = store_status(file.seek_end(&end));
    if (result == kOk && end > size)
        result = store_status(file.truncate(size));
    for (auto one = saved.rbegin(); one != saved.rend() && result == kOk; ++one)
        result = store_status(file.write_at(one->offset, one->bytes.data(),
                                            static_cast<uint32_t>(one->bytes.size())));
    *undone = result == kOk;
    return result;
}

}  // namespace kvr::engine
