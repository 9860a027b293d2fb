// The tree checker: a level-by-level walk from the root that carries, for
// every page, the separators that bound it from the left and from the right.
#include "engine/tree/checker.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "engine/results.h"
#include "engine/tree/operations.h"
#include "engine/tree/page.h"
#include "engine/tree/page_cache.h"
#include "engine/tree/tree_header.h"
#include "platform/coding.h"

namespace kvr::tree {

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kShownKeyBytes = 24;
constexpr char kHexDigits[] = "0123456789abcdef";

std::string page_text(uint32_t address) {
    return "page " + std::to_string(address);
}

// A branch key that bounds the pages below one of its children, and where
// it lives. The keys themselves are kept one after another in one buffer.
struct Separator {
    size_t key_at = 0;  // offset of its copy in the walk's key buffer
    uint32_t page = 0;
    int index = 0;
    int level = 0;
};

// A page of the next level, as its parent names it.
struct Pending {
    uint32_t address = 0;
    int lower = -1;  // the separator its keys start at (index in separators_), -1 none
    int upper = -1;  // the separator its keys stay below, -1 none
};

// Puts back what the walk changes on the open tree.
class TreeStateGuard {
public:
    explicit TreeStateGuard(Tree* tree)
        : tree_(tree), cursor_(tree->cursor()), mark_dirty_(tree->mark_dirty()) {
        tree_->set_mark_dirty(false);
    }
    ~TreeStateGuard() {
        tree_->cursor() = cursor_;
        tree_->set_mark_dirty(mark_dirty_);
    }
    TreeStateGuard(const TreeStateGuard&) = delete;
    TreeStateGuard& operator=(const TreeStateGuard&) = delete;

private:
    Tree* tree_;
    Cursor cursor_;
    bool mark_dirty_;
};

class Walk {
public:
    Walk(Tree* tree, TreeProblem* problem, TreeSummary* summary)
        : tree_(tree), problem_(problem), summary_(summary) {
        *problem_ = TreeProblem{};
        *summary_ = TreeSummary{};
        key_len_ = tree->key_len();
        part_len_ = tree->duplicates() ? key_len_ - kDuplicateNumberSize : key_len_;
    }

    bool check();
    bool count();

private:
    bool fail(std::string what, uint32_t page, int index, int level) {
        problem_->what = std::move(what);
        problem_->page = page;
        problem_->index = index;
        problem_->level = level;
        return false;
    }

    // Stored keys in the tree's order: the key part by the tree's key type,
    // then the duplicate number as a big-endian number.
    int compare(const unsigned char* a, const unsigned char* b) const {
        const int c = compare_keys(*tree_, a, b, part_len_);
        if (c != 0 || !tree_->duplicates())
            return c;
        const uint32_t da = platform::load_u32_be(a + part_len_);
        const uint32_t db = platform::load_u32_be(b + part_len_);
        return da < db ? -1 : da > db ? 1 : 0;
    }
    bool same_key_part(const unsigned char* a, const unsigned char* b) const {
        return compare_keys(*tree_, a, b, part_len_) == 0;
    }
    // A stored key: its key part, and in a tree with duplicates the
    // duplicate number after it.
    std::string key(const unsigned char* k) const {
        std::string text = key_text(k, part_len_, tree_->key_type());
        if (tree_->duplicates())
            text += " (duplicate " + std::to_string(platform::load_u32_be(k + part_len_)) + ")";
        return text;
    }

    const unsigned char* key_at(const unsigned char* page, int i) const {
        return is_leaf(page) ? leaf_key(*tree_, page, i) : branch_key(*tree_, page, i);
    }

    bool check_cache();
    bool fetch(uint32_t address, int level, Bytes* copy);
    bool raw_page(uint32_t address, Bytes* copy) const;
    bool check_head(const Bytes& copy, uint32_t address, int level);
    bool check_order(const unsigned char* page, uint32_t address, int level);
    bool check_leaf(const unsigned char* page, const Pending& at, int level);
    bool check_branch(const unsigned char* page, const Pending& at, int level,
                      std::vector<Pending>* below);

    Tree* tree_;
    TreeProblem* problem_;
    TreeSummary* summary_;
    int key_len_ = 0;
    int part_len_ = 0;

    // The key of a separator; valid until the next one is added.
    const unsigned char* key_of(const Separator& separator) const {
        return separator_keys_.data() + separator.key_at;
    }

