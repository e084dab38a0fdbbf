// A throw-away home for the provider: its own profile file, mailbox,
// address book and temporary folder, all under one folder that the
// fixture removes again.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace provider_test {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path &p, const std::string &text)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// The message files of a Maildir folder (new/ and cur/), sorted.
inline std::vector<fs::path> Messages(const fs::path &maildir)
{
    std::vector<fs::path> files;
    for (const char *sub : {"new", "cur"})
        if (fs::exists(maildir / sub))
            for (const auto &e : fs::directory_iterator(maildir / sub))
                files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

class ProviderHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        home = fs::temp_directory_path() / ("kelvra-provider-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(home);
        fs::create_directories(home / "tmp");
        mailbox = home / "Mail";
        contacts = home / "contacts.vcf";
        WriteFile(contacts, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nN:Example;Ann;;;\r\n"
                            "EMAIL;TYPE=work:ann@example.org\r\nUID:ann-1\r\nEND:VCARD\r\n"
                            "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Bob Example\r\nN:Example;Bob;;;\r\n"
                            "NICKNAME:Bobby\r\nEMAIL:bob@example.org\r\nEND:VCARD\r\n");
        profiles = home / "profiles.ini";
        WriteFile(profiles, "default = Work\n"
                            "[Home]\nmailbox = home-mail\n"
                            "[Work]\nmailbox = Mail\naddressbook = contacts.vcf\n"
                            "name = Kelvra Tester\naddress = tester@example.org\nlocaldelivery = yes\n");
        setenv("KELVRA_MAPI_PROFILES", profiles.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
        setenv("TMPDIR", (home / "tmp").c_str(), 1);
        setenv("KELVRA_MAPI_UI", "none", 1); // no dialog unless a test asks for one
    }
    void TearDown() override
    {
        unsetenv("KELVRA_MAPI_PROFILES");
        unsetenv("TMPDIR");
        unsetenv("KELVRA_MAPI_UI");
        fs::remove_all(home);
    }

    fs::path home, mailbox, contacts, profiles;
};

// A home whose provider writes its log to provider.log there (Log()), and
// shows it when the test has failed.
template <class Home = ProviderHome>
class WithLog : public Home {
protected:
    void SetUp() override
    {
        Home::SetUp();
        setenv("KELVRA_MAPI_LOG", (this->home / "provider.log").c_str(), 1);
    }
    void TearDown() override
    {
        if (::testing::Test::HasFailure())
            std::cerr << Log();
        unsetenv("KELVRA_MAPI_LOG");
        Home::TearDown();
    }
    std::string Log() const { return ReadFile(this->home / "provider.log"); }
};

} // namespace provider_test
