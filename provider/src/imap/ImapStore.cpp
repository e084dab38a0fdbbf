// The IMAP store. libetpan speaks the protocol and parses every answer;
// this file decides what to ask, keeps what the session has learnt of the
// folder, and holds the rules that keep the server's mail whole:
//
// - An identifier is the folder's UIDVALIDITY and the message's UID; one of
//   another UIDVALIDITY names nothing (MAPI_E_INVALID_MESSAGE).
// - The folder's UIDs, flags, arrival times and sizes are listed in one
//   command and headers are fetched in batches, so a walk costs a few round
//   trips per thousand messages. The listing (NOOP, then the list) is
//   asked for again at the start of every walk and at most once a second
//   otherwise.
// - A change removes exactly one UID (UID EXPUNGE); a plain EXPUNGE, which
//   would also remove what another client marked \Deleted, is never sent.
//   A server without UIDPLUS is only read.
// - A dropped connection is opened again once for a command that changes
//   nothing; anything else fails with MAPI_E_FAILURE.
#include "imap/ImapStore.h"

#include "Common.h"
#include "Envelope.h"

#include <curl/curl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <libetpan/libetpan.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

namespace kmp {

namespace {

std::atomic<std::uint64_t> g_commands{0};

// Headers are fetched this many at a time, and read up to this size (as a
// Maildir reads a header block for its class).
constexpr size_t kHeaderBatch = 500;
constexpr uint32_t kHeaderLimit = 256 * 1024;

// The connection is gone (dropped, timed out, or closed by the server):
// thrown inside the store, never out of it.
struct Lost {
    std::string what;
};

// ---------------------------------------------------------------- settings

struct Settings {
    std::string url;
    std::string host;    // as in the URL (an IPv6 address in brackets)
    std::string address; // for connecting and for the certificate check
    uint16_t port = 0;
    bool implicitTls = false; // imaps://
    bool startTls = true;     // imap:// unless plain on loopback
    std::string user, password, folder, sentFolder, caFile;
    long connectTimeout = 30, stallTimeout = 60;
};

struct UrlDeleter {
    void operator()(CURLU *u) const { curl_url_cleanup(u); }
};

std::string UrlPart(CURLU *url, CURLUPart what, unsigned flags = 0)
{
    char *part = nullptr;
    if (curl_url_get(url, what, &part, flags) != CURLUE_OK || part == nullptr)
        return {};
    std::string out = part;
    curl_free(part);
    return out;
}

[[noreturn]] void Refuse(const std::string &why, ULONG code = MAPI_E_FAILURE)
{
    Log(why);
    Fail(code);
}

Settings SettingsOf(const Profile &profile, const std::string &password)
{
    Settings s;
    s.url = profile.mailbox;
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, profile.mailbox.c_str(), 0) != CURLUE_OK)
        Refuse("the profile's mailbox " + profile.mailbox + " is not an IMAP URL");
    const std::string scheme = UrlPart(url.get(), CURLUPART_SCHEME);
    s.host = UrlPart(url.get(), CURLUPART_HOST);
    const std::string port = UrlPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    s.user = UrlPart(url.get(), CURLUPART_USER, CURLU_URLDECODE);
    std::string path = UrlPart(url.get(), CURLUPART_PATH, CURLU_URLDECODE);
    if ((scheme != "imap" && scheme != "imaps") || s.host.empty())
        Refuse("the profile's mailbox " + profile.mailbox + " is not an imap:// or imaps:// URL");
    s.implicitTls = scheme == "imaps";
    const bool plain = profile.smtpPlainLoopback && IsLoopbackHost(s.host) && !s.implicitTls;
    s.startTls = !s.implicitTls && !plain;
    s.address = s.host.size() > 2 && s.host.front() == '[' ? s.host.substr(1, s.host.size() - 2) : s.host;
    s.port = static_cast<uint16_t>(std::atoi(port.c_str()));
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    s.folder = path.empty() ? "INBOX" : path;
    if (s.user.empty())
        s.user = profile.smtpUser;
    s.password = password.empty() ? profile.smtpPassword : password;
    s.sentFolder = profile.sentFolder;
    s.caFile = profile.smtpCaFile;
    s.connectTimeout = profile.smtpConnectTimeout;
    s.stallTimeout = profile.smtpStallTimeout;
    if (s.user.empty())
        Refuse("the profile's mailbox " + profile.mailbox + " names no user", MAPI_E_LOGON_FAILURE);
    return s;
}

// ------------------------------------------------------- the plumbing

