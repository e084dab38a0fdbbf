#include "ProfileReport.h"

#include "Errors.h"
#include "OpenStore.h"
#include "book/AddressBook.h"
#include "outgoing/Sendmail.h"
#include "outgoing/WayOut.h"

#include <sys/stat.h>

#include <functional>

namespace kmp {


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
        {"sender", p.senderFrom == Profile::SenderFrom::Profile       ? "the profile's name and address"
                   : p.senderFrom == Profile::SenderFrom::Environment ? "EMAIL in the environment (the profile names none)"
                                                                      : "none: the profile names none and EMAIL is unset, so the "
                                                                        "mail transfer agent supplies its own"},
        {"smtp", p.smtpUrl},
        {"sendmail", CommandLine(p.sendmail)},
        {"localdelivery", p.localDelivery ? "yes" : "no"},
        {"outgoing", ChooseWayOut(p)->Name()},
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
        const std::size_t contacts = LoadAddressBook(p.addressBook).Contacts().size();
        if (struct stat st {}; stat(p.addressBook.c_str(), &st) != 0)
            return p.addressBook + ": does not exist; no contacts";
        return p.addressBook + ": " + std::to_string(contacts) + (contacts == 1 ? " contact" : " contacts");
    });
    part("outgoing", [&] { return ChooseWayOut(p)->Check(p, password); });
    return all;
}

} // namespace kmp
