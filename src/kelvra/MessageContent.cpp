// TKelvraReadMail: the content of the held message. Getters read the record
// as it is now; setters write into it, so that Save hands the edits back.
// Nothing here calls the platform or raises for a missing record.
#include "kelvra/ReadMail.h"

#include "Internal.h"
#include "kelvra/ListText.h"

namespace kelvra {

namespace {

struct FlagBit {
    TMessageFlag member;
    ULONG bit;
};
constexpr FlagBit kMessageBits[] = {
    {TMessageFlag::mfReceiptRequested, MAPI_RECEIPT_REQUESTED},
    {TMessageFlag::mfSent, MAPI_SENT},
    {TMessageFlag::mfUnread, MAPI_UNREAD},
};

// The message's attachment or recipient at `index`; null past the count
// the record gives, or when it gives none.
const MapiFileDesc *FileAt(const MapiMessage *message, std::uint32_t index)
{
    if (message == nullptr || index >= message->nFileCount || message->lpFiles == nullptr)
        return nullptr;
    return &message->lpFiles[index];
}
const MapiRecipDesc *RecipAt(const MapiMessage *message, std::uint32_t index)
{
    if (message == nullptr || index >= message->nRecipCount || message->lpRecips == nullptr)
        return nullptr;
    return &message->lpRecips[index];
}

} // namespace

void TKelvraReadMail::PutText(EditedText field, char *&target, const String &value)
{
    // The record points at our own copy, which lives until the record is
    // released or this field is set again. Empty goes as "", not null.
    FEdited[field] = host::ToAnsi(value);
    target = FEdited[field].data();
}

host::TStringList TKelvraReadMail::GetBody() const
{
    host::TStringList body;
    if (FMapiMessage != nullptr)
        body.SetText(NarrowText(FMapiMessage->lpszNoteText));
    return body;
}

void TKelvraReadMail::SetBody(const host::TStringList &value)
{
    if (FMapiMessage == nullptr)
        return;
    String text = value.Text();
    if (text.size() >= 2)
        text.resize(text.size() - 2); // the break after the last line
    PutText(etNoteText, FMapiMessage->lpszNoteText, text);
}

// The five plain text fields of the record read and write alike.
#define KELVRA_TEXT_FIELD(Name, field, slot)                                   \
    String TKelvraReadMail::Get##Name() const                                  \
    {                                                                          \
        return FMapiMessage != nullptr ? NarrowText(FMapiMessage->field)       \
                                       : String();                             \
    }                                                                          \
    void TKelvraReadMail::Set##Name(const String &value)                       \
    {                                                                          \
        if (FMapiMessage != nullptr)                                           \
            PutText(slot, FMapiMessage->field, value);                         \
    }

KELVRA_TEXT_FIELD(Subject, lpszSubject, etSubject)
KELVRA_TEXT_FIELD(BodyText, lpszNoteText, etNoteText)
KELVRA_TEXT_FIELD(MessageType, lpszMessageType, etMessageType)
KELVRA_TEXT_FIELD(DateReceived, lpszDateReceived, etDateReceived)
KELVRA_TEXT_FIELD(ConversationID, lpszConversationID, etConversationID)
#undef KELVRA_TEXT_FIELD

String TKelvraReadMail::GetOriginatorName() const
{
    if (FMapiMessage == nullptr || FMapiMessage->lpOriginator == nullptr)
        return {};
    return NarrowText(FMapiMessage->lpOriginator->lpszName);
}

void TKelvraReadMail::SetOriginatorName(const String &value)
{
    if (FMapiMessage != nullptr && FMapiMessage->lpOriginator != nullptr)
        PutText(etOriginatorName, FMapiMessage->lpOriginator->lpszName, value);
}

String TKelvraReadMail::GetOriginatorAddress() const
{
    if (FMapiMessage == nullptr || FMapiMessage->lpOriginator == nullptr)
        return {};
    return NarrowText(FMapiMessage->lpOriginator->lpszAddress);
}

void TKelvraReadMail::SetOriginatorAddress(const String &value)
{
    if (FMapiMessage != nullptr && FMapiMessage->lpOriginator != nullptr)
        PutText(etOriginatorAddress, FMapiMessage->lpOriginator->lpszAddress, value);
}

TMessageFlags TKelvraReadMail::GetMessageFlags() const
{
    TMessageFlags flags;
    if (FMapiMessage == nullptr)
        return flags;
    for (const FlagBit &f : kMessageBits)
        if ((FMapiMessage->flFlags & f.bit) != 0)
            flags.Include(f.member);
    return flags;
}

void TKelvraReadMail::SetMessageFlags(TMessageFlags value)
{
    if (FMapiMessage == nullptr || value == GetMessageFlags())
        return;
    // Only our three bits change; whatever else the platform set stays.
    for (const FlagBit &f : kMessageBits) {
        if (value.Contains(f.member))
            FMapiMessage->flFlags |= f.bit;
        else
            FMapiMessage->flFlags &= ~f.bit;
    }
}

std::uint32_t TKelvraReadMail::GetFileCount() const
{
    return FMapiMessage != nullptr ? FMapiMessage->nFileCount : 0;
}

std::uint32_t TKelvraReadMail::GetRecipientCount() const
{
    return FMapiMessage != nullptr ? FMapiMessage->nRecipCount : 0;
}

String TKelvraReadMail::GetFileName(std::uint32_t index) const
{
    const auto *item = FileAt(FMapiMessage, index);
    return item != nullptr ? NarrowText(item->lpszFileName) : String();
}

String TKelvraReadMail::GetPathName(std::uint32_t index) const
{
    const auto *item = FileAt(FMapiMessage, index);
    return item != nullptr ? NarrowText(item->lpszPathName) : String();
}

String TKelvraReadMail::GetRecipientName(std::uint32_t index) const
{
    const auto *item = RecipAt(FMapiMessage, index);
    return item != nullptr ? NarrowText(item->lpszName) : String();
}

String TKelvraReadMail::GetRecipientAddress(std::uint32_t index) const
{
    const auto *item = RecipAt(FMapiMessage, index);
    return item != nullptr ? NarrowText(item->lpszAddress) : String();
}

TRecipientType TKelvraReadMail::GetRecipientType(std::uint32_t index) const
{
    const MapiRecipDesc *recip = RecipAt(FMapiMessage, index);
    if (recip == nullptr)
        return TRecipientType::rtOriginator;
    switch (recip->ulRecipClass) {
    case MAPI_TO:
        return TRecipientType::rtTo;
    case MAPI_CC:
        return TRecipientType::rtCc;
    case MAPI_BCC:
        return TRecipientType::rtBcc;
    default:
        return TRecipientType::rtOriginator;
    }
}

String TKelvraReadMail::GetFiles() const
{
    String list;
    for (std::uint32_t i = 0; i < GetFileCount(); ++i) {
        String item = GetFileName(i);
        if (item.empty())
            item = GetPathName(i);
        if (!item.empty())
            AppendListItem(list, item);
    }
    return list;
}

String TKelvraReadMail::GetRecipients() const
{
    String list;
    for (std::uint32_t i = 0; i < GetRecipientCount(); ++i) {
        String item = GetRecipientName(i);
        if (item.empty())
            item = GetRecipientAddress(i);
        if (!item.empty())
            AppendListItem(list, item);
    }
    return list;
}

} // namespace kelvra
