// kvr: inspects, checks and repairs the files of this system.
#include <cstdio>

#include "tools/kvr_tool.h"

int main(int argc, char** argv) {
    return kvr::tools::run(argc, argv, stdout, stderr);
}
