#include "platform/fault_injection.h"

#include <signal.h>
#include <unistd.h>

namespace kvr::platform {
namespace {

// The plan of the calling thread; a test seam, null outside tests.
thread_local FaultPlan* installed_plan = nullptr;

}  // namespace

ScopedFaultPlan::ScopedFaultPlan(FaultPlan& plan) noexcept : previous_(installed_plan) {
    installed_plan = &plan;
}

ScopedFaultPlan::~ScopedFaultPlan() {
    installed_plan = previous_;
}

std::optional<DWORD> injected_fault(FaultPlan::Kind kind) noexcept {
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
