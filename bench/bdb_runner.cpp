// The benchmark's phases on Berkeley DB, through its public C API: a
// DB_BTREE primary keyed by the prime key and a DB_BTREE secondary with
// sorted duplicates for the alternate key, joined with DB->associate, both
// in one file as KVR keeps its trees and records in one file. The
// environment has a memory pool only (DB_INIT_MPOOL | DB_PRIVATE): no
// locking, no transactions, no log - the peer of a file without them.
//
// Berkeley DB syncs a file when it closes it; KVR does not. So that both
// engines do the same work (write to the operating system, never wait for
// the disk) the run replaces Berkeley DB's fsync with one that does nothing.
// The run happens in a child process of its own, so that setting touches
// nothing else.
#include <db.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

int no_fsync(int) {
    return 0;
}

// The secondary key of a record: its alternate key bytes.
int alternate_key_of(DB*, const DBT*, const DBT* data, DBT* secondary) {
    std::memset(secondary, 0, sizeof *secondary);
    if (data->size < kAltKeyOffset + kAltKeyLength)
        return EINVAL;
    secondary->data = static_cast<unsigned char*>(data->data) + kAltKeyOffset;
    secondary->size = kAltKeyLength;
    return 0;
}

DBT in(const void* bytes, uint32_t size) {
    DBT dbt;
    std::memset(&dbt, 0, sizeof dbt);
    dbt.data = const_cast<void*>(bytes);
    dbt.size = size;
    return dbt;
}

// A DBT that Berkeley DB copies into our buffer, as KVR copies the record
// into the caller's.
DBT out(void* buffer, uint32_t capacity) {
    DBT dbt;
    std::memset(&dbt, 0, sizeof dbt);
    dbt.data = buffer;
    dbt.ulen = capacity;
    dbt.flags = DB_DBT_USERMEM;
    return dbt;
}

class Environment {
public:
    Environment() = default;
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
    ~Environment() {
        if (env_ != nullptr)
            env_->close(env_, 0);
    }
    int open(const std::string& home, uint64_t cache_bytes) {
        int status = db_env_create(&env_, 0);
        if (status != 0)
            return status;
        if (cache_bytes != 0) {
            status = env_->set_cachesize(env_, static_cast<uint32_t>(cache_bytes >> 30),
                                         static_cast<uint32_t>(cache_bytes & 0x3FFFFFFF), 1);
            if (status != 0)
                return status;
        }
        return env_->open(env_, home.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0);
    }
    uint64_t cache_bytes() const {
        uint32_t gbytes = 0;
        uint32_t bytes = 0;
        int caches = 0;
        if (env_->get_cachesize(env_, &gbytes, &bytes, &caches) != 0)
            return 0;
        return (uint64_t{gbytes} << 30) + bytes;
    }
    DB_ENV* get() const { return env_; }

private:
    DB_ENV* env_ = nullptr;
};

// The primary and its associated secondary, open on one file.
class BdbFile {
public:
    explicit BdbFile(DB_ENV* env) : env_(env) {}
    BdbFile(const BdbFile&) = delete;
    BdbFile& operator=(const BdbFile&) = delete;
    ~BdbFile() { close(); }

    int open(const std::string& name, bool create, bool read_only) {
        const uint32_t flags = (create ? DB_CREATE : 0) | (read_only ? DB_RDONLY : 0);
        int status = db_create(&primary_, env_, 0);
        if (status == 0)
            status =
                primary_->open(primary_, nullptr, name.c_str(), "primary", DB_BTREE, flags, 0644);
        if (status == 0)
            status = db_create(&secondary_, env_, 0);
        if (status == 0)
            status = secondary_->set_flags(secondary_, DB_DUPSORT);
        if (status == 0)
            status = secondary_->open(secondary_, nullptr, name.c_str(), "alternate", DB_BTREE,
                                      flags, 0644);
        if (status == 0)
            status = primary_->associate(primary_, nullptr, secondary_, alternate_key_of, 0);
        return status;
    }
    // The secondary first, as Berkeley DB asks.
    int close() {
        int status = 0;
        if (secondary_ != nullptr) {
            status = secondary_->close(secondary_, 0);
            secondary_ = nullptr;
        }
        if (primary_ != nullptr) {
            const int closed = primary_->close(primary_, 0);
            if (status == 0)
                status = closed;
            primary_ = nullptr;
        }
        return status;
    }
    DB* primary() const { return primary_; }
    DB* secondary() const { return secondary_; }
    uint32_t page_size() const {
        uint32_t size = 0;
        primary_->get_pagesize(primary_, &size);
        return size;
    }

private:
    DB_ENV* env_;
    DB* primary_ = nullptr;
    DB* secondary_ = nullptr;
};

class Cursor {
public:
    Cursor() = default;
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    ~Cursor() {
        if (cursor_ != nullptr)
            cursor_->close(cursor_);
    }
    int open(DB* db) { return db->cursor(db, nullptr, &cursor_, 0); }
    DBC* get() const { return cursor_; }

private:
    DBC* cursor_ = nullptr;
};

