// Saving a record over a stored message. The stored message is parsed and
// edited where the record differs from what a read of it shows, and written
// out again: headers the record cannot express (References, In-Reply-To,
// Received, ...), parts it does not show and untouched parts keep their
// bytes, and the file keeps the time the message arrived.
#include "book/AddressBook.h"
#include "Common.h"
#include "Message.h"
#include "Mime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>

namespace kmp {

GMimeObject *NewAttachmentPart(const Attachment &attachment);

namespace {

std::string FileChecksum(const std::string &path)
{
    const int fd = OpenRegular(path);
    if (fd < 0)
        return {};
    GChecksum *sum = g_checksum_new(G_CHECKSUM_SHA256);
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            g_checksum_update(sum, reinterpret_cast<const guchar *>(buffer), static_cast<gsize>(n));
    close(fd);
    std::string out = n == 0 ? g_checksum_get_string(sum) : "";
    g_checksum_free(sum);
    return out;
}

std::string PartChecksum(GMimeObject *part)
{
    Ref<GMimeStream> sink(g_mime_stream_null_new());
    Ref<GMimeStream> filtered(g_mime_stream_filter_new(sink.get()));
    Ref<GMimeFilter> checksum(g_mime_filter_checksum_new(G_CHECKSUM_SHA256));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), checksum.get());
    if (!WriteShown(part, filtered.get()) || g_mime_stream_flush(filtered.get()) != 0)
        return {};
    gchar *text = g_mime_filter_checksum_get_string(GMIME_FILTER_CHECKSUM(checksum.get()));
    std::string out = Safe(text);
    g_free(text);
    return out;
}

// The recipients of a record are the stored ones, exactly as a read gave them.
bool SameRecipients(const MapiMessage &record, const std::vector<std::pair<Mailbox, ULONG>> &stored)
{
    if (record.nRecipCount != stored.size() || (record.nRecipCount > 0 && record.lpRecips == nullptr))
        return false;
    for (size_t i = 0; i < stored.size(); ++i) {
        const MapiRecipDesc &r = record.lpRecips[i];
        const Mailbox &m = stored[i].first;
        const std::string entryId = AddressEntryId(m.address);
        if (r.ulRecipClass != stored[i].second || View(r.lpszName) != Utf8ToNarrow(m.name.empty() ? m.address : m.name) ||
            View(r.lpszAddress) != Utf8ToNarrow(m.address) || r.ulEIDSize != entryId.size() ||
            (r.ulEIDSize > 0 && (r.lpEntryID == nullptr || std::memcmp(r.lpEntryID, entryId.data(), entryId.size()) != 0)))
            return false;
    }
    return true;
}

void RemoveHeaders(GMimeObject *object, const char *name)
{
    while (g_mime_object_remove_header(object, name)) {
    }
}

void SetOrRemove(GMimeObject *object, const char *name, const std::string &value)
{
    RemoveHeaders(object, name);
    if (!value.empty())
        g_mime_object_set_header(object, name, OneLine(value).c_str(), "utf-8");
}

// Ordinary mail carries no class header, whichever way the record names it.
std::string StoredClass(const std::string &type) { return IsInterpersonal(type) ? std::string() : type; }

std::string FileStart(const std::string &path)
{
    std::string start(4096, '\0');
    const int fd = OpenRegular(path);
    if (fd < 0)
        return {};
    const ssize_t n = read(fd, start.data(), start.size());
    close(fd);
    start.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return start;
}

// One save of a record over a stored message: the stored message parsed,
// then each thing the record shows compared with what a read of the message
// shows, and edited where it differs.
class Revision {
public:
    Revision(const StoredFile &entry, const MapiMessage &record, const std::optional<ReadInfo> &givenInfo)
        : entry_(entry), record_(record),
          info_(givenInfo && givenInfo->messageId == entry.id ? &*givenInfo : nullptr),
          // The parts a read handed out are still those of the stored file
          // only while it is the same file.
          sameFile_(info_ != nullptr && info_->inode == entry.inode && info_->size == entry.size &&
                    info_->time == entry.time && info_->nanoseconds == entry.nanoseconds),
          message_(ParseMessageFile(entry.path)), parts_(ShownParts(message_.get()))
    {
    }

