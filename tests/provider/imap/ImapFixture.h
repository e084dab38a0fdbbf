// A test folder of its own on a real Dovecot on loopback that the test
// program starts, a profile for it, and Python's imaplib as the second
// client.
#pragma once

#include "Dovecot.h"
#include "ProgramOutput.h"
#include "ProviderSession.h"
#include "Python.h"

#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace provider_test;

namespace imap_test {

// One server for the whole program; every test works in a folder of its own.
inline dovecot::Server &Server()
{
    static dovecot::Server *server = new dovecot::Server;
    static struct Stopper {
        ~Stopper() { delete server; }
    } stopper;
    return *server;
}

struct Stored {
    std::string uid, flags;
    long long time = 0;
};

class Imap : public ProviderHome {
protected:
    void SetUp() override
    {
        ProviderHome::SetUp();
        folder = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        setenv("KELVRA_MAPI_LOG", (home / "provider.log").c_str(), 1);
        Client("create");
        UseProfile("plain = yes\n");
    }
    void TearDown() override
    {
        if (session != 0)
            MAPILogoff(session, 0, 0, 0);
        if (HasFailure())
            std::cerr << ReadFile(home / "provider.log") << dovecot->Log();
        unsetenv("KELVRA_MAPI_LOG");
        ProviderHome::TearDown();
    }

    void UseProfile(const std::string &extra, const std::string &url = "")
    {
        WriteFile(profiles, "[Imap]\nmailbox = " + (url.empty() ? dovecot->PlainUrl(folder) : url) +
                                "\naddressbook = contacts.vcf\nname = Kelvra Tester\naddress = tester@example.org\n" +
                                extra);
        fs::permissions(profiles, fs::perms::owner_read | fs::perms::owner_write); // it may hold a password
    }

    ULONG Logon(const char *password = "secret")
    {
        if (session != 0)
            MAPILogoff(session, 0, 0, 0);
        session = 0;
        return MAPILogon(0, S("Imap"), S(password), 0, 0, &session);
    }

    // The second client: imapclient.py with this folder, its output.
    std::string Client(const std::string &command, const std::vector<std::string> &args = {}, const std::string &input = "")
    {
        std::vector<std::string> line = {kPython, KELVRA_SOURCE_DIR "/tests/provider/imapclient.py",
                                          std::to_string(dovecot->plainPort), "tester", "secret", command, folder};
        line.insert(line.end(), args.begin(), args.end());
        return ProgramOutput(line, input.empty() ? std::nullopt : std::optional<std::string_view>(input));
    }

    std::string Append(const std::string &subject, const std::string &flags = "-", long long when = 0,
                       const std::string &extraHeaders = "")
    {
        const std::string message = "From: Ann Example <ann@example.org>\r\nTo: tester@example.org\r\nSubject: " +
                                    subject + "\r\n" + extraHeaders + "\r\n" + subject + " body\r\n";
        std::string uid = Client("append", {flags, when == 0 ? "-" : std::to_string(when)}, message);
        return uid.substr(0, uid.find('\n'));
    }

    std::map<std::string, Stored> OnServer()
    {
        std::map<std::string, Stored> out;
        std::istringstream lines(Client("flags"));
        std::string line;
        while (std::getline(lines, line)) {
            Stored s;
            std::istringstream fields(line);
            std::getline(fields, s.uid, '\t');
            std::getline(fields, s.flags, '\t');
            fields >> s.time;
            out[s.uid] = s;
        }
        return out;
    }

    // The subject of a message, read envelope-only without marking it.
    std::string Subject(const std::string &id)
    {
        lpMapiMessage m = nullptr;
        if (MAPIReadMail(session, 0, S(id.c_str()), MAPI_ENVELOPE_ONLY | MAPI_PEEK, 0, &m) != 0)
            return "(unreadable)";
        std::string subject = m->lpszSubject;
        MAPIFreeBuffer(m);
        return subject;
    }

    std::vector<std::string> Subjects(FLAGS flags = 0, const char *type = "")
    {
        std::vector<std::string> out;
        for (const std::string &id : Walk(flags, type))
            out.push_back(Subject(id));
        return out;
    }

    std::vector<std::string> Walk(FLAGS flags = 0, const char *type = "") { return WalkIds(session, flags, type); }

    std::string folder;
    LHANDLE session = 0;
    dovecot::Server *dovecot = &Server(); // the server the profile and the second client use
};

} // namespace imap_test

using namespace imap_test;
