// Waiting for a child process a test started, for a bounded time: a child
// that does not end in it is killed (and the test fails), so no test waits
// on one for ever and none outlives its test.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

namespace provider_test {

// The child's wait status; a child still running after `bound` is killed
// with SIGKILL and reported as a failure of the test.
inline int WaitBounded(pid_t pid, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::microseconds(100);
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno != EINTR))
            return status;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "child " << pid << " still running after " << bound.count() << " ms: killed";
            return status;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

} // namespace provider_test
