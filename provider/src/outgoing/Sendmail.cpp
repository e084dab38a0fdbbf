#include "outgoing/Sendmail.h"

#include "Errors.h"
#include "Addresses.h"
#include "Store.h"
#include "outgoing/WayOut.h"
#include "profile/Keys.h"
#include "posix/Process.h"
#include "message/Compose.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kelvra_provider {

namespace {

// The sysexits.h values a mail transfer agent exits with, as it means them.
const char *ExitMeaning(int status)
{
    switch (status) {
    case 64: return "EX_USAGE: the command line is wrong";
    case 65: return "EX_DATAERR: the message is wrong";
    case 66: return "EX_NOINPUT: an input is missing";
    case 67: return "EX_NOUSER: addressee unknown";
    case 68: return "EX_NOHOST: host name unknown";
    case 69: return "EX_UNAVAILABLE: the service is unavailable";
    case 70: return "EX_SOFTWARE: an internal error";
    case 71: return "EX_OSERR: a system error";
    case 72: return "EX_OSFILE: a system file is missing";
    case 73: return "EX_CANTCREAT: an output file cannot be made";
    case 74: return "EX_IOERR: an input or output error";
    case 75: return "EX_TEMPFAIL: a failure that may pass; try again later";
    case 76: return "EX_PROTOCOL: a remote protocol error";
    case 77: return "EX_NOPERM: permission denied";
    case 78: return "EX_CONFIG: its configuration is wrong";
    default: return nullptr;
    }
}

// The first line of what the program said, printable and short.
std::string FirstLine(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return line.size() > 300 ? line.substr(0, 300) + "..." : line;
}

} // namespace

std::vector<std::string> SendmailArguments(const std::vector<std::string> &words, const std::string &sender,
                                           const std::vector<std::string> &recipients)
{
    std::vector<std::string> args = words;
    // A plain address only, for the sender as for each recipient; with `--`
    // before the recipients, none of them is an option either.
    const auto plain = [](const std::string &address) {
        const std::optional<std::string> checked = MailAddress(address);
        if (!checked || *checked != address || address.empty() || address.front() == '-')
            Refuse("sendmail is given plain addresses only, and " + address + " is none", MAPI_E_INVALID_RECIPS);
        return address;
    };
    // No sender: no -f, and the program supplies its own.
    args.push_back("-oi");
    if (!sender.empty())
        args.insert(args.end(), {"-f", plain(sender)});
    args.push_back("--");
    for (const std::string &r : recipients)
        args.push_back(plain(r));
    return args;
}

bool SendThroughProgram(const std::vector<std::string> &words, long timeout, const std::string &sender,
                        const std::vector<std::string> &recipients, const std::string &bytes)
{
    const std::vector<std::string> args = SendmailArguments(words, sender, recipients);
    // The local line ending, as sendmail takes a message.
    std::string lines;
    lines.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
            lines += bytes[i];
    kelvra_posix::RunOptions options;
    options.bound = std::chrono::seconds(timeout);
    options.maxOutput = 64 * 1024;
    options.input = lines;
    options.keepErrors = true;
    const std::string program = "sendmail " + args.front();
    const std::optional<kelvra_posix::RunResult> result = kelvra_posix::RunProgram(args, options);
    if (!result)
        Refuse(program + " cannot be started: " + std::strerror(errno), MAPI_E_FAILURE);
    if (result->statusLost)
        Refuse(program + " ended, but how is not known: the application ignores SIGCHLD, so its exit status " +
                   "was discarded; the message is taken as not sent",
               MAPI_E_FAILURE);
    const std::string said = FirstLine(result->errors);
    if (result->interrupted && !(result->exitCode == 0 && result->unread == 0))
        Refuse("the send was interrupted: " + program + " was stopped before it had taken the message, which " +
                   "was not sent" + (result->timedOut ? " (it did not end within " +
                                                            std::to_string(kelvra_posix::kInterruptGrace.count()) +
                                                            " seconds of the interrupt and was killed)"
                                                      : std::string()),
               MAPI_USER_ABORT);
    // Exit status 0 is the message handed over only when the program read
    // all of it.
    if (result->exitCode == 0 && result->unread > 0)
        Refuse(program + " exited with status 0 but left " + std::to_string(result->unread) + " of the message's " +
                   std::to_string(lines.size()) + " bytes unread: the message is taken as not sent" +
                   (said.empty() ? std::string() : ": " + said),
               MAPI_E_FAILURE);
    if (result->exitCode == 0)
        return result->interrupted;
    const std::string tail = said.empty() ? std::string(" (it said nothing)") : ": " + said;
    if (result->timedOut)
        Refuse(program + " did not finish within " + std::to_string(timeout) +
                   " seconds (the profile's timeout) and was stopped" + tail,
               MAPI_E_FAILURE);
    if (result->signal != 0)
        Refuse(program + " was ended by signal " + std::to_string(result->signal) + " (" +
                   strsignal(result->signal) + ")" + tail,
               MAPI_E_FAILURE);
    const char *meaning = ExitMeaning(result->exitCode);
    Refuse(program + " exited with status " + std::to_string(result->exitCode) +
               (meaning != nullptr ? std::string(" (") + meaning + ")" : std::string()) + tail,
           result->exitCode == 67 ? MAPI_E_UNKNOWN_RECIPIENT : MAPI_E_FAILURE);
}

namespace {

// A sendmail program: the message goes once the program took it (exit
// status 0); the sender's copy is made ready before and kept after.
class Sendmail final : public WayOut {
public:
    Sendmail(std::vector<std::string> words, bool system) : words_(std::move(words)), system_(system) {}

    std::string Name() const override
    {
        return "sendmail " + CommandLine(words_) + (system_ ? " (the system's; the profile names no way out)" : "");
    }

    std::string Send(Session &session, const Composition &composition) const override
    {
        CheckAttachments(composition);
        const std::unique_ptr<const std::string> bytes = ComposeBytes(composition);
        const std::unique_ptr<SentCopy> copy = session.store->PrepareSent(*bytes);
        const bool late = SendThroughProgram(words_, session.profile.sendTimeout, composition.from.address,
                                             EnvelopeOf(composition), *bytes);
        KeepCopy(*copy);
        return "handed to " + CommandLine(words_) + " for " + EnvelopeWords(composition) +
               (late ? " (an interrupt came after it had taken the message)" : "");
    }

    std::string Check(const Profile &, const std::string &) const override
    {
        const std::string path = kelvra_posix::ProgramOnPath(words_.front());
        struct stat st {};
        if (path.empty() || stat(path.c_str(), &st) != 0)
            Refuse("sendmail " + words_.front() + " is not there", MAPI_E_FAILURE);
        if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0)
            Refuse("sendmail " + path + " is not an executable file", MAPI_E_FAILURE);
        return "sendmail " + CommandLine(words_) + " (" + path + ") is an executable file" +
               (system_ ? " (the system's: the profile names no way out)" : "") + "; it was not run";
    }

private:
    std::vector<std::string> words_;
    bool system_;
};

} // namespace

std::unique_ptr<WayOut> SendmailWayOut(std::vector<std::string> words, bool system)
{
    return std::make_unique<Sendmail>(std::move(words), system);
}

} // namespace kelvra_provider
