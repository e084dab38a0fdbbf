// The provider's dialogs: on a pseudo-terminal (the test types and reads
// the screen), and on a desktop through stand-ins for xdg-email and zenity
// that record their argument vectors.
#include "Child.h"
#include "Argv.h"
#include "Errors.h"
#include "Loopback.h"
#include "ProviderHome.h"

#include "mapi/SimpleMapi.h"

#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Exports.h" // the provider, linked in

extern char **environ;

using namespace provider_test;

namespace {

char *S(const char *text) { return const_cast<char *>(text); }

// A program on a pseudo-terminal of its own.
class Terminal {
public:
    explicit Terminal(std::vector<std::string> args)
    {
        const std::vector<char *> argv = Argv(args);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Terminal()
    {
        close(master_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }

    // Reads the screen until `text` shows (or five seconds pass).
    bool WaitFor(const std::string &text)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (screen_.find(text, seen_) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until || !ReadSome())
                return false;
        }
        seen_ = screen_.find(text, seen_) + text.size();
        return true;
    }
    void Type(const std::string &keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }
    std::string Rest()
    {
        while (ReadSome()) {
        }
        return screen_.substr(seen_);
    }
    const std::string &Screen() const { return screen_; }

private:
    bool ReadSome()
    {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        screen_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int master_ = -1;
    pid_t pid_ = -1;
    std::string screen_;
    size_t seen_ = 0;
};

const std::string kProbe = KELVRA_PROBE;

class Dialogs : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        unsetenv("KELVRA_MAPI_UI"); // the probe's terminal decides
        bin = home / "bin";
        fs::create_directories(bin);
        path = std::getenv("PATH");
    }
    void TearDown() override
    {
        setenv("PATH", path.c_str(), 1);
        unsetenv("DISPLAY");
        ProviderHome::TearDown();
    }

    // A stand-in for a desktop program: records its arguments (each ended
    // by a zero byte), prints `answer`, exits with `code`.
    void StandIn(const std::string &name, const std::string &answer, int code)
    {
        const fs::path script = bin / name;
        WriteFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done >> '" +
                              (home / (name + ".args")).string() + "'\nprintf '\\n' >> '" +
                              (home / (name + ".args")).string() + "'\nprintf '%s' '" + answer + "'\nexit " +
                              std::to_string(code) + "\n");
        fs::permissions(script, fs::perms::owner_all);
        setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
        setenv("DISPLAY", ":99", 1);
        setenv("KELVRA_MAPI_UI", "desktop", 1);
    }
    std::vector<std::string> Recorded(const std::string &name, size_t call = 0)
    {
        std::string text = ReadFile(home / (name + ".args"));
        for (size_t i = 0; i < call; ++i)
            text = text.substr(text.find("\0\n", 0, 2) + 2);
        text = text.substr(0, text.find("\0\n", 0, 2) + 1);
        std::vector<std::string> args;
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find('\0', start);
            args.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return args;
    }

    fs::path bin;
    std::string path;
};

} // namespace

TEST_F(Dialogs, TheAddressBookPickerOnATerminal)
{
    Terminal t({kProbe, "address"});
    ASSERT_TRUE(t.WaitFor("Cc: [1] bob@example.org")) << t.Screen();
    ASSERT_TRUE(t.WaitFor("> "));
    t.Type("filter ann\n");
    ASSERT_TRUE(t.WaitFor("1  Ann Example <ann@example.org>"));
    ASSERT_TRUE(t.WaitFor("> "));
    t.Type("to 1\n");
    ASSERT_TRUE(t.WaitFor("> "));
    t.Type("ok\n");
    const std::string rest = t.Rest();
    EXPECT_NE(rest.find("RESULT 0 2"), std::string::npos) << rest;
    EXPECT_NE(rest.find("ENTRY 1 Ann Example <ann@example.org>"), std::string::npos) << rest;
    EXPECT_NE(rest.find("ENTRY 2 bob@example.org <bob@example.org>"), std::string::npos) << rest;
}

