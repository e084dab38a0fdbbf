// TKelvraSendMail: recipient records and the address-book selection.
#include "kelvra/SendMail.h"

#include "Internal.h"
#include "MapiBlock.h"
#include "Records.h"
#include "kelvra/Binding.h"
#include "kelvra/Errors.h"
#include "kelvra/ListText.h"

#include <limits>

namespace kelvra {

ULONG RecordCount(std::size_t count)
{
    CheckCondition(count <= std::numeric_limits<ULONG>::max(), u"Too many items in one list.");
    return static_cast<ULONG>(count);
}

std::vector<MapiRecipDesc> TKelvraSendMail::GetMapiRecipients(TStringBuffers &buffers)
{
    return RecipientRecords<MapiRecipDesc>(FSendTo, FCc, FBcc, [&](const String &item, MapiRecipDesc &recip) {
        SetRecipient(item, recip, buffers);
    });
}

lpMapiRecipDesc ResolveEntry(ULONG_PTR window, LHANDLE session, char *name)
{
    const LPMAPIRESOLVENAME resolveName = MapiResolveName();
    lpMapiRecipDesc resolved = nullptr;
    const ULONG result = resolveName(session, window, name, 0, 0, &resolved);
    // Not resolved, for whatever reason (a success without an entry
    // included): the item goes as a name only, and the platform has the last
    // word when the message is sent. A failure hands nothing out.
    return result == SUCCESS_SUCCESS ? resolved : nullptr;
}

void TKelvraSendMail::SetRecipient(std::u16string_view item, MapiRecipDesc &recip, TStringBuffers &buffers)
{
    char *name = buffers.Append(host::ToAnsi(item));
    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const lpMapiRecipDesc resolved = ResolveEntry(window, session, name);
    if (resolved == nullptr) {
        recip.lpszName = name;
        return;
    }
    TMapiBlock block(resolved);
    recip.lpszName = buffers.Append(resolved->lpszName != nullptr ? resolved->lpszName : "");
    recip.lpszAddress = buffers.Append(resolved->lpszAddress != nullptr ? resolved->lpszAddress : "");
    block.Free();
}

bool TKelvraSendMail::SelectRecipients()
{
    TStringBuffers buffers;
    std::vector<MapiRecipDesc> current = GetMapiRecipients(buffers);

    const ULONG_PTR window = ParentWnd();
    const LHANDLE session = SessionHandle();
    const LPMAPIADDRESS address = MapiAddress();
    ULONG newCount = 0;
    lpMapiRecipDesc newRecips = nullptr;
    const ULONG result = address(session, window, nullptr, 4, nullptr, RecordCount(current.size()),
                                 current.empty() ? nullptr : current.data(), 0, 0, &newCount, &newRecips);
    if (result == MAPI_USER_ABORT)
        return false;
    Check(result);

    // An answer of no entries owns nothing; a count without an array is an
    // answer of no entries.
    if (newRecips == nullptr)
        newCount = 0;
    TMapiBlock block(newCount > 0 ? newRecips : nullptr);
    String lists[3];
    for (ULONG i = 0; i < newCount; ++i) {
        const MapiRecipDesc &entry = newRecips[i];
        if (entry.ulRecipClass < MAPI_TO || entry.ulRecipClass > MAPI_BCC)
            continue; // the originator, or a class the lists have no place for
        // The address wins over the display name whenever there is one.
        const char *text = entry.lpszAddress != nullptr ? entry.lpszAddress
                           : entry.lpszName != nullptr  ? entry.lpszName
                                                        : "";
        AppendListItem(lists[entry.ulRecipClass - MAPI_TO], host::FromAnsi(text));
    }
    FSendTo = std::move(lists[0]);
    FCc = std::move(lists[1]);
    FBcc = std::move(lists[2]);
    block.Free();
    return true;
}

} // namespace kelvra
