// Placeholder until the conversions land.
#include "imaging/convert.h"

namespace quillet {

void ByteSwap16Array(void*, uint32_t) {}
void ByteSwap32Array(void*, uint32_t) {}
uint32_t ByteSwap32(uint32_t Value) { return Value; }
void ConvertGrey16Row(const void*, void*, uint8_t, uint32_t) {}
void ConvertRGBRow(const void*, void*, uint8_t, uint32_t) {}
void ConvertRGBARow(const void*, void*, uint8_t, uint32_t) {}
void ConvertCMYKRow(const void*, void*, uint8_t, uint32_t) {}
void ConvertLabRow(const void*, void*, uint8_t, uint32_t) {}
void ConvertPlanarRGBRow(const void*, const void*, const void*, void*, uint8_t, uint32_t) {}
void ConvertPlanarCMYKRow(const void*, const void*, const void*, const void*, void*, uint8_t, uint32_t) {}
void ConvertPlanarLabRow(const void*, const void*, const void*, void*, uint8_t, uint32_t) {}
void UndoDifferencing1(void*, uint32_t) {}
void UndoDifferencing3(void*, uint32_t) {}
void UndoDifferencing4(void*, uint32_t) {}

}  // namespace quillet
