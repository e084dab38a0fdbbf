// kelvra profile show|check: a profile as the mail system reads it, and each
// of its parts tried, through the Kelvra provider's KelvraMapiDescribeProfile
// and KelvraMapiCheckProfile (beside the twelve entry points).
#include "Commands.h"
#include "Provider.h"

#include "kelvra/Kelvra.h"

#include <sstream>

namespace kelvra_cli {

namespace {

// The provider's answer: its lines, split at their tabs.
std::vector<std::vector<std::string>> Rows(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        rows.push_back(std::move(fields));
    }
    return rows;
}

using Report = ULONG (*)(LPSTR, LPSTR, LPSTR, ULONG, ULONG *);

// Asks `call` for the text, with room for the whole of it.
template <class Call>
std::string Text(Call call, ULONG &rc)
{
    std::string text(64 * 1024, '\0');
    ULONG length = 0;
    rc = call(text.data(), static_cast<ULONG>(text.size()), &length);
    if (length >= text.size()) {
        text.assign(length + 1, '\0');
        rc = call(text.data(), static_cast<ULONG>(text.size()), &length);
    }
    text.resize(std::min<size_t>(length, text.size() - 1));
    return text;
}

std::string Narrow(const std::string &utf8) { return host::ToAnsi(host::FromUtf8(utf8)); }

} // namespace

nlohmann::json ProfileShow(const Global &global, const std::string &name)
{
    const ProviderEntry entry("KelvraMapiDescribeProfile", u"the platform library shows no profiles");
    const auto describe = entry.As<ULONG (*)(LPSTR, LPSTR, ULONG, ULONG *)>();
    std::string profile = Narrow(name.empty() ? global.profile : name);
    ULONG rc = 0;
    const std::string text = Text(
        [&](LPSTR out, ULONG size, ULONG *length) {
            return describe(profile.empty() ? nullptr : profile.data(), out, size, length);
        },
        rc);
    kelvra::Check(rc);
    nlohmann::json keys = nlohmann::json::object();
    nlohmann::json answer;
    for (const auto &row : Rows(text)) {
        const std::string value = row.size() > 1 ? row[1] : std::string();
        if (row[0] == "profile" || row[0] == "file")
            answer[row[0]] = value;
        else
            keys[row[0]] = value;
    }
    answer["keys"] = keys;
    return answer;
}

nlohmann::json ProfileCheck(const Global &global, const std::string &name)
{
    const ProviderEntry entry("KelvraMapiCheckProfile", u"the platform library checks no profiles");
    const auto check = entry.As<ULONG (*)(LPSTR, LPSTR, LPSTR, ULONG, ULONG *)>();
    std::string profile = Narrow(name.empty() ? global.profile : name);
    std::string password = global.password ? Narrow(*global.password) : std::string();
    ULONG rc = 0;
    const std::string text = Text(
        [&](LPSTR out, ULONG size, ULONG *length) {
            return check(profile.empty() ? nullptr : profile.data(), global.password ? password.data() : nullptr, out,
                         size, length);
        },
        rc);
    for (char &c : password)
        *static_cast<volatile char *>(&c) = 0;
    if (rc != SUCCESS_SUCCESS && rc != MAPI_E_FAILURE)
        kelvra::Check(rc); // the profile itself could not be read
    if (rc == MAPI_E_FAILURE && text.empty())
        kelvra::Check(rc);
    nlohmann::json parts = nlohmann::json::array();
    for (const auto &row : Rows(text))
        parts.push_back({{"part", row[0]},
                         {"ok", row.size() > 1 && row[1] == "ok"},
                         {"detail", row.size() > 2 ? row[2] : std::string()}});
    return {{"ok", rc == SUCCESS_SUCCESS}, {"parts", parts}};
}

} // namespace kelvra_cli
