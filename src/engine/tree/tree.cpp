// Open and close of a tree on an open file.
#include "engine/tree/tree.h"

#include <cstring>

#include "engine/results.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"

namespace kvr::tree {

void Tree::reset() {
    page_size_ = 0;
    key_len_ = 0;
    data_len_ = 0;
    limits_ = PageLimits{};
    key_type_ = 0;
    duplicates_ = false;
    key_number_ = 0;
    header_at_ = 0;
    branch_keys_at_ = 0;
    leaf_keys_at_ = 0;
    branch_room_ = 0;
    leaf_room_ = 0;
    io_ = engine::FileChannel();
    store_ = nullptr;
    writable_ = false;
    mark_dirty_ = false;
    shared_ = false;
    watched_ = false;
    stale_ = true;
    fresh_page_ = false;
    block_pages_ = false;
    root_on_disk_ = 0;
    unwritten_root_ = false;
    cache_used_ = 0;
    cache_clock_ = 0;
    for (CacheSlot& slot : slots_) {
        slot.page = kNoPage;
        slot.stamp = 0;
        slot.buffer.reset();
        slot.view = nullptr;
    }
    cursor_ = Cursor{};
}

void Tree::format_new_page(unsigned char* page, uint32_t address) const {
    std::memset(page, 0, page_size_);
    set_page_self(page, address);
    set_page_modified(page, true);
    set_page_key_number(page, key_number_);
}

Status Tree::make_unwritten_root() {
    uint32_t end = 0;
    if (!io_.seek_end(&end).ok() || end == 0 || !engine::fits_in_file(end, page_size_))
        return kTreeIoError;
    fresh_page_ = true;
    Status result = kTreeOk;
    unsigned char* page = get_page(this, end, &result);
    fresh_page_ = false;
    if (page == nullptr)
        return result;
    format_new_page(page, end);
    set_page_modified(page, false);
    set_page_type(page, kLeafPage);
    set_root(end);
    unwritten_root_ = true;
    return kTreeOk;
}

Status Tree::open(store::StoreHandle* store, engine::FileChannel file, uint32_t page_size,
                  OpenFlags flags, bool old_format) {
    if (header_ == nullptr)
        return kTreeIoError;
    reset();
    TreeHeader image = header();
    store_ = store;
    io_ = file;
    writable_ = flags.has(kOpenForUpdate);
    mark_dirty_ = writable_;
    shared_ = flags.has(kOpenShared);
    block_pages_ = old_format || image.block_pages();
    key_len_ = image.key_len();
    data_len_ = image.data_len();
    key_type_ = image.key_type();
    duplicates_ = image.duplicates();
    key_number_ = image.key_number();
    header_at_ = image.header_at();
    image.clear_run_time_fields(key_len_);

    // Nothing of the header is used before it is known to be usable: the
    // engine checks it when it opens the file, and this repeats what memory
    // safety rests on. Numeric keys are compared by their first 4 bytes and
    // duplicate numbers are the last 4, so such keys have at least 4.
    const int shortest = (duplicates_ || key_type_ == kNumericKeyType) ? 4 : 0;
    if (key_len_ < shortest || key_len_ > kMaxKeyLen || data_len_ < 1 || data_len_ > kMaxDataLen)
        return kDamagedPage;
    // The root is written back at header_at + 12: that must be this header,
    // inside the file's header area, never a place among the pages.
    const uint64_t header_end = uint64_t{header_at_} + kTreeHeaderSize;
    if (header_end > (store_ != nullptr ? store_->header_size : engine::kMaxFileEnd))
        return kDamagedPage;
    const uint32_t root = image.root();
    page_size_ = root == 0 ? page_size : image.page_size();
    // The store's blocks must hold a whole page: index blocks are page_size
    // bytes, blocks of the block format sequence_set_size.
    const uint32_t block_size = !block_pages_       ? page_size
                                : store_ != nullptr ? store_->header().sequence_set_size()
                                                    : page_size_;
    if (!is_valid_page_size(page_size_, block_pages_) || page_size_ > block_size)
        return kDamagedPage;
    const PageShape shape = page_shape(page_size_, key_len_, data_len_, block_pages_);
    const PageLimits stored = root == 0 ? default_limits(shape) : image.limits();
    if (!limits_fit(shape, stored))
        return kDamagedPage;
    limits_ = working_limits(shape, stored);
    branch_keys_at_ = shape.branch_keys_at;
    leaf_keys_at_ = shape.leaf_keys_at;
    branch_room_ = shape.branch_room;
    leaf_room_ = shape.leaf_room;

    Status result = kTreeOk;
    if (root == 0) {
        image.set_page_size(page_size_);
        image.set_limits(stored);
        if (writable_) {
            uint32_t address = 0;
            unsigned char* page = new_page(this, &address, &result);
            if (page != nullptr) {
                set_page_type(page, kLeafPage);
                set_root(address);
            }
        } else {
            // A file open for reading is never written, so its store cannot
            // hand out a page.
            result = make_unwritten_root();
        }
    } else {
        get_page(this, root, &result);
    }

    root_on_disk_ = 0;
    if (writable_ && shared_ && result == kTreeOk)
        result = flush_tree(this);
    root_on_disk_ = this->root();
    return result;
}

Status Tree::write_back() {
    if (!writable_)
        return kTreeOk;
    const Status result = flush_tree(this);
    if (result == kTreeOk)
        root_on_disk_ = root();
    return result;
}

int Tree::close() {
    int mismatches = 0;
    Status io_result = kTreeOk;
    if (writable_) {
        cursor_.state = 0;
        for (int s = 0; s < cache_used_; ++s) {
            CacheSlot& slot = slots_[s];
            if (slot.page == kNoPage || slot.view != nullptr)
                continue;  // a page seen in place is the file's already
            unsigned char* page = slot.buffer.get();
            if (page_self(page) != slot.page) {
                ++mismatches;
                continue;
            }
            set_page_modified(page, false);  // the file holds no marks
            if (write_page(*this, slot.page, page) != kTreeOk)
                io_result = kTreeIoError;
        }
    }
    if (unwritten_root_ && header_ != nullptr)
        set_root(0);
    reset();
    return mismatches != 0 ? mismatches : code(io_result);
}

}  // namespace kvr::tree

extern "C" int _vmq_open_tree(kvr::tree::Tree* tree, kvr::store::StoreHandle* store,
                              kvr::engine::FileChannel file, uint32_t page_size, uint32_t flags,
                              int old_format) {
    if (tree == nullptr)
        return code(kvr::tree::kTreeIoError);
    return code(tree->open(store, file, page_size, kvr::tree::OpenFlags{flags}, old_format != 0));
}

extern "C" int _vmq_close_tree(kvr::tree::Tree* tree) {
    if (tree == nullptr)
        return code(kvr::tree::kTreeIoError);
    return tree->close();
}
