// The benchmark's phases on KVR's indexed engine, through _vmqpIsam only.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "run_result.h"
#include "vmqrmkvr/isam.h"

namespace bench {

namespace {

constexpr int kOk = 0;
constexpr int kEndOfFile = 9;
constexpr int kDuplicateFollows = 12;

bool fail(RunResult* result, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(result->error, sizeof result->error, format, args);
    va_end(args);
    return false;
}

// An open KVR file; closed when it goes out of scope unless closed before.
class KvrFile {
public:
    KvrFile() = default;
    KvrFile(const KvrFile&) = delete;
    KvrFile& operator=(const KvrFile&) = delete;
    ~KvrFile() {
        if (handle_ != nullptr)
            _vmqpIsam(IX_CLOSE, &handle_, nullptr, nullptr, nullptr, 0);
    }

    // Makes a new file of the benchmark's records: fixed length, prime key
    // at 1 (10 bytes), alternate key with duplicates at 11 (8 bytes).
    static int create(const std::string& name) {
        unsigned char block[IX_ATTRIBUTES_FIXED_SIZE + 2 * IX_KEY_SPEC_SIZE] = {};
        ix_attributes fixed{};
        fixed.min_record_length = kRecordLength;
        fixed.max_record_length = kRecordLength;
        fixed.area_length = kRecordLength;
        fixed.key_count = 2;
        ix_attributes_encode(block, &fixed);
        const ix_key_spec prime{static_cast<int16_t>(kPrimeKeyOffset + 1),
                                static_cast<int16_t>(kPrimeKeyLength), 0, IX_KEY_TYPE_BYTES};
        const ix_key_spec alternate{static_cast<int16_t>(kAltKeyOffset + 1),
                                    static_cast<int16_t>(kAltKeyLength), IX_KEY_DUPS_ALLOWED,
                                    IX_KEY_TYPE_BYTES};
        ix_key_spec_encode(block, 0, &prime);
        ix_key_spec_encode(block, 1, &alternate);
        uint32_t size = sizeof block;
        void* none = nullptr;
        return _vmqpIsam(IX_CREATE, &none, block, &size, const_cast<char*>(name.c_str()), 0);
    }

    int open(const std::string& name, uint8_t mode) {
        return _vmqpIsam(IX_OPEN, &handle_, nullptr, nullptr, const_cast<char*>(name.c_str()),
                         mode);
    }
    int close() { return _vmqpIsam(IX_CLOSE, &handle_, nullptr, nullptr, nullptr, 0); }

