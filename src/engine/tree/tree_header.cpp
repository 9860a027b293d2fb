// Tree header images: the capacity rule, create, and the check of a header
// read from a file.
#include "engine/tree/tree_header.h"

#include <algorithm>
#include <cstring>

#include "engine/tree/page.h"
#include "engine/tree/tree.h"

namespace kvr::tree {

int capacity_for(uint32_t page_size, int entry_size, bool block_pages) {
    int capacity =
        static_cast<int>((page_size - kPageHeaderSize) / static_cast<uint32_t>(entry_size));
    if (!block_pages)
        capacity -= 2;
    if (capacity % 2 == 0)
        capacity -= 1;
    return capacity;
}

PageShape page_shape(uint32_t page_size, int key_len, int data_len, bool block_pages) {
    PageShape shape;
    shape.branch_capacity = capacity_for(page_size, key_len + kChildSize, block_pages);
    shape.leaf_capacity = capacity_for(page_size, key_len + data_len, block_pages);
    shape.branch_keys_at =
        kPageHeaderSize + kChildSize * static_cast<uint32_t>(shape.branch_capacity + 1);
    shape.leaf_keys_at =
        kPageHeaderSize + static_cast<uint32_t>((shape.leaf_capacity + 1) * data_len);

    // The child array has cap + 1 slots, the leaf data array cap + 1, and
    // the key arrays what is left up to the end of the page. The block
    // layout can leave less than that: its arrays are cut to the page.
    auto keys_fitting = [&](uint32_t keys_at) {
        if (key_len == 0)
            return kLargestPageSize;
        if (keys_at > page_size)
            return 0u;
        return (page_size - keys_at) / static_cast<uint32_t>(key_len);
    };
    const uint32_t children_end = std::min(shape.branch_keys_at, page_size);
    const uint32_t children = (children_end - kPageHeaderSize) / kChildSize;
    const uint32_t most = kMaxPageCount;
    shape.branch_room =
        static_cast<int>(std::min({children - 1, keys_fitting(shape.branch_keys_at), most}));
    const uint32_t data_end = std::min(shape.leaf_keys_at, page_size);
    const uint32_t data = (data_end - kPageHeaderSize) / static_cast<uint32_t>(data_len);
    shape.leaf_room = static_cast<int>(std::min({data, keys_fitting(shape.leaf_keys_at), most}));
    return shape;
}

PageLimits default_limits(const PageShape& shape) {
    auto maximum = [](int capacity, int room) {
        if (room >= capacity - 1)
            return capacity - 1;
        return room - room % 2;
    };
    PageLimits limits;
    limits.branch_max = maximum(shape.branch_capacity, shape.branch_room);
    limits.branch_min = limits.branch_max / 2;
    limits.leaf_max = maximum(shape.leaf_capacity, shape.leaf_room);
    limits.leaf_min = limits.leaf_max / 2;
    return limits;
}

bool limits_fit(const PageShape& shape, const PageLimits& limits) {
    const PageLimits ours = default_limits(shape);
    auto given = [](int max, int min, int capacity, int our_max) {
        return (max == capacity - 1 || max == our_max) && min == max / 2;
    };
    const PageLimits working = working_limits(shape, limits);
    return given(limits.branch_max, limits.branch_min, shape.branch_capacity, ours.branch_max) &&
           given(limits.leaf_max, limits.leaf_min, shape.leaf_capacity, ours.leaf_max) &&
           working.branch_min >= 1 && working.leaf_min >= 1;
}

PageLimits working_limits(const PageShape& shape, const PageLimits& stored) {
    PageLimits limits;
    limits.branch_max = std::min(stored.branch_max, shape.branch_room);
    limits.branch_min = std::min(stored.branch_min, limits.branch_max / 2);
    limits.leaf_max = std::min(stored.leaf_max, shape.leaf_room);
    limits.leaf_min = std::min(stored.leaf_min, (limits.leaf_max + 1) / 2);
    return limits;
}

bool TreeHeaderView::magic_is_right() const {
    return std::memcmp(image_ + kMagicAt, kTreeMagic, sizeof kTreeMagic) == 0;
}

void TreeHeader::set_limits(const PageLimits& limits) {
    set_s32(kBranchMaxAt, limits.branch_max);
    set_s32(kBranchMinAt, limits.branch_min);
    set_s32(kLeafMaxAt, limits.leaf_max);
    set_s32(kLeafMinAt, limits.leaf_min);
}

void TreeHeader::clear_run_time_fields(int cur_key_len) {
    std::memset(image_ + 40, 0, 16);                 // keys_at offsets, handle, store
    std::memset(image_ + 68, 0, kKeyNumberAt - 68);  // cache, cursor, state bytes
    std::memset(image_ + 476, 0, 4);                 // root_on_disk
    std::memset(image_ + kCurKeyAt, 0, static_cast<size_t>(std::clamp(cur_key_len, 0, kMaxKeyLen)));
    set_tree_flags(key_type(), stored_flags().without(kTreeFreshPage | kTreeShared));
}

bool tree_header_is_sound(const unsigned char* header, const TreeShape& expected) {
    if (header == nullptr)
        return false;
    if (expected.key_length < 0 || expected.key_length > kMaxKeyLength || expected.data_len < 1 ||
        expected.data_len > kMaxDataLen || expected.key_number < 0 || expected.key_number > 255)
        return false;
    const TreeHeaderView view(header);
    if (!view.magic_is_right() || view.header_at() != expected.header_at ||
        view.key_number() != expected.key_number)
        return false;
    if (view.duplicates() != expected.duplicates ||
        view.key_len() != expected.key_length + (expected.duplicates ? kDuplicateNumberSize : 0))
        return false;
    if (view.key_type() != expected.key_type || view.data_len() != expected.data_len)
        return false;
    // Block pages come from the block format's store only.
    if (view.block_pages() && !expected.block_pages)
        return false;
    const uint32_t page_size = view.page_size();
    if (!is_valid_page_size(page_size, expected.block_pages) || page_size > expected.max_page_size)
        return false;
    if (view.root() == 0)
        return true;  // the limits are chosen afresh when the first page is made
    const PageShape shape =
        page_shape(page_size, view.key_len(), view.data_len(), expected.block_pages);
    return limits_fit(shape, view.limits());
}

}  // namespace kvr::tree

