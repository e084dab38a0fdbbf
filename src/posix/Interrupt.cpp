#include "posix/Interrupt.h"

namespace kelvra_posix {

namespace {
// Lock-free, as a signal handler needs them.
std::atomic<unsigned> g_running{0};
std::atomic<unsigned> g_interrupts{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);
} // namespace

bool Interrupt() noexcept
{
    if (g_running.load() == 0)
        return false;
    g_interrupts.fetch_add(1);
    return true;
}

Stoppable::Stoppable() noexcept : seen_(g_interrupts.load()) { g_running.fetch_add(1); }

Stoppable::~Stoppable() { g_running.fetch_sub(1); }

bool Stoppable::Asked() const noexcept { return g_interrupts.load() != seen_; }

} // namespace kelvra_posix
