// A component library loaded by path, and its four exports.
#pragma once

#include <string>

#include "platform/com/interfaces.h"

namespace quillet {

using TDllGetClassObject = HRESULT (*)(const CLSID& classId, const IID& iid, void** object);
using TDllCanUnloadNow = HRESULT (*)();
using TDllRegisterServer = HRESULT (*)();
using TDllUnregisterServer = HRESULT (*)();

/// A loaded in-process server. The library is unloaded with the object only when it says
/// it can be (DllCanUnloadNow is S_OK); otherwise it stays loaded, so that objects still
/// alive keep their code.
/// The folder of the running program (from /proc/self/exe), without a final '/'.
std::string ProgramFolder();
/// An absolute, resolved form of path (as it stands when it cannot be resolved).
std::string FullPath(const std::string& path);

class TComLibrary {
public:
    /// Raises "Cannot load %s: %s" or "%s does not export %s".
    explicit TComLibrary(const std::string& path);
    ~TComLibrary();
    TComLibrary(const TComLibrary&) = delete;
    TComLibrary& operator=(const TComLibrary&) = delete;

    const std::string& Path() const { return FPath; }
    HRESULT GetClassObject(const CLSID& classId, const IID& iid, void** object) const
    {
        return FGetClassObject(classId, iid, object);
    }
    HRESULT CanUnloadNow() const { return FCanUnloadNow(); }
    HRESULT RegisterServer() const { return FRegisterServer(); }
    HRESULT UnregisterServer() const { return FUnregisterServer(); }

private:
    std::string FPath;
    void* FHandle = nullptr;
    TDllGetClassObject FGetClassObject = nullptr;
    TDllCanUnloadNow FCanUnloadNow = nullptr;
    TDllRegisterServer FRegisterServer = nullptr;
    TDllUnregisterServer FUnregisterServer = nullptr;
};

}  // namespace quillet
