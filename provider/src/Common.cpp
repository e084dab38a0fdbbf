#include "Common.h"

#include "posix/Loopback.h"
#include "posix/TerminalText.h"

#include "posix/Charset.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>

namespace kmp {

namespace {

const std::string &Charset()
{
    return kelvra_posix::LocaleCharset();
}

std::string Convert(std::string_view text, const char *to, const char *from)
{
    if (text.empty())
        return {};
    gsize written = 0;
    gchar *out = g_convert_with_fallback(text.data(), static_cast<gssize>(text.size()), to, from, "?", nullptr,
                                         &written, nullptr);
    if (out == nullptr)
        return std::string(text);
    std::string result(out, written);
    g_free(out);
    return result;
}

// Valid UTF-8, with each bad byte replaced.
std::string ValidUtf8(std::string_view text)
{
    if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::string(text);
    gchar *fixed = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    std::string result(fixed);
    g_free(fixed);
    return result;
}

} // namespace

std::string NarrowToUtf8(std::string_view narrow)
{
    if (Charset() == "UTF-8")
        return ValidUtf8(narrow);
    return Convert(narrow, "UTF-8", Charset().c_str());
}

bool NarrowIsUtf8()
{
    static const bool utf8 = Charset() == "UTF-8";
    return utf8;
}

std::string Utf8ToNarrow(std::string_view utf8)
{
    if (NarrowIsUtf8())
        return std::string(utf8);
    return Convert(utf8, Charset().c_str(), "UTF-8");
}

std::string WideToUtf8(const WCHAR *text, ULONG code, const char *field)
{
    if (text == nullptr)
        return {};
    // GLib's converter refuses what is not UTF-16 instead of passing it on:
    // a lone surrogate, also one that ends the text (asked for no count of
    // what it read, it takes that for an error, not for input to come).
    static_assert(sizeof(WCHAR) == sizeof(gunichar2));
    GError *error = nullptr;
    gchar *utf8 = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(text), -1, nullptr, nullptr, &error);
    if (utf8 == nullptr) {
        const bool notUtf16 = error != nullptr && error->domain == G_CONVERT_ERROR;
        g_clear_error(&error);
        if (!notUtf16)
            Fail(MAPI_E_INSUFFICIENT_MEMORY);
        Refuse(std::string("refused: ") + field + " is not UTF-16 (it holds a lone surrogate)", code);
    }
    std::string out(utf8);
    g_free(utf8);
    return out;
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWithText(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

std::string OneLine(std::string_view text)
{
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

namespace {

int OpenRegularWith(int flags, const std::string &path, struct stat *st, bool keepNonBlocking)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0)
        return -1;
    struct stat own {};
    struct stat &status = st != nullptr ? *st : own;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISREG(status.st_mode) ? errno : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    // Reads of a regular file never block; the flag only kept open() from
    // waiting for a FIFO's writer.
    if (!keepNonBlocking)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace

int OpenRegular(const std::string &path, struct stat *st, bool keepNonBlocking)
{
    return OpenRegularWith(0, path, st, keepNonBlocking);
}

int OpenMessageFile(const std::string &path, struct stat *st, bool keepNonBlocking)
{
    return OpenRegularWith(O_NOFOLLOW, path, st, keepNonBlocking);
}

std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit)
{
    struct stat st {};
    const int fd = OpenRegular(path, &st);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    if (static_cast<std::size_t>(st.st_size) > limit) {
        close(fd);
        errno = E2BIG;
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (true) {
        if (done == bytes.size()) {
            if (bytes.size() >= limit)
                break;
            bytes.resize(std::min(limit, bytes.size() + 65536)); // the file grew meanwhile
        }
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return std::nullopt;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(done);
    return bytes;
}

std::string_view StripAddressType(std::string_view address)
{
    if (StartsWithText(address, "SMTP:"))
        address.remove_prefix(5);
    return address;
}

namespace {

bool IsAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Dot-separated runs of characters that `allowed` accepts (non-ASCII
// characters always, unless they are controls or blanks): no empty run.
template <class Allowed>
bool DotSeparated(std::string_view text, Allowed allowed, bool hyphenInsideOnly)
{
    size_t start = 0;
    while (true) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view run = text.substr(start, dot - start);
        if (run.empty())
            return false;
        if (hyphenInsideOnly && (run.front() == '-' || run.back() == '-'))
            return false;
        for (const char *p = run.data(); p < run.data() + run.size(); p = g_utf8_next_char(p)) {
            if (static_cast<unsigned char>(*p) < 0x80) {
                if (!allowed(*p))
                    return false;
            } else if (const gunichar u = g_utf8_get_char(p); g_unichar_iscntrl(u) || g_unichar_isspace(u)) {
                return false;
            }
        }
        if (dot == text.size())
            return true;
        start = dot + 1;
    }
}

} // namespace

std::optional<std::string> MailAddress(std::string_view text)
{
    text = StripAddressType(text);
    if (text.empty() || !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::nullopt; // also refuses a NUL byte
    const size_t at = text.find('@');
    if (at == std::string_view::npos || text.find('@', at + 1) != std::string_view::npos)
        return std::nullopt;
    const std::string_view local = text.substr(0, at), domain = text.substr(at + 1);
    const auto atext = [](char c) {
        return IsAsciiAlnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
    };
    const auto label = [](char c) { return IsAsciiAlnum(c) || c == '-'; };
    if (!DotSeparated(local, atext, false) || !DotSeparated(domain, label, true))
        return std::nullopt;
    if (domain.find('.') == std::string_view::npos && !SameText(domain, "localhost"))
        return std::nullopt;
    return std::string(text);
}

namespace {
std::atomic<unsigned> g_forks{0};
} // namespace

unsigned ForkCount()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); }); });
    return g_forks.load(std::memory_order_relaxed);
}

SignalsBlocked::SignalsBlocked()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

bool IsLoopbackHost(const std::string &host) { return kelvra_posix::IsLoopbackHost(host); }

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

// Writes a line to the log file KELVRA_MAPI_LOG names; else, when
// `terminal`, to standard error. "off", or the null device, is no log at all.
void WriteLog(const std::string &line, bool terminal)
{
    const char *file = std::getenv("KELVRA_MAPI_LOG");
    if (file != nullptr && std::string_view(file) == "off")
        return;
    const std::string text = "kelvramapi: " + TerminalSafe(line) + "\n";
    // The log file only when it is a regular file or not there yet: a FIFO
    // or a device must not block or swallow the provider's calls.
    if (file != nullptr && *file != '\0') {
        const int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        struct stat st {}, null {};
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            (void)!write(fd, text.data(), text.size());
            close(fd);
            return;
        }
        if (fd >= 0)
            close(fd);
        if (S_ISCHR(st.st_mode) && stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev)
            return;
    }
    if (terminal)
        std::cerr << text << std::flush;
}

} // namespace

void Log(const std::string &line) { WriteLog(line, true); }

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
    WriteLog(why, !g_reasonsToCaller.load(std::memory_order_relaxed));
    LastReason() = TerminalSafe(why);
    Fail(code);
}

bool NextLine(std::string_view text, std::size_t &start, std::string_view &line)
{
    if (start >= text.size())
        return false;
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
        end = text.size();
    line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    start = end + 1;
    return true;
}

void WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Fail(n < 0 && (errno == ENOSPC || errno == EDQUOT) ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace kmp
