// The twelve Simple MAPI entry points and MAPISendMailW, with plain C
// linkage. Each turns whatever goes wrong inside into a result code
// (Guard.h), and nothing is handed out unless the call succeeds. The
// provider's own entry points are in KelvraExports.cpp.
#include "Addresses.h"
#include "Blocks.h"
#include "Errors.h"
#include "Guard.h"
#include "Text.h"
#include "Exports.h"
#include "message/Message.h"
#include "message/ReadRecord.h"
#include "message/Compose.h"
#include "Session.h"
#include "OpenStore.h"
#include "Store.h"
#include "Url.h"
#include "book/AddressBook.h"
#include "signin/Keyring.h"
#include "signin/SignIn.h"
#include "mapi/SimpleMapi.h"
#include "outgoing/FromRecord.h"
#include "outgoing/WayOut.h"
#include "ui/Dialogs.h"
#include "ui/HandOff.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace kelvra_provider {
namespace {

// The identifier buffer's size, as the caller's flags say it is.
size_t IdBufferSize(FLAGS flags) { return (flags & MAPI_LONG_MSGID) != 0 ? 512 : 64; }

void WriteId(LPSTR buffer, const std::string &id, FLAGS flags)
{
    if (id.size() + 1 > IdBufferSize(flags))
        Fail(MAPI_E_FAILURE); // the caller's buffer cannot take it
    std::memcpy(buffer, id.c_str(), id.size() + 1);
}

// Sends a composed message the profile's way out, and keeps its words of
// what happened for KelvraMapiLastOutcome.
void Deliver(Session &session, const Composition &composition)
{
    LastOutcome() = ChooseWayOut(session.profile)->Send(session, composition);
}

// Offers the composition in the desktop's mail client (MAPI_DIALOG): true
// when it took it, and then that client sends it.
bool HandedToMailClient(const Composition &composition)
{
    if (!ComposeDialog(composition))
        return false;
    LastOutcome() = "handed to the mail client, to be written and sent from there";
    // What the hand-off carries no word of.
    std::vector<std::string> left;
    if (composition.receiptRequested)
        left.push_back("a read receipt");
    if (!IsInterpersonal(composition.messageType))
        left.push_back("the message class " + composition.messageType);
    for (size_t i = 0; i < left.size(); ++i)
        LastOutcome() += (i == 0 ? " (the mail client was not asked for " : " nor for ") + left[i] + (i + 1 == left.size() ? ")" : "");
    return true;
}

// MAPISendMail and MAPISendMailW: one set of rules, whichever record.
template <class Message>
ULONG SendRecord(LHANDLE lhSession, const Message *message, FLAGS flags)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        const bool dialog = (flags & MAPI_DIALOG) != 0;
        if (!dialog && (message == nullptr || message->nRecipCount == 0))
            Fail(MAPI_E_INVALID_RECIPS); // without a dialog, someone must receive it
        const Message empty{};
        const Composition composition = FromRecord(message != nullptr ? *message : empty, *session);
        if (dialog && HandedToMailClient(composition))
            return;
        if (composition.to.empty() && composition.cc.empty() && composition.bcc.empty())
            Fail(MAPI_E_INVALID_RECIPS);
        Deliver(*session, composition);
    });
}

// Whether the keyring holds a password for one of the profile's servers
// (each login then takes it from there).
bool InKeyring(const Profile &profile)
{
    for (const auto &[server, user] : ServersOf(profile))
        if (KeyringLookup(server, user, profile.sendTimeout))
            return true;
    return false;
}

// The non-empty items of a delimited list.
std::vector<std::string> Split(std::string_view text, char delimiter)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(delimiter, start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            items.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

} // namespace
} // namespace kelvra_provider

using namespace kelvra_provider;

