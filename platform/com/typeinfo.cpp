// Dispatch served from type-library data, type information objects, and the library's
// registry keys.
#include "platform/com/typeinfo.h"

#include <vector>

#include "platform/com/errorinfo.h"
#include "platform/com/object.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace quillet {

namespace {

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; }

// Names are ASCII in the descriptions; a caller's name matches ignoring case.
bool SameName(const char* described, const OLECHAR* asked)
{
    if (described == nullptr || asked == nullptr) return false;
    size_t i = 0;
    for (; described[i] != '\0'; ++i)
        if (asked[i] == 0 || FoldAscii(char16_t(uint8_t(described[i]))) != FoldAscii(asked[i])) return false;
    return asked[i] == 0;
}

bool KindAllowed(INVOKEKIND kind, uint16_t flags)
{
    switch (kind) {
    case INVOKE_FUNC: return (flags & DISPATCH_METHOD) != 0;
    case INVOKE_PROPERTYGET: return (flags & DISPATCH_PROPERTYGET) != 0;
    case INVOKE_PROPERTYPUT: return (flags & DISPATCH_PROPERTYPUT) != 0;
    case INVOKE_PROPERTYPUTREF: return (flags & DISPATCH_PROPERTYPUTREF) != 0;
    }
    return false;
}

const TFuncDesc* FindFunc(const TTypeDesc& type, MEMBERID member)
{
    for (uint16_t i = 0; i < type.FuncCount; ++i)
        if (type.Funcs[i].MemberId == member) return &type.Funcs[i];
    return nullptr;
}

void FillExcepInfo(EXCEPINFO* excepInfo, HRESULT code)
{
    *excepInfo = {};
    excepInfo->scode = code;
    TComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Receive()) != S_OK) return;
    info->GetSource(&excepInfo->bstrSource);
    info->GetDescription(&excepInfo->bstrDescription);
    info->GetHelpFile(&excepInfo->bstrHelpFile);
    info->GetHelpContext(&excepInfo->dwHelpContext);
}

BSTR NewBstr(const char* text) { return text != nullptr ? Utf8ToBstr(text) : nullptr; }

}  // namespace

