// The provider's own entry points, beside the twelve, for the `kelvra`
// command and callers like it: a failure's reason and a send's outcome in
// words, the profile file's profiles listed, shown, checked and added, a
// password kept in the keyring, a read message's times. Plain C linkage;
// each ends as the twelve do (Guard.h).
#include "Errors.h"
#include "Exports.h"
#include "Guard.h"
#include "Session.h"
#include "Store.h"
#include "Text.h"
#include "message/Message.h"
#include "message/Mime.h"
#include "ProfileReport.h"
#include "signin/Keyring.h"
#include "Secret.h"
#include "signin/SignIn.h"
#include "posix/Interrupt.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

namespace kelvra_provider {
namespace {

// Copies `text` into `out` (`size` bytes, the zero included; cut short when
// it does not fit) and gives its whole length, also in `*length` when given.
ULONG CopyOut(const std::string &text, LPSTR out, ULONG size, ULONG *length = nullptr)
{
    if (out != nullptr && size > 0) {
        const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    if (length != nullptr)
        *length = static_cast<ULONG>(text.size());
    return static_cast<ULONG>(text.size());
}

} // namespace
} // namespace kelvra_provider

using namespace kelvra_provider;

// Beside the twelve: keeps a password for a profile's servers in the
// keyring (a null password clears it), for `kelvra password`. 0, or
// MAPI_E_LOGON_FAILURE for an unknown profile, MAPI_E_NOT_SUPPORTED when
// there is no keyring to keep it (its reason logged).
KMP_EXPORT ULONG KelvraMapiKeepPassword(LPSTR lpszProfileName, LPSTR lpszPassword)
{
    return Guard([&] {
        const Profile profile = LoadProfile(NarrowToUtf8(View(lpszProfileName)));
        const std::vector<std::pair<std::string, std::string>> servers = ServersOf(profile);
        if (servers.empty()) {
            Refuse("profile " + profile.name + " signs in to no server: no password to keep");
        }
        Secret secret(NarrowToUtf8(View(lpszPassword)));
        for (const auto &[server, user] : servers) {
            std::string why;
            const bool done = lpszPassword != nullptr ? KeyringStore(server, user, secret, profile.sendTimeout, &why)
                                                      : KeyringClear(server, user, profile.sendTimeout, &why);
            if (!done) {
                Refuse("the keyring cannot keep the password for " + user + " at " + server + ": " + why,
                       MAPI_E_NOT_SUPPORTED);
            }
        }
    });
}

// Why the calling thread's last call failed, in words (UTF-8), for a caller
// to show beside the result code: the profile and file, the recipient, the
// folder or the server. Copied into `lpszReason` (`nSize` bytes, zero
// included; cut short when it does not fit); the result is the reason's
// whole length, 0 when the last call gave none. Never holds a secret.
KMP_EXPORT ULONG KelvraMapiLastReason(LPSTR lpszReason, ULONG nSize)
{
    return CopyOut(kelvra_provider::LastReason(), lpszReason, nSize);
}

// What the calling thread's last send did with its message, when it
// succeeded (MAPISendMail, MAPISendMailW, MAPISendDocuments): "sent to
// ann@example.org (smtp://mail.example.org:587)", "handed to
// /usr/sbin/sendmail for ann@example.org", "delivered into the mailbox
// /home/ann/Mail (nothing left this machine)", or "handed to the mail
// client, ...". Copied as KelvraMapiLastReason copies; 0 when the last call
// was no send that succeeded.
KMP_EXPORT ULONG KelvraMapiLastOutcome(LPSTR lpszOutcome, ULONG nSize)
{
    return CopyOut(kelvra_provider::LastOutcome(), lpszOutcome, nSize);
}

// Beside the twelve, for a caller that prints each failure's reason itself
// (KelvraMapiLastReason): with 1, a refusal's reason is written only to the
// log file KELVRA_MAPI_LOG names, not to standard error; 0 restores that.
// For the whole process. Returns 0.
KMP_EXPORT ULONG KelvraMapiReasonsToCaller(ULONG told)
{
    kelvra_provider::ReasonsToCaller(told != 0);
    return SUCCESS_SUCCESS;
}

// Beside the twelve, for the caller's SIGINT handler: asks every helper
// program the provider runs (its group gets SIGINT, then has a few seconds
// to end) and every message on its way to an SMTP server to stop; each such
// call fails with MAPI_USER_ABORT, having removed what it began, or
// succeeds when the message had gone. Async-signal-safe: it touches two
// atomic counters and nothing else. MAPI_E_FAILURE when nothing of the sort
// runs, so the handler goes on as it would have without us.
KMP_EXPORT ULONG KelvraMapiInterrupt(void)
{
    return kelvra_posix::Interrupt() ? SUCCESS_SUCCESS : MAPI_E_FAILURE;
}

// Beside the twelve, for `kelvra list` and `show`: the times of a message
// that MAPIReadMail handed out (`lpMessage`, not yet freed), in ISO 8601
// with seconds and offset: "RECEIVED<TAB>DATE", when it arrived (local time)
// and its own Date header (empty when it has none that reads, and for an
// envelope-only read). Copied as KelvraMapiLastReason copies;
// MAPI_E_INVALID_MESSAGE for a record the provider did not hand out.
KMP_EXPORT ULONG KelvraMapiMessageDates(lpMapiMessage lpMessage, LPSTR lpszText, ULONG nSize, ULONG *lpnLength)
{
    return Guard([&] {
        const std::optional<ReadInfo> info = ReadInfoOf(lpMessage);
        if (!info)
            Fail(MAPI_E_INVALID_MESSAGE);
        GDateTime *received = g_date_time_new_from_unix_local(static_cast<gint64>(info->stamp.seconds));
        const std::string dates = IsoDate(received) + "\t" + info->date;
        if (received != nullptr)
            g_date_time_unref(received);
        CopyOut(dates, lpszText, nSize, lpnLength);
    });
}

// Beside the twelve, for `kelvra list`: how many files a read of the
// message would hand out, in `*lpnCount`; on an IMAP mailbox from the
// structure the server gives (kept in the cache), so no body is fetched.
// MAPIReadMail's codes: MAPI_E_INVALID_SESSION, MAPI_E_INVALID_MESSAGE.
KMP_EXPORT ULONG KelvraMapiFileCount(LHANDLE lhSession, LPSTR lpszMessageID, ULONG *lpnCount)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (lpnCount == nullptr)
            Fail(MAPI_E_FAILURE);
        const std::string id(View(lpszMessageID));
        *lpnCount = AboutMessage(*session, id, [&] { return session->store->FileCount(id); });
    });
}

