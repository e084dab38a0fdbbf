#include "book/AddressBook.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "Addresses.h"
#include "message/Mime.h"

#include <dirent.h>
#include <glib.h>
#include <gmime/gmime.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstring>
#include <optional>

namespace kelvra_provider {

namespace {

// Larger files are not address books a person keeps; they are not read.
constexpr std::size_t kMaxAddressBookFile = 64 * 1024 * 1024;

bool ContainsText(std::string_view text, std::string_view wanted)
{
    for (size_t i = 0; i + wanted.size() <= text.size(); ++i)
        if (SameText(text.substr(i, wanted.size()), wanted))
            return true;
    return false;
}

// Physical lines to logical ones: a line starting with a blank continues
// the previous one; in quoted-printable values a line ending in "=" does too.
// Linear in the text: what is known of the logical line being built (where
// its first ':' is, whether its head names quoted-printable) is kept and
// only the newly added part is looked at.
std::vector<std::string> Unfold(std::string_view text)
{
    static constexpr std::string_view kQuotedPrintable = "QUOTED-PRINTABLE";
    std::vector<std::string> lines;
    size_t colon = std::string::npos; // of lines.back()
    size_t scanned = 0;               // bytes of lines.back() already searched for ':'
    bool quotedPrintable = false;     // lines.back()'s head names it
    size_t start = 0;
    bool softBreak = false;
    std::string_view line;
    while (NextLine(text, start, line)) {
        if (!lines.empty() && softBreak) {
            lines.back().pop_back(); // the "=" of the soft break
            lines.back() += line;
        } else if (!lines.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            lines.back() += line.substr(1);
        } else {
            lines.emplace_back(line);
            colon = std::string::npos;
            scanned = 0;
            quotedPrintable = false;
        }
        const std::string &last = lines.back();
        if (colon == std::string::npos) {
            // The head grew: look at its new part, with room for a name
            // that straddles the fold.
            scanned = std::min(scanned, last.size());
            const size_t from = scanned > kQuotedPrintable.size() ? scanned - kQuotedPrintable.size() : 0;
            colon = last.find(':', scanned);
            const size_t headEnd = colon == std::string::npos ? last.size() : colon;
            quotedPrintable =
                quotedPrintable || ContainsText(std::string_view(last).substr(from, headEnd - from), kQuotedPrintable);
            scanned = last.size();
        }
        softBreak = quotedPrintable && !last.empty() && last.back() == '=';
    }
    return lines;
}

std::string DecodeQuotedPrintable(std::string_view value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '=' && i + 2 < value.size() && std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(value.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

// Splits at unescaped `separator` and resolves the backslash escapes.
std::vector<std::string> SplitEscaped(std::string_view value, char separator)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            const char n = value[++i];
            parts.back() += (n == 'n' || n == 'N') ? '\n' : n;
        } else if (c == separator) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

std::string Unescape(std::string_view value)
{
    std::string out;
    for (const std::string &part : SplitEscaped(value, '\0'))
        out += part;
    return out;
}

std::string ToUtf8(std::string text, const std::string &charset)
{
    if (charset.empty() || SameText(charset, "UTF-8"))
        return text;
    gsize written = 0;
    gchar *converted = g_convert(text.data(), static_cast<gssize>(text.size()), "UTF-8", charset.c_str(), nullptr,
                                 &written, nullptr);
    if (converted == nullptr)
        return text;
    std::string out(converted, written);
    g_free(converted);
    return out;
}

void Finish(Contact &c)
{
    if (c.formattedName.empty())
        c.formattedName = Trim(c.given + " " + c.family);
    if (c.formattedName.empty() && !c.emails.empty())
        c.formattedName = c.emails.front();
}


} // namespace

std::vector<Contact> ParseVCards(std::string_view text)
{
    std::vector<Contact> contacts;
    bool inCard = false;
    Contact current;
    for (const std::string &line : Unfold(text)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        // "group.NAME;PARAM=x;PARAM:value"
        std::vector<std::string> head = SplitEscaped(std::string_view(line).substr(0, colon), ';');
        std::string name = head[0].substr(head[0].find('.') == std::string::npos ? 0 : head[0].find('.') + 1);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
        std::string value = line.substr(colon + 1);
        if (name == "BEGIN" && SameText(Trim(value), "VCARD")) {
            if (inCard)
                Log("an address book's vCard " + OneLine(current.formattedName) + " has no END:VCARD; it is not used");
            inCard = true;
            current = Contact{};
            continue;
        }
        if (name == "END" && SameText(Trim(value), "VCARD")) {
            if (inCard) {
                Finish(current);
                contacts.push_back(current);
            }
            inCard = false;
            continue;
        }
        if (!inCard)
            continue;
        bool quotedPrintable = false;
        std::string charset;
        for (size_t i = 1; i < head.size(); ++i) {
            const std::string &param = head[i];
            if (SameText(param, "QUOTED-PRINTABLE") || SameText(param, "ENCODING=QUOTED-PRINTABLE"))
                quotedPrintable = true;
            else if (StartsWithText(param, "CHARSET="))
                charset = param.substr(8);
        }
        if (quotedPrintable)
            value = DecodeQuotedPrintable(value);
        value = ToUtf8(value, charset);
        if (name == "FN") {
            current.formattedName = Trim(Unescape(value));
        } else if (name == "N") {
            const std::vector<std::string> parts = SplitEscaped(value, ';');
            current.family = Trim(parts[0]);
            current.given = parts.size() > 1 ? Trim(parts[1]) : std::string();
        } else if (name == "NICKNAME") {
            for (const std::string &nick : SplitEscaped(value, ','))
                if (!Trim(nick).empty())
                    current.nicknames.push_back(Trim(nick));
        } else if (name == "EMAIL") {
            std::string address = Trim(Unescape(value));
            if (StartsWithText(address, "mailto:"))
                address = address.substr(7);
            // Only plain addresses: anything else could carry a line break
            // or a second address into a message or the SMTP envelope.
            if (std::optional<std::string> plain = MailAddress(address))
                current.emails.push_back(std::move(*plain));
        } else if (name == "UID") {
            current.uid = Trim(Unescape(value));
        }
    }
    if (inCard)
        Log("an address book's last vCard " + OneLine(current.formattedName) + " has no END:VCARD; it is not used");
    return contacts;
}

namespace {

// The files of a book: the file the path names, or a folder's .vcf files
// in name order (whatever readdir says). None when the path does not exist.
std::vector<std::string> BookFiles(const std::string &path)
{
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0)
        return {};
    if (!S_ISDIR(st.st_mode))
        return {path};
    std::vector<std::string> files;
    if (DIR *dir = opendir(path.c_str())) {
        while (const dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && SameText(name.substr(name.size() - 4), ".vcf"))
                files.push_back(path + "/" + name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A file that cannot be read, is too large, or is not a regular file (a
// FIFO would block for ever) counts as empty, as a missing one does. Each
// but the missing one is said in the log: a book that reads as empty by
// mistake is otherwise found only when a name does not resolve. A profile
// without contacts is nothing wrong (`profile check` names the book and
// its count).
AddressBook ReadBook(const std::vector<std::string> &files)
{
    std::vector<Contact> book;
    for (const std::string &file : files) {
        const std::optional<std::string> text = ReadRegularFile(file, kMaxAddressBookFile);
        if (!text) {
            const int error = errno;
            Log("the address book " + file + " cannot be read: " + std::strerror(error));
            continue;
        }
        std::vector<Contact> more = ParseVCards(*text);
        book.insert(book.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return AddressBook(std::move(book));
}

} // namespace

AddressBook LoadAddressBook(const std::string &path) { return ReadBook(BookFiles(path)); }

std::shared_ptr<const AddressBook> BookCache::Of(const std::string &path)
{
    const std::vector<std::string> files = BookFiles(path);
    std::vector<std::pair<std::string, FileStamp>> stamps;
    for (const std::string &file : files) {
        struct stat st {};
        stamps.emplace_back(file, stat(file.c_str(), &st) == 0 ? FileStamp::Of(st) : FileStamp{});
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    // A file that cannot be looked at now is read again each time.
    const bool known = std::all_of(stamps.begin(), stamps.end(), [](const auto &s) { return s.second.Known(); });
    if (!book_ || path != path_ || stamps != stamps_ || !known) {
        // Stamped before it is read: a change meanwhile is seen next time.
        book_ = std::make_shared<const AddressBook>(ReadBook(files));
        path_ = path;
        stamps_ = std::move(stamps);
    }
    return book_;
}

namespace {

std::string ContactEntryId(const Contact &c)
{
    return "kelvra-contact:" + (c.uid.empty() ? c.formattedName : c.uid);
}

// A mailbox as a mail reader takes it: "Ann Example <ann@example.org>",
// "\"Example, Ann\" <ann@example.org>", "<ann@example.org>"; that address
// with that name (else the address as its name). None unless the text is
// one mailbox whose address is a plain one.
std::optional<Resolved> NamedMailbox(const std::string &text)
{
    if (text.find('<') == std::string::npos)
        return std::nullopt;
    InitGMime();
    InternetAddressList *list = internet_address_list_parse(nullptr, text.c_str());
    std::optional<Resolved> named;
    if (list != nullptr && internet_address_list_length(list) == 1) {
        InternetAddress *one = internet_address_list_get_address(list, 0);
        const char *address = INTERNET_ADDRESS_IS_MAILBOX(one)
                                  ? internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(one))
                                  : nullptr;
        if (std::optional<std::string> plain = MailAddress(address != nullptr ? address : "")) {
            const char *name = internet_address_get_name(one);
            named = Resolved{name != nullptr && *name != '\0' ? OneLine(name) : *plain, *plain,
                             AddressEntryId(*plain)};
        }
    }
    if (list != nullptr)
        g_object_unref(list);
    return named;
}

Resolved FromContact(const Contact &c, std::string_view address)
{
    return {c.formattedName, std::string(address.empty() && !c.emails.empty() ? c.emails.front() : address),
            ContactEntryId(c)};
}

} // namespace

std::string AddressBook::AddressOf(std::string_view entryId) const
{
    if (entryId.rfind(kAddressEntryPrefix, 0) == 0) {
        std::optional<std::string> address = MailAddress(entryId.substr(kAddressEntryPrefix.size()));
        if (!address)
            Fail(MAPI_E_UNKNOWN_RECIPIENT);
        return std::move(*address);
    }
    const auto it = byEntry_.find(std::string(entryId));
    return it == byEntry_.end() ? std::string() : contacts_[it->second].emails.front();
}

AddressBook::AddressBook(std::vector<Contact> contacts) : contacts_(std::move(contacts))
{
    for (std::size_t i = 0; i < contacts_.size(); ++i) {
        const Contact &c = contacts_[i];
        for (std::size_t e = 0; e < c.emails.size(); ++e)
            byAddress_.try_emplace(Lower(c.emails[e]), i, e); // the case SameText ignores, folded
        if (!c.emails.empty())
            byEntry_.try_emplace(ContactEntryId(c), i);
        std::vector<std::string> keys = {c.formattedName, c.given, c.family, Trim(c.given + " " + c.family)};
        keys.insert(keys.end(), c.nicknames.begin(), c.nicknames.end());
        for (std::string &key : keys)
            key = Lower(key);
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        for (const std::string &key : keys)
            if (!key.empty())
                byName_[key].push_back(i);
    }
}

Resolved AddressBook::Resolve(std::string_view text, std::vector<Resolved> *matches) const
{
    const std::string given = Trim(std::string(text));
    const std::string wanted = Trim(std::string(StripAddressType(given)));
    if (wanted.empty())
        Refuse("an empty recipient name", MAPI_E_UNKNOWN_RECIPIENT);
    // An exact address names its entry, whatever else shares the name.
    const std::string key = Lower(wanted);
    if (const auto at = byAddress_.find(key); at != byAddress_.end()) {
        const Contact &c = contacts_[at->second.first];
        return FromContact(c, c.emails[at->second.second]);
    }
    if (std::optional<Resolved> named = NamedMailbox(wanted))
        return std::move(*named);
    static const std::vector<std::size_t> none;
    const auto hit = byName_.find(key);
    const std::vector<std::size_t> &found = hit == byName_.end() ? none : hit->second;
    if (found.size() == 1)
        return FromContact(contacts_[found.front()], {});
    if (found.size() > 1) {
        std::string names;
        for (const std::size_t i : found) {
            const Contact &c = contacts_[i];
            if (matches != nullptr)
                matches->push_back(FromContact(c, {}));
            names += (names.empty() ? "" : ", ") + c.formattedName +
                     (c.emails.empty() ? std::string() : " <" + c.emails.front() + ">");
        }
        // Built by appending: GCC 12 at -O3 reports a false -Wrestrict for
        // `"literal" + std::string&&` here.
        std::string why = "\"";
        why.append(OneLine(wanted)).append("\" matches several entries of the address book: ").append(OneLine(names));
        Refuse(why, MAPI_E_AMBIGUOUS_RECIPIENT);
    }
    if (const std::optional<std::string> address = MailAddress(wanted))
        return {*address, *address, AddressEntryId(*address)};
    std::string why = "\"";
    why.append(OneLine(wanted)).append("\" is neither in the address book (").append(std::to_string(contacts_.size()));
    Refuse(why.append(" entries) nor a plain address"), MAPI_E_UNKNOWN_RECIPIENT);
}

} // namespace kelvra_provider
