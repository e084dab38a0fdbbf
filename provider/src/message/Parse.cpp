#include "message/Parse.h"

#include "Errors.h"
#include "Text.h"
#include "Files.h"
#include "message/HeaderText.h"
#include "message/Mime.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace kelvra_provider {

namespace {

// GMime 3.2.13 takes the line break before a boundary line to be as long
// as the boundary line's own: a part whose last line ends in LF alone
// before a boundary line that ends in CRLF loses its last character. Each
// part's content is given back that character.
void MendContentEnd(GMimePart *part)
{
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    GMimeStream *stream = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    if (stream == nullptr || stream->bound_end < stream->bound_start)
        return;
    Ref<GMimeStream> after(g_mime_stream_substream(stream, stream->bound_end, stream->bound_end + 3));
    char next[3] = {};
    if (after.get() == nullptr || g_mime_stream_read(after.get(), next, sizeof next) != 3 || next[0] == '\r' || next[0] == '\n' ||
        next[1] != '\n' || next[2] != '-')
        return;
    Ref<GMimeStream> whole(g_mime_stream_substream(stream, stream->bound_start, stream->bound_end + 1));
    if (whole.get() != nullptr)
        g_mime_data_wrapper_set_stream(content, whole.get());
}

// Reads [from, from + size) of the file (or of a text read again); shorter
// at its end. GMime 3.2.13's memory streams copy from before their buffer
// when a window starts past their end, so the window is kept within.
std::string ReadAt(GMimeStream *file, std::int64_t from, std::size_t size)
{
    const gint64 length = g_mime_stream_length(file);
    if (length >= 0)
        size = from >= length ? 0 : std::min<std::size_t>(size, static_cast<std::size_t>(length - from));
    if (size == 0)
        return {};
    Ref<GMimeStream> window(g_mime_stream_substream(file, from, from + static_cast<std::int64_t>(size)));
    std::string bytes(size, '\0');
    const gssize got = window.get() != nullptr ? g_mime_stream_read(window.get(), bytes.data(), size) : -1;
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

// A part whose header block ends without a blank line, at a line that is
// neither a field nor a continuation (its base64 text, say), is read by
// GMime 3.2.13 with that line taken into its headers and no content at
// all. As a mail reader takes it, that line starts the part's content,
// which runs to the next delimiter line: the part is given that content.
// (`toEnd`: the parent's content runs to the end of `file`, so in a parent
// that is never closed the last part's content runs there, without the
// line break that ends it.)
// Where the part at `index` of `parent` starts in `file`: just after the
// delimiter line that follows the part before it (whose content GMime
// bounded); -1 when that is not known.
std::int64_t PartStart(GMimeMultipart *parent, int index, GMimeStream *file)
{
    GMimeObject *before = index > 0 ? g_mime_multipart_get_part(parent, index - 1) : nullptr;
    GMimeDataWrapper *content = before != nullptr && GMIME_IS_PART(before) ? g_mime_part_get_content(GMIME_PART(before))
                                                                            : nullptr;
    GMimeStream *stream = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    const char *boundary = g_mime_multipart_get_boundary(parent);
    if (stream == nullptr || stream->bound_end < stream->bound_start || boundary == nullptr)
        return -1;
    const std::string delimiter = std::string("--") + boundary;
    const std::string window = ReadAt(file, stream->bound_end, delimiter.size() + 1024);
    const std::size_t found = window.find(delimiter);
    const std::size_t lf = found == std::string::npos ? found : window.find('\n', found);
    return lf == std::string::npos ? -1 : stream->bound_end + static_cast<std::int64_t>(lf + 1);
}

void MendHeaderEnd(GMimePart *part, GMimeMultipart *parent, int index, GMimeStream *file, bool toEnd)
{
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    GMimeStream *stream = content != nullptr ? g_mime_data_wrapper_get_stream(content) : nullptr;
    GMimeHeaderList *headers = g_mime_object_get_header_list(GMIME_OBJECT(part));
    const char *boundary = g_mime_multipart_get_boundary(parent);
    const int count = g_mime_header_list_get_count(headers);
    if ((stream != nullptr && stream->bound_end > stream->bound_start) || boundary == nullptr)
        return;
    // From the last header's line, past its continuation lines, to the
    // first line that is none: a blank line means the part is right as it
    // is. A part of no field at all starts with its content.
    std::int64_t at = count > 0 ? g_mime_header_get_offset(g_mime_header_list_get_header_at(headers, count - 1))
                                : PartStart(parent, index, file);
    if (at < 0)
        return;
    constexpr std::size_t kWindow = 64 * 1024;
    for (bool headerLine = count > 0;; headerLine = false) {
        const std::string window = ReadAt(file, at, kWindow);
        const std::size_t lf = window.find('\n');
        if (lf == std::string::npos)
            return; // a header line that long, or the end of the file
        std::string_view line(window.data(), lf);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!headerLine) {
            if (line.empty() || line.substr(0, 2) == "--")
                return; // a blank line (the part is right), or no content at all
            if ((line[0] != ' ' && line[0] != '\t' && !IsFieldLine(line)) || count == 0)
                break; // `at` starts the content
        }
        at += static_cast<std::int64_t>(lf + 1);
    }
    // The content ends before the line break of the next delimiter line.
    const std::string delimiter = std::string("\n--") + boundary;
    std::int64_t end = -1;
    for (std::int64_t from = at;;) {
        const std::string window = ReadAt(file, from, kWindow + delimiter.size());
        const std::size_t found = window.find(delimiter);
        if (found != std::string::npos) {
            end = from + static_cast<std::int64_t>(found);
            if (found > 0 && window[found - 1] == '\r')
                --end;
            break;
        }
        if (window.size() < kWindow + delimiter.size()) {
            if (!toEnd)
                return; // no delimiter after it, and no telling where the parent ends
            end = from + static_cast<std::int64_t>(window.size());
            if (end > at && !window.empty() && window.back() == '\n')
                end -= window.size() > 1 && window[window.size() - 2] == '\r' ? 2 : 1;
            break;
        }
        from += static_cast<std::int64_t>(kWindow);
    }
    Ref<GMimeStream> bytes(g_mime_stream_substream(file, at, std::max(at, end)));
    Ref<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(bytes.get(), g_mime_part_get_content_encoding(part)));
    g_mime_part_set_content(part, wrapper.get());
}

