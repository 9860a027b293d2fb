// The page cache: the pages of one operation, damaged pages, flush and
// reload.
#include <cstring>
#include <filesystem>
#include <vector>

#include "engine/tree/tree_fixture.h"

namespace kvr::test {
namespace {

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
            if (i % 20 == 0 || i == n) {
                EXPECT_EQ(code(flush_tree(&tree())), 0);
            }
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
    EXPECT_EQ(fetch(outside), nullptr);
    EXPECT_EQ(last_result_, code(kDamagedPage));  // refused
    const auto file_end = static_cast<uint32_t>(bytes().size());
    uint32_t address = 99;
    Status result = static_cast<Status>(-1);
    EXPECT_EQ(new_page(&tree(), &address, &result), nullptr);
    EXPECT_EQ(code(result), code(kDamagedPage));
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(store_.header().index_block_list(), file_end);  // given back
    EXPECT_EQ(bytes().substr(file_end + 12), std::string(4096 - 12, '\0'));
    EXPECT_EQ(fetch(0), nullptr);
    EXPECT_EQ(last_result_, code(kDamagedPage));
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
    EXPECT_EQ(fetch(page + 4096), nullptr);
    EXPECT_EQ(last_result_, code(kTreeIoError));
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

TEST_F(PageCache, FlushAndReloadOfTheRoot) {
    const uint32_t clean = leaves_on_disk(1)[0];
    const uint32_t fresh = make_leaf();
    tree().set_mark_dirty(false);
    tree().begin_operation();
    ASSERT_NE(fetch(clean), nullptr);
    patch_u32(clean + 16, 0xCCCCCCCC);  // a write of the clean page would undo this
    tree().set_root(fresh);

    EXPECT_EQ(code(flush_tree(&tree())), 0);  // the root, then the modified pages
    EXPECT_EQ(disk_u32(kTreeAt + 12), fresh);
    EXPECT_EQ(disk_u32(fresh + 8), fresh);
    EXPECT_EQ(disk_u32(clean + 16), 0xCCCCCCCCu);
    for (int s = 0; s < tree().cache_used(); ++s)
        EXPECT_EQ(tree().cached_page(s), kNoPage);

    // Reload reads the root back and forgets the cache without writing it.
    tree().begin_operation();
    set_page_count(fetch(fresh), 1);  // modified while fetched
    patch_u32(kTreeAt + 12, clean);
    const std::string file = bytes();
    EXPECT_EQ(code(reload_root(&tree())), 0);
    EXPECT_EQ(tree().root(), clean);
    EXPECT_EQ(tree().root_on_disk(), clean);
    EXPECT_EQ(slot_of(fresh), -1);
    EXPECT_EQ(close_tree(), 0);
    EXPECT_EQ(bytes(), file);
}

}  // namespace
}  // namespace kvr::test
