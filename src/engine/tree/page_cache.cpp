// The page cache of an open tree: fetch, make, free and write back pages.
#include "engine/tree/page_cache.h"

#include <cassert>
#include <cstring>
#include <new>

#include "engine/results.h"
#include "engine/store/store.h"
#include "engine/tree/page.h"

namespace kvr::tree {

namespace {

using engine::IoOutcome;

// Past this the clock and every stamp are lowered by kClockRebase, so that
// the stamps keep their order while the numbers stay small.
constexpr uint32_t kClockLimit = 65535;
constexpr uint32_t kClockRebase = 255;

// A data-store status as a tree status.
Status store_to_tree_status(store::Status status) {
    switch (status) {
        case store::kOk:
            return kTreeOk;
        case store::kNoMemory:
        case store::kNoSpace:
            return kTreeNoMemory;
        default:
            return kTreeIoError;
    }
}

// True for an address where a whole page can lie inside a 32-bit file.
bool is_page_address(const Tree& tree, uint32_t address) {
    return address != 0 && engine::fits_in_file(address, tree.page_size());
}

Status seek_to(const Tree& tree, uint32_t address) {
    return tree_io_status(tree.io().seek(address));
}

// Reads the page at address into `page`, or, where the file is mapped and
// holds the whole page, hands back its address in the mapping in *view and
// copies nothing (only when view is not null). A read that delivers part of
// a page is accepted, the rest of the buffer zeroed; one that delivers
// nothing is an I/O error.
Status read_page(const Tree& tree, uint32_t address, unsigned char* page,
                 const unsigned char** view = nullptr) {
    Status status = seek_to(tree, address);
    if (status != kTreeOk)
        return kTreeIoError;
    uint32_t got = 0;
    const unsigned char* in_place = nullptr;
    status = tree_io_status(view != nullptr
                                ? tree.io().read_or_view(page, tree.page_size(), &got, &in_place)
                                : tree.io().read(page, tree.page_size(), &got));
    if (status != kTreeOk || got == 0)
        return kTreeIoError;
    if (in_place != nullptr) {
        *view = in_place;
        return kTreeOk;
    }
    if (got < tree.page_size())
        std::memset(page + got, 0, tree.page_size() - got);
    return kTreeOk;
}

// Forgets the page a slot saw in place. Such a page is only ever looked at:
// an update copies it into the slot's buffer before changing it, so nothing
// marks the page in the mapping changed (a change made there would reach
// the file behind the update's back).
template <typename Slot>
void drop_view(Slot& slot) {
    assert(slot.view == nullptr || !page_modified(slot.view));
    slot.view = nullptr;
}

// The page of a slot as a caller gets it: in place when it was only seen
// (no update running), else in the slot's buffer, copied there from the
// mapping first when an update is about to change a page seen in place.
template <typename Slot>
unsigned char* page_of(const Tree& tree, Slot& slot) {
    if (slot.view != nullptr && tree.mark_dirty()) {
        std::memcpy(slot.buffer.get(), slot.view, tree.page_size());
        drop_view(slot);
        set_page_modified(slot.buffer.get(), false);
    }
    return slot.bytes();
}

// What a page read from the file must say about itself before anything in
// it is used.
bool page_read_is_sound(const Tree& tree, const unsigned char* page, uint32_t address) {
    if (page_self(page) != address || page_key_number(page) != tree.key_number())
        return false;
    const int count = page_count(page);
    switch (page_type(page)) {
        case kBranchPage:
            return count >= 0 && count <= tree.branch_max() + 1 && count <= tree.branch_room();
        case kLeafPage:
            return count >= 0 && count <= tree.leaf_max() + 1 && count <= tree.leaf_room();
        default:
            return false;
    }
}

}  // namespace

Status tree_io_status(IoOutcome outcome) {
    switch (outcome.kind) {
        case IoOutcome::kDone:
            return kTreeOk;
        case IoOutcome::kEndOfFile:
            return kTreeEndOfFile;
        case IoOutcome::kFailed:
            break;
    }
    return kTreeIoError;
}

Status write_page(const Tree& tree, uint32_t address, const unsigned char* page) {
    return tree_io_status(tree.io().write_at(address, page, tree.page_size()));
}

// The steps of get_page, which work on the cache Tree keeps for them.
struct PageCacheSteps {
    using Slot = Tree::CacheSlot;

    // Past the clock's limit the clock and every stamp are lowered alike,
    // keeping their order.
    static void rebase_clock(Tree* tree) {
        if (tree->cache_clock_ <= kClockLimit)
            return;
        for (int s = 0; s < tree->cache_used_; ++s) {
            uint32_t& stamp = tree->slots_[s].stamp;
            stamp = stamp < kClockRebase ? 0 : stamp - kClockRebase;
        }
        tree->cache_clock_ -= kClockRebase;
    }

    // A slot holding the page is used again: its stamp is the clock's, and
    // its page must still name itself.
    static unsigned char* use_slot(Tree* tree, Slot& slot, uint32_t address, Status* result) {
        slot.stamp = tree->cache_clock_;
        unsigned char* page = page_of(*tree, slot);
        if (page_self(page) != address) {
            *result = kDamagedPage;
            return nullptr;
        }
        return page;
    }

