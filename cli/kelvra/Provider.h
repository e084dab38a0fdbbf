// The platform library's own entry points beside the twelve, for the
// subcommands no component has a call for (`password`, `profile`): found in
// the library the components loaded, held while in use. Their types and
// what each does: mapi/KelvraProvider.h.
#pragma once

#include "host/Text.h"
#include "mapi/KelvraProvider.h"

namespace kelvra_cli {

class ProviderEntry {
public:
    // Raises EKelvraError(MAPI_E_NOT_SUPPORTED, `missing`) when the library
    // has no such entry point (on Windows, none has).
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
