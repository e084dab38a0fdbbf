// Loopback servers for tests and benchmarks: a free port, and a server
// process run with an argument vector for the life of an object.
#pragma once

#include "Argv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace loopback {

inline int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// A socket listening on 127.0.0.1 (`port`, or 0 for a free one) that
// answers nothing: connections wait in its backlog until a test accepts
// them. Closed with the object.
class Listener {
public:
    explicit Listener(int port = 0) : fd_(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        socklen_t length = sizeof a;
        listening_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                     listen(fd_, 4) == 0 && getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length) == 0;
        port_ = ntohs(a.sin_port);
    }
    ~Listener()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    bool Listening() const { return listening_; }
    int Port() const { return port_; }
    int Fd() const { return fd_; }

private:
    int fd_;
    int port_ = 0;
    bool listening_ = false;
};

// A Unix socket listening at `path` that answers nothing, as a session bus
// that hangs does: connections wait in its backlog. Closed and removed
// with the object.
class UnixListener {
public:
    explicit UnixListener(std::string path) : path_(std::move(path)), fd_(socket(AF_UNIX, SOCK_STREAM, 0))
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        listening_ = fd_ >= 0 && path_.size() < sizeof a.sun_path;
        if (listening_) {
            path_.copy(a.sun_path, path_.size());
            unlink(path_.c_str());
            listening_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(fd_, 16) == 0;
        }
    }
    ~UnixListener()
    {
        if (fd_ >= 0)
            close(fd_);
        unlink(path_.c_str());
    }
    UnixListener(const UnixListener &) = delete;
    UnixListener &operator=(const UnixListener &) = delete;

    bool Listening() const { return listening_; }
    // As DBUS_SESSION_BUS_ADDRESS names it.
    std::string BusAddress() const { return "unix:path=" + path_; }

private:
    std::string path_;
    int fd_;
    bool listening_ = false;
};

inline bool Accepts(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Started, and waited for until it accepts connections (ten seconds at most).
class Server {
public:
    Server(int port, std::vector<std::string> args)
    {
        const std::vector<char *> argv = provider_test::Argv(args);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
        for (int i = 0; i < 200 && pid_ != 0 && !Accepts(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~Server()
    {
        if (pid_ == 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    bool Running() const { return pid_ != 0; }

private:
    pid_t pid_ = 0;
};

} // namespace loopback
