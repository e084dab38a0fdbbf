// Walking a large IMAP folder envelope-only, beside Python's imaplib
// fetching the same headers in one command: a real Dovecot on loopback,
// 10,000 messages. Prints both times, their ratio, and the IMAP commands
// (round trips) the provider sent per 1,000 messages.
#include "Dovecot.h"

#include "Exports.h"
#include "imap/ImapStore.h"
#include "mapi/SimpleMapi.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "Exports.h" // the provider, linked in

namespace {

// KELVRA_BENCH_IMAP_MESSAGES sets another size (to see the walk grow with
// the folder).
const int kMessages = std::getenv("KELVRA_BENCH_IMAP_MESSAGES") != nullptr
                          ? std::max(1, std::atoi(std::getenv("KELVRA_BENCH_IMAP_MESSAGES")))
                          : 10000;
char *S(const char *text) { return const_cast<char *>(text); }

// Messages go straight into the server's Maildir, as a delivery agent
// puts them there; Dovecot indexes them at the first SELECT.
void Seed(const dovecot::Server &server)
{
    const std::filesystem::path cur = server.home / "Maildir" / "cur";
    std::filesystem::create_directories(server.home / "Maildir" / "new");
    std::filesystem::create_directories(server.home / "Maildir" / "tmp");
    std::filesystem::create_directories(cur);
    for (int i = 0; i < kMessages; ++i) {
        const std::string name = std::to_string(1700000000 + i) + ".M" + std::to_string(i) + "P1.bench:2,";
        std::ofstream(cur / name) << "From: Sender " << i << " <sender" << i << "@example.org>\r\n"
                                  << "To: tester@example.org\r\nSubject: Message number " << i
                                  << "\r\nDate: Tue, 14 Nov 2023 22:13:20 +0000\r\nMessage-ID: <" << i
                                  << "@example.org>\r\n\r\nBody of message " << i << ".\r\n";
    }
    struct stat home {};
    stat(server.home.c_str(), &home);
    for (const auto &p : std::filesystem::recursive_directory_iterator(server.home / "Maildir"))
        chown(p.path().c_str(), home.st_uid, home.st_gid);
    chown((server.home / "Maildir").c_str(), home.st_uid, home.st_gid);
}

// One walk with an envelope read of every message (and with `counts` the
// attachment count a listing shows); the number walked.
int Walk(LHANDLE session, bool counts = false)
{
    int count = 0;
    std::string seed;
    char id[513];
    while (MAPIFindNext(session, 0, S(""), S(seed.c_str()), MAPI_LONG_MSGID, 0, id) == 0) {
        seed = id;
        lpMapiMessage m = nullptr;
        if (MAPIReadMail(session, 0, id, MAPI_ENVELOPE_ONLY | MAPI_PEEK, 0, &m) == 0) {
            count += m->lpszSubject != nullptr && m->lpOriginator != nullptr;
            MAPIFreeBuffer(m);
            ULONG files = 0;
            if (counts && KelvraMapiFileCount(session, id, &files) != 0)
                --count;
        }
    }
    return count;
}

} // namespace

