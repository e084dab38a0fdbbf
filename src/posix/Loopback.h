// The one loopback rule, shared by the provider (whether a server may be
// spoken to without TLS) and the kelvra command (whether an imported server
// is one): a loopback address, or the name "localhost" itself.
#pragma once

#include <string>

namespace kelvra_posix {

// For a host as a URL gives it (an IPv6 address in brackets) or as a
// configuration file writes it (with or without them): 127.0.0.0/8, ::1,
// or exactly "localhost" in any case; never a name that merely begins like
// one (127.0.0.1.example.org, localhost.example.org).
bool IsLoopbackHost(const std::string &host);

} // namespace kelvra_posix
