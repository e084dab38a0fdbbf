// What one item costs the POSIX provider as a message or an address book
// grows: a save with N recipients, a read of a message with N attachments
// of one name, a name resolved against a card with N folded lines, a send
// to N names of a 20,000-card book. Each
// case reports wall time per item (the work is largely file system work),
// so linear cost shows as a flat figure across the sizes and anything worse
// as one that grows with N.
//
// The provider's entry points are called directly (linked in), each case
// in a private profile under one temporary folder removed at the end.
#include "mapi/SimpleMapi.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "Exports.h" // the provider, linked in

namespace fs = std::filesystem;

namespace {

char *S(const char *text) { return const_cast<char *>(text); }

void Write(const fs::path &p, const std::string &text) { std::ofstream(p, std::ios::binary) << text; }

// A private profile, mailbox, address book and temporary folder, and a
// session on them for as long as a case runs.
class Home {
public:
    Home()
    {
        std::string pattern = (fs::temp_directory_path() / "kelvra-cost-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        root_ = pattern;
        fs::create_directories(root_ / "tmp");
        Write(root_ / "profiles.ini", "[Bench]\nmailbox = Mail\naddressbook = contacts.vcf\n"
                                      "name = Bench\naddress = bench@example.org\n");
        Write(Contacts(), "");
        setenv("KELVRA_MAPI_PROFILES", (root_ / "profiles.ini").c_str(), 1);
        setenv("TMPDIR", (root_ / "tmp").c_str(), 1);
        setenv("KELVRA_MAPI_UI", "none", 1);
        if (MAPILogon(0, S("Bench"), nullptr, 0, 0, &session_) != SUCCESS_SUCCESS) {
            std::fprintf(stderr, "logon failed\n");
            std::exit(1);
        }
    }
    ~Home()
    {
        MAPILogoff(session_, 0, 0, 0);
        unsetenv("KELVRA_MAPI_PROFILES");
        unsetenv("TMPDIR");
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    LHANDLE Session() const { return session_; }
    fs::path Mailbox() const { return root_ / "Mail"; }
    fs::path Contacts() const { return root_ / "contacts.vcf"; }
    fs::path Root() const { return root_; }

private:
    fs::path root_;
    LHANDLE session_ = 0;
};

void PerItem(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["per_item"] = benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A new message saved with N To recipients given by address.
void SaveWithRecipients(benchmark::State &state)
{
    Home home;
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<std::string> addresses(n);
    std::vector<MapiRecipDesc> recips(n);
    for (size_t i = 0; i < n; ++i) {
        addresses[i] = "user" + std::to_string(i) + "@example.org";
        recips[i] = {};
        recips[i].ulRecipClass = MAPI_TO;
        recips[i].lpszAddress = addresses[i].data();
    }
    MapiMessage m{};
    m.lpszSubject = S("Many recipients");
    m.lpszNoteText = S("Body.");
    m.nRecipCount = static_cast<ULONG>(n);
    m.lpRecips = recips.data();
    for (auto _ : state) {
        char id[513] = "";
        if (MAPISaveMail(home.Session(), 0, &m, MAPI_LONG_MSGID, 0, id) != SUCCESS_SUCCESS) {
            state.SkipWithError("MAPISaveMail failed");
            break;
        }
        state.PauseTiming();
        MAPIDeleteMail(home.Session(), 0, id, 0, 0);
        state.ResumeTiming();
    }
    PerItem(state);
}

// A stored message with N attachments all named "same.txt", read whole.
void ReadSameNamedAttachments(benchmark::State &state)
{
    Home home;
    const auto n = static_cast<size_t>(state.range(0));
    std::string mime = "From: a@example.org\r\nTo: b@example.org\r\nSubject: same names\r\nMIME-Version: 1.0\r\n"
                       "Content-Type: multipart/mixed; boundary=B\r\n\r\n"
                       "--B\r\nContent-Type: text/plain\r\n\r\nBody.\r\n";
    for (size_t i = 0; i < n; ++i)
        mime += "--B\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=same.txt\r\n\r\n" +
                std::to_string(i) + "\r\n";
    mime += "--B--\r\n";
    std::string id = "1700000000.M1P1Q1.bench";
    Write(home.Mailbox() / "cur" / (id + ":2,S"), mime);
    for (auto _ : state) {
        lpMapiMessage message = nullptr;
        if (MAPIReadMail(home.Session(), 0, id.data(), MAPI_PEEK, 0, &message) != SUCCESS_SUCCESS) {
            state.SkipWithError("MAPIReadMail failed");
            break;
        }
        state.PauseTiming();
        if (message->nFileCount != n)
            state.SkipWithError("not every attachment was read");
        for (ULONG i = 0; i < message->nFileCount; ++i)
            unlink(message->lpFiles[i].lpszPathName);
        MAPIFreeBuffer(message);
        state.ResumeTiming();
    }
    PerItem(state);
}

// A name resolved against a book whose one card has N folded continuation
// lines in a line without a colon.
void ResolveAgainstFoldedCard(benchmark::State &state)
{
    Home home;
    const auto n = static_cast<size_t>(state.range(0));
    std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.org\r\nX-NO-COLON\r\n";
    for (size_t i = 0; i < n; ++i)
        card += " folded line " + std::to_string(i) + "\r\n";
    card += "END:VCARD\r\n";
    for (auto _ : state) {
        // A book that changed is read again: a size of its own each time.
        state.PauseTiming();
        Write(home.Contacts(), card + (state.iterations() % 2 == 0 ? "" : "\r\n"));
        state.ResumeTiming();
        lpMapiRecipDesc recip = nullptr;
        if (MAPIResolveName(home.Session(), 0, S("Ann Example"), 0, 0, &recip) != SUCCESS_SUCCESS) {
            state.SkipWithError("MAPIResolveName failed");
            break;
        }
        MAPIFreeBuffer(recip);
    }
    PerItem(state);
}

// A session that sends to N names of a 20,000-card book (6.8 MB), as
// `kelvra send` does: log on, resolve each name, send (into the mailbox),
// log off. The book is read once a session: the time per name falls as N
// grows; fifty names take well under half a second.
void SendToNamesOfALargeBook(benchmark::State &state)
{
    Home home;
    constexpr int kCards = 20000;
    std::string book;
    for (int i = 0; i < kCards; ++i) {
        const std::string n = std::to_string(i);
        book += "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:urn:uuid:0000" + n + "-bench\r\nFN:Person" + n + " Example\r\n"
                "N:Example;Person" + n + ";;;\r\nNICKNAME:p" + n + "\r\nEMAIL;TYPE=work:person" + n +
                "@example.org\r\nEMAIL;TYPE=home:person" + n + ".home@example.net\r\nTEL:+49 30 1234" + n +
                "\r\nORG:Example Corporation;Department " + n + "\r\nNOTE:" + std::string(120, 'x') +
                "\r\nEND:VCARD\r\n";
    }
    Write(home.Contacts(), book);
    Write(home.Root() / "profiles.ini", "[Bench]\nmailbox = Mail\naddressbook = contacts.vcf\nname = Bench\n"
                                        "address = bench@example.org\nlocaldelivery = yes\n");
    const auto n = static_cast<size_t>(state.range(0));
    std::vector<std::string> names(n);
    for (size_t i = 0; i < n; ++i)
        names[i] = "Person" + std::to_string(i * (kCards / n)) + " Example"; // spread over the book
    for (auto _ : state) {
        LHANDLE session = 0;
        if (MAPILogon(0, S("Bench"), nullptr, 0, 0, &session) != SUCCESS_SUCCESS) {
            state.SkipWithError("MAPILogon failed");
            break;
        }
        std::vector<lpMapiRecipDesc> resolved(n);
        std::vector<MapiRecipDesc> recips(n);
        for (size_t i = 0; i < n; ++i) {
            if (MAPIResolveName(session, 0, names[i].data(), 0, 0, &resolved[i]) != SUCCESS_SUCCESS) {
                state.SkipWithError("MAPIResolveName failed");
                return;
            }
            recips[i] = *resolved[i];
        }
        MapiMessage m{};
        m.lpszSubject = S("To many names");
        m.lpszNoteText = S("Body.");
        m.nRecipCount = static_cast<ULONG>(n);
        m.lpRecips = recips.data();
        if (MAPISendMail(session, 0, &m, 0, 0) != SUCCESS_SUCCESS)
            state.SkipWithError("MAPISendMail failed");
        for (lpMapiRecipDesc r : resolved)
            MAPIFreeBuffer(r);
        MAPILogoff(session, 0, 0, 0);
    }
    PerItem(state);
}

} // namespace

// Each cost is linear: the per-item figure stays flat from 1,000 to 100,000.
BENCHMARK(SaveWithRecipients)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadSameNamedAttachments)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ResolveAgainstFoldedCard)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Fifty names cost about what one does: the book is read once a session.
BENCHMARK(SendToNamesOfALargeBook)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
