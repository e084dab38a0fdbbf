// The provider on an IMAP mailbox when the link and the server misbehave:
// a proxy of the test's own (imapproxy.py) between the provider and
// Dovecot closes, stalls, slows or drops answers on purpose, and Dovecot
// itself is killed. Every call ends within its bounds, says why, and a save
// leaves exactly one version of the message.
#include "imap/ImapFixture.h"

#include "Errors.h"
#include "Loopback.h"

#include <signal.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

class ImapLink : public Imap {
protected:
    // A proxy to the fixture's server in `mode` (see imapproxy.py), and a
    // profile whose mailbox goes through it.
    void Through(const std::string &mode, const std::string &trigger, bool once, const std::string &extra,
                 bool tls = false)
    {
        proxy.reset();
        const int port = loopback::FreePort();
        std::vector<std::string> args = {kPython, KELVRA_SOURCE_DIR "/tests/provider/imapproxy.py",
                                         std::to_string(port),
                                         std::to_string(tls ? dovecot->tlsPort : dovecot->plainPort), mode};
        if (!trigger.empty())
            args.push_back(trigger);
        if (once)
            args.push_back("--once");
        proxy = std::make_unique<loopback::Server>(port, args);
        const std::string url = std::string(tls ? "imaps" : "imap") + "://tester@127.0.0.1:" + std::to_string(port) +
                                "/" + folder;
        UseProfile(extra + (tls ? "cafile = " + dovecot->certificate.string() + "\n" : "plain = yes\n"), url);
    }

    // The subjects of the folder's messages, as the second client sees them.
    std::vector<std::string> SubjectsOnServer()
    {
        std::vector<std::string> out;
        for (const auto &[uid, stored] : OnServer()) {
            const std::string text = Client("fetch", {uid});
            const size_t at = text.find("Subject: ");
            out.push_back(at == std::string::npos ? "" : text.substr(at + 9, text.find('\r', at) - at - 9));
        }
        return out;
    }

    std::unique_ptr<loopback::Server> proxy;
};

std::string Body(size_t bytes)
{
    std::string body;
    while (body.size() < bytes)
        body += "A line of the body that the link carries slowly, or not at all.\r\n";
    return body;
}

enum class Call { Logon, Walk, Read, Save };

