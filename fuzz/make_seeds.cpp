// Writes the seed corpus of the file reader's fuzz target: small real files
// made through the engines, one per kind of file the reader meets - indexed
// files of the slot format and of the block format with several key
// layouts, files whose free lists and avail list hold space after deletes,
// an empty file, and sequential files.
//
//   make_seeds DIR        writes the files into DIR, made when missing
//
// Every indexed file is reopened for input afterwards and must pass the file
// checker with the record count it was given; every sequential file must
// read back the records written. Any difference is reported and the exit
// status is 1, so that the corpus only ever holds sound files.
//
// The committed corpus in fuzz/corpus/ is this program's output; to make it
// again after a format change:
//
//   build/release/fuzz/make_seeds fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/isam/file_checker.h"
#include "engine/isam/ix_handle.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"

namespace {

using kvr::isam::StoreFormat;

struct Key {
    int16_t offset;  // 0-based
    int16_t length;
    bool duplicates;
    uint8_t type = IX_KEY_TYPE_BYTES;
};

struct Layout {
    uint32_t min_length;
    uint32_t max_length;
    bool variable;
    std::vector<Key> keys;
};

// A record of `length` bytes for number n: printable filler, with the key
// fields written over it by the caller.
std::string filler(uint32_t length, uint32_t n) {
    std::string r(length, ' ');
    uint32_t x = n * 2654435761u + length;
    for (char& c : r)
        c = static_cast<char>('a' + ((x = x * 1103515245u + 12345u) >> 16) % 26);
    return r;
}

void put_digits(std::string& r, size_t at, size_t width, uint32_t value) {
    for (size_t i = width; i-- > 0; value /= 10)
        r[at + i] = static_cast<char>('0' + value % 10);
}

void put_number(std::string& r, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        r[at + i] = static_cast<char>(value >> (8 * i));
}

class Failure {
public:
    explicit Failure(std::string what) : what_(std::move(what)) {}
    const std::string& what() const { return what_; }

private:
    std::string what_;
};

void require(bool condition, const std::string& file, const std::string& what) {
    if (!condition)
        throw Failure(file + ": " + what);
}

// An indexed file being written: created in the given format, open for
// update until finish(), which closes it, reopens it for input and checks it.
class IndexedSeed {
public:
    IndexedSeed(std::string path, const Layout& layout, StoreFormat format)
        : path_(std::move(path)), layout_(layout) {
        std::vector<unsigned char> block(ix_attributes_size(static_cast<int>(layout.keys.size())));
        ix_attributes fixed{};
        fixed.min_record_length = layout.min_length;
        fixed.max_record_length = layout.max_length;
        fixed.area_length = layout.max_length;
        fixed.key_count = static_cast<int16_t>(layout.keys.size());
        fixed.options = layout.variable ? IX_ATTR_VARIABLE : 0;
        ix_attributes_encode(block.data(), &fixed);
        for (size_t i = 0; i < layout.keys.size(); ++i) {
            const Key& key = layout.keys[i];
            const ix_key_spec spec{static_cast<int16_t>(key.offset + 1), key.length,
                                   static_cast<int16_t>(key.duplicates ? IX_KEY_DUPS_ALLOWED : 0),
                                   key.type};
            ix_key_spec_encode(block.data(), static_cast<int>(i), &spec);
        }
        const int created = kvr::engine::code(kvr::isam::create_indexed_file(
            block.data(), static_cast<uint32_t>(block.size()), path_.c_str(), 0, format));
        require(created == 0, path_, "create gave " + std::to_string(created));
        const int opened =
            _vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, path_.data(), IX_MODE_UPDATE);
        require(opened == 0, path_, "open for update gave " + std::to_string(opened));
    }
    ~IndexedSeed() {
        if (slot_ != nullptr)
            _vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0);
    }
    IndexedSeed(const IndexedSeed&) = delete;
    IndexedSeed& operator=(const IndexedSeed&) = delete;

    void write(std::string record) {
        uint32_t length = static_cast<uint32_t>(record.size());
        unsigned char key_area[256];
        const int result = _vmqpIsam(IX_WRITE, &slot_, record.data(), &length, key_area, 0);
        require(result == 0 || result == 12, path_, "write gave " + std::to_string(result));
        ++records_;
    }

    // Deletes the record whose prime key is the first bytes of `key`.
    void erase(std::string key) {
        key.resize(256, '\0');
        uint32_t length = 0;
        int result = _vmqpIsam(IX_READ_EQ, &slot_, nullptr, &length, key.data(), 0);
        require(result == 0, path_, "read before delete gave " + std::to_string(result));
        result = _vmqpIsam(IX_DELETE, &slot_, nullptr, nullptr, nullptr, 0);
        require(result == 0, path_, "delete gave " + std::to_string(result));
        --records_;
    }

    void finish() {
        const int closed = _vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0);
        require(closed == 0, path_, "close gave " + std::to_string(closed));
        const int opened =
            _vmqpIsam(IX_OPEN, &slot_, nullptr, nullptr, path_.data(), IX_MODE_INPUT);
        require(opened == 0, path_, "open for input gave " + std::to_string(opened));
        kvr::isam::FileProblem problem;
        kvr::isam::FileSummary summary;
        require(kvr::isam::check_file(static_cast<ix_handle*>(slot_), &problem, &summary), path_,
                "the checker found " + kvr::isam::describe(problem));
        require(summary.records == records_, path_,
                "the checker counted " + std::to_string(summary.records) + " records, not " +
                    std::to_string(records_));
        _vmqpIsam(IX_CLOSE, &slot_, nullptr, nullptr, nullptr, 0);
        const auto size = std::filesystem::file_size(path_);
        std::printf(
            "%-24s %6llu bytes %5llu records %3llu index pages %3llu free slots"
            " %3llu free blocks\n",
            std::filesystem::path(path_).filename().c_str(), static_cast<unsigned long long>(size),
            static_cast<unsigned long long>(records_),
            static_cast<unsigned long long>(summary.index_pages),
            static_cast<unsigned long long>(summary.listed_free_slots),
            static_cast<unsigned long long>(summary.free_blocks));
    }