TEST_F(Dialogs, AContactWithoutAnAddressCannotBeChosen)
{
    WriteFile(contacts, ReadFile(contacts) + "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Nomail Person\r\nEND:VCARD\r\n");
    Terminal t({kProbe, "address"});
    ASSERT_TRUE(t.WaitFor("> ")) << t.Screen();
    t.Type("filter nomail\n");
    ASSERT_TRUE(t.WaitFor("1  Nomail Person"));
    ASSERT_TRUE(t.WaitFor("> "));
    t.Type("to 1\n");
    ASSERT_TRUE(t.WaitFor("Nomail Person has no address and cannot be chosen.")) << t.Screen();
    ASSERT_TRUE(t.WaitFor("> "));
    t.Type("ok\n");
    const std::string rest = t.Rest();
    EXPECT_NE(rest.find("RESULT 0 1"), std::string::npos) << rest; // only the Cc it started with
}

TEST_F(Dialogs, CancellingOnATerminalIsAUserAbort)
{
    {
        Terminal t({kProbe, "address"});
        ASSERT_TRUE(t.WaitFor("> "));
        t.Type("cancel\n");
        EXPECT_NE(t.Rest().find("RESULT 1 0"), std::string::npos);
    }
    {
        Terminal t({kProbe, "compose"});
        ASSERT_TRUE(t.WaitFor("Subject: Asked first")) << t.Screen();
        ASSERT_TRUE(t.WaitFor("Send this message? [y/n] "));
        t.Type("n\n");
        EXPECT_NE(t.Rest().find("RESULT 1"), std::string::npos);
        EXPECT_TRUE(Messages(mailbox).empty());
    }
    {
        // To no one: refused before anything is asked.
        Terminal t({kProbe, "compose-to-no-one"});
        const std::string rest = t.Rest();
        EXPECT_NE(rest.find("RESULT 25"), std::string::npos) << rest;
        EXPECT_EQ(rest.find("Send this message?"), std::string::npos) << rest;
    }
    {
        Terminal t({kProbe, "compose"});
        ASSERT_TRUE(t.WaitFor("Send this message? [y/n] "));
        t.Type("y\n");
        EXPECT_NE(t.Rest().find("RESULT 0"), std::string::npos);
        EXPECT_EQ(Messages(mailbox).size(), 1u);
    }
}

