// Running a helper program (a dialog, a password command, a sendmail) on
// POSIX, shared by the component library and the provider: started from
// PATH with an argument vector (no shell ever sees an argument), standard
// input from /dev/null or the bytes given, standard output collected, and
// standard error too when asked. The child inherits no descriptor
// but 0, 1 and 2 (not a session's sockets, not another helper's pipe), and
// runs in a process group of its own with default signals. It has a time
// bound: past it the whole group is killed, and the helper itself (which
// may have left its group), and the wait for it is bounded too. An
// interrupt (posix/Interrupt.h) is passed on to the helper's group as
// SIGINT; it then has kInterruptGrace to end before it is killed. The output is read until the
// helper itself has exited, so that a process it leaves behind holding the
// pipe costs nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_posix {

struct RunResult {
    int exitCode = -1; // -1 when it did not exit normally, or how is not known
    int signal = 0;    // the signal that ended it, if one did
    bool timedOut = false;
    // An interrupt came while it ran, and was passed on to it.
    bool interrupted = false;
    // It ended, but its status is lost: the application ignores SIGCHLD, so
    // the system discarded it. Never to be taken for success.
    bool statusLost = false;
    std::string output; // at most `maxOutput` bytes of it
    std::string errors; // with `keepErrors`: at most `maxOutput` bytes of its standard error
    // With `input`: how many of its bytes the helper never read (it exited,
    // or was stopped, before it took them all).
    std::size_t unread = 0;
};

struct RunOptions {
    std::chrono::milliseconds bound{0};
    std::size_t maxOutput = 1024 * 1024;
    // Standard input: these bytes (the helper may stop reading them early),
    // else /dev/null.
    std::optional<std::string_view> input;
    // Standard error collected into RunResult::errors rather than shared.
    bool keepErrors = false;
    // With no `input`: standard input is ours (a terminal the helper may
    // ask on, as pinentry or a password store does), and the helper stays
    // in our process group, the terminal's foreground one (a group of its
    // own would be stopped when it reads). At its bound it alone is killed.
    bool shareTerminal = false;
};

// A descriptor, closed with its owner.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { Close(); }
    void Close();
};

// How long an interrupted helper may take to end before it is killed.
constexpr std::chrono::seconds kInterruptGrace{5};

// How long a dialog may wait for its user before it is taken as cancelled.
constexpr std::chrono::minutes kDialogBound{15};

// Starts args[0] detached from the caller: in a session of its own, not a
// child of ours (a shell forks it into the background, exits at once and is
// reaped here), with the helper environment, standard input and output
// /dev/null, standard error onto `errors` (/dev/null when negative), and no
// descriptor of ours but `status` as its 3: when the program ends, the shell
// writes its exit status there as decimal text. It and what it starts
// outlive the call and the application. False when it cannot be started
// (errno set).
bool StartDetached(const std::vector<std::string> &args, int errors, int status);

// The file PATH finds for a bare program name, as RunProgram would run it
// (PATH unset: the system's default path; an empty entry: the current
// folder): the first regular file there that may be executed. A name with
// a '/' is a path already and comes back as it is; empty when none is
// found.
std::string ProgramOnPath(const std::string &program);
// Whether PATH finds `program` so.
inline bool OnPath(const std::string &program) { return !ProgramOnPath(program).empty(); }

// Runs args[0] with `args`; nullopt when it cannot be started (errno set).
std::optional<RunResult> RunProgram(const std::vector<std::string> &args, const RunOptions &options);
inline std::optional<RunResult> RunProgram(const std::vector<std::string> &args, std::chrono::milliseconds bound,
                                           std::size_t maxOutput = 1024 * 1024)
{
    RunOptions options;
    options.bound = bound;
    options.maxOutput = maxOutput;
    return RunProgram(args, options);
}

} // namespace kelvra_posix