private:
    std::string path_;
    Layout layout_;
    void* slot_ = nullptr;
    uint64_t records_ = 0;
};

// Records of layout "prime + alternates": prime key of 6 digits at 0, a
// unique alternate of 4 digits at 6, an alternate with duplicates of 3
// letters at 10, then filler.
std::string customer(uint32_t n, uint32_t length) {
    static const char* const kGroups[] = {"AAA", "BBB", "CCC", "DDD"};
    std::string r = filler(length, n);
    put_digits(r, 0, 6, n);
    put_digits(r, 6, 4, 9999 - n);
    std::memcpy(&r[10], kGroups[n % 4], 3);
    return r;
}

const Layout kCustomers{13, 200, true, {{0, 6, false}, {6, 4, false}, {10, 3, true}}};

void slot_seeds(const std::string& dir) {
    {  // one key, fixed-length records
        IndexedSeed seed(dir + "/slot_one_key", {40, 40, false, {{0, 8, false}}},
                         StoreFormat::kSlots);
        for (uint32_t n = 0; n < 40; ++n) {
            std::string r = filler(40, n);
            put_digits(r, 0, 8, n * 7 % 40);
            seed.write(r);
        }
        seed.finish();
    }
    {  // no records at all
        IndexedSeed seed(dir + "/slot_empty", kCustomers, StoreFormat::kSlots);
        seed.finish();
    }
    {  // prime key, a unique alternate and one with duplicates, lengths 13..200
        IndexedSeed seed(dir + "/slot_alternates", kCustomers, StoreFormat::kSlots);
        for (uint32_t n = 0; n < 30; ++n)
            seed.write(customer(n, 13 + n * 37 % 188));
        seed.finish();
    }
    {  // the same after deletes: free slots of several sizes on the lists
        IndexedSeed seed(dir + "/slot_after_deletes", kCustomers, StoreFormat::kSlots);
        for (uint32_t n = 0; n < 30; ++n)
            seed.write(customer(n, 13 + n * 37 % 188));
        for (uint32_t n = 1; n < 30; n += 3) {
            std::string key(6, '0');
            put_digits(key, 0, 6, n);
            seed.erase(key);
        }
        seed.finish();
    }
    {  // alternates only with duplicates, the prime key not at the start
        const Layout layout{24, 24, false, {{8, 8, false}, {0, 2, true}, {2, 6, true}}};
        IndexedSeed seed(dir + "/slot_duplicates", layout, StoreFormat::kSlots);
        for (uint32_t n = 0; n < 40; ++n) {
            std::string r = filler(24, n);
            put_digits(r, 0, 2, n % 3);
            put_digits(r, 2, 6, n % 7);
            put_digits(r, 8, 8, 1000 + n);
            seed.write(r);
        }
        seed.finish();
    }
    {  // variable-length records from the key's end to 1000 bytes
        const Layout layout{12, 1000, true, {{4, 8, false}}};
        IndexedSeed seed(dir + "/slot_variable", layout, StoreFormat::kSlots);
        for (uint32_t n = 0; n < 24; ++n) {
            std::string r = filler(12 + n * n * 7 % 989, n);
            put_digits(r, 4, 8, n * 13 % 24);
            seed.write(r);
        }
        seed.finish();
    }
    {  // a relative file: a 4-byte record number, then the record
        const Layout layout{4 + 30, 4 + 30, false, {{0, 4, false, IX_KEY_TYPE_NUMBER}}};
        IndexedSeed seed(dir + "/slot_relative", layout, StoreFormat::kSlots);
        for (uint32_t n = 1; n <= 40; ++n) {
            std::string r = filler(34, n);
            put_number(r, 0, n * n);
            seed.write(r);
        }
        seed.finish();
    }
    {  // enough short records for trees of two levels
        const Layout layout{16, 16, false, {{0, 8, false}, {8, 8, true}}};
        IndexedSeed seed(dir + "/slot_two_levels", layout, StoreFormat::kSlots);
        for (uint32_t n = 0; n < 700; ++n) {
            std::string r(16, ' ');
            put_digits(r, 0, 8, n * 7919 % 700);
            put_digits(r, 8, 8, n % 50);
            seed.write(r);
        }
        seed.finish();
    }
}

