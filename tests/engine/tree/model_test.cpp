// The tree operations against a model: long random sequences of inserts,
// key searches in every relation, cursor steps and deletes, each checked
// step by step (result, key, data, cursor state) against an ordered map of
// the entries the tree must hold. Between batches the tree is closed and
// opened again and the checker walks it.
//
// The model follows the tree's documented behaviour:
//   - with duplicates an entry is ordered by its key part, then by its
//     duplicate number; a new entry of a key part that has entries gets
//     one more than the largest number present, otherwise 0, so a run keeps
//     the order its entries came in; `duplicate` is set whenever the key
//     part already had an entry;
//   - a search compares by key part, landing on the first entry of a run
//     unless the key carries its own duplicate number (mode bit 8);
//   - after a delete the cursor rests on the entry before the deleted one
//     (state 2 when that entry is in the same leaf and the leaf kept enough
//     entries; 3 when it had to be found again by key: the deleted entry
//     was the first of its leaf, or the leaf was rebalanced), or before the
//     first entry (state 6) when there was none, so that the next step
//     returns the entry that followed the deleted one;
//   - a step back from the first entry gives 105 and leaves the cursor on
//     that entry in state 2; a step past the last gives 103 and state 0.
//
// A failure names the configuration, the seed and the operation number.
// Environment:
//   KVR_SOAK=1               many more operations; KVR_SOAK_OPS=N sets them per run
//   KVR_MODEL_CONFIG=name    run only that configuration
//   KVR_MODEL_SEED=n         run only that seed
//   KVR_MODEL_TRACE=n        print every operation from number n on
//   KVR_MODEL_CHECK_EVERY=1  walk the tree with the checker after every operation
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/results.h"
#include "engine/tree/checker.h"
#include "engine/tree/operations.h"
#include "engine/tree/tree_fixture.h"

