#include "kelvra/Kelvra.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

#if defined(_WIN32)
// On Windows the system's mail client answers; this application only shows
// that it links against the installed library and logs on and off.
int main()
{
    try {
        kelvra::TKelvraSession session;
        session.Open();
        session.Close();
        std::puts("logged on and off");
    } catch (const kelvra::EKelvraError &e) {
        std::printf("EKelvraError %d: %s\n", e.ErrorCode, e.what());
        return 1;
    }
    return 0;
}
#else
#include <fcntl.h>
#include <unistd.h>

#include <functional>

// What the application sees of a refusal: the code, the code's fixed
// message and nothing more, and the platform's reason beside it.
bool RefusedAsTheTableSays(const char *what, const std::function<void()> &call, int code, const std::string &reasonHas)
{
    try {
        call();
        std::printf("%s: no error\n", what);
    } catch (const kelvra::EKelvraError &e) {
        const std::string reason = host::ToUtf8(kelvra::LastReason());
        if (e.ErrorCode == code && e.what() == host::ToUtf8(kelvra::CheckMessage(static_cast<std::uint32_t>(code))) &&
            reason.find(reasonHas) != std::string::npos)
            return true;
        std::printf("%s: EKelvraError %d: %s; reason: %s\n", what, e.ErrorCode, e.what(), reason.c_str());
    }
    return false;
}

int main()
{
    // A home of our own, with a profile that delivers into its own mailbox:
    // nothing leaves the machine.
    const fs::path home = fs::temp_directory_path() / ("kelvra-consumer-" + std::to_string(getpid()));
    fs::remove_all(home);
    fs::create_directories(home);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    unsetenv("KELVRA_MAPI_PROFILES");
    setenv("TMPDIR", home.c_str(), 1);
    std::ofstream(home / "hello.txt") << "attached text\n";
    fs::create_directories(home / "config" / "kelvra");
    std::ofstream(home / "config" / "kelvra" / "profiles.ini")
        << "[Here]\nlocaldelivery = yes\naddressbook = " << (home / "book.vcf").string() << "\n";
    std::ofstream(home / "book.vcf") << "BEGIN:VCARD\nVERSION:3.0\nFN:Carol\nNICKNAME:carol\nEMAIL:carol1@example.org\nEND:VCARD\n"
                                     << "BEGIN:VCARD\nVERSION:3.0\nFN:Carol\nNICKNAME:carol\nEMAIL:carol2@example.org\nEND:VCARD\n";
    // Nothing of the mail system's may reach the application's standard
    // error: it goes to a file here, which must stay empty.
    const int stderrCopy = dup(2);
    const int captured = open((home / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(captured, 2);
    close(captured);
    auto restoreStderr = [&] {
        dup2(stderrCopy, 2);
        std::ifstream said(home / "stderr");
        const std::string text((std::istreambuf_iterator<char>(said)), {});
        if (!text.empty())
            std::printf("the mail system wrote to standard error: %s\n", text.c_str());
        return text.empty();
    };
#if defined(PROVIDER)
    kelvra::MAPIDLL = host::FromUtf8(PROVIDER); // in the build tree
#endif // installed, the library finds the provider beside itself

    try {
        kelvra::TKelvraSession session;
        kelvra::TKelvraSendMail mail;
        mail.SetSession(&session);
        mail.SetSendTo(u"me@localhost");
        mail.SetSubject(u"Hello from outside");
        mail.GetBody().Add(u"It works.");
        mail.SetAttach(host::FromUtf8((home / "hello.txt").string()));
        if (!mail.Outcome().empty()) {
            std::puts("an outcome before any send");
            return 1;
        }
        mail.Send();
        if (host::ToUtf8(mail.Outcome()).find("delivered into the mailbox") == std::string::npos) {
            std::printf("the outcome does not name the mailbox delivery: %s\n", host::ToUtf8(mail.Outcome()).c_str());
            return 1;
        }

        kelvra::TKelvraReadMail inbox;
        inbox.SetSession(&session);
        if (!inbox.First() || inbox.GetSubject() != u"Hello from outside" || inbox.GetFileCount() != 1) {
            std::puts("the message did not come back");
            return 1;
        }
        std::ifstream in(host::ToUtf8(inbox.GetPathName(0)));
        std::stringstream text;
        text << in.rdbuf();
        if (text.str() != "attached text\n") {
            std::puts("the attachment did not come back");
            return 1;
        }
        std::printf("%s: %s\n", host::ToUtf8(inbox.GetOriginatorAddress()).c_str(),
                    host::ToUtf8(inbox.GetSubject()).c_str());

        // Refused: an unknown profile (no dialog was shown, whatever code 3's
        // text says), and a name that matches two entries of the book.
        kelvra::TKelvraSession elsewhere;
        elsewhere.SetProfileName(u"Nowhere");
        kelvra::TKelvraContact carol;
        carol.SetSession(&session);
        if (!RefusedAsTheTableSays("an unknown profile", [&] { elsewhere.Open(); }, MAPI_E_LOGON_FAILURE, "Nowhere") ||
            !RefusedAsTheTableSays("an ambiguous name", [&] { carol.SetContactName(u"carol"); },
                                   MAPI_E_AMBIGUOUS_RECIPIENT, "carol"))
            return 1;
    } catch (const kelvra::EKelvraError &e) {
        restoreStderr();
        std::printf("EKelvraError %d: %s\n", e.ErrorCode, e.what());
        return 1;
    }
    if (!restoreStderr())
        return 1;
    fs::remove_all(home);
    return 0;
}
#endif
