// kelvra: send, list, read, save and delete mail, and look up the address
// book, through the Kelvra components.
#include "Commands.h"
#include "Shown.h"
#include "Subcommands.h"

#include "kelvra/Binding.h"
#include "kelvra/Errors.h"
#include "kelvra/Version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string_view>

using namespace kelvra_cli;

namespace {

const char kExitCodes[] = R"(Exit status:
  0  success
  1  the mail system refused (its message and code on standard error)
  2  a usage error (what was wrong, and how to ask for help)
  3  a local file problem (a missing attachment, an unwritable folder)

Global options, before or after the subcommand: --profile NAME, --password TEXT (unsafe), --json.
Texts in and out are UTF-8. With --json each command prints one JSON document.)";

int Report(const Global &global, const std::string &message, int status, int code)
{
    // A message may name what a stranger chose (an attachment's name).
    std::cerr << "kelvra: " << Shown(message) << "\n";
    if (global.json)
        std::cout << nlohmann::json{{"error", {{"message", message}, {"code", code}, {"status", status}}}}.dump(2)
                  << "\n";
    return status;
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e); // --help, --version
        // A word where the subcommand goes that names none: said as such.
        for (int i = 1; i < argc; ++i) {
            const std::string_view word = argv[i];
            if (word == "--profile" || word == "--password") {
                ++i;
                continue;
            }
            if (word.empty() || word[0] == '-')
                continue;
            const bool known = std::any_of(subcommands.begin(), subcommands.end(),
                                           [&](const Subcommand &c) { return c.app->get_name() == word; });
            if (!known) {
                std::cerr << "kelvra: " << Shown(std::string(word)) << " is no subcommand (see kelvra --help)\n";
                return kUsage;
            }
            break;
        }
        app.exit(e);
        // Asked for JSON, a usage error is a JSON document too.
        for (int i = 1; i < argc; ++i)
            if (std::string_view(argv[i]) == "--json") {
                std::cout << nlohmann::json{{"error", {{"message", e.what()}, {"code", 0}, {"status", kUsage}}}}.dump(2)
                          << "\n";
                break;
            }
        return kUsage;
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
            const nlohmann::json answer = chosen.run(global);
            std::cout << (global.json ? answer.dump(2) + "\n" : chosen.text(answer));
            if (chosen.status)
                return chosen.status(answer);
        }
        return kSuccess;
    } catch (const kelvra::EKelvraError &e) {
        return Report(global, std::string(e.what()) + " (code " + std::to_string(e.ErrorCode) + ")", kRefused,
                      e.ErrorCode);
    } catch (const LocalFileError &e) {
        return Report(global, e.what(), kLocalFile, 0);
    } catch (const std::invalid_argument &e) {
        return Report(global, std::string(e.what()) + " (see --help)", kUsage, 0);
    } catch (const std::exception &e) {
        return Report(global, e.what(), kRefused, 0);
    }
}
