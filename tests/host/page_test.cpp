#include "host/page.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillet::host {
namespace {

using ::testing::HasSubstr;

// A compact picture of a parse: T[text] C[code] E[expression], each with its line.
std::string Describe(const TParsedPage& page)
{
    std::string out;
    for (const TPageBlock& b : page.Blocks) {
        out += b.Kind == TPageBlock::bkText ? "T" : b.Kind == TPageBlock::bkCode ? "C" : "E";
        out += std::to_string(b.Line) + "[" + b.Text + "]";
    }
    return out;
}

TEST(PageParser, SplitsTextCodeAndExpressionBlocks)
{
    const struct {
        const char* name;
        const char* page;
        const char* want;
    } kCases[] = {
        {"text only", "<p>hi</p>\n", "T1[<p>hi</p>\n]"},
        {"empty page", "", ""},
        {"code and expression", "a<% x = 1 %>b<%= x %>c", "T1[a]C1[ x = 1 ]T1[b]E1[ x ]T1[c]"},
        {"lines counted across blocks", "1\n2\n<%\nf()\n%>\n<%=y%>", "T1[1\n2\n]C3[\nf()\n]T5[\n]E6[y]"},
        {"adjacent blocks, empty code", "<%%><%=%>", "C1[]E1[]"},
        {"percent and gt alone are text", "50% > 20%", "T1[50% > 20%]"},
        {"a lone '<' before a block", "<<%=1%>", "T1[<]E1[1]"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Describe(ParsePage(c.page)), c.want);
    }
}

TEST(PageParser, CloseInsideLiteralsDoesNotEndTheBlockButInsideCommentsDoes)
{
    const struct {
        const char* name;
        const char* page;
        const char* want;
    } kCases[] = {
        {"double-quoted", "<% s = \"a %> b\" %>t", "C1[ s = \"a %> b\" ]T1[t]"},
        {"single-quoted", "<% s = 'a %> b' %>t", "C1[ s = 'a %> b' ]T1[t]"},
        {"escaped quote stays inside", "<% s = \"\\\" %>\" %>t", "C1[ s = \"\\\" %>\" ]T1[t]"},
        {"expression", "<%= \"%>\" + '%>' %>t", "E1[ \"%>\" + '%>' ]T1[t]"},
        {"regular expression", "<% r = /%>/g %>t", "C1[ r = /%>/g ]T1[t]"},
        {"regex holding a quote", "<% s.replace(/\"/g, '') %>t", "C1[ s.replace(/\"/g, '') ]T1[t]"},
        {"regex class holding a slash", "<% r = /[/%>]/ %>t", "C1[ r = /[/%>]/ ]T1[t]"},
        {"regex after return", "<% function f(){return /%>/} %>t", "C1[ function f(){return /%>/} ]T1[t]"},
        {"division is not a regex", "<% x = a / b %>/ t", "C1[ x = a / b ]T1[/ t]"},
        {"division after a call", "<% x = f() / 2 %>' t", "C1[ x = f() / 2 ]T1[' t]"},
        {"line comment ends at the close", "<% // don't %>t", "C1[ // don't ]T1[t]"},
        {"block comment ends at the close", "<% /* it's %>t", "C1[ /* it's ]T1[t]"},
        {"quote after a finished comment", "<% /* a */ s = '%>' %>t", "C1[ /* a */ s = '%>' ]T1[t]"},
        {"string ends at a line end", "<% s = 'open\n%>t", "C1[ s = 'open\n]T2[t]"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Describe(ParsePage(c.page)), c.want);
    }
}

TEST(PageParser, ReadsTheLanguageDirective)
{
    const TParsedPage page = ParsePage("<%@ Language=\"JScript\" CodePage=65001 %>\n<%= 1 %>");
    EXPECT_EQ(page.Language, "JScript");
    ASSERT_EQ(page.Directives.size(), 2u);
    EXPECT_EQ(page.Directives[1].first, "CodePage");
    EXPECT_EQ(page.Directives[1].second, "65001");
    EXPECT_EQ(Describe(page), "T1[\n]E2[ 1 ]");
    EXPECT_EQ(ParsePage("<%@LANGUAGE='javascript'%>").Language, "javascript");
}

TEST(PageParser, ReportsBrokenBlocksWithTheirLine)
{
    const struct {
        const char* name;
        const char* page;
        const char* message;
        int line;
    } kCases[] = {
        {"unclosed code", "a\nb\n<% x = 1", "no closing '%>'", 3},
        {"unclosed at the very end", "x<%", "no closing '%>'", 1},
        {"unclosed expression", "<%=", "no closing '%>'", 1},
        {"close only inside a string", "\n<% s = '%>'", "no closing '%>'", 2},
        {"unclosed directive", "<%@ Language=JScript", "no closing '%>'", 1},
        {"other language", "<%@ Language=\"VBScript\" %>", "Unsupported page language 'VBScript'", 1},
        {"directive after code", "<% x %>\n<%@ Language=JScript %>", "must come before any script block", 2},
        {"second directive", "<%@ Language=JScript %><%@ CodePage=1 %>", "only one directive", 1},
        {"attribute without value", "<%@ Language %>", "'Language' has no value", 1},
        {"unclosed value", "<%@ Language=\"JScript %>", "is not closed", 1},
        {"no name", "<%@ =1 %>", "an attribute name is expected", 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        try {
            ParsePage(c.page);
            ADD_FAILURE() << "no error";
        } catch (const TPageError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.message));
            EXPECT_EQ(e.Line(), c.line);
        }
    }
}

TEST(PageTranslation, MapsEveryProgramLineBackToItsPageLine)
{
    const TPageProgram program =
        TranslatePage(ParsePage("<p>\n\n</p><% a()\nb() // tail %>x\n<%= c\n;%>"), "T", "W");
    EXPECT_EQ(program.Source, "T(0);\n a()\nb() // tail \nT(1);\nW(( c\n));\n");
    ASSERT_EQ(program.Texts.size(), 2u);
    EXPECT_EQ(program.Texts[0], "<p>\n\n</p>");
    EXPECT_EQ(program.Texts[1], "x\n");
    EXPECT_EQ(program.LineMap, (std::vector<int>{1, 3, 4, 4, 5, 5}));
    EXPECT_EQ(program.PageLine(3), 4);
    EXPECT_EQ(program.PageLine(0), 0);
    EXPECT_EQ(program.PageLine(99), 0);
}

}  // namespace
}  // namespace quillet::host
