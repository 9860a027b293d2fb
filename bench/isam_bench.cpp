// isam_bench: KVR's indexed engine against Berkeley DB's B-tree on the same
// record workload, phase by phase. Prints figures; it is not a test.
//
//   isam_bench [--records N] [--runs R] [--scaling] [--bdb-cache LIST]
//              [--engine kvr|bdb|both] [--dir DIR] [--seed S] [--phase-clock]
//
// Every engine run happens in a child process of its own, on fresh files in
// a fresh directory, so that each peak resident size belongs to one engine
// and nothing one engine leaves in the heap helps or hinders the other.
// With --runs R every run is repeated R times (engines interleaved) and the
// table shows the median of each phase.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <db.h>
#ifdef KVR_BENCH_LMDB
#include <lmdb.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "run_result.h"

namespace bench {

long peak_rss_kib() {
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    return usage.ru_maxrss;
}

long anonymous_rss_kib() {
    long kib = 0;
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr)
            if (std::sscanf(line, "RssAnon: %ld", &kib) == 1)
                break;
        std::fclose(status);
    }
    return kib;
}

uint64_t file_size(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return 0;
    return static_cast<uint64_t>(status.st_size);
}

namespace {

// KVR's buffer memory for one file of this workload: per tree 31 cached
// pages of 4096 bytes (the page size the engine picks for both keys), two
// trees, and the 64 KiB append buffer of a file open for update.
constexpr uint64_t kKvrPageCacheBytes = 2 * 31 * 4096;
constexpr uint64_t kKvrBufferBytes = kKvrPageCacheBytes + 65536;

#ifdef KVR_BENCH_LMDB
constexpr bool kHaveLmdb = true;
#else
constexpr bool kHaveLmdb = false;
#endif

// The smaller size of --scaling.
constexpr uint32_t kScalingSmallRecords = 100'000;

struct Options {
    uint32_t records = 1'000'000;
    int runs = 1;
    bool scaling = false;
    bool phase_clock = false;
    bool run_kvr = true;
    bool run_bdb = true;
    bool run_lmdb = kHaveLmdb;
    std::vector<BdbConfig> bdb_configs;
    std::string dir;
    uint64_t seed = 20240601;
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--records N] [--runs R] [--scaling] [--bdb-cache LIST]\n"
                 "          [--engine kvr|bdb|both] [--dir DIR] [--seed S]\n"
                 "  --records N      records per run (default 1000000)\n"
                 "  --runs R         repeat every run R times, report medians (default 1)\n"
                 "  --scaling        also run 100000 records (N must be larger); print\n"
                 "                   microseconds per operation for both sizes and how\n"
                 "                   they grow\n"
                 "  --bdb-cache LIST Berkeley DB cache sizes, comma separated: 'default'\n"
                 "                   (no set_cachesize), 'kvr' (%llu bytes, KVR's page\n"
                 "                   caches plus append buffer), or a byte count with an\n"
                 "                   optional K or M suffix (default: default,kvr)\n"
                 "  --engine LIST    kvr, bdb, lmdb, comma separated; both (kvr,bdb) or\n"
                 "                   all (the default: every engine this build has)\n"
                 "  --dir DIR        where the files go (default $TMPDIR or /tmp)\n"
                 "  --seed S         seed of the key orders (default 20240601)\n"
                 "  --phase-clock    print when each phase of each run started and ended,\n"
                 "                   in CLOCK_MONOTONIC seconds (for perf report --time)\n",
                 program, static_cast<unsigned long long>(kKvrBufferBytes));
}

bool parse_size(const std::string& text, uint64_t* value) {
    if (text == "default") {
        *value = 0;
        return true;
    }
    if (text == "kvr") {
        *value = kKvrBufferBytes;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str())
        return false;
    if (*end == 'K' || *end == 'k') {
        number <<= 10;
        ++end;
    } else if (*end == 'M' || *end == 'm') {
        number <<= 20;
        ++end;
    }
    if (*end != '\0' || number == 0)
        return false;
    *value = number;
    return true;
}

