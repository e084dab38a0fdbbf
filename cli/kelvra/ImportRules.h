// What the importers share: how their files' lines read, how a server
// becomes a URL, and the rules for what is carried over (a password, an
// authentication) or refused.
#pragma once

#include "Import.h"
#include "Words.h"

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kelvra_cli::imports {

// A line's keyword and its argument; an argument in double quotes loses
// them, with \" and \\ inside for a quote and a backslash (as both msmtp's
// and mbsync's files write them).
std::pair<std::string, std::string> KeywordAndArgument(const std::string &line);

// Calls `f(number, line)` for each line of `text`, trimmed, numbered from 1.
template <class F>
void EachLine(const std::string &text, F &&f)
{
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);)
        f(++number, kelvra_cli_common::Trim(line));
}
// The provider's own rule: what is written plain is what it speaks plain to.
bool IsLoopback(const std::string &host);
// Refuses a server whose host holds what a URL reads otherwise (a user, a
// path, a port of its own) or whose port is not a number from 1 to 65535,
// naming the file's keys (`hostKey`, `portKey`) and lines.
void CheckServer(const std::string &file, const std::string &hostKey, int hostLine, const std::string &host,
                 const std::string &portKey, int portLine, const std::string &port);
// A host for a URL: an IPv6 address in brackets.
std::string UrlHost(const std::string &host);
// Text for a URL's user part, percent-encoded but for the unreserved
// characters: a ':' or '/' in it would name another server.
std::string UrlUser(const std::string &user);
// An on/off setting that is on (given without a value, or "on").
bool On(const std::string &value);
// "~/x" in the home folder.
std::string Expand(const std::string &path);

// Refuses the import: `file:line: what` (no line when `line` is 0).
[[noreturn]] void Cannot(const std::string &file, int line, const std::string &what);
// Refuses a choice of `kind` ("account", "IMAPAccount") that names none of
// `names`: `wanted`, or none when it is empty and there are several.
[[noreturn]] void NoSuchAccount(const std::string &file, const std::string &kind, const std::string &wanted,
                                const std::vector<std::string> &names);

// A password written in a file others can read is no secret: refused;
// else carried over.
void Password(ImportedProfile &p, const std::string &file, int line, bool privateFile, const std::string &value);
// No password carried over: the note says where one can come from.
void NoPassword(ImportedProfile &p);
// The first of `mechanisms` (blank-separated) the provider has, or none
// for whatever the server offers; refused when none of them is either.
void Auth(ImportedProfile &p, const std::string &file, int line, const std::string &mechanisms);

} // namespace kelvra_cli::imports
