// Automation values: text conversion, BSTR layout, byte arrays, copies and the standard
// conversion to text and to a 32-bit integer.
#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "platform/com/object.h"

namespace quillet {
namespace {

TEST(Text, Utf8ToUtf16ReplacesEveryByteThatStartsNoCharacter)
{
    const struct {
        const char* name;
        std::string in;
        std::u16string want;
    } kCases[] = {
        {"ASCII", "abc", u"abc"},
        {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", u"\u00E9\u20AC\U0001F600"},
        {"a lone continuation byte", "a\x80" "b", u"a\uFFFDb"},
        {"a Latin-1 byte", "caf\xE9", u"caf\uFFFD"},
        {"a cut three-byte sequence: one each", "\xE2\x82" "A", u"\uFFFD\uFFFDA"},
        {"an overlong form", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"an encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"a zero byte is a character", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8ToUtf16(c.in), c.want);
    }
    EXPECT_EQ(Utf16ToUtf8(u"\u00E9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");  // unpaired surrogate
}

TEST(Bstr, IsALengthPrefixedZeroTerminatedMallocBlock)
{
    BSTR text = SysAllocStringLen(u"a\0bc", 4);
    ASSERT_NE(text, nullptr);
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const uint8_t*>(text) - 4, 4);
    EXPECT_EQ(prefix, 8u);  // bytes, not characters
    EXPECT_EQ(SysStringLen(text), 4u);
    EXPECT_EQ(SysStringByteLen(text), 8u);
    EXPECT_EQ(text[4], 0);
    EXPECT_EQ(BstrView(text), std::u16string_view(u"a\0bc", 4));
    // The block is a plain malloc block: another copy of the runtime frees it with free.
    std::free(reinterpret_cast<uint8_t*>(text) - 4);

    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(BstrToUtf8(nullptr), "");
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);  // its byte length would not fit
    SysFreeString(nullptr);
}

// An object that counts its references and answers a value member.
class TCounted final : public TComObject<IDispatch> {
public:
    explicit TCounted(TVariant value = {}) : FValue(std::move(value)) {}
    ULONG Count()
    {
        AddRef();
        return Release();
    }
    HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, LPOLESTR*, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   uint32_t*) override
    {
        if (id != DISPID_VALUE || (flags & DISPATCH_PROPERTYGET) == 0 || FValue.Type() == VT_EMPTY)
            return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &FValue.Value());
    }

protected:
    void* GetInterface(const IID& iid) override { return iid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr; }

private:
    TVariant FValue;
};

TEST(Variant, CopiesOwnStringsArraysAndReferences)
{
    TComPtr<TCounted> object = TComPtr<TCounted>::Adopt(new TCounted);
    object->AddRef();
    {
        const TVariant unknown = TVariant::Unknown(object->Unknown());
        EXPECT_EQ(object->Count(), 2u);
        TVariant copy(unknown);
        EXPECT_EQ(object->Count(), 3u);
        copy.Clear();
        EXPECT_EQ(copy.Type(), VT_EMPTY);
        EXPECT_EQ(object->Count(), 2u);
    }
    EXPECT_EQ(object->Count(), 1u);

    const uint8_t bytes[] = {1, 2, 3};
    const TVariant array = TVariant::Bytes(bytes);
    TVariant copy(array);
    EXPECT_NE(copy.Value().parray, array.Value().parray);
    EXPECT_NE(copy.Value().parray->pvData, array.Value().parray->pvData);
    EXPECT_EQ(std::vector<uint8_t>(VariantBytes(copy.Value()).begin(), VariantBytes(copy.Value()).end()),
              std::vector<uint8_t>({1, 2, 3}));

    const TVariant text = TVariant::Text(std::string("abc"));
    const TVariant textCopy(text);
    EXPECT_NE(textCopy.Value().bstrVal, text.Value().bstrVal);
    EXPECT_EQ(BstrToUtf8(textCopy.Value().bstrVal), "abc");

    // A by-reference value stays a reference; VariantCopyInd copies what it refers to.
    TVariant target = TVariant::Int(7);
    TVariant ref = TVariant::RefTo(target.Ptr());
    TVariant refCopy(ref);
    EXPECT_EQ(refCopy.Type(), VT_BYREF | VT_VARIANT);
    EXPECT_EQ(refCopy.Value().pvarVal, target.Ptr());
    TVariant direct;
    ASSERT_EQ(VariantCopyInd(direct.Ptr(), &ref.Value()), S_OK);
    EXPECT_EQ(direct.Type(), VT_I4);
    EXPECT_EQ(direct.Value().lVal, 7);
    VARIANT nullRef;
    VariantInit(&nullRef);
    nullRef.vt = VT_BYREF | VT_I4;
    EXPECT_EQ(VariantCopyInd(direct.Ptr(), &nullRef), E_INVALIDARG);
}

TEST(SafeArray, BytesWithBoundsAndLocks)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 5, 3);
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(SafeArrayGetDim(array), 1u);
    int32_t low = 0, high = 0;
    EXPECT_EQ(SafeArrayGetLBound(array, 1, &low), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(array, 1, &high), S_OK);
    EXPECT_EQ(low, 5);
    EXPECT_EQ(high, 7);
    EXPECT_EQ(SafeArrayGetLBound(array, 2, &low), DISP_E_BADINDEX);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(array), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
    EXPECT_EQ(SafeArrayCreateVector(VT_I4, 0, 3), nullptr);  // only bytes are made

    SAFEARRAY* empty = SafeArrayCreateVector(VT_UI1, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SafeArrayElementCount(empty), 0u);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

HRESULT ChangeTo(const VARIANT& value, VARTYPE vt, TVariant* result, uint16_t flags = 0)
{
    return VariantChangeType(result->Ptr(), &value, flags, vt);
}