// What a line (without its line break) is to a multipart of that boundary:
// a delimiter line is "--", the boundary, then blanks (transport padding);
// a close delimiter line has "--" right after the boundary.
enum class Delimiter { kNone, kPart, kClose };
Delimiter DelimiterOf(std::string_view line, std::string_view boundary)
{
    if (line.size() < boundary.size() + 2 || line.substr(0, 2) != "--" || line.substr(2, boundary.size()) != boundary)
        return Delimiter::kNone;
    std::string_view rest = line.substr(boundary.size() + 2);
    Delimiter kind = Delimiter::kPart;
    if (rest.substr(0, 2) == "--") {
        kind = Delimiter::kClose;
        rest.remove_prefix(2);
    }
    return rest.find_first_not_of(" \t") == std::string_view::npos ? kind : Delimiter::kNone;
}

// Readers find a multipart's delimiter lines where GMime 3.2.13 does not,
// in two ways. A boundary cannot end in a blank, so blanks that end a
// declared one are none of it: "--b " is a delimiter line of the declared
// "b  " (then blanks as padding), as Python's email package and other
// readers match it; the declared boundary's own lines ("--b  ", and the
// close delimiter "--b  --") are delimiters too. And GMime matches no delimiter line longer than its read
// buffer (about 4,200 characters): a longer boundary gives no part at all.
// A multipart whose delimiter lines, so matched, are not those GMime found
// is read again from its text (`crlf`: with CRLF line ends), with those
// lines put in a boundary GMime matches (`text` is given that text, which
// the parts' offsets are in). Null when GMime's reading stands.
struct ReadAgain {
    GMimeObject *object = nullptr; // the multipart as read again (a reference)
    std::unique_ptr<GMimeStream, void (*)(gpointer)> text{nullptr, g_object_unref};
    std::string boundary; // the declared one without its trailing blanks
};
ReadAgain ReadAsReadersMatch(GMimeMultipart *multipart, bool crlf)
{
    ReadAgain result;
    const char *declared = g_mime_multipart_get_boundary(multipart);
    if (declared == nullptr)
        return result;
    const std::string_view literal(declared);
    const std::string_view boundary = literal.substr(0, literal.find_last_not_of(" \t") + 1);
    const bool found = g_mime_multipart_get_count(multipart) != 0;
    if (boundary.empty() || (found && boundary.size() == literal.size()))
        return result;
    std::string text;
    {
        Ref<GMimeStream> sink(g_mime_stream_mem_new());
        GMimeFormatOptions *options = FormatLike(crlf ? "x\r\n" : "x\n");
        const ssize_t written = g_mime_object_write_content_to_stream(GMIME_OBJECT(multipart), options, sink.get());
        g_mime_format_options_free(options);
        if (written < 0)
            return result;
        GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
        text.assign(reinterpret_cast<const char *>(bytes->data), bytes->len);
    }
    // Written without parts, the text is the prologue and a line break
    // GMime adds after it; GMime 3.2.13 keeps a prologue with its lines
    // ended in LF alone, so a message of CRLF lines has them given back.
    if (!found && !text.empty() && text.back() == '\n')
        text.resize(text.size() - (text.size() > 1 && text[text.size() - 2] == '\r' ? 2 : 1));
    if (!found && crlf && text.find('\r') == std::string::npos) {
        std::string lines = WithCrlf(text);
        // Its last line (the close delimiter) ended too, as in the message:
        // GMime then takes CRLF off the content before it, not LF alone.
        if (!lines.empty() && lines.back() != '\n')
            lines += "\r\n";
        text = std::move(lines);
    }
    // A boundary of GMime's own making, found nowhere in the text.
    std::string substitute;
    do {
        Ref<GMimeMultipart> scratch(g_mime_multipart_new());
        g_mime_multipart_set_boundary(scratch.get(), nullptr);
        substitute = Safe(g_mime_multipart_get_boundary(scratch.get()));
    } while (text.find(substitute) != std::string::npos);
    std::string again = std::string("Content-Type: multipart/") +
                        Safe(g_mime_content_type_get_media_subtype(g_mime_object_get_content_type(GMIME_OBJECT(multipart)))) +
                        "; boundary=\"" + substitute + "\"\n\n";
    again.reserve(again.size() + text.size());
    bool differs = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + at, end - at);
        const std::string_view lineEnd = line.substr(line.find_last_not_of("\r\n") + 1);
        line.remove_suffix(lineEnd.size());
        // A line is a delimiter of the boundary without its blanks, or of
        // the one declared: "--b  --" closes a multipart of "b  ".
        const Delimiter asDeclared = DelimiterOf(line, literal);
        const Delimiter ours = asDeclared != Delimiter::kNone ? asDeclared : DelimiterOf(line, boundary);
        differs = differs || ours != (found ? asDeclared : Delimiter::kNone);
        if (ours == Delimiter::kNone)
            again.append(line);
        else
            again.append("--").append(substitute).append(ours == Delimiter::kClose ? "--" : "");
        again.append(lineEnd);
        at = end;
    }
    if (!differs)
        return result;
    result.text.reset(g_mime_stream_mem_new_with_buffer(again.data(), again.size()));
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(result.text.get()));
    GMimeObject *read = g_mime_parser_construct_part(parser.get(), ParserOptions());
    if (read == nullptr || !GMIME_IS_MULTIPART(read) || g_mime_multipart_get_count(GMIME_MULTIPART(read)) == 0) {
        if (read != nullptr)
            g_object_unref(read);
        return result;
    }
    result.object = read;
    result.boundary = boundary;
    return result;
}