void block_seeds(const std::string& dir) {
    {  // one key, fixed-length records over several sets
        IndexedSeed seed(dir + "/block_one_key", {64, 64, false, {{0, 8, false}}},
                         StoreFormat::kBlocks);
        for (uint32_t n = 0; n < 150; ++n) {
            std::string r = filler(64, n);
            put_digits(r, 0, 8, n * 11 % 150);
            seed.write(r);
        }
        seed.finish();
    }
    {  // prime + alternates, variable length
        IndexedSeed seed(dir + "/block_alternates", kCustomers, StoreFormat::kBlocks);
        for (uint32_t n = 0; n < 60; ++n)
            seed.write(customer(n, 13 + n * 37 % 188));
        seed.finish();
    }
    {  // sets emptied by deletes: blocks on the avail list
        const Layout layout{200, 200, false, {{0, 6, false}, {10, 3, true}}};
        IndexedSeed seed(dir + "/block_after_deletes", layout, StoreFormat::kBlocks);
        for (uint32_t n = 0; n < 60; ++n)
            seed.write(customer(n, 200));
        for (uint32_t n = 0; n < 24; ++n) {
            std::string key(6, '0');
            put_digits(key, 0, 6, n);
            seed.erase(key);
        }
        seed.finish();
    }
    {  // enough short records for trees of two levels
        const Layout layout{16, 16, false, {{0, 8, false}, {8, 8, true}}};
        IndexedSeed seed(dir + "/block_two_levels", layout, StoreFormat::kBlocks);
        for (uint32_t n = 0; n < 450; ++n) {
            std::string r(16, ' ');
            put_digits(r, 0, 8, n * 7919 % 450);
            put_digits(r, 8, 8, n % 50);
            seed.write(r);
        }
        seed.finish();
    }
    {  // a relative file in the block format
        const Layout layout{4 + 20, 4 + 20, false, {{0, 4, false, IX_KEY_TYPE_NUMBER}}};
        IndexedSeed seed(dir + "/block_relative", layout, StoreFormat::kBlocks);
        for (uint32_t n = 1; n <= 30; ++n) {
            std::string r = filler(24, n);
            put_number(r, 0, n * 3);
            seed.write(r);
        }
        seed.finish();
    }
}

