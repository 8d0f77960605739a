// Byte-order swaps, row conversions of foreign samples into bitmap rows (blue, green, red
// and a fourth byte for 32-bit pixels), and the undo routines of the TIFF predictor.
#pragma once

#include <cstdint>

namespace quillet {

/// Reverses the two bytes of each of Count 16-bit values, in place.
void ByteSwap16Array(void* Data, uint32_t Count);
/// Reverses the four bytes of each of Count 32-bit values, in place.
void ByteSwap32Array(void* Data, uint32_t Count);
/// Value with its four bytes in reverse order.
uint32_t ByteSwap32(uint32_t Value);

// Row conversions: SampleCount samples of 8 or 16 bits (16-bit ones little-endian, reduced
// to their high byte) to bitmap pixels. The RGB, RGBA and CMYK forms write nothing for
// other sample widths; the grey one always reads 16-bit samples, the L*a*b* ones 8-bit.

/// One byte per sample: the high byte of each 16-bit sample.
void ConvertGrey16Row(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
/// Interleaved R, G, B to blue, green, red.
void ConvertRGBRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
/// Interleaved R, G, B, A to blue, green, red, alpha.
void ConvertRGBARow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
/// Interleaved C, M, Y, K to blue, green, red.
void ConvertCMYKRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
/// Interleaved 8-bit L*, a*, b* (a* and b* signed) to blue, green, red.
void ConvertLabRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount);
/// One plane per channel, SampleCount = pixels x 3.
void ConvertPlanarRGBRow(const void* R, const void* G, const void* B, void* Dest, uint8_t BitsPerSample,
                         uint32_t SampleCount);
/// One plane per channel, SampleCount = pixels x 4.
void ConvertPlanarCMYKRow(const void* C, const void* M, const void* Y, const void* K, void* Dest,
                          uint8_t BitsPerSample, uint32_t SampleCount);
/// One 8-bit plane per channel, SampleCount = pixels x 3.
void ConvertPlanarLabRow(const void* L, const void* A, const void* B, void* Dest, uint8_t BitsPerSample,
                         uint32_t SampleCount);

// TIFF horizontal predictor: each byte is added to the byte 1, 3 or 4 bytes further on,
// from the start of the row; PixelPairs = width - 1, and 0 touches nothing.
/// Row[i + 1] += Row[i] for i < PixelPairs.
void UndoDifferencing1(void* Row, uint32_t PixelPairs);
/// Row[i + 3] += Row[i] for i < 3 x PixelPairs.
void UndoDifferencing3(void* Row, uint32_t PixelPairs);
/// Row[i + 4] += Row[i] for i < 4 x PixelPairs.
void UndoDifferencing4(void* Row, uint32_t PixelPairs);

}  // namespace quillet
