#include "message/HtmlText.h"

#include "Text.h"
#include "message/HeaderText.h"
#include "message/Mime.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kelvra_provider {

namespace {

// The parser's options for every pass: recover from anything, report
// nothing (an application's standard error is not ours to write to), never
// fetch, and take the bytes in the encoding we hand them in.
constexpr int kParseOptions =
    HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET | HTML_PARSE_IGNORE_ENC;

// Quote marks and list indents stop growing past this many bytes.
constexpr std::size_t kMaxPrefix = 64;

void InitParser()
{
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

std::string_view Name(const xmlChar *name) { return name != nullptr ? reinterpret_cast<const char *>(name) : ""; }

// An attribute's value (libxml2 gives attributes as name, value pairs; a
// name without value has a null value); null when the element has none.
const char *Attribute(const xmlChar **attributes, std::string_view wanted)
{
    for (std::size_t i = 0; attributes != nullptr && attributes[i] != nullptr; i += 2)
        if (SameText(Name(attributes[i]), wanted))
            return attributes[i + 1] != nullptr ? reinterpret_cast<const char *>(attributes[i + 1]) : "";
    return nullptr;
}

void IgnoreError(void *, xmlErrorPtr) {}

// A SAX handler with the callbacks given and every report silenced.
htmlSAXHandler Handler()
{
    htmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC; // makes the parser use serror
    sax.serror = IgnoreError;
    return sax;
}

// Runs the parser over `text` with `sax`, `context` as user data; the
// callbacks can stop it (xmlStopParser on `*running`). The parser reads
// the text from memory, which the message's content is in anyway: its push
// form (libxml2 2.9.14) drops everything after an end tag that comes
// before any content, where this one reads on.
void Parse(std::string_view text, const htmlSAXHandler &sax, void *context, xmlCharEncoding encoding,
           htmlParserCtxtPtr *running = nullptr)
{
    if (text.empty())
        return;
    InitParser();
    // The parser counts in int; a page of 2 GB is read that far.
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), std::numeric_limits<int>::max()));
    const std::unique_ptr<htmlParserCtxt, void (*)(htmlParserCtxtPtr)> parser(
        htmlCreateMemoryParserCtxt(text.data(), size), htmlFreeParserCtxt);
    if (parser == nullptr)
        throw std::bad_alloc();
    *parser->sax = sax;
    parser->userData = context;
    htmlCtxtUseOptions(parser.get(), kParseOptions);
    if (encoding != XML_CHAR_ENCODING_NONE)
        xmlSwitchEncoding(parser.get(), encoding);
    if (running != nullptr)
        *running = parser.get();
    htmlParseDocument(parser.get());
}

// Runs a callback's work; no exception may pass through the parser's C
// code, so one (lack of memory) stops the parser and is kept for after it.
template <class Work>
void Guarded(htmlParserCtxtPtr parser, std::exception_ptr &failed, Work work)
{
    if (failed)
        return;
    try {
        work();
    } catch (...) {
        failed = std::current_exception();
        if (parser != nullptr)
            xmlStopParser(parser);
    }
}

// The charset a page declares for itself, in a <meta charset> or a <meta
// http-equiv="Content-Type" content="...; charset=...">, before its body.
struct MetaScan {
    htmlParserCtxtPtr parser = nullptr;
    std::string charset;

    std::exception_ptr failed;

    static void Start(void *context, const xmlChar *name, const xmlChar **attributes)
    {
        auto *scan = static_cast<MetaScan *>(context);
        Guarded(scan->parser, scan->failed, [&] { scan->Look(Name(name), attributes); });
    }

    void Look(std::string_view element, const xmlChar **attributes)
    {
        if (element == "body") {
            xmlStopParser(parser);
            return;
        }
        if (element != "meta")
            return;
        if (const char *own = Attribute(attributes, "charset"); own != nullptr && *own != '\0') {
            charset = own;
        } else if (const char *equiv = Attribute(attributes, "http-equiv");
                   equiv != nullptr && SameText(equiv, "content-type")) {
            const char *content = Attribute(attributes, "content");
            Ref<GMimeContentType> type(g_mime_content_type_parse(ParserOptions(), content != nullptr ? content : ""));
            const char *named = type.get() != nullptr ? g_mime_content_type_get_parameter(type.get(), "charset") : nullptr;
            charset = named != nullptr ? named : "";
        }
        if (!charset.empty())
            xmlStopParser(parser);
    }
};

