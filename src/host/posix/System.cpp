// POSIX: dlopen/dlsym for the platform library, unlink for files.
#include "host/System.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace host {

namespace {

// The folder of the running program, with a trailing '/', or empty.
std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
    if (len <= 0)
        return {};
    std::string exe(path, static_cast<size_t>(len));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

} // namespace

TModuleHandle LoadModule(const String &fileName, String &errorText)
{
    // The file name is in the environment's character set, like every path.
    const std::string name = ToAnsi(fileName);
    if (name.empty()) {
        errorText = u"No library name given";
        return nullptr;
    }
    // A bare name is looked for beside the program first, as Windows does.
    if (name.find('/') == std::string::npos) {
        const std::string local = ProgramFolder() + name;
        if (!local.empty() && access(local.c_str(), F_OK) == 0) {
            if (void *handle = dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL))
                return handle;
        }
    }
    if (void *handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL))
        return handle;
    const char *error = dlerror();
    errorText = FromAnsi(error != nullptr ? error : "The library could not be loaded");
    return nullptr;
}

void *FindExport(TModuleHandle module, const char *name)
{
    return dlsym(module, name);
}

void UnloadModule(TModuleHandle module)
{
    if (module != nullptr)
        dlclose(module);
}

bool RemoveFile(const String &path)
{
    return unlink(ToAnsi(path).c_str()) == 0;
}

} // namespace host

namespace host {

namespace {

// The canonical form of an existing folder, or empty.
std::string Canonical(const std::string &folder)
{
    char resolved[PATH_MAX];
    if (realpath(folder.c_str(), resolved) == nullptr)
        return {};
    return resolved;
}

} // namespace

bool IsInTempFolder(const String &path)
{
    const std::string p = ToAnsi(path);
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return false;
    const std::string name = p.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return false;
    const std::string folder = Canonical(slash == 0 ? "/" : p.substr(0, slash));
    const char *tmpdir = std::getenv("TMPDIR");
    const std::string temp = Canonical(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp");
    // A temporary folder that is the root would make every file deletable.
    if (folder.empty() || temp.empty() || temp == "/")
        return false;
    return folder == temp || folder.compare(0, temp.size() + 1, temp + "/") == 0;
}

} // namespace host
