// The record of an outgoing message, built alike for narrow and for wide
// texts (MapiMessage, MapiMessageW): one home for its rules.
#pragma once

#include "Internal.h"
#include "host/StringList.h"
#include "kelvra/ListText.h"
#include "kelvra/SendMail.h"
#include "mapi/SimpleMapi.h"

#include <cstddef>
#include <vector>

namespace kelvra {

// The records of three recipient lists, zero-filled: the items of `to`
// first (MAPI_TO), then `cc` (MAPI_CC), then `bcc` (MAPI_BCC), each in list
// order. `fill(item, record)` sets the texts; the class is set before.
template <class Recip, class Fill>
std::vector<Recip> RecipientRecords(const String &to, const String &cc, const String &bcc, Fill fill)
{
    host::TStringList lists[3];
    SplitList(to, lists[0]);
    SplitList(cc, lists[1]);
    SplitList(bcc, lists[2]);
    std::vector<Recip> recips(lists[0].Count() + lists[1].Count() + lists[2].Count());
    std::size_t k = 0;
    const ULONG classes[3] = {MAPI_TO, MAPI_CC, MAPI_BCC};
    for (int list = 0; list < 3; ++list) {
        for (const String &item : lists[list].Lines()) {
            recips[k].ulRecipClass = classes[list];
            fill(item, recips[k]);
            ++k;
        }
    }
    return recips;
}

// The records of an attachment list, zero-filled, in reverse list order (the
// first file named is the last record), none with a place in the text.
// `path(item)` gives the path field.
template <class File, class Path>
std::vector<File> FileRecords(const String &attach, Path path)
{
    host::TStringList items;
    SplitList(attach, items);
    const std::size_t count = items.Count();
    std::vector<File> files(count);
    for (std::size_t i = 0; i < count; ++i) {
        File &file = files[count - 1 - i];
        file.lpszPathName = path(items[i]);
        file.nPosition = 0xFFFFFFFFu; // no place in the text
    }
    return files;
}

// Points the message's texts at `subject`, `noteText` and `messageType`,
// which are in the call's form and live until the call has returned: an
// empty one goes as null. `noteText` is the body's text form, every line
// followed by CR LF; it loses the break after the last line, so one empty
// line is an empty (not null) text and no lines no text at all. The receipt
// flag goes to the message, not to the call.
template <class Message, class Text>
void FillMessage(Message &message, Text &subject, Text &noteText, Text &messageType, TSendFlags flags)
{
    if (!subject.empty())
        message.lpszSubject = subject.data();
    if (noteText.size() >= 2) {
        noteText.resize(noteText.size() - 2);
        message.lpszNoteText = noteText.data();
    }
    if (!messageType.empty())
        message.lpszMessageType = messageType.data();
    if (flags.Contains(TSendFlag::sfReceiptRequested))
        message.flFlags = MAPI_RECEIPT_REQUESTED;
}

// Points the message at its record arrays; an empty one goes as null.
template <class Message, class Recip, class File>
void AttachRecords(Message &message, std::vector<Recip> &recips, std::vector<File> &files)
{
    message.nRecipCount = RecordCount(recips.size());
    message.lpRecips = recips.empty() ? nullptr : recips.data();
    message.nFileCount = RecordCount(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();
}

} // namespace kelvra
