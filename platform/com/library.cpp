// Loading a component library with dlopen.
#include "platform/com/library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/errors.h"

namespace quillet {

namespace {

template <class F>
F Export(void* handle, const std::string& path, const char* name)
{
    void* symbol = ::dlsym(handle, name);
    if (symbol == nullptr) {
        ::dlclose(handle);
        throw Exception(Fmt("%s does not export %s", path.c_str(), name));
    }
    return reinterpret_cast<F>(symbol);
}

}  // namespace

std::string ProgramFolder()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string folder(path, size_t(n));
    const size_t slash = folder.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string(slash == 0 ? "/" : ".") : folder.substr(0, slash);
}

std::string FullPath(const std::string& path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

TComLibrary::TComLibrary(const std::string& path) : FPath(path)
{
    FHandle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (FHandle == nullptr) {
        const char* reason = ::dlerror();
        throw Exception(Fmt("Cannot load %s: %s", path.c_str(), reason != nullptr ? reason : "unknown error"));
    }
    FGetClassObject = Export<TDllGetClassObject>(FHandle, path, "DllGetClassObject");
    FCanUnloadNow = Export<TDllCanUnloadNow>(FHandle, path, "DllCanUnloadNow");
    FRegisterServer = Export<TDllRegisterServer>(FHandle, path, "DllRegisterServer");
    FUnregisterServer = Export<TDllUnregisterServer>(FHandle, path, "DllUnregisterServer");
}

TComLibrary::~TComLibrary()
{
    if (FHandle != nullptr && FCanUnloadNow() == S_OK) ::dlclose(FHandle);
}

}  // namespace quillet
