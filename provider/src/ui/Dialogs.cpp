#include "ui/Dialogs.h"

#include "posix/Process.h"
#include "posix/TerminalText.h"

#include "Errors.h"
#include "Text.h"
#include "ui/HandOff.h"

#include <fcntl.h>
#include <glib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace kelvra_provider {

namespace {


bool HasDisplay()
{
    const char *x = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (x != nullptr && *x != '\0') || (wayland != nullptr && *wayland != '\0');
}

// Runs a program from PATH; its exit code, and its standard output.
int Run(const std::vector<std::string> &args, std::string *output = nullptr)
{
    std::optional<kelvra_posix::RunResult> result = kelvra_posix::RunProgram(args, kelvra_posix::kDialogBound);
    if (!result)
        Fail(MAPI_E_FAILURE);
    if (result->timedOut)
        Log("the dialog " + args.front() + " had no answer within its time bound; it was ended");
    if (output != nullptr)
        *output = std::move(result->output);
    return result->exitCode;
}

// ---- Terminal ---------------------------------------------------------------

// Prints a text, from strangers as it may be (a contact's name, a message),
// as the terminal rule shows it.
void Say(const std::string &text)
{
    gchar *valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
    const std::string narrow = Utf8ToNarrow(kelvra_posix::ShownOnTerminal(valid, true));
    g_free(valid);
    size_t done = 0;
    while (done < narrow.size()) {
        const ssize_t n = write(STDOUT_FILENO, narrow.data() + done, narrow.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

// One line typed by the user; MAPI_USER_ABORT at end of input.
std::string Ask(const std::string &prompt)
{
    Say(prompt);
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (line.empty())
                Fail(MAPI_USER_ABORT);
            break;
        }
        if (c == '\n')
            break;
        if (c != '\r')
            line += c;
    }
    return NarrowToUtf8(line);
}

std::string Show(const Mailbox &m)
{
    return m.name.empty() || m.name == m.address ? m.address : m.name + " <" + m.address + ">";
}

const char *const kClassNames[] = {"", "To", "Cc", "Bcc"};

std::vector<Chosen> TerminalAddress(const AddressBook &book, std::vector<Chosen> chosen, unsigned fields,
                                    const std::string &caption, const std::string &label)
{
    // The edit fields on offer: To, Cc, Bcc, as many as asked for.
    const unsigned classes = std::min(fields, 3u);
    std::string filter;
    for (;;) {
        Say("\n" + (caption.empty() ? std::string("Address Book") : caption) + "\n");
        std::vector<const Contact *> shown;
        for (const Contact &c : book.Contacts()) {
            std::string all = c.formattedName;
            for (const std::string &e : c.emails)
                all += " " + e;
            if (filter.empty() || Lower(all).find(Lower(filter)) != std::string::npos)
                shown.push_back(&c);
        }
        for (size_t i = 0; i < shown.size(); ++i)
            Say("  " + std::to_string(i + 1) + "  " +
                Show({shown[i]->formattedName, shown[i]->emails.empty() ? "" : shown[i]->emails.front()}) + "\n");
        for (unsigned k = 1; k <= classes; ++k) {
            std::string line = (k == 1 && !label.empty() ? label : kClassNames[k]) + std::string(":");
            for (size_t i = 0; i < chosen.size(); ++i)
                if (chosen[i].recipClass == k)
                    line += " [" + std::to_string(i + 1) + "] " + Show(chosen[i].mailbox);
            Say(line + "\n");
        }
        std::string help = "filter TEXT, ";
        for (unsigned k = 1; k <= classes; ++k)
            help += Lower(kClassNames[k]) + " N, ";
        if (classes > 0)
            help += "remove N, ";
        Say(help + "ok, cancel\n");
        const std::string answer = Ask("> ");
        std::istringstream words(answer);
        std::string command, rest;
        words >> command;
        std::getline(words, rest);
        rest.erase(0, rest.find_first_not_of(' '));
        command = Lower(command);
        if (command == "ok")
            return chosen;
        if (command == "cancel")
            Fail(MAPI_USER_ABORT);
        if (command == "filter") {
            filter = rest;
            continue;
        }
        const int number = std::atoi(rest.c_str());
        if (command == "remove" && number >= 1 && static_cast<size_t>(number) <= chosen.size()) {
            chosen.erase(chosen.begin() + number - 1);
            continue;
        }
        for (unsigned k = 1; k <= classes; ++k) {
            if (command != Lower(kClassNames[k]) || number < 1 || static_cast<size_t>(number) > shown.size())
                continue;
            const Contact &c = *shown[static_cast<size_t>(number) - 1];
            if (c.emails.empty()) {
                Say(c.formattedName + " has no address and cannot be chosen.\n");
                continue;
            }
            const Resolved r = AddressBook({c}).Resolve(c.emails.front());
            chosen.push_back({{r.name, r.address}, k, r.entryId});
        }
    }
}

// ---- Desktop ------------------------------------------------------------------

std::vector<Chosen> ZenityAddress(const AddressBook &book, std::vector<Chosen> chosen, unsigned fields,
                                  const std::string &caption, const std::string &label)
{
    const unsigned classes = std::min(fields, 3u);
    const std::string title = caption.empty() ? "Address Book" : caption;
    if (classes == 0) {
        std::vector<std::string> args = {"zenity", "--list", "--title=" + title, "--column=Name", "--column=Address",
                                         "--"}; // what follows is data, whatever it looks like
        for (const Contact &c : book.Contacts()) {
            args.push_back(c.formattedName);
            args.push_back(c.emails.empty() ? "" : c.emails.front());
        }
        if (Run(args) != 0)
            Fail(MAPI_USER_ABORT);
        return chosen;
    }
    // One list per edit field; the entries already there start ticked.
    std::vector<Chosen> result;
    for (unsigned k = 1; k <= classes; ++k) {
        std::vector<std::string> args = {"zenity", "--list", "--checklist", "--multiple", "--separator=\n",
                                         "--title=" + title + ": " + (k == 1 && !label.empty() ? label : kClassNames[k]),
                                         "--column=Pick", "--column=Name", "--column=Address", "--print-column=3",
                                         "--"}; // what follows is data, whatever it looks like
        for (const Contact &c : book.Contacts()) {
            if (c.emails.empty())
                continue; // nothing to send to: not on offer
            const std::string address = c.emails.front();
            const bool ticked = std::any_of(chosen.begin(), chosen.end(), [&](const Chosen &x) {
                return x.recipClass == k && SameText(x.mailbox.address, address);
            });
            args.push_back(ticked ? "TRUE" : "FALSE");
            args.push_back(c.formattedName);
            args.push_back(address);
        }
        std::string output;
        if (Run(args, &output) != 0)
            Fail(MAPI_USER_ABORT);
        std::istringstream lines(output);
        std::string address;
        while (std::getline(lines, address))
            if (!address.empty()) {
                const Resolved r = book.Resolve(address);
                result.push_back({{r.name, r.address}, k, r.entryId});
            }
    }
    return result;
}

} // namespace

// A dialog that no user interface here can show.
[[noreturn]] void CannotShow(const char *dialog, const char *program)
{
    const char *forced = std::getenv("KELVRA_MAPI_UI");
    if (forced != nullptr && Lower(forced) == "desktop" && !HasDisplay())
        Refuse(std::string("the ") + dialog + " cannot be shown: KELVRA_MAPI_UI=desktop, but no desktop session " +
                   "was found (neither DISPLAY nor WAYLAND_DISPLAY is set)",
               MAPI_E_NOT_SUPPORTED);
    Refuse(std::string("the ") + dialog + " cannot be shown: " +
               (forced != nullptr && *forced != '\0' ? "KELVRA_MAPI_UI=" + std::string(forced) + " allows none"
                                                      : std::string("no terminal on standard input and output, and no "
                                                                    "desktop (DISPLAY or WAYLAND_DISPLAY) with ") +
                                                            program),
           MAPI_E_NOT_SUPPORTED);
}

Ui DetectUi()
{
    // KELVRA_MAPI_UI=terminal|desktop|none overrides what is detected (a
    // desktop program started from a terminal may want the desktop's).
    const char *forced = std::getenv("KELVRA_MAPI_UI");
    if (forced != nullptr && *forced != '\0') {
        const std::string ui = Lower(forced);
        if (ui == "terminal")
            return Ui::Terminal;
        if (ui == "desktop")
            return HasDisplay() ? Ui::Desktop : Ui::None;
        return Ui::None;
    }
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))
        return Ui::Terminal;
    if (HasDisplay())
        return Ui::Desktop;
    return Ui::None;
}

