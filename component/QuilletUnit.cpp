// TQuillet: the page's start and end, the getters, the form lookups and the helpers every
// member shares. The pipeline members are in pipeline.cpp.
#include "component/QuilletUnit.h"

#include "platform/jpeg.h"
#include "platform/picture.h"

namespace quillet {

namespace {

constexpr char kCopyRightNotice[] = "[Lumexa Imaging - All rights reserved], https://www.lumexa.example/";
constexpr char kCannotConvert[] = "Cannot convert a value of type %s to %s";

}  // namespace

const TAutoClass TQuillet::AutoClass = {&QuilletClass};

TQuillet::TQuillet() : TASPObject<IQuillet>(AutoClass) {}

// A host that never ends the page still gets everything back: the members release
// themselves (the pictures, the JPEG image, the body and the context).
TQuillet::~TQuillet() = default;

// --- Helpers -------------------------------------------------------------------

std::string TQuillet::ArgText(const VARIANT& value)
{
    TVariant text;
    const HRESULT hr = VariantChangeType(text.Ptr(), &value, VARIANT_ALPHABOOL, VT_BSTR);
    if (hr == E_OUTOFMEMORY) throw Exception(kOutOfMemory);
    if (FAILED(hr)) throw Exception(Fmt(kCannotConvert, VarTypeName(value.vt).c_str(), "text"));
    return BstrToUtf8(text.Value().bstrVal);
}

int32_t TQuillet::ArgInteger(const VARIANT& value)
{
    TVariant number;
    const HRESULT hr = VariantChangeType(number.Ptr(), &value, 0, VT_I4);
    if (hr == DISP_E_OVERFLOW) throw Exception(Fmt(kCannotConvert, VarTypeName(value.vt).c_str(), "a 32-bit integer: out of range"));
    if (FAILED(hr)) throw Exception(Fmt(kCannotConvert, VarTypeName(value.vt).c_str(), "a 32-bit integer"));
    return number.Value().lVal;
}

void TQuillet::SetText(VARIANT* out, std::string_view text)
{
    // Made before the out value is touched: a failure leaves it empty.
    BSTR bstr = Utf8ToBstr(text);
    out->vt = VT_BSTR;
    out->bstrVal = bstr;
}

void TQuillet::SetInteger(VARIANT* out, int32_t value)
{
    out->vt = VT_I4;
    out->lVal = value;
}

void TQuillet::SetBool(VARIANT* out, bool value)
{
    out->vt = VT_BOOL;
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

// --- The page ------------------------------------------------------------------

HRESULT TQuillet::OnStartPage(IUnknown* AScriptingContext)
{
    return Guard(nullptr, [&] {
        PageStart(AScriptingContext);
        ScriptingContext = TComPtr<IScriptingContext>(PageContext());
        CaptureBody();
        SourcePicture = std::make_unique<TPicture>();
        ResultPicture = std::make_unique<TPicture>();
        JpegImage = std::make_unique<TJPEGImage>();
        CopyRightText = kCopyRightNotice;
    });
}

HRESULT TQuillet::OnEndPage()
{
    return Guard(nullptr, [&] {
        Body.Clear();
        SourcePicture.reset();
        ResultPicture.reset();
        JpegImage.reset();
        ScriptingContext.Reset();
        PageEnd();
    });
}

// --- Getters -------------------------------------------------------------------

HRESULT TQuillet::get_FilePath(VARIANT* Value)
{
    return Guard(Value, [&] { SetText(Value, FolderPath); });
}

HRESULT TQuillet::get_CopyRight(VARIANT* Value)
{
    return Guard(Value, [&] { SetText(Value, CopyRightText); });
}

HRESULT TQuillet::get_Width(VARIANT* Value)
{
    return Guard(Value, [&] { SetInteger(Value, ImageWidth); });
}

HRESULT TQuillet::get_Height(VARIANT* Value)
{
    return Guard(Value, [&] { SetInteger(Value, ImageHeight); });
}

// --- Form lookups ----------------------------------------------------------------

HRESULT TQuillet::Request(VARIANT TagName, VARIANT* Value)
{
    return Guard(Value, [&] { SetText(Value, Body.FieldText(ArgText(TagName))); });
}

HRESULT TQuillet::FileName(VARIANT TagName, VARIANT* Value)
{
    return Guard(Value, [&] { SetText(Value, Body.FileName(ArgText(TagName))); });
}

HRESULT TQuillet::ExtName(VARIANT TagName, VARIANT* Value)
{
    return Guard(Value, [&] { SetText(Value, Body.ExtName(ArgText(TagName))); });
}

}  // namespace quillet
