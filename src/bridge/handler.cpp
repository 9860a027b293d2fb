// KVRFH: the external file handler GnuCOBOL calls for every file verb of a
// program compiled with -fcallfh=KVRFH. Record-sequential, relative and
// indexed files are kept by this file system; LINE SEQUENTIAL files (and
// LINAGE files, which GnuCOBOL makes line sequential) go on to GnuCOBOL's
// own handler, EXTFH, so a program may mix both.
//
// GnuCOBOL makes a new FCD for each OPEN and frees it after every CLOSE,
// failed or not. The open file hangs off the FCD's file handle and belongs
// to the table of open files (open_files.h), which closes what a program
// leaves open when the process ends and finds a file whose CLOSE failed
// again for the connector's next FCD. The other thing that must outlive
// the FCD is that a file connector was closed WITH LOCK, so that a later
// OPEN of it fails with 38. The runtime keeps that in its FCB for the whole
// run unit; here a small table of locked connectors does. These two tables
// are the handler's only process-wide state.
//
// Every OPEN that fails prints one line on standard error: the file, the
// statement, the status and why, in words. Set KVRFH_TRACE to print every
// statement with its FILE STATUS on standard error; it is read at each
// verb, so a program may switch it on for part of its run.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "bridge/bridge_file.h"
#include "bridge/fcd_access.h"
#include "bridge/file_name.h"
#include "bridge/file_removal.h"
#include "bridge/open_files.h"
#include "bridge/operations.h"
#include "bridge/verb_names.h"

