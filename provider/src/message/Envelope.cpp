#include "message/Envelope.h"

#include "Text.h"
#include "message/HeaderText.h"
#include "message/Mime.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvra_provider {

namespace {

enum Field { kSubject, kFrom, kTo, kCc, kBcc, kClass, kConversation, kReferences, kInReplyTo, kMessageId, kReceipt,
             kUnsent, kFieldCount, kOther = kFieldCount };

Field FieldOf(std::string_view name)
{
    // By length first: most header names of a message are none of these.
    switch (name.size()) {
    case 2: return SameText(name, "To") ? kTo : SameText(name, "Cc") ? kCc : kOther;
    case 3: return SameText(name, "Bcc") ? kBcc : kOther;
    case 4: return SameText(name, "From") ? kFrom : kOther;
    case 7: return SameText(name, "Subject") ? kSubject : kOther;
    case 8: return SameText(name, "X-Unsent") ? kUnsent : kOther;
    case 10: return SameText(name, "References") ? kReferences : SameText(name, "Message-ID") ? kMessageId : kOther;
    case 11: return SameText(name, "In-Reply-To") ? kInReplyTo : kOther;
    case 15: return SameText(name, "X-Message-Class") ? kClass : kOther;
    case 17: return SameText(name, "X-Conversation-ID") ? kConversation : kOther;
    case 27: return SameText(name, "Disposition-Notification-To") ? kReceipt : kOther;
    default: return kOther;
    }
}

// One pass over a header block: the raw value (continuation lines and all)
// of each field a record shows, the first of each name, except that every
// From, To, Cc and Bcc header is kept, and the subject is the last one's,
// as GMime's message takes it.
struct Scan {
    std::string_view value[kFieldCount];
    bool present[kFieldCount] = {};
    std::vector<std::pair<Field, std::string_view>> addresses;
};

Scan ScanHeader(std::string_view header)
{
    Scan scan;
    size_t start = 0;
    std::string_view line;
    for (size_t lineStart = start; NextLine(header, start, line); lineStart = start) {
        if (line.empty())
            break;
        if (ContinuesField(line))
            continue; // a continuation of a header that is not wanted (or no header at all)
        const size_t colon = line.find(':');
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.remove_suffix(1);
        const Field field = FieldOf(name);
        if (field == kOther)
            continue;
        // The value runs over the continuation lines that follow.
        size_t valueEnd = lineStart + line.size();
        for (size_t at = start; at < header.size();) {
            size_t next = header.find('\n', at);
            if (next == std::string_view::npos)
                next = header.size();
            std::string_view following = header.substr(at, next - at);
            if (!following.empty() && following.back() == '\r')
                following.remove_suffix(1);
            if (!ContinuesField(following))
                break;
            valueEnd = at + following.size();
            start = at = next + 1;
        }
        const std::string_view value = header.substr(lineStart + colon + 1, valueEnd - (lineStart + colon + 1));
        if (field == kFrom || field == kTo || field == kCc || field == kBcc)
            scan.addresses.emplace_back(field, value);
        if (!scan.present[field] || field == kSubject) {
            scan.value[field] = value;
            scan.present[field] = true;
        }
    }
    return scan;
}

// Decoded, without leading blanks, as HeaderValue gives a header.
std::string Value(const Scan &scan, Field field)
{
    if (!scan.present[field])
        return {};
    std::string value = DecodeHeaderText(scan.value[field]);
    const size_t first = value.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : value.substr(first);
}

} // namespace

