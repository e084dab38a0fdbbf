// What an envelope-only read shows of a message, taken from its header block
// alone: the file is read up to the blank line that ends the headers (at most
// kHeaderLimit bytes), scanned once, and only the fields a record shows are
// decoded, with GMime's own header and address decoders. The message's class
// comes from the same read, so a type-filtered walk and an envelope read of
// one message cost one read of its header.
#pragma once

#include "message/Message.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {

// A header block longer than this (no blank line in sight) is not looked
// into for the class; an envelope read of it goes through the whole parser.
constexpr std::size_t kHeaderLimit = 256 * 1024;

struct Envelope {
    std::string subject;            // decoded, UTF-8
    std::optional<Mailbox> from;    // the first mailbox of the From headers
    struct Recipient {
        Mailbox mailbox;
        ULONG recipClass;           // MAPI_TO, MAPI_CC or MAPI_BCC
    };
    std::vector<Recipient> recipients; // every To, then every Cc, then every Bcc header
    std::string conversation;
    std::string messageClass;       // "" for ordinary mail
    bool receiptRequested = false;
    bool unsent = false;
    std::string fallback;           // the charset its 8-bit texts were read in (HeaderText.h)
    // How many files a read of the message hands out, where the store can
    // tell without reading the body (an IMAP server's BODYSTRUCTURE).
    std::optional<std::uint32_t> files;
};

// Whether a line is a header field's first line: a name of printable
// characters but the colon (blanks may stand before the colon), then the
// colon.
bool IsFieldLine(std::string_view line);

// Where a message's header block stands in the text at the start of its
// file, as mail readers take it: a UTF-8 byte-order mark at the very start,
// and an mbox "From " line at the start or after the mark, are no header;
// the header block ends at a blank line, or else at the first line that is
// neither a header field nor the continuation of one, which then starts the
// body (also when it is the very first line). Such a line without a blank
// in it (no prose) and followed right away by a field, though, is one a
// sender forgot to fold: it continues the field before it and the header
// block goes on.
struct HeaderBounds {
    std::size_t begin = 0; // the first header line
    std::size_t end = 0;   // just after the last header line
    std::size_t body = 0;  // where the body starts: after the blank line, or `end` without one
    std::vector<std::size_t> unfolded; // where each line that continues a field without a blank starts
};
// The bounds in `text`; nullopt while the text read so far cannot tell
// (`complete`: the text is the whole file).
std::optional<HeaderBounds> FindHeaderBounds(std::string_view text, bool complete);
// Whether a line within a header block's bounds continues the field before
// it: one that starts with a blank, or (as the bounds admit it) no field.
bool ContinuesField(std::string_view line);
// The header block of a text that starts a message (a server's header
// text, say), bounded as above.
std::string_view HeaderBlockOf(std::string_view text);
// Reads an open file from its start through the start of the body (at
// most kHeaderLimit bytes); nullopt when it runs past that or cannot be
// read.
std::optional<std::string> ReadHeaderStart(int fd, HeaderBounds *bounds);

// The header block of an open file, read from its start (the bounds' begin
// to end). nullopt when it runs past kHeaderLimit or the file cannot be read.
std::optional<std::string> ReadHeaderBlock(int fd);

// A message's class from the raw value of its X-Message-Class header:
// unfolded with one blank for each line break, trimmed, encoded words
// decoded. One rule for the walk's filter and for every read.
std::string MessageClassOfValue(std::string_view raw);

// The value of the X-Message-Class header of a header block ("" when none),
// as MessageClassOfValue gives it.
std::string MessageClassOfHeader(std::string_view header);

// Adds the mailboxes of a raw From, To, Cc or Bcc value (groups opened;
// with `firstOnly` at most one). A value GMime finds no mailbox in but that
// holds an address still gives that address, the rest as the name.
void AddMailboxes(std::vector<Mailbox> &out, std::string_view raw, bool firstOnly);

// The envelope of a header block (as ReadHeaderBlock gives it).
Envelope EnvelopeOfHeader(std::string_view header);

} // namespace kelvra_provider
