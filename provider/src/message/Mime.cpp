#include "message/Mime.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "message/Envelope.h"
#include "message/HeaderText.h"
#include "message/HtmlText.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace kelvra_provider {

void InitGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

namespace {

// A header's raw value as it stands in the message (GMime's value of a
// content header is already decoded by its own rules); null when missing.
const char *RawHeader(GMimeObject *object, const char *name)
{
    GMimeHeaderList *headers = g_mime_object_get_header_list(object);
    GMimeHeader *header = g_mime_header_list_get_header(headers, name);
    return header != nullptr ? g_mime_header_get_raw_value(header) : nullptr;
}

// A part whose Content-Type names no type and subtype that GMime can read
// ("text", "???") is text/plain, as RFC 2045 has it; GMime takes it for
// application/octet-stream.
bool DefaultsToPlainText(GMimeObject *object)
{
    GMimeContentType *type = g_mime_object_get_content_type(object);
    if (!g_mime_content_type_is_type(type, "application", "octet-stream"))
        return false;
    const char *raw = RawHeader(object, "Content-Type");
    if (raw == nullptr)
        return false;
    std::string_view value(raw);
    value = value.substr(0, value.find(';'));
    const size_t first = value.find_first_not_of(" \t\r\n");
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    value = value.substr(0, value.find_last_not_of(" \t\r\n") + 1);
    return !SameText(value, "application/octet-stream");
}

} // namespace

bool IsPlainText(GMimeObject *object)
{
    return g_mime_content_type_is_type(g_mime_object_get_content_type(object), "text", "plain") ||
           DefaultsToPlainText(object);
}

namespace {

// A part's content with its transfer encoding undone.
std::string DecodedContent(GMimePart *part)
{
    std::string bytes;
    if (GMimeDataWrapper *content = g_mime_part_get_content(part)) {
        Ref<GMimeStream> sink(g_mime_stream_mem_new());
        g_mime_data_wrapper_write_to_stream(content, sink.get());
        GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
        bytes.assign(reinterpret_cast<const char *>(array->data), array->len);
    }
    return bytes;
}

bool IsType(GMimeObject *object, const char *type, const char *subtype)
{
    return g_mime_content_type_is_type(g_mime_object_get_content_type(object), type, subtype);
}

// The HTML a reader shows of a message without a text part: down from the
// top part, the root of a multipart/related (its "start", else its first
// part), the richest HTML of a multipart/alternative (its last part that is
// HTML or holds it), the first part of any other multipart; null when that
// leads to no inline text/html part. A loop: nesting costs no stack.
GMimePart *HtmlBody(GMimeMessage *message)
{
    GMimeObject *object = g_mime_message_get_mime_part(message);
    while (object != nullptr && GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multipart = GMIME_MULTIPART(object);
        const int count = g_mime_multipart_get_count(multipart);
        GMimeObject *next = count > 0 ? g_mime_multipart_get_part(multipart, 0) : nullptr;
        if (IsType(object, "multipart", "alternative")) {
            next = nullptr;
            for (int i = count - 1; i >= 0 && next == nullptr; --i) {
                GMimeObject *part = g_mime_multipart_get_part(multipart, i);
                if (GMIME_IS_MULTIPART(part) || IsType(part, "text", "html"))
                    next = part;
            }
        } else if (IsType(object, "multipart", "related")) {
            std::string start = Safe(g_mime_object_get_content_type_parameter(object, "start"));
            if (start.size() > 2 && start.front() == '<' && start.back() == '>')
                start = start.substr(1, start.size() - 2);
            for (int i = 0; i < count && !start.empty(); ++i) {
                GMimeObject *part = g_mime_multipart_get_part(multipart, i);
                if (start == Safe(g_mime_object_get_content_id(part)))
                    next = part;
            }
        }
        object = next;
    }
    if (object == nullptr || !GMIME_IS_PART(object) || !IsType(object, "text", "html") ||
        g_mime_part_is_attachment(GMIME_PART(object)))
        return nullptr;
    return GMIME_PART(object);
}

} // namespace