// libetpan writes to its socket with send() without MSG_NOSIGNAL: a server
// that went away must not end the host program with SIGPIPE. The signal is
// held back for this thread while the store talks, and one it raised is
// taken before the thread's mask is restored.
class NoSigpipe {
public:
    NoSigpipe()
    {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~NoSigpipe()
    {
        if (!pendingBefore_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                const timespec now{0, 0};
                sigtimedwait(&pipe, nullptr, &now);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe &) = delete;
    NoSigpipe &operator=(const NoSigpipe &) = delete;

private:
    sigset_t old_{};
    bool pendingBefore_ = false;
};

// A TCP connection within the connect timeout; -1 when none could be made.
int ConnectTcp(const Settings &s, std::string *why)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string port = std::to_string(s.port);
    const int gai = getaddrinfo(s.address.c_str(), port.c_str(), &hints, &found);
    if (gai != 0) {
        *why = gai_strerror(gai);
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        int error = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                const int ready = poll(&p, 1, static_cast<int>(s.connectTimeout * 1000));
                socklen_t length = sizeof error;
                if (ready <= 0)
                    error = ready == 0 ? ETIMEDOUT : errno;
                else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
        if (error != 0) {
            *why = std::strerror(error);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0)
        return -1;
    // libetpan waits with select(), which cannot watch a descriptor past
    // FD_SETSIZE: such a connection is refused rather than overrun.
    if (fd >= FD_SETSIZE) {
        *why = "too many open files for libetpan's select()";
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool IsAddress(const std::string &host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The server name for SNI (never an address).
void ServerName(struct mailstream_ssl_context *context, void *data)
{
    const auto *s = static_cast<const Settings *>(data);
    if (!IsAddress(s->address))
        mailstream_ssl_set_server_name(context, const_cast<char *>(s->address.c_str()));
}

// libetpan makes the TLS connection but checks no certificate: the chain it
// received is checked here, against the system's trust and the profile's
// cafile, for this host name or address, before anything is sent.
bool TrustedCertificate(mailstream *stream, const Settings &s, std::string *why)
{
    carray *chain = mailstream_get_certificate_chain(stream);
    if (chain == nullptr || carray_count(chain) == 0) {
        if (chain != nullptr)
            mailstream_certificate_chain_free(chain);
        *why = "the server showed no certificate";
        return false;
    }
    std::vector<gnutls_x509_crt_t> certificates;
    bool ok = true;
    for (unsigned i = 0; i < carray_count(chain) && ok; ++i) {
        const auto *der = static_cast<MMAPString *>(carray_get(chain, i));
        gnutls_x509_crt_t certificate = nullptr;
        gnutls_datum_t data{reinterpret_cast<unsigned char *>(der->str), static_cast<unsigned>(der->len)};
        ok = gnutls_x509_crt_init(&certificate) >= 0;
        if (ok)
            certificates.push_back(certificate);
        ok = ok && gnutls_x509_crt_import(certificate, &data, GNUTLS_X509_FMT_DER) >= 0;
    }
    mailstream_certificate_chain_free(chain);
    gnutls_x509_trust_list_t trust = nullptr;
    unsigned status = GNUTLS_CERT_INVALID;
    if (ok && gnutls_x509_trust_list_init(&trust, 0) >= 0) {
        gnutls_x509_trust_list_add_system_trust(trust, 0, 0);
        if (!s.caFile.empty() &&
            gnutls_x509_trust_list_add_trust_file(trust, s.caFile.c_str(), nullptr, GNUTLS_X509_FMT_PEM, 0, 0) <= 0)
            *why = "the profile's cafile " + s.caFile + " holds no certificate";
        gnutls_typed_vdata_st checks[2] = {
            {GNUTLS_DT_DNS_HOSTNAME, reinterpret_cast<unsigned char *>(const_cast<char *>(s.address.c_str())), 0},
            {GNUTLS_DT_KEY_PURPOSE_OID, reinterpret_cast<unsigned char *>(const_cast<char *>(GNUTLS_KP_TLS_WWW_SERVER)),
             0}};
        if (gnutls_x509_trust_list_verify_crt2(trust, certificates.data(), static_cast<unsigned>(certificates.size()),
                                               checks, 2, 0, &status, nullptr) < 0)
            status = GNUTLS_CERT_INVALID;
        gnutls_x509_trust_list_deinit(trust, 1);
    }
    for (gnutls_x509_crt_t c : certificates)
        gnutls_x509_crt_deinit(c);
    if (status != 0 && why->empty()) {
        gnutls_datum_t text{};
        if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) >= 0) {
            *why = reinterpret_cast<const char *>(text.data);
            gnutls_free(text.data);
        } else {
            *why = "the certificate is not trusted";
        }
    }
    return status == 0;
}

// ------------------------------------------------------ libetpan values

template <class T, void (*Free)(T *)>
struct Owned {
    T *p;
    explicit Owned(T *value) : p(value)
    {
        if (p == nullptr)
            throw std::bad_alloc();
    }
    ~Owned() { Free(p); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    T *get() const { return p; }
    T *release()
    {
        T *value = p;
        p = nullptr;
        return value;
    }
};

void FreeSet(mailimap_set *s)
{
    if (s != nullptr)
        mailimap_set_free(s);
}
void FreeFetchType(mailimap_fetch_type *t)
{
    if (t != nullptr)
        mailimap_fetch_type_free(t);
}
void FreeFlagList(mailimap_flag_list *f)
{
    if (f != nullptr)
        mailimap_flag_list_free(f);
}
void FreeDateTime(mailimap_date_time *d)
{
    if (d != nullptr)
        mailimap_date_time_free(d);
}
void FreeStoreFlags(mailimap_store_att_flags *f)
{
    if (f != nullptr)
        mailimap_store_att_flags_free(f);
}
void FreeSearchKey(mailimap_search_key *k)
{
    if (k != nullptr)
        mailimap_search_key_free(k);
}
void FreeFetchList(clist *l)
{
    if (l != nullptr)
        mailimap_fetch_list_free(l);
}

using Set = Owned<mailimap_set, FreeSet>;
using FetchType = Owned<mailimap_fetch_type, FreeFetchType>;
using FlagList = Owned<mailimap_flag_list, FreeFlagList>;
using DateTime = Owned<mailimap_date_time, FreeDateTime>;
using StoreFlags = Owned<mailimap_store_att_flags, FreeStoreFlags>;
using SearchKey = Owned<mailimap_search_key, FreeSearchKey>;

// The fetch list an answer left, freed with it.
struct FetchList {
    clist *list = nullptr;
    ~FetchList() { FreeFetchList(list); }
};

template <class T>
void ForEach(clist *list, const std::function<void(T *)> &each)
{
    if (list == nullptr)
        return;
    for (clistiter *it = clist_begin(list); it != nullptr; it = clist_next(it))
        each(static_cast<T *>(clist_content(it)));
}

// What a FETCH answer says of one message.
struct Fetched {
    uint32_t uid = 0;
    bool seen = false, deleted = false;
    std::int64_t time = 0;
    std::int64_t size = 0;
    const mailimap_date_time *date = nullptr; // as the server gave it (for APPEND)
    std::vector<const mailimap_flag *> flags; // every flag but \Recent
    const char *body = nullptr;
    size_t bodyLength = 0;
    bool hasBody = false;
};

std::int64_t Seconds(const mailimap_date_time &d)
{
    std::tm tm{};
    tm.tm_year = d.dt_year - 1900;
    tm.tm_mon = d.dt_month - 1;
    tm.tm_mday = d.dt_day;
    tm.tm_hour = d.dt_hour;
    tm.tm_min = d.dt_min;
    tm.tm_sec = d.dt_sec;
    // The zone is written as it stands in the answer: +0130 is 130.
    const int zone = d.dt_zone < 0 ? -d.dt_zone : d.dt_zone;
    const std::int64_t offset = (zone / 100) * 3600 + (zone % 100) * 60;
    return static_cast<std::int64_t>(timegm(&tm)) - (d.dt_zone < 0 ? -offset : offset);
}

Fetched Parse(mailimap_msg_att *message)
{
    Fetched f;
    ForEach<mailimap_msg_att_item>(message->att_list, [&](mailimap_msg_att_item *item) {
        if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn != nullptr) {
            ForEach<mailimap_flag_fetch>(item->att_data.att_dyn->att_list, [&](mailimap_flag_fetch *flag) {
                if (flag->fl_type != MAILIMAP_FLAG_FETCH_OTHER || flag->fl_flag == nullptr)
                    return;
                f.flags.push_back(flag->fl_flag);
                f.seen = f.seen || flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN;
                f.deleted = f.deleted || flag->fl_flag->fl_type == MAILIMAP_FLAG_DELETED;
            });
        } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static != nullptr) {
            const mailimap_msg_att_static *s = item->att_data.att_static;
            switch (s->att_type) {
            case MAILIMAP_MSG_ATT_UID: f.uid = s->att_data.att_uid; break;
            case MAILIMAP_MSG_ATT_RFC822_SIZE: f.size = s->att_data.att_rfc822_size; break;
            case MAILIMAP_MSG_ATT_INTERNALDATE:
                if (s->att_data.att_internal_date != nullptr) {
                    f.date = s->att_data.att_internal_date;
                    f.time = Seconds(*f.date);
                }
                break;
            case MAILIMAP_MSG_ATT_BODY_SECTION:
                if (s->att_data.att_body_section != nullptr) {
                    f.hasBody = true;
                    f.body = s->att_data.att_body_section->sec_body_part;
                    f.bodyLength = f.body != nullptr ? s->att_data.att_body_section->sec_length : 0;
                }
                break;
            default: break;
            }
        }
    });
    return f;
}

mailimap_flag *CopyFlag(const mailimap_flag *flag)
{
    auto copy = [](const char *text) { return text != nullptr ? strdup(text) : nullptr; };
    return mailimap_flag_new(flag->fl_type, flag->fl_type == MAILIMAP_FLAG_KEYWORD ? copy(flag->fl_data.fl_keyword) : nullptr,
                             flag->fl_type == MAILIMAP_FLAG_EXTENSION ? copy(flag->fl_data.fl_extension) : nullptr);
}

mailimap_flag_list *OneFlag(mailimap_flag *(*make)())
{
    FlagList list(mailimap_flag_list_new_empty());
    mailimap_flag *flag = make();
    if (flag == nullptr || mailimap_flag_list_add(list.get(), flag) != MAILIMAP_NO_ERROR)
        throw std::bad_alloc();
    return list.release();
}

// ------------------------------------------------------ identifiers

std::string IdOf(uint32_t validity, uint32_t uid)
{
    // The UID zero-padded, so that identifiers sort as UIDs do.
    char id[32];
    std::snprintf(id, sizeof id, "%u.%010u", validity, uid);
    return id;
}

bool ParseId(const std::string &id, uint32_t *validity, uint32_t *uid)
{
    if (id.empty() || id.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    unsigned long v = 0, u = 0;
    int end = 0;
    if (std::sscanf(id.c_str(), "%lu.%lu%n", &v, &u, &end) != 2 || static_cast<size_t>(end) != id.size() ||
        v == 0 || u == 0 || v > UINT32_MAX || u > UINT32_MAX)
        return false;
    *validity = static_cast<uint32_t>(v);
    *uid = static_cast<uint32_t>(u);
    return true;
}

// A file of the private temporary folder holding a message's bytes for
// GMime, removed with this object.
class TempMessage {
public:
    TempMessage(const char *bytes, size_t size)
    {
        const char *tmpdir = std::getenv("TMPDIR");
        path_ = std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/kelvra-imap-XXXXXX";
        const int fd = mkostemp(path_.data(), O_CLOEXEC);
        if (fd < 0) {
            path_.clear();
            Fail(errno == ENOSPC ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd, bytes + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int error = errno;
                close(fd);
                Fail(error == ENOSPC || error == EDQUOT ? MAPI_E_DISK_FULL : MAPI_E_FAILURE);
            }
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    ~TempMessage()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    TempMessage(const TempMessage &) = delete;
    TempMessage &operator=(const TempMessage &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// ------------------------------------------------------------- the store

struct Entry {
    uint32_t uid = 0;
    std::int64_t time = 0; // INTERNALDATE, seconds
    std::int64_t size = 0;
    bool seen = false;
    std::shared_ptr<const std::string> header; // null until fetched
};

class ImapStore : public MailStore {
public:
    explicit ImapStore(Settings settings) : s_(std::move(settings)) {}
    ~ImapStore() override
    {
        NoSigpipe guard;
        Drop(true);
    }

    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        NoSigpipe guard;
        Connect(true);
    }

    std::string Next(const std::string &seed, const FindFilter &filter) override;
    std::unique_ptr<Block> Read(const std::string &id, bool peek, const ReadOptions &options) override;
    std::string Add(const std::string &bytes, bool seen) override;
    std::string Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated) override;
    void Remove(const std::string &id) override;
    void KeepSent(const std::string &bytes) override;

private:
    void Connect(bool logon);
    void Drop(bool logout);
    // Whether a command succeeded; a lost connection throws Lost.
    bool Ok(int result, const char *command);
    // Runs `body` on a live connection. A command that changes nothing
    // (`retry`) is tried once more on a new connection when the old one
    // was lost; otherwise a lost connection is MAPI_E_FAILURE.
    template <class Body>
    void Run(bool retry, const char *what, Body &&body);

    void Refresh(bool force, bool unread);
    void FetchHeaders(const std::vector<uint32_t> &uids);
    Entry *Find(uint32_t uid);
    void Forget(uint32_t uid);
    // The message of an identifier, fetched whole: its bytes and what the
    // server says of it. MAPI_E_INVALID_MESSAGE when it is not there.
    uint32_t Check(const std::string &id);
    void FetchWhole(uint32_t uid, FetchList &answer, Fetched &message);
    // Marks exactly one message \Deleted and removes it with UID EXPUNGE;
    // on failure the mark is taken back (unless it was there before).
    void RemoveUid(uint32_t uid, bool wasDeleted);
    void RequireUidplus(const char *what);
    std::string SentFolder();

    Settings s_;
    std::mutex mutex_;
    mailimap *imap_ = nullptr;
    bool uidplus_ = false;
    uint32_t validity_ = 0;
    unsigned generation_ = 0; // counts the times the cache was emptied
    std::vector<Entry> entries_; // by UID
    std::vector<size_t> byArrival_;
    std::map<uint32_t, std::int64_t> gone_; // where vanished messages stood in arrival order
    // Messages this session saved over: the old UID names the new version
    // for the rest of the session, as a Maildir identifier survives a save
    // (a caller that keeps the identifier it had reads what it saved).
    std::map<uint32_t, uint32_t> replaced_;
    std::vector<uint32_t> unseen_;          // the server's UID SEARCH UNSEEN, sorted
    bool listed_ = false, searched_ = false;
    std::chrono::steady_clock::time_point checkedAt_{};
    std::optional<std::string> sent_;
};

bool ImapStore::Ok(int result, const char *command)
{
    ++g_commands;
    switch (result) {
    case MAILIMAP_NO_ERROR:
    case MAILIMAP_NO_ERROR_AUTHENTICATED:
    case MAILIMAP_NO_ERROR_NON_AUTHENTICATED: return true;
    case MAILIMAP_ERROR_MEMORY: throw std::bad_alloc();
    case MAILIMAP_ERROR_STREAM:
    case MAILIMAP_ERROR_BAD_STATE:
    case MAILIMAP_ERROR_PARSE:
    case MAILIMAP_ERROR_FATAL:
    case MAILIMAP_ERROR_CONNECTION_REFUSED:
    case MAILIMAP_ERROR_SSL: throw Lost{std::string(command) + " (libetpan " + std::to_string(result) + ")"};
    default: return false;
    }
}

void ImapStore::Drop(bool logout)
{
    if (imap_ == nullptr)
        return;
    if (logout && imap_->imap_stream != nullptr)
        mailimap_logout(imap_);
    mailimap_free(imap_);
    imap_ = nullptr;
}

void ImapStore::Connect(bool logon)
{
    Drop(false);
    // Failing to come back is MAPI_E_FAILURE, whatever the reason; only a
    // logon reports a refused login as such.
    auto fail = [&](const std::string &why, ULONG code = MAPI_E_FAILURE) {
        Drop(false);
        Refuse("IMAP " + s_.url + ": " + why, logon ? code : MAPI_E_FAILURE);
    };
    std::string why;
    const int fd = ConnectTcp(s_, &why);
    if (fd < 0)
        fail("cannot connect: " + why);
    mailstream *stream = s_.implicitTls
                             ? mailstream_ssl_open_with_callback_timeout(fd, s_.stallTimeout, &ServerName, &s_)
                             : mailstream_socket_open_timeout(fd, s_.stallTimeout);
    if (stream == nullptr) {
        close(fd);
        fail(s_.implicitTls ? "no TLS connection" : "cannot open the connection");
    }
    imap_ = mailimap_new(0, nullptr);
    if (imap_ == nullptr) {
        mailstream_close(stream);
        throw std::bad_alloc();
    }
    mailimap_set_timeout(imap_, s_.stallTimeout);
    try {
        // mailimap_connect owns the stream from here, also when it fails.
        if (!Ok(mailimap_connect(imap_, stream), "greeting"))
            fail("the server refused the connection");
        if (s_.startTls) {
            if (!Ok(mailimap_starttls(imap_), "STARTTLS"))
                fail("the server offers no STARTTLS, and TLS is required");
            mailstream_low *plain = mailstream_get_low(imap_->imap_stream);
            const int socket = mailstream_low_get_fd(plain);
            mailstream_low *tls =
                mailstream_low_tls_open_with_callback_timeout(socket, s_.stallTimeout, &ServerName, &s_);
            if (tls == nullptr)
                fail("the TLS handshake failed");
            mailstream_low_free(plain);
            mailstream_set_low(imap_->imap_stream, tls);
        }
        if ((s_.implicitTls || s_.startTls) && !TrustedCertificate(imap_->imap_stream, s_, &why))
            fail("certificate refused: " + why);
        if (!Ok(mailimap_login(imap_, s_.user.c_str(), s_.password.c_str()), "LOGIN"))
            fail("login refused for " + s_.user, MAPI_E_LOGON_FAILURE);
        // The capabilities after login are the ones that count (UIDPLUS).
        mailimap_capability_data *capabilities = nullptr;
        if (Ok(mailimap_capability(imap_, &capabilities), "CAPABILITY") && capabilities != nullptr)
            mailimap_capability_data_free(capabilities);
        uidplus_ = mailimap_has_uidplus(imap_) != 0;
        if (!Ok(mailimap_select(imap_, s_.folder.c_str()), "SELECT"))
            fail("no folder " + s_.folder);
    } catch (const Lost &lost) {
        fail("connection lost: " + lost.what);
    }
    const uint32_t validity = imap_->imap_selection_info != nullptr ? imap_->imap_selection_info->sel_uidvalidity : 0;
    if (validity != validity_) {
        // A new generation of the folder: nothing known of the old one holds.
        entries_.clear();
        byArrival_.clear();
        gone_.clear();
        replaced_.clear();
        unseen_.clear();
        listed_ = searched_ = false;
        ++generation_;
        validity_ = validity;
    }
}

template <class Body>
void ImapStore::Run(bool retry, const char *what, Body &&body)
{
    for (int attempt = 0;; ++attempt) {
        if (imap_ == nullptr)
            Connect(false);
        try {
            body();
            return;
        } catch (const Lost &lost) {
            Drop(false);
            if (!retry || attempt > 0)
                Refuse("IMAP " + s_.url + ": connection lost during " + what + ": " + lost.what);
        }
    }
}

Entry *ImapStore::Find(uint32_t uid)
{
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), uid,
                                     [](const Entry &e, uint32_t key) { return e.uid < key; });
    return it != entries_.end() && it->uid == uid ? &*it : nullptr;
}

void ImapStore::Forget(uint32_t uid)
{
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), uid,
                                     [](const Entry &e, uint32_t key) { return e.uid < key; });
    if (it == entries_.end() || it->uid != uid)
        return;
    gone_[uid] = it->time;
    entries_.erase(it);
    // Arrival order is made again at the next listing; until then it is
    // made here, so that a walk goes on in order.
    byArrival_.resize(entries_.size());
    for (size_t i = 0; i < byArrival_.size(); ++i)
        byArrival_[i] = i;
    std::sort(byArrival_.begin(), byArrival_.end(), [&](size_t a, size_t b) {
        return entries_[a].time != entries_[b].time ? entries_[a].time < entries_[b].time
                                                    : entries_[a].uid < entries_[b].uid;
    });
    checkedAt_ = {};
}

void ImapStore::Refresh(bool force, bool unread)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && listed_ && now - checkedAt_ < std::chrono::seconds(1) && (!unread || searched_))
        return;
    Run(true, "listing", [&] {
        // The server tells of new mail in answer to a command: only then
        // does the listing below take it in.
        if (!Ok(mailimap_noop(imap_), "NOOP"))
            Refuse("IMAP " + s_.url + ": the server refused NOOP");
        std::vector<Entry> fresh;
        {
            Set all(mailimap_set_new_interval(1, 0));
            FetchType type(mailimap_fetch_type_new_fetch_att_list_empty());
            for (mailimap_fetch_att *att : {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(),
                                            mailimap_fetch_att_new_internaldate(), mailimap_fetch_att_new_rfc822_size()})
                if (att == nullptr || mailimap_fetch_type_new_fetch_att_list_add(type.get(), att) != MAILIMAP_NO_ERROR)
                    throw std::bad_alloc();
            FetchList answer;
            if (!Ok(mailimap_uid_fetch(imap_, all.get(), type.get(), &answer.list), "UID FETCH"))
                Refuse("IMAP " + s_.url + ": the server refused to list " + s_.folder);
            ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
                const Fetched f = Parse(m);
                if (f.uid != 0)
                    fresh.push_back({f.uid, f.time, f.size, f.seen, nullptr});
            });
        }
        std::sort(fresh.begin(), fresh.end(), [](const Entry &a, const Entry &b) { return a.uid < b.uid; });
        fresh.erase(std::unique(fresh.begin(), fresh.end(), [](const Entry &a, const Entry &b) { return a.uid == b.uid; }),
                    fresh.end());
        if (unread) {
            SearchKey key(mailimap_search_key_new(MAILIMAP_SEARCH_KEY_UNSEEN, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, 0, nullptr, nullptr, nullptr));
            clist *found = nullptr;
            if (!Ok(mailimap_uid_search(imap_, nullptr, key.get(), &found), "UID SEARCH"))
                Refuse("IMAP " + s_.url + ": the server refused to search " + s_.folder);
            unseen_.clear();
            ForEach<uint32_t>(found, [&](uint32_t *uid) { unseen_.push_back(*uid); });
            if (found != nullptr)
                mailimap_search_result_free(found);
            std::sort(unseen_.begin(), unseen_.end());
        }
        // Headers never change under a UID: the known ones are kept.
        size_t k = 0;
        for (Entry &e : fresh) {
            while (k < entries_.size() && entries_[k].uid < e.uid)
                gone_[entries_[k].uid] = entries_[k].time, ++k;
            if (k < entries_.size() && entries_[k].uid == e.uid)
                e.header = entries_[k++].header;
        }
        for (; k < entries_.size(); ++k)
            gone_[entries_[k].uid] = entries_[k].time;
        if (gone_.size() > 100000)
            gone_.clear();
        entries_ = std::move(fresh);
        byArrival_.resize(entries_.size());
        for (size_t i = 0; i < byArrival_.size(); ++i)
            byArrival_[i] = i;
        std::sort(byArrival_.begin(), byArrival_.end(), [&](size_t a, size_t b) {
            return entries_[a].time != entries_[b].time ? entries_[a].time < entries_[b].time
                                                        : entries_[a].uid < entries_[b].uid;
        });
        listed_ = true;
        searched_ = unread;
        checkedAt_ = std::chrono::steady_clock::now();
    });
}

