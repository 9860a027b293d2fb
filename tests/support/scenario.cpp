#include "support/scenario.h"

#include <gtest/gtest.h>

namespace kvr::test {
namespace {

const char* const kVerbNames[] = {
    "OPEN INPUT", "OPEN OUTPUT", "OPEN I-O", "OPEN EXTEND", "CLOSE",     "CLOSE WITH LOCK",
    "WRITE",      "REWRITE",     "DELETE",   "READ",        "READ NEXT", "READ PREVIOUS",
    "START =",    "START >",     "START >=", "START <",     "START <=",  "program"};

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

void run_step(ScenarioFile& file, const Layout& layout, const Step& step, size_t number) {
    const std::string status = file.perform(step);
    SCOPED_TRACE(testing::Message()
                 << "step " << number << ": " << kVerbNames[static_cast<int>(step.verb)] << " "
                 << step.data << (step.key == kSame ? "" : " key " + std::to_string(step.key)));
    EXPECT_EQ(status, step.status);
    if (!step.record.empty()) {
        EXPECT_EQ(shown(file, layout), step.record);
    }
}

}  // namespace

void run_steps(ScenarioFile& file, const Layout& layout, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i)
        run_step(file, layout, steps[i], i + 1);
}

void run_scenario(const Opener& open, const Scenario& scenario, const std::string& path) {
    SCOPED_TRACE(scenario.name);
    std::vector<std::unique_ptr<ScenarioFile>> files(scenario.programs.size());
    size_t current = 0;
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        if (scenario.steps[i].verb == Verb::kUse) {
            current = static_cast<size_t>(scenario.steps[i].key);
            continue;
        }
        if (!files[current])
            files[current] = open(scenario.programs[current], path);
        run_step(*files[current], scenario.programs[current], scenario.steps[i], i + 1);
    }
}

}  // namespace kvr::test
