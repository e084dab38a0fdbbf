// The kelvra command run as a user runs it, against the provider in a
// temporary profile and against a loopback SMTP server.
#include "Command.h"
#include "Loopback.h"
#include "Python.h"
#include "SecretService.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <chrono>
#include <set>
#include <sstream>
#include <thread>

using namespace provider_test;
using json = nlohmann::json;


// A library another user planted beside a program in a folder others can
// write is never loaded as the provider; the user's own beside it is.
TEST_F(Command, AProviderPlantedBesideTheProgramIsLoadedOnlyWhenTrusted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making another user's file needs root";
    const fs::path shared = home / "shared";
    fs::create_directories(shared);
    fs::copy_file(KELVRA_COMMAND, shared / "kelvra");
    fs::copy_file(KELVRA_FAKEMAPI, shared / "libkelvramapi.so");
    setenv("FAKEMAPI_LOG", (home / "planted.log").c_str(), 1);
    program = (shared / "kelvra").string();
    struct {
        const char *setup;
        fs::perms folder;
        uid_t owner;
        bool loaded;
    } rows[] = {
        {"a folder all may write, another user's library", fs::perms::all | fs::perms::sticky_bit, 12345, false},
        {"the user's folder, another user's library", fs::perms::owner_all, 12345, false},
        {"a folder all may write, the user's library", fs::perms::all | fs::perms::sticky_bit, 0, false},
        {"the user's folder and library", fs::perms::owner_all, 0, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.setup);
        fs::remove(home / "planted.log");
        fs::permissions(shared, row.folder);
        ASSERT_EQ(chown((shared / "libkelvramapi.so").c_str(), row.owner, row.owner), 0);
        Run({"count"});
        EXPECT_EQ(fs::exists(home / "planted.log"), row.loaded);
    }
    unsetenv("FAKEMAPI_LOG");
    program = KELVRA_COMMAND;
}

