// A program that makes one provider call with a dialog and prints what came
// back, for the terminal-dialog tests to run on a pseudo-terminal.
#include "mapi/SimpleMapi.h"
#include "signin/PasswordCommand.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Exports.h" // the provider, linked in

int main(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    LHANDLE session = 0;
    char work[] = "Work";
    if (command == "password") {
        char secure[] = "Secure";
        std::printf("RESULT %lu\n", static_cast<unsigned long>(MAPILogon(0, secure, nullptr, MAPI_PASSWORD_UI, 0, &session)));
        return 0;
    }
    if (command == "passwordcmd") {
        // A password command that asks on the terminal, as pinentry does.
        std::string why;
        const auto secret = kelvra_provider::RunPasswordCommand("printf 'Passphrase: ' >&2; read -r p; printf '%s\\n' \"$p\"", &why);
        std::printf("SECRET %s\n", secret ? secret->c_str() : ("none: " + why).c_str());
        return 0;
    }
    if (MAPILogon(0, work, nullptr, 0, 0, &session) != 0)
        return 2;
    if (command == "address") {
        MapiRecipDesc start{};
        start.ulRecipClass = MAPI_CC;
        start.lpszAddress = const_cast<char *>("bob@example.org");
        ULONG count = 0;
        lpMapiRecipDesc recips = nullptr;
        const ULONG rc = MAPIAddress(session, 0, nullptr, 2, nullptr, 1, &start, 0, 0, &count, &recips);
        std::printf("RESULT %lu %lu\n", static_cast<unsigned long>(rc), static_cast<unsigned long>(count));
        for (ULONG i = 0; i < count; ++i)
            std::printf("ENTRY %lu %s <%s>\n", static_cast<unsigned long>(recips[i].ulRecipClass), recips[i].lpszName,
                        recips[i].lpszAddress);
        if (count > 0)
            MAPIFreeBuffer(recips);
    } else if (command == "compose-to-no-one") {
        MapiMessage m{};
        m.lpszSubject = const_cast<char *>("x");
        m.lpszNoteText = const_cast<char *>("y");
        std::printf("RESULT %lu\n", static_cast<unsigned long>(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0)));
    } else if (command == "compose") {
        MapiRecipDesc to{};
        to.ulRecipClass = MAPI_TO;
        to.lpszName = const_cast<char *>("Ann");
        MapiMessage m{};
        m.lpszSubject = const_cast<char *>("Asked first");
        m.lpszNoteText = const_cast<char *>("Body.");
        m.nRecipCount = 1;
        m.lpRecips = &to;
        std::printf("RESULT %lu\n", static_cast<unsigned long>(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0)));
    } else if (command == "handoff" && argc > 2) {
        // A message with an attachment for the desktop's mail client.
        MapiRecipDesc to{};
        to.ulRecipClass = MAPI_TO;
        to.lpszAddress = const_cast<char *>("bob@example.org");
        MapiFileDesc f{};
        f.lpszPathName = argv[2];
        MapiMessage m{};
        m.lpszSubject = const_cast<char *>("hi there");
        m.lpszNoteText = const_cast<char *>("line one\r\nline two");
        m.nRecipCount = 1;
        m.lpRecips = &to;
        m.nFileCount = 1;
        m.lpFiles = &f;
        std::printf("RESULT %lu\n", static_cast<unsigned long>(MAPISendMail(session, 0, &m, MAPI_DIALOG, 0)));
    } else if (command == "pick") {
        lpMapiRecipDesc r = nullptr;
        char name[] = "Example";
        const ULONG rc = MAPIResolveName(session, 0, name, MAPI_DIALOG, 0, &r);
        std::printf("RESULT %lu %s\n", static_cast<unsigned long>(rc), rc == 0 ? r->lpszAddress : "-");
        if (rc == 0)
            MAPIFreeBuffer(r);
    }
    return 0;
}