KMP_EXPORT ULONG MAPILogon(ULONG_PTR, LPSTR lpszProfileName, LPSTR lpszPassword, FLAGS flFlags, ULONG,
                           LPLHANDLE lplhSession)
{
    return Guard([&] {
        if (lplhSession == nullptr)
            Fail(MAPI_E_FAILURE);
        Profile profile = LoadProfile(NarrowToUtf8(View(lpszProfileName)));
        SecretText password = NarrowToUtf8(View(lpszPassword));
        // A server login with no password anywhere: ask for it, if allowed.
        const bool needsPassword = (!profile.user.empty() || IsImapMailbox(profile.mailbox)) &&
                                   profile.password.empty() && profile.passwordCommand.empty() &&
                                   password.empty();
        if (needsPassword && (flFlags & (MAPI_LOGON_UI | MAPI_PASSWORD_UI)) != 0 && !InKeyring(profile))
            password = AskPassword(profile.name).value_or(std::string());
        std::shared_ptr<MailStore> store = OpenStore(profile, password, true);
        *lplhSession = OpenSession(std::move(profile), std::move(password), std::move(store));
        RemoveOldHandOffCopies();
    });
}

KMP_EXPORT ULONG MAPILogoff(LHANDLE lhSession, ULONG_PTR, FLAGS flFlags, ULONG)
{
    return Guard([&] {
        if (flFlags != 0)
            Fail(MAPI_E_FAILURE);
        CloseSession(lhSession);
        // What the session's walks learnt goes to the envelope caches now.
        FlushStoreCaches();
    });
}

KMP_EXPORT ULONG MAPISendMail(LHANDLE lhSession, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG)
{
    return SendRecord(lhSession, lpMessage, flFlags);
}

// Beside the twelve: the same send with UTF-16 texts. It never falls back to
// narrow text, so MAPI_FORCE_UNICODE asks for nothing more.
KMP_EXPORT ULONG MAPISendMailW(LHANDLE lhSession, ULONG_PTR, lpMapiMessageW lpMessage, FLAGS flFlags, ULONG)
{
    return SendRecord(lhSession, lpMessage, flFlags);
}

KMP_EXPORT ULONG MAPISendDocuments(ULONG_PTR, LPSTR lpszDelimChar, LPSTR lpszFilePaths, LPSTR lpszFileNames, ULONG)
{
    return Guard([&] {
        const auto session = FindSession(0);
        const char delimiter = lpszDelimChar != nullptr && *lpszDelimChar != '\0' ? *lpszDelimChar : ';';
        Composition c;
        c.from = {session->profile.senderName, session->profile.senderAddress};
        const std::vector<std::string> paths = Split(View(lpszFilePaths), delimiter);
        const std::vector<std::string> names = Split(View(lpszFileNames), delimiter);
        for (size_t i = 0; i < paths.size(); ++i) {
            if (access(paths[i].c_str(), R_OK) != 0)
                Fail(MAPI_E_ATTACHMENT_OPEN_FAILURE);
            c.attachments.push_back({paths[i], i < names.size() ? NarrowToUtf8(names[i]) : std::string()});
        }
        if (HandedToMailClient(c))
            return;
        // On a terminal the cover note is asked for there.
        const Resolved to = session->books->Of(session->profile.addressBook)->Resolve(AskLine("To: "));
        c.to.push_back({to.name, to.address});
        c.subject = AskLine("Subject: ");
        Deliver(*session, c);
    });
}

KMP_EXPORT ULONG MAPIFindNext(LHANDLE lhSession, ULONG_PTR, LPSTR lpszMessageType, LPSTR lpszSeedMessageID,
                              FLAGS flFlags, ULONG, LPSTR lpszMessageID)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (lpszMessageID == nullptr)
            Fail(MAPI_E_FAILURE);
        const FindFilter filter{NarrowToUtf8(View(lpszMessageType)), (flFlags & MAPI_UNREAD_ONLY) != 0,
                                (flFlags & MAPI_GUARANTEE_FIFO) != 0};
        const std::string seed(View(lpszSeedMessageID));
        const std::string next = AboutMessage(*session, seed, [&] { return session->store->Next(seed, filter); });
        if (next.empty())
            Fail(MAPI_E_NO_MESSAGES);
        WriteId(lpszMessageID, next, flFlags);
    });
}

