// The automation object base: an object of a class described by a type library, whose
// IDispatch is served from the description of its interface, and whose members report
// exceptions as error information (the guard). Also its class factory, the page-object
// base that keeps a page host's scripting context, and the guard itself.
#pragma once

#include <exception>
#include <string>

#include "platform/com/errorinfo.h"
#include "platform/com/object.h"
#include "platform/com/typeinfo.h"
#include "platform/com/variant.h"
#include "platform/errors.h"

namespace quillet {

/// What an automation class is: its class description (a coclass of a library, whose
/// default interface is the one the object implements) and its program id, which is the
/// library's name, a point and the class's name.
struct TAutoClass {
    const TTypeDesc* CoClass;
    const TTypeDesc& Interface() const { return *CoClass->Interfaces[0]; }
    const TTypeLibDesc& Library() const { return *CoClass->Library; }
    std::string ProgId() const { return std::string(Library().Name) + "." + CoClass->Name; }
};

/// An automation object implementing Interface (a dual interface derived from IDispatch)
/// and the interfaces in Extra. It answers IUnknown, IDispatch, Interface,
/// ISupportErrorInfo (S_OK for every interface it implements), IProvideClassInfo,
/// IErrorInfoSource and Extra (through GetExtraInterface).
template <class Interface, class... Extra>
class TAutoObject : public TComObject<Interface, ISupportErrorInfo, IProvideClassInfo, IErrorInfoSource, Extra...> {
public:
    explicit TAutoObject(const TAutoClass& autoClass) : FClass(autoClass) {}

    // IDispatch, served from the interface's description.
    HRESULT GetTypeInfoCount(uint32_t* count) override
    {
        if (count == nullptr) return E_INVALIDARG;
        *count = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(uint32_t index, LCID, ITypeInfo** info) override
    {
        if (info == nullptr) return E_INVALIDARG;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return CreateTypeInfo(FClass.Interface(), info);
    }
    HRESULT GetIDsOfNames(const IID& iid, LPOLESTR* names, uint32_t count, LCID, DISPID* ids) override
    {
        if (!(iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        return DispGetIDsOfNames(FClass.Interface(), names, count, ids);
    }
    HRESULT Invoke(DISPID member, const IID& iid, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, uint32_t* argErr) override
    {
        if (!(iid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        // A put and a put by reference reach the same member: the property's put.
        if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0)
            flags |= DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
        return DispInvoke(FClass.Interface(), static_cast<Interface*>(this), member, flags, params, result,
                          excepInfo, argErr);
    }

    // ISupportErrorInfo
    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override
    {
        void* found = iid == IID_IUnknown ? this->Unknown() : GetInterface(iid);
        return found != nullptr ? S_OK : S_FALSE;
    }
    // IProvideClassInfo
    HRESULT GetClassInfo(ITypeInfo** info) override
    {
        if (info == nullptr) return E_INVALIDARG;
        *info = nullptr;
        return CreateTypeInfo(*FClass.CoClass, info);
    }
    // IErrorInfoSource: the information this module's thread slot holds.
    HRESULT GetErrorInfo(IErrorInfo** info) override { return quillet::GetErrorInfo(0, info); }

protected:
    void* GetInterface(const IID& iid) override
    {
        if (iid == IID_IDispatch || iid == FClass.Interface().Guid) return static_cast<Interface*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        if (iid == IID_IProvideClassInfo) return static_cast<IProvideClassInfo*>(this);
        if (iid == IID_IErrorInfoSource) return static_cast<IErrorInfoSource*>(this);
        return GetExtraInterface(iid);
    }
    /// The interfaces of Extra.
    virtual void* GetExtraInterface(const IID&) { return nullptr; }

    /// Runs a member's body inside the guard. The out value (when there is one) is
    /// VT_EMPTY on entry and stays so when the body raises; the exception then becomes
    /// the thread's error information (GUID: the interface's id, source: the program id,
    /// description: the message) and the result E_UNEXPECTED or the exception's own
    /// negative HRESULT.
    template <class Body>
    HRESULT Guard(VARIANT* out, Body&& body) noexcept
    {
        if (out != nullptr) VariantInit(out);
        try {
            body();
            return S_OK;
        } catch (...) {
            if (out != nullptr) {
                VariantClear(out);
            }
            return SafeCallException();
        }
    }
    /// The guard's handler; call from inside a catch block.
    HRESULT SafeCallException() noexcept
    {
        try {
            return HandleSafeCallException(FClass.Interface().Guid, FClass.ProgId(), {});
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

    const TAutoClass& FClass;
};

/// The factory of an automation class: multi-instance, with the class's description and
/// program id.
class TAutoObjectFactory : public TComObjectFactory {
public:
    TAutoObjectFactory(const TAutoClass& autoClass, std::string threadingModel, TCreator creator)
        : TComObjectFactory(autoClass.CoClass->Guid, autoClass.ProgId(), autoClass.CoClass->DocString,
                            std::move(threadingModel), creator),
          FClass(autoClass) {}
    const TAutoClass& AutoClass() const { return FClass; }

private:
    const TAutoClass& FClass;
};

inline constexpr char kInterfaceNotSupported[] = "Interface not supported";

/// A page object: an automation object that keeps the page host's scripting context from
/// the page's start to its end, and answers IPageObject.
template <class Interface>
class TASPObject : public TAutoObject<Interface, IPageObject> {
public:
    using TAutoObject<Interface, IPageObject>::TAutoObject;

protected:
    ~TASPObject() override
    {
        if (FContext != nullptr) FContext->Release();
    }
    void* GetExtraInterface(const IID& iid) override
    {
        return iid == IID_IPageObject ? static_cast<IPageObject*>(this) : nullptr;
    }
    /// The base's page start: keeps its own reference to the argument as the scripting
    /// context; raises "Interface not supported" when the argument does not offer it. A
    /// null argument leaves no context.
    void PageStart(IUnknown* context)
    {
        IScriptingContext* kept = nullptr;
        if (context != nullptr && FAILED(context->QueryInterface(IID_IScriptingContext, reinterpret_cast<void**>(&kept))))
            throw Exception(kInterfaceNotSupported);
        if (FContext != nullptr) FContext->Release();
        FContext = kept;
    }
    /// The base's page end: lets the context go.
    void PageEnd()
    {
        if (FContext != nullptr) FContext->Release();
        FContext = nullptr;
    }
    IScriptingContext* PageContext() const { return FContext; }

private:
    IScriptingContext* FContext = nullptr;
};

}  // namespace quillet
