#include "support/scenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace kvr::test {
namespace {

const char* const kVerbNames[] = {
    "OPEN INPUT", "OPEN OUTPUT", "OPEN I-O",  "OPEN EXTEND", "CLOSE",     "CLOSE WITH LOCK",
    "WRITE",      "REWRITE",     "DELETE",    "READ",        "READ NEXT", "READ PREVIOUS",
    "START =",    "START >",     "START >=",  "START <",     "START <=",  "program",
    "OPEN",       "CLOSE UNIT",  "save file", "put file",    "same file", "no file"};

// What the program sees of the record area: a fixed-length record without
// the blanks that fill it, a relative one behind its number.
std::string shown(const ScenarioFile& file, const Layout& layout) {
    std::string record = file.record();
    if (layout.min_length == layout.max_length) {
        EXPECT_EQ(record.size(), layout.max_length) << "the length of a fixed-length record";
        record.erase(record.find_last_not_of(' ') + 1);
    }
    if (layout.organization == Organization::kRelative)
        return std::to_string(file.relative_number()) + ":" + record;
    return record;
}

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

void run_scenario(const Opener& open, const Scenario& scenario, const std::string& path) {
    SCOPED_TRACE(scenario.name);
    std::vector<std::unique_ptr<ScenarioFile>> files(scenario.programs.size());
    std::map<std::string_view, std::string> saved;
    size_t current = 0;
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        SCOPED_TRACE(testing::Message()
                     << "step " << i + 1 << ": " << kVerbNames[static_cast<int>(step.verb)] << " "
                     << step.data << (step.key == kSame ? "" : " key " + std::to_string(step.key)));
        const auto it = saved.find(step.data);
        const std::string bytes(it != saved.end() ? std::string_view(it->second) : step.data);
        switch (step.verb) {
            case Verb::kUse:
                current = static_cast<size_t>(step.key);
                continue;
            case Verb::kSaveFile:
                saved[step.data] = bytes_of(path);
                continue;
            case Verb::kPutFile:
                std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
                continue;
            case Verb::kSameFile:
                EXPECT_TRUE(std::filesystem::exists(path));
                EXPECT_EQ(bytes_of(path), bytes);
                continue;
            case Verb::kNoFile:
                EXPECT_FALSE(std::filesystem::exists(path));
                continue;
            default:
                break;
        }
        if (!files[current])
            files[current] = open(scenario.programs[current], path);
        ScenarioFile& file = *files[current];
        EXPECT_EQ(file.perform(step), step.status);
        if (!step.shows.empty()) {
            EXPECT_EQ(step.status[0] == '0' ? shown(file, scenario.programs[current]) : file.said(),
                      step.shows);
        }
    }
}

}  // namespace kvr::test
