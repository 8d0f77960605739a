// Automation values: UTF-8/UTF-16 text, BSTR, byte arrays, VARIANT and its conversions.
#include "platform/com/variant.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/errors.h"

namespace quillet {

// --- Text ------------------------------------------------------------------

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed sequence at s[0..n), or 0 when s[0] does not start one.
// Overlong forms, surrogates and values above U+10FFFF are not well formed.
size_t SequenceLength(const uint8_t* s, size_t n, char32_t* value)
{
    const uint8_t b = s[0];
    if (b < 0x80) {
        *value = b;
        return 1;
    }
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (n < length || s[1] < low || s[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (!IsContinuation(s[i])) return 0;
    char32_t c = b & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) c = (c << 6) | (s[i] & 0x3F);
    *value = c;
    return length;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        char32_t c = 0;
        const size_t length = SequenceLength(s + i, n - i, &c);
        if (length == 0) {
            out += kReplacement;  // one replacement per byte that starts no character
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += length;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

// --- BSTR ------------------------------------------------------------------

namespace {

// The longest BSTR: its byte length must fit the 32-bit prefix.
constexpr uint32_t kMaxBstrLength = 0x7FFFFFF0u;

uint8_t* BstrBlock(BSTR text) { return reinterpret_cast<uint8_t*>(text) - sizeof(uint32_t); }

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length)
{
    if (length > kMaxBstrLength) return nullptr;
    const size_t bytes = size_t(length) * sizeof(OLECHAR);
    auto* block = static_cast<uint8_t*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const uint32_t byteLength = uint32_t(bytes);
    std::memcpy(block, &byteLength, sizeof byteLength);
    BSTR result = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
    if (text != nullptr)
        std::memcpy(result, text, bytes);
    else
        std::memset(result, 0, bytes);
    result[length] = 0;
    return result;
}

BSTR SysAllocString(const OLECHAR* text)
{
    if (text == nullptr) return nullptr;
    return SysAllocStringLen(text, uint32_t(std::char_traits<char16_t>::length(text)));
}

void SysFreeString(BSTR text)
{
    if (text != nullptr) std::free(BstrBlock(text));
}

uint32_t SysStringByteLen(BSTR text)
{
    if (text == nullptr) return 0;
    uint32_t byteLength = 0;
    std::memcpy(&byteLength, BstrBlock(text), sizeof byteLength);
    return byteLength;
}

uint32_t SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

BSTR Utf8ToBstr(std::string_view text)
{
    const std::u16string wide = Utf8ToUtf16(text);
    if (wide.size() > kMaxBstrLength) throw Exception(kOutOfMemory);
    BSTR result = SysAllocStringLen(wide.data(), uint32_t(wide.size()));
    if (result == nullptr) throw Exception(kOutOfMemory);
    return result;
}

std::string BstrToUtf8(BSTR text) { return Utf16ToUtf8(BstrView(text)); }

TBstr::TBstr(std::u16string_view text)
{
    if (text.size() > kMaxBstrLength) throw Exception(kOutOfMemory);
    FText = SysAllocStringLen(text.data(), uint32_t(text.size()));
    if (FText == nullptr) throw Exception(kOutOfMemory);
}

// --- SAFEARRAY -----------------------------------------------------------------

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, int32_t lowerBound, uint32_t count)
{
    if (vt != VT_UI1) return nullptr;
    auto* array = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
    if (array == nullptr) return nullptr;
    array->pvData = std::calloc(count == 0 ? 1 : count, 1);
    if (array->pvData == nullptr) {
        std::free(array);
        return nullptr;
    }
    array->cDims = 1;
    array->cbElements = 1;
    array->rgsabound[0] = {count, lowerBound};
    return array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array)
{
    if (array == nullptr) return S_OK;
    if (array->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    if ((array->fFeatures & (FADF_AUTO | FADF_STATIC | FADF_EMBEDDED)) == 0) std::free(array->pvData);
    std::free(array);
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data)
{
    if (array == nullptr || data == nullptr) return E_INVALIDARG;
    ++array->cLocks;
    *data = array->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array)
{
    if (array == nullptr) return E_INVALIDARG;
    if (array->cLocks == 0) return E_UNEXPECTED;
    --array->cLocks;
    return S_OK;
}

uint32_t SafeArrayGetDim(const SAFEARRAY* array) { return array != nullptr ? array->cDims : 0; }

uint64_t SafeArrayElementCount(const SAFEARRAY* array)
{
    // Only one-dimensional arrays are made here; their bound sits inside the descriptor.
    if (array == nullptr || array->cDims != 1) return 0;
    return array->rgsabound[0].cElements;
}

HRESULT SafeArrayGetLBound(const SAFEARRAY* array, uint32_t dimension, int32_t* bound)
{
    if (array == nullptr || bound == nullptr) return E_INVALIDARG;
    if (array->cDims != 1 || dimension != 1) return DISP_E_BADINDEX;
    *bound = array->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(const SAFEARRAY* array, uint32_t dimension, int32_t* bound)
{
    if (array == nullptr || bound == nullptr) return E_INVALIDARG;
    if (array->cDims != 1 || dimension != 1) return DISP_E_BADINDEX;
    *bound = int32_t(int64_t(array->rgsabound[0].lLbound) + int64_t(array->rgsabound[0].cElements) - 1);
    return S_OK;
}

HRESULT SafeArrayCopy(const SAFEARRAY* array, SAFEARRAY** copy)
{
    if (copy == nullptr) return E_INVALIDARG;
    *copy = nullptr;
    if (array == nullptr) return S_OK;
    if (array->cDims != 1 || array->cbElements != 1) return E_INVALIDARG;
    SAFEARRAY* result = SafeArrayCreateVector(VT_UI1, array->rgsabound[0].lLbound, array->rgsabound[0].cElements);
    if (result == nullptr) return E_OUTOFMEMORY;
    if (array->rgsabound[0].cElements > 0)
        std::memcpy(result->pvData, array->pvData, array->rgsabound[0].cElements);
    *copy = result;
    return S_OK;
}

// --- VARIANT -----------------------------------------------------------------

void VariantInit(VARIANT* value)
{
    std::memset(value, 0, sizeof *value);
    value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value)
{
    if (value == nullptr) return E_INVALIDARG;
    const VARTYPE vt = value->vt;
    if ((vt & VT_BYREF) == 0) {
        if ((vt & VT_ARRAY) != 0) {
            const HRESULT hr = SafeArrayDestroy(value->parray);
            if (FAILED(hr)) return hr;
        } else if (vt == VT_BSTR) {
            SysFreeString(value->bstrVal);
        } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && value->punkVal != nullptr) {
            // IDispatch derives from IUnknown alone, so the two pointers are the same.
            value->punkVal->Release();
        }
    }
    VariantInit(value);
    return S_OK;
}

namespace {

// A copy of a value that is not by reference.
HRESULT CopyDirect(VARIANT* dest, const VARIANT& source)
{
    VARIANT result = source;
    const VARTYPE vt = source.vt;
    if ((vt & VT_BYREF) == 0) {
        if ((vt & VT_ARRAY) != 0) {
            const HRESULT hr = SafeArrayCopy(source.parray, &result.parray);
            if (FAILED(hr)) return hr;
        } else if (vt == VT_BSTR && source.bstrVal != nullptr) {
            result.bstrVal = SysAllocStringLen(source.bstrVal, SysStringLen(source.bstrVal));
            if (result.bstrVal == nullptr) return E_OUTOFMEMORY;
        } else if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && source.punkVal != nullptr) {
            source.punkVal->AddRef();
        }
    }
    *dest = result;
    return S_OK;
}

// The value a by-reference value points at, as a direct value that shares what it owns.
HRESULT Dereference(const VARIANT& source, VARIANT* direct)
{
    VariantInit(direct);
    if ((source.vt & VT_BYREF) == 0) {
        *direct = source;
        return S_OK;
    }
    if (source.byref == nullptr) return E_INVALIDARG;
    const VARTYPE vt = VARTYPE(source.vt & ~VT_BYREF);
    if ((vt & VT_ARRAY) != 0) {
        direct->parray = *source.pparray;
    } else {
        switch (vt) {
        case VT_VARIANT:
            // A reference to a reference is not a value.
            if ((source.pvarVal->vt & VT_BYREF) != 0) return E_INVALIDARG;
            *direct = *source.pvarVal;
            return S_OK;
        case VT_I1: case VT_UI1: direct->bVal = *source.pbVal; break;
        case VT_I2: case VT_UI2: case VT_BOOL: direct->iVal = *source.piVal; break;
        case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: direct->lVal = *source.plVal; break;
        case VT_I8: case VT_UI8: direct->llVal = *source.pllVal; break;
        case VT_R4: direct->fltVal = *source.pfltVal; break;
        case VT_R8: direct->dblVal = *source.pdblVal; break;
        case VT_BSTR: direct->bstrVal = *source.pbstrVal; break;
        case VT_UNKNOWN: case VT_DISPATCH: direct->punkVal = *source.ppunkVal; break;
        default: return DISP_E_BADVARTYPE;
        }
    }
    direct->vt = vt;
    return S_OK;
}

}  // namespace

HRESULT VariantCopy(VARIANT* dest, const VARIANT* source)
{
    if (dest == nullptr || source == nullptr) return E_INVALIDARG;
    if (dest == source) return S_OK;
    VARIANT result;
    const HRESULT hr = CopyDirect(&result, *source);
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = result;
    return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* source)
{
    if (dest == nullptr || source == nullptr) return E_INVALIDARG;
    VARIANT direct;
    HRESULT hr = Dereference(*source, &direct);
    if (FAILED(hr)) return hr;
    VARIANT result;
    hr = CopyDirect(&result, direct);
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = result;
    return S_OK;
}

namespace {

constexpr int kMaxValueDepth = 8;  // objects whose value is an object, and so on

HRESULT ChangeType(VARIANT* result, const VARIANT& source, uint16_t flags, VARTYPE vt, int depth);

// The value member of an object, converted.
HRESULT ObjectValue(VARIANT* result, IUnknown* object, uint16_t flags, VARTYPE vt, int depth)
{
    TComPtr<IDispatch> dispatch = QueryAs<IDispatch>(object, IID_IDispatch);
    if (!dispatch || depth >= kMaxValueDepth) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    TVariant value;
    if (FAILED(dispatch->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.Ptr(), nullptr, nullptr)))
        return DISP_E_TYPEMISMATCH;
    return ChangeType(result, value.Value(), flags, vt, depth + 1);
}

std::string NumberText(double value)
{
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == std::floor(value) && std::fabs(value) < 1e15) return Fmt("%.0f", value);
    return Fmt("%.15G", value);
}

// Digits of the text as a number: optional sign, digits with one optional point, an
// optional exponent; "&H" hexadecimal and "&O" octal. Blanks around it are allowed.
HRESULT ParseNumber(std::u16string_view text, double* number, bool* isWhole, int64_t* whole)
{
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == u' ' || text[b] == u'\t')) ++b;
    while (e > b && (text[e - 1] == u' ' || text[e - 1] == u'\t')) --e;
    std::string s;
    for (size_t i = b; i < e; ++i) {
        if (text[i] > 0x7F) return DISP_E_TYPEMISMATCH;
        s += char(text[i]);
    }
    if (s.empty()) return DISP_E_TYPEMISMATCH;
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
        const int base = (s[1] == 'H' || s[1] == 'h') ? 16 : 8;
        uint64_t value = 0;
        const auto [end, ec] = std::from_chars(s.data() + 2, s.data() + s.size(), value, base);
        if (ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
        if (ec != std::errc() || end != s.data() + s.size()) return DISP_E_TYPEMISMATCH;
        if (value > 0xFFFFFFFFull) return DISP_E_OVERFLOW;
        // Hexadecimal and octal forms are 32-bit patterns: &HFFFFFFFF is -1.
        *isWhole = true;
        *whole = int32_t(uint32_t(value));
        *number = double(*whole);
        return S_OK;
    }
    size_t i = 0;
    bool negative = false;
    if (s[i] == '+' || s[i] == '-') negative = s[i++] == '-';
    const size_t start = i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return DISP_E_TYPEMISMATCH;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exponentDigits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exponentDigits;
        if (exponentDigits == 0) return DISP_E_TYPEMISMATCH;
    }
    if (i != s.size()) return DISP_E_TYPEMISMATCH;
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data() + start, s.data() + s.size(), value);
    if (ec == std::errc::result_out_of_range) {
        // Out of range below (a large negative exponent) is zero; above, an overflow.
        const size_t ePos = s.find_first_of("eE");
        if (ePos == std::string::npos || s[ePos + 1] != '-') return DISP_E_OVERFLOW;
        value = 0;
    } else if (ec != std::errc() || end != s.data() + s.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    *isWhole = false;
    *number = negative ? -value : value;
    return S_OK;
}

