// A 100,000-message Maildir through the components and the provider,
// beside Python's mailbox.Maildir listing the same folder and a bare
// readdir walk; and a read of a message with a 20 MB attachment beside
// Python's email package parsing it and writing the file. Ratios last.
#include "kelvra/Kelvra.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kMessages = 100000;
const fs::path kRoot = fs::temp_directory_path() / ("kelvra-mailbox-bench-" + std::to_string(getpid()));
const fs::path kMailbox = kRoot / "Mail";
const fs::path kLarge = kRoot / "Large";

void Write(const fs::path &p, const std::string &text) { std::ofstream(p, std::ios::binary) << text; }

void MakeFolders()
{
    for (const fs::path &box : {kMailbox, kLarge})
        for (const char *sub : {"tmp", "new", "cur"})
            fs::create_directories(box / sub);
    char name[96];
    for (int i = 0; i < kMessages; ++i) {
        std::snprintf(name, sizeof name, "1700000000.M%06dP1Q%d.bench:2,S", i % 1000000, i);
        Write(kMailbox / "cur" / name, "From: a@example.org\r\nTo: b@example.org\r\nSubject: message " +
                                           std::to_string(i) + "\r\n\r\nBody.\r\n");
    }
    std::string big = "From: a@example.org\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
                      "Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nx\r\n"
                      "--B\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=big.bin\r\n"
                      "Content-Transfer-Encoding: base64\r\n\r\n";
    const std::string line = std::string(76, 'Q') + "\r\n"; // 57 bytes a line decoded
    for (int i = 0; i < 20 * 1024 * 1024 / 57; ++i)
        big += line;
    big += "--B--\r\n";
    Write(kLarge / "cur" / "1700000000.M000000P1Q1.large:2,S", big);
    Write(kRoot / "profiles.ini", "[Bench]\nmailbox = Mail\n[Large]\nmailbox = Large\n");
    setenv("KELVRA_MAPI_PROFILES", (kRoot / "profiles.ini").c_str(), 1);
    setenv("TMPDIR", kRoot.c_str(), 1);
    kelvra::MAPIDLL = u"libkelvramapi.so";
}

kelvra::TKelvraSession &Session(const char16_t *profile)
{
    static std::map<std::u16string, std::unique_ptr<kelvra::TKelvraSession>> sessions;
    auto &s = sessions[profile];
    if (!s) {
        s = std::make_unique<kelvra::TKelvraSession>();
        s->SetProfileName(profile);
    }
    return *s;
}

void PerMessage(benchmark::State &state, int perIteration)
{
    state.counters["per_message"] = benchmark::Counter(static_cast<double>(state.iterations()) * perIteration,
                                                          benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void ComponentsMessageCount(benchmark::State &state)
{
    kelvra::TKelvraReadMail mail;
    mail.SetSession(&Session(u"Bench"));
    mail.MessageCount(); // warm: the folder's index is built
    for (auto _ : state)
        benchmark::DoNotOptimize(mail.MessageCount());
    PerMessage(state, kMessages);
}

void ComponentsFirstNextWalk(benchmark::State &state)
{
    kelvra::TKelvraReadMail mail;
    mail.SetSession(&Session(u"Bench"));
    mail.SetReadFlags({kelvra::TReadFlag::rfPeek, kelvra::TReadFlag::rfEnvelopeOnly});
    mail.MessageCount();
    for (auto _ : state) {
        int n = 0;
        for (bool more = mail.First(); more; more = mail.Next())
            ++n;
        benchmark::DoNotOptimize(n);
    }
    PerMessage(state, kMessages);
}

void BareReaddir(benchmark::State &state)
{
    for (auto _ : state) {
        int n = 0;
        for (const char *sub : {"new", "cur"}) {
            DIR *dir = opendir((kMailbox / sub).c_str());
            while (const dirent *e = readdir(dir))
                n += e->d_name[0] != '.';
            closedir(dir);
        }
        benchmark::DoNotOptimize(n);
    }
    PerMessage(state, kMessages);
}

// Python's time for its own work, measured inside Python.
double PythonSeconds(const std::string &code)
{
    const std::string command = "/usr/bin/python3 -c '" + code + "'";
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        pclose(pipe);
    }
    return out.empty() ? 0.0 : std::stod(out);
}

void PythonMaildirListing(benchmark::State &state)
{
    const std::string code = "import mailbox,time\nb=mailbox.Maildir(\"" + kMailbox.string() +
                             "\",create=False)\nt=time.perf_counter()\nn=len(b.keys())\nprint(time.perf_counter()-t)";
    for (auto _ : state)
        state.SetIterationTime(PythonSeconds(code));
    PerMessage(state, kMessages);
}

void ComponentsReadLargeAttachment(benchmark::State &state)
{
    kelvra::TKelvraReadMail mail;
    mail.SetSession(&Session(u"Large"));
    mail.SetReadFlags({kelvra::TReadFlag::rfPeek});
    for (auto _ : state) {
        mail.First();          // reads the message, writing the 20 MB file
        mail.FreeMapiMessage(); // and deletes it again
    }
}

void PythonReadLargeAttachment(benchmark::State &state)
{
    fs::path file;
    for (const auto &e : fs::directory_iterator(kLarge / "cur"))
        file = e.path();
    const std::string code =
        "import email,email.policy,time\nt=time.perf_counter()\nm=email.message_from_binary_file(open(\"" +
        file.string() + "\",\"rb\"),policy=email.policy.default)\nfor p in m.iter_attachments():\n"
        " open(\"" + (kRoot / "python-big.bin").string() + "\",\"wb\").write(p.get_content())\n"
        "print(time.perf_counter()-t)";
    for (auto _ : state)
        state.SetIterationTime(PythonSeconds(code));
}

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            seconds[run.benchmark_name()] = run.GetAdjustedRealTime() / 1e9 * (run.time_unit == benchmark::kMillisecond ? 1e6 : 1);
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

} // namespace

BENCHMARK(ComponentsMessageCount)->Unit(benchmark::kMillisecond);
BENCHMARK(ComponentsFirstNextWalk)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BareReaddir)->Unit(benchmark::kMillisecond);
BENCHMARK(PythonMaildirListing)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(ComponentsReadLargeAttachment)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(PythonReadLargeAttachment)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char **argv)
{
    MakeFolders();
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    auto ratio = [&](const char *a, const char *b) {
        const double x = recorder.seconds[a], y = recorder.seconds[b];
        if (x > 0 && y > 0)
            std::printf("%-60s %8.2f\n", (std::string(a) + " / " + b).c_str(), x / y);
    };
    std::printf("\nRatios (time / time):\n");
    ratio("ComponentsMessageCount", "PythonMaildirListing/iterations:3/manual_time");
    ratio("ComponentsMessageCount", "BareReaddir");
    ratio("ComponentsFirstNextWalk/iterations:2", "PythonMaildirListing/iterations:3/manual_time");
    ratio("ComponentsReadLargeAttachment/iterations:3", "PythonReadLargeAttachment/iterations:3/manual_time");
    benchmark::Shutdown();
    fs::remove_all(kRoot);
}
