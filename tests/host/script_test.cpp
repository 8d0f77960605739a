#include "host/script.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <map>

#include "host/objects.h"
#include "tests/support/files.h"

namespace quillet::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// An automation object with properties, methods and the page events, logging every call.
class TFakeObject : public IAutoObject {
public:
    TFakeObject(std::string label, std::vector<std::string>& log) : FLabel(std::move(label)), FLog(log) {}

    std::optional<int32_t> FindMember(const std::string& name) override
    {
        for (size_t i = 0; i < std::size(kMembers); ++i)
            if (SameText(name, kMembers[i].Name)) return int32_t(i + 1);
        return std::nullopt;
    }

    TAutoValue Invoke(int32_t id, TInvokeKind kind, std::vector<TAutoValue>& args) override
    {
        const TMember& m = kMembers[size_t(id - 1)];
        FLog.push_back(FLabel + "." + m.Name + (kind == TInvokeKind::ikGet ? ":get" : kind == TInvokeKind::ikPut ? ":put" : ":call"));
        const bool wanted = m.Method ? kind == TInvokeKind::ikMethod : kind != TInvokeKind::ikMethod;
        if (!wanted) throw EAutoError(kDispMemberNotFound, "Fake", "Member not found");
        const std::string name = m.Name;
        if (name == "OnStartPage") {
            Context = std::get<TAutoObjectRef>(args.at(0));
            if (FailStart) throw EAutoError(kEUnexpected, "Fake", "start refused");
            return {};
        }
        if (name == "OnEndPage") return {};
        if (name == "Echo") return args.at(0);
        if (name == "Join") {
            std::string out;
            for (const TAutoValue& a : args) out += std::holds_alternative<std::string>(a) ? std::get<std::string>(a) : "?";
            return out;
        }
        if (name == "Fail") throw EAutoError(kEUnexpected, "Lumexa.Quillet", "It failed");
        if (name == "Value") {
            if (kind == TInvokeKind::ikPut) Value = args.at(0);
            return kind == TInvokeKind::ikPut ? TAutoValue() : Value;
        }
        if (name == "ReadBody") {
            // As the component does it: the context's Request, TotalBytes, BinaryRead by reference.
            IAutoObject& context = *Context;
            std::vector<TAutoValue> none;
            auto request = std::get<TAutoObjectRef>(context.Invoke(*context.FindMember("Request"), TInvokeKind::ikGet, none));
            const int32_t total = std::get<int32_t>(request->Invoke(*request->FindMember("TotalBytes"), TInvokeKind::ikGet, none));
            std::vector<TAutoValue> count{TAutoValue(total + 100)};
            auto bytes = std::get<TAutoBytes>(request->Invoke(*request->FindMember("BinaryRead"), TInvokeKind::ikMethod, count));
            return std::string(bytes.begin(), bytes.end()) + "/" + std::to_string(std::get<int32_t>(count[0]));
        }
        return {};
    }

    bool FailStart = false;
    TAutoValue Value = std::string("initial");
    TAutoObjectRef Context;

private:
    struct TMember {
        const char* Name;
        bool Method;
    };
    static constexpr TMember kMembers[] = {{"OnStartPage", true}, {"OnEndPage", true}, {"Echo", true}, {"Join", true},
                                           {"Fail", true}, {"Value", false}, {"ReadBody", true}};
    std::string FLabel;
    std::vector<std::string>& FLog;
};

class TFakeProvider : public IObjectProvider {
public:
    TAutoObjectRef CreateObject(const std::string& progId) override
    {
        if (progId != "Test.Fake" && progId != "Test.Refuses") return TRegistryObjectProvider().CreateObject(progId);
        auto object = std::make_shared<TFakeObject>(std::string(1, char('A' + Created.size())), Log);
        object->FailStart = progId == "Test.Refuses";
        Created.push_back(object);
        return object;
    }
    std::vector<std::string> Log;
    std::vector<std::weak_ptr<TFakeObject>> Created;
};

struct TRun {
    TPageResponse Response;
    std::optional<TScriptFailure> Failure;
};

TRun RunText(const std::string& page, TFakeProvider& provider, TPageRequest request = {}, TPageOptions options = {})
{
    if (request.ScriptName.empty()) request.ScriptName = "/test.asp";
    if (request.Root.empty()) request.Root = "/srv/site";
    TRun run;
    run.Failure = RunPageText(page, request, run.Response, provider, options);
    return run;
}

