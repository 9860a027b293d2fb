// The change journal of a file several processes update at once. While one
// of them changes the file (under the file's exclusive operation lock), every
// write first saves, in the journal, the bytes it is about to overwrite. A
// process that dies part-way through a change leaves the file's update
// marker set; the next process to take the operation lock finds it, puts the
// saved bytes back, newest first, and cuts off what the change appended, so
// the file is exactly as it was before that change began and the others go
// on.
//
// The journal is a file of its own beside the data file (its name with
// ".kvrj" added): an 80-byte head, then one entry per saved range.
//
//   head                                   entry: a 24-byte head, then the bytes
//    0  4 "KVRJ"                             0  4 "KVRE"
//    4  4 the file's change count when       4  8 the change's number
//         the change began                  12  4 offset in the file
//    8  4 the file's size then              16  4 length
//   12  4 bytes of the file's start the     20  4 FNV-1a of bytes 0..19
//         check at 72 covers
//   16  8 the change's number (0: the
//         journal holds no change)
//   24 32 the machine's boot id
//   56  8 the data file's device
//   64  8 the data file's inode
//   72  4 check of the file's first bytes (as many as at 12) when the
//         change began: 64-bit FNV-1a steps over 8-byte little-endian
//         words, then over the bytes left, high half xor low half
//   76  4 FNV-1a of bytes 0..75
//
// The head is written when the journal is made (naming no change) and again
// as each change begins. An entry's bytes are written before its head.
// Entries are only believed while they name the change the head names and
// check out, so a journal cut short by the death of its writer, or left
// over from earlier changes, puts back only what was saved whole for the
// change that died.
//
// A journal is a way into the file it lies beside, so nothing beside a file
// is believed, written or removed unless it is this library's journal of
// that very file and could only have been made by someone who may write the
// file:
// - it is made new (never through a symbolic link) with the data file's
//   permission bits and group (and owner, where the process may give a file
//   away), so that no one who may not use the data file can read it;
// - one found there is used only when it is a regular file of one name,
//   owned by the data file's owner, the user running the program, the
//   superuser or a user the file's permissions let write it, no wider in
//   its permissions than the data file, and begins with a sound head (or
//   is empty: its maker died before it wrote the head);
// - a change is taken back only when the head names this file (device and
//   inode), this boot, the change count on disk, and the file's first bytes
//   as they were when the change began: a file changed since by another
//   program is left alone, its journal with it, for kvr rebuild;
// - a file of the journal's name that is not a journal of this library
//   (a user's own file) is never removed or written.
//
// The journal protects against the death of a process, whose writes the
// operating system keeps; after a machine crash the file's marker sends it
// to kvr rebuild as before. An update open that holds the file alone
// removes a journal of this library left beside it, once the change it
// holds, if any, is taken back, since no sharer can be using it.
#ifndef KVR_ENGINE_CHANGE_JOURNAL_H
#define KVR_ENGINE_CHANGE_JOURNAL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/file_channel.h"
#include "engine/results.h"
#include "platform/windows_file.h"

namespace kvr::engine {

class ChangeJournal {
public:
    // Opens the journal of data_file, open as `data`, making it
    // when there is none and `make` is set. Null when there is none, or when
    // the file there may not be used (*result 15, *why says why in words),
    // or when the system refuses (*result says why).
    static std::unique_ptr<ChangeJournal> open(const char* data_file, const FileChannel& data,
                                               bool make, Result* result, std::string* why);
    ~ChangeJournal();
    ChangeJournal(const ChangeJournal&) = delete;
    ChangeJournal& operator=(const ChangeJournal&) = delete;

    // A change of a file of file_size bytes whose change count is `change`
    // begins: the journal's head names it, with a check of the file's first
    // bytes read through `file`, and writes are saved until end.
    Result begin(const FileChannel& file, uint32_t change, uint32_t file_size);
    void end() { active_ = false; }
    bool active() const { return active_; }

    // Saves what the file holds in [offset, offset + count), as far as it
    // lies below the size the change began with, read through `file` (whose
    // position this moves).
    IoOutcome save(const FileChannel& file, uint32_t offset, uint32_t count);

    // When the journal holds the change of this file that began at change
    // count `change`, and the file is still as that change left it, puts
    // the bytes it saved back into `file`, newest first, and cuts the file
    // to the size it had then; *undone tells whether it did. Otherwise
    // nothing is written, and *why (when not null) says why in words.
    Result undo(const FileChannel& file, uint32_t change, bool* undone, std::string* why = nullptr);

    // Closes the journal and removes its file, when the name still leads
    // to it and no other handle has it open.
    void remove();
    // Removes the journal beside data_file, when it is one of this
    // library's (the data file must be held alone, and hold no change the
    // journal is needed for). A failure to look at it is the result.
    static Result remove_stale(const char* data_file);
    // What lies beside data_file under the journal's name, in words, for
    // the tools and for an OPEN that failed: empty when nothing does, or a
    // journal this library would use; otherwise why it is left alone.
    static std::string problem(const char* data_file);

private:
    ChangeJournal(const FileChannel& file, std::string path, std::string boot,
                  const platform::FileIdentity& data)
        : file_(file), path_(std::move(path)), boot_(std::move(boot)), data_(data) {}
    bool write_at(uint32_t offset, const void* bytes, uint32_t count);
    bool read_at(uint32_t offset, void* bytes, uint32_t count);
    // Writes a head naming the change `number` (0: none).
    bool write_head(uint32_t change, uint32_t file_size, uint32_t checked, uint32_t check);

    FileChannel file_;
    std::string path_;
    bool active_ = false;
    uint32_t size_ = 0;  // the data file's size when the change began
    uint64_t number_ = 0;
    uint64_t changes_ = 0;              // changes begun through this journal
    std::string boot_;                  // the machine's boot id, read at open
    platform::FileIdentity data_{};     // the data file's, at open
    uint32_t next_at_ = 0;              // where the next entry goes
    std::vector<unsigned char> entry_;  // the entry being saved
};

}  // namespace kvr::engine

#endif
