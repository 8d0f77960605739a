// Object bases of the runtime: reference counting, the module's count of live objects and
// locks, and the class factory base.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "platform/com/interfaces.h"

namespace quillet {

/// The server module's counts. Each module (library or program) has its own.
class TComServer {
public:
    static void ObjectCreated() { FObjects.fetch_add(1, std::memory_order_relaxed); }
    static void ObjectDestroyed() { FObjects.fetch_sub(1, std::memory_order_acq_rel); }
    /// Counts a lock, or takes one back (never below none).
    static void Lock(bool lock)
    {
        if (lock) {
            FLocks.fetch_add(1, std::memory_order_acq_rel);
            return;
        }
        int32_t count = FLocks.load(std::memory_order_acquire);
        while (count > 0 && !FLocks.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
        }
    }
    static int32_t ObjectCount() { return FObjects.load(std::memory_order_acquire); }
    static int32_t LockCount() { return FLocks.load(std::memory_order_acquire); }
    /// True when no object is alive and no client holds the server locked.
    static bool CanUnloadNow() { return ObjectCount() == 0 && LockCount() == 0; }

private:
    static inline std::atomic<int32_t> FObjects{0};
    static inline std::atomic<int32_t> FLocks{0};
};

/// A counted object implementing the given interfaces; the first one is its IUnknown.
/// Creation counts a live object of the module, destruction by the last Release uncounts
/// it. A derived class says which interfaces it answers with GetInterface.
template <class First, class... Rest>
class TComObject : public First, public Rest... {
public:
    HRESULT QueryInterface(const IID& iid, void** object) override
    {
        if (object == nullptr) return E_POINTER;
        void* found = iid == IID_IUnknown ? static_cast<IUnknown*>(static_cast<First*>(this)) : GetInterface(iid);
        *object = found;
        if (found == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override
    {
        const ULONG count = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0) delete this;
        return count;
    }
    /// The object's identity.
    IUnknown* Unknown() { return static_cast<IUnknown*>(static_cast<First*>(this)); }

protected:
    /// Objects the module does not count, so that holding one never keeps the module from
    /// unloading (error objects, which a thread's slot may keep until its next failure).
    struct TUncounted {};

    TComObject() { TComServer::ObjectCreated(); }
    explicit TComObject(TUncounted) : FCounted(false) {}
    virtual ~TComObject()
    {
        if (FCounted) TComServer::ObjectDestroyed();
    }
    TComObject(const TComObject&) = delete;
    TComObject& operator=(const TComObject&) = delete;

    /// The interface pointer for iid (not counted), or null. IUnknown is answered already.
    virtual void* GetInterface(const IID& iid) = 0;

private:
    std::atomic<ULONG> FRefCount{0};
    bool FCounted = true;
};

/// Makes a new object of the class and asks it for iid; the object goes again when it
/// lacks iid. CLASS_E_NOAGGREGATION for an outer object, E_OUTOFMEMORY when it cannot be
/// made.
template <class T, class... Args>
HRESULT CreateComObject(const IID& iid, void** object, Args&&... args)
{
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    T* created = nullptr;
    try {
        created = new T(std::forward<Args>(args)...);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    created->AddRef();
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

/// A class factory: it makes objects of one class by a creation function. It lives as
/// long as its module (a static object); its references do not keep it alive, locks count
/// in the module's TComServer.
class TComObjectFactory : public IClassFactory {
public:
    /// creator: makes a new object and queries it for iid (see CreateComObject).
    using TCreator = HRESULT (*)(const IID& iid, void** object);

    TComObjectFactory(const CLSID& classId, std::string progId, std::string description,
                      std::string threadingModel, TCreator creator)
        : FClassId(classId), FProgId(std::move(progId)), FDescription(std::move(description)),
          FThreadingModel(std::move(threadingModel)), FCreator(creator) {}
    virtual ~TComObjectFactory() = default;

    HRESULT QueryInterface(const IID& iid, void** object) override;
    ULONG AddRef() override { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 2; }
    ULONG Release() override { return FRefCount.fetch_sub(1, std::memory_order_relaxed); }
    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override;
    HRESULT LockServer(int32_t lock) override;

    const CLSID& ClassId() const { return FClassId; }
    const std::string& ProgId() const { return FProgId; }
    const std::string& Description() const { return FDescription; }
    const std::string& ThreadingModel() const { return FThreadingModel; }

private:
    CLSID FClassId;
    std::string FProgId;
    std::string FDescription;
    std::string FThreadingModel;
    TCreator FCreator;
    std::atomic<ULONG> FRefCount{0};
};

}  // namespace quillet