// A file another user left, open to all, lends its mode to no replacement.
TEST_F(Command, SaveAttachmentsForceKeepsOnlyTheUsersOwnFilesMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making another user's file needs root";
    ASSERT_EQ(Run({"send", "--to", "ann@example.org", "--body", "x", "--attach", (home / "report.txt").string()}).status, 0);
    const std::string id = Json({"list"})[0]["id"];
    fs::create_directories(home / "shared");
    for (const bool own : {false, true}) {
        SCOPED_TRACE(own ? "the user's own file" : "another user's file");
        const fs::path there = home / "shared" / "report.txt";
        WriteFile(there, "left there");
        ASSERT_EQ(chown(there.c_str(), own ? 0 : 12345, own ? 0 : 12345), 0);
        ASSERT_EQ(chmod(there.c_str(), own ? 0640 : 0777), 0);
        const Result r = Run({"save-attachments", id, (home / "shared").string(), "--force"});
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat st {};
        ASSERT_EQ(stat(there.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        const mode_t mask = umask(0);
        umask(mask);
        EXPECT_EQ(st.st_mode & 07777, own ? 0640u : (0666u & ~mask)) << std::oct << st.st_mode;
    }
}

TEST_F(Command, EverySubcommandDoesItsJobAndAnswersInJson)
{
    // Recipients as people write them: a name, an address with its
    // display name (quoted or not), each option repeated, in order.
    const json sent = Json({"send", "--to", "Ann", "--to", "\"Carol C.\" <carol@example.org>", "--cc",
                            "Bob Builder <bob@example.org>", "--subject", "Gr\xC3\xBC\xC3\x9F" "e", "--attach",
                            (home / "report.txt").string(), "--receipt"});
    EXPECT_EQ(sent["to"], json::array({"Ann", "\"Carol C.\" <carol@example.org>"}));
    EXPECT_EQ(sent["attachments"].size(), 1u);
    // The profile delivers into its mailbox on purpose, and says so.
    EXPECT_EQ(sent["outcome"], "delivered into the mailbox " + mailbox.string() + " (nothing left this machine)");
    // The body from standard input, in plain text.
    Result r = Run({"send", "--to", "ann@example.org", "--subject", "second", "--body-file", "-"}, "piped\nbody\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "delivered into the mailbox " + mailbox.string() + " (nothing left this machine)\n");

    const json list = Json({"list", "--fifo"});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["subject"], "Gr\xC3\xBC\xC3\x9F" "e");
    EXPECT_EQ(list[0]["from"]["address"], "tester@example.org");
    EXPECT_EQ(list[0]["attachments"], 1);
    EXPECT_EQ(list[0]["unread"], true);
    EXPECT_EQ(Json({"list", "--limit", "1"}).size(), 1u);
    EXPECT_EQ(Json({"count", "--unread"})["count"], 2); // listing read nothing
    const std::string id = list[0]["id"];

    const json shown = Json({"show", id});
    EXPECT_EQ(shown["to"], json::parse(R"([{"name": "Ann Example", "address": "ann@example.org"},
                                           {"name": "Carol C.", "address": "carol@example.org"}])"));
    EXPECT_EQ(shown["cc"], json::parse(R"([{"name": "Bob Builder", "address": "bob@example.org"}])"));
    // Times in ISO 8601 with seconds and offset: when it arrived, and the
    // message's own Date (which a listing does not read).
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d))");
    EXPECT_TRUE(std::regex_match(shown["received"].get<std::string>(), iso)) << shown["received"];
    EXPECT_TRUE(std::regex_match(shown["date"].get<std::string>(), iso)) << shown["date"];
    EXPECT_EQ(list[0]["received"], shown["received"]);
    EXPECT_FALSE(list[0].contains("date"));
    EXPECT_EQ(shown["receipt_requested"], true);
    EXPECT_EQ(shown["attachments"][0]["name"], "report.txt");
    EXPECT_EQ(shown["attachments"][0]["size"], 18);
    EXPECT_EQ(Json({"count", "--unread"})["count"], 1); // shown without --peek: read
    EXPECT_EQ(Json({"show", list[1]["id"], "--peek"})["body"], "piped\r\nbody");

    fs::create_directories(home / "out");
    const json saved = Json({"save-attachments", id, (home / "out").string()});
    EXPECT_EQ(ReadFile(home / "out" / "report.txt"), "quarterly figures\n");
    EXPECT_EQ(saved["saved"][0]["path"], (home / "out" / "report.txt").string());
    r = Run({"save-attachments", id, (home / "out").string()});
    EXPECT_EQ(r.status, 3); // never overwritten without --force
    EXPECT_NE(r.err.find("--force"), std::string::npos);
    EXPECT_EQ(Run({"save-attachments", id, (home / "out").string(), "--force"}).status, 0);

    const json resolved = Json({"resolve", "bobby"});
    EXPECT_EQ(resolved["address"], "bob@example.org");
    EXPECT_EQ(Json({"details", "Ann"})["name"], "Ann Example");
    EXPECT_EQ(Json({"delete", id})["deleted"], id);
    EXPECT_EQ(Json({"count"})["count"], 1);

    // The dialogs need a user: here the mail system says it cannot show one.
    r = Run({"pick"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(code 26, MAPI_E_NOT_SUPPORTED)"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"--version"}).out, "kelvra " KELVRA_VERSION "\n");
}

TEST_F(Command, FailuresHaveTheirExitStatusAndSayWhatWentWrong)
{
    ASSERT_EQ(mkfifo((home / "fifo").c_str(), 0600), 0); // never opened: nothing would write to it
    struct {
        std::vector<std::string> args;
        int status;
        const char *says;
    } rows[] = {
        {{"send", "--to", "ann@example.org", "--attach", "/nonexistent/file.pdf"}, 3, "no such file to attach"},
        {{"send", "--to", "ann@example.org", "--attach", home.string()}, 3, "it is not a regular file (a folder)"},
        {{"send", "--to", "ann@example.org", "--attach", (home / "fifo").string()}, 3,
         "it is not a regular file (a FIFO, socket or device)"},
        // The mail system's reason first, then its code and the code's name.
        {{"show", "1700000000.M1P1Q1.nowhere"}, 1, " (code 17, MAPI_E_INVALID_MESSAGE)"},
        {{"delete", "1700000000.M1P1Q1.nowhere"}, 1,
         "kelvra: no message has the identifier \"1700000000.M1P1Q1.nowhere\" in the Maildir "},
        {{"--profile", "Nowhere", "count"}, 1, "kelvra: there is no profile Nowhere in "},
        {{"--profile", "Nowhere", "count"}, 1, "(its profiles: Home, Work) (code 3, MAPI_E_LOGON_FAILURE)\n"},
        {{"send", "--to", "Nobody Known"}, 1, "kelvra: \"Nobody Known\" is neither in the address book (2 entries) nor a plain address (code 14, MAPI_E_UNKNOWN_RECIPIENT)\n"},
        {{"resolve", "Example"}, 1, "kelvra: \"Example\" matches several entries of the address book: Ann Example <ann@example.org>, Bob Example <bob@example.org> (code 21, MAPI_E_AMBIGUOUS_RECIPIENT)\n"},
        {{"pick"}, 1, "kelvra: the address-book dialog cannot be shown: KELVRA_MAPI_UI=none allows none (code 26, MAPI_E_NOT_SUPPORTED)\n"},
        {{"send", "--to", "x@example.org>\r\nRCPT TO:<y@example.org"}, 1, "(code 14, MAPI_E_UNKNOWN_RECIPIENT)"},
        {{"list", "--limit", "-3"}, 2, "--help"},
        // Every error line is the command's own, with its prefix.
        {{"send", "--attach"}, 2, "kelvra: --attach: 1 required TEXT missing (see --help)\n"},
        {{"show", ""}, 2, "kelvra: ID: may not be empty (see --help)\n"},
        {{"send", "--to", "a@example.org", "--attach", "", "--body", "x"}, 2,
         "kelvra: --attach needs the path of a file, not an empty text (see --help)\n"},
        {{"send", "--subject", "to no one", "--body", "x"}, 2, "send needs a recipient"},
        {{"frobnicate"}, 2, "frobnicate is no subcommand (see kelvra --help)"},
        {{"profile", "shw"}, 2, "shw is no subcommand of profile (see kelvra profile --help)"},
        // A name that is not UTF-8 never reaches a profile under another name.
        {{"--profile", "Wo\xFFrk", "profile", "show"}, 2, "--profile is not UTF-8 text: the byte at offset 2"},
        {{"profile", "check", "Wo\xFFrk"}, 2, "NAME is not UTF-8 text: the byte at offset 2"},
        {{"--profile", "Wo\xFFrk", "password", "clear"}, 2, "--profile is not UTF-8 text: the byte at offset 2"},
        {{"send", "--to", "\"Example, Ann <ann@example.org>", "--body", "x"}, 2,
         "a quote is not closed, and ';' or ',' after it separate recipients"},
        {{"list", "--limit", "-1"}, 2, "--limit: must be a whole number, 0 or more: -1"},
        {{"show", ""}, 2, "ID: may not be empty"},
        {{"resolve", ""}, 2, "NAME: may not be empty"},
        {{"show"}, 2, "ID is required"},
        {{"save-attachments", "x", (home / "missing-folder").string()}, 3, "no such folder"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
        const Result r = Run(row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
        // Said once: the provider's own line is not printed beside it.
        if (row.status != 2) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
    // With --json every failure is one JSON document on standard error, a
    // usage error's and an unknown subcommand's as well; standard output
    // stays empty for a pipe.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--json", "show", "1700000000.M1P1Q1.nowhere"}, {"--json", "list", "--limit", "x"}, {"--json", "lst"}}) {
        const Result r = Run(args);
        EXPECT_EQ(r.out, "");
        const json error = json::parse(r.err)["error"];
        EXPECT_EQ(error["status"], r.status);
        EXPECT_EQ(error.contains("code"), r.status == 1) << r.err;
    }
    EXPECT_EQ(json::parse(Run({"--json", "show", "1700000000.M1P1Q1.nowhere"}).err)["error"]["name"],
              "MAPI_E_INVALID_MESSAGE");
    // Every subcommand's --help names the global options.
    EXPECT_NE(Run({"count", "--help"}).out.find("--profile NAME, --password TEXT (unsafe), --json"), std::string::npos);
    EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
}

TEST_F(Command, AttachmentNamesNeverLeaveTheTargetFolder)
{
    const std::string mime =
        "From: someone@example.org\r\nSubject: tricks\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
        "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
        "--B\r\nContent-Disposition: attachment; filename=\"../../escaped.txt\"\r\n\r\nout\r\n"
        "--B\r\nContent-Disposition: attachment; filename=\"..\"\r\n\r\ndots\r\n"
        "--B\r\nContent-Disposition: attachment; filename=\"link.txt\"\r\n\r\nvia link\r\n"
        "--B--\r\n";
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.test:2,S", mime);
    const fs::path out = home / "target";
    fs::create_directories(out);
    // A link in the folder that points outside it is replaced, never followed.
    fs::create_symlink(home / "victim.txt", out / "link.txt");
    WriteFile(home / "victim.txt", "untouched");
    const json saved = Json({"save-attachments", "1700000000.M1P1Q1.test", out.string(), "--force"});
    EXPECT_EQ(saved["saved"].size(), 3u);
    EXPECT_EQ(ReadFile(out / "escaped.txt"), "out");
    EXPECT_EQ(ReadFile(home / "victim.txt"), "untouched");
    EXPECT_FALSE(fs::is_symlink(out / "link.txt"));
    for (const auto &e : fs::directory_iterator(home))
        EXPECT_NE(e.path().filename(), "escaped.txt");
}

TEST_F(Command, SavedNamesAreNeitherHiddenNorCommandsToTheTerminal)
{
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.test:2,S",
              "From: someone@example.org\r\nSubject: names\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
              "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
              "--B\r\nContent-Disposition: attachment; filename=\".bashrc\"\r\n\r\nrm -rf ~\r\n"
              "--B\r\nContent-Disposition: attachment; filename=\"red\x1b[31mline.txt\"\r\n\r\nx\r\n"
              "--B--\r\n");
    const fs::path out = home / "target";
    fs::create_directories(out);
    const json saved = Json({"save-attachments", "1700000000.M1P1Q1.test", out.string()});
    ASSERT_EQ(saved["saved"].size(), 2u);
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(out))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"bashrc", "red_[31mline.txt"}));
    // One name for the file, in show as in the save; the sender's beside it.
    const json shown = Json({"show", "1700000000.M1P1Q1.test"});
    EXPECT_EQ(shown["attachments"][0]["name"], "bashrc");
    EXPECT_EQ(shown["attachments"][0]["sent_as"], ".bashrc");
    EXPECT_EQ(saved["saved"][0]["name"], "bashrc");
    // What a user typed is shown safely too, in an error.
    const Result r = Run({"save-attachments", "1700000000.M1P1Q1.test", (home / "no\x1b[2Jsuch").string()});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no^[[2Jsuch"), std::string::npos) << r.err;
    // --password works, and says it is unsafe.
    const Result withPassword = Run({"--password", "x", "count"});
    EXPECT_EQ(withPassword.status, 0) << withPassword.err;
    EXPECT_NE(withPassword.err.find("--password puts the password where other users can read it"), std::string::npos);
}

TEST_F(Command, AReplacementThatCannotBeWrittenWholeLeavesTheOldFile)
{
    const std::string big(64 * 1024, 'x');
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.test:2,S",
              "From: someone@example.org\r\nSubject: big\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
              "--B\r\nContent-Type: text/plain\r\n\r\nhi\r\n--B\r\nContent-Disposition: attachment; "
              "filename=\"big.txt\"\r\n\r\n" + big + "\r\n--B--\r\n");
    // The target folder is a file system of 16 KB: the copy runs out of
    // room half way.
    const fs::path out = home / "target";
    fs::create_directories(out);
    if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=16k tmpfs '" + out.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    struct Unmount {
        fs::path at;
        ~Unmount() { (void)!std::system(("umount -l '" + at.string() + "'").c_str()); }
    } unmount{out};
    WriteFile(out / "big.txt", "the old one");
    const Result r = Run({"save-attachments", "1700000000.M1P1Q1.test", out.string(), "--force"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("big.txt"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(out / "big.txt"), "the old one");
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1); // nothing left beside it
}