MessageParts ShownParts(GMimeMessage *message)
{
    MessageParts parts;
    // Depth first, in the order the parts stand; iterative, so that however
    // deep a hostile message nests its multiparts the stack stays small.
    std::vector<std::pair<GMimeObject *, GMimeObject *>> pending; // part, parent
    if (GMimeObject *top = g_mime_message_get_mime_part(message))
        pending.emplace_back(top, nullptr);
    while (!pending.empty()) {
        const auto [object, parent] = pending.back();
        pending.pop_back();
        if (GMIME_IS_MULTIPART(object)) {
            GMimeMultipart *multipart = GMIME_MULTIPART(object);
            for (int i = g_mime_multipart_get_count(multipart) - 1; i >= 0; --i)
                pending.emplace_back(g_mime_multipart_get_part(multipart, i), object);
            continue;
        }
        if (GMIME_IS_MESSAGE_PART(object)) {
            parts.files.push_back({object, parent});
            continue;
        }
        if (!GMIME_IS_PART(object))
            continue;
        if (parts.body == nullptr && GMIME_IS_TEXT_PART(object) && !g_mime_part_is_attachment(GMIME_PART(object)) &&
            IsPlainText(object)) {
            parts.body = GMIME_TEXT_PART(object);
            parts.bodyParent = parent;
            continue;
        }
        parts.files.push_back({object, parent});
    }
    if (parts.body == nullptr)
        parts.html = HtmlBody(message);
    return parts;
}

std::string IsoDate(GDateTime *date)
{
    if (date == nullptr)
        return {};
    // GLib's own ISO form shortens a whole-hour offset to "+01".
    gchar *text = g_date_time_format(date, g_date_time_get_utc_offset(date) == 0 ? "%Y-%m-%dT%H:%M:%SZ"
                                                                                  : "%Y-%m-%dT%H:%M:%S%:z");
    std::string out = text != nullptr ? text : "";
    g_free(text);
    return out;
}

std::string BodyText(GMimeTextPart *body)
{
    if (body == nullptr)
        return {};
    // The content with its transfer encoding undone, then read in its
    // charset by the one rule for texts (no character vanishes).
    const std::string bytes = DecodedContent(GMIME_PART(body));
    std::string out = DecodeBodyText(bytes, g_mime_object_get_content_type_parameter(GMIME_OBJECT(body), "charset"));
    // The line break that ends the last line belongs to the MIME framing,
    // not to the text the sender wrote.
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return out;
}

std::string NoteText(const MessageParts &parts)
{
    if (parts.body != nullptr || parts.html == nullptr)
        return BodyText(parts.body);
    return HtmlText(DecodedContent(parts.html), g_mime_object_get_content_type_parameter(GMIME_OBJECT(parts.html), "charset"));
}

namespace {

// A file name parameter of a part's header, its encoded words decoded by
// the one rule for header texts; empty when it has none.
std::string NameParameter(GMimeObject *part, const char *header, const char *parameter)
{
    const char *raw = RawHeader(part, header);
    if (raw == nullptr)
        return {};
    const std::string value = CollapseEncodedWords(raw);
    std::string name;
    if (SameText(header, "Content-Type")) {
        Ref<GMimeContentType> type(g_mime_content_type_parse(ParserOptions(), value.c_str()));
        name = Safe(g_mime_content_type_get_parameter(type.get(), parameter));
    } else {
        Ref<GMimeContentDisposition> disposition(g_mime_content_disposition_parse(ParserOptions(), value.c_str()));
        name = Safe(g_mime_content_disposition_get_parameter(disposition.get(), parameter));
    }
    return name;
}

} // namespace

std::string ShownName(GMimeObject *part)
{
    std::string own = NameParameter(part, "Content-Disposition", "filename");
    if (own.empty())
        own = NameParameter(part, "Content-Type", "name");
    // A name is a file's name: of a path some program wrote
    // ("/home/ann/photo.jpg", "C:\Users\ann\report.pdf"), its last part.
    own.erase(0, own.find_last_of("/\\") == std::string::npos ? 0 : own.find_last_of("/\\") + 1);
    if (!own.empty())
        return own;
    GMimeContentType *type = g_mime_object_get_content_type(part);
    static const struct {
        const char *type, *subtype, *name;
    } kNames[] = {
        {"text", "html", "message.html"}, {"text", "calendar", "invite.ics"}, {"text", "plain", "message.txt"},
        {"text", "enriched", "message.txt"}, {"message", "*", "message.eml"}, {"text", "*", "text.txt"},
    };
    if (DefaultsToPlainText(part))
        return "message.txt";
    for (const auto &k : kNames)
        if (g_mime_content_type_is_type(type, k.type, k.subtype))
            return k.name;
    return "attachment";
}

