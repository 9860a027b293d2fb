// What sharing adds to an open indexed file, in one place.
//
// A file opened with IX_MODE_SHARED is read and updated by several handles,
// in this process and in others. Each operation runs under a lock on one byte
// far past the file's data (kSharedOperationLockAt): shared while it reads,
// exclusive while it changes. A change is on disk (the trees write their
// pages as they change them, the header follows at the end) before the lock
// goes, and the header's change count tells every other handle that what it
// keeps of the header is out of date. A shared update handle also keeps the
// file's change journal (engine/change_journal.h), so that a change it dies
// in part-way can be taken back by the next handle to take the lock.
//
// A SharedSession is that state of one shared handle: the journal, the
// change count as the handle last saw it, the lock it holds on one record,
// an operation group it holds the lock for. The exclusive path meets it at
// two seams only: OpenSharing, which an open goes through whatever its mode
// (an exclusive open takes back a change a dead sharer left, and an exclusive
// update open removes a journal nobody uses), and SharedSession::run, through
// which the dispatcher runs a shared handle's operations.
#ifndef KVR_ENGINE_ISAM_SHARED_SESSION_H
#define KVR_ENGINE_ISAM_SHARED_SESSION_H

#include <cstdint>
#include <memory>
#include <string>

#include "engine/change_journal.h"
#include "engine/file_channel.h"
#include "engine/file_header.h"
#include "engine/results.h"

struct ix_handle;

namespace kvr::isam {

// The byte whose lock stands for a shared file's operations.
inline constexpr uint64_t kSharedOperationLockAt = uint64_t{1} << 61;

class SharedSession {
public:
    explicit SharedSession(std::unique_ptr<engine::ChangeJournal> journal)
        : journal_(std::move(journal)) {}
    SharedSession(const SharedSession&) = delete;
    SharedSession& operator=(const SharedSession&) = delete;

    // Runs one operation of a shared handle (*slot) under the file's
    // operation lock, exclusive for a change: first, when another handle
    // changed the file since, the header and what the data store and the
    // trees keep of the file are taken afresh (a change a dead process left
    // is taken back first); after a change, it is put on disk and counted,
    // or taken back when it failed. IX_BEGIN_GROUP and IX_END_GROUP hold
    // the lock across operations. `body` runs the operation itself; after a
    // close that released the handle nothing of the session is touched.
    template <typename Body>
    static engine::Result run(ix_handle** slot, int opcode, uint8_t selector, Body&& body);

    // Record locks of shared handles open for update, one record at a time:
    // a lock on a byte of its own for each prime key, which other handles'
    // reads with IX_HOLD_RECORD, REWRITEs and DELETEs cannot take (17) while
    // it is held. Claiming gives up the lock on any other record first.
    engine::Result claim_record(const ix_handle& handle, const unsigned char* prime);
    void release_record(const ix_handle& handle);
    bool holds_record(const ix_handle& handle, const unsigned char* prime) const;

    // The first change of a session begins: the journal's head names it,
    // with the file as it is now.
    engine::Result begin_change(ix_handle& handle);
    // The handle closes: the last shared update handle removes the journal,
    // while it still holds the operation lock, but not while its own change,
    // which it could not take back, stays marked in the file (the next
    // handle takes it back from the journal).
    void close(const ix_handle& handle);

    // Takes back, through a handle of its own opened for writing and under
    // the exclusive operation lock, the change a process died in part-way
    // through (the file's update marker is set), from the file's journal,
    // and counts it as a change; `words` receives the marker and the count
    // as they are then. 0 when no such change is left in the file; 30 when
    // the file cannot be opened for writing or its journal does not hold
    // that change; 18 when another handle held the operation lock for
    // longer than the lock wait limit.
    static engine::Result take_back_dead_change(const char* file_name, unsigned char (&words)[8]);

private:
    friend class OpenSharing;

