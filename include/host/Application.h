// The framework's global application object.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace host {

class TApplication {
public:
    // The application's main window as a platform window handle value (an
    // HWND on Windows), or 0 when it has none. Dialogs of the platform are
    // parented to it.
    std::uintptr_t Handle() const { return handle_; }
    void SetHandle(std::uintptr_t handle) { handle_ = handle; }

    // Failures that cannot be raised to a caller (a destructor's clean-up)
    // are handed here. Without a handler they are dropped.
    using TExceptionHandler = std::function<void(const std::exception &)>;
    void SetOnException(TExceptionHandler handler) { onException_ = std::move(handler); }
    void HandleException(const std::exception &error) noexcept;

private:
    std::uintptr_t handle_ = 0;
    TExceptionHandler onException_;
};

TApplication &Application();

} // namespace host
