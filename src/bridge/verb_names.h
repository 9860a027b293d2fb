// The COBOL statement a GnuCOBOL operation code stands for ("OPEN I-O",
// "READ NEXT", "START >=", "CLOSE REEL"), for the handler's trace and its
// messages. GnuCOBOL passes some phrases in the FCD rather than in the code
// (the CLOSE options, WRITE's ADVANCING), so the FCD is read as well.
#ifndef KVR_BRIDGE_VERB_NAMES_H
#define KVR_BRIDGE_VERB_NAMES_H

#include <string>

#include "bridge/fcd_access.h"

namespace kvr::bridge {

std::string verb_name(unsigned op, const FCD3* fcd);

}  // namespace kvr::bridge

#endif
