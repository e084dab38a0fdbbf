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
#include <unistd.h>

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
    std::ofstream(home / "config" / "kelvra" / "profiles.ini") << "[Here]\nlocaldelivery = yes\n";
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
        mail.Send();

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
    } catch (const kelvra::EKelvraError &e) {
        std::printf("EKelvraError %d: %s\n", e.ErrorCode, e.what());
        return 1;
    }
    fs::remove_all(home);
    return 0;
}
#endif
