#include "Places.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

namespace kelvra_provider {

namespace {

// This user's entry of the password database, read with the reentrant
// call: entry points may run on several threads at once.
struct Account {
    std::string login, gecos, home;
};

std::optional<Account> ThisAccount()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd *found = nullptr;
    while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr)
        return std::nullopt;
    return Account{found->pw_name, found->pw_gecos != nullptr ? found->pw_gecos : "", found->pw_dir};
}

} // namespace

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Home()
{
    std::string home = Env("HOME");
    if (home.empty())
        if (const std::optional<Account> account = ThisAccount())
            home = account->home;
    return home;
}

std::string XdgFolder(const char *variable, const char *fallback)
{
    const std::string value = Env(variable);
    if (!value.empty() && value[0] == '/')
        return value;
    return fallback != nullptr ? Home() + "/" + fallback : std::string();
}

std::string UserName()
{
    if (std::optional<Account> account = ThisAccount()) {
        std::string gecos = account->gecos;
        gecos.resize(std::min(gecos.find(','), gecos.size()));
        return gecos.empty() ? account->login : gecos;
    }
    return "Me";
}

std::string LoginName()
{
    if (const std::optional<Account> account = ThisAccount())
        return account->login;
    return "me";
}

std::string ResolvePath(const std::string &value, const std::string &base)
{
    if (value.empty() || value[0] == '/')
        return value;
    if (value == "~" || value.rfind("~/", 0) == 0)
        return Home() + value.substr(1);
    return base + "/" + value;
}

} // namespace kelvra_provider
