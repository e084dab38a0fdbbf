// kelvra password set|clear: a password for the profile's servers kept in
// the desktop's keyring by the platform library (the Kelvra provider's
// KelvraMapiKeepPassword, beside the twelve entry points). The password is
// read from the terminal without echo, else as one line of standard input;
// it never appears on a command line.
#include "Commands.h"
#include "Provider.h"

#include "kelvra/Kelvra.h"

#include <iostream>
#include <stdexcept>
#include <string>

#ifndef _WIN32
#include <termios.h>
#include <unistd.h>
#endif

namespace kelvra_cli {

namespace {

#ifndef _WIN32
// One line of standard input; without echo when it is a terminal.
std::string ReadSecretLine()
{
    termios saved{};
    const bool terminal = isatty(STDIN_FILENO) == 1 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << "Password: " << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!got)
        throw std::invalid_argument("no password was given");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}
#endif

} // namespace

nlohmann::json Password(const Global &global, bool set)
{
#ifdef _WIN32
    (void)global;
    (void)set;
    throw NotOffered(u"the keyring is the Kelvra provider's, on POSIX");
#else
    const ProviderEntry entry("KelvraMapiKeepPassword", u"the platform library keeps no passwords");
    const auto keep = entry.As<LPKELVRAMAPIKEEPPASSWORD>();
    std::string secret = set ? ReadSecretLine() : std::string();
    const std::string profile = host::ToAnsi(TextGiven(global.profile, "--profile"));
    host::String wide = host::FromUtf8(secret);
    std::string narrow = host::ToAnsi(wide);
    // The provider takes the password in the locale's character set: one it
    // cannot carry whole would be kept changed, and sign in wrongly ever after.
    const auto wipe = [&] {
        for (std::string *text : {&secret, &narrow})
            for (char &c : *text)
                *static_cast<volatile char *>(&c) = 0;
        for (char16_t &c : wide)
            *static_cast<volatile char16_t *>(&c) = 0;
    };
    if (host::FromAnsi(narrow) != wide) {
        wipe();
        throw std::invalid_argument("the password holds characters the locale's character set (" +
                                    host::AnsiCharset() + ") cannot carry; set it under a UTF-8 locale");
    }
    const ULONG rc = keep(profile.empty() ? nullptr : const_cast<char *>(profile.c_str()),
                          set ? narrow.data() : nullptr);
    wipe();
    kelvra::Check(rc);
    return {{set ? "kept" : "cleared", global.profile.empty() ? "default" : global.profile}};
#endif
}

} // namespace kelvra_cli
