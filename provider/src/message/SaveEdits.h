// The edits a save makes to a stored message, each on the bytes it names:
// header fields of the message replaced line for line (folded and encoded
// through GMime), the note text's part replaced, a part removed, new parts
// inserted, or the message's content put into a new multipart/mixed. What
// cannot be done that way fails the save (MAPI_E_FAILURE, logged) with the
// stored message untouched: never a lossy rewrite.
#pragma once

#include "message/SaveInPlace.h"
#include "message/Message.h"
#include "message/Mime.h"
#include "message/Parse.h"

#include <string>
#include <vector>

namespace kelvra_provider {

// A file is searched for delimiter lines a chunk at a time: a message of any
// size is never read whole.
constexpr std::size_t kChunk = 64 * 1024;

// Where the first delimiter line `prefix` ("--boundary", "--boundary--")
// starts at or after `from` (taken as a line start), or npos. A delimiter
// line is the prefix at a line's start, then the line's end, blanks or "--".
std::size_t LineForward(const StoredBytes &file, std::size_t from, const std::string &prefix);
// Where the last delimiter line `prefix` starts in [from, to), or npos.
std::size_t LineBackward(const StoredBytes &file, std::size_t from, std::size_t to, const std::string &prefix);

class MessageEdit {
public:
    // `message` is the stored file parsed, with its layout.
    MessageEdit(const StoredBytes &file, const MessageLayout &layout, GMimeMessage *message);

    // Replaces every field of that name in the message's header block by
    // `lines` (complete lines, as FieldLines gives them), standing where the
    // first one stood, or at the end of the block; empty lines remove them.
    void SetField(const char *name, const std::string &lines);
    // One field's lines as GMime folds and encodes them, with the file's
    // line breaks: an unstructured value, or a list of mailboxes.
    std::string FieldLines(const char *name, const std::string &utf8) const;
    std::string AddressLines(const char *name, const std::vector<Mailbox> &list) const;

    // The content of the message after the edits: the note text (nullptr:
    // as it stands; `text` replaces it, or adds a note text where there is
    // none), the shown parts to remove, and new parts to add at the end.
    void Content(const MessageParts &parts, const std::string *text, const std::vector<GMimeObject *> &removed,
                 const std::vector<GMimeObject *> &added);

    const Splice &Edits() const { return splice_; }

private:
    struct Span {
        std::size_t start, end;
    };
    // A shown part's bytes, from its delimiter line to the next delimiter
    // line (nested parts only).
    Span PartSpan(GMimeObject *part, GMimeObject *parent) const;
    void ReplaceText(GMimeTextPart *body, GMimeObject *parent, const std::string &text);
    // Inserts serialized parts into the top multipart/mixed: first (before
    // its first delimiter line) or last (before its closing one).
    void InsertIntoTop(const std::vector<std::string> &serialized, bool first);
    // Puts the message's content into a new multipart/mixed: the text part
    // (if any), the old content (when kept), then the added parts.
    void Wrap(const std::string *textPart, bool keepOld, const std::vector<std::string> &added);
    // The header lines of a scratch object, folded and encoded by GMime.
    std::string HeaderLines(GMimeObject *scratch) const;
    std::string Serialized(GMimeObject *part) const;
    std::string TextPart(const std::string &utf8) const;
    void Require(bool possible, const char *what) const;
    // The blank line a header block that ends without one gets from the
    // first edit that needs it (a field added before a body, a new text or
    // wrapping), once; empty otherwise.
    std::string BlankLineOnce();

    const StoredBytes &file_;
    const MessageLayout &layout_;
    GMimeMessage *message_;
    std::string newline_;
    std::vector<FieldSpan> fields_; // of the message's header block
    Splice splice_;
    bool blankLineGiven_ = false;
};

} // namespace kelvra_provider