bool WriteShown(GMimeObject *part, GMimeStream *stream)
{
    if (GMIME_IS_MESSAGE_PART(part)) {
        GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
        if (inner == nullptr)
            return true;
        GMimeFormatOptions *options = g_mime_format_options_clone(nullptr);
        g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS); // as a .eml file is
        const bool written = g_mime_object_write_to_stream(GMIME_OBJECT(inner), options, stream) >= 0;
        g_mime_format_options_free(options);
        return written;
    }
    GMimeDataWrapper *content = g_mime_part_get_content(GMIME_PART(part));
    return content == nullptr || g_mime_data_wrapper_write_to_stream(content, stream) >= 0;
}

std::vector<Mailbox> AllMailboxes(GMimeMessage *message, const char *header)
{
    std::vector<Mailbox> out;
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    const int count = g_mime_header_list_get_count(headers);
    for (int i = 0; i < count; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(headers, i);
        const char *raw = g_mime_header_get_raw_value(h);
        if (raw != nullptr && g_ascii_strcasecmp(g_mime_header_get_name(h), header) == 0)
            AddMailboxes(out, raw, false);
    }
    return out;
}

void SetMailboxes(GMimeMessage *message, GMimeAddressType type, const std::vector<Mailbox> &list)
{
    Ref<InternetAddressList> fresh(internet_address_list_new());
    for (const Mailbox &m : list) {
        Ref<InternetAddress> address(internet_address_mailbox_new(m.name.empty() ? nullptr : OneLine(m.name).c_str(),
                                                                  OneLine(m.address).c_str()));
        internet_address_list_add(fresh.get(), address.get());
    }
    InternetAddressList *addresses = g_mime_message_get_addresses(message, type);
    internet_address_list_clear(addresses);
    if (!list.empty())
        internet_address_list_append(addresses, fresh.get());
}

std::string SubjectOf(GMimeMessage *message)
{
    // The last Subject header, as GMime's message takes it.
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    const char *raw = nullptr;
    for (int i = 0, count = g_mime_header_list_get_count(headers); i < count; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(headers, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(h), "Subject") == 0)
            raw = g_mime_header_get_raw_value(h);
    }
    return raw != nullptr ? DecodeHeaderText(raw) : std::string();
}

std::string HeaderValue(GMimeMessage *message, const char *name)
{
    const char *raw = g_mime_object_get_header(GMIME_OBJECT(message), name);
    if (raw == nullptr)
        return {};
    std::string value = raw;
    const size_t first = value.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : value.substr(first);
}

namespace {

// The first message identifier in a References/In-Reply-To value.
std::string FirstId(const std::string &value)
{
    const size_t open = value.find('<');
    const size_t close = value.find('>', open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return value.substr(open + 1, close - open - 1);
}

} // namespace

std::string MessageClassOf(GMimeMessage *message)
{
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    GMimeHeader *header = g_mime_header_list_get_header(headers, "X-Message-Class");
    const char *raw = header != nullptr ? g_mime_header_get_raw_value(header) : nullptr;
    return raw != nullptr ? MessageClassOfValue(raw) : std::string();
}

std::string Conversation(const std::string &conversationHeader, const std::string &references,
                         const std::string &inReplyTo, const std::function<std::string()> &messageId)
{
    std::string conversation = conversationHeader;
    if (conversation.empty())
        conversation = FirstId(references);
    if (conversation.empty())
        conversation = FirstId(inReplyTo);
    if (conversation.empty())
        conversation = messageId();
    return conversation;
}

std::string ConversationOf(GMimeMessage *message)
{
    return Conversation(HeaderValue(message, "X-Conversation-ID"), HeaderValue(message, "References"),
                        HeaderValue(message, "In-Reply-To"),
                        [&] { return Safe(g_mime_message_get_message_id(message)); });
}

bool ReceiptRequested(GMimeMessage *message)
{
    return !HeaderValue(message, "Disposition-Notification-To").empty();
}

bool Unsent(GMimeMessage *message)
{
    return HeaderValue(message, "X-Unsent") == "1";
}

GMimeFormatOptions *FormatLike(const std::string &sample)
{
    GMimeFormatOptions *options = g_mime_format_options_clone(nullptr);
    const size_t lf = sample.find('\n');
    const bool unix = lf != std::string::npos && (lf == 0 || sample[lf - 1] != '\r');
    g_mime_format_options_set_newline_format(options, unix ? GMIME_NEWLINE_FORMAT_UNIX : GMIME_NEWLINE_FORMAT_DOS);
    return options;
}

} // namespace kelvra_provider
