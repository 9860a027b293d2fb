// The file reader under arbitrary bytes: each input becomes the whole of a
// file, which is then opened and read the ways a program or the kvr utility
// reads a file it did not write - open for input, attributes, the file
// checker, a scan by every key in both directions, keyed reads of the keys
// the scan met, and `kvr info` and `kvr check`. A sequential file is read
// record by record instead.
//
// Whatever the bytes, each step must end in a result: a crash, a sanitizer
// report or a hang is a fault in the reader; so is an open or a close that
// leaves the handle slot wrong. The results themselves are not judged. A
// scan stops after more steps than the file could hold records: a damaged
// file may link its pages in a loop, which a plain READ NEXT does not see.
//
// Built with -fsanitize=fuzzer this is a libFuzzer target; built with
// replay_main.cpp it feeds given files through the same code.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/isam/file_checker.h"
#include "engine/isam/ix_handle.h"
#include "tools/kvr_tool.h"
#include "vmqrmkvr/attributes.h"
#include "vmqrmkvr/isam.h"
#include "vmqrmkvr/seqfs.h"

namespace {

constexpr int kSequentialFile = 25;
constexpr int kDuplicateFollows = 12;
// Largest record buffer handed to the reads. A longer record arrives cut
// short, which is a path of its own worth reaching.
constexpr uint32_t kLargestBuffer = 1u << 20;
constexpr uint32_t kKeyAreaSize = 512;  // keys are at most 255 bytes

// The file every input is written to: one per process, in a directory of
// its own, removed when the process ends normally.
class ScratchFile {
public:
    ScratchFile() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kvr_fuzz_XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("kvr fuzz: mkdtemp");
            std::abort();
        }
        dir_ = pattern;
        path_ = dir_ + "/input.dat";
    }
    ~ScratchFile() {
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& path() const { return path_; }

    void write(const uint8_t* data, size_t size) const {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) ||
            std::fclose(file) != 0) {
            std::perror("kvr fuzz: writing the input file");
            std::abort();
        }
    }

private:
    std::string dir_;
    std::string path_;
};

ScratchFile& scratch() {
    static ScratchFile file;
    return file;
}

std::FILE* null_output() {
    static std::FILE* sink = std::fopen("/dev/null", "w");
    if (sink == nullptr) {
        std::perror("kvr fuzz: /dev/null");
        std::abort();
    }
    return sink;
}

bool read_succeeded(int result) {
    return result == 0 || result == kDuplicateFollows;
}

int isam(uint16_t op, void** slot, void* data, uint32_t* length, void* aux, uint8_t selector) {
    return _vmqpIsam(op, slot, data, length, aux, selector);
}

// Keyed reads of a key value the scan met, each condition once.
void read_by_value(void** slot, int key, const std::vector<unsigned char>& value,
                   std::vector<unsigned char>& buffer) {
    static constexpr uint16_t kConditions[] = {IX_READ_EQ, IX_READ_GT, IX_READ_GE, IX_READ_LE,
                                               IX_READ_LT};
    for (uint16_t op : kConditions) {
        std::vector<unsigned char> key_area(value);
        key_area.resize(kKeyAreaSize);
        uint32_t length = static_cast<uint32_t>(buffer.size());
        if (read_succeeded(isam(op, slot, buffer.data(), &length, key_area.data(),
                                static_cast<uint8_t>(key))) &&
            key != 0) {
            // On an alternate key, step on through its duplicates a little.
            for (int i = 0; i < 4; ++i) {
                length = static_cast<uint32_t>(buffer.size());
                if (!read_succeeded(isam(IX_READ_NEXT, slot, buffer.data(), &length,
                                         key_area.data(), static_cast<uint8_t>(key))))
                    break;
            }
        }
    }
}

// READ FIRST then NEXT to the end, READ LAST then PREV to the start, on
// key `key`; then keyed reads of the first and last key values seen.
void scan_key(void** slot, int key, uint64_t step_limit, std::vector<unsigned char>& buffer) {
    std::vector<unsigned char> key_area(kKeyAreaSize);
    std::vector<unsigned char> first_value;
    std::vector<unsigned char> last_value;
    const auto k = static_cast<uint8_t>(key);

    uint32_t length = static_cast<uint32_t>(buffer.size());
    int result = isam(IX_READ_FIRST, slot, buffer.data(), &length, key_area.data(), k);
    if (read_succeeded(result))
        first_value.assign(key_area.begin(), key_area.end());
    for (uint64_t steps = 0; read_succeeded(result) && steps < step_limit; ++steps) {
        length = static_cast<uint32_t>(buffer.size());
        result = isam(IX_READ_NEXT, slot, buffer.data(), &length, key_area.data(), k);
    }

    length = static_cast<uint32_t>(buffer.size());
    result = isam(IX_READ_LAST, slot, buffer.data(), &length, key_area.data(), k);
    if (read_succeeded(result))
        last_value.assign(key_area.begin(), key_area.end());
    for (uint64_t steps = 0; read_succeeded(result) && steps < step_limit; ++steps) {
        length = static_cast<uint32_t>(buffer.size());
        result = isam(IX_READ_PREV, slot, buffer.data(), &length, key_area.data(), k);
    }

    if (!first_value.empty())
        read_by_value(slot, key, first_value, buffer);
    if (!last_value.empty())
        read_by_value(slot, key, last_value, buffer);
    // The record the last read stood on, and a position without a buffer.
    length = static_cast<uint32_t>(buffer.size());
    isam(IX_READ_CURRENT, slot, buffer.data(), &length, key_area.data(), k);
    length = 0;
    isam(IX_READ_FIRST, slot, nullptr, &length, key_area.data(), k);
}

