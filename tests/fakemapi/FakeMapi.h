/* The recording Simple MAPI library's control interface (plain C, so the
 * same library builds as a Windows DLL).
 *
 * Every call of the twelve entry points, and of MAPISendMailW, is recorded as
 * one line of text, "MAPILogon ui=0 profile=null password=\"x\" flags=0x1
 * reserved=0", with a deep copy of every argument: a null text is `null`, an
 * empty one `""`, a wide text's units outside printable ASCII are \uXXXX;
 * records are flattened (msg.subject=..., msg.recips[0].name=...). Results,
 * handles, identifiers and returned records are scripted per call. Every
 * block handed out is tracked until MAPIFreeBuffer frees it.
 */
#ifndef KELVRA_FAKEMAPI_H
#define KELVRA_FAKEMAPI_H

#include "mapi/SimpleMapi.h"

#if defined(_WIN32)
#  if defined(FAKEMAPI_BUILD)
#    define FAKEMAPI_API __declspec(dllexport)
#  else
#    define FAKEMAPI_API __declspec(dllimport)
#  endif
#else
#  define FAKEMAPI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets calls, scripts and counters; blocks still handed out are freed. */
FAKEMAPI_API void FakeMapi_Reset(void);
/* Forgets the recorded calls only (blocks handed out stay valid). */
FAKEMAPI_API void FakeMapi_ClearCalls(void);

/* The next call of `function` (its export name) returns `result`; calls
 * with nothing queued return 0. */
FAKEMAPI_API void FakeMapi_QueueResult(const char *function, ULONG result);
/* The handle every MAPILogon writes, also one that fails (default 0x5E55). */
FAKEMAPI_API void FakeMapi_SetLogonHandle(LHANDLE handle);
/* The next successful MAPIFindNext copies `id` (all of it, with no length
 * check: the caller's buffer is trusted as the platform trusts it). With no
 * identifier queued and no result scripted, MAPIFindNext answers
 * MAPI_E_NO_MESSAGES. */
FAKEMAPI_API void FakeMapi_QueueFoundId(const char *id);
/* The next successful MAPIFindNext copies exactly `size` bytes of `bytes`
 * and no terminating zero (for identifiers that fill the caller's buffer). */
FAKEMAPI_API void FakeMapi_QueueFoundIdBytes(const char *bytes, size_t size);
/* The next successful MAPIReadMail returns a tracked deep copy of `message`
 * (null: succeeds without writing a record). */
FAKEMAPI_API void FakeMapi_QueueReadMessage(const MapiMessage *message);
/* The next successful MAPIResolveName returns a tracked copy of `recip`. */
FAKEMAPI_API void FakeMapi_QueueResolved(const MapiRecipDesc *recip);
/* The next successful MAPIAddress returns a tracked copy of these (count 0:
 * count 0 and a null array, nothing allocated). */
FAKEMAPI_API void FakeMapi_QueueAddressAnswer(ULONG count, const MapiRecipDesc *recips);
/* The identifier the next successful MAPISaveMail writes back (default: none). */
FAKEMAPI_API void FakeMapi_QueueSavedId(const char *id);

/* Runs a script, one line per step: "result FUNCTION N", "sleep FUNCTION
 * MS" (the next call of FUNCTION waits that long first), "chatter
 * FUNCTION" (the next call of FUNCTION writes to standard output and
 * error), "handle N",
 * "found ID", "saved ID", "resolved NAME|ADDRESS|ENTRYID", "address
 * NAME|ADDRESS", "read SUBJECT|NOTE|TONAME|TOADDRESS|FILEPATH|FILENAME".
 * The library runs the file FAKEMAPI_SCRIPT names at load, and appends
 * every recorded line to the file FAKEMAPI_LOG names: so a test drives and
 * reads it in another process. */
FAKEMAPI_API void FakeMapi_Script(const char *script);

/* Recorded calls, oldest first. The text lives until the next Reset. */
FAKEMAPI_API size_t FakeMapi_CallCount(void);
FAKEMAPI_API const char *FakeMapi_Call(size_t index);

/* Blocks: handed out in all, still not freed, and frees of a pointer that
 * was never handed out or was freed already (answered MAPI_E_FAILURE). */
FAKEMAPI_API size_t FakeMapi_BlocksHandedOut(void);
FAKEMAPI_API size_t FakeMapi_BlocksOutstanding(void);
FAKEMAPI_API size_t FakeMapi_BadFrees(void);

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_FAKEMAPI_H */
