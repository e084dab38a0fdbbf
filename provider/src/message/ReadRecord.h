// Stored messages read into the platform's records.
#pragma once

#include "Blocks.h"
#include "StoredFile.h"
#include "message/Message.h"
#include "message/Parse.h"

#include <memory>

typedef struct _GMimeMessage GMimeMessage;

namespace kelvra_provider {

// What of a stored message goes into a read record.
struct ReadOptions {
    bool envelopeOnly = false;
    bool suppressAttach = false;
    bool bodyAsFile = false;
};

// Reads a stored message into a new record block; attachments are decoded
// into a private folder (mode 0700) in the system's temporary folder. The
// block keeps what it handed out (ReadInfo) for a later save of it.
std::unique_ptr<Block> ReadRecord(const StoredFile &entry, bool unread, const ReadOptions &options);
// The same from a message already parsed from entry's file
// (ParseMessageFile); the message is only read, so one parse can give
// records under several options.
std::unique_ptr<Block> ReadRecord(GMimeMessage *message, const StoredFile &entry, bool unread,
                                  const ReadOptions &options);

struct Envelope;
// The record of an envelope-only read, from the message's envelope (see
// Envelope.h): what ReadRecord with envelopeOnly gives, without a parse.
std::unique_ptr<Block> EnvelopeRecord(const StoredFile &entry, const Envelope &envelope, bool unread);

} // namespace kelvra_provider
