// The provider's entry points called from several threads at once, on one
// session and on sessions of their own, against a real mailbox.
#include "ProviderSession.h"

#include <atomic>
#include <cstring>
#include <latch>
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
