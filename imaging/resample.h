// The separable filtered resampler for 24-bit bitmaps.
#pragma once

#include <cstdint>

#include "platform/bitmap.h"

namespace quillet {

enum TFilterKind : uint8_t { fkBox, fkTriangle, fkHermite, fkBell, fkBSpline, fkLanczos3, fkMitchell };

/// A reconstruction kernel: one 32-bit float in, one out.
using TKernelFunction = float (*)(float);

extern const TKernelFunction KernelTable[7];
extern const float KernelRadius[7];

/// Scales Source into Target (24 bits, NewWidth x NewHeight) with the kernel of Filter;
/// a Radius of exactly 0.0 selects the kernel's default radius. Source becomes 24-bit.
void ResampleBitmap(int32_t NewWidth, int32_t NewHeight, TFilterKind Filter, float Radius, TBitmap& Source,
                    TBitmap& Target);

}  // namespace quillet
