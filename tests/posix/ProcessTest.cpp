// Helper programs as the library runs them: an interrupt passed on to a
// helper's group, and a helper started detached from us.
#include "posix/Interrupt.h"
#include "posix/Process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace {

// What arrives on `fd` until its end or `bound`.
std::string ReadAll(int fd, std::chrono::seconds bound)
{
    std::string text;
    const auto giveUp = std::chrono::steady_clock::now() + bound;
    char buffer[256];
    for (pollfd p{fd, POLLIN, 0}; std::chrono::steady_clock::now() < giveUp && poll(&p, 1, 100) >= 0;) {
        if ((p.revents & (POLLIN | POLLHUP)) == 0)
            continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

// Only running work takes an interrupt; a helper's whole group gets SIGINT
// (here the shell and the program it waits for), and the result says so.
TEST(Process, AnInterruptReachesTheHelpersGroupAndIsSaid)
{
    EXPECT_FALSE(kelvra_posix::Interrupt()); // nothing runs to take it
    auto running = std::async(std::launch::async, [] {
        return kelvra_posix::RunProgram({"/bin/sh", "-c", "sleep 30; echo went on"}, std::chrono::seconds(60));
    });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!kelvra_posix::Interrupt() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(running.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const auto result = running.get();
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->interrupted);
    EXPECT_FALSE(result->timedOut); // it ended on the signal, not at the grace's end
    EXPECT_EQ(result->output, "");
    EXPECT_NE(result->exitCode, 0);
}

// A detached helper runs in a session of its own, is no child of ours (no
// zombie, nothing to wait for) and writes its exit status to the descriptor
// given; it gets no other descriptor of ours.
TEST(Process, ADetachedHelperIsNoChildOfOursAndSaysItsStatus)
{
    int status[2], said[2];
    ASSERT_EQ(pipe2(status, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(said, O_CLOEXEC), 0);
    const int stray = open("/dev/null", O_RDONLY); // without close-on-exec
    ASSERT_TRUE(kelvra_posix::StartDetached(
        {"/bin/sh", "-c",
         "read pid comm state ppid pgrp sid rest < /proc/$$/stat; echo $ppid $sid >&2; exec ls /proc/self/fd >&2"},
        said[1], status[1]));
    close(status[1]);
    close(said[1]);
    EXPECT_EQ(ReadAll(status[0], std::chrono::seconds(10)), "0\n");
    const std::string text = ReadAll(said[0], std::chrono::seconds(10));
    const std::string ids = text.substr(0, text.find('\n'));
    EXPECT_NE(ids.substr(0, ids.find(' ')), std::to_string(getpid())); // its parent
    EXPECT_NE(ids.substr(ids.find(' ') + 1), std::to_string(getsid(0))); // its session
    EXPECT_EQ(text.substr(text.find('\n') + 1), "0\n1\n2\n3\n"); // 0, 1, 2 and ls's listing: none of ours
    close(stray);
    close(status[0]);
    close(said[0]);
}
