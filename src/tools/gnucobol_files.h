// GnuCOBOL's own files, as its runtime (libcob 3.1, 64-bit) keeps them when
// a program is compiled without an external file handler: read by
// kvr load --format gnucobol and written by kvr unload --format gnucobol.
// None of them describes itself (no record lengths, no key positions), so
// the caller says what the program's FD and SELECT say, and every reader
// checks the bytes against that and refuses a file that does not fit.
//
// Record sequential, fixed length (the program's shortest record equals
// its longest): the records back to back, nothing else.
//
// Record sequential, variable length: each record behind a header whose
// shape the runtime setting COB_VARSEQ_FORMAT chooses (the length counts the
// data only):
//
//   format | header bytes | length
//   -------+--------------+---------------------------------------------
//     0    | 4            | bytes 0-1 big-endian, bytes 2-3 zero (default)
//     1    | 4            | big-endian
//     2    | 4            | little-endian (the machine's own order on x86)
//     3    | 2            | big-endian
//
// Relative: one slot per record number, record n at offset (n-1) * (8 + MAX):
//
//   offset | size | contents
//   -------+------+------------------------------------------------------
//     0    | 8    | the record's length, little-endian; 0: no record
//     8    | MAX  | the record, then what the record area held after it
//
// A deleted record's slot keeps its data behind a length of 0; the file
// ends with the slot of the highest number ever written.
//
// Indexed (Berkeley DB): one B-tree database file per key. The prime key's
// file has the name the program assigns, NAME; alternate key i (1, 2, ... in
// the order of the SELECT's ALTERNATE clauses) is the file NAME.i.
//
//   file   | key                 | data
//   -------+---------------------+-----------------------------------------
//   NAME   | the prime key bytes | the record (its own length)
//   NAME.i | the alternate key   | the prime key; with DUPLICATES also a
//          |                     | 4-byte little-endian number, 1 for the
//          |                     | first record with that value, then one
//          |                     | more than the last; the database then
//          |                     | allows duplicates (DB_DUP) and keeps them
//          |                     | in the order they were written
//
// A key whose values SUPPRESS WHEN leaves out has no entry for those records.
#ifndef KVR_TOOLS_GNUCOBOL_FILES_H
#define KVR_TOOLS_GNUCOBOL_FILES_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/kvr_file.h"

namespace kvr::tools::gnucobol {

// The COB_VARSEQ_FORMAT values, and the default.
inline constexpr int kVarseqFormats = 4;
inline constexpr int kDefaultVarseqFormat = 0;
// The length word in front of each relative slot (a size_t of 64-bit libcob).
inline constexpr uint64_t kSlotLengthSize = 8;

// Whether records carry headers: a GnuCOBOL sequential file is variable when
// its shortest record is shorter than its longest.
inline bool has_record_headers(uint32_t min_length, uint32_t max_length) {
    return min_length < max_length;
}

// What a reader's next() gives.
enum class Read { kRecord, kEnd, kFailed };

// A record-sequential file, read from its start.
class SequentialReader {
public:
    // min_length < max_length: variable-length records behind headers of
    // varseq_format; otherwise records of max_length bytes. False with *why
    // when the file cannot be read or its size cannot hold such records.
    bool open(const std::string& path, uint32_t min_length, uint32_t max_length, int varseq_format,
              std::string* why);
    ~SequentialReader();
    // The next record. A header whose length lies outside min..max still
    // gives its record (the caller refuses it); a header that is not of the
    // format, or a record the file ends inside, fails with *why.
    Read next(std::vector<unsigned char>* record, std::string* why);
    uint64_t offset() const { return record_offset_; }  // of the record last read

private:
    std::FILE* file_ = nullptr;
    uint32_t max_length_ = 0;
    bool headers_ = false;
    int format_ = kDefaultVarseqFormat;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    uint64_t record_offset_ = 0;
};

// A relative file, slot by slot; empty slots are passed over.
class RelativeReader {
public:
    // max_length: the program's longest record, the data part of a slot.
    bool open(const std::string& path, uint32_t max_length, std::string* why);
    ~RelativeReader();
    // The next record and its number. A length word larger than a slot's
    // data part fails with *why: the file was written with other records.
    Read next(uint32_t* number, std::vector<unsigned char>* record, std::string* why);

private:
    std::FILE* file_ = nullptr;
    uint32_t max_length_ = 0;
    uint64_t slots_ = 0;
    uint64_t next_slot_ = 0;
    std::vector<unsigned char> slot_;
};

// An indexed file: NAME and NAME.1 ... for the keys of the attributes.
class IndexedReader {
public:
    IndexedReader();
    ~IndexedReader();
    IndexedReader(const IndexedReader&) = delete;
    IndexedReader& operator=(const IndexedReader&) = delete;

    // Opens every key's database: NAME.i must exist for every alternate key
    // and NAME.n (n the number of keys) must not, and each database must
    // allow duplicates exactly when its key does. False with *why.
    bool open(const std::string& path, const FileAttributes& attributes, std::string* why);
    // Checks every entry of every database against the keys' positions and
    // lengths: the prime key in NAME against the record it leads to, each
    // alternate entry against the record its prime key names. False with
    // *why at the first entry that does not fit. *notes receives what fits
    // but is worth telling (alternate keys with no entry for some records).
    bool check_keys(std::vector<std::string>* notes, std::string* why);
    // Visits every record once, in the order of the first alternate key that
    // allows duplicates (its duplicates in GnuCOBOL's order), or else of the
    // prime key. visit returns false to stop (then false, with *why empty).
    bool read_all(const std::function<bool(const std::vector<unsigned char>&)>& visit,
                  std::string* why);
    uint64_t records() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// True when the file at path is a Berkeley DB database (any kind).
bool is_berkeley_db(const std::string& path);

// Writes a record-sequential file at path (created; it must not exist).
class SequentialWriter {
public:
    ~SequentialWriter();
    bool create(const std::string& path, uint32_t min_length, uint32_t max_length,
                int varseq_format, std::string* why);
    // A record of the file's fixed length, or one a header can give.
    bool write(const unsigned char* data, size_t length, std::string* why);
    bool close(std::string* why);

private:
    std::FILE* file_ = nullptr;
    uint32_t max_length_ = 0;
    bool headers_ = false;
    int format_ = kDefaultVarseqFormat;
};

// Writes a relative file: records in rising record-number order.
class RelativeWriter {
public:
    ~RelativeWriter();
    bool create(const std::string& path, uint32_t max_length, std::string* why);
    bool write(uint32_t number, const unsigned char* data, size_t length, std::string* why);
    bool close(std::string* why);

private:
    std::FILE* file_ = nullptr;
    uint32_t max_length_ = 0;
    uint64_t end_ = 0;  // where the last slot written ends
    std::vector<unsigned char> slot_;
};

// Writes an indexed file: every record through write() first (in prime-key
// order), then each alternate key's entries through add_alternate(k, record)
// in the order of that key, duplicates in the order they are to be read.
class IndexedWriter {
public:
    IndexedWriter();
    ~IndexedWriter();
    IndexedWriter(const IndexedWriter&) = delete;
    IndexedWriter& operator=(const IndexedWriter&) = delete;

    // paths[0] for the prime key's database, paths[i] for alternate key i.
    bool create(const std::vector<std::string>& paths, const FileAttributes& attributes,
                std::string* why);
    bool write(const std::vector<unsigned char>& record, std::string* why);
    bool add_alternate(int k, const std::vector<unsigned char>& record, std::string* why);
    bool close(std::string* why);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kvr::tools::gnucobol

#endif
