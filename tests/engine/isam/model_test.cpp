// Model-based test of the indexed engine: random WRITE, READ (every relation
// and direction, by every key, with and without a buffer), REWRITE and DELETE
// through _vmqpIsam, each compared with a model of the file that follows the
// engine's cursors exactly, with reopens and the file checker between batches.
// KVR_MODEL_SOAK=n runs n times longer with more seeds; KVR_MODEL_SEED=s
// replays one seed, KVR_MODEL_TRACE=1 prints every operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <limits>
#include <map>
#include <numeric>
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

using KeyDef = kvr::test::KeySpec;  // offsets 1-based, as the attribute block has them

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

const std::vector<KeyDef> kPrimeFirst = {{1, 24}, {25, 12}, {37, 16, true}};
const std::vector<KeyDef> kPrimeInside = {{17, 24}, {41, 12}, {1, 16, true}};
const std::vector<KeyDef> kRelativeNumber = {{1, 4, false, 1}};

const Config kConfigs[] = {
    // One size class, free slots reused last-in first-out.
    {"fixed", 80, 80, kPrimeFirst, 900, 2400},
    // Five size classes; records that grow move in the store.
    {"variable", 52, 600, kPrimeInside, 900, 2400},
    // As relative files; records up to 33000 bytes leave no append buffer.
    {"relative", 5, 33004, kRelativeNumber, 1200, 3000},
    {"relative_fixed", 64, 64, kRelativeNumber, 1200, 3000},
    // Records in sequence sets of 4096 bytes, which split, merge and balance.
    {"blocks_fixed", 80, 80, kPrimeFirst, 900, 2400, true},
    {"blocks_variable", 52, 600, kPrimeInside, 900, 2400, true},
    // Sets of 16384 bytes, far more than the 64 buffers of the pool.
    {"blocks_long", 5, 6000, kRelativeNumber, 600, 1500, true, true},
};

