#include "Interrupts.h"

#include "Provider.h"

#ifndef _WIN32
#include <signal.h>

#include <cerrno>
#include <memory>
#endif

namespace kelvra_cli {

#ifndef _WIN32

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

volatile sig_atomic_t g_taken = 0;
LPKELVRAMAPIINTERRUPT g_interrupt = nullptr;
std::unique_ptr<ProviderEntry> g_entry;
struct sigaction g_before[2];

extern "C" void PassOn(int signal)
{
    const int saved = errno;
    if (g_taken == 0 && g_interrupt != nullptr && g_interrupt() == SUCCESS_SUCCESS) {
        g_taken = signal;
        errno = saved;
        return;
    }
    // Nothing to stop, or a second signal: the end it would have had.
    ::signal(signal, SIG_DFL);
    raise(signal);
}

} // namespace

InterruptsPassedOn::InterruptsPassedOn()
{
    try {
        g_entry = std::make_unique<ProviderEntry>("KelvraMapiInterrupt", u"");
    } catch (const NotOffered &) {
        return; // a library that stops nothing: the signals' own ends
    }
    g_interrupt = g_entry->As<LPKELVRAMAPIINTERRUPT>();
    struct sigaction action {};
    action.sa_handler = &PassOn;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        sigaction(kSignals[i], &action, &g_before[i]);
}

InterruptsPassedOn::~InterruptsPassedOn()
{
    if (g_interrupt == nullptr)
        return;
    for (int i = 0; i < 2; ++i)
        sigaction(kSignals[i], &g_before[i], nullptr);
    g_interrupt = nullptr;
    g_entry.reset();
}

int InterruptsPassedOn::Taken() { return g_taken; }

#else

InterruptsPassedOn::InterruptsPassedOn() = default;
InterruptsPassedOn::~InterruptsPassedOn() = default;
int InterruptsPassedOn::Taken() { return 0; }

#endif

} // namespace kelvra_cli
