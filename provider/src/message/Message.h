// Messages: what composing and reading share (their parts are message/Compose.h
// and message/ReadRecord.h).
#pragma once

#include "Blocks.h"
#include "StoredFile.h"
#include "mapi/SimpleMapi.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GMimeMessage GMimeMessage;

namespace kelvra_provider {

const std::string &FallbackCharset(); // message/HeaderText.h

struct Mailbox {
    std::string name;    // UTF-8, may be empty
    std::string address; // user@host
};

struct Attachment {
    std::string path;    // the file to read
    std::string name;    // the name the recipient sees (UTF-8); empty: NarrowPathName
};

// The name a recipient sees of a file a narrow record names by its path
// alone: the path's last part, read as narrow text.
std::string NarrowPathName(std::string_view path);

// An outgoing or saved message, all texts UTF-8.
struct Composition {
    Mailbox from;
    std::vector<Mailbox> to, cc, bcc;
    bool bccInHeader = false;   // a saved draft keeps its Bcc; a sent message never shows it
    std::string subject;
    std::string body;
    std::string messageType;    // empty or interpersonal: no header
    std::string conversationId;
    bool receiptRequested = false;
    bool unsent = false;        // "X-Unsent: 1"
    std::string date;           // RFC 5322 date; empty: now
    std::string messageId;      // empty: a new one
    std::vector<Attachment> attachments;
    // The charset of a text attachment that is not UTF-8: the session's
    // fallback, taken where the record is made (the message may be composed
    // on another thread).
    std::string fallbackCharset = FallbackCharset();
};

// Ordinary mail's class; it (or the empty type, or "IPM") needs no header.
constexpr const char *kInterpersonalClass = "IPM.Note";
bool IsInterpersonal(const std::string &type);
// Whether a message of class `cls` ("" = ordinary mail) is of the type a
// caller asks for; types match as prefixes, and the empty type is ordinary
// interpersonal mail ("IPM.Note"), so "IPM" asks for every IPM class.
bool TypeMatches(const std::string &cls, const std::string &type);

} // namespace kelvra_provider