namespace {

// A mailbox from a header GMime finds none in: the word with an "@" as the
// address (without angle brackets or quotes), the rest as the name.
std::optional<Mailbox> LooseMailbox(std::string_view raw)
{
    const std::string text = DecodeHeaderText(raw);
    size_t at = text.find('@');
    if (at == std::string::npos)
        return std::nullopt;
    const auto stop = [](char c) {
        return c == ' ' || c == '\t' || c == '<' || c == '>' || c == '"' || c == '\'' || c == '(' || c == ')' ||
               c == ',' || c == ';' || static_cast<unsigned char>(c) < 0x20;
    };
    size_t begin = at, end = at + 1;
    while (begin > 0 && !stop(text[begin - 1]))
        --begin;
    while (end < text.size() && !stop(text[end]))
        ++end;
    if (begin == at || end == at + 1)
        return std::nullopt;
    Mailbox m;
    m.address = text.substr(begin, end - begin);
    std::string name = text.substr(0, begin) + " " + text.substr(end);
    for (char &c : name)
        if (c == '<' || c == '>' || c == '"' || static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    const size_t first = name.find_first_not_of(' ');
    if (first != std::string::npos)
        m.name = name.substr(first, name.find_last_not_of(' ') - first + 1);
    return m;
}

} // namespace

void AddMailboxes(std::vector<Mailbox> &out, std::string_view raw, bool firstOnly)
{
    const size_t before = out.size();
    InternetAddressList *list = internet_address_list_parse(ParserOptions(), CollapseEncodedWords(raw).c_str());
    if (list != nullptr) {
        auto add = [&](InternetAddress *ia) {
            if (INTERNET_ADDRESS_IS_MAILBOX(ia) && !(firstOnly && out.size() > before))
                out.push_back({Safe(internet_address_get_name(ia)),
                               Safe(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia)))});
        };
        const int n = internet_address_list_length(list);
        for (int k = 0; k < n; ++k) {
            InternetAddress *ia = internet_address_list_get_address(list, k);
            if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                InternetAddressList *members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia));
                for (int m = 0; m < internet_address_list_length(members); ++m)
                    add(internet_address_list_get_address(members, m));
            } else {
                add(ia);
            }
        }
        g_object_unref(list);
    }
    // A header with an address never leaves its message without it.
    if (out.size() == before)
        if (std::optional<Mailbox> loose = LooseMailbox(raw))
            out.push_back(std::move(*loose));
}

namespace {

// One read into `buffer`, as much as one read gives; -1 on failure.
ssize_t ReadSome(int fd, char *buffer, size_t size)
{
    ssize_t n;
    while ((n = read(fd, buffer, size)) < 0) {
        if (errno == EAGAIN) // a file system that honours O_NONBLOCK
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        else if (errno != EINTR)
            break;
    }
    return n;
}

} // namespace

bool IsFieldLine(std::string_view line)
{
    std::size_t i = 0;
    while (i < line.size() && line[i] > ' ' && line[i] < 0x7F && line[i] != ':')
        ++i;
    if (i == 0)
        return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    return i < line.size() && line[i] == ':';
}

std::optional<HeaderBounds> FindHeaderBounds(std::string_view text, bool complete)
{
    HeaderBounds bounds;
    // A line of `text` from `at`: its content without the line break, and
    // where the next one starts; nullopt when it may go on.
    struct Line {
        std::string_view text;
        size_t next;
    };
    const auto lineAt = [&](size_t at) -> std::optional<Line> {
        const size_t lf = text.find('\n', at);
        if (lf == std::string_view::npos && !complete)
            return std::nullopt;
        const size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
        std::string_view line = text.substr(at, lf == std::string_view::npos ? next - at : lf - at);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return Line{line, next};
    };
    // A byte-order mark that an editor put before the first line is no
    // part of it: the header block starts after it, and the mark stays in
    // the file for every save.
    size_t start = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    bounds.begin = start;
    const size_t top = start;
    bool first = true;
    while (start < text.size()) {
        const std::optional<Line> current = lineAt(start);
        if (!current)
            return std::nullopt;
        const std::string_view line = current->text;
        const size_t next = current->next;
        if (start == top && line.substr(0, 5) == "From ") {
            bounds.begin = next; // an mbox separator, not a header
        } else if (line.empty()) {
            bounds.end = start;
            bounds.body = next;
            return bounds;
        } else if (line[0] == ' ' || line[0] == '\t' ? first : !IsFieldLine(line)) {
            // Neither a field nor a continuation: the body starts here
            // without a blank line, unless a field follows it right away
            // and it is one run without a blank (a long encoded value, a
            // signature's base64), not the first line: then a sender forgot
            // to fold it, and it continues the field before it. A line of
            // prose before a field-like line starts the body.
            const bool unfolded = !first && line.find_first_of(" \t") == std::string_view::npos;
            std::optional<Line> following;
            if (unfolded && next >= text.size() && !complete)
                return std::nullopt; // what follows is not read yet
            if (unfolded && next < text.size()) {
                following = lineAt(next);
                if (!following)
                    return std::nullopt;
            }
            if (!following || !IsFieldLine(following->text)) {
                bounds.end = bounds.body = start;
                return bounds;
            }
            bounds.unfolded.push_back(start);
        } else {
            first = false;
        }
        start = next;
    }
    if (!complete)
        return std::nullopt;
    bounds.end = bounds.body = text.size();
    bounds.begin = std::min(bounds.begin, text.size());
    return bounds;
}

