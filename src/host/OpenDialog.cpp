#include "host/OpenDialog.h"

#include "host/Application.h"

#include <mutex>

namespace host {

namespace {

std::mutex g_backendMutex;
TOpenDialogBackend g_backend;

} // namespace

void SetOpenDialogBackend(TOpenDialogBackend backend)
{
    std::lock_guard<std::mutex> lock(g_backendMutex);
    g_backend = std::move(backend);
}

bool TOpenDialog::Execute()
{
    const TOpenDialogRequest request{FFilter, FTitle, FInitialDir, FOptions, Application().Handle()};
    TOpenDialogBackend backend;
    {
        std::lock_guard<std::mutex> lock(g_backendMutex);
        backend = g_backend;
    }
    const auto chosen = backend ? backend(request) : SystemOpenDialog(request);
    if (!chosen)
        return false;
    FFiles.Assign(*chosen);
    return true;
}

} // namespace host
