// The kvr program, run as a person runs it, for the tests below the tools
// that want their files read by it too. The test target defines
// KVR_PROGRAM as the program's path.
#ifndef KVR_TESTS_SUPPORT_KVR_PROGRAM_H
#define KVR_TESTS_SUPPORT_KVR_PROGRAM_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace kvr::test {

// Runs `kvr args...` with its standard output thrown away and its errors on
// the test's; its exit status, or -1 when it could not run or did not exit.
inline int run_kvr_program(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(KVR_PROGRAM)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, KVR_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace kvr::test

#endif