TEST_F(Command, SendReadsNoTextFromATerminal)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    const Result r = Run({"send", "--to", "ann@example.org", "--subject", "typed?"}, "", "", ptsname(master));
    close(master);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("send needs a text"), std::string::npos) << r.err;
    EXPECT_TRUE(Messages(mailbox).empty()); // nothing went
    // An empty text on purpose goes.
    EXPECT_EQ(Run({"send", "--to", "ann@example.org", "--body", ""}).status, 0);
    EXPECT_EQ(Messages(mailbox).size(), 1u);
}

TEST_F(Command, SendGoesOutOverSmtp)
{
    WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddressbook = contacts.vcf\naddress = tester@example.org\n"
                        "smtp = smtp://127.0.0.1:" + std::to_string(port) + "\nplain = yes\n");
    const auto server = StartSmtp({"--refuse", "refused"});
    ASSERT_TRUE(server->Running());
    Result r = Run({"--profile", "Smtp", "send", "--to", "Ann", "--bcc", "hidden@example.net", "--subject", "wire",
                    "--body", "over SMTP"});
    ASSERT_EQ(r.status, 0) << r.err << Log();
    EXPECT_EQ(ReadFile(received / "1.env"), "tester@example.org\nann@example.org\nhidden@example.net\n");
    r = Run({"--profile", "Smtp", "send", "--to", "refused@example.org", "--body", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(code 14, MAPI_E_UNKNOWN_RECIPIENT)"), std::string::npos) << r.err;
}

// A display name in quotes may hold the list's separators: it stays one
// recipient, and readers see the name as it was given.
TEST_F(Command, AQuotedNameWithSeparatorsIsOneRecipientUnderThatName)
{
    WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddress = tester@example.org\nsmtp = smtp://127.0.0.1:" +
                            std::to_string(port) + "\nplain = yes\n");
    const auto server = StartSmtp();
    ASSERT_TRUE(server->Running());
    const std::string longName = "Ärztekammer; Abteilung für Übersetzungen, Öffentlichkeitsarbeit und Ähnliches";
    const struct {
        std::vector<std::string> options;
        const char *addresses; // To, then Cc, as JSON
        const char *names;
    } rows[] = {
        {{"--to", "ann@example.org", "--cc", "\"Eve, the Auditor\" <eve@example.com>"},
         R"(["ann@example.org","eve@example.com"])", R"(["","Eve, the Auditor"])"},
        {{"--to", "\"Müller; Jörg \\\"JJ\\\", Dr.\" <j@example.com>, bob@example.org"},
         R"(["j@example.com","bob@example.org"])", R"(["Müller; Jörg \"JJ\", Dr.",""])"},
        {{"--to", "\"" + longName + "\" <office@example.com>"}, R"(["office@example.com"])", nullptr},
    };
    int sent = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.options[1]);
        std::vector<std::string> args = {"--profile", "Smtp", "send", "--body", "x"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        const Result r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err << Log();
        const auto fields = Fields(RunPython({"read", (received / (std::to_string(++sent) + ".eml")).string()}));
        json addresses = json::parse(fields.at("to"));
        for (const auto &a : json::parse(fields.at("cc")))
            addresses.push_back(a);
        EXPECT_EQ(addresses, json::parse(row.addresses));
        // Python's header parser keeps the folding blank between two encoded
        // words that GMime wrote for the long name: blanks are compared as one.
        const std::string names = std::regex_replace(fields.at("names"), std::regex("  +"), " ");
        EXPECT_EQ(json::parse(names), row.names ? json::parse(row.names) : json::array({longName}));
    }
}

TEST_F(Command, SendInALatin1LocaleKeepsEveryScript)
{
    const char *locales = std::getenv("KELVRA_LATIN1_LOCPATH");
    ASSERT_NE(locales, nullptr) << "the folder of the test's Latin-1 locale (tests/CMakeLists.txt)";
    WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddressbook = contacts.vcf\naddress = tester@example.org\n"
                        "smtp = smtp://127.0.0.1:" + std::to_string(port) + "\nplain = yes\n");
    const auto server = StartSmtp();
    ASSERT_TRUE(server->Running());
    const std::string subject = "\u65E5\u672C\u8A9E\u306E\u4EF6\u540D \U0001F600";
    const std::string name = "\u041E\u0442\u0447\u0451\u0442.txt";
    WriteFile(home / fs::path(std::u8string(name.begin(), name.end())), "figures\n");

    // Only the command runs in the locale.
    setenv("LOCPATH", locales, 1);
    setenv("LC_ALL", "de_DE.ISO-8859-1", 1);
    const Result r = Run({"--profile", "Smtp", "send", "--to", "Ann", "--subject", subject, "--body",
                          "\u041F\u0440\u0438\u0432\u0435\u0442", "--attach", (home / "").string() + name});
    unsetenv("LC_ALL");
    unsetenv("LOCPATH");
    ASSERT_EQ(r.status, 0) << r.err << Log();

    // As Python's email package reads what arrived.
    const auto fields = Fields(RunPython({"read", (received / "1.eml").string()}));
    EXPECT_EQ(fields.at("subject"), "\"" + subject + "\"");
    EXPECT_EQ(fields.at("body"), "\"\u041F\u0440\u0438\u0432\u0435\u0442\"");
    EXPECT_EQ(fields.at("attachments").substr(0, name.size() + 4), "[[\"" + name + "\"");
}

