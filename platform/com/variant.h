// Automation values: BSTR, byte arrays, VARIANT, the standard conversion to text and to a
// 32-bit integer, and small owning wrappers. BSTRs, arrays and their data are plain malloc
// blocks, so a value made by one module's copy of the runtime is freed by another's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/com/interfaces.h"
#include "platform/com/types.h"

namespace quillet {

// --- Text ------------------------------------------------------------------

/// UTF-8 to UTF-16; every byte that does not start a well-formed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
/// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// --- BSTR ------------------------------------------------------------------

/// A new BSTR of length characters (copied from text when it is not null); null when the
/// memory cannot be had.
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
/// A new BSTR holding the zero-terminated text; null for a null text.
BSTR SysAllocString(const OLECHAR* text);
/// Frees a BSTR; null is allowed.
void SysFreeString(BSTR text);
/// Characters in the BSTR (0 for null).
uint32_t SysStringLen(BSTR text);
uint32_t SysStringByteLen(BSTR text);

/// The BSTR's characters (empty for null).
inline std::u16string_view BstrView(BSTR text) { return {text != nullptr ? text : u"", SysStringLen(text)}; }
/// A new BSTR from UTF-8 text; raises "Out of memory" when it cannot be had.
BSTR Utf8ToBstr(std::string_view text);
std::string BstrToUtf8(BSTR text);

// --- SAFEARRAY of bytes ------------------------------------------------------

/// A one-dimensional array of count elements from lowerBound; only VT_UI1 is made. Null
/// for another type or when the memory cannot be had.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, int32_t lowerBound, uint32_t count);
/// DISP_E_ARRAYISLOCKED while the data is accessed.
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayCopy(const SAFEARRAY* array, SAFEARRAY** copy);
uint32_t SafeArrayGetDim(const SAFEARRAY* array);
HRESULT SafeArrayGetLBound(const SAFEARRAY* array, uint32_t dimension, int32_t* bound);
HRESULT SafeArrayGetUBound(const SAFEARRAY* array, uint32_t dimension, int32_t* bound);
/// Total element count of the array (every dimension), with 64-bit arithmetic.
uint64_t SafeArrayElementCount(const SAFEARRAY* array);

// --- VARIANT -----------------------------------------------------------------

/// Makes the value VT_EMPTY without freeing what it held (for out values).
void VariantInit(VARIANT* value);
/// Frees what the value owns (strings, arrays, interface references) and makes it VT_EMPTY.
HRESULT VariantClear(VARIANT* value);
/// A deep copy: strings and arrays are copied, interfaces counted; a by-reference value
/// stays a reference. The destination is cleared first.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* source);
/// As VariantCopy, but a by-reference value is copied as the value it refers to.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* source);
/// VariantChangeType flag: a boolean becomes "True" or "False" rather than "-1" or "0".
inline constexpr uint16_t VARIANT_ALPHABOOL = 0x02;

/// Converts to VT_BSTR, VT_I4 or VT_UNKNOWN (or copies for VT_VARIANT); source may be by
/// reference.
/// DISP_E_TYPEMISMATCH for a value that has no such form, DISP_E_OVERFLOW for a number
/// out of range, DISP_E_BADVARTYPE for another target type. An object is converted
/// through its value member (DISPID_VALUE). dest may be source.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* source, uint16_t flags, VARTYPE vt);
/// A short name of the value's type for messages ("Empty", "String", "Integer"...).
std::string VarTypeName(VARTYPE vt);

// --- Owning wrappers -----------------------------------------------------------

/// A counted interface reference.
template <class T>
class TComPtr {
public:
    TComPtr() = default;
    TComPtr(std::nullptr_t) {}
    /// Takes a new reference of its own.
    explicit TComPtr(T* object) : FObject(object) { if (FObject) FObject->AddRef(); }
    TComPtr(const TComPtr& other) : TComPtr(other.FObject) {}
    TComPtr(TComPtr&& other) noexcept : FObject(std::exchange(other.FObject, nullptr)) {}
    ~TComPtr() { Reset(); }
    TComPtr& operator=(TComPtr other) noexcept { std::swap(FObject, other.FObject); return *this; }

