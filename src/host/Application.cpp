#include "host/Application.h"

namespace host {

void TApplication::SetOnException(TExceptionHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    onException_ = std::move(handler);
}

void TApplication::HandleException(const std::exception &error) noexcept
{
    TExceptionHandler handler;
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = onException_; // called outside the lock: it may set another
    } catch (...) {
        return;
    }
    if (!handler)
        return;
    try {
        handler(error);
    } catch (...) {
        // A handler that raises has nowhere to raise to.
    }
}

TApplication &Application()
{
    static TApplication application;
    return application;
}

} // namespace host
