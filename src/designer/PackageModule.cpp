// Loading a package module and calling its entry points.
#include "designer/PackageModule.h"

#include "ModuleResources.h"
#include "designer/Registry.h"
#include "host/Application.h"
#include "host/Exception.h"

namespace designer {

namespace {

template <class P>
P Entry(host::TModuleHandle module, const host::String &fileName, const char *name)
{
    auto *address = reinterpret_cast<P>(host::FindExport(module, name));
    if (address == nullptr)
        throw host::Exception(u"Package " + fileName + u" does not export " + host::FromAscii(name));
    return address;
}

} // namespace

TPackageModule::TPackageModule(const host::String &fileName)
{
    host::String error;
    handle_ = host::LoadModule(fileName, error);
    if (handle_ == nullptr)
        throw host::Exception(u"Cannot load package " + fileName + u": " + error);
    try {
        register_ = Entry<TPackageProc>(handle_, fileName, "Register");
        const auto initialize = Entry<TPackageProc>(handle_, fileName, "Initialize");
        finalize_ = Entry<TPackageProc>(handle_, fileName, "Finalize");
        infoTable_ = Entry<TGetPackageInfoTableProc>(handle_, fileName, "GetPackageInfoTable");
        initialize();
    } catch (...) {
        host::UnloadModule(handle_);
        throw;
    }
}

TPackageModule::~TPackageModule()
{
    UnregisterModule(handle_);
    try {
        finalize_();
    } catch (const std::exception &e) {
        host::Application().HandleException(e);
    } catch (...) {
        host::Application().HandleException(host::Exception(u"The package's Finalize raised"));
    }
    host::UnloadModule(handle_);
}

void TPackageModule::Register()
{
    TModuleRegistration scope(handle_);
    // A second Register replaces what the first registered.
    UnregisterModule(handle_);
    try {
        register_();
    } catch (...) {
        UnregisterModule(handle_);
        throw;
    }
}

const TPackageInfoTable &TPackageModule::InfoTable() const
{
    const TPackageInfoTable *table = infoTable_();
    if (table == nullptr || (table->UnitCount != 0 && table->Units == nullptr))
        throw host::Exception(u"The package's GetPackageInfoTable gives no table");
    return *table;
}

std::optional<std::span<const std::uint8_t>> TPackageModule::FindResource(TResourceKind kind,
                                                                          std::u16string_view name,
                                                                          std::uint16_t language) const
{
    return FindModuleResource(handle_, kind, name, language);
}

} // namespace designer