void ImapStore::FetchHeaders(const std::vector<uint32_t> &uids)
{
    Run(true, "header fetch", [&] {
        Set set(mailimap_set_new_empty());
        for (uint32_t uid : uids)
            if (mailimap_set_add_single(set.get(), uid) != MAILIMAP_NO_ERROR)
                throw std::bad_alloc();
        FetchType type(mailimap_fetch_type_new_fetch_att_list_empty());
        mailimap_section *header = mailimap_section_new_header();
        if (header == nullptr)
            throw std::bad_alloc();
        for (mailimap_fetch_att *att :
             {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_body_peek_section_partial(header, 0, kHeaderLimit)})
            if (att == nullptr || mailimap_fetch_type_new_fetch_att_list_add(type.get(), att) != MAILIMAP_NO_ERROR)
                throw std::bad_alloc();
        FetchList answer;
        if (!Ok(mailimap_uid_fetch(imap_, set.get(), type.get(), &answer.list), "UID FETCH"))
            Refuse("IMAP " + s_.url + ": the server refused to fetch headers");
        ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            if (Entry *e = Find(f.uid); e != nullptr && f.hasBody)
                e->header = std::make_shared<const std::string>(f.body != nullptr ? f.body : "", f.bodyLength);
        });
    });
    // A message that went meanwhile has an empty header (ordinary mail);
    // the next listing leaves it out.
    for (uint32_t uid : uids)
        if (Entry *e = Find(uid); e != nullptr && e->header == nullptr) {
            e->header = std::make_shared<const std::string>();
            checkedAt_ = {};
        }
}