bool parse_options(int argc, char** argv, Options* options) {
    std::string caches = "default,kvr";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        const char* text = nullptr;
        if (arg == "--records" && value(&text)) {
            const long long n = std::atoll(text);
            if (n < 10 || n > kMaxRecords)
                return false;
            options->records = static_cast<uint32_t>(n);
        } else if (arg == "--runs" && value(&text)) {
            options->runs = std::atoi(text);
            if (options->runs < 1)
                return false;
        } else if (arg == "--scaling") {
            options->scaling = true;
        } else if (arg == "--phase-clock") {
            options->phase_clock = true;
        } else if (arg == "--bdb-cache" && value(&text)) {
            caches = text;
        } else if (arg == "--engine" && value(&text)) {
            // A comma-separated list; both is kvr,bdb and all every engine.
            const std::string list = std::string(",") + text + ",";
            auto named = [&](const char* engine) {
                return list.find(std::string(",") + engine + ",") != std::string::npos;
            };
            options->run_kvr = named("kvr") || named("both") || named("all");
            options->run_bdb = named("bdb") || named("both") || named("all");
            options->run_lmdb = named("lmdb") || (named("all") && kHaveLmdb);
            if ((!options->run_kvr && !options->run_bdb && !options->run_lmdb) ||
                (options->run_lmdb && !kHaveLmdb))
                return false;
        } else if (arg == "--dir" && value(&text)) {
            options->dir = text;
        } else if (arg == "--seed" && value(&text)) {
            options->seed = std::strtoull(text, nullptr, 10);
        } else {
            return false;
        }
    }
    size_t start = 0;
    while (start <= caches.size()) {
        size_t comma = caches.find(',', start);
        if (comma == std::string::npos)
            comma = caches.size();
        BdbConfig config;
        if (!parse_size(caches.substr(start, comma - start), &config.cache_bytes))
            return false;
        options->bdb_configs.push_back(config);
        start = comma + 1;
    }
    if (options->scaling && options->records <= kScalingSmallRecords)
        return false;  // the small size must be the smaller one
    if (options->dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        options->dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    return true;
}

enum class Engine { kKvr, kBdb, kLmdb };

// Runs one engine in a child process, in a directory of its own under base.
RunResult run_in_child(Engine engine, const Workload& workload, const BdbConfig& config,
                       const std::string& base) {
    RunResult result;
    std::string pattern = base + "/isam_bench.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::snprintf(result.error, sizeof result.error, "mkdtemp under %s: %s", base.c_str(),
                      std::strerror(errno));
        return result;
    }
    const std::string dir = pattern;
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        std::snprintf(result.error, sizeof result.error, "pipe: %s", std::strerror(errno));
        return result;
    }
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        close(pipe_ends[0]);
        RunResult measured;
        if (engine == Engine::kKvr)
            run_kvr(workload, dir, &measured);
        else if (engine == Engine::kBdb)
            run_bdb(workload, dir, config, &measured);
#ifdef KVR_BENCH_LMDB
        else
            run_lmdb(workload, dir, &measured);
