#include "Url.h"

#include "Text.h"

#include <mutex>

namespace kelvra_provider {

bool IsImapMailbox(const std::string &mailbox)
{
    return StartsWithText(mailbox, "imap://") || StartsWithText(mailbox, "imaps://");
}

void InitCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

Url::Url(const std::string &text)
{
    InitCurl();
    url_.reset(curl_url());
    valid_ = url_ && curl_url_set(url_.get(), CURLUPART_URL, text.c_str(), 0) == CURLUE_OK;
}

std::string Url::Part(CURLUPart what, unsigned flags) const
{
    char *part = nullptr;
    if (!valid_ || curl_url_get(url_.get(), what, &part, flags) != CURLUE_OK || part == nullptr)
        return {};
    std::string out = part;
    curl_free(part);
    return out;
}

std::string WithoutPassword(const std::string &text)
{
    Url url(text);
    if (!url.Valid()) {
        // libcurl cannot read it (a port out of range, a blank in the host):
        // whatever stands between "//" and the last "@" before the path may
        // hold a password, and goes as text.
        const size_t start = text.find("//");
        if (start == std::string::npos)
            return text;
        const size_t end = std::min(text.find_first_of("/?#", start + 2), text.size());
        const size_t at = text.rfind('@', end);
        if (at == std::string::npos || at < start + 2)
            return text;
        const size_t colon = text.find(':', start + 2);
        if (colon == std::string::npos || colon > at)
            return text;
        return text.substr(0, colon) + text.substr(at);
    }
    if (url.Part(CURLUPART_PASSWORD).empty())
        return text;
    curl_url_set(url.url_.get(), CURLUPART_PASSWORD, nullptr, 0);
    return url.Part(CURLUPART_URL);
}

} // namespace kelvra_provider
