// A realistic Maildir (bench/make_maildir.py: 100,000 messages by default,
// KELVRA_BENCH_MESSAGES to change) walked through the components and the
// provider, beside the peers on the same folder in the same run: a bare
// readdir, Python's mailbox and email packages, mblaze's mscan and notmuch
// where they are installed. Every case runs in a process of its own, one
// after the other, so that "first in a process" means what it says; each
// reports time and resident memory per message, and the ratio to its peer
// (Kelvra's time over the peer's: under 1 is faster). Cold cases, with the
// page cache dropped, run only where /proc/sys/vm/drop_caches may be written.
//
//   mailbox_bench                 the whole comparison, a table at the end
//   mailbox_bench --case NAME     one case (run by the above)
#include "kelvra/Kelvra.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

long StatusKb(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

int Messages() { return std::getenv("KELVRA_BENCH_MESSAGES") ? std::atoi(std::getenv("KELVRA_BENCH_MESSAGES")) : 100000; }

// What a case reports: its time, the messages it saw, and its resident
// memory before the timed part and at its peak.
struct Result {
    double seconds = 0;
    long count = 0;
    long rssBeforeKb = 0, peakKb = 0;
    bool ok = false;
};

void Report(const Result &r)
{
    std::printf("RESULT %.9f %ld %ld %ld\n", r.seconds, r.count, r.rssBeforeKb, r.peakKb);
}

// ---- The cases, each in a process of its own ----------------------------------

int RunCase(const std::string &name, const fs::path &root)
{
    setenv("KELVRA_MAPI_PROFILES", (root / "profiles.ini").c_str(), 1);
    setenv("TMPDIR", (root / "tmp").c_str(), 1);
    if (const char *provider = std::getenv("KELVRA_BENCH_PROVIDER"))
        kelvra::MAPIDLL = host::FromUtf8(provider);
    else
        kelvra::MAPIDLL = u"libkelvramapi.so";
    Result r;
    if (name == "readdir" || name == "readdir-stat") {
        // The floors: listing the folder, and listing it with one look at
        // each file (what any walk that sees every change to a file pays).
        const bool look = name == "readdir-stat";
        r.rssBeforeKb = StatusKb("VmRSS:");
        const auto start = Clock::now();
        for (const char *sub : {"new", "cur"}) {
            DIR *dir = opendir((root / "Mail" / sub).c_str());
            while (const dirent *e = readdir(dir)) {
                struct stat st {};
                if (e->d_name[0] != '.' && (!look || fstatat(dirfd(dir), e->d_name, &st, 0) == 0))
                    ++r.count;
            }
            closedir(dir);
        }
        r.seconds = Seconds(start);
    } else {
        // "count-cached", "walk-uncached", "walk-cached-fifo", "walk-cached-type", ...
        const bool cached = name.find("-cached") != std::string::npos;
        kelvra::TKelvraSession session;
        session.SetProfileName(name.rfind("large", 0) == 0 ? u"Large" : cached ? u"Cached" : u"Uncached");
        session.Open();
        kelvra::TKelvraReadMail mail;
        mail.SetSession(&session);
        mail.SetReadFlags({kelvra::TReadFlag::rfPeek, kelvra::TReadFlag::rfEnvelopeOnly});
        if (name.find("-fifo") != std::string::npos)
            mail.SetFindFlags({kelvra::TFindFlag::ffFifo});
        if (name.find("-type") != std::string::npos)
            mail.SetMessageTypeFilter(u"IPM");
        const bool again = name.find("-again") != std::string::npos; // a second walk in the same process
        auto walk = [&] {
            long n = 0;
            std::size_t bytes = 0;
            for (bool more = mail.First(); more; more = mail.Next()) {
                bytes += mail.GetSubject().size() + mail.GetOriginatorAddress().size() +
                         mail.GetOriginatorName().size();
                ++n;
            }
            if (bytes == 0)
                n = -n;
            return n;
        };
        if (again)
            walk();
        r.rssBeforeKb = StatusKb("VmRSS:");
        const auto start = Clock::now();
        if (name.rfind("count", 0) == 0)
            r.count = mail.MessageCount();
        else if (name.rfind("large", 0) == 0) {
            mail.SetReadFlags({kelvra::TReadFlag::rfPeek});
            r.count = mail.First() ? 1 : 0; // writes the 20 MB attachment to a file
            mail.FreeMapiMessage();           // and deletes it again
        } else
            r.count = walk();
        r.seconds = Seconds(start);
        session.Close();
    }
    r.peakKb = StatusKb("VmHWM:");
    Report(r);
    return 0;
}

// ---- The driver -----------------------------------------------------------------

std::string Quote(const std::string &s) { return "'" + s + "'"; }

std::optional<Result> Parse(const std::string &out)
{
    const size_t at = out.rfind("RESULT ");
    if (at == std::string::npos)
        return std::nullopt;
    Result r;
    std::istringstream in(out.substr(at + 7));
    in >> r.seconds >> r.count >> r.rssBeforeKb >> r.peakKb;
    r.ok = !in.fail();
    return r;
}

std::string Capture(const std::string &command)
{
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

bool Have(const char *program) { return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0; }

bool DropCaches()
{
    sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    if (!drop)
        return false;
    drop << "3\n";
    drop.flush();
    return static_cast<bool>(drop);
}

// A whole command's wall time, and its peak memory (of the children).
std::optional<Result> TimeCommand(const std::string &command)
{
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    Result r;
    r.seconds = Seconds(start);
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    r.peakKb = usage.ru_maxrss;
    r.ok = status == 0;
    return r.ok ? std::optional<Result>(r) : std::nullopt;
}

struct Row {
    std::string measure;
    std::optional<Result> ours;
    std::string peer;
    std::optional<Result> theirs;
    std::string note;
    bool whole = false; // one message: its whole time, not per message of the folder
};

class Table {
public:
    explicit Table(int messages) : messages_(messages) {}
    void Add(Row row) { rows_.push_back(std::move(row)); }

    std::string Text() const
    {
        std::string out;
        char line[512];
        std::snprintf(line, sizeof line, "| %-52s | %12s | %-44s | %12s | %7s |\n", "measure (Kelvra)", "Kelvra/msg",
                      "peer", "peer/msg", "ratio");
        out += line;
        out += "|" + std::string(54, '-') + "|" + std::string(14, '-') + "|" + std::string(46, '-') + "|" +
               std::string(14, '-') + "|" + std::string(9, '-') + "|\n";
        for (const Row &r : rows_) {
            const std::string ours = r.ours ? PerMessage(*r.ours, r.whole) : "n/a";
            const std::string theirs = r.theirs ? PerMessage(*r.theirs, r.whole) : (r.note.empty() ? "n/a" : r.note);
            std::string ratio = "";
            if (r.ours && r.theirs && r.theirs->seconds > 0)
                ratio = Format("%.2f", r.ours->seconds / r.theirs->seconds);
            std::snprintf(line, sizeof line, "| %-52s | %12s | %-44s | %12s | %7s |\n", r.measure.c_str(),
                          ours.c_str(), r.peer.c_str(), theirs.c_str(), ratio.c_str());
            out += line;
        }
        return out;
    }

private:
    template <class... A>
    static std::string Format(const char *format, A... args)
    {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, format, args...);
        return buffer;
    }
    std::string PerMessage(const Result &r, bool whole) const
    {
        return whole ? Format("%.1f ms", r.seconds * 1e3) : Format("%.2f us", r.seconds * 1e6 / messages_);
    }

    int messages_;
    std::vector<Row> rows_;
};

} // namespace

