#include "Message.h"

#include "AddressBook.h"
#include "Common.h"

#include <gmime/gmime.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace kmp {

namespace {

void InitGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

// Ownership of one GObject reference.
template <class T>
struct Ref {
    T *p = nullptr;
    explicit Ref(T *object = nullptr) : p(object) {}
    ~Ref()
    {
        if (p != nullptr)
            g_object_unref(p);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    T *get() const { return p; }
};

std::string Safe(const char *text) { return text != nullptr ? text : ""; }

void AddMailboxes(GMimeMessage *message, GMimeAddressType type, const std::vector<Mailbox> &list)
{
    for (const Mailbox &m : list)
        g_mime_message_add_mailbox(message, type, m.name.empty() ? nullptr : OneLine(m.name).c_str(),
                                   OneLine(m.address).c_str());
}

std::string BaseName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

GMimeObject *AttachmentPart(const Attachment &a)
{
    // Only a regular file: a FIFO would block the send for ever.
    const int fd = OpenRegular(a.path);
    if (fd < 0)
        Fail(errno == ENOENT || errno == ENOTDIR ? MAPI_E_ATTACHMENT_NOT_FOUND : MAPI_E_ATTACHMENT_OPEN_FAILURE);
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd)); // owns fd
    Ref<GMimeDataWrapper> content(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    GMimePart *part = g_mime_part_new_with_type("application", "octet-stream");
    g_mime_part_set_content(part, content.get());
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    const std::string name = OneLine(a.name.empty() ? BaseName(a.path) : a.name);
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
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M", &local);
    return buffer;
}

// Every mailbox of every header of that name: GMime 3.2.13 keeps only the
// last of several To: or Cc: headers, so each header is parsed here.
std::vector<Mailbox> AllMailboxes(GMimeMessage *message, const char *header)
{
    std::vector<Mailbox> out;
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(message));
    const int count = g_mime_header_list_get_count(headers);
    for (int i = 0; i < count; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(headers, i);
        if (g_ascii_strcasecmp(g_mime_header_get_name(h), header) != 0)
            continue;
        InternetAddressList *list = internet_address_list_parse(nullptr, g_mime_header_get_raw_value(h));
        if (list == nullptr)
            continue;
        const int n = internet_address_list_length(list);
        for (int k = 0; k < n; ++k) {
            InternetAddress *ia = internet_address_list_get_address(list, k);
            if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
                out.push_back({Safe(internet_address_get_name(ia)),
                               Safe(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia)))});
            } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
                InternetAddressList *members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia));
                for (int m = 0; m < internet_address_list_length(members); ++m) {
                    InternetAddress *member = internet_address_list_get_address(members, m);
                    if (INTERNET_ADDRESS_IS_MAILBOX(member))
                        out.push_back({Safe(internet_address_get_name(member)),
                                       Safe(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(member)))});
                }
            }
        }
        g_object_unref(list);
    }
    return out;
}

std::string Header(GMimeMessage *message, const char *name)
{
    const char *raw = g_mime_object_get_header(GMIME_OBJECT(message), name);
    if (raw == nullptr)
        return {};
    std::string value = raw;
    const size_t first = value.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : value.substr(first);
}

// The first message identifier in a References/In-Reply-To value.
std::string FirstId(const std::string &value)
{
    const size_t open = value.find('<');
    const size_t close = value.find('>', open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return value.substr(open + 1, close - open - 1);
}

// A name that is safe as a file name in our folder: no folder part, no
// control characters, no leading dot, not too long.
std::string SafeFileName(const std::string &original)
{
    std::string name = original;
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    for (char &c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ':' || c == '/' || c == '\\')
            c = '_';
    while (!name.empty() && (name[0] == '.' || name[0] == ' '))
        name.erase(0, 1);
    if (name.size() > 200)
        name = name.substr(name.size() - 200);
    return name.empty() ? "attachment" : name;
}

// Writes one file of the record's folder; a failure removes what was written.
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
        if (keep_)
            return;
        for (const std::string &file : files_)
            unlink(file.c_str());
        rmdir(path_.c_str());
    }
    const std::string &Path() const { return path_; }
    void Keep() { keep_ = true; }

    // A path for `name` that no other file of the folder has.
    std::string Reserve(const std::string &name)
    {
        // "name.txt", then "name (2).txt", "name (3).txt", ...
        const std::string safe = SafeFileName(name);
        const size_t dot = safe.rfind('.');
        const std::string stem = dot == std::string::npos ? safe : safe.substr(0, dot);
        const std::string extension = dot == std::string::npos ? std::string() : safe.substr(dot);
        std::string candidate = path_ + "/" + safe;
        for (int n = 2; access(candidate.c_str(), F_OK) == 0; ++n)
            candidate = path_ + "/" + stem + " (" + std::to_string(n) + ")" + extension;
        files_.push_back(candidate);
        return candidate;
    }

    void Write(const std::string &path, GMimeDataWrapper *content, const std::string *text)
    {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_ATTACHMENT_WRITE_FAILURE);
        Ref<GMimeStream> stream(g_mime_stream_fs_new(fd));
        ssize_t written = 0;
        if (content != nullptr)
            written = g_mime_data_wrapper_write_to_stream(content, stream.get());
        else if (text != nullptr)
            written = g_mime_stream_write(stream.get(), text->data(), text->size());
        const bool flushed = written >= 0 && g_mime_stream_flush(stream.get()) == 0 && fsync(fd) == 0;
        if (!flushed)
            Fail(errno == ENOSPC || errno == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_ATTACHMENT_WRITE_FAILURE);
    }