// A double rounded half to even, as a 32-bit integer.
HRESULT RoundToI4(double value, int32_t* result)
{
    if (std::isnan(value)) return DISP_E_OVERFLOW;
    double rounded = std::round(value);
    if (std::fabs(value - std::trunc(value)) == 0.5) rounded = 2.0 * std::round(value / 2.0);
    if (rounded < -2147483648.0 || rounded > 2147483647.0) return DISP_E_OVERFLOW;
    *result = int32_t(rounded);
    return S_OK;
}

HRESULT WholeToI4(int64_t value, int32_t* result)
{
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return DISP_E_OVERFLOW;
    *result = int32_t(value);
    return S_OK;
}

HRESULT ToI4(const VARIANT& v, uint16_t flags, int32_t* result, int depth)
{
    switch (v.vt) {
    case VT_EMPTY: *result = 0; return S_OK;
    case VT_I1: *result = v.cVal; return S_OK;
    case VT_UI1: *result = v.bVal; return S_OK;
    case VT_I2: *result = v.iVal; return S_OK;
    case VT_UI2: *result = v.uiVal; return S_OK;
    case VT_BOOL: *result = v.boolVal; return S_OK;
    case VT_I4: case VT_INT: *result = v.lVal; return S_OK;
    case VT_UI4: case VT_UINT: return WholeToI4(int64_t(v.ulVal), result);
    case VT_I8: return WholeToI4(v.llVal, result);
    case VT_UI8: return v.ullVal > uint64_t(std::numeric_limits<int32_t>::max()) ? DISP_E_OVERFLOW : WholeToI4(int64_t(v.ullVal), result);
    case VT_R4: return RoundToI4(v.fltVal, result);
    case VT_R8: return RoundToI4(v.dblVal, result);
    case VT_BSTR: {
        double number = 0;
        bool isWhole = false;
        int64_t whole = 0;
        const HRESULT hr = ParseNumber(BstrView(v.bstrVal), &number, &isWhole, &whole);
        if (FAILED(hr)) return hr;
        return isWhole ? WholeToI4(whole, result) : RoundToI4(number, result);
    }
    case VT_UNKNOWN: case VT_DISPATCH: {
        VARIANT value;
        VariantInit(&value);
        const HRESULT hr = ObjectValue(&value, v.punkVal, flags, VT_I4, depth);
        if (FAILED(hr)) return hr;
        *result = value.lVal;
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT ToText(const VARIANT& v, uint16_t flags, VARIANT* result, int depth)
{
    std::string text;
    switch (v.vt) {
    case VT_EMPTY: break;
    case VT_I1: text = std::to_string(v.cVal); break;
    case VT_UI1: text = std::to_string(v.bVal); break;
    case VT_I2: text = std::to_string(v.iVal); break;
    case VT_UI2: text = std::to_string(v.uiVal); break;
    case VT_I4: case VT_INT: text = std::to_string(v.lVal); break;
    case VT_UI4: case VT_UINT: text = std::to_string(v.ulVal); break;
    case VT_I8: text = std::to_string(v.llVal); break;
    case VT_UI8: text = std::to_string(v.ullVal); break;
    case VT_R4: text = NumberText(v.fltVal); break;
    case VT_R8: text = NumberText(v.dblVal); break;
    case VT_BOOL:
        if ((flags & VARIANT_ALPHABOOL) != 0)
            text = v.boolVal != 0 ? "True" : "False";
        else
            text = std::to_string(v.boolVal);
        break;
    case VT_BSTR: return CopyDirect(result, v);
    case VT_UNKNOWN: case VT_DISPATCH: return ObjectValue(result, v.punkVal, flags, VT_BSTR, depth);
    default: return DISP_E_TYPEMISMATCH;
    }
    BSTR bstr = SysAllocStringLen(nullptr, 0);
    if (!text.empty()) {
        SysFreeString(bstr);
        const std::u16string wide(text.begin(), text.end());  // digits, signs and letters only
        bstr = SysAllocStringLen(wide.data(), uint32_t(wide.size()));
    }
    if (bstr == nullptr) return E_OUTOFMEMORY;
    VariantInit(result);
    result->vt = VT_BSTR;
    result->bstrVal = bstr;
    return S_OK;
}

HRESULT ChangeType(VARIANT* result, const VARIANT& source, uint16_t flags, VARTYPE vt, int depth)
{
    VARIANT direct;
    HRESULT hr = Dereference(source, &direct);
    if (FAILED(hr)) return hr;
    switch (vt) {
    case VT_VARIANT: return CopyDirect(result, direct);
    case VT_BSTR: return ToText(direct, flags, result, depth);
    case VT_I4: {
        int32_t value = 0;
        hr = ToI4(direct, flags, &value, depth);
        if (FAILED(hr)) return hr;
        VariantInit(result);
        result->vt = VT_I4;
        result->lVal = value;
        return S_OK;
    }
    case VT_UNKNOWN:
        if (direct.vt != VT_UNKNOWN && direct.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
        VariantInit(result);
        result->vt = VT_UNKNOWN;
        result->punkVal = direct.punkVal;
        if (result->punkVal != nullptr) result->punkVal->AddRef();
        return S_OK;
    default: return DISP_E_BADVARTYPE;
    }
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, uint16_t flags, VARTYPE vt)
{
    if (dest == nullptr || source == nullptr) return E_INVALIDARG;
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr = ChangeType(&result, *source, flags, vt, 0);
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = result;
    return S_OK;
}

std::string VarTypeName(VARTYPE vt)
{
    std::string name;
    switch (vt & VT_TYPEMASK) {
    case VT_EMPTY: name = "Empty"; break;
    case VT_NULL: name = "Null"; break;
    case VT_I1: name = "Int8"; break;
    case VT_UI1: name = "Byte"; break;
    case VT_I2: name = "Int16"; break;
    case VT_UI2: name = "UInt16"; break;
    case VT_I4: case VT_INT: name = "Int32"; break;
    case VT_UI4: case VT_UINT: name = "UInt32"; break;
    case VT_I8: name = "Int64"; break;
    case VT_UI8: name = "UInt64"; break;
    case VT_R4: name = "Single"; break;
    case VT_R8: name = "Double"; break;
    case VT_BSTR: name = "String"; break;
    case VT_DISPATCH: name = "Dispatch"; break;
    case VT_ERROR: name = "Error"; break;
    case VT_BOOL: name = "Boolean"; break;
    case VT_VARIANT: name = "Variant"; break;
    case VT_UNKNOWN: name = "Unknown"; break;
    default: name = Fmt("type %u", unsigned(vt & VT_TYPEMASK)); break;
    }
    if ((vt & VT_ARRAY) != 0) name = "Array of " + name;
    if ((vt & VT_BYREF) != 0) name += " reference";
    return name;
}

// --- Wrappers ----------------------------------------------------------------

TVariant::TVariant(const VARIANT& value)
{
    VariantInit(&FValue);
    if (FAILED(VariantCopy(&FValue, &value))) throw Exception(kOutOfMemory);
}

TVariant TVariant::Text(std::string_view utf8)
{
    TVariant v;
    v.FValue.bstrVal = Utf8ToBstr(utf8);
    v.FValue.vt = VT_BSTR;
    return v;
}

TVariant TVariant::Text(std::u16string_view text)
{
    TBstr bstr(text);
    TVariant v;
    v.FValue.bstrVal = bstr.Detach();
    v.FValue.vt = VT_BSTR;
    return v;
}

TVariant TVariant::Int(int32_t value)
{
    TVariant v;
    v.FValue.vt = VT_I4;
    v.FValue.lVal = value;
    return v;
}

TVariant TVariant::Bool(bool value)
{
    TVariant v;
    v.FValue.vt = VT_BOOL;
    v.FValue.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

TVariant TVariant::Double(double value)
{
    TVariant v;
    v.FValue.vt = VT_R8;
    v.FValue.dblVal = value;
    return v;
}

TVariant TVariant::Null()
{
    TVariant v;
    v.FValue.vt = VT_NULL;
    return v;
}

TVariant TVariant::Unknown(IUnknown* object)
{
    TVariant v;
    v.FValue.vt = VT_UNKNOWN;
    v.FValue.punkVal = object;
    if (object != nullptr) object->AddRef();
    return v;
}

TVariant TVariant::Dispatch(IDispatch* object)
{
    TVariant v;
    v.FValue.vt = VT_DISPATCH;
    v.FValue.pdispVal = object;
    if (object != nullptr) object->AddRef();
    return v;
}

TVariant TVariant::Bytes(std::span<const uint8_t> bytes)
{
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) throw Exception(kOutOfMemory);
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, uint32_t(bytes.size()));
    if (array == nullptr) throw Exception(kOutOfMemory);
    if (!bytes.empty()) std::memcpy(array->pvData, bytes.data(), bytes.size());
    TVariant v;
    v.FValue.vt = VT_ARRAY | VT_UI1;
    v.FValue.parray = array;
    return v;
}

TVariant TVariant::RefTo(VARIANT* target)
{
    TVariant v;
    v.FValue.vt = VT_BYREF | VT_VARIANT;
    v.FValue.pvarVal = target;
    return v;
}

TVariant TVariant::Adopt(VARIANT* value)
{
    TVariant v;
    v.FValue = *value;
    VariantInit(value);
    return v;
}

std::span<const uint8_t> VariantBytes(const VARIANT& value)
{
    VARIANT direct;
    if (FAILED(Dereference(value, &direct))) return {};
    if (direct.vt != (VT_ARRAY | VT_UI1) || direct.parray == nullptr) return {};
    const SAFEARRAY* array = direct.parray;
    if (array->cDims != 1 || array->cbElements != 1 || array->pvData == nullptr) return {};
    return {static_cast<const uint8_t*>(array->pvData), size_t(array->rgsabound[0].cElements)};
}

}  // namespace quillet
