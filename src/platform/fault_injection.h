// Fault injection for tests: make the Nth I/O call of this layer fail.
//
// A test builds a FaultPlan, installs it on its thread with ScopedFaultPlan
// and runs a workload. Every I/O call of a kind the plan selects is counted;
// the call whose 1-based count equals `fail_at` fails with `error` (and, when
// `sticky`, so does every counted call after it, as on a dead disk). A
// failing call does nothing else: no bytes move, the file position stays,
// a failing open creates nothing. A failing close reports the error but
// still releases the handle or descriptor, as a close always does. The Windows calls report `error`
// through GetLastError; the C-runtime calls return -1 with the errno that matches it.
//
// Kinds: CreateFileA is kOpen; SetFilePointer and _lseek are kSeek;
// ReadFile and _read are kRead; WriteFile and _write are kWrite;
// CloseHandle and _close are kClose; SetEndOfFile and _chsize are kTruncate;
// LockFileEx is kLock (UnlockFileEx is never failed: a lock goes with its
// handle whatever happens). Calls refused
// for their arguments (a bad handle, a missing access right) are refused
// before they are counted.
//
// The usual pattern: run the workload once with fail_at 0 to learn
// `calls_seen`, then once for each k in 1..calls_seen with fail_at k.
//
// The plan belongs to the test; the installed pointer is per thread, so
// plans of different threads do not meet. Without a plan nothing is counted.

#ifndef KVR_PLATFORM_FAULT_INJECTION_H
#define KVR_PLATFORM_FAULT_INJECTION_H

#include <cstdint>
#include <optional>

#include "platform/windows_file.h"

namespace kvr::platform {

struct FaultPlan {
    enum Kind : unsigned {
        kOpen = 1u << 0,
        kSeek = 1u << 1,
        kRead = 1u << 2,
        kWrite = 1u << 3,
        kClose = 1u << 4,
        kTruncate = 1u << 5,
        kLock = 1u << 6,
        kAll = (1u << 7) - 1,
    };

    unsigned kinds = kAll;            // which kinds are counted
    std::uint64_t fail_at = 0;        // 1-based among counted calls; 0 = never
    DWORD error = ERROR_WRITE_FAULT;  // Windows error code of the failure
    bool sticky = false;              // fail every counted call from fail_at on
    // The call at fail_at kills the process (SIGKILL) before it does
    // anything, as a crash or a kill -9 at that point would.
    bool die = false;

    std::uint64_t calls_seen = 0;  // counted calls so far
    std::uint64_t failures = 0;    // failures injected so far
};

// Installs `plan` for the calling thread for the lifetime of the guard; the
// plan installed before (if any) comes back when the guard ends.
class ScopedFaultPlan {
public:
    explicit ScopedFaultPlan(FaultPlan& plan) noexcept;
    ~ScopedFaultPlan();
    ScopedFaultPlan(const ScopedFaultPlan&) = delete;
    ScopedFaultPlan& operator=(const ScopedFaultPlan&) = delete;

private:
    FaultPlan* previous_;
};

// Called by the I/O functions of this layer just before they act: counts the
// call when the thread's plan selects `kind` and returns the error to fail
// it with, if this is a call to fail.
std::optional<DWORD> injected_fault(FaultPlan::Kind kind) noexcept;

}  // namespace kvr::platform

#endif  // KVR_PLATFORM_FAULT_INJECTION_H
