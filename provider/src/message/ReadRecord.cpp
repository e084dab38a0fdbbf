#include "message/ReadRecord.h"

#include "Addresses.h"
#include "Errors.h"
#include "Text.h"
#include "message/Mime.h"
#include "message/Parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>


namespace kelvra_provider {

namespace {

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

} // namespace kelvra_provider
