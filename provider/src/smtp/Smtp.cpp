#include "smtp/Smtp.h"

#include "Common.h"
#include "Url.h"
#include "signin/SignIn.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

namespace kmp {

namespace {


// The message's bytes, asked for when libcurl first wants them.
struct Upload {
    const std::function<const std::string &()> *message = nullptr;
    const std::string *bytes = nullptr;
    std::exception_ptr failure; // the message could not be made
    size_t offset = 0;
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
    return n;
}

// The conversation as libcurl saw it: our commands and the server's answers.
int Transcript(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *transcript = static_cast<std::string *>(user);
    if (type == CURLINFO_HEADER_OUT && TranscriptKeeps(std::string_view(data, size)))
        transcript->append(">").append(data, size);
    else if (type == CURLINFO_HEADER_OUT)
        transcript->append(">\r\n"); // the command's place, for the answer that follows
    else if (type == CURLINFO_HEADER_IN)
        transcript->append("<").append(data, size);
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
std::vector<std::string> EnvelopeOf(const std::vector<std::string> &recipients)
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
    explicit SendHandle(Outbox *outbox)
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
    CURL *get() const { return c_; }
    // Closes the handle's connection: after an abandoned transaction, its
    // server may still be reading the message's data.
    void Discard(Outbox *outbox)
    {
        if (kept_.owns_lock()) {
            curl_easy_cleanup(c_);
            outbox->handle = nullptr;
        }
    }

private:
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
        static const char *const kMechanism[] = {nullptr, "AUTH=PLAIN", "AUTH=LOGIN", "AUTH=XOAUTH2", "AUTH=OAUTHBEARER"};
        if (const char *mechanism = kMechanism[static_cast<int>(profile.auth)])
            curl_easy_setopt(c, CURLOPT_LOGIN_OPTIONS, mechanism);
    }
    // A server that stops answering ends the transfer instead of hanging it.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, profile.connectTimeout);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, profile.sendTimeout);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, profile.stallTimeout);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
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
        curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(c, CURLOPT_MAIL_RCPT, nullptr);
        curl_easy_setopt(c, CURLOPT_READDATA, nullptr);
    }
};

// What a failed transfer means: a refused login, a refused recipient (the
// transaction was abandoned), or a connection or protocol failure.
[[noreturn]] void Failed(const Profile &profile, CURLcode rc, const char *detail, const std::string &transcript)
{
    const std::string why = std::string(curl_easy_strerror(rc)) + " (libcurl " + std::to_string(rc) +
                            (detail[0] != '\0' ? std::string(": ") + detail : std::string()) + ")";
    if (rc == CURLE_LOGIN_DENIED) {
        Refuse("SMTP login refused by " + profile.smtpUrl + ": " + why, MAPI_E_LOGON_FAILURE);
    }
    const std::string refused = RefusedRecipient(transcript);
    if (!refused.empty()) {
        Refuse("recipient " + refused + " refused by " + profile.smtpUrl + "; nothing was sent",
               MAPI_E_UNKNOWN_RECIPIENT);
    }
    Refuse("sending through " + profile.smtpUrl + " failed: " + why, MAPI_E_NETWORK_FAILURE);
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
    const std::vector<std::string> envelope = EnvelopeOf(recipients);
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
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    // A typical message with an attachment goes in a few large writes
    // rather than many of libcurl's default 64 KiB.
    curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
    char detail[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    std::string transcript;
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &Transcript);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &transcript);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    CURLcode rc;
    {
        const Detach detach{c};
        rc = curl_easy_perform(c);
    }
    if (upload.failure) {
        handle.Discard(outbox);
        Log("the message could not be made while its envelope went to " + profile.smtpUrl +
            ": the transaction was abandoned and nothing was sent");
        std::rethrow_exception(upload.failure);
    }
    if (rc != CURLE_OK)
        Failed(profile, rc, detail, transcript);
}

void CheckSmtp(const Profile &profile, const std::string &password)
{
    InitCurl();
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    if (!handle)
        Fail(MAPI_E_INSUFFICIENT_MEMORY);
    CURL *c = handle.get();
    SetServer(c, profile, password);
    // A command of its own and no recipient: libcurl sends it after the
    // login, and nothing else.
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "NOOP");
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char *, size_t size, size_t count, void *) { return size * count; });
    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, detail);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK)
        Failed(profile, rc, detail, std::string());
}

} // namespace kmp