    std::vector<Separator> separators_;
    Bytes separator_keys_;
    std::unordered_set<uint32_t> seen_;
    Bytes last_leaf_key_;  // the last key of the previous leaf, empty at the first
};

// The page as the cache holds it or as the file has it, for a page the cache
// refused: only to name what is wrong with it.
bool Walk::raw_page(uint32_t address, Bytes* copy) const {
    for (int s = 0; s < tree_->cache_used(); ++s) {
        if (tree_->cached_page(s) == address && tree_->cache_buffer(s) != nullptr) {
            std::memcpy(copy->data(), tree_->cache_buffer(s), copy->size());
            return true;
        }
    }
    if (address == 0 || !engine::fits_in_file(address, copy->size()))
        return false;
    uint32_t got = 0;
    if (!tree_->io().read_at(address, copy->data(), copy->size(), &got).ok() || got == 0)
        return false;
    std::memset(copy->data() + got, 0, copy->size() - got);
    return true;
}

bool Walk::fetch(uint32_t address, int level, Bytes* copy) {
    copy->assign(tree_->page_size(), 0);
    if (address == 0)
        return fail("child address 0", 0, -1, level);
    // One operation per page: the walk holds no pointer into the cache, so
    // any page fetched before may be evicted for this one.
    tree_->begin_operation();
    Status result = kTreeOk;
    const unsigned char* page = get_page(tree_, address, &result);
    if (page != nullptr) {
        std::memcpy(copy->data(), page, copy->size());
        return check_head(*copy, address, level);
    }
    if (result == kDamagedPage && raw_page(address, copy) && !check_head(*copy, address, level))
        return false;
    return fail(fetch_failure(result), address, -1, level);
}

// What a page says about itself, and its entry count.
bool Walk::check_head(const Bytes& copy, uint32_t address, int level) {
    const unsigned char* page = copy.data();
    if (page_self(page) != address)
        return fail("page_self is " + std::to_string(page_self(page)), address, -1, level);
    if (page_key_number(page) != tree_->key_number())
        return fail("page_key_number is " + std::to_string(page_key_number(page)) +
                        ", the tree's key number is " + std::to_string(tree_->key_number()),
                    address, -1, level);
    const int type = page_type(page);
    if (type != kBranchPage && type != kLeafPage)
        return fail("page_type " + std::to_string(type) + " is neither branch nor leaf", address,
                    -1, level);
    const bool leaf = type == kLeafPage;
    const int count = page_count(page);
    const int max = leaf ? tree_->leaf_max() : tree_->branch_max();
    const int room = leaf ? tree_->leaf_room() : tree_->branch_room();
    if (count < 0 || count > max || count > room)
        return fail("count " + std::to_string(count) + " outside 0.." + std::to_string(max),
                    address, -1, level);
    return true;
}

// Keys strictly ascending inside one page.
bool Walk::check_order(const unsigned char* page, uint32_t address, int level) {
    for (int i = 1; i < page_count(page); ++i) {
        const unsigned char* before = key_at(page, i - 1);
        const unsigned char* here = key_at(page, i);
        if (compare(before, here) < 0)
            continue;
        if (tree_->duplicates() && same_key_part(before, here))
            return fail(
                "duplicate number of " + key(here) + " does not ascend after " + key(before),
                address, i, level);
        return fail("key " + key(here) + " is not above the key before it, " + key(before), address,
                    i, level);
    }
    return true;
}

bool Walk::check_leaf(const unsigned char* page, const Pending& at, int level) {
    const int count = page_count(page);
    summary_->entries += static_cast<uint64_t>(count);
    if (count == 0)
        return true;  // only a root leaf, checked by the caller
    const unsigned char* first = leaf_key(*tree_, page, 0);
    const unsigned char* last = leaf_key(*tree_, page, count - 1);
    if (!last_leaf_key_.empty() && compare(last_leaf_key_.data(), first) >= 0) {
        const std::string what = tree_->duplicates() && same_key_part(last_leaf_key_.data(), first)
                                     ? "duplicate number of the first key " + key(first) +
                                           " does not ascend after the previous leaf's last key " +
                                           key(last_leaf_key_.data())
                                     : "first key " + key(first) +
                                           " is not above the previous leaf's last key " +
                                           key(last_leaf_key_.data());
        return fail(what, at.address, 0, level);
    }
    if (at.lower >= 0) {
        const Separator& lower = separators_[static_cast<size_t>(at.lower)];
        if (compare(key_of(lower), first) != 0)
            return fail("separator " + key(key_of(lower)) +
                            " differs from the first key of the leftmost leaf under its right "
                            "child: " +
                            key(first) + " in " + page_text(at.address),
                        lower.page, lower.index, lower.level);
    }
    if (at.upper >= 0) {
        const Separator& upper = separators_[static_cast<size_t>(at.upper)];
        if (compare(last, key_of(upper)) >= 0)
            return fail("separator " + key(key_of(upper)) + " is not above key " + key(last) +
                            " of its left subtree, in " + page_text(at.address) + " entry " +
                            std::to_string(count - 1),
                        upper.page, upper.index, upper.level);
    }
    last_leaf_key_.assign(last, last + key_len_);
    return true;
}

bool Walk::check_branch(const unsigned char* page, const Pending& at, int level,
                        std::vector<Pending>* below) {
    const int count = page_count(page);
    if (count > 0 && at.lower >= 0) {
        const Separator& lower = separators_[static_cast<size_t>(at.lower)];
        if (compare(key_of(lower), branch_key(*tree_, page, 0)) >= 0)
            return fail("key " + key(branch_key(*tree_, page, 0)) + " is not above the separator " +
                            key(key_of(lower)) + " of " + page_text(lower.page) +
                            " that leads here",
                        at.address, 0, level);
    }
    if (count > 0 && at.upper >= 0) {
        const Separator& upper = separators_[static_cast<size_t>(at.upper)];
        if (compare(branch_key(*tree_, page, count - 1), key_of(upper)) >= 0)
            return fail("key " + key(branch_key(*tree_, page, count - 1)) +
                            " is not below the separator " + key(key_of(upper)) + " of " +
                            page_text(upper.page) + " that leads here",
                        at.address, count - 1, level);
    }
    const int first_separator = static_cast<int>(separators_.size());
    for (int i = 0; i < count; ++i) {
        const unsigned char* k = branch_key(*tree_, page, i);
        separators_.push_back({separator_keys_.size(), at.address, i, level});
        separator_keys_.insert(separator_keys_.end(), k, k + key_len_);
    }
    for (int i = 0; i <= count; ++i) {
        const uint32_t child = branch_child(page, i);
        if (child == 0)
            return fail("child " + std::to_string(i) + " is 0", at.address, i, level);
        if (child == at.address)
            return fail("names itself as child " + std::to_string(i), at.address, i, level);
        if (!seen_.insert(child).second)
            return fail("child " + std::to_string(i) + " is " + page_text(child) +
                            ", reached before (an ancestor, or a child named twice)",
                        at.address, i, level);
        below->push_back({child, i == 0 ? at.lower : first_separator + i - 1,
                          i == count ? at.upper : first_separator + i});
    }
    return true;
}

// A cached page that names another address cannot be written back, and
// the cache refuses every fetch that would evict it: reported before the
// walk trips over it.
bool Walk::check_cache() {
    for (int s = 0; s < tree_->cache_used(); ++s) {
        const uint32_t address = tree_->cached_page(s);
        const unsigned char* page = tree_->cache_buffer(s);
        if (address != kNoPage && page != nullptr && page_self(page) != address)
            return fail("page_self is " + std::to_string(page_self(page)) + " in the cache",
                        address, -1, -1);
    }
    return true;
}

bool Walk::check() {
    const uint32_t root = tree_->root();
    if (root == 0)
        return fail("the tree has no root page", 0, -1, -1);
    if (!check_cache())
        return false;
    std::vector<Pending> level_pages{{root, -1, -1}};
    seen_.insert(root);
    Bytes copy;
    for (int level = 0;; ++level) {
        if (level >= kMaxTreeHeight)
            return fail("more than " + std::to_string(kMaxTreeHeight) + " levels",
                        level_pages.front().address, -1, level);
        summary_->pages_per_level.push_back(static_cast<uint32_t>(level_pages.size()));
        summary_->height = level + 1;
        int level_type = 0;
        std::vector<Pending> below;
        TreeProblem chain_problem;
        for (size_t j = 0; j < level_pages.size(); ++j) {
            const Pending& at = level_pages[j];
            if (!fetch(at.address, level, &copy))
                return false;
            ++summary_->pages;
            const unsigned char* page = copy.data();
            const int type = page_type(page);
            if (j == 0)
                level_type = type;
            if (type != level_type)
                return fail(std::string(type == kLeafPage ? "a leaf" : "a branch") + " among the " +
                                (level_type == kLeafPage ? "leaves" : "branches") + " of level " +
                                std::to_string(level) + ": leaves at different depths",
                            at.address, -1, level);
            const int count = page_count(page);
            if (level > 0) {
                const int min = type == kLeafPage ? tree_->leaf_min() : tree_->branch_min();
                if (count < min)
                    return fail("count " + std::to_string(count) + " is below the minimum " +
                                    std::to_string(min),
                                at.address, -1, level);
            } else if (type == kBranchPage && count < 1) {
                return fail("a root branch without keys", at.address, -1, level);
            }
            // A broken link is reported once the rest of the level is known
            // sound: a wrong child address also breaks the chain, and is
            // the better report.
            const uint32_t want_prev = j > 0 ? level_pages[j - 1].address : 0;
            const uint32_t want_next = j + 1 < level_pages.size() ? level_pages[j + 1].address : 0;
            if (chain_problem.what.empty() && prev_page(page) != want_prev)
                chain_problem = {"prev_page is " + std::to_string(prev_page(page)) +
                                     ", should be " + std::to_string(want_prev),
                                 at.address, -1, level};
            if (chain_problem.what.empty() && next_page(page) != want_next)
                chain_problem = {"next_page is " + std::to_string(next_page(page)) +
                                     ", should be " + std::to_string(want_next),
                                 at.address, -1, level};
            if (!check_order(page, at.address, level))
                return false;
            const bool fine = type == kLeafPage ? check_leaf(page, at, level)
                                                : check_branch(page, at, level, &below);
            if (!fine)
                return false;
        }
        if (!chain_problem.what.empty())
            return fail(chain_problem.what, chain_problem.page, chain_problem.index,
                        chain_problem.level);
        if (level_type == kLeafPage)
            return true;
        level_pages = std::move(below);
    }
}

bool Walk::count() {
    uint32_t first = tree_->root();
    if (first == 0)
        return fail("the tree has no root page", 0, -1, -1);
    if (!check_cache())
        return false;
    Bytes copy;
    for (int level = 0;; ++level) {
        if (level >= kMaxTreeHeight)
            return fail("more than " + std::to_string(kMaxTreeHeight) + " levels", first, -1,
                        level);
        summary_->height = level + 1;
        summary_->pages_per_level.push_back(0);
        int level_type = 0;
        uint32_t first_child = 0;
        for (uint32_t address = first; address != 0;) {
            if (!seen_.insert(address).second)
                return fail(
                    "reached a second time along the chain of level " + std::to_string(level),
                    address, -1, level);
            if (!fetch(address, level, &copy))
                return false;
            const unsigned char* page = copy.data();
            if (address == first) {
                level_type = page_type(page);
                first_child = level_type == kBranchPage ? branch_child(page, 0) : 0;
            } else if (page_type(page) != level_type) {
                return fail("page type differs from the first page of its level", address, -1,
                            level);
            }
            ++summary_->pages;
            ++summary_->pages_per_level.back();
            if (level_type == kLeafPage)
                summary_->entries += static_cast<uint64_t>(page_count(page));
            address = next_page(page);
        }
        if (level_type == kLeafPage)
            return true;
        first = first_child;
    }
}

}  // namespace

