// Saving a record over a stored message. The stored message is parsed, each
// thing the record shows is compared with what a read of the message shows,
// and only what differs is edited, in place (SaveEdits.h): every other
// byte of the file stays, and the file keeps the time the message arrived.
#include "message/SaveOver.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "message/SaveInPlace.h"
#include "message/Message.h"
#include "message/Compose.h"
#include "message/SaveEdits.h"
#include "message/Mime.h"
#include "Addresses.h"
#include "message/Parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <algorithm>
#include <memory>

namespace kelvra_provider {


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

// Ordinary mail carries no class header, whichever way the record names it.
std::string StoredClass(const std::string &type) { return IsInterpersonal(type) ? std::string() : type; }

// One save of a record over a stored message: the stored message parsed,
// then each thing the record shows compared with what a read of the message
// shows, and edited in place where it differs.
class Revision {
public:
    Revision(const StoredFile &entry, const MapiMessage &record, const std::optional<ReadInfo> &givenInfo)
        : record_(record), info_(givenInfo && givenInfo->messageId == entry.id ? &*givenInfo : nullptr),
          // The parts a read handed out are still those of the stored file
          // only while it is the same file.
          sameFile_(info_ != nullptr && info_->stamp == entry.stamp),
          message_(ParseMessageFile(entry.path, &layout_)), parts_(ShownParts(message_.get())), file_(entry.path),
          edit_(file_, layout_, message_.get())
    {
    }

    void Headers(const Mailbox &sender, const std::function<Mailbox(const MapiRecipDesc &)> &resolve);
    void Files();
    void RemoveUnlisted();
    void Text();
    // Makes the content's edits; false when the record changes nothing.
    bool Plan();
    // Writes the message as revised.
    void Write(int fd) const { edit_.Edits().Write(file_, fd); }
    // What the record shows of the message as saved (`now`).
    ReadInfo Updated(const StoredFile &now) const;

private:
    void Recipients(const std::function<Mailbox(const MapiRecipDesc &)> &resolve);
    // Takes a record file: it stands for one of the message's parts when a
    // read handed it out for that part and it is unchanged since, or when
    // it has a part's name and content; otherwise it is a new attachment.
    void TakeFile(const std::string &path, const MapiFileDesc &f);
    void Set(const char *name, const std::string &utf8)
    {
        edit_.SetField(name, edit_.FieldLines(name, utf8));
        changed_ = true;
    }

