// Where this user's things are: the environment, the password database's
// entry, the home and XDG folders, and paths a profile file writes.
#pragma once

#include <string>

namespace kelvra_provider {

// The environment variable's value; empty when it is not set.
std::string Env(const char *name);

// $HOME, else the password database's home folder.
std::string Home();

// $VARIABLE when it is an absolute path, else ~/`fallback` (the XDG rule);
// empty when `fallback` is null.
std::string XdgFolder(const char *variable, const char *fallback);

// The user's name as the password database gives it (its full name, else
// the login name; "Me" when there is no entry), and the login name ("me").
std::string UserName();
std::string LoginName();

// A path as a profile file writes it: "~" and "~/x" are in the home
// folder, a relative path is relative to `base` (the file's folder), an
// absolute one and empty stay as they are.
std::string ResolvePath(const std::string &value, const std::string &base);

} // namespace kelvra_provider
