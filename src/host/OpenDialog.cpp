#include "host/OpenDialog.h"

#include "host/Application.h"

namespace host {

namespace {

TOpenDialogBackend &Backend()
{
    static TOpenDialogBackend backend;
    return backend;
}

} // namespace

void SetOpenDialogBackend(TOpenDialogBackend backend)
{
    Backend() = std::move(backend);
}

bool TOpenDialog::Execute()
{
    const TOpenDialogRequest request{FFilter, FTitle, FInitialDir, FOptions, Application().Handle()};
    const auto chosen = Backend() ? Backend()(request) : SystemOpenDialog(request);
    if (!chosen)
        return false;
    FFiles.Assign(*chosen);
    return true;
}

} // namespace host
