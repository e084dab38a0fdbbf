// TKelvraSendMail: properties and Send.
#include "kelvra/SendMail.h"

#include "Internal.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"

namespace kelvra {

namespace {

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
    MapiMessage message{};

    // The narrow texts live until Send returns; empty ones go as null.
    const host::AnsiString subject = host::ToAnsi(FSubject);
    if (!subject.empty())
        message.lpszSubject = const_cast<char *>(subject.c_str());

    // Every line followed by CR LF, less the break after the last line: one
    // empty line is an empty (not null) text, no lines no text at all.
    host::AnsiString noteText = host::ToAnsi(FBody.Text());
    if (noteText.size() >= 2) {
        noteText.resize(noteText.size() - 2);
        message.lpszNoteText = noteText.data();
    }

    const host::AnsiString messageType = host::ToAnsi(FMessageType);
    if (!messageType.empty())
        message.lpszMessageType = const_cast<char *>(messageType.c_str());

    if (FFlags.Contains(TSendFlag::sfReceiptRequested))
        message.flFlags = MAPI_RECEIPT_REQUESTED;

    // The records and every text they point to are released on every path.
    TStringBuffers buffers;
    std::vector<MapiRecipDesc> recips = GetMapiRecipients(buffers);
    message.nRecipCount = RecordCount(recips.size());
    message.lpRecips = recips.empty() ? nullptr : recips.data();
    std::vector<MapiFileDesc> files = GetMapiFiles(buffers);
    message.nFileCount = RecordCount(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();

    const std::uint32_t flags = MapiFlags();
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPISENDMAIL sendMail = MapiSendMail();
    Check(sendMail(session, window, &message, flags, 0));
}

} // namespace kelvra