namespace kvr::bridge {

namespace {

// A connector is named by the program's record area and the file it was
// assigned to.
class LockedConnectors {
public:
    bool contains(const void* connector, const std::string& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        return connectors_.count({connector, name}) != 0;
    }
    void add(const void* connector, const std::string& name) {
        std::lock_guard<std::mutex> guard(mutex_);
        connectors_.insert({connector, name});
    }

private:
    std::mutex mutex_;
    std::set<std::pair<const void*, std::string>> connectors_;
};

LockedConnectors& locked_connectors() {
    static LockedConnectors connectors;
    return connectors;
}

bool tracing() {
    return std::getenv("KVRFH_TRACE") != nullptr;
}

// The open file of the FCD's handle, looked up: an FCD may carry the handle
// of a file closed meanwhile through another FCD.
BridgeFile* open_file_of(const FCD3* fcd) {
    return OpenFiles::instance().find(fcd->fileHandle);
}

unsigned char fcd_open_mode(const BridgeFile& file) {
    const uint16_t mode = file.open_mode();
    if ((mode & VMQ_OPEN_INPUT) != 0)
        return OPEN_INPUT;
    if ((mode & VMQ_OPEN_OUTPUT) != 0)
        return OPEN_OUTPUT;
    if ((mode & VMQ_OPEN_EXTEND) != 0)
        return OPEN_EXTEND;
    return OPEN_IO;
}

// The file an FCD names. An FCD without a file handle may be the new FCD
// GnuCOBOL made for a connector whose CLOSE failed: that file is still open
// and becomes this FCD's.
BridgeFile* file_of(FCD3* fcd) {
    if (BridgeFile* file = open_file_of(fcd))
        return file;
    OpenFiles& files = OpenFiles::instance();
    if (!files.any_kept())
        return nullptr;
    void* handle = files.kept(fcd->recPtr, resolve_file_name(fcd));
    BridgeFile* file = files.find(handle);
    if (file != nullptr) {
        fcd->fileHandle = handle;
        fcd->openMode = fcd_open_mode(*file);
    }
    return file;
}

// One line for an OPEN that failed, with the status it left in the FCD.
void say_open_failed(unsigned op, const FCD3* fcd, const std::string& name,
                     const std::string& why) {
    // The program's own output first, so that the two read in order where
    // both go to one file.
    std::fflush(stdout);
    std::fprintf(stderr, "KVRFH: cannot open %s (%s, status %c%c): %s\n", name.c_str(),
                 verb_name(op, fcd).c_str(), fcd->fileStatus[0], fcd->fileStatus[1], why.c_str());
}

void open_file(FCD3* fcd, unsigned op, uint16_t request, unsigned char mode) {
    if (BridgeFile* file = file_of(fcd); file != nullptr && file->is_open()) {
        set_status(fcd, 41);
        say_open_failed(op, fcd, file->name(), "it is open already");
        return;
    }
    const std::string name = resolve_file_name(fcd);
    if (locked_connectors().contains(fcd->recPtr, name)) {
        set_status(fcd, 38);
        say_open_failed(op, fcd, name, "the program closed it WITH LOCK");
        return;
    }
    std::string why;
    std::unique_ptr<BridgeFile> file = BridgeFile::describe(fcd, name, &why);
    if (file == nullptr) {
        set_status(fcd, '9', '1');
        say_open_failed(op, fcd, name, why);
        fcd->openMode = OPEN_NOT_OPEN;
        return;
    }
    file->open(fcd, request);
    if (file->is_open()) {
        fcd->openMode = mode;
        fcd->fileHandle = OpenFiles::instance().add(std::move(file));
    } else {
        fcd->openMode = OPEN_NOT_OPEN;
        say_open_failed(op, fcd, name, file->open_failure());
    }
}

// The kind of a CLOSE: from its code, or from the phrase GnuCOBOL passes
// in the options of a plain OP_CLOSE.
CloseKind close_kind(const Operation& operation, const FCD3* fcd) {
    if (operation.naming != Naming::InOptions)
        return operation.close;
    switch (fcd_options(fcd)) {
        case COB_CLOSE_LOCK:
            return CloseKind::WithLock;
        case COB_CLOSE_NO_REWIND:
            return CloseKind::NoRewind;
        case COB_CLOSE_UNIT:
        case COB_CLOSE_UNIT_REMOVAL:
            return CloseKind::ReelOrUnit;
        default:
            return CloseKind::Normal;
    }
}

void close_file(FCD3* fcd, const Operation& operation) {
    BridgeFile* file = file_of(fcd);
    if (file == nullptr) {
        set_status(fcd, 42);
        return;
    }
    const CloseKind kind = close_kind(operation, fcd);
    file->close(fcd, kind);
    if (file->is_open()) {
        // Still open, for the verbs to come on this FCD or, from GnuCOBOL,
        // on the next one it makes for the connector.
        OpenFiles::instance().keep_after_close(file);
        return;
    }
    if (kind == CloseKind::WithLock)
        locked_connectors().add(file->connector(), file->name());
    OpenFiles::instance().remove(file);
    fcd->fileHandle = nullptr;
    fcd->openMode = OPEN_NOT_OPEN;
}

// DELETE FILE: the file must be closed, here and everywhere else. It is
// removed by name only while we hold the lock an open takes, so that a file
// another connector or program has open (98, as OPEN gives) is never taken
// from under it.
void delete_file(FCD3* fcd) {
    if (BridgeFile* file = file_of(fcd); file != nullptr && file->is_open()) {
        set_status(fcd, 41);
        return;
    }
    const std::string name = resolve_file_name(fcd);
    int error = ENOENT;
    struct stat about {};
    if (!name.empty() && ::stat(name.c_str(), &about) == 0) {
        switch (remove_unless_in_use(name, &error)) {
            case Removal::Removed:
                set_status(fcd, 0);
                return;
            case Removal::InUse:
                set_status(fcd, 98);
                return;
            case Removal::Failed:
                break;
        }
    }
    if (error == ENOENT)
        set_status(fcd, (fcd->otherFlags & OTH_OPTIONAL) != 0 ? 5 : 35);
    else if (error == EACCES || error == EPERM || error == EROFS)
        set_status(fcd, 37);
    else
        set_status(fcd, 30);
}

// WRITE's ADVANCING phrase, from the operation code or from the options
// GnuCOBOL passes with a plain WRITE.
void advancing(const Operation& operation, const FCD3* fcd, uint8_t* options, uint32_t* lines) {
    *options = operation.advancing;
    *lines = 1;
    if (operation.advancing != 0) {
        if ((operation.advancing & VMQ_ADVANCE_PAGE) == 0)
            *lines = get_u16(fcd->lineCount);
        return;
    }
    const uint32_t given = fcd_options(fcd);
    if ((given & (COB_WRITE_BEFORE | COB_WRITE_AFTER)) == 0)
        return;
    *options = (given & COB_WRITE_BEFORE) != 0 ? VMQ_ADVANCE_BEFORE : VMQ_ADVANCE_AFTER;
    if ((given & COB_WRITE_PAGE) != 0)
        *options |= VMQ_ADVANCE_PAGE;
    else if ((given & COB_WRITE_LINES) != 0)
        *lines = given & COB_WRITE_MASK;
}

// Verbs on a file that is not open: the statuses COBOL gives them.
unsigned status_when_closed(Action action) {
    switch (action) {
        case Action::Write:
            return 48;
        case Action::Rewrite:
        case Action::Delete:
            return 49;
        default:
            return 47;
    }
}

void record_verb(FCD3* fcd, const Operation& operation) {
    BridgeFile* file = file_of(fcd);
    if (file == nullptr) {
        set_status(fcd, status_when_closed(operation.action));
        return;
    }
    if (fcd->recPtr == nullptr) {
        set_status(fcd, '9', '1');
        return;
    }
    switch (operation.action) {
        case Action::ReadNext:
            file->read(fcd, ReadKind::Next);
            return;
        case Action::ReadPrevious:
            file->read(fcd, ReadKind::Previous);
            return;
        case Action::ReadRandom:
            file->read(fcd, ReadKind::Random);
            return;
        case Action::ReadFirst:
            file->start(fcd, Relation::First);
            if (file->status() == 0)
                file->read(fcd, ReadKind::Next);
            return;
        case Action::Start:
            file->start(fcd, operation.relation);
            return;
        case Action::Write: {
            uint8_t options = 0;
            uint32_t lines = 1;
            advancing(operation, fcd, &options, &lines);
            file->write(fcd, options, lines);
            return;
        }
        case Action::Rewrite:
            file->rewrite(fcd);
            return;
        case Action::Delete:
            file->remove(fcd);
            return;
        default:
            break;
    }
    // Never reached: handle() passes record verbs only.
    set_status(fcd, '9', '1');
}

void trace(unsigned op, const FCD3* fcd) {
    const BridgeFile* file = open_file_of(fcd);
    std::string name = file != nullptr ? file->name() : resolve_file_name(fcd);
    std::fflush(stdout);
    // Every status with what it means; the library's message follows when
    // it says more than its code 0 (a code of its own, or a text).
    std::string text = status_text(fcd->fileStatus[0], fcd->fileStatus[1]);
    const std::string message = file != nullptr ? file->message() : std::string();
    if (!message.empty() && message.find_first_not_of("0") != std::string::npos)
        text += "; " + message;
    std::fprintf(stderr, "KVRFH %-20s %-22s status %c%c  (%s)\n", name.c_str(),
                 verb_name(op, fcd).c_str(), fcd->fileStatus[0], fcd->fileStatus[1], text.c_str());
}

}  // namespace

int handle(unsigned op, FCD3* fcd) {
    const VerbUnderWay under_way;
    // The message area holds this statement's message alone (the trace
    // shows it): none when the library is not reached.
    if (BridgeFile* file = open_file_of(fcd))
        file->clear_message();
    const Operation* operation = find_operation(op);
    if (operation == nullptr) {
        set_status(fcd, '9', '1');  // an operation this file system does not offer
    } else if (operation->action == Action::Open) {
        open_file(fcd, op, operation->open_request, operation->open_mode);
    } else if (operation->action == Action::Close) {
        close_file(fcd, *operation);
    } else if (operation->action == Action::DeleteFile) {
        delete_file(fcd);
    } else if (operation->action == Action::Nothing) {
        // Every verb has reached the file when it returns and records are
        // not locked across verbs: nothing is left to do.
        set_status(fcd, 0);
    } else {
        record_verb(fcd, *operation);
    }
    if (tracing())
        trace(op, fcd);
    return fcd->fileStatus[0] == '9' ? 1 : 0;
}

}  // namespace kvr::bridge

extern "C" __attribute__((visibility("default"))) int KVRFH(unsigned char* opcode, FCD3* fcd) {
    if (opcode == nullptr || fcd == nullptr)
        return -1;
    if (fcd->fileOrg != ORG_SEQ && fcd->fileOrg != ORG_INDEXED && fcd->fileOrg != ORG_RELATIVE)
        return EXTFH(opcode, fcd);
    return kvr::bridge::handle(kvr::bridge::operation_code(opcode), fcd);
}
