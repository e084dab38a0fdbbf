#include "outgoing/FromRecord.h"

#include "Errors.h"
#include "Text.h"
#include "Addresses.h"

namespace kelvra_provider {

namespace {

// How the texts of a record become UTF-8: the same rules read either record.
struct NarrowTexts {
    // Narrow text always converts (what the character set lacks becomes
    // '?'), so nothing raises `code`.
    static std::string Text(const char *text, ULONG, const char *) { return NarrowToUtf8(View(text)); }
    static Attachment File(const MapiFileDesc &f) { return {f.lpszPathName, Text(f.lpszFileName, 0, nullptr)}; }
};

struct WideTexts {
    static std::string Text(const WCHAR *text, ULONG code, const char *field) { return WideToUtf8(text, code, field); }
    static Attachment File(const MapiFileDescW &f)
    {
        std::string path = Text(f.lpszPathName, MAPI_E_ATTACHMENT_OPEN_FAILURE, "an attachment's path");
        std::string name = Text(f.lpszFileName, MAPI_E_ATTACHMENT_OPEN_FAILURE, "an attachment's file name");
        // Taken here, from the exact text: the path's bytes are UTF-8, not
        // the narrow text a name taken later from a path would be read as.
        if (name.empty())
            name = path.substr(path.rfind('/') + 1);
        return {std::move(path), std::move(name)};
    }
};

template <class Texts, class Recip>
Mailbox MailboxOf(const Recip &r, const AddressBook &book)
{
    const std::string name = Texts::Text(r.lpszName, MAPI_E_INVALID_RECIPS, "a recipient's name");
    if (r.ulEIDSize > 0 && r.lpEntryID != nullptr) {
        const std::string address =
            book.AddressOf(std::string_view(static_cast<const char *>(r.lpEntryID), r.ulEIDSize));
        if (!address.empty())
            return {name, address};
    }
    const std::string given = Texts::Text(r.lpszAddress, MAPI_E_INVALID_RECIPS, "a recipient's address");
    if (!given.empty()) {
        std::optional<std::string> address = MailAddress(given);
        if (!address)
            Fail(MAPI_E_INVALID_RECIPS);
        return {name == *address || name == given ? std::string() : name, std::move(*address)};
    }
    const Resolved resolved = book.Resolve(name);
    if (resolved.address.empty())
        Refuse(resolved.name + " is in the address book without an address to send to", MAPI_E_UNKNOWN_RECIPIENT);
    return {resolved.name, resolved.address};
}

template <class Texts, class Message>
Composition CompositionOf(const Message &m, const Session &s)
{
    const std::shared_ptr<const AddressBook> shared = s.books->Of(s.profile.addressBook);
    const AddressBook &book = *shared;
    Composition c;
    c.from = {s.profile.senderName, s.profile.senderAddress};
    for (ULONG i = 0; i < m.nRecipCount && m.lpRecips != nullptr; ++i) {
        const auto &r = m.lpRecips[i];
        switch (r.ulRecipClass) {
        case MAPI_TO: c.to.push_back(MailboxOf<Texts>(r, book)); break;
        case MAPI_CC: c.cc.push_back(MailboxOf<Texts>(r, book)); break;
        case MAPI_BCC: c.bcc.push_back(MailboxOf<Texts>(r, book)); break;
        default: Fail(MAPI_E_BAD_RECIPTYPE);
        }
    }
    c.subject = Texts::Text(m.lpszSubject, MAPI_E_FAILURE, "the subject");
    c.body = Texts::Text(m.lpszNoteText, MAPI_E_FAILURE, "the note text");
    c.messageType = Texts::Text(m.lpszMessageType, MAPI_E_FAILURE, "the message type");
    c.conversationId = Texts::Text(m.lpszConversationID, MAPI_E_FAILURE, "the conversation identifier");
    c.receiptRequested = (m.flFlags & MAPI_RECEIPT_REQUESTED) != 0;
    for (ULONG i = 0; i < m.nFileCount && m.lpFiles != nullptr; ++i) {
        const auto &f = m.lpFiles[i];
        if (f.lpszPathName == nullptr || f.lpszPathName[0] == 0)
            Fail(MAPI_E_ATTACHMENT_NOT_FOUND);
        c.attachments.push_back(Texts::File(f));
    }
    return c;
}

} // namespace

Mailbox RecipientMailbox(const MapiRecipDesc &r, const AddressBook &book)
{
    return MailboxOf<NarrowTexts>(r, book);
}

Composition FromRecord(const MapiMessage &m, const Session &s)
{
    return CompositionOf<NarrowTexts>(m, s);
}

Composition FromRecord(const MapiMessageW &m, const Session &s)
{
    return CompositionOf<WideTexts>(m, s);
}

} // namespace kelvra_provider
