#include "Provider.h"

#include "kelvra/Kelvra.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace kelvra_cli {

NotOffered::NotOffered(const host::String &what) : std::runtime_error(host::ToUtf8(what)) {}

ProviderEntry::ProviderEntry(const char *name, const host::String &missing)
{
#ifndef _WIN32
    kelvra::InitMapi(); // the platform library, as the components load it
    library_ = dlopen(host::ToUtf8(kelvra::MAPIDLL.Get()).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    address_ = library_ != nullptr ? dlsym(library_, name) : nullptr;
#else
    (void)name;
#endif
    if (address_ == nullptr) {
#ifndef _WIN32
        if (library_ != nullptr)
            dlclose(library_);
#endif
        throw NotOffered(missing);
    }
}

ProviderEntry::~ProviderEntry()
{
#ifndef _WIN32
    dlclose(library_);
#endif
}

} // namespace kelvra_cli
