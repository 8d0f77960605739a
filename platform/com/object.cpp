// The class factory base.
#include "platform/com/object.h"

namespace quillet {

HRESULT TComObjectFactory::QueryInterface(const IID& iid, void** object)
{
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT TComObjectFactory::CreateInstance(IUnknown* outer, const IID& iid, void** object)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return FCreator(iid, object);
}

HRESULT TComObjectFactory::LockServer(int32_t lock)
{
    TComServer::Lock(lock != 0);
    return S_OK;
}

}  // namespace quillet
