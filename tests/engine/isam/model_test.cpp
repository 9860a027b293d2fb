// Model-based test of the indexed engine: random WRITE, READ (every
// relation, every direction, by every key, with and without a record
// buffer), REWRITE and DELETE through _vmqpIsam, each compared with a model
// of the file (result, record bytes, length, key area), with close and
// reopen between batches and the file checker after each batch.
//
// The model keeps, per key, the ordered entries of its tree and the tree's
// cursor, and follows the engine's documented behaviour exactly, including
// where a failed operation leaves the cursors.
//
// Environment: KVR_MODEL_SOAK=n runs n times as many operations with more
// seeds; KVR_MODEL_CONFIG=name and KVR_MODEL_SEED=s replay one run (the
// failure message names both and the operation number);
// KVR_MODEL_TRACE=1 prints every operation of the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/isam/file_checker.h"
#include "engine/isam/ix_handle.h"
#include "platform/coding.h"
#include "support/attribute_block.h"
#include "support/kvr_program.h"
#include "support/temp_dir.h"
#include "vmqrmkvr/isam.h"

namespace {

struct KeyDef {
    int offset;  // 0-based
    int length;
    bool duplicates;
    uint8_t type;
};

struct Config {
    const char* name;
    uint32_t min_length;
    uint32_t max_length;
    std::vector<KeyDef> keys;
    int record_cap;  // deletes win over writes above this many records
    int prime_domain;
    bool blocks = false;        // the block format: records in sequence sets
    bool long_records = false;  // lengths spread evenly up to the maximum
};

const Config kConfigs[] = {
    // Fixed-length records: one size class, free slots reused last-in first-out.
    {"fixed", 80, 80, {{0, 24, false, 0}, {24, 12, false, 0}, {36, 16, true, 0}}, 900, 2400},
    // Variable lengths, the prime key not in front: five size classes, and
    // records that grow move in the store.
    {"variable", 52, 600, {{16, 24, false, 0}, {40, 12, false, 0}, {0, 16, true, 0}}, 900, 2400},
    // As relative files: a 4-byte number in front of the record. Records up
    // to 33000 bytes, so the file has no append buffer.
    {"relative", 5, 33004, {{0, 4, false, 1}}, 1200, 3000},
    // Relative with fixed lengths and an append buffer.
    {"relative_fixed", 64, 64, {{0, 4, false, 1}}, 1200, 3000},
    // The block format: records kept in key order in sequence sets of 4096
    // bytes, which split, merge and balance.
    {"blocks_fixed",
     80,
     80,
     {{0, 24, false, 0}, {24, 12, false, 0}, {36, 16, true, 0}},
     900,
     2400,
     true},
    {"blocks_variable",
     52,
     600,
     {{16, 24, false, 0}, {40, 12, false, 0}, {0, 16, true, 0}},
     900,
     2400,
     true},
    // Sets of 16384 bytes holding a few long records each: far more sets
    // than the 64 buffers of the pool, so changed sets are written back and
    // read in again all the time.
    {"blocks_long", 5, 6000, {{0, 4, false, 1}}, 600, 1500, true, true},
};

int compare_part(const std::string& a, const std::string& b, bool numeric) {
    if (numeric) {
        const uint32_t x =
            kvr::platform::load_u32(reinterpret_cast<const unsigned char*>(a.data()));
        const uint32_t y =
            kvr::platform::load_u32(reinterpret_cast<const unsigned char*>(b.data()));
        return x < y ? -1 : x > y ? 1 : 0;
    }
    const int c = std::memcmp(a.data(), b.data(), a.size());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// One entry of a tree: the key part, its duplicate number (0 in trees
// without duplicates) and the record's prime key.
struct Entry {
    std::string part;
    uint32_t number = 0;
    std::string prime;
};

struct EntryOrder {
    bool numeric = false;
    bool operator()(const Entry& a, const Entry& b) const {
        const int c = compare_part(a.part, b.part, numeric);
        return c != 0 ? c < 0 : a.number < b.number;
    }
};

using Index = std::set<Entry, EntryOrder>;
using It = Index::const_iterator;

// A tree's cursor as the reads see it.
struct Cursor {
    // kAfterDeleted: on `at`, the entry before one just deleted; a step
    // back returns `at` itself.
    enum State { kNone, kOn, kBeforeFirst, kAfterDeleted } state = kNone;
    Entry at;
};

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string op_name(int op) {
    switch (op & 0xFF) {
        case IX_WRITE:
            return "WRITE";
        case IX_REWRITE:
            return "REWRITE";
        case IX_DELETE:
            return "DELETE";
        case IX_READ_EQ:
            return "READ_EQ";
        case IX_READ_GT:
            return "READ_GT";
        case IX_READ_GE:
            return "READ_GE";
        case IX_READ_LE:
            return "READ_LE";
        case IX_READ_LT:
            return "READ_LT";
        case IX_READ_DUP:
            return "READ_DUP";
        case IX_READ_FIRST:
            return "READ_FIRST";
        case IX_READ_LAST:
            return "READ_LAST";
        case IX_READ_NEXT:
            return "READ_NEXT";
        case IX_READ_CURRENT:
            return "READ_CURRENT";
        case IX_READ_PREV:
            return "READ_PREV";
        case IX_GET_ATTRIBUTES:
            return "GET_ATTRIBUTES";
        default:
            return "op " + std::to_string(op);
    }
}

// What the model expects of one operation.
struct Expected {
    int result = 0;
    std::optional<std::string> record;    // bytes delivered (whole record)
    std::optional<std::string> key_area;  // bytes of the key area afterwards
};

// The model of one open file.
class Model {
public:
    explicit Model(const Config& config) : config_(config) {
        const int n = key_count();
        for (int k = 0; k < n; ++k)
            indexes_.emplace_back(EntryOrder{config.keys[static_cast<size_t>(k)].type == 1});
        cursors_.resize(static_cast<size_t>(n));
        keys_end_ = 0;
        for (const KeyDef& key : config.keys)
            keys_end_ = std::max(keys_end_, static_cast<uint32_t>(key.offset + key.length));
    }

    int key_count() const { return static_cast<int>(config_.keys.size()); }
    uint32_t keys_end() const { return keys_end_; }
    const KeyDef& key(int k) const { return config_.keys[static_cast<size_t>(k)]; }
    std::string part_of(const std::string& record, int k) const {
        return record.substr(static_cast<size_t>(key(k).offset),
                             static_cast<size_t>(key(k).length));
    }
    size_t size() const { return indexes_[0].size(); }
    const Index& index(int k) const { return indexes_[static_cast<size_t>(k)]; }
    const std::string& record(const std::string& prime) const { return records_.at(prime); }
    // The entry whose record the model thinks key k's cursor names, if any.
    std::optional<Entry> current(int k) const {
        const Index& ix = index(k);
        const Cursor& c = cursors_[static_cast<size_t>(k)];
        if (ix.empty() || c.state == Cursor::kNone)
            return std::nullopt;
        if (c.state == Cursor::kBeforeFirst)
            return *ix.begin();
        return c.at;
    }
    // Some existing record, by a random position.
    std::optional<std::string> some_prime(std::mt19937_64& rng) const {
        if (records_.empty())
            return std::nullopt;
        auto it = records_.begin();
        std::advance(it, static_cast<long>(rng() % records_.size()));
        return it->first;
    }

    void reopened(bool update) {
        update_ = update;
        for (Cursor& c : cursors_)
            c = Cursor{};
        current_key_ = current_key_on_disk_;
    }
    void closed() {
        if (update_)
            current_key_on_disk_ = current_key_;
    }
    bool update() const { return update_; }

    Expected keyed_read(int op, int k, const std::string& search, const std::string& prime,
                        bool fetch);
    Expected positional_read(int op, int k, bool fetch);
    Expected write(const std::string& r, int k);
    Expected rewrite(const std::string& r, int k);
    Expected erase();

private:
    Index& ix(int k) { return indexes_[static_cast<size_t>(k)]; }
    Cursor& cursor(int k) { return cursors_[static_cast<size_t>(k)]; }
    bool dups(int k) const { return key(k).duplicates; }
    bool numeric(int k) const { return key(k).type == 1; }
    It find(int k, const Entry& e) const { return index(k).find(e); }
    // The entry of the record with this prime key in tree k.
    It entry_of(int k, const std::string& prime) const {
        if (k == 0)
            return index(0).find(Entry{prime, 0, prime});
        const std::string part = part_of(records_.at(prime), k);
        for (It it = index(k).lower_bound(Entry{part, 0, {}});
             it != index(k).end() && it->part == part; ++it)
            if (it->prime == prime)
                return it;
        return index(k).end();
    }
    bool duplicate_follows(int k, It it) const {
        if (!dups(k))
            return false;
        const It next = std::next(it);
        return next != index(k).end() && next->part == it->part;
    }
    void place(int k, It it) {
        cursor(k).state = Cursor::kOn;
        cursor(k).at = *it;
    }
    void place_none(int k) { cursor(k) = Cursor{}; }
    // After a delete: on the entry before the one deleted, or before the first.
    void place_before(int k, It it) {
        if (it == index(k).begin()) {
            cursor(k) = Cursor{Cursor::kBeforeFirst, {}};
        } else {
            place(k, std::prev(it));
            cursor(k).state = Cursor::kAfterDeleted;
        }
    }
    // Adds the entry of a record with key k's part `part`: a duplicate takes
    // the number after the last of its run, so the run keeps the order its
    // records were written in.
    It insert(int k, const std::string& part, const std::string& prime, bool* duplicate) {
        uint32_t number = 0;
        if (dups(k)) {
            It first = index(k).lower_bound(Entry{part, 0, {}});
            if (first != index(k).end() && first->part == part) {
                *duplicate = true;
                It last = first;
                for (It it = first; it != index(k).end() && it->part == part; ++it)
                    last = it;
                number = last->number + 1;
            }
        }
        return ix(k).insert(Entry{part, number, prime}).first;
    }
    Expected fetched(int k, It it, bool fetch, bool copy_key, Expected e);

    const Config& config_;
    uint32_t keys_end_ = 0;
    std::vector<Index> indexes_;
    std::vector<Cursor> cursors_;
    std::map<std::string, std::string> records_;  // prime -> record
    uint32_t current_key_ = 0;
    uint32_t current_key_on_disk_ = 0;
    bool update_ = true;
};

// A read that found entry `it` of key k: the record (fetch) and what moves.
Expected Model::fetched(int k, It it, bool fetch, bool copy_key, Expected e) {
    place(k, it);
    const std::string& r = records_.at(it->prime);
    if (copy_key)
        e.key_area = part_of(r, k);
    if (fetch) {
        e.record = r;
        if (k > 0)
            place(0, entry_of(0, it->prime));
    }
    return e;
}

Expected Model::keyed_read(int op, int k, const std::string& search, const std::string& prime,
                           bool fetch) {
    Expected e;
    if (k >= key_count()) {
        e.result = 6;
        return e;
    }
    current_key_ = static_cast<uint32_t>(k);
    const Index& x = index(k);
    const int relation = op & 0xFF;
    if (x.empty()) {
        e.result = 4;
        return e;
    }
    if (relation == IX_READ_DUP) {
        for (It it = x.lower_bound(Entry{search, 0, {}}); it != x.end() && it->part == search; ++it)
            if (it->prime == prime)
                return fetched(k, it, fetch, false, e);
        place_none(k);
        e.result = 4;
        return e;
    }
    const It first_not_below = x.lower_bound(Entry{search, 0, {}});
    const bool equal_found =
        first_not_below != x.end() && compare_part(first_not_below->part, search, numeric(k)) == 0;
    It found = x.end();
    int failure = 4;
    bool includes_equal = false;
    switch (relation) {
        case IX_READ_EQ:
            includes_equal = true;
            if (equal_found)
                found = first_not_below;
            break;
        case IX_READ_GE:
            includes_equal = true;
            found = first_not_below;
            break;
        case IX_READ_GT:
            found = x.upper_bound(Entry{search, std::numeric_limits<uint32_t>::max(), {}});
            break;
        case IX_READ_LE:
            includes_equal = true;
            if (equal_found) {
                found = first_not_below;
                break;
            }
            [[fallthrough]];
        case IX_READ_LT:
            failure = 9;  // nothing below: the step back runs off the first entry
            if (first_not_below != x.begin())
                found = std::prev(first_not_below);
            break;
    }
    if (found == x.end()) {
        place_none(k);
        e.result = failure;
        return e;
    }
    if (includes_equal && equal_found && found == first_not_below && duplicate_follows(k, found))
        e.result = 12;
    return fetched(k, found, fetch, relation != IX_READ_EQ, e);
}

Expected Model::positional_read(int op, int k, bool fetch) {
    Expected e;
    if (k >= key_count()) {
        e.result = 6;
        return e;
    }
    current_key_ = static_cast<uint32_t>(k);
    const Index& x = index(k);
    if (x.empty()) {
        e.result = 9;
        return e;
    }
    Cursor& c = cursor(k);
    It found = x.end();
    switch (op & 0xFF) {
        case IX_READ_FIRST:
            found = x.begin();
            break;
        case IX_READ_LAST:
            found = std::prev(x.end());
            break;
        case IX_READ_NEXT:
        case IX_READ_PREV:
        case IX_READ_CURRENT: {
            if (c.state == Cursor::kNone) {
                e.result = 10;
                return e;
            }
            const bool next = (op & 0xFF) == IX_READ_NEXT;
            const bool prev = (op & 0xFF) == IX_READ_PREV;
            if (c.state == Cursor::kBeforeFirst) {
                if (prev) {
                    place(k, x.begin());  // stepping back from the first entry
                    e.result = 9;
                    return e;
                }
                found = x.begin();
                break;
            }
            const It at = find(k, c.at);
            if (next) {
                found = std::next(at);
                if (found == x.end()) {
                    place_none(k);
                    e.result = 9;
                    return e;
                }
            } else if (prev && c.state == Cursor::kAfterDeleted) {
                found = at;  // the entry before the one deleted
            } else if (prev) {
                if (at == x.begin()) {
                    e.result = 9;  // the cursor stays on the first entry
                    return e;
                }
                found = std::prev(at);
            } else {
                found = at;
            }
            break;
        }
    }
    if (k > 0 && duplicate_follows(k, found))
        e.result = 12;
    e = fetched(k, found, fetch, false, e);
    e.key_area = found->part;
    return e;
}

Expected Model::write(const std::string& r, int k) {
    Expected e;
    if (!update_) {
        e.result = 2;
        return e;
    }
    if (r.size() < keys_end_) {
        e.result = 14;
        return e;
    }
    if (r.size() > config_.max_length) {
        e.result = 23;
        return e;
    }
    if (k >= key_count()) {
        e.result = 6;
        return e;
    }
    // The prime key's predecessor is looked up first; the cursor of key 0
    // stays there when the write is refused.
    const std::string prime = part_of(r, 0);
    if (!index(0).empty()) {
        const It at = index(0).lower_bound(Entry{prime, 0, {}});
        if (at == index(0).begin())
            place_none(0);
        else
            place(0, std::prev(at));
        if (at != index(0).end() && compare_part(at->part, prime, numeric(0)) == 0) {
            e.result = 5;
            return e;
        }
    }
    for (int i = 1; i < key_count(); ++i) {
        if (dups(i) || index(i).empty())
            continue;
        const It at = index(i).find(Entry{part_of(r, i), 0, {}});
        if (at != index(i).end()) {
            place(i, at);
            e.result = 5;
            return e;
        }
        place_none(i);
    }
    bool duplicate = false;
    for (int i = 1; i < key_count(); ++i)
        place(i, insert(i, part_of(r, i), prime, &duplicate));
    place(0, insert(0, prime, prime, &duplicate));
    records_[prime] = r;
    e.result = duplicate ? 12 : 0;
    e.key_area = part_of(r, k);
    return e;
}

Expected Model::rewrite(const std::string& r, int k) {
    Expected e;
    if (!update_) {
        e.result = 2;
        return e;
    }
    if (r.size() < keys_end_) {
        e.result = 14;
        return e;
    }
    if (r.size() > config_.max_length) {
        e.result = 23;
        return e;
    }
    if (k >= key_count()) {
        e.result = 6;
        return e;
    }
    const std::optional<Entry> at = current(k);
    if (index(k).empty()) {
        e.result = 4;
        return e;
    }
    if (!at) {
        e.result = 10;
        return e;
    }
    place(k, find(k, *at));
    const std::string prime = at->prime;
    if (k > 0)
        place(0, entry_of(0, prime));
    if (part_of(r, 0) != prime) {
        e.result = 10;
        return e;
    }
    const std::string old = records_.at(prime);
    auto changes = [&](int i) { return part_of(r, i) != part_of(old, i); };
    for (int i = 1; i < key_count(); ++i) {
        if (!changes(i) || dups(i))
            continue;
        const It taken = index(i).find(Entry{part_of(r, i), 0, {}});
        if (taken != index(i).end()) {
            place(i, taken);
            e.result = 5;
            return e;
        }
        place(i, entry_of(i, prime));
    }
    for (int i = 1; i < key_count(); ++i) {
        if (!changes(i))
            continue;
        // Where the cursor stood: on an entry, or (when it stood on the
        // record's own entry) just before the entry that followed it.
        enum { kNothing, kAtEntry, kBeforeNext, kWasLast } saved = kNothing;
        Entry remembered;
        const std::optional<Entry> standing = current(i);
        if (standing) {
            const It own = entry_of(i, prime);
            const It here = find(i, *standing);
            if (here == own) {
                const It next = std::next(own);
                saved = next == index(i).end() ? kWasLast : kBeforeNext;
                if (next != index(i).end())
                    remembered = *next;
            } else {
                saved = kAtEntry;
                remembered = *here;
            }
        }
        ix(i).erase(entry_of(i, prime));
        bool duplicate = false;
        const It added = insert(i, part_of(r, i), prime, &duplicate);
        if (duplicate)
            e.result = 12;  // the new value was there already
        switch (saved) {
            case kNothing:
                place(i, added);
                break;
            case kWasLast:
                place(i, std::prev(index(i).end()));
                break;
            case kAtEntry:
                place(i, find(i, remembered));
                break;
            case kBeforeNext: {
                const It next = find(i, remembered);
                if (next == index(i).begin())
                    cursor(i) = Cursor{Cursor::kBeforeFirst, {}};
                else
                    place(i, std::prev(next));
                break;
            }
        }
    }
    // The record changes; entries of unchanged keys stay as they are.
    records_[prime] = r;
    e.key_area = part_of(r, k);
    return e;
}

Expected Model::erase() {
    Expected e;
    if (!update_) {
        e.result = 2;
        return e;
    }
    const int k = static_cast<int>(current_key_);
    if (index(k).empty()) {
        e.result = 9;
        return e;
    }
    const std::optional<Entry> at = current(k);
    if (!at) {
        e.result = 10;
        return e;
    }
    const std::string prime = at->prime;
    for (int i = 1; i < key_count(); ++i) {
        const It own = entry_of(i, prime);
        place_before(i, own);
        ix(i).erase(own);
    }
    const It own = entry_of(0, prime);
    place_before(0, own);
    ix(0).erase(own);
    records_.erase(prime);
    return e;
}

// The values records are made of. Prime keys come from a domain about
// twice the number of records the file holds, so that writes collide.
class Values {
public:
    explicit Values(const Config& config) : config_(config) {}

    std::string prime(int v) const {
        const KeyDef& key = config_.keys[0];
        std::string bytes(static_cast<size_t>(key.length), '\0');
        if (key.type == 1) {
            // Numbers whose little-endian bytes do not sort as the numbers do.
            const uint32_t n = v % 3 == 0 ? static_cast<uint32_t>(v) * 65537u
                                          : static_cast<uint32_t>(v) * 257u + 1u;
            kvr::platform::store_u32(reinterpret_cast<unsigned char*>(bytes.data()), n);
            return bytes;
        }
        static const unsigned char kFirst[] = {0x00, 0x41, 0x7F, 0x80, 0xFF};
        bytes[0] = static_cast<char>(kFirst[v % 5]);
        const std::string digits = std::to_string(v);
        for (size_t i = 1; i < bytes.size(); ++i)
            bytes[i] =
                i + digits.size() >= bytes.size() ? digits[i + digits.size() - bytes.size()] : '0';
        return bytes;
    }
    std::string unique(int v) const {
        std::string bytes(static_cast<size_t>(config_.keys[1].length), '0');
        const std::string digits = std::to_string(v);
        bytes.replace(bytes.size() - digits.size(), digits.size(), digits);
        return bytes;
    }
    std::string group(int v) const {
        static const char* const kGroups[] = {"AAA", "AAB",      "B",   "\x80group", "ZZZ",
                                              "zz",  "\xff\xff", "mid", "M",         "0"};
        std::string bytes(kGroups[v % 10]);
        bytes.resize(static_cast<size_t>(config_.keys[2].length), ' ');
        return bytes;
    }

    // A record of `length` bytes (at least keys_end) with these keys.
    std::string record(const std::string& prime, const std::string& unique,
                       const std::string& group, size_t length, std::mt19937_64& rng) const {
        std::string r(length, ' ');
        for (char& c : r)
            c = static_cast<char>('a' + rng() % 26);
        r.replace(static_cast<size_t>(config_.keys[0].offset), prime.size(), prime);
        if (config_.keys.size() > 1) {
            r.replace(static_cast<size_t>(config_.keys[1].offset), unique.size(), unique);
            r.replace(static_cast<size_t>(config_.keys[2].offset), group.size(), group);
        }
        return r;
    }

private:
    const Config& config_;
};

struct RunParameters {
    uint64_t seed;
    int operations;
    int batch;
    bool trace;
};

class ModelRun {
public:
    ModelRun(const Config& config, const RunParameters& parameters, std::string file)
        : config_(config),
          parameters_(parameters),
          file_(std::move(file)),
          model_(config),
          values_(config),
          rng_(parameters.seed) {}

    // "" when the engine followed the model throughout; otherwise what
    // differed, where, and the operations before it.
    std::string run();

private:
    int random(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
    bool chance(int percent) { return random(100) < percent; }

    bool create();
    bool open(uint8_t mode);
    bool close();
    bool check_file(const char* when);
    bool step();
    bool fail(const std::string& what);
    void note(const std::string& what);

    uint32_t record_length(int prime_value);
    std::string new_record();
    std::string search_value(int k);
    bool do_write();
    bool do_rewrite();
    bool do_delete();
    bool do_keyed_read();
    bool do_positional_read();
    bool do_attributes();
    // Runs a read with the given arguments and compares.
    bool read_and_compare(uint16_t op, int k, std::string key_area, std::string buffer_in,
                          uint32_t buffer_size, const Expected& expected);
    bool compare_update(int result, const std::string& key_area, const Expected& expected);

    const Config& config_;
    RunParameters parameters_;
    std::string file_;
    Model model_;
    Values values_;
    std::mt19937_64 rng_;
    void* slot_ = nullptr;
    int operation_ = 0;
    int batch_number_ = 0;
    std::string failure_;
    std::deque<std::string> recent_;
};

void ModelRun::note(const std::string& what) {
    const std::string line = "#" + std::to_string(operation_) + " " + what;
    if (parameters_.trace)
        std::printf("%s\n", line.c_str());
    recent_.push_back(line);
    if (recent_.size() > 12)
        recent_.pop_front();
}

bool ModelRun::fail(const std::string& what) {
    std::ostringstream out;
    out << "config " << config_.name << " seed " << parameters_.seed << " operation " << operation_
        << " (batch " << batch_number_ << "): " << what
        << "\nreplay: KVR_MODEL_CONFIG=" << config_.name << " KVR_MODEL_SEED=" << parameters_.seed
        << " KVR_MODEL_TRACE=1\nlast operations:\n";
    for (const std::string& line : recent_)
        out << "  " << line << "\n";
    failure_ = out.str();
    return false;
}

bool ModelRun::create() {
    std::vector<kvr::test::KeySpec> specs;
    for (const KeyDef& key : config_.keys)
        specs.push_back({key.offset + 1, key.length, key.duplicates, key.type});
    std::vector<unsigned char> block =
        kvr::test::attribute_block(config_.min_length, config_.max_length, specs);
    uint32_t size = static_cast<uint32_t>(block.size());
    void* none = nullptr;
    const int result =
        config_.blocks ? kvr::engine::code(kvr::isam::create_indexed_file(
                             block.data(), size, file_.c_str(), 0, kvr::isam::StoreFormat::kBlocks))
                       : _vmqpIsam(IX_CREATE, &none, block.data(), &size, file_.data(), 0);
    return result == 0 || fail("create gave " + std::to_string(result));
}

bool ModelRun::open(uint8_t mode) {
    const int result = _vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, file_.data(), mode);
    note("OPEN mode " + std::to_string(mode) + " -> " + std::to_string(result));
    if (result != 0)
        return fail("open gave " + std::to_string(result));
    model_.reopened((mode & 0x03) != 0);
    return true;
}

bool ModelRun::close() {
    const int result = _vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0);
    note("CLOSE -> " + std::to_string(result));
    model_.closed();
    return result == 0 || fail("close gave " + std::to_string(result));
}

bool ModelRun::check_file(const char* when) {
    kvr::isam::FileProblem problem;
    kvr::isam::FileSummary summary;
    if (!kvr::isam::check_file(static_cast<ix_handle*>(slot_), &problem, &summary))
        return fail(std::string("file check ") + when + ": " + kvr::isam::describe(problem));
    if (summary.records != model_.size())
        return fail("the file holds " + std::to_string(summary.records) + " records, the model " +
                    std::to_string(model_.size()));
    if (summary.orphan_records != 0 || summary.unused_blocks != 0)
        return fail("space lost: " + std::to_string(summary.orphan_records) + " records and " +
                    std::to_string(summary.unused_blocks) + " index blocks nothing names");
    return true;
}

uint32_t ModelRun::record_length(int prime_value) {
    (void)prime_value;
    if (config_.min_length == config_.max_length)
        return config_.max_length;
    const uint32_t shortest = model_.keys_end();
    const uint32_t span = config_.max_length - shortest;
    if (chance(3))
        return config_.max_length;
    if (config_.long_records)
        return shortest + static_cast<uint32_t>(random(static_cast<int>(span) + 1));
    if (span > 1000 && !chance(3))
        return shortest + static_cast<uint32_t>(random(300));
    return shortest + static_cast<uint32_t>(random(static_cast<int>(span) + 1));
}

std::string ModelRun::new_record() {
    const int p = random(config_.prime_domain);
    const std::string prime = values_.prime(p);
    std::string unique;
    std::string group;
    if (config_.keys.size() > 1) {
        unique = values_.unique(random(config_.prime_domain * 4));
        group = values_.group(random(10));
    }
    return values_.record(prime, unique, group, record_length(p), rng_);
}

// A key value to search with: mostly one the file has.
std::string ModelRun::search_value(int k) {
    if (k >= model_.key_count())
        k = 0;
    const std::optional<std::string> prime = model_.some_prime(rng_);
    if (prime && chance(70))
        return model_.part_of(model_.record(*prime), k);
    if (k == 0)
        return values_.prime(random(config_.prime_domain));
    if (k == 1)
        return values_.unique(random(config_.prime_domain * 4));
    return values_.group(random(10));
}

bool ModelRun::compare_update(int result, const std::string& key_area, const Expected& expected) {
    if (result != expected.result)
        return fail("result " + std::to_string(result) + ", expected " +
                    std::to_string(expected.result));
    if (expected.key_area &&
        key_area.compare(0, expected.key_area->size(), *expected.key_area) != 0)
        return fail("key area " + hex(key_area.substr(0, expected.key_area->size())) +
                    ", expected " + hex(*expected.key_area));
    return true;
}

bool ModelRun::do_write() {
    std::string r = new_record();
    const int roll = random(100);
    if (roll < 3)
        r.resize(model_.keys_end() - 1);  // too short to hold the keys
    else if (roll < 5)
        r.resize(config_.max_length + 1, 'L');
    const int k = chance(3) ? model_.key_count() : random(model_.key_count());
    const Expected expected = model_.write(r, k);
    std::string key_area(300, '\xee');
    uint32_t length = static_cast<uint32_t>(r.size());
    const int result =
        _vmqpIsam(IX_WRITE, &slot_, r.data(), &length, key_area.data(), static_cast<uint8_t>(k));
    note("WRITE key " + std::to_string(k) + " prime " + hex(model_.part_of(r, 0)) + " length " +
         std::to_string(r.size()) + " -> " + std::to_string(result));
    return compare_update(result, key_area, expected);
}

bool ModelRun::do_rewrite() {
    const int k = chance(3) ? model_.key_count() : random(model_.key_count());
    std::string r;
    const std::optional<Entry> at = k < model_.key_count() ? model_.current(k) : std::nullopt;
    if (at && !chance(8)) {
        const std::string& old = model_.record(at->prime);
        std::string unique = config_.keys.size() > 1 ? model_.part_of(old, 1) : "";
        std::string group = config_.keys.size() > 1 ? model_.part_of(old, 2) : "";
        if (config_.keys.size() > 1 && chance(35))
            unique = values_.unique(random(config_.prime_domain * 4));
        if (config_.keys.size() > 1 && chance(35))
            group = values_.group(random(10));
        uint32_t length = record_length(0);
        if (config_.min_length != config_.max_length && chance(40))
            length = std::min<uint32_t>(config_.max_length, static_cast<uint32_t>(old.size()) + 1 +
                                                                static_cast<uint32_t>(random(60)));
        r = values_.record(at->prime, unique, group, length, rng_);
    } else {
        r = new_record();
    }
    if (chance(2))
        r.resize(config_.max_length + 1, 'L');
    const Expected expected = model_.rewrite(r, k);
    std::string key_area(300, '\xee');
    uint32_t length = static_cast<uint32_t>(r.size());
    const int result =
        _vmqpIsam(IX_REWRITE, &slot_, r.data(), &length, key_area.data(), static_cast<uint8_t>(k));
    note("REWRITE key " + std::to_string(k) + " prime " + hex(model_.part_of(r, 0)) + " length " +
         std::to_string(r.size()) + " -> " + std::to_string(result));
    return compare_update(result, key_area, expected);
}

bool ModelRun::do_delete() {
    const Expected expected = model_.erase();
    const int result = _vmqpIsam(IX_DELETE, &slot_, nullptr, nullptr, nullptr, 0);
    note("DELETE -> " + std::to_string(result));
    return compare_update(result, "", expected);
}

bool ModelRun::read_and_compare(uint16_t op, int k, std::string key_area, std::string buffer,
                                uint32_t buffer_size, const Expected& expected) {
    const std::string key_before = key_area;
    const std::string buffer_before = buffer;
    uint32_t length = buffer_size;
    const int result =
        _vmqpIsam(op, &slot_, buffer.data(), &length, key_area.data(), static_cast<uint8_t>(k));
    note(op_name(op) + (op & IX_HOLD_RECORD ? "+hold" : "") + " key " + std::to_string(k) +
         " size " + std::to_string(buffer_size) + " search " +
         hex(key_before.substr(
             0, k < model_.key_count() ? static_cast<size_t>(model_.key(k).length) : 4)) +
         " -> " + std::to_string(result) +
         (result == 0 || result == 12
              ? " got " + hex(buffer.substr(0, std::min<uint32_t>(length, 40)))
              : ""));
    if (result != expected.result)
        return fail("result " + std::to_string(result) + ", expected " +
                    std::to_string(expected.result));
    const bool success = result == 0 || result == 12;
    // The key area: what the model says, everything else as it was.
    std::string want_key = key_before;
    if (success && expected.key_area)
        want_key.replace(0, expected.key_area->size(), *expected.key_area);
    if (key_area != want_key)
        return fail("key area " + hex(key_area.substr(0, 40)) + ", expected " +
                    hex(want_key.substr(0, 40)));
    std::string want_buffer = buffer_before;
    uint32_t want_length = buffer_size;
    if (success && buffer_size != 0) {
        const std::string& r = *expected.record;
        want_length = static_cast<uint32_t>(r.size());
        want_buffer.replace(0, std::min<size_t>(buffer_size, r.size()),
                            r.substr(0, std::min<size_t>(buffer_size, r.size())));
    }
    if (length != want_length)
        return fail("length " + std::to_string(length) + ", expected " +
                    std::to_string(want_length));
    if (buffer != want_buffer) {
        size_t at = 0;
        while (at < buffer.size() && buffer[at] == want_buffer[at])
            ++at;
        return fail("record bytes differ at " + std::to_string(at) + ": got " +
                    hex(buffer.substr(at, 24)) + ", expected " + hex(want_buffer.substr(at, 24)));
    }
    return true;
}

bool ModelRun::do_keyed_read() {
    static const int kRelations[] = {IX_READ_EQ, IX_READ_GT, IX_READ_GE,
                                     IX_READ_LE, IX_READ_LT, IX_READ_DUP};
    int relation = kRelations[random(5)];
    int k = chance(2) ? model_.key_count() : random(model_.key_count());
    std::string buffer(config_.max_length + 16, '\xee');
    std::string prime;
    if (chance(12) && model_.key_count() > 1) {
        // The exact (alternate key, prime key) entry: mostly one that exists.
        relation = IX_READ_DUP;
        k = 1 + random(model_.key_count() - 1);
        const std::optional<std::string> some = model_.some_prime(rng_);
        prime = some && chance(80) ? *some : values_.prime(random(config_.prime_domain));
        std::memcpy(buffer.data() + model_.key(0).offset, prime.data(), prime.size());
    }
    std::string search = search_value(k);
    if (relation == IX_READ_DUP && chance(80) && model_.size() > 0) {
        if (model_.index(0).find(Entry{prime, 0, prime}) != model_.index(0).end())
            search = model_.part_of(model_.record(prime), k);
    }
    std::string key_area(300, '\xee');
    key_area.replace(0, search.size(), search);
    const uint32_t size =
        chance(15)   ? 0
        : chance(10) ? static_cast<uint32_t>(1 + random(static_cast<int>(config_.max_length)))
                     : config_.max_length;
    const uint16_t op = static_cast<uint16_t>(relation | (chance(20) ? IX_HOLD_RECORD : 0));
    const Expected expected = model_.keyed_read(relation, k, search, prime, size != 0);
    return read_and_compare(op, k, key_area, buffer, size, expected);
}

bool ModelRun::do_positional_read() {
    static const int kMoves[] = {IX_READ_NEXT, IX_READ_NEXT,    IX_READ_NEXT,  IX_READ_PREV,
                                 IX_READ_PREV, IX_READ_CURRENT, IX_READ_FIRST, IX_READ_LAST};
    const int move = kMoves[random(8)];
    const int k = chance(2) ? model_.key_count() : random(model_.key_count());
    std::string buffer(config_.max_length + 16, '\xee');
    std::string key_area(300, '\xee');
    const uint32_t size =
        chance(12)  ? 0
        : chance(8) ? static_cast<uint32_t>(1 + random(static_cast<int>(config_.max_length)))
                    : config_.max_length;
    const uint16_t op = static_cast<uint16_t>(move | (chance(20) ? IX_HOLD_RECORD : 0));
    const Expected expected = model_.positional_read(move, k, size != 0);
    return read_and_compare(op, k, key_area, buffer, size, expected);
}

bool ModelRun::do_attributes() {
    std::vector<unsigned char> block(24 + 8 * 4);
    uint32_t size = static_cast<uint32_t>(block.size());
    unsigned char aux = 1;
    const int result = _vmqpIsam(IX_GET_ATTRIBUTES, &slot_, block.data(), &size, &aux, 0);
    ix_attributes fixed{};
    ix_attributes_decode(block.data(), &fixed);
    note("GET_ATTRIBUTES -> " + std::to_string(result) + " count " +
         std::to_string(fixed.record_count));
    if (result != 0 || fixed.record_count != model_.size())
        return fail("attributes: result " + std::to_string(result) + ", record count " +
                    std::to_string(fixed.record_count) + ", expected " +
                    std::to_string(model_.size()));
    return true;
}

bool ModelRun::step() {
    const int records = static_cast<int>(model_.size());
    int write_weight = records > config_.record_cap       ? 8
                       : records < config_.record_cap / 4 ? 40
                                                          : 24;
    int delete_weight = records > config_.record_cap ? 30 : 9;
    const int weights[] = {write_weight, 20, 28, 12, delete_weight, 1};
    int total = 0;
    for (int w : weights)
        total += w;
    int roll = random(total);
    int choice = 0;
    while (roll >= weights[choice])
        roll -= weights[choice++];
    switch (choice) {
        case 0:
            return do_write();
        case 1:
            return do_keyed_read();
        case 2:
            return do_positional_read();
        case 3:
            return do_rewrite();
        case 4:
            return do_delete();
        default:
            return do_attributes();
    }
}

std::string ModelRun::run() {
    if (!create())
        return failure_;
    while (operation_ < parameters_.operations) {
        ++batch_number_;
        uint8_t mode = IX_MODE_UPDATE;
        if (batch_number_ % 7 == 0)
            mode = IX_MODE_INPUT;
        if (batch_number_ % 5 == 0)
            mode |= IX_MODE_CRT_IO;
        if (!open(mode) || (batch_number_ % 5 == 1 && !check_file("after open")))
            return failure_;
        // Now and then a check between two operations, which must not
        // disturb the cursors the model follows.
        const int check_at = batch_number_ % 3 == 0 ? random(parameters_.batch) : -1;
        for (int i = 0; i < parameters_.batch && operation_ < parameters_.operations; ++i) {
            ++operation_;
            if (!step())
                return failure_;
            if (i == check_at && !check_file("inside the batch"))
                return failure_;
        }
        if (!check_file("at the end of the batch") || !close())
            return failure_;
    }
    return "";
}

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

class IsamModel : public kvr::test::TempDirTest, public ::testing::WithParamInterface<Config> {
protected:
    // The kvr utility finds the file the run left sound, and a block-format
    // one converts to the slot format without a record lost.
    static void check_with_kvr(const std::string& file, bool blocks) {
        using kvr::test::run_kvr_program;
        EXPECT_EQ(run_kvr_program({"check", file}), 0) << file;
        EXPECT_EQ(run_kvr_program({"info", file}), 0) << file;
        if (blocks) {
            EXPECT_EQ(run_kvr_program({"convert", file}), 0) << file;
            EXPECT_EQ(run_kvr_program({"check", file}), 0) << file;
        }
    }

