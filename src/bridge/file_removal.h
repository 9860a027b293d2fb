// Removing a file that no KVR user has open, so that OPEN OUTPUT can make
// it anew.
//
// The library's share modes are locks held for as long as a file is open
// (platform/share_locks.h): every user holds one on the file's presence
// byte, a shared one or, to be alone, an exclusive one. The file is
// unlinked while this holds the exclusive lock, taken without waiting, so
// no KVR user - in another process, or through another file of this one -
// has it open at that moment. A file this process may only read cannot be
// held so: it is unlinked when nobody holds it just before. One that opens it afterwards finds
// the name gone: the library's open checks, once it holds its lock, that
// the name still leads to the file it opened.
#ifndef KVR_BRIDGE_FILE_REMOVAL_H
#define KVR_BRIDGE_FILE_REMOVAL_H

#include <string>

namespace kvr::bridge {

enum class Removal {
    Removed,  // the name is free (also when someone else removed the file)
    InUse,    // a KVR user has the file open: it is left as it was
    Failed,   // the system refused; *error holds its errno
};

Removal remove_unless_in_use(const std::string& path, int* error);

}  // namespace kvr::bridge

#endif
