#include "message/HeaderText.h"

#include "Text.h"
#include "message/Mime.h"

#include <cctype>
#include <map>
#include <mutex>
#include <vector>

namespace kelvra_provider {

namespace {

const std::string kDefaultFallback = "windows-1252";

// Every charset name a session ever used, with GMime's options for it: kept
// for the life of the process (another thread may still use them), as few
// as there are different `fallbackcharset` settings.
struct Fallbacks {
    std::mutex mutex;
    std::map<std::string, GMimeParserOptions *, std::less<>> options;

    // The one copy of a name, and its options; a name iconv does not know
    // is the default's.
    std::pair<const std::string *, GMimeParserOptions *> Of(const std::string &charset)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        auto it = options.find(charset);
        if (it == options.end()) {
            const std::string &known = !charset.empty() && KnownCharset(charset) ? charset : kDefaultFallback;
            it = options.find(known);
            if (it == options.end()) {
                InitGMime(); // the first options need GMime set up
                GMimeParserOptions *made = g_mime_parser_options_new();
                const char *charsets[] = {"UTF-8", known.c_str(), nullptr};
                g_mime_parser_options_set_fallback_charsets(made, charsets); // copies them
                it = options.emplace(known, made).first;
            }
        }
        return {&it->first, it->second};
    }
};

Fallbacks &TheFallbacks()
{
    static Fallbacks *fallbacks = new Fallbacks; // never destroyed, like GMime's own tables
    return *fallbacks;
}

// The thread's fallback: its name and options (none set: the default's).
thread_local const std::string *t_fallback = nullptr;
thread_local GMimeParserOptions *t_options = nullptr;

// The length of the encoded word at `at` ("=?charset?B|Q?text?="), or 0
// when none starts there.
size_t EncodedWordAt(std::string_view text, size_t at)
{
    if (text.compare(at, 2, "=?") != 0)
        return 0;
    size_t i = at + 2;
    const size_t charsetStart = i;
    while (i < text.size() && text[i] != '?' && !std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i == charsetStart || i + 2 >= text.size() || text[i] != '?')
        return 0;
    const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
    if ((encoding != 'B' && encoding != 'Q') || text[i + 2] != '?')
        return 0;
    i += 3;
    while (i < text.size() && text[i] != '?' && !std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i + 1 >= text.size() || text[i] != '?' || text[i + 1] != '=')
        return 0;
    return i + 2 - at;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Takes a text GMime made.
std::string Taken(char *text)
{
    std::string out = text != nullptr ? text : "";
    g_free(text);
    return out;
}

std::string Decoded(const std::string &word)
{
    return Taken(g_mime_utils_header_decode_text(ParserOptions(), word.c_str()));
}

} // namespace

bool KnownCharset(const std::string &charset)
{
    GIConv cd = g_iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<GIConv>(-1))
        return false;
    g_iconv_close(cd);
    return true;
}

// Taken at every entry point's call: the thread's charset as it stands is
// kept without a look at the table.
FallbackScope::FallbackScope(const std::string &charset) : before_(t_fallback), beforeOptions_(t_options)
{
    if (t_fallback != nullptr && *t_fallback == charset && t_options != nullptr)
        return;
    const auto [name, options] = TheFallbacks().Of(charset);
    t_fallback = name;
    t_options = options;
}

FallbackScope::~FallbackScope()
{
    t_fallback = before_;
    t_options = beforeOptions_;
}

const std::string &FallbackCharset() { return t_fallback != nullptr ? *t_fallback : kDefaultFallback; }

GMimeParserOptions *ParserOptions()
{
    if (t_options == nullptr)
        t_options = TheFallbacks().Of(FallbackCharset()).second;
    return t_options;
}

std::string CollapseEncodedWords(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    size_t i = 0;
    while (i < raw.size()) {
        // Text up to the next word's start goes over as it is.
        const size_t start = raw.find("=?", i);
        if (start == std::string_view::npos) {
            out.append(raw.substr(i));
            break;
        }
        const size_t length = EncodedWordAt(raw, start);
        out.append(raw.substr(i, start - i + (length == 0 ? 1 : 0)));
        i = start + (length == 0 ? 1 : 0);
        if (length == 0)
            continue;
        // A run of encoded words with nothing but blanks between them.
        std::string text = Decoded(std::string(raw.substr(i, length)));
        size_t end = i + length, words = 1;
        for (;;) {
            size_t next = end;
            while (next < raw.size() && IsBlank(raw[next]))
                ++next;
            const size_t more = next < raw.size() ? EncodedWordAt(raw, next) : 0;
            if (more == 0)
                break;
            text += Decoded(std::string(raw.substr(next, more)));
            end = next + more;
            ++words;
        }
        if (words == 1) {
            out.append(raw.substr(i, length)); // one word alone GMime reads right
        } else {
            gchar *base64 = g_base64_encode(reinterpret_cast<const guchar *>(text.data()), text.size());
            out += "=?UTF-8?B?";
            out += base64;
            out += "?=";
            g_free(base64);
        }
        i = end;
    }
    return out;
}

std::string DecodeHeaderText(std::string_view raw)
{
    const std::string copy(raw);
    return Decoded(CollapseEncodedWords(Taken(g_mime_utils_header_unfold(copy.c_str()))));
}

namespace {

// GMime's canonical name of a charset label, copied out. GMime keeps the
// names it has made in a table behind a GLib mutex, whose futex a thread
// checker cannot see; the copy is taken under a lock of ours, so that a name
// one thread made is read by another only after it was written.
std::string CanonicalCharset(const char *label)
{
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const char *canonical = g_mime_charset_canon_name(label);
    return canonical != nullptr ? canonical : "";
}

} // namespace

std::string DecodeBodyText(std::string_view bytes, const char *declaredCharset)
{
    const std::string declared = declaredCharset != nullptr ? CanonicalCharset(declaredCharset) : "";
    const bool ascii = declared.empty() || SameText(declared, "us-ascii") || SameText(declared, "ascii");
    if (!ascii && !SameText(declared, "utf-8")) {
        gsize read = 0, written = 0;
        gchar *converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", declared.c_str(), &read,
                                     &written, nullptr);
        if (converted != nullptr && read == bytes.size()) {
            std::string out(converted, written);
            g_free(converted);
            return out;
        }
        g_free(converted); // a label that does not fit the bytes
    }
    if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr))
        return std::string(bytes);
    return Taken(g_mime_utils_decode_8bit(ParserOptions(), bytes.data(), bytes.size()));
}

} // namespace kelvra_provider
