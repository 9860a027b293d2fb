// Fault injection: a scripted workload runs once to count its I/O calls,
// then once for every call with that call failing. The store must stop with
// the result the error maps to, keep its free lists sound, and close.
#include "platform/fault_injection.h"
#include "store_fixture.h"

namespace kvr::store::test {
namespace {

using platform::FaultPlan;
using StoreFaults = StoreTest;

TEST_F(StoreFaults, EveryFailedCallGivesItsResult) {
    // Every kind of store operation in turn; the first failure ends it.
    auto workload = [&] {
        uint32_t a = 0, b = 0, c = 0, block = 0;
        std::string data;
        int status = 0;
        auto step = [&status](int result) { return (status = result) == 0; };
        if (step(put(record(1, 20), &a)) && step(put(record(2, 40), &b)) &&
            step(put(record(3, 12), &c)) &&
            step(rewrite(a, record(4, 18), &a)) &&                  // in place, in the buffer
            step(_vmq_get_index_block(handle.get(), &block, 0)) &&  // flushes the buffer
            step(rewrite(b, record(5, 80), &b)) &&                  // moves
            step(remove(c)) && step(put(record(6, 10), &c)) &&      // reuses c's slot
            step(rewrite(c, record(7, 11), &c)) &&                  // in place, in the file
            step(remove(a)) && step(remove(c)) &&                   // c walks behind a on its list
            step(_vmq_release_index_block(handle.get(), block)) &&
            step(_vmq_get_index_block(handle.get(), &block, 0)) && step(get(b, &data)))
            step(_vmq_close_data_records(handle.get()));
        return status;
    };
    // Runs the workload on a fresh file with call `fail_at` failing; every
    // list must name free slots only.
    auto run = [&](bool descriptor, uint64_t fail_at, platform::DWORD error, FaultPlan* plan) {
        create({.descriptor = descriptor});
        plan->fail_at = fail_at;
        plan->error = error;
        int status;
        {
            platform::ScopedFaultPlan guard(*plan);
            status = workload();
        }
        EXPECT_EQ(_vmq_close_data_records(handle.get()), 0);
        for (int k = 1; k <= 6; ++k)
            list(k);
        return status;
    };
    FaultPlan counting, counting_descriptor;
    ASSERT_EQ(run(false, 0, 0, &counting), 0);
    const std::string windows_file = raw(0, 20000);
    ASSERT_EQ(run(true, 0, 0, &counting_descriptor), 0);
    EXPECT_EQ(raw(0, 20000), windows_file);  // both I/O paths write the same file
    EXPECT_EQ(counting_descriptor.calls_seen, counting.calls_seen);

    const std::pair<platform::DWORD, int> errors[] = {
        {platform::ERROR_ACCESS_DENIED, code(kAccessDenied)},
        {platform::ERROR_INVALID_HANDLE, code(kNotOpen)},
        {platform::ERROR_SHARING_VIOLATION, code(kSharingViolation)},
        {platform::ERROR_LOCK_VIOLATION, code(kLockViolation)},
        {platform::ERROR_WRITE_FAULT, code(kIoError)},
        // "not locked" maps to success, but the call moved nothing
        {platform::ERROR_NOT_LOCKED, code(kIoError)},
    };
    for (bool descriptor : {false, true}) {
        for (const auto& [error, result] : errors) {
            for (uint64_t k = 1; k <= counting.calls_seen; ++k) {
                FaultPlan plan;
                EXPECT_EQ(run(descriptor, k, error, &plan), descriptor ? 2 : result)
                    << "error " << error << " at call " << k;  // a failed C call is always 2
                EXPECT_EQ(plan.failures, 1u);
            }
        }
    }
}

}  // namespace
}  // namespace kvr::store::test
