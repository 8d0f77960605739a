// UTF-8 / CESU-8 and UTF-16.
#include "host/utf.h"

namespace quillet::host {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

void PutUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(char(c));
    } else if (c < 0x800) {
        out.push_back(char(0xC0 | (c >> 6)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(char(0xE0 | (c >> 12)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (c >> 18)));
        out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(char(0x80 | (c & 0x3F)));
    }
}

}  // namespace

std::u16string ScriptTextToUtf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        size_t length = 0;
        char32_t value = 0, least = 0;
        if ((c & 0xE0) == 0xC0) length = 2, value = c & 0x1F, least = 0x80;
        else if ((c & 0xF0) == 0xE0) length = 3, value = c & 0x0F, least = 0x800;
        else if ((c & 0xF8) == 0xF0) length = 4, value = c & 0x07, least = 0x10000;
        bool valid = length != 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = Continuation(next);
            value = (value << 6) | (next & 0x3F);
        }
        if (!valid || value < least || value > 0x10FFFF) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        // Encoded surrogates (CESU-8) pass as the UTF-16 units they are.
        if (value >= 0x10000) {
            value -= 0x10000;
            out.push_back(char16_t(0xD800 + (value >> 10)));
            out.push_back(char16_t(0xDC00 + (value & 0x3FF)));
        } else {
            out.push_back(char16_t(value));
        }
        i += length;
    }
    // A surrogate that found no partner is no character.
    for (size_t k = 0; k < out.size(); ++k) {
        const char16_t u = out[k];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (k + 1 < out.size() && out[k + 1] >= 0xDC00 && out[k + 1] <= 0xDFFF) ++k;
            else out[k] = kReplacement;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            out[k] = kReplacement;
        }
    }
    return out;
}

std::string Utf16ToScriptText(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            PutUtf8(out, u);
            PutUtf8(out, text[++i]);
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            PutUtf8(out, kReplacement);
        } else {
            PutUtf8(out, u);
        }
    }
    return out;
}

std::string ScriptTextToUtf8(const char* text, size_t length)
{
    std::string out;
    out.reserve(length);
    // An encoded surrogate: ED A0..BF xx.
    auto surrogateAt = [&](size_t i) -> int32_t {
        if (i + 2 >= length || static_cast<unsigned char>(text[i]) != 0xED) return -1;
        const unsigned char b1 = static_cast<unsigned char>(text[i + 1]), b2 = static_cast<unsigned char>(text[i + 2]);
        if (b1 < 0xA0 || b1 > 0xBF || !Continuation(b2)) return -1;
        return 0xD000 | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
    };
    size_t i = 0;
    while (i < length) {
        const int32_t high = surrogateAt(i);
        if (high < 0) {
            out.push_back(text[i++]);
            continue;
        }
        const int32_t low = surrogateAt(i + 3);
        if (high <= 0xDBFF && low >= 0xDC00) {
            PutUtf8(out, 0x10000 + ((char32_t(high) - 0xD800) << 10) + (char32_t(low) - 0xDC00));
            i += 6;
        } else {
            PutUtf8(out, kReplacement);
            i += 3;
        }
    }
    return out;
}

}  // namespace quillet::host