    int write(unsigned char* record, unsigned char* key_area) {
        uint32_t length = kRecordLength;
        return _vmqpIsam(IX_WRITE, &handle_, record, &length, key_area, 0);
    }
    int rewrite(unsigned char* record, unsigned char* key_area) {
        uint32_t length = kRecordLength;
        return _vmqpIsam(IX_REWRITE, &handle_, record, &length, key_area, 0);
    }
    int erase() { return _vmqpIsam(IX_DELETE, &handle_, nullptr, nullptr, nullptr, 0); }
    // A read into buffer (kRecordLength bytes) by key k; key_area holds the
    // key to look for and receives the key found.
    int read(uint16_t op, int k, unsigned char* buffer, unsigned char* key_area) {
        uint32_t length = kRecordLength;
        const int result =
            _vmqpIsam(op, &handle_, buffer, &length, key_area, static_cast<uint8_t>(k));
        if ((result == kOk || result == kDuplicateFollows) && length != kRecordLength)
            return -1;
        return result;
    }

private:
    void* handle_ = nullptr;
};

bool load(const Workload& workload, const std::string& name, bool ascending, RunResult* result) {
    if (const int status = KvrFile::create(name); status != kOk)
        return fail(result, "KVR create %s: %d", name.c_str(), status);
    KvrFile file;
    if (const int status = file.open(name, IX_MODE_UPDATE); status != kOk)
        return fail(result, "KVR open %s: %d", name.c_str(), status);
    unsigned char record[kRecordLength];
    unsigned char key_area[kPrimeKeyLength];
    const uint32_t n = workload.records();
    for (uint32_t at = 0; at < n; ++at) {
        const uint32_t i = ascending ? at : workload.load_order()[at];
        workload.make_record(i, record);
        const int status = file.write(record, key_area);
        if (status != kOk && status != kDuplicateFollows)
            return fail(result, "KVR write of record %u: %d", i, status);
    }
    if (const int status = file.close(); status != kOk)
        return fail(result, "KVR close %s: %d", name.c_str(), status);
    return true;
}

bool read_random(const Workload& workload, const std::string& name, RunResult* result) {
    KvrFile file;
    if (const int status = file.open(name, IX_MODE_INPUT); status != kOk)
        return fail(result, "KVR open %s: %d", name.c_str(), status);
    unsigned char buffer[kRecordLength];
    unsigned char key[kPrimeKeyLength];
    for (const uint32_t i : workload.read_order()) {
        workload.prime_key(i, key);
        const int status = file.read(IX_READ_EQ, 0, buffer, key);
        if (status != kOk || std::memcmp(buffer + kPrimeKeyOffset, key, kPrimeKeyLength) != 0)
            return fail(result, "KVR read of record %u: %d", i, status);
    }
    if (const int status = file.close(); status != kOk)
        return fail(result, "KVR close %s: %d", name.c_str(), status);
    return true;
}

// READ FIRST, then READ NEXT to the end, by key k; checks that the keys
// come in order and that every record is seen.
bool scan(const Workload& workload, const std::string& name, int k, RunResult* result) {
    KvrFile file;
    if (const int status = file.open(name, IX_MODE_INPUT); status != kOk)
        return fail(result, "KVR open %s: %d", name.c_str(), status);
    const uint32_t key_offset = k == 0 ? kPrimeKeyOffset : kAltKeyOffset;
    const uint32_t key_length = k == 0 ? kPrimeKeyLength : kAltKeyLength;
    unsigned char buffer[kRecordLength];
    unsigned char previous[kRecordLength] = {};
    unsigned char key_area[kPrimeKeyLength] = {};
    uint64_t seen = 0;
    int status = file.read(IX_READ_FIRST, k, buffer, key_area);
    while (status == kOk || status == kDuplicateFollows) {
        const int order = std::memcmp(previous + key_offset, buffer + key_offset, key_length);
        if (seen > 0 && (order > 0 || (order == 0 && k == 0)))
            return fail(result, "KVR scan by key %d: out of order after %llu records", k,
                        static_cast<unsigned long long>(seen));
        std::memcpy(previous, buffer, kRecordLength);
        ++seen;
        status = file.read(IX_READ_NEXT, k, buffer, key_area);
    }
    if (status != kEndOfFile)
        return fail(result, "KVR scan by key %d: %d after %llu records", k, status,
                    static_cast<unsigned long long>(seen));
    if (seen != workload.records())
        return fail(result, "KVR scan by key %d saw %llu records", k,
                    static_cast<unsigned long long>(seen));
    if (const int closed = file.close(); closed != kOk)
        return fail(result, "KVR close %s: %d", name.c_str(), closed);
    return true;
}

bool rewrite_all(const Workload& workload, const std::string& name, RunResult* result) {
    KvrFile file;
    if (const int status = file.open(name, IX_MODE_UPDATE); status != kOk)
        return fail(result, "KVR open %s: %d", name.c_str(), status);
    unsigned char buffer[kRecordLength];
    unsigned char key[kPrimeKeyLength];
    for (const uint32_t i : workload.rewrite_order()) {
        workload.prime_key(i, key);
        int status = file.read(IX_READ_EQ, 0, buffer, key);
        if (status != kOk)
            return fail(result, "KVR read for rewrite of record %u: %d", i, status);
        workload.apply_rewrite(i, buffer);
        status = file.rewrite(buffer, key);
        // 12: the new alternate value is one other records have already.
        if (status != kOk && status != kDuplicateFollows)
            return fail(result, "KVR rewrite of record %u: %d", i, status);
    }
    if (const int status = file.close(); status != kOk)
        return fail(result, "KVR close %s: %d", name.c_str(), status);
    return true;
}

bool delete_all(const Workload& workload, const std::string& name, RunResult* result) {
    KvrFile file;
    if (const int status = file.open(name, IX_MODE_UPDATE); status != kOk)
        return fail(result, "KVR open %s: %d", name.c_str(), status);
    unsigned char buffer[kRecordLength];
    unsigned char key[kPrimeKeyLength];
    for (const uint32_t i : workload.delete_order()) {
        workload.prime_key(i, key);
        int status = file.read(IX_READ_EQ, 0, buffer, key);
        if (status != kOk || !workload.shows_rewrite(i, buffer))
            return fail(result, "KVR read for delete of record %u: %d", i, status);
        status = file.erase();
        if (status != kOk)
            return fail(result, "KVR delete of record %u: %d", i, status);
    }
    unsigned char key_area[kPrimeKeyLength] = {};
    if (const int status = file.read(IX_READ_FIRST, 0, buffer, key_area); status != kEndOfFile)
        return fail(result, "KVR file not empty after the deletes: %d", status);
    if (const int status = file.close(); status != kOk)
        return fail(result, "KVR close %s: %d", name.c_str(), status);
    return true;
}

}  // namespace

void run_kvr(const Workload& workload, const std::string& dir, RunResult* result) {
    const std::string ascending = dir + "/kvr_ascending.dat";
    const std::string random = dir + "/kvr_random.dat";
    const uint64_t n = workload.records();
    result->base_rss_kib = peak_rss_kib();

    auto timed = [&](Phase phase, uint64_t operations, auto&& body) {
        Stopwatch clock;
        const bool ok = body();
        result->seconds[phase] = clock.seconds();
        result->started[phase] = clock.started();
        result->operations[phase] = operations;
        return ok;
    };
    if (!timed(kLoadAscending, n, [&] { return load(workload, ascending, true, result); }))
        return;
    result->size_ascending = file_size(ascending);
    std::remove(ascending.c_str());
    if (!timed(kLoadRandom, n, [&] { return load(workload, random, false, result); }) ||
        !timed(kReadRandom, n, [&] { return read_random(workload, random, result); }) ||
        !timed(kScanPrime, n, [&] { return scan(workload, random, 0, result); }) ||
        !timed(kScanAlternate, n, [&] { return scan(workload, random, 1, result); }) ||
        !timed(kRewrite, n, [&] { return rewrite_all(workload, random, result); }))
        return;
    result->size_random = file_size(random);
    if (!timed(kDelete, n, [&] { return delete_all(workload, random, result); }))
        return;
    result->size_after_delete = file_size(random);
    std::remove(random.c_str());
    result->peak_rss_kib = peak_rss_kib();
    result->anon_rss_kib = anonymous_rss_kib();
    result->ok = true;
}

}  // namespace bench
