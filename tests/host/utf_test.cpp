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

TEST(ScriptText, ConvertsUtf16ToUtf8AndBackUnchanged)
{
    const std::u16string text = u"x\u00e9\u20ac\U0001F600";
    EXPECT_EQ(Utf16ToScriptText(text), "x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(ScriptTextToUtf16(Utf16ToScriptText(text)), text);
    EXPECT_EQ(Utf16ToScriptText(u"a\xD800" "b\xDC00"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

}  // namespace
}  // namespace quillet::host
