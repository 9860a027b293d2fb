// Shared opens: several handles, in this process and in others, reading and
// updating one file. Each operation runs under a lock on one byte far past
// the file's data: shared while it reads, exclusive while it changes. A
// change is on disk (the trees write their pages as they change them, the
// header follows at the end) before the lock goes, and the header's change
// count tells every other handle that what it keeps of the header is out of
// date. The trees of a shared open write every page they change at once, and
// take their root afresh, forgetting the pages they kept, only when the
// count has moved, as the block format's pool of sequence sets forgets
// the sets it kept.
#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "engine/file_channel.h"
#include "engine/isam/ix_handle.h"
#include "engine/store/sequence_set_pool.h"
#include "engine/store/store.h"
#include "platform/coding.h"
#include "platform/lock_wait.h"
#include "platform/windows_file.h"

namespace kvr::isam {

namespace {

using engine::FileHeader;
using platform::OVERLAPPED;

constexpr uint64_t kOperationLockAt = kSharedOperationLockAt;
constexpr int kLockAttemptsBeforeWaiting = 16;

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Header fields that belong to this handle's session and stay as they are
// when the header is taken afresh: the record read with a hold, the open
// flags, the options (the block-format bit is set at open) and the key of
// reference.
constexpr uint32_t kSessionFields[] = {engine::kHeldRecordAt, engine::kOpenFlagsAt,
                                       engine::kOptionsAt, engine::kCurrentKeyAt};

void unlock_operations(ix_handle* handle) {
    unlock_byte(handle->os_handle, kOperationLockAt);
}

// Takes the header from the file again, but for this session's own fields.
// The trees work on their headers in the image, so it is refilled in place.
engine::Result reload_header(ix_handle* handle) {
    const uint32_t rest = handle->header_size - 16;
    std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[rest]);
    if (!fresh)
        return engine::kNoSpace;
    uint32_t got = 0;
    if (!handle->io.read_at(16, fresh.get(), rest, &got).ok() || got < rest)
        return engine::kIoError;
    for (const uint32_t at : kSessionFields)
        std::memcpy(fresh.get() + (at - 16), handle->image.get() + at, 4);
    std::memcpy(handle->image.get() + 16, fresh.get(), rest);
    return engine::kOk;
}

}  // namespace

namespace {

// Record locks lie in [kRecordLocksAt, kRecordLocksAt + kRecordLockSpan),
// one byte for each prime key's hash: past any data, below the operation
// lock. Two keys of one hash would lock each other out; at 2^60 places that
// does not happen in practice.
constexpr uint64_t kRecordLocksAt = uint64_t{1} << 60;
constexpr uint64_t kRecordLockSpan = uint64_t{1} << 60;

uint64_t record_lock_place(const unsigned char* key, size_t length) {
    uint64_t hash = 0xCBF29CE484222325u;  // FNV-1a
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ key[i]) * 0x100000001B3u;
    return kRecordLocksAt + hash % kRecordLockSpan;
}

}  // namespace

bool lock_byte(platform::HANDLE file, uint64_t at, platform::DWORD flags) {
    OVERLAPPED where;
    where.Offset = static_cast<uint32_t>(at);
    where.OffsetHigh = static_cast<uint32_t>(at >> 32);
    return platform::LockFileEx(file, flags, 0, 1, 0, &where) != 0;
}

void unlock_byte(platform::HANDLE file, uint64_t at) {
    OVERLAPPED where;
    where.Offset = static_cast<uint32_t>(at);
    where.OffsetHigh = static_cast<uint32_t>(at >> 32);
    platform::UnlockFileEx(file, 0, 1, 0, &where);
}

engine::Result claim_record_lock(ix_handle* handle, const unsigned char* prime) {
    if (!handle->shared || !handle->header().open_for_update())
        return engine::kOk;
    const FileHeader header = handle->header();
    const uint64_t at = record_lock_place(prime, static_cast<size_t>(header.key_length(0)));
    if (handle->locked_record == at)
        return engine::kOk;
    release_record_lock(handle);
    if (!lock_byte(handle->os_handle, at,
                   platform::LOCKFILE_EXCLUSIVE_LOCK | platform::LOCKFILE_FAIL_IMMEDIATELY)) {
        return platform::GetLastError() == platform::ERROR_LOCK_VIOLATION
                   ? engine::kLockViolation
                   : engine::map_windows_error(platform::GetLastError());
    }
    handle->locked_record = at;
    return engine::kOk;
}

bool holds_record_lock(const ix_handle* handle, const unsigned char* prime) {
    return handle->locked_record != 0 &&
           handle->locked_record ==
               record_lock_place(prime, static_cast<size_t>(handle->header().key_length(0)));
}

void release_record_lock(ix_handle* handle) {
    if (handle->locked_record == 0)
        return;
    unlock_byte(handle->os_handle, handle->locked_record);
    handle->locked_record = 0;
}

