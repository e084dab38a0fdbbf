// How kelvra says that something failed: one line on standard error, the
// reason first and the mail system's code after it; with --json one JSON
// document there instead, so that standard output holds answers only.
#pragma once

#include <string>

namespace kelvra_cli {

// The name of a Simple MAPI result code ("MAPI_E_LOGON_FAILURE"); empty
// for a code no name is published for.
std::string ResultName(long code);

struct Failure {
    std::string message; // the reason, or the code's own text when none is given
    int status = 1;       // the exit status
    long code = 0;        // the mail system's result code; 0: none
};

// Writes the failure to standard error and returns its exit status.
int Report(const Failure &failure, bool json);

} // namespace kelvra_cli