int compare_part(const std::string& a, const std::string& b, bool numeric) {
    const auto number = [](const std::string& part) {
        return kvr::platform::load_u32(reinterpret_cast<const unsigned char*>(part.data()));
    };
    const int c = numeric ? (number(a) > number(b)) - (number(a) < number(b))
                          : std::memcmp(a.data(), b.data(), a.size());
    return (c > 0) - (c < 0);
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

// A tree's cursor as the reads see it. kAfterDeleted: on `at`, the entry
// before one just deleted; a step back returns `at` itself.
struct Cursor {
    enum State { kNone, kOn, kBeforeFirst, kAfterDeleted } state = kNone;
    Entry at;
};

std::string hex(const std::string& bytes) {
    std::string out;
    char escaped[8];
    for (unsigned char c : bytes) {
        std::snprintf(escaped, sizeof escaped,
                      c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02x", c);
        out += escaped;
    }
    return out;
}

// What the model expects of one operation: the result, the bytes of the key
// area afterwards, and the bytes delivered (the whole record).
struct Expected {
    int result = 0;
    std::optional<std::string> key_area = std::nullopt;
    std::optional<std::string> record = std::nullopt;
};

// The model of one open file: per key the ordered entries of its tree and
// the tree's cursor, moved as the engine moves them, failures included.
class Model {
public:
    explicit Model(const Config& config) : config_(config) {
        for (const KeyDef& key : config.keys) {
            indexes_.emplace_back(EntryOrder{key.type == 1});
            keys_end_ = std::max(keys_end_, static_cast<uint32_t>(key.offset - 1 + key.length));
        }
        cursors_.resize(config.keys.size());
    }

    int key_count() const { return static_cast<int>(config_.keys.size()); }
    uint32_t keys_end() const { return keys_end_; }
    const KeyDef& key(int k) const { return config_.keys[static_cast<size_t>(k)]; }
    std::string part_of(const std::string& record, int k) const {
        return record.substr(static_cast<size_t>(key(k).offset - 1),
                             static_cast<size_t>(key(k).length));
    }
    size_t size() const { return indexes_[0].size(); }
    const Index& index(int k) const { return indexes_[static_cast<size_t>(k)]; }
    const std::string& record(const std::string& prime) const { return records_.at(prime); }
    // The entry whose record the model thinks key k's cursor names, if any.
    std::optional<Entry> current(int k) const {
        const Cursor& c = cursors_[static_cast<size_t>(k)];
        if (index(k).empty() || c.state == Cursor::kNone)
            return std::nullopt;
        return c.state == Cursor::kBeforeFirst ? *index(k).begin() : c.at;
    }
    // Some existing record, by a random position.
    std::optional<std::string> some_prime(std::mt19937_64& rng) const {
        if (records_.empty())
            return std::nullopt;
        return std::next(records_.begin(), static_cast<long>(rng() % records_.size()))->first;
    }

    // The key of reference of the last read survives a close only after an update open.
    void reopened(bool update) {
        update_ = update;
        std::fill(cursors_.begin(), cursors_.end(), Cursor{});
        current_key_ = current_key_on_disk_;
    }
    void closed() { current_key_on_disk_ = update_ ? current_key_ : current_key_on_disk_; }

    Expected keyed_read(int relation, int k, const std::string& search, const std::string& prime,
                        bool fetch) {
        if (k >= key_count())
            return {IX_BAD_KEY_NUMBER};
        current_key_ = k;
        const Index& x = index(k);
        if (x.empty())
            return {IX_NOT_FOUND};
        if (relation == IX_READ_DUP) {
            for (It it = x.lower_bound(Entry{search, 0, {}}); it != x.end() && it->part == search;
                 ++it)
                if (it->prime == prime)
                    return fetched(k, it, fetch, false, {});
            place_none(k);
            return {IX_NOT_FOUND};
        }
        const It lower = x.lower_bound(Entry{search, 0, {}});
        const bool equal = lower != x.end() && compare_part(lower->part, search, numeric(k)) == 0;
        const bool below = relation == IX_READ_LE || relation == IX_READ_LT;
        const bool with_equal = relation != IX_READ_GT && relation != IX_READ_LT;
        It found = x.end();
        if (relation == IX_READ_GE || (with_equal && equal))
            found = lower;
        else if (relation == IX_READ_GT)
            found = x.upper_bound(Entry{search, std::numeric_limits<uint32_t>::max(), {}});
        else if (below && lower != x.begin())
            found = std::prev(lower);
        if (found == x.end()) {
            place_none(k);  // nothing below: the step back runs off the first entry
            return {below ? IX_END_OF_FILE : IX_NOT_FOUND};
        }
        const bool twelve = with_equal && equal && found == lower && duplicate_follows(k, found);
        return fetched(k, found, fetch, relation != IX_READ_EQ,
                       {twelve ? IX_DUPLICATE_FOLLOWS : IX_OK});
    }

    Expected positional_read(int move, int k, bool fetch) {
        if (k >= key_count())
            return {IX_BAD_KEY_NUMBER};
        current_key_ = k;
        const Index& x = index(k);
        if (x.empty())
            return {IX_END_OF_FILE};
        const Cursor& c = cursors_[static_cast<size_t>(k)];
        It found = move == IX_READ_LAST ? std::prev(x.end()) : x.begin();
        if (move != IX_READ_FIRST && move != IX_READ_LAST) {
            if (c.state == Cursor::kNone)
                return {IX_NO_POSITION};
            if (c.state == Cursor::kBeforeFirst && move == IX_READ_PREV) {
                place(k, x.begin());  // stepping back from the first entry
                return {IX_END_OF_FILE};
            }
            if (c.state != Cursor::kBeforeFirst)
                found = find(k, c.at);
            if (c.state != Cursor::kBeforeFirst && move == IX_READ_NEXT && ++found == x.end()) {
                place_none(k);
                return {IX_END_OF_FILE};
            }
            if (c.state == Cursor::kOn && move == IX_READ_PREV) {
                if (found == x.begin())
                    return {IX_END_OF_FILE};  // the cursor stays on the first entry
                --found;
            }
        }
        const int result = k > 0 && duplicate_follows(k, found) ? IX_DUPLICATE_FOLLOWS : IX_OK;
        return fetched(k, found, fetch, true, {result});
    }

    Expected write(const std::string& r, int k) {
        if (const int refusal = refused(r, k))
            return {refusal};
        // The prime key's predecessor is looked up first; the cursor of key 0
        // stays there when the write is refused.
        const std::string prime = part_of(r, 0);
        if (!index(0).empty()) {
            const It at = index(0).lower_bound(Entry{prime, 0, {}});
            if (at == index(0).begin())
                place_none(0);
            else
                place(0, std::prev(at));
            if (at != index(0).end() && compare_part(at->part, prime, numeric(0)) == 0)
                return {IX_DUPLICATE};
        }
        for (int i = 1; i < key_count(); ++i) {
            if (dups(i) || index(i).empty())
                continue;
            const It at = index(i).find(Entry{part_of(r, i), 0, {}});
            if (at != index(i).end()) {
                place(i, at);
                return {IX_DUPLICATE};
            }
            place_none(i);
        }
        bool duplicate = false;
        for (int i = 1; i < key_count(); ++i)
            place(i, insert(i, part_of(r, i), prime, &duplicate));
        place(0, insert(0, prime, prime, &duplicate));
        records_[prime] = r;
        return {duplicate ? IX_DUPLICATE_FOLLOWS : IX_OK, part_of(r, k)};
    }

    Expected rewrite(const std::string& r, int k) {
        if (const int refusal = refused(r, k))
            return {refusal};
        const std::optional<Entry> at = current(k);
        if (index(k).empty())
            return {IX_NOT_FOUND};
        if (!at)
            return {IX_NO_POSITION};
        place(k, find(k, *at));
        const std::string prime = at->prime;
        if (k > 0)
            place(0, entry_of(0, prime));
        if (part_of(r, 0) != prime)
            return {IX_NO_POSITION};
        const std::string old = records_.at(prime);
        auto changes = [&](int i) { return part_of(r, i) != part_of(old, i); };
        for (int i = 1; i < key_count(); ++i) {
            if (!changes(i) || dups(i))
                continue;
            const It taken = index(i).find(Entry{part_of(r, i), 0, {}});
            if (taken != index(i).end()) {
                place(i, taken);
                return {IX_DUPLICATE};
            }
            place(i, entry_of(i, prime));
        }
        Expected e{0, part_of(r, k)};
        for (int i = 1; i < key_count(); ++i) {
            if (!changes(i))
                continue;
            // Where the cursor stood: on another entry, or (on the record's
            // own entry) just before the entry that followed it.
            enum { kNothing, kAtEntry, kBeforeNext, kWasLast } saved = kNothing;
            Entry remembered;
            if (const std::optional<Entry> standing = current(i)) {
                const It own = entry_of(i, prime);
                const It here = find(i, *standing);
                const It next = std::next(own);
                saved = here != own ? kAtEntry : next == index(i).end() ? kWasLast : kBeforeNext;
                if (saved != kWasLast)
                    remembered = here != own ? *here : *next;
            }
            ix(i).erase(entry_of(i, prime));
            bool duplicate = false;
            const It added = insert(i, part_of(r, i), prime, &duplicate);
            if (duplicate)
                e.result = IX_DUPLICATE_FOLLOWS;  // the new value was there already
            if (saved == kNothing)
                place(i, added);
            else if (saved == kWasLast)
                place(i, std::prev(index(i).end()));
            else if (saved == kAtEntry)
                place(i, find(i, remembered));
            else
                place_before(i, find(i, remembered), Cursor::kOn);
        }
        // Entries of unchanged keys stay as they are.
        records_[prime] = r;
        return e;
    }

    Expected erase() {
        if (!update_)
            return {IX_IO_ERROR};
        if (index(current_key_).empty())
            return {IX_END_OF_FILE};
        const std::optional<Entry> at = current(current_key_);
        if (!at)
            return {IX_NO_POSITION};
        const std::string prime = at->prime;
        for (int i = 1; i <= key_count(); ++i) {
            const int k = i % key_count();  // the prime key last
            const It own = entry_of(k, prime);
            place_before(k, own, Cursor::kAfterDeleted);
            ix(k).erase(own);
        }
        records_.erase(prime);
        return {};
    }

private:
    Index& ix(int k) { return indexes_[static_cast<size_t>(k)]; }
    void place(int k, It it) { cursors_[static_cast<size_t>(k)] = Cursor{Cursor::kOn, *it}; }
    void place_none(int k) { cursors_[static_cast<size_t>(k)] = Cursor{}; }
    // Just before `it`: on the entry before it (in `state`), or before the first.
    void place_before(int k, It it, Cursor::State state) {
        cursors_[static_cast<size_t>(k)] = it == index(k).begin() ? Cursor{Cursor::kBeforeFirst, {}}
                                                                  : Cursor{state, *std::prev(it)};
    }
    bool dups(int k) const { return key(k).duplicates; }
    bool numeric(int k) const { return key(k).type == 1; }
    It find(int k, const Entry& e) const { return index(k).find(e); }
    // The entry of the record with this prime key in tree k.
    It entry_of(int k, const std::string& prime) const {
        if (k == 0)
            return index(0).find(Entry{prime, 0, prime});
        const std::string part = part_of(records_.at(prime), k);
        It it = index(k).lower_bound(Entry{part, 0, {}});
        while (it != index(k).end() && it->part == part && it->prime != prime)
            ++it;
        return it != index(k).end() && it->part == part ? it : index(k).end();
    }
    bool duplicate_follows(int k, It it) const {
        const It next = std::next(it);
        return dups(k) && next != index(k).end() && next->part == it->part;
    }
    // What refuses a WRITE or REWRITE before any key is looked at; 0 if nothing.
    int refused(const std::string& r, int k) const {
        if (!update_)
            return IX_IO_ERROR;
        if (r.size() < keys_end_)
            return IX_RECORD_TOO_SHORT;
        if (r.size() > config_.max_length)
            return IX_RECORD_TOO_LONG;
        return k >= key_count() ? IX_BAD_KEY_NUMBER : IX_OK;
    }
    // Adds the entry of a record with key k's part `part`: a duplicate takes
    // the number after the last of its run, so runs keep the order of writing.
    It insert(int k, const std::string& part, const std::string& prime, bool* duplicate) {
        uint32_t number = 0;
        if (dups(k)) {
            for (It it = index(k).lower_bound(Entry{part, 0, {}});
                 it != index(k).end() && it->part == part; ++it) {
                *duplicate = true;
                number = it->number + 1;
            }
        }
        return ix(k).insert(Entry{part, number, prime}).first;
    }
    // A read that found entry `it` of key k: the record (fetch) and what moves.
    Expected fetched(int k, It it, bool fetch, bool copy_key, Expected e) {
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

    const Config& config_;
    uint32_t keys_end_ = 0;
    std::vector<Index> indexes_;
    std::vector<Cursor> cursors_;
    std::map<std::string, std::string> records_;  // prime -> record
    int current_key_ = 0;
    int current_key_on_disk_ = 0;
    bool update_ = true;
};

// One run of one seed: batches of random operations between an open and a
// close, each compared with the model.
struct ModelRun {
    // "" when the engine followed the model throughout; otherwise what
    // differed, where, and the operations before it.
    std::string run() {
        std::vector<unsigned char> block =
            kvr::test::attribute_block(config_.min_length, config_.max_length, config_.keys);
        uint32_t size = static_cast<uint32_t>(block.size());
        void* none = nullptr;
        const int created =
            config_.blocks
                ? kvr::engine::code(kvr::isam::create_indexed_file(
                      block.data(), size, file_.c_str(), 0, kvr::isam::StoreFormat::kBlocks))
                : _vmqpIsam(IX_CREATE, &none, block.data(), &size, file_.data(), 0);
        if (!same("create gave", std::to_string(created), "0"))
            return failure_;
        while (operation_ < operations_) {
            ++batch_number_;
            uint8_t mode = batch_number_ % 7 == 0 ? IX_MODE_INPUT : IX_MODE_UPDATE;
            if (batch_number_ % 5 == 0)
                mode |= IX_MODE_CRT_IO;
            if (!open(mode) || (batch_number_ % 5 == 1 && !check_file("after open")))
                return failure_;
            // Now and then a check between two operations, which must not
            // disturb the cursors the model follows.
            const int check_at = batch_number_ % 3 == 0 ? random(kBatch) : -1;
            for (int i = 0; i < kBatch && operation_ < operations_; ++i) {
                ++operation_;
                if (!step() || (i == check_at && !check_file("inside the batch")))
                    return failure_;
            }
            if (!check_file("at the end of the batch") || !close())
                return failure_;
        }
        return "";
    }

    static constexpr int kBatch = 500;

    int random(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
    bool chance(int percent) { return random(100) < percent; }
    // A key number, a third (or half) of the time one past the file's keys.
    int any_key(int percent) {
        return chance(percent) ? model_.key_count() : random(model_.key_count());
    }

    void note(const std::string& what) {
        const std::string line = "#" + std::to_string(operation_) + " " + what;
        if (trace_)
            std::printf("%s\n", line.c_str());
        recent_.push_back(line);
        if (recent_.size() > 12)
            recent_.pop_front();
    }
    bool fail(const std::string& what) {
        std::ostringstream out;
        out << "config " << config_.name << " seed " << seed_ << " operation " << operation_
            << " (batch " << batch_number_ << "): " << what << "\nreplay: --gtest_filter=*/"
            << config_.name << " KVR_MODEL_SEED=" << seed_
            << " KVR_MODEL_TRACE=1\nlast operations:\n";
        for (const std::string& line : recent_)
            out << "  " << line << "\n";
        failure_ = out.str();
        return false;
    }
    // True when `got` is what was expected; otherwise the run fails.
    bool same(const std::string& what, const std::string& got, const std::string& expected) {
        return got == expected || fail(what + " " + got + ", expected " + expected);
    }

    bool open(uint8_t mode) {
        const int result = _vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, file_.data(), mode);
        note("OPEN mode " + std::to_string(mode) + " -> " + std::to_string(result));
        model_.reopened((mode & 0x03) != 0);
        return same("open gave", std::to_string(result), "0");
    }
    bool close() {
        const int result = _vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0);
        note("CLOSE -> " + std::to_string(result));
        model_.closed();
        return same("close gave", std::to_string(result), "0");
    }
    // The checker finds the file sound, with the model's records and no space lost.
    bool check_file(const char* when) {
        kvr::isam::FileProblem problem;
        kvr::isam::FileSummary summary;
        if (!kvr::isam::check_file(static_cast<ix_handle*>(slot_), &problem, &summary))
            return fail(std::string("file check ") + when + ": " + kvr::isam::describe(problem));
        return same("records", std::to_string(summary.records), std::to_string(model_.size())) &&
               same("records and index blocks nothing names",
                    std::to_string(summary.orphan_records) + " and " +
                        std::to_string(summary.unused_blocks),
                    "0 and 0");
    }

    uint32_t record_length() {
        if (config_.min_length == config_.max_length)
            return config_.max_length;
        const uint32_t shortest = model_.keys_end();
        const uint32_t span = config_.max_length - shortest;
        if (chance(3))
            return config_.max_length;
        if (!config_.long_records && span > 1000 && !chance(3))
            return shortest + static_cast<uint32_t>(random(300));
        return shortest + static_cast<uint32_t>(random(static_cast<int>(span) + 1));
    }
    // A random value of key k: prime keys from a domain about twice the records
    // the file holds, so that writes collide; unique keys from a wider one.
    // Prime numbers' little-endian bytes do not sort as the numbers do; prime
    // texts begin with bytes from all over the range.
    std::string value(int k) {
        const size_t length = static_cast<size_t>(model_.key(k).length);
        if (k == 2) {
            static const char* const kGroups[] = {"AAA", "AAB",      "B",   "\x80group", "ZZZ",
                                                  "zz",  "\xff\xff", "mid", "M",         "0"};
            std::string bytes(kGroups[random(10) % 10]);
            bytes.resize(length, ' ');
            return bytes;
        }
        const int v = random(k == 0 ? config_.prime_domain : config_.prime_domain * 4);
        std::string bytes(length, '0');
        if (k == 0 && model_.key(0).type == 1) {
            const uint32_t n = v % 3 == 0 ? static_cast<uint32_t>(v) * 65537u
                                          : static_cast<uint32_t>(v) * 257u + 1u;
            kvr::platform::store_u32(reinterpret_cast<unsigned char*>(bytes.data()), n);
            return bytes;
        }
        const std::string digits = std::to_string(v);
        bytes.replace(length - digits.size(), digits.size(), digits);
        static const unsigned char kFirst[] = {0x00, 0x41, 0x7F, 0x80, 0xFF};
        if (k == 0)
            bytes[0] = static_cast<char>(kFirst[v % 5]);
        return bytes;
    }
    // A record of `length` bytes (at least keys_end) with these keys.
    std::string record(const std::string& prime, const std::string& unique,
                       const std::string& group, size_t length) {
        std::string r(length, ' ');
        for (char& c : r)
            c = static_cast<char>('a' + rng_() % 26);
        const std::string parts[] = {prime, unique, group};
        for (int i = 0; i < model_.key_count(); ++i)
            r.replace(static_cast<size_t>(model_.key(i).offset - 1), parts[i].size(), parts[i]);
        return r;
    }
    std::string new_record() {
        const std::string prime = value(0);
        const std::string unique = model_.key_count() > 1 ? value(1) : "";
        const std::string group = model_.key_count() > 1 ? value(2) : "";
        return record(prime, unique, group, record_length());
    }
    // A key value to search with: mostly one the file has.
    std::string search_value(int k) {
        if (k >= model_.key_count())
            k = 0;
        const std::optional<std::string> prime = model_.some_prime(rng_);
        return prime && chance(70) ? model_.part_of(model_.record(*prime), k) : value(k);
    }

    // A WRITE or REWRITE of r: the result, and the key area on success.
    bool update(uint16_t op, const std::string& r, int k, const Expected& expected) {
        std::string key_area(300, '\xee');
        uint32_t length = static_cast<uint32_t>(r.size());
        const int result = _vmqpIsam(op, &slot_, const_cast<char*>(r.data()), &length,
                                     key_area.data(), static_cast<uint8_t>(k));
        note(std::string(op == IX_WRITE ? "WRITE" : "REWRITE") + " key " + std::to_string(k) +
             " prime " + hex(model_.part_of(r, 0)) + " length " + std::to_string(r.size()) +
             " -> " + std::to_string(result));
        return same("result", std::to_string(result), std::to_string(expected.result)) &&
               (!expected.key_area ||
                same("key area", hex(key_area.substr(0, expected.key_area->size())),
                     hex(*expected.key_area)));
    }
    bool do_write() {
        std::string r = new_record();
        const int roll = random(100);
        if (roll < 3)
            r.resize(model_.keys_end() - 1);  // too short to hold the keys
        else if (roll < 5)
            r.resize(config_.max_length + 1, 'L');
        const int k = any_key(3);
        return update(IX_WRITE, r, k, model_.write(r, k));
    }
    bool do_rewrite() {
        const int k = any_key(3);
        std::string r;
        const std::optional<Entry> at = k < model_.key_count() ? model_.current(k) : std::nullopt;
        if (at && !chance(8)) {
            const std::string& old = model_.record(at->prime);
            const bool alternates = config_.keys.size() > 1;
            std::string unique = alternates ? model_.part_of(old, 1) : "";
            std::string group = alternates ? model_.part_of(old, 2) : "";
            if (alternates && chance(35))
                unique = value(1);
            if (alternates && chance(35))
                group = value(2);
            uint32_t length = record_length();
            if (config_.min_length != config_.max_length && chance(40))
                length =
                    std::min<uint32_t>(config_.max_length, static_cast<uint32_t>(old.size()) + 1 +
                                                               static_cast<uint32_t>(random(60)));
            r = record(at->prime, unique, group, length);
        } else {
            r = new_record();
        }
        if (chance(2))
            r.resize(config_.max_length + 1, 'L');
        return update(IX_REWRITE, r, k, model_.rewrite(r, k));
    }
    bool do_delete() {
        const Expected expected = model_.erase();
        const int result = _vmqpIsam(IX_DELETE, &slot_, nullptr, nullptr, nullptr, 0);
        note("DELETE -> " + std::to_string(result));
        return same("result", std::to_string(result), std::to_string(expected.result));
    }

    // A read into `buffer` of which `size` bytes are offered (none when 0):
    // the result, the key area (what the model says, the rest as it was), the
    // length and the buffer's bytes.
    bool read(uint16_t op, int k, std::string key_area, std::string buffer, uint32_t size,
              const Expected& expected) {
        std::string want_key = key_area, want_buffer = buffer;  // as they were, then as expected
        uint32_t length = size;
        const int result =
            _vmqpIsam(op, &slot_, buffer.data(), &length, key_area.data(), static_cast<uint8_t>(k));
        const bool success = result == IX_OK || result == IX_DUPLICATE_FOLLOWS;
        const size_t key_length =
            k < model_.key_count() ? static_cast<size_t>(model_.key(k).length) : 4;
        note("READ op " + std::to_string(op & 0xFF) + (op & IX_HOLD_RECORD ? "+hold" : "") +
             " key " + std::to_string(k) + " size " + std::to_string(size) + " search " +
             hex(want_key.substr(0, key_length)) + " -> " + std::to_string(result) +
             (success ? " got " + hex(buffer.substr(0, std::min<uint32_t>(length, 40))) : ""));
        if (!same("result", std::to_string(result), std::to_string(expected.result)))
            return false;
        if (success && expected.key_area)
            want_key.replace(0, expected.key_area->size(), *expected.key_area);
        uint32_t want_length = size;
        if (success && size != 0) {
            const std::string& r = *expected.record;
            want_length = static_cast<uint32_t>(r.size());
            want_buffer.replace(0, std::min<size_t>(size, r.size()), r.substr(0, size));
        }
        const size_t at = static_cast<size_t>(
            std::mismatch(buffer.begin(), buffer.end(), want_buffer.begin()).first -
            buffer.begin());
        if (key_area != want_key)
            return fail("key area " + hex(key_area.substr(0, 40)) + ", expected " +
                        hex(want_key.substr(0, 40)));
        return same("length", std::to_string(length), std::to_string(want_length)) &&
               same("record bytes from " + std::to_string(at), hex(buffer.substr(at, 24)),
                    hex(want_buffer.substr(at, 24)));
    }
    // The buffer's size offered to a read: none, some or all of the longest record.
    uint32_t offered(int none, int some) {
        if (chance(none))
            return 0;
        return chance(some)
                   ? static_cast<uint32_t>(1 + random(static_cast<int>(config_.max_length)))
                   : config_.max_length;
    }
    bool do_keyed_read() {
        static const int kRelations[] = {IX_READ_EQ, IX_READ_GT, IX_READ_GE, IX_READ_LE,
                                         IX_READ_LT};
        int relation = kRelations[random(5)];
        int k = any_key(2);
        std::string buffer(config_.max_length + 16, '\xee');
        std::string prime;
        if (chance(12) && model_.key_count() > 1) {
            // The exact (alternate key, prime key) entry: mostly one that exists.
            relation = IX_READ_DUP;
            k = 1 + random(model_.key_count() - 1);
            const std::optional<std::string> some = model_.some_prime(rng_);
            prime = some && chance(80) ? *some : value(0);
            std::memcpy(buffer.data() + model_.key(0).offset - 1, prime.data(), prime.size());
        }
        std::string search = search_value(k);
        if (relation == IX_READ_DUP && chance(80) && model_.size() > 0 &&
            model_.index(0).find(Entry{prime, 0, prime}) != model_.index(0).end())
            search = model_.part_of(model_.record(prime), k);
        std::string key_area(300, '\xee');
        key_area.replace(0, search.size(), search);
        const uint32_t size = offered(15, 10);
        const uint16_t op = static_cast<uint16_t>(relation | (chance(20) ? IX_HOLD_RECORD : 0));
        return read(op, k, key_area, buffer, size,
                    model_.keyed_read(relation, k, search, prime, size != 0));
    }
    bool do_positional_read() {
        static const int kMoves[] = {IX_READ_NEXT, IX_READ_NEXT,    IX_READ_NEXT,  IX_READ_PREV,
                                     IX_READ_PREV, IX_READ_CURRENT, IX_READ_FIRST, IX_READ_LAST};
        const int move = kMoves[random(8)];
        const int k = any_key(2);
        const uint32_t size = offered(12, 8);
        const uint16_t op = static_cast<uint16_t>(move | (chance(20) ? IX_HOLD_RECORD : 0));
        return read(op, k, std::string(300, '\xee'), std::string(config_.max_length + 16, '\xee'),
                    size, model_.positional_read(move, k, size != 0));
    }
    bool do_attributes() {
        std::vector<unsigned char> block(24 + 8 * 4);
        uint32_t size = static_cast<uint32_t>(block.size());
        unsigned char aux = 1;
        const int result = _vmqpIsam(IX_GET_ATTRIBUTES, &slot_, block.data(), &size, &aux, 0);
        note("GET_ATTRIBUTES -> " + std::to_string(result));
        return same("attributes gave", std::to_string(result), "0") &&
               same("record count",
                    std::to_string(kvr::test::decode_attributes(block).record_count),
                    std::to_string(model_.size()));
    }

    bool step() {
        const int records = static_cast<int>(model_.size());
        const int write_weight = records > config_.record_cap       ? 8
                                 : records < config_.record_cap / 4 ? 40
                                                                    : 24;
        const int weights[] = {write_weight, 20, 28, 12, records > config_.record_cap ? 30 : 9, 1};
        int roll = random(std::accumulate(std::begin(weights), std::end(weights), 0));
        int choice = 0;
        while (roll >= weights[choice])
            roll -= weights[choice++];
        static constexpr bool (ModelRun::*kSteps[])() = {
            &ModelRun::do_write,   &ModelRun::do_keyed_read, &ModelRun::do_positional_read,
            &ModelRun::do_rewrite, &ModelRun::do_delete,     &ModelRun::do_attributes};
        return (this->*kSteps[choice])();
    }

    const Config& config_;
    const uint64_t seed_;
    const int operations_;
    const bool trace_;
    std::string file_;
    Model model_{config_};
    std::mt19937_64 rng_{seed_};
    void* slot_ = nullptr;
    int operation_ = 0;
    int batch_number_ = 0;
    std::string failure_{};
    std::deque<std::string> recent_{};
};

uint64_t env_number(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

class IsamModel : public kvr::test::TempDirTest, public ::testing::WithParamInterface<Config> {};

// Two seeds of 25000 operations per configuration; the kvr utility then finds
// each file sound, and a block-format one converts to the slot format.
TEST_P(IsamModel, FollowsTheModel) {
    const Config& config = GetParam();
    const uint64_t soak = env_number("KVR_MODEL_SOAK", 1);
    std::vector<uint64_t> seeds = {1, 2};
    for (uint64_t s = 3; s <= 2 * soak; ++s)
        seeds.push_back(s * 7919);
    if (std::getenv("KVR_MODEL_SEED") != nullptr)
        seeds = {env_number("KVR_MODEL_SEED", 1)};
    for (const uint64_t seed : seeds) {
        const std::string file = path(std::string(config.name) + "_" + std::to_string(seed));
        ModelRun run{config, seed, soak > 1 ? 100000 : 25000, env_number("KVR_MODEL_TRACE", 0) != 0,
                     file};
        const std::string failure = run.run();
        if (!failure.empty()) {
            ADD_FAILURE() << failure;
            continue;
        }
        std::vector<const char*> commands = {"check", "info"};
        if (config.blocks)
            commands.insert(commands.end(), {"convert", "check"});
        for (const char* command : commands)
            EXPECT_EQ(kvr::test::run_kvr_program({command, file}), 0) << command << " " << file;
    }
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
