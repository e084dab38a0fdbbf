// TKelvraSession, the shared Simple MAPI logon, and the session reference
// that the other components hold.
#pragma once

#include "host/Export.h"

#include "host/Component.h"
#include "host/Properties.h"
#include "host/Set.h"
#include "mapi/SimpleMapi.h"

#include <cstdint>

namespace kelvra {

using host::String;

// The same text on every component: "Version", the version, a credit line.
KELVRA_API const String &AboutText();

enum class TSessionFlag : std::uint8_t {
    seForceDownload,  // MAPI_FORCE_DOWNLOAD
    seLogonUI,        // MAPI_LOGON_UI
    seNewSession,     // MAPI_NEW_SESSION
    sePasswordUI,     // MAPI_PASSWORD_UI
    seNoParentWindow, // no platform bit: the platform's dialogs get no parent window
};
using TSessionFlags = host::Set<TSessionFlag>;

// Logs on with MAPILogon when opened, keeps the session handle, logs off
// when closed or destroyed. Active exactly when Handle() is not 0.
class KELVRA_API TKelvraSession : public host::TComponent {
public:
    explicit TKelvraSession(host::TComponent *owner = nullptr);
    // Logs off an active session. A failing logoff cannot raise out of a
    // destructor: the handle is cleared and the failure goes to
    // host::Application().HandleException. Call Close() first to see it.
    ~TKelvraSession() override;

    static const host::TComponentClass &StaticClass();
    const host::TComponentClass &ClassType() const override { return StaticClass(); }

    // Logs on unless active.
    void Open();
    // Logs off if active; the session is inactive afterwards even when the
    // platform reports a failure (which then raises).
    void Close();

    LHANDLE Handle() const { return FHandle; }

    // Published properties.
    const String &GetAbout() const { return AboutText(); }
    void SetAbout(const String &) {}
    bool GetActive() const { return FHandle != 0; }
    void SetActive(bool value);
    TSessionFlags GetFlags() const { return FFlags; }
    void SetFlags(TSessionFlags value) { FFlags = value; }
    const String &GetPassword() const { return FPassword; }
    void SetPassword(const String &value) { FPassword = value; }
    const String &GetProfileName() const { return FProfileName; }
    void SetProfileName(const String &value) { FProfileName = value; }

    // The MAPILogon flag word of Flags.
    std::uint32_t MapiFlags() const;

    void Loaded() override;

protected:
    // Logs on and stores the handle (logging off a held one first).
    virtual void CreateHandle();
    // Logs off and clears the handle; the handle is 0 even when it raises.
    void FreeHandle();

private:
    bool FActive = false;
    TSessionFlags FFlags;
    LHANDLE FHandle = 0;
    String FPassword;
    String FProfileName;
};

// The session reference the send-mail, read-mail and contact components
// share. The reference is dropped when the session is destroyed, whoever
// owns either of them.
class KELVRA_API TKelvraSessionClient : public host::TComponent {
public:
    TKelvraSession *GetSession() const { return FSession; }
    void SetSession(TKelvraSession *value);

    // 0 without a session; otherwise the session's handle, logging it on
    // first when it is not active (which may raise).
    LHANDLE SessionHandle();

    void Notification(host::TComponent *component, host::TOperation operation) override;

protected:
    explicit TKelvraSessionClient(host::TComponent *owner) : host::TComponent(owner) {}
    // The parent-window argument of this component's platform calls.
    ULONG_PTR ParentWnd() const;

private:
    TKelvraSession *FSession = nullptr;
};

} // namespace kelvra
