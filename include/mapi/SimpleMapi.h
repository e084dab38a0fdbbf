/* Simple MAPI: the platform's published ABI.
 *
 * Written from the published Simple MAPI definitions: the three records in
 * their published field order, the flag and result constants, and one
 * function-pointer type per entry point. No SDK header is included, so this
 * one header serves the Windows build (where MAPI32.DLL answers) and the
 * POSIX build (where our provider answers) alike.
 *
 * Widths: ULONG and FLAGS are 32-bit unsigned on every platform (they are on
 * Windows, where the ABI was defined); LHANDLE and the parent-window argument
 * ulUIParam are pointer-sized unsigned. Plain `unsigned long` would be 64-bit
 * on LP64 POSIX, so it is used only where it is 32-bit (Windows).
 *
 * Wide texts: the records of MAPISendMailW hold UTF-16 code units, zero
 * terminated. WCHAR is wchar_t on Windows, where it is a 16-bit UTF-16 unit
 * (the type <windows.h> declares); elsewhere wchar_t is 32-bit, so WCHAR is
 * char16_t, the language's own UTF-16 unit, and the layout stays the same.
 */
#ifndef KELVRA_MAPI_SIMPLEMAPI_H
#define KELVRA_MAPI_SIMPLEMAPI_H

#include <stddef.h>
#include <stdint.h>
#if !defined(__cplusplus) && !defined(_WIN32)
#  include <uchar.h>            /* char16_t for C */
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  define MAPI_CALL __stdcall   /* WINAPI; meaningless but harmless on x64 */
typedef unsigned long ULONG;    /* the same type <windows.h> declares */
#else
#  define MAPI_CALL
typedef uint32_t ULONG;
#endif

typedef ULONG FLAGS;
typedef ULONG *LPULONG;
/* The parent window (an HWND value, or 0): pointer-sized, as the same type
 * <windows.h> declares on each of its platforms. */
#if defined(_WIN64)
typedef unsigned long long ULONG_PTR;
#elif defined(_WIN32)
typedef unsigned long ULONG_PTR;
#else
typedef uintptr_t ULONG_PTR;
#endif
typedef ULONG_PTR LHANDLE;      /* a session handle; 0 stands for none */
typedef LHANDLE *LPLHANDLE;
typedef char *LPSTR;
typedef void *LPVOID;
typedef unsigned char *LPBYTE;
#if defined(_WIN32)
typedef wchar_t WCHAR;          /* the same type <windows.h> declares */
#else
typedef char16_t WCHAR;
#endif
typedef WCHAR *LPWSTR;

/* ---- Records ---------------------------------------------------------- */

/* Optional file-type tag of an attachment. */
typedef struct MapiFileTagExt {
    ULONG ulReserved;   /* 0 */
    ULONG cbTag;        /* size of lpTag */
    LPBYTE lpTag;       /* X.400 OID of the attachment type */
    ULONG cbEncoding;   /* size of lpEncoding */
    LPBYTE lpEncoding;  /* X.400 OID of the attachment's encoding */
} MapiFileTagExt, *lpMapiFileTagExt;

/* One attachment. */
typedef struct MapiFileDesc {
    ULONG ulReserved;      /* 0 */
    ULONG flFlags;         /* 0 for a data file, or MAPI_OLE / MAPI_OLE_STATIC */
    ULONG nPosition;       /* character of the note text it replaces; 0xFFFFFFFF: none */
    LPSTR lpszPathName;    /* full path of the file (on read: the temporary copy) */
    LPSTR lpszFileName;    /* name the recipient sees; null or empty: from the path */
    LPVOID lpFileType;     /* null, or a MapiFileTagExt */
} MapiFileDesc, *lpMapiFileDesc;

/* One recipient, or the originator. */
typedef struct MapiRecipDesc {
    ULONG ulReserved;      /* 0 */
    ULONG ulRecipClass;    /* MAPI_ORIG, MAPI_TO, MAPI_CC or MAPI_BCC */
    LPSTR lpszName;        /* display name */
    LPSTR lpszAddress;     /* address, optionally "type:address" */
    ULONG ulEIDSize;       /* size of lpEntryID; non-zero means resolved */
    LPVOID lpEntryID;      /* the address book's opaque entry identifier */
} MapiRecipDesc, *lpMapiRecipDesc;