std::vector<Chosen> AddressDialog(const AddressBook &book, std::vector<Chosen> start, unsigned editFields,
                                  const std::string &caption, const std::string &label)
{
    switch (DetectUi()) {
    case Ui::Terminal:
        return TerminalAddress(book, std::move(start), editFields, caption, label);
    case Ui::Desktop:
        if (kelvra_posix::OnPath("zenity"))
            return ZenityAddress(book, std::move(start), editFields, caption, label);
        break;
    case Ui::None:
        break;
    }
    CannotShow("address-book dialog", "zenity");
}

void DetailsDialog(const Resolved &entry)
{
    const std::string text = "Name: " + entry.name + "\nAddress: " + entry.address + "\n";
    switch (DetectUi()) {
    case Ui::Terminal:
        Say("\n" + text);
        Ask("Press Enter to close. ");
        return;
    case Ui::Desktop:
        if (kelvra_posix::OnPath("zenity")) {
            Run({"zenity", "--info", "--no-markup", "--title=Details", "--text=" + text});
            return;
        }
        break;
    case Ui::None:
        break;
    }
    CannotShow("details dialog", "zenity");
}

Resolved PickDialog(const std::string &name, const std::vector<Resolved> &matches)
{
    if (DetectUi() != Ui::Terminal)
        Fail(MAPI_E_AMBIGUOUS_RECIPIENT);
    Say("\n\"" + name + "\" matches several entries:\n");
    for (size_t i = 0; i < matches.size(); ++i)
        Say("  " + std::to_string(i + 1) + "  " + Show({matches[i].name, matches[i].address}) + "\n");
    for (;;) {
        const std::string answer = Ask("Number (or cancel): ");
        if (Lower(answer) == "cancel")
            Fail(MAPI_USER_ABORT);
        const int n = std::atoi(answer.c_str());
        if (n >= 1 && static_cast<size_t>(n) <= matches.size())
            return matches[static_cast<size_t>(n) - 1];
    }
}

