// Text between the script engine and automation values. The engine holds strings as UTF-8
// in which a character beyond U+FFFF may also appear as two encoded surrogates (CESU-8);
// automation text is UTF-16.
#pragma once

#include <string>

namespace quillet::host {

/// UTF-8 or CESU-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string ScriptTextToUtf16(const std::string& text);
/// UTF-16 to the engine's form: UTF-8 with each surrogate of a pair encoded on its own, as
/// the engine holds characters beyond U+FFFF; a lone surrogate becomes U+FFFD.
std::string Utf16ToScriptText(const std::u16string& text);
/// The engine's text as plain UTF-8 (for the response): a pair of encoded surrogates
/// becomes the one character, a lone one U+FFFD; all other bytes stay as they are.
std::string ScriptTextToUtf8(const char* text, size_t length);

}  // namespace quillet::host
