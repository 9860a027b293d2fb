#include "bridge/open_files.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kvr::bridge {

namespace {

void close_open_files_at_exit() {
    OpenFiles::instance().close_all_at_exit();
}

void ending_signal(int signal, siginfo_t* info, void* context) {
    OpenFiles::instance().on_ending_signal(signal, info, context);
}

}  // namespace

OpenFiles& OpenFiles::instance() {
    // Never destroyed: the exit handler may run after static destructors,
    // and files left to the process that opened them stay reachable.
    static OpenFiles* const files = new OpenFiles();
    return *files;
}

void* OpenFiles::add(std::unique_ptr<BridgeFile> file) {
    std::call_once(exit_handler_, [] { std::atexit(close_open_files_at_exit); });
    std::lock_guard<std::mutex> guard(mutex_);
    const uintptr_t handle = ++last_handle_;
    entries_.push_back({std::move(file), ::getpid(), false, handle});
    return reinterpret_cast<void*>(handle);
}

BridgeFile* OpenFiles::find(const void* handle) {
    if (handle == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Entry& entry : entries_) {
        if (reinterpret_cast<const void*>(entry.handle) == handle)
            return entry.file.get();
    }
    return nullptr;
}

void OpenFiles::remove(BridgeFile* file) {
    std::unique_ptr<BridgeFile> closed;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto entry = std::find_if(entries_.begin(), entries_.end(),
                                        [file](const Entry& e) { return e.file.get() == file; });
        if (entry == entries_.end())
            return;
        closed = std::move(entry->file);
        entries_.erase(entry);
    }
}

void OpenFiles::keep_after_close(BridgeFile* file) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (Entry& entry : entries_) {
        if (entry.file.get() == file)
            entry.kept_after_close = true;
    }
}

void* OpenFiles::kept(const void* connector, const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Entry& entry : entries_) {
        if (entry.kept_after_close && entry.file->is_open() &&
            entry.file->connector() == connector && entry.file->name() == name)
            return reinterpret_cast<void*>(entry.handle);
    }
    return nullptr;
}

bool OpenFiles::any_kept() {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& e) { return e.kept_after_close; });
}

bool OpenFiles::holds(const std::string& path) {
    struct stat wanted;
    if (::stat(path.c_str(), &wanted) != 0)
        return false;
    std::lock_guard<std::mutex> guard(mutex_);
    const pid_t self = ::getpid();
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        struct stat held;
        return e.owner == self && e.file->is_open() && ::stat(e.file->name().c_str(), &held) == 0 &&
               held.st_dev == wanted.st_dev && held.st_ino == wanted.st_ino;
    });
}

void OpenFiles::begin_verb() {
    std::call_once(signal_handler_, [this] { defer_ending_signals(); });
    verbs_under_way_.fetch_add(1);
}

void OpenFiles::end_verb() {
    // A signal that comes after the count reached 0 goes on by itself; one
    // that came before it is waiting here.
    if (verbs_under_way_.fetch_sub(1) != 1 || waiting_signal_ == 0)
        return;
    const int signal = waiting_signal_;
    waiting_signal_ = 0;
    ::raise(signal);
}

void OpenFiles::defer_ending_signals() {
    for (size_t i = 0; i < std::size(kEndingSignals); ++i) {
        struct sigaction ours {};
        ours.sa_sigaction = ending_signal;
        ours.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&ours.sa_mask);
        for (const int signal : kEndingSignals)
            sigaddset(&ours.sa_mask, signal);
        if (::sigaction(kEndingSignals[i], nullptr, &previous_[i]) != 0)
            continue;
        // A signal the process ignores stays ignored.
        if ((previous_[i].sa_flags & SA_SIGINFO) == 0 && previous_[i].sa_handler == SIG_IGN)
            continue;
        ::sigaction(kEndingSignals[i], &ours, nullptr);
    }
}

void OpenFiles::on_ending_signal(int signal, siginfo_t* info, void* context) {
    if (verbs_under_way_.load() > 0) {
        waiting_signal_ = signal;
        return;
    }
    size_t i = 0;
    while (i < std::size(kEndingSignals) && kEndingSignals[i] != signal)
        ++i;
    if (i == std::size(kEndingSignals))
        return;
    const struct sigaction& before = previous_[i];
    if ((before.sa_flags & SA_SIGINFO) != 0) {
        before.sa_sigaction(signal, info, context);
    } else if (before.sa_handler == SIG_DFL) {
        // The default action, as though the handler had never stood here:
        // it happens when the handler returns and the signal is unblocked.
        ::sigaction(signal, &before, nullptr);
        ::raise(signal);
    } else if (before.sa_handler != SIG_IGN) {
        before.sa_handler(signal);
    }
}

void OpenFiles::close_all_at_exit() {
    // The run ended inside a verb: its change is half made, and the frame
    // it was cut from may hold the allocator's or this table's lock.
    if (verbs_under_way_.load() > 0)
        return;
    std::unique_lock<std::mutex> guard(mutex_, std::try_to_lock);
    if (!guard.owns_lock())
        return;
    const pid_t self = ::getpid();
    // The files stay in the table, closed: an FCD that still points at one
    // finds a closed file, never freed storage.
    for (Entry& entry : entries_) {
        if (entry.owner != self || !entry.file->is_open())
            continue;
        entry.kept_after_close = false;
        if (entry.file->close_at_exit())
            continue;
        const std::string message = entry.file->message();
        std::fprintf(stderr, "KVRFH: cannot close %s at the end of the run: status %02u%s%s\n",
                     entry.file->name().c_str(), entry.file->status(), message.empty() ? "" : ", ",
                     message.c_str());
    }
}

}  // namespace kvr::bridge
