// TKelvraSendMail: composes one message from its properties and sends it.
#pragma once

#include "host/Export.h"

#include "host/StringList.h"
#include "kelvra/Session.h"
#include "kelvra/StringBuffers.h"

#include <cstdint>
#include <vector>

namespace kelvra {

enum class TSendFlag : std::uint8_t {
    sfDialog,           // MAPI_DIALOG: the platform's compose dialog
    sfLogonUI,          // MAPI_LOGON_UI
    sfNewSession,       // MAPI_NEW_SESSION
    sfReceiptRequested, // no call flag: the message asks for a read receipt
};
using TSendFlags = host::Set<TSendFlag>;

class KELVRA_API TKelvraSendMail : public TKelvraSessionClient {
public:
    explicit TKelvraSendMail(host::TComponent *owner = nullptr);

    static const host::TComponentClass &StaticClass();
    const host::TComponentClass &ClassType() const override { return StaticClass(); }

    // Builds the message from the properties and hands it to MAPISendMail;
    // with MAPIUNICODE on and a platform that has it, to MAPISendMailW as
    // UTF-16 texts (Binding.h). Every failure raises; no property changes.
    void Send();
    // What the last successful Send did, in the platform library's words:
    // "sent to ... (smtp://...)", "handed to /usr/sbin/sendmail for ...",
    // "delivered into the mailbox ...", "handed to the mail client, ...".
    // Empty before a send, after one that failed, and where the library
    // says nothing (the system's MAPI32.DLL on Windows). Not a published
    // property.
    String Outcome() const { return FOutcome; }
    // Lets the user edit SendTo, Cc and Bcc in the platform's address-book
    // dialog; false (and nothing changed) when the user cancelled.
    bool SelectRecipients();
    // Lets the user pick files and appends them to Attach; false (and
    // nothing changed) when the user cancelled.
    bool AddAttachment();

    // The MAPISendMail flag word of Flags.
    std::uint32_t MapiFlags() const;

    // The parts of the record Send builds, for an application that builds
    // its own MapiMessage (to add fields Send leaves empty) and calls the
    // platform itself. Each record's texts belong to `buffers`, which must
    // outlive every use of the records; nothing needs MAPIFreeBuffer.
    //
    // The records of SendTo (class MAPI_TO), then Cc (MAPI_CC), then Bcc
    // (MAPI_BCC), in list order, each item resolved as SetRecipient does.
    // Empty without items. Loads the platform library if needed and uses
    // the Session's handle (0 without one); raises EKelvraError when the
    // library cannot be loaded or lacks MAPIResolveName.
    std::vector<MapiRecipDesc> GetMapiRecipients(TStringBuffers &buffers);
    // Fills the name and address of `recip` from `item`, one trimmed list
    // item (its class and other fields stay as the caller set them): the
    // entry MAPIResolveName finds, or the item as a name only when it finds
    // none or fails (the platform then has the last word at sending).
    void SetRecipient(std::u16string_view item, MapiRecipDesc &recip, TStringBuffers &buffers);
    // The records of Attach, in reverse list order, each a path and the
    // name the recipient sees; no platform call. Empty without attachments.
    std::vector<MapiFileDesc> GetMapiFiles(TStringBuffers &buffers) const;

    // Published properties.
    const String &GetAbout() const { return AboutText(); }
    void SetAbout(const String &) {}
    const String &GetAttach() const { return FAttach; }
    void SetAttach(const String &value) { FAttach = value; }
    const String &GetBcc() const { return FBcc; }
    void SetBcc(const String &value) { FBcc = value; }
    host::TStringList &GetBody() { return FBody; }
    const host::TStringList &GetBody() const { return FBody; }
    void SetBody(const host::TStringList &value) { FBody.Assign(value); }
    const String &GetCc() const { return FCc; }
    void SetCc(const String &value) { FCc = value; }
    TSendFlags GetFlags() const { return FFlags; }
    void SetFlags(TSendFlags value) { FFlags = value; }
    const String &GetMessageType() const { return FMessageType; }
    void SetMessageType(const String &value) { FMessageType = value; }
    const String &GetSendTo() const { return FSendTo; }
    void SetSendTo(const String &value) { FSendTo = value; }
    const String &GetSubject() const { return FSubject; }
    void SetSubject(const String &value) { FSubject = value; }

private:
    // Send's wide form: the same record with the texts as UTF-16.
    void SendWide(LPMAPISENDMAILW sendMailW);

    String FAttach;
    String FBcc;
    host::TStringList FBody;
    String FCc;
    TSendFlags FFlags;
    String FMessageType;
    String FOutcome;
    String FSubject;
    String FSendTo;
};

} // namespace kelvra
