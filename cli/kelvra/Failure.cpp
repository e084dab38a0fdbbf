#include "Failure.h"

#include "Shown.h"

#include <nlohmann/json.hpp>

#include <iostream>

namespace kelvra_cli {

std::string ResultName(long code)
{
    static const char *const kNames[] = {
        "SUCCESS_SUCCESS",          "MAPI_USER_ABORT",           "MAPI_E_FAILURE",
        "MAPI_E_LOGON_FAILURE",     "MAPI_E_DISK_FULL",          "MAPI_E_INSUFFICIENT_MEMORY",
        "MAPI_E_ACCESS_DENIED",     nullptr,                     "MAPI_E_TOO_MANY_SESSIONS",
        "MAPI_E_TOO_MANY_FILES",    "MAPI_E_TOO_MANY_RECIPIENTS", "MAPI_E_ATTACHMENT_NOT_FOUND",
        "MAPI_E_ATTACHMENT_OPEN_FAILURE", "MAPI_E_ATTACHMENT_WRITE_FAILURE", "MAPI_E_UNKNOWN_RECIPIENT",
        "MAPI_E_BAD_RECIPTYPE",     "MAPI_E_NO_MESSAGES",        "MAPI_E_INVALID_MESSAGE",
        "MAPI_E_TEXT_TOO_LARGE",    "MAPI_E_INVALID_SESSION",    "MAPI_E_TYPE_NOT_SUPPORTED",
        "MAPI_E_AMBIGUOUS_RECIPIENT", "MAPI_E_MESSAGE_IN_USE",   "MAPI_E_NETWORK_FAILURE",
        "MAPI_E_INVALID_EDITFIELDS", "MAPI_E_INVALID_RECIPS",    "MAPI_E_NOT_SUPPORTED",
        "MAPI_E_UNICODE_NOT_SUPPORTED", "MAPI_E_ATTACHMENT_TOO_LARGE",
    };
    if (code < 0 || code >= static_cast<long>(std::size(kNames)) || kNames[code] == nullptr)
        return {};
    return kNames[code];
}

int Report(const Failure &failure, bool json)
{
    const std::string name = ResultName(failure.code);
    if (json) {
        nlohmann::json error = {{"message", failure.message}, {"status", failure.status}};
        if (failure.code != 0) {
            error["code"] = failure.code;
            error["name"] = name;
        }
        std::cerr << nlohmann::json{{"error", error}}.dump(2) << "\n";
        return failure.status;
    }
    // A message may name what a stranger chose (an attachment's name).
    std::cerr << "kelvra: " << Shown(failure.message);
    if (failure.code != 0)
        std::cerr << " (code " << failure.code << (name.empty() ? "" : ", " + name) << ")";
    std::cerr << "\n";
    return failure.status;
}

} // namespace kelvra_cli
