#include "message/Compose.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "message/Mime.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>


namespace kelvra_provider {

namespace {

// An attachment's file, open; only a regular file: a FIFO would block the
// send for ever.
int OpenAttachment(const Attachment &a)
{
    const int fd = OpenRegular(a.path);
    if (fd < 0) {
        const int error = errno;
        Refuse("the attachment " + a.path +
                   (error == EINVAL ? " is not a regular file" : std::string(": ") + std::strerror(error)),
               error == ENOENT || error == ENOTDIR ? MAPI_E_ATTACHMENT_NOT_FOUND : MAPI_E_ATTACHMENT_OPEN_FAILURE);
    }
    return fd;
}

struct GFree {
    void operator()(gchar *text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFree>;

// Reads up to `size` bytes at `offset` (fewer only at the file's end).
size_t ReadAt(int fd, char *into, size_t size, off_t offset)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, into + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Fail(MAPI_E_ATTACHMENT_OPEN_FAILURE);
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

// Whether the whole file is UTF-8, read a piece at a time; a character cut
// at a piece's end is taken up with the next piece.
bool IsUtf8File(int fd)
{
    std::string piece(64 * 1024, '\0');
    size_t carried = 0; // the start of a character cut at the last piece's end
    for (off_t offset = 0;;) {
        const size_t got = ReadAt(fd, piece.data() + carried, piece.size() - carried, offset);
        offset += static_cast<off_t>(got);
        const size_t have = carried + got;
        const bool atEnd = have < piece.size();
        const gchar *end = nullptr;
        if (g_utf8_validate_len(piece.data(), have, &end)) {
            if (atEnd)
                return true;
            carried = 0;
            continue;
        }
        carried = have - static_cast<size_t>(end - piece.data());
        if (atEnd || carried > 3)
            return false; // a bad byte, not a character cut short
        std::memmove(piece.data(), end, carried);
    }
}

// An attachment's type, as the desktop's shared MIME database knows the
// file by its name and its first bytes (through GIO); a text's charset is
// UTF-8 when all of it is, else the session's fallback. Only a type of a
// single part will do: a file that looks like a message or a multipart
// goes as bytes (its content would have to be parsed and rebuilt).
// application/octet-stream when nothing is known.
std::pair<std::string, std::string> GuessType(int fd, const std::string &name, const std::string &fallback)
{
    char head[8192];
    const size_t got = ReadAt(fd, head, sizeof head, 0);
    gboolean uncertain = FALSE;
    // An empty file's content tells nothing (GIO would call it
    // application/x-zerosize): its name alone decides.
    const GText guessed(g_content_type_guess(name.c_str(), got > 0 ? reinterpret_cast<const guchar *>(head) : nullptr,
                                             got, &uncertain));
    const GText mime(guessed && !g_content_type_is_unknown(guessed.get()) ? g_content_type_get_mime_type(guessed.get())
                                                                          : nullptr);
    const std::string type = mime ? mime.get() : "";
    const size_t slash = type.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == type.size() || StartsWithText(type, "message/") ||
        StartsWithText(type, "multipart/"))
        return {"application/octet-stream", ""};
    return {type, StartsWithText(type, "text/") ? (IsUtf8File(fd) ? "utf-8" : fallback) : ""};
}

GMimeObject *AttachmentPart(const Attachment &a, const std::string &fallbackCharset)
{
    const int fd = OpenAttachment(a);
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd)); // owns fd
    const std::string name = OneLine(a.name.empty() ? NarrowPathName(a.path) : a.name);
    const auto [type, charset] = GuessType(fd, name, fallbackCharset);
    Ref<GMimeDataWrapper> content(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    GMimePart *part = g_mime_part_new_with_type(type.substr(0, type.find('/')).c_str(),
                                                type.substr(type.find('/') + 1).c_str());
    if (!charset.empty())
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", charset.c_str());
    // Base64 whatever the type: the file's bytes arrive exactly as they are.
    g_mime_part_set_content(part, content.get());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_part_set_filename(part, name.c_str());
    g_mime_object_set_disposition(GMIME_OBJECT(part), GMIME_DISPOSITION_ATTACHMENT);
    return GMIME_OBJECT(part);
}

// Bytes of an object, lines ending in CRLF.
std::string Serialize(GMimeObject *object)
{
    GMimeFormatOptions *options = g_mime_format_options_clone(nullptr);
    g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
    Ref<GMimeStream> memory(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(object, options, memory.get());
    g_mime_format_options_free(options);
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
    return std::string(reinterpret_cast<const char *>(bytes->data), bytes->len);
}

} // namespace

GMimeObject *NewAttachmentPart(const Attachment &attachment)
{
    return AttachmentPart(attachment, FallbackCharset());
}

void (*g_composeHook)() = nullptr;

void CheckAttachments(const Composition &m)
{
    for (const Attachment &a : m.attachments)
        close(OpenAttachment(a));
}

std::string Compose(const Composition &m)
{
    InitGMime();
    Ref<GMimeMessage> message(g_mime_message_new(TRUE));
    // No sender: no From field, for the mail transfer agent to supply.
    if (!m.from.address.empty())
        SetMailboxes(message.get(), GMIME_ADDRESS_TYPE_FROM, {m.from});
    SetMailboxes(message.get(), GMIME_ADDRESS_TYPE_TO, m.to);
    SetMailboxes(message.get(), GMIME_ADDRESS_TYPE_CC, m.cc);
    if (m.bccInHeader)
        SetMailboxes(message.get(), GMIME_ADDRESS_TYPE_BCC, m.bcc);
    // No empty address fields: GMime writes the ones it keeps for a new
    // message even when they hold no one.
    for (const auto &[field, empty] : {std::pair{"From", m.from.address.empty()}, {"To", m.to.empty()}, {"Cc", m.cc.empty()},
                                       {"Bcc", !m.bccInHeader || m.bcc.empty()}, {"Reply-To", true}})
        if (empty)
            g_mime_object_remove_header(GMIME_OBJECT(message.get()), field);
    g_mime_message_set_subject(message.get(), OneLine(m.subject).c_str(), "utf-8");
    GMimeObject *object = GMIME_OBJECT(message.get());
    if (m.date.empty()) {
        GDateTime *now = g_date_time_new_now_local();
        g_mime_message_set_date(message.get(), now);
        g_date_time_unref(now);
    } else {
        g_mime_object_set_header(object, "Date", OneLine(m.date).c_str(), nullptr);
    }
    if (m.messageId.empty()) {
        const std::string domain = m.from.address.substr(m.from.address.rfind('@') + 1);
        char *id = g_mime_utils_generate_message_id(domain.empty() ? "localhost" : domain.c_str());
        g_mime_message_set_message_id(message.get(), id);
        g_free(id);
    } else {
        g_mime_message_set_message_id(message.get(), OneLine(m.messageId).c_str());
    }
    if (m.receiptRequested && !m.from.address.empty())
        g_mime_object_set_header(object, "Disposition-Notification-To",
                                 OneLine("<" + m.from.address + ">").c_str(), nullptr);
    if (!IsInterpersonal(m.messageType))
        g_mime_object_set_header(object, "X-Message-Class", OneLine(m.messageType).c_str(), "utf-8");
    if (!m.conversationId.empty())
        g_mime_object_set_header(object, "X-Conversation-ID", OneLine(m.conversationId).c_str(), "utf-8");
    if (m.unsent)
        g_mime_object_set_header(object, "X-Unsent", "1", nullptr);

    Ref<GMimeTextPart> text(g_mime_text_part_new_with_subtype("plain"));
    g_mime_text_part_set_text(text.get(), m.body.c_str());
    if (m.attachments.empty()) {
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(text.get()));
    } else {
        Ref<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
        g_mime_multipart_add(mixed.get(), GMIME_OBJECT(text.get()));
        for (const Attachment &a : m.attachments) {
            Ref<GMimeObject> part(AttachmentPart(a, m.fallbackCharset));
            g_mime_multipart_add(mixed.get(), part.get());
        }
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(mixed.get()));
    }
    return Serialize(object);
}

} // namespace kelvra_provider
