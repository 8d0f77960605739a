// GUIDs in their registry form.
#include <cstdio>

#include "platform/com/types.h"

namespace quillet {

std::string GuidToString(const GUID& guid)
{
    char text[39];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(guid.Data1),
                  unsigned(guid.Data2), unsigned(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool GuidFromString(std::string_view text, GUID* guid)
{
    // {8-4-4-4-12}: the positions of the dashes and braces are fixed.
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-') return false;
            ++i;
            continue;
        }
        int value = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[i + size_t(k)];
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes[n++] = uint8_t(value);
        i += 2;
    }
    guid->Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    guid->Data2 = uint16_t(bytes[4] << 8 | bytes[5]);
    guid->Data3 = uint16_t(bytes[6] << 8 | bytes[7]);
    for (int k = 0; k < 8; ++k) guid->Data4[k] = bytes[8 + k];
    return true;
}

}  // namespace quillet