extern "C" int _vmq_create_tree(unsigned char* header, uint32_t flags, int key_length, int data_len,
                                uint32_t header_at) {
    using namespace kvr::tree;
    if (header == nullptr)
        return static_cast<int>(kTreeHeaderSize);
    if (key_length < 0 || key_length > kMaxKeyLength || data_len < 1 || data_len > kMaxDataLen)
        return 0;

    std::memset(header, 0, kTreeHeaderSize);
    std::memcpy(header + kMagicAt, kTreeMagic, sizeof kTreeMagic);
    TreeHeader view(header);
    view.set_key_number(static_cast<uint8_t>(flags >> 16));
    view.set_data_len(data_len);
    view.set_writable(1);
    const CreateFlags asked{flags};
    const auto key_type = static_cast<uint8_t>(flags & kKeyTypeMask);
    StoredFlags stored;
    int key_len = key_length;
    if (asked.has(kCreateDuplicates)) {
        stored = stored | kTreeDups;
        key_len += kDuplicateNumberSize;
    }
    if (asked.has(kCreateBlockPages))
        stored = stored | kTreeBlockPages;
    if (asked.has(kCreateCrtIo))
        stored = stored | kTreeCrtIo;
    view.set_tree_flags(key_type, stored);
    view.set_key_len(key_len);

    // The smallest page on which both page types keep at least the wanted
    // minimum. Every record key and data length reaches it by the largest
    // page; pages of the block layout, which can waste much of a page, stop
    // there with smaller limits.
    const bool block_pages = stored.has(kTreeBlockPages);
    uint32_t page_size = kSmallestPageSize;
    for (;;) {
        const PageLimits limits =
            default_limits(page_shape(page_size, key_len, data_len, block_pages));
        view.set_limits(limits);
        if ((limits.leaf_min >= kWantedMinimum && limits.branch_min >= kWantedMinimum) ||
            page_size == kLargestPageSize)
            break;
        page_size *= 2;
    }
    view.set_page_size(page_size);
    view.set_root(0);
    view.set_header_at(header_at);
    return static_cast<int>(page_size);
}
