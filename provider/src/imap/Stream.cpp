#include "imap/Stream.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace kelvra_provider::imap {

struct StreamGuard::Layer {
    mailstream_low *below;
    StreamGuard *guard;
};

const mailstream_low_driver StreamGuard::kDriver = {
    &StreamGuard::Read, &StreamGuard::Write, &StreamGuard::Close, &StreamGuard::Fd,   &StreamGuard::Free,
    &StreamGuard::Cancel, &StreamGuard::GetCancel, &StreamGuard::Chain, nullptr, nullptr, nullptr};

StreamGuard::~StreamGuard()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        below_ = nullptr;
    }
    wake_.notify_all();
    if (watch_.joinable())
        watch_.join();
}

void StreamGuard::Wrap(mailstream *stream, long stallSeconds)
{
    stall_ = std::max(1L, stallSeconds);
    mailstream_low *below = mailstream_get_low(stream);
    auto *layer = new Layer{below, this};
    // libetpan's driver tables are not const, though nothing writes them.
    mailstream_low *over = mailstream_low_new(layer, const_cast<mailstream_low_driver *>(&kDriver));
    if (over == nullptr) {
        delete layer;
        throw std::bad_alloc();
    }
    mailstream_set_low(stream, over);
    std::lock_guard<std::mutex> lock(mutex_);
    below_ = below;
    cancelled_ = false;
    end_ = StreamEnd::None;
}

void StreamGuard::Replace(mailstream *stream, mailstream_low *below)
{
    mailstream_low *over = mailstream_get_low(stream);
    auto *layer = static_cast<Layer *>(over->data);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        below_ = nullptr;
    }
    // Freeing a layer never closes its socket.
    mailstream_low_free(layer->below);
    layer->below = nullptr;
    mailstream_set_low(stream, below);
    mailstream_low_free(over);
    Wrap(stream, stall_);
}

void StreamGuard::Forget()
{
    std::lock_guard<std::mutex> lock(mutex_);
    below_ = nullptr;
}

bool StreamGuard::Spoiled()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
}

void StreamGuard::Arm(Clock::time_point deadline, long seconds)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        armed_ = true;
        deadline_ = deadline;
        seconds_ = seconds;
        ++round_;
        if (!watch_.joinable())
            watch_ = std::thread([this] { Watch(); });
    }
    wake_.notify_all();
}

void StreamGuard::Disarm()
{
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
    ++round_;
}

void StreamGuard::Watch()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        if (!armed_) {
            wake_.wait(lock);
            continue;
        }
        const unsigned round = round_;
        const Clock::time_point deadline = deadline_;
        if (wake_.wait_until(lock, deadline, [&] { return stop_ || round_ != round; }))
            continue;
        // A wait of the layer below outlasts the call: it ends now, and
        // the layer is of no further use (the store drops the connection).
        if (below_ != nullptr) {
            mailstream_low_cancel(below_);
            cancelled_ = true;
        }
        wake_.wait(lock, [&] { return stop_ || round_ != round; });
    }
}

long StreamGuard::NextWait() const
{
    if (!armed_)
        return stall_;
    const auto left = deadline_ - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    // Whole seconds, rounded up: libetpan waits in seconds.
    const long seconds = static_cast<long>(std::chrono::ceil<std::chrono::seconds>(left).count());
    return std::max(1L, std::min(stall_, seconds));
}

void StreamGuard::Ended(Clock::time_point started, long wait, bool eof)
{
    const auto now = Clock::now();
    if (armed_ && now + std::chrono::milliseconds(50) >= deadline_)
        end_ = StreamEnd::Deadline;
    else if (!eof && now - started + std::chrono::milliseconds(100) >= std::chrono::seconds(wait))
        end_ = StreamEnd::Stalled;
    else
        end_ = StreamEnd::Closed;
}

std::string StreamGuard::Words() const
{
    switch (end_) {
    case StreamEnd::Closed: return "the server closed the connection";
    case StreamEnd::Stalled:
        return "the server stopped answering (nothing for " + std::to_string(stall_) + " s, the profile's stalltimeout)";
    case StreamEnd::Deadline:
        return "the server was too slow (not done within " + std::to_string(seconds_) + " s, the profile's timeout)";
    case StreamEnd::None: break;
    }
    return {};
}

ssize_t StreamGuard::Read(mailstream_low *s, void *buffer, size_t count)
{
    auto *layer = static_cast<Layer *>(s->data);
    StreamGuard &g = *layer->guard;
    if (g.end_ != StreamEnd::None || layer->below == nullptr)
        return -1;
    const long wait = g.NextWait();
    if (wait == 0) {
        g.end_ = StreamEnd::Deadline;
        return -1;
    }
    mailstream_low_set_timeout(layer->below, wait);
    const auto started = Clock::now();
    const ssize_t n = layer->below->driver->mailstream_read(layer->below, buffer, count);
    if (n > 0)
        return n;
    // 0 is the end of the stream (a plain socket says it so; TLS says -1).
    g.Ended(started, wait, n == 0);
    return -1;
}

ssize_t StreamGuard::Write(mailstream_low *s, const void *buffer, size_t count)
{
    auto *layer = static_cast<Layer *>(s->data);
    StreamGuard &g = *layer->guard;
    if (g.end_ != StreamEnd::None || layer->below == nullptr)
        return -1;
    const long wait = g.NextWait();
    if (wait == 0) {
        g.end_ = StreamEnd::Deadline;
        return -1;
    }
    mailstream_low_set_timeout(layer->below, wait);
    const auto started = Clock::now();
    const ssize_t n = layer->below->driver->mailstream_write(layer->below, buffer, count);
    if (n < 0)
        g.Ended(started, wait, false);
    // 0: nothing written yet; libetpan asks again, and the bounds above
    // end the asking.
    return n < 0 ? -1 : n;
}

int StreamGuard::Close(mailstream_low *s)
{
    auto *layer = static_cast<Layer *>(s->data);
    return layer->below != nullptr ? mailstream_low_close(layer->below) : 0;
}

int StreamGuard::Fd(mailstream_low *s)
{
    auto *layer = static_cast<Layer *>(s->data);
    return layer->below != nullptr ? mailstream_low_get_fd(layer->below) : -1;
}

void StreamGuard::Free(mailstream_low *s)
{
    auto *layer = static_cast<Layer *>(s->data);
    if (layer->below != nullptr) {
        layer->guard->Forget();
        mailstream_low_free(layer->below);
    }
    delete layer;
    free(s); // libetpan's mailstream_low_new allocates with malloc
}

void StreamGuard::Cancel(mailstream_low *s)
{
    auto *layer = static_cast<Layer *>(s->data);
    if (layer->below != nullptr)
        mailstream_low_cancel(layer->below);
}

struct mailstream_cancel *StreamGuard::GetCancel(mailstream_low *s)
{
    auto *layer = static_cast<Layer *>(s->data);
    return layer->below != nullptr ? mailstream_low_get_cancel(layer->below) : nullptr;
}

carray *StreamGuard::Chain(mailstream_low *s)
{
    auto *layer = static_cast<Layer *>(s->data);
    return layer->below != nullptr ? mailstream_low_get_certificate_chain(layer->below) : nullptr;
}

} // namespace kelvra_provider::imap
