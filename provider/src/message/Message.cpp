#include "message/Message.h"

#include "Text.h"

namespace kelvra_provider {

std::string NarrowPathName(std::string_view path)
{
    return NarrowToUtf8(path.substr(path.rfind('/') + 1));
}

bool IsInterpersonal(const std::string &type)
{
    // Only ordinary mail's own class: a class of an application's that
    // begins like it (IPM.Note.Custom, IPM.Notes) is its own and is kept.
    return type.empty() || SameText(type, "IPM") || SameText(type, kInterpersonalClass);
}

bool TypeMatches(const std::string &cls, const std::string &type)
{
    const std::string actual = cls.empty() ? kInterpersonalClass : cls;
    return StartsWithText(actual, type.empty() ? kInterpersonalClass : type);
}

} // namespace kelvra_provider
