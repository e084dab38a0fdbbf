// The profile file as the READMEs document it, and the mistakes a newcomer
// makes in one: each refused with a log line that names the file, the line
// and the key.
#include "ProviderSession.h"

#include "Errors.h"
#include "profile/Ini.h"
#include "profile/Keys.h"
#include "profile/Profile.h"

#include <map>
#include <regex>
#include <set>
#include <string_view>
#include <vector>

using namespace provider_test;

namespace {

class ProfileFile : public WithLog<> {
protected:

    // The profile `name` of a file of `text`, or the log line its refusal wrote.
    std::string Load(const std::string &text, const std::string &name = "Work")
    {
        WriteFile(profiles, text);
        fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write); // as a file with a password must be
        fs::remove(home / "provider.log");
        try {
            const kelvra_provider::Profile p = kelvra_provider::LoadProfile(name);
            return "name=" + p.senderName + " mailbox=" + p.mailbox + " smtp=" + p.smtpUrl +
                   " plain=" + (p.plainLoopback ? "yes" : "no") + " timeout=" + std::to_string(p.sendTimeout);
        } catch (const kelvra_provider::MapiError &e) {
            std::string log = Log();
            if (!log.empty() && log.back() == '\n')
                log.pop_back();
            return "refused " + std::to_string(e.code) + ": " + log.substr(log.find(": ") + 2);
        }
    }
};

// The literal blocks of an scdoc page, as the reader sees them: a
// backslash makes the character after it literal.
std::vector<std::string> ScdocBlocks(const std::string &page)
{
    std::vector<std::string> blocks;
    const std::regex block("\n\t*```\n([^`]*)\n\t*```");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), block); it != std::sregex_iterator(); ++it) {
        std::string shown;
        const std::string raw = (*it)[1];
        for (size_t i = 0; i < raw.size(); ++i)
            shown += raw[i] == '\\' && i + 1 < raw.size() ? raw[++i] : raw[i];
        blocks.push_back(shown + "\n");
    }
    return blocks;
}

const fs::path kProfilesPage = fs::path(KELVRA_SOURCE_DIR) / "doc" / "kelvra-profiles.5.scd";

} // namespace

TEST_F(ProfileFile, EveryExampleInTheReadmesAndTheManualPageReadsAsDocumented)
{
    // Each ini example, pasted as it stands: every profile it names loads, and
    // no comment ends up in a value.
    std::vector<std::pair<std::string, std::string>> found; // (where, example)
    for (const char *readme : {"README.md", "provider/README.md"}) {
        const std::string text = ReadFile(fs::path(KELVRA_SOURCE_DIR) / readme);
        const std::regex block("```ini\n([^`]*)```");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), block); it != std::sregex_iterator(); ++it)
            found.emplace_back(readme, (*it)[1]);
    }
    int pageExamples = 0;
    for (const std::string &example : ScdocBlocks(ReadFile(kProfilesPage)))
        if (std::regex_search(example, std::regex("^\\[", std::regex::multiline))) {
            found.emplace_back("kelvra-profiles(5)", example);
            ++pageExamples;
        }
    EXPECT_GE(pageExamples, 5); // a local Maildir, SMTP, IMAP, OAuth, loopback
    for (const auto &[where, example] : found) {
        const std::regex section("^\\[([^\\]]+)\\]", std::regex::multiline);
        for (auto s = std::sregex_iterator(example.begin(), example.end(), section); s != std::sregex_iterator(); ++s) {
            SCOPED_TRACE(where + " [" + (*s)[1].str() + "]");
            const std::string loaded = Load(example, (*s)[1]);
            EXPECT_EQ(loaded.rfind("refused", 0), std::string::npos) << loaded << "\n" << example;
            EXPECT_EQ(loaded.find(';'), std::string::npos) << loaded;
            EXPECT_EQ(loaded.find('#'), std::string::npos) << loaded;
        }
    }
    EXPECT_GE(found.size(), 10u); // five or more from the READMEs, and the page's
}