std::string ImapStore::Next(const std::string &seed, const FindFilter &filter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    NoSigpipe guard;
    uint32_t seedValidity = 0, seedUid = 0;
    if (!seed.empty() && !ParseId(seed, &seedValidity, &seedUid))
        Fail(MAPI_E_INVALID_MESSAGE);
    // A walk starts with what the server has now.
    Refresh(seed.empty(), filter.unreadOnly);
    const unsigned generation = generation_;
    if (!seed.empty() && seedValidity != validity_)
        Fail(MAPI_E_INVALID_MESSAGE);
    size_t position = 0;
    if (!seed.empty()) {
        if (!filter.fifo) {
            position = static_cast<size_t>(std::upper_bound(entries_.begin(), entries_.end(), seedUid,
                                                            [](uint32_t key, const Entry &e) { return key < e.uid; }) -
                                           entries_.begin());
        } else {
            // A vanished seed stands where it stood, or else beside the
            // nearest earlier UID.
            std::int64_t time = 0;
            if (const Entry *known = Find(seedUid)) {
                time = known->time;
            } else if (const auto gone = gone_.find(seedUid); gone != gone_.end()) {
                time = gone->second;
            } else {
                const auto below = std::lower_bound(entries_.begin(), entries_.end(), seedUid,
                                                    [](const Entry &e, uint32_t key) { return e.uid < key; });
                time = below == entries_.begin() ? 0 : std::prev(below)->time;
            }
            position = static_cast<size_t>(
                std::upper_bound(byArrival_.begin(), byArrival_.end(), 0,
                                 [&](int, size_t i) {
                                     const Entry &e = entries_[i];
                                     return time != e.time ? time < e.time : seedUid < e.uid;
                                 }) -
                byArrival_.begin());
        }
    }
    auto at = [&](size_t i) -> Entry & { return entries_[filter.fifo ? byArrival_[i] : i]; };
    auto unseen = [&](const Entry &e) {
        return !filter.unreadOnly || std::binary_search(unseen_.begin(), unseen_.end(), e.uid);
    };
    for (size_t i = position; i < entries_.size(); ++i) {
        if (!unseen(at(i)))
            continue;
        if (at(i).header == nullptr) {
            // This one and the next candidates, in one command.
            std::vector<uint32_t> batch;
            for (size_t j = i; j < entries_.size() && batch.size() < kHeaderBatch; ++j)
                if (at(j).header == nullptr && unseen(at(j)))
                    batch.push_back(at(j).uid);
            FetchHeaders(batch);
            if (generation != generation_)
                Fail(MAPI_E_INVALID_MESSAGE); // the folder was made anew meanwhile
        }
        if (TypeMatches(MessageClassOfHeader(*at(i).header), filter.type))
            return IdOf(validity_, at(i).uid);
    }
    return {};
}

