// Pages: the block scanner, the directive reader and the translation into one script.
// Every scan moves forward by at least one byte per step and stops at the end of the text.
#include "host/page.h"

#include <algorithm>
#include <cstring>

namespace quillet::host {

namespace {

constexpr char kMissingClose[] = "The block opened here has no closing '%>'";
constexpr char kDirectiveNotFirst[] = "A page directive must come before any script block";
constexpr char kSecondDirective[] = "A page may hold only one directive block";
constexpr char kBadDirective[] = "Malformed page directive: %s";
constexpr char kBadLanguage[] = "Unsupported page language '%s'; pages are written in JScript";

bool IsIdentifierByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || c >= 0x80;
}

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// After these words an expression starts, so a '/' opens a regular expression literal.
bool KeywordBeforeExpression(std::string_view word)
{
    static const char* const kWords[] = {"return", "typeof", "instanceof", "in", "of", "new", "delete",
                                         "void", "throw", "case", "do", "else", "yield", "await"};
    for (const char* w : kWords)
        if (word == w) return true;
    return false;
}

bool CloseAt(std::string_view text, size_t i) { return i + 1 < text.size() && text[i] == '%' && text[i + 1] == '>'; }

// Past the end of a quoted string that starts at i (the quote). A string also ends at a
// line end, where the script itself will report it as unterminated.
size_t SkipString(std::string_view text, size_t i)
{
    const char quote = text[i];
    size_t j = i + 1;
    while (j < text.size()) {
        const char c = text[j];
        if (c == '\\') {
            j = std::min(text.size(), j + 2);
        } else if (c == quote) {
            return j + 1;
        } else if (c == '\n') {
            return j;
        } else {
            ++j;
        }
    }
    return j;
}

// Past the end of a regular expression literal starting at i (the slash), flags included.
size_t SkipRegex(std::string_view text, size_t i)
{
    size_t j = i + 1;
    bool inClass = false;
    while (j < text.size()) {
        const char c = text[j];
        if (c == '\\') {
            j = std::min(text.size(), j + 2);
            continue;
        }
        if (c == '\n') return j;
        ++j;
        if (inClass) {
            if (c == ']') inClass = false;
        } else if (c == '[') {
            inClass = true;
        } else if (c == '/') {
            break;
        }
    }
    while (j < text.size() && IsIdentifierByte(static_cast<unsigned char>(text[j]))) ++j;
    return j;
}

int CountLines(std::string_view text, size_t from, size_t to)
{
    return int(std::count(text.begin() + std::ptrdiff_t(from), text.begin() + std::ptrdiff_t(to), '\n'));
}

// Reads name=value pairs; a value is "quoted", 'quoted' or a bare word.
std::vector<std::pair<std::string, std::string>> ReadDirective(std::string_view body, int line)
{
    std::vector<std::pair<std::string, std::string>> result;
    size_t i = 0;
    const size_t n = body.size();
    auto skipSpace = [&] {
        while (i < n && IsSpace(static_cast<unsigned char>(body[i]))) ++i;
    };
    for (;;) {
        skipSpace();
        if (i >= n) break;
        const size_t nameStart = i;
        while (i < n && IsIdentifierByte(static_cast<unsigned char>(body[i]))) ++i;
        if (i == nameStart) throw TPageError(Fmt(kBadDirective, "an attribute name is expected"), line);
        std::string name(body.substr(nameStart, i - nameStart));
        skipSpace();
        if (i >= n || body[i] != '=')
            throw TPageError(Fmt(kBadDirective, ("'" + name + "' has no value").c_str()), line);
        ++i;
        skipSpace();
        std::string value;
        if (i < n && (body[i] == '"' || body[i] == '\'')) {
            const char quote = body[i++];
            const size_t end = body.find(quote, i);
            if (end == std::string_view::npos)
                throw TPageError(Fmt(kBadDirective, ("the value of '" + name + "' is not closed").c_str()), line);
            value = std::string(body.substr(i, end - i));
            i = end + 1;
        } else {
            const size_t valueStart = i;
            while (i < n && !IsSpace(static_cast<unsigned char>(body[i]))) ++i;
            value = std::string(body.substr(valueStart, i - valueStart));
            if (value.empty())
                throw TPageError(Fmt(kBadDirective, ("'" + name + "' has no value").c_str()), line);
        }
        result.emplace_back(std::move(name), std::move(value));
    }
    return result;
}

}  // namespace

