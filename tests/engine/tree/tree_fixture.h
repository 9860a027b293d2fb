// A tree on a real file: a 2048-byte header area with the tree header at
// 368 (where the engine puts the first key's), written at offset 0 of a new
// file, so that the store appends new index blocks after it.
#ifndef KVR_TESTS_ENGINE_TREE_TREE_FIXTURE_H
#define KVR_TESTS_ENGINE_TREE_TREE_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "engine/store/store_handle.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"
#include "engine/tree/tree.h"
#include "platform/mapped_file.h"
#include "support/temp_dir.h"

namespace kvr::test {

using engine::FileChannel;
using platform::load_u32;
using platform::store_u32;
using namespace kvr::tree;

class TreeFile : public TempDirTest {
protected:
    static constexpr uint32_t kHeaderSize = 2048;
    static constexpr uint32_t kTreeAt = 368;
    static constexpr uint32_t kFirstPage = kHeaderSize;  // the first page appended

    void SetUp() override {
        TempDirTest::SetUp();
        name_ = path("tree.dat");
        store_.image.reset(new unsigned char[kHeaderSize]());
        store_.header_size = kHeaderSize;
        store_.header().set_header_size(kHeaderSize);
        store_.header().set_index_block_size(4096);
        // A fixture that cuts the file short behind the open handle reads
        // it through pread: a mapping reads zeros up to the end of the page
        // where a file was cut, where pread reports the short read.
        const bool mapped = platform::file_mappings_on();
        platform::set_file_mappings(mapped && !reads_cut_files_);
        handle_ = open(name_, kReadWrite, 0, CREATE_ALWAYS);
        platform::set_file_mappings(mapped);
        store_.io = FileChannel::windows(handle_);
        ASSERT_EQ(_vmq_create_tree(image(), 3u << 16, 10, 4, kTreeAt), 4096);  // key number 3
        write_header();
        tree_ = std::make_unique<Tree>(image());
    }

    void TearDown() override {
        tree_.reset();
        CloseHandle(handle_);
        TempDirTest::TearDown();
    }

    unsigned char* image() { return store_.image.get() + kTreeAt; }
    Tree& tree() { return *tree_; }
    // The header area to the file, as the engine writes it at close.
    void write_header() {
        ASSERT_TRUE(store_.io.write_at(0, store_.image.get(), kHeaderSize).ok());
    }
    int open_tree(uint32_t flags = kOpenForUpdate.bits, uint32_t page_size = 4096, int blocks = 0) {
        return _vmq_open_tree(tree_.get(), &store_, store_.io, page_size, flags, blocks);
    }
    int close_tree() { return _vmq_close_tree(tree_.get()); }
    // The tree closed, the file emptied and a new tree header of key number
    // 3 written (create_flags as at create), the store's blocks as large as
    // its pages; the page size, or 0.
    int new_tree(uint32_t create_flags, int key_length, int data_len) {
        tree().close();
        std::filesystem::resize_file(name_, kHeaderSize);
        store_.header().set_index_block_list(0);
        store_.header().set_avail_list_head(0);
        const int size =
            _vmq_create_tree(image(), (3u << 16) | create_flags, key_length, data_len, kTreeAt);
        store_.header().set_index_block_size(static_cast<uint32_t>(size));
        store_.header().set_sequence_set_size(static_cast<uint32_t>(size));
        write_header();
        return size;
    }
    // An emptied file and a new tree of that key length (4 data bytes), open for update.
    void make_tree(int key_length, uint32_t create_flags = 0) {
        const int page_size = new_tree(create_flags, key_length, 4);
        ASSERT_EQ(open_tree(kOpenForUpdate.bits, static_cast<uint32_t>(page_size)), 0);
    }

    std::string bytes() const { return read_file(name_); }
    uint32_t disk_u32(size_t at) const {
        const std::string file = bytes();
        return at + 4 <= file.size() ? load_u32(reinterpret_cast<const unsigned char*>(&file[at]))
                                     : 0xBAD;
    }
    // Changes the file behind the tree's back.
    void patch_u32(uint32_t at, uint32_t value) { TempDirTest::patch_u32(name_, at, value); }

    // The page at address in the running operation; the status in last_result_.
    unsigned char* fetch(uint32_t address) {
        Status result = kTreeOk;
        unsigned char* page = get_page(&tree(), address, &result);
        last_result_ = code(result);
        EXPECT_EQ(page == nullptr, last_result_ != 0);
        return page;
    }
    // The page, in an operation of its own.
    unsigned char* fetch_now(uint32_t address) {
        tree().begin_operation();
        return fetch(address);
    }
    // The status of a fetch in the running operation.
    int fetch_result(uint32_t address) { return fetch(address) ? 0 : last_result_; }
    // A new leaf, made in an operation of its own.
    uint32_t make_leaf() {
        tree().begin_operation();
        uint32_t address = 0;
        Status result = static_cast<Status>(-1);
        if (unsigned char* page = new_page(&tree(), &address, &result))
            set_page_type(page, kLeafPage);
        EXPECT_EQ(code(result), 0);
        return address;
    }
    // The cache slot holding address, or -1.
    int slot_of(uint32_t address) {
        for (int s = 0; s < tree().cache_used(); ++s)
            if (tree().cached_page(s) == address)
                return s;
        return -1;
    }

    bool reads_cut_files_ = false;  // set by fixtures that cut the file behind the handle
    std::string name_;
    store::StoreHandle store_;
    HANDLE handle_ = nullptr;
    std::unique_ptr<Tree> tree_;
    int last_result_ = 0;
};

}  // namespace kvr::test

#endif
