// The ways out as a user meets them: which one a profile has, what each
// says it did, a server that stops answering, a login the server never
// offers, and helper programs that escape their group or whose status the
// application throws away.
#include "Child.h"
#include "Loopback.h"
#include "ProviderHome.h"
#include "SmtpServer.h"

#include "Errors.h"
#include "Session.h"
#include "OpenStore.h"
#include "Store.h"
#include "outgoing/Sendmail.h"
#include "outgoing/Smtp.h"
#include "outgoing/WayOut.h"
#include "posix/Process.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <iostream>

using namespace provider_test;

namespace {

using Clock = std::chrono::steady_clock;

class WayOut : public ProviderHome {
protected:
    kelvra_provider::Profile Load(const std::string &keys)
    {
        WriteFile(profiles, "[Out]\nmailbox = Mail\naddress = tester@example.org\n" + keys);
        fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write); // it may hold a password
        return kelvra_provider::LoadProfile("Out");
    }
    kelvra_provider::Composition To(const std::string &address)
    {
        kelvra_provider::Composition c;
        c.from = {"Kelvra Tester", "tester@example.org"};
        c.to.push_back({"", address});
        c.subject = "Where does it go";
        c.body = "text";
        return c;
    }
};

TEST_F(WayOut, EachProfileHasOneWayOutAndNamesIt)
{
    WriteFile(home / "bin" / "sendmail", "#!/bin/sh\nexit 0\n");
    fs::permissions(home / "bin" / "sendmail", fs::perms::owner_all);
    const std::string installed = (home / "bin" / "sendmail").string();
    const std::string missing = (home / "bin" / "nothing").string();
    struct {
        std::string keys;
        std::vector<std::string> system; // the system's programs looked for
        std::string name;
    } rows[] = {
        {"smtp = smtp://me@127.0.0.1:2525\n", {installed}, "smtp smtp://127.0.0.1:2525"},
        {"sendmail = /usr/bin/msmtp -a 'my work'\n", {installed}, "sendmail /usr/bin/msmtp -a 'my work'"},
        {"localdelivery = yes\n", {installed}, "the mailbox (localdelivery: nothing leaves this machine)"},
        {"localdelivery = no\n", {missing, installed}, "sendmail " + installed + " (the system's; the profile names no way out)"},
        {"", {missing}, "none: only mail to the profile's own address is delivered, into its mailbox"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.keys);
        std::vector<const char *> system;
        for (const std::string &s : row.system)
            system.push_back(s.c_str());
        EXPECT_EQ(kelvra_provider::ChooseWayOut(Load(row.keys), system)->Name(), row.name);
    }
    // One way only: a second one named beside the first refuses the logon.
    for (const char *both : {"smtp = smtp://127.0.0.1\nlocaldelivery = yes\n", "sendmail = x\nlocaldelivery = true\n"}) {
        SCOPED_TRACE(both);
        EXPECT_THROW(Load(both), kelvra_provider::MapiError);
        EXPECT_NE(kelvra_provider::LastReason().find("mail goes out one way"), std::string::npos) << kelvra_provider::LastReason();
    }
}

TEST_F(WayOut, WithNoWayOutOnlyTheProfilesOwnAddressIsDeliveredAndNothingElseIsSent)
{
    kelvra_provider::Session session{Load(""), {}, nullptr};
    session.store = kelvra_provider::OpenStore(session.profile, "", true);
    const auto none = kelvra_provider::ChooseWayOut(session.profile, std::span<const char *const>());
    try {
        none->Send(session, To("boss@company.example"));
        ADD_FAILURE() << "delivered";
    } catch (const kelvra_provider::MapiError &e) {
        EXPECT_EQ(e.code, static_cast<ULONG>(MAPI_E_FAILURE));
        for (const char *says : {"boss@company.example", "smtp =", "sendmail =", "kelvra profile import", "localdelivery = yes"})
            EXPECT_NE(kelvra_provider::LastReason().find(says), std::string::npos) << kelvra_provider::LastReason();
    }
    EXPECT_TRUE(Messages(mailbox).empty());
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
    EXPECT_THROW(none->Check(session.profile, ""), kelvra_provider::MapiError);

    EXPECT_EQ(none->Send(session, To("Tester@Example.org")),
              "delivered into the mailbox " + mailbox.string() + " (nothing left this machine)");
    EXPECT_EQ(Messages(mailbox).size(), 1u);
}

// A loopback server of the test's own shape, and a profile with the bounds
// of the report that found the hang: timeout 5, stalltimeout 3.
// A program named by its bare name is the first regular executable file of
// that name on PATH, as the helper would run it; the sendmail check, the
// dialogs and the hand-off all look for theirs this way.
TEST_F(WayOut, ABareProgramNameIsTheFirstExecutableFileOnPath)
{
    const fs::path bin = home / "bin", plain = home / "plain", cwd = fs::current_path();
    WriteFile(bin / "tool", "#!/bin/sh\n");
    fs::permissions(bin / "tool", fs::perms::owner_all);
    WriteFile(plain / "tool", "not executable\n");
    fs::create_directories(home / "dirs" / "tool");
    fs::permissions(home / "dirs" / "tool", fs::perms::owner_all);
    const char *old = std::getenv("PATH");
    const std::string saved = old != nullptr ? old : "";
    struct {
        std::optional<std::string> path; // nullopt: PATH unset
        std::string program;
        std::string found;
    } rows[] = {
        {plain.string() + ":" + (home / "dirs").string() + ":" + bin.string(), "tool", (bin / "tool").string()},
        {plain.string() + ":" + (home / "dirs").string(), "tool", ""},
        {"::" + bin.string(), "tool", "./tool"}, // an empty entry: the current folder, here bin
        {bin.string(), "missing", ""},
        {bin.string(), "sub/tool", "sub/tool"}, // a path already
        {bin.string(), "", ""},
        {std::nullopt, "sh", ""}, // the system's default path: /bin or /usr/bin
    };
    fs::current_path(bin);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path.value_or("(unset)") + " " + row.program);
        if (row.path)
            setenv("PATH", row.path->c_str(), 1);
        else
            unsetenv("PATH");
        const std::string found = kelvra_posix::ProgramOnPath(row.program);
        if (row.path)
            EXPECT_EQ(found, row.found);
        else
            EXPECT_TRUE(found == "/bin/sh" || found == "/usr/bin/sh") << found;
    }
    fs::current_path(cwd);
    setenv("PATH", saved.c_str(), 1);
}

