#include "Mime.h"

#include "Common.h"
#include "Envelope.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <utility>

namespace kmp {

void InitGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

GMimeMessage *ParseMessageFile(const std::string &path)
{
    InitGMime();
    const int fd = OpenRegular(path);
    if (fd < 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    // The parser keeps large parts in the file and reads them when they
    // are written out, so a big attachment is never held in memory.
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd)); // owns fd
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GMimeMessage *message = g_mime_parser_construct_message(parser.get(), nullptr);
    if (message == nullptr) // not even a header block: an empty message
        message = g_mime_message_new(TRUE);
    return message;
}

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
        GMimeContentType *type = g_mime_object_get_content_type(object);
        if (parts.body == nullptr && GMIME_IS_TEXT_PART(object) && !g_mime_part_is_attachment(GMIME_PART(object)) &&
            g_mime_content_type_is_type(type, "text", "plain")) {
            parts.body = GMIME_TEXT_PART(object);
            parts.bodyParent = parent;
            continue;
        }
        parts.files.push_back({object, parent});
    }
    return parts;
}

std::string BodyText(GMimeTextPart *body)
{
    if (body == nullptr)
        return {};
    char *text = g_mime_text_part_get_text(body);
    std::string out = Safe(text);
    g_free(text);
    // The line break that ends the last line belongs to the MIME framing,
    // not to the text the sender wrote.
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return out;
}

std::string ShownName(GMimeObject *part)
{
    const char *own = nullptr;
    if (GMIME_IS_PART(part))
        own = g_mime_part_get_filename(GMIME_PART(part));
    else
        own = g_mime_object_get_content_disposition_parameter(part, "filename");
    if (own != nullptr && *own != '\0')
        return own;
    GMimeContentType *type = g_mime_object_get_content_type(part);
    static const struct {
        const char *type, *subtype, *name;
    } kNames[] = {
        {"text", "html", "message.html"}, {"text", "calendar", "invite.ics"}, {"text", "plain", "message.txt"},
        {"text", "enriched", "message.txt"}, {"message", "*", "message.eml"}, {"text", "*", "text.txt"},
    };
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

namespace {

void AddMailbox(std::vector<Mailbox> &out, InternetAddress *ia)
{
    if (INTERNET_ADDRESS_IS_MAILBOX(ia))
        out.push_back({Safe(internet_address_get_name(ia)),
                       Safe(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia)))});
}

} // namespace

std::vector<Mailbox> AllMailboxes(GMimeMessage *message, const char *header)
{
    std::vector<Mailbox> out;
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    const int count = g_mime_header_list_get_count(headers);
    for (int i = 0; i < count; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(headers, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(h), header) != 0)
            continue;
        const char *raw = g_mime_header_get_raw_value(h);
        InternetAddressList *list = raw != nullptr ? internet_address_list_parse(nullptr, raw) : nullptr;
        if (list == nullptr)
            continue;
        const int n = internet_address_list_length(list);
        for (int k = 0; k < n; ++k) {
            InternetAddress *ia = internet_address_list_get_address(list, k);
            if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                InternetAddressList *members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia));
                for (int m = 0; m < internet_address_list_length(members); ++m)
                    AddMailbox(out, internet_address_list_get_address(members, m));
            } else {
                AddMailbox(out, ia);
            }
        }
        g_object_unref(list);
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

} // namespace kmp
