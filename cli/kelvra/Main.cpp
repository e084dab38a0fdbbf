// kelvra: send, list, read, save and delete mail, and look up the address
// book, through the Kelvra components.
#include "Commands.h"
#include "Shown.h"

#include "kelvra/Binding.h"
#include "kelvra/Errors.h"
#include "kelvra/Version.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <functional>
#include <iostream>

using namespace kelvra_cli;

namespace {

const char kExitCodes[] = R"(Exit status:
  0  success
  1  the mail system refused (its message and code on standard error)
  2  a usage error (what was wrong, and how to ask for help)
  3  a local file problem (a missing attachment, an unwritable folder)

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

    std::string command;
    std::function<nlohmann::json()> run;
    auto sub = [&](const char *name, const char *help) {
        CLI::App *s = app.add_subcommand(name, help);
        s->footer(kExitCodes);
        s->callback([&command, name] { command = name; });
        return s;
    };

    SendOptions send;
    CLI::App *sendCommand = sub("send", "send a message");
    sendCommand->add_option("--to", send.to, "recipients: names or addresses, separated by ';' or ','");
    sendCommand->add_option("--cc", send.cc, "copy recipients");
    sendCommand->add_option("--bcc", send.bcc, "blind copy recipients");
    sendCommand->add_option("--subject", send.subject, "the subject");
    auto *body = sendCommand->add_option("--body", send.body, "the text (else --body-file, else standard input)");
    sendCommand->add_option("--body-file", send.bodyFile, "a file with the text")->excludes(body);
    sendCommand->add_option("--attach", send.attach, "a file to attach (repeatable)");
    sendCommand->add_flag("--receipt", send.receipt, "ask for a read receipt");
    sendCommand->add_option("--type", send.type, "the message class (default: ordinary mail)");
    sendCommand->add_flag("--dialog", send.dialog, "open the mail system's compose dialog");

    ListOptions list;
    CLI::App *listCommand = sub("list", "list messages (envelopes only; nothing is marked read)");
    listCommand->add_flag("--unread", list.unread, "unread messages only");
    listCommand->add_flag("--fifo", list.fifo, "in the order they arrived");
    listCommand->add_option("--type", list.type, "messages of this class (a prefix)");
    listCommand->add_option("--limit", list.limit, "at most this many")->check(CLI::NonNegativeNumber);

    std::string id, folder, name;
    bool peek = false, force = false, unread = false, dialog = false;
    CLI::App *showCommand = sub("show", "show a message: headers, text, attachments");
    showCommand->add_option("ID", id, "the message identifier (from list)")->required();
    showCommand->add_flag("--peek", peek, "leave the message unread");

    CLI::App *saveCommand = sub("save-attachments", "copy a message's attachments into a folder");
    saveCommand->add_option("ID", id, "the message identifier")->required();
    saveCommand->add_option("DIR", folder, "the folder")->required();
    saveCommand->add_flag("--force", force, "replace files that exist");

    CLI::App *deleteCommand = sub("delete", "delete a message");
    deleteCommand->add_option("ID", id, "the message identifier")->required();

    CLI::App *countCommand = sub("count", "count messages");
    countCommand->add_flag("--unread", unread, "unread messages only");

    CLI::App *resolveCommand = sub("resolve", "look a name up in the address book");
    resolveCommand->add_option("NAME", name, "a name, nickname or address")->required();

    sub("pick", "choose recipients in the address-book dialog");

    CLI::App *detailsCommand = sub("details", "an address-book entry's details");
    detailsCommand->add_option("NAME", name, "a name, nickname or address")->required();
    detailsCommand->add_flag("--dialog", dialog, "show the mail system's details dialog");

    CLI::App *passwordCommand = sub("password", "keep the profile's password in the desktop's keyring");
    passwordCommand->require_subcommand(1);
    bool passwordSet = false;
    passwordCommand->add_subcommand("set", "read a password (without echo on a terminal) and keep it")
        ->callback([&] { passwordSet = true; });
    passwordCommand->add_subcommand("clear", "remove it from the keyring");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e); // --help, --version
        app.exit(e);
        return kUsage;
    }
    if (global.password)
        std::cerr << "kelvra: warning: --password puts the password where other users can read it; use "
                     "KELVRA_PASSWORD, `kelvra password set` or the profile's passwordcmd\n";
    else if (const char *password = std::getenv("KELVRA_PASSWORD"))
        global.password = password;

    try {
        nlohmann::json answer;
        if (command == "send")
            answer = Send(global, send);
        else if (command == "list")
            answer = List(global, list);
        else if (command == "show")
            answer = Show(global, id, peek);
        else if (command == "save-attachments")
            answer = SaveAttachments(global, id, folder, force);
        else if (command == "delete")
            answer = Delete(global, id);
        else if (command == "count")
            answer = Count(global, unread);
        else if (command == "resolve")
            answer = Resolve(global, name);
        else if (command == "pick")
            answer = Pick(global);
        else if (command == "details")
            answer = Details(global, name, dialog);
        else if (command == "password")
            answer = Password(global, passwordSet);
        if (global.json)
            std::cout << answer.dump(2) << "\n";
        else
            std::cout << AsText(command, answer);
        return kSuccess;
    } catch (const kelvra::EKelvraError &e) {
        return Report(global, std::string(e.what()) + " (code " + std::to_string(e.ErrorCode) + ")", kRefused,
                      e.ErrorCode);
    } catch (const LocalFileError &e) {
        return Report(global, e.what(), kLocalFile, 0);
    } catch (const std::exception &e) {
        return Report(global, e.what(), kRefused, 0);
    }
}