    void Headers(const Mailbox &sender, const std::function<Mailbox(const MapiRecipDesc &)> &resolve);
    void Files();
    void RemoveUnlisted();
    void Text();
    void AddAttachments();
    bool Changed() const { return changed_; }
    // Writes the message as revised, its lines ending as the stored file's do.
    void Write(int fd, const std::string &start) const;
    // What the record shows of the message as saved (`now`).
    ReadInfo Updated(const StoredFile &now) const;

private:
    GMimeObject *Object() const { return GMIME_OBJECT(message_.get()); }
    void Recipients(const std::function<Mailbox(const MapiRecipDesc &)> &resolve);
    // Takes a record file: it stands for one of the message's parts when a
    // read handed it out for that part and it is unchanged since, or when
    // it has a part's name and content; otherwise it is a new attachment.
    void TakeFile(const std::string &path, const MapiFileDesc &f);

    const StoredFile &entry_;
    const MapiMessage &record_;
    const ReadInfo *info_;
    const bool sameFile_;
    Ref<GMimeMessage> message_;
    MessageParts parts_;
    bool changed_ = false;
    std::vector<bool> claimed_ = std::vector<bool>(parts_.files.size(), false);
    std::map<GMimeObject *, std::string> pathOf_; // parts and the record files that stand for them
    std::vector<std::pair<Attachment, std::string>> added_;
    std::string bodyFromFile_;
    std::map<size_t, std::string> checksums_;
};

void Revision::Headers(const Mailbox &sender, const std::function<Mailbox(const MapiRecipDesc &)> &resolve)
{
    GMimeMessage *message = message_.get();
    GMimeObject *object = Object();
    const MapiMessage &record = record_;
    const std::string subject(View(record.lpszSubject));
    if (subject != Utf8ToNarrow(SubjectOf(message))) {
        g_mime_message_set_subject(message, OneLine(NarrowToUtf8(subject)).c_str(), "utf-8");
        changed_ = true;
    }
    Recipients(resolve);
    const std::string cls = MessageClassOf(message);
    const std::string type = NarrowToUtf8(View(record.lpszMessageType));
    if (StoredClass(type) != StoredClass(cls) && Utf8ToNarrow(type) != Utf8ToNarrow(cls)) {
        SetOrRemove(object, "X-Message-Class", StoredClass(type));
        changed_ = true;
    }
    const std::string conversation(View(record.lpszConversationID));
    if (conversation != Utf8ToNarrow(ConversationOf(message))) {
        SetOrRemove(object, "X-Conversation-ID", NarrowToUtf8(conversation));
        changed_ = true;
    }
    const bool receipt = (record.flFlags & MAPI_RECEIPT_REQUESTED) != 0;
    if (receipt != ReceiptRequested(message)) {
        const std::vector<Mailbox> from = AllMailboxes(message, "From");
        SetOrRemove(object, "Disposition-Notification-To",
                    receipt ? "<" + (from.empty() ? sender.address : from.front().address) + ">" : std::string());
        changed_ = true;
    }
    const bool unsent = (record.flFlags & MAPI_SENT) == 0;
    if (unsent != Unsent(message)) {
        SetOrRemove(object, "X-Unsent", unsent ? "1" : "");
        changed_ = true;
    }
}

void Revision::Recipients(const std::function<Mailbox(const MapiRecipDesc &)> &resolve)
{
    GMimeMessage *message = message_.get();
    const MapiMessage &record = record_;
    std::vector<std::pair<Mailbox, ULONG>> stored;
    for (const auto &[header, cls] : {std::pair{"To", MAPI_TO}, {"Cc", MAPI_CC}, {"Bcc", MAPI_BCC}})
        for (const Mailbox &m : AllMailboxes(message, header))
            stored.emplace_back(m, cls);
    if (!SameRecipients(record, stored)) {
        std::vector<Mailbox> to, cc, bcc;
        for (ULONG i = 0; i < record.nRecipCount && record.lpRecips != nullptr; ++i) {
            const MapiRecipDesc &r = record.lpRecips[i];
            switch (r.ulRecipClass) {
            case MAPI_TO: to.push_back(resolve(r)); break;
            case MAPI_CC: cc.push_back(resolve(r)); break;
            case MAPI_BCC: bcc.push_back(resolve(r)); break;
            default: Fail(MAPI_E_BAD_RECIPTYPE);
            }
        }
        for (const auto &[type, name, list] : {std::tuple{GMIME_ADDRESS_TYPE_TO, "To", &to},
                                               {GMIME_ADDRESS_TYPE_CC, "Cc", &cc},
                                               {GMIME_ADDRESS_TYPE_BCC, "Bcc", &bcc}}) {
            RemoveHeaders(Object(), name);
            SetMailboxes(message, type, *list);
        }
        changed_ = true;
    }
}

