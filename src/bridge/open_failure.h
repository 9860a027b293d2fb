// Why an OPEN failed, in words a COBOL programmer reads without a manual,
// and whether OPEN OUTPUT may replace the file it found.
//
// The handler learns what the library found only from what the library
// reports: the FILE STATUS and the diagnostic message (a six-digit code,
// its text and, when the file's layout differs from the program's, the
// existing file's record lengths and keys, e.g.
// "001005,Record lengths differ,fixed length 34 34,1 key,(1 10)"). The
// program's side comes from the file description the handler built.
#ifndef KVR_BRIDGE_OPEN_FAILURE_H
#define KVR_BRIDGE_OPEN_FAILURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "vmqrmkvr/fcb.h"

namespace kvr::bridge {

// The code with which the library reports a file that another user holds
// (status 98).
inline constexpr int kCodeFileInUse = 18;
// The code with which it reports no room on the disk (or in memory).
inline constexpr int kCodeNoSpace = 11;

// The library's diagnostic message taken apart.
struct LibraryMessage {
    int code = -1;                    // -1 when the area holds no code
    std::vector<std::string> pieces;  // what follows the code, split at commas
};
LibraryMessage parse_library_message(const std::string& text);

// A failed OPEN as the handler saw it.
struct FailedOpen {
    std::string name;  // the path the program's file is assigned to
    uint16_t request;  // VMQ_OPEN_INPUT, _OUTPUT, _IO or _EXTEND
    unsigned status;   // the FILE STATUS the program gets
    LibraryMessage message;
    const vmq_file_description* description;  // the program's file
    const vmq_key_description* keys;          // its keys, prime key first
    bool held_here;                           // another file of this process has it open
};

// The reason, to follow "cannot open NAME: ".
std::string explain_open_failure(const FailedOpen& open);

// The code with which the library refuses a program whose number of keys
// is not the file's; the message then lists the file's keys.
inline constexpr int kCodeKeyCount = 1004;

// From such a message: how the first key whose duplicates rule differs
// from the program's differs ("alternate key 1 allows duplicates in the
// program, not in the file"); empty when the file's keys lie where the
// program's do and have their rules, or lie elsewhere (the OPEN itself
// says that).
std::string duplicates_difference(const LibraryMessage& file_keys,
                                  const vmq_file_description& program,
                                  const vmq_key_description* keys);

// True when OPEN OUTPUT was refused only for what the existing file holds:
// a record layout or keys other than the program's, another organization,
// or contents that are no KVR file at all. OUTPUT throws the contents away,
// so such a file may be replaced.
bool output_may_replace(unsigned status, int code, const std::string& name);

}  // namespace kvr::bridge

#endif