// The command's texts are UTF-8 in every locale: one that is not is a
// usage error naming where and the offset of its first bad byte, and
// nothing is sent; never a U+FFFD in its place. The same in a UTF-8 and a
// Latin-1 locale, where a Latin-1 byte is no more a character than elsewhere.
TEST_F(Command, TextThatIsNotUtf8IsRefusedNotChanged)
{
    const char *locales = std::getenv("KELVRA_LATIN1_LOCPATH");
    ASSERT_NE(locales, nullptr) << "the folder of the test's Latin-1 locale (tests/CMakeLists.txt)";
    WriteFile(home / "body.txt", "0123456789\xC3"); // a character cut short at the end
    const std::vector<std::string> to = {"send", "--to", "ann@example.org"};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = to;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        std::string input;
        const char *says; // null: sent
    } rows[] = {
        {with({"--subject", "s"}), "caf\xE9\n", "standard input is not UTF-8 text: the byte at offset 3 "},
        {with({"--body", "ok\xFF"}), "", "--body is not UTF-8 text: the byte at offset 2 "},
        {with({"--body", "\xC0\xAF"}), "", "--body is not UTF-8 text: the byte at offset 0 "}, // overlong '/'
        {with({"--body", "\xED\xA0\x80"}), "", "--body is not UTF-8 text: the byte at offset 0 "}, // a surrogate
        {with({"--body-file", (home / "body.txt").string()}), "", "body.txt is not UTF-8 text: the byte at offset 10 "},
        {with({"--subject", "Gr\xFC\xDF" "e", "--body", "x"}), "", "--subject is not UTF-8 text: the byte at offset 2 "},
        {{"send", "--to", "ann@example.org;b\xE9@example.org", "--body", "x"}, "", "--to is not UTF-8 text: the byte at offset 17 "},
        {with({"--cc", "\xE9", "--body", "x"}), "", "--cc is not UTF-8 text"},
        {with({"--type", "IPM.Note.\xE9", "--body", "x"}), "", "--type is not UTF-8 text: the byte at offset 9 "},
        {with({"--subject", "Gr\xC3\xBC\xC3\x9F" "e", "--body", "caf\xC3\xA9"}), "", nullptr},
    };
    for (const char *locale : {"C.UTF-8", "de_DE.ISO-8859-1"}) {
        for (const auto &row : rows) {
            SCOPED_TRACE(std::string(locale) + ": " + row.args[3] + " " + (row.args.size() > 4 ? row.args[4] : ""));
            fs::remove_all(mailbox);
            if (std::string(locale) != "C.UTF-8")
                setenv("LOCPATH", locales, 1); // the test's own Latin-1 locale
            setenv("LC_ALL", locale, 1);
            const Result r = Run(row.args, row.input);
            unsetenv("LC_ALL");
            unsetenv("LOCPATH");
            if (row.says == nullptr) {
                EXPECT_EQ(r.status, 0) << r.err;
                const auto fields = Fields(RunPython({"read", Messages(mailbox).at(0).string()}));
                EXPECT_EQ(fields.at("subject"), "\"Gr\u00FC\u00DFe\"");
                EXPECT_EQ(fields.at("body"), "\"caf\u00E9\\n\"");
                continue;
            }
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
            EXPECT_TRUE(Messages(mailbox).empty());
            EXPECT_TRUE(Messages(mailbox / ".Sent").empty());
        }
    }
}

TEST_F(Command, AStrangersTextsCommandNoTerminal)
{
    // Escape sequences, a carriage return that would hide a line, a bell, a
    // C1 control, a tab and a right-to-left override (which would show
    // "fdp.exe" as "exe.pdf"), in every text a message brings.
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.hostile:2,S",
              "From: =?utf-8?q?Eve=1B]0;pwned=07?= <eve@example.org>\n"
              "To: ann@example.org\n"
              "Subject: =?utf-8?q?Hi=1B[2J=0Dfake=09tab=C2=9B=E2=80=AEfdp.exe?=\n"
              "MIME-Version: 1.0\n"
              "Content-Type: multipart/mixed; boundary=\"B\"\n\n"
              "--B\nContent-Type: text/plain\n\nline one\r\n\tindented\x1b[31m red\x07\n--B\n"
              "Content-Type: text/plain\nContent-Disposition: attachment; filename=\"=?utf-8?q?a=1B]8;;x=07.txt?=\"\n\n"
              "x\n--B--\n");
    const std::string id = "1700000000.M1P1Q1.hostile";
    for (const std::vector<std::string> &args : {std::vector<std::string>{"list"}, {"show", id, "--peek"}}) {
        const Result r = Run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (char c : r.out) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte >= 0x20 || c == '\n' || (c == '\t' && args[0] == "show")) << args[0] << ": " << int(byte);
        }
        EXPECT_EQ(r.out.find("\xC2\x9B"), std::string::npos);
        EXPECT_NE(r.out.find("Hi^[[2J^Mfake^Itab\xEF\xBF\xBD<U+202E>fdp.exe"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\xE2\x80\xAE"), std::string::npos);
        EXPECT_NE(r.out.find("<eve@example.org>"), std::string::npos) << r.out; // its name GMime blanks
    }
    const Result shown = Run({"show", id, "--peek"});
    EXPECT_NE(shown.out.find("line one\n\tindented^[[31m red^G\n"), std::string::npos) << shown.out;
    // The attachment under the name it is saved as, its controls replaced.
    EXPECT_NE(shown.out.find("attachment: a_]8;;x_.txt"), std::string::npos) << shown.out;
    // JSON carries the exact texts, and the global options may follow the
    // subcommand.
    const Result listed = Run({"list", "--json"});
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(json::parse(listed.out).at(0).at("subject"), "Hi\x1b[2J\rfake\ttab\xC2\x9B\xE2\x80\xAE" "fdp.exe");
}

TEST_F(Command, APasswordKeptInTheKeyringSignsIn)
{
    SecretService keyring(home);
    ASSERT_TRUE(keyring.Running()) << "gnome-keyring-daemon on a private session bus";
    WriteFile(profiles, "[Keyring]\nmailbox = Mail\naddressbook = contacts.vcf\naddress = tester@example.org\n"
                        "smtp = smtp://127.0.0.1:" + std::to_string(port) + "\nplain = yes\nuser = kelvra\n");
    const auto server = StartSmtp({"--auth", "kelvra:hunter2"});
    ASSERT_TRUE(server->Running());
    const std::vector<std::string> send = {"--profile", "Keyring", "send", "--to", "ann@example.org", "--body", "x"};
    EXPECT_EQ(Run(send).status, 1); // no password anywhere
    Result r = Run({"password", "set", "--profile", "Keyring"}, "hunter2\n");
    ASSERT_EQ(r.status, 0) << r.err << Log();
    EXPECT_EQ(r.out, "kept the password of profile Keyring\n");
    r = Run(send);
    EXPECT_EQ(r.status, 0) << r.err << Log();
    EXPECT_TRUE(fs::exists(received / "1.eml"));
    ASSERT_EQ(Run({"password", "clear", "--profile", "Keyring"}).status, 0);
    EXPECT_EQ(Run(send).status, 1);
    EXPECT_FALSE(fs::exists(received / "2.eml"));
    EXPECT_EQ(Log().find("hunter2"), std::string::npos);
}

TEST_F(Command, WithoutASecretServiceTheKeyringIsSkipped)
{
    const std::string saved = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (home / "no-bus").string()).c_str(), 1);
    WriteFile(profiles, "[Keyring]\nmailbox = Mail\naddressbook = contacts.vcf\naddress = tester@example.org\n"
                        "smtp = smtp://127.0.0.1:9\nplain = yes\nuser = kelvra\n");
    const Result set = Run({"password", "set", "--profile", "Keyring"}, "hunter2\n");
    EXPECT_EQ(set.status, 1);
    EXPECT_NE(set.err.find("(code 26, MAPI_E_NOT_SUPPORTED)"), std::string::npos) << set.err;
    // Logging on is quiet; only the send, which needs the password, says
    // where it looked, once, before any server hears of it.
    fs::remove(home / "provider.log");
    EXPECT_EQ(Run({"--profile", "Keyring", "count"}).err, "");
    EXPECT_FALSE(fs::exists(home / "provider.log"));
    const Result send = Run({"--profile", "Keyring", "send", "--to", "ann@example.org", "--body", "x"});
    EXPECT_EQ(send.status, 1);
    EXPECT_NE(send.err.find("kelvra: profile Keyring: no password was found for kelvra at smtp://127.0.0.1:9: none "
                            "was given at logon, the profile has no passwordcmd or password, and the keyring could "
                            "not be asked: "),
              std::string::npos)
        << send.err;
    const std::string log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    if (saved.empty())
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
        setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
}

