// A real Dovecot for tests and benchmarks, started on loopback with a
// configuration of its own in a temporary folder: one passwd-file user, a
// Maildir under the same folder, plain login on loopback only (Dovecot's
// rule for unsecured connections) and a second listener with TLS, whose
// certificate is made here with openssl. It runs as the current user, or
// as nobody when the tests run as root (Dovecot never gives mail to root),
// and it is stopped with this object, or when the test program dies.
#pragma once

#include "Loopback.h"
#include "Argv.h"
#include "ProgramOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace dovecot {

namespace fs = std::filesystem;

// Runs a program and waits for it; its exit status (-1 when it could not run).
inline int RunQuietly(std::vector<std::string> args)
{
    const std::vector<char *> argv = provider_test::Argv(args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class Server {
public:
    const std::string user = "tester";
    const std::string password = "secret";
    const std::string oauthKey = "kelvra-test-signing-key";

    // An access token for the user that this server accepts (or, signed
    // with another key, refuses): a JSON web token, HS256, made by Python's
    // own hmac and base64 modules.
    std::string Token(const std::string &key = "") const
    {
        const std::string script =
            "import base64, hashlib, hmac, json, sys, time\n"
            "b = lambda d: base64.urlsafe_b64encode(d).rstrip(b'=').decode()\n"
            "now = int(time.time())\n"
            "head = b(b'{\"alg\":\"HS256\",\"typ\":\"JWT\"}') + '.' + "
            "b(json.dumps({'sub': sys.argv[1], 'iat': now, 'exp': now + 3600}).encode())\n"
            "print(head + '.' + b(hmac.new(sys.argv[2].encode(), head.encode(), hashlib.sha256).digest()))\n";
        const fs::path file = dir_ / "token.py";
        std::ofstream(file) << script;
        const std::string out =
            provider_test::ProgramOutput({"/usr/bin/python3", file.string(), user, key.empty() ? oauthKey : key});
        return out.substr(0, out.find('\n'));
    }

    // `extra`: more configuration lines, after the test's own.
    explicit Server(const std::string &extra = "")
    {
        char pattern[] = "/tmp/kelvra-dovecot-XXXXXX"; // short: Dovecot's sockets live here
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("no temporary folder for Dovecot");
        dir_ = pattern;
        chmod(dir_.c_str(), 0755);
        plainPort = loopback::FreePort();
        tlsPort = loopback::FreePort();
        while (tlsPort == plainPort)
            tlsPort = loopback::FreePort();
        certificate = dir_ / "cert.pem";
        if (RunQuietly({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout",
                        (dir_ / "key.pem").string(), "-out", certificate.string()}) != 0)
            throw std::runtime_error("openssl could not make a certificate");

        // Root runs the mail as nobody; anyone else as themselves.
        const bool root = geteuid() == 0;
        const passwd *account = root ? getpwnam("nobody") : getpwuid(getuid());
        if (account == nullptr)
            throw std::runtime_error("no account to run Dovecot's mail as");
        const std::string login = account->pw_name;
        const group *g = getgrgid(account->pw_gid);
        const std::string groupName = g != nullptr ? g->gr_name : std::to_string(account->pw_gid);
        home = dir_ / "home" / user;
        fs::create_directories(home);
        if (root) {
            chown((dir_ / "home").c_str(), account->pw_uid, account->pw_gid);
            chown(home.c_str(), account->pw_uid, account->pw_gid);
        }
        std::ofstream(dir_ / "passwd") << user << ":{PLAIN}" << password << "\n";
        // OAuth 2 tokens are validated locally: JSON web tokens signed with
        // oauthKey (HS256), whose "sub" is the user (see Token).
        for (const char *folder : {"keys/shared/default/HS256", "keys/default/HS256"}) {
            fs::create_directories(dir_ / folder);
            std::ofstream(dir_ / folder / "default") << "a2VsdnJhLXRlc3Qtc2lnbmluZy1rZXk="; // oauthKey, in base64
        }
        std::ofstream(dir_ / "oauth2.conf") << "introspection_mode = local\n"
                                            << "local_validation_key_dict = fs:posix:prefix=" << dir_.string()
                                            << "/keys/\nusername_attribute = sub\n";
        const std::string d = dir_.string();
        std::ofstream(dir_ / "dovecot.conf")
            << "base_dir = " << d << "/run\n"
            << "state_dir = " << d << "/state\n"
            << "log_path = " << d << "/dovecot.log\n"
            << "protocols = imap\n"
            << "listen = 127.0.0.1\n"
            << "ssl = yes\n"
            << "ssl_cert = <" << d << "/cert.pem\n"
            << "ssl_key = <" << d << "/key.pem\n"
            << "auth_mechanisms = plain xoauth2 oauthbearer\n"
            << "auth_failure_delay = 0\n"
            << "shutdown_clients = yes\n"
            << "default_internal_user = " << login << "\n"
            << "default_internal_group = " << groupName << "\n"
            << "default_login_user = " << login << "\n"
            << "first_valid_uid = 1\n"
            << "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " << d << "/oauth2.conf\n}\n"
            << "passdb {\n  driver = passwd-file\n  mechanisms = plain\n  args = scheme=PLAIN username_format=%u " << d
            << "/passwd\n}\n"
            << "userdb {\n  driver = static\n  args = uid=" << account->pw_uid << " gid=" << account->pw_gid
            << " home=" << d << "/home/%u\n}\n"
            << "mail_location = maildir:~/Maildir\n"
            << "namespace inbox {\n  inbox = yes\n  separator = /\n"
            << "  mailbox Sent {\n    special_use = \\Sent\n    auto = create\n  }\n}\n"
            << "protocol imap {\n  mail_max_userip_connections = 200\n}\n"
            << "service imap-login {\n  chroot =\n"
            << "  inet_listener imap {\n    address = 127.0.0.1\n    port = " << plainPort << "\n  }\n"
            << "  inet_listener imaps {\n    address = 127.0.0.1\n    port = " << tlsPort << "\n    ssl = yes\n  }\n}\n"
            << "service auth {\n  chroot =\n}\n"
            // No growing delay after the wrong-password tests.
            << "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n"
            << extra;
        Start();
    }

    ~Server()
    {
        Stop();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    void Start()
    {
        if (pid_ != 0)
            return;
        Spawn();
        // A server that exits at once could not take its ports yet (the
        // processes of one killed a moment ago may still hold them, on a
        // loaded machine): it is started again, within the same bound.
        for (int i = 0; i < 200 && !(loopback::Accepts(plainPort) && loopback::Accepts(tlsPort)); ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                Spawn();
            usleep(50000);
        }
        // Accepting is not yet serving: its login processes greet.
        for (int i = 0; i < 100 && !Greets(); ++i)
            usleep(50000);
        if (!loopback::Accepts(plainPort))
            throw std::runtime_error("Dovecot did not start; see " + (dir_ / "dovecot.log").string());
    }

    // Whether a connection to the plain port is greeted within a second.
    bool Greets() const
    {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(plainPort));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char greeting[4] = {};
        bool greeted = false;
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            pollfd p{s, POLLIN, 0};
            greeted = poll(&p, 1, 1000) == 1 && recv(s, greeting, sizeof greeting, 0) == 4 &&
                      std::string(greeting, 4) == "* OK";
        }
        close(s);
        return greeted;
    }

    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        // The processes that served connections go too: a stopped server
        // drops its clients.
        kill(-pid_, SIGKILL);
        pid_ = 0;
        for (int i = 0; i < 100 && loopback::Accepts(plainPort); ++i)
            usleep(20000);
    }

    // Starts the server's master process (pid_) in a group of its own.
    void Spawn()
    {
        // Made before the fork: the child of a threaded program allocates
        // nothing (another thread may have held the allocator's lock).
        const std::string conf = (dir_ / "dovecot.conf").string();
        pid_ = fork();
        if (pid_ == 0) {
            // Gone with the test program, however it ends.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            setpgid(0, 0); // its processes are one group, stopped together
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            execl("/usr/sbin/dovecot", "dovecot", "-F", "-c", conf.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
    }

    // Ends every process of the server at once, as a crash does.
    void Kill()
    {
        if (pid_ <= 0)
            return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
        for (int i = 0; i < 500 && (loopback::Accepts(plainPort) || loopback::Accepts(tlsPort)); ++i)
            usleep(20000);
    }

    std::string Log() const
    {
        std::ifstream in(dir_ / "dovecot.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // imap://tester@127.0.0.1:PORT/FOLDER and imaps://..., for a profile.
    std::string PlainUrl(const std::string &folder = "INBOX") const
    {
        return "imap://" + user + "@127.0.0.1:" + std::to_string(plainPort) + "/" + folder;
    }
    std::string TlsUrl(const std::string &folder = "INBOX") const
    {
        return "imaps://" + user + "@127.0.0.1:" + std::to_string(tlsPort) + "/" + folder;
    }

    int plainPort = 0, tlsPort = 0;
    fs::path certificate, home;

private:
    fs::path dir_;
    pid_t pid_ = 0;
};

} // namespace dovecot
