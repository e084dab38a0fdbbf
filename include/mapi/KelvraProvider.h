/* The Kelvra provider's own entry points, beside Simple MAPI's.
 *
 * The POSIX provider (libkelvramapi) exports these as well as the twelve;
 * other platform libraries lack them, so a caller looks each up by its name
 * ("KelvraMapi" Name) and goes without when it is missing. Texts are UTF-8.
 * A text copied out goes into `nSize` bytes, its terminating zero included,
 * cut short when it does not fit; the whole length is returned (or stored in
 * `*lpnLength`), so a caller may ask with a null buffer first. They have
 * the plain C calling convention on every platform.
 */
#ifndef KELVRA_MAPI_KELVRAPROVIDER_H
#define KELVRA_MAPI_KELVRAPROVIDER_H

#include "mapi/SimpleMapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Why the calling thread's last call failed, in words (the profile and
 * file, the recipient, the folder or the server); its length, 0 when the
 * last call gave none. Never holds a secret. */
typedef ULONG (*LPKELVRAMAPILASTREASON)(LPSTR lpszReason, ULONG nSize);

/* What the calling thread's last send that succeeded did with its message
 * ("sent to ... (smtp://...)", "handed to /usr/sbin/sendmail for ...",
 * "delivered into the mailbox ..."); its length, 0 after any other call. */
typedef ULONG (*LPKELVRAMAPILASTOUTCOME)(LPSTR lpszOutcome, ULONG nSize);

/* With 1, a refusal's reason goes only to the log file KELVRA_MAPI_LOG
 * names, not to standard error, for a caller that prints each reason
 * itself; 0 restores that. For the whole process. Returns 0. */
typedef ULONG (*LPKELVRAMAPIREASONSTOCALLER)(ULONG told);

/* For the caller's own SIGINT handler (async-signal-safe): asks the work
 * the provider is doing that can stop (a helper program it runs, which gets
 * SIGINT in its own process group; a message on its way to an SMTP server)
 * to stop, undo what it began and fail with MAPI_USER_ABORT, or succeed when
 * the message had gone already. SUCCESS_SUCCESS when such work ran to take
 * it; MAPI_E_FAILURE when none did, so the handler goes on as it would have
 * (ends the program). */
typedef ULONG (*LPKELVRAMAPIINTERRUPT)(void);

/* The times of a message MAPIReadMail handed out (not yet freed), in ISO
 * 8601 with seconds and offset: "RECEIVED<TAB>DATE", when it arrived and its
 * own Date header (empty when none reads). MAPI_E_INVALID_MESSAGE for a
 * record the provider did not hand out. */
typedef ULONG (*LPKELVRAMAPIMESSAGEDATES)(lpMapiMessage lpMessage, LPSTR lpszText, ULONG nSize, ULONG *lpnLength);

/* How many files a read of a message would hand out (its record's
 * nFileCount), stored in `*lpnCount` without reading the message's body
 * where the mailbox can tell (an IMAP server describes its parts), so a
 * listing costs what a walk costs. MAPIReadMail's codes. */
typedef ULONG (*LPKELVRAMAPIFILECOUNT)(LHANDLE lhSession, LPSTR lpszMessageID, ULONG *lpnCount);

/* The profile file's profile names, one a line, the default one first. 0,
 * or MAPI_E_LOGON_FAILURE for a profile file that cannot be read. */
typedef ULONG (*LPKELVRAMAPILISTPROFILES)(LPSTR lpszText, ULONG nSize, ULONG *lpnLength);

/* Keeps the password for a profile's servers in the keyring; a null
 * password clears it. 0, MAPI_E_LOGON_FAILURE for an unknown profile,
 * MAPI_E_NOT_SUPPORTED when no keyring can keep it. */
typedef ULONG (*LPKELVRAMAPIKEEPPASSWORD)(LPSTR lpszProfileName, LPSTR lpszPassword);

/* A profile as the provider reads it, as "key<TAB>value" lines. 0, or
 * MAPI_E_LOGON_FAILURE for a profile that cannot be read. */
typedef ULONG (*LPKELVRAMAPIDESCRIBEPROFILE)(LPSTR lpszProfileName, LPSTR lpszText, ULONG nSize,
                                                       ULONG *lpnLength);

/* Logs on with a profile and tries each of its parts without sending
 * anything, one "part<TAB>ok|failed<TAB>detail" line each. 0 when every part
 * works, MAPI_E_FAILURE when one does not, MAPI_E_LOGON_FAILURE for a
 * profile that cannot be read. */
typedef ULONG (*LPKELVRAMAPICHECKPROFILE)(LPSTR lpszProfileName, LPSTR lpszPassword, LPSTR lpszText,
                                                    ULONG nSize, ULONG *lpnLength);

/* Adds a profile with the keys of `lpszKeys` ("key<TAB>value" lines) to the
 * profile file; 1 in `flFlags` replaces a profile of that name. 0,
 * MAPI_E_LOGON_FAILURE when the name is taken or the profile cannot log on,
 * MAPI_E_FAILURE when the file cannot be written. */
typedef ULONG (*LPKELVRAMAPIADDPROFILE)(LPSTR lpszProfileName, LPSTR lpszKeys, FLAGS flFlags);

#ifdef __cplusplus
}
#endif

/* The list of them, X(Name, TYPE), as mapi/EntryPoints.h lists Simple MAPI's. */
#define KELVRA_PROVIDER_ENTRY_POINTS(X)                    \
    X(LastReason, LPKELVRAMAPILASTREASON)                  \
    X(LastOutcome, LPKELVRAMAPILASTOUTCOME)                \
    X(ReasonsToCaller, LPKELVRAMAPIREASONSTOCALLER)        \
    X(MessageDates, LPKELVRAMAPIMESSAGEDATES)              \
    X(FileCount, LPKELVRAMAPIFILECOUNT)                    \
    X(ListProfiles, LPKELVRAMAPILISTPROFILES)              \
    X(KeepPassword, LPKELVRAMAPIKEEPPASSWORD)              \
    X(DescribeProfile, LPKELVRAMAPIDESCRIBEPROFILE)        \
    X(CheckProfile, LPKELVRAMAPICHECKPROFILE)              \
    X(AddProfile, LPKELVRAMAPIADDPROFILE)

#endif /* KELVRA_MAPI_KELVRAPROVIDER_H */
