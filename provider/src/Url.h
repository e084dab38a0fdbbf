// A server's URL as libcurl parses it: the one parser of the profile's
// SMTP and IMAP addresses.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace kelvra_provider {

// Whether a profile's mailbox names an IMAP server (imap://, imaps://, any
// case) rather than a folder.
bool IsImapMailbox(const std::string &mailbox);

// libcurl's global state, made once for the process.
void InitCurl();

class Url {
public:
    // Parsed as written; Valid() is false when libcurl refuses it.
    explicit Url(const std::string &text);
    bool Valid() const { return valid_; }
    // One part of it (CURLU_URLDECODE among `flags` decodes it); empty when
    // it has none.
    std::string Part(CURLUPart what, unsigned flags = 0) const;

private:
    friend std::string WithoutPassword(const std::string &text);
    struct Free {
        void operator()(CURLU *u) const { curl_url_cleanup(u); }
    };
    std::unique_ptr<CURLU, Free> url_;
    bool valid_ = false;
};

// The URL without the password someone wrote into it (never used: logins
// take theirs from the profile's sign-in), so that it reaches no log line
// or file; as written when it holds none.
std::string WithoutPassword(const std::string &text);

} // namespace kelvra_provider