uint32_t ImapStore::Check(const std::string &id)
{
    uint32_t validity = 0, uid = 0;
    if (!ParseId(id, &validity, &uid))
        Fail(MAPI_E_INVALID_MESSAGE);
    Refresh(false, false);
    if (validity != validity_)
        Fail(MAPI_E_INVALID_MESSAGE);
    // New UIDs only grow, so the chain of saves ends.
    for (auto it = replaced_.find(uid); it != replaced_.end(); it = replaced_.find(uid))
        uid = it->second;
    return uid;
}

void ImapStore::FetchWhole(uint32_t uid, FetchList &answer, Fetched &message)
{
    const uint32_t validity = validity_;
    Run(true, "message fetch", [&] {
        Set set(mailimap_set_new_single(uid));
        FetchType type(mailimap_fetch_type_new_fetch_att_list_empty());
        mailimap_section *whole = mailimap_section_new(nullptr);
        if (whole == nullptr)
            throw std::bad_alloc();
        for (mailimap_fetch_att *att :
             {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(), mailimap_fetch_att_new_internaldate(),
              mailimap_fetch_att_new_rfc822_size(), mailimap_fetch_att_new_body_peek_section(whole)})
            if (att == nullptr || mailimap_fetch_type_new_fetch_att_list_add(type.get(), att) != MAILIMAP_NO_ERROR)
                throw std::bad_alloc();
        FreeFetchList(answer.list);
        answer.list = nullptr;
        if (!Ok(mailimap_uid_fetch(imap_, set.get(), type.get(), &answer.list), "UID FETCH"))
            Refuse("IMAP " + s_.url + ": the server refused to fetch a message");
    });
    if (validity != validity_)
        Fail(MAPI_E_INVALID_MESSAGE); // the connection came back to a new folder
    bool found = false;
    ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
        Fetched f = Parse(m);
        if (f.uid == uid && f.hasBody && !found) {
            message = std::move(f);
            found = true;
        }
    });
    if (!found)
        Fail(MAPI_E_INVALID_MESSAGE);
}

