// The provider's view of a stored message through GMime: which part is the
// note text and which parts are handed out as files, the headers a record
// shows, and the small ownership helpers. Reading and saving both go through
// these, so a save sees a message exactly as a read showed it.
#pragma once

#include "message/Envelope.h"
#include "message/Message.h"

#include <gmime/gmime.h>

#include <functional>
#include <string>
#include <vector>

namespace kelvra_provider {

void InitGMime();

// Ownership of one GObject reference.
template <class T>
struct Ref {
    T *p = nullptr;
    explicit Ref(T *object = nullptr) : p(object) {}
    ~Ref()
    {
        if (p != nullptr)
            g_object_unref(p);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    T *get() const { return p; }
};

inline std::string Safe(const char *text) { return text != nullptr ? text : ""; }

// A message's parts as a read shows them: the first inline text/plain part
// is the note text; every other leaf part, and every attached message, is
// handed out as a file, in the order they stand in the message. A message
// without such a part whose body is HTML (a text/html message, the HTML of
// a multipart/alternative, the root of a multipart/related, the first part
// of a multipart/mixed or signed) reads its text from that HTML, which is
// still handed out as a file.
struct ShownPart {
    GMimeObject *object = nullptr; // a GMimePart or a GMimeMessagePart
    GMimeObject *parent = nullptr; // its multipart; null for the message's top part
};
struct MessageParts {
    GMimeTextPart *body = nullptr;
    GMimeObject *bodyParent = nullptr;
    GMimePart *html = nullptr; // with no body: the HTML the text is rendered from
    std::vector<ShownPart> files;
};
MessageParts ShownParts(GMimeMessage *message);

// A time in ISO 8601 with seconds and its offset always as ±hh:mm (Z for
// UTC), the form every date parser reads; empty for null.
std::string IsoDate(GDateTime *date);

// The note text of a body part as a read gives it (UTF-8, without the line
// break that ends the last line); empty for none.
std::string BodyText(GMimeTextPart *body);
// The note text a read gives: the body's (BodyText), else the HTML's
// rendered as text (HtmlText.h), else empty.
std::string NoteText(const MessageParts &parts);

// The name a shown part is handed out under: its own file name (the last
// part of a path, after '/' or '\\'), else one that says what it is
// ("message.html", "invite.ics", "message.eml", ...).
std::string ShownName(GMimeObject *part);
// Writes a shown part's content (decoded; an attached message as it stands).
// Returns false when the stream failed.
bool WriteShown(GMimeObject *part, GMimeStream *stream);

// Every mailbox of every header of that name: GMime 3.2.13 keeps only the
// last of several To: or Cc: headers, so each header is parsed here.
std::vector<Mailbox> AllMailboxes(GMimeMessage *message, const char *header);
// Replaces a message's addresses of one kind in one change (adding them one
// by one makes GMime format the whole header again each time).
void SetMailboxes(GMimeMessage *message, GMimeAddressType type, const std::vector<Mailbox> &list);

// The subject: the last Subject header's text, decoded by the one rule for
// header texts (HeaderText.h).
std::string SubjectOf(GMimeMessage *message);
// Whether a part is the note text's kind: text/plain, or a type GMime
// cannot read, which is text/plain by default.
bool IsPlainText(GMimeObject *object);
// A header's value without leading blanks; empty when it is missing.
std::string HeaderValue(GMimeMessage *message, const char *name);
// The fields a read derives from the headers.
std::string MessageClassOf(GMimeMessage *message);  // "" for ordinary mail
std::string ConversationOf(GMimeMessage *message);
// The one rule for a message's conversation: its X-Conversation-ID, else the
// first identifier of References, else of In-Reply-To, else its own
// identifier (`messageId`, called only when needed).
std::string Conversation(const std::string &conversationHeader, const std::string &references,
                         const std::string &inReplyTo, const std::function<std::string()> &messageId);
bool ReceiptRequested(GMimeMessage *message);
bool Unsent(GMimeMessage *message);

// A GMime formatting option set that ends lines the way `sample` (the
// start of a stored file) does: CRLF unless its first line ends in LF alone.
GMimeFormatOptions *FormatLike(const std::string &sample);

} // namespace kelvra_provider
