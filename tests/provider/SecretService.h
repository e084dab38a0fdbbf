// A real Secret Service for tests: a private D-Bus session bus and
// gnome-keyring-daemon on it, its login keyring made and unlocked in a
// folder of the test's own. While it lives, DBUS_SESSION_BUS_ADDRESS names
// that bus; both daemons are stopped with it.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace provider_test {

class SecretService {
public:
    explicit SecretService(const std::filesystem::path &folder)
    {
        namespace fs = std::filesystem;
        const fs::path home = folder / "keyring-home", runtime = folder / "keyring-run";
        fs::create_directories(home);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        saved_ = Get("DBUS_SESSION_BUS_ADDRESS");
        // The bus: its address and process on one line each.
        const std::string command = "dbus-daemon --session --fork --print-address=1 --print-pid=1";
        if (FILE *p = popen(command.c_str(), "r")) {
            char line[512] = {};
            if (std::fgets(line, sizeof line, p) != nullptr)
                address_ = std::string(line).substr(0, std::string(line).find('\n'));
            if (std::fgets(line, sizeof line, p) != nullptr)
                bus_ = static_cast<pid_t>(std::atoi(line));
            pclose(p);
        }
        if (address_.empty())
            return;
        setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
        // The keyring daemon in the foreground, the login keyring's
        // password on its standard input.
        int in[2];
        if (pipe(in) != 0)
            return;
        keyring_ = fork();
        if (keyring_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(in[0], 0);
            close(in[1]);
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
            execlp("gnome-keyring-daemon", "gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets",
                   static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        (void)!write(in[1], "keyring-password", 16);
        close(in[1]);
        // Ready once it owns its name on the bus.
        for (int i = 0; i < 100 && !Owned(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~SecretService()
    {
        if (keyring_ > 0) {
            kill(keyring_, SIGTERM);
            waitpid(keyring_, nullptr, 0);
        }
        if (bus_ > 0)
            kill(bus_, SIGTERM);
        if (saved_.empty())
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        else
            setenv("DBUS_SESSION_BUS_ADDRESS", saved_.c_str(), 1);
    }
    SecretService(const SecretService &) = delete;
    SecretService &operator=(const SecretService &) = delete;

    bool Running() { return Owned(); }

private:
    static std::string Get(const char *name)
    {
        const char *value = std::getenv(name);
        return value != nullptr ? value : "";
    }
    bool Owned() const
    {
        if (address_.empty())
            return false;
        const std::string command = "dbus-send --session --print-reply --dest=org.freedesktop.DBus "
                                    "/org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "
                                    "string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'";
        return std::system(command.c_str()) == 0;
    }

    std::string saved_, address_;
    pid_t bus_ = 0, keyring_ = 0;
};

} // namespace provider_test
