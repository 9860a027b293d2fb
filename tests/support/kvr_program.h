// The kvr program, run as a person runs it, for the tests below the tools
// that want their files read by it too. The test target defines
// KVR_PROGRAM as the program's path.
#ifndef KVR_TESTS_SUPPORT_KVR_PROGRAM_H
#define KVR_TESTS_SUPPORT_KVR_PROGRAM_H

#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kvr::test {

// Runs `kvr args...` (no argument holds a quote) with its standard output
// thrown away and its errors on the test's; its exit status, or -1 when it
// could not run or did not exit.
inline int run_kvr_program(const std::vector<std::string>& args) {
    std::string command = "'" KVR_PROGRAM "'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    const int status = std::system((command + " >/dev/null").c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kvr::test

#endif
