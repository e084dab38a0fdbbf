// Progress of a long walk on standard error: shown once the work has gone
// on for a while (a second), only when standard error is a terminal and the
// answer is not JSON; redrawn at most a few times a second on one line,
// which is cleared when the work ends.
#pragma once

#include <chrono>

namespace kelvra_cli {

class Progress {
public:
    // `what`: the work's word ("listed", "counted"); `quiet`: never shown.
    Progress(const char *what, bool quiet);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // `done` messages so far.
    void Step(long done);

private:
    using Clock = std::chrono::steady_clock;
    const char *what_;
    bool enabled_;
    bool shown_ = false;
    int width_ = 0; // of the longest line shown
    Clock::time_point start_ = Clock::now();
    Clock::time_point drawn_{};
};

} // namespace kelvra_cli
