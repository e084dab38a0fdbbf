#include "Smtp.h"

#include "Common.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>

namespace kmp {

namespace {

void InitCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Upload {
    const std::string *bytes;
    size_t offset = 0;
};

size_t ReadBytes(char *buffer, size_t size, size_t count, void *data)
{
    auto *upload = static_cast<Upload *>(data);
    const size_t room = size * count;
    const size_t left = upload->bytes->size() - upload->offset;
    const size_t n = left < room ? left : room;
    std::memcpy(buffer, upload->bytes->data() + upload->offset, n);
    upload->offset += n;
    return n;
}

// The conversation as libcurl saw it: our commands and the server's answers.
int Transcript(CURL *, curl_infotype type, char *data, size_t size, void *user)
{
    auto *transcript = static_cast<std::string *>(user);
    if (type == CURLINFO_HEADER_OUT)
        transcript->append(">").append(data, size);
    else if (type == CURLINFO_HEADER_IN)
        transcript->append("<").append(data, size);
    return 0;
}

// The first recipient the server refused, with its answer, from the transcript.
std::string RefusedRecipient(const std::string &transcript)
{
    std::string pending;
    size_t start = 0;
    while (start < transcript.size()) {
        size_t end = transcript.find('\n', start);
        if (end == std::string::npos)
            end = transcript.size();
        std::string line = transcript.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        start = end + 1;
        if (line.rfind(">RCPT TO:", 0) == 0) {
            pending = line.substr(9);
        } else if (!pending.empty() && line.size() > 1 && line[0] == '<') {
            if (line[1] == '4' || line[1] == '5')
                return pending + " (" + line.substr(1) + ")";
            pending.clear();
        }
    }
    return {};
}

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

bool IsLoopbackUrl(const std::string &url)
{
    const size_t scheme = url.find("://");
    const std::string rest = scheme == std::string::npos ? url : url.substr(scheme + 3);
    return rest.rfind("127.", 0) == 0 || rest.rfind("localhost", 0) == 0 || rest.rfind("[::1]", 0) == 0;
}

} // namespace

void Log(const std::string &line)
{
    const char *file = std::getenv("KELVRA_MAPI_LOG");
    if (file != nullptr && *file != '\0') {
        std::ofstream(file, std::ios::app) << "kelvramapi: " << line << "\n";
        return;
    }
    std::cerr << "kelvramapi: " << line << std::endl;
}

void SendSmtp(const Profile &profile, const std::string &password, const std::string &sender,
              const std::vector<std::string> &recipients, const std::string &bytes)
{
    // Every address was checked on its way in; checked again here, since
    // whatever reaches libcurl becomes part of an SMTP command.
    std::vector<std::string> envelope;
    for (const std::string &r : recipients) {
        std::optional<std::string> address = MailAddress(r);
        if (!address)
            Fail(MAPI_E_UNKNOWN_RECIPIENT);
        envelope.push_back(std::move(*address));
    }
    const std::optional<std::string> checkedSender = MailAddress(sender);
    if (!checkedSender)
        Fail(MAPI_E_UNKNOWN_RECIPIENT);

    InitCurl();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl)
        Fail(MAPI_E_INSUFFICIENT_MEMORY);
    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, profile.smtpUrl.c_str());
    // TLS always, unless the profile says the server is on loopback and plain.
    const bool plain = profile.smtpPlainLoopback && IsLoopbackUrl(profile.smtpUrl) &&
                       profile.smtpUrl.rfind("smtps://", 0) != 0;
    if (profile.smtpUrl.rfind("smtps://", 0) != 0)
        curl_easy_setopt(c, CURLOPT_USE_SSL, plain ? static_cast<long>(CURLUSESSL_NONE) : static_cast<long>(CURLUSESSL_ALL));
    if (!profile.smtpCaFile.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, profile.smtpCaFile.c_str());
    if (!profile.smtpUser.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, profile.smtpUser.c_str());
        const std::string &secret = password.empty() ? profile.smtpPassword : password;
        curl_easy_setopt(c, CURLOPT_PASSWORD, secret.c_str());
    }
    const std::string from = "<" + *checkedSender + ">";
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
    std::unique_ptr<curl_slist, ListDeleter> rcpts;
    for (const std::string &r : envelope) {
        curl_slist *added = curl_slist_append(rcpts.get(), ("<" + r + ">").c_str());
        if (added == nullptr)
            Fail(MAPI_E_INSUFFICIENT_MEMORY);
        rcpts.release();
        rcpts.reset(added);
    }
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, rcpts.get());
    // All or nothing: one refused recipient ends the transaction.
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 0L);
    Upload upload{&bytes};
    curl_easy_setopt(c, CURLOPT_READFUNCTION, &ReadBytes);
    curl_easy_setopt(c, CURLOPT_READDATA, &upload);
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    std::string transcript;
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, &Transcript);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &transcript);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);

    const CURLcode rc = curl_easy_perform(c);
    if (rc == CURLE_OK)
        return;
    if (rc == CURLE_LOGIN_DENIED) {
        Log("SMTP login refused by " + profile.smtpUrl);
        Fail(MAPI_E_LOGON_FAILURE);
    }
    const std::string refused = RefusedRecipient(transcript);
    if (!refused.empty()) {
        Log("recipient " + refused + " refused by " + profile.smtpUrl + "; nothing was sent");
        Fail(MAPI_E_UNKNOWN_RECIPIENT);
    }
    Log("sending through " + profile.smtpUrl + " failed: " + curl_easy_strerror(rc));
    Fail(MAPI_E_NETWORK_FAILURE);
}

} // namespace kmp
