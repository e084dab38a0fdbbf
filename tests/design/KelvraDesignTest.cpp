// kelvra-design end to end: the program run as a user runs it, on form
// files in a provider home of the test's own.
#include "../provider/ProviderHome.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

using namespace provider_test;

namespace {

struct Result {
    int exit = -1;
    std::string output; // standard output and error
};

class KelvraDesign : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        bin = fs::path(KELVRA_DESIGN).parent_path();
        fs::create_directories(home / "bin");
    }

    // Runs `command` with sh in the home folder, kelvra-design on PATH,
    // for at most a minute.
    Result Run(const std::string &command, const std::string &environment = "")
    {
        const std::string line = "cd '" + home.string() + "' && PATH='" + (home / "bin").string() + ":" +
                                 bin.string() + ":'\"$PATH\" " + environment + " timeout 60 sh -c '" + command + "' 2>&1";
        FILE *pipe = popen(line.c_str(), "r");
        Result r;
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            r.output.append(buffer, n);
        const int status = pclose(pipe);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }

    fs::path bin;
};

const char *const kForm = "object Form1: TComponent\n"
                          "  object KelvraSession1: TKelvraSession\n"
                          "    Active = False\n"
                          "    Flags = []\n"
                          "  end\n"
                          "  object Mail1: TKelvraSendMail\n"
                          "    Flags = []\n"
                          "    SendTo = 'Ann'\n"
                          "    Session = KelvraSession1\n"
                          "  end\n"
                          "  object Mail2: TKelvraSendMail\n"
                          "    Flags = []\n"
                          "  end\n"
                          "  object Contact1: TKelvraContact\n"
                          "    Flags = []\n"
                          "  end\n"
                          "  object Contact2: TKelvraContact\n"
                          "    Flags = []\n"
                          "  end\n"
                          "end\n";

} // namespace

// The session the README shows, command by command, with its output.
TEST_F(KelvraDesign, TheReadmeSession)
{
    const std::string readme = ReadFile(fs::path(KELVRA_SOURCE_DIR) / "README.md");
    const std::size_t section = readme.find("## Design time");
    ASSERT_NE(section, std::string::npos);
    const std::size_t open = readme.find("```console\n", section);
    ASSERT_NE(open, std::string::npos);
    const std::size_t start = open + 11;
    const std::string block = readme.substr(start, readme.find("```\n", start) - start);

    // Commands ("$ ...") and what each prints; the first shows the form.
    std::vector<std::pair<std::string, std::string>> steps;
    std::size_t at = 0;
    while (at < block.size()) {
        const std::size_t end = block.find('\n', at);
        const std::string line = block.substr(at, end - at);
        at = end + 1;
        if (line.rfind("$ ", 0) == 0)
            steps.push_back({line.substr(2), ""});
        else if (!steps.empty())
            steps.back().second += line + "\n";
    }
    ASSERT_GE(steps.size(), 4u);
    ASSERT_EQ(steps[0].first.rfind("cat ", 0), 0u);
    WriteFile(home / steps[0].first.substr(4), steps[0].second);
    for (const auto &[command, shown] : steps) {
        SCOPED_TRACE(command);
        std::string quoted; // for sh -c '...'
        for (char c : command)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        const Result r = Run(quoted);
        EXPECT_EQ(r.exit, 0);
        EXPECT_EQ(r.output, shown);
    }
}

