#include "Subcommands.h"

#include "Shown.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

namespace kelvra_cli {

using json = nlohmann::json;

namespace {

// Every text of an answer is printed through Shown: it may come from a
// stranger and must not command the terminal.
std::string ShownText(const json &value) { return Shown(value.get<std::string>()); }

std::string Who(const json &mailbox)
{
    const std::string name = mailbox.value("name", ""), address = mailbox.value("address", "");
    if (name.empty() || name == address)
        return Shown(address);
    return address.empty() ? Shown(name) : Shown(name) + " <" + Shown(address) + ">";
}

std::string Join(const json &list)
{
    std::string out;
    for (const json &item : list) {
        if (!out.empty())
            out += ", ";
        out += item.is_string() ? ShownText(item) : Who(item);
    }
    return out;
}

// An ISO 8601 time as a listing shows it: "YYYY-MM-DD HH:MM".
std::string Minute(const json &iso)
{
    std::string text = iso.get<std::string>().substr(0, 16);
    if (text.size() > 10 && text[10] == 'T')
        text[10] = ' ';
    return Shown(text);
}

// A value that may not be empty: an identifier, a name, a folder.
const CLI::Validator kNotEmpty(
    [](std::string &value) { return value.empty() ? std::string("may not be empty") : std::string(); }, "TEXT");
// A count, 0 or more.
const CLI::Validator kCount(
    [](std::string &value) {
        return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos
                   ? std::string()
                   : "must be a whole number, 0 or more: " + value;
    },
    "COUNT");

// The state of one subcommand's options, kept for as long as the program runs.
template <class Options>
std::shared_ptr<Options> Kept()
{
    return std::make_shared<Options>();
}

Subcommand SendCommand(CLI::App &app)
{
    auto o = Kept<SendOptions>();
    CLI::App *s = app.add_subcommand("send", "send a message");
    s->add_option("--to", o->to,
                  "a recipient: a name, an address or 'Name <address>'; repeatable, or several separated by ';' "
                  "or ','")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    s->add_option("--cc", o->cc, "a copy recipient (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    s->add_option("--bcc", o->bcc, "a blind copy recipient (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    s->add_option("--subject", o->subject, "the subject");
    auto *body = s->add_option("--body", o->body, "the text (else --body-file, else standard input)");
    s->add_option("--body-file", o->bodyFile, "a file with the text; - for standard input")->excludes(body);
    s->add_option("--attach", o->attach, "a file to attach (repeatable)");
    s->add_flag("--receipt", o->receipt, "ask for a read receipt");
    s->add_option("--type", o->type, "the message class (default: ordinary mail)");
    s->add_flag("--dialog", o->dialog, "open the mail system's compose dialog");
    return {s, [o](const Global &g) { return Send(g, *o); }, [](const json &a) {
                // The mail system's own words when it gives them: they say
                // whether the message left the machine.
                if (!a["outcome"].get<std::string>().empty())
                    return ShownText(a["outcome"]) + "\n";
                std::string out = "handed to the mail system for " + Join(a["to"]);
                if (!a["cc"].empty())
                    out += ", cc " + Join(a["cc"]);
                if (!a["bcc"].empty())
                    out += ", bcc " + Join(a["bcc"]);
                return out + "\n";
            }};
}

Subcommand ListCommand(CLI::App &app)
{
    auto o = Kept<ListOptions>();
    CLI::App *s = app.add_subcommand("list", "list messages (envelopes only; nothing is marked read)");
    s->add_flag("--unread", o->unread, "unread messages only");
    s->add_flag("--fifo", o->fifo, "in the order they arrived");
    s->add_option("--type", o->type, "messages of this class (a prefix)");
    s->add_option("--limit", o->limit, "at most this many")->check(kCount);
    return {s, [o](const Global &g) { return List(g, *o); }, [](const json &a) {
                std::ostringstream out;
                // Identifiers differ in length (a Maildir's, an IMAP
                // folder's): the columns after them line up.
                size_t width = 0;
                for (const json &m : a)
                    width = std::max(width, ShownText(m["id"]).size());
                for (const json &m : a) {
                    const int files = m["attachments"].get<int>();
                    const std::string id = ShownText(m["id"]);
                    out << id << std::string(width - id.size(), ' ') << "  " << Minute(m["received"]) << "  " << (m["unread"].get<bool>() ? "N" : " ") << "  "
                        << Who(m["from"]) << "  " << ShownText(m["subject"])
                        << (files > 0 ? "  [" + std::to_string(files) + "]" : "") << "\n";
                }
                return out.str();
            }};
}

Subcommand ShowCommand(CLI::App &app)
{
    struct Options {
        std::string id;
        bool peek = false;
    };
    auto o = Kept<Options>();
    CLI::App *s = app.add_subcommand("show", "show a message: headers, text, attachments");
    s->add_option("ID", o->id, "the message identifier (from list)")->required()->check(kNotEmpty);
    s->add_flag("--peek", o->peek, "leave the message unread");
    return {s, [o](const Global &g) { return Show(g, o->id, o->peek); }, [](const json &a) {
                std::ostringstream out;
                out << "From: " << Who(a["from"]) << "\n";
                for (const char *field : {"to", "cc", "bcc"})
                    if (!a[field].empty())
                        out << char(std::toupper(field[0])) << (field + 1) << ": " << Join(a[field]) << "\n";
                out << "Subject: " << ShownText(a["subject"]) << "\n";
                if (!a["date"].is_null())
                    out << "Date: " << ShownText(a["date"]) << "  (the message's own)\n";
                out << "Received: " << ShownText(a["received"]) << "\n"
                    << "Id: " << ShownText(a["id"]) << "\n\n"
                    << Shown(a["body"].get<std::string>(), true) << "\n";
                for (const json &f : a["attachments"])
                    out << "attachment: " << ShownText(f["name"]) << " (" << f["size"].get<std::uintmax_t>() << " bytes)\n";
                return out.str();
            }};
}

Subcommand SaveAttachmentsCommand(CLI::App &app)
{
    struct Options {
        std::string id, folder;
        bool force = false;
    };
    auto o = Kept<Options>();
    CLI::App *s = app.add_subcommand("save-attachments", "copy a message's attachments into a folder");
    s->add_option("ID", o->id, "the message identifier")->required()->check(kNotEmpty);
    s->add_option("DIR", o->folder, "the folder")->required()->check(kNotEmpty);
    s->add_flag("--force", o->force, "replace files that exist");
    return {s, [o](const Global &g) { return SaveAttachments(g, o->id, o->folder, o->force); }, [](const json &a) {
                std::string out;
                for (const json &f : a["saved"])
                    out += "saved " + ShownText(f["name"]) + " -> " + ShownText(f["path"]) + "\n";
                return out;
            }};
}

Subcommand DeleteCommand(CLI::App &app)
{
    auto id = Kept<std::string>();
    CLI::App *s = app.add_subcommand("delete", "delete a message");
    s->add_option("ID", *id, "the message identifier")->required()->check(kNotEmpty);
    return {s, [id](const Global &g) { return Delete(g, *id); },
            [](const json &a) { return "deleted " + ShownText(a["deleted"]) + "\n"; }};
}

Subcommand CountCommand(CLI::App &app)
{
    auto unread = Kept<bool>();
    CLI::App *s = app.add_subcommand("count", "count messages");
    s->add_flag("--unread", *unread, "unread messages only");
    return {s, [unread](const Global &g) { return Count(g, *unread); },
            [](const json &a) { return std::to_string(a["count"].get<int>()) + "\n"; }};
}

Subcommand ResolveCommand(CLI::App &app)
{
    auto name = Kept<std::string>();
    CLI::App *s = app.add_subcommand("resolve", "look a name up in the address book");
    s->add_option("NAME", *name, "a name, nickname or address")->required()->check(kNotEmpty);
    return {s, [name](const Global &g) { return Resolve(g, *name); }, [](const json &a) { return Who(a) + "\n"; }};
}

Subcommand PickCommand(CLI::App &app)
{
    CLI::App *s = app.add_subcommand("pick", "choose recipients in the address-book dialog");
    return {s, [](const Global &g) { return Pick(g); }, [](const json &a) {
                std::string out;
                for (const char *field : {"to", "cc", "bcc"})
                    if (!a[field].empty())
                        out += std::string(field) + ": " + Join(a[field]) + "\n";
                return out;
            }};
}

Subcommand DetailsCommand(CLI::App &app)
{
    struct Options {
        std::string name;
        bool dialog = false;
    };
    auto o = Kept<Options>();
    CLI::App *s = app.add_subcommand("details", "an address-book entry's details");
    s->add_option("NAME", o->name, "a name, nickname or address")->required()->check(kNotEmpty);
    s->add_flag("--dialog", o->dialog, "show the mail system's details dialog");
    return {s, [o](const Global &g) { return Details(g, o->name, o->dialog); },
            [](const json &a) { return Who(a) + "\n"; }};
}

Subcommand PasswordCommand(CLI::App &app)
{
    auto set = Kept<bool>();
    CLI::App *s = app.add_subcommand("password", "keep the profile's password in the desktop's keyring");
    s->require_subcommand(1);
    s->add_subcommand("set", "read a password (without echo on a terminal) and keep it")->callback([set] { *set = true; });
    s->add_subcommand("clear", "remove it from the keyring");
    return {s, [set](const Global &g) { return Password(g, *set); }, [](const json &a) {
                return (a.contains("kept") ? "kept the password of profile " + ShownText(a["kept"])
                                           : "cleared the password of profile " + ShownText(a["cleared"])) +
                       "\n";
            }};
}

Subcommand ProfileCommand(CLI::App &app)
{
    struct Options {
        bool check = false, import = false, list = false;
        std::string name;
        ImportOptions from;
    };
    auto o = Kept<Options>();
    CLI::App *s = app.add_subcommand("profile", "list the profiles, show one as the mail system reads it, check each of its parts, or import one");
    s->require_subcommand(1);
    CLI::App *list = s->add_subcommand("list", "print the names of the profiles, the default one first");
    list->callback([o] { o->list = true; });
    CLI::App *show = s->add_subcommand("show", "print the profile's keys with the values in effect (no secret shown)");
    show->add_option("NAME", o->name, "the profile (default: --profile's, else the default one)");
    CLI::App *check = s->add_subcommand("check", "log on and try the mailbox, the address book and the way mail goes "
                                                 "out, sending nothing; exit status 0 only when all work");
    check->add_option("NAME", o->name, "the profile (default: --profile's, else the default one)");
    check->callback([o] { o->check = true; });
    CLI::App *import = s->add_subcommand(
        "import", "add a profile made from msmtp's or mbsync's configuration or git send-email's settings");
    import->add_option("FROM", o->from.from, "msmtp, mbsync or git")
        ->required()
        ->check(CLI::IsMember({"msmtp", "mbsync", "git"}));
    import->add_option("--account", o->from.account, "the msmtp account or mbsync IMAPAccount (default: the "
                                                      "default one, or the only one)");
    import->add_option("--as", o->from.as, "the new profile's name (default: the account's; git: git)")->check(kNotEmpty);
    import->add_option("--file", o->from.file, "the configuration file to read (default: where the program reads it)")
        ->check(kNotEmpty);
    import->add_flag("--local", o->from.local, "mbsync: the local Maildir its MaildirStore's Inbox names, not the "
                                               "IMAP server");
    import->add_flag("--force", o->from.force, "replace a profile of that name");
    import->callback([o] { o->import = true; });
    return {s,
            [o](const Global &g) {
                return o->import ? ProfileImport(g, o->from)
                       : o->check ? ProfileCheck(g, o->name)
                       : o->list  ? ProfileList(g)
                                  : ProfileShow(g, o->name);
            },
            [](const json &a) {
                std::string out;
                if (a.contains("profiles")) {
                    for (const json &name : a["profiles"])
                        out += ShownText(name) + (name == a["default"] ? "  (default)\n" : "\n");
                    return out;
                }
                if (a.contains("imported"))
                    return "added profile " + ShownText(a["imported"]) + " (from " + ShownText(a["from"]) + ")\n";
                if (a.contains("parts")) {
                    for (const json &p : a["parts"])
                        out += ShownText(p["part"]) + ": " + (p["ok"].get<bool>() ? "ok" : "FAILED") + ": " + ShownText(p["detail"]) +
                               "\n";
                    return out;
                }
                out = "[" + ShownText(a["profile"]) + "]    ; " + ShownText(a["file"]) + "\n";
                for (const auto &[key, value] : a["keys"].items())
                    out += key + " = " + ShownText(value) + "\n";
                return out;
            },
            [](const json &a) { return a.contains("ok") && !a["ok"].get<bool>() ? int(kRefused) : int(kSuccess); }};
}

} // namespace

std::vector<Subcommand> AddSubcommands(CLI::App &app, const std::string &footer)
{
    std::vector<Subcommand> all;
    for (Subcommand (*add)(CLI::App &) :
         {SendCommand, ListCommand, ShowCommand, SaveAttachmentsCommand, DeleteCommand, CountCommand, ResolveCommand,
          PickCommand, DetailsCommand, PasswordCommand, ProfileCommand}) {
        all.push_back(add(app));
        all.back().app->footer(footer);
    }
    return all;
}

} // namespace kelvra_cli