    const MapiMessage &record_;
    const ReadInfo *info_;
    const bool sameFile_;
    MessageLayout layout_;
    Ref<GMimeMessage> message_;
    MessageParts parts_;
    StoredBytes file_;
    MessageEdit edit_;
    bool changed_ = false;
    std::vector<bool> claimed_ = std::vector<bool>(parts_.files.size(), false);
    std::map<GMimeObject *, std::string> pathOf_; // parts and the record files that stand for them
    std::vector<std::pair<Attachment, std::string>> added_;
    std::vector<GMimeObject *> removed_;
    std::optional<std::string> text_; // the new note text, UTF-8
    std::string bodyFromFile_;
    std::map<size_t, std::string> checksums_;
};

void Revision::Headers(const Mailbox &sender, const std::function<Mailbox(const MapiRecipDesc &)> &resolve)
{
    GMimeMessage *message = message_.get();
    const MapiMessage &record = record_;
    const std::string subject(View(record.lpszSubject));
    if (subject != Utf8ToNarrow(SubjectOf(message)))
        Set("Subject", NarrowToUtf8(subject));
    Recipients(resolve);
    const std::string cls = MessageClassOf(message);
    const std::string type = NarrowToUtf8(View(record.lpszMessageType));
    if (StoredClass(type) != StoredClass(cls) && Utf8ToNarrow(type) != Utf8ToNarrow(cls))
        Set("X-Message-Class", StoredClass(type));
    const std::string conversation(View(record.lpszConversationID));
    if (conversation != Utf8ToNarrow(ConversationOf(message)))
        Set("X-Conversation-ID", NarrowToUtf8(conversation));
    const bool receipt = (record.flFlags & MAPI_RECEIPT_REQUESTED) != 0;
    if (receipt != ReceiptRequested(message)) {
        const std::vector<Mailbox> from = AllMailboxes(message, "From");
        Set("Disposition-Notification-To",
            receipt ? "<" + (from.empty() ? sender.address : from.front().address) + ">" : std::string());
    }
    const bool unsent = (record.flFlags & MAPI_SENT) == 0;
    if (unsent != Unsent(message))
        Set("X-Unsent", unsent ? "1" : "");
}

void Revision::Recipients(const std::function<Mailbox(const MapiRecipDesc &)> &resolve)
{
    GMimeMessage *message = message_.get();
    const MapiMessage &record = record_;
    std::vector<std::pair<Mailbox, ULONG>> stored;
    for (const auto &[header, cls] : {std::pair{"To", MAPI_TO}, {"Cc", MAPI_CC}, {"Bcc", MAPI_BCC}})
        for (const Mailbox &m : AllMailboxes(message, header))
            stored.emplace_back(m, cls);
    if (SameRecipients(record, stored))
        return;
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
    for (const auto &[name, list] : {std::pair{"To", &to}, {"Cc", &cc}, {"Bcc", &bcc}})
        edit_.SetField(name, edit_.AddressLines(name, *list));
    changed_ = true;
}

void Revision::TakeFile(const std::string &path, const MapiFileDesc &f)
{
    const ReadInfo::File *handed = nullptr;
    for (size_t k = 0; info_ != nullptr && k < info_->files.size() && handed == nullptr; ++k)
        if (info_->files[k].path == path)
            handed = &info_->files[k];
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    const bool untouched = handed != nullptr && (!exists || FileStamp::Of(st) == handed->stamp);
    if (untouched && sameFile_ && handed->part < claimed_.size() && !claimed_[handed->part]) {
        claimed_[handed->part] = true;
        pathOf_[parts_.files[handed->part].object] = path;
        return;
    }
    if (!exists)
        Fail(MAPI_E_ATTACHMENT_NOT_FOUND);
    const std::string name = f.lpszFileName != nullptr && *f.lpszFileName != '\0' ? NarrowToUtf8(f.lpszFileName)
                                                                                  : NarrowPathName(path);
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
    changed_ = true;
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
    for (size_t k = 0; k < parts_.files.size(); ++k) {
        if (claimed_[k])
            continue;
        bool visible = info_ == nullptr || !(info_->envelopeOnly || info_->suppressAttach);
        if (visible && sameFile_) {
            visible = false;
            for (const ReadInfo::File &handed : info_->files)
                visible = visible || handed.part == k;
        }
        if (!visible)
            continue;
        removed_.push_back(parts_.files[k].object);
        changed_ = true;
    }
}

void Revision::Text()
{
    // The note text: null keeps the stored body, and so does a record whose
    // read did not carry the text in it.
    std::optional<std::string> text;
    if (record_.lpszNoteText == nullptr) {
    } else if (!bodyFromFile_.empty()) {
        // The text is what the file holds now; a file that cannot be read
        // fails the save, as an attachment's does: it never counts as
        // unchanged text.
        text = ReadRegularFile(bodyFromFile_, std::string().max_size());
        if (!text) {
            const int error = errno;
            Refuse("save refused: the message text's file " + bodyFromFile_ + " cannot be read (" +
                std::strerror(error) + ")", error == ENOENT ? MAPI_E_ATTACHMENT_NOT_FOUND : MAPI_E_ATTACHMENT_OPEN_FAILURE);
        }
    } else if (info_ == nullptr || !(info_->bodyAsFile || info_->envelopeOnly)) {
        text = record_.lpszNoteText;
    }
    if (text && *text != Utf8ToNarrow(NoteText(parts_))) {
        // A text rendered from the message's HTML cannot be written back:
        // the sender's HTML would give way to our rendering of it.
        if (parts_.body == nullptr && parts_.html != nullptr)
            Refuse("save refused: the message's text is its HTML read as text, which a save cannot change "
                   "(the HTML would be lost)");
        text_ = NarrowToUtf8(*text);
        changed_ = true;
    }
}

bool Revision::Plan()
{
    if (!changed_)
        return false;
    std::vector<std::unique_ptr<Ref<GMimeObject>>> made;
    std::vector<GMimeObject *> added;
    for (const auto &[attachment, path] : added_) {
        made.push_back(std::make_unique<Ref<GMimeObject>>(NewAttachmentPart(attachment)));
        added.push_back(made.back()->get());
    }
    edit_.Content(parts_, text_ ? &*text_ : nullptr, removed_, added);
    return true;
}

ReadInfo Revision::Updated(const StoredFile &now) const
{
    ReadInfo next = *info_;
    next.messageId = now.id;
    next.stamp = now.stamp;
    next.files.clear();
    // The shown parts as saved: the old ones that stay, in their order,
    // then the added ones.
    std::vector<std::string> paths;
    for (const ShownPart &part : parts_.files)
        if (std::find(removed_.begin(), removed_.end(), part.object) == removed_.end()) {
            const auto it = pathOf_.find(part.object);
            paths.push_back(it != pathOf_.end() ? it->second : std::string());
        }
    for (const auto &[attachment, path] : added_)
        paths.push_back(path);
    for (size_t k = 0; k < paths.size(); ++k) {
        if (paths[k].empty())
            continue;
        struct stat st {};
        stat(paths[k].c_str(), &st);
        next.files.push_back({paths[k], k, FileStamp::Of(st)});
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
    if (!revision.Plan())
        return false;
    const std::optional<StoredFile> now = rewrite([&](int fd) { revision.Write(fd); });
    // The same record saved again is judged against the message as saved.
    if (updated != nullptr && now && givenInfo && givenInfo->messageId == entry.id)
        *updated = revision.Updated(*now);
    return true;
}

} // namespace kelvra_provider