KMP_EXPORT ULONG MAPIReadMail(LHANDLE lhSession, ULONG_PTR, LPSTR lpszMessageID, FLAGS flFlags, ULONG,
                              lpMapiMessage *lppMessage)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (lppMessage == nullptr)
            Fail(MAPI_E_FAILURE);
        ReadOptions options;
        options.envelopeOnly = (flFlags & MAPI_ENVELOPE_ONLY) != 0;
        options.suppressAttach = (flFlags & MAPI_SUPPRESS_ATTACH) != 0;
        options.bodyAsFile = (flFlags & MAPI_BODY_AS_FILE) != 0 && !options.envelopeOnly;
        const bool peek = (flFlags & MAPI_PEEK) != 0;
        const std::string id(View(lpszMessageID));
        std::unique_ptr<Block> block = AboutMessage(*session, id, [&] { return session->store->Read(id, peek, options); });
        MapiMessage *top = &block->Message();
        *lppMessage = static_cast<lpMapiMessage>(HandOut(std::move(block), top));
    });
}

KMP_EXPORT ULONG MAPISaveMail(LHANDLE lhSession, ULONG_PTR, lpMapiMessage lpMessage, FLAGS flFlags, ULONG,
                              LPSTR lpszMessageID)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (lpMessage == nullptr || lpszMessageID == nullptr)
            Fail(MAPI_E_INVALID_MESSAGE);
        const std::string id(View(lpszMessageID));
        if (id.empty()) {
            Composition c = FromRecord(*lpMessage, *session);
            c.bccInHeader = true;
            c.unsent = (lpMessage->flFlags & MAPI_SENT) == 0;
            const std::string newId = session->store->Add(Compose(c), (lpMessage->flFlags & MAPI_UNREAD) == 0);
            WriteId(lpszMessageID, newId, flFlags);
            return;
        }
        std::shared_ptr<const AddressBook> book; // read only when a recipient changed
        auto resolve = [&](const MapiRecipDesc &r) {
            if (!book)
                book = session->books->Of(session->profile.addressBook);
            return RecipientMailbox(r, *book);
        };
        SaveRequest request;
        request.record = lpMessage;
        request.info = ReadInfoOf(lpMessage);
        request.sender = {session->profile.senderName, session->profile.senderAddress};
        request.resolve = resolve;
        std::optional<ReadInfo> updated;
        const std::string saved = AboutMessage(*session, id, [&] { return session->store->Save(id, request, &updated); });
        if (updated)
            UpdateReadInfo(lpMessage, std::move(*updated));
        WriteId(lpszMessageID, saved, flFlags);
    });
}

KMP_EXPORT ULONG MAPIDeleteMail(LHANDLE lhSession, ULONG_PTR, LPSTR lpszMessageID, FLAGS, ULONG)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        const std::string id(View(lpszMessageID));
        AboutMessage(*session, id, [&] { session->store->Remove(id); });
    });
}

KMP_EXPORT ULONG MAPIFreeBuffer(LPVOID pv)
{
    return FreeBlock(pv);
}