// Returns the result of the open.
int read_indexed(const std::string& path, size_t file_size) {
    void* slot = nullptr;
    const int opened =
        isam(IX_OPEN, &slot, nullptr, nullptr, const_cast<char*>(path.c_str()), IX_MODE_INPUT);
    if (opened != 0) {
        if (slot != nullptr)  // an open that failed must not leave a handle
            std::abort();
        return opened;
    }

    std::vector<unsigned char> attributes(ix_attributes_size(IX_MAX_KEYS));
    uint32_t attributes_size = static_cast<uint32_t>(attributes.size());
    unsigned char byte_set = 0xFF;
    int key_count = 0;
    uint32_t longest = 0;
    if (isam(IX_GET_ATTRIBUTES, &slot, attributes.data(), &attributes_size, &byte_set, 0) == 0) {
        ix_attributes fixed;
        ix_attributes_decode(attributes.data(), &fixed);
        key_count = fixed.key_count;
        longest = fixed.max_record_length;
    }

    kvr::isam::FileProblem problem;
    kvr::isam::FileSummary summary;
    if (!kvr::isam::check_file(static_cast<ix_handle*>(slot), &problem, &summary))
        (void)kvr::isam::describe(problem);

    // Every record takes at least a byte of the file, so no sound scan takes
    // more steps than the file has bytes.
    const uint64_t step_limit = file_size + 16;
    std::vector<unsigned char> buffer(longest == 0               ? 1
                                      : longest < kLargestBuffer ? longest
                                                                 : kLargestBuffer);
    for (int key = 0; key < key_count && key <= IX_MAX_KEYS; ++key)
        scan_key(&slot, key, step_limit, buffer);
    // A key index the file does not have.
    uint32_t length = static_cast<uint32_t>(buffer.size());
    std::vector<unsigned char> key_area(kKeyAreaSize);
    isam(IX_READ_FIRST, &slot, buffer.data(), &length, key_area.data(),
         static_cast<uint8_t>(key_count < IX_MAX_KEYS ? key_count : IX_MAX_KEYS));

    isam(IX_CLOSE, &slot, nullptr, nullptr, nullptr, 0);
    if (slot != nullptr)  // close frees the handle whatever the result
        std::abort();
    return opened;
}

void read_sequential(const std::string& path, size_t file_size) {
    void* slot = nullptr;
    if (_vmqpSeqFS(SQ_OPEN, &slot, nullptr, nullptr, const_cast<char*>(path.c_str()),
                   SQ_MODE_INPUT) != 0)
        return;
    std::vector<unsigned char> attributes(ix_attributes_size(IX_MAX_KEYS));
    _vmqpSeqFS(SQ_GET_ATTRIBUTES, &slot, attributes.data(), nullptr, nullptr, 0);
    std::vector<unsigned char> buffer(65536);
    uint32_t length = static_cast<uint32_t>(buffer.size());
    int result = _vmqpSeqFS(SQ_READ_FIRST, &slot, buffer.data(), &length, nullptr, 0);
    // Each record takes at least its two length words.
    for (uint64_t steps = 0; result == 0 && steps < file_size / 8 + 1; ++steps) {
        length = static_cast<uint32_t>(buffer.size());
        result = _vmqpSeqFS(SQ_READ_NEXT, &slot, buffer.data(), &length, nullptr, 0);
    }
    if (_vmqpSeqFS(SQ_CLOSE, &slot, nullptr, nullptr, nullptr, 0) != 0)
        _vmqpSeqFS(SQ_CLOSE, &slot, nullptr, nullptr, nullptr, 0);
}

void run_tool(const char* command, const std::string& path) {
    const char* argv[] = {"kvr", command, path.c_str(), nullptr};
    kvr::tools::run(3, argv, null_output(), null_output());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ScratchFile& file = scratch();
    file.write(data, size);
    if (read_indexed(file.path(), size) == kSequentialFile)
        read_sequential(file.path(), size);
    run_tool("info", file.path());
    run_tool("check", file.path());
    return 0;
}