    // The slot that holds `address` (the hint first, then a scan), or -1;
    // *empty receives the last empty slot the scan saw.
    static int find_slot(Tree* tree, uint32_t address, uint32_t hint_at, int* empty) {
        *empty = -1;
        const int hinted = tree->slot_hint_[hint_at];
        if (hinted < tree->cache_used_ && tree->slots_[hinted].page == address)
            return hinted;
        for (int s = 0; s < tree->cache_used_; ++s) {
            const uint32_t page = tree->slots_[s].page;
            if (page == kNoPage)
                *empty = s;
            else if (page == address) {
                tree->slot_hint_[hint_at] = static_cast<int8_t>(s);
                return s;
            }
        }
        return -1;
    }

    // A new slot with a buffer of its own, while fewer than the usable
    // slots are in use: its index, -1 when all are in use, -2 (with 107)
    // when there is no memory for its buffer.
    static int add_slot(Tree* tree, Status* result) {
        if (tree->cache_used_ >= kUsableCacheSlots)
            return -1;
        Slot& slot = tree->slots_[tree->cache_used_];
        slot.buffer.reset(new (std::nothrow) unsigned char[tree->page_size_]());
        if (!slot.buffer) {
            *result = kTreeNoMemory;
            return -2;
        }
        slot.page = kNoPage;
        return tree->cache_used_++;
    }

    // Empties the least recently used slot, writing its page first when it
    // is modified: its index, or -1 with 102 (every slot is in use by the
    // running operation, or the page names another address) or the write's
    // failure (the page stays to be written by a later flush or close).
    static int evict(Tree* tree, Status* result) {
        int chosen = 0;
        for (int s = 1; s < tree->cache_used_; ++s)
            if (tree->slots_[s].stamp < tree->slots_[chosen].stamp)
                chosen = s;
        if (tree->slots_[chosen].stamp == tree->cache_clock_) {
            *result = kDamagedPage;  // every page is in use by this operation
            return -1;
        }
        Slot& victim = tree->slots_[chosen];
        unsigned char* page = victim.buffer.get();
        if (victim.view != nullptr) {
            drop_view(victim);  // seen in place: nothing to write
        } else if (page_modified(page)) {
            set_page_modified(page, false);
            if (page_self(page) != victim.page) {
                *result = kDamagedPage;
                return -1;
            }
            *result = write_page(*tree, victim.page, page);
            if (*result != kTreeOk) {
                set_page_modified(page, true);
                return -1;
            }
        }
#ifndef NDEBUG
        // Pointers into the evicted page, handed out by an earlier
        // operation, are stale from here on. Builds with assertions give
        // the slot a new buffer, so that the sanitizers report any use of
        // them.
        if (unsigned char* fresh = new (std::nothrow) unsigned char[tree->page_size_]())
            victim.buffer.reset(fresh);
#endif
        return chosen;
    }