engine::Result wait_for_operations(platform::HANDLE file, bool exclusive) {
    const platform::DWORD flags =
        (exclusive ? platform::LOCKFILE_EXCLUSIVE_LOCK : 0) | platform::LOCKFILE_FAIL_IMMEDIATELY;
    platform::DWORD error = platform::ERROR_SUCCESS;
    const bool ended = platform::wait_for_lock([&] {
        error = lock_byte(file, kOperationLockAt, flags) ? platform::ERROR_SUCCESS
                                                         : platform::GetLastError();
        return error != platform::ERROR_LOCK_VIOLATION;
    });
    if (!ended)
        return engine::kSharingViolation;
    return error == platform::ERROR_SUCCESS ? engine::kOk : engine::map_windows_error(error);
}

engine::Result lock_shared_operations(ix_handle* handle, bool exclusive) {
    const platform::DWORD flags = exclusive ? platform::LOCKFILE_EXCLUSIVE_LOCK : 0;
    // An operation holds the lock for some microseconds: asking again a few
    // times, a moment apart, is cheaper than being put to sleep and woken.
    for (int attempt = 0; attempt < kLockAttemptsBeforeWaiting; ++attempt) {
        if (lock_byte(handle->os_handle, kOperationLockAt,
                      flags | platform::LOCKFILE_FAIL_IMMEDIATELY))
            return engine::kOk;
        if (platform::GetLastError() != platform::ERROR_LOCK_VIOLATION)
            return engine::map_windows_error(platform::GetLastError());
        for (int pause = 0; pause < 64; ++pause)
            cpu_pause();
    }
    // Then, for an operation stopped or a lock held on purpose, a bounded
    // wait.
    return wait_for_operations(handle->os_handle, exclusive);
}

namespace {

// The update marker and the change count, in one read.
engine::Result read_marker_and_count(ix_handle* handle, unsigned char (&words)[8]) {
    uint32_t got = 0;
    if (!handle->io.read_at(engine::kUpdateMarkerAt, words, sizeof words, &got).ok() ||
        got != sizeof words)
        return engine::kIoError;
    return engine::kOk;
}

// Takes back, through `io`, whose handle holds the exclusive operation
// lock, the change a dead process left (the marker is set and the count is
// `count`), and counts it as a change. 30 when the journal does not hold
// it: the file is then left to kvr rebuild.
engine::Result undo_change(engine::ChangeJournal* journal, const engine::FileChannel& io,
                           unsigned char (&words)[8]) {
    const uint32_t count = platform::load_u32(words + 4);
    bool undone = false;
    const engine::Result result = journal->undo(io, count, &undone);
    if (result != engine::kOk || !undone)
        return engine::kUnfinishedUpdate;
    platform::store_u32(words, 0);
    platform::store_u32(words + 4, count + 1);
    return engine::store_status(io.write_at(engine::kUpdateMarkerAt + 4, words + 4, 4));
}

}  // namespace

engine::Result take_back_dead_change(const char* file_name, unsigned char (&words)[8]) {
    engine::Result result = engine::kUnfinishedUpdate;
    const platform::HANDLE file =
        platform::CreateFileA(file_name, platform::GENERIC_READ | platform::GENERIC_WRITE,
                              platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                              platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == platform::INVALID_HANDLE_VALUE)
        return result;
    const engine::Result locked = wait_for_operations(file, true);
    if (locked == engine::kOk) {
        const engine::FileChannel io = engine::FileChannel::windows(file);
        uint32_t got = 0;
        if (io.read_at(engine::kUpdateMarkerAt, words, sizeof words, &got).ok() &&
            got == sizeof words) {
            engine::Result opened = engine::kOk;
            std::string why;
            if (platform::load_u32(words) != engine::kUpdateMarker) {
                result = engine::kOk;  // another handle took it back meanwhile
            } else if (auto journal =
                           engine::ChangeJournal::open(file_name, file, false, &opened, &why)) {
                result = undo_change(journal.get(), io, words);
            }
        }
        unlock_byte(file, kOperationLockAt);
    } else if (locked == engine::kSharingViolation) {
        result = locked;
    }
    platform::CloseHandle(file);
    return result;
}

