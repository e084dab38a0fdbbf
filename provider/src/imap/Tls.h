// TLS for an IMAP connection, as a libetpan stream layer of ours over GnuTLS.
// libetpan's own TLS layer reports a failed handshake with gnutls_perror,
// which writes to the application's standard error; this one says what
// failed to its caller alone, and bounds the handshake as a whole.
//
// The layer reads and writes on a non-blocking socket and waits for it with
// poll, at most the layer's timeout (mailstream_low_set_timeout) a wait.
// Cancelling it (from any thread) ends the wait under way and every later
// one: the layer is then of no further use. It checks no certificate: the
// connection checks the chain it hands out before anything is sent.
#pragma once

#include <libetpan/libetpan.h>

#include <chrono>
#include <string>

namespace kelvra_provider::imap {

// Opens TLS over the connected socket `fd`, the handshake done by `deadline`,
// with SNI for `serverName` unless it is empty. The layer owns the socket
// from then on (closing the layer closes it). Null on failure, with `why`
// saying what failed; the socket is then still the caller's.
mailstream_low *OpenTls(int fd, const std::string &serverName, std::chrono::steady_clock::time_point deadline,
                        std::string *why);

} // namespace kelvra_provider::imap