TEST_F(KelvraDesign, EditorsThroughTheCommandLine)
{
    const fs::path form = home / "Form1.kfm";
    // A stand-in for the desktop's list dialog whose user cancels.
    WriteFile(home / "bin" / "zenity", "#!/bin/sh\nexit 1\n");
    fs::permissions(home / "bin" / "zenity", fs::perms::owner_all);
    const struct {
        const char *command;
        const char *environment;
        int exit;
        const char *printed; // a part of what it prints
        bool saved;
    } rows[] = {
        {"kelvra-design set Form1.kfm Contact1,Contact2 ContactName Bob", "", 0, "saved Form1.kfm", true},
        // Auto-updating: the same name is written again, and the designer told.
        {"kelvra-design set Form1.kfm Contact1 ContactName Bob", "", 0, "saved Form1.kfm", false},
        {"kelvra-design set Form1.kfm Mail1 Subject Hi", "", 0, "saved Form1.kfm", true},
        {"kelvra-design set Form1.kfm Mail1 Subject Hi", "", 0, "", false}, // unchanged text: not written
        {"kelvra-design set Form1.kfm Mail1,Mail2 SendTo Ann", "", 1, "cannot be set on several components", false},
        {"kelvra-design set Form1.kfm Mail1 Colour red", "", 1, "TKelvraSendMail has no property Colour", false},
        {"kelvra-design set Form1.kfm Nobody Subject x", "", 1, "No component named 'Nobody'", false},
        {"kelvra-design set Form1.kfm Mail1 Flags [sfBogus]", "", 1, "is not a member of Flags", false},
        {"kelvra-design edit Form1.kfm Mail1 SendTo", "KELVRA_MAPI_UI=desktop DISPLAY=:99", 0, "", false},
        {"kelvra-design verb Form1.kfm Contact1 0", "", 1, "(error code", false}, // no dialog possible
        {"kelvra-design verb Form1.kfm Mail1 1", "", 1, "has no verb 1", false},
        {"kelvra-design verb Form1.kfm Mail1", "", 0, "", false}, // the default action: "&Send"
        {"kelvra-design verbs Form1.kfm Contact1", "", 0, "0 &Address Book", false},
        {"kelvra-design show Form1.kfm Mail1", "", 0, "      TRecipientProperty 0x0004 [paDialog]", false},
        {"kelvra-design values Form1.kfm Mail1 Session", "", 0, "KelvraSession1", false},
        {"kelvra-design values Form1.kfm Mail1 Subject", "", 1, "Subject has no value list", false},
        {"kelvra-design --package NoSuch.so palette", "", 1, "Cannot load package NoSuch.so", false},
        // A command line that is wrong is a usage error, whatever is wrong.
        {"kelvra-design set Form1.kfm Mail1", "", 2, "property", false},
        {"kelvra-design --nonsense palette", "", 2, "nonsense", false},
        {"kelvra-design bitmap TKelvraContact c.png --scale x", "", 2, "scale", false},
    };
    WriteFile(form, kForm);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.command);
        const std::string before = ReadFile(form);
        const Result r = Run(row.command, row.environment);
        EXPECT_EQ(r.exit, row.exit) << r.output;
        EXPECT_NE(r.output.find(row.printed), std::string::npos) << r.output;
        if (row.saved)
            EXPECT_NE(ReadFile(form), before);
        else
            EXPECT_EQ(ReadFile(form), before) << "byte for byte";
    }
    const std::string saved = ReadFile(form);
    EXPECT_NE(saved.find("  object Contact2: TKelvraContact\n    ContactName = 'Bob'\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("    Subject = 'Hi'\n"), std::string::npos) << saved;
    EXPECT_EQ(Messages(mailbox).size(), 1u) << "the default action sent the message";
    EXPECT_FALSE(fs::exists(home / "Form1.kfm.kelvra-design.tmp")) << "nothing left behind";
}

TEST_F(KelvraDesign, BitmapsAndHelp)
{
    ASSERT_EQ(Run("kelvra-design bitmap TKelvraContact c.bmp").exit, 0);
    EXPECT_EQ(ReadFile(home / "c.bmp"),
              ReadFile(fs::path(KELVRA_SOURCE_DIR) / "package" / "resources" / "TKelvraContact.bmp"));
    ASSERT_EQ(Run("kelvra-design bitmap TKelvraReadMail r.png --scale 4").exit, 0);
    EXPECT_EQ(ReadFile(home / "r.png").substr(0, 8), "\x89PNG\r\n\x1A\n");
    EXPECT_EQ(Run("kelvra-design bitmap TKelvraNothing n.png").exit, 1);
    EXPECT_FALSE(fs::exists(home / "n.png"));
    for (const char *command : {"", "palette", "package", "bitmap", "show", "set", "edit", "values", "verbs", "verb"}) {
        SCOPED_TRACE(command);
        const Result r = Run(std::string("kelvra-design ") + command + " --help");
        EXPECT_EQ(r.exit, 0);
        EXPECT_NE(r.output.find("Usage"), std::string::npos) << r.output;
    }
}

// A form file may hold a password: saved, it keeps its permissions, is
// replaced in one step with nothing left beside it, and a save that cannot
// be made leaves it as it was. So do the pictures.
TEST_F(KelvraDesign, SavesKeepTheFilesPermissionsAndLeaveNothingBehind)
{
    const fs::path form = home / "forms" / "Form1.kfm";
    fs::create_directories(form.parent_path());
    WriteFile(form, kForm);
    fs::permissions(form, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(Run("kelvra-design set forms/Form1.kfm Mail1 Subject Private").exit, 0);
    EXPECT_EQ(fs::status(form).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(ReadFile(form).find("Subject = 'Private'"), std::string::npos);
    ASSERT_EQ(Run("kelvra-design bitmap TKelvraContact forms/c.png").exit, 0);
    fs::permissions(form.parent_path() / "c.png", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(Run("kelvra-design bitmap TKelvraSession forms/c.png").exit, 0);
    EXPECT_EQ(fs::status(form.parent_path() / "c.png").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(form.parent_path()))
        ++files;
    EXPECT_EQ(files, 2u); // the form and the picture, no staging file

    if (geteuid() != 0) { // root writes into any folder
        const std::string before = ReadFile(form);
        fs::permissions(form.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
        const Result r = Run("kelvra-design set forms/Form1.kfm Mail1 Subject Other");
        fs::permissions(form.parent_path(), fs::perms::owner_all);
        EXPECT_EQ(r.exit, 1) << r.output;
        EXPECT_NE(r.output.find("Cannot save form file"), std::string::npos) << r.output;
        EXPECT_EQ(ReadFile(form), before);
    }
}

// Every example of the manual page runs as pasted, from the form the
// package installs (here its source) on.
TEST_F(KelvraDesign, TheManualsExamples)
{
    const std::string page = ReadFile(fs::path(KELVRA_SOURCE_DIR) / "doc" / "kelvra-design.1.scd");
    const std::string installed = "/usr/share/doc/kelvra-design/examples/Form1.kfm";
    std::size_t at = page.find("# EXAMPLES");
    ASSERT_NE(at, std::string::npos);
    int run = 0;
    while ((at = page.find("```\n", at)) != std::string::npos && at < page.find("# SEE ALSO")) {
        const std::size_t end = page.find("```\n", at + 4);
        std::istringstream block(page.substr(at + 4, end - at - 4));
        for (std::string command; std::getline(block, command); ++run) {
            if (const std::size_t from = command.find(installed); from != std::string::npos)
                command.replace(from, installed.size(), KELVRA_SOURCE_DIR "/doc/examples/Form1.kfm");
            SCOPED_TRACE(command);
            const Result r = Run(command);
            EXPECT_EQ(r.exit, 0) << r.output;
            EXPECT_EQ(r.output.find("kelvramapi:"), std::string::npos) << r.output;
        }
        at = end + 4;
    }
    EXPECT_GE(run, 10);
}
