#include "Commands.h"

#include "Progress.h"
#include "Provider.h"
#include "SaveFile.h"

#include "Shown.h"

#include "kelvra/Kelvra.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <iomanip>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define KELVRA_ISATTY _isatty
#define KELVRA_FILENO _fileno
#else
#include <fcntl.h>
#include <unistd.h>
#define KELVRA_ISATTY isatty
#define KELVRA_FILENO fileno
#endif

namespace kelvra_cli {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace kelvra;

// The command's texts are UTF-8, and one that is not is refused as a usage
// error rather than sent with U+FFFD where its bad bytes stood. The message
// names the offset, never the byte: the text may be a password.
String TextGiven(const std::string &utf8, const std::string &given)
{
    const size_t bad = host::InvalidUtf8At(utf8);
    if (bad != std::string::npos)
        throw std::invalid_argument(given + " is not UTF-8 text: the byte at offset " + std::to_string(bad) +
                                    " starts no UTF-8 character; nothing was done with it");
    return host::FromUtf8(utf8);
}

namespace {

// A component's text, as the command prints it: UTF-8.
std::string Utf8Text(std::u16string_view text) { return host::ToUtf8(text); }

fs::path PathOf(const std::string &utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The session every subcommand logs on with.
void Configure(TKelvraSession &session, const Global &global)
{
    session.SetProfileName(TextGiven(global.profile, "--profile"));
    if (global.password)
        session.SetPassword(TextGiven(*global.password, "the password (--password or KELVRA_PASSWORD)"));
}

// A component on the session every subcommand logs on with, which it
// borrows: the session is made first and goes last.
template <class Component>
class OnSession {
public:
    explicit OnSession(const Global &global)
    {
        Configure(session_, global);
        component_.SetSession(&session_);
    }
    Component &operator*() { return component_; }
    Component *operator->() { return &component_; }
    TKelvraSession &Session() { return session_; }

private:
    TKelvraSession session_;
    Component component_;
};

json Mailbox(const String &name, const String &address)
{
    return {{"name", Utf8Text(name)}, {"address", Utf8Text(address)}};
}

std::vector<std::string> Items(const String &list)
{
    host::TStringList items;
    SplitList(list, items);
    std::vector<std::string> out;
    for (const String &item : items.Lines())
        out.push_back(Utf8Text(item));
    return out;
}

std::string ReadAll(std::istream &in)
{
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Selects the message `id` with `flags`; an unknown one raises the platform's error.
void Select(TKelvraReadMail &mail, const std::string &id, TReadFlags flags)
{
    mail.SetReadFlags(flags);
    mail.SetMessageID(TextGiven(id, "ID"));
}

std::string Hex(const std::vector<std::uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// A display name as an RFC 2047 encoded-word phrase (UTF-8, "Q"), which
// every mail reader shows as the name and which holds no ';' or ',': words
// of at most 75 characters, none splitting a character.
std::string EncodedWords(const std::string &name)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string phrase, word;
    const auto close = [&] {
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict
        // for a chain of `+` here.
        if (!phrase.empty())
            phrase += ' ';
        phrase.append("=?UTF-8?Q?").append(word).append("?=");
        word.clear();
    };
    for (size_t i = 0; i < name.size();) {
        size_t end = i + 1; // the character's bytes
        while (end < name.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
            ++end;
        std::string encoded;
        for (size_t j = i; j < end; ++j) {
            const auto c = static_cast<unsigned char>(name[j]);
            if (c == ' ')
                encoded += '_';
            else if (std::isalnum(c) != 0 && c < 0x80)
                encoded += static_cast<char>(c);
            else
                encoded += {'=', digits[c >> 4], digits[c & 15]};
        }
        if (!word.empty() && 12 + word.size() + encoded.size() > 75)
            close();
        word += encoded;
        i = end;
    }
    if (!word.empty() || phrase.empty())
        close();
    return phrase;
}

// Recipients as the options gave them, each option's text in order, as
// one list. A display name in quotes that holds ';' or ',' (which separate
// the list's items) goes as encoded words, so that it stays one recipient
// under that name; a quote left open before one is refused.
String Recipients(const std::vector<std::string> &given, const std::string &option)
{
    String list;
    for (const std::string &text : given) {
        std::string item;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '"') {
                item += text[i];
                continue;
            }
            std::string name; // the quoted string's content, its escapes undone
            size_t end = i + 1;
            for (; end < text.size() && text[end] != '"'; ++end)
                name += text[end] == '\\' && end + 1 < text.size() ? text[++end] : text[end];
            if (name.find_first_of(";,") == std::string::npos) {
                item.append(text, i, end + 1 - i);
            } else if (end == text.size()) {
                throw std::invalid_argument(option + " " + text +
                                            ": a quote is not closed, and ';' or ',' after it separate recipients");
            } else {
                item += EncodedWords(name);
            }
            i = end;
        }
        AppendListItem(list, TextGiven(item, option));
    }
    return list;
}

// An ISO 8601 time from the platform's "YYYY/MM/DD HH:MM" (local time),
// for a library that gives no more: its seconds are 00. Empty when the
// text is no such time.
std::string IsoOfPlatformDate(const std::string &text)
{
    std::tm local{};
    std::istringstream in(text);
    in >> std::get_time(&local, "%Y/%m/%d %H:%M");
    if (in.fail())
        return {};
    local.tm_isdst = -1;
    if (std::mktime(&local) == -1)
        return {};
    char out[40], zone[8];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local); // +hhmm
    const std::string offset = std::string(zone).size() == 5 ? std::string(zone).insert(3, ":") : "";
    return std::string(out) + offset;
}

// The way a message went out, from the first words of the platform's
// outcome (kelvra(1) lists them): "smtp", "sendmail", "mailbox" or "mail
// client"; the platform that says nothing (Windows) handed it to the
// mail client.
std::string WayOf(const std::string &outcome)
{
    for (const auto &[words, way] : {std::pair{"sent to ", "smtp"},
                                     {"handed to the mail client", "mail client"},
                                     {"handed to ", "sendmail"},
                                     {"delivered into the mailbox ", "mailbox"}})
        if (outcome.rfind(words, 0) == 0)
            return way;
    return "mail client";
}

// The name a message's file `i` is saved under: the file the mail system
// handed out, made safe by it (the provider takes only the last part of
// the sender's name, drops leading dots and control characters, and makes
// names unique), and checked once more here: whatever the message says,
// the file lands directly in the folder, hidden from nobody.
std::string SavedName(const TKelvraReadMail &mail, std::uint32_t i)
{
    std::string name = Utf8Of(PathOf(Utf8Text(mail.GetPathName(i))).filename());
    while (!name.empty() && (name.front() == '.' || name.front() == ' '))
        name.erase(0, 1);
    const bool plain = std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':';
    });
    return name.empty() || !plain ? "attachment-" + std::to_string(i + 1) : name;
}

