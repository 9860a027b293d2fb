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
// ".kvrj" added): a 56-byte head naming the change (the file's change count
// when it began, the file's size then, a number drawn for the change, and
// the machine's boot, so that nothing is undone after a crash of the
// machine, from which a journal never forced to disk may come back in part),
// then one entry per saved range: a 24-byte head (mark, the change's number,
// offset, length, a check of the head) and the bytes, written before the
// head. Entries are only believed while they name the change the head names
// and check out, so a journal cut short by the death of its writer, or left
// over from earlier changes, puts back only what was saved whole for the
// change that died.
//
// The journal protects against the death of a process, whose writes the
// operating system keeps; after a machine crash the file's marker sends it
// to kvr rebuild as before. A journal is only ever believed by the change
// count it names and its checks; an update open that holds the file alone
// removes any journal left beside it (once the change it holds, if any, is
// taken back), since no sharer can be using it.
#ifndef KVR_ENGINE_CHANGE_JOURNAL_H
#define KVR_ENGINE_CHANGE_JOURNAL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/results.h"
#include "platform/windows_file.h"

namespace kvr::engine {

class FileChannel;
struct IoOutcome;

class ChangeJournal {
public:
    // Opens the journal of data_file, making it when there is none (unless
    // `make` is false). Null when that fails; *result says why.
    static std::unique_ptr<ChangeJournal> open(const char* data_file, Result* result,
                                               bool make = true);
    ~ChangeJournal();
    ChangeJournal(const ChangeJournal&) = delete;
    ChangeJournal& operator=(const ChangeJournal&) = delete;

    // A change of a file of file_size bytes whose change count is `change`
    // begins: the journal's head names it, and writes are saved until end.
    Result begin(uint32_t change, uint32_t file_size);
    void end() { active_ = false; }
    bool active() const { return active_; }

    // Saves what the file holds in [offset, offset + count), as far as it
    // lies below the size the change began with, read through `file` (whose
    // position this moves).
    IoOutcome save(const FileChannel& file, uint32_t offset, uint32_t count);

    // When the journal holds the change that began at change count
    // `change`, puts the bytes it saved back into `file`, newest first, and
    // cuts the file to the size it had then; *undone tells whether it did.
    Result undo(const FileChannel& file, uint32_t change, bool* undone);

    // Closes the journal and removes its file.
    void remove();
    // Removes the journal of data_file, if any (the file must be held
    // alone).
    static void remove_stale(const char* data_file);

private:
    ChangeJournal(platform::HANDLE file, std::string path, std::string boot)
        : file_(file), path_(std::move(path)), boot_(std::move(boot)) {}
    bool write_at(uint32_t offset, const void* bytes, uint32_t count);
    bool read_at(uint32_t offset, void* bytes, uint32_t count);

    platform::HANDLE file_;
    std::string path_;
    bool active_ = false;
    uint32_t size_ = 0;  // the data file's size when the change began
    uint64_t number_ = 0;
    uint64_t changes_ = 0;              // changes begun through this journal
    std::string boot_;                  // the machine's boot id, read at open
    uint32_t next_at_ = 0;              // where the next entry goes
    std::vector<unsigned char> entry_;  // the entry being saved
};

}  // namespace kvr::engine

#endif
