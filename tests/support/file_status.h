// The FILE STATUS values a COBOL program sees, by name, for the tables that
// expect them. Written out here once, apart from the code under test, so
// that a status the library gets wrong cannot make its own expectation.
#ifndef KVR_TESTS_SUPPORT_FILE_STATUS_H
#define KVR_TESTS_SUPPORT_FILE_STATUS_H

#include <string_view>

namespace kvr::test {

using FileStatus = std::string_view;

inline constexpr FileStatus k00 = "00";  // done
inline constexpr FileStatus k02 = "02";  // done; another record has this alternate key
inline constexpr FileStatus k04 = "04";  // done; the record's length is outside the area's
inline constexpr FileStatus k05 = "05";  // an absent OPTIONAL file
inline constexpr FileStatus k07 = "07";  // CLOSE REEL/UNIT or the like: the file stays open
inline constexpr FileStatus k10 = "10";  // at the end
inline constexpr FileStatus k14 = "14";  // a record number too long for the RELATIVE KEY
inline constexpr FileStatus k20 = "20";  // no such key of reference
inline constexpr FileStatus k21 = "21";  // a key out of sequence
inline constexpr FileStatus k22 = "22";  // a duplicate key
inline constexpr FileStatus k23 = "23";  // no such record
inline constexpr FileStatus k24 = "24";  // beyond the file's boundary
inline constexpr FileStatus k30 = "30";  // an input-output error
inline constexpr FileStatus k34 = "34";  // a WRITE past the room the file has
inline constexpr FileStatus k35 = "35";  // no such file
inline constexpr FileStatus k38 = "38";  // closed WITH LOCK
inline constexpr FileStatus k39 = "39";  // the file is not the one the program describes
inline constexpr FileStatus k41 = "41";  // open already
inline constexpr FileStatus k42 = "42";  // not open
inline constexpr FileStatus k43 = "43";  // no READ before this REWRITE or DELETE
inline constexpr FileStatus k44 = "44";  // a record length out of bounds
inline constexpr FileStatus k46 = "46";  // no next record
inline constexpr FileStatus k47 = "47";  // not open for reading
inline constexpr FileStatus k48 = "48";  // not open for writing
inline constexpr FileStatus k49 = "49";  // not open I-O
inline constexpr FileStatus k91 = "91";  // refused by the system
inline constexpr FileStatus k98 = "98";  // in use by another program
inline constexpr FileStatus k99 = "99";  // a locked record

}  // namespace kvr::test

#endif
