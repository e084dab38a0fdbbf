// The provider's own threads: the only ones it starts. A few, started when
// work first asks for one, parked between tasks, ended when the library is
// unloaded or the process ends; they block every signal and call nothing
// of the application's.
//
// A fork is let through only when every one of them is at rest: parked
// between tasks, or between two steps of a task where it calls Rest(). At
// rest a thread holds no lock (of ours, of a library's or the allocator's)
// and is inside no library call, so the child inherits nothing half done
// of theirs. The child has none of them and starts its own when it needs
// them; the parent's threads go on where they were.
#pragma once

#include <functional>
#include <memory>

namespace kelvra_provider {

// One piece of work handed to one of the provider's threads. It runs there
// once, unless its owner takes it back first (no thread free yet), and then
// never: the owner does the work itself. The work may call Rest() between
// its steps.
class Task {
public:
    explicit Task(std::function<void()> work);
    // Ends the task first (Finish) if it was started in this process.
    ~Task();
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;

    // Hands the work to a thread: false when none could be had (it is then
    // the owner's to do).
    bool Start();
    // Once started: waits for the thread to end the work, and says whether
    // it ran there. False when no thread took it yet (it is taken back and
    // never runs), when it was never started, and in a process forked since
    // it was started (whose thread is the parent's: what it did is unknown).
    bool Finish();

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Called by a task between two of its steps: a fork that waits for the
// provider's threads to come to rest takes place here. Nothing on any
// other thread.
void Rest();

} // namespace kelvra_provider
