#include "signin/SignIn.h"

#include "Common.h"
#include "signin/PasswordCommand.h"

namespace kmp {

void ClearText(std::string &text)
{
    volatile char *p = text.data();
    for (std::size_t i = 0; i < text.size(); ++i)
        p[i] = 0;
    text.clear();
}

SignIn SignInOf(const Profile &profile, const std::string &logonPassword)
{
    return {profile.name, logonPassword, profile.passwordCommand, profile.smtpPassword, profile.auth};
}

Secret LoginSecret(const SignIn &signIn)
{
    if (!signIn.logonPassword.empty())
        return Secret(signIn.logonPassword);
    if (!signIn.command.empty()) {
        std::string why;
        if (std::optional<Secret> secret = RunPasswordCommand(signIn.command, &why))
            return std::move(*secret);
        Log("profile " + signIn.profileName + ": its passwordcmd gave no password: " + why);
        Fail(MAPI_E_LOGON_FAILURE);
    }
    return Secret(signIn.profilePassword);
}

} // namespace kmp