std::string Output(const std::string& page)
{
    TFakeProvider provider;
    TRun run = RunText(page, provider);
    EXPECT_FALSE(run.Failure) << run.Failure->Text();
    return run.Response.Body;
}

TEST(PageRun, WritesTextAndExpressionsInOrder)
{
    EXPECT_EQ(Output("<%@ Language=\"JScript\" %>a<% var x = 2; %>b<%= x * 3 %>c\n<% Response.Write('d') %>"),
              "ab6c\nd");
    EXPECT_EQ(Output("<%= undefined %>|<%= null %>|<%= 'x' %>|<%= 1.5 %>|<%= true %>"), "||x|1.5|true");
    // Characters beyond U+FFFF leave as UTF-8, whether the page text or the script made them.
    EXPECT_EQ(Output("\xF0\x9F\x98\x80<%= '\\ud83d\\ude00' %><%= '\xF0\x9F\x98\x80' %>"),
              "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
}

TEST(DispatchBridge, ValuesCrossBothWays)
{
    const struct {
        const char* expression;
        const char* want;
    } kCases[] = {
        {"'text'", "string:text"},
        {"''", "string:"},
        {"'caf\\u00e9'", "string:caf\xC3\xA9"},
        {"42", "number:42"},
        {"-2147483648", "number:-2147483648"},
        {"4294967296", "number:4294967296"},
        {"2.5", "number:2.5"},
        {"true", "boolean:true"},
        {"false", "boolean:false"},
        {"undefined", "undefined:undefined"},
        {"null", "object:null"},
        {"new Uint8Array([1, 2, 255])", "object:1,2,255"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.expression);
        EXPECT_EQ(Output(std::string("<% var o = Server.CreateObject('Test.Fake'); var r = o.Echo(") + c.expression +
                         "); %><%= typeof r %>:<%= r instanceof Uint8Array ? Array.prototype.join.call(r) : String(r) %>"),
                  c.want);
    }
}

TEST(DispatchBridge, ObjectsPassThroughAndBackAsTheSameObject)
{
    EXPECT_EQ(Output("<% var a = Server.CreateObject('Test.Fake'); var b = a.Echo(a);"
                     " b.Value = 'set through the copy'; %><%= a.Value %>"),
              "set through the copy");
    TFakeProvider provider;
    TRun run = RunText("<% var o = Server.CreateObject('Test.Fake'); o.Echo({}); %>", provider);
    ASSERT_TRUE(run.Failure);
    EXPECT_EQ(run.Failure->HResult, kDispTypeMismatch);
}

TEST(DispatchBridge, ReadsGetCallsInvokeAndAssignmentsPut)
{
    TFakeProvider provider;
    TRun run = RunText("<% var o = Server.CreateObject('Test.Fake');\n"
                   "var before = o.Value; o.Value = 7; var after = o.value;\n"
                   "var j = o.Join('a', 'b'); var k = o.JOIN('c'); %><%= before %>,<%= after %>,<%= j %>,<%= k %>",
                   provider);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    EXPECT_EQ(run.Response.Body, "initial,7,ab,c");
    // A method is probed once by a get, then called; the probe is remembered.
    EXPECT_THAT(provider.Log, ElementsAre("A.OnStartPage:call", "A.Value:get", "A.Value:put", "A.Value:get",
                                          "A.Join:get", "A.Join:call", "A.Join:call", "A.OnEndPage:call"));
}

TEST(DispatchBridge, FailedCallThrowsErrorWithNumberDescriptionAndSource)
{
    EXPECT_EQ(Output("<% var o = Server.CreateObject('Test.Fake');\n"
                     "try { o.Fail(); } catch (e) { %><%= e.number %>|<%= e.description %>|<%= e.message %>|"
                     "<%= e.source %>|<%= e instanceof Error %><% } %>"),
              "-2147418113|It failed|It failed|Lumexa.Quillet|true");
    TFakeProvider provider;
    TRun run = RunText("<% var o = Server.CreateObject('Test.Fake');\ntry { o.Nothing; } catch (e) { %><%= e.number %><% }\n"
                   "o.Missing = 1; %>",
                   provider);
    ASSERT_TRUE(run.Failure);
    EXPECT_EQ(run.Failure->HResult, kDispUnknownName);
    EXPECT_THAT(run.Failure->Description, HasSubstr("'Missing'"));
    EXPECT_EQ(run.Failure->Line, 3);
}

TEST(PageRun, UncaughtErrorGivesAnErrorPageNamingSourceCodeDescriptionPageAndLine)
{
    TFakeProvider provider;
    TRun run = RunText("<p>before</p>\n<% var o = Server.CreateObject('Test.Fake');\n\no.Fail(); %>after", provider);
    ASSERT_TRUE(run.Failure);
    EXPECT_EQ(run.Response.Status, 500);
    EXPECT_EQ(run.Response.ContentType, "text/plain; charset=utf-8");
    EXPECT_EQ(run.Response.Body, "Lumexa.Quillet error '8000ffff'\n\nIt failed\n\n/test.asp, line 4\n");
    EXPECT_EQ(run.Failure->Text(), "Lumexa.Quillet error '8000ffff': It failed (/test.asp, line 4)");
}

TEST(PageRun, ErrorsOfTheScriptItselfNameTheirPageLine)
{
    const struct {
        const char* name;
        const char* page;
        const char* source;
        const char* description;
        int line;
    } kCases[] = {
        {"reference", "a\n\n<% var x = 1;\nnope(); %>", "JScript runtime", "identifier 'nope' undefined", 4},
        {"thrown text", "<%\n\nthrow 'plain'; %>", "JScript runtime", "plain", 3},
        {"thrown error with a number", "<% var e = new Error('own'); e.number = 5;\nthrow e; %>", "JScript runtime",
         "own", 2},
        {"syntax", "x\n<%= 1 +\n2 %>\n<% var = 2; %>", "JScript compilation", "", 4},
        {"syntax in an expression", "x\n<%= 1 + %>", "JScript compilation", "", 2},
        {"unclosed block", "x\n\n<% if (1) {", "Page", "no closing '%>'", 3},
        {"inside an expression", "x\n<%= missing %>", "JScript runtime", "identifier 'missing' undefined", 2},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TFakeProvider provider;
        TRun run = RunText(c.page, provider);
        ASSERT_TRUE(run.Failure);
        EXPECT_EQ(run.Failure->Source, c.source);
        EXPECT_THAT(run.Failure->Description, HasSubstr(c.description));
        EXPECT_EQ(run.Failure->Line, c.line);
        EXPECT_EQ(run.Response.Status, 500);
    }
}

TEST(PageLifecycle, StartsEachObjectOnceAndEndsEachOnceLastCreatedFirst)
{
    TFakeProvider provider;
    TPageRequest request;
    request.Body = {'b', 'o', 'd', 'y'};
    TRun run = RunText("<% var a = Server.CreateObject('Test.Fake'), b = Server.CreateObject('Test.Fake'); %>"
                   "<%= a.ReadBody() %>",
                   provider, request);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    // The context's Request reads the body by reference: asked for 104, it says 4.
    EXPECT_EQ(run.Response.Body, "body/4");
    EXPECT_THAT(provider.Log, ElementsAre("A.OnStartPage:call", "B.OnStartPage:call", "A.ReadBody:get",
                                          "A.ReadBody:call", "B.OnEndPage:call", "A.OnEndPage:call"));
    for (const auto& object : provider.Created) EXPECT_TRUE(object.expired()) << "not released";
}

TEST(PageLifecycle, ObjectsEndAlsoWhenThePageFailsOrEndsEarly)
{
    for (const char* ending : {"o.Fail();", "Response.End();", "throw 1;", "while (true) {}"}) {
        SCOPED_TRACE(ending);
        TFakeProvider provider;
        TPageOptions options;
        options.TimeoutSeconds = 1;
        RunText(std::string("<% var o = Server.CreateObject('Test.Fake'); var keep = [o, o.Echo(o)]; ") + ending +
                " %>",
            provider, {}, options);
        EXPECT_EQ(std::count(provider.Log.begin(), provider.Log.end(), "A.OnStartPage:call"), 1);
        EXPECT_EQ(std::count(provider.Log.begin(), provider.Log.end(), "A.OnEndPage:call"), 1);
        EXPECT_EQ(provider.Log.back(), "A.OnEndPage:call");
        EXPECT_TRUE(provider.Created.at(0).expired());
    }
}

TEST(PageLifecycle, FailedStartFailsCreateObjectAndTheObjectIsNotEnded)
{
    TFakeProvider provider;
    TRun run = RunText("<% try { Server.CreateObject('Test.Refuses'); } catch (e) { %><%= e.description %><% } %>",
                   provider);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    EXPECT_EQ(run.Response.Body, "start refused");
    EXPECT_THAT(provider.Log, ElementsAre("A.OnStartPage:call"));
    EXPECT_TRUE(provider.Created.at(0).expired());
}

TEST(PageLifecycle, UnregisteredProgramIdNamesItAndTheRegisterCommand)
{
    TFakeProvider provider;
    TRun run = RunText("\n<% Server.CreateObject('No.Such') %>", provider);
    ASSERT_TRUE(run.Failure);
    EXPECT_EQ(run.Failure->HResult, kClassNotRegistered);
    EXPECT_THAT(run.Failure->Description, HasSubstr("'No.Such'"));
    EXPECT_THAT(run.Failure->Description, HasSubstr("quillet register"));
    EXPECT_EQ(run.Failure->Line, 2);
}

TEST(PageRun, ResponseStatusTypeHeadersRedirectAndEnd)
{
    TFakeProvider provider;
    TRun run = RunText("<% Response.Status = '404 Not Found'; Response.ContentType = 'text/plain';"
                   " Response.AddHeader('X-Test', 'yes'); %>gone<% Response.End(); %>never",
                   provider);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    EXPECT_EQ(run.Response.Status, 404);
    EXPECT_EQ(run.Response.StatusLine, "404 Not Found");
    EXPECT_EQ(run.Response.ContentType, "text/plain");
    EXPECT_EQ(run.Response.Body, "gone");
    EXPECT_THAT(run.Response.Headers, ElementsAre(std::make_pair(std::string("X-Test"), std::string("yes"))));

    run = RunText("x<% try { Response.Redirect('/next.asp?a=1'); } catch (e) {} Response.Write('no'); %>", provider);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    EXPECT_EQ(run.Response.Status, 302);
    EXPECT_THAT(run.Response.Headers, ElementsAre(std::make_pair(std::string("Location"), std::string("/next.asp?a=1"))));
    EXPECT_THAT(run.Response.Body, HasSubstr("href=\"/next.asp?a=1\""));
    EXPECT_THAT(run.Response.Body, ::testing::Not(HasSubstr("no")));
}

TEST(PageRun, ResponseRefusesHeaderInjectionAndBadStatus)
{
    for (const char* code : {"Response.AddHeader('X', 'a\\r\\nSet-Cookie: x=1')", "Response.AddHeader('Bad Name', 'v')",
                             "Response.AddHeader('Content-Length', '5')", "Response.Redirect('/a\\nb')",
                             "Response.ContentType = 'text/html\\r\\nX: y'", "Response.Status = '20 OK'",
                             "Response.Status = 'fine'", "Response.Status = '200\\nX: y'"}) {
        SCOPED_TRACE(code);
        TFakeProvider provider;
        TRun run = RunText(std::string("<% ") + code + " %>", provider);
        ASSERT_TRUE(run.Failure);
        EXPECT_EQ(run.Response.Status, 500);
    }
}

TEST(PageRun, RequestOffersBodyQueryAndServerVariables)
{
    TPageRequest request;
    request.Method = "POST";
    request.QueryString = "a=1&name=J%C3%B6+B&A=2&empty=&flag";
    request.ContentType = "multipart/form-data; boundary=x";
    request.RemoteAddr = "127.0.0.9";
    request.Headers = {{"User-Agent", "tester"}};
    request.Body = {'a', 'b', 'c', 'd', 'e'};
    TFakeProvider provider;
    TRun run = RunText("<%= Request.TotalBytes %>|<%= Request.BinaryRead(2).length %>|<%= Request.BinaryRead(9).length %>|"
                   "<%= Request.BinaryRead(1).length %>|<%= Request.QueryString('A') %>|<%= Request.QueryString('name') %>|"
                   "<%= typeof Request.QueryString('none') %>|[<%= Request.QueryString('empty') %>]|"
                   "[<%= Request.QueryString('flag') %>]|<%= Request.QueryString() %>|"
                   "<%= Request.ServerVariables('REQUEST_METHOD') %>|<%= Request.ServerVariables('content_type') %>|"
                   "<%= Request.ServerVariables('CONTENT_LENGTH') %>|<%= Request.ServerVariables('QUERY_STRING') %>|"
                   "<%= Request.ServerVariables('SCRIPT_NAME') %>|<%= Request.ServerVariables('REMOTE_ADDR') %>|"
                   "<%= Request.ServerVariables('HTTP_USER_AGENT') %>|[<%= Request.ServerVariables('NOPE') %>]",
                   provider, request);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    EXPECT_EQ(run.Response.Body,
              "5|2|3|0|1, 2|J\xC3\xB6 B|undefined|[]|[]|a=1&name=J%C3%B6+B&A=2&empty=&flag|POST|"
              "multipart/form-data; boundary=x|5|a=1&name=J%C3%B6+B&A=2&empty=&flag|/test.asp|127.0.0.9|tester|[]");
}

TEST(PageRun, ServerEncodesAndMapsPaths)
{
    EXPECT_EQ(Output("<%= Server.HTMLEncode('<a href=\"x\">Tom & Jerry\\'s</a>') %>"),
              "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/a&gt;");
    EXPECT_EQ(Output("<%= Server.URLEncode('a b&c=d/\\u00e9~_.-') %>"), "a+b%26c%3Dd%2F%C3%A9~_.-");

    TPageRequest request;
    request.Root = "/srv/site";
    const struct {
        const char* script;
        const char* path;
        const char* want;
    } kCases[] = {
        {"/index.asp", "uploads", "/srv/site/uploads"},
        {"/index.asp", "/", "/srv/site"},
        {"/index.asp", "", "/srv/site"},
        {"/sub/page.asp", "pic.jpg", "/srv/site/sub/pic.jpg"},
        {"/sub/page.asp", "/pic.jpg", "/srv/site/pic.jpg"},
        {"/sub/page.asp", "..\\other\\.\\x", "/srv/site/other/x"},
        {"/sub/page.asp", "a//b/", "/srv/site/sub/a/b"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        request.ScriptName = c.script;
        EXPECT_EQ(MapSitePath(request, c.path), c.want);
    }
    request.ScriptName = "/sub/page.asp";
    for (const char* outside : {"../..", "/..", "../../etc/passwd", "a/../../.."})
        EXPECT_THROW(MapSitePath(request, outside), EAutoError) << outside;
}

TEST(PageRun, MemoryAndTimeAreBounded)
{
    TFakeProvider provider;
    TPageOptions options;
    options.MemoryLimit = size_t(8) << 20;
    options.TimeoutSeconds = 1;
    TRun run = RunText("<% var a = []; for (;;) a.push({n: a.length}); %>", provider, {}, options);
    ASSERT_TRUE(run.Failure);
    EXPECT_EQ(run.Failure->Description, "The page needed more than its memory limit of 8 MiB");
    EXPECT_EQ(run.Failure->HResult, kEOutOfMemory);
    run = RunText("<% try { for (;;) {} } catch (e) {} for (;;) {} %>", provider, {}, options);
    ASSERT_TRUE(run.Failure);
    EXPECT_THAT(run.Failure->Description, HasSubstr("time limit"));
}

TEST(PageRun, RandomNumbersDifferBetweenRuns)
{
    const std::string a = Output("<%= Math.random() %>"), b = Output("<%= Math.random() %>");
    EXPECT_NE(a, b);
}

TEST(PageRun, ListFilesGivesTheRegularFilesOfASiteFolderNewestFirst)
{
    test::TempDir root;
    test::WriteFile(root / "old.jpg", {1});
    test::WriteFile(root / "new.jpg", {1, 2});
    test::WriteFile(root / ".hidden", {1});
    ::mkdir((root / "folder").c_str(), 0700);
    const timespec times[2] = {{1000, 0}, {1000, 0}};
    ::utimensat(AT_FDCWD, (root / "old.jpg").c_str(), times, 0);
    TPageRequest request;
    request.Root = root.Path();
    TFakeProvider provider;
    TRun run = RunText("<% var f = Server.ListFiles('/'); for (var i = 0; i < f.length; i++) { %>"
                   "<%= f[i].Name %>:<%= f[i].Size %>;<% } %>",
                   provider, request);
    ASSERT_FALSE(run.Failure) << run.Failure->Text();
    EXPECT_EQ(run.Response.Body, "new.jpg:2;old.jpg:1;");
}

}  // namespace
}  // namespace quillet::host
