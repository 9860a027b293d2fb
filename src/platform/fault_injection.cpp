#include "platform/fault_injection.h"

#include <atomic>

#include <signal.h>
#include <unistd.h>

namespace kvr::platform {
namespace {

// The plan of the calling thread; a test seam, null outside tests.
__attribute__((tls_model("initial-exec"))) thread_local FaultPlan* installed_plan = nullptr;
// How many plans are installed in the whole process: while none is, an I/O
// call looks no further (no thread-local access on every call).
std::atomic<int> plans_installed{0};

}  // namespace

ScopedFaultPlan::ScopedFaultPlan(FaultPlan& plan) noexcept : previous_(installed_plan) {
    installed_plan = &plan;
    plans_installed.fetch_add(1, std::memory_order_relaxed);
}

ScopedFaultPlan::~ScopedFaultPlan() {
    installed_plan = previous_;
    plans_installed.fetch_sub(1, std::memory_order_relaxed);
}

std::optional<DWORD> injected_fault(FaultPlan::Kind kind) noexcept {
    if (plans_installed.load(std::memory_order_relaxed) == 0)
        return std::nullopt;
    FaultPlan* plan = installed_plan;
    if (plan == nullptr || (plan->kinds & kind) == 0)
        return std::nullopt;
    const std::uint64_t index = ++plan->calls_seen;
    if (plan->fail_at == 0 || index < plan->fail_at)
        return std::nullopt;
    if (index > plan->fail_at && !plan->sticky)
        return std::nullopt;
    if (plan->die)
        ::kill(::getpid(), SIGKILL);
    ++plan->failures;
    return plan->error;
}

}  // namespace kvr::platform
