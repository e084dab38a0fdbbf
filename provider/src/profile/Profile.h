// Profiles: sections of an INI file, read and added.
#pragma once

#include "mapi/SimpleMapi.h"
#include "Secret.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {

// How a server login carries its secret: what the server offers, a
// password by PLAIN or LOGIN, or an OAuth 2 access token by XOAUTH2 or
// OAUTHBEARER (SignIn.h).
enum class Auth { Auto, Plain, Login, XOAuth2, OAuthBearer };
// Each method's name in a profile file (any case when read) and the SASL
// mechanism it asks for (none: what the server offers), in the order of Auth.
struct AuthMethod {
    const char *name;
    const char *mechanism;
};
inline constexpr AuthMethod kAuthMethods[] = {
    {"auto", nullptr}, {"plain", "PLAIN"}, {"login", "LOGIN"}, {"xoauth2", "XOAUTH2"}, {"oauthbearer", "OAUTHBEARER"}};

struct Profile {
    std::string name;        // the section's name; "Default" for the embedded default
    bool embedded = false;   // the embedded default (no profile file)
    std::string mailbox;     // the Maildir folder (the inbox; Sent is its ".Sent"), or an IMAP URL
    std::string sentFolder;  // IMAP: the Sent folder when the server marks none \Sent
    // The sender (From: and the envelope's): the profile's `name` and
    // `address`, else EMAIL's ("Ann <ann@example.org>", the convention of
    // mail tools), else none (empty address): then no From field and no
    // envelope sender are given, and the system's mail transfer agent
    // supplies its own.
    std::string senderName;  // From: display name (UTF-8)
    std::string senderAddress;
    enum class SenderFrom { Profile, Environment, None } senderFrom = SenderFrom::None;
    std::string addressBook; // a .vcf file or a folder of them
    std::string cacheFolder; // where envelope caches live; empty: none
    // The charset 8-bit text that is not UTF-8 is read in (message/HeaderText.h).
    std::string fallbackCharset = "windows-1252";
    // The way mail goes out (outgoing/WayOut.h chooses): an SMTP server;
    std::string smtpUrl;
    // else `sendmail`, the program outgoing mail is handed to, as words (no
    // shell);
    std::vector<std::string> sendmail;
    // else `localdelivery`: into the mailbox, to no one else; else the
    // system's sendmail program.
    bool localDelivery = false;
    // The login at the servers, SMTP and IMAP alike.
    std::string user;
    SecretText password;         // the profile's `password`
    std::string passwordCommand; // passwordcmd: run for each login, its first line the secret
    Auth auth = Auth::Auto;
    std::string caFile;          // certificates to trust besides the system's (a private server)
    bool plainLoopback = false;  // `plain`: no TLS to a server on loopback
    // Bounds of a server's answers, in seconds: connecting; a whole SMTP
    // transfer; and how long a transfer may go on at under one byte a
    // second (a stalled server).
    long connectTimeout = 30;
    long sendTimeout = 300;
    long stallTimeout = 60;
};

// The profile file, as an absolute path: $KELVRA_MAPI_PROFILES (a relative
// one against the current folder), else $XDG_CONFIG_HOME/kelvra/profiles.ini
// (~/.config/kelvra/profiles.ini).
std::string ProfileFile();

// The profile of that name (empty: the file's default, else its first
// section; with no file, the embedded default). MAPI_E_LOGON_FAILURE for an
// unknown name, a profile file that cannot be read or is not a regular
// file, or a sender address that is not a plain one (see MailAddress).
Profile LoadProfile(const std::string &name);
// The names of the profile file's profiles, the default one first (with no
// file, the embedded default's); raised as LoadProfile raises for a file
// that cannot be read.
std::vector<std::string> ProfileNames();

// Adds the profile `name` with `keys` (key, value; an empty value is left
// out) to the profile file, made (0600, its folder 0700) when missing: at
// its end, or with `replace` in the place of a profile of that name (else
// that one is kept and MAPI_E_LOGON_FAILURE raised). The file is written
// whole in one step, and only when the profile reads back and could log
// on (else MAPI_E_LOGON_FAILURE, as LoadProfile says why). A key no
// profile has, or a value with a line break, is MAPI_E_FAILURE.
Profile AddProfile(const std::string &name, const std::vector<std::pair<std::string, std::string>> &keys,
                   bool replace);

} // namespace kelvra_provider
