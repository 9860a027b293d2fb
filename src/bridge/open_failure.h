// Why an OPEN failed, in words a COBOL programmer reads without a manual,
// and whether OPEN OUTPUT may replace the file it found.
//
// The handler learns what the library found from the library's report of
// the verb, as values (_IO_LastDiagnostic): the diagnostic code, its text,
// the piece the message adds after it and, when the file's layout differs
// from the program's, the existing file's attribute block. The program's
// side comes from the file description the handler built.
#ifndef KVR_BRIDGE_OPEN_FAILURE_H
#define KVR_BRIDGE_OPEN_FAILURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/diagnostics.h"
#include "vmqrmkvr/fcb.h"

namespace kvr::bridge {

using runtime::Diagnostic;

// The existing file's layout, from the attribute block the library reports
// with codes 1004 to 1007: record lengths and type, and (none for a
// sequential or relative file) each key's 1-based position, length and
// duplicates rule.
struct FileLayout {
    bool known = false;
    bool variable = false;
    unsigned long min_length = 0;
    unsigned long max_length = 0;
    unsigned long key_count = 0;
    std::vector<std::pair<unsigned long, unsigned long>> keys;  // 1-based position, length
    std::vector<bool> duplicates;                               // per key
};

// What the library reported of a verb.
struct LibraryReport {
    Diagnostic code = Diagnostic::kNone;
    bool reported = false;  // false: the library reported nothing of the file
    std::string text;       // the code's text, empty when it has none
    std::string detail;     // what the message adds after the text
    FileLayout layout;      // codes 1004 to 1007
};

// The library's report of the last verb on the FCB.
LibraryReport library_report(const vmq_fcb& fcb);

// A failed OPEN as the handler saw it.
struct FailedOpen {
    std::string name;  // the path the program's file is assigned to
    uint16_t request;  // VMQ_OPEN_INPUT, _OUTPUT, _IO or _EXTEND
    unsigned status;   // the FILE STATUS the program gets
    LibraryReport report;
    const vmq_file_description* description;  // the program's file
    const vmq_key_description* keys;          // its keys, prime key first
    bool held_here;                           // another file of this process has it open
};

// The reason, to follow "cannot open NAME: ".
std::string explain_open_failure(const FailedOpen& open);

// From the report of an OPEN refused for its number of keys (which lists
// the file's keys): how the first key whose duplicates rule differs from
// the program's differs ("alternate key 1 allows duplicates in the
// program, not in the file"); empty when the file's keys lie where the
// program's do and have their rules, or lie elsewhere (the OPEN itself
// says that).
std::string duplicates_difference(const LibraryReport& file_keys,
                                  const vmq_file_description& program,
                                  const vmq_key_description* keys);

// True when OPEN OUTPUT was refused only for what the existing file holds:
// a record layout or keys other than the program's, another organization,
// or contents that are no KVR file at all. OUTPUT throws the contents away,
// so such a file may be replaced.
bool output_may_replace(unsigned status, Diagnostic code, const std::string& name);

}  // namespace kvr::bridge

#endif
