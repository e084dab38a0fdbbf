// kelvra: send, list, read, save and delete mail, and look up the address
// book, through the Kelvra components.
#include "Commands.h"
#include "Failure.h"
#include "Interrupts.h"
#include "Provider.h"
#include "Shown.h"
#include "Subcommands.h"

#include "kelvra/Binding.h"
#include "kelvra/Errors.h"
#include "kelvra/Kelvra.h"
#include "kelvra/Version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string_view>

using namespace kelvra_cli;

namespace {

const char kExitCodes[] = R"(Exit status:
  0  success
  1  the mail system refused (the reason, then its code, on standard error)
  2  a usage error (what was wrong, and how to ask for help)
  3  a local file problem (a missing attachment, an unwritable folder)
  130  interrupted (Ctrl-C; 143 for SIGTERM): what had begun was stopped and removed, and nothing was sent

Global options, before or after the subcommand: --profile NAME, --password TEXT (unsafe), --json.
Texts in and out are UTF-8. With --json each command prints one JSON document, and an error is one on
standard error. Profiles: kelvra profile list|show|check|import (see kelvra profile --help).)";

// A word where a subcommand goes that names none (`kelvra lst`, `kelvra
// profile shw`), said as such; empty when every such word names one.
std::string UnknownSubcommand(const CLI::App &app, int argc, char **argv)
{
    const CLI::App *at = &app;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--profile" || word == "--password") {
            ++i;
            continue;
        }
        const auto subcommands = at->get_subcommands([](const CLI::App *) { return true; });
        if (word.empty() || word[0] == '-' || subcommands.empty())
            continue;
        const auto next = std::find_if(subcommands.begin(), subcommands.end(),
                                       [&](const CLI::App *c) { return c->get_name() == word; });
        if (next == subcommands.end())
            return Shown(word) + " is no subcommand" + (at == &app ? "" : " of " + at->get_name()) + " (see kelvra " +
                   (at == &app ? "" : at->get_name() + " ") + "--help)";
        at = *next;
    }
    return {};
}

// The failure an exception of a subcommand means.
Failure FailureOf(const std::exception_ptr &thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const kelvra::EKelvraError &e) {
        // The mail system's reason, when it gave one, says more than the
        // code's fixed text.
        const host::String reason = kelvra::LastReason();
        std::string said = host::ToUtf8(reason.empty() ? kelvra::CheckMessage(static_cast<std::uint32_t>(e.ErrorCode))
                                                       : reason);
        if (e.ErrorCode == 0)
            said = e.what(); // the library or an entry point is missing
        if (!said.empty() && said.back() == '.')
            said.pop_back();
        return {said, kRefused, e.ErrorCode};
    } catch (const NotOffered &e) {
        return {e.what(), kRefused, MAPI_E_NOT_SUPPORTED};
    } catch (const LocalFileError &e) {
        return {e.what(), kLocalFile, 0};
    } catch (const std::invalid_argument &e) {
        return {std::string(e.what()) + " (see --help)", kUsage, 0};
    } catch (const std::exception &e) {
        return {e.what(), kRefused, 0};
    }
}

// Tells the mail system that this program prints each failure's reason
// itself: the provider's own line then goes to its log file alone.
void ReasonsToCaller()
{
    try {
        const ProviderEntry entry("KelvraMapiReasonsToCaller", u"");
        entry.As<LPKELVRAMAPIREASONSTOCALLER>()(1);
    } catch (const NotOffered &) {
        // A library that prints no reasons (as on Windows).
    }
}

} // namespace

int main(int argc, char **argv)
{
    // The command's texts are UTF-8: where the platform takes a message's
    // texts as UTF-16, every script arrives whole, whatever the code page.
    kelvra::MAPIUNICODE = true;

    CLI::App app{"kelvra: mail through the Kelvra components (Simple MAPI)", "kelvra"};
    app.footer(kExitCodes);
    app.require_subcommand(1);
    // The global options may also follow the subcommand ("kelvra list --json").
    app.fallthrough();
    app.set_version_flag("--version", std::string("kelvra ") + KELVRA_VERSION_STRING);
    Global global;
    app.add_option("--profile", global.profile, "the mail profile to log on with (default: the default profile)");
    app.add_option("--password", global.password,
                   "the password to log on with; unsafe: others can read a command line (use KELVRA_PASSWORD, "
                   "the keyring or passwordcmd)");
    app.add_flag("--json", global.json, "print one JSON document");

    const std::vector<Subcommand> subcommands = AddSubcommands(app, kExitCodes);

    const bool json = std::any_of(argv + 1, argv + argc, [](const char *word) { return std::string_view(word) == "--json"; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e); // --help, --version
        if (const std::string unknown = UnknownSubcommand(app, argc, argv); !unknown.empty())
            return Report({unknown, kUsage, 0}, json);
        return Report({std::string(e.what()) + " (see --help)", kUsage, 0}, json);
    }
    if (global.password)
        std::cerr << "kelvra: warning: --password puts the password where other users can read it; use "
                     "KELVRA_PASSWORD, `kelvra password set` or the profile's passwordcmd\n";
    else if (const char *password = std::getenv("KELVRA_PASSWORD"))
        global.password = password;
    // Read once, and passed on to no program the mail system starts (a
    // sendmail, a password command, a dialog, the mail client).
#if defined(_WIN32)
    _putenv("KELVRA_PASSWORD=");
#else
    unsetenv("KELVRA_PASSWORD");
#endif

    try {
        for (const Subcommand &chosen : subcommands) {
            if (!chosen.app->parsed())
                continue;
            ReasonsToCaller();
            const InterruptsPassedOn interrupts;
            const nlohmann::json answer = chosen.run(global);
            std::cout << (global.json ? answer.dump(2) + "\n" : chosen.text(answer));
            if (chosen.status)
                return chosen.status(answer);
        }
        return kSuccess;
    } catch (...) {
        const int status = Report(FailureOf(std::current_exception()), global.json);
        return InterruptsPassedOn::Taken() != 0 ? 128 + InterruptsPassedOn::Taken() : status;
    }
}
