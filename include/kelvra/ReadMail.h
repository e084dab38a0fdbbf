// TKelvraReadMail: walks, reads, edits, saves and deletes the messages of
// the mailbox.
#pragma once

#include "host/Export.h"

#include "host/StringList.h"
#include "kelvra/Session.h"

#include <array>
#include <cstdint>
#include <functional>

namespace kelvra {

enum class TReadFlag : std::uint8_t {
    rfBodyAsFile,     // MAPI_BODY_AS_FILE
    rfEnvelopeOnly,   // MAPI_ENVELOPE_ONLY
    rfPeek,           // MAPI_PEEK
    rfSuppressAttach, // MAPI_SUPPRESS_ATTACH
};
using TReadFlags = host::Set<TReadFlag>;

enum class TFindFlag : std::uint8_t {
    ffFifo,       // MAPI_GUARANTEE_FIFO
    ffUnreadOnly, // MAPI_UNREAD_ONLY
};
using TFindFlags = host::Set<TFindFlag>;

enum class TMessageFlag : std::uint8_t { mfReceiptRequested, mfSent, mfUnread };
using TMessageFlags = host::Set<TMessageFlag>;

enum class TRecipientType : std::uint8_t { rtOriginator, rtTo, rtCc, rtBcc };

// The component is always in one of three states: no message selected; a
// message selected and its record held; a message selected but not held
// (after Delete, or a read that failed). Every way out of "held" releases
// the record through FreeMapiMessage.
enum class TReadMailState : std::uint8_t { NoMessage, Held, SelectedNotHeld };

class KELVRA_API TKelvraReadMail : public TKelvraSessionClient {
public:
    explicit TKelvraReadMail(host::TComponent *owner = nullptr);
    // Releases a held record and deletes its temporary files. A failing
    // release cannot raise out of a destructor: it goes to
    // host::Application().HandleException.
    ~TKelvraReadMail() override;

    static const host::TComponentClass &StaticClass();
    const host::TComponentClass &ClassType() const override { return StaticClass(); }

    TReadMailState State() const;
    // The held record as the platform returned it (with the edits made
    // here), or null; valid until the component releases it.
    const MapiMessage *GetMapiMessage() const { return FMapiMessage; }

    // ---- Navigation --------------------------------------------------------
    // The identifier after `messageID` (the first for an empty one) among the
    // messages of `messageType`; false, with `nextMessageID` empty, at the end.
    // A platform that answers with `messageID` itself (a walk that would
    // never end) raises EKelvraError with ErrorCode 0, which ends the walk:
    // First, Next and MessageCount raise it too.
    bool NextMessageID(const host::AnsiString &messageID, const host::AnsiString &messageType,
                       host::AnsiString &nextMessageID);
    // Select and read the first message of MessageTypeFilter; false if none.
    bool First();
    // Select and read the message after the current one; false at the end
    // (which clears the selection, so the next call starts over).
    bool Next();
    // The number of messages a walk from the start finds, with the held
    // message's type (empty without one). Moves nothing.
    std::int32_t MessageCount();
    // The same, calling `counted` with the count so far after each message
    // found (to show progress on a long count).
    std::int32_t MessageCount(const std::function<void(std::int32_t counted)> &counted);
    // (Re)reads the selected message.
    void Read();
    // Releases the held record (and its temporary files), if any.
    void FreeMapiMessage();

    // ---- Saving and deleting -----------------------------------------------
    // Hands the held record (with its edits) back to the platform; with no
    // message selected the platform stores it as a new message (an empty
    // identifier, never a null one). A record read with rfEnvelopeOnly,
    // rfSuppressAttach or rfBodyAsFile lacks its body or attachments and is
    // refused (EKelvraError, code 0) before the platform is called: read the
    // message again without those flags first.
    void Save();
    // Releases the held record, then deletes the selected message from the
    // mailbox; the identifier stays selected, so Next continues after it.
    // With no message selected the platform is asked to delete the empty
    // identifier (never a null one) and answers with its error.
    void Delete();

    std::uint32_t MapiReadFlags() const;
    std::uint32_t MapiFindFlags() const;

    // ---- Published properties ----------------------------------------------
    const String &GetAbout() const { return AboutText(); }
    void SetAbout(const String &) {}
    // The note text as lines: a copy, so edits to it reach nothing; edit
    // through SetBody or SetBodyText.
    host::TStringList GetBody() const;
    void SetBody(const host::TStringList &value);
    String GetBodyText() const;
    void SetBodyText(const String &value);
    String GetConversationID() const;
    void SetConversationID(const String &value);
    String GetDateReceived() const;
    void SetDateReceived(const String &value);
    std::uint32_t GetFileCount() const;
    void SetFileCount(std::uint32_t) {}
    String GetFiles() const;
    void SetFiles(const String &) {}
    TFindFlags GetFindFlags() const { return FFindFlags; }
    void SetFindFlags(TFindFlags value) { FFindFlags = value; }
    TMessageFlags GetMessageFlags() const;
    void SetMessageFlags(TMessageFlags value);
    String GetMessageID() const { return host::FromAnsi(FMessageID); }
    void SetMessageID(const String &value);
    String GetMessageType() const;
    void SetMessageType(const String &value);
    const String &GetMessageTypeFilter() const { return FMessageTypeFilter; }
    void SetMessageTypeFilter(const String &value);
    String GetOriginatorAddress() const;
    void SetOriginatorAddress(const String &value);
    String GetOriginatorName() const;
    void SetOriginatorName(const String &value);
    TReadFlags GetReadFlags() const { return FReadFlags; }
    void SetReadFlags(TReadFlags value);
    std::uint32_t GetRecipientCount() const;
    void SetRecipientCount(std::uint32_t) {}
    String GetRecipients() const;
    void SetRecipients(const String &) {}
    String GetSubject() const;
    void SetSubject(const String &value);

    // ---- Entries of the held message (empty when out of range) -------------
    String GetFileName(std::uint32_t index) const;
    String GetPathName(std::uint32_t index) const;
    String GetRecipientAddress(std::uint32_t index) const;
    String GetRecipientName(std::uint32_t index) const;
    TRecipientType GetRecipientType(std::uint32_t index) const;

private:
    // The record's text fields that can be edited, and the narrow copies
    // the record points at once they are.
    enum EditedText : std::size_t {
        etSubject, etNoteText, etMessageType, etDateReceived, etConversationID,
        etOriginatorName, etOriginatorAddress, etCount
    };
    void PutText(EditedText field, char *&target, const String &value);
    bool InternalNext(const host::AnsiString &messageID, const host::AnsiString &messageType);
    void DeleteTempFiles();

    TReadFlags FReadFlags;
    TFindFlags FFindFlags;
    lpMapiMessage FMapiMessage = nullptr;
    host::AnsiString FMessageID;
    String FMessageTypeFilter;
    std::array<host::AnsiString, etCount> FEdited;
};

} // namespace kelvra
