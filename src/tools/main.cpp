// kvr: inspects, checks and repairs the files of this system.
#include <cstdio>

#include "tools/kvr_tool.h"
#include "tools/tool_support.h"

int main(int argc, char** argv) {
    kvr::tools::remove_pending_files_on_signals();
    return kvr::tools::run(argc, argv, stdout, stderr);
}
