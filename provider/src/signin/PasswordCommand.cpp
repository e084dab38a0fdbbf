#include "signin/PasswordCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char **environ;

namespace kmp {

int g_passwordCommandSeconds = 30;

namespace {

// More than any password or token; a command that prints more is cut off.
constexpr std::size_t kMaxOutput = 64 * 1024;

} // namespace

std::optional<Secret> RunPasswordCommand(const std::string &command, std::string *why)
{
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *why = std::strerror(errno);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    // A group of its own, so that a time-out ends whatever it started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    const char *argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        *why = std::string("it cannot be run: ") + std::strerror(rc);
        return std::nullopt;
    }
    std::string output;
    bool timedOut = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(g_passwordCommandSeconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (output.size() < kMaxOutput)
            output.append(buffer, static_cast<std::size_t>(std::min<std::size_t>(n, kMaxOutput - output.size())));
    }
    close(fds[0]);
    if (timedOut)
        kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::size_t end = std::min(output.find('\n'), output.size());
    if (end > 0 && output[end - 1] == '\r')
        --end;
    Secret line(output.substr(0, end));
    ClearText(output);
    if (timedOut) {
        *why = "it did not finish within its time bound (" + std::to_string(g_passwordCommandSeconds) + " s)";
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *why = WIFEXITED(status) ? "it exited with status " + std::to_string(WEXITSTATUS(status))
                                 : "it was ended by signal " + std::to_string(WTERMSIG(status));
        return std::nullopt;
    }
    if (line.Empty()) {
        *why = "its first line is empty";
        return std::nullopt;
    }
    // A secret goes into protocol commands: no control character may ride along.
    for (const char c : line.Text())
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            *why = "its first line holds a control character";
            return std::nullopt;
        }
    return line;
}

} // namespace kmp
