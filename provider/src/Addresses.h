// The one check of mail addresses that enter the provider, and the
// loopback rule of its servers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvra_provider {

// "SMTP:" (any case) taken off an address.
std::string_view StripAddressType(std::string_view address);

// The one check of every mail address that enters the provider: an entry
// identifier, a vCard EMAIL, a recipient record, the profile's sender, and
// once more the SMTP envelope. Returns the plain "local@domain" (an "SMTP:"
// prefix, any case, taken off), or nullopt for anything else. Strict on
// purpose, since an address ends up inside SMTP commands and headers:
// - valid UTF-8, no control character (C0, DEL, C1), no blank of any kind;
// - exactly one "@", with a non-empty local part and domain;
// - the local part is dot-separated runs of letters, digits, non-ASCII
//   characters and !#$%&'*+-/=?^_`{|}~ (so no quoted local part, no
//   angle brackets, commas, semicolons, parentheses or backslashes, and no
//   leading, trailing or doubled dot);
// - the domain is at least two dot-separated labels of letters, digits,
//   non-ASCII characters and inner hyphens, or "localhost" (no address
//   literal in brackets).
std::optional<std::string> MailAddress(std::string_view text);
// Whether MailAddress accepts the text.
inline bool IsMailAddress(std::string_view text) { return MailAddress(text).has_value(); }

// The loopback rule of both servers, for a host as libcurl's URL parser
// gives it (an IPv6 address in brackets).
bool IsLoopbackHost(const std::string &host);

// The entry identifier of an address that is not in the address book.
std::string AddressEntryId(std::string_view address);
// What an address's entry identifier is made of: this, then the address.
constexpr std::string_view kAddressEntryPrefix = "kelvra-address:";

} // namespace kelvra_provider
