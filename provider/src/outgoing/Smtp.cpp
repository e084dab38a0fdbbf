#include "outgoing/Smtp.h"

#include "Errors.h"
#include "Text.h"
#include "Addresses.h"
#include "Signals.h"
#include "Store.h"
#include "Url.h"
#include "outgoing/WayOut.h"
#include "signin/SignIn.h"
#include "posix/Interrupt.h"
#include "message/Compose.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <system_error>
#include <mutex>
#include <optional>

namespace kelvra_provider {

namespace {


// The message's bytes, asked for when libcurl first wants them.
struct Upload {
    const std::function<const std::string &()> *message = nullptr;
    const std::string *bytes = nullptr;
    std::exception_ptr failure; // the message could not be made
    size_t offset = 0;
    bool ended = false; // all of it handed to libcurl: the server decides
    kelvra_posix::Stoppable stoppable;
    bool interrupted = false;
};

size_t ReadBytes(char *buffer, size_t size, size_t count, void *data)
{
    auto *upload = static_cast<Upload *>(data);
    if (upload->bytes == nullptr) {
        try {
            upload->bytes = &(*upload->message)();
        } catch (...) {
            upload->failure = std::current_exception();
            return CURL_READFUNC_ABORT;
        }
    }
    const size_t room = size * count;
    const size_t left = upload->bytes->size() - upload->offset;
    const size_t n = left < room ? left : room;
    std::memcpy(buffer, upload->bytes->data() + upload->offset, n);
    upload->offset += n;
    upload->ended = n == 0;
    return n;
}

// An interrupt ends the transaction while the message is still on its way;
// once all of it went, the server's answer is waited for (within the
// profile's bounds), so that what is said of it is true.
int StopAtInterrupt(void *data, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto *upload = static_cast<Upload *>(data);
    if (upload->ended || !upload->stoppable.Asked())
        return 0;
    upload->interrupted = true;
    return 1;
}

// The conversation as libcurl saw it: our commands and the server's
// answers, and what they say of the login. libcurl logs in only when the
// server offers a mechanism, and goes on without a login when it offers
// none: a profile that names a user learns it here.
struct Conversation {
    std::string transcript;
    bool said = false;          // a command went in this transfer
    bool newConnection = false; // the server's first words came before any command: a greeting
    std::string mechanism;      // of the AUTH command sent, if one was
    bool loggedIn = false;      // and the server accepted it (235)
    bool loginMissing = false;  // the transfer was stopped for want of a login
};

int Transcript(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *c = static_cast<Conversation *>(user);
    const std::string_view text(data, size);
    if (type == CURLINFO_HEADER_OUT) {
        c->said = true;
        if (StartsWithText(text, "AUTH ")) {
            // The mechanism's name only: what follows it may be a credential.
            const std::string_view rest = text.substr(5);
            c->mechanism = std::string(rest.substr(0, std::min(rest.find_first_of(" \r\n"), rest.size())));
        }
        if (TranscriptKeeps(text))
            c->transcript.append(">").append(text);
        else
            c->transcript.append(">\r\n"); // the command's place, for the answer that follows
    } else if (type == CURLINFO_HEADER_IN) {
        if (!c->said)
            c->newConnection = true;
        if (!c->mechanism.empty() && text.substr(0, 3) == "235")
            c->loggedIn = true;
        c->transcript.append("<").append(text);
    }
    return 0;
}

} // namespace

bool TranscriptKeeps(std::string_view sent) { return StartsWithText(sent, "RCPT TO:"); }

namespace {

// The first recipient the server refused, with its answer, from the transcript.
std::string RefusedRecipient(const std::string &transcript)
{
    std::string pending;
    size_t start = 0;
    std::string_view line;
    while (NextLine(transcript, start, line)) {
        if (line.rfind(">RCPT TO:", 0) == 0) {
            pending = line.substr(9);
        } else if (!pending.empty() && line.size() > 1 && line[0] == '<') {
            if (line[1] == '4' || line[1] == '5')
                return pending + " (" + std::string(line.substr(1)) + ")";
            pending.clear();
        }
    }
    return {};
}

// The server's last refusal (a 4xx or 5xx answer) in the transcript, in
// its own words; empty when it gave none.
std::string LastRefusal(const std::string &transcript)
{
    std::string refusal;
    size_t start = 0;
    std::string_view line;
    while (NextLine(transcript, start, line))
        if (line.size() > 1 && line[0] == '<' && (line[1] == '4' || line[1] == '5'))
            refusal = line.substr(1);
    return refusal;
}

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

} // namespace

SmtpUrl ParseSmtpUrl(const std::string &text)
{
    const Url url(text);
    if (!url.Valid())
        return {};
    SmtpUrl parsed;
    parsed.scheme = url.Part(CURLUPART_SCHEME);
    const std::string host = url.Part(CURLUPART_HOST);
    if (parsed.scheme != "smtp" && parsed.scheme != "smtps")
        return {};
    parsed.valid = true;
    parsed.loopback = IsLoopbackHost(host);
    return parsed;
}

Outbox::~Outbox()
{
    if (handle != nullptr)
        curl_easy_cleanup(static_cast<CURL *>(handle));
}

std::shared_ptr<Outbox> NewOutbox() { return std::make_shared<Outbox>(); }

namespace {

// The envelope's addresses: every address was checked on its way in, and is
// checked again here, since whatever reaches libcurl becomes part of an
// SMTP command.
std::vector<std::string> EnvelopeCommands(const std::vector<std::string> &recipients)
{
    std::vector<std::string> envelope;
    for (const std::string &r : recipients) {
        std::optional<std::string> address = MailAddress(r);
        if (!address)
            Fail(MAPI_E_UNKNOWN_RECIPIENT);
        envelope.push_back("<" + *address + ">");
    }
    return envelope;
}

// The handle a send uses: the session's, which keeps its connection open
// for the next send; while another thread sends on it, one of its own.
class SendHandle {
public:
    explicit SendHandle(Outbox *outbox) : outbox_(outbox)
    {
        InitCurl();
        if (outbox != nullptr) {
            kept_ = std::unique_lock<std::mutex>(outbox->mutex, std::try_to_lock);
            if (kept_.owns_lock()) {
                if (outbox->handle == nullptr)
                    outbox->handle = curl_easy_init();
                else
                    curl_easy_reset(static_cast<CURL *>(outbox->handle)); // options go, the connection stays
                c_ = static_cast<CURL *>(outbox->handle);
            }
        }
        if (c_ == nullptr) {
            own_.reset(curl_easy_init());
            c_ = own_.get();
        }
        if (c_ == nullptr)
            Fail(MAPI_E_INSUFFICIENT_MEMORY);
    }
    ~SendHandle()
    {
        if (own_)
            Cut(own_.get());
    }
    SendHandle(const SendHandle &) = delete;
    SendHandle &operator=(const SendHandle &) = delete;