KMP_EXPORT ULONG MAPIAddress(LHANDLE lhSession, ULONG_PTR, LPSTR lpszCaption, ULONG nEditFields, LPSTR lpszLabels,
                             ULONG nRecips, lpMapiRecipDesc lpRecips, FLAGS, ULONG, LPULONG lpnNewRecips,
                             lpMapiRecipDesc *lppNewRecips)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (nEditFields > 4)
            Fail(MAPI_E_INVALID_EDITFIELDS);
        if (lpnNewRecips == nullptr || lppNewRecips == nullptr)
            Fail(MAPI_E_FAILURE);
        const std::shared_ptr<const AddressBook> shared = session->books->Of(session->profile.addressBook);
        const AddressBook &book = *shared;
        std::vector<Chosen> start;
        for (ULONG i = 0; i < nRecips && lpRecips != nullptr; ++i) {
            const MapiRecipDesc &r = lpRecips[i];
            if (r.ulRecipClass < MAPI_TO || r.ulRecipClass > MAPI_BCC)
                Fail(MAPI_E_INVALID_RECIPS);
            const Mailbox m = RecipientMailbox(r, book);
            start.push_back({m, r.ulRecipClass, AddressEntryId(m.address)});
        }
        std::vector<Chosen> chosen = AddressDialog(book, std::move(start), nEditFields,
                                                   NarrowToUtf8(View(lpszCaption)), NarrowToUtf8(View(lpszLabels)));
        // The answer groups To, then Cc, then Bcc.
        std::stable_sort(chosen.begin(), chosen.end(),
                         [](const Chosen &a, const Chosen &b) { return a.recipClass < b.recipClass; });
        *lpnNewRecips = 0;
        *lppNewRecips = nullptr;
        if (chosen.empty())
            return; // nothing allocated for an empty answer
        auto block = std::make_unique<Block>();
        MapiRecipDesc *recips = block->Recips(chosen.size());
        for (size_t i = 0; i < chosen.size(); ++i)
            FillRecip(*block, recips[i], static_cast<ULONG>(chosen[i].recipClass), chosen[i].mailbox.name,
                      chosen[i].mailbox.address, chosen[i].entryId);
        *lpnNewRecips = static_cast<ULONG>(chosen.size());
        *lppNewRecips = static_cast<lpMapiRecipDesc>(HandOut(std::move(block), recips));
    });
}

KMP_EXPORT ULONG MAPIDetails(LHANDLE lhSession, ULONG_PTR, lpMapiRecipDesc lpRecip, FLAGS, ULONG)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (lpRecip == nullptr || lpRecip->ulEIDSize == 0 || lpRecip->lpEntryID == nullptr)
            Fail(MAPI_E_AMBIGUOUS_RECIPIENT);
        const std::shared_ptr<const AddressBook> book = session->books->Of(session->profile.addressBook);
        const std::string address =
            book->AddressOf(std::string_view(static_cast<const char *>(lpRecip->lpEntryID), lpRecip->ulEIDSize));
        if (address.empty())
            Fail(MAPI_E_INVALID_RECIPS);
        DetailsDialog(book->Resolve(address));
    });
}

KMP_EXPORT ULONG MAPIResolveName(LHANDLE lhSession, ULONG_PTR, LPSTR lpszName, FLAGS flFlags, ULONG,
                                 lpMapiRecipDesc *lppRecip)
{
    return Guard([&] {
        const auto session = FindSession(lhSession);
        if (lppRecip == nullptr)
            Fail(MAPI_E_FAILURE);
        const std::shared_ptr<const AddressBook> book = session->books->Of(session->profile.addressBook);
        const std::string name = NarrowToUtf8(View(lpszName));
        std::vector<Resolved> matches;
        Resolved resolved;
        try {
            resolved = book->Resolve(name, &matches);
        } catch (const MapiError &e) {
            // With MAPI_DIALOG the user may pick among several matches.
            if (e.code != MAPI_E_AMBIGUOUS_RECIPIENT || (flFlags & MAPI_DIALOG) == 0)
                throw;
            resolved = PickDialog(name, matches);
        }
        auto block = std::make_unique<Block>();
        MapiRecipDesc *recip = block->Recips(1);
        FillRecip(*block, *recip, MAPI_TO, resolved.name, resolved.address, resolved.entryId);
        *lppRecip = static_cast<lpMapiRecipDesc>(HandOut(std::move(block), recip));
    });
}
