// Text between the script engine and automation values. The engine holds strings as UTF-8
// in which a character beyond U+FFFF may also appear as two encoded surrogates (CESU-8);
// automation text is UTF-16.
#pragma once

#include <string>

namespace quillet::host {

/// UTF-8 or CESU-8 to UTF-16; a byte that starts no valid sequence becomes U+FFFD.
std::u16string ScriptTextToUtf16(const std::string& text);
/// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToScriptText(const std::u16string& text);

}  // namespace quillet::host