// Every part of the message, mended where GMime reads it wrong (above):
// the parts' contents where the parser's offsets are known, in the file
// (`file`, else null) or in the text a multipart was read again from
// (`crlf`: the file's lines end in CRLF). False when a part was read again:
// its offsets are no longer the file's.
bool MendParts(GMimeMessage *message, GMimeStream *file, bool crlf)
{
    struct Pending {
        GMimeObject *object;
        GMimeMultipart *parent;
        int index;
        GMimeMessage *owner;  // for a message's top part
        GMimeStream *source;  // what the parser's offsets are in; null: unknown
        bool parentToEnd;     // the parent's content runs to the end of `source`
    };
    std::vector<ReadAgain> again; // each keeps its text while its parts are mended
    std::vector<Pending> pending{{g_mime_message_get_mime_part(message), nullptr, 0, message, file, false}};
    while (!pending.empty()) {
        Pending p = pending.back();
        pending.pop_back();
        if (p.object == nullptr)
            continue;
        if (GMIME_IS_MULTIPART(p.object)) {
            // Its content runs to the end of its source when it is the
            // message's own, or read again from its own text.
            bool toEnd = p.owner == message;
            if (ReadAgain read = ReadAsReadersMatch(GMIME_MULTIPART(p.object), crlf); read.object != nullptr) {
                if (p.parent != nullptr)
                    g_mime_multipart_replace(p.parent, p.index, read.object);
                else
                    g_mime_message_set_mime_part(p.owner, read.object);
                g_object_unref(read.object); // the parent holds it now
                p.object = read.object;
                p.source = read.text.get();
                toEnd = true;
                again.push_back(std::move(read));
            }
            for (int i = 0, n = g_mime_multipart_get_count(GMIME_MULTIPART(p.object)); i < n; ++i)
                pending.push_back({g_mime_multipart_get_part(GMIME_MULTIPART(p.object), i), GMIME_MULTIPART(p.object), i,
                                   nullptr, p.source, toEnd});
        } else if (GMIME_IS_MESSAGE_PART(p.object)) {
            if (GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(p.object)))
                pending.push_back({g_mime_message_get_mime_part(inner), nullptr, 0, inner, p.source, false});
        } else if (GMIME_IS_PART(p.object) && p.source != nullptr) {
            if (p.parent != nullptr)
                MendHeaderEnd(GMIME_PART(p.object), p.parent, p.index, p.source, p.parentToEnd);
            MendContentEnd(GMIME_PART(p.object));
        }
    }
    // Mended against the boundary of their text, the multiparts read again
    // now carry the declared one, as a save looks for it in the file.
    for (const ReadAgain &read : again)
        g_mime_multipart_set_boundary(GMIME_MULTIPART(read.object), read.boundary.c_str());
    return again.empty();
}

