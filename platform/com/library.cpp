// Loading a component library with dlopen.
#include "platform/com/library.h"

#include <dlfcn.h>

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
