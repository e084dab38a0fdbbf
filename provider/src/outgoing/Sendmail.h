// Outgoing mail handed to the system's mail transfer agent: the profile's
// `sendmail` program (/usr/sbin/sendmail, msmtp, ...), the interface every
// Unix mail program hands mail to.
#pragma once

#include <string>
#include <vector>

namespace kelvra_provider {

// Runs a sendmail program's words (the profile's, or the system's), then
// `-oi -f SENDER -- RECIPIENT...` (every To, Cc and Bcc address: plain
// addresses only, so no recipient is ever taken for an option), with
// `bytes` (a whole message, CRLF lines) on its standard input in LF lines,
// bounded by `timeout` seconds. Exit status 0 is the message handed over.
// Anything else (a status that cannot be known among them) raises, after a log line with the
// status and the first line the program wrote to standard error:
// MAPI_E_UNKNOWN_RECIPIENT for EX_NOUSER (67), MAPI_E_INVALID_RECIPS for an
// address that is not a plain one (before anything runs), MAPI_E_FAILURE
// for every other status, a signal, the time bound, or a program that
// cannot be started; MAPI_USER_ABORT when an interrupt stopped it first.
// True when an interrupt came after the program had taken the message.
bool SendThroughProgram(const std::vector<std::string> &words, long timeout, const std::string &sender,
                        const std::vector<std::string> &recipients, const std::string &bytes);

// The arguments that run: the program's words, then the envelope.
std::vector<std::string> SendmailArguments(const std::vector<std::string> &words, const std::string &sender,
                                           const std::vector<std::string> &recipients);

} // namespace kelvra_provider
