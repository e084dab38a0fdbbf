#include "Workers.h"

#include "Signals.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kelvra_provider {

struct Task::State {
    enum class Stage : unsigned char { Queued, Running, Done, TakenBack };
    std::function<void()> work;
    std::mutex mutex;
    std::condition_variable ended;
    Stage stage = Stage::Queued;
    unsigned forks = 0; // of the process it was started in
    bool started = false;
};

namespace {

// How many threads the provider keeps at most: a walk reads ahead on one,
// a send stages its Sent copy on one; more tasks than threads wait, or are
// taken back by their owners.
constexpr size_t kThreads = 4;

struct Pool;
// The pool of the thread, when it is one of the provider's.
thread_local Pool *t_pool = nullptr;

// The threads of one process. `busy` counts the threads that are not at
// rest; a fork waits, with `forking` set, until it is zero, and holds the
// lock until it has happened.
struct Pool {
    std::mutex mutex;
    std::condition_variable wake, rested;
    std::deque<std::shared_ptr<Task::State>> queue;
    std::vector<std::thread> threads;
    size_t busy = 0, idle = 0;
    std::atomic<bool> forking{false};
    bool stopping = false;
    unsigned forks = ForkCount();

    // At rest until `ready` holds. Called with the lock held.
    template <class Ready>
    void RestUntil(std::unique_lock<std::mutex> &lock, Ready ready)
    {
        --busy;
        rested.notify_all();
        wake.wait(lock, ready);
        ++busy;
    }

    void Loop()
    {
        t_pool = this;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            ++idle;
            RestUntil(lock, [this] { return !forking && (!queue.empty() || stopping); });
            --idle;
            if (queue.empty()) { // stopping
                --busy;
                rested.notify_all();
                return;
            }
            std::shared_ptr<Task::State> task = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            Run(*task);
            task.reset(); // its last owner may be this thread: freed while still busy
            lock.lock();
        }
    }

    static void Run(Task::State &task)
    {
        {
            const std::lock_guard<std::mutex> lock(task.mutex);
            if (task.stage != Task::State::Stage::Queued)
                return; // taken back
            task.stage = Task::State::Stage::Running;
        }
        try {
            task.work();
        } catch (...) {
            // The work keeps its own errors; nothing may leave the thread.
        }
        const std::lock_guard<std::mutex> lock(task.mutex);
        task.stage = Task::State::Stage::Done;
        task.ended.notify_all();
    }

    bool Submit(const std::shared_ptr<Task::State> &task)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            return false;
        if (idle == 0 && threads.size() < kThreads) {
            try {
                const SignalsBlocked quiet; // the thread takes none of the application's signals
                ++busy; // until it first comes to rest
                threads.emplace_back([this] { Loop(); });
            } catch (const std::system_error &) {
                --busy;
                if (threads.empty())
                    return false;
            }
        }
        queue.push_back(task);
        wake.notify_all();
        return true;
    }

    void Stop()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            wake.notify_all();
        }
        for (std::thread &thread : threads)
            thread.join();
        threads.clear();
    }
};

// The pool of this process. A child's first task makes it a pool of its
// own; the parent's is left as the fork found it (its threads are not in
// the child), reachable, never used again.
std::mutex g_poolMutex;
Pool *g_pool = nullptr;
std::vector<Pool *> g_parentsPools;

Pool *CurrentPool()
{
    const std::lock_guard<std::mutex> lock(g_poolMutex);
    if (g_pool != nullptr && g_pool->forks != ForkCount()) {
        g_parentsPools.push_back(g_pool);
        g_pool = nullptr;
    }
    if (g_pool == nullptr)
        g_pool = new Pool;
    return g_pool;
}

// The pool a fork must wait for: this process's, if it has one. The lock
// of the pools is held through the fork, so none is made meanwhile.
Pool *g_forkingPool = nullptr;

void BeforeFork()
{
    g_poolMutex.lock();
    Pool *pool = g_pool != nullptr && g_pool->forks == ForkCount() ? g_pool : nullptr;
    g_forkingPool = pool;
    if (pool == nullptr)
        return;
    std::unique_lock<std::mutex> lock(pool->mutex);
    pool->forking = true;
    pool->rested.wait(lock, [pool] { return pool->busy == 0; });
    (void)lock.release(); // held until the fork has happened
}

void AfterForkInParent()
{
    if (Pool *pool = g_forkingPool) {
        pool->forking = false;
        pool->mutex.unlock();
        pool->wake.notify_all();
    }
    g_forkingPool = nullptr;
    g_poolMutex.unlock();
}

void AfterForkInChild()
{
    // The pool's lock stays held: the pool is the parent's and never used
    // here (ForkCount tells the child's first task so).
    g_forkingPool = nullptr;
    g_poolMutex.unlock();
}

// Registered once, before any thread of ours exists; threads are ended
// when the library is unloaded or the process ends.
struct Lifetime {
    Lifetime() { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); }
    ~Lifetime()
    {
        Pool *pool = nullptr;
        {
            const std::lock_guard<std::mutex> lock(g_poolMutex);
            if (g_pool != nullptr && g_pool->forks == ForkCount())
                pool = g_pool;
        }
        if (pool != nullptr)
            pool->Stop();
    }
} g_lifetime;

} // namespace

Task::Task(std::function<void()> work) : state_(std::make_shared<State>())
{
    state_->work = std::move(work);
}

Task::~Task() { (void)Finish(); }

bool Task::Start()
{
    state_->started = true;
    state_->forks = ForkCount();
    if (!CurrentPool()->Submit(state_)) {
        state_->started = false;
        return false;
    }
    return true;
}

bool Task::Finish()
{
    if (!state_->started)
        return false;
    if (state_->forks != ForkCount())
        return false; // the parent's thread: never here
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->stage == State::Stage::Queued || state_->stage == State::Stage::TakenBack) {
        state_->stage = State::Stage::TakenBack;
        return false;
    }
    state_->ended.wait(lock, [this] { return state_->stage == State::Stage::Done; });
    return true;
}

void Rest()
{
    Pool *pool = t_pool;
    if (pool == nullptr || !pool->forking.load())
        return;
    std::unique_lock<std::mutex> lock(pool->mutex);
    pool->RestUntil(lock, [pool] { return !pool->forking.load(); });
}

} // namespace kelvra_provider
