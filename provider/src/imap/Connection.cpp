#include "imap/Connection.h"

#include "Addresses.h"
#include "Text.h"
#include "Url.h"
#include "imap/Tls.h"

#include <curl/curl.h>
#include <glib.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace kelvra_provider::imap {

namespace {

std::atomic<std::uint64_t> g_commands{0};

// A TCP connection within `milliseconds`; -1 when none could be made.
int ConnectTcp(const Settings &s, int milliseconds, std::string *why)
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
                const int ready = poll(&p, 1, milliseconds);
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
std::string ServerName(const Settings &s) { return IsAddress(s.address) ? std::string() : s.address; }

// The TLS layer checks no certificate: the chain it received is checked
// here, against the system's trust and the profile's
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

} // namespace

std::optional<std::string> ImapFolderName(const std::string &utf8)
{
    if (utf8.empty())
        return std::string();
    // glibc's iconv speaks IMAP's modified UTF-7 ("&" escaped as "&-").
    gsize written = 0;
    gchar *converted = g_convert(utf8.data(), static_cast<gssize>(utf8.size()), "UTF-7-IMAP", "UTF-8", nullptr,
                                 &written, nullptr);
    if (converted == nullptr)
        return std::nullopt;
    std::string out(converted, written);
    g_free(converted);
    return out;
}

Settings SettingsOf(const Profile &profile, const std::string &password)
{
    Settings s;
    s.url = profile.mailbox;
    const Url url(profile.mailbox);
    if (!url.Valid())
        Refuse("the profile's mailbox " + profile.mailbox + " is not an IMAP URL");
    const std::string scheme = url.Part(CURLUPART_SCHEME);
    s.host = url.Part(CURLUPART_HOST);
    const std::string port = url.Part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    s.user = url.Part(CURLUPART_USER, CURLU_URLDECODE);
    std::string path = url.Part(CURLUPART_PATH, CURLU_URLDECODE);
    if ((scheme != "imap" && scheme != "imaps") || s.host.empty())
        Refuse("the profile's mailbox " + profile.mailbox + " is not an imap:// or imaps:// URL");
    s.implicitTls = scheme == "imaps";
    const bool plain = profile.plainLoopback && IsLoopbackHost(s.host) && !s.implicitTls;
    s.startTls = !s.implicitTls && !plain;
    s.address = s.host.size() > 2 && s.host.front() == '[' ? s.host.substr(1, s.host.size() - 2) : s.host;
    s.port = static_cast<uint16_t>(std::atoi(port.c_str()));
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    // Folder names outside ASCII go to the server in modified UTF-7.
    const std::optional<std::string> folder = ImapFolderName(path.empty() ? "INBOX" : path);
    const std::optional<std::string> sent = ImapFolderName(profile.sentFolder);
    if (!folder || !sent)
        Refuse("the profile's folder names are not UTF-8", MAPI_E_LOGON_FAILURE);
    s.folder = *folder;
    if (s.user.empty())
        s.user = profile.user;
    s.signIn = SignInOf(profile, password, profile.mailbox, s.user);
    s.sentFolder = *sent;
    s.caFile = profile.caFile;
    s.connectTimeout = profile.connectTimeout;
    s.stallTimeout = profile.stallTimeout;
    s.timeout = profile.sendTimeout;
    if (s.user.empty())
        Refuse("the profile's mailbox " + profile.mailbox + " names no user", MAPI_E_LOGON_FAILURE);
    return s;
}

template <class Fail>
void Connection::Login(const Fail &fail)
{
    // The secret of this login: a password command runs now.
    const Secret secret = LoginSecret(s_.signIn);
    // The server's own words of a refusal, when it gave some.
    const auto said = [this] {
        const char *text = imap_->imap_response;
        return text != nullptr && *text != '\0' ? std::string(": \"") + OneLine(text) + "\"" : std::string();
    };
    switch (s_.signIn.auth) {
    case Auth::XOAuth2:
        if (!Ok(mailimap_oauth2_authenticate(imap_, s_.user.c_str(), secret.c_str()), "AUTHENTICATE XOAUTH2"))
            fail("the server refused the access token for " + s_.user + said(), MAPI_E_LOGON_FAILURE);
        break;
    case Auth::OAuthBearer:
        // libetpan speaks XOAUTH2 only; OAUTHBEARER would need SASL that it lacks.
        fail("auth = oauthbearer is not offered for IMAP (use xoauth2)", MAPI_E_LOGON_FAILURE);
        break;
    default:
        // AUTHENTICATE PLAIN where the server offers it; LOGIN only where
        // it does not say LOGINDISABLED.
        if (s_.signIn.auth != Auth::Login && mailimap_has_authentication(imap_, "PLAIN")) {
            if (!Ok(AuthenticatePlain(secret.c_str()), "AUTHENTICATE PLAIN"))
                fail("login refused for " + s_.user + said(), MAPI_E_LOGON_FAILURE);
        } else if (mailimap_has_extension(imap_, "LOGINDISABLED")) {
            fail(std::string("the server disables LOGIN") +
                     (s_.signIn.auth == Auth::Login ? " (auth = login)" : " and offers no AUTHENTICATE PLAIN"),
                 MAPI_E_LOGON_FAILURE);
        } else if (!Ok(mailimap_login(imap_, s_.user.c_str(), secret.c_str()), "LOGIN")) {
            fail("login refused for " + s_.user + said(), MAPI_E_LOGON_FAILURE);
        }
    }
}

