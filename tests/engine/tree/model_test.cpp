// The tree operations against a model: long random runs of inserts, searches
// in every relation, getdup, cursor steps, deletes and shifts, each checked
// (result, key, data, cursor state) against an ordered map of the entries.
// After each batch the checker walks the tree and it is closed and reopened.
// With duplicates, entries order by key part, then by duplicate number, a new
// one taking one more than its run's largest. After a delete the cursor rests
// on the entry before (valid, and on the entry too when it had to be found
// again by key) or before the first; a step back from the first entry gives
// kKeyNotFound.
// Replay a failure with KVR_MODEL_CONFIG=name KVR_MODEL_SEED=n; KVR_SOAK=1
// (KVR_SOAK_OPS=N) runs longer, KVR_MODEL_CHECK_EVERY=1 checks every step.
#include <cstdlib>
#include <cstring>
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
    uint32_t key_space;        // distinct keys (key parts, with duplicates) drawn from
    size_t target;             // entries the tree grows to before it shrinks again
    uint64_t ops;              // operations per seed in the default run
    bool shared = false;       // every operation reads the root and finds the cursor again
    int seeds = 2;             // of kSeeds, in the default run
    bool block_pages = false;  // with the bare capacity rule's limits, which may not fit
};

const uint64_t kSeeds[] = {1, 2, 3, 4, 5, 6, 7, 8};

// Together a little over a million operations in the default run.
const Config kConfigs[] = {
    // Prime keys; alternate keys with runs that span leaves; relative numbers.
    {"short_keys", 8, false, kByteStringKeyType, 4, 8000, 3000, 70000},
    {"short_keys_with_duplicates", 6, true, kByteStringKeyType, 10, 60, 4000, 70000},
    {"numeric_keys", 4, false, kNumericKeyType, 4, 8000, 3000, 70000},
    {"numeric_keys_with_duplicates", 4, true, kNumericKeyType, 10, 8, 2500, 70000},
    // 255-byte keys: 30 to 60 entries a page, three levels.
    {"long_keys", 255, false, kByteStringKeyType, 4, 10000, 4000, 50000},
    {"long_keys_with_duplicates", 255, true, kByteStringKeyType, 255, 300, 7000, 40000},
    {"medium_keys", 40, false, kByteStringKeyType, 10, 20000, 7000, 50000},
    // The smallest pages (21 to 42 entries): four levels, joins across parents.
    {"deep_tree", 86, false, kByteStringKeyType, 4, 200000, 40000, 300000, false, 1},
    {"shared_with_duplicates", 6, true, kByteStringKeyType, 10, 40, 1500, 20000, true},
    // 4096-byte blocks whose header says 290 entries a leaf where 289 fit.
    {"blocks_past_the_room", 4, false, kByteStringKeyType, 10, 2400, 1800, 50000, false, 2, true},
};

std::optional<uint64_t> env_number(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr || *text == 0 ? std::nullopt
                                         : std::optional(std::strtoull(text, nullptr, 10));
}

// Bytes that spell key ids: chosen to test unsigned order.
constexpr unsigned char kKeyDigits[] = {0x00, 0x01, 0x41, 0x7F, 0x80, 0xFE, 0xFF};
constexpr uint32_t kNumericScale[] = {1, 256, 65536, 16777216};
constexpr const char* kStepNames[] = {"next", "prev", "current", "first", "last"};
// The cursor steps by kind: 0 next, 1 prev, 2 current, 3 first, 4 last.
int (*const kSteps[])(Tree*, unsigned char**, unsigned char**) = {
    _vmq_getnext, _vmq_getprev, _vmq_getcur, _vmq_getfirst, _vmq_getlast};

std::string hex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes.substr(0, 40))
        text += {kDigits[c >> 4], kDigits[c & 15]};
    return bytes.size() > 40 ? text + "..." : text;
}

