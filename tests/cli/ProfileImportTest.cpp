// kelvra profile import: configuration files written here in the formats
// msmtp, mbsync and git document, turned into profiles that send through
// aiosmtpd and Dovecot on loopback; and what cannot be carried over, refused
// with the profile file left as it was.
#include "Command.h"
#include "Dovecot.h"

#include <sys/stat.h>

using namespace provider_test;

namespace {

class Import : public Command {
protected:
    void SetUp() override
    {
        Command::SetUp();
        const char *h = std::getenv("HOME");
        oldHome = h != nullptr ? h : "";
        setenv("HOME", home.c_str(), 1);
        // No profile file yet: the import makes it.
        fs::remove(profiles);
    }
    void TearDown() override
    {
        setenv("HOME", oldHome.c_str(), 1);
        Command::TearDown();
    }
    void Private(const fs::path &file) { fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write); }

    std::string oldHome;
};

} // namespace

TEST_F(Import, AnMsmtpAccountWithItsDefaultsAndBaseSendsThroughTheRelay)
{
    // Where msmtp reads it when there is no ~/.msmtprc.
    const fs::path config = home / "config" / "msmtp" / "config";
    WriteFile(config, "# msmtp configuration\n"
                      "defaults\n"
                      "auth on\n"
                      "logfile ~/.msmtp.log\n"
                      "\n"
                      "account base\n"
                      "host 127.0.0.1\n"
                      "port " + std::to_string(port) + "\n"
                      "tls off\n"
                      "\n"
                      "account work : base\n"
                      "user tester\n"
                      "passwordeval \"printf '%s\\\\n' s3cret-word\"\n"
                      "from tester@example.org\n"
                      "\n"
                      "account default : work\n");
    Result r = Run({"profile", "import", "msmtp", "--account", "work"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "added profile work (from msmtp)\n");
    EXPECT_NE(r.err.find("kelvra: note: msmtp names no mailbox: the profile keeps mail in the Maildir " +
                         (home / "data" / "kelvra" / "Mail").string() + " ("),
              std::string::npos)
        << r.err;
    EXPECT_EQ(fs::status(profiles).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadFile(profiles), "[work]\nplain = yes\nsmtp = smtp://127.0.0.1:" + std::to_string(port) +
                                      "\nuser = tester\npasswordcmd = printf '%s\\n' s3cret-word\n"
                                      "address = tester@example.org\n");
    auto relay = StartSmtp({"--auth", "tester:s3cret-word"});
    r = Run({"--profile", "work", "send", "--to", "ann@example.org", "--subject", "imported", "--body", "from msmtp"});
    ASSERT_EQ(r.status, 0) << r.err << Log();
    EXPECT_EQ(ReadFile(received / "1.env"), "tester@example.org\nann@example.org\n");

    // The default account points at work: so named, and work is taken.
    // Under a name of our own; the same name again (in any case) is
    // refused unless --force, and the refusal says how.
    r = Run({"profile", "import", "msmtp"});
    EXPECT_EQ(r.err, "kelvra: the profile file has a profile work already; it is kept: import under another name "
                     "(--as NAME) or replace it (--force); nothing was written\n");
    ASSERT_EQ(Run({"profile", "import", "msmtp", "--as", "Mine"}).status, 0);
    r = Run({"profile", "import", "msmtp", "--as", "mine"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("has a profile Mine already; it is kept"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("(code "), std::string::npos) << r.err; // no logon failure
    EXPECT_EQ(Run({"profile", "import", "msmtp", "--as", "mine", "--account", "work", "--force"}).status, 0);
    const std::string file = ReadFile(profiles);
    EXPECT_NE(file.find("[work]\n"), std::string::npos);
    EXPECT_NE(file.find("\n[mine]\nplain = yes\nsmtp = "), std::string::npos) << file; // in Mine's place
    EXPECT_EQ(file.find("[Mine]"), std::string::npos) << file;
}

TEST_F(Import, WhatCannotBeCarriedOverIsRefusedAndNothingIsWritten)
{
    const fs::path rc = home / ".msmtprc";
    const std::string base = "account a\nhost mail.example.org\nport 587\ntls on\nauth on\nuser ann\nfrom ann@example.org\n";
    const struct {
        std::string extra, said;
    } rows[] = {
        {"tls_certcheck off\n", ".msmtprc:8: tls_certcheck off is not something the provider does"},
        {"auth cram-md5\n", "authentication cram-md5 is not one the provider has"},
        {"tls off\n", "sends to mail.example.org without TLS"},
        {"password open\n", ".msmtprc:8: holds a password and others can read the file"},
        {"from %U@example.org\n", "is a pattern"},
        // A name that begins like a loopback address is none.
        {"host 127.0.0.1.example.org\ntls off\n", "sends to 127.0.0.1.example.org without TLS"},
    };
    WriteFile(profiles, "[Kept]\nmailbox = Mail\n");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.extra);
        WriteFile(rc, base + row.extra);
        fs::permissions(rc, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        const Result r = Run({"profile", "import", "msmtp"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(profiles), "[Kept]\nmailbox = Mail\n");
    }
    // Private, the password goes over; TLS from the start is smtps.
    WriteFile(rc, base + "tls_starttls off\nport 465\npassword \"a ; b\"\n");
    Private(rc);
    const Result added = Run({"profile", "import", "msmtp"});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(ReadFile(profiles), "[Kept]\nmailbox = Mail\n\n[a]\nsmtp = smtps://mail.example.org:465\nuser = ann\n"
                                  "password = \"a ; b\"\naddress = ann@example.org\n");
    // A file that is not there, and a profile that would not log on.
    EXPECT_EQ(Run({"profile", "import", "mbsync"}).status, 3);
    WriteFile(rc, "account b\nhost 127.0.0.1\ntls off\nfrom not an address\n");
    const Result r = Run({"profile", "import", "msmtp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a plain mail address"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(profiles).find("[b]"), std::string::npos);
}

// A configuration file is read only when it is a regular file of at most
// 1 MiB: a FIFO with no writer, a device that never ends, a folder and a
// huge file are refused at once (exit status 3), and nothing is written.
// git is held to the same rule, and to a bound when it never answers.
TEST_F(Import, AConfigurationThatIsNoRegularFileIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo((home / "fifo").c_str(), 0600), 0);
    fs::create_directories(home / "folder");
    WriteFile(home / "huge", std::string(1024 * 1024 + 1, '#'));
    // A git that never answers, found first on PATH.
    WriteFile(home / "stalled" / "git", "#!/bin/sh\nexec sleep 60\n");
    fs::permissions(home / "stalled" / "git", fs::perms::owner_all);
    WriteFile(home / "gitconfig", "[sendemail]\n\tsmtpServer = mail.example.org\n");
    const struct {
        std::string from, file, said;
    } rows[] = {
        {"msmtp", (home / "fifo").string(), "cannot read " + (home / "fifo").string() + ": not a regular file (a FIFO, socket or device)"},
        {"msmtp", "/dev/zero", "cannot read /dev/zero: not a regular file (a FIFO, socket or device)"},
        {"msmtp", (home / "folder").string(), "cannot read " + (home / "folder").string() + ": not a regular file (a folder)"},
        {"msmtp", (home / "huge").string(), "cannot read " + (home / "huge").string() + ": larger than 1 MiB"},
        {"msmtp", (home / "missing").string(), "cannot read " + (home / "missing").string() + ": No such file or directory"},
        {"git", (home / "fifo").string(), "cannot read " + (home / "fifo").string() + ": not a regular file (a FIFO, socket or device)"},
        {"stalled git", (home / "gitconfig").string(), "git config --get sendemail.smtpServer did not answer within 10 s"},
    };
    const std::string path = std::getenv("PATH");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.from + " " + row.file);
        const bool stalled = row.from == "stalled git";
        setenv("PATH", ((stalled ? (home / "stalled").string() + ":" : "") + path).c_str(), 1);
        const Result r = Run({"profile", "import", stalled ? "git" : row.from, "--file", row.file});
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(r.status, 3);
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(profiles));
    }
}