bool load(DB_ENV* env, const Workload& workload, const std::string& name, bool ascending,
          RunResult* result) {
    BdbFile file(env);
    if (const int status = file.open(name, true, false); status != 0)
        return fail(result, "BDB open %s: %s", name.c_str(), db_strerror(status));
    result->page_size = file.page_size();
    DB* db = file.primary();
    unsigned char record[kRecordLength];
    const uint32_t n = workload.records();
    for (uint32_t at = 0; at < n; ++at) {
        const uint32_t i = ascending ? at : workload.load_order()[at];
        workload.make_record(i, record);
        DBT key = in(record + kPrimeKeyOffset, kPrimeKeyLength);
        DBT data = in(record, kRecordLength);
        const int status = db->put(db, nullptr, &key, &data, DB_NOOVERWRITE);
        if (status != 0)
            return fail(result, "BDB put of record %u: %s", i, db_strerror(status));
    }
    if (const int status = file.close(); status != 0)
        return fail(result, "BDB close %s: %s", name.c_str(), db_strerror(status));
    return true;
}

bool read_random(DB_ENV* env, const Workload& workload, const std::string& name,
                 RunResult* result) {
    BdbFile file(env);
    if (const int status = file.open(name, false, true); status != 0)
        return fail(result, "BDB open %s: %s", name.c_str(), db_strerror(status));
    DB* db = file.primary();
    unsigned char buffer[kRecordLength];
    unsigned char key_bytes[kPrimeKeyLength];
    for (const uint32_t i : workload.read_order()) {
        workload.prime_key(i, key_bytes);
        DBT key = in(key_bytes, kPrimeKeyLength);
        DBT data = out(buffer, kRecordLength);
        const int status = db->get(db, nullptr, &key, &data, 0);
        if (status != 0 || data.size != kRecordLength ||
            std::memcmp(buffer + kPrimeKeyOffset, key_bytes, kPrimeKeyLength) != 0)
            return fail(result, "BDB get of record %u: %s", i, db_strerror(status));
    }
    if (const int status = file.close(); status != 0)
        return fail(result, "BDB close %s: %s", name.c_str(), db_strerror(status));
    return true;
}

// DB_FIRST, then DB_NEXT to the end, on the primary (k 0) or the secondary
// (k 1), whose cursor hands back the primary's record.
bool scan(DB_ENV* env, const Workload& workload, const std::string& name, int k,
          RunResult* result) {
    BdbFile file(env);
    if (const int status = file.open(name, false, true); status != 0)
        return fail(result, "BDB open %s: %s", name.c_str(), db_strerror(status));
    const uint32_t key_offset = k == 0 ? kPrimeKeyOffset : kAltKeyOffset;
    const uint32_t key_length = k == 0 ? kPrimeKeyLength : kAltKeyLength;
    unsigned char buffer[kRecordLength];
    unsigned char previous[kRecordLength] = {};
    unsigned char key_area[kPrimeKeyLength] = {};
    uint64_t seen = 0;
    {
        Cursor cursor;
        if (const int status = cursor.open(k == 0 ? file.primary() : file.secondary()); status != 0)
            return fail(result, "BDB cursor: %s", db_strerror(status));
        DBC* c = cursor.get();
        DBT key = out(key_area, sizeof key_area);
        DBT data = out(buffer, kRecordLength);
        int status = c->get(c, &key, &data, DB_FIRST);
        while (status == 0) {
            if (data.size != kRecordLength)
                return fail(result, "BDB scan by key %d: record of %u bytes", k, data.size);
            const int order = std::memcmp(previous + key_offset, buffer + key_offset, key_length);
            if (seen > 0 && (order > 0 || (order == 0 && k == 0)))
                return fail(result, "BDB scan by key %d: out of order after %llu records", k,
                            static_cast<unsigned long long>(seen));
            std::memcpy(previous, buffer, kRecordLength);
            ++seen;
            status = c->get(c, &key, &data, DB_NEXT);
        }
        if (status != DB_NOTFOUND)
            return fail(result, "BDB scan by key %d: %s", k, db_strerror(status));
    }
    if (seen != workload.records())
        return fail(result, "BDB scan by key %d saw %llu records", k,
                    static_cast<unsigned long long>(seen));
    if (const int status = file.close(); status != 0)
        return fail(result, "BDB close %s: %s", name.c_str(), db_strerror(status));
    return true;
}