    CURL *get() const { return c_; }
    // Whether the connection about to be used is logged in: a new one when
    // this transfer's login was accepted, a kept one when its was.
    bool LoggedIn(const Conversation &c) const
    {
        if (c.newConnection || !kept_.owns_lock())
            return c.loggedIn;
        return outbox_->loggedIn;
    }
    void Remember(const Conversation &c)
    {
        if (kept_.owns_lock())
            outbox_->loggedIn = LoggedIn(c);
    }
    // Closes the handle's connection without a word more: after a failed or
    // abandoned transaction its server may still be reading the message's
    // data, or be one that answers nothing.
    void Discard()
    {
        if (kept_.owns_lock()) {
            Cut(c_);
            curl_easy_cleanup(c_);
            outbox_->handle = nullptr;
            outbox_->loggedIn = false;
        }
    }

private:
    // The connection's socket shut, so that the QUIT libcurl says when it
    // closes the connection fails at once rather than waiting for an answer.
    static void Cut(CURL *c)
    {
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(c, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK && socket != CURL_SOCKET_BAD)
            shutdown(socket, SHUT_RDWR);
    }

    Outbox *outbox_;
    std::unique_lock<std::mutex> kept_;
    std::unique_ptr<CURL, CurlDeleter> own_;
    CURL *c_ = nullptr;
};

// The server, its TLS, the login and the bounds of a transfer.
void SetServer(CURL *c, const Profile &profile, const std::string &password)
{
    const SmtpUrl url = ParseSmtpUrl(profile.smtpUrl);
    if (!url.valid) {
        Refuse("the profile's smtp address " + profile.smtpUrl + " is not an smtp:// or smtps:// URL",
               MAPI_E_NETWORK_FAILURE);
    }
    curl_easy_setopt(c, CURLOPT_URL, profile.smtpUrl.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "smtp,smtps");
    // TLS always, unless the profile says the server is on loopback and plain.
    const bool plain = profile.plainLoopback && url.loopback && url.scheme == "smtp";
    if (url.scheme == "smtp")
        curl_easy_setopt(c, CURLOPT_USE_SSL, plain ? static_cast<long>(CURLUSESSL_NONE) : static_cast<long>(CURLUSESSL_ALL));
    if (!profile.caFile.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, profile.caFile.c_str());
    if (!profile.user.empty()) {
        // libcurl keeps copies of what it is given; this copy goes now.
        const Secret secret = LoginSecret(SignInOf(profile, password, profile.smtpUrl, profile.user));
        curl_easy_setopt(c, CURLOPT_USERNAME, profile.user.c_str());
        curl_easy_setopt(c, IsOAuth(profile.auth) ? CURLOPT_XOAUTH2_BEARER : CURLOPT_PASSWORD, secret.c_str());
        if (const char *mechanism = kAuthMethods[static_cast<int>(profile.auth)].mechanism)
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, ("AUTH=" + std::string(mechanism)).c_str());
    }
    // A server that stops answering ends the transfer instead of hanging it:
    // the whole transfer within `timeout`, and every answer (the greeting,
    // each command's, the one to the data's end, and QUIT's when the
    // connection closes) within the stall bound, however long libcurl's own
    // is.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, std::min(profile.connectTimeout, profile.sendTimeout));
    curl_easy_setopt(c, CURLOPT_TIMEOUT, profile.sendTimeout);
    curl_easy_setopt(c, CURLOPT_SERVER_RESPONSE_TIMEOUT, std::min(profile.stallTimeout, profile.sendTimeout));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, profile.stallTimeout);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
}

