// Test helpers for the component: the library loaded from the build (build/libquillet.so),
// objects made through its class factory and driven only through IDispatch by name, and a
// small scripting context whose Request object serves a body as a page host would.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "component/Lumexa_TLB.h"
#include "platform/com/errorinfo.h"
#include "platform/com/library.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"
#include "tests/support/script_object.h"

namespace quillet::test {

/// The component library of this build, loaded once.
inline TComLibrary& QuilletLibrary()
{
    static TComLibrary library(QUILLET_BINARY_DIR "/libquillet.so");
    return library;
}

/// What one Invoke did.
struct TCall {
    HRESULT Hr = S_OK;      ///< Invoke's own result
    HRESULT Code = S_OK;    ///< the member's HRESULT (EXCEPINFO's scode after DISP_E_EXCEPTION)
    TVariant Value;         ///< the result (poisoned before the call)
    TErrorDetails Error;    ///< from the EXCEPINFO
    uint32_t ArgErr = 0xFFFFFFFF;

    std::string Text() const
    {
        EXPECT_EQ(Value.Type(), VT_BSTR);
        return Value.Type() == VT_BSTR ? BstrToUtf8(Value.Value().bstrVal) : std::string("<not text>");
    }
};

/// A value that no member would leave: a failed call must replace it with VT_EMPTY.
inline void Poison(VARIANT* value)
{
    VariantInit(value);
    value->vt = VT_I4;
    value->lVal = 0x5A5A5A5A;
}

/// Invokes a member by id with arguments in declaration order; a put passes its value as
/// the named DISPID_PROPERTYPUT argument.
inline TCall InvokeId(IDispatch* object, DISPID id, uint16_t flags, const std::vector<TVariant>& args = {},
                      bool withExcepInfo = true)
{
    TCall call;
    std::vector<VARIANT> rgvarg;
    for (auto it = args.rbegin(); it != args.rend(); ++it) rgvarg.push_back(it->Value());
    DISPID putId = DISPID_PROPERTYPUT;
    const bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS params = {rgvarg.empty() ? nullptr : rgvarg.data(), isPut ? &putId : nullptr, uint32_t(rgvarg.size()),
                         isPut && !rgvarg.empty() ? 1u : 0u};
    EXCEPINFO excepInfo = {};
    Poison(call.Value.Ptr());
    call.Hr = object->Invoke(id, IID_NULL, 0, flags, &params, call.Value.Ptr(), withExcepInfo ? &excepInfo : nullptr,
                             &call.ArgErr);
    call.Code = call.Hr;
    if (call.Hr == DISP_E_EXCEPTION) {
        call.Error = TakeExcepInfo(&excepInfo);
        call.Code = call.Error.Code;
    }
    return call;
}

inline DISPID DispId(IDispatch* object, const std::string& name)
{
    std::u16string wide = Utf8ToUtf16(name);
    LPOLESTR names[1] = {wide.data()};
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << name;
    return id;
}

/// Resolves the name with GetIDsOfNames, then invokes.
inline TCall Invoke(IDispatch* object, const std::string& name, uint16_t flags, const std::vector<TVariant>& args = {},
                    bool withExcepInfo = true)
{
    return InvokeId(object, DispId(object, name), flags, args, withExcepInfo);
}

/// A scripting context whose Request object serves body: TotalBytes reports totalBytes
/// (the body's size when negative), BinaryRead(count) hands out up to count bytes and
/// lowers count to what it handed out.
struct TTestPage {
    TComPtr<TScriptObject> Context;
    TComPtr<TScriptObject> RequestObject;
    std::vector<uint8_t> Body;
    int64_t TotalBytes = -1;
    int32_t CountSeen = -1;     ///< the count BinaryRead was given
    int RequestGets = 0;
    HRESULT BinaryReadFailure = S_OK;
    std::string FailureText;