std::unique_ptr<Block> ImapStore::Read(const std::string &id, bool peek, const ReadOptions &options)
{
    std::lock_guard<std::mutex> lock(mutex_);
    NoSigpipe guard;
    const uint32_t uid = Check(id);
    StoredFile entry;
    entry.id = IdOf(validity_, uid);
    entry.inode = uid;
    std::optional<TempMessage> file;
    FetchList answer;
    if (const Entry *known = Find(uid); options.envelopeOnly && known != nullptr) {
        // The header alone, fetched with its batch (or now).
        if (known->header == nullptr)
            FetchHeaders({uid});
        const Entry *e = Find(uid);
        if (e == nullptr || e->header == nullptr || e->header->empty())
            Fail(MAPI_E_INVALID_MESSAGE);
        entry.seen = e->seen;
        entry.time = e->time;
        entry.size = e->size;
        file.emplace(e->header->data(), e->header->size());
    } else {
        Fetched message;
        FetchWhole(uid, answer, message);
        entry.seen = message.seen;
        entry.time = message.time;
        entry.size = message.size;
        file.emplace(message.body != nullptr ? message.body : "", message.bodyLength);
    }
    entry.path = file->Path();
    std::unique_ptr<Block> block = ReadRecord(entry, !entry.seen && peek, options);
    // Marked read only once the read has succeeded; setting a flag again
    // changes nothing, so a lost connection is tried once more.
    if (!peek && !entry.seen) {
        Run(true, "marking read", [&] {
            Set set(mailimap_set_new_single(uid));
            StoreFlags flags(mailimap_store_att_flags_new_add_flags_silent(OneFlag(&mailimap_flag_new_seen)));
            if (!Ok(mailimap_uid_store(imap_, set.get(), flags.get()), "UID STORE"))
                Refuse("IMAP " + s_.url + ": the server refused to mark a message read");
        });
        if (Entry *e = Find(uid))
            e->seen = true;
        const auto it = std::lower_bound(unseen_.begin(), unseen_.end(), uid);
        if (it != unseen_.end() && *it == uid)
            unseen_.erase(it);
    }
    return block;
}