    // How an operation passes the lock: kDone, it was answered (result)
    // without running; kBare, it runs without the lock (a close of a handle
    // whose failed change could not be taken back); kLocked, under it.
    struct Entry {
        enum Kind { kDone, kBare, kLocked } kind = kDone;
        engine::Result result = engine::kOk;
        bool changing = false;
        bool grouped = false;
    };
    static Entry enter(ix_handle& handle, int opcode, uint8_t selector);
    static engine::Result leave(ix_handle& handle, int opcode, const Entry& entry,
                                engine::Result result);

    engine::Result begin_operation(ix_handle& handle, bool changing);
    engine::Result finish_change(ix_handle& handle, bool changing, engine::Result result);
    void end_operation(const ix_handle& handle);
    engine::Result lock_operations(const ix_handle& handle, bool exclusive);
    engine::Result undo_dead_change(ix_handle& handle, bool* exclusive, unsigned char (&words)[8]);
    engine::Result undo_for_reader(ix_handle& handle, unsigned char (&words)[8]);
    engine::Result write_changed_header(ix_handle& handle);
    void take_back_failed_change(ix_handle& handle);

    // A shared update handle's change journal; null for a reader.
    std::unique_ptr<engine::ChangeJournal> journal_;
    // The file's whole path: a reader opens the file once more, to write,
    // when it must take back a change whose process died.
    std::string path_;
    // The header's change count as this handle last saw it.
    uint32_t change_count_ = 0;
    // The byte of the record lock this handle holds; 0 when none.
    uint64_t locked_record_ = 0;
    // IX_BEGIN_GROUP holds the operation lock until IX_END_GROUP.
    bool group_held_ = false;
    bool group_for_changes_ = false;
};

// What an open does about sharing, whatever its mode; open_file calls it at
// four points and has no other sharing step of its own.
// - before_open: an open that is neither a shared update nor one that
//   accepts a file left unfinished (the tools' inspection) first takes back
//   a change a process died in part-way through a shared update, through a
//   handle of its own, as a sharer would (a shared update open does it
//   through its own journal). When the journal does not hold the change,
//   the marker refuses the open as before.
// - file_opened: a shared open takes the operation lock (exclusive for an
//   update) while it reads the header and makes a new tree's first page; a
//   shared update open makes or opens the journal, journals every write of
//   `io` from now on, and takes back a dead change first.
// - header_accepted: an exclusive update open removes a journal of this
//   library left beside the file: no sharer uses it, and the file holds no
//   change it could take back.
// - attach: a shared open hands the handle its session; a shared update
//   counts a change (a tree's first page may have been made) and writes the
//   header, so that the others take it afresh. The lock goes.
// An open that fails removes the journal it made, unless it holds a change
// this open could not take back.
class OpenSharing {
public:
    OpenSharing(const char* file_name, bool shared, bool update, bool accepts_unfinished)
        : file_name_(file_name),
          shared_(shared),
          update_(update),
          accepts_unfinished_(accepts_unfinished) {}
    ~OpenSharing();
    OpenSharing(const OpenSharing&) = delete;
    OpenSharing& operator=(const OpenSharing&) = delete;

    bool shared() const { return shared_; }

    void before_open() const;
    engine::Result file_opened(engine::FileChannel* io);
    engine::Result header_accepted() const;
    engine::Result attach(ix_handle& handle);

private:
    const char* file_name_;
    bool shared_;
    bool update_;
    bool accepts_unfinished_;
    std::unique_ptr<SharedSession> session_;
    bool keep_journal_ = false;
};

template <typename Body>
engine::Result SharedSession::run(ix_handle** slot, int opcode, uint8_t selector, Body&& body) {
    ix_handle& handle = **slot;
    const Entry entry = enter(handle, opcode, selector);
    if (entry.kind == Entry::kDone)
        return entry.result;
    const engine::Result result = body();
    if (entry.kind == Entry::kBare || *slot == nullptr)
        return result;
    return leave(handle, opcode, entry, result);
}

}  // namespace kvr::isam

#endif  // KVR_ENGINE_ISAM_SHARED_SESSION_H
