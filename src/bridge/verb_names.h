// The COBOL statement a GnuCOBOL operation code stands for ("OPEN I-O",
// "READ NEXT", "START >=", "CLOSE REEL"), for the handler's trace and its
// messages, and what the FILE STATUS it ends with means. GnuCOBOL passes
// some phrases in the FCD rather than in the code (the CLOSE options,
// WRITE's ADVANCING), so the FCD is read as well.
#ifndef KVR_BRIDGE_VERB_NAMES_H
#define KVR_BRIDGE_VERB_NAMES_H

#include <string>

#include "bridge/fcd_access.h"

namespace kvr::bridge {

std::string verb_name(unsigned op, const FCD3* fcd);

// What a FILE STATUS tells the program, in words ("no record has that
// key"), for the trace: every status has a text, one this file system
// never gives the text of its class.
std::string status_text(char first, char second);

}  // namespace kvr::bridge

#endif
