// Sending 1,000 messages with a 100 KB attachment to an SMTP server on
// loopback through the components and the provider, beside Python's
// smtplib sending the same messages to the same server. Ratio last.
#include "kelvra/Kelvra.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

extern char **environ;
namespace fs = std::filesystem;

namespace {

constexpr int kMessages = 1000;
const fs::path kRoot = fs::temp_directory_path() / ("kelvra-smtp-bench-" + std::to_string(getpid()));
int g_port = 0;


int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool Accepts(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

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

void PythonSmtplib(benchmark::State &state)
{
    // The same message as the components sent (their Sent copy), sent again.
    fs::path sent;
    for (const auto &e : fs::directory_iterator(kRoot / "Mail" / ".Sent" / "cur"))
        sent = e.path();
    const std::string code = "import smtplib,time\nm=open(\"" + sent.string() +
                             "\",\"rb\").read()\nt=time.perf_counter()\ns=smtplib.SMTP(\"127.0.0.1\"," +
                             std::to_string(g_port) + ")\nfor i in range(" + std::to_string(kMessages) +
                             "):\n s.sendmail(\"tester@example.org\",[\"someone@example.org\"],m)\ns.quit()\n"
                             "print(time.perf_counter()-t)";
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

int main(int argc, char **argv)
{
    fs::create_directories(kRoot / "received");
    std::ofstream(kRoot / "attachment.bin", std::ios::binary) << std::string(100 * 1024, 'k');
    g_port = FreePort();
    std::ofstream(kRoot / "profiles.ini") << "[Bench]\nmailbox = Mail\naddress = tester@example.org\nplain = yes\n"
                                             "smtp = smtp://127.0.0.1:" << g_port << "\n";
    setenv("KELVRA_MAPI_PROFILES", (kRoot / "profiles.ini").c_str(), 1);
    kelvra::MAPIDLL = u"libkelvramapi.so";
    std::vector<std::string> args = {"/usr/bin/python3", KELVRA_SOURCE_DIR "/tests/provider/smtpserver.py",
                                     std::to_string(g_port), (kRoot / "received").string(), "--discard"};
    std::vector<char *> argv2;
    for (std::string &a : args)
        argv2.push_back(a.data());
    argv2.push_back(nullptr);
    pid_t server = 0;
    posix_spawn(&server, argv2[0], nullptr, nullptr, argv2.data(), environ);
    for (int i = 0; i < 200 && !Accepts(g_port); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    const double ours = recorder.seconds["ComponentsSend/iterations:1"];
    const double python = recorder.seconds["PythonSmtplib/iterations:1/manual_time"];
    if (ours > 0 && python > 0)
        std::printf("\nRatio, components / Python smtplib, %d messages of 100 KB: %.2f\n", kMessages, ours / python);
    benchmark::Shutdown();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    fs::remove_all(kRoot);
}
