#include "message/SaveEdits.h"

#include "Errors.h"
#include "Text.h"
#include "message/Parse.h"

#include <algorithm>

namespace kelvra_provider {

namespace {


bool IsContentField(const std::string &name) { return StartsWithText(name, "Content-"); }

// Whether a delimiter line `prefix` ("--boundary", "--boundary--") stands
// at `i` of `chunk`: the prefix, then the line's end, blanks or "--".
bool DelimiterAt(const std::string &chunk, std::size_t i, const std::string &prefix)
{
    if (chunk.compare(i, prefix.size(), prefix) != 0)
        return false;
    const std::size_t after = i + prefix.size();
    return after >= chunk.size() || chunk[after] == '\r' || chunk[after] == '\n' || chunk[after] == ' ' ||
           chunk[after] == '\t' || chunk[after] == '-';
}

std::string WithoutLastBreak(std::string text)
{
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

} // namespace

std::size_t LineForward(const StoredBytes &file, std::size_t from, const std::string &prefix)
{
    for (std::size_t at = from; at < file.Size(); at += kChunk) {
        const std::size_t lead = at > from ? 1 : 0; // the byte before, to tell a line start
        const std::string chunk = file.Read(at - lead, at + kChunk + prefix.size() + 2);
        for (std::size_t i = lead; i < lead + kChunk && i < chunk.size(); ++i)
            if ((i == 0 || chunk[i - 1] == '\n') && DelimiterAt(chunk, i, prefix))
                return at - lead + i;
    }
    return std::string::npos;
}

std::size_t LineBackward(const StoredBytes &file, std::size_t from, std::size_t to, const std::string &prefix)
{
    for (std::size_t end = to; end > from;) {
        const std::size_t start = end - from > kChunk ? end - kChunk : from;
        const std::size_t lead = start > 0 ? 1 : 0;
        const std::string chunk = file.Read(start - lead, end + prefix.size() + 2);
        for (std::size_t i = end - start + lead; i-- > lead;)
            if ((start - lead + i == 0 || chunk[i - 1] == '\n') && DelimiterAt(chunk, i, prefix))
                return start - lead + i;
        end = start;
    }
    return std::string::npos;
}

MessageEdit::MessageEdit(const StoredBytes &file, const MessageLayout &layout, GMimeMessage *message)
    : file_(file), layout_(layout), message_(message)
{
    const std::string start = file_.Read(0, 4096);
    const std::size_t lf = start.find('\n');
    newline_ = lf != std::string::npos && (lf == 0 || start[lf - 1] != '\r') ? "\n" : "\r\n";
    if (layout_.known)
        fields_ = FieldsIn(file_, layout_.bounds.begin, layout_.bounds.end);
}

void MessageEdit::Require(bool possible, const char *what) const
{
    if (!possible)
        Refuse(std::string("a save cannot edit the stored message in place (") + what + "); it stays as it is");
}

void MessageEdit::SetField(const char *name, const std::string &lines)
{
    Require(layout_.known, "its header block is too long");
    bool first = true;
    for (const FieldSpan &f : fields_) {
        if (!SameText(f.name, name))
            continue;
        splice_.Replace(f.start, f.end, first ? lines : std::string());
        first = false;
    }
    if (!first || lines.empty())
        return;
    const HeaderBounds &b = layout_.bounds;
    // A header block that ends the file without a line break gets one; one
    // whose body starts without a blank line gets that line with its new
    // field, or the body's first line would read as more of the field (when
    // fields follow it) once it is no longer the message's first line.
    const bool broken = b.end > b.begin && file_.Read(b.end - 1, b.end) != "\n";
    splice_.Replace(b.end, b.end,
                    (broken ? newline_ : std::string()) + lines + (b.body < file_.Size() ? BlankLineOnce() : std::string()));
}

std::string MessageEdit::BlankLineOnce()
{
    if (layout_.bounds.end != layout_.bounds.body || blankLineGiven_)
        return {};
    blankLineGiven_ = true;
    return newline_;
}

std::string MessageEdit::HeaderLines(GMimeObject *scratch) const
{
    GMimeFormatOptions *options = FormatLike(newline_ == "\n" ? "x\n" : "x\r\n");
    char *lines = g_mime_object_get_headers(scratch, options);
    g_mime_format_options_free(options);
    std::string out = Safe(lines);
    g_free(lines);
    return out;
}

std::string MessageEdit::FieldLines(const char *name, const std::string &utf8) const
{
    if (utf8.empty())
        return {};
    Ref<GMimeMessage> scratch(g_mime_message_new(FALSE));
    g_mime_object_set_header(GMIME_OBJECT(scratch.get()), name, OneLine(utf8).c_str(), "utf-8");
    return HeaderLines(GMIME_OBJECT(scratch.get()));
}

std::string MessageEdit::AddressLines(const char *name, const std::vector<Mailbox> &list) const
{
    if (list.empty())
        return {};
    Ref<GMimeMessage> scratch(g_mime_message_new(FALSE));
    const GMimeAddressType type = SameText(name, "To")   ? GMIME_ADDRESS_TYPE_TO
                                  : SameText(name, "Cc") ? GMIME_ADDRESS_TYPE_CC
                                                         : GMIME_ADDRESS_TYPE_BCC;
    SetMailboxes(scratch.get(), type, list);
    return HeaderLines(GMIME_OBJECT(scratch.get()));
}

std::string MessageEdit::Serialized(GMimeObject *part) const
{
    Ref<GMimeStream> sink(g_mime_stream_mem_new());
    GMimeFormatOptions *options = FormatLike(newline_ == "\n" ? "x\n" : "x\r\n");
    const ssize_t written = g_mime_object_write_to_stream(part, options, sink.get());
    g_mime_format_options_free(options);
    if (written < 0)
        Fail(MAPI_E_FAILURE);
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(sink.get()));
    return WithoutLastBreak(std::string(reinterpret_cast<const char *>(bytes->data), bytes->len));
}

std::string MessageEdit::TextPart(const std::string &utf8) const
{
    std::string text;
    for (std::size_t i = 0; i < utf8.size(); ++i)
        if (!(utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n'))
            text += utf8[i];
    Ref<GMimeTextPart> part(g_mime_text_part_new_with_subtype("plain"));
    g_mime_text_part_set_text(part.get(), text.c_str());
    g_mime_part_set_content_encoding(
        GMIME_PART(part.get()), g_mime_part_get_best_content_encoding(GMIME_PART(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT));
    return Serialized(GMIME_OBJECT(part.get()));
}

MessageEdit::Span MessageEdit::PartSpan(GMimeObject *part, GMimeObject *parent) const
{
    Require(layout_.partOffsets && parent != nullptr && GMIME_IS_MULTIPART(parent), "its parts cannot be placed");
    const std::string boundary = Safe(g_mime_multipart_get_boundary(GMIME_MULTIPART(parent)));
    GMimeHeaderList *headers = g_mime_object_get_header_list(part);
    GMimeStream *content = nullptr;
    if (GMIME_IS_PART(part))
        if (GMimeDataWrapper *wrapper = g_mime_part_get_content(GMIME_PART(part)))
            content = g_mime_data_wrapper_get_stream(wrapper);
    std::int64_t start = -1;
    if (g_mime_header_list_get_count(headers) > 0)
        start = g_mime_header_get_offset(g_mime_header_list_get_header_at(headers, 0));
    else if (content != nullptr)
        start = content->bound_start; // no headers: the blank line is searched back from the content
    Require(start >= 0 && !boundary.empty(), "a part has no place in the file");
    // The delimiter line before the part, and the one after it.
    const std::size_t from = static_cast<std::size_t>(start);
    const std::size_t before = LineBackward(file_, layout_.bounds.body, from, "--" + boundary);
    const std::size_t searchFrom =
        content != nullptr && content->bound_end >= 0 ? static_cast<std::size_t>(content->bound_end) : from;
    const std::size_t after = LineForward(file_, searchFrom, "--" + boundary);
    Require(before != std::string::npos && after != std::string::npos, "a part's delimiter lines are not found");
    return {before, after};
}

void MessageEdit::ReplaceText(GMimeTextPart *body, GMimeObject *parent, const std::string &text)
{
    const std::string part = TextPart(text);
    const std::size_t blank = part.find(newline_ + newline_);
    Require(blank != std::string::npos, "the new text part");
    const std::string headers = part.substr(0, blank + newline_.size());
    const std::string content = part.substr(blank + 2 * newline_.size());
    // The new part's Content-Type and Content-Transfer-Encoding lines.
    std::string type, encoding;
    for (std::size_t at = 0; at < headers.size();) {
        const std::size_t next = headers.find('\n', at) + 1;
        const std::string line = headers.substr(at, next - at);
        if (StartsWithText(line, "Content-Type:"))
            type = line;
        else if (StartsWithText(line, "Content-Transfer-Encoding:"))
            encoding = line;
        at = next;
    }
    const HeaderBounds &b = layout_.bounds;
    if (parent == nullptr) {
        SetField("Content-Type", type);
        SetField("Content-Transfer-Encoding", encoding);
        // The blank line that was missing comes with the new text.
        splice_.Replace(b.body, file_.Size(), BlankLineOnce() + content + newline_);
        return;
    }
    Require(layout_.partOffsets, "its parts cannot be placed");
    GMimeDataWrapper *wrapper = g_mime_part_get_content(GMIME_PART(body));
    GMimeStream *stream = wrapper != nullptr ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
    GMimeHeaderList *list = g_mime_object_get_header_list(GMIME_OBJECT(body));
    Require(stream != nullptr && stream->bound_end >= stream->bound_start && g_mime_header_list_get_count(list) > 0,
            "the note text's part has no place in the file");
    const auto partStart = static_cast<std::size_t>(g_mime_header_get_offset(g_mime_header_list_get_header_at(list, 0)));
    const auto contentStart = static_cast<std::size_t>(stream->bound_start);
    bool typeSet = false, encodingSet = false;
    for (const FieldSpan &f : FieldsIn(file_, partStart, contentStart)) {
        if (SameText(f.name, "Content-Type")) {
            splice_.Replace(f.start, f.end, typeSet ? std::string() : type);
            typeSet = true;
        } else if (SameText(f.name, "Content-Transfer-Encoding")) {
            splice_.Replace(f.start, f.end, encodingSet ? std::string() : encoding);
            encodingSet = true;
        }
    }
    // Fields the part did not have go where its first field stands.
    splice_.Replace(partStart, partStart, (typeSet ? std::string() : type) + (encodingSet ? std::string() : encoding));
    splice_.Replace(contentStart, static_cast<std::size_t>(stream->bound_end), content);
}

void MessageEdit::InsertIntoTop(const std::vector<std::string> &serialized, bool first)
{
    GMimeObject *top = g_mime_message_get_mime_part(message_);
    const std::string delimiter = "--" + Safe(g_mime_multipart_get_boundary(GMIME_MULTIPART(top)));
    const std::size_t at = first ? LineForward(file_, layout_.bounds.body, delimiter)
                                 : LineBackward(file_, layout_.bounds.body, file_.Size(), delimiter + "--");
    Require(at != std::string::npos, "the message's parts are not closed");
    std::string bytes;
    for (const std::string &part : serialized)
        bytes += delimiter + newline_ + part + newline_;
    splice_.Replace(at, at, bytes);
}

void MessageEdit::Wrap(const std::string *textPart, bool keepOld, const std::vector<std::string> &added)
{
    Require(layout_.known, "its header block is too long");
    const HeaderBounds &b = layout_.bounds;
    Ref<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_set_boundary(mixed.get(), nullptr);
    const std::string boundary = Safe(g_mime_multipart_get_boundary(mixed.get()));
    const std::string delimiter = "--" + boundary;
    // The message's content fields go with its content into the first part.
    std::string moved;
    bool mime = false;
    for (const FieldSpan &f : fields_) {
        mime = mime || SameText(f.name, "MIME-Version");
        if (!IsContentField(f.name))
            continue;
        moved += file_.Read(f.start, f.end);
        if (moved.back() != '\n')
            moved += newline_;
        splice_.Replace(f.start, f.end, "");
    }
    const bool broken = b.end > b.begin && file_.Read(b.end - 1, b.end) != "\n";
    splice_.Replace(b.end, b.end,
                    (broken ? newline_ : std::string()) + (mime ? std::string() : "MIME-Version: 1.0" + newline_) +
                        "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" + newline_);
    std::string head = BlankLineOnce(); // the blank line, where there was none
    if (textPart != nullptr)
        head += delimiter + newline_ + *textPart + newline_;
    std::string tail;
    if (keepOld) {
        head += delimiter + newline_ + moved + newline_;
        tail = newline_; // the old content keeps its last line break: the delimiter brings its own
    } else {
        splice_.Replace(b.body, file_.Size(), "");
    }
    splice_.Replace(b.body, b.body, head);
    for (const std::string &part : added)
        tail += delimiter + newline_ + part + newline_;
    splice_.Replace(file_.Size(), file_.Size(), tail + delimiter + "--" + newline_);
}

void MessageEdit::Content(const MessageParts &parts, const std::string *text, const std::vector<GMimeObject *> &removed,
                          const std::vector<GMimeObject *> &added)
{
    GMimeObject *top = g_mime_message_get_mime_part(message_);
    std::vector<std::string> serialized;
    for (GMimeObject *part : added)
        serialized.push_back(Serialized(part));
    const bool topRemoved = std::find(removed.begin(), removed.end(), top) != removed.end();
    const bool topIsBody = top != nullptr && GMIME_OBJECT(parts.body) == top;
    const bool topMixed = top != nullptr && GMIME_IS_MULTIPART(top) &&
                          g_mime_content_type_is_type(g_mime_object_get_content_type(top), "multipart", "mixed");
    if (topRemoved || (topIsBody && text != nullptr && !serialized.empty())) {
        // The content as it stood goes: a note text (empty where none was
        // given), with the added parts beside it.
        const std::string part = TextPart(text != nullptr ? *text : std::string());
        if (serialized.empty()) {
            for (const FieldSpan &f : fields_)
                if (IsContentField(f.name) && !SameText(f.name, "Content-Type") &&
                    !SameText(f.name, "Content-Transfer-Encoding"))
                    splice_.Replace(f.start, f.end, "");
            ReplaceText(parts.body, nullptr, text != nullptr ? *text : std::string());
        } else {
            Wrap(&part, false, serialized);
        }
        return;
    }
    for (GMimeObject *part : removed) {
        const auto shown = std::find_if(parts.files.begin(), parts.files.end(),
                                        [&](const ShownPart &p) { return p.object == part; });
        const Span span = PartSpan(part, shown != parts.files.end() ? shown->parent : nullptr);
        splice_.Replace(span.start, span.end, "");
    }
    if (text != nullptr && parts.body != nullptr) {
        ReplaceText(parts.body, topIsBody ? nullptr : parts.bodyParent, *text);
        if (!serialized.empty() && topMixed)
            InsertIntoTop(serialized, false);
        else if (!serialized.empty())
            Wrap(nullptr, true, serialized);
        return;
    }
    const std::string textPart = text != nullptr ? TextPart(*text) : std::string();
    if (topMixed) {
        if (text != nullptr)
            InsertIntoTop({textPart}, true);
        if (!serialized.empty())
            InsertIntoTop(serialized, false);
    } else if (text != nullptr || !serialized.empty()) {
        Wrap(text != nullptr ? &textPart : nullptr, top != nullptr, serialized);
    }
}

} // namespace kelvra_provider