std::string MetaCharset(std::string_view html)
{
    MetaScan scan;
    htmlSAXHandler sax = Handler();
    sax.startElement = &MetaScan::Start;
    // The bytes as they come: only the markup, which is ASCII, is read.
    Parse(html, sax, &scan, XML_CHAR_ENCODING_NONE, &scan.parser);
    if (scan.failed)
        std::rethrow_exception(scan.failed);
    // A page that says it is UTF-16 or UTF-32 in ASCII markup is not: HTML
    // reads such a claim as UTF-8.
    if (StartsWithText(scan.charset, "utf-16") || StartsWithText(scan.charset, "utf-32"))
        return "utf-8";
    return scan.charset;
}

// What an element does to the text.
enum class Kind : std::uint8_t {
    kInline, kHidden, kBlock, kParagraph, kPre, kQuote, kList, kItem, kRow, kCell, kLink, kImage, kBreak, kRule
};

Kind KindOf(std::string_view name)
{
    static const struct {
        std::string_view name;
        Kind kind;
    } kKinds[] = {
        {"a", Kind::kLink},          {"address", Kind::kBlock},   {"article", Kind::kBlock},
        {"aside", Kind::kBlock},     {"blockquote", Kind::kQuote}, {"body", Kind::kBlock},
        {"br", Kind::kBreak},        {"caption", Kind::kBlock},   {"center", Kind::kBlock},
        {"dd", Kind::kBlock},        {"details", Kind::kBlock},   {"dir", Kind::kList},
        {"div", Kind::kBlock},       {"dl", Kind::kBlock},        {"dt", Kind::kBlock},
        {"fieldset", Kind::kBlock},  {"figcaption", Kind::kBlock}, {"figure", Kind::kBlock},
        {"footer", Kind::kBlock},    {"form", Kind::kBlock},      {"h1", Kind::kParagraph},
        {"h2", Kind::kParagraph},    {"h3", Kind::kParagraph},    {"h4", Kind::kParagraph},
        {"h5", Kind::kParagraph},    {"h6", Kind::kParagraph},    {"head", Kind::kHidden},
        {"header", Kind::kBlock},    {"hr", Kind::kRule},         {"img", Kind::kImage},
        {"legend", Kind::kBlock},    {"li", Kind::kItem},         {"listing", Kind::kPre},
        {"main", Kind::kBlock},      {"menu", Kind::kList},       {"nav", Kind::kBlock},
        {"ol", Kind::kList},         {"p", Kind::kParagraph},     {"plaintext", Kind::kPre},
        {"pre", Kind::kPre},         {"script", Kind::kHidden},   {"section", Kind::kBlock},
        {"style", Kind::kHidden},    {"summary", Kind::kBlock},   {"table", Kind::kBlock},
        {"tbody", Kind::kBlock},     {"td", Kind::kCell},         {"template", Kind::kHidden},
        {"tfoot", Kind::kBlock},     {"th", Kind::kCell},         {"thead", Kind::kBlock},
        {"title", Kind::kHidden},    {"tr", Kind::kRow},          {"ul", Kind::kList},
        {"xmp", Kind::kPre},
    };
    const auto *end = std::end(kKinds);
    const auto *found = std::lower_bound(std::begin(kKinds), end, name,
                                         [](const auto &k, std::string_view n) { return k.name < n; });
    return found != end && found->name == name ? found->kind : Kind::kInline;
}

// A link's address is worth showing unless the text already says it: the
// same, but for a "mailto:", "http://" or "https://" before it, a "/" after
// it, or letter case.
std::string_view Bare(std::string_view address)
{
    for (const std::string_view scheme : {"mailto:", "http://", "https://"})
        if (StartsWithText(address, scheme)) {
            address.remove_prefix(scheme.size());
            break;
        }
    while (!address.empty() && address.back() == '/')
        address.remove_suffix(1);
    return address;
}

class Renderer {
public:
    std::string Render(std::string_view utf8)
    {
        htmlSAXHandler sax = Handler();
        sax.startElement = [](void *self, const xmlChar *name, const xmlChar **attributes) {
            auto *r = static_cast<Renderer *>(self);
            Guarded(r->parser_, r->failed_, [&] { r->Start(Name(name), attributes); });
        };
        sax.endElement = [](void *self, const xmlChar *name) {
            auto *r = static_cast<Renderer *>(self);
            Guarded(r->parser_, r->failed_, [&] { r->End(Name(name)); });
        };
        sax.characters = [](void *self, const xmlChar *text, int length) {
            auto *r = static_cast<Renderer *>(self);
            Guarded(r->parser_, r->failed_, [&] {
                r->Text(std::string_view(reinterpret_cast<const char *>(text), static_cast<std::size_t>(length)));
            });
        };
        // The parser hands white space between elements out as ignorable;
        // between inline elements it separates words.
        sax.ignorableWhitespace = sax.characters;
        // Comments, processing instructions and script or style content
        // (cdataBlock) have no callback: they show nothing.
        Parse(utf8, sax, this, XML_CHAR_ENCODING_UTF8, &parser_);
        parser_ = nullptr;
        if (failed_)
            std::rethrow_exception(failed_);
        return WithCrlf(out_);
    }

private:
    struct Frame {
        std::string name;
        Kind kind;           // as applied: kInline when inside hidden content
        std::size_t prefix;  // the prefix's length before the element
        std::size_t marker;  // for an item: how much of the prefix its marker stands in for
    };
    struct List {
        bool ordered;
        long next;
    };