// One table: what the link does from which command on (or after how many
// seconds), the call made through it, its result, the time it may take,
// and the words of its reason.
TEST_F(ImapLink, EveryCallEndsWithinItsBoundAndSaysWhy)
{
    for (int i = 0; i < 30; ++i)
        Append("message " + std::to_string(i), "-", 0, "X-Filler: " + std::string(200, 'x') + "\r\n");
    Client("append", {"-", "-"}, "From: ann@example.org\r\nSubject: big\r\n\r\n" + Body(40000));
    const std::string bounds = "stalltimeout = 2\ntimeout = 4\n";
    const std::string kWhole = "BODY\\.PEEK\\[\\]"; // the command of a whole read, and of no walk
    struct Row {
        const char *mode;
        std::string trigger;
        Call call;
        ULONG code;
        double least, most; // seconds (the most with room for a loaded machine)
        const char *words;
        std::string extra = "";
        bool tls = false;
    } rows[] = {
        // The end of the stream fails at once, in the middle of a literal
        // (a header batch, a whole message) or of a line.
        {"close-literal", "UID FETCH", Call::Walk, MAPI_E_FAILURE, 0, 3, "closed the connection during"},
        {"close-literal", kWhole, Call::Read, MAPI_E_FAILURE, 0, 3, "closed the connection during"},
        {"close-line", "UID FETCH", Call::Walk, MAPI_E_FAILURE, 0, 3, "closed the connection during"},
        // Silence ends after the stall bound, once: a stalled command is
        // not sent again.
        {"stall", "UID FETCH", Call::Walk, MAPI_E_FAILURE, 1.8, 4.5, "stopped answering"},
        {"stall", kWhole, Call::Read, MAPI_E_FAILURE, 1.8, 4.5, "stopped answering"},
        // A server that answers too slowly ends at the call's bound.
        {"slow", "UID FETCH", Call::Walk, MAPI_E_FAILURE, 3.8, 6.5, "too slow"},
        {"slow", kWhole, Call::Read, MAPI_E_FAILURE, 3.8, 6.5, "too slow"},
        {"trickle", kWhole, Call::Read, MAPI_E_FAILURE, 3.8, 6.5, "too slow"},
        // Under TLS too, where a record that trickles in never meets the stall bound.
        {"trickle", "after:1.5", Call::Read, MAPI_E_FAILURE, 3.8, 6.5, "too slow", "", true},
        // The proxy itself passes a sound link.
        {"pass", "", Call::Read, 0, 0, 4, ""},
        // A lost APPEND answer: the new version arrived, so the save ends
        // it; an APPEND cut before its message went leaves the old one.
        {"drop-append", "APPEND", Call::Save, 0, 1.8, 8, ""},
        {"close-line", "APPEND", Call::Save, MAPI_E_FAILURE, 0, 4, "did not store the saved version"},
        // A TLS handshake that stalls or trickles ends within the stall
        // bound, said in words.
        {"stall", "after:0", Call::Logon, MAPI_E_FAILURE, 1.8, 4.5, "no TLS connection: the server did not finish it in time", "", true},
        {"trickle", "after:0", Call::Logon, MAPI_E_FAILURE, 1.8, 4.5, "no TLS connection: the server did not finish it in time", "", true},
        // LOGINDISABLED: AUTHENTICATE PLAIN, never LOGIN.
        {"logindisabled", "", Call::Logon, 0, 0, 2, ""},
        {"logindisabled", "", Call::Logon, 0, 0, 2, "", "auth = plain\n"},
        {"logindisabled", "", Call::Logon, MAPI_E_LOGON_FAILURE, 0, 2, "disables LOGIN", "auth = login\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " from " + row.trigger);
        Through(row.mode, row.trigger, row.call == Call::Save, bounds + row.extra, row.tls);
        fs::remove_all(home / "cache"); // every walk cold
        ULONG code = 0;
        std::string saved;
        auto begun = Clock::now();
        if (row.call == Call::Logon) {
            code = Logon();
        } else {
            ASSERT_EQ(Logon(), 0u);
            std::vector<std::string> ids;
            if (row.call != Call::Walk)
                ids = Walk();
            if (row.tls)
                std::this_thread::sleep_for(std::chrono::milliseconds(1600)); // past the proxy's "after:"
            // The logon and the walk before are not timed; a read takes the
            // big message, a save a small one.
            begun = Clock::now();
            lpMapiMessage m = nullptr;
            if (row.call == Call::Walk) {
                char id[64];
                code = MAPIFindNext(session, 0, S(""), S(""), 0, 0, id);
            } else if ((code = MAPIReadMail(session, 0, S((row.call == Call::Save ? ids.at(0) : ids.back()).c_str()),
                                            MAPI_PEEK, 0, &m)) == 0) {
                if (row.call == Call::Save) {
                    const std::string before = m->lpszSubject, edited = before + " (edited)";
                    m->lpszSubject = S(edited.c_str());
                    char id[64];
                    std::snprintf(id, sizeof id, "%s", ids.at(0).c_str());
                    code = MAPISaveMail(session, 0, m, 0, 0, id);
                    saved = code == 0 ? edited : before;
                }
                MAPIFreeBuffer(m);
            }
        }
        const double took = std::chrono::duration<double>(Clock::now() - begun).count();
        EXPECT_GE(took, row.least);
        EXPECT_LE(took, row.most);
        EXPECT_EQ(code, row.code);
        EXPECT_NE(kelvra_provider::LastReason().find(row.words), std::string::npos) << kelvra_provider::LastReason();
        if (!saved.empty()) {
            // Exactly one version, never both and never neither.
            const std::vector<std::string> subjects = SubjectsOnServer();
            EXPECT_EQ(std::count(subjects.begin(), subjects.end(), saved), 1);
            EXPECT_EQ(subjects.size(), 31u);
        }
        MAPILogoff(session, 0, 0, 0);
        session = 0;
    }
}

// Dovecot killed with SIGKILL at several moments of a read and of a save
// of a 10 MB message, and started again at once: each call ends within its
// bound, and the folder holds exactly one version of the message.
TEST_F(ImapLink, AServerKilledMidCallEndsTheCallAndLosesNothing)
{
    Client("append", {"-", "-"}, "From: ann@example.org\r\nSubject: big\r\n\r\n" + Body(10 << 20));
    UseProfile("plain = yes\nstalltimeout = 5\ntimeout = 20\n");
    struct Moment {
        bool save;
        int delay; // milliseconds into the call
    };
    std::vector<Moment> moments;
    for (const bool save : {false, true})
        for (const int delay : {0, 10, 20, 40, 80, 180})
            moments.push_back({save, delay});
    // One thread kills and starts the server for every moment: a server
    // ends with the thread that started it.
    std::vector<std::promise<void>> go(moments.size()), done(moments.size());
    std::promise<void> end;
    std::thread keeper([&] {
        for (size_t i = 0; i < moments.size(); ++i) {
            go[i].get_future().wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(moments[i].delay));
            dovecot->Kill();
            dovecot->Start();
            done[i].set_value();
        }
        end.get_future().wait();
        dovecot->Kill();
    });
    for (size_t i = 0; i < moments.size(); ++i) {
        const bool save = moments[i].save;
        SCOPED_TRACE((save ? "save, killed after " : "read, killed after ") + std::to_string(moments[i].delay) + " ms");
        EXPECT_EQ(Logon(), 0u);
        const std::vector<std::string> ids = Walk();
        EXPECT_EQ(ids.size(), 1u);
        lpMapiMessage m = nullptr;
        std::string subject;
        if (save && !ids.empty() && MAPIReadMail(session, 0, S(ids[0].c_str()), MAPI_PEEK, 0, &m) == 0)
            subject = m->lpszSubject;
        const auto started = Clock::now();
        go[i].set_value();
        ULONG code = 0;
        if (ids.empty()) {
            code = MAPI_E_FAILURE;
        } else if (save && m != nullptr) {
            const std::string edited = subject + " (edited)";
            m->lpszSubject = S(edited.c_str());
            char id[64];
            std::snprintf(id, sizeof id, "%s", ids[0].c_str());
            if ((code = MAPISaveMail(session, 0, m, 0, 0, id)) == 0)
                subject = edited;
            MAPIFreeBuffer(m);
        } else if ((code = MAPIReadMail(session, 0, S(ids[0].c_str()), MAPI_PEEK, 0, &m)) == 0) {
            MAPIFreeBuffer(m);
        }
        const double took = std::chrono::duration<double>(Clock::now() - started).count();
        done[i].get_future().wait();
        EXPECT_TRUE(code == 0 || code == MAPI_E_FAILURE) << code;
        EXPECT_LE(took, 15);
        MAPILogoff(session, 0, 0, 0);
        session = 0;
        if (save) {
            EXPECT_EQ(SubjectsOnServer(), std::vector<std::string>{subject}) << kelvra_provider::LastReason();
        }
    }
    end.set_value();
    keeper.join();
    dovecot->Start();
}

} // namespace