// Copies of files whose paths an attachment list cannot carry (',' or ';'
// would split them), in a private folder of their own, under names
// without them (dropped before a blank, else '_'); removed with the object,
// once the mail system took what it keeps.
class StagedCopies {
public:
    StagedCopies() = default;
    StagedCopies(const StagedCopies &) = delete;
    StagedCopies &operator=(const StagedCopies &) = delete;
    ~StagedCopies()
    {
        std::error_code error;
        if (!folder_.empty())
            fs::remove_all(folder_, error);
    }

    // The copy of `path`.
    fs::path Copy(const fs::path &path)
    {
        std::error_code error;
        for (int tries = 0; folder_.empty() && tries < 100; ++tries) {
            const fs::path folder = fs::temp_directory_path(error) /
                                    ("kelvra-attach-" + std::to_string(std::random_device{}()));
            if (!error && fs::create_directory(folder, error) && !error) {
                fs::permissions(folder, fs::perms::owner_all, error);
                folder_ = folder;
            }
        }
        std::string name = Utf8Of(path.filename());
        for (size_t i = 0; i < name.size(); ++i)
            if (name[i] == ',' || name[i] == ';') {
                if (i + 1 < name.size() && name[i + 1] == ' ')
                    name.erase(i--, 1);
                else
                    name[i] = '_';
            }
        const fs::path copy = folder_ / PathOf(name);
        if (folder_.empty() || Utf8Of(folder_).find_first_of(";,") != std::string::npos ||
            !fs::copy_file(path, copy, error) || error)
            throw LocalFileError("cannot attach " + Utf8Of(path) +
                                 ": its path holds ',' or ';', and no copy without them could be made");
        return copy;
    }

private:
    fs::path folder_;
};

// The entry point `name` of the platform library; null where it has none
// (as on Windows).
std::unique_ptr<ProviderEntry> Offered(const char *name)
{
    try {
        return std::make_unique<ProviderEntry>(name, u"");
    } catch (const NotOffered &) {
        return nullptr;
    }
}

