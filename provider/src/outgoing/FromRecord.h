// An outgoing record as one Composition: MAPISendMail's and MAPISaveMail's
// narrow record, and MAPISendMailW's wide one. The send calls share every
// rule after this translation.
#pragma once

#include "message/Message.h"
#include "Session.h"
#include "book/AddressBook.h"
#include "mapi/SimpleMapi.h"

#include <vector>

namespace kelvra_provider {

// The mailbox of one recipient record: its entry identifier, else its
// address, else its name resolved in the address book. Every address that
// comes out is a plain one (MailAddress): an address identifier that is not
// raises MAPI_E_UNKNOWN_RECIPIENT, a record's address MAPI_E_INVALID_RECIPS,
// and a name that resolves to a contact without an address
// MAPI_E_UNKNOWN_RECIPIENT.
Mailbox RecipientMailbox(const MapiRecipDesc &r, const AddressBook &book);

// A composition from a record, its recipients resolved in the session's
// address book; a recipient class other than To, Cc and Bcc raises
// MAPI_E_BAD_RECIPTYPE, an attachment without a path
// MAPI_E_ATTACHMENT_NOT_FOUND.
// Narrow: texts in the locale's character set (NarrowToUtf8); an attachment
// path is a file name as it is.
Composition FromRecord(const MapiMessage &m, const Session &s);
// Wide: every text UTF-16, converted exactly whatever the locale; an
// attachment path names its file by the path's UTF-8 bytes, and the name
// the recipient sees, unless the record gives one, is the path's last part.
// A text that is not UTF-16 raises MAPI_E_INVALID_RECIPS in a recipient,
// MAPI_E_ATTACHMENT_OPEN_FAILURE in an attachment, MAPI_E_FAILURE elsewhere.
Composition FromRecord(const MapiMessageW &m, const Session &s);

} // namespace kelvra_provider
