// Other processes for the tests that need one: a child that runs a function
// and ends, and one that takes something (an open, a lock) and holds it until
// it is ended.
#ifndef KVR_TESTS_SUPPORT_CHILD_H
#define KVR_TESTS_SUPPORT_CHILD_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace kvr::test {

// Runs `body` in a child process: its exit status, or minus the signal that
// ended it.
template <typename Body>
int in_child(Body body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// A child that has done `take` (true when it succeeded) and then waits,
// stopped when `stop`, until end() kills it. take() is checked to have
// succeeded before the constructor returns.
class Holder {
public:
    template <typename Take>
    explicit Holder(Take take, bool stop = false) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        std::fflush(nullptr);
        pid = ::fork();
        if (pid == 0) {
            const char done = take() ? 'y' : 'n';
            (void)!::write(ready[1], &done, 1);
            stop ? ::raise(SIGSTOP) : ::pause();
            ::_exit(0);
        }
        char done = 0;
        EXPECT_EQ(::read(ready[0], &done, 1), 1);
        EXPECT_EQ(done, 'y') << "the child could not take what it holds";
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~Holder() { end(); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    void end() {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    pid_t pid = -1;
};

}  // namespace kvr::test

#endif  // KVR_TESTS_SUPPORT_CHILD_H
