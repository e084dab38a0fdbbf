#include "imap/Structure.h"

#include "imap/Commands.h"
#include "message/Envelope.h"
#include "message/Mime.h"
#include "Text.h"

#include <string>
#include <utility>
#include <vector>

namespace kelvra_provider::imap {

namespace {

// A part's media type as the server gives it ("application"/"pdf").
std::pair<std::string, std::string> TypeOf(const mailimap_body_type_1part &part)
{
    switch (part.bd_type) {
    case MAILIMAP_BODY_TYPE_1PART_TEXT:
        return {"text", part.bd_data.bd_type_text != nullptr ? Safe(part.bd_data.bd_type_text->bd_media_text) : ""};
    case MAILIMAP_BODY_TYPE_1PART_MSG:
        return {"message", "rfc822"};
    case MAILIMAP_BODY_TYPE_1PART_BASIC:
        if (const mailimap_body_type_basic *basic = part.bd_data.bd_type_basic;
            basic != nullptr && basic->bd_media_basic != nullptr) {
            const mailimap_media_basic &media = *basic->bd_media_basic;
            static const char *const kTypes[] = {"application", "audio", "image", "message", "video"};
            const std::string type = media.med_type >= MAILIMAP_MEDIA_BASIC_APPLICATION &&
                                             media.med_type <= MAILIMAP_MEDIA_BASIC_VIDEO
                                         ? kTypes[media.med_type - MAILIMAP_MEDIA_BASIC_APPLICATION]
                                         : Safe(media.med_basic_type);
            return {media.med_type == MAILIMAP_MEDIA_BASIC_OTHER ? std::string() : type, Safe(media.med_subtype)};
        }
        break;
    default: break;
    }
    return {};
}

// An empty object of a media type, of the class the parser makes for it.
GMimeObject *PartOf(const std::string &type, const std::string &subtype, const mailimap_body_fld_dsp *disposition)
{
    Ref<GMimeContentType> content(g_mime_content_type_new(type.c_str(), subtype.c_str()));
    GMimeObject *object = g_mime_object_new(nullptr, content.get());
    if (object == nullptr)
        throw std::bad_alloc();
    if (disposition != nullptr && disposition->dsp_type != nullptr) {
        Ref<GMimeContentDisposition> d(g_mime_content_disposition_new());
        g_mime_content_disposition_set_disposition(d.get(), disposition->dsp_type);
        g_mime_object_set_content_disposition(object, d.get());
    }
    return object;
}

// Whether a multipart's boundary is one every reader finds alike: 1 to 70
// characters, the last not a blank.
bool PlainBoundary(const mailimap_body_ext_mpart *extension)
{
    bool plain = false;
    if (extension != nullptr && extension->bd_parameter != nullptr)
        ForEach<mailimap_single_body_fld_param>(extension->bd_parameter->pa_list, [&](mailimap_single_body_fld_param *p) {
            if (p->pa_name == nullptr || p->pa_value == nullptr || !SameText(p->pa_name, "boundary"))
                return;
            const std::string_view value(p->pa_value);
            plain = !value.empty() && value.size() <= 70 && value.back() != ' ' && value.back() != '\t';
        });
    return plain;
}

// Whether a leaf's type reads alike everywhere: a known type with a
// subtype, and not the type readers give what they cannot read.
bool PlainType(const std::pair<std::string, std::string> &type)
{
    return !type.first.empty() && !type.second.empty() &&
           !(SameText(type.first, "application") && SameText(type.second, "octet-stream"));
}

// Whether a header block as the server gives it ends where every reader
// ends it: at a blank line, with no line a reader may take otherwise.
bool PlainHeader(std::string_view header)
{
    const std::optional<HeaderBounds> bounds = FindHeaderBounds(header, true);
    return bounds && bounds->begin == 0 && bounds->unfolded.empty() && bounds->end < bounds->body &&
           bounds->body == header.size();
}

} // namespace

std::optional<std::uint32_t> FilesOf(const mailimap_body &structure, std::string_view header)
{
    if (!PlainHeader(header))
        return std::nullopt;
    InitGMime();
    // The message's tree of parts, empty, built without recursion however
    // deep the server's description nests.
    Ref<GMimeMessage> message(g_mime_message_new(FALSE));
    std::vector<std::pair<const mailimap_body *, GMimeMultipart *>> pending{{&structure, nullptr}};
    while (!pending.empty()) {
        const auto [body, parent] = pending.back();
        pending.pop_back();
        GMimeObject *object = nullptr;
        if (body->bd_type == MAILIMAP_BODY_MPART && body->bd_data.bd_body_mpart != nullptr) {
            const mailimap_body_type_mpart &multi = *body->bd_data.bd_body_mpart;
            if (Safe(multi.bd_media_subtype).empty() || !PlainBoundary(multi.bd_ext_mpart))
                return std::nullopt;
            object = PartOf("multipart", Safe(multi.bd_media_subtype),
                            multi.bd_ext_mpart != nullptr ? multi.bd_ext_mpart->bd_disposition : nullptr);
            std::vector<const mailimap_body *> children;
            ForEach<mailimap_body>(multi.bd_list, [&](mailimap_body *child) { children.push_back(child); });
            for (auto child = children.rbegin(); child != children.rend(); ++child)
                pending.emplace_back(*child, GMIME_IS_MULTIPART(object) ? GMIME_MULTIPART(object) : nullptr);
        } else if (body->bd_type == MAILIMAP_BODY_1PART && body->bd_data.bd_body_1part != nullptr) {
            const mailimap_body_type_1part &part = *body->bd_data.bd_body_1part;
            const auto [type, subtype] = TypeOf(part);
            if (!PlainType({type, subtype}))
                return std::nullopt;
            object = PartOf(type, subtype, part.bd_ext_1part != nullptr ? part.bd_ext_1part->bd_disposition : nullptr);
        } else {
            continue;
        }
        Ref<GMimeObject> held(object);
        if (parent != nullptr)
            g_mime_multipart_add(parent, object);
        else if (body == &structure)
            g_mime_message_set_mime_part(message.get(), object);
    }
    return static_cast<std::uint32_t>(ShownParts(message.get()).files.size());
}

} // namespace kelvra_provider::imap
