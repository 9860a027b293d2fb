// Runs the fuzz target over files instead of generated inputs: every file
// named on the command line, and every regular file inside each directory
// named (not recursively), in name order. Used to replay the seed corpus and
// the inputs that once made the reader fail, in builds without libFuzzer.
//
//   file_reader_replay PATH...
//
// Exit status 0 when every input went through, 1 when a path cannot be read
// or nothing was found to run. A fault in the reader ends the program the
// way it would end the fuzzer (a signal or a sanitizer report).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool collect(const fs::path& path, std::vector<fs::path>& inputs) {
    std::error_code error;
    if (fs::is_directory(path, error)) {
        std::vector<fs::path> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(path, error))
            if (entry.is_regular_file())
                found.push_back(entry.path());
        if (error)
            return false;
        std::sort(found.begin(), found.end());
        inputs.insert(inputs.end(), found.begin(), found.end());
        return true;
    }
    if (!fs::is_regular_file(path, error))
        return false;
    inputs.push_back(path);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            std::fprintf(stderr, "file_reader_replay: cannot read %s\n", argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: file_reader_replay PATH...  (no input files found)\n");
        return 1;
    }
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
        if (in.bad()) {
            std::fprintf(stderr, "file_reader_replay: cannot read %s\n", input.c_str());
            return 1;
        }
        std::fprintf(stderr, "%s (%zu bytes)\n", input.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "file_reader_replay: %zu inputs, no fault\n", inputs.size());
    return 0;
}
