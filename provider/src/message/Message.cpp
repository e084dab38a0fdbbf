#include "message/Message.h"

#include "Addresses.h"
#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "message/Envelope.h"
#include "message/HeaderText.h"
#include "message/Mime.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace kmp {

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

std::string FormatDate(std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    // "YYYY/MM/DD HH:MM", as strftime's "%Y/%m/%d %H:%M" writes it.
    const int year = local.tm_year + 1900;
    if (year < 1000 || year > 9999) {
        char buffer[64];
        std::strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M", &local);
        return buffer;
    }
    char out[16];
    auto two = [](char *at, int value) {
        at[0] = static_cast<char>('0' + value / 10);
        at[1] = static_cast<char>('0' + value % 10);
    };
    two(out, year / 100);
    two(out + 2, year % 100);
    out[4] = '/';
    two(out + 5, local.tm_mon + 1);
    out[7] = '/';
    two(out + 8, local.tm_mday);
    out[10] = ' ';
    two(out + 11, local.tm_hour);
    out[13] = ':';
    two(out + 14, local.tm_min);
    return std::string(out, 16);
}

// A name that is safe as a file name in our folder: valid UTF-8, no folder
// part, no control characters, no leading dot, at most 200 bytes (cut on a
// character boundary, keeping the end with its extension).
std::string SafeFileName(const std::string &original)
{
    gchar *valid = g_utf8_make_valid(original.data(), static_cast<gssize>(original.size()));
    std::string name = valid;
    g_free(valid);
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    for (char &c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ':')
            c = '_';
    while (!name.empty() && (name[0] == '.' || name[0] == ' '))
        name.erase(0, 1);
    if (name.size() > 200) {
        size_t start = name.size() - 200;
        while (start < name.size() && (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80)
            ++start; // not in the middle of a character
        name = name.substr(start);
    }
    return name.empty() ? "attachment" : name;
}

// The private folder of a record's files. Until the record's block takes
// them over, a failure removes what was written.
class TempFolder {
public:
    TempFolder()
    {
        const char *tmpdir = std::getenv("TMPDIR");
        std::string pattern = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/kelvra-mapi-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_ATTACHMENT_WRITE_FAILURE);
        path_ = pattern;
    }
    ~TempFolder()
    {
        for (const std::string &file : files_)
            unlink(file.c_str());
        if (!path_.empty())
            rmdir(path_.c_str());
    }

    // The block removes the files and the folder from now on, unless it is
    // handed out (then the caller deletes the files).
    void GiveTo(Block &block)
    {
        for (std::string &file : files_)
            block.OwnFile(std::move(file));
        files_.clear();
        block.OwnFolder(std::move(path_));
        path_.clear();
    }

    // A path for `name` that no other file of the folder has: "name.txt",
    // then "name (2).txt", "name (3).txt", ... in constant time per name.
    std::string Reserve(const std::string &name)
    {
        std::string candidate = SafeFileName(name);
        if (!used_.insert(candidate).second) {
            const size_t dot = candidate.rfind('.');
            const std::string stem = dot == std::string::npos ? candidate : candidate.substr(0, dot);
            const std::string extension = dot == std::string::npos ? std::string() : candidate.substr(dot);
            int &n = next_.try_emplace(candidate, 2).first->second;
            do
                candidate = stem + " (" + std::to_string(n++) + ")" + extension;
            while (!used_.insert(candidate).second);
        }
        files_.push_back(path_ + "/" + candidate);
        return files_.back();
    }

    // Writes a shown part's content, or a text when `part` is null.
    void Write(const std::string &path, GMimeObject *part, const std::string *text)
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_ATTACHMENT_WRITE_FAILURE);
        // A temporary copy needs no sync to disk: a failed write or close is
        // what must not pass unseen. GMime's file stream syncs the file on
        // every flush (and writing a part's content flushes its target), so
        // the file is written through its stream for pipes, which writes the
        // same bytes and flushes nothing.
        Ref<GMimeStream> stream(g_mime_stream_pipe_new(fd));
        bool written = true;
        if (part != nullptr)
            written = WriteShown(part, stream.get());
        else if (text != nullptr)
            written = g_mime_stream_write(stream.get(), text->data(), text->size()) >= 0;
        const bool flushed = written && g_mime_stream_close(stream.get()) == 0;
        if (!flushed)
            Fail(errno == ENOSPC || errno == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_ATTACHMENT_WRITE_FAILURE);
    }

