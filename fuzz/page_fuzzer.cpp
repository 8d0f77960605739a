// Feeds arbitrary text to the page parser and the translation into a program: whatever
// the text, both end and stay inside it, and a parse that succeeds maps every program line
// to a page line that exists.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace quillet::host;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const TParsedPage page = ParsePage(text);
        const TPageProgram program = TranslatePage(page, "T", "W");
        int lines = 1;
        for (char c : text) lines += c == '\n';
        for (int line : program.LineMap)
            if (line < 1 || line > lines) std::abort();
    } catch (const TPageError& e) {
        if (e.Line() < 1) std::abort();
    }
    for (size_t start = 0; start < size && start < 8; ++start) {
        const size_t end = FindCodeEnd(text, start);
        if (end != std::string_view::npos && (end < start + 2 || end > size)) std::abort();
    }
    return 0;
}
