// The library's own cost per message when walking a mailbox: MessageCount
// (identifiers only) and a First/Next walk (each message read and
// released), over 100,000 identifiers served by the recording library.
#include "FakeMapi.h"
#include "kelvra/Kelvra.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr int kMessages = 100000;

void QueueIdentifiers()
{
    for (int i = 0; i < kMessages; ++i)
        FakeMapi_QueueFoundId(("message-" + std::to_string(i)).c_str());
}

void MessageCount(benchmark::State &state)
{
    kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_NAME;
    kelvra::TKelvraReadMail mail;
    for (auto _ : state) {
        state.PauseTiming();
        FakeMapi_Reset();
        QueueIdentifiers();
        state.ResumeTiming();
        benchmark::DoNotOptimize(mail.MessageCount());
    }
    state.counters["ns_per_message"] = benchmark::Counter(static_cast<double>(state.iterations()) * kMessages,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void FirstNextWalk(benchmark::State &state)
{
    kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_NAME;
    MapiMessage message{};
    message.lpszSubject = const_cast<char *>("A subject of ordinary length");
    message.lpszNoteText = const_cast<char *>("A short body.\r\n");
    for (auto _ : state) {
        state.PauseTiming();
        FakeMapi_Reset();
        QueueIdentifiers();
        for (int i = 0; i < kMessages; ++i)
            FakeMapi_QueueReadMessage(&message);
        kelvra::TKelvraReadMail mail;
        state.ResumeTiming();
        int walked = 0;
        for (bool more = mail.First(); more; more = mail.Next())
            ++walked;
        benchmark::DoNotOptimize(walked);
    }
    state.counters["ns_per_message"] = benchmark::Counter(static_cast<double>(state.iterations()) * kMessages,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(MessageCount)->Unit(benchmark::kMillisecond);
BENCHMARK(FirstNextWalk)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
