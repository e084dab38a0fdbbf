// Building the recipient records of one send: the cost per recipient must
// stay flat from 10 to 100,000 recipients (one resolution each, linear
// list handling). Runs against the recording library, so the platform's
// own cost is a small constant.
#include "FakeMapi.h"
#include "kelvra/Kelvra.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void BuildRecipients(benchmark::State &state)
{
    kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_NAME;
    const auto count = static_cast<int>(state.range(0));
    host::String list;
    for (int i = 0; i < count; ++i)
        kelvra::AppendListItem(list, u"user" + host::FromAscii(std::to_string(i)) + u"@example.org");
    kelvra::TKelvraSendMail mail;
    mail.SetSendTo(list);
    for (auto _ : state) {
        state.PauseTiming();
        FakeMapi_Reset();
        for (int i = 0; i < count; ++i)
            FakeMapi_QueueResult("MAPIResolveName", MAPI_E_UNKNOWN_RECIPIENT);
        state.ResumeTiming();
        kelvra::TStringBuffers buffers;
        auto recips = mail.GetMapiRecipients(buffers);
        benchmark::DoNotOptimize(recips.data());
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["ns_per_recipient"] = benchmark::Counter(
        static_cast<double>(state.iterations() * count), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BuildRecipients)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