    // Reads the page into the slot: in place where the file is mapped and
    // nothing is to change it, else into the slot's buffer without the
    // modified mark the file should not hold; then checks it. Nothing of a
    // page that failed is kept.
    static unsigned char* read_into_slot(Tree* tree, Slot& slot, uint32_t address, Status* result) {
        unsigned char* page = slot.buffer.get();
        const unsigned char* view = nullptr;
        *result = read_page(*tree, address, page, tree->mark_dirty_ ? nullptr : &view);
        if (view != nullptr && !page_modified(view)) {
            slot.view = view;
            page = slot.bytes();
        } else {
            if (view != nullptr)
                std::memcpy(page, view, tree->page_size_);
            set_page_modified(page, false);
        }
        if (*result == kTreeOk && !page_read_is_sound(*tree, page, address))
            *result = kDamagedPage;
        if (*result != kTreeOk) {
            slot.page = kNoPage;
            slot.stamp = 0;
            drop_view(slot);
            return nullptr;
        }
        return page;
    }
};

unsigned char* get_page(Tree* tree, uint32_t address, Status* result) {
    using Steps = PageCacheSteps;
    *result = kTreeOk;
    if (!is_page_address(*tree, address)) {
        *result = kDamagedPage;
        return nullptr;
    }
    Steps::rebase_clock(tree);
    const uint32_t hint_at = (address / tree->page_size_) & 63;
    int empty = -1;
    const int found = Steps::find_slot(tree, address, hint_at, &empty);
    if (found >= 0)
        return Steps::use_slot(tree, tree->slots_[found], address, result);

    int chosen = empty;
    if (chosen < 0)
        chosen = Steps::add_slot(tree, result);
    if (chosen == -1)
        chosen = Steps::evict(tree, result);
    if (chosen < 0)
        return nullptr;

    Tree::CacheSlot& slot = tree->slots_[chosen];
    slot.stamp = tree->cache_clock_;
    slot.page = address;
    slot.view = nullptr;
    tree->slot_hint_[hint_at] = static_cast<int8_t>(chosen);
    if (tree->fresh_page_) {
        set_page_modified(slot.buffer.get(), true);
        return slot.buffer.get();
    }
    // A page only looked at is looked at in place, where the file is
    // mapped: no copy.
    return Steps::read_into_slot(tree, slot, address, result);
}

namespace {

// A page from the data store.
Status take_store_page(Tree* tree, uint32_t* address) {
    return store_to_tree_status(
        tree->block_pages()
            ? store::get_block(tree->store(), address, store::BlockSource::kAnywhere)
            : store::get_index_block(tree->store(), address));
}

void give_back_store_page(Tree* tree, uint32_t address) {
    if (tree->block_pages())
        store::release_block(tree->store(), address);
    else
        store::release_index_block(tree->store(), address);
}

}  // namespace

Status reserve_pages(Tree* tree, int count) {
    release_reserved_pages(tree);
    if (tree->store_ == nullptr)
        return kTreeIoError;
    if (count > kMaxReservedPages)
        return kDamagedPage;  // deeper than any tree a path can walk
    while (tree->reserved_count_ < count) {
        uint32_t at = 0;
        const Status status = take_store_page(tree, &at);
        if (status != kTreeOk) {
            release_reserved_pages(tree);
            return status;
        }
        tree->reserved_[static_cast<size_t>(tree->reserved_count_++)] = at;
    }
    return kTreeOk;
}

void release_reserved_pages(Tree* tree) {
    // Last taken, first given back: the store's free lists are kept so.
    while (tree->reserved_count_ > 0)
        give_back_store_page(tree, tree->reserved_[static_cast<size_t>(--tree->reserved_count_)]);
}

unsigned char* new_page(Tree* tree, uint32_t* address, Status* result) {
    *address = 0;
    if (tree->store_ == nullptr) {
        *result = kTreeIoError;
        return nullptr;
    }
    uint32_t at = 0;
    if (tree->reserved_count_ > 0) {
        at = tree->reserved_[static_cast<size_t>(--tree->reserved_count_)];
        *result = kTreeOk;
    } else {
        *result = take_store_page(tree, &at);
    }
    if (*result != kTreeOk)
        return nullptr;

    tree->fresh_page_ = true;
    unsigned char* page = get_page(tree, at, result);
    tree->fresh_page_ = false;
    if (page == nullptr) {
        // The store handed the page out; it goes back unused.
        give_back_store_page(tree, at);
        return nullptr;
    }
    tree->format_new_page(page, at);
    *address = at;
    return page;
}

Status free_page(Tree* tree, uint32_t address) {
    for (int s = 0; s < tree->cache_used_; ++s) {
        Tree::CacheSlot& slot = tree->slots_[s];
        if (slot.page == address) {
            slot.page = kNoPage;
            drop_view(slot);
            set_page_modified(slot.buffer.get(), false);
            break;
        }
    }
    if (tree->store_ == nullptr)
        return kTreeIoError;
    return store_to_tree_status(tree->block_pages_
                                    ? store::release_block(tree->store_, address)
                                    : store::release_index_block(tree->store_, address));
}

void Tree::drop_cached_pages() {
    for (int s = 0; s < cache_used_; ++s) {
        CacheSlot& slot = slots_[s];
        slot.page = kNoPage;
        slot.stamp = 0;
        // Between two operations of a shared tree other handles may have
        // freed or rewritten what a view showed: it is forgotten unchecked.
        slot.view = nullptr;
        set_page_modified(slot.buffer.get(), false);
    }
    stale_ = true;
}

Status reload_root(Tree* tree) {
    tree->drop_cached_pages();
    if (seek_to(*tree, tree->header_at_ + kRootAt) != kTreeOk)
        return kTreeIoError;
    unsigned char root[4];
    uint32_t got = 0;
    if (tree_io_status(tree->io_.read(root, sizeof root, &got)) != kTreeOk || got != sizeof root)
        return kTreeIoError;
    tree->set_root(platform::load_u32(root));
    tree->root_on_disk_ = tree->root();
    tree->stale_ = false;
    return kTreeOk;
}

Status flush_tree(Tree* tree) {
    if (tree->root() != tree->root_on_disk_) {
        if (tree_io_status(tree->io_.write_at(tree->header_at_ + kRootAt, tree->header_ + kRootAt,
                                              4)) != kTreeOk)
            return kTreeIoError;
    }
    for (int s = 0; s < tree->cache_used_; ++s) {
        Tree::CacheSlot& slot = tree->slots_[s];
        slot.stamp = 0;
        if (slot.page == kNoPage)
            continue;
        unsigned char* page = slot.buffer.get();
        if (slot.view != nullptr) {
            drop_view(slot);  // seen in place: the file's already
        } else if (page_modified(page)) {
            set_page_modified(page, false);
            if (page_self(page) != slot.page)
                return kDamagedPage;
            if (write_page(*tree, slot.page, page) != kTreeOk) {
                set_page_modified(page, true);
                return kTreeIoError;
            }
        }
        slot.page = kNoPage;
    }
    return kTreeOk;
}

}  // namespace kvr::tree