// When the message `mail` holds arrived, and its own Date, in ISO 8601
// with seconds and offset (the provider's KelvraMapiMessageDates); else
// the platform's minute, and no Date.
std::pair<std::string, std::optional<std::string>> Dates(const TKelvraReadMail &mail)
{
    // Looked up once for a listing's many messages.
    static const std::unique_ptr<ProviderEntry> entry = Offered("KelvraMapiMessageDates");
    if (entry) {
        const auto dates = entry->As<LPKELVRAMAPIMESSAGEDATES>();
        std::string text(256, '\0');
        ULONG length = 0;
        // The provider only looks the record up.
        const auto record = const_cast<lpMapiMessage>(mail.GetMapiMessage());
        if (dates(record, text.data(), static_cast<ULONG>(text.size()), &length) == SUCCESS_SUCCESS &&
            length < text.size()) {
            text.resize(length);
            const size_t tab = text.find('\t');
            const std::string date = tab == std::string::npos ? std::string() : text.substr(tab + 1);
            return {text.substr(0, tab), date.empty() ? std::nullopt : std::optional<std::string>(date)};
        }
    }
    return {IsoOfPlatformDate(Utf8Text(mail.GetDateReceived())), std::nullopt};
}

// How many files the message `mail` is at holds: asked of the provider,
// which need not read the body (KelvraMapiFileCount); else counted by
// `counter`'s read that copies none.
ULONG FileCount(const TKelvraSession &session, const TKelvraReadMail &mail, TKelvraReadMail &counter)
{
    static const std::unique_ptr<ProviderEntry> entry = Offered("KelvraMapiFileCount");
    if (entry) {
        ULONG files = 0;
        const std::string id = host::ToAnsi(mail.GetMessageID());
        kelvra::Check(entry->As<LPKELVRAMAPIFILECOUNT>()(session.Handle(), const_cast<LPSTR>(id.c_str()), &files));
        return files;
    }
    counter.SetMessageID(mail.GetMessageID());
    return static_cast<ULONG>(counter.GetFileCount());
}

} // namespace

json Send(const Global &global, const SendOptions &options)
{
    // Refused before anything is asked of the mail system.
    if (options.to.empty() && options.cc.empty() && options.bcc.empty() && !options.dialog)
        throw std::invalid_argument("send needs a recipient: --to (or --cc, --bcc), or --dialog");
    const bool fromStdin = options.bodyFile ? *options.bodyFile == "-" : !options.body;
    if (fromStdin && KELVRA_ISATTY(KELVRA_FILENO(stdin)))
        throw std::invalid_argument("send needs a text: --body, --body-file, or standard input that is not a "
                                    "terminal (--body '' sends none)");
    OnSession<TKelvraSendMail> mail(global);
    mail->SetSendTo(Recipients(options.to, "--to"));
    mail->SetCc(Recipients(options.cc, "--cc"));
    mail->SetBcc(Recipients(options.bcc, "--bcc"));
    mail->SetSubject(TextGiven(options.subject, "--subject"));
    mail->SetMessageType(TextGiven(options.type, "--type"));

    std::string body;
    std::string given = "--body";
    if (options.body) {
        body = *options.body;
    } else if (options.bodyFile && *options.bodyFile != "-") {
        given = "--body-file " + *options.bodyFile;
        std::ifstream in(PathOf(*options.bodyFile), std::ios::binary);
        if (!in)
            throw LocalFileError("cannot read the body file " + *options.bodyFile);
        body = ReadAll(in);
    } else {
        body = ReadAll(std::cin); // not a terminal (above)
        given = "standard input";
    }
    host::TStringList lines;
    lines.SetText(TextGiven(body, given));
    mail->SetBody(lines);

    std::vector<String> files;
    json attached = json::array();
    StagedCopies staging;
    for (const std::string &file : options.attach) {
        if (file.empty())
            throw std::invalid_argument("--attach needs the path of a file, not an empty text");
        std::error_code error;
        const fs::path path = fs::absolute(PathOf(file), error);
        const fs::file_status status = fs::status(path, error);
        if (error || !fs::exists(status))
            throw LocalFileError("no such file to attach: " + file);
        if (!fs::is_regular_file(status))
            throw LocalFileError("cannot attach " + file + ": it is not a regular file (" +
                                 (fs::is_directory(status) ? "a folder" : "a FIFO, socket or device") + ")");
        if (std::ifstream(path, std::ios::binary).fail())
            throw LocalFileError("cannot read the file to attach: " + file);
        const std::string text = Utf8Of(path);
        // List text has no quoting: such a path would split in two, so the
        // file goes as a copy whose path holds neither.
        std::string staged = text;
        if (text.find_first_of(";,") != std::string::npos) {
            staged = Utf8Of(staging.Copy(path));
            const std::string name = Utf8Of(path.filename()), as = Utf8Of(PathOf(staged).filename());
            if (as != name)
                std::cerr << "kelvra: note: " << Shown(name) << " goes as " << Shown(as)
                          << ": an attachment's name cannot hold ',' or ';'\n";
        }
        files.push_back(TextGiven(staged, "--attach " + file));
        attached.push_back(text);
    }
    // The component makes the last file of its list the message's first
    // attachment: named to it in reverse, they go out in the order given.
    String attach;
    for (auto file = files.rbegin(); file != files.rend(); ++file)
        AppendListItem(attach, *file);
    mail->SetAttach(attach);
    TSendFlags flags;
    if (options.receipt)
        flags.Include(TSendFlag::sfReceiptRequested);
    if (options.dialog)
        flags.Include(TSendFlag::sfDialog);
    mail->SetFlags(flags);
    mail->Send();
    const std::string outcome = Utf8Text(mail->Outcome());
    const std::string way = WayOf(outcome);
    return {{"sent", way == "smtp" || way == "sendmail"},
            {"way", way},
            {"outcome", outcome},
            {"to", Items(mail->GetSendTo())},
            {"cc", Items(mail->GetCc())},
            {"bcc", Items(mail->GetBcc())},
            {"subject", options.subject},
            {"attachments", attached}};
}

