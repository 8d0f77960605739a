// Objects by program id: the registry names the class and its library; the library, loaded
// once per process, hands out a class factory; the factory makes the object, reached
// through IDispatch.
#include "host/objects.h"

#include <map>
#include <memory>
#include <mutex>

#include "host/com_bridge.h"
#include "platform/com/library.h"
#include "platform/com/variant.h"
#include "platform/registry.h"

namespace quillet::host {

namespace {

constexpr char kSource[] = "Server.CreateObject";

// Libraries stay loaded while the process runs: objects of one request must not find
// their code gone because another request ended.
TComLibrary& LoadLibraryOnce(const std::string& path)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<TComLibrary>> libraries;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<TComLibrary>& library = libraries[path];
    if (!library) library = std::make_unique<TComLibrary>(path);
    return *library;
}

}  // namespace

std::string NotRegisteredMessage(const std::string& progId)
{
    return "The program id '" + progId + "' is not registered; run 'quillet register' to register the component";
}

TAutoObjectRef TRegistryObjectProvider::CreateObject(const std::string& progId)
{
    std::optional<TClassRegistration> registration;
    try {
        registration = FindClassByProgId(TRegistry().Read(), progId);
    } catch (const Exception& e) {
        throw EAutoError(kEFail, kSource, e.Message());
    }
    if (!registration) throw EAutoError(kClassNotRegistered, kSource, NotRegisteredMessage(progId));
    CLSID classId;
    if (!GuidFromString(registration->ClassId, &classId))
        throw EAutoError(kClassNotRegistered, kSource,
                         "The registry's class id for '" + progId + "' is not valid: " + registration->ClassId);
    TComLibrary* library = nullptr;
    try {
        library = &LoadLibraryOnce(registration->LibraryPath);
    } catch (const Exception& e) {
        throw EAutoError(kEFail, kSource, e.Message() + " (registered for '" + progId + "')");
    }
    TComPtr<IClassFactory> factory;
    HRESULT hr = library->GetClassObject(classId, IID_IClassFactory, factory.ReceiveVoid());
    if (FAILED(hr) || !factory)
        throw EAutoError(hr, kSource, library->Path() + " has no class factory for '" + progId + "'");
    TComPtr<IDispatch> object;
    hr = factory->CreateInstance(nullptr, IID_IDispatch, object.ReceiveVoid());
    if (FAILED(hr) || !object) throw EAutoError(hr, kSource, "Cannot create an object of '" + progId + "'");
    return WrapDispatch(object.Get());
}

}  // namespace quillet::host
