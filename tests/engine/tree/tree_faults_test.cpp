// Failed I/O calls on the tree's paths: each becomes kTreeIoError (kTreeNoMemory when the file
// is full), nothing is formatted at an address the store did not hand out,
// and a modified page is kept until it reaches the file.
#include <filesystem>
#include <utility>
#include <vector>

#include "engine/tree/tree_fixture.h"
#include "platform/fault_injection.h"

namespace kvr::test {
namespace {

using platform::FaultPlan;

class TreeFaults : public TreeFile {
protected:
    TreeFaults() { reads_cut_files_ = true; }
    // The result of f with the first call of the given kinds (or the
    // fail_at'th of all) failing with error.
    template <typename F>
    int failing(unsigned kinds, F f, DWORD error = ERROR_WRITE_FAULT, uint64_t fail_at = 1) {
        FaultPlan plan{.kinds = kinds, .fail_at = fail_at, .error = error};
        platform::ScopedFaultPlan guard(plan);
        const int result = f();
        EXPECT_EQ(plan.failures, 1u);
        return result;
    }
    int fetch_status(uint32_t address) { return fetch_now(address) ? 0 : last_result_; }
};

// Open of a tree without pages, two new pages, close: every call failed in
// turn gives kTreeIoError. "Not locked", which the engine's own mapping takes for
// success, is a call that moved nothing, and fails the same way.
TEST_F(TreeFaults, EveryFailedCallOfOpenNewPageAndCloseIsAnIoError) {
    auto workload = [&] {
        int result = open_tree();
        for (int i = 0; i < 2 && result == 0; ++i) {
            tree().begin_operation();
            uint32_t address = 0;
            Status made = kTreeOk;
            new_page(&tree(), &address, &made);
            result = code(made);
        }
        const int closed = close_tree();
        return result != 0 ? result : closed;
    };
    FaultPlan count;
    {
        platform::ScopedFaultPlan guard(count);
        ASSERT_EQ(workload(), 0);
    }
    ASSERT_EQ(count.calls_seen, 12u);  // 3 x (seek, write) by the store, 3 x by close
    for (DWORD error : {ERROR_WRITE_FAULT, ERROR_NOT_LOCKED, ERROR_ACCESS_DENIED}) {
        for (uint64_t k = 1; k <= count.calls_seen; ++k) {
            std::filesystem::resize_file(name_, kHeaderSize);
            ASSERT_EQ(_vmq_create_tree(image(), 3u << 16, 10, 4, kTreeAt), 4096);
            EXPECT_EQ(failing(FaultPlan::kAll, workload, error, k), code(kTreeIoError))
                << "call " << k << " error " << error;
        }
    }
}

// A store that cannot hand out a page leaves nothing formatted or cached
// (kTreeNoMemory when the file is full); a failed read keeps nothing; a failed
// write-back keeps the evicted page cached and modified until it is written.
TEST_F(TreeFaults, FailedAllocationsReadsAndWriteBacks) {
    ASSERT_EQ(open_tree(), 0);
    uint32_t address = 99;
    auto allocate = [&] {
        tree().begin_operation();
        Status result = static_cast<Status>(-1);
        return new_page(&tree(), &address, &result) ? 0 : code(result);
    };
    EXPECT_EQ(failing(FaultPlan::kSeek, allocate), code(kTreeIoError));
    EXPECT_EQ(failing(FaultPlan::kWrite, allocate), code(kTreeIoError));
    EXPECT_EQ(std::pair(address, tree().cache_used()), std::pair(0u, 1));

    const uint32_t on_disk = make_leaf();
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    auto fetch_on_disk = [&] { return fetch_status(on_disk); };
    for (DWORD error : {ERROR_READ_FAULT, ERROR_NOT_LOCKED}) {
        EXPECT_EQ(failing(FaultPlan::kSeek, fetch_on_disk, error), code(kTreeIoError));
        EXPECT_EQ(failing(FaultPlan::kRead, fetch_on_disk, error), code(kTreeIoError));
        EXPECT_EQ(slot_of(on_disk), -1);
    }
    std::vector<uint32_t> pages;
    for (int i = 0; i < 31; ++i)
        pages.push_back(make_leaf());
    const int victim = slot_of(pages[0]);
    EXPECT_EQ(failing(FaultPlan::kWrite, fetch_on_disk), code(kTreeIoError));
    EXPECT_EQ(tree().cached_page(victim), pages[0]);
    EXPECT_TRUE(page_modified(tree().cache_buffer(victim)));
    EXPECT_EQ(fetch_status(on_disk), 0);
    EXPECT_EQ(disk_u32(pages[0] + 8), pages[0]);

    if (!store_.io.write_at(0xFFFFF000, "x", 1).ok())
        GTEST_SKIP() << "no sparse files here";
    const int used = tree().cache_used();
    EXPECT_EQ(allocate(), code(kTreeNoMemory));
    EXPECT_EQ(tree().cache_used(), used);
    std::filesystem::resize_file(name_, kHeaderSize);
}

TEST_F(TreeFaults, FlushAndReloadFailures) {
    ASSERT_EQ(open_tree(), 0);
    const uint32_t page = make_leaf();
    tree().set_root(page);
    auto flush = [&] { return code(flush_tree(&tree())); };
    EXPECT_EQ(failing(FaultPlan::kSeek, flush), code(kTreeIoError));  // the root's
    EXPECT_EQ(failing(FaultPlan::kWrite, flush), code(kTreeIoError));
    EXPECT_EQ(disk_u32(kTreeAt + 12), 0u);
    tree().set_root(tree().root_on_disk());
    EXPECT_EQ(failing(FaultPlan::kWrite, flush), code(kTreeIoError));  // the first page's
    EXPECT_TRUE(page_modified(tree().cache_buffer(0)));                // still to be written
    EXPECT_EQ(flush(), 0);
    EXPECT_EQ(disk_u32(kFirstPage + 8), kFirstPage);
    EXPECT_EQ(disk_u32(page + 8), page);

    auto reload = [&] { return code(reload_root(&tree())); };
    EXPECT_EQ(failing(FaultPlan::kSeek, reload), code(kTreeIoError));
    EXPECT_EQ(failing(FaultPlan::kRead, reload), code(kTreeIoError));
    std::filesystem::resize_file(name_, kTreeAt + 14);  // the root field cut short
    EXPECT_EQ(reload(), code(kTreeIoError));
    EXPECT_EQ(tree().root(), kFirstPage);
}

}  // namespace
}  // namespace kvr::test
