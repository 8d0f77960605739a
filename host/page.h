// Pages: text with <% code %>, <%= expression %> and <%@ directive %> blocks, parsed into
// blocks and turned into one script program whose lines map back to the page's lines.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"

namespace quillet::host {

/// A fault in a page's block structure, at a 1-based line of the page.
class TPageError : public Exception {
public:
    TPageError(std::string message, int line) : Exception(std::move(message)), FLine(line) {}
    int Line() const noexcept { return FLine; }

private:
    int FLine;
};

struct TPageBlock {
    enum TKind { bkText, bkCode, bkExpression };
    TKind Kind;
    std::string Text;  ///< the text as it stands, or the code between the delimiters
    int Line;          ///< 1-based page line where the block's text starts
};

struct TParsedPage {
    std::vector<TPageBlock> Blocks;
    /// The directive's attributes as written (names as given), in order.
    std::vector<std::pair<std::string, std::string>> Directives;
    /// The page language, "JScript" unless a directive names another accepted spelling.
    std::string Language = "JScript";
};

/// Splits page text into blocks. Raises TPageError for a block without its closing "%>",
/// a malformed or misplaced directive, or a language other than JScript.
TParsedPage ParsePage(std::string_view text);

/// Index just past the "%>" that closes the code block whose code starts at start, or
/// npos. A "%>" inside a string or regular expression literal does not close the block;
/// one inside a comment does, so that "<% // note %>" ends where it appears to.
size_t FindCodeEnd(std::string_view text, size_t start);

/// A page as one script program. Text blocks become calls of textFunction(index) and
/// expressions calls of writeFunction((expression)); code stands as written.
struct TPageProgram {
    std::string Source;
    std::vector<std::string> Texts;  ///< the text blocks, by index
    std::vector<int> LineMap;        ///< page line of each program line (index = line - 1)
    /// The page line of a 1-based program line; 0 when unknown.
    int PageLine(int programLine) const;
};

TPageProgram TranslatePage(const TParsedPage& page, const char* textFunction, const char* writeFunction);

}  // namespace quillet::host
