#include "posix/Process.h"

#include "posix/Interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

extern char **environ;

namespace kelvra_posix {

namespace {

// How often a read that waits looks whether the helper has exited.
constexpr int kLookMs = 50;
// How long a killed helper is waited for.
constexpr std::chrono::seconds kReapBound{5};

// Where a helper runs: in our process group (sharing the terminal), in a
// group of its own (a time-out ends whatever it started), or in a session
// of its own (detached: no signal of a terminal or a group meant for the
// application reaches it).
enum class Place { kOurGroup, kOwnGroup, kOwnSession };

// The attributes of every helper: where it runs, no blocked and no ignored
// signal of ours.
struct Attributes {
    explicit Attributes(Place place)
    {
        posix_spawnattr_init(&value);
        const int where = place == Place::kOwnGroup ? POSIX_SPAWN_SETPGROUP
                          : place == Place::kOwnSession ? POSIX_SPAWN_SETSID
                                                        : 0;
        posix_spawnattr_setflags(&value, static_cast<short>(where | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
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

// A helper's descriptors 0, 1 and 2: one of ours, /dev/null, or (for input
// and errors) the one we have; and, when given, `three` as its 3. It
// inherits nothing else: not a session's sockets, not another helper's
// pipe, nothing another part of the process opened without close-on-exec.
constexpr int kDevNull = -1;
constexpr int kShared = -2;

struct Actions {
    Actions(int input, int output, int errors, int three = -1)
    {
        posix_spawn_file_actions_init(&value);
        const auto set = [this](int fd, int target, int flags) {
            // dup2 clears close-on-exec on the copy: the child's ends stay open.
            if (fd == kDevNull)
                posix_spawn_file_actions_addopen(&value, target, "/dev/null", flags, 0);
            else if (fd >= 0)
                posix_spawn_file_actions_adddup2(&value, fd, target);
        };
        set(input, STDIN_FILENO, O_RDONLY);
        set(output, STDOUT_FILENO, O_WRONLY);
        set(errors, STDERR_FILENO, O_WRONLY);
        if (three >= 0)
            posix_spawn_file_actions_adddup2(&value, three, 3);
        posix_spawn_file_actions_addclosefrom_np(&value, three >= 0 ? 4 : 3);
    }
    ~Actions() { posix_spawn_file_actions_destroy(&value); }
    Actions(const Actions &) = delete;
    Actions &operator=(const Actions &) = delete;
    posix_spawn_file_actions_t value;
};

// Reads what there is to read now, without waiting, into `into` (at most
// `max` bytes kept); false at the end.
bool Drain(int fd, std::string &into, std::size_t max)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 && errno == EAGAIN;
        const std::size_t room = max - std::min(max, into.size());
        into.append(buffer, std::min(static_cast<std::size_t>(n), room));
    }
}

// The environment a helper gets: the process's, less the secret the
// kelvra command reads from it (KELVRA_PASSWORD), which no helper needs.
std::vector<char *> HelperEnvironment()
{
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::string_view(*e).rfind("KELVRA_PASSWORD=", 0) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    return env;
}

bool MakePipe(Fd &read, Fd &write)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    read.fd = fds[0];
    write.fd = fds[1];
    fcntl(read.fd, F_SETFL, fcntl(read.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

// Starts args[0] (found on PATH) with the helper environment; 0 when it
// cannot be started (errno set).
pid_t Start(const std::vector<std::string> &args, const Actions &actions, const Attributes &attributes)
{
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> env = HelperEnvironment();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0], &actions.value, &attributes.value, argv.data(), env.data());
    errno = rc;
    return rc == 0 ? pid : 0;
}

// Waits for the helper `pid`, within kReapBound: a process the kernel holds
// unkillable for a while is left to the system, never waited for without
// end. False when it was not reaped; `lost` when the system reaped it
// (SIGCHLD is ignored).
bool Reap(pid_t pid, int &status, bool &lost)
{
    const auto giveUp = std::chrono::steady_clock::now() + kReapBound;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return true;
        if ((done < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= giveUp) {
            lost = done < 0 && errno == ECHILD;
            return false;
        }
        usleep(kLookMs * 1000);
    }
}

} // namespace

void Fd::Close()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::optional<RunResult> RunProgram(const std::vector<std::string> &args, const RunOptions &options)
{
    if (args.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    Fd outRead, outWrite, errRead, errWrite, inOurs, inTheirs;
    if (!MakePipe(outRead, outWrite) || (options.keepErrors && !MakePipe(errRead, errWrite)))
        return std::nullopt;
    if (options.input) {
        // A socket rather than a pipe: sent with MSG_NOSIGNAL, a helper that
        // stops reading is an error to us, never a SIGPIPE to the application.
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            return std::nullopt;
        inOurs.fd = sv[0];
        inTheirs.fd = sv[1];
        shutdown(inOurs.fd, SHUT_RD);
    }
    const bool share = options.shareTerminal && !options.input;
    // Stoppable before the helper starts: an interrupt that comes while it
    // starts is passed on to it, never taken for one with nothing to stop.
    const Stoppable stoppable;
    const pid_t pid = Start(args,
                            Actions(inTheirs.fd >= 0 ? inTheirs.fd : share ? kShared : kDevNull, outWrite.fd,
                                    options.keepErrors ? errWrite.fd : kShared),
                            Attributes(share ? Place::kOurGroup : Place::kOwnGroup));
    const int error = errno;
    outWrite.Close();
    errWrite.Close();
    // The helper's end of its input stays open here too, so that what it
    // left unread is still there to count when it is gone.
    if (pid == 0) {
        errno = error;
        return std::nullopt;
    }
    std::string_view input = options.input.value_or(std::string_view());
    if (inOurs.fd >= 0 && input.empty())
        inOurs.Close();
    RunResult result;
    result.output.reserve(std::min<std::size_t>(options.maxOutput, 64 * 1024)); // a secret is not left in a freed copy
    auto deadline = std::chrono::steady_clock::now() + options.bound;
    int status = 0;
    bool exited = false;
    while (!exited) {
        if (!result.interrupted && stoppable.Asked()) {
            // A helper sharing our group had the terminal's SIGINT already.
            result.interrupted = true;
            kill(share ? pid : -pid, SIGINT);
            deadline = std::min(deadline, std::chrono::steady_clock::now() + kInterruptGrace);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p[3];
        nfds_t n = 0;
        for (const Fd *fd : {&outRead, &errRead})
            if (fd->fd >= 0)
                p[n++] = {fd->fd, POLLIN, 0};
        if (inOurs.fd >= 0)
            p[n++] = {inOurs.fd, POLLOUT, 0};
        const int wait = static_cast<int>(std::min<long long>(left, kLookMs));
        if (n == 0)
            usleep(static_cast<useconds_t>(wait) * 1000);
        else if (poll(p, n, wait) > 0) {
            if (outRead.fd >= 0 && !Drain(outRead.fd, result.output, options.maxOutput))
                outRead.Close();
            if (errRead.fd >= 0 && !Drain(errRead.fd, result.errors, options.maxOutput))
                errRead.Close();
            if (inOurs.fd >= 0) {
                const ssize_t sent = send(inOurs.fd, input.data(), std::min<std::size_t>(input.size(), 1 << 16),
                                          MSG_NOSIGNAL | MSG_DONTWAIT);
                if (sent > 0)
                    input.remove_prefix(static_cast<std::size_t>(sent));
                // The end of the input, or a helper that reads no more.
                if (input.empty() || (sent < 0 && errno != EAGAIN && errno != EINTR))
                    inOurs.Close();
            }
        }
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno == ECHILD)
            result.statusLost = true; // reaped by the system: SIGCHLD is ignored
        exited = done == pid || (done < 0 && errno != EINTR);
    }
    // What it wrote before it went; never what others write later.
    if (exited) {
        if (outRead.fd >= 0)
            Drain(outRead.fd, result.output, options.maxOutput);
        if (errRead.fd >= 0)
            Drain(errRead.fd, result.errors, options.maxOutput);
    } else {
        // Its group, and the helper itself in case it left the group; then
        // a bounded wait.
        if (!share)
            kill(-pid, SIGKILL); // never our own group, when it shares it
        kill(pid, SIGKILL);
        Reap(pid, status, result.statusLost);
    }
    if (options.input) {
        int queued = 0;
        if (inTheirs.fd < 0 || ioctl(inTheirs.fd, FIONREAD, &queued) != 0)
            queued = 0;
        result.unread = input.size() + static_cast<std::size_t>(std::max(queued, 0));
    }
    if (result.statusLost) {
        result.exitCode = -1;
        return result;
    }
    result.exitCode = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

bool StartDetached(const std::vector<std::string> &args, int errors, int status)
{
    std::vector<std::string> words = {"/bin/sh", "-c", "{ \"$@\" 3>&-; echo $? >&3; } & exit 0", "sh"};
    words.insert(words.end(), args.begin(), args.end());
    const pid_t shell = Start(words, Actions(kDevNull, kDevNull, errors >= 0 ? errors : kDevNull, status),
                              Attributes(Place::kOwnSession));
    if (shell == 0)
        return false;
    int ended = 0;
    bool lost = false;
    Reap(shell, ended, lost); // at once: it only forks
    return true;
}

std::string ProgramOnPath(const std::string &program)
{
    if (program.empty() || program.find('/') != std::string::npos)
        return program;
    std::string folders;
    if (const char *path = std::getenv("PATH"))
        folders = path;
    else {
        folders.resize(confstr(_CS_PATH, nullptr, 0));
        if (!folders.empty())
            confstr(_CS_PATH, folders.data(), folders.size());
        folders.resize(std::min(folders.find('\0'), folders.size()));
    }
    for (size_t start = 0; start <= folders.size();) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = (end > start ? folders.substr(start, end - start) : ".") + "/" + program;
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

} // namespace kelvra_posix
