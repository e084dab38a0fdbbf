#include "Signals.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace kelvra_provider {

namespace {
std::atomic<unsigned> g_forks{0};
} // namespace

unsigned ForkCount()
{
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { g_forks.fetch_add(1, std::memory_order_relaxed); }); });
    return g_forks.load(std::memory_order_relaxed);
}

SignalsBlocked::SignalsBlocked()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

NoSigpipe::NoSigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    sigset_t pending;
    sigpending(&pending);
    pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
}

NoSigpipe::~NoSigpipe()
{
    if (!pendingBefore_) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

} // namespace kelvra_provider
