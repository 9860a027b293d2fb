// Open and close: stored marks, headers that cannot be used, what close
// writes; the page cache: the pages of one operation, and damaged pages.
// Failed I/O calls on the tree's paths: each becomes kTreeIoError
// (kTreeNoMemory when the file is full), nothing is formatted at an address
// the store did not hand out, and a modified page is kept until it reaches
// the file.
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "engine/tree/tree_fixture.h"
#include "platform/fault_injection.h"

namespace kvr::test {
namespace {

using TreeOpenClose = TreeFile;

// A modified mark stored in the file means nothing: a read open drops it
// and writes nothing back.
TEST_F(TreeOpenClose, AStoredModifiedMarkIsDroppedOnRead) {
    ASSERT_EQ(open_tree(), 0);
    ASSERT_EQ(close_tree(), 0);
    write_header();
    patch_u32(kFirstPage + 4, 0x0003FFFF);
    const std::string file = bytes();
    ASSERT_EQ(open_tree(0), 0);
    EXPECT_FALSE(page_modified(tree().cache_buffer(0)));
    ASSERT_EQ(close_tree(), 0);
    EXPECT_EQ(bytes(), file);
}

// A header that did not go through the engine's check: open refuses what
// it cannot use before it allocates, reads or writes anything.
TEST_F(TreeOpenClose, OpenRefusesAHeaderItCannotUse) {
    const std::string file = bytes();
    const std::vector<unsigned char> good(image(), image() + kTreeHeaderSize);
    auto open_damaged = [&](uint32_t at, uint32_t value, uint32_t root = 0, uint32_t key_len = 10) {
        std::memcpy(image(), good.data(), kTreeHeaderSize);
        store_u32(image() + kKeyLenAt, key_len);
        store_u32(image() + kRootAt, root);
        store_u32(image() + at, value);
        const int result = open_tree(root == 0 ? kOpenForUpdate.bits : 0);
        EXPECT_EQ(close_tree(), 0);
        return result;
    };
    for (uint32_t size : {5000u, 2048u, 65536u, 65568u, 1u << 30})
        EXPECT_EQ(open_tree(kOpenForUpdate.bits, size), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kKeyLenAt, 300), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kKeyLenAt, 0xFFFFFFFF), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kDataLenAt, 0), code(kDamagedPage));
    // No room for the number, nor for a number key; reaching past the header area.
    EXPECT_EQ(open_damaged(kTreeFlagsAt, kTreeDups.bits, 0, 2), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kTreeFlagsAt, kNumericKeyType, 0, 2), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kHeaderAtAt, 2000), code(kDamagedPage));
    // With a root, the stored page size and limits are the ones used.
    EXPECT_EQ(open_damaged(kPageSizeAt, 6000, kFirstPage), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kPageSizeAt, 8192, kFirstPage), code(kDamagedPage));  // > a block
    EXPECT_EQ(open_damaged(kLeafMaxAt, 50000, kFirstPage), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kBranchMinAt, 0, kFirstPage), code(kDamagedPage));
    // A root that is no page: inside the header area, or past the file's end.
    EXPECT_EQ(open_damaged(kRootAt, 1024, kFirstPage), code(kDamagedPage));
    EXPECT_EQ(open_damaged(kRootAt, 1u << 20, kFirstPage), code(kTreeIoError));
    EXPECT_EQ(bytes(), file);
    EXPECT_EQ(_vmq_open_tree(nullptr, &store_, store_.io, 4096, 0, 0), code(kTreeIoError));
    EXPECT_EQ(_vmq_close_tree(nullptr), code(kTreeIoError));
}

// Close writes every cached page of an update tree, clean or not, except
// one whose own address is wrong, which it counts.
TEST_F(TreeOpenClose, CloseWritesEveryPageAndCountsMismatches) {
    ASSERT_EQ(open_tree(), 0);
    tree().set_mark_dirty(false);
    const uint32_t a = make_leaf();
    const uint32_t b = make_leaf();
    ASSERT_EQ(code(flush_tree(&tree())), 0);
    tree().begin_operation();
    tree().set_mark_dirty(true);  // a page to be changed is fetched by an update
    unsigned char* changed = fetch(a);
    set_page_modified(changed, false);
    set_next_page(changed, b);  // changed without the modified mark
    unsigned char* wrong = fetch(b);
    set_page_self(wrong, a);
    set_prev_page(wrong, 77);
    EXPECT_EQ(fetch_result(b), code(kDamagedPage));  // found in the cache, still refused

    EXPECT_EQ(close_tree(), 1);
    EXPECT_EQ(disk_u32(a + 16), b);
    EXPECT_EQ(disk_u32(b + 12), 0u);  // not written
    EXPECT_EQ(close_tree(), 0);       // closing again does nothing
}