bool check_tree(Tree* tree, TreeProblem* problem, TreeSummary* summary) {
    TreeSummary unused;
    TreeStateGuard guard(tree);
    Walk walk(tree, problem, summary != nullptr ? summary : &unused);
    return walk.check();
}

bool count_entries(Tree* tree, TreeSummary* summary, TreeProblem* problem) {
    TreeProblem unused;
    TreeStateGuard guard(tree);
    Walk walk(tree, problem != nullptr ? problem : &unused, summary);
    return walk.count();
}

std::string key_text(const unsigned char* key, int len, uint8_t key_type) {
    if (key_type == kNumericKeyType && len >= 4)
        return "record number " + std::to_string(platform::load_u32(key));
    const size_t shown = std::min(static_cast<size_t>(std::max(len, 0)), kShownKeyBytes);
    std::string text = "\"";
    for (size_t i = 0; i < shown; ++i) {
        const unsigned char c = key[i];
        if (c == '\\') {
            text += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += "\\x";
            text += kHexDigits[c >> 4];
            text += kHexDigits[c & 15];
        }
    }
    text += "\"";
    if (shown < static_cast<size_t>(std::max(len, 0)))
        text += "...";
    return text;
}

std::string fetch_failure(Status status) {
    switch (status) {
        case kDamagedPage:
            return "the page is damaged: it cannot be used";
        case kTreeIoError:
            return "the page cannot be read";
        case kTreeNoMemory:
            return "the page cannot be fetched: out of memory";
        default:
            return "the page cannot be fetched (status " + std::to_string(code(status)) + ")";
    }
}

std::string describe(const TreeProblem& problem) {
    std::string where = problem.page != 0 ? page_text(problem.page) : std::string("tree");
    if (problem.level >= 0)
        where += " (level " + std::to_string(problem.level) + ")";
    if (problem.index >= 0)
        where += " entry " + std::to_string(problem.index);
    return where + ": " + problem.what;
}

}  // namespace kvr::tree