// A cursor positioned on the record (DB_SET), then DB_CURRENT: the closest
// Berkeley DB has to READ then REWRITE.
bool rewrite_all(DB_ENV* env, const Workload& workload, const std::string& name,
                 RunResult* result) {
    BdbFile file(env);
    if (const int status = file.open(name, false, false); status != 0)
        return fail(result, "BDB open %s: %s", name.c_str(), db_strerror(status));
    {
        Cursor cursor;
        if (const int status = cursor.open(file.primary()); status != 0)
            return fail(result, "BDB cursor: %s", db_strerror(status));
        DBC* c = cursor.get();
        unsigned char buffer[kRecordLength];
        unsigned char key_bytes[kPrimeKeyLength];
        for (const uint32_t i : workload.rewrite_order()) {
            workload.prime_key(i, key_bytes);
            DBT key = in(key_bytes, kPrimeKeyLength);
            DBT data = out(buffer, kRecordLength);
            int status = c->get(c, &key, &data, DB_SET);
            if (status != 0 || data.size != kRecordLength)
                return fail(result, "BDB get for rewrite of record %u: %s", i, db_strerror(status));
            workload.apply_rewrite(i, buffer);
            DBT unused = in(nullptr, 0);
            DBT changed = in(buffer, kRecordLength);
            status = c->put(c, &unused, &changed, DB_CURRENT);
            if (status != 0)
                return fail(result, "BDB rewrite of record %u: %s", i, db_strerror(status));
        }
    }
    if (const int status = file.close(); status != 0)
        return fail(result, "BDB close %s: %s", name.c_str(), db_strerror(status));
    return true;
}

// A cursor positioned on the record (DB_SET), then deleted through it;
// Berkeley DB removes the secondary entry.
bool delete_all(DB_ENV* env, const Workload& workload, const std::string& name, RunResult* result) {
    BdbFile file(env);
    if (const int status = file.open(name, false, false); status != 0)
        return fail(result, "BDB open %s: %s", name.c_str(), db_strerror(status));
    {
        Cursor cursor;
        if (const int status = cursor.open(file.primary()); status != 0)
            return fail(result, "BDB cursor: %s", db_strerror(status));
        DBC* c = cursor.get();
        unsigned char buffer[kRecordLength];
        unsigned char key_bytes[kPrimeKeyLength];
        for (const uint32_t i : workload.delete_order()) {
            workload.prime_key(i, key_bytes);
            DBT key = in(key_bytes, kPrimeKeyLength);
            DBT data = out(buffer, kRecordLength);
            int status = c->get(c, &key, &data, DB_SET);
            if (status != 0 || data.size != kRecordLength || !workload.shows_rewrite(i, buffer))
                return fail(result, "BDB get for delete of record %u: %s", i, db_strerror(status));
            status = c->del(c, 0);
            if (status != 0)
                return fail(result, "BDB delete of record %u: %s", i, db_strerror(status));
        }
        unsigned char key_area[kPrimeKeyLength];
        DBT key = out(key_area, sizeof key_area);
        DBT data = out(buffer, kRecordLength);
        if (const int status = c->get(c, &key, &data, DB_FIRST); status != DB_NOTFOUND)
            return fail(result, "BDB file not empty after the deletes: %s", db_strerror(status));
    }
    if (const int status = file.close(); status != 0)
        return fail(result, "BDB close %s: %s", name.c_str(), db_strerror(status));
    return true;
}

}  // namespace

void run_bdb(const Workload& workload, const std::string& dir, const BdbConfig& config,
             RunResult* result) {
    db_env_set_func_fsync(no_fsync);
    const std::string ascending = "bdb_ascending.db";  // relative to the environment's home
    const std::string random = "bdb_random.db";
    const uint64_t n = workload.records();
    result->base_rss_kib = peak_rss_kib();

    Environment env;
    if (const int status = env.open(dir, config.cache_bytes); status != 0) {
        fail(result, "BDB environment in %s: %s", dir.c_str(), db_strerror(status));
        return;
    }
    result->cache_bytes = env.cache_bytes();
    DB_ENV* e = env.get();

    auto timed = [&](Phase phase, uint64_t operations, auto&& body) {
        Stopwatch clock;
        const bool ok = body();
        result->seconds[phase] = clock.seconds();
        result->started[phase] = clock.started();
        result->operations[phase] = operations;
        return ok;
    };
    if (!timed(kLoadAscending, n, [&] { return load(e, workload, ascending, true, result); }))
        return;
    result->size_ascending = file_size(dir + "/" + ascending);
    e->dbremove(e, nullptr, ascending.c_str(), nullptr, 0);
    if (!timed(kLoadRandom, n, [&] { return load(e, workload, random, false, result); }) ||
        !timed(kReadRandom, n, [&] { return read_random(e, workload, random, result); }) ||
        !timed(kScanPrime, n, [&] { return scan(e, workload, random, 0, result); }) ||
        !timed(kScanAlternate, n, [&] { return scan(e, workload, random, 1, result); }) ||
        !timed(kRewrite, n, [&] { return rewrite_all(e, workload, random, result); }))
        return;
    result->size_random = file_size(dir + "/" + random);
    if (!timed(kDelete, n, [&] { return delete_all(e, workload, random, result); }))
        return;
    result->size_after_delete = file_size(dir + "/" + random);
    e->dbremove(e, nullptr, random.c_str(), nullptr, 0);
    result->peak_rss_kib = peak_rss_kib();
    result->anon_rss_kib = anonymous_rss_kib();
    result->ok = true;
}

}  // namespace bench
