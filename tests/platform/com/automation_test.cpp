// The automation object base: the guard's mapping of exceptions to results and error
// information, the thread's error slot, and dispatch of a small described interface.
#include "platform/com/automation.h"

#include <gtest/gtest.h>

#include <new>
#include <thread>

#include "platform/com/dispatch.h"

namespace quillet {
namespace {

constexpr IID IID_IToy = {0x0D1C3B2A, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
constexpr CLSID CLASS_Toy = {0x0D1C3B2B, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

class IToy : public IDispatch {
public:
    virtual HRESULT Raise(VARIANT Kind, VARIANT* Value) = 0;
    virtual HRESULT get_Name(VARIANT* Value) = 0;
    virtual HRESULT put_Name(VARIANT Value) = 0;
};

IToy* Toy(void* p) { return static_cast<IToy*>(p); }
constexpr TParamDesc kKind[] = {{"Kind", VT_VARIANT}};
constexpr TParamDesc kValue[] = {{"", VT_VARIANT}};
const TFuncDesc kToyFuncs[] = {
    {"Raise", 1, INVOKE_FUNC, 7, kKind, 1, true, nullptr, [](void* p, VARIANT* a, VARIANT* r) { return Toy(p)->Raise(a[0], r); }},
    {"Name", 2, INVOKE_PROPERTYGET, 8, nullptr, 0, true, nullptr, [](void* p, VARIANT*, VARIANT* r) { return Toy(p)->get_Name(r); }},
    {"Name", 2, INVOKE_PROPERTYPUT, 9, kValue, 1, false, nullptr, [](void* p, VARIANT* a, VARIANT*) { return Toy(p)->put_Name(a[0]); }},
};
extern const TTypeLibDesc kToyLibrary;
const TTypeDesc kToyInterface = {TKIND_DISPATCH, IID_IToy, "IToy", "A toy", TYPEFLAG_FDUAL, kToyFuncs, 3, 10, nullptr, 0, &kToyLibrary};
const TTypeDesc* const kToyInterfaces[] = {&kToyInterface};
const TTypeDesc kToyClass = {TKIND_COCLASS, CLASS_Toy, "Toy", "Toy Object", TYPEFLAG_FCANCREATE, nullptr, 0, 0, kToyInterfaces, 1, &kToyLibrary};
const TTypeDesc* const kToyTypes[] = {&kToyInterface, &kToyClass};
const TTypeLibDesc kToyLibrary = {GUID_NULL, "Toys", "Toys", 1, 0, 0, kToyTypes, 2};
const TAutoClass kToyAutoClass = {&kToyClass};

class TToy final : public TAutoObject<IToy> {
public:
    TToy() : TAutoObject(kToyAutoClass) {}
    HRESULT Raise(VARIANT Kind, VARIANT* Value) override
    {
        return Guard(Value, [&] {
            Value->vt = VT_I4;  // a partial result must not survive the failure
            Value->lVal = 1;
            switch (Kind.lVal) {
            case 0: throw Exception("plain");
            case 1: throw EOleSysError("host said no", HResult(0x80070005));
            case 2: throw EOleSysError("a success code", 1);
            case 3: throw std::bad_alloc();
            case 4: throw Exception("with help", 7);
            case 5: throw 42;
            default: break;
            }
        });
    }
    HRESULT get_Name(VARIANT* Value) override
    {
        return Guard(Value, [&] { TVariant::Text(FName).Detach(Value); });
    }
    HRESULT put_Name(VARIANT Value) override
    {
        return Guard(nullptr, [&] {
            TVariant text;
            if (FAILED(VariantChangeType(text.Ptr(), &Value, 0, VT_BSTR))) throw Exception("not text");
            FName = BstrToUtf8(text.Value().bstrVal);
        });
    }

private:
    std::string FName;
};

TComPtr<IDispatch> NewToy()
{
    TComPtr<IDispatch> toy;
    EXPECT_EQ(CreateComObject<TToy>(IID_IDispatch, toy.ReceiveVoid()), S_OK);
    return toy;
}

TEST(AutoObject, TheGuardTurnsExceptionsIntoResultsAndErrorInformation)
{
    const struct {
        int kind;
        HRESULT hr;
        const char* description;
        uint32_t helpContext;
    } kCases[] = {
        {0, E_UNEXPECTED, "plain", 0},
        {1, HResult(0x80070005), "host said no", 0},
        {2, E_UNEXPECTED, "a success code", 0},
        {3, E_UNEXPECTED, "Out of memory", 0},
        {4, E_UNEXPECTED, "with help", 7},
        {5, E_UNEXPECTED, "Unexpected failure", 0},
    };
    TComPtr<IDispatch> toy = NewToy();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.description);
        VARIANT arg = TVariant::Int(c.kind).Value();
        DISPPARAMS params = {&arg, nullptr, 1, 0};
        TVariant result = TVariant::Int(5);
        EXPECT_EQ(toy->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, result.Ptr(), nullptr, nullptr), c.hr);
        EXPECT_EQ(result.Type(), VT_EMPTY);
        TComPtr<IErrorInfo> info;
        ASSERT_EQ(GetObjectErrorInfo(toy.Get(), IID_IToy, info.Receive()), S_OK);
        const TErrorDetails details = ReadErrorInfo(info.Get());
        EXPECT_EQ(details.Guid, IID_IToy);
        EXPECT_EQ(details.Source, "Toys.Toy");
        EXPECT_EQ(details.Description, c.description);
        EXPECT_EQ(details.HelpContext, c.helpContext);
    }
}

TEST(AutoObject, DispatchCallRaisesTheMembersCodeAndDescription)
{
    TComPtr<IDispatch> toy = NewToy();
    try {
        DispatchCall(toy.Get(), "raise", DISPATCH_METHOD, {TVariant::Int(1).Value()});
        FAIL() << "no exception";
    } catch (const EOleSysError& e) {
        EXPECT_EQ(e.ErrorCode(), HResult(0x80070005));
        EXPECT_STREQ(e.what(), "host said no");
    }
    DispatchCall(toy.Get(), "NAME", DISPATCH_PROPERTYPUT, {TVariant::Text(std::string("ann")).Value()});
    EXPECT_EQ(BstrToUtf8(DispatchCall(toy.Get(), "Name", DISPATCH_PROPERTYGET).Value().bstrVal), "ann");
    // A put without the DISPID_PROPERTYPUT name takes its one positional argument.
    TVariant bo = TVariant::Text(std::u16string(u"bo"));
    VARIANT arg = bo.Value();
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    EXPECT_EQ(toy->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(BstrToUtf8(DispatchCall(toy.Get(), "Name", DISPATCH_PROPERTYGET).Value().bstrVal), "bo");
    try {
        DispatchCall(toy.Get(), "Missing", DISPATCH_METHOD);
        FAIL() << "no exception";
    } catch (const EOleSysError& e) {
        EXPECT_EQ(e.ErrorCode(), DISP_E_UNKNOWNNAME);
    }
}

TEST(ErrorInfo, TheSlotIsPerThreadAndHandedOverOnce)
{
    TErrorDetails details;
    details.Description = "here";
    SetErrorDetails(details);
    std::thread([] {
        TComPtr<IErrorInfo> info;
        EXPECT_EQ(GetErrorInfo(0, info.Receive()), S_FALSE);
        EXPECT_FALSE(info);
    }).join();
    TComPtr<IErrorInfo> info;
    ASSERT_EQ(GetErrorInfo(0, info.Receive()), S_OK);
    EXPECT_EQ(ReadErrorInfo(info.Get()).Description, "here");
    EXPECT_EQ(GetErrorInfo(0, info.Receive()), S_FALSE);
    // A thread that ends with information in its slot lets it go (the leak checker sees).
    std::thread([] { SetErrorDetails(TErrorDetails{}); }).join();
}

TEST(ComServer, CountsLiveObjects)
{
    const int32_t before = TComServer::ObjectCount();
    {
        TComPtr<IDispatch> toy = NewToy();
        EXPECT_EQ(TComServer::ObjectCount(), before + 1);
        TComPtr<ITypeInfo> info;
        ASSERT_EQ(toy->GetTypeInfo(0, 0, info.Receive()), S_OK);
        EXPECT_EQ(TComServer::ObjectCount(), before + 2);
    }
    EXPECT_EQ(TComServer::ObjectCount(), before);
}

}  // namespace
}  // namespace quillet
