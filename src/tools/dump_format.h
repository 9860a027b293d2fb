// kvr's dump format: a whole indexed, relative or sequential file as text,
// which kvr unload --format dump writes and kvr load --format dump makes the
// file again from, whatever bytes its records hold. A header of attributes,
// one per line, then one line per record, the record's bytes in hex (as the
// Berkeley DB utilities db_dump and db_load carry a database):
//
//   KVR-DUMP=1                      the format and its version
//   organization=indexed            indexed, relative or sequential
//   store=slot                      slot or block (indexed and relative files)
//   records=variable 40 120         fixed or variable, the shortest and the
//                                   longest record as the program has them
//                                   (a relative file's without its number)
//   key=1:8                         indexed files: each key as kvr load --key
//   key=9:12:dups                   takes it, the prime key first (":number"
//                                   after a key held as a number)
//   HEADER=END
//    3030303030303033426572...      a record: a space, then each byte as two
//                                   lower-case hex digits; "-" for no bytes
//    700 636363636363               a relative file's: a space, its record
//                                   number, a space, then its bytes
//   DATA=END
//
// The records of an indexed file follow the order of its first alternate
// key that allows duplicates (else the prime key), so that those
// duplicates come back in their order; a relative file's follow their
// numbers, a sequential file's the file.
#ifndef KVR_TOOLS_DUMP_FORMAT_H
#define KVR_TOOLS_DUMP_FORMAT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/kvr_file.h"

namespace kvr::tools::dump_format {

// The header, HEADER=END included.
std::string header_text(const FileAttributes& a);
// One record's line, from the engine's record (a relative file's number in
// front).
std::string record_line(const FileAttributes& a, const unsigned char* record, size_t length);
// The last line.
inline constexpr char kDataEnd[] = "DATA=END\n";

// The key whose order the records of an indexed file are dumped in.
int record_order(const FileAttributes& a);

// Reads a dump: the header at open, then the records one by one.
class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens the dump and reads its header; false with the reason (the line
    // that does not fit, and why) otherwise.
    bool open(const std::string& path, std::string* reason);
    const FileAttributes& attributes() const { return attributes_; }
    // The next record as the engine takes it (a relative file's number in
    // front): 1. At the DATA=END line: 0. Otherwise -1, with *reason.
    int next(std::vector<unsigned char>* record, std::string* reason);
    // The number of the line read last, from 1; how far into the dump.
    uint64_t line() const { return line_; }
    uint64_t offset() const { return offset_; }

private:
    // The next line without its line end; false at the end of the file.
    bool read_line(std::string* text);
    std::string at_line(const std::string& what) const;
    // The header, as open reads it: its first line, each attribute line,
    // then what the lines give together. False with *reason.
    struct Header;
    bool read_mark(std::string* reason);
    bool read_attribute(const std::string& text, Header* header, std::string* reason);
    bool check_header(const Header& header, std::string* reason);

    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    uint64_t line_ = 0;
    uint64_t offset_ = 0;
    bool read_failed_ = false;
    FileAttributes attributes_;
};

}  // namespace kvr::tools::dump_format

#endif
