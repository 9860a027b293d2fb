// The name a GnuCOBOL program's file is assigned to, mapped to a path the
// way GnuCOBOL's own handler maps it: blanks around the name dropped; a
// leading $VAR replaced by the variable's value; a plain name (no '/')
// replaced by the value of DD_name, dd_name or name when one is set, else
// put under COB_FILE_PATH when that is set.
#ifndef KVR_BRIDGE_FILE_NAME_H
#define KVR_BRIDGE_FILE_NAME_H

#include <string>

#include "bridge/fcd_access.h"

namespace kvr::bridge {

std::string resolve_file_name(const FCD3* fcd);

}  // namespace kvr::bridge

#endif