TEST_F(Import, AnMbsyncAccountIsTheImapMailboxOrItsLocalMaildir)
{
    dovecot::Server server;
    WriteFile(home / ".mbsyncrc", "IMAPAccount lab\n"
                                  "Host 127.0.0.1\n"
                                  "Port " + std::to_string(server.tlsPort) + "\n"
                                  "User tester\n"
                                  "PassCmd \"+printf secret\"\n"
                                  "SSLType IMAPS\n"
                                  "CertificateFile " + server.certificate.string() + "\n"
                                  "AuthMechs LOGIN\n"
                                  "\n"
                                  "IMAPStore lab-remote\n"
                                  "Account lab\n"
                                  "\n"
                                  "MaildirStore lab-local\n"
                                  "Path ~/Maildir/\n"
                                  "Inbox ~/Maildir/INBOX\n"
                                  "\n"
                                  "Channel lab\n"
                                  "Far :lab-remote:\n"
                                  "Near :lab-local:\n"
                                  "Patterns *\n");
    ASSERT_EQ(Run({"profile", "import", "mbsync"}).status, 0);
    EXPECT_EQ(ReadFile(profiles), "[lab]\nmailbox = imaps://tester@127.0.0.1:" + std::to_string(server.tlsPort) +
                                      "/INBOX\nuser = tester\nauth = login\ncafile = " +
                                      server.certificate.string() + "\npasswordcmd = printf secret\n");
    EXPECT_EQ(Run({"profile", "check", "lab"}).status, fs::exists("/usr/sbin/sendmail") ? 0 : 1);
    ASSERT_EQ(Run({"profile", "import", "mbsync", "--local", "--as", "offline"}).status, 0);
    EXPECT_NE(ReadFile(profiles).find("[offline]\nmailbox = " + (home / "Maildir" / "INBOX").string() + "\n"),
              std::string::npos)
        << ReadFile(profiles);

    // mbsync says nothing of outgoing mail: both profiles hand it to the
    // system's sendmail, here Debian's msmtp-mta relaying to loopback, and
    // say so; nothing lands in a mailbox as if it had been sent.
    std::error_code error;
    if (!fs::is_symlink("/usr/sbin/sendmail", error) || fs::read_symlink("/usr/sbin/sendmail", error).filename() != "msmtp")
        GTEST_SKIP() << "/usr/sbin/sendmail is not msmtp-mta's (apt-get install msmtp-mta)";
    WriteFile(home / ".msmtprc", "defaults\nauth off\ntls off\naccount relay\nhost 127.0.0.1\nport " +
                                     std::to_string(port) + "\nfrom tester@example.org\naccount default : relay\n");
    Private(home / ".msmtprc");
    const auto relay = StartSmtp();
    for (const char *profile : {"lab", "offline"}) {
        SCOPED_TRACE(profile);
        const Result r = Run({"--profile", profile, "send", "--to", "ann@example.org", "--body", "x"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "handed to /usr/sbin/sendmail for ann@example.org\n");
        EXPECT_NE(Run({"--profile", profile, "profile", "show"}).out.find(
                      "outgoing = sendmail /usr/sbin/sendmail (the system's"),
                  std::string::npos);
    }
    EXPECT_TRUE(fs::exists(received / "2.eml"));
    EXPECT_EQ(Messages(home / "Maildir" / "INBOX").size(), 0u);
}

// With no sender configured (no profile, no EMAIL) none is made up: the
// system's mail transfer agent (msmtp-mta, with its own "from") supplies
// it. EMAIL, the convention of mail tools, names one.
TEST_F(Import, WithNoSenderConfiguredTheMailTransferAgentSuppliesIt)
{
    std::error_code error;
    if (!fs::is_symlink("/usr/sbin/sendmail", error) || fs::read_symlink("/usr/sbin/sendmail", error).filename() != "msmtp")
        GTEST_SKIP() << "/usr/sbin/sendmail is not msmtp-mta's (apt-get install msmtp-mta)";
    WriteFile(home / ".msmtprc", "defaults\nauth off\ntls off\naccount relay\nhost 127.0.0.1\nport " +
                                     std::to_string(port) + "\nfrom ann@example.org\naccount default : relay\n");
    Private(home / ".msmtprc");
    unsetenv("KELVRA_MAPI_PROFILES"); // no profile file: the embedded default
    const auto relay = StartSmtp();
    const char *email = std::getenv("EMAIL");
    const std::string oldEmail = email != nullptr ? email : "";
    const struct {
        const char *email; // null: unset
        const char *envelopeFrom, *fromField, *sender;
    } rows[] = {
        {nullptr, "ann@example.org", "From: ann@example.org", "sender = none: "},
        {"Ann Other <ann.other@example.org>", "ann.other@example.org", "From: Ann Other <ann.other@example.org>",
         "sender = EMAIL in the environment"},
    };
    int sent = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.email != nullptr ? row.email : "(no EMAIL)");
        if (row.email != nullptr)
            setenv("EMAIL", row.email, 1);
        else
            unsetenv("EMAIL");
        const Result r = Run({"send", "--to", "bob@example.org", "--body", "x"});
        const Result shown = Run({"profile", "show"});
        ASSERT_EQ(r.status, 0) << r.err;
        ++sent;
        const std::string envelope = ReadFile(received / (std::to_string(sent) + ".env"));
        const std::string message = ReadFile(received / (std::to_string(sent) + ".eml"));
        EXPECT_EQ(envelope.substr(0, envelope.find('\n')), row.envelopeFrom);
        // One From field, the one expected (never one made up of the login).
        const std::string lines = "\n" + message.substr(0, message.find("\r\n\r\n"));
        EXPECT_NE(lines.find("\n" + std::string(row.fromField) + "\r\n"), std::string::npos) << message;
        EXPECT_EQ(lines.find("\nFrom:"), lines.rfind("\nFrom:")) << message;
        EXPECT_NE(shown.out.find(row.sender), std::string::npos) << shown.out;
    }
    if (email != nullptr)
        setenv("EMAIL", oldEmail.c_str(), 1);
    else
        unsetenv("EMAIL");
}