Bytes bytes_at(const unsigned char* p, int n) {
    return Bytes(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}
const unsigned char* raw(const Bytes& b) {
    return reinterpret_cast<const unsigned char*>(b.data());
}
// A 4-byte word: little-endian as data and numeric keys hold it, or
// big-endian as a duplicate number.
Bytes word_of(uint32_t value, bool big_endian = false) {
    unsigned char word[4];
    big_endian ? platform::store_u32_be(word, value) : store_u32(word, value);
    return bytes_at(word, 4);
}
int order(uint32_t x, uint32_t y) {
    return x < y ? -1 : x > y ? 1 : 0;
}

// The order of stored keys: key part by key type, then duplicate number.
struct KeyOrder {
    const Config* config;

    int compare_parts(const Bytes& a, const Bytes& b) const {
        if (config->key_type == kNumericKeyType)
            return order(load_u32(raw(a)), load_u32(raw(b)));
        return std::memcmp(a.data(), b.data(), static_cast<size_t>(config->key_length));
    }
    int compare(const Bytes& a, const Bytes& b) const {
        const int c = compare_parts(a, b);
        return c != 0 || !config->dups ? c : order(number_of(a), number_of(b));
    }
    bool operator()(const Bytes& a, const Bytes& b) const { return compare(a, b) < 0; }
    uint32_t number_of(const Bytes& key) const {
        return platform::load_u32_be(raw(key) + config->key_length);
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
          rng_(seed * 0x9E3779B97F4A7C15ull + 12345) {}

    // Runs `ops` operations in batches; false with failure() set at the
    // first difference. Batches are long enough that the walk of a big tree
    // stays a small part of the work.
    bool run(uint64_t ops) {
        const uint64_t batch_size = std::max<uint64_t>(2000, config_.target / 4);
        for (uint64_t next_batch = batch_size; op_ < ops;) {
            if (!one_operation())
                return false;
            ++op_;
            TreeProblem problem;
            if (check_every_ && !check_tree(tree_, &problem))
                return fail("the tree is damaged: " + describe(problem));
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
    const std::string& failure() const { return failure_; }
    // The most levels the tree had, and how often it shrank again.
    int height_reached() const { return max_height_; }
    int shrinks() const { return shrinks_; }

private:
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    bool chance(int percent) { return below(100) < static_cast<uint32_t>(percent); }

    // Key parts: 5 significant bytes (7 in keys of 12 bytes or more) that
    // spell the id in base 7, after a long shared prefix in long keys and
    // before filler bytes; numeric keys are multiples of 1, 256, 65536, 2^24.
    Bytes key_part(uint32_t id) const {
        if (config_.key_type == kNumericKeyType)
            return word_of((id / 4 + 1) * kNumericScale[id % 4]) +
                   Bytes(static_cast<size_t>(config_.key_length - 4), '\0');
        const int len = config_.key_length;
        const int significant = len >= 12 ? 7 : std::min(len, 5);  // 7^4, 7^5 and 7^7 ids
        const int filler = std::min(3, len - significant);
        Bytes key(static_cast<size_t>(len - significant - filler), 'P');
        if (!key.empty())
            key.back() = static_cast<char>(0x10 * (id % 3));
        Bytes digits(static_cast<size_t>(significant), '\0');
        uint32_t rest = id;
        for (int i = significant - 1; i >= 0; --i, rest /= 7)
            digits[static_cast<size_t>(i)] = static_cast<char>(kKeyDigits[rest % 7]);
        key += digits;
        for (uint32_t i = 0; i < static_cast<uint32_t>(filler); ++i)
            key += static_cast<char>((id * 37 + i * 101) & 0xFF);
        return key;
    }
    Bytes random_part() { return key_part(below(config_.key_space)); }
    Bytes stored(const Bytes& part, uint32_t number) const {
        return config_.dups ? part + word_of(number, true) : part;
    }
    Bytes part_of(const Bytes& key) const {
        return key.substr(0, static_cast<size_t>(config_.key_length));
    }
    bool same_part(const Bytes& a, const Bytes& b) const { return order_.compare_parts(a, b) == 0; }
    // A key as a caller passes it: with duplicates, 4 bytes of noise after
    // the key part, which the tree must ignore.
    Bytes caller_key(const Bytes& part) {
        return config_.dups ? part + word_of(static_cast<uint32_t>(rng_())) : part;
    }
    // A record address (any value) or a prime key, unique to each insert so
    // that a duplicate can be found by its data.
    Bytes new_data() {
        ++serial_;
        Bytes data = word_of(config_.data_len == 4 ? static_cast<uint32_t>(rng_())
                                                   : static_cast<uint32_t>(serial_));
        for (size_t i = 4; i < static_cast<size_t>(config_.data_len); ++i)
            data += static_cast<char>((serial_ * 13 + i) & 0xFF);
        return data;
    }
    // A key part present in the tree more often than chance would give.
    Bytes likely_part() {
        const Bytes part = random_part();
        if (entries_.empty() || chance(40))
            return part;
        Entry at = entries_.lower_bound(stored(part, 0));
        return part_of((at == entries_.end() ? std::prev(at) : at)->first);
    }

    bool fail(const std::string& what) {
        failure_ = std::string(config_.name) + " seed " + std::to_string(seed_) + " op " +
                   std::to_string(op_) + " (batch " + std::to_string(batch_) + ", " +
                   std::to_string(entries_.size()) + " entries): " + op_text_ + ": " + what;
        TreeProblem problem;
        if (!check_tree(tree_, &problem))
            failure_ += "\n  and the tree is damaged: " + describe(problem);
        return false;
    }
    bool expect(const char* op, const char* what, int got, int want) {
        return got == want || fail(std::string(op) + " " + what + " " + std::to_string(got) +
                                   ", expected " + std::to_string(want));
    }
    bool expect_result(const char* op, int got, int want) {
        return expect(op, "returned", got, want);
    }
    bool expect_state(const char* op, int want) {
        return expect(op, "left cursor state", tree_->cursor().state, want);
    }
    bool expect_entry(const char* op, const unsigned char* key, const unsigned char* data,
                      Entry want) {
        const Bytes k = key ? bytes_at(key, key_len_) : want->first;
        const Bytes d = data ? bytes_at(data, config_.data_len) : want->second;
        return (k == want->first && d == want->second) ||
               fail(std::string(op) + " found " + hex(k) + " / " + hex(d) + ", expected " +
                    hex(want->first) + " / " + hex(want->second));
    }
    // A result of 0 with the cursor landed on `at` in state 3.
    bool expect_landed(const char* op, int result, const unsigned char* key,
                       const unsigned char* data, Entry at) {
        cursor_ = {kCursorOnEntry | kCursorValid, true, at};
        return expect_result(op, result, 0) && expect_entry(op, key, data, at) &&
               expect_state(op, kCursorOnEntry | kCursorValid);
    }
    // A failed search or a step past the end: the cursor is cleared.
    bool expect_cleared(const char* op, int result, int want) {
        cursor_.state = 0;
        return expect_result(op, result, want) && expect_state(op, 0);
    }
    // In an empty tree the operations return before they reach the cursor,
    // or clear it: nothing that follows can tell the two apart, so either
    // is taken and the model follows the tree.
    bool expect_in_empty_tree(const char* op, int result, int want, uint8_t before) {
        cursor_.state = tree_->cursor().state;
        return expect_result(op, result, want) &&
               (cursor_.state == before || cursor_.state == 0 || expect_state(op, before));
    }

    // What a search with this key and mode must find: the result, the entry
    // and whether equal_seen is set.
    struct Found {
        int result = 0;
        Entry at;
        int equal_seen = 0;
    };
    Found expected_search(const Bytes& key, int mode) const {
        const Bytes search =
            config_.dups && (mode & kSearchExact) == 0 ? stored(part_of(key), 0) : key;
        const Entry p = entries_.lower_bound(search);
        const bool hit = p != entries_.end() && (order_.compare(p->first, search) == 0 ||
                                                 (config_.dups && same_part(p->first, search)));
        if (!hit) {
            if ((mode & kSearchGreater) != 0)
                return {p == entries_.end() ? code(kNoEntrySatisfies) : 0, p, 0};
            if ((mode & kSearchBackwards) != 0)
                return p == entries_.begin() ? Found{code(kKeyNotFound), entries_.end(), 0}
                                             : Found{0, std::prev(p), 0};
            return {code(kNoEntrySatisfies), entries_.end(), 0};
        }
        if ((mode & kSearchEqual) != 0) {
            const Entry next = std::next(p);
            return {0, p, config_.dups && next != entries_.end() && same_part(next->first, search)};
        }
        if ((mode & kSearchBackwards) != 0) {
            for (Entry q = p; q != entries_.begin();)
                if (order_.compare_parts((--q)->first, search) < 0)
                    return {0, q, 1};
            return {code(kKeyNotFound), entries_.end(), 1};
        }
        for (Entry q = std::next(p); q != entries_.end(); ++q)
            if (order_.compare_parts(q->first, search) > 0)
                return {0, q, 1};
        return {code(kNoEntrySatisfies), entries_.end(), 1};
    }

    bool op_insert() {
        // Without duplicates mostly new keys, so that the tree grows.
        const Bytes part = config_.dups || chance(15) ? likely_part() : random_part();
        const Bytes key = caller_key(part);
        const Bytes data = new_data();
        op_text_ = "insert " + hex(key) + " data " + hex(data);
        int duplicate = 0;
        const uint8_t state_before = tree_->cursor().state;
        const int result = _vmq_insert(tree_, raw(key), raw(data), &duplicate);
        if (!config_.dups && entries_.count(key) != 0) {
            cursor_.known = false;  // the descent moved it; the state stays
            return expect_result("insert", result, code(kDuplicateKey)) &&
                   expect_state("insert", state_before);
        }
        // With duplicates any entry of the key part makes the insert a
        // duplicate, numbered after the run's last entry.
        uint32_t number = 0;
        int want_duplicate = 0;
        const Entry first = entries_.lower_bound(stored(part, 0));
        if (config_.dups && first != entries_.end() && same_part(first->first, part)) {
            want_duplicate = 1;
            number =
                order_.number_of(std::prev(entries_.upper_bound(stored(part, ~0u)))->first) + 1;
        }
        if (!expect_result("insert", result, 0) ||
            !expect("insert", "gave duplicate", duplicate, want_duplicate))
            return false;
        cursor_ = {kCursorOnEntry | kCursorValid, true,
                   entries_.emplace(stored(part, number), data).first};
        // A shared tree finds its cursor again by the key the caller passed,
        // whose duplicate number is not the one the entry was given.
        cursor_.known = !(config_.dups && config_.shared);
        return expect_state("insert", kCursorOnEntry | kCursorValid);
    }

    // A search with one of the relations the engine uses. Without mode bit
    // 8 the key is a key part that is often present; with it, a stored key,
    // now and then one whose duplicate number has gone.
    bool op_search(int mode) {
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
        const bool want_pointers = !chance(10);
        unsigned char *data = nullptr, *found = nullptr;
        int equal_seen = 0;
        const uint8_t state_before = tree_->cursor().state;
        const int result = _vmq_getkey(tree_, raw(key), want_pointers ? &data : nullptr, mode,
                                       &equal_seen, want_pointers ? &found : nullptr);
        if (entries_.empty())
            return expect_in_empty_tree("getkey", result, 2, state_before);
        const Found want = expected_search(key, mode);
        if (!expect_result("getkey", result, want.result) ||
            !expect("getkey", "equal_seen", equal_seen, want.equal_seen))
            return false;
        return want.result != 0 ? expect_cleared("getkey", result, want.result)
                                : expect_landed("getkey", result, found, data, want.at);
    }

    // The entry of a key part with given data: mostly one that is there.
    bool op_getdup() {
        const Bytes part = likely_part();
        Bytes value = new_data();
        Entry first = entries_.lower_bound(stored(part, 0));
        if (first != entries_.end() && same_part(first->first, stored(part, 0)) && chance(80)) {
            Entry pick = first;  // some entry of the run
            for (uint32_t k = below(40); k > 0 && std::next(pick) != entries_.end() &&
                                         same_part(std::next(pick)->first, pick->first);
                 --k)
                ++pick;
            value = pick->second;
        }
        const Bytes key = caller_key(part);
        op_text_ = "getdup " + hex(key) + " data " + hex(value);
        unsigned char* data = nullptr;
        const int result = _vmq_getdup(tree_, raw(key), raw(value), &data);
        int want = 0;
        Entry at = entries_.end();
        const Found start = expected_search(stored(part, 0), kSearchEqual | kSearchGreater);
        if (entries_.empty() || start.result != 0)
            want = code(kNoEntrySatisfies);
        else if (!same_part(start.at->first, stored(part, 0)))
            want = code(kNoSuchDuplicate);
        for (at = start.at; want == 0 && at->second != value;)
            if (++at == entries_.end())
                want = code(kTreeEndOfFile);
            else if (!same_part(at->first, stored(part, 0)))
                want = code(kNoSuchDuplicate);
        // A walk that runs off the last entry ends in the step's end of
        // file; it is as much "no entry with that key and data" as a walk
        // that meets another key part, and either result is taken.
        if (want == code(kTreeEndOfFile) && result == code(kNoSuchDuplicate))
            want = code(kNoSuchDuplicate);
        return want != 0 ? expect_cleared("getdup", result, want)
                         : expect_landed("getdup", result, nullptr, data, at);
    }

    bool op_step(int kind) {  // 0 next, 1 prev, 2 current, 3 first, 4 last
        const char* name = kStepNames[kind];
        if (kind < 3 && !cursor_.known && (cursor_.state & kCursorValid) != 0)
            return position_somewhere();
        op_text_ = name;
        unsigned char *key = nullptr, *data = nullptr;
        const uint8_t state_before = tree_->cursor().state;
        const bool pass_data = kind >= 3 || !chance(10);
        const int result = kSteps[kind](tree_, &key, pass_data ? &data : nullptr);
        if (entries_.empty())
            return expect_in_empty_tree(name, result, code(kTreeEndOfFile), state_before);
        if (kind >= 3)
            return expect_landed(name, result, key, data,
                                 kind == 4 ? std::prev(entries_.end()) : entries_.begin());
        if (cursor_.state == 0)
            return expect_cleared(name, result, code(kNoCurrentEntry));
        // Before the first entry, the next and current steps take the first
        // one; right after a delete, stepping back returns the entry the
        // cursor stands on, the one before the entry deleted.
        const bool before_first = (cursor_.state & kCursorBeforeFirst) != 0;
        const Entry from = before_first ? entries_.begin() : cursor_.at;
        if ((before_first && kind != 1) || kind == 2 ||
            (kind == 1 && (cursor_.state & kCursorAfterDeleted) != 0))
            return expect_landed(name, result, key, data, from);
        if (kind == 0)
            return std::next(from) == entries_.end()
                       ? expect_cleared(name, result, code(kTreeEndOfFile))
                       : expect_landed(name, result, key, data, std::next(from));
        if (from != entries_.begin())
            return expect_landed(name, result, key, data, std::prev(from));
        // It stays on the first entry, but a shared tree forgets its key.
        cursor_ = {kCursorValid, !config_.shared, from};
        return expect_result(name, result, code(kKeyNotFound)) &&
               (key == nullptr ? expect_state(name, kCursorValid)
                               : fail("prev before the first entry gave a key"));
    }

    bool op_isdup() {
        if (!cursor_.known && (cursor_.state & kCursorOnEntry) != 0)
            return position_somewhere();
        op_text_ = "isdup";
        int want = 0;
        if (config_.dups && (cursor_.state & kCursorOnEntry) != 0) {
            const Entry next = std::next(cursor_.at);
            want = next != entries_.end() && same_part(next->first, cursor_.at->first);
        }
        return expect_result("isdup", _vmq_isdup(tree_), want);
    }

    // Puts the cursor on some entry the way the engine does before a
    // delete: a search for a key, a return to a stored key, or an end.
    bool position_somewhere() {
        static const int kModes[] = {kSearchEqual, kSearchEqual | kSearchGreater,
                                     kSearchExact | kSearchEqual | kSearchGreater};
        const uint32_t way = below(5);
        return way < 3 ? op_search(kModes[way]) : op_step(way == 4 ? 4 : 3);
    }

    bool op_delete(bool position_first) {
        const bool position =
            position_first || (!cursor_.known && (cursor_.state & kCursorOnEntry) != 0);
        if (position && !position_somewhere())
            return false;
        op_ += position;
        op_text_ = "delete";
        if ((cursor_.state & kCursorOnEntry) != 0)
            op_text_ += " " + hex(cursor_.at->first);
        const uint8_t state_before = tree_->cursor().state;
        // The cursor is found again by key when the entry before is in
        // another leaf or the leaf will be rebalanced.
        const bool refind = tree_->cursor().index == 0 || leaf_will_underflow();
        const int result = _vmq_delete(tree_);
        if ((cursor_.state & kCursorOnEntry) == 0)
            return expect_result("delete", result, code(kNoCurrentEntry)) &&
                   expect_state("delete", state_before);
        const Entry victim = cursor_.at;
        const Entry follower = std::next(victim);
        const bool has_before = victim != entries_.begin();
        const Entry before = has_before ? std::prev(victim) : entries_.end();
        const uint8_t want = !has_before ? kCursorValid | kCursorBeforeFirst
                                         : (refind ? 3 : 2) | kCursorAfterDeleted;
        if (!expect_result("delete", result, 0) || !expect_state("delete", want))
            return false;
        entries_.erase(victim);
        cursor_ = {want, true, has_before ? before : cursor_.at};
        if (!chance(50))
            return true;
        // The next step returns the entry that followed the deleted one.
        ++op_;
        op_text_ = "next after delete";
        unsigned char *key = nullptr, *data = nullptr;
        const int next = _vmq_getnext(tree_, &key, &data);
        if (entries_.empty())
            return expect_in_empty_tree("next", next, code(kTreeEndOfFile), cursor_.state);
        if (follower == entries_.end())
            return expect_cleared("next", next, code(kTreeEndOfFile));
        return expect_landed("next", next, key, data, follower);
    }

    // True when removing one entry from the cursor's leaf leaves it below
    // the minimum, so that it borrows or is joined (a root leaf never is).
    // Reads the leaf without marking it modified.
    bool leaf_will_underflow() {
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
    bool op_delete_run() {
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
    bool op_shift() {
        const Bytes key = likely_part();
        const int count = static_cast<int>(below(8)) - 1;
        const int32_t delta = static_cast<int32_t>(below(2001)) - 1000;
        op_text_ = "shift " + hex(key) + " count " + std::to_string(count) + " delta " +
                   std::to_string(delta);
        const int result = _vmq_shift_val(tree_, raw(key), count, delta);
        cursor_.known = false;
        int i = 0;
        for (auto at = entries_.lower_bound(key); i < count && at != entries_.end(); ++i, ++at) {
            auto* word = reinterpret_cast<unsigned char*>(at->second.data());
            store_u32(word, load_u32(word) + static_cast<uint32_t>(delta));
        }
        return expect_result("shift", result, i < count ? code(kTreeEndOfFile) : 0);
    }

    bool one_operation() {
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
        const uint32_t inserts = growing_ ? 60 : 10, deletes = growing_ ? 4 : 45;
        uint32_t roll = below(100);
        if (roll < inserts)
            return op_insert();
        if ((roll -= inserts) < deletes)
            return chance(8) ? op_delete_run() : op_delete(!chance(15));
        constexpr int E = kSearchEqual, G = kSearchGreater, B = kSearchBackwards, X = kSearchExact;
        static const int kSearches[] = {E, G, E | G, E | B, B, X | E | G, X | E};
        const uint32_t pick = below(16);
        if (pick < 7)
            return op_search(kSearches[pick]);
        if (pick == 7)
            return op_getdup();
        if (pick == 8)
            return op_step(chance(50) ? 4 : 3);
        if (pick == 9 || pick == 10)
            return pick == 10 && !config_.dups ? op_shift() : op_isdup();
        // A short walk in one direction, now and then turning.
        const int kind = static_cast<int>(below(3));
        for (uint32_t k = 1 + below(12); k > 0; --k, ++op_)
            if (!op_step(chance(85) ? kind : static_cast<int>(below(3))))
                return false;
        return true;
    }

    // Every entry in order, one way or the other, data included.
    bool full_walk(bool backwards) {
        op_text_ = backwards ? "walk backwards" : "walk forwards";
        const char* name = op_text_.c_str();
        unsigned char *key = nullptr, *data = nullptr;
        int result = kSteps[backwards ? 4 : 3](tree_, &key, &data);
        if (entries_.empty())
            return expect_result(name, result, code(kTreeEndOfFile));
        for (Entry at = backwards ? std::prev(entries_.end()) : entries_.begin();;) {
            if (!expect_result(name, result, 0) || !expect_entry(name, key, data, at))
                return false;
            if (backwards ? at == entries_.begin() : std::next(at) == entries_.end())
                break;
            at = backwards ? std::prev(at) : std::next(at);
            result = kSteps[backwards ? 1 : 0](tree_, &key, &data);
        }
        if (!backwards)
            return expect_cleared(name, _vmq_getnext(tree_, &key, &data), code(kTreeEndOfFile));
        cursor_ = {kCursorValid, !config_.shared, entries_.begin()};  // as the step back leaves it
        return expect_result(name, _vmq_getprev(tree_, &key, &data), code(kKeyNotFound)) &&
               expect_state(name, kCursorValid);
    }

    bool end_batch() {
        op_text_ = "check after batch";
        TreeProblem problem;
        TreeSummary summary;
        if (!check_tree(tree_, &problem, &summary))
            return fail("the tree is damaged: " + describe(problem));
        if (summary.entries != entries_.size())
            return fail("the tree holds " + std::to_string(summary.entries) + " entries");
        max_height_ = std::max(max_height_, summary.height);
        op_text_ = "close and open";
        if (const int reopened = reopen_(); reopened != 0)
            return fail("close and open gave " + std::to_string(reopened));
        cursor_ = ModelCursor{};
        return batch_ % 4 != 0 || full_walk(batch_ % 8 == 4);
    }

    const Config config_;
    const uint64_t seed_;
    Tree* tree_;
    std::function<int()> reopen_;
    KeyOrder order_{&config_};
    Entries entries_ = Entries(order_);
    std::mt19937_64 rng_;
    const int key_len_ = config_.key_length + (config_.dups ? 4 : 0);
    const bool check_every_ = env_number("KVR_MODEL_CHECK_EVERY").value_or(0) != 0;
    ModelCursor cursor_;
    uint64_t op_ = 0, batch_ = 0, serial_ = 0;
    bool growing_ = true;
    size_t floor_ = 0;
    int max_height_ = 0, shrinks_ = 0;
    std::string op_text_, failure_;
};

class TreeModel : public TreeFile, public ::testing::WithParamInterface<Config> {
protected:
    // A new tree of the configuration on an emptied file.
    void start_tree(const Config& config) {
        page_size_ = new_tree(config.key_type | (config.dups ? kCreateDuplicates.bits : 0) |
                                  (config.block_pages ? kCreateBlockPages.bits : 0),
                              config.key_length, config.data_len);
        ASSERT_GE(page_size_, 4096);
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
        const int opened =
            open_tree(kOpenForUpdate.bits | (GetParam().shared ? kOpenShared.bits : 0),
                      static_cast<uint32_t>(page_size_), GetParam().block_pages);
        return closed != 0 ? closed : opened;
    }

    int page_size_ = 0;
};

TEST_P(TreeModel, FollowsTheModel) {
    const Config& config = GetParam();
    const char* only_config = std::getenv("KVR_MODEL_CONFIG");
    if (only_config != nullptr && *only_config != 0 && config.name != std::string(only_config))
        GTEST_SKIP() << "KVR_MODEL_CONFIG selects another configuration";
    const bool soak = env_number("KVR_SOAK").value_or(0) != 0;
    const uint64_t ops = soak ? env_number("KVR_SOAK_OPS").value_or(config.ops * 50) : config.ops;
    std::vector<uint64_t> seeds(std::begin(kSeeds), std::begin(kSeeds) + (soak ? 8 : config.seeds));
    if (const std::optional<uint64_t> only_seed = env_number("KVR_MODEL_SEED"))
        seeds = {*only_seed};
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

INSTANTIATE_TEST_SUITE_P(Configurations, TreeModel, ::testing::ValuesIn(kConfigs),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kvr::test
