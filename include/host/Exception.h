// The framework's exception base class.
#pragma once

#include "host/Export.h"

#include "host/Text.h"

#include <exception>

namespace host {

// Holds its message as UTF-16 (Message()); what() gives the same text as UTF-8.
class KELVRA_API Exception : public std::exception {
public:
    explicit Exception(String message);
    const String &Message() const noexcept { return message_; }
    const char *what() const noexcept override { return utf8_.c_str(); }

private:
    String message_;
    std::string utf8_;
};

} // namespace host