int Connection::AuthenticatePlain(const std::string &secret)
{
    // "\0user\0password", in base64; what is written is kept out of
    // libetpan's log (privacy 0).
    std::string plain(1, '\0');
    plain += s_.user;
    plain += '\0';
    plain += secret;
    gchar *encoded = g_base64_encode(reinterpret_cast<const guchar *>(plain.data()), plain.size());
    std::fill(plain.begin(), plain.end(), '\0');
    const std::string answer = std::string(encoded) + "\r\n";
    g_free(encoded);
    const bool initial = mailimap_has_extension(imap_, "SASL-IR") != 0;
    mailstream *stream = imap_->imap_stream;
    auto send = [&](const std::string &text) {
        mailstream_set_privacy(stream, 0);
        const bool sent = mailstream_write(stream, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                          mailstream_flush(stream) == 0;
        mailstream_set_privacy(stream, 1);
        return sent;
    };
    int r = mailimap_send_current_tag(imap_);
    if (r != MAILIMAP_NO_ERROR)
        return r;
    if (!send(initial ? "AUTHENTICATE PLAIN " + answer : std::string("AUTHENTICATE PLAIN\r\n")))
        return MAILIMAP_ERROR_STREAM;
    if (mailimap_read_line(imap_) == nullptr)
        return MAILIMAP_ERROR_STREAM;
    if (!initial && imap_->imap_stream_buffer->len > 0 && imap_->imap_stream_buffer->str[0] == '+') {
        // The server's empty challenge; the answer, then its verdict.
        if (!send(answer) || mailimap_read_line(imap_) == nullptr)
            return MAILIMAP_ERROR_STREAM;
    }
    mailimap_response *response = nullptr;
    r = mailimap_parse_response(imap_, &response);
    if (r != MAILIMAP_NO_ERROR)
        return r;
    const mailimap_response_done *done = response->rsp_resp_done;
    const bool ok = done != nullptr && done->rsp_type == MAILIMAP_RESP_DONE_TYPE_TAGGED &&
                    done->rsp_data.rsp_tagged->rsp_cond_state->rsp_type == MAILIMAP_RESP_COND_STATE_OK;
    mailimap_response_free(response);
    if (!ok)
        return MAILIMAP_ERROR_LOGIN;
    imap_->imap_state = MAILIMAP_STATE_AUTHENTICATED;
    return MAILIMAP_NO_ERROR;
}

bool Connection::Ok(int result, const char *command)
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
    case MAILIMAP_ERROR_SSL:
        if (guard_.End() != StreamEnd::None)
            throw Lost{guard_.Words(), command, guard_.End()};
        throw Lost{"the connection was lost", std::string(command) + ", libetpan " + std::to_string(result)};
    default: return false;
    }
}

void Connection::Drop(bool logout)
{
    if (imap_ == nullptr)
        return;
    if (logout && imap_->imap_stream != nullptr && guard_.End() == StreamEnd::None) {
        // A goodbye is not waited for long.
        const bool armed = guard_.Armed();
        if (!armed)
            guard_.Arm(StreamGuard::Clock::now() + std::chrono::seconds(std::min(5L, s_.stallTimeout)), s_.stallTimeout);
        mailimap_logout(imap_);
        if (!armed)
            guard_.Disarm();
    }
    guard_.Forget();
    mailimap_free(imap_);
    imap_ = nullptr;
}

Connection::Bound::Bound(Connection &c) : c_(c) { c_.Rearm(); }

void Connection::Rearm()
{
    if (guard_.Spoiled())
        Drop(false);
    guard_.Arm(StreamGuard::Clock::now() + std::chrono::seconds(s_.timeout), s_.timeout);
}

void Connection::LostDuring(const Lost &lost, const char *what) const
{
    Refuse("IMAP " + s_.url + ": " + lost.what + " during " + what + " (" + lost.command + ")");
}