bool ContinuesField(std::string_view line)
{
    return !line.empty() && (line[0] == ' ' || line[0] == '\t' || !IsFieldLine(line));
}

std::string_view HeaderBlockOf(std::string_view text)
{
    const std::optional<HeaderBounds> bounds = FindHeaderBounds(text, true);
    return text.substr(bounds->begin, bounds->end - bounds->begin);
}

std::optional<std::string> ReadHeaderStart(int fd, HeaderBounds *bounds)
{
    // Most header blocks fit in the first read, made into the stack.
    char first[8192];
    const ssize_t got = ReadSome(fd, first, sizeof first);
    if (got < 0)
        return std::nullopt;
    std::string_view start(first, static_cast<size_t>(got));
    if (std::optional<HeaderBounds> found = FindHeaderBounds(start, got == 0)) {
        *bounds = *found;
        return std::string(first, found->body);
    }
    std::string text(start);
    while (text.size() < kHeaderLimit) {
        const size_t have = text.size();
        text.resize(have * 2);
        const ssize_t n = ReadSome(fd, text.data() + have, text.size() - have);
        if (n < 0)
            return std::nullopt;
        text.resize(have + static_cast<size_t>(n));
        if (std::optional<HeaderBounds> found = FindHeaderBounds(text, n == 0)) {
            if (found->body > kHeaderLimit)
                return std::nullopt;
            *bounds = *found;
            text.resize(found->body);
            return text;
        }
    }
    return std::nullopt;
}

std::optional<std::string> ReadHeaderBlock(int fd)
{
    HeaderBounds bounds;
    std::optional<std::string> start = ReadHeaderStart(fd, &bounds);
    if (!start)
        return std::nullopt;
    return start->substr(bounds.begin, bounds.end - bounds.begin);
}

std::string MessageClassOfValue(std::string_view raw)
{
    // Unfolded with one blank for each line break, and trimmed.
    std::string value;
    size_t start = 0;
    std::string_view line;
    while (NextLine(raw, start, line)) {
        const size_t text = line.find_first_not_of(" \t");
        if (text != std::string_view::npos) {
            if (!value.empty())
                value += ' ';
            const size_t last = line.find_last_not_of(" \t");
            value.append(line.substr(text, last - text + 1));
        }
    }
    // A class written with characters outside ASCII is an encoded word.
    if (value.find("=?") != std::string::npos)
        value = DecodeHeaderText(value);
    return value;
}

namespace {

std::string ClassOf(const Scan &scan)
{
    return scan.present[kClass] ? MessageClassOfValue(scan.value[kClass]) : std::string();
}

} // namespace

std::string MessageClassOfHeader(std::string_view header)
{
    return ClassOf(ScanHeader(header));
}

Envelope EnvelopeOfHeader(std::string_view header)
{
    InitGMime();
    const Scan scan = ScanHeader(header);
    Envelope envelope;
    envelope.fallback = FallbackCharset();
    if (scan.present[kSubject])
        envelope.subject = DecodeHeaderText(scan.value[kSubject]);
    std::vector<Mailbox> from, to, cc, bcc;
    for (const auto &[field, raw] : scan.addresses) {
        switch (field) {
        case kFrom:
            if (from.empty())
                AddMailboxes(from, raw, true);
            break;
        case kTo: AddMailboxes(to, raw, false); break;
        case kCc: AddMailboxes(cc, raw, false); break;
        default: AddMailboxes(bcc, raw, false); break;
        }
    }
    if (!from.empty())
        envelope.from = std::move(from.front());
    envelope.recipients.reserve(to.size() + cc.size() + bcc.size());
    for (Mailbox &m : to)
        envelope.recipients.push_back({std::move(m), MAPI_TO});
    for (Mailbox &m : cc)
        envelope.recipients.push_back({std::move(m), MAPI_CC});
    for (Mailbox &m : bcc)
        envelope.recipients.push_back({std::move(m), MAPI_BCC});

    envelope.conversation =
        Conversation(Value(scan, kConversation), Value(scan, kReferences), Value(scan, kInReplyTo), [&] {
            if (!scan.present[kMessageId])
                return std::string();
            const std::string value = DecodeHeaderText(scan.value[kMessageId]);
            char *id = g_mime_utils_decode_message_id(value.c_str());
            std::string decoded = Safe(id);
            g_free(id);
            return decoded;
        });
    envelope.messageClass = ClassOf(scan);
    envelope.receiptRequested = !Value(scan, kReceipt).empty();
    envelope.unsent = Value(scan, kUnsent) == "1";
    return envelope;
}

} // namespace kelvra_provider
