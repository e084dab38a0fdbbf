#include "kelvra/Session.h"
#include "kelvra/Version.h"

#include "Internal.h"
#include "host/Application.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"

#include <string_view>

namespace kelvra {

namespace {

// MAPILogon bits of the session flags, one per member in member order.
constexpr std::uint32_t kLogonBits[] = {
    MAPI_FORCE_DOWNLOAD, MAPI_LOGON_UI, MAPI_NEW_SESSION, MAPI_PASSWORD_UI, 0,
};

constexpr std::string_view kSessionFlagNames[] = {
    "seForceDownload", "seLogonUI", "seNewSession", "sePasswordUI", "seNoParentWindow",
};

// A narrow argument: null for an empty text, never a pointer to "".
const char *NarrowOrNull(const host::AnsiString &text)
{
    return text.empty() ? nullptr : text.c_str();
}

const bool registered = (host::RegisterClass(TKelvraSession::StaticClass()), true);

} // namespace

const String &AboutText()
{
    static const String text = u"Version " + host::FromAscii(KELVRA_VERSION_STRING) +
                               u" - Kelvra mail components for Simple MAPI, by the Kelvra developers";
    return text;
}

ULONG_PTR ParentWindow(const TKelvraSession *session)
{
    if (session == nullptr || session->GetFlags().Contains(TSessionFlag::seNoParentWindow))
        return 0;
    return host::Application().Handle();
}

// ---- TKelvraSession -------------------------------------------------------

const host::TComponentClass &TKelvraSession::StaticClass()
{
    using host::TStored;
    using S = TKelvraSession;
    static const host::TPropertyInfo properties[] = {
        host::TextProperty<S, &S::GetAbout, &S::SetAbout>("About", TStored::Never),
        host::BooleanProperty<S, &S::GetActive, &S::SetActive>("Active", TStored::Always),
        host::SetProperty<S, TSessionFlags, &S::GetFlags, &S::SetFlags>("Flags", TStored::Always,
                                                                       kSessionFlagNames),
        host::TextProperty<S, &S::GetPassword, &S::SetPassword>("Password", TStored::WhenNotEmpty),
        host::TextProperty<S, &S::GetProfileName, &S::SetProfileName>("ProfileName", TStored::WhenNotEmpty),
    };
    static const host::TComponentClass cls{"TKelvraSession", &host::TComponent::StaticClass(),
                                           &host::CreateComponent<S>, properties};
    (void)registered;
    return cls;
}

TKelvraSession::TKelvraSession(host::TComponent *owner) : host::TComponent(owner) {}

TKelvraSession::~TKelvraSession()
{
    Destroying();
    try {
        Close();
    } catch (const std::exception &error) {
        host::Application().HandleException(error);
    }
}

void TKelvraSession::Open()
{
    if (!GetActive())
        CreateHandle();
}

void TKelvraSession::Close()
{
    FreeHandle();
}

void TKelvraSession::SetActive(bool value)
{
    if (value != GetActive() && !ComponentState().Contains(host::TComponentStateFlag::csLoading)) {
        if (value)
            Open();
        else
            Close();
    }
    FActive = value;
}

void TKelvraSession::Loaded()
{
    host::TComponent::Loaded();
    SetActive(FActive);
}

std::uint32_t TKelvraSession::MapiFlags() const
{
    return FlagWord(FFlags, kLogonBits);
}

void TKelvraSession::CreateHandle()
{
    FreeHandle();
    try {
        // The arguments in their order: profile, password, flags, window, entry point.
        const host::AnsiString profile = host::ToAnsi(FProfileName);
        const host::AnsiString password = host::ToAnsi(FPassword);
        const std::uint32_t flags = MapiFlags();
        const ULONG_PTR window = ParentWindow(this);
        const LPMAPILOGON logon = MapiLogOn();
        // The platform writes the new handle straight into FHandle.
        Check(logon(window, const_cast<char *>(NarrowOrNull(profile)), const_cast<char *>(NarrowOrNull(password)),
                    flags, 0, &FHandle));
    } catch (...) {
        // Whatever the platform wrote there, a failed logon holds no session.
        FHandle = 0;
        throw;
    }
}

void TKelvraSession::FreeHandle()
{
    if (FHandle == 0)
        return;
    struct ClearHandle {
        LHANDLE &handle;
        ~ClearHandle() { handle = 0; }
    } clear{FHandle};
    const ULONG_PTR window = ParentWindow(this);
    const LPMAPILOGOFF logoff = MapiLogOff();
    Check(logoff(FHandle, window, 0, 0));
}

// ---- TKelvraSessionClient -------------------------------------------------

void TKelvraSessionClient::SetSession(TKelvraSession *value)
{
    if (value == FSession)
        return;
    // Ask to be told when the session goes, whoever owns it, so that the
    // reference can never outlive it.
    if (FSession != nullptr)
        FSession->RemoveFreeNotification(this);
    FSession = value;
    if (FSession != nullptr)
        FSession->FreeNotification(this);
}

LHANDLE TKelvraSessionClient::SessionHandle()
{
    if (FSession == nullptr)
        return 0;
    FSession->Open();
    return FSession->Handle();
}

ULONG_PTR TKelvraSessionClient::ParentWnd() const
{
    return ParentWindow(FSession);
}

void TKelvraSessionClient::Notification(host::TComponent *component, host::TOperation operation)
{
    host::TComponent::Notification(component, operation);
    // Compared as addresses: by now the session's own destructor has run, so
    // FSession must not be converted to its base any more.
    if (operation == host::TOperation::opRemove && component != nullptr &&
        static_cast<const void *>(component) == static_cast<const void *>(FSession))
        FSession = nullptr;
}

} // namespace kelvra
