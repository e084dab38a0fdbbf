#include "ProfileReport.h"

#include "Errors.h"
#include "OpenStore.h"
#include "book/AddressBook.h"
#include "outgoing/WayOut.h"
#include "profile/Keys.h"

#include <sys/stat.h>

#include <functional>

namespace kelvra_provider {


std::string DescribeProfile(const Profile &p)
{
    std::vector<std::pair<std::string, std::string>> rows = {
        {"profile", p.name}, {"file", p.embedded ? std::string("(embedded default)") : ProfileFile()}};
    for (const ProfileKey &key : ProfileKeyTable()) {
        rows.emplace_back(key.key, ShownValue(key, p));
        // What the keys make of the sender, and of the way out.
        if (key.key == "address")
            rows.emplace_back("sender", p.senderFrom == Profile::SenderFrom::Profile ? "the profile's name and address"
                                        : p.senderFrom == Profile::SenderFrom::Environment
                                            ? "EMAIL in the environment (the profile names none)"
                                            : "none: the profile names none and EMAIL is unset, so the mail "
                                              "transfer agent supplies its own");
        if (key.key == "localdelivery")
            rows.emplace_back("outgoing", ChooseWayOut(p)->Name());
    }
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

} // namespace kelvra_provider
