// The platform library's own entry points beside the twelve, for the
// subcommands no component has a call for (`password`, `profile`): found in
// the library the components loaded, held while in use. Their types and
// what each does: mapi/KelvraProvider.h.
#pragma once

#include "host/Text.h"
#include "mapi/KelvraProvider.h"

#include <stdexcept>

namespace kelvra_cli {

// What the platform library does not offer (a subcommand's entry point,
// or a POSIX-only subcommand on Windows): said as it stands, with the code
// MAPI_E_NOT_SUPPORTED.
class NotOffered : public std::runtime_error {
public:
    explicit NotOffered(const host::String &what);
};

class ProviderEntry {
public:
    // Raises NotOffered(`missing`) when the library has no such entry
    // point (on Windows, none has).
    ProviderEntry(const char *name, const host::String &missing);
    ~ProviderEntry();
    ProviderEntry(const ProviderEntry &) = delete;
    ProviderEntry &operator=(const ProviderEntry &) = delete;

    template <class Function>
    Function As() const
    {
        return reinterpret_cast<Function>(address_);
    }

private:
    void *library_ = nullptr;
    void *address_ = nullptr;
};

} // namespace kelvra_cli