int main(int argc, char **argv)
{
    const fs::path root = std::getenv("KELVRA_BENCH_ROOT") ? fs::path(std::getenv("KELVRA_BENCH_ROOT"))
                                                            : fs::temp_directory_path() / ("kelvra-mailbox-bench-" + std::to_string(getpid()));
    if (argc == 3 && std::strcmp(argv[1], "--case") == 0)
        return RunCase(argv[2], root);

    const int n = Messages();
    fs::create_directories(root / "tmp");
    std::printf("generating a Maildir of %d messages (bench/make_maildir.py)...\n", n);
    std::fflush(stdout);
    if (std::system(("python3 " + Quote(KELVRA_SOURCE_DIR "/bench/make_maildir.py") + " " + Quote((root / "Mail").string()) +
                     " " + std::to_string(n)).c_str()) != 0) {
        std::fprintf(stderr, "the generator failed\n");
        return 1;
    }
    // The large message, beside: a 20 MB attachment.
    for (const char *sub : {"tmp", "new", "cur"})
        fs::create_directories(root / "Large" / sub);
    {
        std::ofstream big(root / "Large" / "cur" / "1700000000.M000000P1Q1.large:2,S", std::ios::binary);
        big << "From: a@example.org\r\nSubject: large\r\nMIME-Version: 1.0\r\n"
               "Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain\r\n\r\nx\r\n"
               "--B\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=big.bin\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n";
        const std::string line = std::string(76, 'Q') + "\r\n";
        for (int i = 0; i < 20 * 1024 * 1024 / 57; ++i)
            big << line;
        big << "--B--\r\n";
    }
    std::ofstream(root / "profiles.ini") << "[Cached]\nmailbox = Mail\ncache = cache\n"
                                            "[Uncached]\nmailbox = Mail\ncache = off\n"
                                            "[Large]\nmailbox = Large\ncache = off\n";
    setenv("KELVRA_BENCH_ROOT", root.c_str(), 1);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    auto ours = [&](const std::string &name, bool cold = false) -> std::optional<Result> {
        if (cold && !DropCaches())
            return std::nullopt;
        const std::string out = Capture(Quote(self) + " --case " + name);
        std::optional<Result> r = Parse(out);
        if (!r || !r->ok)
            std::fprintf(stderr, "case %s failed: %s\n", name.c_str(), out.c_str());
        else
            std::printf("  %-28s %10.3f s  %8ld messages  rss %ld -> %ld KB\n", name.c_str(), r->seconds, r->count,
                        r->rssBeforeKb, r->peakKb);
        std::fflush(stdout);
        return r && r->ok ? r : std::nullopt;
    };
    auto python = [&](const std::string &code, bool cold = false) -> std::optional<Result> {
        if (cold && !DropCaches())
            return std::nullopt;
        const std::string out = Capture("python3 -c " + Quote(code));
        std::optional<Result> r = Parse(out);
        return r && r->ok ? r : std::nullopt;
    };
    const std::string mail = (root / "Mail").string();
    const std::string pyStatus = "def kb(f):\n for l in open(\"/proc/self/status\"):\n  if l.startswith(f): return int(l.split()[1])\n";
    const std::string pyKeys = "import mailbox,time\n" + pyStatus + "b=mailbox.Maildir(\"" + mail +
                               "\",create=False)\nr=kb(\"VmRSS:\")\nt=time.perf_counter()\nn=len(b.keys())\n"
                               "print(\"RESULT\",time.perf_counter()-t,n,r,kb(\"VmHWM:\"))";
    const std::string pyHeaders =
        "import email.parser,os,time\n" + pyStatus + "p=email.parser.BytesHeaderParser()\nr=kb(\"VmRSS:\")\n"
        "t=time.perf_counter()\nn=0\nfor s in (\"new\",\"cur\"):\n d=os.path.join(\"" + mail + "\",s)\n"
        " for f in sorted(os.listdir(d)):\n  with open(os.path.join(d,f),\"rb\") as h:\n   m=p.parse(h)\n"
        "  x=(m[\"subject\"],m[\"from\"]);n+=1\nprint(\"RESULT\",time.perf_counter()-t,n,r,kb(\"VmHWM:\"))";
    std::string largeFile;
    for (const auto &e : fs::directory_iterator(root / "Large" / "cur"))
        largeFile = e.path().string();
    const std::string pyLarge = "import email,email.policy,time\nt=time.perf_counter()\nm=email.message_from_binary_file(open(\"" +
                                largeFile + "\",\"rb\"),policy=email.policy.default)\nfor p in m.iter_attachments():\n"
                                " open(\"" + (root / "python-big.bin").string() + "\",\"wb\").write(p.get_content())\n"
                                "print(\"RESULT\",time.perf_counter()-t,1,0,0)";

    const bool mblaze = Have("mlist") && Have("mscan");
    const bool notmuch = Have("notmuch");
    const std::string mscan = "mlist " + Quote(mail) + " | MBLAZE=" + Quote((root / "mblaze").string()) +
                              " mscan >/dev/null 2>&1";
    std::string notmuchSearch;
    if (notmuch) {
        std::ofstream(root / "notmuch-config") << "[database]\npath=" << mail << "\n[new]\ntags=inbox\n";
        setenv("NOTMUCH_CONFIG", (root / "notmuch-config").c_str(), 1);
        std::printf("indexing with notmuch new (not timed)...\n");
        std::fflush(stdout);
        (void)!std::system("notmuch new --quiet >/dev/null 2>&1");
        notmuchSearch = "notmuch search --output=summary '*' >/dev/null";
    }
    const bool cold = access("/proc/sys/vm/drop_caches", W_OK) == 0;

    Table table(n);
    std::printf("running the cases, each a process of its own:\n");
    // The floor: listing the folder and nothing else.
    const auto floor = ours("readdir");
    const auto floorStat = ours("readdir-stat");
    // MessageCount, the first in a process.
    const auto keys = python(pyKeys);
    table.Add({"first MessageCount in a process, no cache", ours("count-uncached"), "Python mailbox.Maildir.keys()", keys, ""});
    // The persistent cache is filled by a first walk.
    ours("walk-cached");
    table.Add({"first MessageCount in a process, cache", ours("count-cached"), "Python mailbox.Maildir.keys()", keys, ""});
    table.Add({"first MessageCount in a process, cache", ours("count-cached"), "readdir of new/ and cur/ (floor)", floor, ""});
    // Envelope walks: rfPeek + rfEnvelopeOnly, subject and sender read.
    const auto mscanRun = mblaze ? TimeCommand(mscan) : std::nullopt;
    const auto notmuchRun = notmuch ? TimeCommand(notmuchSearch) : std::nullopt;
    const auto headers = python(pyHeaders);
    const auto uncached = ours("walk-uncached");
    table.Add({"First/Next envelope walk, no cache", uncached, "mblaze mlist | mscan", mscanRun, mblaze ? "failed" : "not installed"});
    table.Add({"First/Next envelope walk, no cache", uncached, "Python BytesHeaderParser", headers, ""});
    const auto cached = ours("walk-cached");
    table.Add({"First/Next envelope walk, cache, new process", cached, "mblaze mlist | mscan", mscanRun, mblaze ? "failed" : "not installed"});
    table.Add({"First/Next envelope walk, cache, new process", cached, "notmuch search --output=summary (indexed)", notmuchRun,
               notmuch ? "failed" : "not installed"});
    table.Add({"First/Next envelope walk, cache, new process", cached, "readdir + one stat per file (floor)", floorStat, ""});
    // One new message among all the others: one listing, one file read.
    {
        const fs::path staged = root / "Mail" / "tmp" / "1800000000.M1P1Q1.changed";
        std::ofstream(staged) << "From: new@example.org\r\nSubject: one more\r\n\r\nx\r\n";
        fs::rename(staged, root / "Mail" / "new" / staged.filename());
        table.Add({"... after one new message, cache, new process", ours("walk-cached"), "readdir + one stat per file (floor)",
                   floorStat, ""});
    }
    table.Add({"... type-filtered (IPM), cache", ours("walk-cached-type"), "notmuch search --output=summary (indexed)", notmuchRun,
               notmuch ? "failed" : "not installed"});
    table.Add({"... FIFO, cache", ours("walk-cached-fifo"), "notmuch search --output=summary (indexed)", notmuchRun,
               notmuch ? "failed" : "not installed"});
    table.Add({"... second walk in the same process, cache", ours("walk-cached-again"), "notmuch search --output=summary (indexed)",
               notmuchRun, notmuch ? "failed" : "not installed"});
    // A 20 MB attachment, read and written to a file.
    {
        ours("large"); // the file into the page cache, as Python finds it
        const auto large = ours("large");
        const auto pyl = python(pyLarge);
        Row row{"read of a 20 MB attachment (one message)", large, "Python email, get_content", pyl, ""};
        row.whole = true;
        table.Add(row);
    }
    // Cold: the page cache dropped before each run.
    if (cold) {
        table.Add({"cold first MessageCount, cache", ours("count-cached", true), "Python keys(), cold", python(pyKeys, true), ""});
        table.Add({"cold envelope walk, no cache", ours("walk-uncached", true), "mblaze mscan, cold",
                   mblaze && DropCaches() ? TimeCommand(mscan) : std::nullopt, mblaze ? "failed" : "not installed"});
        table.Add({"cold envelope walk, cache", ours("walk-cached", true), "notmuch search, cold",
                   notmuch && DropCaches() ? TimeCommand(notmuchSearch) : std::nullopt, notmuch ? "failed" : "not installed"});
    } else {
        table.Add({"cold cases", std::nullopt, "(drop_caches not permitted here)", std::nullopt, "not run"});
    }
    std::string text = table.Text();
    // Memory: resident growth over the walk, per message.
    char memory[512];
    auto perMessage = [&](const std::optional<Result> &r) {
        return r ? (r->peakKb - r->rssBeforeKb) * 1024.0 / n / 1024.0 : -1.0;
    };
    std::snprintf(memory, sizeof memory,
                  "memory beyond the process's baseline, per message: Kelvra walk no cache %.3f KB, cache %.3f KB; "
                  "Python header walk %.3f KB (goal: under 0.3 KB)\n",
                  perMessage(uncached), perMessage(cached), perMessage(headers));
    text += memory;
    std::printf("\nMailbox, %d messages (time per message; ratio = Kelvra's time / the peer's, under 1 is faster):\n%s",
                n, text.c_str());
    if (const char *file = std::getenv("KELVRA_BENCH_TABLE"))
        std::ofstream(file, std::ios::app) << "\nMailbox, " << n << " messages:\n" << text;
    std::error_code ignored;
    if (!std::getenv("KELVRA_BENCH_KEEP"))
        fs::remove_all(root, ignored);
    return 0;
}
