// Outgoing and saved messages composed as MIME bytes (through GMime).
#pragma once

#include "message/Message.h"

#include <string>

typedef struct _GMimeObject GMimeObject;

namespace kelvra_provider {

// The message as MIME bytes, lines ending in CRLF. Attachment files that
// are missing raise MAPI_E_ATTACHMENT_NOT_FOUND; unreadable ones
// MAPI_E_ATTACHMENT_OPEN_FAILURE.
std::string Compose(const Composition &message);
// Raises what Compose would for the first attachment that cannot be read
// now (opened and closed again): a send checks them all before it says a
// word to the server.
void CheckAttachments(const Composition &message);
// Called before a message to be sent is composed (on the thread that
// composes it); tests set it to act as another program would meanwhile.
extern void (*g_composeHook)();

// A new MIME part of an attachment file, its type and charset guessed as
// Compose guesses them (the session's fallback charset for text that is
// not UTF-8).
GMimeObject *NewAttachmentPart(const Attachment &attachment);

} // namespace kelvra_provider