namespace {

// A reader cannot write through its own handle: it takes the change back
// through a handle of its own (take_back_dead_change), when the file lets
// it; then it takes its shared lock again and reads the marker and the
// count afresh.
engine::Result undo_for_reader(ix_handle* handle, unsigned char (&words)[8]) {
    unlock_operations(handle);
    engine::Result result = take_back_dead_change(handle->path.c_str(), words);
    if (result != engine::kOk)
        return result;
    result = lock_shared_operations(handle, false);
    if (result == engine::kOk)
        result = read_marker_and_count(handle, words);
    if (result == engine::kOk && platform::load_u32(words) == engine::kUpdateMarker)
        result = engine::kUnfinishedUpdate;  // another process died meanwhile
    return result;
}

// A process died part-way through a change: it is taken back from the
// journal, under the exclusive lock, and counted as a change, so that every
// handle takes the file afresh. A journal that does not hold that change
// leaves the file to kvr rebuild.
engine::Result undo_dead_change(ix_handle* handle, bool* exclusive, unsigned char (&words)[8]) {
    if (!handle->journal)
        return undo_for_reader(handle, words);
    if (!*exclusive) {
        unlock_operations(handle);
        engine::Result result = lock_shared_operations(handle, true);
        if (result != engine::kOk)
            return result;
        *exclusive = true;
        result = read_marker_and_count(handle, words);
        if (result != engine::kOk || platform::load_u32(words) != engine::kUpdateMarker)
            return result;  // another handle took it back meanwhile
    }
    return undo_change(handle->journal.get(), handle->io, words);
}

}  // namespace

engine::Result begin_shared_operation(ix_handle* handle, bool changing) {
    engine::Result result = lock_shared_operations(handle, changing);
    if (result != engine::kOk)
        return result;
    unsigned char words[8];
    result = read_marker_and_count(handle, words);
    // Every change ends before the lock goes: a marker found under the lock
    // was left by a process that died part-way through a change.
    if (result == engine::kOk && platform::load_u32(words) == engine::kUpdateMarker &&
        !handle->marked)
        result = undo_dead_change(handle, &changing, words);
    if (result != engine::kOk) {
        unlock_operations(handle);
        return result;
    }
    const uint32_t count = platform::load_u32(words + 4);
    if (count != handle->change_count) {
        result = reload_header(handle);
        if (result != engine::kOk) {
            unlock_operations(handle);
            return result;
        }
        // What the data store keeps of the file's end and of the last
        // record read may be out of date too.
        store::restart_append_buffer(handle);
        handle->buffered_record_address = 0;
        if (handle->sequence_sets)
            store::forget_unchanged_sets(handle->sequence_sets.get());
        for (int i = 0; i < handle->open_trees; ++i)
            handle->tree(i)->others_changed();
        handle->change_count = count;
    }
    return engine::kOk;
}

// Writes the header of a change: all of it but the update marker and the
// change count, then those two words in one write, so that the marker goes
// only once the rest is in the file.
engine::Result write_changed_header(ix_handle* handle) {
    const unsigned char* image = handle->image.get();
    constexpr uint32_t kWordsAt = engine::kUpdateMarkerAt;
    engine::Result result = engine::store_status(handle->io.write_at(0, image, kWordsAt));
    if (result == engine::kOk)
        result = engine::store_status(handle->io.write_at(kWordsAt + 8, image + kWordsAt + 8,
                                                          handle->header_size - kWordsAt - 8));
    if (result == engine::kOk)
        result = engine::store_status(handle->io.write_at(kWordsAt, image + kWordsAt, 8));
    return result;
}

namespace {

// A change that failed part-way is taken back whole from the journal, the
// header's marker and count with it, and counted as a change; the handle
// forgets what it kept of the failed change and takes the file afresh.
// When that cannot be done the marker stays, with the count the change
// began at, for the next handle to take the change back; this handle gets
// 30 from then on.
void take_back_failed_change(ix_handle* handle) {
    bool undone = false;
    if (handle->journal->undo(handle->io, handle->change_count, &undone) == engine::kOk && undone) {
        unsigned char count[4];
        platform::store_u32(count, handle->change_count + 1);
        if (handle->io.write_at(engine::kUpdateMarkerAt + 4, count, 4).ok()) {
            handle->unsound = false;
            handle->marked = false;
        }
    }
    // The count has moved past the handle's: its next operation takes the
    // header afresh.
    forget_what_it_keeps(handle);
}

}  // namespace

void forget_what_it_keeps(ix_handle* handle) {
    for (int i = 0; i < handle->open_trees; ++i)
        handle->tree(i)->drop_cached_pages();
    if (handle->sequence_sets)
        store::forget_all_sets(handle->sequence_sets.get());
    store::restart_append_buffer(handle);
    handle->buffered_record_address = 0;
}

engine::Result finish_shared_change(ix_handle* handle, bool changing, engine::Result result) {
    if (changing && handle->marked) {
        if (!handle->unsound) {
            FileHeader header = handle->header();
            header.set_change_count(handle->change_count + 1);
            header.set_update_marker(0);
            const engine::Result written = write_changed_header(handle);
            if (written == engine::kOk) {
                ++handle->change_count;
                handle->marked = false;
            } else {
                header.set_change_count(handle->change_count);
                header.set_update_marker(engine::kUpdateMarker);
                handle->unsound = true;
                if (result == engine::kOk || result == engine::kDuplicateFollows)
                    result = written;
            }
        }
        if (handle->unsound)
            take_back_failed_change(handle);
    }
    if (handle->journal)
        handle->journal->end();
    return result;
}

void end_shared_operation(ix_handle* handle) {
    unlock_operations(handle);
}

}  // namespace kvr::isam
