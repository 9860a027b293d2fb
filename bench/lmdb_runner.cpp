// The benchmark's phases on LMDB, through its C API: a main database keyed
// by the prime key holding the whole record, and a MDB_DUPSORT database
// mapping the alternate key to the prime key, kept by the runner (LMDB has
// no secondary indexes). Both live in one environment file. Each phase runs
// in one transaction, as the other peers work without transactions; the
// environment takes MDB_NOSYNC (KVR does not sync either) and reads go
// through MDB_RDONLY transactions copied into the caller's buffer, as KVR
// copies the record into the caller's.
#include <lmdb.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "run_result.h"

namespace bench {

namespace {

bool fail(RunResult* result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(result->error, sizeof result->error, format, args);
    va_end(args);
    return false;
}

MDB_val value_of(const void* bytes, size_t size) {
    return MDB_val{size, const_cast<void*>(bytes)};
}

// Room for twice the records' bytes with the pages around them.
size_t map_size_for(uint32_t records) {
    const size_t per_record = 4 * (kRecordLength + kPrimeKeyLength + kAltKeyLength + 64);
    return std::max<size_t>(size_t{64} << 20, size_t{records} * per_record);
}

class Store {
public:
    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store() { close(); }

    int open(const std::string& dir, uint32_t records) {
        std::filesystem::create_directories(dir);
        int status = mdb_env_create(&env_);
        if (status == 0)
            status = mdb_env_set_maxdbs(env_, 2);
        if (status == 0)
            status = mdb_env_set_mapsize(env_, map_size_for(records));
        if (status == 0)
            status = mdb_env_open(env_, dir.c_str(), MDB_NOSYNC | MDB_NOMETASYNC | MDB_NOTLS, 0644);
        return status;
    }
    void close() {
        if (env_ != nullptr)
            mdb_env_close(env_);
        env_ = nullptr;
    }
    // Begins a transaction and opens (creating when writing) both databases.
    int begin(bool write, MDB_txn** txn) {
        int status = mdb_txn_begin(env_, nullptr, write ? 0 : MDB_RDONLY, txn);
        if (status == 0)
            status = mdb_dbi_open(*txn, "primary", write ? MDB_CREATE : 0, &primary_);
        if (status == 0)
            status = mdb_dbi_open(*txn, "alternate", (write ? MDB_CREATE : 0) | MDB_DUPSORT,
                                  &alternate_);
        if (status != 0 && *txn != nullptr) {
            mdb_txn_abort(*txn);
            *txn = nullptr;
        }
        return status;
    }
    MDB_dbi primary() const { return primary_; }
    MDB_dbi alternate() const { return alternate_; }
    uint64_t bytes(const std::string& dir) const { return file_size(dir + "/data.mdb"); }

private:
    MDB_env* env_ = nullptr;
    MDB_dbi primary_ = 0;
    MDB_dbi alternate_ = 0;
};

// A phase in one transaction: begin, the body, commit (or abort on failure).
template <typename Body>
bool in_transaction(Store& store, bool write, RunResult* result, Body&& body) {
    MDB_txn* txn = nullptr;
    if (const int status = store.begin(write, &txn); status != 0)
        return fail(result, "LMDB begin: %s", mdb_strerror(status));
    if (!body(txn)) {
        mdb_txn_abort(txn);
        return false;
    }
    if (const int status = mdb_txn_commit(txn); status != 0)
        return fail(result, "LMDB commit: %s", mdb_strerror(status));
    return true;
}

bool load(Store& store, const Workload& workload, bool ascending, RunResult* result) {
    return in_transaction(store, true, result, [&](MDB_txn* txn) {
        unsigned char record[kRecordLength];
        for (uint32_t at = 0; at < workload.records(); ++at) {
            const uint32_t i = ascending ? at : workload.load_order()[at];
            workload.make_record(i, record);
            MDB_val key = value_of(record + kPrimeKeyOffset, kPrimeKeyLength);
            MDB_val data = value_of(record, kRecordLength);
            int status = mdb_put(txn, store.primary(), &key, &data, MDB_NOOVERWRITE);
            if (status == 0) {
                MDB_val alternate = value_of(record + kAltKeyOffset, kAltKeyLength);
                MDB_val prime = value_of(record + kPrimeKeyOffset, kPrimeKeyLength);
                status = mdb_put(txn, store.alternate(), &alternate, &prime, 0);
            }
            if (status != 0)
                return fail(result, "LMDB put of record %u: %s", i, mdb_strerror(status));
        }
        return true;
    });
}

bool read_random(Store& store, const Workload& workload, RunResult* result) {
    return in_transaction(store, false, result, [&](MDB_txn* txn) {
        unsigned char buffer[kRecordLength];
        unsigned char key_bytes[kPrimeKeyLength];
        for (const uint32_t i : workload.read_order()) {
            workload.prime_key(i, key_bytes);
            MDB_val key = value_of(key_bytes, kPrimeKeyLength);
            MDB_val data;
            const int status = mdb_get(txn, store.primary(), &key, &data);
            if (status != 0 || data.mv_size != kRecordLength)
                return fail(result, "LMDB get of record %u: %s", i, mdb_strerror(status));
            std::memcpy(buffer, data.mv_data, kRecordLength);
            if (std::memcmp(buffer + kPrimeKeyOffset, key_bytes, kPrimeKeyLength) != 0)
                return fail(result, "LMDB get of record %u: another record", i);
        }
        return true;
    });
}

// MDB_FIRST, then MDB_NEXT, on the main database (k 0) or on the alternate
// one, whose entries lead to the record by its prime key.
bool scan(Store& store, const Workload& workload, int k, RunResult* result) {
    return in_transaction(store, false, result, [&](MDB_txn* txn) {
        MDB_cursor* cursor = nullptr;
        if (const int status =
                mdb_cursor_open(txn, k == 0 ? store.primary() : store.alternate(), &cursor);
            status != 0)
            return fail(result, "LMDB cursor: %s", mdb_strerror(status));
        const uint32_t key_offset = k == 0 ? kPrimeKeyOffset : kAltKeyOffset;
        const uint32_t key_length = k == 0 ? kPrimeKeyLength : kAltKeyLength;
        unsigned char buffer[kRecordLength];
        unsigned char previous[kRecordLength] = {};
        uint64_t seen = 0;
        MDB_val key;
        MDB_val data;
        int status = mdb_cursor_get(cursor, &key, &data, MDB_FIRST);
        while (status == 0) {
            if (k != 0 && (status = mdb_get(txn, store.primary(), &data, &data)) != 0)
                break;
            if (data.mv_size != kRecordLength) {
                mdb_cursor_close(cursor);
                return fail(result, "LMDB scan by key %d: record of %zu bytes", k, data.mv_size);
            }
            std::memcpy(buffer, data.mv_data, kRecordLength);
            const int order = std::memcmp(previous + key_offset, buffer + key_offset, key_length);
            if (seen > 0 && (order > 0 || (order == 0 && k == 0))) {
                mdb_cursor_close(cursor);
                return fail(result, "LMDB scan by key %d: out of order", k);
            }
            std::memcpy(previous, buffer, kRecordLength);
            ++seen;
            status = mdb_cursor_get(cursor, &key, &data, MDB_NEXT);
        }
        mdb_cursor_close(cursor);
        if (status != MDB_NOTFOUND)
            return fail(result, "LMDB scan by key %d: %s", k, mdb_strerror(status));
        if (seen != workload.records())
            return fail(result, "LMDB scan by key %d saw %llu records", k,
                        static_cast<unsigned long long>(seen));
        return true;
    });
}

// Get, change, put back; an alternate key that changes moves its entry.
bool rewrite_all(Store& store, const Workload& workload, RunResult* result) {
    return in_transaction(store, true, result, [&](MDB_txn* txn) {
        unsigned char buffer[kRecordLength];
        unsigned char before[kRecordLength];
        unsigned char key_bytes[kPrimeKeyLength];
        for (const uint32_t i : workload.rewrite_order()) {
            workload.prime_key(i, key_bytes);
            MDB_val key = value_of(key_bytes, kPrimeKeyLength);
            MDB_val data;
            int status = mdb_get(txn, store.primary(), &key, &data);
            if (status != 0 || data.mv_size != kRecordLength)
                return fail(result, "LMDB get for rewrite of record %u: %s", i,
                            mdb_strerror(status));
            std::memcpy(buffer, data.mv_data, kRecordLength);
            std::memcpy(before, buffer, kRecordLength);
            workload.apply_rewrite(i, buffer);
            if (std::memcmp(before + kAltKeyOffset, buffer + kAltKeyOffset, kAltKeyLength) != 0) {
                MDB_val old_alternate = value_of(before + kAltKeyOffset, kAltKeyLength);
                MDB_val prime = value_of(key_bytes, kPrimeKeyLength);
                status = mdb_del(txn, store.alternate(), &old_alternate, &prime);
                MDB_val new_alternate = value_of(buffer + kAltKeyOffset, kAltKeyLength);
                if (status == 0)
                    status = mdb_put(txn, store.alternate(), &new_alternate, &prime, 0);
            }
            MDB_val changed = value_of(buffer, kRecordLength);
            if (status == 0)
                status = mdb_put(txn, store.primary(), &key, &changed, 0);
            if (status != 0)
                return fail(result, "LMDB rewrite of record %u: %s", i, mdb_strerror(status));
        }
        return true;
    });
}

bool delete_all(Store& store, const Workload& workload, RunResult* result) {
    return in_transaction(store, true, result, [&](MDB_txn* txn) {
        unsigned char buffer[kRecordLength];
        unsigned char key_bytes[kPrimeKeyLength];
        for (const uint32_t i : workload.delete_order()) {
            workload.prime_key(i, key_bytes);
            MDB_val key = value_of(key_bytes, kPrimeKeyLength);
            MDB_val data;
            int status = mdb_get(txn, store.primary(), &key, &data);
            if (status != 0 || data.mv_size != kRecordLength)
                return fail(result, "LMDB get for delete of record %u: %s", i,
                            mdb_strerror(status));
            std::memcpy(buffer, data.mv_data, kRecordLength);
            if (!workload.shows_rewrite(i, buffer))
                return fail(result, "LMDB record %u without its rewrite", i);
            MDB_val alternate = value_of(buffer + kAltKeyOffset, kAltKeyLength);
            MDB_val prime = value_of(key_bytes, kPrimeKeyLength);
            status = mdb_del(txn, store.alternate(), &alternate, &prime);
            if (status == 0)
                status = mdb_del(txn, store.primary(), &key, nullptr);
            if (status != 0)
                return fail(result, "LMDB delete of record %u: %s", i, mdb_strerror(status));
        }
        MDB_stat stat;
        if (mdb_stat(txn, store.primary(), &stat) != 0 || stat.ms_entries != 0)
            return fail(result, "LMDB not empty after the deletes");
        return true;
    });
}

}  // namespace

void run_lmdb(const Workload& workload, const std::string& dir, RunResult* result) {
    const uint64_t n = workload.records();
    result->base_rss_kib = peak_rss_kib();
    auto timed = [&](Phase phase, auto&& body) {
        Stopwatch clock;
        const bool ok = body();
        result->seconds[phase] = clock.seconds();
        result->started[phase] = clock.started();
        result->operations[phase] = n;
        return ok;
    };
    // Each phase opens the environment and closes it, as the other peers
    // open and close their files.
    auto phase_on = [&](const std::string& home, auto&& body) {
        Store store;
        if (const int status = store.open(home, workload.records()); status != 0)
            return fail(result, "LMDB environment %s: %s", home.c_str(), mdb_strerror(status));
        return body(store);
    };
    const std::string ascending = dir + "/ascending";
    const std::string random = dir + "/random";
    if (!timed(kLoadAscending, [&] {
            return phase_on(ascending, [&](Store& s) { return load(s, workload, true, result); });
        }))
        return;
    result->size_ascending = file_size(ascending + "/data.mdb");
    std::error_code ignored;
    std::filesystem::remove_all(ascending, ignored);
    auto on_random = [&](auto&& body) { return phase_on(random, body); };
    if (!timed(kLoadRandom,
               [&] {
                   return on_random([&](Store& s) { return load(s, workload, false, result); });
               }) ||
        !timed(kReadRandom,
               [&] {
                   return on_random([&](Store& s) { return read_random(s, workload, result); });
               }) ||
        !timed(kScanPrime,
               [&] { return on_random([&](Store& s) { return scan(s, workload, 0, result); }); }) ||
        !timed(kScanAlternate,
               [&] { return on_random([&](Store& s) { return scan(s, workload, 1, result); }); }) ||
        !timed(kRewrite, [&] {
            return on_random([&](Store& s) { return rewrite_all(s, workload, result); });
        }))
        return;
    result->size_random = file_size(random + "/data.mdb");
    if (!timed(kDelete, [&] {
            return on_random([&](Store& s) { return delete_all(s, workload, result); });
        }))
        return;
    result->size_after_delete = file_size(random + "/data.mdb");
    result->peak_rss_kib = peak_rss_kib();
    result->anon_rss_kib = anonymous_rss_kib();
    result->ok = true;
}

}  // namespace bench
