// The bounds of an IMAP connection's stream. libetpan reads and writes
// through a layer of ours placed over its socket layer or our TLS layer
// (imap/Tls.h), which holds three rules libetpan does not:
//
// - End of stream is a failure at once. (libetpan's literal reader asks
//   again and again for the bytes a closed connection will never bring.)
// - No wait for the server lasts longer than the stall bound.
// - Nothing lasts past the deadline of the call under way: each read and
//   write checks it, and a watch of ours cancels a wait that would outlast
//   it (a TLS record that trickles in byte by byte never meets the stall
//   bound).
//
// What ended the stream is kept, so that the store can say it in words.
#pragma once

#include <libetpan/libetpan.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kelvra_provider::imap {

// What ended a stream.
enum class StreamEnd {
    None,     // nothing: it failed for another reason (or not at all)
    Closed,   // the server closed the connection
    Stalled,  // the server sent nothing for the stall bound
    Deadline, // the call under way ran out of time
};

class StreamGuard {
public:
    using Clock = std::chrono::steady_clock;

    StreamGuard() = default;
    ~StreamGuard();
    StreamGuard(const StreamGuard &) = delete;
    StreamGuard &operator=(const StreamGuard &) = delete;

    // Puts the layer over the stream's own, which it takes over (and frees
    // with the stream). `stallSeconds` bounds each wait.
    void Wrap(mailstream *stream, long stallSeconds);
    // Puts `below` in place of the layer below, which is freed without
    // closing its socket (TLS over the socket, after STARTTLS).
    void Replace(mailstream *stream, mailstream_low *below);
    // The stream is about to be freed: the watch lets go of it.
    void Forget();

    // Every read and write from now on must end by `deadline`; `seconds`
    // is the bound as the profile gives it, for the words of a failure.
    void Arm(Clock::time_point deadline, long seconds);
    void Disarm();
    bool Armed() const { return armed_; }
    Clock::time_point Deadline() const { return deadline_; }

    // Whether the watch cancelled the layer below (its deadline passed,
    // perhaps just after the call was done): the stream is of no more use.
    bool Spoiled();

    // What ended the stream since it was wrapped (None when nothing did).
    StreamEnd End() const { return end_; }
    // The end in words, for "... during <what>": empty for None.
    std::string Words() const;

private:
    struct Layer;
    static ssize_t Read(mailstream_low *s, void *buffer, size_t count);
    static ssize_t Write(mailstream_low *s, const void *buffer, size_t count);
    static int Close(mailstream_low *s);
    static int Fd(mailstream_low *s);
    static void Free(mailstream_low *s);
    static void Cancel(mailstream_low *s);
    static struct mailstream_cancel *GetCancel(mailstream_low *s);
    static carray *Chain(mailstream_low *s);
    static const mailstream_low_driver kDriver;

    // The bound of the next wait, in whole seconds (at least one); 0 when
    // the deadline has passed.
    long NextWait() const;
    // Takes the reason a read or write of the layer below failed.
    void Ended(Clock::time_point started, long wait, bool eof);
    void Watch();

    long stall_ = 60;
    bool armed_ = false;
    long seconds_ = 0;
    Clock::time_point deadline_{};
    StreamEnd end_ = StreamEnd::None;

    // The watch: cancels the layer below when the deadline passes.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread watch_;
    bool stop_ = false, cancelled_ = false;
    unsigned round_ = 0; // counts the Arm calls, so a late watch cancels nothing new
    mailstream_low *below_ = nullptr;
};

} // namespace kelvra_provider::imap
