// Placeholder until the component lands: the four exports answer E_NOTIMPL.
#include <cstdint>

#define QUILLET_EXPORT extern "C" __attribute__((visibility("default")))

QUILLET_EXPORT int32_t DllGetClassObject(const void*, const void*, void** object)
{
    if (object != nullptr) *object = nullptr;
    return int32_t(0x80004001);
}
QUILLET_EXPORT int32_t DllCanUnloadNow() { return 0; }
QUILLET_EXPORT int32_t DllRegisterServer() { return int32_t(0x80004001); }
QUILLET_EXPORT int32_t DllUnregisterServer() { return int32_t(0x80004001); }
