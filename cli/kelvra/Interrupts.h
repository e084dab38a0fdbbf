// Ctrl-C (SIGINT) and SIGTERM while kelvra works: passed on to the mail
// system, which stops what it started (a sendmail program's whole process
// group, a message on its way to a server), removes what it began and says
// what happened; kelvra then exits with 128 + the signal. When the mail
// system runs nothing that can stop, or at a second signal, the program
// ends as it would without a handler.
#pragma once

namespace kelvra_cli {

class InterruptsPassedOn {
public:
    InterruptsPassedOn();
    ~InterruptsPassedOn();
    InterruptsPassedOn(const InterruptsPassedOn &) = delete;
    InterruptsPassedOn &operator=(const InterruptsPassedOn &) = delete;

    // The signal passed on, 0 when none came.
    static int Taken();
};

} // namespace kelvra_cli
