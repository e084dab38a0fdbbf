// What an envelope-only read shows of a message, taken from its header block
// alone: the file is read up to the blank line that ends the headers (at most
// kHeaderLimit bytes), scanned once, and only the fields a record shows are
// decoded, with GMime's own header and address decoders. The message's class
// comes from the same read, so a type-filtered walk and an envelope read of
// one message cost one read of its header.
#pragma once

#include "Message.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kmp {

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
};

// The header block of an open file, read from its start: through the blank
// line that ends it (exclusive), or the whole file when it has none. nullopt
// when it runs past kHeaderLimit or the file cannot be read.
std::optional<std::string> ReadHeaderBlock(int fd);

// A message's class from the raw value of its X-Message-Class header:
// unfolded with one blank for each line break, trimmed, encoded words
// decoded. One rule for the walk's filter and for every read.
std::string MessageClassOfValue(std::string_view raw);

// The value of the X-Message-Class header of a header block ("" when none),
// as MessageClassOfValue gives it.
std::string MessageClassOfHeader(std::string_view header);

// The envelope of a header block (as ReadHeaderBlock gives it).
Envelope EnvelopeOfHeader(std::string_view header);

} // namespace kmp
