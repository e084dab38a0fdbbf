// The note text of a message whose only body is HTML: the page rendered as
// plain text, as a terminal mail reader shows it. libxml2's HTML parser
// reads the markup and hands it to us through SAX callbacks, as it goes: no
// tree is built, and neither it nor we recurse over the page's nesting, so
// cost stays linear and the stack small however deep a page nests. The
// rendering is ours:
//
// - block elements (p, div, tr, h1-h6, li, blockquote, pre, hr, table, ...)
//   start new lines, paragraphs, headings, quotes and pre blocks stand apart
//   by one blank line (never more than one in a row outside pre); br breaks
//   a line; runs of white space (and &nbsp;) collapse outside pre; pre
//   stays verbatim;
// - list items as "* " or "1. " (from an ol's start), nested lists
//   indented under their item;
// - table rows on their own lines, the texts of a row's cells two spaces
//   apart;
// - a link's address after its text ("menu <https://...>") unless the text
//   is the address (or the address is "mailto:" and the text); a link to a
//   place in the page or to a script shows its text alone;
// - an image its alt text, else nothing; hr a line of dashes;
// - blockquote lines start with "> ", one per level;
// - entities as the parser decodes them (an unknown one stays as written);
// - nothing from head, title, script, style, template, comments or CDATA.
//
// Lines end in CRLF; no line break ends the text. Quote marks and list
// indents stop growing past a nesting of 32 levels, so that the text stays
// linear in the page.
#pragma once

#include <string>
#include <string_view>

namespace kelvra_provider {

// The text of an HTML page. `declaredCharset`: the charset its MIME part
// names (null or empty when none); else the page's own <meta charset> or
// http-equiv declaration, else UTF-8 when the bytes are valid UTF-8, else
// the session's fallback charset (the one rule for texts, HeaderText.h).
std::string HtmlText(std::string_view html, const char *declaredCharset);

} // namespace kelvra_provider