    void run_config(const Config& config) {
        const char* only = std::getenv("KVR_MODEL_CONFIG");
        if (only != nullptr && *only != '\0' && std::string(only) != config.name)
            GTEST_SKIP() << "KVR_MODEL_CONFIG selects another configuration";
        const uint64_t soak = env_number("KVR_MODEL_SOAK", 1);
        const bool trace = env_number("KVR_MODEL_TRACE", 0) != 0;
        std::vector<uint64_t> seeds = {1, 2};
        for (uint64_t s = 3; s <= 2 * soak; ++s)
            seeds.push_back(s * 7919);
        if (std::getenv("KVR_MODEL_SEED") != nullptr)
            seeds = {env_number("KVR_MODEL_SEED", 1)};
        const int operations = static_cast<int>(25000 * (soak > 1 ? 4 : 1));
        for (const uint64_t seed : seeds) {
            const std::string file = path(std::string(config.name) + "_" + std::to_string(seed));
            ModelRun run(config, RunParameters{seed, operations, 500, trace}, file);
            const std::string failure = run.run();
            if (!failure.empty()) {
                ADD_FAILURE() << failure;
                continue;
            }
            check_with_kvr(file, config.blocks);
        }
    }
};

TEST_P(IsamModel, FollowsTheModel) {
    run_config(GetParam());
}

void PrintTo(const Config& config, std::ostream* out) {
    *out << config.name;
}

// No prefix: the names stay IsamModel.*, which the run without file mappings selects.
INSTANTIATE_TEST_SUITE_P(, IsamModel, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