TEST(Variant, ChangeTypeToText)
{
    TVariant target = TVariant::Double(2.5);
    TComPtr<TCounted> object = TComPtr<TCounted>::Adopt(new TCounted(TVariant::Text(std::string("from object"))));
    object->AddRef();
    TComPtr<TCounted> valueless = TComPtr<TCounted>::Adopt(new TCounted);
    valueless->AddRef();
    const struct {
        const char* name;
        TVariant in;
        uint16_t flags;
        HRESULT hr;
        std::string want;
    } kCases[] = {
        {"empty", TVariant(), 0, S_OK, ""},
        {"integer", TVariant::Int(-42), 0, S_OK, "-42"},
        {"whole double", TVariant::Double(160.0), 0, S_OK, "160"},
        {"fraction", TVariant::Double(0.1), 0, S_OK, "0.1"},
        {"large double", TVariant::Double(1e20), 0, S_OK, "1E+20"},
        {"boolean", TVariant::Bool(true), 0, S_OK, "-1"},
        {"boolean as a word", TVariant::Bool(false), VARIANT_ALPHABOOL, S_OK, "False"},
        {"text", TVariant::Text(std::string("h\xC3\xA9")), 0, S_OK, "h\xC3\xA9"},
        {"a reference", TVariant::RefTo(target.Ptr()), 0, S_OK, "2.5"},
        {"an object's value", TVariant::Dispatch(object.Get()), 0, S_OK, "from object"},
        {"an object without a value", TVariant::Dispatch(valueless.Get()), 0, DISP_E_TYPEMISMATCH, ""},
        {"null", TVariant::Null(), 0, DISP_E_TYPEMISMATCH, ""},
        {"a byte array", TVariant::Bytes({}), 0, DISP_E_TYPEMISMATCH, ""},
        {"a null object", TVariant::Dispatch(nullptr), 0, DISP_E_TYPEMISMATCH, ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TVariant result = TVariant::Int(99);
        EXPECT_EQ(ChangeTo(c.in.Value(), VT_BSTR, &result, c.flags), c.hr);
        if (c.hr == S_OK) {
            ASSERT_EQ(result.Type(), VT_BSTR);
            EXPECT_EQ(BstrToUtf8(result.Value().bstrVal), c.want);
        } else {
            EXPECT_EQ(result.Type(), VT_I4);  // a failed conversion leaves the destination
        }
    }
}

TEST(Variant, ChangeTypeToInteger)
{
    TVariant target = TVariant::Text(std::string(" 12 "));
    VARIANT big;
    VariantInit(&big);
    big.vt = VT_I8;
    big.llVal = int64_t(1) << 31;
    VARIANT unsignedMax;
    VariantInit(&unsignedMax);
    unsignedMax.vt = VT_UI4;
    unsignedMax.ulVal = 0xFFFFFFFFu;
    const auto text = [](const char* s) { return TVariant::Text(std::string(s)); };
    const struct {
        const char* name;
        TVariant in;
        HRESULT hr;
        int32_t want;
    } kCases[] = {
        {"empty", TVariant(), S_OK, 0},
        {"integer", TVariant::Int(-7), S_OK, -7},
        {"boolean", TVariant::Bool(true), S_OK, -1},
        {"half rounds to even, down", TVariant::Double(2.5), S_OK, 2},
        {"half rounds to even, up", TVariant::Double(3.5), S_OK, 4},
        {"negative half", TVariant::Double(-2.5), S_OK, -2},
        {"above the range", TVariant::Double(2147483647.5), DISP_E_OVERFLOW, 0},
        {"the lowest value", TVariant::Double(-2147483648.0), S_OK, std::numeric_limits<int32_t>::min()},
        {"not a number", TVariant::Double(std::numeric_limits<double>::quiet_NaN()), DISP_E_OVERFLOW, 0},
        {"64-bit out of range", TVariant::Adopt(&big), DISP_E_OVERFLOW, 0},
        {"unsigned out of range", TVariant::Adopt(&unsignedMax), DISP_E_OVERFLOW, 0},
        {"digits with blanks, by reference", TVariant::RefTo(target.Ptr()), S_OK, 12},
        {"a signed fraction", text("-1.5"), S_OK, -2},
        {"an exponent", text("1e3"), S_OK, 1000},
        {"a tiny exponent", text("1e-400"), S_OK, 0},
        {"hexadecimal", text("&HFF"), S_OK, 255},
        {"hexadecimal wraps", text("&HFFFFFFFF"), S_OK, -1},
        {"octal", text("&O17"), S_OK, 15},
        {"too long a number", text("2147483648"), DISP_E_OVERFLOW, 0},
        {"a huge exponent", text("1e400"), DISP_E_OVERFLOW, 0},
        {"letters", text("12abc"), DISP_E_TYPEMISMATCH, 0},
        {"an empty text", text(""), DISP_E_TYPEMISMATCH, 0},
        {"a lone sign", text("-"), DISP_E_TYPEMISMATCH, 0},
        {"an exponent without digits", text("1e"), DISP_E_TYPEMISMATCH, 0},
        {"infinity spelt out", text("inf"), DISP_E_TYPEMISMATCH, 0},
        {"null", TVariant::Null(), DISP_E_TYPEMISMATCH, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TVariant result;
        EXPECT_EQ(ChangeTo(c.in.Value(), VT_I4, &result), c.hr);
        if (c.hr == S_OK) {
            ASSERT_EQ(result.Type(), VT_I4);
            EXPECT_EQ(result.Value().lVal, c.want);
        }
    }
    TVariant result;
    EXPECT_EQ(ChangeTo(TVariant::Int(1).Value(), VT_DISPATCH, &result), DISP_E_BADVARTYPE);
}

}  // namespace
}  // namespace quillet
