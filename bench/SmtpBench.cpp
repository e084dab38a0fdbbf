// Sending 1,000 messages with a 100 KB attachment to an SMTP server on
// loopback through the components and the provider, beside Python's
// smtplib sending the same message (composed once) to the same server, and
// Python composing each message as the components do before sending it.
// Ratios last.
#include "kelvra/Kelvra.h"

#include <benchmark/benchmark.h>

#include "Loopback.h"

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int kMessages = 1000;
const fs::path kRoot = fs::temp_directory_path() / ("kelvra-smtp-bench-" + std::to_string(getpid()));
int g_port = 0;


void ComponentsSend(benchmark::State &state)
{
    kelvra::TKelvraSession session;
    session.SetProfileName(u"Bench");
    kelvra::TKelvraSendMail mail;
    mail.SetSession(&session);
    mail.SetSendTo(u"someone@example.org");
    mail.SetSubject(u"Benchmark");
    mail.GetBody().Add(u"A message with an attachment.");
    mail.SetAttach(host::FromUtf8((kRoot / "attachment.bin").string()));
    for (auto _ : state)
        for (int i = 0; i < kMessages; ++i)
            mail.Send();

}

// Runs a Python program that prints the seconds it took.
void RunPython(benchmark::State &state, const std::string &code)
{
    for (auto _ : state) {
        std::string out;
        if (FILE *pipe = popen(("/usr/bin/python3 -c '" + code + "'").c_str(), "r")) {
            char buffer[128];
            while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
                out.append(buffer, n);
            pclose(pipe);
        }
        state.SetIterationTime(out.empty() ? 0.0 : std::stod(out));
    }
}

void PythonSmtplib(benchmark::State &state)
{
    // The same message as the components sent (their Sent copy), sent again.
    fs::path sent;
    for (const auto &e : fs::directory_iterator(kRoot / "Mail" / ".Sent" / "cur"))
        sent = e.path();
    RunPython(state, "import smtplib,time\nm=open(\"" + sent.string() +
                         "\",\"rb\").read()\nt=time.perf_counter()\ns=smtplib.SMTP(\"127.0.0.1\"," +
                         std::to_string(g_port) + ")\nfor i in range(" + std::to_string(kMessages) +
                         "):\n s.sendmail(\"tester@example.org\",[\"someone@example.org\"],m)\ns.quit()\n"
                         "print(time.perf_counter()-t)");
}

// As the components do: each message composed (with its attachment read
// and encoded) before it is sent.
void PythonComposeAndSend(benchmark::State &state)
{
    RunPython(state, "import email.message,email.policy,smtplib,time\nd=open(\"" +
                         (kRoot / "attachment.bin").string() +
                         "\",\"rb\").read()\nt=time.perf_counter()\ns=smtplib.SMTP(\"127.0.0.1\"," +
                         std::to_string(g_port) + ")\nfor i in range(" + std::to_string(kMessages) +
                         "):\n m=email.message.EmailMessage()\n m[\"From\"]=\"Kelvra Tester <tester@example.org>\"\n"
                         " m[\"To\"]=\"someone@example.org\"\n m[\"Subject\"]=\"Benchmark\"\n"
                         " m.set_content(\"A message with an attachment.\")\n"
                         " m.add_attachment(d,maintype=\"application\",subtype=\"octet-stream\",filename=\"attachment.bin\")\n"
                         " s.sendmail(\"tester@example.org\",[\"someone@example.org\"],m.as_bytes(policy=email.policy.SMTP))\n"
                         "s.quit()\nprint(time.perf_counter()-t)");
}

class Recorder : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

} // namespace

BENCHMARK(ComponentsSend)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(PythonSmtplib)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(PythonComposeAndSend)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char **argv)
{
    fs::create_directories(kRoot / "received");
    std::ofstream(kRoot / "attachment.bin", std::ios::binary) << std::string(100 * 1024, 'k');
    g_port = loopback::FreePort();
    std::ofstream(kRoot / "profiles.ini") << "[Bench]\nmailbox = Mail\naddress = tester@example.org\nplain = yes\n"
                                             "smtp = smtp://127.0.0.1:" << g_port << "\n";
    setenv("KELVRA_MAPI_PROFILES", (kRoot / "profiles.ini").c_str(), 1);
    setenv("XDG_CACHE_HOME", (kRoot / "cache").c_str(), 1);
    kelvra::MAPIDLL = std::getenv("KELVRA_BENCH_PROVIDER") ? host::FromUtf8(std::getenv("KELVRA_BENCH_PROVIDER"))
                                                            : std::u16string(u"libkelvramapi.so");
    loopback::Server server(g_port, {"/usr/bin/python3", KELVRA_SOURCE_DIR "/tests/provider/smtpserver.py",
                                     std::to_string(g_port), (kRoot / "received").string(), "--discard"});
    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    // GetAdjustedRealTime is in the benchmark's unit, milliseconds here.
    const double ours = recorder.seconds["ComponentsSend/iterations:1"] / 1e3;
    const double python = recorder.seconds["PythonSmtplib/iterations:1/manual_time"] / 1e3;
    const double composing = recorder.seconds["PythonComposeAndSend/iterations:1/manual_time"] / 1e3;
    std::string rows;
    auto row = [&](const char *peer, double theirs) {
        if (ours <= 0 || theirs <= 0)
            return;
        char line[512];
        std::snprintf(line, sizeof line, "| %-52s | %9.2f ms | %-44s | %9.2f ms | %7.2f |\n",
                      "1,000 sends of 100 KB, loopback server, Sent copy", ours * 1e3 / kMessages, peer,
                      theirs * 1e3 / kMessages, ours / theirs);
        rows += line;
    };
    row("Python smtplib, one connection, no copy", python);
    row("Python email + smtplib, composing each", composing);
    if (!rows.empty()) {
        std::printf("\nSMTP (time per message; ratio = Kelvra's time / the peer's):\n%s", rows.c_str());
        if (const char *file = std::getenv("KELVRA_BENCH_TABLE"))
            std::ofstream(file, std::ios::app) << "\nSMTP, " << kMessages << " messages of 100 KB:\n" << rows;
    }
    benchmark::Shutdown();
    fs::remove_all(kRoot);
}
