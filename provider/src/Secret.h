// A secret (a password, an access token) held only as long as it is
// needed: its bytes are cleared when it goes, so that no core dump or later
// allocation finds them. Moved, never copied.
#pragma once

#include <string>
#include <string_view>

namespace kelvra_provider {

// Clears a text's bytes, all it has room for, in a way the compiler keeps.
void ClearText(std::string &text);

// A secret that lives as long as what holds it (a profile's password, a
// session's logon password): copied with its holder, and every copy's bytes
// cleared when it goes or is replaced. Read as the text it holds.
class SecretText {
public:
    SecretText() = default;
    SecretText(std::string text) : text_(std::move(text)) { ClearText(text); } // NOLINT: takes a text over
    SecretText(const SecretText &other) : text_(other.text_) {}
    SecretText(SecretText &&other) noexcept : text_(std::move(other.text_)) { ClearText(other.text_); }
    SecretText &operator=(SecretText other) noexcept
    {
        ClearText(text_);
        text_.swap(other.text_);
        return *this;
    }
    ~SecretText() { ClearText(text_); }

    bool empty() const { return text_.empty(); }
    operator const std::string &() const { return text_; } // NOLINT: read where a text is read
    const std::string &Text() const { return text_; }

private:
    std::string text_;
};

class Secret {
public:
    Secret() = default;
    explicit Secret(std::string text) : text_(std::move(text)) {}
    ~Secret() { ClearText(text_); }
    Secret(Secret &&other) noexcept : text_(std::move(other.text_)) { ClearText(other.text_); }
    Secret &operator=(Secret &&other) noexcept
    {
        ClearText(text_);
        text_ = std::move(other.text_);
        ClearText(other.text_);
        return *this;
    }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    bool Empty() const { return text_.empty(); }
    const std::string &Text() const { return text_; }
    const char *c_str() const { return text_.c_str(); }

private:
    std::string text_;
};

} // namespace kelvra_provider
