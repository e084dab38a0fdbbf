// Where a session's mail is kept. The entry points speak to this interface
// only; a profile's mailbox chooses the store: a local Maildir folder, or a
// folder on an IMAP server (imaps://user@host/INBOX, imap:// with STARTTLS).
#pragma once

#include "Blocks.h"
#include "message/Message.h"
#include "message/ReadRecord.h"
#include "profile/Profile.h"
#include "mapi/SimpleMapi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kelvra_provider {

// What MAPIFindNext asks for.
struct FindFilter {
    std::string type;        // matched as TypeMatches does
    bool unreadOnly = false;
    bool fifo = false;       // by arrival instead of by identifier
};

// A save of a record over a stored message, as MAPISaveMail asks for it.
struct SaveRequest {
    const MapiMessage *record = nullptr;
    std::optional<ReadInfo> info; // when the record is one a read handed out
    Mailbox sender;
    std::function<Mailbox(const MapiRecipDesc &)> resolve;
};

// The sender's copy of a message that is going out: made ready while it
// goes, kept once it went (Keep), dropped when it did not (destroyed unkept).
class SentCopy {
public:
    virtual ~SentCopy() = default;
    virtual void Keep() = 0;
};

class MailStore {
public:
    virtual ~MailStore() = default;

    // The identifier after `seed` (from the start for an empty seed) that
    // passes the filter; empty at the end. A seed the store cannot place
    // (one of an earlier generation of the folder) raises
    // MAPI_E_INVALID_MESSAGE.
    virtual std::string Next(const std::string &seed, const FindFilter &filter) = 0;
    // A new record of the message; without `peek` the message is marked
    // read once the record is complete. MAPI_E_INVALID_MESSAGE when the
    // message is not there.
    virtual std::unique_ptr<Block> Read(const std::string &id, bool peek, const ReadOptions &options) = 0;
    // Stores a new message (read or unread); returns its identifier.
    virtual std::string Add(const std::string &bytes, bool seen) = 0;
    // Saves a record over a stored message, changing exactly what it
    // changed (see SaveOver); returns the message's identifier afterwards,
    // and in `updated` what the record shows of the message as saved.
    virtual std::string Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated) = 0;
    // Removes exactly that message; MAPI_E_INVALID_MESSAGE when it is not there.
    virtual void Remove(const std::string &id) = 0;
    // How many files a read of the message hands out (what a record's
    // nFileCount would say), without reading the body where the store can
    // tell otherwise. By default a read that copies no file.
    virtual std::uint32_t FileCount(const std::string &id);
    // Keeps the sender's copy of a message that went out.
    virtual void KeepSent(const std::string &bytes) = 0;
    // The sender's copy of a message about to go out (`bytes` outlives it),
    // made ready meanwhile, or on this thread before it returns (`now`: the
    // caller is a thread of its own already). By default nothing is done
    // before Keep, which calls KeepSent.
    virtual std::unique_ptr<SentCopy> PrepareSent(const std::string &bytes, bool now = false);
};


} // namespace kelvra_provider
