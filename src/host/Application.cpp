#include "host/Application.h"

namespace host {

void TApplication::HandleException(const std::exception &error) noexcept
{
    if (!onException_)
        return;
    try {
        onException_(error);
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
