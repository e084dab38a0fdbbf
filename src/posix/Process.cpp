#include "posix/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char **environ;

namespace kelvra_posix {

namespace {

// How often a read that waits looks whether the helper has exited.
constexpr int kLookMs = 50;

// The attributes of every helper: a group of its own (a time-out ends
// whatever it started), no blocked and no ignored signal of ours.
struct Attributes {
    Attributes()
    {
        posix_spawnattr_init(&value);
        posix_spawnattr_setflags(&value, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&value, 0);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&value, &none);
        posix_spawnattr_setsigdefault(&value, &all);
    }
    ~Attributes() { posix_spawnattr_destroy(&value); }
    Attributes(const Attributes &) = delete;
    Attributes &operator=(const Attributes &) = delete;
    posix_spawnattr_t value;
};

struct Actions {
    explicit Actions(int output)
    {
        posix_spawn_file_actions_init(&value);
        posix_spawn_file_actions_addopen(&value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        // dup2 clears close-on-exec on the copy: the child's output stays open.
        posix_spawn_file_actions_adddup2(&value, output, STDOUT_FILENO);
        // Whatever another part of the process opened without close-on-exec.
        posix_spawn_file_actions_addclosefrom_np(&value, 3);
    }
    ~Actions() { posix_spawn_file_actions_destroy(&value); }
    Actions(const Actions &) = delete;
    Actions &operator=(const Actions &) = delete;
    posix_spawn_file_actions_t value;
};

// Reads what there is to read now, without waiting; false at the end.
bool Drain(int fd, RunResult &result, std::size_t maxOutput)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        const std::size_t room = maxOutput - std::min(maxOutput, result.output.size());
        result.output.append(buffer, std::min(static_cast<std::size_t>(n), room));
    }
}

} // namespace

std::optional<RunResult> RunProgram(const std::vector<std::string> &args, std::chrono::milliseconds bound,
                                    std::size_t maxOutput)
{
    if (args.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = 0;
    {
        const Actions actions(fds[1]);
        const Attributes attributes;
        rc = posix_spawnp(&pid, argv[0], &actions.value, &attributes.value, argv.data(), environ);
    }
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        errno = rc;
        return std::nullopt;
    }
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    RunResult result;
    result.output.reserve(std::min<std::size_t>(maxOutput, 64 * 1024)); // a secret is not left in a freed copy
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    bool exited = false, open = true;
    while (!exited) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (open) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left, kLookMs))) > 0)
                open = Drain(fds[0], result, maxOutput);
        } else {
            usleep(static_cast<useconds_t>(std::min<long long>(left, kLookMs)) * 1000);
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        exited = done == pid || (done < 0 && errno != EINTR);
    }
    if (exited && open)
        Drain(fds[0], result, maxOutput); // what it wrote before it went; never what others write later
    close(fds[0]);
    if (!exited)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    result.exitCode = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

} // namespace kelvra_posix