size_t FindCodeEnd(std::string_view text, size_t start)
{
    // Whether a '/' here would start a regular expression, from the last thing seen.
    bool expressionExpected = true;
    size_t i = start;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (CloseAt(text, i)) return i + 2;
        if (c == '"' || c == '\'') {
            i = SkipString(text, i);
            expressionExpected = false;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            for (i += 2; i < n && text[i] != '\n'; ++i)
                if (CloseAt(text, i)) return i + 2;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            for (i += 2; i < n && !(text[i] == '*' && i + 1 < n && text[i + 1] == '/'); ++i)
                if (CloseAt(text, i)) return i + 2;
            i = std::min(n, i + 2);
        } else if (c == '/' && expressionExpected) {
            i = SkipRegex(text, i);
            expressionExpected = false;
        } else if (IsIdentifierByte(c)) {
            const size_t wordStart = i;
            while (i < n && IsIdentifierByte(static_cast<unsigned char>(text[i]))) ++i;
            expressionExpected = KeywordBeforeExpression(text.substr(wordStart, i - wordStart));
        } else if (IsSpace(c)) {
            ++i;
        } else {
            // A value ends with ')' or ']'; after any other punctuation an expression follows.
            expressionExpected = !(c == ')' || c == ']');
            ++i;
        }
    }
    return std::string_view::npos;
}

TParsedPage ParsePage(std::string_view text)
{
    TParsedPage page;
    bool sawScript = false, sawDirective = false;
    size_t i = 0;
    int line = 1;
    while (i < text.size()) {
        const size_t open = text.find("<%", i);
        const size_t textEnd = open == std::string_view::npos ? text.size() : open;
        if (textEnd > i) {
            page.Blocks.push_back({TPageBlock::bkText, std::string(text.substr(i, textEnd - i)), line});
            line += CountLines(text, i, textEnd);
        }
        if (open == std::string_view::npos) break;

        const int openLine = line;
        size_t start = open + 2;
        TPageBlock::TKind kind = TPageBlock::bkCode;
        if (start < text.size() && text[start] == '@') {
            const size_t close = text.find("%>", start + 1);
            if (close == std::string_view::npos) throw TPageError(kMissingClose, openLine);
            if (sawScript) throw TPageError(kDirectiveNotFirst, openLine);
            if (sawDirective) throw TPageError(kSecondDirective, openLine);
            sawDirective = true;
            page.Directives = ReadDirective(text.substr(start + 1, close - start - 1), openLine);
            for (const auto& [name, value] : page.Directives)
                if (EqualsNoCase(name, "language")) {
                    if (!EqualsNoCase(value, "JScript") && !EqualsNoCase(value, "JavaScript"))
                        throw TPageError(Fmt(kBadLanguage, value.c_str()), openLine);
                    page.Language = value;
                }
            line += CountLines(text, open, close + 2);
            i = close + 2;
            continue;
        }
        if (start < text.size() && text[start] == '=') {
            kind = TPageBlock::bkExpression;
            ++start;
        }
        const size_t end = FindCodeEnd(text, start);
        if (end == std::string_view::npos) throw TPageError(kMissingClose, openLine);
        page.Blocks.push_back({kind, std::string(text.substr(start, end - 2 - start)), openLine});
        sawScript = true;
        line += CountLines(text, open, end);
        i = end;
    }
    return page;
}

int TPageProgram::PageLine(int programLine) const
{
    if (programLine < 1 || size_t(programLine) > LineMap.size()) return 0;
    return LineMap[size_t(programLine) - 1];
}

TPageProgram TranslatePage(const TParsedPage& page, const char* textFunction, const char* writeFunction)
{
    TPageProgram program;
    // Appends code that starts on page line `line` and ends its last line; one map entry
    // per program line. Returns the page line of that last line.
    auto emit = [&program](std::string_view code, int line) {
        program.Source.append(code);
        for (char c : code)
            if (c == '\n') program.LineMap.push_back(line++);
        if (!code.empty() && code.back() == '\n') return line - 1;
        program.Source.push_back('\n');
        program.LineMap.push_back(line);
        return line;
    };
    for (const TPageBlock& block : page.Blocks) {
        switch (block.Kind) {
        case TPageBlock::bkText:
            emit(std::string(textFunction) + "(" + std::to_string(program.Texts.size()) + ");", block.Line);
            program.Texts.push_back(block.Text);
            break;
        case TPageBlock::bkCode:
            // Own lines, so that a trailing line comment cannot swallow what follows.
            emit(block.Text, block.Line);
            break;
        case TPageBlock::bkExpression: {
            std::string_view expression = block.Text;
            // A trailing semicolon is a habit from code blocks; it has no place inside ().
            while (!expression.empty() &&
                   (IsSpace(static_cast<unsigned char>(expression.back())) || expression.back() == ';'))
                expression.remove_suffix(1);
            // The closing on a line of its own, so that a trailing line comment cannot hide it.
            const int last = emit(std::string(writeFunction) + "((" + std::string(expression), block.Line);
            emit("));", last);
            break;
        }
        }
    }
    return program;
}

}  // namespace quillet::host