TEST(ProfileManualPage, HasAnEntryForEveryKeyTheProviderReadsAndNoOther)
{
    const std::string page = ReadFile(kProfilesPage);
    ASSERT_FALSE(page.empty()) << kProfilesPage;
    // An entry is a line "*key* = VALUE" and the indented text below it.
    std::map<std::string, std::string> entries;
    const std::regex head("^\\*([a-z]+)\\* =", std::regex::multiline);
    for (auto it = std::sregex_iterator(page.begin(), page.end(), head); it != std::sregex_iterator(); ++it) {
        const size_t start = static_cast<size_t>(it->position());
        const size_t end = page.find("\n*", start + 1);
        entries[(*it)[1]] = page.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    std::set<std::string> read{"default"}; // the one key before the first section
    for (const kelvra_provider::ProfileKey &key : kelvra_provider::ProfileKeyTable())
        read.insert(std::string(key.key));
    for (const std::string &key : read)
        EXPECT_TRUE(entries.count(key)) << "kelvra-profiles(5) has no entry for the key " << key;
    for (const auto &[key, text] : entries)
        EXPECT_TRUE(read.count(key)) << "kelvra-profiles(5) documents " << key << ", a key no profile may hold";
    // The defaults it states are the provider's.
    const kelvra_provider::Profile defaults;
    const std::pair<const char *, std::string> stated[] = {
        {"connecttimeout", std::to_string(defaults.connectTimeout)},
        {"timeout", std::to_string(defaults.sendTimeout)},
        {"stalltimeout", std::to_string(defaults.stallTimeout)},
        {"fallbackcharset", "*" + defaults.fallbackCharset + "*"}};
    for (const auto &[key, value] : stated)
        EXPECT_NE(entries[key].find("Default: " + value), std::string::npos) << entries[key];
}

// Whatever a value holds (but a line break), the file holds it so that it
// reads back as itself: comment marks after a blank, blanks at its ends,
// quotes and backslashes, bytes that are not UTF-8. On CR LF lines too.
TEST(ProfileIni, EveryValueWrittenReadsBackAsItself)
{
    const std::string values[] = {
        "plain", "a;b#c", "a ;b", "a\t#b", " lead", "trail\t", "\"quoted\"", "back\\slash\\", "\\\"",
        "; all comment", "#", "mid \" quote", "x = y", "[section]", "\xFF\xFE not UTF-8", "\xEF\xBB\xBF",
        "\x1B[31m", "=",
    };
    for (const std::string &value : values) {
        SCOPED_TRACE(value);
        for (const char *end : {"\n", "\r\n"}) {
            const std::string text = std::string("[P]") + end + "key = " + kelvra_provider::IniWritten(value) + end;
            const kelvra_provider::IniSections sections = kelvra_provider::ReadIni(text, "test.ini");
            ASSERT_EQ(sections.size(), 2u);
            EXPECT_EQ(sections[1].second.at("key").text, value) << text;
        }
    }
}

TEST_F(ProfileFile, CommentsQuotesAndMistakes)
{
    const std::string file = profiles.string();
    // A comment after a blank ends a value; quotes keep what a value holds.
    EXPECT_EQ(Load("[Work]\nname = Ann Example   ; the sender\nmailbox = Mail#1 # a folder\nplain = yes ; ok\n"),
              "name=Ann Example mailbox=" + (home / "Mail#1").string() + " smtp= plain=yes timeout=300");
    EXPECT_EQ(Load("[Work]\nname = \"Ann ; \\\"Sales\\\" \" ; quoted\n").substr(0, 23), "name=Ann ; \"Sales\"  mai");
    const std::string failure = "refused " + std::to_string(MAPI_E_LOGON_FAILURE) + ": ";
    const struct {
        std::string text, name, logged;
    } mistakes[] = {
        {"[Work]\nmailbox = Mail\nsmpt = smtp://localhost\n", "Work", file + ":3: profile Work has no key smpt"},
        {"[Work]\nplain = maybe\n", "Work", file + ":2: plain = maybe is not yes or no"},
        {"[Work]\n\ntimeout = soon\n", "Work", file + ":3: timeout = soon is not a number of seconds from 1 to 86400"},
        {"[Work]\nname = \"open\n", "Work", file + ":2: not a key = value line (or a quote is not closed)"},
        {"mailbox = Mail\n[Work]\n", "Work", file + ":1: mailbox stands before the first [profile]; only default may"},
        {"[Work]\n", "Nope", "there is no profile Nope in " + file + " (its profiles: Work)"},
        {"[Work]\nsmtp = smtp://localhost\nsendmail = /usr/sbin/sendmail\n", "Work",
         file + ":3: profile Work names both smtp and sendmail; mail goes out one way (remove one of them)"},
        {"[Work]\nsendmail = '/usr/sbin/sendmail\n", "Work",
         file + ":2: sendmail = '/usr/sbin/sendmail is not a command (a program and its arguments, quoted as in a shell)"},
        {"[Work]\naddress = ann at example.org\n", "Work",
         "profile Work: the sender's address ann at example.org is not a plain mail address"},
        // A key given twice never lets the later one win unseen.
        {"[Work]\nsmtp = smtp://127.0.0.1\nSMTP = smtps://attacker.example:465\n", "Work",
         file + ":3: smtp is given again (first on line 2); a key stands once in a profile"},
        {"[Work]\nlocaldelivery = yes\nsendmail = /usr/sbin/sendmail\n", "Work",
         file + ":2: profile Work names sendmail and localdelivery; mail goes out one way (remove one of them)"},
    };
    for (const auto &m : mistakes) {
        SCOPED_TRACE(m.text);
        EXPECT_EQ(Load(m.text, m.name), failure + m.logged);
    }
    // A file named on purpose must exist; the usual one need not.
    fs::remove(profiles);
    EXPECT_EQ(Load("", "Work").substr(0, failure.size()), failure);
    setenv("KELVRA_MAPI_PROFILES", (home / "missing.ini").c_str(), 1);
    fs::remove(home / "provider.log");
    EXPECT_THROW(kelvra_provider::LoadProfile(""), kelvra_provider::MapiError);
    EXPECT_NE(Log().find((home / "missing.ini").string() + " (KELVRA_MAPI_PROFILES) does not exist"),
              std::string::npos);
    unsetenv("KELVRA_MAPI_PROFILES");
    setenv("XDG_CONFIG_HOME", (home / "no-config").c_str(), 1);
    EXPECT_EQ(kelvra_provider::LoadProfile("").name, "Default");
    // Its contacts folder is made at logon, as the README says, for .vcf files.
    LHANDLE h = 0;
    ASSERT_EQ(MAPILogon(0, nullptr, nullptr, 0, 0, &h), 0u);
    EXPECT_TRUE(fs::is_directory(home / "data" / "kelvra" / "contacts"));
    MAPILogoff(h, 0, 0, 0);
}

// Adding refuses what reading refuses, and writes through a link.
TEST_F(ProfileFile, AddingNeverAdoptsAFileReadingRefusesAndWritesThroughALink)
{
    const std::string foreign = "default = Theirs\n[Theirs]\npasswordcmd = touch pwned\n";
    struct {
        const char *setup;
        fs::perms mode;
        bool otherOwner;
        const char *refusal;
    } rows[] = {
        {"group-writable", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_write, false,
         "can be changed by others"},
        {"another user's", fs::perms::owner_read | fs::perms::owner_write, true, "belongs to another user"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.setup);
        if (row.otherOwner && geteuid() != 0)
            continue; // making another user's file needs root
        WriteFile(profiles, foreign);
        fs::permissions(profiles, row.mode);
        if (row.otherOwner) {
            ASSERT_EQ(chown(profiles.c_str(), 12345, 12345), 0);
        }
        EXPECT_THROW(kelvra_provider::AddProfile("Mine", {{"mailbox", "Mail"}}, false), kelvra_provider::MapiError);
        EXPECT_NE(kelvra_provider::LastReason().find(row.refusal), std::string::npos) << kelvra_provider::LastReason();
        EXPECT_EQ(ReadFile(profiles), foreign);
        EXPECT_EQ(fs::status(profiles).permissions() & fs::perms::all, row.mode);
        fs::remove(profiles);
    }
    // A dotfiles setup: the link stays, the file it names gets the profile.
    const fs::path real = home / "dotfiles" / "kelvra.ini";
    WriteFile(real, "[Work]\nmailbox = Mail\n");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(real, profiles);
    kelvra_provider::AddProfile("Mine", {{"mailbox", "Other"}}, false);
    EXPECT_TRUE(fs::is_symlink(profiles));
    EXPECT_EQ(ReadFile(real), "[Work]\nmailbox = Mail\n\n[Mine]\nmailbox = Other\n");
}

// A profile added to the file reads back value for value, however it must
// be quoted; a replaced one takes its own place and leaves the others and
// their comments; the file is written for its owner only.
TEST_F(ProfileFile, AnAddedProfileReadsBackAndLeavesTheRestOfTheFile)
{
    WriteFile(profiles, "default = Work ; the usual\n[Work]\nmailbox = Mail ; mine\n\n# the next one\n[Old]\n"
                        "mailbox = old\n[Last]\nmailbox = last\n");
    fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                  fs::perms::others_read);
    const std::string tricky[] = {"Ann ; Sales", " leading", "trailing ", "\"quoted\"", "back\\slash # not", "#first"};
    kelvra_provider::AddProfile("old", {{"mailbox", "new"}, {"name", tricky[0]}, {"passwordcmd", tricky[4]}}, true);
    EXPECT_EQ(ReadFile(profiles), "default = Work ; the usual\n[Work]\nmailbox = Mail ; mine\n\n# the next one\n"
                                  "[old]\nmailbox = new\nname = \"Ann ; Sales\"\npasswordcmd = \"back\\\\slash # not\"\n"
                                  "\n[Last]\nmailbox = last\n");
    EXPECT_EQ(fs::status(profiles).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    for (const std::string &value : tricky) {
        SCOPED_TRACE(value);
        kelvra_provider::AddProfile("T", {{"name", value}, {"password", value}}, true);
        const kelvra_provider::Profile p = kelvra_provider::LoadProfile("T");
        EXPECT_EQ(p.senderName, value);
        EXPECT_EQ(p.password.Text(), value);
    }
    EXPECT_THROW(kelvra_provider::AddProfile("Work", {{"mailbox", "x"}}, false), kelvra_provider::MapiError);
    EXPECT_THROW(kelvra_provider::AddProfile("X", {{"mailbx", "x"}}, false), kelvra_provider::MapiError);
    EXPECT_THROW(kelvra_provider::AddProfile("X", {{"name", "two\nlines"}}, false), kelvra_provider::MapiError);
    EXPECT_THROW(kelvra_provider::AddProfile("X", {{"timeout", "soon"}}, false), kelvra_provider::MapiError); // would not log on
    EXPECT_EQ(kelvra_provider::LoadProfile("").name, "Work");
    EXPECT_THROW(kelvra_provider::LoadProfile("X"), kelvra_provider::MapiError); // nothing of those was written
}
