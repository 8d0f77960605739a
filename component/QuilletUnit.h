// TQuillet: the upload component's automation object (program id Lumexa.Quillet).
//
// The page host creates it through the class factory, calls OnStartPage with its
// scripting context (the body is read whole then), lets the page's script call the other
// members of IQuillet by name, and calls OnEndPage when the page ends. Every member runs
// inside the guard: a failure leaves the out value VT_EMPTY, sets the thread's error
// information (source Lumexa.Quillet, the message as description) and returns
// E_UNEXPECTED, or the HRESULT of a failed call on a host object.
#pragma once

#include <memory>
#include <string>

#include "component/Lumexa_TLB.h"
#include "component/request_body.h"
#include "platform/com/automation.h"

namespace quillet {

class TPicture;
class TJPEGImage;

class TQuillet final : public TASPObject<IQuillet> {
public:
    /// The class: coclass Quillet of the Lumexa library, program id Lumexa.Quillet.
    static const TAutoClass AutoClass;

    TQuillet();
    ~TQuillet() override;

    // IQuillet (and IPageObject's OnStartPage and OnEndPage).
    HRESULT OnStartPage(IUnknown* AScriptingContext) override;
    HRESULT OnEndPage() override;
    HRESULT get_FilePath(VARIANT* Value) override;
    HRESULT put_FilePath(VARIANT Value) override;          // component/pipeline.cpp
    HRESULT ExtName(VARIANT TagName, VARIANT* Value) override;
    HRESULT FileName(VARIANT TagName, VARIANT* Value) override;
    HRESULT Request(VARIANT TagName, VARIANT* Value) override;
    HRESULT get_CopyRight(VARIANT* Value) override;
    HRESULT get_Width(VARIANT* Value) override;
    HRESULT get_Height(VARIANT* Value) override;
    HRESULT LoadImage(VARIANT TagName, VARIANT* Value) override;             // component/pipeline.cpp
    HRESULT SetSize(VARIANT Width, VARIANT Height, VARIANT* Value) override;  // component/pipeline.cpp
    HRESULT SaveImage(VARIANT FileName, VARIANT* Value) override;           // component/pipeline.cpp

private:
    /// An argument as 8-bit text (the standard conversion, then UTF-8); raises on a value
    /// that has no text form.
    static std::string ArgText(const VARIANT& value);
    /// An argument as a 32-bit signed integer; raises on a value that has no such form or
    /// is out of range.
    static int32_t ArgInteger(const VARIANT& value);
    /// Results: text as VT_BSTR (empty text is an empty VT_BSTR), VT_I4, VT_BOOL.
    static void SetText(VARIANT* out, std::string_view text);
    static void SetInteger(VARIANT* out, int32_t value);
    static void SetBool(VARIANT* out, bool value);

    /// Reads the whole body through the scripting context's Request object.
    void CaptureBody();

    // Instance state, in the order the object's description gives it.
    int32_t ImageHeight = 0;
    int32_t ImageWidth = 0;
    std::unique_ptr<TPicture> SourcePicture;
    std::unique_ptr<TPicture> ResultPicture;
    std::unique_ptr<TJPEGImage> JpegImage;
    bool Resized = false;
    std::string FolderPath;
    TComPtr<IScriptingContext> ScriptingContext;
    TRequestBody Body;  // the body, its reported size and its boundary
    TVariant ReadCount;
    std::string CopyRightText;
};

}  // namespace quillet
