// Outgoing mail over SMTP, through libcurl. (Its way out, SmtpWayOut, is in
// WayOut.h.)
#pragma once

#include "Session.h"

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra_provider {

// Sends `bytes` (a whole message, CRLF lines) from `sender` to every one of
// `recipients` (To, Cc and Bcc alike) through the profile's server. All or
// nothing: a refused recipient abandons the transaction and raises
// MAPI_E_UNKNOWN_RECIPIENT (the refusal is logged), as does a sender or
// recipient that MailAddress refuses (before anything is sent); a refused
// login, or none offered while the profile names a user (before MAIL),
// raises MAPI_E_LOGON_FAILURE; a connection or protocol failure, or a
// server silent past the profile's bounds, MAPI_E_NETWORK_FAILURE (and the
// connection is cut without waiting for its QUIT).
// With an outbox, its connection is kept for the session's next send (a
// server that closed it meanwhile is connected to again).
void SendSmtp(const Profile &profile, const std::string &password, const std::string &sender,
              const std::vector<std::string> &recipients, const std::string &bytes, Outbox *outbox = nullptr);
// The same, with the message's bytes asked of `message` only when the
// server is ready for them (after the envelope's commands), so that they
// may be made meanwhile. When `message` raises, the transaction is
// abandoned (the connection closed before the data's end, so the server
// keeps nothing) and its error raised.
void SendSmtp(const Profile &profile, const std::string &password, const std::string &sender,
              const std::vector<std::string> &recipients, const std::function<const std::string &()> &message,
              Outbox *outbox = nullptr);

// Connects to the profile's server, logs in as a send would, and asks for a
// NOOP: no message, no envelope. Says what happened ("the server greets,
// accepts the login of dev (AUTH PLAIN) and answers NOOP"); raises as
// SendSmtp does. A profile that names a user fails, with send and check
// alike, against a server that offers no login: MAPI_E_LOGON_FAILURE.
std::string CheckSmtp(const Profile &profile, const std::string &password);

// The server of an smtp URL as the outcome's words name it: scheme, host
// and port, no user.
std::string ServerWords(const std::string &smtpUrl);

// What of a command the client sent the send's transcript keeps (to name a
// refused recipient): RCPT TO lines only. A login's lines (AUTH, and the
// credentials a server asks for after it) are never copied anywhere.
bool TranscriptKeeps(std::string_view sent);

// A session's sending state: the libcurl handle whose connection the next
// send reuses, and whether that connection is logged in.
struct Outbox {
    Outbox() = default;
    ~Outbox();
    Outbox(const Outbox &) = delete;
    Outbox &operator=(const Outbox &) = delete;

    std::mutex mutex;      // one send at a time uses the handle
    void *handle = nullptr; // a CURL easy handle
    bool loggedIn = false;  // the kept connection's login was accepted
};

// A profile's smtp address as libcurl parses it: valid only for smtp:// and
// smtps://; loopback when its host is a loopback address (127.0.0.0/8,
// [::1]) or exactly "localhost".
struct SmtpUrl {
    bool valid = false;
    std::string scheme;
    bool loopback = false;
};
SmtpUrl ParseSmtpUrl(const std::string &url);

} // namespace kelvra_provider
