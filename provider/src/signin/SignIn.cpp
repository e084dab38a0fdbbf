#include "signin/SignIn.h"

#include "Errors.h"
#include "Url.h"
#include "signin/Keyring.h"
#include "signin/PasswordCommand.h"

#include <curl/curl.h>

namespace kelvra_provider {

void ClearText(std::string &text)
{
    // The whole buffer, also what a moved-from or shortened text still holds.
    text.resize(text.capacity()); // within its buffer: nothing is moved
    volatile char *p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        p[i] = 0;
    text.clear();
}

SignIn SignInOf(const Profile &profile, const std::string &logonPassword, const std::string &server,
                const std::string &user)
{
    return {profile.name, logonPassword, profile.passwordCommand, profile.password, profile.auth, server, user,
            profile.sendTimeout};
}

std::vector<std::pair<std::string, std::string>> ServersOf(const Profile &profile)
{
    std::vector<std::pair<std::string, std::string>> servers;
    if (IsImapMailbox(profile.mailbox)) {
        std::string user;
        if (CURLU *url = curl_url()) {
            char *part = nullptr;
            if (curl_url_set(url, CURLUPART_URL, profile.mailbox.c_str(), 0) == CURLUE_OK &&
                curl_url_get(url, CURLUPART_USER, &part, CURLU_URLDECODE) == CURLUE_OK && part != nullptr)
                user = part;
            curl_free(part);
            curl_url_cleanup(url);
        }
        servers.emplace_back(profile.mailbox, user.empty() ? profile.user : user);
    }
    if (!profile.smtpUrl.empty() && !profile.user.empty())
        servers.emplace_back(profile.smtpUrl, profile.user);
    return servers;
}

Secret LoginSecret(const SignIn &signIn)
{
    if (!signIn.logonPassword.empty())
        return Secret(signIn.logonPassword);
    if (!signIn.command.empty()) {
        std::string why;
        if (std::optional<Secret> secret = RunPasswordCommand(signIn.command, &why))
            return std::move(*secret);
        Refuse("profile " + signIn.profileName + ": its passwordcmd gave no password: " + why, MAPI_E_LOGON_FAILURE);
    }
    if (!signIn.profilePassword.empty())
        return Secret(signIn.profilePassword);
    std::string why;
    if (std::optional<Secret> kept = KeyringLookup(signIn.server, signIn.user, signIn.keyringSeconds, &why))
        return std::move(*kept);
    // Said before any server hears a login without one.
    Refuse("profile " + signIn.profileName + ": no password was found for " + signIn.user + " at " +
               WithoutPassword(signIn.server) +
               ": none was given at logon, the profile has no passwordcmd or password, and " + (why.empty() ? "the keyring holds none (kelvra password set keeps one)"
                            : "the keyring could not be asked: " + why),
           MAPI_E_LOGON_FAILURE);
}

} // namespace kelvra_provider
