#include "Errors.h"

#include "posix/TerminalText.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string_view>

namespace kelvra_provider {

namespace {

// Text for a log line or a reason, which reach terminals: servers, files
// and senders write into it, so it holds no command for a terminal (the
// one rule of ShownOnTerminal) and is valid UTF-8.
std::string TerminalSafe(const std::string &text)
{
    gchar *valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string shown = kelvra_posix::ShownOnTerminal(valid, false);
    g_free(valid);
    return shown;
}

} // namespace

namespace {

std::atomic<bool> g_reasonsToCaller{false};

// Writes a line where KELVRA_MAPI_LOG says: the file it names, or
// standard error for "stderr" (unless `toCaller`: the caller prints the
// line itself). Unset, empty, "off" or the null device is no log at all: a
// provider in an application's process says nothing on its own.
void WriteLog(const std::string &line, bool toCaller)
{
    const char *file = std::getenv("KELVRA_MAPI_LOG");
    if (file == nullptr || *file == '\0' || std::string_view(file) == "off")
        return;
    const std::string text = "kelvramapi: " + TerminalSafe(line) + "\n";
    if (std::string_view(file) == "stderr") {
        if (!toCaller)
            std::cerr << text << std::flush;
        return;
    }
    // The log file only when it is a regular file or not there yet: a FIFO
    // or a device must not block or swallow the provider's calls.
    const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        (void)!write(fd, text.data(), text.size());
    if (fd >= 0)
        close(fd);
}

} // namespace

void Log(const std::string &line) { WriteLog(line, false); }

void ReasonsToCaller(bool told) { g_reasonsToCaller.store(told, std::memory_order_relaxed); }

std::string &LastReason()
{
    thread_local std::string reason;
    return reason;
}

std::string &LastOutcome()
{
    thread_local std::string outcome;
    return outcome;
}

[[noreturn]] void Refuse(const std::string &why, ULONG code)
{
    WriteLog(why, g_reasonsToCaller.load(std::memory_order_relaxed));
    LastReason() = TerminalSafe(why);
    Fail(code);
}

} // namespace kelvra_provider
