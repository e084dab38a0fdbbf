// A bound for GLib calls that block (D-Bus above all): a GCancellable that a
// thread of its own cancels when the time is up, whatever the call is
// waiting for. One per call; the thread ends with the object.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kelvra_provider {

class CancelAfter {
public:
    explicit CancelAfter(std::chrono::milliseconds bound);
    ~CancelAfter();
    CancelAfter(const CancelAfter &) = delete;
    CancelAfter &operator=(const CancelAfter &) = delete;

    GCancellable *get() const { return cancellable_; }
    // Whether the time ran out (the call then failed as cancelled).
    bool Fired() const { return g_cancellable_is_cancelled(cancellable_) != FALSE; }
    // The bound as it reads in a reason: "10 seconds".
    std::string Words() const;

private:
    GCancellable *cancellable_;
    std::chrono::milliseconds bound_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watch_;
};

} // namespace kelvra_provider