class PageCache : public TreeFile {
protected:
    void SetUp() override {
        TreeFile::SetUp();
        ASSERT_EQ(open_tree(), 0);  // the root leaf at kFirstPage, in slot 0
    }

    // n new leaves written to the file, none of them left in the cache.
    std::vector<uint32_t> leaves_on_disk(int n) {
        std::vector<uint32_t> pages;
        for (int i = 1; i <= n; ++i) {
            pages.push_back(make_leaf());
            EXPECT_TRUE((i % 20 != 0 && i != n) || code(flush_tree(&tree())) == 0);
        }
        return pages;
    }
};

// Pages in use by the running operation are never evicted: a 32nd is
// refused, a new page the cache cannot take goes back to the store
// unformatted, and address 0 is refused before the cache is looked at.
TEST_F(PageCache, OneOperationCannotUseMoreThan31Pages) {
    std::vector<uint32_t> pages = leaves_on_disk(31);
    pages[30] = kFirstPage;
    const uint32_t outside = leaves_on_disk(1)[0];
    tree().begin_operation();
    for (uint32_t page : pages)
        ASSERT_NE(fetch(page), nullptr);
    EXPECT_EQ(fetch_result(outside), code(kDamagedPage));  // refused
    const auto file_end = static_cast<uint32_t>(bytes().size());
    uint32_t address = 99;
    Status result = static_cast<Status>(-1);
    EXPECT_EQ(new_page(&tree(), &address, &result), nullptr);
    EXPECT_EQ(code(result), code(kDamagedPage));
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(store_.header().index_block_list(), file_end);  // given back
    EXPECT_EQ(bytes().substr(file_end + 12), std::string(4096 - 12, '\0'));
    EXPECT_EQ(fetch_result(0), code(kDamagedPage));
    for (uint32_t page : pages)
        EXPECT_NE(slot_of(page), -1);
    tree().begin_operation();
    EXPECT_NE(fetch(outside), nullptr);  // the next operation may evict again
}

// A page read from the file that does not say what it should about itself
// is refused, prints nothing, and leaves nothing in the cache.
TEST_F(PageCache, DamagedPagesAreRefused) {
    const uint32_t page = leaves_on_disk(1)[0];
    const struct {
        const char* what;
        uint32_t at, value;
    } damages[] = {
        {"own address", 8, kFirstPage},
        {"type 0", 0, 0},
        {"type 3", 0, 3},
        {"negative count", 0, 0xFFFF0002},
        {"leaf count past leaf_max + 1", 0, 290u << 16 | kLeafPage},
        {"branch count past branch_max + 1", 0, 290u << 16 | kBranchPage},
        {"key number", 4, 4u << 16},
    };
    for (const auto& damage : damages) {
        const uint32_t good = disk_u32(page + damage.at);
        patch_u32(page + damage.at, damage.value);
        testing::internal::CaptureStdout();
        EXPECT_EQ(fetch_now(page), nullptr) << damage.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(std::pair(last_result_, slot_of(page)), std::pair(code(kDamagedPage), -1));
        patch_u32(page + damage.at, good);
    }
    patch_u32(page, 289u << 16 | kLeafPage);  // leaf_max + 1 is accepted
    EXPECT_NE(fetch(page), nullptr);

    // Past the file's end: an I/O error. Cut short by the file's end: read
    // as far as it goes, the rest zero, whatever the buffer held before.
    EXPECT_EQ(fetch_result(page + 4096), code(kTreeIoError));
    for (int s = 0; s < tree().cache_used(); ++s)
        std::memset(tree().cache_buffer(s) + 100, 0xEE, 4096 - 100);
    ASSERT_EQ(code(free_page(&tree(), page)), 0);
    patch_u32(page, kLeafPage);  // over the store's free-block header
    patch_u32(page + 4, 3u << 16);
    patch_u32(page + 8, page);
    std::filesystem::resize_file(name_, page + 100);
    unsigned char* cut = fetch(page);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cut) + 100, 4096 - 100),
              std::string(4096 - 100, '\0'));
}

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
    auto fetch_on_disk = [&] { return fetch_now(on_disk) ? 0 : last_result_; };
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
    EXPECT_EQ(fetch_on_disk(), 0);
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