#endif
        const char* bytes = reinterpret_cast<const char*>(&measured);
        size_t left = sizeof measured;
        while (left > 0) {
            const ssize_t n = write(pipe_ends[1], bytes, left);
            if (n <= 0)
                _exit(2);
            bytes += n;
            left -= static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(pipe_ends[1]);
    if (child < 0) {
        close(pipe_ends[0]);
        std::snprintf(result.error, sizeof result.error, "fork: %s", std::strerror(errno));
        return result;
    }
    char* bytes = reinterpret_cast<char*>(&result);
    size_t got = 0;
    while (got < sizeof result) {
        const ssize_t n = read(pipe_ends[0], bytes + got, sizeof result - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != sizeof result) {
        result = RunResult{};
        std::snprintf(result.error, sizeof result.error, "child ended without a result (%s %d)",
                      WIFSIGNALED(status) ? "signal" : "exit",
                      WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The medians of several runs of one engine configuration.
struct Summary {
    bool ok = false;
    double seconds[kPhaseCount] = {};
    uint64_t operations[kPhaseCount] = {};
    long base_rss_kib = 0;
    long peak_rss_kib = 0;
    long anon_rss_kib = 0;
    uint64_t size_ascending = 0;
    uint64_t size_random = 0;
    uint64_t size_after_delete = 0;
    uint64_t cache_bytes = 0;
    uint32_t page_size = 0;
    std::vector<RunResult> runs;

    double micros_per_op(int phase) const {
        return operations[phase] == 0 ? 0 : seconds[phase] * 1e6 / operations[phase];
    }
};

Summary summarize(const std::vector<RunResult>& runs) {
    Summary summary;
    summary.runs = runs;
    if (runs.empty())
        return summary;
    summary.ok = std::all_of(runs.begin(), runs.end(), [](const RunResult& r) { return r.ok; });
    if (!summary.ok)
        return summary;
    for (int phase = 0; phase < kPhaseCount; ++phase) {
        std::vector<double> times;
        for (const RunResult& r : runs)
            times.push_back(r.seconds[phase]);
        summary.seconds[phase] = median(times);
        summary.operations[phase] = runs.front().operations[phase];
    }
    std::vector<double> base, peak, anon;
    for (const RunResult& r : runs) {
        base.push_back(static_cast<double>(r.base_rss_kib));
        peak.push_back(static_cast<double>(r.peak_rss_kib));
        anon.push_back(static_cast<double>(r.anon_rss_kib));
    }
    summary.base_rss_kib = static_cast<long>(median(base));
    summary.peak_rss_kib = static_cast<long>(median(peak));
    summary.anon_rss_kib = static_cast<long>(median(anon));
    const RunResult& first = runs.front();
    summary.size_ascending = first.size_ascending;
    summary.size_random = first.size_random;
    summary.size_after_delete = first.size_after_delete;
    summary.cache_bytes = first.cache_bytes;
    summary.page_size = first.page_size;
    return summary;
}

// The machine's load, as uptime shows it: figures taken under load are worth
// less, and say so.
void print_load(const char* when) {
    double one = 0, five = 0, fifteen = 0;
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf %lf %lf", &one, &five, &fifteen) != 3)
            one = five = fifteen = 0;
        std::fclose(file);
    }
    std::printf("load average %s: %.2f, %.2f, %.2f\n", when, one, five, fifteen);
}

// 1234567 -> "1,234,567"
std::string grouped(uint64_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    const int n = static_cast<int>(digits.size());
    for (int i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            out += ',';
        out += digits[static_cast<size_t>(i)];
    }
    return out;
}

std::string cache_label(const BdbConfig& config, const Summary& summary) {
    std::string label = config.cache_bytes == 0
                            ? "default (no set_cachesize)"
                            : "set_cachesize " + grouped(config.cache_bytes) + " bytes";
    if (config.cache_bytes == kKvrBufferBytes)
        label += " = KVR's page caches + append buffer";
    return label + "; environment reports " + grouped(summary.cache_bytes) + " bytes";
}

void print_failures(const char* engine, const Summary& summary) {
    for (const RunResult& r : summary.runs)
        if (!r.ok)
            std::printf("  %s run failed: %s\n", engine, r.error);
}

void print_table(uint32_t records, const Summary& kvr, const Summary* bdb, const BdbConfig* config,
                 const char* peer = "BDB") {
    if (bdb != nullptr && config != nullptr)
        std::printf("\nBerkeley DB cache: %s; page size %u\n", cache_label(*config, *bdb).c_str(),
                    bdb->page_size);
    else if (bdb != nullptr)
        std::printf("\n%s\n", peer);
    const std::string peer_s = std::string(peer) + " s";
    const std::string peer_rate = std::string(peer) + " ops/s";
    std::printf("%-16s %10s %9s %11s %9s %11s %7s\n", "phase", "ops", "KVR s", "KVR ops/s",
                peer_s.c_str(), peer_rate.c_str(), "ratio");
    for (int phase = 0; phase < kPhaseCount; ++phase) {
        const uint64_t ops = records;  // every phase does one operation per record
        std::printf("%-16s %10s", phase_name(phase), grouped(ops).c_str());
        if (kvr.ok)
            std::printf(" %9.3f %11s", kvr.seconds[phase],
                        grouped(static_cast<uint64_t>(ops / kvr.seconds[phase])).c_str());
        else
            std::printf(" %9s %11s", "-", "-");
        if (bdb != nullptr && bdb->ok)
            std::printf(" %9.3f %11s", bdb->seconds[phase],
                        grouped(static_cast<uint64_t>(ops / bdb->seconds[phase])).c_str());
        else
            std::printf(" %9s %11s", "-", "-");
        if (kvr.ok && bdb != nullptr && bdb->ok) {
            const double ratio = bdb->seconds[phase] / kvr.seconds[phase];
            std::printf(" %7.2f%s", ratio, ratio < 1.0 ? "  < 1: KVR slower" : "");
        }
        std::printf("\n");
    }
}

void print_resources(const char* engine, const Summary& summary) {
    if (!summary.ok)
        return;
    std::printf(
        "%-4s peak RSS %s KiB (%s KiB before the engine ran; own memory at the end %s KiB, "
        "the rest is mapped file pages); file size: ascending "
        "load %s, random load after rewrites %s, after deleting all %s bytes\n",
        engine, grouped(static_cast<uint64_t>(summary.peak_rss_kib)).c_str(),
        grouped(static_cast<uint64_t>(summary.base_rss_kib)).c_str(),
        grouped(static_cast<uint64_t>(summary.anon_rss_kib)).c_str(),
        grouped(summary.size_ascending).c_str(), grouped(summary.size_random).c_str(),
        grouped(summary.size_after_delete).c_str());
}

void print_phase_clock(const char* engine, const Summary& summary) {
    for (size_t r = 0; r < summary.runs.size(); ++r) {
        const RunResult& run = summary.runs[r];
        for (int phase = 0; phase < kPhaseCount; ++phase)
            if (run.operations[phase] != 0)
                std::printf("%s run %zu %-16s %.6f,%.6f\n", engine, r + 1, phase_name(phase),
                            run.started[phase], run.started[phase] + run.seconds[phase]);
    }
}

void print_runs(const char* engine, const Summary& summary) {
    if (summary.runs.size() < 2 || !summary.ok)
        return;
    std::printf("%-4s seconds per run:", engine);
    for (int phase = 0; phase < kPhaseCount; ++phase) {
        std::printf(" %s [", phase_name(phase));
        for (size_t r = 0; r < summary.runs.size(); ++r)
            std::printf("%s%.3f", r == 0 ? "" : " ", summary.runs[r].seconds[phase]);
        std::printf("]");
    }
    std::printf("\n");
}

// Every engine configuration measured at one size.
struct SizeResults {
    uint32_t records = 0;
    Summary kvr;
    std::vector<Summary> bdb;  // one per configuration
    Summary lmdb;
};

SizeResults measure(const Options& options, uint32_t records) {
    std::printf("\n== %s records: preparing the key orders ==\n", grouped(records).c_str());
    const Workload workload(records, options.seed);
    std::vector<RunResult> kvr_runs;
    std::vector<std::vector<RunResult>> bdb_runs(options.run_bdb ? options.bdb_configs.size() : 0);
    std::vector<RunResult> lmdb_runs;
    for (int run = 0; run < options.runs; ++run) {
        if (options.run_lmdb) {
            std::printf("run %d: LMDB...\n", run + 1);
            lmdb_runs.push_back(run_in_child(Engine::kLmdb, workload, BdbConfig{}, options.dir));
        }
        if (options.run_kvr) {
            std::printf("run %d: KVR...\n", run + 1);
            kvr_runs.push_back(run_in_child(Engine::kKvr, workload, BdbConfig{}, options.dir));
        }
        if (options.run_bdb) {
            for (size_t c = 0; c < options.bdb_configs.size(); ++c) {
                std::printf("run %d: Berkeley DB, cache %s...\n", run + 1,
                            options.bdb_configs[c].cache_bytes == 0
                                ? "default"
                                : grouped(options.bdb_configs[c].cache_bytes).c_str());
                bdb_runs[c].push_back(
                    run_in_child(Engine::kBdb, workload, options.bdb_configs[c], options.dir));
            }
        }
    }
    SizeResults results;
    results.records = records;
    results.kvr = summarize(kvr_runs);
    for (const auto& runs : bdb_runs)
        results.bdb.push_back(summarize(runs));
    results.lmdb = summarize(lmdb_runs);

    std::printf("\n== %s records, median of %d run%s ==\n", grouped(records).c_str(), options.runs,
                options.runs == 1 ? "" : "s");
    print_failures("KVR", results.kvr);
    for (const Summary& s : results.bdb)
        print_failures("BDB", s);
    print_failures("LMDB", results.lmdb);
    if (options.run_bdb) {
        for (size_t c = 0; c < results.bdb.size(); ++c)
            print_table(records, results.kvr, &results.bdb[c], &options.bdb_configs[c]);
    }
    if (options.run_lmdb)
        print_table(records, results.kvr, &results.lmdb, nullptr, "LMDB");
    if (!options.run_bdb && !options.run_lmdb)
        print_table(records, results.kvr, nullptr, nullptr);
    std::printf("\n");
    print_resources("KVR", results.kvr);
    for (const Summary& s : results.bdb)
        print_resources("BDB", s);
    print_resources("LMDB", results.lmdb);
    print_runs("KVR", results.kvr);
    for (const Summary& s : results.bdb)
        print_runs("BDB", s);
    print_runs("LMDB", results.lmdb);
    if (options.phase_clock) {
        print_phase_clock("KVR", results.kvr);
        for (const Summary& s : results.bdb)
            print_phase_clock("BDB", s);
    }
    return results;
}

void print_scaling(const Options& options, const SizeResults& small, const SizeResults& large) {
    const double bound =
        std::log(static_cast<double>(large.records)) / std::log(static_cast<double>(small.records));
    std::printf(
        "\n== scaling: microseconds per operation, medians; growth = large / small; "
        "log n bound = ln %u / ln %u = %.2f ==\n",
        large.records, small.records, bound);
    std::printf("%-16s %11s %11s %7s", "phase", "KVR small", "KVR large", "growth");
    for (size_t c = 0; c < large.bdb.size(); ++c)
        std::printf(" | %9s %9s %7s", "BDB small", "BDB large", "growth");
    std::printf("\n");
    for (int phase = 0; phase < kPhaseCount; ++phase) {
        std::printf("%-16s", phase_name(phase));
        if (options.run_kvr && small.kvr.ok && large.kvr.ok) {
            const double a = small.kvr.micros_per_op(phase);
            const double b = large.kvr.micros_per_op(phase);
            std::printf(" %11.3f %11.3f %7.2f%s", a, b, b / a, b / a > bound ? "*" : " ");
        } else {
            std::printf(" %11s %11s %8s", "-", "-", "-");
        }
        for (size_t c = 0; c < large.bdb.size(); ++c) {
            if (small.bdb[c].ok && large.bdb[c].ok) {
                const double a = small.bdb[c].micros_per_op(phase);
                const double b = large.bdb[c].micros_per_op(phase);
                std::printf(" | %9.3f %9.3f %7.2f", a, b, b / a);
            } else {
                std::printf(" | %9s %9s %7s", "-", "-", "-");
            }
        }
        std::printf("\n");
    }
    std::printf(
        "(* KVR grows faster than log n.  BDB columns in the order of the tables "
        "above.)\n");
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    Options options;
    if (!parse_options(argc, argv, &options)) {
        usage(argv[0]);
        return 2;
    }
    std::printf(
        "isam_bench: records of %u bytes, prime key %u bytes, alternate key %u bytes "
        "with duplicates (about N/10 values)\n",
        kRecordLength, kPrimeKeyLength, kAltKeyLength);
    std::printf(
        "phases: load ascending (fresh file), load random (fresh file); then on the "
        "randomly loaded file: READ EQ of every key in random order, READ FIRST + NEXT "
        "by prime key, the same by alternate key, READ + REWRITE of every record "
        "(random order; a tenth change the alternate key), READ + DELETE of every "
        "record (random order). Each phase includes opening and closing the file.\n");
    std::printf(
        "KVR: page cache 31 pages x 4096 bytes per tree, 2 trees (%llu bytes), 64 KiB "
        "append buffer (%llu bytes in all)\n",
        static_cast<unsigned long long>(kKvrPageCacheBytes),
        static_cast<unsigned long long>(kKvrBufferBytes));
    std::printf(
        "Berkeley DB: %s; DB_BTREE primary + DB_BTREE DB_DUPSORT secondary "
        "(DB->associate) in one file; environment DB_CREATE | DB_INIT_MPOOL | "
        "DB_PRIVATE (no locking, logging or transactions); fsync replaced by a no-op "
        "(KVR does not sync either); reads through cursors and DB->get into user "
        "memory, rewrite and delete through a cursor (DB_SET, then DB_CURRENT put or "
        "del), loads with DB_NOOVERWRITE\n",
        db_version(nullptr, nullptr, nullptr));
#if defined(__OPTIMIZE__) && defined(NDEBUG)
    std::printf("build: optimized; ");
#else
    std::printf("build: NOT an optimized release build - figures are not meaningful; ");
#endif
    std::printf("%ld processors online; files in %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                options.dir.c_str());
#ifdef KVR_BENCH_LMDB
    std::printf(
        "LMDB: %s; a main database and a MDB_DUPSORT one for the alternate key, kept by "
        "the runner, in one environment; MDB_NOSYNC; one transaction per phase; records "
        "copied out of the map into user memory\n",
        mdb_version(nullptr, nullptr, nullptr));
#endif
    print_load("at the start");

    const SizeResults large = measure(options, options.records);
    if (options.scaling) {
        const SizeResults small = measure(options, kScalingSmallRecords);
        print_scaling(options, small, large);
    }
    print_load("at the end");
    bool ok = !options.run_kvr || large.kvr.ok;
    ok = ok && (!options.run_lmdb || large.lmdb.ok);
    for (const Summary& s : large.bdb)
        ok = ok && (!options.run_bdb || s.ok);
    return ok ? 0 : 1;
}
