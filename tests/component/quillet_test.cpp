// TQuillet as a page sees it: made by the library's class factory and driven only through
// IDispatch by name, with a test scripting context serving the request body.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "bodies.h"
#include "com_client.h"
#include "platform/com/errorinfo.h"

namespace quillet::test {
namespace {

using ::testing::MatchesRegex;


TEST(Quillet, AnswersTheWorkedBody)
{
    TTestPage page(BytesOf(kWorkedBody));
    TQuilletObject quillet;
    quillet.Start(page);
    EXPECT_EQ(page.CountSeen, 176);  // BinaryRead was asked for TotalBytes
    EXPECT_EQ(quillet.Text("Request", "title"), "Hi");
    EXPECT_EQ(quillet.Text("Request", "TITLE"), "Hi");
    EXPECT_EQ(quillet.Text("Request", "Title"), "Hi");
    EXPECT_EQ(quillet.Text("Request", "photo"), "C:\\p\\a.gif");
    EXPECT_EQ(quillet.Text("FileName", "photo"), "a.gif");
    EXPECT_EQ(quillet.Text("ExtName", "photo"), ".gif");
    EXPECT_EQ(quillet.Text("Request", "other"), "");
    EXPECT_EQ(quillet.Call("OnEndPage").Hr, S_OK);
}

TEST(Quillet, LookupEdgeCases)
{
    const struct {
        const char* name;
        std::string body;
        const char* member;
        std::string tagName;
        std::string want;
    } kCases[] = {
        {"the first of two parts of one name wins", TextPart("a", "one") + TextPart("a", "two") + kEnd, "Request", "a", "one"},
        {"an empty name never matches", TextPart("a", "one") + kEnd, "Request", "", ""},
        {"a part with an empty name cannot be found", TextPart("", "one") + kEnd, "Request", "", ""},
        {"non-ASCII letters match exactly", TextPart("T\xC3\xADtulo", "v") + kEnd, "Request", "t\xC3\x8Dtulo", ""},
        {"ASCII letters match either case", TextPart("T\xC3\xADtulo", "v") + kEnd, "Request", "t\xC3\xADTULO", "v"},
        {"a value keeps its own line ends", TextPart("a", "x\r\ny\r\n") + kEnd, "Request", "a", "x\r\ny\r\n"},
        // The value starts 5 bytes after the name's quote, which here is inside the header.
        {"an extra header line comes with the value",
         "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n\r\nv\r\n" + kEnd, "Request",
         "a", "ntent-Type: text/plain\r\n\r\nv"},
        {"an empty value", TextPart("a", "") + kEnd, "Request", "a", ""},
        {"a value without a boundary after it", TextPart("a", "v"), "Request", "a", ""},
        {"a boundary that ends the body is not found", TextPart("a", "v") + "--XY", "Request", "a", ""},
        {"Request of a file part is its file name", FilePart("f", "C:\\dir\\photo.jpg") + kEnd, "Request", "f", "C:\\dir\\photo.jpg"},
        {"FileName after the last backslash", FilePart("f", "C:\\dir\\photo.jpg") + kEnd, "FileName", "f", "photo.jpg"},
        {"FileName without a folder", FilePart("f", "photo.jpg") + kEnd, "FileName", "f", "photo.jpg"},
        {"FileName's last byte is never a separator", FilePart("f", "C:\\dir\\") + kEnd, "FileName", "f", "dir\\"},
        {"a forward slash does not separate", FilePart("f", "pics/cat.gif") + kEnd, "FileName", "f", "pics/cat.gif"},
        {"an empty file name", FilePart("f", "") + kEnd, "FileName", "f", ""},
        {"Request of an empty file name", FilePart("f", "") + kEnd, "Request", "f", ""},
        {"ExtName of an empty file name", FilePart("f", "") + kEnd, "ExtName", "f", ""},
        {"ExtName is the last extension", FilePart("f", "archive.tar.gz") + kEnd, "ExtName", "f", ".gz"},
        {"ExtName of a name whose folder has the dot", FilePart("f", "C:\\old.dir\\readme") + kEnd, "ExtName", "f", ""},
        {"ExtName of a name ending in a dot", FilePart("f", "photo.") + kEnd, "ExtName", "f", "."},
        {"ExtName after a drive", FilePart("f", "C:x") + kEnd, "ExtName", "f", ""},
        {"ExtName of a text value", TextPart("a", "notes.txt") + kEnd, "ExtName", "a", ".txt"},
        {"UTF-8 text comes out as wide text", TextPart("a", "h\xC3\xA9llo") + kEnd, "Request", "a", "h\xC3\xA9llo"},
        {"a byte that is no UTF-8 becomes U+FFFD", TextPart("a", "caf\xE9") + kEnd, "Request", "a", "caf\xEF\xBF\xBD"},
        {"a name without its closing quote", "--XY\r\nContent-Disposition: form-data; name=\"abc", "Request", "abc", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TTestPage page(BytesOf(c.body));
        TQuilletObject quillet;
        quillet.Start(page);
        EXPECT_EQ(quillet.Text(c.member, c.tagName), c.want);
    }
}

TEST(Quillet, TagNamesAreConvertedToText)
{
    TTestPage page(BytesOf(TextPart("5", "five") + TextPart("True", "yes") + kEnd));
    TQuilletObject quillet;
    quillet.Start(page);
    EXPECT_EQ(quillet.Call("Request", {TVariant::Int(5)}).Text(), "five");
    EXPECT_EQ(quillet.Call("Request", {TVariant::Double(5.0)}).Text(), "five");
    EXPECT_EQ(quillet.Call("Request", {TVariant::Bool(true)}).Text(), "yes");
    TVariant name = TVariant::Text(std::string("5"));
    EXPECT_EQ(quillet.Call("Request", {TVariant::RefTo(name.Ptr())}).Text(), "five");
}

TEST(Quillet, AFailedMemberFollowsTheErrorConvention)
{
    TTestPage page(BytesOf(kWorkedBody));
    TQuilletObject quillet;
    quillet.Start(page);
    const char* kDescription = "Cannot convert a value of type Null to text";

    // With an EXCEPINFO: DISP_E_EXCEPTION carrying the member's HRESULT and the error.
    const TCall viaExcep = quillet.Call("Request", {TVariant::Null()});
    EXPECT_EQ(viaExcep.Hr, DISP_E_EXCEPTION);
    EXPECT_EQ(viaExcep.Code, E_UNEXPECTED);
    EXPECT_EQ(viaExcep.Value.Type(), VT_EMPTY);
    EXPECT_EQ(viaExcep.Error.Source, "Lumexa.Quillet");
    EXPECT_EQ(viaExcep.Error.Description, kDescription);
    EXPECT_EQ(viaExcep.Error.HelpContext, 0u);

    // Without one: the member's HRESULT, and the error information from the object.
    const TCall plain = quillet.Call("ExtName", {TVariant::Null()}, false);
    EXPECT_EQ(plain.Hr, E_UNEXPECTED);
    EXPECT_EQ(plain.Value.Type(), VT_EMPTY);
    TComPtr<IErrorInfo> info;
    ASSERT_EQ(GetObjectErrorInfo(quillet.Get(), IID_IDispatch, info.Receive()), S_OK);
    const TErrorDetails details = ReadErrorInfo(info.Get());
    EXPECT_EQ(details.Guid, IID_IQuillet);
    EXPECT_EQ(details.Source, "Lumexa.Quillet");
    EXPECT_EQ(details.Description, kDescription);
    EXPECT_EQ(details.HelpFile, "");
    EXPECT_EQ(details.HelpContext, 0u);
    // The information was handed over: it is not there twice.
    EXPECT_EQ(GetObjectErrorInfo(quillet.Get(), IID_IDispatch, info.Receive()), S_FALSE);
}

TEST(Quillet, AnObjectWithoutAPageAnswersEmptyTextAndFalse)
{
    TQuilletObject quillet;
    const auto expectEmptyState = [&] {
        EXPECT_EQ(quillet.Text("Request", "title"), "");
        EXPECT_EQ(quillet.Text("FileName", "photo"), "");
        EXPECT_EQ(quillet.Text("ExtName", "photo"), "");
        EXPECT_EQ(quillet.Get("FilePath").Text(), "");
        for (const char* name : {"Width", "Height"}) {
            const TCall call = quillet.Get(name);
            EXPECT_EQ(call.Value.Type(), VT_I4);
            EXPECT_EQ(call.Value.Value().lVal, 0);
        }
        for (const TCall& call : {quillet.Call("LoadImage", {TVariant::Text(std::string("photo"))}),
                                  quillet.Call("SetSize", {TVariant::Int(10), TVariant::Int(10)}),
                                  quillet.Call("SaveImage", {TVariant::Text(std::string("x.jpg"))})}) {
            EXPECT_EQ(call.Hr, S_OK);
            EXPECT_EQ(call.Value.Type(), VT_BOOL);
            EXPECT_EQ(call.Value.Value().boolVal, VARIANT_FALSE);
        }
    };
    expectEmptyState();
    EXPECT_EQ(quillet.Get("CopyRight").Text(), "");

    TTestPage page(BytesOf(kWorkedBody));
    quillet.Start(page);
    EXPECT_THAT(quillet.Get("CopyRight").Text(), MatchesRegex(R"(\[[^]]+ [Rr]ights reserved\], https?://[^ ]+)"));
    EXPECT_EQ(quillet.Text("Request", "title"), "Hi");
    EXPECT_EQ(quillet.Call("OnEndPage").Hr, S_OK);
    expectEmptyState();
}

TEST(Quillet, ThePageHoldsTheContextFromStartToEnd)
{
    TTestPage page(BytesOf(kWorkedBody));
    const ULONG before = page.Context->Count();
    {
        TQuilletObject quillet;
        quillet.Start(page);
        EXPECT_GT(page.Context->Count(), before);
        EXPECT_EQ(page.RequestObject->Count(), 1u);  // the Request object is not kept
        EXPECT_EQ(quillet.Call("OnEndPage").Hr, S_OK);
        EXPECT_EQ(page.Context->Count(), before);
        quillet.Start(page);  // a page that is never ended: the object lets go when it goes
    }
    EXPECT_EQ(page.Context->Count(), before);
    EXPECT_EQ(QuilletLibrary().CanUnloadNow(), S_OK);
}

TEST(Quillet, OnStartPageFailures)
{
    const std::string kDenied = "Access is denied to the request body";
    const struct {
        const char* name;
        int argument;  // 0: a context, 1: an object that is no context, 2: null, 3: a number
        bool failRead;
        bool byExcepInfo;
        HRESULT code;
        std::string description;
    } kCases[] = {
        {"no scripting context interface", 1, false, true, E_UNEXPECTED, "Interface not supported"},
        {"a null context", 2, false, true, E_UNEXPECTED, "No scripting context"},
        {"the host's read fails, reported in EXCEPINFO", 0, true, true, HResult(0x80070005), kDenied},
        {"the host's read fails, reported as error information", 0, true, false, HResult(0x80070005), kDenied},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TTestPage page(BytesOf(kWorkedBody));
        if (c.failRead) {
            page.BinaryReadFailure = HResult(0x80070005);
            page.FailureText = kDenied;
            page.RequestObject->FReportByExcepInfo = c.byExcepInfo;
        }
        TComPtr<TScriptObject> stranger = TComPtr<TScriptObject>::Adopt(new TScriptObject(false));
        stranger->AddRef();
        TVariant argument = c.argument == 0   ? TVariant::Unknown(page.Unknown())
                            : c.argument == 1 ? TVariant::Unknown(stranger->Unknown())
                                              : TVariant::Unknown(nullptr);
        TQuilletObject quillet;
        const TCall call = quillet.Call("OnStartPage", {argument});
        EXPECT_EQ(call.Hr, DISP_E_EXCEPTION);
        EXPECT_EQ(call.Code, c.code);
        EXPECT_EQ(call.Error.Source, "Lumexa.Quillet");
        EXPECT_EQ(call.Error.Description, c.description);
        // Nothing was created: the object still has no pictures, no notice.
        EXPECT_EQ(quillet.Get("CopyRight").Text(), "");
        if (c.argument == 1) {
            EXPECT_EQ(page.RequestGets, 0);
        }
    }
}

TEST(Quillet, HostBodiesOfAnyShapeStartThePage)
{
    // The host lowers the count or hands out nothing: the page starts, lookups find what
    // the bytes held say.
    TTestPage shorter(BytesOf(kWorkedBody));
    shorter.TotalBytes = 1000;
    TTestPage empty;
    TTestPage noBoundaryLine(BytesOf("no line end at all"));
    for (TTestPage* page : {&shorter, &empty, &noBoundaryLine}) {
        TQuilletObject quillet;
        quillet.Start(*page);
        EXPECT_EQ(quillet.Text("FileName", "photo"), page == &shorter ? "a.gif" : "");
    }
    EXPECT_EQ(shorter.CountSeen, 1000);
}

TEST(Quillet, InvokeMisuseGetsTheDispatchCodes)
{
    TQuilletObject quillet;
    TVariant missing;
    missing.Ptr()->vt = VT_ERROR;
    missing.Ptr()->scode = DISP_E_PARAMNOTFOUND;
    const TVariant text = TVariant::Text(std::string("x"));
    const struct {
        const char* name;
        DISPID id;
        uint16_t flags;
        std::vector<TVariant> args;
        HRESULT want;
    } kCases[] = {
        {"an unused dispatch id", 4, DISPATCH_METHOD, {}, DISP_E_MEMBERNOTFOUND},
        {"an id past the last", 16, DISPATCH_METHOD, {}, DISP_E_MEMBERNOTFOUND},
        {"a property called as a method only", DISPID_Width, DISPATCH_METHOD, {}, DISP_E_MEMBERNOTFOUND},
        {"a put of a read-only property", DISPID_Width, DISPATCH_PROPERTYPUT, {TVariant::Int(1)}, DISP_E_MEMBERNOTFOUND},
        {"a method read as a property only", DISPID_Request, DISPATCH_PROPERTYGET, {text}, DISP_E_MEMBERNOTFOUND},
        {"too many arguments", DISPID_OnEndPage, DISPATCH_METHOD, {text}, DISP_E_BADPARAMCOUNT},
        {"an argument to a getter", DISPID_Width, DISPATCH_PROPERTYGET, {text}, DISP_E_BADPARAMCOUNT},
        {"a missing argument", DISPID_Request, DISPATCH_METHOD, {}, DISP_E_PARAMNOTOPTIONAL},
        {"one of two arguments", DISPID_SetSize, DISPATCH_METHOD, {TVariant::Int(1)}, DISP_E_PARAMNOTOPTIONAL},
        {"an argument marked missing", DISPID_Request, DISPATCH_METHOD, {missing}, DISP_E_PARAMNOTOPTIONAL},
        {"a number for the scripting context", DISPID_OnStartPage, DISPATCH_METHOD, {TVariant::Int(3)}, DISP_E_TYPEMISMATCH},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const TCall call = InvokeId(quillet.Get(), c.id, c.flags, c.args);
        EXPECT_EQ(call.Hr, c.want);
        EXPECT_EQ(call.Value.Type(), VT_EMPTY);
        if (c.want == DISP_E_TYPEMISMATCH) {
            EXPECT_EQ(call.ArgErr, 0u);
        }
    }

    // A named argument the member does not have, and an interface id that is not null.
    VARIANT arg = text.Value();
    DISPID named = 7;
    DISPPARAMS params = {&arg, &named, 1, 1};
    uint32_t argErr = 99;
    EXPECT_EQ(quillet->Invoke(DISPID_Request, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, &argErr),
              DISP_E_PARAMNOTFOUND);
    EXPECT_EQ(argErr, 0u);
    EXPECT_EQ(quillet->Invoke(DISPID_Width, IID_IDispatch, 0, DISPATCH_PROPERTYGET, nullptr, nullptr, nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
}

TEST(Quillet, PutsReachTheSetterWithEitherFlag)
{
    TQuilletObject quillet;
    const struct {
        uint16_t flags;
        const char* path;
    } kCases[] = {
        {DISPATCH_PROPERTYPUT, "/srv/a"},
        {DISPATCH_PROPERTYPUTREF, "/srv/b"},
        {DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF, "/srv/c"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(InvokeId(quillet.Get(), DISPID_FilePath, c.flags, {TVariant::Text(std::string(c.path))}).Hr, S_OK);
        EXPECT_EQ(quillet.Get("FilePath").Text(), c.path);
    }
}

TEST(Quillet, NamesResolveIgnoringCase)
{
    TQuilletObject quillet;
    const struct {
        std::vector<std::u16string> names;
        HRESULT want;
        std::vector<DISPID> ids;
    } kCases[] = {
        {{u"request"}, S_OK, {DISPID_Request}},
        {{u"REQUEST"}, S_OK, {DISPID_Request}},
        {{u"oNsTaRtPaGe"}, S_OK, {DISPID_OnStartPage}},
        {{u"filepath"}, S_OK, {DISPID_FilePath}},
        {{u"Requests"}, DISP_E_UNKNOWNNAME, {DISPID_UNKNOWN}},
        {{u"SetSize", u"height", u"WIDTH"}, S_OK, {DISPID_SetSize, 1, 0}},
        {{u"SetSize", u"depth"}, DISP_E_UNKNOWNNAME, {DISPID_SetSize, DISPID_UNKNOWN}},
        {{u"Request", u"tagname"}, S_OK, {DISPID_Request, 0}},
    };
    for (const auto& c : kCases) {
        std::vector<std::u16string> names = c.names;
        std::vector<LPOLESTR> pointers;
        for (auto& n : names) pointers.push_back(n.data());
        std::vector<DISPID> ids(names.size(), 12345);
        EXPECT_EQ(quillet->GetIDsOfNames(IID_NULL, pointers.data(), uint32_t(pointers.size()), 0, ids.data()), c.want);
        EXPECT_EQ(ids, c.ids);
    }

    // Named arguments by those ids: Height first, Width second.
    TVariant args[2] = {TVariant::Int(100), TVariant::Int(50)};
    VARIANT rgvarg[2] = {args[0].Value(), args[1].Value()};
    DISPID named[2] = {1, 0};
    DISPPARAMS params = {rgvarg, named, 2, 2};
    TVariant result;
    EXPECT_EQ(quillet->Invoke(DISPID_SetSize, IID_NULL, 0, DISPATCH_METHOD, &params, result.Ptr(), nullptr, nullptr), S_OK);
    EXPECT_EQ(result.Type(), VT_BOOL);
}

TEST(Quillet, TypeInformationDescribesIQuillet)
{
    TQuilletObject quillet;
    uint32_t count = 0;
    EXPECT_EQ(quillet->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ITypeInfo* poisoned = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(quillet->GetTypeInfo(1, 0, &poisoned), DISP_E_BADINDEX);
    EXPECT_EQ(poisoned, nullptr);

    TComPtr<ITypeInfo> info;
    ASSERT_EQ(quillet->GetTypeInfo(0, 0, info.Receive()), S_OK);
    TYPEATTR attr;
    ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr.guid, IID_IQuillet);
    EXPECT_EQ(attr.lcid, 0x409u);
    EXPECT_EQ(attr.wMajorVerNum, 1);
    EXPECT_EQ(attr.wMinorVerNum, 0);
    EXPECT_EQ(attr.wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE),
              TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE);
    EXPECT_EQ(attr.cbSizeVft, 20 * sizeof(void*));
    TBstr name, doc;
    ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, name.Receive(), doc.Receive(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.Utf8(), "IQuillet");
    EXPECT_EQ(doc.Utf8(), "Dispatch interface for Quillet Object");

    // Slot, dispatch id, kind and argument count of every member, in slot order.
    const struct {
        const char* name;
        DISPID id;
        INVOKEKIND kind;
        int params;
        bool result;
    } kMembers[] = {
        {"OnStartPage", 1, INVOKE_FUNC, 1, false}, {"OnEndPage", 2, INVOKE_FUNC, 0, false},
        {"FilePath", 3, INVOKE_PROPERTYGET, 0, true}, {"FilePath", 3, INVOKE_PROPERTYPUT, 1, false},
        {"ExtName", 5, INVOKE_FUNC, 1, true}, {"FileName", 7, INVOKE_FUNC, 1, true},
        {"Request", 9, INVOKE_FUNC, 1, true}, {"CopyRight", 10, INVOKE_PROPERTYGET, 0, true},
        {"Width", 11, INVOKE_PROPERTYGET, 0, true}, {"Height", 12, INVOKE_PROPERTYGET, 0, true},
        {"LoadImage", 13, INVOKE_FUNC, 1, true}, {"SetSize", 14, INVOKE_FUNC, 2, true},
        {"SaveImage", 15, INVOKE_FUNC, 1, true},
    };
    ASSERT_EQ(attr.cFuncs, std::size(kMembers));
    for (uint32_t i = 0; i < std::size(kMembers); ++i) {
        SCOPED_TRACE(kMembers[i].name);
        FUNCDESC desc;
        ASSERT_EQ(info->GetFuncDesc(i, &desc), S_OK);
        EXPECT_EQ(desc.memid, kMembers[i].id);
        EXPECT_EQ(desc.invkind, kMembers[i].kind);
        EXPECT_EQ(desc.cParams, kMembers[i].params);
        EXPECT_EQ(desc.oVft, int((7 + i) * sizeof(void*)));
        EXPECT_EQ(desc.vtResult, kMembers[i].result ? VT_VARIANT : VT_EMPTY);
        TBstr memberName;
        ASSERT_EQ(info->GetDocumentation(desc.memid, memberName.Receive(), nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(memberName.Utf8(), kMembers[i].name);
    }
    BSTR names[3] = {};
    uint32_t got = 0;
    ASSERT_EQ(info->GetNames(DISPID_SetSize, names, 3, &got), S_OK);
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(BstrToUtf8(names[0]) + " " + BstrToUtf8(names[1]) + " " + BstrToUtf8(names[2]), "SetSize Width Height");
    for (BSTR n : names) SysFreeString(n);
    FUNCDESC past;
    EXPECT_EQ(info->GetFuncDesc(13, &past), TYPE_E_ELEMENTNOTFOUND);

    // The class: Quillet Object, with IQuillet as its interface.
    TComPtr<IProvideClassInfo> provide = QueryAs<IProvideClassInfo>(quillet.Get(), IID_IProvideClassInfo);
    ASSERT_TRUE(provide);
    TComPtr<ITypeInfo> classInfo;
    ASSERT_EQ(provide->GetClassInfo(classInfo.Receive()), S_OK);
    ASSERT_EQ(classInfo->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr.guid, CLASS_Quillet);
    EXPECT_EQ(attr.typekind, TKIND_COCLASS);
    EXPECT_EQ(attr.cImplTypes, 1);
    EXPECT_NE(attr.wTypeFlags & TYPEFLAG_FCANCREATE, 0);
    ASSERT_EQ(classInfo->GetDocumentation(MEMBERID_NIL, name.Receive(), doc.Receive(), nullptr, nullptr), S_OK);
    EXPECT_EQ(name.Utf8() + ": " + doc.Utf8(), "Quillet: Quillet Object");
    TComPtr<ITypeInfo> implemented;
    ASSERT_EQ(classInfo->GetImplTypeInfo(0, implemented.Receive()), S_OK);
    ASSERT_EQ(implemented->GetTypeAttr(&attr), S_OK);
    EXPECT_EQ(attr.guid, IID_IQuillet);

    // Type information invokes the member on the interface it describes.
    TComPtr<IQuillet> direct = QueryAs<IQuillet>(quillet.Get(), IID_IQuillet);
    TVariant width;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(info->Invoke(direct.Get(), DISPID_Width, DISPATCH_PROPERTYGET, &none, width.Ptr(), nullptr, nullptr), S_OK);
    EXPECT_EQ(width.Type(), VT_I4);
}

TEST(Quillet, AnswersItsInterfacesAndErrorSupportForThem)
{
    TQuilletObject quillet;
    for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID_IQuillet, IID_ISupportErrorInfo, IID_IProvideClassInfo,
                           IID_IPageObject, IID_IErrorInfoSource}) {
        SCOPED_TRACE(GuidToString(iid));
        TComPtr<IUnknown> p;
        EXPECT_EQ(quillet->QueryInterface(iid, p.ReceiveVoid()), S_OK);
        EXPECT_TRUE(p);
    }
    TComPtr<IUnknown> none;
    EXPECT_EQ(quillet->QueryInterface(IID_IClassFactory, none.ReceiveVoid()), E_NOINTERFACE);
    EXPECT_FALSE(none);
    TComPtr<ISupportErrorInfo> support = QueryAs<ISupportErrorInfo>(quillet.Get(), IID_ISupportErrorInfo);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IQuillet), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IDispatch), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IClassFactory), S_FALSE);
}

TEST(Quillet, SlotsCarryTheMembersAcrossTheLibrary)
{
    // The page-object interface and IQuillet's own slots reach the same members.
    TTestPage page(BytesOf(kWorkedBody));
    TQuilletObject quillet;
    TComPtr<IPageObject> pageObject = QueryAs<IPageObject>(quillet.Get(), IID_IPageObject);
    ASSERT_EQ(pageObject->OnStartPage(page.Unknown()), S_OK);
    TComPtr<IQuillet> direct = QueryAs<IQuillet>(quillet.Get(), IID_IQuillet);
    VARIANT result;
    Poison(&result);
    ASSERT_EQ(direct->FileName(TVariant::Text(std::string("photo")).Value(), &result), S_OK);
    TVariant owned = TVariant::Adopt(&result);
    EXPECT_EQ(BstrToUtf8(owned.Value().bstrVal), "a.gif");
    Poison(&result);
    EXPECT_EQ(direct->Request(TVariant::Null().Value(), &result), E_UNEXPECTED);
    EXPECT_EQ(result.vt, VT_EMPTY);
    EXPECT_EQ(pageObject->OnEndPage(), S_OK);
}

}  // namespace
}  // namespace quillet::test
