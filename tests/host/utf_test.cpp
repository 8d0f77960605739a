#include "host/utf.h"

#include <gtest/gtest.h>

namespace quillet::host {
namespace {

TEST(ScriptText, ConvertsUtf8AndEncodedSurrogatesToUtf16)
{
    const struct {
        const char* name;
        std::string in;
        std::u16string want;
    } kCases[] = {
        {"ascii", "abc", u"abc"},
        {"two and three bytes", "caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00e9 \u20ac"},
        {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"encoded surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", u"\U0001F600"},
        {"lone encoded surrogate", "a\xED\xA0\xBD" "b", u"a\uFFFDb"},
        {"stray continuation byte", "a\x80" "b", u"a\uFFFDb"},
        {"overlong form", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"cut at the end", "ab\xE2\x82", u"ab\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"zero byte kept", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ScriptTextToUtf16(c.in), c.want);
    }
}

TEST(ScriptText, ConvertsUtf16ToTheEnginesFormAndBackUnchanged)
{
    const std::u16string text = u"x\u00e9\u20ac\U0001F600";
    // The engine holds the pair as two encoded surrogates.
    EXPECT_EQ(Utf16ToScriptText(text), "x\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD\xED\xB8\x80");
    EXPECT_EQ(ScriptTextToUtf16(Utf16ToScriptText(text)), text);
    EXPECT_EQ(Utf16ToScriptText(u"a\xD800" "b\xDC00"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(ScriptText, ResponseTextIsPlainUtf8)
{
    const struct {
        const char* name;
        std::string in;
        std::string want;
    } kCases[] = {
        {"plain text stays", "caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"encoded pair joined", "a\xED\xA0\xBD\xED\xB8\x80" "b", "a\xF0\x9F\x98\x80" "b"},
        {"lone high surrogate", "a\xED\xA0\xBD" "b", "a\xEF\xBF\xBD" "b"},
        {"lone low surrogate", "\xED\xB8\x80", "\xEF\xBF\xBD"},
        {"cut at the end", "a\xED\xA0", "a\xED\xA0"},
        {"U+D7FF is no surrogate", "\xED\x9F\xBF", "\xED\x9F\xBF"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ScriptTextToUtf8(c.in.data(), c.in.size()), c.want);
    }
}

}  // namespace
}  // namespace quillet::host
