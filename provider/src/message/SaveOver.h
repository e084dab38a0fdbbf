// Saving a record over a stored message (SaveOver.cpp).
#pragma once

#include "Blocks.h"
#include "StoredFile.h"
#include "mapi/SimpleMapi.h"
#include "message/Message.h"

#include <functional>
#include <optional>

namespace kelvra_provider {

// Saves a record over a stored message, changing exactly what the record
// changed: every header it cannot express, every part it does not show and
// the time the message arrived stay. `info` is what the read that made the
// record handed out, when the record is one of ours; then parts it did not
// hand out (an envelope-only or attachment-suppressed read) stay, and so
// does the body of an envelope-only read. A null note text keeps the stored
// body. `resolve` gives a record recipient's mailbox, raising its code.
// Returns false, writing nothing, when the record changes nothing; else
// `updated` describes the stored message as saved, for the same record.
// `rewrite` puts the new content in the stored message's place and returns
// the message as stored afterwards (nullopt when it cannot be found again).
using Rewriter = std::function<std::optional<StoredFile>(const MessageWriter &write)>;
bool SaveOver(const Rewriter &rewrite, const StoredFile &entry, const MapiMessage &record,
              const std::optional<ReadInfo> &info, const Mailbox &sender,
              const std::function<Mailbox(const MapiRecipDesc &)> &resolve, std::optional<ReadInfo> *updated);

} // namespace kelvra_provider
