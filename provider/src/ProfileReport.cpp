#include "ProfileReport.h"

#include "Common.h"
#include "Store.h"
#include "book/AddressBook.h"
#include "smtp/Smtp.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace kmp {

namespace {

const char *const kAuthNames[] = {"auto", "plain", "login", "xoauth2", "oauthbearer"};

// A command's words as one line a shell (and the profile file) reads back.
std::string CommandLine(const std::vector<std::string> &words)
{
    std::string line;
    for (const std::string &w : words) {
        const bool plain = !w.empty() && w.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                             "0123456789-_./:=@+,") == std::string::npos;
        gchar *quoted = plain ? nullptr : g_shell_quote(w.c_str());
        line += (line.empty() ? "" : " ") + (plain ? w : std::string(quoted));
        g_free(quoted);
    }
    return line;
}

// The file a bare program name runs, as PATH finds it; empty when none.
std::string ProgramPath(const std::string &program)
{
    if (program.find('/') != std::string::npos)
        return program;
    const char *path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string CheckSendmail(const Profile &profile)
{
    const std::string path = ProgramPath(profile.sendmail.front());
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0)
        Refuse("sendmail " + profile.sendmail.front() + " is not there", MAPI_E_FAILURE);
    if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0)
        Refuse("sendmail " + path + " is not an executable file", MAPI_E_FAILURE);
    return "sendmail " + CommandLine(profile.sendmail) + " (" + path + ") is an executable file";
}

} // namespace

std::string DescribeProfile(const Profile &p)
{
    const auto seconds = [](long s) { return std::to_string(s); };
    const std::pair<std::string, std::string> rows[] = {
        {"profile", p.name},
        {"file", p.embedded ? std::string("(embedded default)") : ProfileFile()},
        {"mailbox", p.mailbox},
        {"sentfolder", p.sentFolder},
        {"addressbook", p.addressBook},
        {"cache", p.cacheFolder.empty() ? std::string("off") : p.cacheFolder},
        {"name", p.senderName},
        {"address", p.senderAddress},
        {"smtp", p.smtpUrl},
        {"sendmail", CommandLine(p.sendmail)},
        {"user", p.user},
        {"password", p.password.empty() ? std::string() : std::string("(set)")},
        {"passwordcmd", p.passwordCommand},
        {"auth", kAuthNames[static_cast<int>(p.auth)]},
        {"cafile", p.caFile},
        {"plain", p.plainLoopback ? "yes" : "no"},
        {"fallbackcharset", p.fallbackCharset},
        {"connecttimeout", seconds(p.connectTimeout)},
        {"timeout", seconds(p.sendTimeout)},
        {"stalltimeout", seconds(p.stallTimeout)},
    };
    std::string text;
    for (const auto &[key, value] : rows)
        text += key + "\t" + value + "\n";
    return text;
}

bool CheckProfile(const Profile &p, const std::string &password, std::string &report)
{
    bool all = true;
    const auto part = [&](const char *name, const std::function<std::string()> &check) {
        std::string line;
        try {
            line = std::string("ok\t") + check();
        } catch (const MapiError &e) {
            all = false;
            line = "failed\t" + (LastReason().empty() ? "code " + std::to_string(e.code) : LastReason());
        }
        report += std::string(name) + "\t" + line + "\n";
        LastReason().clear();
    };
    part("mailbox", [&] {
        const std::shared_ptr<MailStore> store = OpenStore(p, password, true);
        const std::string first = store->Next("", FindFilter{});
        return p.mailbox + (first.empty() ? ": logged on; it holds no message" : ": logged on and listed");
    });
    part("addressbook", [&] {
        if (p.addressBook.empty())
            return std::string("none named");
        const std::vector<Contact> book = LoadAddressBook(p.addressBook);
        return p.addressBook + ": " + std::to_string(book.size()) + (book.size() == 1 ? " contact" : " contacts");
    });
    part("outgoing", [&] {
        if (!p.sendmail.empty())
            return CheckSendmail(p);
        if (p.smtpUrl.empty())
            return std::string("local delivery into the mailbox");
        CheckSmtp(p, password);
        return p.smtpUrl + ": the server greets" +
               (p.user.empty() ? std::string(" (no login)") : " and accepts the login of " + p.user);
    });
    return all;
}

} // namespace kmp
