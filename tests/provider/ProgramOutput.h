// A program the tests run beside the library (w3m, Python's mail packages,
// an IMAP client, an indexer), run as the library runs its helpers: an
// argument vector, no shell, and a time bound.
#pragma once

#include "posix/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace provider_test {

// What the program printed, given `input` on its standard input (else
// /dev/null). One that cannot start, outlives its bound or ends with
// another status than 0 fails the test, which then shows its standard
// error.
inline std::string ProgramOutput(const std::vector<std::string> &args, std::optional<std::string_view> input = {})
{
    kelvra_posix::RunOptions options;
    options.bound = std::chrono::seconds(60);
    options.maxOutput = 64 * 1024 * 1024;
    options.input = input;
    options.keepErrors = true;
    const auto run = kelvra_posix::RunProgram(args, options);
    EXPECT_TRUE(run && !run->timedOut && run->exitCode == 0)
        << args.front() << (args.size() > 1 ? " " + args[1] : "") << ": " << (run ? run->errors : "did not start");
    return run ? run->output : std::string();
}

} // namespace provider_test
