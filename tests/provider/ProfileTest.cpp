// The profile file as the READMEs document it, and the mistakes a newcomer
// makes in one: each refused with a log line that names the file, the line
// and the key.
#include "ProviderSession.h"

#include "Common.h"
#include "Profile.h"

#include <regex>

using namespace provider_test;

namespace {

class ProfileFile : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        setenv("KELVRA_MAPI_LOG", (home / "provider.log").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KELVRA_MAPI_LOG");
        ProviderHome::TearDown();
    }

    // The profile `name` of a file of `text`, or the log line its refusal wrote.
    std::string Load(const std::string &text, const std::string &name = "Work")
    {
        WriteFile(profiles, text);
        fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write); // as a file with a password must be
        fs::remove(home / "provider.log");
        try {
            const kmp::Profile p = kmp::LoadProfile(name);
            return "name=" + p.senderName + " mailbox=" + p.mailbox + " smtp=" + p.smtpUrl +
                   " plain=" + (p.plainLoopback ? "yes" : "no") + " timeout=" + std::to_string(p.sendTimeout);
        } catch (const kmp::MapiError &e) {
            std::string log = ReadFile(home / "provider.log");
            if (!log.empty() && log.back() == '\n')
                log.pop_back();
            return "refused " + std::to_string(e.code) + ": " + log.substr(log.find(": ") + 2);
        }
    }
};

} // namespace

TEST_F(ProfileFile, EveryExampleInTheReadmesReadsAsDocumented)
{
    // Each ini example, pasted as it stands: every profile it names loads, and
    // no comment ends up in a value.
    int examples = 0;
    for (const char *readme : {"README.md", "provider/README.md"}) {
        const std::string text = ReadFile(fs::path(KELVRA_SOURCE_DIR) / readme);
        const std::regex block("```ini\n([^`]*)```");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), block); it != std::sregex_iterator(); ++it) {
            const std::string example = (*it)[1];
            ++examples;
            const std::regex section("^\\[([^\\]]+)\\]", std::regex::multiline);
            for (auto s = std::sregex_iterator(example.begin(), example.end(), section); s != std::sregex_iterator();
                 ++s) {
                SCOPED_TRACE(std::string(readme) + " [" + (*s)[1].str() + "]");
                const std::string loaded = Load(example, (*s)[1]);
                EXPECT_EQ(loaded.rfind("refused", 0), std::string::npos) << loaded << "\n" << example;
                EXPECT_EQ(loaded.find(';'), std::string::npos) << loaded;
                EXPECT_EQ(loaded.find('#'), std::string::npos) << loaded;
            }
        }
    }
    EXPECT_GE(examples, 5);
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
        {"[Work]\n", "Nope", "there is no profile Nope in " + file},
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
    EXPECT_THROW(kmp::LoadProfile(""), kmp::MapiError);
    EXPECT_NE(ReadFile(home / "provider.log").find((home / "missing.ini").string() + " (KELVRA_MAPI_PROFILES) does not exist"),
              std::string::npos);
    unsetenv("KELVRA_MAPI_PROFILES");
    setenv("XDG_CONFIG_HOME", (home / "no-config").c_str(), 1);
    EXPECT_EQ(kmp::LoadProfile("").name, "Default");
    // Its contacts folder is made at logon, as the README says, for .vcf files.
    LHANDLE h = 0;
    ASSERT_EQ(MAPILogon(0, nullptr, nullptr, 0, 0, &h), 0u);
    EXPECT_TRUE(fs::is_directory(home / "data" / "kelvra" / "contacts"));
    MAPILogoff(h, 0, 0, 0);
}