/* One message. */
typedef struct MapiMessage {
    ULONG ulReserved;              /* 0 (or CP_UTF8 where the platform allows it) */
    LPSTR lpszSubject;             /* null or empty: no subject */
    LPSTR lpszNoteText;            /* null or empty: no body */
    LPSTR lpszMessageType;         /* null or empty: an interpersonal message */
    LPSTR lpszDateReceived;        /* "YYYY/MM/DD HH:MM" */
    LPSTR lpszConversationID;      /* optional thread identifier */
    FLAGS flFlags;                 /* MAPI_UNREAD, MAPI_RECEIPT_REQUESTED, MAPI_SENT */
    lpMapiRecipDesc lpOriginator;  /* the sender; ignored on send and save */
    ULONG nRecipCount;             /* number of records at lpRecips */
    lpMapiRecipDesc lpRecips;      /* null exactly when nRecipCount is 0 */
    ULONG nFileCount;              /* number of records at lpFiles */
    lpMapiFileDesc lpFiles;        /* null: no attachments */
} MapiMessage, *lpMapiMessage;

/* The same three records with UTF-16 texts, for MAPISendMailW: the narrow
 * records' layout, field for field. */
typedef struct MapiFileDescW {
    ULONG ulReserved;
    ULONG flFlags;
    ULONG nPosition;
    LPWSTR lpszPathName;
    LPWSTR lpszFileName;
    LPVOID lpFileType;
} MapiFileDescW, *lpMapiFileDescW;

typedef struct MapiRecipDescW {
    ULONG ulReserved;
    ULONG ulRecipClass;
    LPWSTR lpszName;
    LPWSTR lpszAddress;
    ULONG ulEIDSize;
    LPVOID lpEntryID;
} MapiRecipDescW, *lpMapiRecipDescW;

typedef struct MapiMessageW {
    ULONG ulReserved;
    LPWSTR lpszSubject;
    LPWSTR lpszNoteText;
    LPWSTR lpszMessageType;
    LPWSTR lpszDateReceived;
    LPWSTR lpszConversationID;
    FLAGS flFlags;
    lpMapiRecipDescW lpOriginator;
    ULONG nRecipCount;
    lpMapiRecipDescW lpRecips;
    ULONG nFileCount;
    lpMapiFileDescW lpFiles;
} MapiMessageW, *lpMapiMessageW;

/* ---- Flags (bits are reused across calls: decode them per function) ---- */

#define MAPI_LOGON_UI          0x00000001u /* logon dialog allowed */
#define MAPI_NEW_SESSION       0x00000002u /* a new session, not the shared one */
#define MAPI_DIALOG            0x00000008u /* show the call's dialog */
#define MAPI_UNREAD_ONLY       0x00000020u /* MAPIFindNext: unread messages only */
#define MAPI_ENVELOPE_ONLY     0x00000040u /* MAPIReadMail: header data only */
#define MAPI_PEEK              0x00000080u /* MAPIReadMail: do not mark as read */
#define MAPI_GUARANTEE_FIFO    0x00000100u /* MAPIFindNext: order received */
#define MAPI_BODY_AS_FILE      0x00000200u /* MAPIReadMail: note text as first file */
#define MAPI_AB_NOMODIFY       0x00000400u /* address book read-only */
#define MAPI_SUPPRESS_ATTACH   0x00000800u /* MAPIReadMail: no attachment copies */
#define MAPI_FORCE_DOWNLOAD    0x00001000u /* MAPILogon: fetch mail before returning */
#define MAPI_LONG_MSGID        0x00004000u /* identifier buffer holds 512 characters */
#define MAPI_PASSWORD_UI       0x00020000u /* MAPILogon: prompt for the password only */
#define MAPI_FORCE_UNICODE     0x00040000u /* MAPISendMailW: never fall back to narrow text */

/* Message flags (MapiMessage.flFlags). */
#define MAPI_UNREAD            0x00000001u
#define MAPI_RECEIPT_REQUESTED 0x00000002u
#define MAPI_SENT              0x00000004u

/* Attachment flags (MapiFileDesc.flFlags). */
#define MAPI_OLE               0x00000001u
#define MAPI_OLE_STATIC        0x00000002u

/* Recipient classes (MapiRecipDesc.ulRecipClass). */
#define MAPI_ORIG              0u
#define MAPI_TO                1u
#define MAPI_CC                2u
#define MAPI_BCC               3u

/* ---- Result codes ------------------------------------------------------ */