// GMime 3.2.13 drops a part whole when a line of its header block is
// longer than its read buffer (about 4,200 characters): the base64 text of
// an attachment whose header block ends without a blank line, say. Where
// the body of such a part starts, by the header rule a whole message keeps
// (FindHeaderBounds: a line that is no field starts the body, unless a
// field follows it right away), the file's offsets at which a line break
// is to be put before GMime reads it. Lines shorter than that GMime reads
// into the part, and MendHeaderEnd mends.
std::vector<std::int64_t> LongLinesStartingPartBodies(GMimeStream *file, std::int64_t from)
{
    constexpr std::size_t kLong = 3900, kChunk = 256 * 1024, kBack = 64 * 1024;
    std::vector<std::int64_t> breaks;
    std::int64_t lineStart = from;
    bool afterField = false; // the line before is a header field's, or its continuation
    for (std::int64_t at = from;;) {
        const std::string chunk = ReadAt(file, at, kChunk);
        for (std::size_t lf = chunk.find('\n'); lf != std::string::npos; lf = chunk.find('\n', lf + 1)) {
            const std::int64_t end = at + static_cast<std::int64_t>(lf);
            const std::size_t length = static_cast<std::size_t>(end - lineStart);
            // Only a long line right after a field can be one GMime drops
            // a part for: the costlier look below is for those alone.
            const bool wasAfterField = afterField;
            if (lineStart >= at && length < kLong) {
                std::string_view line(chunk.data() + (lineStart - at), length);
                if (!line.empty() && line.back() == '\r')
                    line.remove_suffix(1);
                afterField = !line.empty() && (IsFieldLine(line) || (afterField && (line[0] == ' ' || line[0] == '\t')));
            } else {
                afterField = false;
            }
            if (wasAfterField && length >= kLong) {
                // The text before it, back to the nearest line that could be
                // a delimiter; the part's header block starts after that.
                const std::int64_t back = std::max(from, lineStart - static_cast<std::int64_t>(kBack));
                const std::string before = ReadAt(file, back, static_cast<std::size_t>(lineStart - back));
                const std::size_t delimiter = before.rfind("\n--");
                const std::size_t block =
                    delimiter == std::string::npos ? std::string::npos : before.find('\n', delimiter + 1);
                if (block != std::string::npos && block + 1 < before.size()) {
                    // The block, the long line, and the line after it.
                    const std::string after = ReadAt(file, end + 1, 1024);
                    const std::string text = before.substr(block + 1) + ReadAt(file, lineStart, static_cast<std::size_t>(end + 1 - lineStart)) +
                                             after.substr(0, after.find('\n') == std::string::npos ? after.size() : after.find('\n') + 1);
                    const std::optional<HeaderBounds> bounds = FindHeaderBounds(text, true);
                    const std::size_t offset = before.size() - (block + 1);
                    if (bounds && bounds->end == offset && bounds->body == offset)
                        breaks.push_back(lineStart);
                }
            }
            lineStart = end + 1;
        }
        if (chunk.size() < kChunk)
            break;
        at += static_cast<std::int64_t>(chunk.size());
    }
    return breaks;
}

} // namespace

