// An interrupt the host program passes on (the kelvra command's SIGINT
// handler calls Interrupt): work that can stop on it (a helper program, a
// message on its way to a server) stops as soon as it looks, undoes what it
// began and says so. The library itself installs no signal handler.
#pragma once

#include <atomic>

namespace kelvra_posix {

// Asks every stoppable work running now to stop. Async-signal-safe. False
// when none runs, so that a caller's handler may do what it would have done
// without us (end the program).
bool Interrupt() noexcept;

// While it lives, the calling work stops at an interrupt: Asked() tells
// whether one came since it began.
class Stoppable {
public:
    Stoppable() noexcept;
    ~Stoppable();
    Stoppable(const Stoppable &) = delete;
    Stoppable &operator=(const Stoppable &) = delete;

    bool Asked() const noexcept;

private:
    unsigned seen_;
};

} // namespace kelvra_posix
