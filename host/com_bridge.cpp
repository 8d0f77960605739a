// Automation values to and from VARIANTs, IDispatch objects for the script, and the host's
// own objects (the scripting context, its Request) as IDispatch objects for components.
#include "host/com_bridge.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "host/request.h"
#include "host/utf.h"
#include "platform/com/dispatch.h"
#include "platform/com/errorinfo.h"
#include "platform/com/object.h"

namespace quillet::host {

namespace {

// What a failure says when its object left no description.
std::string DescriptionOf(HRESULT hr)
{
    static const struct {
        HRESULT Code;
        const char* Text;
    } kTexts[] = {
        {DISP_E_MEMBERNOTFOUND, "Member not found"},
        {DISP_E_TYPEMISMATCH, "Type mismatch"},
        {DISP_E_UNKNOWNNAME, "Unknown name"},
        {DISP_E_BADPARAMCOUNT, "Invalid number of parameters"},
        {DISP_E_PARAMNOTOPTIONAL, "Parameter not optional"},
        {DISP_E_PARAMNOTFOUND, "Parameter not found"},
        {DISP_E_OVERFLOW, "Out of present range"},
        {DISP_E_BADVARTYPE, "Bad variable type"},
        {E_OUTOFMEMORY, "Out of memory"},
        {E_NOINTERFACE, "No such interface supported"},
        {E_INVALIDARG, "The parameter is incorrect"},
        {E_UNEXPECTED, "Unexpected failure"},
        {E_FAIL, "Unspecified error"},
        {CLASS_E_CLASSNOTAVAILABLE, "The class factory cannot supply the requested class"},
    };
    for (const auto& t : kTexts)
        if (t.Code == hr) return t.Text;
    char text[40];
    std::snprintf(text, sizeof text, "Automation error %08X", uint32_t(hr));
    return text;
}

class TDispatchObject final : public IAutoObject {
public:
    explicit TDispatchObject(IDispatch* object) : FObject(object) {}

    std::optional<int32_t> FindMember(const std::string& name) override
    {
        DISPID id = DISPID_UNKNOWN;
        const HRESULT hr = GetDispId(FObject.Get(), name, &id);
        if (hr == DISP_E_UNKNOWNNAME) return std::nullopt;
        if (FAILED(hr)) throw EAutoError(hr, std::string(), DescriptionOf(hr));
        return id;
    }

    TAutoValue Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args) override
    {
        std::vector<TVariant> owned;
        owned.reserve(args.size());
        for (const TAutoValue& a : args) owned.push_back(ToVariant(a));
        std::vector<VARIANT> raw;
        raw.reserve(owned.size());
        for (const TVariant& v : owned) raw.push_back(v.Value());
        const uint16_t flags = kind == TInvokeKind::ikGet      ? DISPATCH_PROPERTYGET
                               : kind == TInvokeKind::ikMethod ? DISPATCH_METHOD
                                                               : DISPATCH_PROPERTYPUT;
        TVariant result;
        TErrorDetails failure;
        const HRESULT hr = InvokeMember(FObject.Get(), id, flags, raw.empty() ? nullptr : raw.data(),
                                        uint32_t(raw.size()), result.Ptr(), &failure);
        if (FAILED(hr))
            throw EAutoError(hr, failure.Source, failure.Description.empty() ? DescriptionOf(hr) : failure.Description);
        return FromVariant(result.Value());
    }

    IDispatch* Dispatch() const { return FObject.Get(); }

private:
    TComPtr<IDispatch> FObject;
};

// A host object as IDispatch: names through FindMember, calls through Invoke. It reports
// failures through EXCEPINFO when the caller gives one, else as this module's error
// information, which the caller reaches through ISupportErrorInfo and IErrorInfoSource.
class THostDispatch final : public TComObject<IScriptingContext, ISupportErrorInfo, IErrorInfoSource> {
public:
    THostDispatch(TAutoObjectRef object, bool isContext) : FObject(std::move(object)), FIsContext(isContext) {}

