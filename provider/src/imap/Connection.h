// The connection to an IMAP server and its login: TLS (implicit or by
// STARTTLS, plain text on loopback only) with the certificate checked here,
// the folder selected, and a lost connection made again for a command that
// changes nothing. libetpan speaks the protocol.
#pragma once

#include "Errors.h"
#include "imap/Stream.h"
#include "profile/Profile.h"
#include "signin/SignIn.h"

#include <libetpan/libetpan.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kelvra_provider::imap {

struct Settings {
    std::string url;
    std::string host;    // as in the URL (an IPv6 address in brackets)
    std::string address; // for connecting and for the certificate check
    std::uint16_t port = 0;
    bool implicitTls = false; // imaps://
    bool startTls = true;     // imap:// unless plain on loopback
    std::string user, folder, sentFolder, caFile; // folder names as IMAP writes them
    SignIn signIn; // where each login's secret comes from
    // Connecting; a wait for the server; a whole call (every command of
    // it, its login included).
    long connectTimeout = 30, stallTimeout = 60, timeout = 300;
};

// A folder's name as IMAP writes it (modified UTF-7), from UTF-8; nullopt
// for text that is not UTF-8.
std::optional<std::string> ImapFolderName(const std::string &utf8);
// The settings of a profile whose mailbox is an imap:// or imaps:// URL;
// their folder names are IMAP's.
Settings SettingsOf(const Profile &profile, const std::string &password);

// The connection is gone (dropped, timed out, or closed by the server):
// thrown inside the store, never out of it.
struct Lost {
    std::string what;    // in words: "the server closed the connection"
    std::string command; // the command under way, for the log
    StreamEnd end = StreamEnd::None;
};

class Connection {
public:
    explicit Connection(Settings settings) : s_(std::move(settings)) {}
    ~Connection() { Drop(true); }

    // The bound of one call of the store: every command from here until
    // it goes ends within the profile's timeout. A connection whose last
    // call ran out of time is made anew first.
    class Bound {
    public:
        explicit Bound(Connection &c);
        ~Bound() { c_.guard_.Disarm(); }
        Bound(const Bound &) = delete;
        Bound &operator=(const Bound &) = delete;

    private:
        Connection &c_;
    };
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    const Settings &Config() const { return s_; }
    // A command the server refused, in the one form of its log line:
    // "IMAP <url>: the server refused <what>".
    [[noreturn]] void Refused(const std::string &what) const { Refuse("IMAP " + s_.url + ": the server refused " + what); }
    // The libetpan session; null while there is no connection.
    mailimap *Handle() const { return imap_; }
    bool Uidplus() const { return uidplus_; }
    // CONDSTORE (mod-sequences, CHANGEDSINCE), and QRESYNC enabled (VANISHED).
    bool Condstore() const { return condstore_; }
    bool Qresync() const { return qresync_; }
    // The selected folder's UIDVALIDITY.
    std::uint32_t Validity() const { return validity_; }
    // Called when a connection selects the folder under a new UIDVALIDITY:
    // nothing known of the old one holds.
    std::function<void()> onNewFolder;

    // Gives the call under way a new bound of the profile's timeout (for
    // finding out what became of a command whose answer never came).
    void Rearm();
    // Connects, logs in and selects the folder. Failing is MAPI_E_FAILURE
    // whatever the reason, unless it is the logon (`logon`): then a refused
    // login is MAPI_E_LOGON_FAILURE.
    void Connect(bool logon);
    // Closes the connection, saying LOGOUT first with `logout`.
    void Drop(bool logout);
    // Whether a command succeeded; a lost connection throws Lost.
    bool Ok(int result, const char *command);
    // Runs `body` on a live connection. A command that changes nothing
    // (`retry`) is tried once more on a new connection when the server
    // closed the old one; otherwise a lost connection is MAPI_E_FAILURE.
    template <class Body>
    void Run(bool retry, const char *what, Body &&body);

private:
    template <class Fail>
    void Login(const Fail &fail);
    // AUTHENTICATE PLAIN (with SASL-IR when the server offers it);
    // libetpan's result code.
    int AuthenticatePlain(const std::string &secret);
    // The connection's failure in one form: "IMAP <url>: <why> during <what>".
    [[noreturn]] void LostDuring(const Lost &lost, const char *what) const;
    // ENABLE QRESYNC; whether the server took it.
    bool EnableQresync();

    Settings s_;
    StreamGuard guard_;
    mailimap *imap_ = nullptr;
    bool uidplus_ = false, condstore_ = false, qresync_ = false;
    std::uint32_t validity_ = 0;
};

template <class Body>
void Connection::Run(bool retry, const char *what, Body &&body)
{
    for (int attempt = 0;; ++attempt) {
        if (imap_ == nullptr)
            Connect(false);
        try {
            body();
            return;
        } catch (const Lost &lost) {
            Drop(false);
            // Only a connection that went away is made again: a server
            // that stopped answering, or a call out of time, is not waited
            // for twice.
            if (!retry || attempt > 0 || lost.end == StreamEnd::Stalled || lost.end == StreamEnd::Deadline)
                LostDuring(lost, what);
        }
    }
}

// How many IMAP commands this process has sent.
std::uint64_t CommandCount();

} // namespace kelvra_provider::imap
