// TKelvraSendMail: properties and Send.
#include "kelvra/SendMail.h"

#include "Internal.h"
#include "MapiBlock.h"
#include "Records.h"
#include "WideStringBuffers.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"
#include "kelvra/ListText.h"

#include <filesystem>
#include <system_error>

namespace kelvra {

namespace {

// Raises the send's result; a refused attachment the platform gave no
// reason for is named as the reason: the first file of the list that is
// not a regular file there.
void CheckSend(std::uint32_t result, const String &attach)
{
    try {
        Check(result);
    } catch (const EKelvraError &) {
        if (!LastReason().empty() ||
            (result != MAPI_E_ATTACHMENT_NOT_FOUND && result != MAPI_E_ATTACHMENT_OPEN_FAILURE))
            throw;
        host::TStringList files;
        SplitList(attach, files);
        for (const String &file : files.Lines()) {
            const std::string utf8 = host::ToUtf8(file);
            std::error_code error;
            if (!std::filesystem::is_regular_file(std::filesystem::path(std::u8string(utf8.begin(), utf8.end())),
                                                  error)) {
                SetLastReason(u"not a file that can be attached: " + file);
                throw;
            }
        }
        throw;
    }
}

// MAPISendMail bits of the send flags, one per member in member order.
constexpr std::uint32_t kSendBits[] = {MAPI_DIALOG, MAPI_LOGON_UI, MAPI_NEW_SESSION, 0};

constexpr std::string_view kSendFlagNames[] = {"sfDialog", "sfLogonUI", "sfNewSession", "sfReceiptRequested"};

const bool registered = (host::RegisterClass(TKelvraSendMail::StaticClass()), true);

} // namespace

const host::TComponentClass &TKelvraSendMail::StaticClass()
{
    using host::TStored;
    using S = TKelvraSendMail;
    constexpr auto getBody = static_cast<const host::TStringList &(S::*)() const>(&S::GetBody);
    static const host::TPropertyInfo properties[] = {
        host::TextProperty<S, &S::GetAbout, &S::SetAbout>("About", TStored::Never),
        host::TextProperty<S, &S::GetAttach, &S::SetAttach>("Attach", TStored::WhenNotEmpty),
        host::TextProperty<S, &S::GetBcc, &S::SetBcc>("Bcc", TStored::WhenNotEmpty),
        host::StringsProperty<S, getBody, &S::SetBody>("Body", TStored::Always),
        host::TextProperty<S, &S::GetCc, &S::SetCc>("Cc", TStored::WhenNotEmpty),
        host::SetProperty<S, TSendFlags, &S::GetFlags, &S::SetFlags>("Flags", TStored::Always, kSendFlagNames),
        host::TextProperty<S, &S::GetMessageType, &S::SetMessageType>("MessageType", TStored::WhenNotEmpty),
        host::TextProperty<S, &S::GetSendTo, &S::SetSendTo>("SendTo", TStored::WhenNotEmpty),
        host::ComponentProperty<S, TKelvraSession, &S::GetSession, &S::SetSession>("Session", TStored::WhenNotEmpty),
        host::TextProperty<S, &S::GetSubject, &S::SetSubject>("Subject", TStored::WhenNotEmpty),
    };
    static const host::TComponentClass cls{"TKelvraSendMail", &host::TComponent::StaticClass(),
                                           &host::CreateComponent<S>, properties};
    (void)registered;
    return cls;
}

TKelvraSendMail::TKelvraSendMail(host::TComponent *owner) : TKelvraSessionClient(owner) {}

std::uint32_t TKelvraSendMail::MapiFlags() const
{
    return FlagWord(FFlags, kSendBits);
}

void TKelvraSendMail::Send()
{
    FOutcome.clear();
    if (MAPIUNICODE.load()) {
        if (const LPMAPISENDMAILW sendMailW = OptionalSendMailW()) {
            SendWide(sendMailW);
            FOutcome = PlatformOutcome();
            return;
        }
    }

    // The narrow texts live until Send returns.
    MapiMessage message{};
    host::AnsiString subject = host::ToAnsi(FSubject);
    host::AnsiString noteText = host::ToAnsi(FBody.Text());
    host::AnsiString messageType = host::ToAnsi(FMessageType);
    FillMessage(message, subject, noteText, messageType, FFlags);

    // The records and every text they point to are released on every path.
    TStringBuffers buffers;
    std::vector<MapiRecipDesc> recips = GetMapiRecipients(buffers);
    std::vector<MapiFileDesc> files = GetMapiFiles(buffers);
    AttachRecords(message, recips, files);

    const std::uint32_t flags = MapiFlags();
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPISENDMAIL sendMail = MapiSendMail();
    CheckSend(sendMail(session, window, &message, flags, 0), FAttach);
    FOutcome = PlatformOutcome();
}

void TKelvraSendMail::SendWide(LPMAPISENDMAILW sendMailW)
{
    // The same message as Send builds, with the components' UTF-16 texts
    // unchanged: nothing goes through the code page.
    MapiMessageW message{};
    WideString subject = ToWide(FSubject);
    WideString noteText = ToWide(FBody.Text());
    WideString messageType = ToWide(FMessageType);
    FillMessage(message, subject, noteText, messageType, FFlags);

    TWideStringBuffers buffers;
    std::vector<MapiRecipDescW> recips =
        RecipientRecords<MapiRecipDescW>(FSendTo, FCc, FBcc, [&](const String &item, MapiRecipDescW &recip) {
            // The address book answers in the code page. An item the code
            // page cannot hold exactly is not looked up under a name that
            // lost characters (it could match someone else): it goes as
            // typed, for the platform to resolve from its exact text.
            host::AnsiString name = host::ToAnsi(item);
            lpMapiRecipDesc resolved = nullptr;
            if (host::FromAnsi(name) == item) {
                const ULONG_PTR window = ParentWnd();
                const LHANDLE session = SessionHandle();
                resolved = ResolveEntry(window, session, name.data());
            }
            if (resolved == nullptr) {
                recip.lpszName = buffers.Append(item);
                return;
            }
            TMapiBlock block(resolved);
            recip.lpszName = buffers.Append(NarrowText(resolved->lpszName));
            recip.lpszAddress = buffers.Append(NarrowText(resolved->lpszAddress));
            block.Free();
        });
    std::vector<MapiFileDescW> files =
        FileRecords<MapiFileDescW>(FAttach, [&](const String &item) { return buffers.Append(item); });
    AttachRecords(message, recips, files);

    const std::uint32_t flags = MapiFlags();
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    CheckSend(sendMailW(session, window, &message, flags, 0), FAttach);
}

} // namespace kelvra
