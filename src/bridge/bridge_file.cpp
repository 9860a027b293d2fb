#include "bridge/bridge_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bridge/file_removal.h"
#include "bridge/open_failure.h"
#include "bridge/open_files.h"
#include "vmqrmkvr/vmqrmkvr.h"
#include "vmqrmkvr/vmqrtlib.h"

namespace kvr::bridge {

namespace {

constexpr size_t kKdbHeaderSize = offsetof(KDB, key);
// The lock phrases of a READ, as GnuCOBOL puts them in the FCD's options.
constexpr uint32_t kReadLock = COB_READ_LOCK;
constexpr uint32_t kReadNoLock = COB_READ_NO_LOCK;
// The longest key the library keeps.
constexpr uint32_t kMaxKeyLength = 255;

// Reads the key definition block into key descriptions. The block is the
// program's, unchecked: it holds its header, one entry per key, then the
// keys' parts, and is exactly as long as those (kdbLen); a block whose
// length or parts point elsewhere is refused before anything past its
// header and entries is read. Each key must be one run of bytes of the
// record: a key of several parts that do not touch would be ordered by its
// first part alone, and a sparse key would index records the program
// expects it to skip, so both are refused.
bool describe_keys(const FCD3* fcd, vmq_key_description* keys, uint32_t* count, std::string* why) {
    const KDB* kdb = fcd->kdbPtr;
    if (kdb == nullptr) {
        *why = "the program gave no record key";
        return false;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(kdb);
    const uint32_t kdb_length = get_u16(kdb->kdbLen);
    const uint32_t key_count = get_u16(kdb->nkeys);
    if (key_count == 0 || key_count > kMaxKeys) {
        *why = "the key definition block names " + std::to_string(key_count) +
               " keys (1 to 64 can be kept)";
        return false;
    }
    const uint32_t parts_at = kKdbHeaderSize + key_count * sizeof(KDB_KEY);
    uint32_t part_count = 0;
    for (uint32_t k = 0; k < key_count && kdb_length >= parts_at; ++k)
        part_count += get_u16(kdb->key[k].count);
    const uint32_t needed = parts_at + part_count * sizeof(EXTKEY);
    if (kdb_length < needed) {
        *why = "the key definition block is shorter than its keys";
        return false;
    }
    if (kdb_length > needed) {
        *why = "the key definition block says it is " + std::to_string(kdb_length) +
               " bytes long; its keys take " + std::to_string(needed);
        return false;
    }
    const uint32_t record_length = get_u32(fcd->maxRecLen);
    for (uint32_t k = 0; k < key_count; ++k) {
        const KDB_KEY& key = kdb->key[k];
        const uint32_t parts = get_u16(key.count);
        const uint32_t offset = get_u16(key.offset);
        const std::string which = k == 0 ? "the record key" : "alternate key " + std::to_string(k);
        if (parts == 0 || offset < parts_at || offset + parts * sizeof(EXTKEY) > kdb_length) {
            *why = which + " is not described in the key definition block";
            return false;
        }
        if ((key.keyFlags & KEY_SPARSE) != 0) {
            *why = which + " has SUPPRESS WHEN, which this file system cannot keep";
            return false;
        }
        // Sums in 64 bits: the numbers come from the program, unchecked.
        uint64_t position = 0;
        uint64_t length = 0;
        for (uint32_t p = 0; p < parts; ++p) {
            const auto* part = reinterpret_cast<const EXTKEY*>(bytes + offset + p * sizeof(EXTKEY));
            const uint32_t part_position = get_u32(part->pos);
            const uint32_t part_length = get_u32(part->len);
            if (p == 0) {
                position = part_position;
            } else if (part_position != position + length) {
                *why = which + " is made of " + std::to_string(parts) +
                       " separate parts; a key must be one run of bytes of the record";
                return false;
            }
            length += part_length;
        }
        if (length == 0 || position + length > record_length) {
            *why = which + " lies outside the record";
            return false;
        }
        if (length > kMaxKeyLength) {
            *why = which + " is " + std::to_string(length) + " bytes long (255 at most)";
            return false;
        }
        keys[k].position = static_cast<uint32_t>(position);
        keys[k].length = static_cast<uint32_t>(length);
        keys[k].flags = (key.keyFlags & KEY_DUPS) != 0 ? VMQ_KEY_DUPLICATES : 0;
    }
    *count = key_count;
    return true;
}

}  // namespace

std::unique_ptr<BridgeFile> BridgeFile::describe(const FCD3* fcd, std::string name,
                                                 std::string* why) {
    std::unique_ptr<BridgeFile> file(new BridgeFile());
    vmq_file_description& d = file->block_.description;
    switch (fcd->fileOrg) {
        case ORG_SEQ:
            d.organization = VMQ_ORG_SEQUENTIAL;
            break;
        case ORG_INDEXED:
            d.organization = VMQ_ORG_INDEXED;
            break;
        case ORG_RELATIVE:
            d.organization = VMQ_ORG_RELATIVE;
            break;
        default:
            *why =
                "organization " + std::to_string(fcd->fileOrg) + " is not kept by this file system";
            return nullptr;
    }
    const uint32_t max_length = get_u32(fcd->maxRecLen);
    const uint32_t min_length = std::min(get_u32(fcd->minRecLen), max_length);
    if (max_length == 0) {
        *why = "the record length is 0";
        return nullptr;
    }
    if (fcd->recPtr == nullptr) {
        *why = "the program gave no record area";
        return nullptr;
    }
    if (file->indexed() && !describe_keys(fcd, file->block_.keys, &d.key_count, why))
        return nullptr;

    d.access_flags = (fcd->accessFlags & 0x7F) == ACCESS_SEQ ? VMQ_ACCESS_SEQUENTIAL : 0;
    d.record_flags = (fcd->recordMode == REC_MODE_VARIABLE || min_length != max_length)
                         ? VMQ_RECORD_VARIABLE
                         : 0;
    d.file_flags = (fcd->otherFlags & OTH_OPTIONAL) != 0 ? VMQ_FILE_OPTIONAL : 0;
    // LOCK MODE AUTOMATIC or MANUAL is how a GnuCOBOL program asks to share
    // an indexed or relative file with other programs (its SHARING phrase
    // never reaches a file handler): the FCB is set up by _IO_InitShared
    // then. Reads lock their record as the lock mode says (see read).
    file->shared_ = (d.organization & VMQ_ORG_SEQUENTIAL) == 0 &&
                    (fcd->lockMode & (FCD_LOCK_AUTO_LOCK | FCD_LOCK_MANU_LOCK)) != 0;
    d.max_record_length = max_length;
    d.min_record_length = min_length;
    d.max_area_length = max_length;
    d.min_area_length = min_length;
    d.keys_offset = offsetof(Description, keys);
    // GnuCOBOL does not say how many digits the RELATIVE KEY item has; a
    // record number of this system fits in 9.
    d.relative_key_offset = offsetof(Description, relative_key);
    file->block_.relative_key.digit_count = 9;
    d.status_offset = 0;
    d.message_offset = 0;
    d.message_length = sizeof file->message_ - 1;
    file->status_base_ = file->status_;
    file->message_base_ = reinterpret_cast<unsigned char*>(file->message_);
    d.status_base = &file->status_base_;
    d.message_base = &file->message_base_;

    file->name_ = std::move(name);
    file->connector_ = fcd->recPtr;
    file->context_.runtime = &file->runtime_;
    vmq_fcb& fcb = file->fcb_;
    fcb.description = &d;
    fcb.file_name = file->name_.data();
    fcb.record_area = fcd->recPtr;
    if (file->relative()) {
        file->relative_area_.assign(4 + static_cast<size_t>(max_length), 0);
        fcb.record_area = file->relative_area_.data() + 4;
    }
    file->install_closed_vector();
    return file;
}

void BridgeFile::install_closed_vector() {
    fcb_.read_entry = _vmqReadError;
    fcb_.write_entry = _vmqWriteError;
    fcb_.rewrite_entry = _vmqRewriteError;
    fcb_.start_entry = _vmqStartError;
    fcb_.delete_entry = _vmqDeleteError;
    fcb_.close_entry = _vmqCloseError;
    if (shared_)
        _IO_InitShared(&fcb_, &context_);
    else
        _IO_Init(&fcb_, &context_);
}

BridgeFile::~BridgeFile() {
    if (is_open()) {
        fcb_.close_options = VMQ_CLOSE_RELEASE_ONLY;
        fcb_.close_entry(&fcb_, &context_);
    }
}

std::string BridgeFile::message() const {
    std::string text(message_, strnlen(message_, sizeof message_ - 1));
    const size_t end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

void BridgeFile::run(FCD3* fcd, vmq_verb_entry vmq_fcb::*slot) {
    std::memset(message_, ' ', sizeof message_ - 1);
    (fcb_.*slot)(&fcb_, &context_);
    // The verbs report a record another program has locked as 99; a COBOL
    // program knows it as 51.
    if (status_[0] == '9' && status_[1] == '9')
        set_status(fcd, 51);
    else
        set_status(fcd, static_cast<char>(status_[0]), static_cast<char>(status_[1]));
}

bool BridgeFile::take_relative_key(FCD3* fcd, unsigned beyond_status) {
    if (!relative_key_fits(fcd)) {
        // 2^32 or more: no record of this system has that number, and cut
        // to 32 bits it would name one that may.
        std::memset(message_, ' ', sizeof message_ - 1);
        set_status(fcd, beyond_status);
        return false;
    }
    fcb_.relative_number = relative_key(fcd);
    return true;
}

void BridgeFile::give_relative_key(FCD3* fcd) const {
    set_relative_key(fcd, fcb_.relative_number);
}

void BridgeFile::take_record(FCD3* fcd) {
    const uint32_t max_length = block_.description.max_record_length;
    const uint32_t length = get_u32(fcd->curRecLen);
    fcb_.write_length = length;
    if (relative()) {
        std::memcpy(relative_area_.data() + 4, fcd->recPtr, std::min(length, max_length));
        fcb_.record_area = relative_area_.data() + 4;
    } else {
        fcb_.record_area = fcd->recPtr;
    }
}

void BridgeFile::deliver_record(FCD3* fcd) {
    const uint32_t length = std::min(fcb_.read_length, block_.description.max_record_length);
    if (relative()) {
        std::memcpy(fcd->recPtr, relative_area_.data() + 4, length);
        give_relative_key(fcd);
    }
    put_u32(fcd->curRecLen, length);
}

std::string BridgeFile::duplicates_difference_with_file() {
    struct stat about {};
    if (!indexed() || ::stat(name_.c_str(), &about) != 0)
        return "";
    // The library compares no duplicates rule: its runtime's programs do
    // not ask it to. Asked to open the file INPUT for a program of no keys,
    // it refuses and reports the file's attribute block, each key with its rule.
    vmq_file_description& d = block_.description;
    const uint32_t key_count = d.key_count;
    const uint8_t file_flags = d.file_flags;
    d.key_count = 0;
    d.file_flags = static_cast<uint8_t>(file_flags & ~VMQ_FILE_OPTIONAL);
    fcb_.open_request = VMQ_OPEN_INPUT;
    std::memset(message_, ' ', sizeof message_ - 1);
    fcb_.open_entry(&fcb_, &context_);
    d.key_count = key_count;
    d.file_flags = file_flags;
    if (is_open()) {
        // An indexed file without keys is none the library makes; it is let
        // go, and the FCB made closed again for the OPEN to come.
        fcb_.close_options = VMQ_CLOSE_RELEASE_ONLY;
        fcb_.close_entry(&fcb_, &context_);
        install_closed_vector();
        return "";
    }
    return duplicates_difference(library_report(fcb_), d, block_.keys);
}

void BridgeFile::open(FCD3* fcd, uint16_t request) {
    open_failure_.clear();
    // A program whose keys allow duplicates where the file's do not, or
    // the other way round, is refused as one whose keys lie elsewhere.
    if ((request & VMQ_OPEN_OUTPUT) == 0) {
        if (std::string why = duplicates_difference_with_file(); !why.empty()) {
            set_status(fcd, 39);
            open_failure_ = std::move(why);
            return;
        }
    }
    fcb_.open_request = request;
    run(fcd, &vmq_fcb::open_entry);
    if (is_open())
        return;
    unsigned status = fcb_.status;
    LibraryReport said = library_report(fcb_);
    std::string removal_failure;
    // The library's own OUTPUT keeps a file of another layout (39): its
    // runtime's callers rely on that. A GnuCOBOL program relies on OUTPUT
    // making the file anew, whatever was there.
    if (request == VMQ_OPEN_OUTPUT && output_may_replace(status, said.code, name_)) {
        int error = 0;
        switch (remove_unless_in_use(name_, &error)) {
            case Removal::Removed:
                run(fcd, &vmq_fcb::open_entry);
                if (is_open())
                    return;
                status = fcb_.status;
                said = library_report(fcb_);
                break;
            case Removal::InUse:
                status = 98;
                said = LibraryReport{};
                said.code = Diagnostic::kFileInUse;
                break;
            case Removal::Failed:
                status = error == EACCES || error == EPERM || error == EROFS ? 37 : 30;
                removal_failure = "; it cannot be removed to make it anew: ";
                removal_failure += std::strerror(error);
                break;
        }
        set_status(fcd, status);
    }
    const bool held_here =
        said.code == Diagnostic::kFileInUse && OpenFiles::instance().holds(name_);
    const FailedOpen failed{name_,       request,  status, said, &block_.description,
                            block_.keys, held_here};
    open_failure_ = explain_open_failure(failed) + removal_failure;
}

void BridgeFile::close(FCD3* fcd, CloseKind kind) {
    if (kind == CloseKind::ReelOrUnit) {
        // The file stays open where it was. The library's sequential CLOSE
        // does that when asked; its indexed and relative CLOSE know no such
        // request, so the handler answers for them.
        if (!indexed() && !relative()) {
            fcb_.close_options = VMQ_CLOSE_REPORT_07;
            run(fcd, &vmq_fcb::close_entry);
        } else {
            set_status(fcd, 7);
        }
        return;
    }
    fcb_.close_options = kind == CloseKind::WithLock ? VMQ_CLOSE_WITH_LOCK : 0;
    run(fcd, &vmq_fcb::close_entry);
    // The FCB's status is the CLOSE's own: a failing CLOSE shows it even
    // where the status item still holds the verb before (a WRITE's 02).
    if (fcb_.status >= 10) {
        set_status(fcd, fcb_.status);
        return;
    }
    if (is_open()) {
        // Kept open without an error status: still not closed.
        set_status(fcd, 30);
        return;
    }
    // NO REWIND means nothing to a disk file: it is closed, and the
    // program is told so with 07.
    if (kind == CloseKind::NoRewind && fcb_.status == 0)
        set_status(fcd, 7);
}

bool BridgeFile::close_at_exit() {
    std::memset(message_, ' ', sizeof message_ - 1);
    fcb_.record_area = nullptr;
    fcb_.close_options = 0;
    fcb_.close_entry(&fcb_, &context_);
    return fcb_.status < 10 && !is_open();
}

void BridgeFile::read(FCD3* fcd, ReadKind kind) {
    fcb_.record_area = relative() ? relative_area_.data() + 4 : fcd->recPtr;
    switch (kind) {
        case ReadKind::Next:
            fcb_.verb_options = VMQ_READ_NEXT;
            break;
        case ReadKind::Previous:
            fcb_.verb_options = VMQ_READ_PREVIOUS;
            break;
        case ReadKind::Random:
            fcb_.verb_options = 0;
            if (indexed()) {
                // A key the file does not have is the library's to refuse.
                fcb_.verb_options = VMQ_KEY_IS;
                fcb_.key_of_reference = key_of_reference(fcd);
            } else if (relative() && !take_relative_key(fcd, 23)) {
                return;
            }
            break;
    }
    if (!indexed() && !relative())
        fcb_.verb_options = 0;
    // Under LOCK MODE AUTOMATIC every read locks its record unless it says
    // WITH NO LOCK; under MANUAL only READ ... WITH LOCK does. GnuCOBOL
    // passes those phrases in the FCD's options word.
    uint8_t& lock_flags = block_.description.lock_flags;
    if (shared_) {
        const uint32_t options = get_u32(reinterpret_cast<const unsigned char*>(fcd->opt));
        const bool locks = (fcd->lockMode & FCD_LOCK_AUTO_LOCK) != 0 ? (options & kReadNoLock) == 0
                                                                     : (options & kReadLock) != 0;
        lock_flags = static_cast<uint8_t>(locks ? lock_flags | VMQ_LOCK_RECORDS
                                                : lock_flags & ~VMQ_LOCK_RECORDS);
    }
    run(fcd, &vmq_fcb::read_entry);
    if (fcb_.status < 10)
        deliver_record(fcd);
}

void BridgeFile::start(FCD3* fcd, Relation relation) {
    static constexpr uint32_t kRelation[] = {
        VMQ_START_EQUAL,       VMQ_START_GREATER,  VMQ_START_NOT_LESS,   VMQ_START_LESS,
        VMQ_START_NOT_GREATER, VMQ_START_NOT_LESS, VMQ_START_NOT_GREATER};
    fcb_.verb_options = kRelation[static_cast<int>(relation)];
    const bool first = relation == Relation::First;
    const bool last = relation == Relation::Last;
    if (!indexed()) {
        fcb_.record_area = relative() ? relative_area_.data() + 4 : fcd->recPtr;
        if (first)
            fcb_.relative_number = 1;
        else if (last)
            fcb_.relative_number = 0xFFFFFFFFu;
        else if (!take_relative_key(fcd, 23))
            return;
        run(fcd, &vmq_fcb::start_entry);
        return;
    }
    const uint32_t k = get_u16(fcd->refKey);
    fcb_.verb_options |= VMQ_KEY_IS;
    fcb_.key_of_reference = key_of_reference(fcd);
    if (k >= block_.description.key_count) {
        // A key the file does not have: the library refuses it.
        fcb_.record_area = fcd->recPtr;
        run(fcd, &vmq_fcb::start_entry);
        return;
    }
    const vmq_key_description& key = block_.keys[k];
    const uint32_t given = get_u16(fcd->effKeyLen);
    fcb_.start_key_length =
        static_cast<uint16_t>(given == 0 || given > key.length ? key.length : given);
    fcb_.record_area = fcd->recPtr;
    if (!first && !last) {
        run(fcd, &vmq_fcb::start_entry);
        return;
    }
    // FIRST and LAST start from the lowest or highest value the key can
    // hold; the program's record is left as it was.
    // A plain array: no destructor for a jump out of the verb to skip.
    unsigned char saved[kMaxKeyLength];
    std::memcpy(saved, fcd->recPtr + key.position, key.length);
    std::memset(fcd->recPtr + key.position, first ? 0x00 : 0xFF, key.length);
    fcb_.start_key_length = static_cast<uint16_t>(key.length);
    run(fcd, &vmq_fcb::start_entry);
    std::memcpy(fcd->recPtr + key.position, saved, key.length);
}

void BridgeFile::write(FCD3* fcd, uint8_t advance_options, uint32_t advance_lines) {
    take_record(fcd);
    if (relative() && !sequential_access() && !take_relative_key(fcd, 24))
        return;
    fcb_.advance_options = advance_options;
    fcb_.advance_lines = advance_lines;
    run(fcd, &vmq_fcb::write_entry);
    if (relative() && fcb_.status < 10)
        give_relative_key(fcd);
    // A sequential file with no room for the record is at its boundary:
    // COBOL's 34, where the library gives its runtime's callers 30.
    if (!indexed() && !relative() && fcb_.status == 30 &&
        library_report(fcb_).code == Diagnostic::kNoSpace)
        set_status(fcd, 34);
}

void BridgeFile::rewrite(FCD3* fcd) {
    take_record(fcd);
    if (relative() && !sequential_access() && !take_relative_key(fcd, 23))
        return;
    run(fcd, &vmq_fcb::rewrite_entry);
}

void BridgeFile::remove(FCD3* fcd) {
    fcb_.record_area = relative() ? relative_area_.data() + 4 : fcd->recPtr;
    if (relative() && !sequential_access() && !take_relative_key(fcd, 23))
        return;
    run(fcd, &vmq_fcb::delete_entry);
}

uint16_t BridgeFile::key_of_reference(const FCD3* fcd) {
    // 1-based; past 65535 stays past every key.
    return static_cast<uint16_t>(std::min<uint32_t>(get_u16(fcd->refKey) + 1, 0xFFFF));
}

}  // namespace kvr::bridge
