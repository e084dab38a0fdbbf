#include "CancelAfter.h"

#include <string>

namespace kelvra_provider {

CancelAfter::CancelAfter(std::chrono::milliseconds bound) : cancellable_(g_cancellable_new()), bound_(bound)
{
    watch_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!wake_.wait_for(lock, bound_, [this] { return done_; }))
            g_cancellable_cancel(cancellable_);
    });
}

CancelAfter::~CancelAfter()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    watch_.join();
    g_object_unref(cancellable_);
}

std::string CancelAfter::Words() const
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound_).count();
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

} // namespace kelvra_provider
