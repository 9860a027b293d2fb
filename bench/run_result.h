// What one engine's run of the benchmark measured, and the runners that
// produce it. A run executes every phase in order on fresh files in a
// directory of its own; it is made in a child process, so the result is a
// plain struct that crosses a pipe, and the peak resident size is that of
// the one engine.
#ifndef KVR_BENCH_RUN_RESULT_H
#define KVR_BENCH_RUN_RESULT_H

#include <chrono>
#include <cstdint>
#include <string>

#include "workload.h"

namespace bench {

enum Phase {
    kLoadAscending,
    kLoadRandom,
    kReadRandom,
    kScanPrime,
    kScanAlternate,
    kRewrite,
    kDelete,
    kPhaseCount
};

inline const char* phase_name(int phase) {
    static constexpr const char* kNames[kPhaseCount] = {
        "load ascending", "load random", "read random", "scan prime key",
        "scan alt key",   "rewrite",     "delete",
    };
    return kNames[phase];
}

struct RunResult {
    bool ok = false;
    char error[256] = {};
    double seconds[kPhaseCount] = {};
    uint64_t operations[kPhaseCount] = {};
    double started[kPhaseCount] = {};  // CLOCK_MONOTONIC seconds, for a profiler's time filter
    long base_rss_kib = 0;             // before the engine was first called
    long peak_rss_kib = 0;             // getrusage at the end of the run
    long anon_rss_kib = 0;             // the process's own memory at the end (RssAnon)
    uint64_t size_ascending = 0;       // file loaded in ascending order
    uint64_t size_random = 0;          // file loaded in random order, after the rewrites
    uint64_t size_after_delete = 0;    // that file once every record is deleted
    uint64_t cache_bytes = 0;          // BDB: the cache the environment reports
    uint32_t page_size = 0;            // BDB: the page size of the primary
};

// The cache to give Berkeley DB: 0 means its default (no set_cachesize).
struct BdbConfig {
    uint64_t cache_bytes = 0;
};

// Each runner fills result; on failure ok stays false and error says why.
void run_kvr(const Workload& workload, const std::string& dir, RunResult* result);
void run_bdb(const Workload& workload, const std::string& dir, const BdbConfig& config,
             RunResult* result);
// Built when LMDB is there (KVR_BENCH_LMDB).
void run_lmdb(const Workload& workload, const std::string& dir, RunResult* result);

// Shared by the runners.
long peak_rss_kib();
// The process's own memory now, without the file pages mapped into it.
long anonymous_rss_kib();
uint64_t file_size(const std::string& path);

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    // When the watch was started: seconds of the steady clock (on Linux
    // CLOCK_MONOTONIC, the clock `perf record -k CLOCK_MONOTONIC` stamps with).
    double started() const {
        return std::chrono::duration<double>(start_.time_since_epoch()).count();
    }
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace bench

#endif
