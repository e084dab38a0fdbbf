#include "profile/Keys.h"

#include <glib.h>

#include <algorithm>

namespace kelvra_provider {

namespace {

using Kind = ProfileKey::Kind;

const ProfileKey kKeys[] = {
    {"mailbox", Kind::Own, {}, [](const Profile &p) { return p.mailbox; }},
    {"sentfolder", Kind::Text, &Profile::sentFolder},
    {"addressbook", Kind::Path, &Profile::addressBook},
    {"cache", Kind::Own, {}, [](const Profile &p) { return p.cacheFolder.empty() ? std::string("off") : p.cacheFolder; }},
    {"name", Kind::Own, {}, [](const Profile &p) { return p.senderName; }},
    {"address", Kind::Own, {}, [](const Profile &p) { return p.senderAddress; }},
    {"smtp", Kind::Own, {}, [](const Profile &p) { return p.smtpUrl; }},
    {"sendmail", Kind::Own, {}, [](const Profile &p) { return CommandLine(p.sendmail); }},
    {"localdelivery", Kind::YesNo, &Profile::localDelivery},
    {"user", Kind::Text, &Profile::user},
    {"password", Kind::Own, {}, [](const Profile &p) { return p.password.empty() ? std::string() : std::string("(set)"); }},
    {"passwordcmd", Kind::Text, &Profile::passwordCommand},
    {"auth", Kind::Own, {}, [](const Profile &p) { return std::string(kAuthMethods[static_cast<int>(p.auth)].name); }},
    {"cafile", Kind::Path, &Profile::caFile},
    {"plain", Kind::YesNo, &Profile::plainLoopback},
    {"fallbackcharset", Kind::Own, {}, [](const Profile &p) { return p.fallbackCharset; }},
    {"connecttimeout", Kind::Seconds, &Profile::connectTimeout},
    {"timeout", Kind::Seconds, &Profile::sendTimeout},
    {"stalltimeout", Kind::Seconds, &Profile::stallTimeout},
};

} // namespace

std::span<const ProfileKey> ProfileKeyTable() { return kKeys; }

bool IsProfileKey(std::string_view key)
{
    return std::any_of(std::begin(kKeys), std::end(kKeys), [&](const ProfileKey &k) { return k.key == key; });
}

std::string ShownValue(const ProfileKey &key, const Profile &profile)
{
    if (key.show != nullptr)
        return key.show(profile);
    if (const auto text = std::get_if<std::string Profile::*>(&key.member))
        return profile.**text;
    if (const auto yes = std::get_if<bool Profile::*>(&key.member))
        return profile.**yes ? "yes" : "no";
    return std::to_string(profile.*std::get<long Profile::*>(key.member));
}

std::string CommandLine(const std::vector<std::string> &words)
{
    std::string line;
    for (const std::string &w : words) {
        const bool plain = !w.empty() && w.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                             "0123456789-_./:=@+,") == std::string::npos;
        gchar *quoted = plain ? nullptr : g_shell_quote(w.c_str());
        line += (line.empty() ? "" : " ") + (plain ? w : std::string(quoted));
        g_free(quoted);
    }
    return line;
}

} // namespace kelvra_provider
