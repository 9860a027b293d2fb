// Scenario tables: what a COBOL program does to one file, one line per verb
// with the FILE STATUS it must get and the record it must see, and one
// runner for every way a file can be served. A table names only verbs,
// records, keys and statuses; a ScenarioFile carries them out, today
// through the library's verb vector (an FCB) or through KVRFH (an FCD),
// tomorrow through any other engine that serves the same files.
#ifndef KVR_TESTS_SUPPORT_SCENARIO_H
#define KVR_TESTS_SUPPORT_SCENARIO_H

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/file_status.h"

namespace kvr::test {

enum class Organization { kIndexed, kRelative, kSequential };

// A key: its 0-based position and length in the record.
struct Key {
    uint32_t at;
    uint32_t length;
    bool duplicates = false;
};

// The file as the program's SELECT and FD describe it.
struct Layout {
    Organization organization;
    uint32_t min_length;
    uint32_t max_length;
    std::vector<Key> keys = {};
    bool sequential_access = false;
    bool optional = false;
    uint16_t relative_key_digits = 0;  // the RELATIVE KEY item's digits; 0: none
    uint32_t area_length = 0;          // the record area's, when shorter than the record
};

enum class Verb {
    kOpenInput,
    kOpenOutput,
    kOpenIo,
    kOpenExtend,
    kClose,
    kCloseLock,
    kWrite,
    kRewrite,
    kDelete,
    kRead,  // by key under random or dynamic access; the next record under sequential
    kReadNext,
    kReadPrevious,
    kStartEqual,
    kStartGreater,
    kStartNotLess,
    kStartLess,
    kStartNotGreater,
    kUse,          // another program (a connector of its own) goes on: use()
    kOpenNothing,  // an OPEN that asks for no mode
    kCloseUnit,    // a CLOSE that reports 07 and leaves the file open
    // The file's bytes, not the program's: `data` names bytes kSaveFile
    // kept, or is the bytes themselves.
    kSaveFile,
    kPutFile,
    kSameFile,
    kNoFile,
};

// One statement. `data` is the record WRITE and REWRITE write, and the key
// value READ, START and DELETE look up (placed at the key's position). `key`
// is the key of reference of an indexed file, the record number of a
// relative one; kSame leaves it as the last statement left it. `length` is
// the key length a START gives (0: the whole key), the record length a
// WRITE or REWRITE gives (0: the data's). `shows`, when not empty, is what
// the program must see after the statement: the record area after one that
// succeeded (for a relative file "N:data", with its record number), the
// message after one that failed.
inline constexpr int64_t kSame = -1;
struct Step {
    Verb verb;
    std::string_view data;
    FileStatus status = {};
    std::string_view shows = {};
    int64_t key = kSame;
    uint32_t length = 0;
    bool without_area = false;  // the statement finds no record area
};
// The step made where the program has no record area.
constexpr Step no_area(Step step) {
    step.without_area = true;
    return step;
}
// The program of the scenario's layout `program` goes on.
constexpr Step use(int64_t program) {
    return {Verb::kUse, "", {}, {}, program};
}

// One program's connector to one file, served by one engine.
class ScenarioFile {
public:
    virtual ~ScenarioFile() = default;
    // Carries out the statement (the status is checked by the runner) and
    // returns the status the program sees.
    virtual std::string perform(const Step& step) = 0;
    // The record area after a READ: its bytes as long as the record read.
    virtual std::string record() const = 0;
    // The relative record number the program's RELATIVE KEY holds.
    virtual uint64_t relative_number() const = 0;
    // What the last statement told the program, without padding.
    virtual std::string said() const = 0;
};

// How an engine makes a connector for a file of the layout at `path`.
using Opener = std::function<std::unique_ptr<ScenarioFile>(const Layout&, const std::string& path)>;

// A table: the programs that use one file, and what they do to it. The
// steps start with the first program; kUse goes on with another.
struct Scenario {
    const char* name;
    std::vector<Layout> programs;
    std::vector<Step> steps;
};

inline void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

// Runs the table on connectors the engine makes for a file at `path`, one
// failure per step that differs, naming the step by its line in the table.
void run_scenario(const Opener& open, const Scenario& scenario, const std::string& path);

}  // namespace kvr::test

#endif
