// Private files holding a message's bytes for GMime, which reads files:
// what the server sent, and what a save writes before the server sees it.
#pragma once

#include "StoredFile.h"

#include <cstddef>
#include <string>

namespace kelvra_provider::imap {

// A file of the private temporary folder holding a message's bytes for
// GMime, removed with this object.
class TempMessage {
public:
    TempMessage(const char *bytes, size_t size);
    ~TempMessage();
    TempMessage(const TempMessage &) = delete;
    TempMessage &operator=(const TempMessage &) = delete;
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// The bytes a save writes, complete before the server sees them.
std::string Written(const MessageWriter &write);

} // namespace kelvra_provider::imap
