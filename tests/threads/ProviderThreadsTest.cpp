// The provider's entry points called from several threads at once, on one
// session and on sessions of their own, against a real mailbox.
#include "Child.h"
#include "ProviderSession.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <latch>
#include <random>
#include <set>
#include <thread>

using namespace provider_test;

namespace {

constexpr int kThreads = 6;
constexpr int kMessages = 8;

} // namespace

TEST_F(Provider, EntryPointsMayBeCalledFromSeveralThreadsAtOnce)
{
    std::latch start(kThreads);
    std::atomic<int> failures{0};
    auto expect = [&](ULONG result) {
        if (result != 0)
            ++failures;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            LHANDLE own = 0;
            start.arrive_and_wait();
            expect(MAPILogon(0, S("Work"), nullptr, 0, 0, &own));
            // Half the threads share the fixture's session.
            const LHANDLE use = t % 2 == 0 ? session : own;
            for (int i = 0; i < kMessages; ++i) {
                MapiRecipDesc to = Recip(MAPI_TO, "Ann");
                MapiMessage m{};
                const std::string subject = "thread " + std::to_string(t) + " message " + std::to_string(i);
                m.lpszSubject = S(subject.c_str());
                m.lpszNoteText = S("body");
                m.nRecipCount = 1;
                m.lpRecips = &to;
                expect(MAPISendMail(use, 0, &m, 0, 0));
                lpMapiRecipDesc resolved = nullptr;
                expect(MAPIResolveName(use, 0, S("Bobby"), 0, 0, &resolved));
                expect(MAPIFreeBuffer(resolved));
            }
            // Walk, read (marking read), save every other message of one's own.
            char buffer[513];
            std::string seed;
            while (MAPIFindNext(use, 0, S(""), S(seed.c_str()), MAPI_LONG_MSGID, 0, buffer) == 0) {
                seed = buffer;
                lpMapiMessage m = nullptr;
                const ULONG read = MAPIReadMail(use, 0, buffer, 0, 0, &m);
                if (read == MAPI_E_INVALID_MESSAGE)
                    continue; // deleted by another thread meanwhile
                expect(read);
                if (m == nullptr)
                    continue;
                const std::string mine = "thread " + std::to_string(t) + " ";
                std::string saved = mine + "saved";
                if (std::strncmp(m->lpszSubject, mine.c_str(), mine.size()) == 0) {
                    m->lpszSubject = saved.data();
                    char id[513];
                    std::strcpy(id, seed.c_str());
                    expect(MAPISaveMail(use, 0, m, MAPI_LONG_MSGID, 0, id));
                }
                expect(MAPIFreeBuffer(m));
            }
            expect(MAPILogoff(own, 0, 0, 0));
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    // Every message arrived once, and each was saved over as one file.
    const auto ids = Walk();
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kMessages));
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(Messages(mailbox).size(), ids.size());
}

// Forks at random moments of walks whose next stretch the provider is
// reading on a thread of its own, between reads that mark messages read,
// saves, and deliveries the cache learns of; each child walks the whole
// folder on a session of its own, reads a message, and ends. None may hang:
// a child still running after its bound is killed and counted.
TEST_F(Provider, ForksAtAnyMomentOfTheProvidersThreadsNeverHangAChild)
{
    constexpr int kFolder = 700, kForksEach = 150;
    for (int i = 0; i < kFolder; ++i)
        WriteFile(mailbox / "cur" / ("1700000000.M" + std::to_string(10000 + i) + "P1Q1.stress:2,S"),
                  "From: sender" + std::to_string(i) + "@example.org\r\nSubject: stress " + std::to_string(i) +
                      "\r\n\r\nbody " + std::to_string(i) + "\r\n");
    WriteFile(profiles, ReadFile(profiles) + "[Uncached]\nmailbox = Mail\ncache = off\n");
    std::mt19937 random(20261207);
    int forks = 0, hung = 0, wrong = 0, delivered = 0;
    for (const char *profile : {"Work", "Uncached"}) {
        LHANDLE h = 0;
        ASSERT_EQ(MAPILogon(0, S(profile), nullptr, 0, 0, &h), 0u);
        for (int f = 0; f < kForksEach; ++f) {
            // Something new for the walks (and the cache) to learn now and then.
            if (f % 10 == 0)
                WriteFile(mailbox / "new" / ("1700000001.M" + std::to_string(delivered++) + "P1Q1.stress"),
                          "Subject: new\r\n\r\nx\r\n");
            const int expected = kFolder + delivered;
            // A fresh walk, some steps into it: the next stretch is being read.
            char buffer[513] = "", seed[513] = "";
            const int steps = static_cast<int>(random() % 400);
            for (int s = 0; s < steps; ++s) {
                if (MAPIFindNext(h, 0, S(""), seed, MAPI_LONG_MSGID, 0, buffer) != 0)
                    break;
                std::memcpy(seed, buffer, sizeof seed);
            }
            if (f % 3 == 0 && buffer[0] != '\0') { // a read that marks it read, and a save
                lpMapiMessage m = nullptr;
                if (MAPIReadMail(h, 0, buffer, 0, 0, &m) == 0) {
                    if (f % 6 == 0)
                        MAPISaveMail(h, 0, m, MAPI_LONG_MSGID, 0, buffer);
                    MAPIFreeBuffer(m);
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                LHANDLE own = 0;
                int count = 0;
                if (MAPILogon(0, S(profile), nullptr, 0, 0, &own) == 0) {
                    char id[513] = "", from[513] = "";
                    while (MAPIFindNext(own, 0, S(""), from, MAPI_LONG_MSGID, 0, id) == 0) {
                        std::memcpy(from, id, sizeof from);
                        ++count;
                    }
                    lpMapiMessage m = nullptr;
                    MAPIFindNext(own, 0, S(""), S(""), MAPI_LONG_MSGID, 0, id);
                    if (MAPIReadMail(own, 0, id, MAPI_PEEK, 0, &m) != 0)
                        count = -1;
                    MAPIFreeBuffer(m);
                    MAPILogoff(own, 0, 0, 0);
                }
                _exit(count == expected ? 0 : 1);
            }
            ++forks;
            const int status = WaitBounded(child, std::chrono::seconds(60));
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                ++hung;
            else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ++wrong;
        }
        MAPILogoff(h, 0, 0, 0);
    }
    EXPECT_EQ(forks, 2 * kForksEach);
    EXPECT_EQ(hung, 0);
    EXPECT_EQ(wrong, 0);
    std::printf("%d forks, %d hung, %d wrong\n", forks, hung, wrong);
}
