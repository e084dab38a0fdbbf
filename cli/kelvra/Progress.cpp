#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kelvra_cli {

namespace {

// How long work goes on before its progress shows: a second, or the
// seconds KELVRA_PROGRESS_AFTER gives.
std::chrono::milliseconds Delay()
{
    const char *after = std::getenv("KELVRA_PROGRESS_AFTER");
    const double seconds = after != nullptr && *after != '\0' ? std::strtod(after, nullptr) : 1.0;
    return std::chrono::milliseconds(static_cast<long>(seconds >= 0 ? seconds * 1000 : 1000));
}

constexpr auto kRedraw = std::chrono::milliseconds(200);

} // namespace

Progress::Progress(const char *what, bool quiet) : what_(what), enabled_(!quiet && isatty(STDERR_FILENO) == 1) {}

Progress::~Progress()
{
    if (shown_)
        std::fprintf(stderr, "\r%*s\r", width_, "");
}

void Progress::Step(long done)
{
    if (!enabled_)
        return;
    const Clock::time_point now = Clock::now();
    if (now - start_ < Delay() || (shown_ && now - drawn_ < kRedraw))
        return;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    // Padded over what the last line showed: plain text, any terminal.
    const int width = std::fprintf(stderr, "\r%s %ld messages (%.0f a second)", what_, done, done / seconds) - 1;
    if (width < width_)
        std::fprintf(stderr, "%*s", width_ - width, "");
    width_ = std::max(width, width_);
    std::fflush(stderr);
    shown_ = true;
    drawn_ = now;
}

} // namespace kelvra_cli
