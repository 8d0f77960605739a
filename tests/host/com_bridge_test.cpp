
#include "host/com_bridge.h"

#include <dlfcn.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>

#include "host/objects.h"
#include "host/script.h"
#include "platform/com/dispatch.h"
#include "platform/com/errorinfo.h"
#include "platform/com/library.h"
#include "platform/com/object.h"
#include "tests/support/files.h"
#include "tests/support/script_object.h"

namespace quillet::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

HRESULT Fail(HRESULT hr, const char* source, const char* description)
{
    TErrorDetails details;
    details.Code = hr;
    details.Source = source;
    details.Description = description;
    SetErrorDetails(details);
    return hr;
}

// A fake object with a property, an echo, a value maker and a failing member.
TComPtr<test::TScriptObject> MakeFake()
{
    auto fake = TComPtr<test::TScriptObject>(new test::TScriptObject(false));
    auto* f = fake.Get();
    auto stored = std::make_shared<TVariant>(TVariant::Text(std::string_view("start")));
    f->Add("Value", [stored](uint16_t flags, std::vector<VARIANT*>& args, VARIANT* result) {
        if (flags == DISPATCH_PROPERTYPUT) {
            *stored = TVariant(*args.at(0));
            return S_OK;
        }
        if (flags != DISPATCH_PROPERTYGET) return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &stored->Value());
    });
    f->Add("Echo", [](uint16_t flags, std::vector<VARIANT*>& args, VARIANT* result) {
        if (flags != DISPATCH_METHOD) return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, args.at(0));
    });
    f->Add("TypeOf", [](uint16_t flags, std::vector<VARIANT*>& args, VARIANT* result) {
        if (flags != DISPATCH_METHOD) return DISP_E_MEMBERNOTFOUND;
        TVariant::Int(args.at(0)->vt).Detach(result);
        return S_OK;
    });
    f->Add("Make", [](uint16_t flags, std::vector<VARIANT*>& args, VARIANT* result) {
        if (flags != DISPATCH_METHOD) return DISP_E_MEMBERNOTFOUND;
        const int32_t kind = args.at(0)->lVal;
        static const uint8_t kBytes[] = {7, 8, 9};
        switch (kind) {
        case 0: VariantInit(result); break;
        case 1: TVariant::Null().Detach(result); break;
        case 2: TVariant::Text(std::string_view("t\xC3\xA9xt")).Detach(result); break;
        case 3: TVariant::Int(-5).Detach(result); break;
        case 4: TVariant::Bool(true).Detach(result); break;
        case 5: TVariant::Bool(false).Detach(result); break;
        case 6: TVariant::Bytes(kBytes).Detach(result); break;
        case 7: TVariant::Double(0.25).Detach(result); break;
        default: result->vt = VT_I2; result->iVal = 300; break;
        }
        return S_OK;
    });
    f->Add("Fail", [](uint16_t, std::vector<VARIANT*>&, VARIANT*) {
        return Fail(E_UNEXPECTED, "Lumexa.Quillet", "Unknown picture file extension (.xyz)");
    });
    return fake;
}

class TFakeWorld : public IObjectProvider {
public:
    TAutoObjectRef CreateObject(const std::string& progId) override
    {
        if (progId != "Fake.Object") return TRegistryObjectProvider().CreateObject(progId);
        return WrapDispatch(Fake.Get());
    }
    TComPtr<test::TScriptObject> Fake = MakeFake();
};

std::string Page(TFakeWorld& world, const std::string& code, std::optional<TScriptFailure>* failure = nullptr)
{
    TPageRequest request;
    request.ScriptName = "/bridge.asp";
    request.Root = "/srv";
    TPageResponse response;
    auto result = RunPageText("<% var o = Server.CreateObject('Fake.Object'); %>" + code, request, response, world);
    if (failure != nullptr) *failure = result;
    else EXPECT_FALSE(result) << result->Text();
    return response.Body;
}

TEST(ComBridge, ScriptValuesArriveAsTheirVariantTypes)
{
    TFakeWorld world;
    EXPECT_EQ(Page(world, "<%= [o.TypeOf('s'), o.TypeOf(7), o.TypeOf(true), o.TypeOf(undefined), o.TypeOf(null),"
                          " o.TypeOf(2.5), o.TypeOf(new Uint8Array(2)), o.TypeOf(o)].join() %>"),
              "8,3,11,0,1,5,8209,9");
}

TEST(ComBridge, VariantResultsArriveAsScriptValues)
{
    TFakeWorld world;
    EXPECT_EQ(Page(world, "<% for (var k = 0; k <= 8; k++) { var v = o.Make(k); %><%= typeof v %>:<%= "
                          "v instanceof Uint8Array ? Array.prototype.join.call(v) : String(v) %>;<% } %>"),
              "undefined:undefined;object:null;string:t\xC3\xA9xt;number:-5;boolean:true;boolean:false;"
              "object:7,8,9;number:0.25;number:300;");
    // Text makes the round trip unchanged, characters beyond U+FFFF included.
    EXPECT_EQ(Page(world, "<%= o.Echo('\\ud83d\\ude00 \\u00e9') === '\\ud83d\\ude00 \\u00e9' %>"), "true");
    // An object handed back is the same object.
    EXPECT_EQ(Page(world, "<% var p = o.Echo(o); p.Value = 'via p'; %><%= o.Value %>"), "via p");
}