// What a transfer hands libcurl's callbacks: the conversation, and
// whether the connection is logged in as the profile asks.
struct Transfer {
    const Profile *profile;
    SendHandle *handle;
    Conversation conversation;
};

// Before the first command of the transaction (MAIL, or the check's NOOP):
// a profile that names a user goes no further without its login.
int BeforeRequest(void *data, char *, char *, int, int)
{
    auto *t = static_cast<Transfer *>(data);
    if (t->profile->user.empty() || t->handle->LoggedIn(t->conversation))
        return CURL_PREREQFUNC_OK;
    t->conversation.loginMissing = true;
    return CURL_PREREQFUNC_ABORT;
}

// Listens to the conversation and checks the login before the transaction.
void Watch(CURL *c, Transfer &t)
{
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &Transcript);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &t.conversation);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, &BeforeRequest);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, &t);
}

// A kept handle points at nothing of a send once it returns: libcurl may
// still talk to the server (a QUIT when the session ends).
struct Detach {
    CURL *c;
    ~Detach()
    {
        curl_easy_setopt(c, CURLOPT_VERBOSE, 0L);
        curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, nullptr);
        curl_easy_setopt(c, CURLOPT_DEBUGDATA, nullptr);
        curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, nullptr);
        curl_easy_setopt(c, CURLOPT_PREREQDATA, nullptr);
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
        curl_easy_setopt(c, CURLOPT_READDATA, nullptr);
    }
};

