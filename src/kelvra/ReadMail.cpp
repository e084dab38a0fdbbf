// TKelvraReadMail: properties, the held record, navigation.
#include "kelvra/ReadMail.h"

#include "Internal.h"
#include "host/Application.h"
#include "host/System.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"

#include <cstring>

namespace kelvra {

namespace {

// What a read that succeeds without handing out a message is taken as: the
// all-ones code, which Check raises as ErrorCode -1.
constexpr std::uint32_t kNothingHandedOut = 0xFFFFFFFFu;

} // namespace

namespace {

constexpr std::uint32_t kReadBits[] = {MAPI_BODY_AS_FILE, MAPI_ENVELOPE_ONLY, MAPI_PEEK, MAPI_SUPPRESS_ATTACH};
constexpr std::uint32_t kFindBits[] = {MAPI_GUARANTEE_FIFO, MAPI_UNREAD_ONLY};

constexpr std::string_view kReadFlagNames[] = {"rfBodyAsFile", "rfEnvelopeOnly", "rfPeek", "rfSuppressAttach"};
constexpr std::string_view kFindFlagNames[] = {"ffFifo", "ffUnreadOnly"};
constexpr std::string_view kMessageFlagNames[] = {"mfReceiptRequested", "mfSent", "mfUnread"};

// The identifier buffer of MAPIFindNext: 512 characters with
// MAPI_LONG_MSGID, and room to spare.
constexpr std::size_t kFindBufferSize = 514;

const bool registered = (host::RegisterClass(TKelvraReadMail::StaticClass()), true);

// The last path or drive separator of the platform; a path without one
// has no folder part.
bool HasFolderPart(const String &path)
{
#if defined(_WIN32)
    return path.find_last_of(u"\\/:") != String::npos;
#else
    return path.find(u'/') != String::npos;
#endif
}

} // namespace

const host::TComponentClass &TKelvraReadMail::StaticClass()
{
    using host::TStored;
    using R = TKelvraReadMail;
    static const host::TPropertyInfo properties[] = {
        host::TextProperty<R, &R::GetAbout, &R::SetAbout>("About", TStored::Never),
        host::StringsProperty<R, &R::GetBody, &R::SetBody>("Body", TStored::Never),
        host::TextProperty<R, &R::GetBodyText, &R::SetBodyText>("BodyText", TStored::Never),
        host::TextProperty<R, &R::GetConversationID, &R::SetConversationID>("ConversationID", TStored::Never),
        host::TextProperty<R, &R::GetDateReceived, &R::SetDateReceived>("DateReceived", TStored::Never),
        host::IntegerProperty<R, &R::GetFileCount, &R::SetFileCount>("FileCount", TStored::Never),
        host::TextProperty<R, &R::GetFiles, &R::SetFiles>("Files", TStored::Never),
        host::SetProperty<R, TFindFlags, &R::GetFindFlags, &R::SetFindFlags>("FindFlags", TStored::Always,
                                                                            kFindFlagNames),
        host::SetProperty<R, TMessageFlags, &R::GetMessageFlags, &R::SetMessageFlags>("MessageFlags", TStored::Never,
                                                                                     kMessageFlagNames),
        host::TextProperty<R, &R::GetMessageID, &R::SetMessageID>("MessageID", TStored::Never),
        host::TextProperty<R, &R::GetMessageType, &R::SetMessageType>("MessageType", TStored::Never),
        host::TextProperty<R, &R::GetMessageTypeFilter, &R::SetMessageTypeFilter>("MessageTypeFilter",
                                                                                 TStored::WhenNotEmpty),
        host::TextProperty<R, &R::GetOriginatorAddress, &R::SetOriginatorAddress>("OriginatorAddress", TStored::Never),
        host::TextProperty<R, &R::GetOriginatorName, &R::SetOriginatorName>("OriginatorName", TStored::Never),
        host::SetProperty<R, TReadFlags, &R::GetReadFlags, &R::SetReadFlags>("ReadFlags", TStored::Always,
                                                                            kReadFlagNames),
        host::IntegerProperty<R, &R::GetRecipientCount, &R::SetRecipientCount>("RecipientCount", TStored::Never),
        host::TextProperty<R, &R::GetRecipients, &R::SetRecipients>("Recipients", TStored::Never),
        host::ComponentProperty<R, TKelvraSession, &R::GetSession, &R::SetSession>("Session", TStored::WhenNotEmpty),
        host::TextProperty<R, &R::GetSubject, &R::SetSubject>("Subject", TStored::Never),
    };
    static const host::TComponentClass cls{"TKelvraReadMail", &host::TComponent::StaticClass(),
                                           &host::CreateComponent<R>, properties};
    (void)registered;
    return cls;
}

TKelvraReadMail::TKelvraReadMail(host::TComponent *owner) : TKelvraSessionClient(owner) {}

TKelvraReadMail::~TKelvraReadMail()
{
    Destroying();
    try {
        FreeMapiMessage();
    } catch (const std::exception &error) {
        host::Application().HandleException(error);
    }
}

TReadMailState TKelvraReadMail::State() const
{
    if (FMapiMessage != nullptr)
        return TReadMailState::Held;
    return FMessageID.empty() ? TReadMailState::NoMessage : TReadMailState::SelectedNotHeld;
}

std::uint32_t TKelvraReadMail::MapiReadFlags() const { return FlagWord(FReadFlags, kReadBits); }
std::uint32_t TKelvraReadMail::MapiFindFlags() const { return FlagWord(FFindFlags, kFindBits); }

// ---- Navigation ---------------------------------------------------------------

bool TKelvraReadMail::NextMessageID(const host::AnsiString &messageID, const host::AnsiString &messageType,
                                    host::AnsiString &nextMessageID)
{
    char buffer[kFindBufferSize] = {};
    // Empty seed and type go as empty strings, never as null.
    const std::uint32_t flags = MapiFindFlags() | MAPI_LONG_MSGID;
    host::AnsiString seed = messageID;
    host::AnsiString type = messageType;
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPIFINDNEXT findNext = MapiFindNext();
    const ULONG result = findNext(session, window, type.data(), seed.data(), flags, 0, buffer);
    if (result == MAPI_E_NO_MESSAGES) {
        nextMessageID.clear();
        return false;
    }
    Check(result);
    host::AnsiString found(buffer, strnlen(buffer, sizeof buffer));
    // A platform that answers with the seed itself would keep every walk
    // (First/Next, MessageCount, a designer's list) going for ever.
    CheckCondition(found != messageID || messageID.empty(),
                   u"The platform returned the message it was asked to go past; the walk stops here.");
    nextMessageID = std::move(found);
    return true;
}

bool TKelvraReadMail::InternalNext(const host::AnsiString &messageID, const host::AnsiString &messageType)
{
    host::AnsiString found;
    if (!NextMessageID(messageID, messageType, found)) {
        FMessageID.clear();
        FreeMapiMessage();
        return false;
    }
    FMessageID = std::move(found);
    Read();
    return true;
}

bool TKelvraReadMail::First()
{
    return InternalNext({}, host::ToAnsi(FMessageTypeFilter));
}

bool TKelvraReadMail::Next()
{
    // A copy: InternalNext replaces FMessageID.
    const host::AnsiString seed = FMessageID;
    return InternalNext(seed, host::ToAnsi(FMessageTypeFilter));
}

std::int32_t TKelvraReadMail::MessageCount() { return MessageCount(nullptr); }

std::int32_t TKelvraReadMail::MessageCount(const std::function<void(std::int32_t counted)> &counted)
{
    // The held message's type, not the filter: what the walk counts is what
    // is in front of the user.
    std::int32_t count = 0;
    host::AnsiString seed;
    const host::AnsiString type = host::ToAnsi(GetMessageType());
    while (NextMessageID(seed, type, seed)) {
        ++count;
        if (counted)
            counted(count);
    }
    return count;
}

void TKelvraReadMail::Read()
{
    FreeMapiMessage();
    const std::uint32_t flags = MapiReadFlags();
    host::AnsiString id = FMessageID;
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPIREADMAIL readMail = MapiReadMail();
    Check(readMail(session, window, id.data(), flags, 0, &FMapiMessage));
    if (FMapiMessage == nullptr)
        Check(kNothingHandedOut);
}

void TKelvraReadMail::FreeMapiMessage()
{
    if (FMapiMessage == nullptr)
        return;
    // The record is gone afterwards whatever raises on the way.
    struct Forget {
        TKelvraReadMail &self;
        ~Forget()
        {
            self.FMapiMessage = nullptr;
            for (host::AnsiString &copy : self.FEdited)
                host::AnsiString().swap(copy);
        }
    } forget{*this};
    DeleteTempFiles();
    const LPMAPIFREEBUFFER freeBuffer = MapiFreeBuffer();
    Check(freeBuffer(FMapiMessage));
}

void TKelvraReadMail::DeleteTempFiles()
{
    // With attachments suppressed and the body kept in the record, the
    // platform wrote no files.
    if (FReadFlags.Contains(TReadFlag::rfSuppressAttach) && !FReadFlags.Contains(TReadFlag::rfBodyAsFile))
        return;
    if (FMapiMessage == nullptr || FMapiMessage->lpFiles == nullptr)
        return;
    for (ULONG i = 0; i < FMapiMessage->nFileCount; ++i) {
        const char *pathName = FMapiMessage->lpFiles[i].lpszPathName;
        if (pathName == nullptr)
            continue;
        const String path = host::FromAnsi(pathName);
        // Only the platform's temporary copies: a record may name a file of
        // the user's (a provider handing back an original, or a record the
        // application edited), and that must never be deleted.
        if (HasFolderPart(path) && host::IsInTempFolder(path))
            host::RemoveFile(path);
    }
}

// ---- Selection ----------------------------------------------------------------

void TKelvraReadMail::SetMessageID(const String &value)
{
    host::AnsiString id = host::ToAnsi(value);
    if (id == FMessageID)
        return;
    FMessageID = std::move(id);
    if (!FMessageID.empty())
        Read();
    else
        FreeMapiMessage();
}

void TKelvraReadMail::SetReadFlags(TReadFlags value)
{
    if (value == FReadFlags)
        return;
    // Released under the old flags: they say which files the platform wrote.
    FreeMapiMessage();
    FReadFlags = value;
    if (!FMessageID.empty())
        Read();
}

void TKelvraReadMail::SetMessageTypeFilter(const String &value)
{
    if (value == FMessageTypeFilter)
        return;
    FMessageTypeFilter = value;
    if (!FMessageID.empty())
        Read();
}

} // namespace kelvra
