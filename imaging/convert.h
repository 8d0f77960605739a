// Byte-order swaps, row conversions of foreign samples into bitmap rows (blue, green, red
// and a fourth byte for 32-bit pixels), and the undo routines of the TIFF predictor.
#pragma once

#include <cstdint>

namespace quillet {

void ByteSwap16Array(void* Data, uint32_t Count);
void ByteSwap32Array(void* Data, uint32_t Count);
uint32_t ByteSwap32(uint32_t Value);

void ConvertGrey16Row(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
void ConvertRGBRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
void ConvertRGBARow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
void ConvertCMYKRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
void ConvertLabRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
void ConvertPlanarRGBRow(const void* R, const void* G, const void* B, void* Dest, uint8_t BitsPerSample,
                         uint32_t SampleCount);
void ConvertPlanarCMYKRow(const void* C, const void* M, const void* Y, const void* K, void* Dest,
                          uint8_t BitsPerSample, uint32_t SampleCount);
void ConvertPlanarLabRow(const void* L, const void* A, const void* B, void* Dest, uint8_t BitsPerSample,
                         uint32_t SampleCount);

void UndoDifferencing1(void* Row, uint32_t PixelPairs);
void UndoDifferencing3(void* Row, uint32_t PixelPairs);
void UndoDifferencing4(void* Row, uint32_t PixelPairs);

}  // namespace quillet