json List(const Global &global, const ListOptions &options)
{
    TKelvraSession session;
    Configure(session, global);
    // The walk reads envelopes only; the attachments are counted apart
    // (FileCount). Neither marks a message read.
    TKelvraReadMail mail, counter;
    mail.SetSession(&session);
    counter.SetSession(&session);
    TFindFlags find;
    if (options.unread)
        find.Include(TFindFlag::ffUnreadOnly);
    if (options.fifo)
        find.Include(TFindFlag::ffFifo);
    mail.SetFindFlags(find);
    mail.SetMessageTypeFilter(TextGiven(options.type, "--type"));
    mail.SetReadFlags({TReadFlag::rfPeek, TReadFlag::rfEnvelopeOnly});
    counter.SetReadFlags({TReadFlag::rfPeek, TReadFlag::rfSuppressAttach});
    json messages = json::array();
    Progress progress("listed", global.json);
    for (bool more = options.limit != 0 && mail.First(); more; more = mail.Next()) {
        progress.Step(static_cast<long>(messages.size()));
        messages.push_back({{"id", Utf8Text(mail.GetMessageID())},
                            {"received", Dates(mail).first},
                            {"from", Mailbox(mail.GetOriginatorName(), mail.GetOriginatorAddress())},
                            {"subject", Utf8Text(mail.GetSubject())},
                            {"unread", mail.GetMessageFlags().Contains(TMessageFlag::mfUnread)},
                            {"attachments", FileCount(session, mail, counter)}});
        if (options.limit > 0 && static_cast<long>(messages.size()) >= options.limit)
            break;
    }
    return messages;
}

json Show(const Global &global, const std::string &id, bool peek)
{
    OnSession<TKelvraReadMail> mail(global);
    Select(*mail, id, peek ? TReadFlags{TReadFlag::rfPeek} : TReadFlags{});
    json to = json::array(), cc = json::array(), bcc = json::array();
    for (std::uint32_t i = 0; i < mail->GetRecipientCount(); ++i) {
        const json entry = Mailbox(mail->GetRecipientName(i), mail->GetRecipientAddress(i));
        switch (mail->GetRecipientType(i)) {
        case TRecipientType::rtTo: to.push_back(entry); break;
        case TRecipientType::rtCc: cc.push_back(entry); break;
        case TRecipientType::rtBcc: bcc.push_back(entry); break;
        case TRecipientType::rtOriginator: break;
        }
    }
    json attachments = json::array();
    for (std::uint32_t i = 0; i < mail->GetFileCount(); ++i) {
        std::error_code error;
        const auto size = fs::file_size(PathOf(Utf8Text(mail->GetPathName(i))), error);
        // Listed under the name save-attachments gives the file; the
        // sender's own, when that differs, beside it.
        json entry = {{"name", SavedName(*mail, i)}, {"size", error ? 0 : size}};
        if (const std::string sent = Utf8Text(mail->GetFileName(i)); sent != entry["name"])
            entry["sent_as"] = sent;
        attachments.push_back(entry);
    }
    const TMessageFlags flags = mail->GetMessageFlags();
    const auto [received, date] = Dates(*mail);
    return {{"id", id},
            {"received", received},
            {"date", date ? json(*date) : json(nullptr)},
            {"from", Mailbox(mail->GetOriginatorName(), mail->GetOriginatorAddress())},
            {"to", to},
            {"cc", cc},
            {"bcc", bcc},
            {"subject", Utf8Text(mail->GetSubject())},
            {"type", Utf8Text(mail->GetMessageType())},
            {"conversation", Utf8Text(mail->GetConversationID())},
            {"unread", flags.Contains(TMessageFlag::mfUnread)},
            {"receipt_requested", flags.Contains(TMessageFlag::mfReceiptRequested)},
            {"sent", flags.Contains(TMessageFlag::mfSent)},
            {"body", Utf8Text(mail->GetBodyText())},
            {"attachments", attachments}};
}