// What a failed transfer means: a login refused or never offered, a
// refused recipient (the transaction was abandoned), or a connection or
// protocol failure.
// `doing`: what the transfer was for ("sending through", "checking").
[[noreturn]] void Failed(const Profile &profile, CURLcode rc, const char *detail, const Conversation &conversation,
                         const char *doing)
{
    if (conversation.loginMissing) {
        Refuse("the SMTP server " + profile.smtpUrl + " offers no login (no AUTH" +
                   (profile.auth == Auth::Auto ? std::string() : " by the profile's mechanism") +
                   "), and the profile names the user " + profile.user +
                   ": nothing was sent without the login it asks for",
               MAPI_E_LOGON_FAILURE);
    }
    const std::string why = std::string(curl_easy_strerror(rc)) + " (libcurl " + std::to_string(rc) +
                            (detail[0] != '\0' ? std::string(": ") + detail : std::string()) + ")";
    if (rc == CURLE_LOGIN_DENIED) {
        const std::string answer = LastRefusal(conversation.transcript);
        Refuse("SMTP login refused by " + profile.smtpUrl + (answer.empty() ? ": " + why : ": \"" + answer + "\""),
               MAPI_E_LOGON_FAILURE);
    }
    const std::string refused = RefusedRecipient(conversation.transcript);
    if (!refused.empty()) {
        Refuse("recipient " + refused + " refused by " + profile.smtpUrl + "; nothing was sent",
               MAPI_E_UNKNOWN_RECIPIENT);
    }
    // Connected, and not a word from the server.
    if (rc == CURLE_OPERATION_TIMEDOUT && conversation.transcript.find('<') == std::string::npos &&
        !conversation.said) {
        const long waited = std::min(profile.stallTimeout, profile.sendTimeout);
        Refuse(std::string(doing) + " " + profile.smtpUrl + " failed: connecting to it, the server sent no greeting " +
                   "(nothing for " + std::to_string(waited) + " s, the profile's " +
                   (waited == profile.stallTimeout ? "stalltimeout" : "timeout") + ")",
               MAPI_E_NETWORK_FAILURE);
    }
    Refuse(std::string(doing) + " " + profile.smtpUrl + " failed: " + why, MAPI_E_NETWORK_FAILURE);
}

} // namespace

void SendSmtp(const Profile &profile, const std::string &password, const std::string &sender,
              const std::vector<std::string> &recipients, const std::string &bytes, Outbox *outbox)
{
    SendSmtp(profile, password, sender, recipients, [&bytes]() -> const std::string & { return bytes; }, outbox);
}

void SendSmtp(const Profile &profile, const std::string &password, const std::string &sender,
              const std::vector<std::string> &recipients, const std::function<const std::string &()> &message,
              Outbox *outbox)
{
    const std::vector<std::string> envelope = EnvelopeCommands(recipients);
    if (sender.empty())
        Refuse("profile " + profile.name + " names no sender, and an SMTP server needs one: give the profile an "
                   "address (address = ...), or set EMAIL",
               MAPI_E_FAILURE);
    const std::optional<std::string> checkedSender = MailAddress(sender);
    if (!checkedSender)
        Fail(MAPI_E_UNKNOWN_RECIPIENT);
    SendHandle handle(outbox);
    CURL *c = handle.get();
    SetServer(c, profile, password);
    const std::string from = "<" + *checkedSender + ">";
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    std::unique_ptr<curl_slist, ListDeleter> rcpts;
    for (const std::string &r : envelope) {
        curl_slist *added = curl_slist_append(rcpts.get(), r.c_str());
        if (added == nullptr)
            Fail(MAPI_E_INSUFFICIENT_MEMORY);
        rcpts.release();
        rcpts.reset(added);
    }
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpts.get());
    // All or nothing: one refused recipient ends the transaction.
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 0L);
    Upload upload;
    upload.message = &message;
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &ReadBytes);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &StopAtInterrupt);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &upload);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    // A typical message with an attachment goes in a few large writes
    // rather than many of libcurl's default 64 KiB.
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
    char detail[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    Transfer transfer{&profile, &handle, {}};
    CURLcode rc;
    {
        const Detach detach{c};
        Watch(c, transfer);
        rc = curl_easy_perform(c);
    }
    if (upload.failure) {
        handle.Discard();
        Log("the message could not be made while its envelope went to " + profile.smtpUrl +
            ": the transaction was abandoned and nothing was sent");
        std::rethrow_exception(upload.failure);
    }
    if (upload.interrupted) {
        handle.Discard();
        Refuse("the send was interrupted before " + ServerWords(profile.smtpUrl) +
                   " had the whole message, which was not sent",
               MAPI_USER_ABORT);
    }
    if (rc != CURLE_OK) {
        handle.Discard();
        Failed(profile, rc, detail, transfer.conversation, "sending through");
    }
    handle.Remember(transfer.conversation);
}