class SmtpBounds : public WithSmtpServer<WayOut> {};

TEST_F(SmtpBounds, EveryPhaseEndsWithinItsBoundsAndALoginAskedForIsALoginMade)
{
    struct {
        std::vector<std::string> server;
        std::string user;
        bool check; // profile check rather than a send
        ULONG code; // 0: it works
        const char *says;
    } rows[] = {
        {{"--mute"}, "", false, MAPI_E_NETWORK_FAILURE, "failed"},
        {{"--no-dot"}, "", false, MAPI_E_NETWORK_FAILURE, "failed"},
        {{"--mute"}, "", true, MAPI_E_NETWORK_FAILURE, "failed"},
        // aiosmtpd offers no AUTH without TLS unless told to.
        {{}, "dev", false, MAPI_E_LOGON_FAILURE, "offers no login (no AUTH), and the profile names the user dev"},
        {{}, "dev", true, MAPI_E_LOGON_FAILURE, "offers no login (no AUTH), and the profile names the user dev"},
        {{}, "", true, 0, "the server greets and answers NOOP (no login: the profile names no user)"},
        {{"--auth", "dev:pw"}, "dev", true, 0, "accepts the login of dev (AUTH "},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.server.empty() ? "aiosmtpd" : row.server.front());
        SCOPED_TRACE(row.user + (row.check ? " check" : " send"));
        const auto server = StartSmtp(row.server);
        const kelvra_provider::Profile profile =
            Load("smtp = smtp://127.0.0.1:" + std::to_string(port) + "\nplain = yes\ntimeout = 5\nstalltimeout = 3\n" +
                 (row.user.empty() ? "" : "user = " + row.user + "\npassword = pw\n"));
        const auto start = Clock::now();
        std::string said;
        ULONG code = 0;
        try {
            said = row.check ? kelvra_provider::CheckSmtp(profile, "")
                             : (kelvra_provider::SendSmtp(profile, "", "tester@example.org", {"ann@example.org"},
                                              "Subject: x\r\n\r\nx\r\n"),
                                "sent");
        } catch (const kelvra_provider::MapiError &e) {
            code = e.code;
            said = kelvra_provider::LastReason();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::cout << "    " << (row.server.empty() ? "aiosmtpd" : row.server.front()) << " " << row.user
                  << (row.check ? " check" : " send") << ": " << seconds << " s\n";
        EXPECT_EQ(code, row.code) << said;
        EXPECT_NE(said.find(row.says), std::string::npos) << said;
        EXPECT_LT(seconds, 5 + 4) << said; // the profile's timeout, and a few seconds
        EXPECT_FALSE(fs::exists(received / "1.eml")); // nothing was ever taken
        kelvra_provider::LastReason().clear();
    }
}

TEST(Helper, IsBoundedWhateverItDoesWithItsGroupAndItsLostStatusIsNoSuccess)
{
    // It moves into the test's own group, out of the one the runner kills.
    const fs::path pidFile = fs::temp_directory_path() / ("kelvra-escape-" + std::to_string(getpid()));
    kelvra_posix::RunOptions options;
    options.bound = std::chrono::seconds(1);
    const auto start = Clock::now();
    const auto run = kelvra_posix::RunProgram(
        {"/usr/bin/python3", "-c",
         "import os, sys, time\nos.setpgid(0, os.getpgid(os.getppid()))\nopen(sys.argv[1], 'w').write(str(os.getpid()))\n"
         "time.sleep(60)\n",
         pidFile.string()},
        options);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cout << "    a helper that left its group ended after " << seconds << " s (bound 1 s)\n";
    ASSERT_TRUE(run);
    EXPECT_TRUE(run->timedOut);
    EXPECT_LT(seconds, 6.0);
    const pid_t escaped = std::stoi(ReadFile(pidFile));
    EXPECT_NE(kill(escaped, 0), 0); // killed and reaped
    fs::remove(pidFile);

    // An application that ignores SIGCHLD: the system reaps the helper and
    // throws its status away; neither a sendmail that failed nor one that
    // worked is taken for a message handed over.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGCHLD, SIG_IGN);
        int wrong = 0;
        for (const char *status : {"exit 75", "exit 0"}) {
            const auto r = kelvra_posix::RunProgram({"/bin/sh", "-c", status}, std::chrono::seconds(5));
            wrong += !r || !r->statusLost || r->exitCode != -1;
            try {
                kelvra_provider::SendThroughProgram({"/bin/sh", "-c", std::string(status) + " # "}, 5, "tester@example.org",
                                        {"ann@example.org"}, "Subject: x\r\n\r\nx\r\n");
                ++wrong;
            } catch (const kelvra_provider::MapiError &e) {
                wrong += e.code != static_cast<ULONG>(MAPI_E_FAILURE) ||
                         kelvra_provider::LastReason().find("ignores SIGCHLD") == std::string::npos;
            }
        }
        _exit(wrong);
    }
    const int status = WaitBounded(child, std::chrono::seconds(30));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