TEST(ComBridge, ReadsPutsAndCallsUseTheirDispatchFlags)
{
    TFakeWorld world;
    EXPECT_EQ(Page(world, "<%= o.Value %>,<% o.Value = 42; %><%= o.Value + 1 %>,<%= o.Echo('e') %>"), "start,43,e");
    EXPECT_THAT(world.Fake->Calls,
                ElementsAre("Value:get", "Value:put", "Value:get", "Echo:get", "Echo:call"));
}

TEST(ComBridge, FailuresBecomeScriptErrorsWithNumberDescriptionAndSource)
{
    for (bool byErrorInfo : {false, true}) {
        SCOPED_TRACE(byErrorInfo ? "error information" : "EXCEPINFO");
        TFakeWorld world;
        world.Fake->FReportByExcepInfo = !byErrorInfo;
        EXPECT_EQ(Page(world, "<% try { o.Fail(); } catch (e) { %><%= e.number %>|<%= e.description %>|"
                              "<%= e.message %>|<%= e.source %><% } %>"),
                  "-2147418113|Unknown picture file extension (.xyz)|Unknown picture file extension (.xyz)|"
                  "Lumexa.Quillet");
        std::optional<TScriptFailure> failure;
        Page(world, "\n<% o.Fail(); %>", &failure);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->Text(),
                  "Lumexa.Quillet error '8000ffff': Unknown picture file extension (.xyz) (/bridge.asp, line 2)");
    }
}

// The scripting context as a component meets it: IScriptingContext, Request by name,
// TotalBytes, and BinaryRead with its count by reference.
TEST(ComBridge, ScriptingContextServesTheBodyToComponents)
{
    TPageRequest request;
    request.Body = {'h', 'e', 'l', 'l', 'o'};
    TVariant context = ToVariant(TAutoValue(TAutoObjectRef(std::make_shared<TScriptingContext>(request))));
    ASSERT_EQ(context.Type(), VT_DISPATCH);
    TComPtr<IScriptingContext> asContext =
        QueryAs<IScriptingContext>(context.Value().pdispVal, IID_IScriptingContext);
    ASSERT_TRUE(asContext);

    TVariant requestObject = DispatchCall(asContext.Get(), "Request", DISPATCH_PROPERTYGET);
    ASSERT_EQ(requestObject.Type(), VT_DISPATCH);
    IDispatch* requestDispatch = requestObject.Value().pdispVal;
    TVariant total = DispatchCall(requestDispatch, "totalbytes", DISPATCH_PROPERTYGET);
    ASSERT_EQ(total.Type(), VT_I4);
    EXPECT_EQ(total.Value().lVal, 5);

    TVariant count = TVariant::Int(99);
    TVariant bytes = DispatchCall(requestDispatch, "BinaryRead", DISPATCH_METHOD, {TVariant::RefTo(count.Ptr()).Value()});
    ASSERT_EQ(bytes.Type(), VT_ARRAY | VT_UI1);
    const auto data = VariantBytes(bytes.Value());
    EXPECT_EQ(std::string(data.begin(), data.end()), "hello");
    ASSERT_EQ(count.Type(), VT_I4);
    EXPECT_EQ(count.Value().lVal, 5);

    // A failure reaches the caller with the host's description.
    TErrorDetails failure;
    TVariant out;
    TVariant wrongCount = TVariant::Text(std::string_view("many"));
    DISPID id = 0;
    ASSERT_EQ(GetDispId(requestDispatch, "BinaryRead", &id), S_OK);
    const HRESULT hr = InvokeMember(requestDispatch, id, DISPATCH_METHOD, &wrongCount.Value(), 1, out.Ptr(), &failure);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH);
    EXPECT_THAT(failure.Description, HasSubstr("byte count"));
    EXPECT_EQ(GetDispId(requestDispatch, "Form", &id), DISP_E_UNKNOWNNAME);
}

// The real component through the registry: created by program id, started with the
// scripting context (it reads the body through it), ended and released with the page.
TEST(ComBridge, TheRegisteredComponentRunsThroughAPage)
{
    const std::string library = QUILLET_BINARY_DIR "/libquillet.so";
    test::TempDir folder;
    const std::string registry = folder / "registry";
    setenv("QUILLET_REGISTRY", registry.c_str(), 1);
    TComLibrary component(library);
    ASSERT_EQ(component.RegisterServer(), S_OK);

    TPageRequest request;
    request.ScriptName = "/up.asp";
    request.Root = folder.Path();
    const std::string body = "--XY\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nHi\r\n--XY--\r\n";
    request.Body.assign(body.begin(), body.end());
    TPageResponse response;
    TRegistryObjectProvider world;
    auto failure = RunPageText("<% var up = Server.CreateObject('Lumexa.Quillet'); %>[<%= up.Request('TITLE') %>]"
                               "<%= typeof up.Width %>:<%= up.Width %>:<%= typeof up.LoadImage('none') %>"
                               "<% try { up.SetSize('x', 1); } catch (e) { %>|<%= e.number %>|<%= e.source %><% } %>",
                               request, response, world);
    ASSERT_FALSE(failure) << failure->Text();
    EXPECT_EQ(response.Body, "[Hi]number:0:boolean|-2147418113|Lumexa.Quillet");
    // Every object of the page has gone.
    EXPECT_EQ(component.CanUnloadNow(), S_OK);

    response = TPageResponse();
    failure = RunPageText("<% Server.CreateObject('Lumexa.Missing') %>", request, response, world);
    ASSERT_TRUE(failure);
    EXPECT_THAT(failure->Description, HasSubstr("'Lumexa.Missing' is not registered"));
    EXPECT_THAT(failure->Description, HasSubstr("quillet register"));
    component.UnregisterServer();
    unsetenv("QUILLET_REGISTRY");
}

}  // namespace
}  // namespace quillet::host
