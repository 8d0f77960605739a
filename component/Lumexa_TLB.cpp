// The Lumexa type library as data: what IDispatch serves names and calls from, and what
// registration writes.
#include "component/Lumexa_TLB.h"

namespace quillet {

namespace {

IQuillet* Self(void* instance) { return static_cast<IQuillet*>(instance); }

constexpr TParamDesc kContextParam[] = {{"AScriptingContext", VT_UNKNOWN}};
constexpr TParamDesc kValueParam[] = {{"", VT_VARIANT}};
constexpr TParamDesc kTagNameParam[] = {{"TagName", VT_VARIANT}};
constexpr TParamDesc kSizeParams[] = {{"Width", VT_VARIANT}, {"Height", VT_VARIANT}};
constexpr TParamDesc kFileNameParam[] = {{"FileName", VT_VARIANT}};

const TFuncDesc kQuilletFuncs[] = {
    {"OnStartPage", DISPID_OnStartPage, INVOKE_FUNC, 7, kContextParam, 1, false, nullptr,
     [](void* p, VARIANT* a, VARIANT*) { return Self(p)->OnStartPage(a[0].punkVal); }},
    {"OnEndPage", DISPID_OnEndPage, INVOKE_FUNC, 8, nullptr, 0, false, nullptr,
     [](void* p, VARIANT*, VARIANT*) { return Self(p)->OnEndPage(); }},
    {"FilePath", DISPID_FilePath, INVOKE_PROPERTYGET, 9, nullptr, 0, true, nullptr,
     [](void* p, VARIANT*, VARIANT* r) { return Self(p)->get_FilePath(r); }},
    {"FilePath", DISPID_FilePath, INVOKE_PROPERTYPUT, 10, kValueParam, 1, false, nullptr,
     [](void* p, VARIANT* a, VARIANT*) { return Self(p)->put_FilePath(a[0]); }},
    {"ExtName", DISPID_ExtName, INVOKE_FUNC, 11, kTagNameParam, 1, true, nullptr,
     [](void* p, VARIANT* a, VARIANT* r) { return Self(p)->ExtName(a[0], r); }},
    {"FileName", DISPID_FileName, INVOKE_FUNC, 12, kTagNameParam, 1, true, nullptr,
     [](void* p, VARIANT* a, VARIANT* r) { return Self(p)->FileName(a[0], r); }},
    {"Request", DISPID_Request, INVOKE_FUNC, 13, kTagNameParam, 1, true, nullptr,
     [](void* p, VARIANT* a, VARIANT* r) { return Self(p)->Request(a[0], r); }},
    {"CopyRight", DISPID_CopyRight, INVOKE_PROPERTYGET, 14, nullptr, 0, true, nullptr,
     [](void* p, VARIANT*, VARIANT* r) { return Self(p)->get_CopyRight(r); }},
    {"Width", DISPID_Width, INVOKE_PROPERTYGET, 15, nullptr, 0, true, nullptr,
     [](void* p, VARIANT*, VARIANT* r) { return Self(p)->get_Width(r); }},
    {"Height", DISPID_Height, INVOKE_PROPERTYGET, 16, nullptr, 0, true, nullptr,
     [](void* p, VARIANT*, VARIANT* r) { return Self(p)->get_Height(r); }},
    {"LoadImage", DISPID_LoadImage, INVOKE_FUNC, 17, kTagNameParam, 1, true, nullptr,
     [](void* p, VARIANT* a, VARIANT* r) { return Self(p)->LoadImage(a[0], r); }},
    {"SetSize", DISPID_SetSize, INVOKE_FUNC, 18, kSizeParams, 2, true, nullptr,
     [](void* p, VARIANT* a, VARIANT* r) { return Self(p)->SetSize(a[0], a[1], r); }},
    {"SaveImage", DISPID_SaveImage, INVOKE_FUNC, 19, kFileNameParam, 1, true, nullptr,
     [](void* p, VARIANT* a, VARIANT* r) { return Self(p)->SaveImage(a[0], r); }},
};

const TTypeDesc* const kQuilletInterfaces[] = {&IQuilletType};
const TTypeDesc* const kLumexaTypes[] = {&IQuilletType, &QuilletClass};

}  // namespace

const TTypeDesc IQuilletType = {
    TKIND_DISPATCH,
    IID_IQuillet,
    "IQuillet",
    "Dispatch interface for Quillet Object",
    TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
    kQuilletFuncs,
    uint16_t(sizeof kQuilletFuncs / sizeof kQuilletFuncs[0]),
    20,
    nullptr,
    0,
    &LumexaLibrary,
};

const TTypeDesc QuilletClass = {
    TKIND_COCLASS, CLASS_Quillet, "Quillet", "Quillet Object", TYPEFLAG_FCANCREATE, nullptr, 0, 0,
    kQuilletInterfaces, 1, &LumexaLibrary,
};

const TTypeLibDesc LumexaLibrary = {
    LIBID_Lumexa, "Lumexa", "Lumexa Image ReSize", LumexaMajorVersion, LumexaMinorVersion, 0x409, kLumexaTypes, 2,
};

}  // namespace quillet