int main()
{
    dovecot::Server server;
    Seed(server);
    const std::string dir = std::filesystem::temp_directory_path() / ("kelvra-imap-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    // "Imap" keeps its cache under the bench's folder; "Cold" has none.
    std::ofstream(dir + "/profiles.ini") << "[Imap]\nmailbox = " << server.PlainUrl() << "\nplain = yes\n"
                                         << "address = tester@example.org\ncache = " << dir << "/cache\n"
                                         << "[Cold]\nmailbox = " << server.PlainUrl() << "\nplain = yes\n"
                                         << "address = tester@example.org\ncache = off\n";
    setenv("KELVRA_MAPI_PROFILES", (dir + "/profiles.ini").c_str(), 1);
    setenv("TMPDIR", dir.c_str(), 1);

    // A first session lets Dovecot index the folder (and fills the cache);
    // the timed ones find it indexed.
    LHANDLE session = 0;
    if (MAPILogon(0, S("Imap"), S("secret"), 0, 0, &session) != 0) {
        std::cerr << "logon failed\n" << server.Log();
        return 1;
    }
    Walk(session);
    MAPILogoff(session, 0, 0, 0);

    // A timed walk in a new session of a profile: seconds, messages, commands.
    struct Timed {
        double seconds = 0;
        int walked = 0;
        std::uint64_t commands = 0;
    };
    auto timed = [&](const char *profile, bool counts = false) {
        Timed t;
        MAPILogon(0, S(profile), S("secret"), 0, 0, &session);
        const std::uint64_t commands = kelvra_provider::imap::ImapCommandCount();
        const auto start = std::chrono::steady_clock::now();
        t.walked = Walk(session, counts);
        t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        t.commands = kelvra_provider::imap::ImapCommandCount() - commands;
        MAPILogoff(session, 0, 0, 0);
        return t;
    };
    const Timed cold = timed("Cold");
    // The first walk with the cache on fills it: from an empty cache.
    std::filesystem::remove_all(dir + "/cache");
    const Timed filling = timed("Imap");
    const Timed warm = timed("Imap");
    const Timed listed = timed("Imap", true);
    const double ours = cold.seconds;
    const int walked = cold.walked;
    const std::uint64_t sent = cold.commands;

    // imaplib, timed by itself: every header parsed with email, and the
    // server's envelopes in one command.
    auto imaplib = [&](const char *what, int &count, double &seconds) {
        const std::string command = "/usr/bin/python3 '" KELVRA_SOURCE_DIR "/tests/provider/imapclient.py' " +
                                    std::to_string(server.plainPort) + " tester secret " + what + " INBOX";
        FILE *p = popen(command.c_str(), "r");
        const bool read = p != nullptr && std::fscanf(p, "%d %lf", &count, &seconds) == 2;
        if (p != nullptr)
            pclose(p);
        return read;
    };
    int pythonCount = 0, envelopeCount = 0;
    double python = 0, envelopes = 0;
    if (!imaplib("envelopes", pythonCount, python) || !imaplib("envelope-fetch", envelopeCount, envelopes)) {
        std::cerr << "imaplib failed\n";
        return 1;
    }

    std::printf("IMAP walk of %d messages, envelope-only reads (MAPIFindNext + MAPIReadMail each): %.3f s\n",
                walked, ours);
    std::printf("Python imaplib, one UID FETCH of every header, parsed with email: %d messages, %.3f s\n",
                pythonCount, python);
    std::printf("ratio (provider / imaplib): %.2f\n", python > 0 ? ours / python : 0.0);
    std::printf("Python imaplib, UID FETCH 1:* (UID FLAGS ENVELOPE): %d messages, %.3f s; ratio %.2f (goal: under 2)\n",
                envelopeCount, envelopes, envelopes > 0 ? ours / envelopes : 0.0);
    std::printf("IMAP commands (round trips) per 1,000 messages: %.2f (%llu in all)\n",
                walked > 0 ? 1000.0 * static_cast<double>(sent) / walked : 0.0, static_cast<unsigned long long>(sent));
    std::printf("the same walk filling an empty cache: %.3f s (ratio to imaplib's ENVELOPE fetch %.2f)\n",
                filling.seconds, envelopes > 0 ? filling.seconds / envelopes : 0.0);
    std::printf("the same walk from the cache in a new session: %.3f s, %llu commands in all\n", warm.seconds,
                static_cast<unsigned long long>(warm.commands));
    std::printf("a listing (the walk and each attachment count) from the cache in a new session: %.3f s, "
                "%llu commands in all\n",
                listed.seconds, static_cast<unsigned long long>(listed.commands));
    if (const char *file = std::getenv("KELVRA_BENCH_TABLE")) {
        char text[1024];
        std::snprintf(text, sizeof text,
                      "\nIMAP (Dovecot on loopback), %d messages, envelope walk:\n"
                      "| no cache (first session)      | %8.2f us/msg | Python imaplib, one UID FETCH of every header | %8.2f us/msg | %5.2f |\n"
                      "| no cache (first session)      | %8.2f us/msg | imaplib UID FETCH 1:* (UID FLAGS ENVELOPE)     | %8.2f us/msg | %5.2f |\n"
                      "| filling an empty cache        | %8.2f us/msg | imaplib UID FETCH 1:* (UID FLAGS ENVELOPE)     | %8.2f us/msg | %5.2f |\n"
                      "| cache, new session            | %8.2f us/msg | (goal: within 2x the Maildir warm walk above)  |              |       |\n"
                      "commands: %llu without the cache, %llu with it\n",
                      walked, 1e6 * cold.seconds / kMessages, 1e6 * python / kMessages, python > 0 ? cold.seconds / python : 0.0,
                      1e6 * cold.seconds / kMessages, 1e6 * envelopes / kMessages, envelopes > 0 ? cold.seconds / envelopes : 0.0,
                      1e6 * filling.seconds / kMessages, 1e6 * envelopes / kMessages,
                      envelopes > 0 ? filling.seconds / envelopes : 0.0,
                      1e6 * warm.seconds / kMessages, static_cast<unsigned long long>(cold.commands),
                      static_cast<unsigned long long>(warm.commands));
        std::ofstream(file, std::ios::app) << text;
    }
    std::filesystem::remove_all(dir);
    return walked == kMessages && filling.walked == kMessages && warm.walked == kMessages && pythonCount == kMessages && envelopeCount == kMessages ? 0 : 1;
}
