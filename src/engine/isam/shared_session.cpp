// Shared opens: the operation lock, the header taken afresh when the change
// count moved, the finish of a change, dead changes taken back from the
// journal, and record locks. The trees of a shared open write every page
// they change at once, and take their root afresh, forgetting the pages they
// kept, only when the count has moved, as the block format's pool of
// sequence sets forgets the sets it kept.
#include "engine/isam/shared_session.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "engine/file_channel.h"
#include "engine/isam/ix_handle.h"
#include "engine/store/sequence_set_pool.h"
#include "engine/store/store.h"
#include "platform/coding.h"
#include "platform/crt_file.h"
#include "platform/lock_wait.h"
#include "platform/windows_file.h"
#include "vmqrmkvr/isam.h"

namespace kvr::isam {

namespace {

using engine::FileHeader;

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

// Takes the header from the file again, but for this session's own fields.
// The trees work on their headers in the image, so it is refilled in place.
engine::Result reload_header(ix_handle& handle) {
    const uint32_t rest = handle.header_size - 16;
    std::unique_ptr<unsigned char[]> fresh(new (std::nothrow) unsigned char[rest]);
    if (!fresh)
        return engine::kNoSpace;
    uint32_t got = 0;
    if (!handle.io.read_at(16, fresh.get(), rest, &got).ok() || got < rest)
        return engine::kIoError;
    for (const uint32_t at : kSessionFields)
        std::memcpy(fresh.get() + (at - 16), handle.image.get() + at, 4);
    std::memcpy(handle.image.get() + 16, fresh.get(), rest);
    return engine::kOk;
}

// Forgets, unwritten, every page, set and buffered record the handle keeps.
void forget_what_it_keeps(ix_handle& handle) {
    for (int i = 0; i < handle.open_trees; ++i)
        handle.tree(i)->drop_cached_pages();
    if (handle.sequence_sets)
        store::forget_all_sets(handle.sequence_sets.get());
    store::restart_append_buffer(&handle);
    handle.buffered_record_address = 0;
}

// What the data store and the trees keep of the file may be out of date
// once another handle changed it: the file's end, the last record read,
// the sets and the trees' roots.
void forget_what_others_changed(ix_handle& handle) {
    store::restart_append_buffer(&handle);
    handle.buffered_record_address = 0;
    if (handle.sequence_sets)
        store::forget_unchanged_sets(handle.sequence_sets.get());
    for (int i = 0; i < handle.open_trees; ++i)
        handle.tree(i)->others_changed();
}

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

uint64_t record_lock_of(const ix_handle& handle, const unsigned char* prime) {
    return record_lock_place(prime, static_cast<size_t>(handle.header().key_length(0)));
}

// The operation lock of the file open as `file`, shared or exclusive,
// waited for at most the lock wait limit (platform/lock_wait.h): 18 when
// another handle held it all that time.
engine::Result wait_for_operations(const engine::FileChannel& file, bool exclusive) {
    const platform::DWORD flags =
        (exclusive ? platform::LOCKFILE_EXCLUSIVE_LOCK : 0) | platform::LOCKFILE_FAIL_IMMEDIATELY;
    platform::DWORD error = platform::ERROR_SUCCESS;
    const bool ended = platform::wait_for_lock([&] {
        error = file.lock_byte(kOperationLockAt, flags).windows_error;
        return error != platform::ERROR_LOCK_VIOLATION;
    });
    if (!ended)
        return engine::kSharingViolation;
    return error == platform::ERROR_SUCCESS ? engine::kOk : engine::map_windows_error(error);
}

// The update marker and the change count, in one read.
engine::Result read_marker_and_count(const engine::FileChannel& io, unsigned char (&words)[8]) {
    uint32_t got = 0;
    if (!io.read_at(engine::kUpdateMarkerAt, words, sizeof words, &got).ok() || got != sizeof words)
        return engine::kIoError;
    return engine::kOk;
}

bool is_marked(const unsigned char (&words)[8]) {
    return platform::load_u32(words) == engine::kUpdateMarker;
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

engine::Result SharedSession::claim_record(const ix_handle& handle, const unsigned char* prime) {
    if (!handle.header().open_for_update())
        return engine::kOk;
    const uint64_t at = record_lock_of(handle, prime);
    if (locked_record_ == at)
        return engine::kOk;
    release_record(handle);
    const engine::IoOutcome locked = handle.io.lock_byte(
        at, platform::LOCKFILE_EXCLUSIVE_LOCK | platform::LOCKFILE_FAIL_IMMEDIATELY);
    if (!locked.ok()) {
        return locked.windows_error == platform::ERROR_LOCK_VIOLATION
                   ? engine::kLockViolation
                   : engine::map_windows_error(locked.windows_error);
    }
    locked_record_ = at;
    return engine::kOk;
}

bool SharedSession::holds_record(const ix_handle& handle, const unsigned char* prime) const {
    return locked_record_ != 0 && locked_record_ == record_lock_of(handle, prime);
}

void SharedSession::release_record(const ix_handle& handle) {
    if (locked_record_ == 0)
        return;
    handle.io.unlock_byte(locked_record_);
    locked_record_ = 0;
}

engine::Result SharedSession::lock_operations(const ix_handle& handle, bool exclusive) {
    const platform::DWORD flags = exclusive ? platform::LOCKFILE_EXCLUSIVE_LOCK : 0;
    // An operation holds the lock for some microseconds: asking again a few
    // times, a moment apart, is cheaper than being put to sleep and woken.
    for (int attempt = 0; attempt < kLockAttemptsBeforeWaiting; ++attempt) {
        const engine::IoOutcome locked =
            handle.io.lock_byte(kOperationLockAt, flags | platform::LOCKFILE_FAIL_IMMEDIATELY);
        if (locked.ok())
            return engine::kOk;
        if (locked.windows_error != platform::ERROR_LOCK_VIOLATION)
            return engine::map_windows_error(locked.windows_error);
        for (int pause = 0; pause < 64; ++pause)
            cpu_pause();
    }
    // Then, for an operation stopped or a lock held on purpose, a bounded
    // wait.
    return wait_for_operations(handle.io, exclusive);
}

void SharedSession::end_operation(const ix_handle& handle) {
    handle.io.unlock_byte(kOperationLockAt);
}

engine::Result SharedSession::take_back_dead_change(const char* file_name,
                                                    unsigned char (&words)[8]) {
    engine::Result result = engine::kUnfinishedUpdate;
    engine::FileChannel io;
    if (!engine::FileChannel::open(file_name, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                   platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                   platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL, &io)
             .ok())
        return result;
    const engine::Result locked = wait_for_operations(io, true);
    if (locked == engine::kOk) {
        if (read_marker_and_count(io, words) == engine::kOk) {
            engine::Result opened = engine::kOk;
            std::string why;
            if (!is_marked(words)) {
                result = engine::kOk;  // another handle took it back meanwhile
            } else if (auto journal =
                           engine::ChangeJournal::open(file_name, io, false, &opened, &why)) {
                result = undo_change(journal.get(), io, words);
            }
        }
        io.unlock_byte(kOperationLockAt);
    } else if (locked == engine::kSharingViolation) {
        result = locked;
    }
    io.close();
    return result;
}

// A reader cannot write through its own handle: it takes the change back
// through a handle of its own (take_back_dead_change), when the file lets
// it; then it takes its shared lock again and reads the marker and the
// count afresh.
engine::Result SharedSession::undo_for_reader(ix_handle& handle, unsigned char (&words)[8]) {
    end_operation(handle);
    engine::Result result = take_back_dead_change(path_.c_str(), words);
    if (result != engine::kOk)
        return result;
    result = lock_operations(handle, false);
    if (result == engine::kOk)
        result = read_marker_and_count(handle.io, words);
    if (result == engine::kOk && is_marked(words))
        result = engine::kUnfinishedUpdate;  // another process died meanwhile
    return result;
}

// A process died part-way through a change: it is taken back from the
// journal, under the exclusive lock, and counted as a change, so that every
// handle takes the file afresh. A journal that does not hold that change
// leaves the file to kvr rebuild.
engine::Result SharedSession::undo_dead_change(ix_handle& handle, bool* exclusive,
                                               unsigned char (&words)[8]) {
    if (!journal_)
        return undo_for_reader(handle, words);
    if (!*exclusive) {
        end_operation(handle);
        engine::Result result = lock_operations(handle, true);
        if (result != engine::kOk)
            return result;
        *exclusive = true;
        result = read_marker_and_count(handle.io, words);
        if (result != engine::kOk || !is_marked(words))
            return result;  // another handle took it back meanwhile
    }
    return undo_change(journal_.get(), handle.io, words);
}

engine::Result SharedSession::begin_operation(ix_handle& handle, bool changing) {
    engine::Result result = lock_operations(handle, changing);
    if (result != engine::kOk)
        return result;
    unsigned char words[8];
    result = read_marker_and_count(handle.io, words);
    // Every change ends before the lock goes: a marker found under the lock
    // was left by a process that died part-way through a change.
    if (result == engine::kOk && is_marked(words) && !handle.marked)
        result = undo_dead_change(handle, &changing, words);
    if (result == engine::kOk && platform::load_u32(words + 4) != change_count_) {
        result = reload_header(handle);
        if (result == engine::kOk) {
            forget_what_others_changed(handle);
            change_count_ = platform::load_u32(words + 4);
        }
    }
    if (result != engine::kOk)
        end_operation(handle);
    return result;
}

// Writes the header of a change: all of it but the update marker and the
// change count, then those two words in one write, so that the marker goes
// only once the rest is in the file.
engine::Result SharedSession::write_changed_header(ix_handle& handle) {
    const unsigned char* image = handle.image.get();
    constexpr uint32_t kWordsAt = engine::kUpdateMarkerAt;
    engine::Result result = engine::store_status(handle.io.write_at(0, image, kWordsAt));
    if (result == engine::kOk)
        result = engine::store_status(handle.io.write_at(kWordsAt + 8, image + kWordsAt + 8,
                                                         handle.header_size - kWordsAt - 8));
    if (result == engine::kOk)
        result = engine::store_status(handle.io.write_at(kWordsAt, image + kWordsAt, 8));
    return result;
}

// A change that failed part-way is taken back whole from the journal, the
// header's marker and count with it, and counted as a change; the handle
// forgets what it kept of the failed change and takes the file afresh.
// When that cannot be done the marker stays, with the count the change
// began at, for the next handle to take the change back; this handle gets
// 30 from then on.
void SharedSession::take_back_failed_change(ix_handle& handle) {
    bool undone = false;
    if (journal_->undo(handle.io, change_count_, &undone) == engine::kOk && undone) {
        unsigned char count[4];
        platform::store_u32(count, change_count_ + 1);
        if (handle.io.write_at(engine::kUpdateMarkerAt + 4, count, 4).ok()) {
            handle.unsound = false;
            handle.marked = false;
        }
    }
    // The count has moved past the handle's: its next operation takes the
    // header afresh.
    forget_what_it_keeps(handle);
}

engine::Result SharedSession::finish_change(ix_handle& handle, bool changing,
                                            engine::Result result) {
    if (changing && handle.marked) {
        if (!handle.unsound) {
            FileHeader header = handle.header();
            header.set_change_count(change_count_ + 1);
            header.set_update_marker(0);
            const engine::Result written = write_changed_header(handle);
            if (written == engine::kOk) {
                ++change_count_;
                handle.marked = false;
            } else {
                header.set_change_count(change_count_);
                header.set_update_marker(engine::kUpdateMarker);
                handle.unsound = true;
                if (result == engine::kOk || result == engine::kDuplicateFollows)
                    result = written;
            }
        }
        if (handle.unsound)
            take_back_failed_change(handle);
    }
    if (journal_)
        journal_->end();
    return result;
}

engine::Result SharedSession::begin_change(ix_handle& handle) {
    if (!journal_)
        return engine::kOk;
    // The change journalled begins here, with the file as it is now.
    uint32_t end = 0;
    const engine::Result begun = engine::store_status(handle.io.seek_end(&end));
    return begun == engine::kOk ? journal_->begin(handle.io, change_count_, end) : begun;
}

void SharedSession::close(const ix_handle& handle) {
    if (journal_ && !handle.marked)
        journal_->remove();
}

SharedSession::Entry SharedSession::enter(ix_handle& handle, int opcode, uint8_t selector) {
    SharedSession& session = *handle.sharing;
    if (opcode == IX_END_GROUP) {
        if (session.group_held_) {
            session.group_held_ = false;
            session.end_operation(handle);
        }
        return {};
    }
    // A change of this shared handle's failed and could not be taken back:
    // the next handle to take the lock does that, and this one is done for.
    // It has forgotten what it kept, so its close writes nothing.
    if (handle.unsound)
        return opcode == IX_CLOSE ? Entry{Entry::kBare}
                                  : Entry{Entry::kDone, engine::kUnfinishedUpdate};
    if (opcode == IX_BEGIN_GROUP) {
        if (session.group_held_)
            return {Entry::kDone, engine::kBadOpcode};
        const engine::Result result = session.begin_operation(handle, selector == 1);
        session.group_held_ = result == engine::kOk;
        session.group_for_changes_ = selector == 1;
        return {Entry::kDone, result};
    }
    // Close writes the header too, so it takes the lock as a change does
    // (and gives it up with the handle). Inside a group the group's hold
    // serves.
    Entry entry{Entry::kLocked};
    entry.changing = opcode == IX_WRITE || opcode == IX_REWRITE || opcode == IX_DELETE ||
                     (opcode == IX_CLOSE && handle.header().open_for_update());
    entry.grouped = session.group_held_;
    if (entry.grouped && entry.changing && !session.group_for_changes_)
        return {Entry::kDone, engine::kBadOpcode};
    if (!entry.grouped) {
        entry.result = session.begin_operation(handle, entry.changing);
        if (entry.result != engine::kOk)
            entry.kind = Entry::kDone;
    }
    return entry;
}

engine::Result SharedSession::leave(ix_handle& handle, int opcode, const Entry& entry,
                                    engine::Result result) {
    SharedSession& session = *handle.sharing;
    result = session.finish_change(handle, entry.changing && opcode != IX_CLOSE, result);
    if (!entry.grouped)
        session.end_operation(handle);
    return result;
}

engine::Result claim_record_lock(ix_handle* handle, const unsigned char* prime) {
    return handle->sharing ? handle->sharing->claim_record(*handle, prime) : engine::kOk;
}

void release_record_lock(ix_handle* handle) {
    if (handle->sharing)
        handle->sharing->release_record(*handle);
}

bool holds_record_lock(const ix_handle* handle, const unsigned char* prime) {
    return handle->sharing && handle->sharing->holds_record(*handle, prime);
}

OpenSharing::~OpenSharing() {
    if (session_ && session_->journal_ && !keep_journal_)
        session_->journal_->remove();
}

void OpenSharing::before_open() const {
    if ((shared_ && update_) || accepts_unfinished_ ||
        platform::_access((std::string(file_name_) + ".kvrj").c_str(), 0) != 0)
        return;
    unsigned char words[8];
    SharedSession::take_back_dead_change(file_name_, words);
}

engine::Result OpenSharing::file_opened(engine::FileChannel* io) {
    if (!shared_)
        return engine::kOk;
    if (const engine::Result locked = wait_for_operations(*io, update_); locked != engine::kOk)
        return locked;
    std::unique_ptr<engine::ChangeJournal> journal;
    if (update_) {
        engine::Result result = engine::kOk;
        std::string refused;
        journal = engine::ChangeJournal::open(file_name_, *io, true, &result, &refused);
        if (!journal)
            return result;
        io->set_journal(journal.get());
    }
    session_.reset(new (std::nothrow) SharedSession(std::move(journal)));
    if (!session_)
        return engine::kNoSpace;
    // A process that died part-way through a change is the last to have
    // used the file: the change is taken back before the header is read. A
    // journal that does not hold it leaves the file refused, as the
    // header's marker says.
    unsigned char words[8];
    if (session_->journal_ && read_marker_and_count(*io, words) == engine::kOk &&
        is_marked(words)) {
        bool undone = false;
        session_->journal_->undo(*io, platform::load_u32(words + 4), &undone);
        keep_journal_ = !undone;
    }
    return engine::kOk;
}

engine::Result OpenSharing::header_accepted() const {
    if (!update_ || shared_)
        return engine::kOk;
    return engine::ChangeJournal::remove_stale(file_name_);
}

engine::Result OpenSharing::attach(ix_handle& handle) {
    if (!session_)
        return engine::kOk;
    SharedSession& session = *session_;
    // The whole path, so that a program that changes its directory still
    // finds the file when it must take a dead change back.
    if (char* whole = ::realpath(file_name_, nullptr)) {
        session.path_ = whole;
        std::free(whole);
    } else {
        session.path_ = file_name_;
    }
    FileHeader header = handle.header();
    session.change_count_ = header.change_count();
    if (update_) {
        // A tree's first page may have been made: the others take the
        // header afresh.
        header.set_change_count(session.change_count_ + 1);
        const engine::Result written =
            engine::store_status(handle.io.write_at(0, handle.image.get(), handle.header_size));
        if (written != engine::kOk) {
            header.set_change_count(session.change_count_);
            return written;
        }
        ++session.change_count_;
    }
    handle.io.unlock_byte(kOperationLockAt);
    handle.sharing = std::move(session_);
    return engine::kOk;
}

}  // namespace kvr::isam