// Beside the twelve, for `kelvra profile list`: the profile file's profile
// names, one a line, the default one first, copied as
// KelvraMapiDescribeProfile copies. 0, or MAPI_E_LOGON_FAILURE for a profile
// file that cannot be read (its reason kept).
KMP_EXPORT ULONG KelvraMapiListProfiles(LPSTR lpszText, ULONG nSize, ULONG *lpnLength)
{
    return Guard([&] {
        std::string text;
        for (const std::string &name : ProfileNames())
            text.append(name).append("\n");
        CopyOut(text, lpszText, nSize, lpnLength);
    });
}

// Beside the twelve, for `kelvra profile show`: the profile as the provider
// reads it, as "key<TAB>value" lines (ProfileReport.h), copied into
// `lpszText` as LastReason copies, its whole length in `*lpnLength`. 0, or
// MAPI_E_LOGON_FAILURE for a profile that cannot be read (its reason kept).
KMP_EXPORT ULONG KelvraMapiDescribeProfile(LPSTR lpszProfileName, LPSTR lpszText, ULONG nSize, ULONG *lpnLength)
{
    return Guard([&] {
        const std::string text = DescribeProfile(LoadProfile(NarrowToUtf8(View(lpszProfileName))));
        CopyOut(text, lpszText, nSize, lpnLength);
    });
}

// Beside the twelve, for `kelvra profile import`: adds the profile
// `lpszProfileName` with the keys of `lpszKeys` ("key<TAB>value" lines), both
// UTF-8 as the file is, to the profile file (AddProfile in Profile.h): 1 in
// `flFlags` replaces a profile of that name. 0, MAPI_E_LOGON_FAILURE when the
// name is taken or the profile could not log on, MAPI_E_FAILURE when the
// file cannot be written (the reason kept).
KMP_EXPORT ULONG KelvraMapiAddProfile(LPSTR lpszProfileName, LPSTR lpszKeys, FLAGS flFlags)
{
    return Guard([&] {
        std::vector<std::pair<std::string, std::string>> keys;
        const std::string_view text = View(lpszKeys);
        std::size_t start = 0;
        std::string_view line;
        while (NextLine(text, start, line)) {
            const std::size_t tab = line.find('\t');
            if (tab == std::string_view::npos)
                Fail(MAPI_E_FAILURE);
            keys.emplace_back(std::string(line.substr(0, tab)), std::string(line.substr(tab + 1)));
        }
        AddProfile(std::string(View(lpszProfileName)), keys, (flFlags & 1) != 0);
    });
}

// Beside the twelve, for `kelvra profile check`: logs on with the profile
// and tries each of its parts without sending anything, one
// "part<TAB>ok|failed<TAB>detail" line each, copied as above. 0 when every
// part works, MAPI_E_FAILURE when one does not, MAPI_E_LOGON_FAILURE for a
// profile that cannot be read.
KMP_EXPORT ULONG KelvraMapiCheckProfile(LPSTR lpszProfileName, LPSTR lpszPassword, LPSTR lpszText, ULONG nSize,
                                        ULONG *lpnLength)
{
    return Guard([&] {
        const Profile profile = LoadProfile(NarrowToUtf8(View(lpszProfileName)));
        std::string report;
        const bool works = CheckProfile(profile, NarrowToUtf8(View(lpszPassword)), report);
        CopyOut(report, lpszText, nSize, lpnLength);
        if (!works)
            Fail(MAPI_E_FAILURE);
    });
}