void ImapStore::RequireUidplus(const char *what)
{
    if (imap_ == nullptr)
        Run(true, "connecting", [] {});
    if (!uidplus_)
        Refuse("IMAP " + s_.url + ": the server lacks UIDPLUS, so " + what +
                   " could remove messages other clients marked \\Deleted; refused",
               MAPI_E_NOT_SUPPORTED);
}

std::string ImapStore::Add(const std::string &bytes, bool seen)
{
    std::lock_guard<std::mutex> lock(mutex_);
    NoSigpipe guard;
    RequireUidplus("storing a message");
    uint32_t validity = 0, uid = 0;
    Run(false, "APPEND", [&] {
        FlagList flags(seen ? OneFlag(&mailimap_flag_new_seen) : mailimap_flag_list_new_empty());
        if (!Ok(mailimap_uidplus_append(imap_, s_.folder.c_str(), flags.get(), nullptr, bytes.data(), bytes.size(),
                                        &validity, &uid),
                "APPEND"))
            Refuse("IMAP " + s_.url + ": the server refused to store a message");
    });
    checkedAt_ = {};
    if (uid == 0)
        Refuse("IMAP " + s_.url + ": the server stored a message without saying its UID");
    return IdOf(validity, uid);
}

void ImapStore::RemoveUid(uint32_t uid, bool wasDeleted)
{
    bool marked = false;
    try {
        Set set(mailimap_set_new_single(uid));
        StoreFlags flags(mailimap_store_att_flags_new_add_flags_silent(OneFlag(&mailimap_flag_new_deleted)));
        marked = Ok(mailimap_uid_store(imap_, set.get(), flags.get()), "UID STORE");
        if (marked && Ok(mailimap_uid_expunge(imap_, set.get()), "UID EXPUNGE"))
            return;
    } catch (const Lost &) {
        Drop(false);
        if (!marked || wasDeleted)
            throw;
        // Take the mark back on a new connection, unless the folder changed.
        const uint32_t validity = validity_;
        Connect(false);
        if (validity != validity_)
            throw;
    }
    if (marked && !wasDeleted) {
        Set set(mailimap_set_new_single(uid));
        StoreFlags flags(mailimap_store_att_flags_new_remove_flags_silent(OneFlag(&mailimap_flag_new_deleted)));
        Ok(mailimap_uid_store(imap_, set.get(), flags.get()), "UID STORE");
    }
    Refuse("IMAP " + s_.url + ": the server refused to remove a message; it stays as it was");
}

