// Signing in to a server (SMTP or IMAP): where the secret comes from and
// which mechanism carries it.
//
// The secret of one login, in this order: MAPILogon's password; the
// profile's `passwordcmd`, run for each login (a token expires, so nothing
// of it is kept); its `password` (a profile file that others can read is
// refused at logon for holding one); the keyring's item for the server and
// user (Keyring.h); else none, and the logon asks where it may. `auth` names the mechanism: auto (what the server offers), plain,
// login, or xoauth2 / oauthbearer, which send the secret as an OAuth 2
// access token with the profile's user.
#pragma once

#include "profile/Profile.h"
#include "Secret.h"

#include <string>
#include <utility>
#include <vector>

namespace kelvra_provider {

// What a login needs to find its secret: taken from a profile and the
// session's logon password when a session (or a store) starts.
struct SignIn {
    std::string profileName;
    SecretText logonPassword;   // MAPILogon's, or what the logon prompt got
    std::string command;         // passwordcmd
    SecretText profilePassword; // password
    Auth auth = Auth::Auto;
    std::string server, user;    // the keyring's item: the server's URL as the profile names it
    long keyringSeconds = 300;   // the bound of asking the keyring: the profile's timeout
};
SignIn SignInOf(const Profile &profile, const std::string &logonPassword, const std::string &server,
                const std::string &user);

// The secret for one login. A password command that fails is
// MAPI_E_LOGON_FAILURE, with a log line naming the profile and the reason
// (never what the command printed). None at all is MAPI_E_LOGON_FAILURE,
// with a reason that says where it was looked for.
Secret LoginSecret(const SignIn &signIn);

// The servers a profile signs in to, as the keyring keys them: (URL, user)
// of its IMAP mailbox and of its SMTP server, where it has them.
std::vector<std::pair<std::string, std::string>> ServersOf(const Profile &profile);

// Whether the mechanism sends an OAuth 2 token.
inline bool IsOAuth(Auth auth) { return auth == Auth::XOAuth2 || auth == Auth::OAuthBearer; }

} // namespace kelvra_provider