    HRESULT GetTypeInfoCount(uint32_t* count) override
    {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo** info) override
    {
        if (info != nullptr) *info = nullptr;
        return DISP_E_BADINDEX;
    }
    HRESULT GetIDsOfNames(const IID&, LPOLESTR* names, uint32_t count, LCID, DISPID* ids) override
    {
        if (count == 0) return S_OK;
        if (names == nullptr || ids == nullptr || names[0] == nullptr) return E_INVALIDARG;
        for (uint32_t i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        try {
            const std::optional<int32_t> id = FObject->FindMember(Utf16ToScriptText(names[0]));
            if (!id) return DISP_E_UNKNOWNNAME;
            ids[0] = *id;
            return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const Exception&) {
            return DISP_E_UNKNOWNNAME;
        }
    }
    HRESULT Invoke(DISPID member, const IID&, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, uint32_t* argErr) override
    {
        if (result != nullptr) VariantInit(result);
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        if (params == nullptr) params = &none;
        if (params->cNamedArgs > params->cArgs || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
        SetErrorInfo(0, nullptr);
        try {
            // Arguments in declaration order; a put's value (named DISPID_PROPERTYPUT) last.
            std::vector<TAutoValue> args;
            std::vector<VARIANT*> places;
            const uint32_t positional = params->cArgs - params->cNamedArgs;
            for (uint32_t k = 0; k < positional; ++k) places.push_back(&params->rgvarg[params->cArgs - 1 - k]);
            for (uint32_t j = 0; j < params->cNamedArgs; ++j) {
                if (params->rgdispidNamedArgs == nullptr || params->rgdispidNamedArgs[j] != DISPID_PROPERTYPUT) {
                    if (argErr != nullptr) *argErr = j;
                    return DISP_E_PARAMNOTFOUND;
                }
                places.push_back(&params->rgvarg[j]);
            }
            for (VARIANT* place : places) args.push_back(FromVariant(*place));

            TAutoValue value;
            if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
                value = FObject->Invoke(member, TInvokeKind::ikPut, args);
            } else if (flags & DISPATCH_METHOD) {
                try {
                    value = FObject->Invoke(member, TInvokeKind::ikMethod, args);
                } catch (const EAutoError& e) {
                    if (e.HResult() != DISP_E_MEMBERNOTFOUND || !(flags & DISPATCH_PROPERTYGET)) throw;
                    value = FObject->Invoke(member, TInvokeKind::ikGet, args);
                }
            } else {
                value = FObject->Invoke(member, TInvokeKind::ikGet, args);
            }
            // Arguments by reference get what the member left in them.
            for (size_t k = 0; k < places.size(); ++k) {
                VARIANT* place = places[k];
                if (place->vt == (VT_BYREF | VT_VARIANT) && place->pvarVal != nullptr) {
                    TVariant updated = ToVariant(args[k]);
                    VariantClear(place->pvarVal);
                    updated.Detach(place->pvarVal);
                } else if (place->vt == (VT_BYREF | VT_I4) && place->plVal != nullptr) {
                    if (const int32_t* i = std::get_if<int32_t>(&args[k])) *place->plVal = *i;
                }
            }
            if (result != nullptr) ToVariant(value).Detach(result);
            return S_OK;
        } catch (const EAutoError& e) {
            return Report(e.HResult(), e.Source(), e.Message(), excepInfo);
        } catch (const std::bad_alloc&) {
            return Report(E_OUTOFMEMORY, "Page", "Out of memory", excepInfo);
        } catch (const Exception& e) {
            return Report(E_FAIL, "Page", e.Message(), excepInfo);
        }
    }

    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override
    {
        return iid == IID_IDispatch || (FIsContext && iid == IID_IScriptingContext) ? S_OK : S_FALSE;
    }
    HRESULT GetErrorInfo(IErrorInfo** info) override { return quillet::GetErrorInfo(0, info); }

protected:
    void* GetInterface(const IID& iid) override
    {
        if (iid == IID_IDispatch || (FIsContext && iid == IID_IScriptingContext))
            return static_cast<IScriptingContext*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        if (iid == IID_IErrorInfoSource) return static_cast<IErrorInfoSource*>(this);
        return nullptr;
    }

private:
    static HRESULT Report(HRESULT hr, const std::string& source, const std::string& description, EXCEPINFO* excepInfo)
    {
        if (excepInfo != nullptr) {
            *excepInfo = {};
            excepInfo->scode = hr;
            excepInfo->bstrSource = Utf8ToBstr(source);
            excepInfo->bstrDescription = Utf8ToBstr(description);
            return DISP_E_EXCEPTION;
        }
        TErrorDetails details;
        details.Code = hr;
        details.Guid = IID_IDispatch;
        details.Source = source;
        details.Description = description;
        SetErrorDetails(details);
        return hr;
    }

    TAutoObjectRef FObject;
    bool FIsContext;
};

}  // namespace

TAutoObjectRef WrapDispatch(IDispatch* object) { return std::make_shared<TDispatchObject>(object); }

TVariant ToVariant(const TAutoValue& value)
{
    struct Visitor {
        TVariant operator()(std::monostate) const { return TVariant(); }
        TVariant operator()(TAutoNull) const { return TVariant::Null(); }
        TVariant operator()(bool b) const { return TVariant::Bool(b); }
        TVariant operator()(int32_t i) const { return TVariant::Int(i); }
        TVariant operator()(double d) const { return TVariant::Double(d); }
        TVariant operator()(const std::string& s) const
        {
            const std::u16string wide = ScriptTextToUtf16(s);
            return TVariant::Text(std::u16string_view(wide));
        }
        TVariant operator()(const TAutoBytes& bytes) const { return TVariant::Bytes(bytes); }
        TVariant operator()(const TAutoObjectRef& object) const
        {
            if (!object) return TVariant::Null();
            if (auto* dispatch = dynamic_cast<TDispatchObject*>(object.get()))
                return TVariant::Dispatch(dispatch->Dispatch());
            const bool isContext = dynamic_cast<TScriptingContext*>(object.get()) != nullptr;
            TComPtr<IDispatch> host;
            const HRESULT hr = CreateComObject<THostDispatch>(IID_IDispatch, host.ReceiveVoid(), object, isContext);
            if (FAILED(hr)) throw EAutoError(hr, "Page", DescriptionOf(hr));
            return TVariant::Dispatch(host.Get());
        }
    };
    return std::visit(Visitor{}, value);
}

TAutoValue FromVariant(const VARIANT& value)
{
    if (value.vt & VT_BYREF) {
        TVariant direct;
        const HRESULT hr = VariantCopyInd(direct.Ptr(), &value);
        if (FAILED(hr)) throw EAutoError(hr, "Page", DescriptionOf(hr));
        if (direct.Type() & VT_BYREF) throw EAutoError(DISP_E_BADVARTYPE, "Page", DescriptionOf(DISP_E_BADVARTYPE));
        return FromVariant(direct.Value());
    }
    switch (value.vt) {
    case VT_EMPTY: return std::monostate();
    case VT_NULL: return TAutoNull();
    case VT_BOOL: return value.boolVal != VARIANT_FALSE;
    case VT_I4:
    case VT_INT: return int32_t(value.lVal);
    case VT_I2: return int32_t(value.iVal);
    case VT_I1: return int32_t(value.cVal);
    case VT_UI1: return int32_t(value.bVal);
    case VT_UI2: return int32_t(value.uiVal);
    case VT_UI4:
    case VT_UINT: return value.ulVal <= uint32_t(INT32_MAX) ? TAutoValue(int32_t(value.ulVal)) : TAutoValue(double(value.ulVal));
    case VT_R4: return double(value.fltVal);
    case VT_R8: return value.dblVal;
    case VT_BSTR: return Utf16ToScriptText(std::u16string(BstrView(value.bstrVal)));
    case VT_ERROR: return std::monostate();  // a missing optional argument
    case VT_ARRAY | VT_UI1: {
        const std::span<const uint8_t> bytes = VariantBytes(value);
        return TAutoBytes(bytes.begin(), bytes.end());
    }
    case VT_DISPATCH:
        if (value.pdispVal == nullptr) return TAutoNull();
        return WrapDispatch(value.pdispVal);
    case VT_UNKNOWN: {
        if (value.punkVal == nullptr) return TAutoNull();
        TComPtr<IDispatch> dispatch = QueryAs<IDispatch>(value.punkVal, IID_IDispatch);
        if (!dispatch) throw EAutoError(E_NOINTERFACE, "Page", "The object offers no automation interface");
        return WrapDispatch(dispatch.Get());
    }
    default: break;
    }
    throw EAutoError(DISP_E_BADVARTYPE, "Page", "A value of type " + VarTypeName(value.vt) + " cannot be used in a script");
}

}  // namespace quillet::host