HRESULT DispGetIDsOfNames(const TTypeDesc& type, LPOLESTR* names, uint32_t count, DISPID* ids)
{
    if (count > 0 && (names == nullptr || ids == nullptr)) return E_INVALIDARG;
    for (uint32_t i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (count == 0) return S_OK;
    const TFuncDesc* func = nullptr;
    for (uint16_t i = 0; i < type.FuncCount && func == nullptr; ++i)
        if (SameName(type.Funcs[i].Name, names[0])) func = &type.Funcs[i];
    if (func == nullptr) return DISP_E_UNKNOWNNAME;
    ids[0] = func->MemberId;
    HRESULT hr = S_OK;
    for (uint32_t n = 1; n < count; ++n) {
        // An argument name of any member with this id (a property's get and put).
        for (uint16_t i = 0; i < type.FuncCount && ids[n] == DISPID_UNKNOWN; ++i) {
            const TFuncDesc& f = type.Funcs[i];
            if (f.MemberId != func->MemberId) continue;
            for (int16_t p = 0; p < f.ParamCount; ++p)
                if (f.Params[p].Name[0] != '\0' && SameName(f.Params[p].Name, names[n])) ids[n] = p;
        }
        if (ids[n] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispInvoke(const TTypeDesc& type, void* instance, DISPID member, uint16_t flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, uint32_t* argErr)
{
    if (result != nullptr) VariantInit(result);
    const TFuncDesc* func = nullptr;
    for (uint16_t i = 0; i < type.FuncCount && func == nullptr; ++i)
        if (type.Funcs[i].MemberId == member && KindAllowed(type.Funcs[i].InvokeKind, flags)) func = &type.Funcs[i];
    if (func == nullptr) return DISP_E_MEMBERNOTFOUND;

    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (params == nullptr) params = &none;
    if (params->cNamedArgs > params->cArgs || (params->cArgs > 0 && params->rgvarg == nullptr) ||
        (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr))
        return E_INVALIDARG;
    const uint32_t count = uint32_t(func->ParamCount);
    if (params->cArgs > count) return DISP_E_BADPARAMCOUNT;

    // Which rgvarg entry feeds each argument: positional ones from the end of rgvarg,
    // named ones by their position (the value of a put by DISPID_PROPERTYPUT).
    std::vector<int64_t> place(count, -1);
    const uint32_t positional = params->cArgs - params->cNamedArgs;
    for (uint32_t k = 0; k < positional; ++k) place[k] = int64_t(params->cArgs) - 1 - k;
    const bool isPut = (func->InvokeKind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0;
    for (uint32_t j = 0; j < params->cNamedArgs; ++j) {
        const DISPID id = params->rgdispidNamedArgs[j];
        int64_t target = -1;
        if (id == DISPID_PROPERTYPUT && isPut && count > 0)
            target = count - 1;
        else if (id >= 0 && uint32_t(id) < count)
            target = id;
        if (target < 0 || place[size_t(target)] != -1) {
            if (argErr != nullptr) *argErr = j;
            return DISP_E_PARAMNOTFOUND;
        }
        place[size_t(target)] = j;
    }

    std::vector<VARIANT> args(count);
    std::vector<TVariant> converted;  // arguments made for the call, freed after it
    converted.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (place[i] < 0) return DISP_E_PARAMNOTOPTIONAL;
        const VARIANT& given = params->rgvarg[place[i]];
        if (given.vt == VT_ERROR && given.scode == DISP_E_PARAMNOTFOUND) return DISP_E_PARAMNOTOPTIONAL;
        if (func->Params[i].Type == VT_VARIANT) {
            args[i] = given;
            continue;
        }
        converted.emplace_back();
        const HRESULT hr = VariantChangeType(converted.back().Ptr(), &given, 0, func->Params[i].Type);
        if (FAILED(hr)) {
            if (argErr != nullptr) *argErr = uint32_t(place[i]);
            return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
        }
        args[i] = converted.back().Value();
    }

    SetErrorInfo(0, nullptr);  // what the member leaves is about this call only
    TVariant out;
    const HRESULT hr = func->Call(instance, args.data(), out.Ptr());
    if (FAILED(hr)) {
        out.Clear();
        if (excepInfo == nullptr) return hr;
        FillExcepInfo(excepInfo, hr);
        return DISP_E_EXCEPTION;
    }
    if (result != nullptr) out.Detach(result);
    return hr;
}

// --- Type information objects ----------------------------------------------------

namespace {

class TTypeInfo final : public TComObject<ITypeInfo> {
public:
    explicit TTypeInfo(const TTypeDesc& type) : FType(type) {}

    HRESULT GetTypeAttr(TYPEATTR* attr) override
    {
        if (attr == nullptr) return E_INVALIDARG;
        *attr = {};
        attr->guid = FType.Guid;
        attr->lcid = FType.Library != nullptr ? FType.Library->Lcid : 0;
        attr->typekind = FType.Kind;
        attr->cFuncs = FType.FuncCount;
        attr->cImplTypes = FType.InterfaceCount;
        attr->cbSizeVft = uint16_t(FType.SlotCount * sizeof(void*));
        attr->wTypeFlags = FType.Flags;
        if (FType.Library != nullptr) {
            attr->wMajorVerNum = FType.Library->MajorVersion;
            attr->wMinorVerNum = FType.Library->MinorVersion;
        }
        return S_OK;
    }

    HRESULT GetFuncDesc(uint32_t index, FUNCDESC* desc) override
    {
        if (desc == nullptr) return E_INVALIDARG;
        if (index >= FType.FuncCount) return TYPE_E_ELEMENTNOTFOUND;
        const TFuncDesc& f = FType.Funcs[index];
        desc->memid = f.MemberId;
        desc->invkind = f.InvokeKind;
        desc->cParams = f.ParamCount;
        desc->cParamsOpt = 0;
        desc->oVft = int16_t(f.Slot * int(sizeof(void*)));
        desc->vtResult = f.HasResult ? VT_VARIANT : VT_EMPTY;
        return S_OK;
    }

    HRESULT GetNames(MEMBERID member, BSTR* names, uint32_t maxNames, uint32_t* count) override
    {
        if (count == nullptr || (maxNames > 0 && names == nullptr)) return E_INVALIDARG;
        *count = 0;
        const TFuncDesc* f = FindFunc(FType, member);
        if (f == nullptr) return TYPE_E_ELEMENTNOTFOUND;
        try {
            if (maxNames > 0) names[(*count)++] = NewBstr(f->Name);
            for (int16_t p = 0; p < f->ParamCount && *count < maxNames; ++p)
                if (f->Params[p].Name[0] != '\0') names[(*count)++] = NewBstr(f->Params[p].Name);
        } catch (...) {
            for (uint32_t i = 0; i < *count; ++i) SysFreeString(names[i]);
            *count = 0;
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT GetDocumentation(MEMBERID member, BSTR* name, BSTR* docString, uint32_t* helpContext,
                             BSTR* helpFile) override
    {
        const char* itemName = FType.Name;
        const char* itemDoc = FType.DocString;
        if (member != MEMBERID_NIL) {
            const TFuncDesc* f = FindFunc(FType, member);
            if (f == nullptr) return TYPE_E_ELEMENTNOTFOUND;
            itemName = f->Name;
            itemDoc = f->DocString;
        }
        try {
            TBstr n = TBstr::Adopt(name != nullptr ? NewBstr(itemName) : nullptr);
            TBstr d = TBstr::Adopt(docString != nullptr ? NewBstr(itemDoc) : nullptr);
            if (name != nullptr) *name = n.Detach();
            if (docString != nullptr) *docString = d.Detach();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        if (helpContext != nullptr) *helpContext = 0;
        if (helpFile != nullptr) *helpFile = nullptr;
        return S_OK;
    }

    HRESULT GetIDsOfNames(LPOLESTR* names, uint32_t count, MEMBERID* ids) override
    {
        return DispGetIDsOfNames(FType, names, count, ids);
    }

    HRESULT Invoke(void* instance, MEMBERID member, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, uint32_t* argErr) override
    {
        if (instance == nullptr) return E_INVALIDARG;
        return DispInvoke(FType, instance, member, flags, params, result, excepInfo, argErr);
    }

    HRESULT GetImplTypeInfo(uint32_t index, ITypeInfo** info) override
    {
        if (info == nullptr) return E_INVALIDARG;
        *info = nullptr;
        if (index >= FType.InterfaceCount) return TYPE_E_ELEMENTNOTFOUND;
        return CreateTypeInfo(*FType.Interfaces[index], info);
    }

protected:
    void* GetInterface(const IID& iid) override
    {
        return iid == IID_ITypeInfo ? static_cast<ITypeInfo*>(this) : nullptr;
    }

private:
    const TTypeDesc& FType;
};

std::string VersionText(const TTypeLibDesc& library)
{
    return Fmt("%x.%x", unsigned(library.MajorVersion), unsigned(library.MinorVersion));
}

std::string TypeLibKey(const TTypeLibDesc& library)
{
    return "TypeLib\\" + GuidToString(library.Guid) + "\\" + VersionText(library);
}

bool IsRegisteredInterface(const TTypeDesc& type)
{
    return (type.Kind == TKIND_INTERFACE || type.Kind == TKIND_DISPATCH) &&
           (type.Flags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE)) != 0;
}

}  // namespace

HRESULT CreateTypeInfo(const TTypeDesc& type, ITypeInfo** info)
{
    if (info == nullptr) return E_INVALIDARG;
    return CreateComObject<TTypeInfo>(IID_ITypeInfo, reinterpret_cast<void**>(info), type);
}

void RegisterTypeLib(TRegistryData& registry, const TTypeLibDesc& library, const std::string& path)
{
    const std::string key = TypeLibKey(library);
    const size_t slash = path.rfind('/');
    registry.SetValue(key, {}, library.HelpString);
    registry.SetValue(key + "\\" + Fmt("%x", unsigned(library.Lcid)) + "\\linux", {}, path);
    registry.SetValue(key + "\\FLAGS", {}, "0");
    registry.SetValue(key + "\\HELPDIR", {}, slash == std::string::npos ? std::string() : path.substr(0, slash));
    for (uint16_t i = 0; i < library.TypeCount; ++i) {
        const TTypeDesc& type = *library.Types[i];
        if (!IsRegisteredInterface(type)) continue;
        const std::string interfaceKey = "Interface\\" + GuidToString(type.Guid);
        registry.SetValue(interfaceKey, {}, type.Name);
        registry.SetValue(interfaceKey + "\\TypeLib", {}, GuidToString(library.Guid));
        registry.SetValue(interfaceKey + "\\TypeLib", "Version", VersionText(library));
    }
}

void UnRegisterTypeLib(TRegistryData& registry, const TTypeLibDesc& library)
{
    for (uint16_t i = 0; i < library.TypeCount; ++i) {
        const TTypeDesc& type = *library.Types[i];
        if (!IsRegisteredInterface(type)) continue;
        const std::string interfaceKey = "Interface\\" + GuidToString(type.Guid);
        registry.DeleteKey(interfaceKey + "\\TypeLib");
        registry.DeleteKey(interfaceKey);
    }
    const std::string key = TypeLibKey(library);
    const std::string localeKey = key + "\\" + Fmt("%x", unsigned(library.Lcid));
    registry.DeleteKey(localeKey + "\\linux");
    registry.DeleteKey(localeKey);
    registry.DeleteKey(key + "\\FLAGS");
    registry.DeleteKey(key + "\\HELPDIR");
    registry.DeleteKey(key);
    registry.DeleteKey("TypeLib\\" + GuidToString(library.Guid));  // stays while other versions are there
    if (registry.SubKeys("TypeLib").empty()) registry.DeleteKey("TypeLib");
    if (registry.SubKeys("Interface").empty()) registry.DeleteKey("Interface");
}

}  // namespace quillet
