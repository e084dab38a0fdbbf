// POSIX: dlopen/dlsym for the platform library, unlink for files.
#include "host/System.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace host {

namespace {

// The folder part of a path, with its trailing '/', or empty.
std::string FolderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The folder of the running program, or empty.
std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
    if (len <= 0)
        return {};
    return FolderOf(std::string(path, static_cast<size_t>(len)));
}

// The library's own folder for the modules it loads (the provider, the
// design-time package): KELVRA_MODULE_FOLDER beside this library, wherever
// it is installed. Empty when the library's path is not known.
std::string ModuleFolder()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void *>(&ModuleFolder), &info) == 0 || info.dli_fname == nullptr)
        return {};
    const std::string folder = FolderOf(info.dli_fname);
    return folder.empty() ? folder : folder + KELVRA_MODULE_FOLDER "/";
}

// Whether `folder` holds a file `name`; `path` is then its path.
bool Holds(const std::string &folder, const std::string &name, std::string &path)
{
    if (folder.empty())
        return false;
    path = folder + name;
    return access(path.c_str(), F_OK) == 0;
}

// Whether what `path` names is the user's or root's, and nobody else may
// change it: the rule for a library loaded from beside the program, whose
// folder may be anyone's (a program in /tmp, a shared folder).
bool Trusted(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_uid == geteuid() || st.st_uid == 0) &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The program's folder holds `name`, and it and the folder may be trusted:
// another user's library planted beside a program in a folder others can
// write is never loaded.
bool HoldsTrusted(const std::string &folder, const std::string &name, std::string &path)
{
    return Holds(folder, name, path) && Trusted(folder) && Trusted(path);
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
    // A bare name is looked for beside the program first, as Windows does
    // (when the folder and the file are the user's or root's and nobody
    // else may change them), then in the library's module folder, where
    // the packages put them; the first file found is the one loaded (or
    // whose error is told).
    std::string path = name;
    if (name.find('/') == std::string::npos) {
        if (!HoldsTrusted(ProgramFolder(), name, path) && !Holds(ModuleFolder(), name, path))
            path = name;
    }
    if (void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
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
