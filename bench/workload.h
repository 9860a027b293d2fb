// The records and the orders of the benchmark, the same for every engine.
//
// Record i (0 <= i < N) is 100 bytes:
//   offset  size  field
//        0    10  prime key: (i + 1) * 7 as ten decimal digits, so that
//                 ascending i is ascending key order
//        10    8  alternate key, duplicates allowed: eight decimal digits of
//                 a hash of i modulo N / 10, so about N / 10 distinct values
//                 with about ten records each, unrelated to the prime order
//        18   82  filler: letters that depend on i
// A rewrite writes "UPDATED!" over filler bytes 18-25 and, for every tenth
// record (i % 10 == 3), gives it a second alternate value.
//
// The orders are permutations of 0 .. N-1 drawn from a seeded generator of
// our own, so that a seed gives the same run on every build.
#ifndef KVR_BENCH_WORKLOAD_H
#define KVR_BENCH_WORKLOAD_H

#include <cstdint>
#include <cstring>
#include <vector>

namespace bench {

inline constexpr uint32_t kRecordLength = 100;
inline constexpr uint32_t kPrimeKeyOffset = 0;
inline constexpr uint32_t kPrimeKeyLength = 10;
inline constexpr uint32_t kAltKeyOffset = 10;
inline constexpr uint32_t kAltKeyLength = 8;
inline constexpr uint32_t kFillerOffset = 18;
inline constexpr uint32_t kMaxRecords = 100'000'000;  // keys stay within ten digits

inline constexpr char kRewriteMark[] = "UPDATED!";
inline constexpr uint32_t kRewriteMarkLength = 8;

// The finalizer of splitmix64: a well-mixed 64-bit function of x.
inline uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// width decimal digits of value, leading zeros included.
inline void put_decimal(uint64_t value, int width, unsigned char* out) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<unsigned char>('0' + value % 10);
        value /= 10;
    }
}

class Workload {
public:
    Workload(uint32_t records, uint64_t seed)
        : records_(records), seed_(seed), groups_(records / 10 > 0 ? records / 10 : 1) {
        load_order_ = permutation(1);
        read_order_ = permutation(2);
        rewrite_order_ = permutation(3);
        delete_order_ = permutation(4);
    }

    uint32_t records() const { return records_; }
    uint32_t alt_groups() const { return groups_; }

    void prime_key(uint32_t i, unsigned char* out) const {
        put_decimal((uint64_t{i} + 1) * 7, kPrimeKeyLength, out);
    }
    // generation 0: as written by the loads; 1: after the rewrite phase.
    void alt_key(uint32_t i, int generation, unsigned char* out) const {
        const uint64_t salt = generation != 0 && alt_changes(i) ? 0x5151 : 0;
        put_decimal(mix64(seed_ ^ (uint64_t{i} << 20) ^ salt) % groups_, kAltKeyLength, out);
    }
    static bool alt_changes(uint32_t i) { return i % 10 == 3; }

    void make_record(uint32_t i, unsigned char* out) const {
        prime_key(i, out + kPrimeKeyOffset);
        alt_key(i, 0, out + kAltKeyOffset);
        for (uint32_t j = kFillerOffset; j < kRecordLength; ++j)
            out[j] = static_cast<unsigned char>('A' + (i + j) % 26);
    }
    // What the rewrite phase does to record i's bytes as read.
    void apply_rewrite(uint32_t i, unsigned char* record) const {
        std::memcpy(record + kFillerOffset, kRewriteMark, kRewriteMarkLength);
        if (alt_changes(i))
            alt_key(i, 1, record + kAltKeyOffset);
    }
    // True when record i, read back, carries what the rewrite phase wrote.
    bool shows_rewrite(uint32_t i, const unsigned char* record) const {
        unsigned char expected[kRecordLength];
        make_record(i, expected);
        apply_rewrite(i, expected);
        return std::memcmp(expected, record, kRecordLength) == 0;
    }

    const std::vector<uint32_t>& load_order() const { return load_order_; }
    const std::vector<uint32_t>& read_order() const { return read_order_; }
    const std::vector<uint32_t>& rewrite_order() const { return rewrite_order_; }
    const std::vector<uint32_t>& delete_order() const { return delete_order_; }

private:
    // Fisher-Yates over 0 .. N-1 driven by mix64 of a counter.
    std::vector<uint32_t> permutation(uint64_t stream) const {
        std::vector<uint32_t> order(records_);
        for (uint32_t i = 0; i < records_; ++i)
            order[i] = i;
        uint64_t counter = mix64(seed_ + stream * 0x1000193);
        for (uint32_t i = records_; i > 1; --i) {
            const uint32_t j = static_cast<uint32_t>(mix64(counter++) % i);
            const uint32_t t = order[i - 1];
            order[i - 1] = order[j];
            order[j] = t;
        }
        return order;
    }

    uint32_t records_;
    uint64_t seed_;
    uint32_t groups_;
    std::vector<uint32_t> load_order_;
    std::vector<uint32_t> read_order_;
    std::vector<uint32_t> rewrite_order_;
    std::vector<uint32_t> delete_order_;
};

}  // namespace bench

#endif
