// Sending without freezing a window, as the README shows it: the components
// of a send are made, used and destroyed on a worker thread, against a real
// SMTP server on loopback, while the main thread walks the mailbox with a
// session of its own and never waits for the worker until it is done.
#include "ProviderHome.h"
#include "SmtpServer.h"

#include "kelvra/Kelvra.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace provider_test;

namespace {

class Worker : public WithSmtpServer<WithLog<>> {
protected:
    void SetUp() override
    {
        WithSmtpServer::SetUp();
        kelvra::MAPIDLL = u"libkelvramapi.so";
        WriteFile(profiles, "[Smtp]\nmailbox = Mail\naddressbook = contacts.vcf\nname = Kelvra Tester\n"
                            "address = tester@example.org\nplain = yes\nsmtp = smtp://127.0.0.1:" +
                                std::to_string(port) + "\n");
    }
};

constexpr int kKept = 30, kSent = 5;

} // namespace

TEST_F(Worker, SendsOnAWorkerThreadWhileTheMainThreadWalksTheMailbox)
{
    for (int i = 0; i < kKept; ++i)
        WriteFile(mailbox / "cur" / (std::to_string(1700000000 + i) + ".M" + std::to_string(i) + "P1.host:2,S"),
                  "From: ann@example.org\r\nSubject: kept " + std::to_string(i) + "\r\n\r\nbody\r\n");
    const auto server = StartSmtp();
    std::atomic<bool> done{false};
    std::mutex failures;
    std::string failed;
    std::thread worker([&] {
        try {
            kelvra::TKelvraSession session;
            session.SetProfileName(u"Smtp");
            for (int i = 0; i < kSent; ++i) {
                kelvra::TKelvraSendMail mail;
                mail.SetSession(&session);
                mail.SetSendTo(u"Ann");
                mail.SetSubject(u"from the worker " + host::FromUtf8(std::to_string(i)));
                mail.GetBody().Add(u"Sent while the window stays alive.");
                mail.Send();
                if (host::ToUtf8(mail.Outcome()).rfind("sent to ", 0) != 0)
                    throw std::runtime_error("outcome: " + host::ToUtf8(mail.Outcome()));
            }
        } catch (const std::exception &e) {
            const std::lock_guard<std::mutex> lock(failures);
            failed = e.what() + (": " + host::ToUtf8(kelvra::LastReason()));
        }
        done.store(true);
    });
    // The "UI thread": walks again and again until the worker says it is
    // done, never joining it before.
    int walks = 0;
    {
        kelvra::TKelvraSession own;
        own.SetProfileName(u"Smtp");
        kelvra::TKelvraReadMail inbox;
        inbox.SetSession(&own);
        inbox.SetReadFlags({kelvra::TReadFlag::rfPeek, kelvra::TReadFlag::rfEnvelopeOnly});
        do {
            int seen = 0;
            for (bool more = inbox.First(); more; more = inbox.Next())
                ++seen;
            EXPECT_EQ(seen, kKept);
            ++walks;
        } while (!done.load() && walks < 10000);
    }
    worker.join();
    const std::lock_guard<std::mutex> lock(failures);
    EXPECT_TRUE(failed.empty()) << failed;
    EXPECT_GE(walks, 1);
    size_t arrived = 0;
    for (const auto &e : fs::directory_iterator(received))
        arrived += e.path().extension() == ".eml" ? 1 : 0;
    EXPECT_EQ(arrived, static_cast<size_t>(kSent));
}