    void Start(std::string_view name, const xmlChar **attributes)
    {
        Kind kind = KindOf(name);
        if (hidden_ > 0 && kind != Kind::kHidden)
            kind = Kind::kInline;
        Frame frame{std::string(name), kind, prefix_.size(), 0};
        switch (kind) {
        case Kind::kInline: break;
        case Kind::kHidden: ++hidden_; break;
        case Kind::kBlock:
        case Kind::kRow: Break(1); break;
        case Kind::kParagraph: Break(2); break;
        case Kind::kPre:
            Break(2);
            ++pre_;
            preStart_ = true;
            break;
        case Kind::kQuote:
            Break(2);
            Grow("> ");
            break;
        case Kind::kList: {
            Break(1);
            const char *start = Attribute(attributes, "start");
            const long first = start != nullptr ? std::strtol(start, nullptr, 10) : 1;
            lists_.push_back({name == "ol", std::clamp(first, -1000000000L, 1000000000L)});
            break;
        }
        case Kind::kItem: {
            Break(1);
            const bool ordered = !lists_.empty() && lists_.back().ordered;
            marker_ = ordered ? std::to_string(lists_.back().next++) + ". " : "* ";
            frame.marker = Grow(std::string(marker_.size(), ' '));
            markerIn_ = frame.marker;
            break;
        }
        case Kind::kCell: gap_ = true; break;
        case Kind::kLink: {
            EndLink();
            const char *href = Attribute(attributes, "href");
            std::string_view address = href != nullptr ? href : "";
            while (!address.empty() && IsSpace(address.front()))
                address.remove_prefix(1);
            while (!address.empty() && IsSpace(address.back()))
                address.remove_suffix(1);
            if (!address.empty() && address.front() != '#' && !StartsWithText(address, "javascript:")) {
                link_ = address;
                linkText_.clear();
                inLink_ = true;
            }
            break;
        }
        case Kind::kImage:
            if (const char *alt = Attribute(attributes, "alt"))
                Characters(alt);
            break;
        case Kind::kBreak: pending_ += 1; break;
        case Kind::kRule:
            Break(2);
            Characters(std::string(40, '-'));
            Break(2);
            break;
        }
        stack_.push_back(std::move(frame));
    }

    void End(std::string_view name)
    {
        // The parser closes what it opened; an end it did not match is
        // never passed on, but one that is closes what it encloses.
        auto it = std::find_if(stack_.rbegin(), stack_.rend(), [&](const Frame &f) { return f.name == name; });
        if (it == stack_.rend())
            return;
        const std::size_t keep = static_cast<std::size_t>(stack_.rend() - it) - 1;
        while (stack_.size() > keep) {
            Close(stack_.back());
            stack_.pop_back();
        }
    }

    void Close(const Frame &frame)
    {
        switch (frame.kind) {
        case Kind::kInline:
        case Kind::kImage:
        case Kind::kBreak:
        case Kind::kRule:
        case Kind::kCell: break;
        case Kind::kHidden: --hidden_; break;
        case Kind::kBlock:
        case Kind::kRow: Break(1); break;
        case Kind::kParagraph: Break(2); break;
        case Kind::kPre:
            --pre_;
            Break(2);
            break;
        case Kind::kQuote:
            prefix_.resize(frame.prefix);
            Break(2);
            break;
        case Kind::kList:
            lists_.pop_back();
            Break(1);
            break;
        case Kind::kItem:
            prefix_.resize(frame.prefix);
            marker_.clear();
            Break(1);
            break;
        case Kind::kLink: EndLink(); break;
        }
    }

    // Adds to the prefix of the lines to come, unless it is long enough;
    // how much it added.
    std::size_t Grow(const std::string &more)
    {
        if (prefix_.size() + more.size() > kMaxPrefix)
            return 0;
        prefix_ += more;
        return more.size();
    }

    void Break(int lines)
    {
        if (hidden_ == 0)
            pending_ = std::max(pending_, lines);
    }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

