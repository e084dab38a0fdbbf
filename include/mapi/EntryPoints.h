/* Simple MAPI's entry points, listed once.
 *
 * Every part of Kelvra that names the entry points one by one (the
 * component library's binding, the Windows bridge and its helper, the POSIX
 * provider's exports, the tests) expands these lists, so adding an entry
 * point is one line here. Each line is X(Name, TYPE, ACCESSOR): the export is
 * "MAPI" Name, TYPE its function-pointer type (SimpleMapi.h), and ACCESSOR
 * the name under which the component library hands it out (kelvra/Binding.h).
 *
 * MAPI_ENTRY_POINTS: the twelve, in the order the binding looks them up; a
 * library lacking one still loads, and its accessor then raises.
 * MAPI_OPTIONAL_ENTRY_POINTS: beside the twelve, X(Name, TYPE): a library
 * without them is as good as one with them.
 */
#ifndef KELVRA_MAPI_ENTRYPOINTS_H
#define KELVRA_MAPI_ENTRYPOINTS_H

#include "mapi/SimpleMapi.h"

#define MAPI_ENTRY_POINTS(X)                                  \
    X(Logon, LPMAPILOGON, MapiLogOn)                          \
    X(Logoff, LPMAPILOGOFF, MapiLogOff)                       \
    X(SendMail, LPMAPISENDMAIL, MapiSendMail)                 \
    X(SendDocuments, LPMAPISENDDOCUMENTS, MapiSendDocuments)  \
    X(FindNext, LPMAPIFINDNEXT, MapiFindNext)                 \
    X(ReadMail, LPMAPIREADMAIL, MapiReadMail)                 \
    X(SaveMail, LPMAPISAVEMAIL, MapiSaveMail)                 \
    X(DeleteMail, LPMAPIDELETEMAIL, MapiDeleteMail)           \
    X(FreeBuffer, LPMAPIFREEBUFFER, MapiFreeBuffer)           \
    X(Address, LPMAPIADDRESS, MapiAddress)                    \
    X(Details, LPMAPIDETAILS, MapiDetails)                    \
    X(ResolveName, LPMAPIRESOLVENAME, MapiResolveName)

#define MAPI_OPTIONAL_ENTRY_POINTS(X) \
    X(SendMailW, LPMAPISENDMAILW)

#endif /* KELVRA_MAPI_ENTRYPOINTS_H */
