// What every kvr command shares: the progress bar, output files that appear
// only when complete, and the text forms of records and keys.
#ifndef KVR_TOOLS_TOOL_SUPPORT_H
#define KVR_TOOLS_TOOL_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kvr::tools {

// A bar on the message stream, drawn only when that stream is a terminal,
// redrawn at most once per whole percent; done() clears it.
class Progress {
public:
    Progress(std::FILE* err, std::string label, uint64_t total);
    ~Progress() { done(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(uint64_t done_so_far);
    void done();

private:
    std::FILE* err_;
    std::string label_;
    uint64_t total_;
    bool shown_;
    int last_percent_ = -1;
};

// Clears the line a progress bar may be drawn on, when err is a terminal,
// so that a message written during a long run starts on a clean line; the
// bar comes back with its next step.
void clear_progress_line(std::FILE* err);

// A file written under a temporary name next to its final one, which takes
// the final name only through commit(); anything not committed is removed.
// When the final name is a symbolic link, the file it leads to is the one
// replaced, and the link stays. The temporary name, ".NAME.kvr-PID.tmp",
// carries the writer's process number: a run killed before it could remove
// its temporary leaves it behind, and the next PendingFile for the same
// final name removes it once that process is gone.
class PendingFile {
public:
    explicit PendingFile(std::string final_path);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& path() const { return temp_path_; }
    const std::string& final_path() const { return final_path_; }
    // Whether the file can be written where it is to go: its folder exists
    // and may be written, and what holds the final name now (if anything)
    // is a regular file, not a device, pipe or folder. False with *reason.
    bool check_target(std::string* reason) const;
    // Renames the temporary file to the final name, replacing what is
    // there (the replaced file's permissions pass to the new one); false
    // with *reason when it cannot.
    bool commit(std::string* reason);

private:
    std::string final_path_;   // as given, for messages
    std::string target_path_;  // what the rename replaces: links followed
    std::string temp_path_;
    bool committed_ = false;
    int signal_slot_ = -1;  // where a signal handler finds temp_path_
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of every
// PendingFile not yet committed before the program ends as the signal
// would have ended it: an interrupted command leaves nothing behind. For
// the kvr program's main(); the tests and the fuzz target keep their own
// handlers.
void remove_pending_files_on_signals();

// True when both names lead to one existing file.
bool same_file(const std::string& a, const std::string& b);

// Record bytes as text: printable ASCII as it is, a backslash as "\\",
// every other byte as "\xNN".
std::string escape_bytes(const unsigned char* bytes, size_t length);
// The reverse, for key values given on the command line; false when an
// escape is malformed.
bool unescape_text(const std::string& text, std::vector<unsigned char>* out);
// The value of one hex digit, either case; -1 for any other character.
int hex_digit(char c);
// Bytes as hex, two digits each, a space between groups of four bytes.
std::string hex_bytes(const unsigned char* bytes, size_t length);
// Bytes in columns, as hexdump -C shows them: lines of 16 bytes, each the
// position of its first byte (from 1, as kvr load --key counts), the bytes
// in hex, and the same bytes as text with a dot for each one that does not
// print. Every line ends in a line feed.
//     1  30 30 30 30 30 30 30 33  42 65 72 6e 00 04 9f 2e  |00000003Bern....|
std::string column_lines(const unsigned char* bytes, size_t length);

// "1 record", "2 records": n and the word, made plural when n is not 1.
std::string count_text(uint64_t n, const char* thing);

// A whole non-negative decimal number, and nothing else.
bool parse_number(const std::string& text, uint64_t* value);

}  // namespace kvr::tools

#endif
