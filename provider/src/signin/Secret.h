// A secret (a password, an access token) held only as long as it is
// needed: its bytes are cleared when it goes, so that no core dump or later
// allocation finds them. Moved, never copied.
#pragma once

#include <string>
#include <string_view>

namespace kmp {

// Clears a text's bytes in a way the compiler keeps.
void ClearText(std::string &text);

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

} // namespace kmp