bool ComposeDialog(const Composition &m)
{
    switch (DetectUi()) {
    case Ui::Terminal: {
        // The terminal's dialog adds no one: a message to no one is
        // refused before the user is asked.
        if (m.to.empty() && m.cc.empty() && m.bcc.empty())
            Refuse("the message has no recipient, and the terminal's dialog cannot add one: name a recipient",
                   MAPI_E_INVALID_RECIPS);
        std::string text = "\nFrom: " + Show(m.from) + "\n";
        for (const auto &[title, list] : {std::pair{"To", &m.to}, {"Cc", &m.cc}, {"Bcc", &m.bcc}})
            for (const Mailbox &r : *list)
                text += std::string(title) + ": " + Show(r) + "\n";
        text += "Subject: " + m.subject + "\n";
        for (const Attachment &a : m.attachments)
            text += "Attachment: " + (a.name.empty() ? a.path : a.name) + "\n";
        Say(text + "\n" + m.body + "\n\n");
        for (;;) {
            const std::string answer = Lower(Ask("Send this message? [y/n] "));
            if (answer == "y" || answer == "yes")
                return false;
            if (answer == "n" || answer == "no")
                Fail(MAPI_USER_ABORT);
        }
    }
    case Ui::Desktop:
        HandToMailClient(m);
        return true;
    case Ui::None:
        break;
    }
    CannotShow("compose dialog", "xdg-email");
}

std::string AskLine(const std::string &prompt)
{
    if (DetectUi() != Ui::Terminal)
        Refuse("a prompt needs a terminal on standard input and output", MAPI_E_NOT_SUPPORTED);
    return Ask(prompt);
}

std::optional<std::string> AskPassword(const std::string &profile)
{
    if (DetectUi() != Ui::Terminal)
        return std::nullopt;
    termios old{};
    const bool canHide = tcgetattr(STDIN_FILENO, &old) == 0;
    if (canHide) {
        termios quiet = old;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    struct Restore {
        bool on;
        termios saved;
        ~Restore()
        {
            if (on)
                tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
    } restore{canHide, old};
    const std::string password = Ask("Password for " + profile + ": ");
    Say("\n");
    return password;
}

} // namespace kelvra_provider
