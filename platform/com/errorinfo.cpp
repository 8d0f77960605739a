// Error objects and the per-thread current error information of this module.
#include "platform/com/errorinfo.h"

#include <new>

#include "platform/com/object.h"
#include "platform/errors.h"

namespace quillet {

namespace {

// Error objects are not counted as the module's live objects: a thread's slot keeps the
// last one until that thread's next failure, which must not keep the module loaded.
class TErrorInfo final : public TComObject<IErrorInfo, ICreateErrorInfo> {
public:
    TErrorInfo() : TComObject(TUncounted{}) {}

    HRESULT GetGUID(GUID* guid) override
    {
        if (guid == nullptr) return E_INVALIDARG;
        *guid = FGuid;
        return S_OK;
    }
    HRESULT GetSource(BSTR* source) override { return Hand(FSource, source); }
    HRESULT GetDescription(BSTR* description) override { return Hand(FDescription, description); }
    HRESULT GetHelpFile(BSTR* helpFile) override { return Hand(FHelpFile, helpFile); }
    HRESULT GetHelpContext(uint32_t* helpContext) override
    {
        if (helpContext == nullptr) return E_INVALIDARG;
        *helpContext = FHelpContext;
        return S_OK;
    }

    HRESULT SetGUID(const GUID& guid) override
    {
        FGuid = guid;
        return S_OK;
    }
    HRESULT SetSource(const OLECHAR* source) override { return Keep(FSource, source); }
    HRESULT SetDescription(const OLECHAR* description) override { return Keep(FDescription, description); }
    HRESULT SetHelpFile(const OLECHAR* helpFile) override { return Keep(FHelpFile, helpFile); }
    HRESULT SetHelpContext(uint32_t helpContext) override
    {
        FHelpContext = helpContext;
        return S_OK;
    }

protected:
    void* GetInterface(const IID& iid) override
    {
        if (iid == IID_IErrorInfo) return static_cast<IErrorInfo*>(this);
        if (iid == IID_ICreateErrorInfo) return static_cast<ICreateErrorInfo*>(this);
        return nullptr;
    }

private:
    static HRESULT Hand(const std::u16string& text, BSTR* out)
    {
        if (out == nullptr) return E_INVALIDARG;
        *out = SysAllocStringLen(text.data(), uint32_t(text.size()));
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    static HRESULT Keep(std::u16string& field, const OLECHAR* text)
    {
        try {
            field = text != nullptr ? text : u"";
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    GUID FGuid = GUID_NULL;
    std::u16string FSource;
    std::u16string FDescription;
    std::u16string FHelpFile;
    uint32_t FHelpContext = 0;
};

// The slot releases what it holds when its thread ends.
struct TThreadErrorSlot {
    IErrorInfo* Info = nullptr;
    ~TThreadErrorSlot()
    {
        if (Info != nullptr) Info->Release();
    }
};

thread_local TThreadErrorSlot tCurrentError;

std::string TakeBstr(BSTR& text)
{
    std::string result = BstrToUtf8(text);
    SysFreeString(text);
    text = nullptr;
    return result;
}

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** info)
{
    if (info == nullptr) return E_INVALIDARG;
    return CreateComObject<TErrorInfo>(IID_ICreateErrorInfo, reinterpret_cast<void**>(info));
}

HRESULT SetErrorInfo(uint32_t, IErrorInfo* info)
{
    if (info != nullptr) info->AddRef();
    IErrorInfo* old = std::exchange(tCurrentError.Info, info);
    if (old != nullptr) old->Release();
    return S_OK;
}

HRESULT GetErrorInfo(uint32_t, IErrorInfo** info)
{
    if (info == nullptr) return E_INVALIDARG;
    *info = std::exchange(tCurrentError.Info, nullptr);
    return *info != nullptr ? S_OK : S_FALSE;
}

HRESULT GetObjectErrorInfo(IUnknown* object, const IID& iid, IErrorInfo** info)
{
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    TComPtr<ISupportErrorInfo> support = QueryAs<ISupportErrorInfo>(object, IID_ISupportErrorInfo);
    if (!support || support->InterfaceSupportsErrorInfo(iid) != S_OK) return S_FALSE;
    if (TComPtr<IErrorInfoSource> source = QueryAs<IErrorInfoSource>(object, IID_IErrorInfoSource))
        return source->GetErrorInfo(info) == S_OK ? S_OK : S_FALSE;
    return GetErrorInfo(0, info);
}

TErrorDetails ReadErrorInfo(IErrorInfo* info)
{
    TErrorDetails details;
    if (info == nullptr) return details;
    TBstr source, description, helpFile;
    info->GetGUID(&details.Guid);
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    info->GetHelpFile(helpFile.Receive());
    info->GetHelpContext(&details.HelpContext);
    details.Source = source.Utf8();
    details.Description = description.Utf8();
    details.HelpFile = helpFile.Utf8();
    return details;
}

TErrorDetails TakeExcepInfo(EXCEPINFO* excepInfo)
{
    TErrorDetails details;
    if (excepInfo == nullptr) return details;
    if (excepInfo->pfnDeferredFillIn != nullptr) {
        excepInfo->pfnDeferredFillIn(excepInfo);
        excepInfo->pfnDeferredFillIn = nullptr;
    }
    details.Code = excepInfo->scode;
    details.Source = TakeBstr(excepInfo->bstrSource);
    details.Description = TakeBstr(excepInfo->bstrDescription);
    details.HelpFile = TakeBstr(excepInfo->bstrHelpFile);
    details.HelpContext = excepInfo->dwHelpContext;
    return details;
}

void SetErrorDetails(const TErrorDetails& details)
{
    TComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Receive()))) {
        SetErrorInfo(0, nullptr);
        return;
    }
    create->SetGUID(details.Guid);
    create->SetSource(Utf8ToUtf16(details.Source).c_str());
    create->SetDescription(Utf8ToUtf16(details.Description).c_str());
    if (!details.HelpFile.empty()) create->SetHelpFile(Utf8ToUtf16(details.HelpFile).c_str());
    create->SetHelpContext(details.HelpContext);
    TComPtr<IErrorInfo> info = QueryAs<IErrorInfo>(create.Get(), IID_IErrorInfo);
    SetErrorInfo(0, info.Get());
}

HRESULT HandleSafeCallException(const GUID& errorGuid, std::string_view source, std::string_view helpFile)
{
    TErrorDetails details;
    details.Guid = errorGuid;
    details.Source = source;
    details.HelpFile = helpFile;
    HRESULT result = E_UNEXPECTED;
    try {
        try {
            throw;
        } catch (const EOleSysError& e) {
            details.Description = e.Message();
            details.HelpContext = uint32_t(e.HelpContext());
            if (e.ErrorCode() < 0) result = e.ErrorCode();
        } catch (const Exception& e) {
            details.Description = e.Message();
            details.HelpContext = uint32_t(e.HelpContext());
        } catch (const std::bad_alloc&) {
            details.Description = kOutOfMemory;
        } catch (const std::exception& e) {
            details.Description = e.what();
        } catch (...) {
            details.Description = "Unexpected failure";
        }
        SetErrorDetails(details);
    } catch (...) {
        // No memory even for the error object: the result alone must do.
        SetErrorInfo(0, nullptr);
    }
    return result;
}

}  // namespace quillet
