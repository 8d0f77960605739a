// The in-process server: module start-up, the class factory, the four exports and the
// class's registry entries.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "component/Lumexa_TLB.h"
#include "component/QuilletUnit.h"
#include "imaging/ImageFormats.h"
#include "platform/com/automation.h"
#include "platform/registry.h"

#define QUILLET_EXPORT extern "C" __attribute__((visibility("default")))

namespace quillet {

namespace {

HRESULT CreateQuillet(const IID& iid, void** object) { return CreateComObject<TQuillet>(iid, object); }

// Start-up runs once, when the library is loaded: the image format registry is filled
// before the class factory is made. At unload the factory goes first, then the readers
// leave the format list.
class TModule {
public:
    TModule()
    {
        RegisterImageFormats();
        FFactory = new TAutoObjectFactory(TQuillet::AutoClass, "Apartment", CreateQuillet);
    }
    ~TModule()
    {
        delete FFactory;
        UnregisterImageFormats();
    }
    TModule(const TModule&) = delete;
    TModule& operator=(const TModule&) = delete;

    TAutoObjectFactory& Factory() const { return *FFactory; }

private:
    TAutoObjectFactory* FFactory = nullptr;
};

const TModule gModule;

struct TRegistryEntry {
    std::string Key;
    std::string Name;  // empty: the default value
    std::string Data;
};

// The class's entries, in the order they are written.
std::vector<TRegistryEntry> ClassEntries(const TComObjectFactory& factory, const std::string& libraryPath)
{
    const std::string classId = GuidToString(factory.ClassId());
    const std::string classKey = "CLSID\\" + classId;
    return {
        {classKey, "", factory.Description()},
        {classKey + "\\InprocServer32", "", libraryPath},
        {classKey + "\\InprocServer32", "ThreadingModel", factory.ThreadingModel()},
        {factory.ProgId(), "", factory.Description()},
        {factory.ProgId() + "\\Clsid", "", classId},
        {classKey + "\\ProgID", "", factory.ProgId()},
        {classKey + "\\Version", "", Fmt("%d.%d", LumexaLibrary.MajorVersion, LumexaLibrary.MinorVersion)},
        {classKey + "\\TypeLib", "", GuidToString(LumexaLibrary.Guid)},
    };
}

// The keys removed at unregistration, in that order.
std::vector<std::string> ClassRemovalOrder(const TComObjectFactory& factory)
{
    const std::string classKey = "CLSID\\" + GuidToString(factory.ClassId());
    return {
        classKey + "\\TypeLib", classKey + "\\Version", classKey + "\\ProgID", factory.ProgId() + "\\Clsid",
        factory.ProgId(), classKey + "\\InprocServer32", classKey,
    };
}

// The library file's full path, found from one of its own functions.
std::string LibraryPath()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&CreateQuillet), &info) == 0 || info.dli_fname == nullptr)
        throw Exception("Cannot find the library's own path");
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) != nullptr) return resolved;
    std::string path = info.dli_fname;
    if (!path.empty() && path.front() != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
    }
    return path;
}

}  // namespace

}  // namespace quillet

using namespace quillet;

QUILLET_EXPORT HRESULT DllGetClassObject(const CLSID& classId, const IID& iid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(classId == gModule.Factory().ClassId())) return CLASS_E_CLASSNOTAVAILABLE;
    return gModule.Factory().QueryInterface(iid, object);
}

QUILLET_EXPORT HRESULT DllCanUnloadNow() { return TComServer::CanUnloadNow() ? S_OK : S_FALSE; }

QUILLET_EXPORT HRESULT DllRegisterServer()
{
    try {
        const std::string path = LibraryPath();
        TRegistry registry;
        registry.Update([&](TRegistryData& data) {
            RegisterTypeLib(data, LumexaLibrary, path);
            for (const TRegistryEntry& entry : ClassEntries(gModule.Factory(), path))
                data.SetValue(entry.Key, entry.Name, entry.Data);
        });
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

QUILLET_EXPORT HRESULT DllUnregisterServer()
{
    try {
        TRegistry registry;
        registry.Update([&](TRegistryData& data) {
            UnRegisterTypeLib(data, LumexaLibrary);
            for (const std::string& key : ClassRemovalOrder(gModule.Factory())) data.DeleteKey(key);
            if (data.SubKeys("CLSID").empty()) data.DeleteKey("CLSID");
        });
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}
