// The provider's threads and the process: forks seen, signals kept from
// the threads it starts.
#pragma once

#include <signal.h>

namespace kelvra_provider {

// How often this process has forked: a child sees a number its parent did
// not have (cheaper to ask at every call than the process identifier). A
// child has none of its parent's other threads.
unsigned ForkCount();

// While it lives, the calling thread blocks every signal, so that a thread
// started meanwhile takes none of the application's signals (a library's
// helper threads must not run its handlers).
class SignalsBlocked {
public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked &) = delete;
    SignalsBlocked &operator=(const SignalsBlocked &) = delete;

private:
    sigset_t old_;
};

// While it lives, SIGPIPE is held back for the calling thread, and one
// raised meanwhile is taken before the thread's mask is restored: for a
// library that writes to a socket without MSG_NOSIGNAL (libetpan), so that a
// server that went away does not end the host program.
class NoSigpipe {
public:
    NoSigpipe();
    ~NoSigpipe();
    NoSigpipe(const NoSigpipe &) = delete;
    NoSigpipe &operator=(const NoSigpipe &) = delete;

private:
    sigset_t old_{};
    bool pendingBefore_ = false;
};

} // namespace kelvra_provider