    // Text as the parser hands it out. The parser passes a "<!" that opens
    // neither a comment nor a doctype ("<![CDATA[...]]>", a conditional
    // "<![if !mso]>") on as text, a "<" on its own with the input still at
    // it; markup it is, up to its first ">", as HTML has it (a bogus
    // comment): none of it shows.
    void Text(std::string_view text)
    {
        if (text == "<" && parser_ != nullptr && parser_->input != nullptr && parser_->input->cur != nullptr &&
            parser_->input->end - parser_->input->cur >= 2 && parser_->input->cur[0] == '<' &&
            parser_->input->cur[1] == '!') {
            bogus_ = true;
            return;
        }
        if (bogus_) {
            const std::size_t close = text.find('>');
            if (close == std::string_view::npos)
                return;
            bogus_ = false;
            text.remove_prefix(close + 1);
        }
        Characters(text);
    }

    void Characters(std::string_view text)
    {
        if (hidden_ > 0)
            return;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            // U+00A0, a no-break space, is a space to a reader of text.
            const bool noBreak = c == '\xC2' && i + 1 < text.size() && text[i + 1] == '\xA0';
            if (pre_ > 0) {
                // A line break right after the start tag is none of the text.
                const bool first = std::exchange(preStart_, false);
                if (first && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                    ++i;
                if (first && text[i] == '\n')
                    continue;
                if (c == '\n')
                    ++pending_;
                else if (c != '\r')
                    Put(noBreak ? ' ' : c);
            } else if (IsSpace(c) || noBreak) {
                space_ = true;
            } else {
                Put(c);
            }
            i += noBreak ? 1 : 0;
        }
    }

    // Writes one byte of text, with the line breaks, prefix and space that
    // come before it.
    void Put(char c)
    {
        if (pending_ > 0 && !out_.empty()) {
            const int lines = pre_ > 0 ? pending_ : std::min(pending_, 2);
            out_ += '\n';
            // Blank lines carry the quote marks the lines on both sides share.
            std::size_t shared = 0;
            while (shared < prefix_.size() && shared < lastPrefix_.size() && prefix_[shared] == lastPrefix_[shared])
                ++shared;
            std::string_view blank(prefix_.data(), shared);
            blank = blank.substr(0, blank.find_last_not_of(' ') + 1);
            for (int i = 1; i < lines; ++i)
                out_.append(blank).append("\n");
            lineStart_ = true;
        }
        pending_ = 0;
        if (lineStart_) {
            // An item's first line shows its marker in place of its indent.
            const std::size_t in = marker_.empty() ? 0 : std::min(markerIn_, prefix_.size());
            out_.append(prefix_, 0, prefix_.size() - in);
            lastPrefix_ = prefix_;
            out_ += in > 0 ? marker_ : std::string();
            marker_.clear();
            lineStart_ = false;
            space_ = gap_ = false;
        } else if (gap_) {
            out_ += "  ";
            Link("  ");
        } else if (space_) {
            out_ += ' ';
            Link(" ");
        }
        space_ = gap_ = false;
        out_ += c;
        Link(std::string_view(&c, 1));
    }

    // Keeps the link's own text (a space before its first word is not its).
    void Link(std::string_view text)
    {
        if (inLink_ && linkText_.size() < 4096 && !(linkText_.empty() && text.front() == ' '))
            linkText_ += text;
    }

    void EndLink()
    {
        if (!inLink_)
            return;
        inLink_ = false;
        if (SameText(Bare(linkText_), Bare(link_)) && !linkText_.empty())
            return;
        space_ = true;
        const std::string address = "<" + link_ + ">";
        for (const char c : address)
            IsSpace(c) ? void(space_ = true) : Put(c);
    }

    std::string out_;     // lines end in LF here
    std::string prefix_;  // what each line starts with: quote marks, indents
    std::string lastPrefix_; // the prefix of the line written last
    std::string marker_;  // the next line's item marker
    std::size_t markerIn_ = 0; // how much of the prefix it stands in for
    std::vector<Frame> stack_;
    std::vector<List> lists_;
    int hidden_ = 0, pre_ = 0;
    int pending_ = 0;     // line breaks before the next text
    bool lineStart_ = true, space_ = false, gap_ = false;
    bool inLink_ = false;
    std::string link_, linkText_;
    htmlParserCtxtPtr parser_ = nullptr;
    std::exception_ptr failed_;
    bool preStart_ = false;
    bool bogus_ = false; // inside "<!" markup the parser passed on as text
};

} // namespace

std::string HtmlText(std::string_view html, const char *declaredCharset)
{
    InitGMime(); // its charset tables
    std::string charset = declaredCharset != nullptr ? declaredCharset : "";
    if (charset.empty())
        charset = MetaCharset(html);
    std::string utf8 = DecodeBodyText(html, charset.empty() ? nullptr : charset.c_str());
    // A NUL would end the parser's text early.
    utf8.erase(std::remove(utf8.begin(), utf8.end(), '\0'), utf8.end());
    return Renderer().Render(utf8);
}

} // namespace kelvra_provider
