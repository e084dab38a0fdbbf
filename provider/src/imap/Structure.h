// What a read would hand out of a message, told from the server's
// BODYSTRUCTURE and the header alone: the count of files, so that a
// listing shows it without fetching the message.
#pragma once

#include <libetpan/libetpan.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvra_provider::imap {

// The number of files a read of the message would hand out, by the same
// rule a read follows (ShownParts), applied to the parts' types and
// dispositions as the server describes them. nullopt where the server's
// reading and ours may part: a header block that does not end as mail
// readers agree, a boundary a reader may take otherwise (longer than 70
// characters, ending in a blank), a type that names no type and subtype,
// or the type a reader gives what it cannot read. Such a message is
// counted by a read.
std::optional<std::uint32_t> FilesOf(const mailimap_body &structure, std::string_view header);

} // namespace kelvra_provider::imap