json SaveAttachments(const Global &global, const std::string &id, const std::string &folder, bool force)
{
    std::error_code error;
    const fs::path target = fs::canonical(PathOf(folder), error);
    if (error || !fs::is_directory(target))
        throw LocalFileError("no such folder: " + folder);
    OnSession<TKelvraReadMail> mail(global);
    Select(*mail, id, {TReadFlag::rfPeek});
    json saved = json::array();
    for (std::uint32_t i = 0; i < mail->GetFileCount(); ++i) {
        const std::string name = SavedName(*mail, i);
        const fs::path destination = target / PathOf(name);
        SaveCopy(target, name, PathOf(Utf8Text(mail->GetPathName(i))), force);
        json entry = {{"name", name}, {"path", Utf8Of(destination)}};
        if (const std::string sent = Utf8Text(mail->GetFileName(i)); sent != name)
            entry["sent_as"] = sent;
        saved.push_back(entry);
    }
    return {{"id", id}, {"saved", saved}};
}

json Delete(const Global &global, const std::string &id)
{
    OnSession<TKelvraReadMail> mail(global);
    Select(*mail, id, {TReadFlag::rfPeek, TReadFlag::rfEnvelopeOnly});
    mail->Delete();
    return {{"deleted", id}};
}

json Count(const Global &global, bool unread)
{
    OnSession<TKelvraReadMail> mail(global);
    if (unread)
        mail->SetFindFlags({TFindFlag::ffUnreadOnly});
    Progress progress("counted", global.json);
    const std::int32_t count = mail->MessageCount([&](std::int32_t counted) { progress.Step(counted); });
    return {{"count", count}, {"unread_only", unread}};
}

json Resolve(const Global &global, const std::string &name)
{
    OnSession<TKelvraContact> contact(global);
    contact->SetContactName(TextGiven(name, "NAME"));
    return {{"name", Utf8Text(contact->GetResolvedName())},
            {"address", Utf8Text(contact->GetResolvedAddress())},
            {"entry_id", Hex(contact->GetResolvedEntry())}};
}

json Pick(const Global &global)
{
    OnSession<TKelvraSendMail> mail(global);
    if (!mail->SelectRecipients())
        Check(MAPI_USER_ABORT); // cancelled: as a cancelled send --dialog is
    return {{"to", Items(mail->GetSendTo())}, {"cc", Items(mail->GetCc())}, {"bcc", Items(mail->GetBcc())}};
}

json Details(const Global &global, const std::string &name, bool dialog)
{
    OnSession<TKelvraContact> contact(global);
    contact->SetContactName(TextGiven(name, "NAME"));
    if (dialog) {
        // The platform's own details dialog for the resolved entry.
        std::string narrowName = host::ToAnsi(contact->GetResolvedName());
        std::string narrowAddress = host::ToAnsi(contact->GetResolvedAddress());
        std::vector<std::uint8_t> entry = contact->GetResolvedEntry();
        MapiRecipDesc recip{};
        recip.ulRecipClass = MAPI_TO;
        recip.lpszName = narrowName.data();
        recip.lpszAddress = narrowAddress.data();
        recip.ulEIDSize = static_cast<ULONG>(entry.size());
        recip.lpEntryID = entry.empty() ? nullptr : entry.data();
        contact.Session().Open();
        Check(MapiDetails()(contact.Session().Handle(), 0, &recip, 0, 0));
    }
    return {{"name", Utf8Text(contact->GetResolvedName())},
            {"address", Utf8Text(contact->GetResolvedAddress())},
            {"entry_id", Hex(contact->GetResolvedEntry())}};
}

} // namespace kelvra_cli
