// The automation runtime's plain types: result codes, GUIDs, value types and the structures
// that cross between a host and a component library. Everything here is plain data with a
// fixed layout, so that two modules that each carry their own copy of the runtime agree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet {

using HRESULT = int32_t;
using ULONG = uint32_t;
using DISPID = int32_t;
using MEMBERID = int32_t;
using LCID = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using SCODE = int32_t;
using OLECHAR = char16_t;
/// A length-prefixed UTF-16 string: 4 bytes of byte length before the characters, a zero
/// character after them. Made and freed only by SysAllocString* / SysFreeString.
using BSTR = OLECHAR*;
using LPOLESTR = OLECHAR*;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT HResult(uint32_t code) { return static_cast<HRESULT>(code); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = HResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = HResult(0x80004002);
inline constexpr HRESULT E_POINTER = HResult(0x80004003);
inline constexpr HRESULT E_FAIL = HResult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = HResult(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = HResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = HResult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = HResult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = HResult(0x80040111);
inline constexpr HRESULT DISP_E_UNKNOWNINTERFACE = HResult(0x80020001);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = HResult(0x80020003);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = HResult(0x80020004);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = HResult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = HResult(0x80020006);
inline constexpr HRESULT DISP_E_NONAMEDARGS = HResult(0x80020007);
inline constexpr HRESULT DISP_E_BADVARTYPE = HResult(0x80020008);
inline constexpr HRESULT DISP_E_EXCEPTION = HResult(0x80020009);
inline constexpr HRESULT DISP_E_OVERFLOW = HResult(0x8002000A);
inline constexpr HRESULT DISP_E_BADINDEX = HResult(0x8002000B);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = HResult(0x8002000D);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = HResult(0x8002000E);
inline constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = HResult(0x8002000F);
inline constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = HResult(0x8002802B);

/// A 16-byte globally unique identifier.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);
using IID = GUID;
using CLSID = GUID;

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;

/// The registry form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex digits.
std::string GuidToString(const GUID& guid);
/// Reads the registry form (either case of hex digit); false when the text is not one.
bool GuidFromString(std::string_view text, GUID* guid);

// Value types.
enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

class IUnknown;
class IDispatch;

/// One bound of an array dimension.
struct SAFEARRAYBOUND {
    uint32_t cElements;
    int32_t lLbound;
};

/// A counted array with bounds. Only arrays of bytes (VT_UI1) are made by this runtime.
struct SAFEARRAY {
    uint16_t cDims;
    uint16_t fFeatures;
    uint32_t cbElements;
    uint32_t cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

// SAFEARRAY features: data not owned by the array descriptor.
enum : uint16_t {
    FADF_AUTO = 0x0001,
    FADF_STATIC = 0x0002,
    FADF_EMBEDDED = 0x0004,
    FADF_FIXEDSIZE = 0x0010,
};

/// An automation value: its type, three reserved words and an 8-byte value.
struct VARIANT {
    VARTYPE vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    union {
        int64_t llVal;
        uint64_t ullVal;
        int32_t lVal;
        uint32_t ulVal;
        int32_t intVal;
        uint32_t uintVal;
        int16_t iVal;
        uint16_t uiVal;
        int8_t cVal;
        uint8_t bVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        uint8_t* pbVal;
        int16_t* piVal;
        int32_t* plVal;
        int64_t* pllVal;
        float* pfltVal;
        double* pdblVal;
        VARIANT_BOOL* pboolVal;
        SCODE* pscode;
        BSTR* pbstrVal;
        IUnknown** ppunkVal;
        IDispatch** ppdispVal;
        SAFEARRAY** pparray;
        VARIANT* pvarVal;
        void* byref;
    };
};
static_assert(sizeof(VARIANT) == 16);
using VARIANTARG = VARIANT;

// Dispatch ids with a fixed meaning.
inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

// Invoke flags.
enum : uint16_t {
    DISPATCH_METHOD = 0x1,
    DISPATCH_PROPERTYGET = 0x2,
    DISPATCH_PROPERTYPUT = 0x4,
    DISPATCH_PROPERTYPUTREF = 0x8,
};

/// The arguments of an Invoke call. rgvarg holds the named arguments first (matching
/// rgdispidNamedArgs), then the positional ones in reverse order: rgvarg[cArgs - 1] is the
/// first positional argument, rgvarg[0] the last argument.
struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    uint32_t cArgs;
    uint32_t cNamedArgs;
};

/// What a failed Invoke reports with DISP_E_EXCEPTION. The caller frees the three strings.
struct EXCEPINFO {
    uint16_t wCode;
    uint16_t wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    uint32_t dwHelpContext;
    void* pvReserved;
    HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

}  // namespace quillet