void Revision::TakeFile(const std::string &path, const MapiFileDesc &f)
{
    const ReadInfo::File *handed = nullptr;
    for (size_t k = 0; info_ != nullptr && k < info_->files.size() && handed == nullptr; ++k)
        if (info_->files[k].path == path)
            handed = &info_->files[k];
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    const bool untouched = handed != nullptr && (!exists || (st.st_size == handed->size &&
                                                              st.st_mtim.tv_sec == handed->time &&
                                                              st.st_mtim.tv_nsec == handed->nanoseconds));
    if (untouched && sameFile_ && handed->part < claimed_.size() && !claimed_[handed->part]) {
        claimed_[handed->part] = true;
        pathOf_[parts_.files[handed->part].object] = path;
        return;
    }
    if (!exists)
        Fail(MAPI_E_ATTACHMENT_NOT_FOUND);
    const std::string name = f.lpszFileName != nullptr && *f.lpszFileName != '\0' ? NarrowToUtf8(f.lpszFileName)
                                                                                  : path.substr(path.rfind('/') + 1);
    std::string fileSum;
    for (size_t k = 0; k < parts_.files.size(); ++k) {
        if (claimed_[k] || ShownName(parts_.files[k].object) != name)
            continue;
        if (fileSum.empty())
            fileSum = FileChecksum(path);
        auto sum = checksums_.find(k);
        if (sum == checksums_.end())
            sum = checksums_.emplace(k, PartChecksum(parts_.files[k].object)).first;
        if (!fileSum.empty() && sum->second == fileSum) {
            claimed_[k] = true;
            pathOf_[parts_.files[k].object] = path;
            return;
        }
    }
    added_.push_back({{path, name}, path});
}

void Revision::Files()
{
    for (ULONG i = 0; i < record_.nFileCount && record_.lpFiles != nullptr; ++i) {
        const MapiFileDesc &f = record_.lpFiles[i];
        // A part described without a file by a read that suppressed
        // attachments: it stays as it is.
        if (f.lpszPathName == nullptr && info_ != nullptr && info_->suppressAttach)
            continue;
        if (f.lpszPathName == nullptr || *f.lpszPathName == '\0')
            Fail(MAPI_E_ATTACHMENT_NOT_FOUND);
        const std::string path = f.lpszPathName;
        if (info_ != nullptr && !info_->bodyFile.empty() && path == info_->bodyFile) {
            bodyFromFile_ = path;
            continue;
        }
        TakeFile(path, f);
    }
}

void Revision::RemoveUnlisted()
{
    // Parts the record had in view and no longer lists are removed; those a
    // partial read never showed stay.
    const ReadInfo *info = info_;
    bool topRemoved = false;
    for (size_t k = 0; k < parts_.files.size(); ++k) {
        if (claimed_[k])
            continue;
        bool visible = info == nullptr || !(info->envelopeOnly || info->suppressAttach);
        if (visible && sameFile_) {
            visible = false;
            for (const ReadInfo::File &handed : info->files)
                visible = visible || handed.part == k;
        }
        if (!visible)
            continue;
        if (parts_.files[k].parent != nullptr)
            g_mime_multipart_remove(GMIME_MULTIPART(parts_.files[k].parent), parts_.files[k].object);
        else
            topRemoved = true;
        changed_ = true;
    }
    if (topRemoved) {
        Ref<GMimeTextPart> empty(g_mime_text_part_new_with_subtype("plain"));
        g_mime_text_part_set_text(empty.get(), "");
        g_mime_message_set_mime_part(message_.get(), GMIME_OBJECT(empty.get()));
        parts_.body = empty.get();
    }
}