// --local: of several MaildirStores, the first one a channel pairs with
// the account's own store, not an earlier unpaired one nor a later pair.
TEST_F(Import, AnMbsyncLocalMaildirIsTheFirstOneAChannelPairsWithTheAccount)
{
    WriteFile(home / ".mbsyncrc", "IMAPAccount work\nHost mail.example.org\nUser ann@example.org\n\n"
                                  "IMAPStore work-remote\nAccount work\n\n"
                                  "MaildirStore spare\nInbox ~/Spare/INBOX\n\n"
                                  "MaildirStore work-inbox\nInbox ~/Mail/INBOX\n\n"
                                  "MaildirStore work-archive\nInbox ~/Archive/INBOX\n\n"
                                  "Channel inbox\nFar :work-remote:INBOX\nNear :work-inbox:\n\n"
                                  "Channel archive\nFar :work-remote:Archive\nNear :work-archive:\n");
    const Result r = Run({"profile", "import", "mbsync", "--local"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(profiles), "[work]\nmailbox = " + (home / "Mail" / "INBOX").string() +
                                      "\naddress = ann@example.org\n");
    EXPECT_NE(r.err.find("which mbsync keeps in step with mail.example.org"), std::string::npos) << r.err;
}

TEST_F(Import, GitSendEmailsSettingsSendThroughTheRelayOrItsProgram)
{
    const fs::path gitconfig = home / "gitconfig";
    const auto set = [&](const std::string &key, const std::string &value) {
        ASSERT_EQ(dovecot::RunQuietly({"/usr/bin/git", "config", "--file", gitconfig.string(), key, value}), 0);
    };
    set("user.name", "Someone Else");
    set("user.email", "else@example.org");
    set("sendemail.smtpServer", "127.0.0.1");
    set("sendemail.smtpServerPort", std::to_string(port));
    set("sendemail.from", "Ann Example <ann@example.org>");
    Result r = Run({"profile", "import", "git", "--file", gitconfig.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(profiles), "[git]\nsmtp = smtp://127.0.0.1:" + std::to_string(port) +
                                      "\nplain = yes\nname = Ann Example\naddress = ann@example.org\n");
    auto relay = StartSmtp();
    r = Run({"--profile", "git", "send", "--to", "bob@example.org", "--subject", "patch", "--body", "diff"});
    ASSERT_EQ(r.status, 0) << r.err << Log();
    EXPECT_EQ(ReadFile(received / "1.env"), "ann@example.org\nbob@example.org\n");
    EXPECT_NE(ReadFile(received / "1.eml").find("From: Ann Example <ann@example.org>"), std::string::npos);

    // A path is a sendmail-like program, as git send-email runs it.
    WriteFile(home / "bin" / "my sendmail", "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$HOME/args\"\ncat > /dev/null\n");
    fs::permissions(home / "bin" / "my sendmail", fs::perms::owner_all);
    set("sendemail.smtpServer", (home / "bin" / "my sendmail").string());
    ASSERT_EQ(Run({"profile", "import", "git", "--file", gitconfig.string(), "--as", "mta"}).status, 0);
    r = Run({"--profile", "mta", "send", "--to", "bob@example.org", "--body", "diff"});
    ASSERT_EQ(r.status, 0) << r.err << Log();
    EXPECT_EQ(ReadFile(home / "args"), "-oi\n-f\nann@example.org\n--\nbob@example.org\n");
}

// A User that reads as part of a URL names no other server.
TEST_F(Import, AnMbsyncUserIsEncodedWholeInTheMailboxUrl)
{
    WriteFile(home / ".mbsyncrc", "IMAPAccount odd\nHost 127.0.0.1\nPort 993\nUser \"127.0.0.1:2600/x\"\n"
                                  "PassCmd \"+printf secret\"\nSSLType IMAPS\n");
    const Result r = Run({"profile", "import", "mbsync"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(ReadFile(profiles).find("mailbox = imaps://127.0.0.1%3A2600%2Fx@127.0.0.1:993/INBOX\n"), std::string::npos)
        << ReadFile(profiles);
}

// git lets a quoted value hold a line break: none of them adds a key.
TEST_F(Import, AValueThatHoldsALineBreakAddsNoKeyAndWritesNothing)
{
    const fs::path gitconfig = home / "gitconfig";
    const struct {
        const char *config, *said;
    } rows[] = {
        {"[sendemail]\n\tsmtpServer = 127.0.0.1\n\tsmtpUser = \"me\\npasswordcmd\\ttouch pwned\"\n", "holds a line break"},
        {"[user]\n\tname = \"Alice\\nsmtp\\tsmtps://attacker.example:465\"\n\temail = a@example.org\n"
         "[sendemail]\n\tsmtpServer = 127.0.0.1\n",
         "holds a line break"},
        // Not UTF-8: refused before writing, not after (--json could not say it).
        {"[user]\n\tname = Al\xFFice\n\temail = a@example.org\n[sendemail]\n\tsmtpServer = 127.0.0.1\n", "is not UTF-8"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.config);
        WriteFile(gitconfig, row.config);
        const Result r = Run({"--json", "profile", "import", "git", "--file", gitconfig.string()});
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(row.said), std::string::npos) << r.out << r.err;
        EXPECT_FALSE(fs::exists(profiles));
        EXPECT_FALSE(fs::exists(home / "pwned"));
    }
}

// What another program's files (or another user) could slip in: a profile
// name made of shell syntax, a port that names a second host, a command
// from a file someone else wrote or could change, and terminal commands or
// reordering marks in a configuration value. Each is refused, or shown
// harmlessly, and nothing runs.
TEST_F(Import, NamesPortsCommandsAndTerminalTextFromOtherFilesAreHeldToTheProfileFilesRules)
{
    const std::string relay = "host 127.0.0.1\nport " + std::to_string(port) + "\ntls off\nfrom ann@example.org\n";
    const fs::path gitconfig = home / "gitconfig";
    const fs::perms shared = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                             fs::perms::group_write | fs::perms::others_read | fs::perms::others_write;
    const struct {
        const char *from; // msmtp, mbsync or git
        std::string config;
        fs::perms mode;
        int status;
        std::string said;
    } rows[] = {
        {"msmtp", "account $(touch PWNED)\n" + relay, fs::perms::owner_read | fs::perms::owner_write, 1,
         "a new profile's name is printable text"},
        {"msmtp", "account a\nhost 127.0.0.1\nport 25@mail.attacker.example:587\ntls off\n",
         fs::perms::owner_read | fs::perms::owner_write, 1, "the port 25@mail.attacker.example:587 is not a port number"},
        {"msmtp", "account a\n" + relay + "auth on\nuser ann\npasswordeval \"touch PWNED; echo pw\"\n", shared, 1,
         "the imported passwordcmd is a command, and " + (home / ".msmtprc").string() + " can be changed by others"},
        {"mbsync", "IMAPAccount a\nHost 127.0.0.1\nUser ann\nPassCmd \"touch PWNED; echo pw\"\nSSLType None\n", shared,
         1, "the imported passwordcmd is a command, and " + (home / ".mbsyncrc").string() + " can be changed by others"},
        {"git", "[sendemail]\n\tsmtpServer = /bin/touch\n[user]\n\temail = a@example.org\n", shared, 1,
         "the imported sendmail is a command, and " + gitconfig.string() + " can be changed by others"},
        {"git", "[sendemail]\n\tsmtpServer = \"\x1b]0;OWNED-TITLE\x07\x1b[2Jmail.example.org\"\n", shared, 1,
         "the sendemail.smtpServer ^[]0;OWNED-TITLE^G^[[2Jmail.example.org is not a host name"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.config);
        const fs::path file = std::string(row.from) == "git"      ? gitconfig
                              : std::string(row.from) == "msmtp" ? home / ".msmtprc"
                                                                  : home / ".mbsyncrc";
        WriteFile(file, row.config);
        fs::permissions(file, row.mode);
        std::vector<std::string> args = {"profile", "import", row.from};
        if (file == gitconfig)
            args.insert(args.end(), {"--file", gitconfig.string()});
        const Result r = Run(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(profiles));
        EXPECT_FALSE(fs::exists(home / "PWNED"));
        fs::remove(file);
    }
    // A file of another user's, however its mode reads (as root, which can
    // make one).
    if (geteuid() == 0) {
        WriteFile(home / ".msmtprc", "account a\n" + relay + "auth on\nuser ann\npasswordeval \"echo pw\"\n");
        fs::permissions(home / ".msmtprc", fs::perms::owner_read | fs::perms::owner_write);
        ASSERT_EQ(chown((home / ".msmtprc").c_str(), 65534, 65534), 0);
        const Result r = Run({"profile", "import", "msmtp"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(".msmtprc belongs to another user"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(profiles));
        fs::remove(home / ".msmtprc");
    }
    // Marks that reorder text on the screen are shown, not obeyed: a note
    // with a host that holds one.
    WriteFile(gitconfig, "[sendemail]\n\tsmtpServer = mail.\xe2\x80\xae" "elpmaxe.org\n[user]\n\temail = a@example.org\n");
    const Result r = Run({"profile", "import", "git", "--file", gitconfig.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("git sends to mail.<U+202E>elpmaxe.org without encryption"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\xe2\x80\xae"), std::string::npos) << r.err;
}