#define SUCCESS_SUCCESS                 0u
#define MAPI_USER_ABORT                 1u
#define MAPI_E_USER_ABORT               MAPI_USER_ABORT
#define MAPI_E_FAILURE                  2u
#define MAPI_E_LOGON_FAILURE            3u
#define MAPI_E_LOGIN_FAILURE            MAPI_E_LOGON_FAILURE
#define MAPI_E_DISK_FULL                4u
#define MAPI_E_INSUFFICIENT_MEMORY      5u
#define MAPI_E_ACCESS_DENIED            6u
#define MAPI_E_TOO_MANY_SESSIONS        8u
#define MAPI_E_TOO_MANY_FILES           9u
#define MAPI_E_TOO_MANY_RECIPIENTS      10u
#define MAPI_E_ATTACHMENT_NOT_FOUND     11u
#define MAPI_E_ATTACHMENT_OPEN_FAILURE  12u
#define MAPI_E_ATTACHMENT_WRITE_FAILURE 13u
#define MAPI_E_UNKNOWN_RECIPIENT        14u
#define MAPI_E_BAD_RECIPTYPE            15u
#define MAPI_E_NO_MESSAGES              16u
#define MAPI_E_INVALID_MESSAGE          17u
#define MAPI_E_TEXT_TOO_LARGE           18u
#define MAPI_E_INVALID_SESSION          19u
#define MAPI_E_TYPE_NOT_SUPPORTED       20u
#define MAPI_E_AMBIGUOUS_RECIPIENT      21u
#define MAPI_E_AMBIG_RECIP              MAPI_E_AMBIGUOUS_RECIPIENT
#define MAPI_E_MESSAGE_IN_USE           22u
#define MAPI_E_NETWORK_FAILURE          23u
#define MAPI_E_INVALID_EDITFIELDS       24u
#define MAPI_E_INVALID_RECIPS           25u
#define MAPI_E_NOT_SUPPORTED            26u
#define MAPI_E_UNICODE_NOT_SUPPORTED    27u
#define MAPI_E_ATTACHMENT_TOO_LARGE     28u

/* ---- Entry points -------------------------------------------------------- */

typedef ULONG (MAPI_CALL *LPMAPILOGON)(ULONG_PTR ulUIParam, LPSTR lpszProfileName,
    LPSTR lpszPassword, FLAGS flFlags, ULONG ulReserved, LPLHANDLE lplhSession);

typedef ULONG (MAPI_CALL *LPMAPILOGOFF)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    FLAGS flFlags, ULONG ulReserved);

typedef ULONG (MAPI_CALL *LPMAPISENDMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    lpMapiMessage lpMessage, FLAGS flFlags, ULONG ulReserved);

/* Not one of the twelve: libraries that have it take UTF-16 texts here. */
typedef ULONG (MAPI_CALL *LPMAPISENDMAILW)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    lpMapiMessageW lpMessage, FLAGS flFlags, ULONG ulReserved);

typedef ULONG (MAPI_CALL *LPMAPISENDDOCUMENTS)(ULONG_PTR ulUIParam, LPSTR lpszDelimChar,
    LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG ulReserved);

typedef ULONG (MAPI_CALL *LPMAPIFINDNEXT)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    LPSTR lpszMessageType, LPSTR lpszSeedMessageID, FLAGS flFlags, ULONG ulReserved,
    LPSTR lpszMessageID);

/* The last argument receives a pointer to a record the platform allocated. */
typedef ULONG (MAPI_CALL *LPMAPIREADMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    LPSTR lpszMessageID, FLAGS flFlags, ULONG ulReserved, lpMapiMessage *lppMessage);

typedef ULONG (MAPI_CALL *LPMAPISAVEMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    lpMapiMessage lpMessage, FLAGS flFlags, ULONG ulReserved, LPSTR lpszMessageID);

typedef ULONG (MAPI_CALL *LPMAPIDELETEMAIL)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    LPSTR lpszMessageID, FLAGS flFlags, ULONG ulReserved);

typedef ULONG (MAPI_CALL *LPMAPIFREEBUFFER)(LPVOID pv);

typedef ULONG (MAPI_CALL *LPMAPIADDRESS)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    LPSTR lpszCaption, ULONG nEditFields, LPSTR lpszLabels, ULONG nRecips,
    lpMapiRecipDesc lpRecips, FLAGS flFlags, ULONG ulReserved, LPULONG lpnNewRecips,
    lpMapiRecipDesc *lppNewRecips);

typedef ULONG (MAPI_CALL *LPMAPIDETAILS)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    lpMapiRecipDesc lpRecip, FLAGS flFlags, ULONG ulReserved);

typedef ULONG (MAPI_CALL *LPMAPIRESOLVENAME)(LHANDLE lhSession, ULONG_PTR ulUIParam,
    LPSTR lpszName, FLAGS flFlags, ULONG ulReserved, lpMapiRecipDesc *lppRecip);

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_MAPI_SIMPLEMAPI_H */