private:
    std::string path_;
    std::vector<std::string> files_;
    bool keep_ = false;
};

struct Parts {
    GMimeTextPart *body = nullptr;
    std::vector<GMimePart *> attachments;
};

void CollectPart(GMimeObject *, GMimeObject *part, gpointer data)
{
    auto *parts = static_cast<Parts *>(data);
    if (!GMIME_IS_PART(part))
        return; // multiparts and embedded messages as a whole
    GMimePart *leaf = GMIME_PART(part);
    const bool attachment = g_mime_part_is_attachment(leaf);
    GMimeContentType *type = g_mime_object_get_content_type(part);
    if (!attachment && parts->body == nullptr && GMIME_IS_TEXT_PART(part) &&
        g_mime_content_type_is_type(type, "text", "plain")) {
        parts->body = GMIME_TEXT_PART(part);
        return;
    }
    if (attachment || g_mime_part_get_filename(leaf) != nullptr || !g_mime_content_type_is_type(type, "text", "*"))
        parts->attachments.push_back(leaf);
}

GMimeMessage *Parse(const std::string &path)
{
    InitGMime();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GMimeMessage *message = g_mime_parser_construct_message(parser.get(), nullptr);
    if (message == nullptr) // not even a header block: an empty message
        message = g_mime_message_new(TRUE);
    return message;
}

} // namespace

bool IsInterpersonal(const std::string &type)
{
    return type.empty() || SameText(type, "IPM") || StartsWithText(type, kInterpersonalClass);
}

bool TypeMatches(const std::string &cls, const std::string &type)
{
    const std::string actual = cls.empty() ? kInterpersonalClass : cls;
    return StartsWithText(actual, type.empty() ? kInterpersonalClass : type);
}

std::string Compose(const Composition &m)
{
    InitGMime();
    Ref<GMimeMessage> message(g_mime_message_new(TRUE));
    AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_FROM, {m.from});
    AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_TO, m.to);
    AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_CC, m.cc);
    if (m.bccInHeader)
        AddMailboxes(message.get(), GMIME_ADDRESS_TYPE_BCC, m.bcc);
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
    if (m.receiptRequested)
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
            Ref<GMimeObject> part(AttachmentPart(a));
            g_mime_multipart_add(mixed.get(), part.get());
        }
        g_mime_message_set_mime_part(message.get(), GMIME_OBJECT(mixed.get()));
    }
    return Serialize(object);
}

KeptHeaders ReadKeptHeaders(const std::string &path)
{
    Ref<GMimeMessage> message(Parse(path));
    KeptHeaders kept;
    const std::vector<Mailbox> from = AllMailboxes(message.get(), "From");
    if (!from.empty())
        kept.from = from.front();
    kept.date = Header(message.get(), "Date");
    kept.messageId = Safe(g_mime_message_get_message_id(message.get()));
    return kept;
}

