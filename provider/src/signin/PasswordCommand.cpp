#include "signin/PasswordCommand.h"

#include "posix/Process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <unistd.h>

namespace kelvra_provider {

int g_passwordCommandSeconds = 30;

namespace {

// More than any password or token; a command that prints more is cut off.
constexpr std::size_t kMaxOutput = 64 * 1024;

} // namespace

std::optional<Secret> RunPasswordCommand(const std::string &command, std::string *why)
{
    kelvra_posix::RunOptions options;
    options.bound = std::chrono::seconds(g_passwordCommandSeconds);
    options.maxOutput = kMaxOutput;
    // On a terminal it may ask there (pinentry, pass), as msmtp's
    // passwordeval lets it; elsewhere its input is nothing.
    options.shareTerminal = isatty(STDIN_FILENO) != 0;
    std::optional<kelvra_posix::RunResult> run = kelvra_posix::RunProgram({"/bin/sh", "-c", command}, options);
    if (!run) {
        *why = std::string("it cannot be run: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string &output = run->output;
    const bool timedOut = run->timedOut;
    std::size_t end = std::min(output.find('\n'), output.size());
    if (end > 0 && output[end - 1] == '\r')
        --end;
    Secret line(output.substr(0, end));
    ClearText(output);
    if (timedOut) {
        *why = "it did not finish within its time bound (" + std::to_string(g_passwordCommandSeconds) + " s)";
        return std::nullopt;
    }
    if (run->statusLost) {
        *why = "how it ended is not known (the application ignores SIGCHLD), so its output is not used";
        return std::nullopt;
    }
    if (run->exitCode != 0) {
        *why = run->signal == 0 ? "it exited with status " + std::to_string(run->exitCode)
                                : "it was ended by signal " + std::to_string(run->signal);
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

} // namespace kelvra_provider
