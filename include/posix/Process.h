// Running a helper program (a dialog) on POSIX, shared by the component
// library and the provider: started from PATH with an argument vector (no
// shell ever sees an argument), standard input from /dev/null, standard
// output collected. The pipe is close-on-exec, so no other program started
// meanwhile by another thread inherits it and holds it open.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvra_posix {

struct RunResult {
    int exitCode = -1; // -1 when it did not exit normally
    std::string output;
};

// Runs args[0] with `args`; nullopt when it cannot be started.
std::optional<RunResult> RunProgram(const std::vector<std::string> &args);

} // namespace kelvra_posix
