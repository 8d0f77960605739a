// Calling objects by name through IDispatch.
#include "platform/com/dispatch.h"

#include <vector>

#include "platform/errors.h"

namespace quillet {

HRESULT GetDispId(IDispatch* object, std::string_view name, DISPID* id)
{
    if (object == nullptr || id == nullptr) return E_POINTER;
    std::u16string wide = Utf8ToUtf16(name);
    LPOLESTR names[1] = {wide.data()};
    return object->GetIDsOfNames(IID_NULL, names, 1, 0, id);
}

HRESULT InvokeMember(IDispatch* object, DISPID id, uint16_t flags, const VARIANT* args, uint32_t argCount,
                     VARIANT* result, TErrorDetails* failure)
{
    if (result != nullptr) VariantInit(result);
    if (object == nullptr) return E_POINTER;
    // rgvarg holds the arguments last first.
    std::vector<VARIANT> reversed(args, args + argCount);
    for (size_t i = 0; i < reversed.size() / 2; ++i) std::swap(reversed[i], reversed[reversed.size() - 1 - i]);
    DISPID putId = DISPID_PROPERTYPUT;
    const bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), isPut && argCount > 0 ? &putId : nullptr,
                         argCount, isPut && argCount > 0 ? 1u : 0u};
    EXCEPINFO excepInfo = {};
    uint32_t argErr = 0;
    HRESULT hr = object->Invoke(id, IID_NULL, 0, flags, &params, result, &excepInfo, &argErr);
    if (SUCCEEDED(hr)) return hr;
    if (hr == DISP_E_EXCEPTION) {
        TErrorDetails details = TakeExcepInfo(&excepInfo);
        if (FAILED(details.Code)) hr = details.Code;
        details.Code = hr;
        if (failure != nullptr) *failure = std::move(details);
        return hr;
    }
    if (failure != nullptr) {
        TComPtr<IErrorInfo> info;
        GetObjectErrorInfo(object, IID_IDispatch, info.Receive());
        *failure = ReadErrorInfo(info.Get());
        failure->Code = hr;
    }
    return hr;
}

HRESULT InvokeByName(IDispatch* object, std::string_view name, uint16_t flags, const VARIANT* args,
                     uint32_t argCount, VARIANT* result, TErrorDetails* failure)
{
    if (result != nullptr) VariantInit(result);
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = GetDispId(object, name, &id);
    if (FAILED(hr)) {
        if (failure != nullptr) {
            *failure = {};
            failure->Code = hr;
        }
        return hr;
    }
    return InvokeMember(object, id, flags, args, argCount, result, failure);
}

TVariant DispatchCall(IDispatch* object, std::string_view name, uint16_t flags, std::initializer_list<VARIANT> args)
{
    TVariant result;
    TErrorDetails failure;
    const HRESULT hr = InvokeByName(object, name, flags, args.begin(), uint32_t(args.size()), result.Ptr(), &failure);
    if (FAILED(hr)) throw EOleSysError(failure.Description, hr, int(failure.HelpContext));
    return result;
}

}  // namespace quillet
