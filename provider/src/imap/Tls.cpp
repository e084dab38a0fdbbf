#include "imap/Tls.h"

#include <gnutls/gnutls.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kelvra_provider::imap {

namespace {

using Clock = std::chrono::steady_clock;

struct Tls {
    int fd = -1;
    int flags = 0;                // the socket's own, given back when the handshake fails
    int cancelPipe[2] = {-1, -1}; // a byte in it ends every wait
    std::atomic<bool> cancelled{false};
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_session_t session = nullptr;

    Tls() = default;
    Tls(const Tls &) = delete;
    Tls &operator=(const Tls &) = delete;
    ~Tls()
    {
        if (session != nullptr)
            gnutls_deinit(session);
        if (credentials != nullptr)
            gnutls_certificate_free_credentials(credentials);
        for (const int end : cancelPipe)
            if (end >= 0)
                close(end);
    }
};

Tls &Of(mailstream_low *s) { return *static_cast<Tls *>(s->data); }

// Waits until the socket is ready for `events` (or says why it never will:
// poll reports an error or a hang-up as ready, and the next call sees it).
// False when `deadline` passed or the layer was cancelled first.
bool WaitFor(const Tls &t, short events, Clock::time_point deadline)
{
    pollfd fds[2] = {{t.fd, events, 0}, {t.cancelPipe[0], POLLIN, 0}};
    while (!t.cancelled) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        const int n = poll(fds, 2, static_cast<int>(std::min<long long>(left, 60000)));
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            return fds[1].revents == 0;
    }
    return false;
}

// The end of one wait: the layer's timeout from now (a minute when none was
// set). Each wait has the whole bound: a record that trickles in is as many
// waits, and the call's deadline (the guard's cancel) ends them.
Clock::time_point WaitEnd(const mailstream_low *s)
{
    return Clock::now() + std::chrono::seconds(s->timeout != 0 ? static_cast<long>(s->timeout) : 60L);
}

ssize_t Read(mailstream_low *s, void *buffer, size_t count)
{
    Tls &t = Of(s);
    while (!t.cancelled) {
        const ssize_t n = gnutls_record_recv(t.session, buffer, count);
        if (n >= 0)
            return n; // 0: the server ended TLS
        if (n == GNUTLS_E_PREMATURE_TERMINATION)
            return 0; // it closed the connection without ending TLS: the end all the same
        if (n != GNUTLS_E_AGAIN && n != GNUTLS_E_INTERRUPTED)
            return -1;
        if (!WaitFor(t, POLLIN, WaitEnd(s)))
            return -1;
    }
    return -1;
}

ssize_t Write(mailstream_low *s, const void *buffer, size_t count)
{
    Tls &t = Of(s);
    while (!t.cancelled) {
        // After GNUTLS_E_AGAIN the same bytes are given again, as GnuTLS asks.
        const ssize_t n = gnutls_record_send(t.session, buffer, count);
        if (n >= 0)
            return n;
        if (n != GNUTLS_E_AGAIN && n != GNUTLS_E_INTERRUPTED)
            return -1;
        if (!WaitFor(t, POLLOUT, WaitEnd(s)))
            return -1;
    }
    return -1;
}

int Close(mailstream_low *s)
{
    Tls &t = Of(s);
    if (t.fd < 0)
        return 0;
    if (!t.cancelled)
        gnutls_bye(t.session, GNUTLS_SHUT_WR); // on the non-blocking socket: never waits
    close(t.fd);
    t.fd = -1;
    return 0;
}

int Fd(mailstream_low *s) { return Of(s).fd; }

void Free(mailstream_low *s)
{
    Close(s);
    delete &Of(s);
    free(s); // libetpan's mailstream_low_new allocates with malloc
}

// From any thread: only an atomic store and a write to a pipe.
void Cancel(mailstream_low *s)
{
    Tls &t = Of(s);
    t.cancelled = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(t.cancelPipe[1], &byte, 1);
}

struct mailstream_cancel *GetCancel(mailstream_low *) { return nullptr; }

// The server's chain as libetpan hands it out: DER blocks in MMAPStrings.
carray *Chain(mailstream_low *s)
{
    unsigned count = 0;
    const gnutls_datum_t *peers = gnutls_certificate_get_peers(Of(s).session, &count);
    if (peers == nullptr || count == 0)
        return nullptr;
    carray *chain = carray_new(count);
    for (unsigned i = 0; chain != nullptr && i < count; ++i) {
        MMAPString *der = mmap_string_new_len(reinterpret_cast<const char *>(peers[i].data), peers[i].size);
        if (der == nullptr || carray_add(chain, der, nullptr) != 0) {
            if (der != nullptr)
                mmap_string_free(der);
            mailstream_certificate_chain_free(chain);
            chain = nullptr;
        }
    }
    return chain;
}

mailstream_low_driver kDriver = {&Read, &Write, &Close, &Fd, &Free, &Cancel, &GetCancel, &Chain, nullptr, nullptr, nullptr};

} // namespace

mailstream_low *OpenTls(int fd, const std::string &serverName, Clock::time_point deadline, std::string *why)
{
    auto t = std::make_unique<Tls>();
    t->fd = fd;
    t->flags = fcntl(fd, F_GETFL);
    const auto failed = [&](const std::string &reason) -> mailstream_low * {
        *why = reason;
        if (t->flags >= 0)
            fcntl(fd, F_SETFL, t->flags); // still the caller's socket, as it was
        return nullptr;
    };
    if (t->flags < 0 || pipe2(t->cancelPipe, O_CLOEXEC | O_NONBLOCK) != 0 ||
        fcntl(fd, F_SETFL, t->flags | O_NONBLOCK) != 0)
        return failed(std::string("cannot prepare the socket: ") + std::strerror(errno));
    int rc = gnutls_certificate_allocate_credentials(&t->credentials);
    if (rc >= 0)
        rc = gnutls_init(&t->session, GNUTLS_CLIENT | GNUTLS_NONBLOCK);
    if (rc >= 0)
        rc = gnutls_set_default_priority(t->session);
    if (rc >= 0)
        rc = gnutls_credentials_set(t->session, GNUTLS_CRD_CERTIFICATE, t->credentials);
    if (rc >= 0 && !serverName.empty())
        rc = gnutls_server_name_set(t->session, GNUTLS_NAME_DNS, serverName.data(), serverName.size());
    if (rc < 0)
        return failed(gnutls_strerror(rc));
    gnutls_transport_set_int(t->session, fd);
    while ((rc = gnutls_handshake(t->session)) < 0) {
        if (gnutls_error_is_fatal(rc))
            return failed(gnutls_strerror(rc));
        if (!WaitFor(*t, gnutls_record_get_direction(t->session) != 0 ? POLLOUT : POLLIN, deadline))
            return failed("the server did not finish it in time");
    }
    mailstream_low *low = mailstream_low_new(t.get(), &kDriver);
    if (low == nullptr)
        return failed("out of memory");
    t.release();
    return low;
}

} // namespace kelvra_provider::imap