    /// Adopts a reference that was already counted for us.
    static TComPtr Adopt(T* object) { TComPtr p; p.FObject = object; return p; }
    void Reset() { if (T* o = std::exchange(FObject, nullptr)) o->Release(); }
    /// The out pointer of a call that hands out a reference; releases the old one first.
    T** Receive() { Reset(); return &FObject; }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    T* Detach() { return std::exchange(FObject, nullptr); }
    T* Get() const { return FObject; }
    T* operator->() const { return FObject; }
    explicit operator bool() const { return FObject != nullptr; }

private:
    T* FObject = nullptr;
};

/// Asks object for interface Q; null when it lacks it (or object is null).
template <class Q>
TComPtr<Q> QueryAs(IUnknown* object, const IID& iid)
{
    TComPtr<Q> result;
    if (object != nullptr && FAILED(object->QueryInterface(iid, result.ReceiveVoid()))) result.Reset();
    return result;
}

/// An owned BSTR.
class TBstr {
public:
    TBstr() = default;
    explicit TBstr(std::string_view utf8) : FText(Utf8ToBstr(utf8)) {}
    explicit TBstr(std::u16string_view text);
    TBstr(const TBstr&) = delete;
    TBstr& operator=(const TBstr&) = delete;
    TBstr(TBstr&& other) noexcept : FText(std::exchange(other.FText, nullptr)) {}
    TBstr& operator=(TBstr&& other) noexcept { std::swap(FText, other.FText); return *this; }
    ~TBstr() { SysFreeString(FText); }

    static TBstr Adopt(BSTR text) { TBstr b; b.FText = text; return b; }
    BSTR* Receive() { SysFreeString(std::exchange(FText, nullptr)); return &FText; }
    BSTR Get() const { return FText; }
    BSTR Detach() { return std::exchange(FText, nullptr); }
    std::u16string_view View() const { return BstrView(FText); }
    std::string Utf8() const { return BstrToUtf8(FText); }

private:
    BSTR FText = nullptr;
};

/// An owned automation value.
class TVariant {
public:
    TVariant() { VariantInit(&FValue); }
    /// A deep copy; raises "Out of memory" when it cannot be had.
    explicit TVariant(const VARIANT& value);
    TVariant(const TVariant& other) : TVariant(other.FValue) {}
    TVariant(TVariant&& other) noexcept : FValue(other.FValue) { VariantInit(&other.FValue); }
    TVariant& operator=(TVariant other) noexcept { std::swap(FValue, other.FValue); return *this; }
    ~TVariant() { VariantClear(&FValue); }

    static TVariant Text(std::string_view utf8);
    static TVariant Text(std::u16string_view text);
    static TVariant Int(int32_t value);
    static TVariant Bool(bool value);
    static TVariant Double(double value);
    static TVariant Null();
    /// Counts a reference of its own (VT_UNKNOWN, or VT_DISPATCH for Dispatch).
    static TVariant Unknown(IUnknown* object);
    static TVariant Dispatch(IDispatch* object);
    /// VT_ARRAY | VT_UI1 holding a copy of the bytes; raises "Out of memory".
    static TVariant Bytes(std::span<const uint8_t> bytes);
    /// A by-reference value (VT_BYREF | VT_VARIANT) pointing at target, which stays the
    /// caller's.
    static TVariant RefTo(VARIANT* target);
    /// Takes over what value owns; value becomes VT_EMPTY.
    static TVariant Adopt(VARIANT* value);

    VARTYPE Type() const { return FValue.vt; }
    const VARIANT& Value() const { return FValue; }
    VARIANT* Ptr() { return &FValue; }
    /// Hands the value to an out parameter (which is overwritten, not freed).
    void Detach(VARIANT* out) { *out = FValue; VariantInit(&FValue); }
    void Clear() { VariantClear(&FValue); }

private:
    VARIANT FValue;
};

/// The bytes of a VT_ARRAY | VT_UI1 value (or a reference to one); empty otherwise.
std::span<const uint8_t> VariantBytes(const VARIANT& value);

}  // namespace quillet