    explicit TTestPage(std::vector<uint8_t> body = {}) : Body(std::move(body))
    {
        Context = TComPtr<TScriptObject>::Adopt(new TScriptObject(true));
        Context->AddRef();
        RequestObject = TComPtr<TScriptObject>::Adopt(new TScriptObject(false));
        RequestObject->AddRef();
        Context->Add("Request", [this](uint16_t flags, std::vector<VARIANT*>&, VARIANT* result) {
            if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
            ++RequestGets;
            result->vt = VT_DISPATCH;
            result->pdispVal = RequestObject.Get();
            RequestObject->AddRef();
            return S_OK;
        });
        RequestObject->Add("TotalBytes", [this](uint16_t flags, std::vector<VARIANT*>&, VARIANT* result) {
            if ((flags & DISPATCH_PROPERTYGET) == 0) return DISP_E_MEMBERNOTFOUND;
            result->vt = VT_I4;
            result->lVal = int32_t(TotalBytes >= 0 ? TotalBytes : int64_t(Body.size()));
            return S_OK;
        });
        RequestObject->Add("BinaryRead", [this](uint16_t flags, std::vector<VARIANT*>& args, VARIANT* result) {
            if ((flags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
            if (args.size() != 1 || args[0]->vt != (VT_BYREF | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
            VARIANT* count = args[0]->pvarVal;
            if (count->vt != VT_I4) return DISP_E_TYPEMISMATCH;
            CountSeen = count->lVal;
            if (FAILED(BinaryReadFailure)) {
                TErrorDetails details;
                details.Source = "Test host";
                details.Description = FailureText;
                SetErrorDetails(details);
                return BinaryReadFailure;
            }
            const size_t n = std::min<size_t>(Body.size(), size_t(std::max(count->lVal, 0)));
            count->lVal = int32_t(n);
            TVariant bytes = TVariant::Bytes({Body.data(), n});
            bytes.Detach(result);
            return S_OK;
        });
    }
    TTestPage(const TTestPage&) = delete;
    TTestPage& operator=(const TTestPage&) = delete;
    IUnknown* Unknown() const { return Context->Unknown(); }
};

/// An object made through the library's class factory, reached through IDispatch.
class TQuilletObject {
public:
    TQuilletObject()
    {
        TComPtr<IClassFactory> factory;
        EXPECT_EQ(QuilletLibrary().GetClassObject(CLASS_Quillet, IID_IClassFactory, factory.ReceiveVoid()), S_OK);
        if (factory) {
            EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, FDispatch.ReceiveVoid()), S_OK);
        }
    }
    IDispatch* operator->() const { return FDispatch.Get(); }
    IDispatch* Get() const { return FDispatch.Get(); }
    void Reset() { FDispatch.Reset(); }

    TCall Call(const std::string& name, const std::vector<TVariant>& args = {}, bool withExcepInfo = true) const
    {
        return Invoke(Get(), name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, withExcepInfo);
    }
    TCall Get(const std::string& name) const { return Invoke(Get(), name, DISPATCH_PROPERTYGET); }
    TCall Put(const std::string& name, const TVariant& value) const
    {
        return Invoke(Get(), name, DISPATCH_PROPERTYPUT, {value});
    }
    /// OnStartPage with the page's scripting context; S_OK expected.
    void Start(TTestPage& page) const
    {
        const TCall call = Call("OnStartPage", {TVariant::Unknown(page.Unknown())});
        ASSERT_EQ(call.Hr, S_OK) << call.Error.Description;
    }
    std::string Text(const std::string& member, const std::string& tagName) const
    {
        const TCall call = Call(member, {TVariant::Text(tagName)});
        EXPECT_EQ(call.Hr, S_OK) << member << "(" << tagName << "): " << call.Error.Description;
        return call.Text();
    }

private:
    TComPtr<IDispatch> FDispatch;
};

/// The bytes of a text.
inline std::vector<uint8_t> BytesOf(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace quillet::test
