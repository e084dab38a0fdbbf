#include "Addresses.h"

#include "Text.h"

#include "posix/Loopback.h"

#include <glib.h>

namespace kelvra_provider {

std::string_view StripAddressType(std::string_view address)
{
    if (StartsWithText(address, "SMTP:"))
        address.remove_prefix(5);
    return address;
}

namespace {

bool IsAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Dot-separated runs of characters that `allowed` accepts (non-ASCII
// characters always, unless they are controls or blanks): no empty run.
template <class Allowed>
bool DotSeparated(std::string_view text, Allowed allowed, bool hyphenInsideOnly)
{
    size_t start = 0;
    while (true) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view run = text.substr(start, dot - start);
        if (run.empty())
            return false;
        if (hyphenInsideOnly && (run.front() == '-' || run.back() == '-'))
            return false;
        for (const char *p = run.data(); p < run.data() + run.size(); p = g_utf8_next_char(p)) {
            if (static_cast<unsigned char>(*p) < 0x80) {
                if (!allowed(*p))
                    return false;
            } else if (const gunichar u = g_utf8_get_char(p); g_unichar_iscntrl(u) || g_unichar_isspace(u)) {
                return false;
            }
        }
        if (dot == text.size())
            return true;
        start = dot + 1;
    }
}

} // namespace

std::optional<std::string> MailAddress(std::string_view text)
{
    text = StripAddressType(text);
    if (text.empty() || !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::nullopt; // also refuses a NUL byte
    const size_t at = text.find('@');
    if (at == std::string_view::npos || text.find('@', at + 1) != std::string_view::npos)
        return std::nullopt;
    const std::string_view local = text.substr(0, at), domain = text.substr(at + 1);
    const auto atext = [](char c) {
        return IsAsciiAlnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
    };
    const auto label = [](char c) { return IsAsciiAlnum(c) || c == '-'; };
    if (!DotSeparated(local, atext, false) || !DotSeparated(domain, label, true))
        return std::nullopt;
    if (domain.find('.') == std::string_view::npos && !SameText(domain, "localhost"))
        return std::nullopt;
    return std::string(text);
}

bool IsLoopbackHost(const std::string &host) { return kelvra_posix::IsLoopbackHost(host); }

std::string AddressEntryId(std::string_view address)
{
    std::string id;
    id.reserve(kAddressEntryPrefix.size() + address.size());
    id.append(kAddressEntryPrefix).append(address);
    return id;
}

} // namespace kelvra_provider