void Connection::Connect(bool logon)
{
    Drop(false);
    // Failing to come back is MAPI_E_FAILURE, whatever the reason; only a
    // logon reports a refused login as such.
    auto fail = [&](const std::string &why, ULONG code = MAPI_E_FAILURE) {
        Drop(false);
        Refuse("IMAP " + s_.url + ": " + why, logon ? code : MAPI_E_FAILURE);
    };
    std::string why;
    // Connecting within its own bound, and within the call's.
    long milliseconds = s_.connectTimeout * 1000;
    if (guard_.Armed())
        milliseconds = std::min<long>(milliseconds, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                        guard_.Deadline() - StreamGuard::Clock::now())
                                                        .count());
    if (milliseconds <= 0)
        fail("the call ran out of time (the profile's timeout) before the server could be reached again");
    const int fd = ConnectTcp(s_, static_cast<int>(milliseconds), &why);
    if (fd < 0)
        fail("cannot connect: " + why);
    // The handshake within the stall bound, and within the call's.
    const auto handshakeBy = [&] {
        const auto by = StreamGuard::Clock::now() + std::chrono::seconds(std::max(1L, s_.stallTimeout));
        return guard_.Armed() ? std::min(by, guard_.Deadline()) : by;
    };
    mailstream *stream = nullptr;
    if (s_.implicitTls) {
        mailstream_low *tls = OpenTls(fd, ServerName(s_), handshakeBy(), &why);
        if (tls == nullptr) {
            close(fd);
            fail("no TLS connection: " + why);
        }
        mailstream_low_set_timeout(tls, s_.stallTimeout);
        stream = mailstream_new(tls, 8192);
        if (stream == nullptr) {
            mailstream_low_free(tls); // and the socket with it
            fail("cannot open the connection");
        }
    } else {
        stream = mailstream_socket_open_timeout(fd, s_.stallTimeout);
        if (stream == nullptr) {
            close(fd);
            fail("cannot open the connection");
        }
    }
    guard_.Wrap(stream, s_.stallTimeout);
    imap_ = mailimap_new(0, nullptr);
    if (imap_ == nullptr) {
        guard_.Forget();
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
            const int socket = mailstream_low_get_fd(mailstream_get_low(imap_->imap_stream));
            mailstream_low *tls = OpenTls(socket, ServerName(s_), handshakeBy(), &why);
            if (tls == nullptr)
                fail("the TLS handshake failed: " + why);
            guard_.Replace(imap_->imap_stream, tls); // the socket stays open, under TLS now
        }
        if ((s_.implicitTls || s_.startTls) && !TrustedCertificate(imap_->imap_stream, s_, &why))
            fail("certificate refused: " + why);
        // What the server offers for logging in, when its greeting (or
        // its answer to STARTTLS) did not say.
        if (imap_->imap_connection_info == nullptr || imap_->imap_connection_info->imap_capability == nullptr ||
            s_.startTls) {
            mailimap_capability_data *offered = nullptr;
            if (Ok(mailimap_capability(imap_, &offered), "CAPABILITY") && offered != nullptr)
                mailimap_capability_data_free(offered);
        }
        Login(fail);
        // The capabilities after login are the ones that count (UIDPLUS).
        mailimap_capability_data *capabilities = nullptr;
        if (Ok(mailimap_capability(imap_, &capabilities), "CAPABILITY") && capabilities != nullptr)
            mailimap_capability_data_free(capabilities);
        uidplus_ = mailimap_has_uidplus(imap_) != 0;
        condstore_ = mailimap_has_condstore(imap_) != 0;
        qresync_ = condstore_ && mailimap_has_qresync(imap_) != 0 && mailimap_has_enable(imap_) != 0 && EnableQresync();
        if (!Ok(mailimap_select(imap_, s_.folder.c_str()), "SELECT"))
            fail("no folder " + s_.folder);
    } catch (const Lost &lost) {
        fail(lost.what + " while connecting (" + lost.command + ")");
    }
    const uint32_t validity = imap_->imap_selection_info != nullptr ? imap_->imap_selection_info->sel_uidvalidity : 0;
    if (validity != validity_) {
        validity_ = validity;
        if (onNewFolder)
            onNewFolder();
    }
}

bool Connection::EnableQresync()
{
    clist *list = clist_new();
    char *name = strdup("QRESYNC");
    struct mailimap_capability *capability = name != nullptr ? mailimap_capability_new(MAILIMAP_CAPABILITY_NAME, nullptr, name) : nullptr;
    if (list == nullptr || capability == nullptr || clist_append(list, capability) != 0) {
        if (capability != nullptr)
            mailimap_capability_free(capability);
        else
            free(name);
        if (list != nullptr)
            clist_free(list);
        throw std::bad_alloc();
    }
    mailimap_capability_data *asked = mailimap_capability_data_new(list);
    if (asked == nullptr) {
        mailimap_capability_free(capability);
        clist_free(list);
        throw std::bad_alloc();
    }
    mailimap_capability_data *enabled = nullptr;
    const bool ok = Ok(mailimap_enable(imap_, asked, &enabled), "ENABLE");
    mailimap_capability_data_free(asked);
    if (enabled != nullptr)
        mailimap_capability_data_free(enabled);
    return ok;
}

std::uint64_t CommandCount() { return g_commands.load(); }

} // namespace kelvra_provider::imap
