// Texts of a stored message as a good mail reader shows them: the one home
// for decoding header texts and the note text's characters, whichever path
// reads them (a whole message through GMime, an envelope from its header
// block, a message fetched over IMAP).
//
// - Encoded words are decoded each on its own through GMime, the blanks
//   between adjacent ones dropped (RFC 2047). GMime 3.2.13, as Debian 12
//   ships it, merges adjacent base64 words first and loses everything after
//   one that ends in "=" padding (GMime issue 133, "Wrong decoding of
//   consecutive B-encoded words", fixed after 3.2.13).
// - No character vanishes: bytes that are valid UTF-8 read as UTF-8, any
//   other 8-bit text through the session's fallback charset (windows-1252
//   unless the profile's `fallbackcharset` says otherwise); a text part whose declared
//   charset does not fit its bytes is read the same way.
#pragma once

#include <gmime/gmime.h>

#include <string>
#include <string_view>

namespace kelvra_provider {

// The charset 8-bit text that is not UTF-8 is read in: each session's own,
// from its profile. A thread takes its session's for the length of a call
// (and a task done for it carries it to the provider's thread); a thread
// outside any takes windows-1252.
class FallbackScope {
public:
    // An unknown name is taken as windows-1252.
    explicit FallbackScope(const std::string &charset);
    ~FallbackScope();
    FallbackScope(const FallbackScope &) = delete;
    FallbackScope &operator=(const FallbackScope &) = delete;

private:
    const std::string *before_;
    GMimeParserOptions *beforeOptions_;
};
const std::string &FallbackCharset();
// Whether iconv knows a charset's name.
bool KnownCharset(const std::string &charset);

// GMime's options with the thread's fallback charsets (UTF-8, then the
// fallback). Valid for the life of the process.
GMimeParserOptions *ParserOptions();

// A raw header value with every run of adjacent encoded words replaced by
// one UTF-8 encoded word holding their texts, each decoded on its own: what
// GMime's own parsers (addresses, parameters) then decode right.
std::string CollapseEncodedWords(std::string_view raw);

// An unstructured header's text: unfolded, encoded words decoded, raw 8-bit
// bytes read as said above. Leading blanks stay.
std::string DecodeHeaderText(std::string_view raw);

// A text part's decoded bytes as UTF-8: in the declared charset when that
// names one that reads every byte (US-ASCII only for 7-bit text), else as
// UTF-8 when they are valid UTF-8, else in the fallback charset.
std::string DecodeBodyText(std::string_view bytes, const char *declaredCharset);

} // namespace kelvra_provider