namespace kvr::test {
namespace {

using Bytes = std::string;  // keys and data, byte for byte

struct Config {
    const char* name;
    int key_length;  // the record key; stored keys are 4 longer with duplicates
    bool dups;
    uint8_t key_type;
    int data_len;
    uint32_t key_space;   // distinct keys (key parts, with duplicates) drawn from
    size_t target;        // entries the tree grows to before it shrinks again
    uint64_t ops;         // operations per seed in the default run
    bool shared = false;  // opened shared: every operation reads the root again
                          // and finds the cursor again by its key
    int seeds = 2;        // of kSeeds, in the default run
    // Pages are blocks of the block format, with the limits the bare
    // capacity rule stores in the header, which may not fit a full page.
    bool block_pages = false;
};

const uint64_t kSeeds[] = {1, 2, 3, 4, 5, 6, 7, 8};

// Together a little over a million operations in the default run.
const Config kConfigs[] = {
    // A prime key tree: short byte-string keys, a record address as data.
    {"short_keys", 8, false, kByteStringKeyType, 4, 8000, 3000, 70000},
    // An alternate key with duplicates: few key parts, long runs that span
    // leaves, the prime key as data.
    {"short_keys_with_duplicates", 6, true, kByteStringKeyType, 10, 60, 4000, 70000},
    // Relative record numbers: 4-byte numbers that must order as numbers.
    {"numeric_keys", 4, false, kNumericKeyType, 4, 8000, 3000, 70000},
    // Numeric keys with duplicates, runs of more than 256 entries.
    {"numeric_keys_with_duplicates", 4, true, kNumericKeyType, 10, 8, 2500, 70000},
    // 255-byte keys: 30 to 60 entries a page, three levels.
    {"long_keys", 255, false, kByteStringKeyType, 4, 10000, 4000, 50000},
    // 255-byte keys with duplicates and 255 data bytes.
    {"long_keys_with_duplicates", 255, true, kByteStringKeyType, 255, 300, 7000, 40000},
    // 40-byte keys with a 10-byte prime key: three levels at a few thousand.
    {"medium_keys", 40, false, kByteStringKeyType, 10, 20000, 7000, 50000},
    // 86-byte keys: the smallest pages there are (21 to 42 entries), four
    // levels, and many parents at each level, so that pages are joined
    // across parents.
    {"deep_tree", 86, false, kByteStringKeyType, 4, 200000, 40000, 300000, false, 1},
    // A file shared between processes: pages are read again by every
    // operation and written by every change.
    {"shared_with_duplicates", 6, true, kByteStringKeyType, 10, 40, 1500, 20000, true},
    // A 4-byte alternate key over a 10-byte prime key in 4096-byte blocks:
    // the header says 290 entries a leaf, 289 fit.
    {"blocks_past_the_room", 4, false, kByteStringKeyType, 10, 2400, 1800, 50000, false, 2, true},
};

std::optional<uint64_t> env_number(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0)
        return std::nullopt;
    return std::strtoull(text, nullptr, 10);
}

constexpr char kHexDigits[] = "0123456789abcdef";
// Bytes that spell key ids: chosen to test unsigned order.
constexpr unsigned char kKeyDigits[] = {0x00, 0x01, 0x41, 0x7F, 0x80, 0xFE, 0xFF};
constexpr uint32_t kNumericScale[] = {1, 256, 65536, 16777216};
constexpr const char* kStepNames[] = {"next", "prev", "current"};

std::string hex(const Bytes& bytes) {
    std::string text;
    for (unsigned char c : bytes.substr(0, 40)) {
        text += kHexDigits[c >> 4];
        text += kHexDigits[c & 15];
    }
    return bytes.size() > 40 ? text + "..." : text;
}

Bytes bytes_at(const unsigned char* p, int n) {
    return Bytes(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

// The order of stored keys: key part by key type, then duplicate number.
struct KeyOrder {
    const Config* config;

    int part_len() const { return config->key_length; }
    int compare_parts(const Bytes& a, const Bytes& b) const {
        if (config->key_type == kNumericKeyType) {
            const uint32_t x = load_u32(reinterpret_cast<const unsigned char*>(a.data()));
            const uint32_t y = load_u32(reinterpret_cast<const unsigned char*>(b.data()));
            return x < y ? -1 : x > y ? 1 : 0;
        }
        const int c = std::memcmp(a.data(), b.data(), static_cast<size_t>(part_len()));
        return c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    int compare(const Bytes& a, const Bytes& b) const {
        const int c = compare_parts(a, b);
        if (c != 0 || !config->dups)
            return c;
        const uint32_t x = number_of(a), y = number_of(b);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    bool operator()(const Bytes& a, const Bytes& b) const { return compare(a, b) < 0; }

    uint32_t number_of(const Bytes& key) const {
        return platform::load_u32_be(reinterpret_cast<const unsigned char*>(key.data()) +
                                     part_len());
    }
};

using Entries = std::map<Bytes, Bytes, KeyOrder>;
using Entry = Entries::const_iterator;

// The cursor as the model knows it.
struct ModelCursor {
    uint8_t state = 0;
    bool known = true;  // false: the position is not known (state still is)
    Entry at;           // the entry it rests on, when state has bit 2
};

class ModelRun {
public:
    ModelRun(const Config& config, uint64_t seed, Tree* tree, std::function<int()> reopen)
        : config_(config),
          seed_(seed),
          tree_(tree),
          reopen_(std::move(reopen)),
          order_{&config_},
          entries_(order_),
          rng_(seed * 0x9E3779B97F4A7C15ull + 12345) {
        key_len_ = config.key_length + (config.dups ? 4 : 0);
        trace_from_ = env_number("KVR_MODEL_TRACE").value_or(UINT64_MAX);
        check_every_ = env_number("KVR_MODEL_CHECK_EVERY").value_or(0) != 0;
    }

    // Runs `ops` operations in batches; false with failure() set at the
    // first difference.
    bool run(uint64_t ops);
    const std::string& failure() const { return failure_; }
    // How far the run went: the most levels the tree had, and how often it
    // shrank again.
    int height_reached() const { return max_height_; }
    int shrinks() const { return shrinks_; }

private:
    // Randomness.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    bool chance(int percent) { return below(100) < static_cast<uint32_t>(percent); }

    // Keys and data.
    Bytes key_part(uint32_t id) const;
    Bytes random_part() { return key_part(below(config_.key_space)); }
    Bytes stored(const Bytes& part, uint32_t number) const {
        if (!config_.dups)
            return part;
        unsigned char n[4];
        platform::store_u32_be(n, number);
        return part + bytes_at(n, 4);
    }
    Bytes part_of(const Bytes& key) const {
        return key.substr(0, static_cast<size_t>(config_.key_length));
    }
    bool same_part(const Bytes& a, const Bytes& b) const { return order_.compare_parts(a, b) == 0; }
    // A key as a caller passes it: with duplicates, 4 bytes of noise after
    // the key part, which the tree must ignore.
    Bytes caller_key(const Bytes& part) {
        if (!config_.dups)
            return part;
        unsigned char noise[4];
        store_u32(noise, static_cast<uint32_t>(rng_()));
        return part + bytes_at(noise, 4);
    }
    Bytes new_data();
    // A key part present in the tree more often than chance would give.
    Bytes likely_part();
    const unsigned char* raw(const Bytes& b) const {
        return reinterpret_cast<const unsigned char*>(b.data());
    }

    // Reports.
    bool fail(const std::string& what);
    void trace(const std::string& text) const;
    bool expect_result(const char* op, int got, int want);
    bool expect_entry(const char* op, const unsigned char* key, const unsigned char* data,
                      Entry want);
    bool expect_state(const char* op, uint8_t want);
    bool expect_empty_tree_state(const char* op, uint8_t before);

    // Operations; each returns false at a difference.
    bool one_operation();
    bool op_insert();
    bool op_search(int mode);
    bool op_getdup();
    bool op_end(bool last);
    bool op_step(int kind);  // 0 next, 1 prev, 2 current
    bool op_isdup();
    bool op_delete(bool position_first);
    bool op_delete_run();
    bool op_shift();
    bool position_somewhere();
    bool leaf_will_underflow();
    bool end_batch();
    bool full_walk(bool backwards);

    // What a search with this key and mode must find: the result, the entry
    // and whether equal_seen is set.
    struct Found {
        int result = 0;
        Entry at;
        int equal_seen = 0;
    };
    Found expected_search(const Bytes& key, int mode) const;
    void land(Entry at) {
        cursor_.state = 3;
        cursor_.known = true;
        cursor_.at = at;
    }

    const Config config_;
    const uint64_t seed_;
    Tree* tree_;
    std::function<int()> reopen_;
    KeyOrder order_;
    Entries entries_;
    std::mt19937_64 rng_;
    int key_len_ = 0;

    ModelCursor cursor_;
    uint64_t op_ = 0;
    uint64_t batch_ = 0;
    uint64_t serial_ = 0;
    bool growing_ = true;
    size_t floor_ = 0;
    int max_height_ = 0;
    int shrinks_ = 0;
    uint64_t trace_from_ = UINT64_MAX;
    bool check_every_ = false;
    std::string op_text_;
    std::string failure_;
};

// Key parts: 5 significant bytes (7 in keys of 12 bytes or more) that spell
// the id in base 7 over bytes chosen to test unsigned order (0x00, 0x7F,
// 0x80, 0xFF), after a long shared prefix in long keys and before filler
// bytes; numeric keys are multiples of 1, 256, 65536 and 16777216.
Bytes ModelRun::key_part(uint32_t id) const {
    if (config_.key_type == kNumericKeyType) {
        unsigned char n[4];
        store_u32(n, (id / 4 + 1) * kNumericScale[id % 4]);
        return bytes_at(n, 4) + Bytes(static_cast<size_t>(config_.key_length - 4), '\0');
    }
    const int len = config_.key_length;
    const int significant = len >= 12 ? 7 : std::min(len, 5);  // 7^4, 7^5 and 7^7 ids
    const int filler = std::min(3, len - significant);
    const int prefix = len - significant - filler;
    Bytes key(static_cast<size_t>(prefix), 'P');
    if (prefix > 0)
        key.back() = static_cast<char>(0x10 * (id % 3));
    uint32_t rest = id;
    Bytes digits(significant, '\0');
    for (int i = significant - 1; i >= 0; --i) {
        digits[static_cast<size_t>(i)] = static_cast<char>(kKeyDigits[rest % 7]);
        rest /= 7;
    }
    key += digits;
    for (int i = 0; i < filler; ++i)
        key += static_cast<char>((id * 37 + static_cast<uint32_t>(i) * 101) & 0xFF);
    return key;
}

// Data: a record address (4 bytes, any value) or a prime key, unique to
// each insert so that a duplicate can be found by its data.
Bytes ModelRun::new_data() {
    ++serial_;
    Bytes data(static_cast<size_t>(config_.data_len), '\0');
    unsigned char word[4];
    store_u32(word, config_.data_len == 4 ? static_cast<uint32_t>(rng_())
                                          : static_cast<uint32_t>(serial_));
    data.replace(0, std::min<size_t>(4, data.size()), bytes_at(word, 4), 0,
                 std::min<size_t>(4, data.size()));
    for (size_t i = 4; i < data.size(); ++i)
        data[i] = static_cast<char>((serial_ * 13 + i) & 0xFF);
    return data;
}

Bytes ModelRun::likely_part() {
    const Bytes part = random_part();
    if (entries_.empty() || chance(40))
        return part;
    Entry at = entries_.lower_bound(stored(part, 0));
    if (at == entries_.end())
        at = std::prev(at);
    return part_of(at->first);
}

void ModelRun::trace(const std::string& text) const {
    if (op_ >= trace_from_)
        std::fprintf(stderr, "op %" PRIu64 ": %s\n", op_, text.c_str());
}

bool ModelRun::fail(const std::string& what) {
    failure_ = std::string(config_.name) + " seed " + std::to_string(seed_) + " op " +
               std::to_string(op_) + " (batch " + std::to_string(batch_) + ", " +
               std::to_string(entries_.size()) + " entries): " + op_text_ + ": " + what;
    TreeProblem problem;
    if (!check_tree(tree_, &problem))
        failure_ += "\n  and the tree is damaged: " + describe(problem);
    return false;
}

bool ModelRun::expect_result(const char* op, int got, int want) {
    if (got == want)
        return true;
    return fail(std::string(op) + " returned " + std::to_string(got) + ", expected " +
                std::to_string(want));
}

bool ModelRun::expect_entry(const char* op, const unsigned char* key, const unsigned char* data,
                            Entry want) {
    if (key != nullptr && bytes_at(key, key_len_) != want->first)
        return fail(std::string(op) + " found key " + hex(bytes_at(key, key_len_)) + ", expected " +
                    hex(want->first));
    if (data != nullptr && bytes_at(data, config_.data_len) != want->second)
        return fail(std::string(op) + " found data " + hex(bytes_at(data, config_.data_len)) +
                    ", expected " + hex(want->second));
    return true;
}

// In an empty tree the operations return before they reach the cursor, or
// clear it: nothing that follows can tell the two apart, so either is taken
// and the model follows the tree.
bool ModelRun::expect_empty_tree_state(const char* op, uint8_t before) {
    const uint8_t state = tree_->cursor().state;
    if (state != before && state != 0)
        return expect_state(op, before);
    cursor_.state = state;
    return true;
}

bool ModelRun::expect_state(const char* op, uint8_t want) {
    if (tree_->cursor().state == want)
        return true;
    return fail(std::string(op) + " left cursor state " + std::to_string(tree_->cursor().state) +
                ", expected " + std::to_string(want));
}

ModelRun::Found ModelRun::expected_search(const Bytes& key, int mode) const {
    Found found;
    Bytes search = key;
    if (config_.dups && (mode & kSearchExact) == 0)
        search = stored(part_of(key), 0);
    Entry p = entries_.lower_bound(search);
    int r = p != entries_.end() && order_.compare(p->first, search) == 0 ? 0 : 1;
    if (config_.dups && r != 0 && p != entries_.end() && same_part(p->first, search))
        r = 0;
    found.at = entries_.end();
    if (r != 0) {
        if ((mode & kSearchGreater) != 0) {
            found.at = p;
            found.result = p == entries_.end() ? 2 : 0;
        } else if ((mode & kSearchBackwards) != 0) {
            found.result = p == entries_.begin() ? code(kKeyNotFound) : 0;
            if (found.result == 0)
                found.at = std::prev(p);
        } else {
            found.result = 2;
        }
        return found;
    }
    if ((mode & kSearchEqual) != 0) {
        found.at = p;
        Entry next = std::next(p);
        if (config_.dups && next != entries_.end() && same_part(next->first, search))
            found.equal_seen = 1;
        return found;
    }
    found.equal_seen = 1;
    if ((mode & kSearchBackwards) != 0) {
        Entry q = p;
        while (q != entries_.begin()) {
            --q;
            if (order_.compare_parts(q->first, search) < 0) {
                found.at = q;
                return found;
            }
        }
        found.result = code(kKeyNotFound);
        return found;
    }
    for (Entry q = std::next(p); q != entries_.end(); ++q) {
        if (order_.compare_parts(q->first, search) > 0) {
            found.at = q;
            return found;
        }
    }
    found.result = 2;
    return found;
}

bool ModelRun::op_insert() {
    // Without duplicates mostly new keys, so that the tree grows.
    const Bytes part = config_.dups || chance(15) ? likely_part() : random_part();
    const Bytes key = caller_key(part);
    const Bytes data = new_data();
    op_text_ = "insert " + hex(key) + " data " + hex(data);
    trace(op_text_);
    int duplicate = 0;
    const uint8_t state_before = tree_->cursor().state;
    const int result = _vmq_insert(tree_, raw(key), raw(data), &duplicate);
    if (!config_.dups) {
        if (entries_.count(key) != 0) {
            cursor_.known = false;  // the descent moved it; the state stays
            return expect_result("insert", result, code(kDuplicateKey)) &&
                   expect_state("insert", state_before);
        }
        if (!expect_result("insert", result, 0))
            return false;
        if (duplicate != 0)
            return fail("insert set duplicate in a tree without duplicates");
        land(entries_.emplace(key, data).first);
        return expect_state("insert", 3);
    }
    uint32_t number = 0;
    int want_duplicate = 0;
    // Any entry of the key part makes the insert a duplicate, numbered
    // after the run's last entry.
    const Entry first_at_or_after = entries_.lower_bound(stored(part, 0));
    if (first_at_or_after != entries_.end() && same_part(first_at_or_after->first, part)) {
        want_duplicate = 1;
        Entry last = std::prev(entries_.upper_bound(stored(part, 0xFFFFFFFF)));
        number = order_.number_of(last->first) + 1;
    }
    if (!expect_result("insert", result, 0))
        return false;
    if (duplicate != want_duplicate)
        return fail("insert gave duplicate " + std::to_string(duplicate) + ", expected " +
                    std::to_string(want_duplicate));
    land(entries_.emplace(stored(part, number), data).first);
    // A shared tree finds its cursor again by the key the caller passed,
    // whose duplicate number is not the one the entry was given.
    cursor_.known = !config_.shared;
    return expect_state("insert", 3);
}

// A search with one of the relations the engine uses. Without mode bit 8
// the key is a key part that is often present; with it, a stored key (mode
// 14: at it or the next entry; mode 10: at it or at a later entry of its
// key part), now and then one whose duplicate number has gone.
bool ModelRun::op_search(int mode) {
    Bytes key;
    if ((mode & kSearchExact) == 0) {
        key = caller_key(likely_part());
    } else if (!entries_.empty() && chance(80)) {
        Entry at = entries_.lower_bound(stored(random_part(), below(4)));
        key = (at == entries_.end() ? entries_.begin() : at)->first;
        if (config_.dups && chance(30))
            key = stored(part_of(key), order_.number_of(key) + below(3));
    } else {
        key = stored(random_part(), below(3));
    }
    op_text_ = "search mode " + std::to_string(mode) + " " + hex(key);
    trace(op_text_);
    const bool want_pointers = !chance(10);
    unsigned char* data = nullptr;
    unsigned char* found = nullptr;
    int equal_seen = 0;
    const uint8_t state_before = tree_->cursor().state;
    const int result = _vmq_getkey(tree_, raw(key), want_pointers ? &data : nullptr, mode,
                                   &equal_seen, want_pointers ? &found : nullptr);
    if (entries_.empty())
        return expect_result("getkey", result, 2) &&
               expect_empty_tree_state("getkey", state_before);
    const Found want = expected_search(key, mode);
    if (!expect_result("getkey", result, want.result))
        return false;
    if (equal_seen != want.equal_seen)
        return fail("getkey equal_seen " + std::to_string(equal_seen) + ", expected " +
                    std::to_string(want.equal_seen));
    if (want.result != 0) {
        cursor_.state = 0;
        return expect_state("getkey", 0);
    }
    land(want.at);
    return expect_entry("getkey", found, data, want.at) && expect_state("getkey", 3);
}

// The entry of a key part with given data: mostly one that is there.
bool ModelRun::op_getdup() {
    Bytes part = likely_part();
    Bytes value = new_data();
    Entry first = entries_.lower_bound(stored(part, 0));
    if (first != entries_.end() && same_part(first->first, stored(part, 0)) && chance(80)) {
        Entry pick = first;
        for (uint32_t k = below(40); k > 0; --k) {
            Entry next = std::next(pick);
            if (next == entries_.end() || !same_part(next->first, pick->first))
                break;
            pick = next;
        }
        value = pick->second;
    }
    const Bytes key = caller_key(part);
    op_text_ = "getdup " + hex(key) + " data " + hex(value);
    trace(op_text_);
    unsigned char* data = nullptr;
    const int result = _vmq_getdup(tree_, raw(key), raw(value), &data);

    int want = 0;
    Entry at = entries_.end();
    const Found start = expected_search(stored(part, 0), kSearchEqual | kSearchGreater);
    if (entries_.empty() || start.result != 0) {
        want = 2;
    } else if (!same_part(start.at->first, stored(part, 0))) {
        want = 1;
    } else {
        for (at = start.at; at->second != value;) {
            ++at;
            if (at == entries_.end()) {
                want = code(kTreeEndOfFile);
                break;
            }
            if (!same_part(at->first, stored(part, 0))) {
                want = 1;
                break;
            }
        }
    }
    // A walk that runs off the last entry ends in the step's end of file;
    // it is as much "no entry with that key and data" as a walk that meets
    // another key part, and either result is taken.
    if (want == code(kTreeEndOfFile) && result == 1)
        want = 1;
    if (!expect_result("getdup", result, want))
        return false;
    if (want != 0) {
        cursor_.state = 0;
        return expect_state("getdup", 0);
    }
    land(at);
    return expect_entry("getdup", nullptr, data, at) && expect_state("getdup", 3);
}

bool ModelRun::op_end(bool last) {
    op_text_ = last ? "last" : "first";
    trace(op_text_);
    unsigned char* key = nullptr;
    unsigned char* data = nullptr;
    const uint8_t state_before = tree_->cursor().state;
    const int result = last ? _vmq_getlast(tree_, &key, &data) : _vmq_getfirst(tree_, &key, &data);
    if (entries_.empty())
        return expect_result(op_text_.c_str(), result, code(kTreeEndOfFile)) &&
               expect_empty_tree_state(op_text_.c_str(), state_before);
    if (!expect_result(op_text_.c_str(), result, 0))
        return false;
    land(last ? std::prev(entries_.end()) : entries_.begin());
    return expect_entry(op_text_.c_str(), key, data, cursor_.at) &&
           expect_state(op_text_.c_str(), 3);
}

bool ModelRun::op_step(int kind) {
    const char* name = kStepNames[kind];
    if (!cursor_.known && (cursor_.state & kCursorValid) != 0)
        return position_somewhere();
    op_text_ = name;
    trace(op_text_);
    unsigned char* key = nullptr;
    unsigned char* data = nullptr;
    const uint8_t state_before = tree_->cursor().state;
    const bool pass_data = !chance(10);
    const int result = kind == 0   ? _vmq_getnext(tree_, &key, pass_data ? &data : nullptr)
                       : kind == 1 ? _vmq_getprev(tree_, &key, pass_data ? &data : nullptr)
                                   : _vmq_getcur(tree_, &key, pass_data ? &data : nullptr);
    if (entries_.empty())
        return expect_result(name, result, code(kTreeEndOfFile)) &&
               expect_empty_tree_state(name, state_before);
    if (cursor_.state == 0)
        return expect_result(name, result, code(kNoCurrentEntry)) && expect_state(name, 0);

    // Where the step starts: before the first entry, the next and current
    // steps take the first one and the previous step goes back from it.
    Entry from = cursor_.at;
    if ((cursor_.state & kCursorBeforeFirst) != 0) {
        from = entries_.begin();
        if (kind != 1) {
            if (!expect_result(name, result, 0))
                return false;
            land(from);
            return expect_entry(name, key, data, from) && expect_state(name, 3);
        }
    }
    // Right after a delete, stepping back returns the entry the cursor
    // stands on: the one before the entry deleted.
    if (kind == 2 || (kind == 1 && (cursor_.state & kCursorAfterDeleted) != 0)) {
        if (!expect_result(name, result, 0))
            return false;
        land(from);
        return expect_entry(name, key, data, from) && expect_state(name, 3);
    }
    if (kind == 0) {
        Entry to = std::next(from);
        if (to == entries_.end()) {
            cursor_.state = 0;
            return expect_result(name, result, code(kTreeEndOfFile)) && expect_state(name, 0);
        }
        if (!expect_result(name, result, 0))
            return false;
        land(to);
        return expect_entry(name, key, data, to) && expect_state(name, 3);
    }
    if (from == entries_.begin()) {
        cursor_.state = 2;
        cursor_.at = from;                // it stays on the first entry...
        cursor_.known = !config_.shared;  // ...but a shared tree forgets its key
        if (!expect_result(name, result, code(kKeyNotFound)))
            return false;
        if (key != nullptr)
            return fail("prev before the first entry gave a key");
        return expect_state(name, 2);
    }
    if (!expect_result(name, result, 0))
        return false;
    land(std::prev(from));
    return expect_entry(name, key, data, cursor_.at) && expect_state(name, 3);
}

bool ModelRun::op_isdup() {
    if (!cursor_.known && (cursor_.state & kCursorOnEntry) != 0)
        return position_somewhere();
    op_text_ = "isdup";
    trace(op_text_);
    const int result = _vmq_isdup(tree_);
    int want = 0;
    if (config_.dups && (cursor_.state & kCursorOnEntry) != 0) {
        Entry next = std::next(cursor_.at);
        want = next != entries_.end() && same_part(next->first, cursor_.at->first) ? 1 : 0;
    }
    return expect_result("isdup", result, want);
}

// Puts the cursor on some entry the way the engine does before a delete: a
// search for a key, a return to a stored key, or the first or last entry.
bool ModelRun::position_somewhere() {
    switch (below(5)) {
        case 0:
            return op_search(kSearchEqual);
        case 1:
            return op_search(kSearchEqual | kSearchGreater);
        case 2:
            return op_search(kSearchExact | kSearchEqual | kSearchGreater);
        case 3:
            return op_end(false);
        default:
            return op_end(true);
    }
}

bool ModelRun::op_delete(bool position_first) {
    if (position_first || (!cursor_.known && (cursor_.state & kCursorOnEntry) != 0)) {
        if (!position_somewhere())
            return false;
        ++op_;
    }
    op_text_ = "delete";
    if ((cursor_.state & kCursorOnEntry) != 0)
        op_text_ += " " + hex(cursor_.at->first);
    trace(op_text_);
    const uint8_t state_before = tree_->cursor().state;
    // Whether the cursor must be found again by key afterwards: the entry
    // before is in another leaf, or the leaf will be rebalanced.
    const bool refind = tree_->cursor().index == 0 || leaf_will_underflow();
    const int result = _vmq_delete(tree_);
    if ((cursor_.state & kCursorOnEntry) == 0)
        return expect_result("delete", result, code(kNoCurrentEntry)) &&
               expect_state("delete", state_before);
    if (!expect_result("delete", result, 0))
        return false;
    const Entry victim = cursor_.at;
    const Entry follower = std::next(victim);
    const bool has_before = victim != entries_.begin();
    const Entry before = has_before ? std::prev(victim) : entries_.end();
    entries_.erase(victim);
    if (!has_before) {
        cursor_.state = kCursorValid | kCursorBeforeFirst;
        cursor_.known = true;
        if (!expect_state("delete", cursor_.state))
            return false;
    } else {
        // On the entry before, marked as standing after the gap: 2 when it
        // stayed where it was, 3 when it was found again by its key.
        const uint8_t want = (refind ? 3 : 2) | kCursorAfterDeleted;
        if (!expect_state("delete", want))
            return false;
        cursor_.state = want;
        cursor_.known = true;
        cursor_.at = before;
    }
    if (!chance(50))
        return true;
    // The next step returns the entry that followed the deleted one.
    ++op_;
    op_text_ = "next after delete";
    trace(op_text_);
    unsigned char* key = nullptr;
    unsigned char* data = nullptr;
    const int next = _vmq_getnext(tree_, &key, &data);
    if (entries_.empty())
        return expect_result("next", next, code(kTreeEndOfFile)) &&
               expect_empty_tree_state("next", cursor_.state);
    if (follower == entries_.end()) {
        cursor_.state = 0;
        return expect_result("next", next, code(kTreeEndOfFile)) && expect_state("next", 0);
    }
    if (!expect_result("next", next, 0))
        return false;
    land(follower);
    return expect_entry("next", key, data, follower) && expect_state("next", 3);
}

// True when removing one entry from the cursor's leaf leaves it below the
// minimum, so that it borrows or is joined (a root leaf never is). Reads the
// leaf without marking it modified.
bool ModelRun::leaf_will_underflow() {
    const bool mark_dirty = tree_->mark_dirty();
    tree_->set_mark_dirty(false);
    tree_->begin_operation();
    Status status = kTreeOk;
    const uint32_t leaf = tree_->cursor().page;
    const unsigned char* page = leaf != 0 ? get_page(tree_, leaf, &status) : nullptr;
    tree_->set_mark_dirty(mark_dirty);
    return page != nullptr && leaf != tree_->root() && page_count(page) - 1 < tree_->leaf_min();
}

// Deletes consecutive entries the way a program deletes what it reads.
bool ModelRun::op_delete_run() {
    if (!position_somewhere())
        return false;
    for (uint32_t k = 2 + below(40); k > 0 && !entries_.empty(); --k) {
        ++op_;
        if ((cursor_.state & kCursorOnEntry) == 0) {
            if (!op_step(0))
                return false;
            if ((cursor_.state & kCursorOnEntry) == 0)
                return true;  // past the end
            ++op_;
        }
        if (!op_delete(false))
            return false;
    }
    return true;
}

// Adds a delta to the stored addresses of a few consecutive entries.
bool ModelRun::op_shift() {
    const Bytes key = likely_part();
    const int count = static_cast<int>(below(8)) - 1;
    const int32_t delta = static_cast<int32_t>(below(2001)) - 1000;
    op_text_ =
        "shift " + hex(key) + " count " + std::to_string(count) + " delta " + std::to_string(delta);
    trace(op_text_);
    const int result = _vmq_shift_val(tree_, raw(key), count, delta);
    cursor_.known = false;
    int want = 0;
    if (count > 0) {
        auto at = entries_.lower_bound(key);
        for (int i = 0; i < count; ++i, ++at) {
            if (at == entries_.end()) {
                want = code(kTreeEndOfFile);
                break;
            }
            unsigned char* word = reinterpret_cast<unsigned char*>(at->second.data());
            store_u32(word, load_u32(word) + static_cast<uint32_t>(delta));
        }
    }
    return expect_result("shift", result, want);
}

bool ModelRun::one_operation() {
    // Grow to the target, then shrink to a floor that is now and then
    // nothing at all, and grow again.
    if (growing_ && entries_.size() >= config_.target) {
        growing_ = false;
        ++shrinks_;
        const size_t floors[] = {0, config_.target / 20, config_.target / 4};
        floor_ = floors[below(3)];
    } else if (!growing_ && entries_.size() <= floor_) {
        growing_ = true;
    }
    const int inserts = growing_ ? 60 : 10;
    const int deletes = growing_ ? 4 : 45;
    uint32_t roll = below(100);
    if (roll < static_cast<uint32_t>(inserts))
        return op_insert();
    roll -= static_cast<uint32_t>(inserts);
    if (roll < static_cast<uint32_t>(deletes))
        return chance(8) ? op_delete_run() : op_delete(!chance(15));
    switch (below(16)) {
        case 0:
            return op_search(kSearchEqual);
        case 1:
            return op_search(kSearchGreater);
        case 2:
            return op_search(kSearchEqual | kSearchGreater);
        case 3:
            return op_search(kSearchEqual | kSearchBackwards);
        case 4:
            return op_search(kSearchBackwards);
        case 5:
            return op_search(kSearchExact | kSearchEqual | kSearchGreater);
        case 6:
            return op_search(kSearchExact | kSearchEqual);
        case 7:
            return op_getdup();
        case 8:
            return op_end(chance(50));
        case 9:
            return op_isdup();
        case 10:
            if (!config_.dups)
                return op_shift();
            return op_isdup();
        default: {
            // A short walk in one direction, now and then turning.
            const int kind = static_cast<int>(below(3));
            for (uint32_t k = 1 + below(12); k > 0; --k) {
                if (!op_step(chance(85) ? kind : static_cast<int>(below(3))))
                    return false;
                ++op_;
            }
            return true;
        }
    }
}

// Every entry in order, one way or the other, data included.
bool ModelRun::full_walk(bool backwards) {
    op_text_ = backwards ? "walk backwards" : "walk forwards";
    const char* name = op_text_.c_str();
    unsigned char* key = nullptr;
    unsigned char* data = nullptr;
    int result = backwards ? _vmq_getlast(tree_, &key, &data) : _vmq_getfirst(tree_, &key, &data);
    if (entries_.empty())
        return expect_result(name, result, code(kTreeEndOfFile));
    Entry at = backwards ? std::prev(entries_.end()) : entries_.begin();
    for (;;) {
        if (!expect_result(name, result, 0) || !expect_entry(name, key, data, at))
            return false;
        if (backwards ? at == entries_.begin() : std::next(at) == entries_.end())
            break;
        at = backwards ? std::prev(at) : std::next(at);
        result = backwards ? _vmq_getprev(tree_, &key, &data) : _vmq_getnext(tree_, &key, &data);
    }
    if (backwards) {
        cursor_.state = 2;  // stays on the first entry, as the step back does
        cursor_.at = entries_.begin();
        cursor_.known = !config_.shared;
        return expect_result(name, _vmq_getprev(tree_, &key, &data), code(kKeyNotFound)) &&
               expect_state(name, 2);
    }
    cursor_.state = 0;
    return expect_result(name, _vmq_getnext(tree_, &key, &data), code(kTreeEndOfFile)) &&
           expect_state(name, 0);
}

bool ModelRun::end_batch() {
    op_text_ = "check after batch";
    TreeProblem problem;
    TreeSummary summary;
    if (!check_tree(tree_, &problem, &summary))
        return fail("the tree is damaged: " + describe(problem));
    if (summary.entries != entries_.size())
        return fail("the tree holds " + std::to_string(summary.entries) + " entries");
    max_height_ = std::max(max_height_, summary.height);
    op_text_ = "close and open";
    const int reopened = reopen_();
    if (reopened != 0)
        return fail("close and open gave " + std::to_string(reopened));
    cursor_ = ModelCursor{};
    if (batch_ % 4 == 0)
        return full_walk(batch_ % 8 == 4);
    return true;
}

bool ModelRun::run(uint64_t ops) {
    // Batches long enough that the walk of a big tree stays a small part
    // of the work.
    const uint64_t batch_size = std::max<uint64_t>(2000, config_.target / 4);
    uint64_t next_batch = batch_size;
    while (op_ < ops) {
        if (!one_operation())
            return false;
        ++op_;
        if (check_every_) {
            TreeProblem problem;
            if (!check_tree(tree_, &problem))
                return fail("the tree is damaged: " + describe(problem));
        }
        if (op_ >= next_batch) {
            ++batch_;
            next_batch += batch_size;
            if (!end_batch())
                return false;
        }
    }
    ++batch_;
    return end_batch();
}

class TreeModel : public TreeFile, public ::testing::WithParamInterface<Config> {
protected:
    // A new tree of the configuration on an emptied file.
    void start_tree(const Config& config) {
        tree().close();
        std::filesystem::resize_file(name_, kHeaderSize);
        store_.header().set_index_block_list(0);
        store_.header().set_avail_list_head(0);
        const uint32_t flags = (3u << 16) | config.key_type |
                               (config.dups ? kCreateDuplicates : 0) |
                               (config.block_pages ? kCreateBlockPages : 0);
        page_size_ = _vmq_create_tree(image(), flags, config.key_length, config.data_len, kTreeAt);
        ASSERT_GE(page_size_, 4096);
        store_.header().set_index_block_size(static_cast<uint32_t>(page_size_));
        store_.header().set_sequence_set_size(static_cast<uint32_t>(page_size_));
        write_header();
        ASSERT_EQ(reopen(), 0);
        if (config.block_pages) {
            const PageShape shape = page_shape(static_cast<uint32_t>(page_size_), tree().key_len(),
                                               tree().data_len(), true);
            const int branch = shape.branch_capacity - 1, leaf = shape.leaf_capacity - 1;
            TreeHeader(image()).set_limits({branch, branch / 2, leaf, leaf / 2});
            ASSERT_EQ(reopen(), 0);
            ASSERT_LT(tree().leaf_max(), leaf);
        }
    }
    // Close, and open again on the same header image, as the engine does
    // after writing its header area back.
    int reopen() {
        const int closed = tree().close();
        const int opened = _vmq_open_tree(
            tree_.get(), &store_, store_.io, static_cast<uint32_t>(page_size_),
            kOpenForUpdate | (GetParam().shared ? kOpenShared : 0), GetParam().block_pages ? 1 : 0);
        return closed != 0 ? closed : opened;
    }

    int page_size_ = 0;
};

TEST_P(TreeModel, FollowsTheModel) {
    const Config& config = GetParam();
    const std::optional<uint64_t> only_seed = env_number("KVR_MODEL_SEED");
    const char* only_config = std::getenv("KVR_MODEL_CONFIG");
    if (only_config != nullptr && *only_config != 0 && config.name != std::string(only_config))
        GTEST_SKIP() << "KVR_MODEL_CONFIG selects another configuration";
    uint64_t ops = config.ops;
    if (env_number("KVR_SOAK").value_or(0) != 0)
        ops = env_number("KVR_SOAK_OPS").value_or(config.ops * 50);
    std::vector<uint64_t> seeds(std::begin(kSeeds), std::begin(kSeeds) + config.seeds);
    if (only_seed)
        seeds = {*only_seed};
    else if (env_number("KVR_SOAK").value_or(0) != 0)
        seeds.assign(std::begin(kSeeds), std::end(kSeeds));
    for (uint64_t seed : seeds) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: KVR_MODEL_CONFIG=" + config.name +
                     " KVR_MODEL_SEED=" + std::to_string(seed) + ")");
        start_tree(config);
        ModelRun run(config, seed, tree_.get(), [this] { return reopen(); });
        ASSERT_TRUE(run.run(ops)) << run.failure();
        // Every workload splits pages up to a branch root and joins them
        // again on the way down.
        EXPECT_GE(run.height_reached(), 2);
        EXPECT_GE(run.shrinks(), 1);
    }
}

void PrintTo(const Config& config, std::ostream* out) {
    *out << config.name;
}

std::string config_name(const ::testing::TestParamInfo<Config>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Configurations, TreeModel, ::testing::ValuesIn(kConfigs), config_name);

}  // namespace
}  // namespace kvr::test
