#include "cache/CacheRows.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra_provider {

namespace {

constexpr int kReceipt = 1, kUnsent = 2, kHasFrom = 4;

// The recipients of an entry, in one column, so that an entry is one row:
// each is its class (one byte), then its name and its address, each a
// length (7 bits a byte, low first, the high bit set while more follow)
// and the bytes.
void PutLength(std::string &out, size_t n)
{
    for (; n >= 0x80; n >>= 7)
        out += static_cast<char>(0x80 | (n & 0x7F));
    out += static_cast<char>(n);
}

std::string RecipientsColumn(const Envelope &e)
{
    std::string out;
    for (const Envelope::Recipient &r : e.recipients) {
        out += static_cast<char>(r.recipClass);
        PutLength(out, r.mailbox.name.size());
        out += r.mailbox.name;
        PutLength(out, r.mailbox.address.size());
        out += r.mailbox.address;
    }
    return out;
}

bool TakeText(std::string_view &in, std::string &out)
{
    size_t n = 0;
    for (int shift = 0;; shift += 7) {
        if (in.empty() || shift > 28)
            return false;
        const auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        n |= static_cast<size_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0)
            break;
    }
    if (n > in.size())
        return false;
    out.assign(in.data(), n);
    in.remove_prefix(n);
    return true;
}

// False for a column that is not what RecipientsColumn writes.
bool ReadRecipients(std::string_view in, std::vector<Envelope::Recipient> &out)
{
    while (!in.empty()) {
        const auto kind = static_cast<ULONG>(static_cast<unsigned char>(in.front()));
        in.remove_prefix(1);
        if (kind != MAPI_TO && kind != MAPI_CC && kind != MAPI_BCC)
            return false;
        Envelope::Recipient r{{}, kind};
        if (!TakeText(in, r.mailbox.name) || !TakeText(in, r.mailbox.address))
            return false;
        out.push_back(std::move(r));
    }
    return true;
}

// False when the row's recipients are not what this library writes.
bool EnvelopeFromRow(sqlite3_stmt *s, int first, Envelope &envelope)
{
    envelope.messageClass = Column(s, first);
    envelope.subject = Column(s, first + 1);
    const int flags = sqlite3_column_int(s, first + 5);
    if ((flags & kHasFrom) != 0)
        envelope.from = Mailbox{std::string(Column(s, first + 2)), std::string(Column(s, first + 3))};
    envelope.conversation = Column(s, first + 4);
    envelope.receiptRequested = (flags & kReceipt) != 0;
    envelope.unsent = (flags & kUnsent) != 0;
    envelope.fallback = Column(s, first + 7);
    if (sqlite3_column_type(s, first + 8) == SQLITE_INTEGER) {
        const sqlite3_int64 files = sqlite3_column_int64(s, first + 8);
        if (files < 0 || files > UINT32_MAX)
            return false;
        envelope.files = static_cast<std::uint32_t>(files);
    }
    const auto *blob = static_cast<const char *>(sqlite3_column_blob(s, first + 6));
    const auto bytes = static_cast<size_t>(sqlite3_column_bytes(s, first + 6));
    return ReadRecipients(blob == nullptr ? std::string_view() : std::string_view(blob, bytes), envelope.recipients);
}

} // namespace

std::string_view Column(sqlite3_stmt *s, int i)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, i));
    return text == nullptr ? std::string_view() : std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(s, i)));
}

void Bind(sqlite3_stmt *s, int i, std::string_view text)
{
    sqlite3_bind_text(s, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

bool Damaged(int rc)
{
    rc &= 0xFF;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB || rc == SQLITE_FORMAT;
}

bool EntryFromRow(sqlite3_stmt *s, int first, CachedEnvelope &entry)
{
    entry.name = Column(s, first);
    entry.stamp.size = sqlite3_column_int64(s, first + 1);
    entry.stamp.seconds = sqlite3_column_int64(s, first + 2);
    entry.stamp.nanoseconds = static_cast<std::int32_t>(sqlite3_column_int64(s, first + 3));
    entry.stamp.inode = static_cast<std::uint64_t>(sqlite3_column_int64(s, first + 4));
    return EnvelopeFromRow(s, first + 5, entry.envelope);
}

void BindEntry(sqlite3_stmt *insert, std::string_view id, const CachedEnvelope &p)
{
    const Envelope &e = p.envelope;
    Bind(insert, 1, id);
    Bind(insert, 2, p.name);
    sqlite3_bind_int64(insert, 3, p.stamp.size);
    sqlite3_bind_int64(insert, 4, p.stamp.seconds);
    sqlite3_bind_int64(insert, 5, p.stamp.nanoseconds);
    sqlite3_bind_int64(insert, 6, static_cast<sqlite3_int64>(p.stamp.inode));
    Bind(insert, 7, e.messageClass);
    Bind(insert, 8, e.subject);
    Bind(insert, 9, e.from ? e.from->name : std::string());
    Bind(insert, 10, e.from ? e.from->address : std::string());
    Bind(insert, 11, e.conversation);
    sqlite3_bind_int(insert, 12, (e.receiptRequested ? kReceipt : 0) | (e.unsent ? kUnsent : 0) | (e.from ? kHasFrom : 0));
    const std::string recipients = RecipientsColumn(e);
    sqlite3_bind_blob(insert, 13, recipients.data(), static_cast<int>(recipients.size()), SQLITE_TRANSIENT);
    Bind(insert, 14, e.fallback);
    if (e.files)
        sqlite3_bind_int64(insert, 15, *e.files);
    else
        sqlite3_bind_null(insert, 15);
}

} // namespace kelvra_provider
