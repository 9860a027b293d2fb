// One file of a GnuCOBOL program while KVR keeps it open: the blocks the
// library expects from its runtime (FCB, file description with its key
// descriptions and RELATIVE KEY item, program context, runtime block, status
// item and message area), built from the program's FCD3 and its key
// definition block when the file is opened.
//
// The handler plays the runtime's part: it sets the request fields of the
// FCB from the FCD before each verb, calls the verb through the FCB's verb
// vector (never the engines), and copies back what the program sees: the
// FILE STATUS, the record and its length, the relative record number and the
// open mode.
#ifndef KVR_BRIDGE_BRIDGE_FILE_H
#define KVR_BRIDGE_BRIDGE_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bridge/fcd_access.h"
#include "vmqrmkvr/fcb.h"

namespace kvr::bridge {

// Keys a program may give: the key definition block holds at most 64.
inline constexpr uint32_t kMaxKeys = 64;

// The verbs the handler maps GnuCOBOL's operation codes onto.
enum class ReadKind { Next, Previous, Random };
enum class Relation { Equal, Greater, NotLess, Less, NotGreater, First, Last };
// CLOSE; REEL and UNIT (with or without FOR REMOVAL) are one kind.
enum class CloseKind { Normal, WithLock, NoRewind, ReelOrUnit };

class BridgeFile {
public:
    // Builds the blocks for the FCD's file. A file this system cannot keep
    // as the program describes it (a key made of separate parts, a sparse
    // key, a damaged key definition block) gives null and the reason.
    static std::unique_ptr<BridgeFile> describe(const FCD3* fcd, std::string name,
                                                std::string* why);
    ~BridgeFile();
    BridgeFile(const BridgeFile&) = delete;
    BridgeFile& operator=(const BridgeFile&) = delete;

    // Each verb leaves its FILE STATUS in the FCD.
    //
    // OPEN OUTPUT makes the file anew, as COBOL does, also where a file of
    // that name holds records of another layout or organization, or is no
    // KVR file: that file is removed and the OPEN made again - unless a KVR
    // user has it open, which gives 98 and leaves it as it was. A failed
    // OPEN says why in open_failure().
    void open(FCD3* fcd, uint16_t request);
    const std::string& open_failure() const { return open_failure_; }
    // A CLOSE that fails (its records could not be written) reports its
    // status, 30 or above, and leaves the file open, so that the CLOSE can
    // be repeated. REEL and UNIT report 07 and leave the file open where it
    // was; NO REWIND closes it with 07: a disk file has no reels or units.
    void close(FCD3* fcd, CloseKind kind);
    // CLOSE without a program, for a file still open when the process
    // ends: nothing of the program's (FCD, record area) is used, as libcob
    // may have freed it. False when the CLOSE failed; message() says why.
    bool close_at_exit();
    void read(FCD3* fcd, ReadKind kind);
    void start(FCD3* fcd, Relation relation);
    void write(FCD3* fcd, uint8_t advance_options, uint32_t advance_lines);
    void rewrite(FCD3* fcd);
    void remove(FCD3* fcd);

    bool is_open() const { return fcb_.open_mode != 0; }
    // The open request the file was opened with (VMQ_OPEN_...), 0 when closed.
    uint16_t open_mode() const { return fcb_.open_mode; }
    unsigned status() const { return fcb_.status; }
    const std::string& name() const { return name_; }
    // The program's record area when the file was opened: it names the
    // file connector, which outlives the FCD GnuCOBOL makes for each OPEN.
    const void* connector() const { return connector_; }
    // The library's diagnostic text of the last verb, blanks trimmed;
    // clear_message forgets it before a statement the library may not see.
    std::string message() const;
    void clear_message() { std::memset(message_, ' ', sizeof message_ - 1); }

private:
    BridgeFile() = default;

    struct Description {
        vmq_file_description description;
        vmq_relative_key_item relative_key;
        vmq_key_description keys[kMaxKeys];
    };

    bool relative() const { return (block_.description.organization & VMQ_ORG_RELATIVE) != 0; }
    bool indexed() const { return (block_.description.organization & VMQ_ORG_INDEXED) != 0; }
    bool sequential_access() const {
        return (block_.description.access_flags & VMQ_ACCESS_SEQUENTIAL) != 0;
    }
    // The verb vector of a closed file, OPEN from _IO_Init.
    void install_closed_vector();
    // How the duplicates rules of the program's keys differ from those of
    // the indexed file it names, if it exists: the reason for a 39; empty
    // when they agree or cannot be learnt (OPEN then says what it finds).
    std::string duplicates_difference_with_file();
    // Points the FCB at the record to WRITE or REWRITE (the relative buffer
    // gets a copy) and takes its length from the FCD.
    void take_record(FCD3* fcd);
    // The FCD's relative record number into the FCB. False for a number of
    // 2^32 or more, which the FCD then gets `beyond_status` for (24 for a
    // WRITE, 23 for the verbs that look a record up).
    bool take_relative_key(FCD3* fcd, unsigned beyond_status);
    // The FCD's key of reference as the FCB's 1-based number.
    static uint16_t key_of_reference(const FCD3* fcd);
    // Runs the verb in the given vector slot and copies its status back.
    void run(FCD3* fcd, vmq_verb_entry vmq_fcb::*slot);
    void deliver_record(FCD3* fcd);
    void give_relative_key(FCD3* fcd) const;

    // Room for the longest message: an existing file's attributes with
    // every key the handler keeps.
    static constexpr size_t kMessageLength = 1536;

    vmq_fcb fcb_{};
    Description block_{};
    vmq_runtime_block runtime_{};
    vmq_program_context context_{};
    unsigned char status_[2] = {'0', '0'};
    char message_[kMessageLength + 1] = {};
    unsigned char* status_base_ = nullptr;
    unsigned char* message_base_ = nullptr;
    std::string name_;
    std::string open_failure_;
    const void* connector_ = nullptr;
    // Shared with other programs (LOCK MODE): opened through _IO_InitShared.
    bool shared_ = false;
    // Relative files: 4 bytes for the record number in front of the record.
    std::vector<unsigned char> relative_area_;
};

}  // namespace kvr::bridge

#endif
