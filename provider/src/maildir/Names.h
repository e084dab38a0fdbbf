// A Maildir's file names: the identifier, revision and flags a name holds,
// the names this provider makes, and whose temporary file a name is.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvra_provider::maildir {

// The identifier of a file name: the name without ":2,<flags>" and without
// the fields that change with content (",R=", ",S=", ",W=").
std::string IdOfName(std::string_view name);
// The ",R=" field: how often the message was saved over.
unsigned RevisionOf(std::string_view name);
// The flags after ":2,"; empty for none.
std::string FlagsOf(const std::string &name);
// The Maildir "S" flag: only a message in cur/ carries flags.
bool SeenIn(bool cur, std::string_view name);

std::string FileName(const std::string &path);
std::string FolderOf(const std::string &path);

// A name no other delivery on this host uses.
std::string UniqueName();
// The process that made a temporary file of our own naming on this host,
// or 0 when the name is not ours.
pid_t WriterOf(const std::string &name);
// The leading seconds of a Maildir name, for placing a vanished seed.
std::int64_t SecondsOf(std::string_view id);

} // namespace kelvra_provider::maildir
