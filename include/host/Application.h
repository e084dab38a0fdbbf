// The framework's global application object.
#pragma once

#include "host/Export.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

namespace host {

// Any thread may use the application object: its settings are guarded.
class KELVRA_API TApplication {
public:
    // The application's main window as a platform window handle value (an
    // HWND on Windows), or 0 when it has none. Dialogs of the platform are
    // parented to it.
    std::uintptr_t Handle() const { return handle_.load(); }
    void SetHandle(std::uintptr_t handle) { handle_.store(handle); }

    // Failures that cannot be raised to a caller (a destructor's clean-up)
    // are handed here. Without a handler they are dropped.
    using TExceptionHandler = std::function<void(const std::exception &)>;
    // The handler runs on the thread whose failure it is.
    void SetOnException(TExceptionHandler handler);
    void HandleException(const std::exception &error) noexcept;

private:
    std::atomic<std::uintptr_t> handle_{0};
    mutable std::mutex mutex_;
    TExceptionHandler onException_;
};

KELVRA_API TApplication &Application();

} // namespace host
