// A profile's password command (`passwordcmd`): run with /bin/sh -c, its
// standard input the terminal when ours is one (else nothing), within a
// time bound, each time a server login needs it;
// the first line it prints, without its line end, is the secret.
#pragma once

#include "Secret.h"

#include <optional>
#include <string>

namespace kelvra_provider {

// How long a password command may take, in seconds (30; tests shorten it).
extern int g_passwordCommandSeconds;

// Runs the command. nullopt, with `why` saying what went wrong (never what
// the command printed), on a non-zero exit, a time-out, an empty first line
// or a command that cannot be run.
std::optional<Secret> RunPasswordCommand(const std::string &command, std::string *why);

} // namespace kelvra_provider