// A password the locale's character set cannot carry whole is refused
// before anything is kept (it would be kept changed); one it can carry goes
// on to the keyring (here none: refused there, code 26).
TEST_F(Command, APasswordTheLocaleCannotCarryIsRefused)
{
    const char *locales = std::getenv("KELVRA_LATIN1_LOCPATH");
    ASSERT_NE(locales, nullptr) << "the folder of the test's Latin-1 locale (tests/CMakeLists.txt)";
    setenv("LOCPATH", locales, 1);
    setenv("LC_ALL", "de_DE.ISO-8859-1", 1);
    const std::string saved = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (home / "no-bus").string()).c_str(), 1);
    WriteFile(profiles, "[Keyring]\nmailbox = Mail\naddressbook = contacts.vcf\naddress = tester@example.org\n"
                        "smtp = smtp://127.0.0.1:9\nplain = yes\nuser = kelvra\n");
    const Result refused = Run({"password", "set", "--profile", "Keyring"}, "p\u00E4ss\u65E5\u672C\n");
    const Result carried = Run({"password", "set", "--profile", "Keyring"}, "p\u00E4ss\n");
    unsetenv("LC_ALL");
    unsetenv("LOCPATH");
    if (saved.empty())
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    else
        setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("the password holds characters the locale's character set (ISO-8859-1) cannot carry"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(carried.status, 1);
    EXPECT_NE(carried.err.find("(code 26, MAPI_E_NOT_SUPPORTED)"), std::string::npos) << carried.err;
}

// What a walk looks at, seen from outside by strace: a count (a walk that
// must know every message's class) of a folder that has not changed since
// the cache saw it lists no folder and looks at no message file; after one
// delivery it lists the folders once and looks only at the new message.
TEST_F(Command, AWalkOfAnUnchangedFolderLooksAtNoMessageFile)
{
    if (std::system("strace -o /dev/null true 2>/dev/null") != 0)
        GTEST_SKIP() << "strace cannot trace here (ptrace not permitted)";
    fs::create_directories(mailbox / "tmp");
    fs::create_directories(mailbox / "new");
    fs::create_directories(mailbox / "cur");
    auto deliver = [&](int i) {
        const std::string name = "1700000000.M" + std::to_string(100 + i) + "P1Q1.trace";
        WriteFile(mailbox / "tmp" / name, "From: a@example.org\r\nSubject: number " + std::to_string(i) + "\r\n\r\nx");
        fs::rename(mailbox / "tmp" / name, mailbox / (i % 2 ? "new" : "cur") / (i % 2 ? name : name + ":2,S"));
        return name;
    };
    for (int i = 0; i < 40; ++i)
        deliver(i);
    // Past the folders' timestamp granularity (whole seconds on some file
    // systems), so that the listing may be kept.
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(2100)); };
    settle();
    ASSERT_EQ(Json({"count"})["count"], 40);
    // The files the command listed or looked at: folders read (getdents64),
    // message files named in a call.
    auto traced = [&] {
        const std::string log = (home / "trace").string();
        const std::string command = "strace -f -y -e trace=getdents64,newfstatat,statx,stat,lstat,openat,open -o " + log +
                                     " " KELVRA_COMMAND " --json count >" + (home / "traced.json").string() + " 2>/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(json::parse(ReadFile(home / "traced.json"))["count"], Messages(mailbox).size());
        struct Seen {
            int listings = 0;
            std::set<std::string> files;
        } seen;
        std::istringstream lines(ReadFile(log));
        for (std::string line; std::getline(lines, line);) {
            if (line.find("getdents64(") != std::string::npos &&
                (line.find("/Mail/new>") != std::string::npos || line.find("/Mail/cur>") != std::string::npos))
                ++seen.listings;
            const size_t at = line.find("1700000000.M");
            if (at != std::string::npos)
                seen.files.insert(line.substr(at, line.find_first_of(":\"", at) - at));
        }
        return seen;
    };
    const auto unchanged = traced();
    EXPECT_EQ(unchanged.listings, 0);
    EXPECT_TRUE(unchanged.files.empty()) << *unchanged.files.begin();
    const std::string added = deliver(40);
    settle();
    const auto changed = traced();
    EXPECT_GE(changed.listings, 2); // new/ and cur/, once each (a read may take more than one call)
    EXPECT_EQ(changed.files, std::set<std::string>{added});
}

// The files named to send go into the message in the order given, and a
// reader lists them so.
TEST_F(Command, AttachmentsGoInTheOrderGiven)
{
    std::vector<std::string> send = {"send", "--to", "ann@example.org", "--subject", "in order", "--body", "x"};
    for (const char *name : {"first.txt", "second.txt", "third.txt"}) {
        WriteFile(home / name, name);
        send.insert(send.end(), {"--attach", (home / name).string()});
    }
    const json sent = Json(send);
    const std::string id = Json({"list"}).at(0)["id"];
    std::vector<std::string> names;
    const json shown = Json({"show", "--peek", id});
    for (const json &f : shown["attachments"])
        names.push_back(f["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"first.txt", "second.txt", "third.txt"})) << shown.dump();
}

// A read decodes attachments into temporary files and never waits for them
// to reach the disk: seen from outside by strace, showing a message with
// three attachments syncs none of its files.
TEST_F(Command, ReadingAttachmentsSyncsNoTemporaryFile)
{
    if (std::system("strace -o /dev/null true 2>/dev/null") != 0)
        GTEST_SKIP() << "strace cannot trace here (ptrace not permitted)";
    std::vector<std::string> send = {"send", "--to", "ann@example.org", "--subject", "three files", "--body", "x"};
    for (const char *name : {"a.txt", "b.txt", "c.txt"}) {
        WriteFile(home / name, std::string(4096, *name));
        send.insert(send.end(), {"--attach", (home / name).string()});
    }
    ASSERT_EQ(Json(send)["attachments"].size(), 3u);
    const std::string id = Json({"list"}).at(0)["id"];
    const std::string log = (home / "trace").string();
    const std::string command = "strace -f -y -e trace=fsync,fdatasync,sync_file_range -o " + log +
                                " " KELVRA_COMMAND " --json show --peek " + id + " >" + (home / "shown.json").string() +
                                " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(json::parse(ReadFile(home / "shown.json"))["attachments"].size(), 3u);
    std::istringstream lines(ReadFile(log));
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.find("sync"), std::string::npos) << line;
}

// Progress of a long walk goes to standard error when that is a terminal,
// never into a file or beside a JSON answer (here shown from the start:
// KELVRA_PROGRESS_AFTER=0).
TEST_F(Command, ProgressShowsOnATerminalOnly)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(Run({"send", "--to", "ann@example.org", "--subject", std::string("n").append(std::to_string(i)), "--body", "x"}).status, 0);
    setenv("KELVRA_PROGRESS_AFTER", "0", 1);
    // Runs kelvra with standard error on a pseudo-terminal; what it showed there.
    auto onTerminal = [&](const std::vector<std::string> &args) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        EXPECT_EQ(Run(args, "", ptsname(master)).status, 0);
        // What it showed waits in the terminal's buffer.
        std::string shown;
        char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            shown.append(buffer, static_cast<size_t>(n));
        close(master);
        return shown;
    };
    const std::string counted = onTerminal({"count"});
    EXPECT_NE(counted.find("counted 1 messages (") , std::string::npos) << counted; // the first drawn
    EXPECT_NE(counted.find("\r"), std::string::npos);                                  // and cleared
    EXPECT_EQ(ReadFile(home / "stdout"), "5\n");
    EXPECT_NE(onTerminal({"list"}).find("listed 0 messages ("), std::string::npos);
    EXPECT_EQ(onTerminal({"list", "--json"}), "");
    EXPECT_EQ(onTerminal({"count", "--json"}), "");
    EXPECT_EQ(json::parse(ReadFile(home / "stdout"))["count"], 5);
    const Result r = Run({"count"}); // standard error a file
    EXPECT_EQ(r.err, "");
    unsetenv("KELVRA_PROGRESS_AFTER");
}