TEST_F(Dialogs, AmbiguousNamesAndMissingPasswordsAreAskedFor)
{
    {
        Terminal t({kProbe, "pick"});
        ASSERT_TRUE(t.WaitFor("2  Bob Example <bob@example.org>")) << t.Screen();
        t.Type("2\n");
        EXPECT_NE(t.Rest().find("RESULT 0 bob@example.org"), std::string::npos);
    }
    WriteFile(profiles, ReadFile(profiles) + "[Secure]\nmailbox = Mail\nsmtp = smtp://127.0.0.1:1\nuser = me\n");
    Terminal t({kProbe, "password"});
    ASSERT_TRUE(t.WaitFor("Password for Secure: ")) << t.Screen();
    t.Type("hidden\n");
    const std::string rest = t.Rest();
    EXPECT_NE(rest.find("RESULT 0"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("hidden"), std::string::npos); // not echoed
}

// A password command that asks on the terminal gets its answer there.
TEST_F(Dialogs, APasswordCommandMayAskOnTheTerminal)
{
    Terminal t({kProbe, "passwordcmd"});
    ASSERT_TRUE(t.WaitFor("Passphrase: ")) << t.Screen();
    t.Type("s3cret word\n");
    EXPECT_TRUE(t.WaitFor("SECRET s3cret word")) << t.Screen();
}

TEST_F(Dialogs, OnADesktopTheMailClientGetsEveryPart)
{
    StandIn("xdg-email", "", 0);
    // The desktop's mail client is one that takes attachments.
    StandIn("thunderbird", "", 0);
    WriteFile(home / "data" / "applications" / "tb.desktop",
              "[Desktop Entry]\nType=Application\nName=T\nExec=" + (bin / "thunderbird").string() + " %u\n");
    WriteFile(home / "config" / "mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=tb.desktop\n");
    LHANDLE session = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    const fs::path file = home / "a file; with 'quotes'.txt";
    WriteFile(file, "x");
    MapiRecipDesc recips[3] = {};
    recips[0].ulRecipClass = MAPI_TO;
    recips[0].lpszName = S("Ann");
    recips[1].ulRecipClass = MAPI_CC;
    recips[1].lpszAddress = S("SMTP:cc@example.org");
    recips[2].ulRecipClass = MAPI_BCC;
    recips[2].lpszAddress = S("bcc@example.org");
    MapiFileDesc f{};
    f.lpszPathName = S(file.c_str());
    MapiMessage m{};
    m.lpszSubject = S("Say \"hi\" $(rm -rf /) \xC3\xA9t\xC3\xA9");
    m.lpszNoteText = S("Line 1\r\nLine 2");
    m.nRecipCount = 3;
    m.lpRecips = recips;
    m.nFileCount = 1;
    m.lpFiles = &f;
    ASSERT_EQ(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0), 0u);
    // The text in LF lines (xdg-email makes each a CR LF), the attachment a
    // copy of the provider's under a name the client's list can carry.
    std::vector<std::string> args = Recorded("xdg-email");
    ASSERT_EQ(args.size(), 12u);
    const fs::path copy = args[10];
    EXPECT_EQ(copy.filename(), "a file; with _quotes_.txt");
    EXPECT_EQ(ReadFile(copy), "x");
    EXPECT_EQ(fs::status(copy.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    args[10] = "(copy)";
    EXPECT_EQ(args, (std::vector<std::string>{"--utf8", "--subject", "Say \"hi\" $(rm -rf /) \xC3\xA9t\xC3\xA9", "--body",
                                              "Line 1\nLine 2", "--cc", "cc@example.org", "--bcc", "bcc@example.org",
                                              "--attach", "(copy)", "ann@example.org"}));
    EXPECT_TRUE(Messages(mailbox).empty()); // the mail client sends it
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());

    // SendDocuments: the paths, split at the delimiter, as attachments.
    const fs::path other = home / "b.txt";
    WriteFile(other, "y");
    const std::string paths = file.string() + "|" + other.string();
    ASSERT_EQ(MAPISendDocuments(0, S("|"), S(paths.c_str()), nullptr, 0), 0u);
    args = Recorded("xdg-email", 1);
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(fs::path(args[2]).filename(), "a file; with _quotes_.txt");
    EXPECT_EQ(ReadFile(args[4]), "y");
    EXPECT_EQ(MAPISendDocuments(0, S(";"), S("/nonexistent/x.txt"), nullptr, 0), MAPI_E_ATTACHMENT_OPEN_FAILURE);
    MAPILogoff(session, 0, 0, 0);
}

// A session bus that accepts and never answers: the hand-off to the
// desktop's email portal ends within its ten seconds, with a reason that
// names the bus, and nothing is handed to xdg-email behind its back.
TEST_F(Dialogs, AStalledSessionBusEndsTheHandOffWithinItsBound)
{
    StandIn("xdg-email", "", 0);
    const loopback::UnixListener bus((home / "bus").string());
    ASSERT_TRUE(bus.Listening());
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.BusAddress().c_str(), 1);
    LHANDLE session = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    MapiRecipDesc to{};
    to.ulRecipClass = MAPI_TO;
    to.lpszAddress = S("bob@example.org");
    MapiMessage m{};
    m.lpszSubject = S("stalled");
    m.nRecipCount = 1;
    m.lpRecips = &to;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0), ULONG(MAPI_E_FAILURE));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::seconds(9));
    EXPECT_LT(took, std::chrono::seconds(13));
    EXPECT_NE(kelvra_provider::LastReason().find("the session bus (" + bus.BusAddress() + ") did not answer within 10 seconds"),
              std::string::npos)
        << kelvra_provider::LastReason();
    EXPECT_FALSE(fs::exists(home / "xdg-email.args"));
    MAPILogoff(session, 0, 0, 0);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

// Addresses a mail client started by xdg-email would read as its own
// syntax (a quote ends Thunderbird's to='...' and starts an option) are
// refused before anything is started, with the reason.
TEST_F(Dialogs, AnAddressThatCouldBecomeAnOptionOfTheMailClientIsNotHandedToXdgEmail)
{
    StandIn("xdg-email", "", 0);
    LHANDLE session = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    // The last three the address rules refuse already, for reasons of their own.
    const char *const addresses[] = {"x'@a.example", "attachment='~/.ssh/id_rsa'@b.example", "a=b@c.example",
                                     "a,b@c.example", "a\"b@c.example", "a b@c.example"};
    for (const char *address : addresses) {
        const bool ours = address != addresses[3] && address != addresses[4] && address != addresses[5];
        SCOPED_TRACE(address);
        MapiRecipDesc to[2] = {};
        to[0].ulRecipClass = MAPI_TO;
        to[0].lpszAddress = S("plain@example.org");
        to[1].ulRecipClass = MAPI_TO;
        to[1].lpszAddress = S(address);
        MapiMessage m{};
        m.lpszSubject = S("quoted");
        m.nRecipCount = 2;
        m.lpRecips = to;
        EXPECT_EQ(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0), ULONG(MAPI_E_INVALID_RECIPS));
        EXPECT_EQ(kelvra_provider::LastReason().find("could read as its own syntax") != std::string::npos, ours)
            << kelvra_provider::LastReason();
        EXPECT_FALSE(fs::exists(home / "xdg-email.args"));
    }
    MAPILogoff(session, 0, 0, 0);
}