private:
    std::string path_;
    std::vector<std::string> files_;
    std::set<std::string> used_;
    std::map<std::string, int> next_;
};

ReadInfo::File Written(const std::string &path, size_t part)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return {path, part, FileStamp::Of(st)};
}

} // namespace

std::string NarrowPathName(std::string_view path)
{
    return NarrowToUtf8(path.substr(path.rfind('/') + 1));
}

GMimeObject *NewAttachmentPart(const Attachment &attachment)
{
    return AttachmentPart(attachment, FallbackCharset());
}

bool IsInterpersonal(const std::string &type)
{
    // Only ordinary mail's own class: a class of an application's that
    // begins like it (IPM.Note.Custom, IPM.Notes) is its own and is kept.
    return type.empty() || SameText(type, "IPM") || SameText(type, kInterpersonalClass);
}

bool TypeMatches(const std::string &cls, const std::string &type)
{
    const std::string actual = cls.empty() ? kInterpersonalClass : cls;
    return StartsWithText(actual, type.empty() ? kInterpersonalClass : type);
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


namespace {

ReadInfo InfoOf(const StoredFile &entry, const ReadOptions &options)
{
    ReadInfo info;
    info.messageId = entry.id;
    info.stamp = entry.stamp;
    info.envelopeOnly = options.envelopeOnly;
    info.suppressAttach = options.suppressAttach;
    info.bodyAsFile = options.bodyAsFile;
    return info;
}


// A recipient of a read: its mailbox, with the address's entry identifier.
void FillMailbox(Block &block, MapiRecipDesc &recip, ULONG recipClass, const Mailbox &m)
{
    recip.ulRecipClass = recipClass;
    recip.lpszName = block.NarrowText(m.name.empty() ? m.address : m.name);
    recip.lpszAddress = m.address.empty() ? nullptr : block.NarrowText(m.address);
    recip.ulEIDSize = static_cast<ULONG>(kAddressEntryPrefix.size() + m.address.size());
    recip.lpEntryID = block.Joined(kAddressEntryPrefix, m.address);
}

} // namespace

std::unique_ptr<Block> EnvelopeRecord(const StoredFile &entry, const Envelope &envelope, bool unread)
{
    auto block = std::make_unique<Block>();
    MapiMessage &record = block->Message();
    record.lpszSubject = block->NarrowText(envelope.subject);
    const std::string &cls = envelope.messageClass;
    record.lpszMessageType = block->NarrowText(cls.empty() ? std::string_view(kInterpersonalClass) : std::string_view(cls));
    record.lpszDateReceived = block->Text(FormatDate(static_cast<std::time_t>(entry.stamp.seconds)));
    record.lpszConversationID = block->NarrowText(envelope.conversation);
    record.flFlags = (unread ? MAPI_UNREAD : 0) | (envelope.receiptRequested ? MAPI_RECEIPT_REQUESTED : 0) |
                     (envelope.unsent ? 0 : MAPI_SENT);
    if (envelope.from) {
        record.lpOriginator = block->Recips(1);
        FillMailbox(*block, *record.lpOriginator, MAPI_ORIG, *envelope.from);
    }
    record.nRecipCount = static_cast<ULONG>(envelope.recipients.size());
    record.lpRecips = block->Recips(envelope.recipients.size());
    for (size_t i = 0; i < envelope.recipients.size(); ++i) {
        const Envelope::Recipient &r = envelope.recipients[i];
        FillMailbox(*block, record.lpRecips[i], r.recipClass, r.mailbox);
    }
    ReadOptions options;
    options.envelopeOnly = true;
    block->SetReadInfo(InfoOf(entry, options));
    return block;
}

namespace {

// The fields a read shows of a message's headers: subject, class, date,
// conversation, flags, originator and recipients.
void FillHeaders(Block &block, GMimeMessage *message, const StoredFile &entry, bool unread)
{
    MapiMessage &record = block.Message();
    record.lpszSubject = block.Text(Utf8ToNarrow(SubjectOf(message)));
    const std::string cls = MessageClassOf(message);
    record.lpszMessageType = block.Text(Utf8ToNarrow(cls.empty() ? kInterpersonalClass : cls));
    record.lpszDateReceived = block.Text(FormatDate(static_cast<std::time_t>(entry.stamp.seconds)));
    record.lpszConversationID = block.Text(Utf8ToNarrow(ConversationOf(message)));
    record.flFlags = (unread ? MAPI_UNREAD : 0) | (ReceiptRequested(message) ? MAPI_RECEIPT_REQUESTED : 0) |
                     (Unsent(message) ? 0 : MAPI_SENT);
    const std::vector<Mailbox> from = AllMailboxes(message, "From");
    if (!from.empty()) {
        record.lpOriginator = block.Recips(1);
        FillMailbox(block, *record.lpOriginator, MAPI_ORIG, from.front());
    }
    std::vector<std::pair<Mailbox, ULONG>> recips;
    for (const auto &[header, recipClass] : {std::pair{"To", MAPI_TO}, {"Cc", MAPI_CC}, {"Bcc", MAPI_BCC}})
        for (const Mailbox &m : AllMailboxes(message, header))
            recips.emplace_back(m, recipClass);
    record.nRecipCount = static_cast<ULONG>(recips.size());
    record.lpRecips = block.Recips(recips.size());
    for (size_t i = 0; i < recips.size(); ++i)
        FillMailbox(block, record.lpRecips[i], recips[i].second, recips[i].first);
}

// The note text and the files of a read: the text in the record, or in the
// first file with bodyAsFile; every other shown part decoded into a file of
// a private folder, or only described (no path) with suppressAttach.
void FillContent(Block &block, GMimeMessage *message, const ReadOptions &options, ReadInfo &info)
{
    MapiMessage &record = block.Message();
    const MessageParts parts = ShownParts(message);
    const std::string body = NoteText(parts);
    const size_t count = parts.files.size() + (options.bodyAsFile ? 1 : 0);
    if (count == 0) {
        record.lpszNoteText = block.Text(Utf8ToNarrow(body));
        return;
    }
    std::optional<TempFolder> folder;
    if (options.bodyAsFile || !options.suppressAttach)
        folder.emplace();
    record.nFileCount = static_cast<ULONG>(count);
    record.lpFiles = block.Files(count);
    size_t k = 0;
    if (options.bodyAsFile) {
        // The text goes into the first file; the record's text stays empty.
        const std::string path = folder->Reserve("message.txt");
        const std::string narrow = Utf8ToNarrow(body);
        folder->Write(path, nullptr, &narrow);
        record.lpFiles[k].lpszPathName = block.Text(path);
        record.lpFiles[k].lpszFileName = block.Text("message.txt");
        record.lpFiles[k].nPosition = 0xFFFFFFFFu;
        info.bodyFile = path;
        ++k;
        record.lpszNoteText = block.Text("");
    } else {
        record.lpszNoteText = block.Text(Utf8ToNarrow(body));
    }
    for (size_t i = 0; i < parts.files.size(); ++i, ++k) {
        GMimeObject *part = parts.files[i].object;
        const std::string name = ShownName(part);
        record.lpFiles[k].lpszFileName = block.Text(Utf8ToNarrow(name));
        record.lpFiles[k].nPosition = 0xFFFFFFFFu;
        if (options.suppressAttach)
            continue;
        const std::string path = folder->Reserve(name);
        folder->Write(path, part, nullptr);
        record.lpFiles[k].lpszPathName = block.Text(path);
        info.files.push_back(Written(path, i));
    }
    if (folder)
        folder->GiveTo(block);
}

} // namespace

std::unique_ptr<Block> ReadRecord(const StoredFile &entry, bool unread, const ReadOptions &options)
{
    Ref<GMimeMessage> message(ParseMessageFile(entry.path));
    return ReadRecord(message.get(), entry, unread, options);
}

std::unique_ptr<Block> ReadRecord(GMimeMessage *message, const StoredFile &entry, bool unread,
                                  const ReadOptions &options)
{
    auto block = std::make_unique<Block>();
    ReadInfo info = InfoOf(entry, options);
    FillHeaders(*block, message, entry, unread);
    info.date = IsoDate(g_mime_message_get_date(message));
    // An envelope-only read: header data only, no text, no files.
    if (!options.envelopeOnly)
        FillContent(*block, message, options, info);
    block->SetReadInfo(std::move(info));
    return block;
}

} // namespace kmp