std::string CheckSmtp(const Profile &profile, const std::string &password)
{
    SendHandle handle(nullptr);
    CURL *c = handle.get();
    SetServer(c, profile, password);
    // A command of its own and no recipient: libcurl sends it after the
    // login, and nothing else.
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char *, size_t size, size_t count, void *) { return size * count; });
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    Transfer transfer{&profile, &handle, {}};
    Watch(c, transfer);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK)
        Failed(profile, rc, detail, transfer.conversation, "checking");
    const Conversation &said = transfer.conversation;
    return said.loggedIn ? "the server greets, accepts the login of " + profile.user + " (AUTH " + said.mechanism +
                               ") and answers NOOP"
                         : std::string("the server greets and answers NOOP (no login: the profile names no user)");
}

std::string ServerWords(const std::string &smtpUrl)
{
    const Url url(smtpUrl);
    if (!url.Valid())
        return smtpUrl;
    const std::string port = url.Part(CURLUPART_PORT);
    return url.Part(CURLUPART_SCHEME) + "://" + url.Part(CURLUPART_HOST) + (port.empty() ? "" : ":" + port);
}

namespace {

// An SMTP server. The attachments are checked before the first command; the
// message is then composed on a thread of its own while the envelope's
// commands go, handed over when the server asks for it, and its copy made
// ready on that thread while it travels. A message that cannot be composed
// abandons the transaction: nothing is sent or kept.
class Smtp final : public WayOut {
public:
    explicit Smtp(const Profile &profile) : server_(ServerWords(profile.smtpUrl)) {}

    std::string Name() const override { return "smtp " + server_; }

    std::string Send(Session &session, const Composition &composition) const override
    {
        CheckAttachments(composition);
        const std::vector<std::string> envelope = EnvelopeOf(composition);
        std::promise<const std::string *> handed;
        std::future<const std::string *> bytes = handed.get_future();
        struct Composed {
            std::unique_ptr<const std::string> bytes;
            std::unique_ptr<SentCopy> copy;
        };
        const auto compose = [&] {
            Composed composed;
            try {
                composed.bytes = ComposeBytes(composition);
            } catch (...) {
                handed.set_exception(std::current_exception());
                return composed;
            }
            handed.set_value(composed.bytes.get());
            composed.copy = session.store->PrepareSent(*composed.bytes, true);
            return composed;
        };
        std::future<Composed> composing;
        bool deferred = false;
        try {
            const SignalsBlocked quiet; // the thread takes none of the application's signals
            composing = std::async(std::launch::async, compose);
        } catch (const std::system_error &) {
            composing = std::async(std::launch::deferred, compose); // no thread to be had: when asked for
            deferred = true;
        }
        SendSmtp(session.profile, session.password, composition.from.address, envelope,
                 [&]() -> const std::string & {
                     if (deferred)
                         composing.wait();
                     return *bytes.get();
                 },
                 session.outbox.get());
        // The message has gone: a copy that could not even be made ready is
        // logged, as one that cannot be kept.
        Composed composed;
        try {
            composed = composing.get();
        } catch (const std::exception &) {
            Log("the message went out, but its copy could not be made ready for Sent");
        }
        if (composed.copy)
            KeepCopy(*composed.copy);
        return "sent to " + EnvelopeWords(composition) + " (" + server_ + ")";
    }

    std::string Check(const Profile &profile, const std::string &password) const override
    {
        return server_ + ": " + CheckSmtp(profile, password) + "; no message";
    }

private:
    std::string server_;
};

} // namespace

std::unique_ptr<WayOut> SmtpWayOut(const Profile &profile) { return std::make_unique<Smtp>(profile); }

} // namespace kelvra_provider