// A sequential file with the given record lengths.
void sequential_seed(const std::string& path, uint32_t min_length, uint32_t max_length,
                     const std::vector<uint32_t>& lengths) {
    std::vector<unsigned char> block(ix_attributes_size(0));
    ix_attributes fields{0,
                         min_length,
                         max_length,
                         max_length,
                         0,
                         0,
                         static_cast<int16_t>(min_length != max_length ? IX_ATTR_VARIABLE : 0)};
    ix_attributes_encode(block.data(), &fields);
    int result =
        _vmqpSeqFS(SQ_CREATE, nullptr, block.data(), nullptr, const_cast<char*>(path.c_str()), 0);
    require(result == 0, path, "create gave " + std::to_string(result));
    void* slot = nullptr;
    result = _vmqpSeqFS(SQ_OPEN, &slot, nullptr, nullptr, const_cast<char*>(path.c_str()),
                        SQ_MODE_APPEND);
    require(result == 0, path, "open for append gave " + std::to_string(result));
    std::vector<std::string> written;
    for (uint32_t length : lengths) {
        written.push_back(filler(length, static_cast<uint32_t>(written.size())));
        uint32_t size = length;
        result = _vmqpSeqFS(SQ_WRITE, &slot, written.back().data(), &size, nullptr, 0);
        require(result == 0, path, "write gave " + std::to_string(result));
    }
    result = _vmqpSeqFS(SQ_CLOSE, &slot, nullptr, nullptr, nullptr, 0);
    require(result == 0, path, "close gave " + std::to_string(result));

    result = _vmqpSeqFS(SQ_OPEN, &slot, nullptr, nullptr, const_cast<char*>(path.c_str()),
                        SQ_MODE_INPUT);
    require(result == 0, path, "open for input gave " + std::to_string(result));
    std::vector<char> buffer(max_length);
    for (size_t i = 0;; ++i) {
        uint32_t size = max_length;
        result = _vmqpSeqFS(i == 0 ? SQ_READ_FIRST : SQ_READ_NEXT, &slot, buffer.data(), &size,
                            nullptr, 0);
        if (result == 9) {
            require(i == written.size(), path, "end of file after " + std::to_string(i));
            break;
        }
        require(result == 0 && i < written.size() && std::string(buffer.data(), size) == written[i],
                path, "record " + std::to_string(i) + " did not read back");
    }
    _vmqpSeqFS(SQ_CLOSE, &slot, nullptr, nullptr, nullptr, 0);
    std::printf("%-24s %6llu bytes %5zu records\n", std::filesystem::path(path).filename().c_str(),
                static_cast<unsigned long long>(std::filesystem::file_size(path)), written.size());
}

void sequential_seeds(const std::string& dir) {
    std::vector<uint32_t> fixed(50, 80);
    sequential_seed(dir + "/seq_fixed", 80, 80, fixed);
    std::vector<uint32_t> variable;
    for (uint32_t n = 0; n < 40; ++n)
        variable.push_back(1 + n * n * 13 % 600);
    sequential_seed(dir + "/seq_variable", 1, 600, variable);
    // Records around the engine's 4 KiB buffers.
    sequential_seed(dir + "/seq_long_records", 100, 9000, {4000, 4088, 4096, 9000, 100, 5000});
    sequential_seed(dir + "/seq_empty", 10, 100, {});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(argv[1], error);
    if (error) {
        std::fprintf(stderr, "make_seeds: cannot make %s: %s\n", argv[1], error.message().c_str());
        return 2;
    }
    const std::string dir = argv[1];
    try {
        slot_seeds(dir);
        block_seeds(dir);
        sequential_seeds(dir);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "make_seeds: %s\n", failure.what().c_str());
        return 1;
    }
    return 0;
}
