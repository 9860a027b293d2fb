// The files the handler holds open: the one table it keeps for the whole
// process. It owns every open BridgeFile; an FCD's file handle only points
// at one.
//
// GnuCOBOL 3.1.2 leaves two things to the handler that a runtime would do:
// - It calls no handler for the files a program still has open when its
//   run ends. So the first OPEN registers an exit handler (atexit) that
//   closes every file still here through the file's CLOSE entry, as a
//   runtime closes them. It runs inside exit(), which is how every normal
//   end reaches the C runtime: STOP RUN, GOBACK of the main program and a
//   runtime error that ends the run all go through libcob's cob_stop_run,
//   which does libcob's own exit processing (cob_exit_fileio and the rest,
//   which may free the FCDs) and then calls exit(); a program that calls
//   exit() itself gets there directly. The close therefore uses nothing of
//   the program's: only the file's own blocks. A close that fails prints
//   one line on standard error, naming the file, with the library's
//   message.
// - It throws the FCD away after every CLOSE, also one that leaves the file
//   open, and gives the connector's next verb a new FCD without a file
//   handle. Two CLOSEs leave the file open: a failed one (so that the CLOSE
//   can be repeated, for instance once the disk has room again) and CLOSE
//   REEL or UNIT (07: a disk file has no reels, so it goes on where it
//   was). Such a file is marked here, and the connector's next verb finds
//   it again by the connector (the program's record area and the file
//   name).
//
// A process started by fork() inherits the table but not the files: its
// exit leaves the files of the process that opened them alone, as closing
// them would write into files that process is still using.
//
// A run is also ended by signals: SIGTERM (kill), SIGINT (Ctrl-C), SIGHUP
// (its terminal closed) and SIGQUIT. libcob's handler for them calls
// exit(), so the close at exit would run inside whatever verb the signal
// cut into, over a half-made change, and clear the file's update marker
// on it. So a verb is never cut into: from the first verb on, the handler
// stands in front of libcob's for those four signals, and one that arrives
// while a verb is under way waits until the verb has ended and is then
// raised again, reaching libcob's handler (or the default action) as it
// would have. Between verbs it goes on to libcob's at once; nothing of the
// handler's is in a half-made state then. Should the process end inside a
// verb all the same (a fault, or a signal that cannot wait), the close at
// exit closes nothing: every file keeps its marker, so that its next OPEN
// takes the change back or refuses the file, and nothing is allocated or
// locked from a frame whose verb was cut short.
#ifndef KVR_BRIDGE_OPEN_FILES_H
#define KVR_BRIDGE_OPEN_FILES_H

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/bridge_file.h"

namespace kvr::bridge {

class OpenFiles {
public:
    static OpenFiles& instance();

    // Takes an open file; the first one registers the close at exit. The
    // result is the handle an FCD carries for it: a number no other file
    // of the process gets, never the file's address, so that an FCD still
    // carrying it after the file is gone names nothing.
    void* add(std::unique_ptr<BridgeFile> file);
    // The file an FCD's handle names, or null: a file closed (through this
    // FCD or another carrying its handle) is no longer here.
    BridgeFile* find(const void* handle);
    // A file that is closed: it is destroyed.
    void remove(BridgeFile* file);
    // A file still open after a CLOSE: it stays, marked for its connector.
    void keep_after_close(BridgeFile* file);
    // The handle of the open file of a connector whose FCD was thrown away,
    // or null.
    void* kept(const void* connector, const std::string& name);
    bool any_kept();
    // True when a file this process has open is the one at `path`.
    bool holds(const std::string& path);

    // Closes the files this process opened; the exit handler calls it.
    // Nothing is closed while a verb is under way.
    void close_all_at_exit();

    // Around every verb: the first puts the handler in front of libcob's
    // for the signals that end a run; the end of a verb raises again a
    // signal that came while it ran.
    void begin_verb();
    void end_verb();

    // The handler of the signals that end a run.
    void on_ending_signal(int signal, siginfo_t* info, void* context);

private:
    OpenFiles() = default;
    void defer_ending_signals();

    struct Entry {
        std::unique_ptr<BridgeFile> file;
        pid_t owner;
        bool kept_after_close;
        uintptr_t handle;
    };

    std::mutex mutex_;
    std::once_flag exit_handler_;
    std::vector<Entry> entries_;
    uintptr_t last_handle_ = 0;

    // What the signal handler reads and writes: lock-free, so that it may.
    static constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
    std::once_flag signal_handler_;
    std::atomic<int> verbs_under_way_{0};
    volatile std::sig_atomic_t waiting_signal_ = 0;
    struct sigaction previous_[std::size(kEndingSignals)] = {};
};

// Marks a verb as under way for as long as it lives.
class VerbUnderWay {
public:
    VerbUnderWay() { OpenFiles::instance().begin_verb(); }
    ~VerbUnderWay() { OpenFiles::instance().end_verb(); }
    VerbUnderWay(const VerbUnderWay&) = delete;
    VerbUnderWay& operator=(const VerbUnderWay&) = delete;
};

}  // namespace kvr::bridge

#endif