GMimeMessage *ParseMessageFile(const std::string &path, MessageLayout *layout)
{
    InitGMime();
    const int fd = OpenMessageFile(path);
    if (fd < 0)
        Fail(errno == ENOENT ? MAPI_E_INVALID_MESSAGE : MAPI_E_FAILURE);
    // The parser keeps large parts in the file and reads them when they
    // are written out, so a big attachment is never held in memory.
    Ref<GMimeStream> file(g_mime_stream_fs_new(fd)); // owns fd
    // GMime is given the header block as mail readers take it: without an
    // mbox "From " line, with a blank line where the body starts without
    // one, and with a blank before each line that continues a field unfolded.
    HeaderBounds bounds;
    const std::optional<std::string> start = ReadHeaderStart(fd, &bounds);
    g_mime_stream_reset(file.get());
    Ref<GMimeStream> stream;
    bool inFile = true; // the parser's offsets are the file's
    // Only a multipart message has parts whose header GMime could drop.
    bool multipart = false;
    if (start) {
        std::string lower = *start;
        for (char &c : lower)
            c = g_ascii_tolower(c);
        multipart = lower.find("multipart/") != std::string::npos;
    }
    const std::vector<std::int64_t> partBreaks =
        multipart ? LongLinesStartingPartBodies(file.get(), static_cast<std::int64_t>(bounds.body))
                  : std::vector<std::int64_t>();
    if (partBreaks.empty() && (!start || (bounds.begin == 0 && bounds.end != bounds.body && bounds.unfolded.empty()))) {
        stream.p = GMIME_STREAM(g_object_ref(file.get()));
    } else if (partBreaks.empty() && bounds.end != bounds.body && bounds.unfolded.empty()) {
        stream.p = g_mime_stream_substream(file.get(), static_cast<gint64>(bounds.begin), -1);
    } else {
        inFile = false;
        stream.p = g_mime_stream_cat_new();
        const auto add = [&](GMimeStream *piece) {
            Ref<GMimeStream> owned(piece);
            g_mime_stream_cat_add_source(GMIME_STREAM_CAT(stream.get()), owned.get());
        };
        const auto text = [](const char *bytes) {
            return g_mime_stream_mem_new_with_buffer(bytes, std::strlen(bytes));
        };
        auto from = static_cast<gint64>(bounds.begin);
        for (const std::size_t at : bounds.unfolded) {
            add(g_mime_stream_substream(file.get(), from, static_cast<gint64>(at)));
            add(text(" "));
            from = static_cast<gint64>(at);
        }
        if (bounds.end == bounds.body) {
            const auto end = static_cast<gint64>(bounds.end);
            add(g_mime_stream_substream(file.get(), from, end));
            const bool crlf = bounds.end > bounds.begin && (*start)[bounds.end - 2] == '\r';
            add(text(crlf ? "\r\n" : "\n"));
            from = end;
        }
        for (const std::int64_t at : partBreaks) {
            add(g_mime_stream_substream(file.get(), from, at));
            add(text(start->find("\r\n") != std::string::npos ? "\r\n" : "\n"));
            from = at;
        }
        add(g_mime_stream_substream(file.get(), from, -1));
    }
    if (layout != nullptr) {
        layout->known = start.has_value();
        layout->bounds = bounds;
        layout->partOffsets = inFile;
    }
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GMimeMessage *message = g_mime_parser_construct_message(parser.get(), ParserOptions());
    if (message == nullptr) // not even a header block: an empty message
        return g_mime_message_new(TRUE);
    const std::size_t lf = start ? start->find('\n') : std::string::npos;
    const bool crlf = lf != std::string::npos && lf > 0 && (*start)[lf - 1] == '\r';
    if (!MendParts(message, inFile ? file.get() : nullptr, crlf) && layout != nullptr)
        layout->partOffsets = false;
    return message;
}

} // namespace kelvra_provider
