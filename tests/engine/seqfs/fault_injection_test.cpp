// Every I/O call of a workload (append, replace-last, read, rewrite) is failed
// in turn, once (a passing fault) and from then on (a dead disk). Each failed
// call must give its mapped result; a retried call goes on as if nothing
// happened; once the faults stop and the handle is closed, the file must hold
// exactly the records reported written.
#include <memory>

#include "seq_fixture.h"

namespace kvr::test {
namespace {

constexpr std::pair<DWORD, int> kMappings[] = {
    {ERROR_ACCESS_DENIED, SQ_ACCESS_DENIED},         {ERROR_INVALID_HANDLE, SQ_NOT_OPEN},
    {ERROR_SHARING_VIOLATION, SQ_SHARING_VIOLATION}, {ERROR_LOCK_VIOLATION, SQ_LOCK_VIOLATION},
    {ERROR_FILENAME_EXCED_RANGE, SQ_NAME_TOO_LONG},  {ERROR_WRITE_FAULT, SQ_IO_ERROR}};

class SeqFaults : public SeqTest {
protected:
    // One engine call, checked against the faults it met.
    int call(uint16_t code, const std::string& r, uint32_t* length = nullptr) {
        uint32_t own = static_cast<uint32_t>(r.size());
        const uint64_t before = plan_.failures;
        const int result = _vmqpSeqFS(code, &slot_, const_cast<char*>(r.data()),
                                      length ? length : &own, name_.data(), mode_);
        // Without a fault it succeeds or meets the end; with one, the mapped result.
        EXPECT_TRUE(plan_.failures == before ? result == SQ_OK || result == SQ_END_OF_FILE
                                             : result == expected_)
            << "op " << code << " gave " << result;
        return result;
    }
    int retry(uint16_t code, const std::string& r = "", uint32_t* length = nullptr) {
        int result = call(code, r, length);
        for (int i = 0; i < 2 && result != 0 && result != 9 && (code != SQ_CLOSE || slot_); ++i)
            result = call(code, r, length);
        return result;
    }
    // With faults off: close what is open; the file must hold the model.
    void check_file() {
        scope_.reset();
        ASSERT_TRUE(slot_ == nullptr || close() == 0);
        ASSERT_EQ(file_records(), model_);
        scope_ = std::make_unique<ScopedFaultPlan>(plan_);
    }

    void workload() {
        uint32_t none = 0;
        mode_ = 0;
        if (retry(SQ_CREATE, std::string(64, '\0'), &none) != 0)
            return;
        check_file();
        mode_ = SQ_MODE_APPEND;
        if (retry(SQ_OPEN) != 0)
            return;
        for (int i = 0; i < 24; ++i) {
            const std::string r = make_record((i * 1373) % 6000, i);
            if (call(SQ_WRITE, r) == 0)
                model_.push_back(r);
            // One replaces in the buffer, one cuts the file; a failed
            // replace-last leaves the old record.
            if ((i == 5 || i == 17) && call(SQ_REPLACE_LAST, "R" + std::to_string(i)) == 0)
                model_.back() = "R" + std::to_string(i);
        }
        retry(SQ_CLOSE);
        check_file();
        for (uint8_t mode : {SQ_MODE_INPUT, SQ_MODE_APPEND}) {
            mode_ = mode;
            if (retry(SQ_OPEN) != 0)
                return;
            std::string area(9000, '\0');
            for (size_t i = 0; i <= model_.size(); ++i) {
                uint32_t length = 9000;
                const int result = retry(i == 0 ? SQ_READ_FIRST : SQ_READ_NEXT, area, &length);
                if (result != 0) {
                    EXPECT_TRUE(plan_.sticky || (result == 9 && i == model_.size())) << result;
                    break;
                }
                ASSERT_EQ(area.substr(0, length), model_.at(i)) << "record " << i;
                const std::string r = make_record(length, 1000 + static_cast<uint32_t>(i));
                if (mode == SQ_MODE_APPEND && i % 3 == 1 && call(SQ_REWRITE, r) == 0)
                    model_[i] = r;
            }
            retry(SQ_CLOSE);
            check_file();
        }
    }

    FaultPlan plan_;
    std::unique_ptr<ScopedFaultPlan> scope_;
    Records model_;
    int expected_ = 0;
    uint8_t mode_ = 0;
};

// Run 0 fails nothing and counts the calls; run k fails call k (and, when
// sticky, every call after it).
TEST_F(SeqFaults, EveryFailedCallIsReportedAndTheFileStaysSound) {
    uint64_t calls = 0;
    for (bool sticky : {false, true}) {
        for (uint64_t k = 0; k <= calls && !HasFailure(); ++k) {
            SCOPED_TRACE("call " + std::to_string(k) + (sticky ? " and after" : ""));
            const auto [error, result] = kMappings[k % std::size(kMappings)];
            plan_ = FaultPlan{FaultPlan::kAll, k, error, sticky};
            expected_ = result;
            model_.clear();
            std::filesystem::remove(name_);
            scope_ = std::make_unique<ScopedFaultPlan>(plan_);
            workload();
            scope_.reset();
            if (k == 0)
                calls = plan_.calls_seen;
        }
    }
    ASSERT_GT(calls, 40u);
}

// An append whose head reached the file before a write failed leaves
// nothing of it behind, even when the cut that removes it fails at first;
// also where the cut lies past 4 GiB.
TEST_F(SeqFaults, FailedAppendLeavesNoPartialRecord) {
    for (const uint64_t hole_end : {uint64_t{0}, (uint64_t{1} << 32) + 1000}) {
        SCOPED_TRACE(hole_end);
        write_records({"kept"}, hole_end);
        const uint64_t kept_end = std::filesystem::file_size(name_);
        ASSERT_EQ(open(SQ_MODE_APPEND), 0);
        {
            FaultPlan plan{FaultPlan::kWrite | FaultPlan::kTruncate, 2, ERROR_WRITE_FAULT, true};
            ScopedFaultPlan scope(plan);
            EXPECT_EQ(write(make_record(10000, 1)), SQ_IO_ERROR);
            EXPECT_EQ(plan.failures, 2u) << "the cut was not tried";
        }
        EXPECT_EQ(std::filesystem::file_size(name_), kept_end + 4096);
        ASSERT_EQ(write("after"), 0);
        ASSERT_EQ(close(), 0);
        EXPECT_EQ(file_records(hole_end), (Records{"kept", "after"}));
    }
}

}  // namespace
}  // namespace kvr::test