// Another program (Python's mailbox package) marks a message read and adds
// one right after a listing was kept: the next process sees both at once.
TEST_F(Command, ChangesByAnotherProgramShowAfterAKeptListing)
{
    for (const char *sub : {"tmp", "new", "cur"})
        fs::create_directories(mailbox / sub);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "1700000000.M" + std::to_string(200 + i) + "P1Q1.other";
        WriteFile(mailbox / "tmp" / name, "From: a@example.org\r\nSubject: s\r\n\r\nx");
        fs::rename(mailbox / "tmp" / name, mailbox / "new" / name);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2100)); // past the folders' timestamp granularity
    ASSERT_EQ(Json({"count", "--unread"})["count"], 3);            // the listing is kept now
    const std::string python = "import mailbox\nb=mailbox.Maildir('" + mailbox.string() + "',create=False)\n"
                               "k=sorted(b.keys())[0]\nm=b[k]\nm.set_subdir('cur')\nm.add_flag('S')\nb[k]=m\n"
                               "b.add(mailbox.MaildirMessage(b'From: b@example.org\\r\\nSubject: t\\r\\n\\r\\ny'))\n";
    WriteFile(home / "change.py", python);
    ASSERT_EQ(std::system(("/usr/bin/python3 " + (home / "change.py").string()).c_str()), 0);
    EXPECT_EQ(Json({"count", "--unread"})["count"], 3); // two left unread, one new
    EXPECT_EQ(Json({"count"})["count"], 4);
}