void Revision::Text()
{
    // The note text: null keeps the stored body, and so does a record whose
    // read did not carry the text in it.
    const ReadInfo *info = info_;
    const MapiMessage &record = record_;
    std::optional<std::string> text;
    if (record.lpszNoteText == nullptr) {
    } else if (!bodyFromFile_.empty()) {
        if (std::optional<std::string> file = ReadRegularFile(bodyFromFile_, std::string().max_size()))
            text = std::move(file);
    } else if (info == nullptr || !(info->bodyAsFile || info->envelopeOnly)) {
        text = record.lpszNoteText;
    }
    if (text && *text != Utf8ToNarrow(BodyText(parts_.body))) {
        const std::string utf8 = NarrowToUtf8(*text);
        if (parts_.body != nullptr) {
            g_mime_text_part_set_text(parts_.body, utf8.c_str());
            g_mime_part_set_content_encoding(
                GMIME_PART(parts_.body),
                g_mime_part_get_best_content_encoding(GMIME_PART(parts_.body), GMIME_ENCODING_CONSTRAINT_7BIT));
        } else {
            Ref<GMimeTextPart> body(g_mime_text_part_new_with_subtype("plain"));
            g_mime_text_part_set_text(body.get(), utf8.c_str());
            Ref<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
            g_mime_multipart_add(mixed.get(), GMIME_OBJECT(body.get()));
            if (GMimeObject *top = g_mime_message_get_mime_part(message_.get()))
                g_mime_multipart_add(mixed.get(), top);
            g_mime_message_set_mime_part(message_.get(), GMIME_OBJECT(mixed.get()));
        }
        changed_ = true;
    }
}

void Revision::AddAttachments()
{
    if (!added_.empty()) {
        GMimeObject *top = g_mime_message_get_mime_part(message_.get());
        GMimeMultipart *mixed = nullptr;
        if (top != nullptr && GMIME_IS_MULTIPART(top) &&
            g_mime_content_type_is_type(g_mime_object_get_content_type(top), "multipart", "mixed")) {
            mixed = GMIME_MULTIPART(top);
        } else {
            Ref<GMimeMultipart> wrapper(g_mime_multipart_new_with_subtype("mixed"));
            if (top != nullptr)
                g_mime_multipart_add(wrapper.get(), top);
            g_mime_message_set_mime_part(message_.get(), GMIME_OBJECT(wrapper.get()));
            mixed = wrapper.get(); // the message holds it now
        }
        for (const auto &[attachment, path] : added_) {
            Ref<GMimeObject> part(NewAttachmentPart(attachment));
            g_mime_multipart_add(mixed, part.get());
            pathOf_[part.get()] = path;
        }
        changed_ = true;
    }
}

void Revision::Write(int fd, const std::string &start) const
{
    Ref<GMimeStream> stream(g_mime_stream_fs_new(fd));
    g_mime_stream_fs_set_owner(GMIME_STREAM_FS(stream.get()), FALSE); // the store closes it
    GMimeFormatOptions *options = FormatLike(start);
    const ssize_t written = g_mime_object_write_to_stream(Object(), options, stream.get());
    g_mime_format_options_free(options);
    if (written < 0 || g_mime_stream_flush(stream.get()) != 0)
        Fail(errno == ENOSPC || errno == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
}

ReadInfo Revision::Updated(const StoredFile &now) const
{
    ReadInfo next = *info_;
    next.messageId = now.id;
    next.inode = now.inode;
    next.size = now.size;
    next.time = now.time;
    next.nanoseconds = now.nanoseconds;
    next.files.clear();
    const MessageParts saved = ShownParts(message_.get());
    for (size_t k = 0; k < saved.files.size(); ++k) {
        const auto it = pathOf_.find(saved.files[k].object);
        if (it == pathOf_.end())
            continue;
        struct stat st {};
        stat(it->second.c_str(), &st);
        next.files.push_back({it->second, k, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec});
    }
    // Parts it never showed stay out of view for it.
    next.envelopeOnly = info_->envelopeOnly;
    next.suppressAttach = info_->suppressAttach;
    return next;
}

} // namespace

bool SaveOver(const Rewriter &rewrite, const StoredFile &entry, const MapiMessage &record,
              const std::optional<ReadInfo> &givenInfo, const Mailbox &sender,
              const std::function<Mailbox(const MapiRecipDesc &)> &resolve, std::optional<ReadInfo> *updated)
{
    Revision revision(entry, record, givenInfo);
    revision.Headers(sender, resolve);
    revision.Files();
    revision.RemoveUnlisted();
    revision.Text();
    revision.AddAttachments();
    if (!revision.Changed())
        return false;
    const std::string start = FileStart(entry.path);
    const std::optional<StoredFile> now = rewrite([&](int fd) { revision.Write(fd, start); });
    // The same record saved again is judged against the message as saved.
    if (updated != nullptr && now && givenInfo && givenInfo->messageId == entry.id)
        *updated = revision.Updated(*now);
    return true;
}

} // namespace kmp
