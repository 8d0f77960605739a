// A dispatch object for tests, made in the test itself: members by name, each a function
// of the call. The component's tests use it as a page's scripting context and its Request
// object; the page host's tests as an object that scripts reach through the bridge.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/com/errorinfo.h"
#include "platform/com/interfaces.h"
#include "platform/com/object.h"
#include "platform/com/variant.h"

namespace quillet::test {

/// A dispatch object made in the test: members by name, each a function of the call's
/// flags and arguments (in declaration order). It answers IScriptingContext when asked to,
/// and error information for IDispatch from this module (ISupportErrorInfo and
/// IErrorInfoSource), as a host's objects do. Every call is logged in Calls as
/// "name:get", "name:call", "name:put" or "name:?".
class TScriptObject final : public TComObject<IScriptingContext, ISupportErrorInfo, IErrorInfoSource> {
public:
    using TMember = std::function<HRESULT(uint16_t flags, std::vector<VARIANT*>& args, VARIANT* result)>;

    explicit TScriptObject(bool isContext) : FIsContext(isContext) {}

    void Add(const std::string& name, TMember member)
    {
        FNames[name] = DISPID(FMembers.size() + 1);
        FMembers.push_back(std::move(member));
    }
    /// References held by others than the creator's one.
    ULONG Count()
    {
        AddRef();
        return Release();
    }

    HRESULT GetTypeInfoCount(uint32_t* count) override { *count = 0; return S_OK; }
    HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    HRESULT GetIDsOfNames(const IID&, LPOLESTR* names, uint32_t count, LCID, DISPID* ids) override
    {
        const auto it = FNames.find(Utf16ToUtf8(std::u16string_view(names[0])));
        for (uint32_t i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        if (it == FNames.end()) return DISP_E_UNKNOWNNAME;
        ids[0] = it->second;
        return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, uint32_t*) override
    {
        if (id < 1 || size_t(id) > FMembers.size()) return DISP_E_MEMBERNOTFOUND;
        std::string name;
        for (const auto& [n, i] : FNames)
            if (i == id) name = n;
        Calls.push_back(name + (flags == DISPATCH_PROPERTYGET ? ":get" : flags == DISPATCH_METHOD ? ":call"
                                : flags == DISPATCH_PROPERTYPUT && params->cNamedArgs == 1 &&
                                          params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT
                                      ? ":put"
                                      : ":?"));
        std::vector<VARIANT*> args;
        for (uint32_t i = params->cArgs; i > 0; --i) args.push_back(&params->rgvarg[i - 1]);
        VARIANT scratch;
        VariantInit(&scratch);
        VARIANT* out = result != nullptr ? result : &scratch;
        VariantInit(out);
        SetErrorInfo(0, nullptr);
        const HRESULT hr = FMembers[size_t(id - 1)](flags, args, out);
        VariantClear(&scratch);
        if (FAILED(hr) && excepInfo != nullptr && FReportByExcepInfo) {
            *excepInfo = {};
            excepInfo->scode = hr;
            TComPtr<IErrorInfo> info;
            if (quillet::GetErrorInfo(0, info.Receive()) == S_OK) {
                info->GetSource(&excepInfo->bstrSource);
                info->GetDescription(&excepInfo->bstrDescription);
            }
            return DISP_E_EXCEPTION;
        }
        return hr;
    }
    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override { return iid == IID_IDispatch ? S_OK : S_FALSE; }
    HRESULT GetErrorInfo(IErrorInfo** info) override { return quillet::GetErrorInfo(0, info); }

    /// Whether a failed member is reported through EXCEPINFO (when the caller gives one)
    /// or only by its HRESULT and the thread's error information.
    bool FReportByExcepInfo = true;
    std::vector<std::string> Calls;

protected:
    void* GetInterface(const IID& iid) override
    {
        if (iid == IID_IDispatch || (FIsContext && iid == IID_IScriptingContext)) return static_cast<IScriptingContext*>(this);
        if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
        if (iid == IID_IErrorInfoSource) return static_cast<IErrorInfoSource*>(this);
        return nullptr;
    }

private:
    bool FIsContext;
    std::map<std::string, DISPID> FNames;
    std::vector<TMember> FMembers;
};

}  // namespace quillet::test
