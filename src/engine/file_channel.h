// The two paths the indexed engine, its trees and its data store use for
// file I/O: the Windows file calls on a HANDLE, or the C-runtime calls on a
// descriptor. A FileChannel is a small value naming the open file and the
// path; it does not own the file (open makes one, close ends it, and the
// copies the trees and the store hold are only used in between). Each call
// reports what happened in an IoOutcome, which every layer turns into its
// own status with one mapping. The engine's I/O on its data files goes
// through here and nowhere else: opening, positioned reads and writes,
// cutting, the byte locks of shared files, and closing.
#ifndef KVR_ENGINE_FILE_CHANNEL_H
#define KVR_ENGINE_FILE_CHANNEL_H

#include <cstdint>

#include "engine/results.h"
#include "platform/windows_file.h"

namespace kvr::engine {

class ChangeJournal;

struct IoOutcome {
    enum Kind : uint8_t { kDone, kEndOfFile, kFailed };
    Kind kind = kDone;
    // Windows path: GetLastError of the failed call. Descriptor path: 0.
    platform::DWORD windows_error = 0;

    bool ok() const { return kind == kDone; }
};

// Largest byte offset a file may reach: addresses are 32-bit unsigned, and
// growth past this is refused instead of wrapping.
inline constexpr uint64_t kMaxFileEnd = 0xFFFFFFFFu;

// True when [at, at + size) lies below kMaxFileEnd.
constexpr bool fits_in_file(uint64_t at, uint64_t size) {
    return at + size <= kMaxFileEnd;
}

class FileChannel {
public:
    FileChannel() = default;
    static FileChannel windows(platform::HANDLE handle) { return FileChannel(handle, -1); }
    // The C-runtime path: I/O through fd, a descriptor on `handle`'s file;
    // the handle serves what the C runtime has no call for (byte locks).
    static FileChannel descriptor(platform::HANDLE handle, int fd) {
        return FileChannel(handle, fd);
    }
    static FileChannel descriptor(int fd) { return FileChannel(nullptr, fd); }

    // Opens `name` as CreateFileA does (access, share mode, disposition,
    // flags) on the Windows path; a failure is kFailed with its error.
    static IoOutcome open(const char* name, platform::DWORD access, platform::DWORD share,
                          platform::DWORD disposition, platform::DWORD flags, FileChannel* opened);
    // Moves the channel to the C-runtime path: a descriptor on its file.
    // kFailed (error 0) when none can be made.
    IoOutcome use_descriptor();
    // Closes the descriptor (C-runtime path) and the handle; both are
    // released whatever happens, and the first failure is the outcome.
    IoOutcome close();

    bool is_open() const { return handle_ != nullptr || fd_ >= 0; }

    // Which file is open and who may use it (GetFileIdentity); a file just
    // made is given an owner, group and permission bits (SetFileOwnership).
    IoOutcome identity(platform::FileIdentity* identity) const;
    IoOutcome set_ownership(uint32_t owner, uint32_t group, uint32_t mode) const;
    // The file's size, all 64 bits of it.
    IoOutcome size(uint64_t* size) const;
    bool uses_descriptor() const { return fd_ >= 0; }
    // While the journal is active, each write and truncation first saves
    // there the bytes it is about to overwrite or cut off: every write
    // names its offset, so the journal is told where it writes.
    void set_journal(ChangeJournal* journal) { journal_ = journal; }
    platform::HANDLE handle() const { return handle_; }
    int fd() const { return fd_; }

    // Moves the file position to offset from the start of the file; the
    // Windows path takes all 64 bits (sequential files grow past 4 GiB).
    IoOutcome seek(uint64_t offset) const;
    // Moves the file position to the end of the file and reports the offset
    // there; a file that has grown past 32 bits is a failure.
    IoOutcome seek_end(uint32_t* end) const;
    // Reads up to count bytes at the file position; *got receives the bytes
    // read. Reading nothing at all is kEndOfFile.
    IoOutcome read(void* buffer, uint32_t count, uint32_t* got) const;
    // As read, for a reader that can look at the bytes in place: *view
    // receives their address in the file's mapping (nothing copied, valid
    // until the file is closed) or null, when they were read into buffer.
    IoOutcome read_or_view(void* buffer, uint32_t count, uint32_t* got,
                           const unsigned char** view) const;
    // A hint that count bytes at offset will be read soon (file_channel.h's
    // mapping only); no I/O, no result.
    void prefetch(uint32_t offset, uint32_t count) const;
    // A lock on the byte at `at`, with LockFileEx's flags, and its end. The
    // locks are the handle's on both paths.
    IoOutcome lock_byte(uint64_t at, platform::DWORD flags) const;
    void unlock_byte(uint64_t at) const;

    // Makes the file end at `length`, cutting off what lies past it.
    IoOutcome truncate(uint32_t length) const;
    // Writes count bytes at the file position; no journal.
    IoOutcome write(const void* buffer, uint32_t count) const;
    // Makes the file end at the file position (Windows path); no journal.
    IoOutcome end_here() const;

    // seek then read, stopping at the first failure.
    IoOutcome read_at(uint32_t offset, void* buffer, uint32_t count, uint32_t* got) const;
    // Writes count bytes at offset (a seek, then the write). While the
    // journal is active, what [offset, offset + count) holds is saved there
    // first.
    IoOutcome write_at(uint32_t offset, const void* buffer, uint32_t count) const;
    // As write_at, where the file position already stands at offset (a
    // seek_end, or a write that ended there, put it there): no seek of its
    // own, unless the journal's save moved the position meanwhile.
    IoOutcome write_on_at(uint32_t offset, const void* buffer, uint32_t count) const;

private:
    FileChannel(platform::HANDLE handle, int fd) : handle_(handle), fd_(fd) {}

    // Saves in an active journal what [offset, offset + count) holds; true
    // in *moved when that moved the file position.
    IoOutcome save_for_journal(uint32_t offset, uint32_t count, bool* moved) const;
    platform::HANDLE handle_ = nullptr;
    int fd_ = -1;
    ChangeJournal* journal_ = nullptr;
};

// What a failed Windows call means to the engines, from its error code:
// the one place that reads those codes; each engine turns the kind into a
// result of its own. A call that failed moved nothing, so no error code of a
// failed call counts as success (not even "not locked", which only an
// unlock can mean harmlessly).
enum class WindowsFailure {
    kAccessDenied,
    kInvalidHandle,
    kLockViolation,
    kSharingViolation,
    kNameTooLong,
    kDiskFull,
    kOther,
};
WindowsFailure windows_failure_of(platform::DWORD error);

// A failed Windows call as an engine result: access denied 15, invalid
// handle 3, lock violation 17, sharing violation 18, anything else 2.
Result map_windows_error(platform::DWORD error);

// An I/O outcome as a data-store status: success 0; a failed Windows call as
// map_windows_error; a failed descriptor call 2; nothing read 9.
Result store_status(IoOutcome outcome);

}  // namespace kvr::engine

#endif