std::unique_ptr<Block> ReadRecord(const MaildirEntry &entry, bool unread, const ReadOptions &options)
{
    Ref<GMimeMessage> message(Parse(entry.path));
    auto block = std::make_unique<Block>();
    MapiMessage &record = block->Message();

    record.lpszSubject = block->Text(Utf8ToNarrow(Safe(g_mime_message_get_subject(message.get()))));
    const std::string cls = Header(message.get(), "X-Message-Class");
    record.lpszMessageType = block->Text(Utf8ToNarrow(cls.empty() ? kInterpersonalClass : cls));
    record.lpszDateReceived = block->Text(FormatDate(static_cast<std::time_t>(entry.time)));
    std::string conversation = Header(message.get(), "X-Conversation-ID");
    if (conversation.empty())
        conversation = FirstId(Header(message.get(), "References"));
    if (conversation.empty())
        conversation = FirstId(Header(message.get(), "In-Reply-To"));
    if (conversation.empty())
        conversation = Safe(g_mime_message_get_message_id(message.get()));
    record.lpszConversationID = block->Text(Utf8ToNarrow(conversation));
    record.flFlags = (unread ? MAPI_UNREAD : 0) |
                     (Header(message.get(), "Disposition-Notification-To").empty() ? 0 : MAPI_RECEIPT_REQUESTED) |
                     (Header(message.get(), "X-Unsent") == "1" ? 0 : MAPI_SENT);

    auto fill = [&](MapiRecipDesc &r, const Mailbox &m, ULONG cls) {
        FillRecip(*block, r, cls, m.name, m.address, AddressEntryId(m.address));
    };
    const std::vector<Mailbox> from = AllMailboxes(message.get(), "From");
    if (!from.empty()) {
        record.lpOriginator = block->Recips(1);
        fill(*record.lpOriginator, from.front(), MAPI_ORIG);
    }
    std::vector<std::pair<Mailbox, ULONG>> recips;
    for (const auto &[header, cls] : {std::pair{"To", MAPI_TO}, {"Cc", MAPI_CC}, {"Bcc", MAPI_BCC}})
        for (const Mailbox &m : AllMailboxes(message.get(), header))
            recips.emplace_back(m, cls);
    record.nRecipCount = static_cast<ULONG>(recips.size());
    record.lpRecips = block->Recips(recips.size());
    for (size_t i = 0; i < recips.size(); ++i)
        fill(record.lpRecips[i], recips[i].first, recips[i].second);

    if (options.envelopeOnly)
        return block; // header data only: no text, no files

    Parts parts;
    g_mime_message_foreach(message.get(), CollectPart, &parts);
    std::string body;
    if (parts.body != nullptr) {
        char *text = g_mime_text_part_get_text(parts.body);
        body = Safe(text);
        g_free(text);
        // The line break that ends the last line belongs to the MIME
        // framing, not to the text the sender wrote.
        if (!body.empty() && body.back() == '\n')
            body.pop_back();
        if (!body.empty() && body.back() == '\r')
            body.pop_back();
    }
    std::vector<GMimePart *> files = options.suppressAttach ? std::vector<GMimePart *>() : parts.attachments;
    const size_t count = files.size() + (options.bodyAsFile ? 1 : 0);
    if (count == 0) {
        record.lpszNoteText = block->Text(Utf8ToNarrow(body));
        return block;
    }
    TempFolder folder;
    record.nFileCount = static_cast<ULONG>(count);
    record.lpFiles = block->Files(count);
    size_t k = 0;
    if (options.bodyAsFile) {
        // The text goes into the first file; the record's text stays empty.
        const std::string path = folder.Reserve("message.txt");
        const std::string narrow = Utf8ToNarrow(body);
        folder.Write(path, nullptr, &narrow);
        record.lpFiles[k].lpszPathName = block->Text(path);
        record.lpFiles[k].lpszFileName = block->Text("message.txt");
        record.lpFiles[k].nPosition = 0xFFFFFFFFu;
        ++k;
        record.lpszNoteText = block->Text("");
    } else {
        record.lpszNoteText = block->Text(Utf8ToNarrow(body));
    }
    for (GMimePart *part : files) {
        const std::string original = Safe(g_mime_part_get_filename(part));
        const std::string path = folder.Reserve(original.empty() ? "attachment" : original);
        folder.Write(path, g_mime_part_get_content(part), nullptr);
        record.lpFiles[k].lpszPathName = block->Text(path);
        record.lpFiles[k].lpszFileName = block->Text(Utf8ToNarrow(original.empty() ? BaseName(path) : original));
        record.lpFiles[k].nPosition = 0xFFFFFFFFu;
        ++k;
    }
    folder.Keep();
    block->OwnFolder(folder.Path());
    return block;
}

} // namespace kmp