// profile show prints what the provider reads (never a secret); profile
// check logs on and tries each part, sending nothing, and says which failed.
TEST_F(Command, ProfileShowAndCheckReportEachPartWithoutSendingOrShowingSecrets)
{
    WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddressbook = contacts.vcf\naddress = tester@example.org\n"
                        "smtp = smtp://127.0.0.1:" + std::to_string(port) +
                            "\nplain = yes\nuser = tester\npassword = s3cret-word\n"
                            "[Mta]\nmailbox = Mail\nsendmail = '" + (home / "no such program").string() + "' -i\n");
    fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write);
    const auto server = StartSmtp({"--auth", "tester:s3cret-word"});
    ASSERT_TRUE(server->Running());

    EXPECT_EQ(Run({"profile", "list"}).out, "Smtp  (default)\nMta\n");
    EXPECT_EQ(Json({"profile", "list"}), json::parse(R"({"profiles": ["Smtp", "Mta"], "default": "Smtp"})"));
    Result r = Run({"profile", "show", "Smtp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[Smtp]    ; " + profiles.string() + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("mailbox = " + (home / "Mail").string() + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("password = (set)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("timeout = 300\n"), std::string::npos) << r.out; // a default, in effect
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
    const json shown = Json({"profile", "show", "Mta"});
    EXPECT_EQ(shown["keys"]["sendmail"], "'" + (home / "no such program").string() + "' -i");

    r = Run({"--profile", "Smtp", "profile", "check"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "mailbox: ok: " + (home / "Mail").string() + ": logged on; it holds no message\n" +
                         "addressbook: ok: " + contacts.string() + ": 2 contacts\n" + "outgoing: ok: smtp://127.0.0.1:" +
                         std::to_string(port) +
                         ": the server greets, accepts the login of tester (AUTH PLAIN) and answers NOOP; no message\n");
    EXPECT_TRUE(fs::is_empty(received)); // nothing was sent

    // A login the server refuses, and a sendmail that is not there.
    WriteFile(profiles, std::regex_replace(ReadFile(profiles), std::regex("s3cret-word"), "wrong"));
    r = Run({"--json", "profile", "check", "Smtp"});
    EXPECT_EQ(r.status, 1);
    json report = json::parse(r.out);
    EXPECT_FALSE(report["ok"]);
    EXPECT_TRUE(report["parts"][0]["ok"]);
    EXPECT_FALSE(report["parts"][2]["ok"]);
    // In the server's own words.
    EXPECT_NE(report["parts"][2]["detail"].get<std::string>().find("SMTP login refused by smtp://127.0.0.1:" +
                                                                   std::to_string(port) + ": \"535 "),
              std::string::npos)
        << r.out;
    r = Run({"profile", "check", "Mta"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("outgoing: FAILED: sendmail " + (home / "no such program").string() + " is not there"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Run({"profile", "check", "Nope"}).status, 1);
    EXPECT_EQ(Run({"profile"}).status, 2);
}

// Every example of kelvra(1) runs as pasted, in a home that has what the
// examples name: the contacts, the files, a message, a profile Office that
// signs in to a server, and a password manager.
TEST_F(Command, TheManualsExamples)
{
    SecretService keyring(home);
    ASSERT_TRUE(keyring.Running()) << "gnome-keyring-daemon on a private session bus";
    WriteFile(contacts, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nNICKNAME:annie\r\nEMAIL:ann@example.org\r\n"
                        "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:Bob Example\r\nEMAIL:bob@example.org\r\n"
                        "END:VCARD\r\n");
    WriteFile(profiles, ReadFile(profiles) + "[Office]\nmailbox = office-mail\nsmtp = smtp://127.0.0.1:9\n"
                                             "plain = yes\nuser = ann\n");
    WriteFile(home / "report.tsv", "q1\t10\n");
    WriteFile(home / "notice.txt", "The meeting is on Friday.\n");
    WriteFile(home / "addresses.txt", "ann@example.org\nbob@example.org\n");
    WriteFile(mailbox / "cur" / "1700000000.M1P1Q1.example:2,",
              "From: someone@example.org\r\nSubject: minutes\r\nContent-Type: multipart/mixed; boundary=B\r\n\r\n"
              "--B\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n--B\r\nContent-Disposition: attachment; "
              "filename=minutes.txt\r\n\r\nminutes\r\n--B--\r\n");
    WriteFile(mailbox / "cur" / "1700000001.M1P1Q1.report:2,S",
              "From: monitor@example.org\r\nSubject: nightly\r\nX-Message-Class: IPM.Note.Report\r\n\r\nok\r\n");
    fs::create_directories(home / "Downloads");
    WriteFile(home / "bin" / "pass", "#!/bin/sh\necho 'office secret'\n");
    fs::permissions(home / "bin" / "pass", fs::perms::owner_all);

    const std::string page = ReadFile(fs::path(KELVRA_SOURCE_DIR) / "doc" / "kelvra.1.scd");
    std::size_t at = page.find("# EXAMPLES");
    ASSERT_NE(at, std::string::npos);
    const std::string saved = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    program = "/bin/sh";
    int blocks = 0;
    while ((at = page.find("```\n", at)) != std::string::npos && at < page.find("# SEE ALSO")) {
        const std::size_t end = page.find("```\n", at + 4);
        // The page's source escapes a backslash as scdoc reads it.
        const std::string example =
            std::regex_replace(page.substr(at + 4, end - at - 4), std::regex(R"(\\\\)"), "\\");
        at = end + 4;
        ++blocks;
        SCOPED_TRACE(example);
        const Result r = Run({"-c", "cd \"$HOME\" && PATH=\"$HOME/bin:" + fs::path(KELVRA_COMMAND).parent_path().string() +
                                        ":$PATH\" && " + example},
                             "office secret\n");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
    program = KELVRA_COMMAND;
    setenv("HOME", saved.c_str(), 1);
    EXPECT_EQ(blocks, 7);
    EXPECT_EQ(ReadFile(home / "Downloads" / "minutes.txt"), "minutes");
    EXPECT_EQ(Json({"list", "--type", "IPM.Note.Report"}).size(), 0u); // the loop deleted it
    // The manual's own message, the quarterly report, the disk space, two notices.
    EXPECT_EQ(Json({"list", "--type", "IPM"}).size(), 5u);
}

// Times keep their offset as ±hh:mm whatever the zone, in JSON and text:
// the arrival in the user's zone (one an hour east of UTC here), the
// message's own Date in the sender's.
TEST_F(Command, TimesCarryTheirOffsetAsHoursAndMinutes)
{
    fs::create_directories(mailbox / "new");
    WriteFile(mailbox / "new" / "1451770920.M1P1Q1.here", "From: ann@example.org\r\nSubject: dated\r\n"
                                                          "Date: Sat, 02 Jan 2016 17:42:00 -0400\r\n\r\ntext\r\n");
    setenv("TZ", "CET-1", 1);
    const json list = Json({"list"});
    ASSERT_EQ(list.size(), 1u);
    const json shown = Json({"show", list[0]["id"], "--peek"});
    const Result text = Run({"show", list[0]["id"], "--peek"});
    unsetenv("TZ");
    EXPECT_EQ(shown["date"], "2016-01-02T17:42:00-04:00");
    EXPECT_TRUE(std::regex_match(shown["received"].get<std::string>(), std::regex(R"(.{19}\+01:00)"))) << shown;
    EXPECT_EQ(list[0]["received"], shown["received"]);
    EXPECT_NE(text.out.find("2016-01-02T17:42:00-04:00"), std::string::npos) << text.out;
}

// The answer says which way a message went, and "sent" only when it left:
// through the SMTP server or a sendmail program, not into the mailbox nor
// to the mail client.
TEST_F(Command, TheAnswerSaysWhichWayTheMessageWentAndSentOnlyWhenItLeft)
{
    const fs::path bin = home / "bin";
    fs::create_directories(bin);
    WriteFile(bin / "take", "#!/bin/sh\ncat > '" + (home / "taken.eml").string() + "'\n");
    WriteFile(bin / "xdg-email", "#!/bin/sh\nexit 0\n");
    for (const char *program : {"take", "xdg-email"})
        fs::permissions(bin / program, fs::perms::owner_all);
    WriteFile(profiles, "[Work]\nmailbox = Mail\nlocaldelivery = yes\naddress = tester@example.org\n"
                        "[Smtp]\nmailbox = Mail\naddress = tester@example.org\nsmtp = smtp://127.0.0.1:" +
                            std::to_string(port) + "\nplain = yes\n"
                            "[Mta]\nmailbox = Mail\naddress = tester@example.org\nsendmail = '" +
                            (bin / "take").string() + "'\n");
    fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write);
    const auto server = StartSmtp();
    ASSERT_TRUE(server->Running());
    const std::string path = std::getenv("PATH");
    const char *bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string busAddress = bus != nullptr ? bus : "";
    const struct {
        const char *profile;
        bool dialog;
        const char *way;
        bool sent;
    } rows[] = {
        {"Work", false, "mailbox", false},
        {"Smtp", false, "smtp", true},
        {"Mta", false, "sendmail", true},
        {"Work", true, "mail client", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.profile) + (row.dialog ? " --dialog" : ""));
        if (row.dialog) {
            setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
            setenv("DISPLAY", ":99", 1);
            setenv("KELVRA_MAPI_UI", "desktop", 1);
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
        std::vector<std::string> args = {"--json", "--profile", row.profile, "send", "--to", "ann@example.org",
                                         "--body", "x"};
        if (row.dialog)
            args.push_back("--dialog");
        const Result r = Run(args);
        setenv("PATH", path.c_str(), 1);
        unsetenv("DISPLAY");
        setenv("KELVRA_MAPI_UI", "none", 1);
        if (bus != nullptr)
            setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);
        ASSERT_EQ(r.status, 0) << r.err;
        const json answer = json::parse(r.out);
        EXPECT_EQ(answer["way"], row.way) << answer;
        EXPECT_EQ(answer["sent"], row.sent) << answer;
    }
    EXPECT_TRUE(fs::exists(home / "taken.eml"));
}

// profile check against a server that takes the connection and never
// greets: it ends within the profile's stall bound and says so, as a check
// (it sends nothing), not as a failed send.
TEST_F(Command, ACheckOfAServerThatNeverGreetsSaysSoWithinTheStallBound)
{
    const loopback::Listener listener(port); // never accepts: the kernel completes the connection
    ASSERT_TRUE(listener.Listening());
    WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddress = tester@example.org\nsmtp = smtp://127.0.0.1:" +
                            std::to_string(port) + "\nplain = yes\nstalltimeout = 2\n");
    const auto begun = std::chrono::steady_clock::now();
    const Result r = Run({"--profile", "Smtp", "profile", "check"});
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(20)); // a bound, not a speed
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("checking smtp://127.0.0.1:" + std::to_string(port) +
                         " failed: connecting to it, the server sent no greeting (nothing for 2 s, the profile's "
                         "stalltimeout)"),
              std::string::npos)
        << r.out << r.err;
}

// list's columns line up however long the identifiers are.
TEST_F(Command, ListColumnsLineUpWhateverTheIdentifiersLength)
{
    fs::create_directories(mailbox / "new");
    for (const char *name : {"1700000000.M1P1Q1.here", "1700000001.M22222P333333Q4444.somewhere.example"})
        WriteFile(mailbox / "new" / name, "From: ann@example.org\r\nSubject: s\r\n\r\ntext\r\n");
    const Result r = Run({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::set<size_t> dateColumns;
    for (std::string line; std::getline(lines, line);)
        dateColumns.insert(line.find("  20") + 2);
    EXPECT_EQ(dateColumns.size(), 1u) << r.out;
}

// The hand-off to the desktop's mail client (a stand-in xdg-email) says
// what it could not carry, refuses a text no argument can hold before it
// starts anything, and says when there is no desktop at all.
TEST_F(Command, TheHandOffSaysWhatItCannotCarry)
{
    const fs::path bin = home / "bin";
    fs::create_directories(bin);
    WriteFile(bin / "xdg-email", "#!/bin/sh\ntouch '" + (home / "started").string() + "'\nexit 0\n");
    fs::permissions(bin / "xdg-email", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    const char *bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string busAddress = bus != nullptr ? bus : "";
    setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    setenv("KELVRA_MAPI_UI", "desktop", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const Result bare = Run({"send", "--dialog", "--to", "ann@example.org", "--body", "x"}); // no DISPLAY
    setenv("DISPLAY", ":99", 1);
    const Result asked = Run({"send", "--dialog", "--to", "ann@example.org", "--body", "x", "--receipt", "--type",
                              "IPM.Note.Survey"});
    fs::remove(home / "started");
    WriteFile(home / "long.txt", std::string(150000, 'a'));
    const Result large =
        Run({"send", "--dialog", "--to", "ann@example.org", "--body-file", (home / "long.txt").string()});
    setenv("PATH", path.c_str(), 1);
    unsetenv("DISPLAY");
    setenv("KELVRA_MAPI_UI", "none", 1);
    if (bus != nullptr)
        setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);

    EXPECT_EQ(bare.status, 1);
    EXPECT_NE(bare.err.find("KELVRA_MAPI_UI=desktop, but no desktop session was found"), std::string::npos) << bare.err;
    ASSERT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(asked.out, "handed to the mail client, to be written and sent from there (the mail client was not "
                         "asked for a read receipt nor for the message class IPM.Note.Survey)\n");
    EXPECT_EQ(large.status, 1);
    EXPECT_NE(large.err.find("the text is 150000 bytes, and xdg-email takes it as one argument"), std::string::npos)
        << large.err;
    EXPECT_NE(large.err.find("(code 18, MAPI_E_TEXT_TOO_LARGE)"), std::string::npos) << large.err;
    EXPECT_FALSE(fs::exists(home / "started"));
}

// A file whose name holds ',' or ';' (which separate an attachment list)
// goes as a private copy under a name without them, and says so; the copy
// is gone afterwards.
TEST_F(Command, AnAttachmentNamedWithACommaGoesAsACopyAndSaysSo)
{
    fs::create_directories(home / "Akten; 2026");
    WriteFile(home / "Akten; 2026" / "Bericht, M\xC3\xA4rz.txt", "Zahlen\n");
    WriteFile(home / "plain.txt", "plain\n");
    const Result r = Run({"send", "--to", "ann@example.org", "--body", "x", "--attach",
                          (home / "Akten; 2026" / "Bericht, M\xC3\xA4rz.txt").string(), "--attach",
                          (home / "plain.txt").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "kelvra: note: Bericht, M\xC3\xA4rz.txt goes as Bericht M\xC3\xA4rz.txt: an attachment's name "
                     "cannot hold ',' or ';'\n");
    const json shown = Json({"show", Json({"list"})[0]["id"], "--peek"});
    ASSERT_EQ(shown["attachments"].size(), 2u);
    EXPECT_EQ(shown["attachments"][0]["name"], "Bericht M\xC3\xA4rz.txt");
    EXPECT_EQ(shown["attachments"][1]["name"], "plain.txt");
    for (const auto &e : fs::directory_iterator(home / "tmp"))
        EXPECT_EQ(e.path().filename().string().rfind("kelvra-attach-", 0), std::string::npos) << e.path();
}

// HTML-only mail shows as text in show and --json show; its HTML is still
// among the attachments.
TEST_F(Command, HtmlOnlyMailShowsAsText)
{
    fs::create_directories(mailbox / "new");
    WriteFile(mailbox / "new" / "1700000000.M1P1Q1.html",
              "From: news@example.org\r\nSubject: news\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/html; charset=utf-8\r\n\r\n"
              "<html><head><title>t</title></head><body><p>Our <a href=\"https://example.org/menu\">full menu</a>"
              "</p><ul><li>soup</li></ul></body></html>\r\n");
    const json shown = Json({"show", "1700000000.M1P1Q1.html", "--peek"});
    EXPECT_EQ(shown["body"], "Our full menu <https://example.org/menu>\r\n\r\n* soup");
    ASSERT_EQ(shown["attachments"].size(), 1u);
    EXPECT_EQ(shown["attachments"][0]["name"], "message.html");
    const Result text = Run({"show", "1700000000.M1P1Q1.html", "--peek"});
    EXPECT_NE(text.out.find("Our full menu <https://example.org/menu>"), std::string::npos) << text.out;
}

// Ctrl-C during a send, as the terminal gives it: SIGINT to kelvra's
// process group only. What kelvra started (a sendmail program in a group of
// its own, a message on its way to a server) is stopped, nothing is left in
// the Sent folder's tmp/ and no program outlives kelvra; the line says
// what happened. A program that had taken the message has sent it.
TEST_F(Command, AnInterruptStopsWhatTheSendStartedAndSaysWhatHappened)
{
    const fs::path bin = home / "bin";
    fs::create_directories(bin);
    // Took the message, then waits to be told to end: it ends as it should.
    WriteFile(bin / "took", "#!/bin/sh\ncat > '" + (home / "taken.eml").string() + "'\ntouch '" +
                                (home / "took").string() + "'\ntrap 'exit 0' INT\nwhile :; do sleep 0.1; done\n");
    // Ignores the interrupt and reads nothing: killed after its grace.
    WriteFile(bin / "deaf", "#!/bin/sh\ntrap '' INT\ntouch '" + (home / "deaf").string() + "'\nexec sleep 30\n");
    for (const char *program : {"took", "deaf"})
        fs::permissions(bin / program, fs::perms::owner_all);
    const char *userHome = std::getenv("HOME");
    const std::string savedHome = userHome != nullptr ? userHome : "";
    setenv("HOME", home.c_str(), 1); // msmtp's own ~/.msmtprc
    const auto exists = [](fs::path path) { return [path] { return fs::exists(path); }; };
    const struct {
        const char *name;
        std::string way; // the profile's way out; "@" stands for the silent server's port
        std::function<bool()> when; // with no `when`: once the silent server has a connection
        int status;
        const char *said;
        bool copy;
    } rows[] = {
        {"msmtp, its server silent", "sendmail = /usr/bin/msmtp -a slow", nullptr, 130,
         "the send was interrupted: sendmail /usr/bin/msmtp was stopped before it had taken the message, which was "
         "not sent (code 1, MAPI_USER_ABORT)",
         false},
        {"smtp, its server silent", "smtp = smtp://127.0.0.1:@\nplain = yes", nullptr, 130,
         "the send was interrupted before smtp://127.0.0.1:@ had the whole message, which was not sent", false},
        {"a program deaf to it", "sendmail = '" + (bin / "deaf").string() + "'", exists(home / "deaf"), 130,
         "was not sent (it did not end within 5 seconds of the interrupt and was killed)", false},
        {"a program that took it", "sendmail = '" + (bin / "took").string() + "'", exists(home / "took"), 0,
         "(an interrupt came after it had taken the message)", true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const loopback::Listener silent; // takes connections and never answers
        ASSERT_TRUE(silent.Listening());
        const std::string at = std::to_string(silent.Port());
        const auto put = [&](std::string text) {
            for (size_t p; (p = text.find('@')) != std::string::npos;)
                text.replace(p, 1, at);
            return text;
        };
        WriteFile(home / ".msmtprc", "account slow\nhost 127.0.0.1\nport " + at +
                                         "\nfrom tester@example.org\ntls off\nauth off\n");
        fs::permissions(home / ".msmtprc", fs::perms::owner_read | fs::perms::owner_write);
        WriteFile(profiles, "[P]\nmailbox = Mail\naddress = tester@example.org\n" + put(row.way) + "\n");
        interruptWhen = row.when ? row.when : std::function<bool()>([&] {
            pollfd p{silent.Fd(), POLLIN, 0};
            return poll(&p, 1, 0) == 1;
        });
        const Result r = Run({"--profile", "P", "send", "--to", "ann@example.org", "--body", "x"});
        interruptWhen = nullptr;
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(put(row.said)), std::string::npos) << r.out << r.err;
        const fs::path sent = mailbox / ".Sent";
        EXPECT_TRUE(!fs::exists(sent / "tmp") || fs::is_empty(sent / "tmp"));
        EXPECT_EQ(fs::exists(sent / "cur") && !fs::is_empty(sent / "cur"), row.copy);
        fs::remove_all(sent);
        // Nobody holds the silent server's connection now: it reads its end.
        pollfd pending{silent.Fd(), POLLIN, 0};
        if (const int taken = poll(&pending, 1, 0) == 1 ? accept(silent.Fd(), nullptr, nullptr) : -1; taken >= 0) {
            pollfd p{taken, POLLIN, 0};
            char c;
            EXPECT_TRUE(poll(&p, 1, 5000) == 1 && read(taken, &c, 1) == 0) << "a program still holds it";
            close(taken);
        }
    }
    setenv("HOME", savedHome.c_str(), 1);
}