// The real xdg-utils, with a recording mail client registered as the
// desktop's mailto handler that stays open for eight seconds, as a client
// the user is writing in does.
TEST_F(Dialogs, TheRealXdgEmailHandsTheMessageOverAndTheClientLivesOn)
{
    if (access("/usr/bin/xdg-email", X_OK) != 0)
        GTEST_SKIP() << "no xdg-email (apt-get install xdg-utils)";
    unsetenv("XDG_CURRENT_DESKTOP");
    unsetenv("DESKTOP_SESSION");
    setenv("DISPLAY", ":99", 1);
    setenv("KELVRA_MAPI_UI", "desktop", 1);
    setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    fs::create_directories(home / "run");
    struct {
        const char *client;   // its program's name: Thunderbird's takes attachments, others a mailto: URL
        bool attach;
        ULONG result;
        const char *says;     // in what the client was given
    } rows[] = {
        {"thunderbird", true, 0, "subject=Hi%20there,body=Line%201%0D%0ALine%202,attachment='"},
        {"mailclient", true, MAPI_E_NOT_SUPPORTED, nullptr},
        {"mailclient", false, 0, "mailto:ann@example.org?subject=Hi%20there&body=Line%201%0D%0ALine%202"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.client) + (row.attach ? " with an attachment" : ""));
        const std::string name = row.client;
        const fs::path client = bin / name;
        WriteFile(client, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > '" +
                              (home / (name + ".args")).string() + "'\necho $$ > '" + (home / (name + ".pid")).string() +
                              "'\nsleep 8\necho closed > '" + (home / (name + ".closed")).string() + "'\n");
        fs::permissions(client, fs::perms::owner_all);
        WriteFile(home / "data" / "applications" / (name + "-rec.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + client.string() + " %u\n");
        WriteFile(home / "config" / "mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/mailto=" + name + "-rec.desktop\n");
        for (const char *left : {".args", ".pid", ".closed"})
            fs::remove(home / (name + left));
        // The application: sends, removes its file at once, and exits.
        const fs::path file = home / "tmp" / "report, final \xC3\xA9t\xC3\xA9.txt";
        WriteFile(file, "figures");
        const auto start = std::chrono::steady_clock::now();
        const pid_t application = fork();
        ASSERT_GE(application, 0);
        if (application == 0) {
            MapiRecipDesc to{};
            to.ulRecipClass = MAPI_TO;
            to.lpszAddress = S("ann@example.org");
            MapiFileDesc f{};
            f.lpszPathName = const_cast<char *>(file.c_str());
            MapiMessage m{};
            m.lpszSubject = S("Hi there");
            m.lpszNoteText = S("Line 1\r\nLine 2");
            m.nRecipCount = 1;
            m.lpRecips = &to;
            m.nFileCount = row.attach ? 1 : 0;
            m.lpFiles = &f;
            const ULONG rc = MAPISendMail(0, 0, &m, MAPI_DIALOG, 0);
            fs::remove(file);
            _exit(static_cast<int>(rc));
        }
        int status = 0;
        ASSERT_EQ(waitpid(application, &status, 0), application);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(static_cast<ULONG>(WEXITSTATUS(status)), row.result);
        fs::remove(file);
        if (row.says == nullptr) {
            EXPECT_FALSE(fs::exists(home / (name + ".args"))); // never handed over without its attachment
            continue;
        }
        EXPECT_LT(seconds, 7.0); // back while the client is open
        const std::string given = ReadFile(home / (name + ".args"));
        EXPECT_NE(given.find(row.says), std::string::npos) << given;
        EXPECT_EQ(given.find("%0D%0D"), std::string::npos) << given;
        const pid_t pid = std::atoi(ReadFile(home / (name + ".pid")).c_str());
        EXPECT_EQ(kill(pid, 0), 0); // the client lives on after the application
        if (row.attach) {
            // The copy the client was given is there, whole, under its name.
            const size_t at = given.find("attachment='") + 12;
            const fs::path copy = given.substr(at, given.find('\'', at) - at);
            EXPECT_EQ(copy.filename(), "report_ final \xC3\xA9t\xC3\xA9.txt");
            EXPECT_EQ(ReadFile(copy), "figures");
        }
        // Nothing ends it: it closes when it is done.
        for (int i = 0; i < 150 && !fs::exists(home / (name + ".closed")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(fs::exists(home / (name + ".closed")));
    }
}

// The desktop's email portal, for real: xdg-desktop-portal with its GTK
// backend on a private session bus and a virtual display, reaching the
// recording client registered for mailto: links.
TEST_F(Dialogs, TheEmailPortalReachesTheDesktopsMailClient)
{
    for (const char *needed : {"/usr/libexec/xdg-desktop-portal", "/usr/libexec/xdg-desktop-portal-gtk",
                               "/usr/bin/xvfb-run", "/usr/bin/dbus-run-session", "/usr/bin/dbus-send"})
        if (access(needed, X_OK) != 0)
            GTEST_SKIP() << needed << " is not installed";
    const fs::path client = bin / "recorder";
    WriteFile(client, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (home / "recorder.args").string() + "'\n");
    fs::permissions(client, fs::perms::owner_all);
    WriteFile(home / "data" / "applications" / "recorder.desktop",
              "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + client.string() +
                  " %u\nMimeType=x-scheme-handler/mailto;\n");
    WriteFile(home / "config" / "mimeapps.list", "[Default Applications]\nx-scheme-handler/mailto=recorder.desktop\n");
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    setenv("KELVRA_MAPI_UI", "desktop", 1);
    const fs::path file = home / "my file, \xC3\xA9t\xC3\xA9.txt";
    WriteFile(file, "figures\n");
    WriteFile(home / "session.sh",
              "dbus-update-activation-environment DISPLAY XDG_DATA_HOME XDG_CONFIG_HOME XDG_RUNTIME_DIR PATH\n"
              "/usr/libexec/xdg-desktop-portal -r >/dev/null 2>&1 &\nportal=$!\n"
              // The portal owns its name before the probe asks (a busy
              // machine starts it slowly), within ten seconds.
              "for i in $(seq 100); do dbus-send --session --print-reply --dest=org.freedesktop.DBus "
              "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner string:org.freedesktop.portal.Desktop "
              "| grep -q true && break; sleep 0.1; done\n'" + kProbe + "' handoff '" +
                  file.string() + "'\nkill $portal\nwait\n"
              // The document portal's mount goes before the portal does:
              // one left by a portal that was ended first cannot be removed.
              "fusermount3 -u -z \"$XDG_RUNTIME_DIR/doc\" 2>/dev/null\nexit 0\n");
    std::vector<std::string> args = {"/usr/bin/xvfb-run", "-a", "/usr/bin/dbus-run-session", "--", "/bin/sh",
                                     (home / "session.sh").string()};
    const std::vector<char *> argv = Argv(args);
    const int out = open((home / "session.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    const int status = WaitBounded(pid, std::chrono::seconds(60));
    const std::string said = ReadFile(home / "session.out");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
    EXPECT_NE(said.find("RESULT 0\n"), std::string::npos) << said;
    for (int i = 0; i < 50 && !fs::exists(home / "recorder.args"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string given = ReadFile(home / "recorder.args");
    EXPECT_EQ(given.rfind("mailto:bob@example.org?", 0), 0u) << given;
    EXPECT_NE(given.find("subject=hi%20there&body=line%20one%0Aline%20two"), std::string::npos) << given;
    // The GTK backend names the attachment in the link, as the provider's
    // copy, which outlives the application's file.
    const size_t at = given.find("attachment=");
    ASSERT_NE(at, std::string::npos) << given;
    const fs::path copy = given.substr(at + 11, given.find_first_of("&\n", at) - at - 11);
    fs::remove(file);
    EXPECT_EQ(copy.filename(), "my file_ \xC3\xA9t\xC3\xA9.txt") << given;
    EXPECT_EQ(ReadFile(copy), "figures\n");
}

TEST_F(Dialogs, OnADesktopTheAddressBookIsAZenityList)
{
    StandIn("zenity", "ann@example.org\n", 0);
    LHANDLE session = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    ULONG count = 0;
    lpMapiRecipDesc recips = nullptr;
    ASSERT_EQ(MAPIAddress(session, 0, S("Pick"), 2, nullptr, 0, nullptr, 0, 0, &count, &recips), 0u);
    ASSERT_EQ(count, 2u); // one list for To, one for Cc
    EXPECT_EQ(recips[0].ulRecipClass, MAPI_TO);
    EXPECT_EQ(recips[1].ulRecipClass, MAPI_CC);
    EXPECT_STREQ(recips[0].lpszAddress, "ann@example.org");
    EXPECT_GT(recips[0].ulEIDSize, 0u);
    EXPECT_EQ(MAPIFreeBuffer(recips), 0u);
    const auto args = Recorded("zenity");
    ASSERT_GE(args.size(), 10u);
    EXPECT_EQ(args[0], "--list");
    EXPECT_EQ(args[4], "--title=Pick: To");

    StandIn("zenity", "", 1); // the user closes the list
    EXPECT_EQ(MAPIAddress(session, 0, nullptr, 1, nullptr, 0, nullptr, 0, 0, &count, &recips), MAPI_USER_ABORT);
    MAPILogoff(session, 0, 0, 0);
}

TEST_F(Dialogs, AStrangersNameCommandsNeitherTheTerminalNorAHelper)
{
    WriteFile(contacts, ReadFile(contacts) + "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Evil\x1b]0;owned\x07\x1b[2J\r\n"
                                             "EMAIL:evil@example.org\r\nEND:VCARD\r\n"
                                             "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:--text=option\r\n"
                                             "EMAIL:dash@example.org\r\nEND:VCARD\r\n");
    {
        Terminal t({kProbe, "address"});
        ASSERT_TRUE(t.WaitFor("> ")) << t.Screen();
        t.Type("cancel\n");
        t.Rest();
        EXPECT_NE(t.Screen().find("Evil^[]0;owned^G^[[2J"), std::string::npos) << t.Screen();
        EXPECT_EQ(t.Screen().find('\x1b'), std::string::npos);
    }
    // On a desktop every name is data: the options end before the first.
    StandIn("zenity", "", 1);
    LHANDLE session = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    ULONG count = 0;
    lpMapiRecipDesc recips = nullptr;
    EXPECT_EQ(MAPIAddress(session, 0, nullptr, 1, nullptr, 0, nullptr, 0, 0, &count, &recips), MAPI_USER_ABORT);
    const auto args = Recorded("zenity");
    const auto end = std::find(args.begin(), args.end(), "--");
    const auto name = std::find(args.begin(), args.end(), "--text=option");
    ASSERT_NE(end, args.end());
    EXPECT_LT(end, name);
    MAPILogoff(session, 0, 0, 0);
}

TEST_F(Dialogs, AHelperInheritsNoDescriptorAndWhatItLeavesBehindDoesNotHoldTheSend)
{
    // The mail client's stand-in lists its open descriptors, and leaves a
    // process behind that keeps its output open for a minute.
    const fs::path script = bin / "xdg-email";
    WriteFile(script, "#!/bin/sh\nls -l /proc/$$/fd > '" + (home / "fds").string() +
                          "'\n(sleep 60) &\necho $! > '" + (home / "left").string() + "'\nexit 0\n");
    fs::permissions(script, fs::perms::owner_all);
    setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    setenv("DISPLAY", ":99", 1);
    WriteFile(home / "inherited-marker", "x");
    const int inherited = open((home / "inherited-marker").c_str(), O_RDONLY); // no close-on-exec
    ASSERT_GE(inherited, 3);
    LHANDLE session = 0;
    ASSERT_EQ(MAPILogon(0, S("Work"), nullptr, 0, 0, &session), 0u);
    MapiMessage m{};
    m.lpszSubject = S("hi");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    close(inherited);
    const std::string fds = ReadFile(home / "fds");
    EXPECT_NE(fds.find("/dev/null"), std::string::npos) << fds; // its standard input: the listing worked
    EXPECT_EQ(fds.find("inherited-marker"), std::string::npos) << fds;
    MAPILogoff(session, 0, 0, 0);
    const pid_t left = std::atoi(ReadFile(home / "left").c_str());
    if (left > 0)
        kill(left, SIGKILL); // what it left behind ends with the test
}