std::string ImapStore::Save(const std::string &id, const SaveRequest &request, std::optional<ReadInfo> *updated)
{
    std::lock_guard<std::mutex> lock(mutex_);
    NoSigpipe guard;
    const uint32_t uid = Check(id);
    RequireUidplus("saving over a message");
    FetchList answer;
    Fetched message;
    FetchWhole(uid, answer, message);
    const TempMessage file(message.body != nullptr ? message.body : "", message.bodyLength);
    StoredFile entry;
    entry.id = IdOf(validity_, uid);
    entry.path = file.Path();
    entry.seen = message.seen;
    entry.time = message.time;
    entry.size = message.size;
    entry.inode = uid;
    std::string savedId = entry.id;
    SaveOver(
        [&](const MessageWriter &write) -> std::optional<StoredFile> {
            // The new version is written whole before the server sees it.
            const TempMessage out("", 0);
            {
                const int fd = open(out.Path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
                if (fd < 0)
                    Fail(MAPI_E_FAILURE);
                try {
                    write(fd);
                } catch (...) {
                    close(fd);
                    throw;
                }
                close(fd);
            }
            const std::optional<std::string> bytes = ReadRegularFile(out.Path(), std::string().max_size());
            if (!bytes)
                Fail(MAPI_E_FAILURE);
            // Appended with the old flags and arrival time; then exactly
            // the old UID goes. If it cannot, the new one goes again.
            uint32_t newValidity = 0, newUid = 0;
            Run(false, "saving", [&] {
                FlagList flags(mailimap_flag_list_new_empty());
                for (const mailimap_flag *flag : message.flags) {
                    mailimap_flag *copy = CopyFlag(flag);
                    if (copy == nullptr || mailimap_flag_list_add(flags.get(), copy) != MAILIMAP_NO_ERROR)
                        throw std::bad_alloc();
                }
                const mailimap_date_time *d = message.date;
                DateTime date(d != nullptr ? mailimap_date_time_new(d->dt_day, d->dt_month, d->dt_year, d->dt_hour,
                                                                     d->dt_min, d->dt_sec, d->dt_zone)
                                           : mailimap_date_time_new(1, 1, 1970, 0, 0, 0, 0));
                if (!Ok(mailimap_uidplus_append(imap_, s_.folder.c_str(), flags.get(), d != nullptr ? date.get() : nullptr,
                                                bytes->data(), bytes->size(), &newValidity, &newUid),
                        "APPEND"))
                    Refuse("IMAP " + s_.url + ": the server refused the saved message; the old one stays");
                if (newUid == 0 || newValidity != validity_)
                    Refuse("IMAP " + s_.url + ": the server stored the saved message without a UID of this folder; "
                           "the old one stays beside it");
                try {
                    RemoveUid(uid, message.deleted);
                } catch (...) {
                    // The old message stays; so the new one must not.
                    try {
                        if (imap_ == nullptr)
                            Connect(false);
                        if (newValidity == validity_)
                            RemoveUid(newUid, false);
                    } catch (...) {
                        Log("IMAP " + s_.url + ": the saved copy " + IdOf(newValidity, newUid) +
                            " could not be removed again after a failed save");
                    }
                    throw;
                }
            });
            savedId = IdOf(newValidity, newUid);
            Forget(uid);
            replaced_[uid] = newUid;
            StoredFile now = entry;
            now.id = savedId;
            now.inode = newUid;
            now.size = static_cast<std::int64_t>(bytes->size());
            return now;
        },
        entry, *request.record, request.info, request.sender, request.resolve, updated);
    return savedId;
}

void ImapStore::Remove(const std::string &id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    NoSigpipe guard;
    const uint32_t uid = Check(id);
    RequireUidplus("deleting");
    bool found = false, deleted = false;
    Run(true, "flag fetch", [&] {
        Set set(mailimap_set_new_single(uid));
        FetchType type(mailimap_fetch_type_new_fetch_att_list_empty());
        for (mailimap_fetch_att *att : {mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags()})
            if (att == nullptr || mailimap_fetch_type_new_fetch_att_list_add(type.get(), att) != MAILIMAP_NO_ERROR)
                throw std::bad_alloc();
        FetchList answer;
        if (!Ok(mailimap_uid_fetch(imap_, set.get(), type.get(), &answer.list), "UID FETCH"))
            Refuse("IMAP " + s_.url + ": the server refused to fetch a message's flags");
        ForEach<mailimap_msg_att>(answer.list, [&](mailimap_msg_att *m) {
            const Fetched f = Parse(m);
            if (f.uid == uid) {
                found = true;
                deleted = f.deleted;
            }
        });
    });
    if (!found)
        Fail(MAPI_E_INVALID_MESSAGE);
    Run(false, "deleting", [&] { RemoveUid(uid, deleted); });
    Forget(uid);
}

std::string ImapStore::SentFolder()
{
    if (sent_)
        return *sent_;
    std::string found;
    Run(true, "LIST", [&] {
        clist *list = nullptr;
        if (!Ok(mailimap_list(imap_, "", "*", &list), "LIST"))
            return;
        ForEach<mailimap_mailbox_list>(list, [&](mailimap_mailbox_list *mailbox) {
            if (!found.empty() || mailbox->mb_flag == nullptr)
                return;
            ForEach<mailimap_mbx_list_oflag>(mailbox->mb_flag->mbf_oflags, [&](mailimap_mbx_list_oflag *flag) {
                if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT && flag->of_flag_ext != nullptr &&
                    SameText(flag->of_flag_ext, "Sent"))
                    found = mailbox->mb_name;
            });
        });
        if (list != nullptr)
            mailimap_list_result_free(list);
    });
    if (found.empty())
        found = s_.sentFolder;
    sent_ = found;
    return found;
}

void ImapStore::KeepSent(const std::string &bytes)
{
    // The message has gone out: a copy that cannot be kept is logged, and
    // the send still succeeds, so that nobody sends it twice.
    std::lock_guard<std::mutex> lock(mutex_);
    NoSigpipe guard;
    try {
        const std::string folder = SentFolder();
        if (folder.empty()) {
            Log("IMAP " + s_.url + ": the server marks no folder \\Sent and the profile names no sentfolder; "
                "no copy of the sent message was kept");
            return;
        }
        Run(false, "APPEND", [&] {
            FlagList flags(OneFlag(&mailimap_flag_new_seen));
            if (!Ok(mailimap_append(imap_, folder.c_str(), flags.get(), nullptr, bytes.data(), bytes.size()), "APPEND"))
                Log("IMAP " + s_.url + ": the server refused the copy of a sent message in " + folder);
        });
    } catch (const MapiError &) {
        Log("IMAP " + s_.url + ": no copy of the sent message was kept");
    }
}

} // namespace

std::shared_ptr<MailStore> OpenImapStore(const Profile &profile, const std::string &password)
{
    auto store = std::make_shared<ImapStore>(SettingsOf(profile, password));
    store->Open();
    return store;
}

std::uint64_t ImapCommandCount() { return g_commands.load(); }

} // namespace kmp
