// The separable filtered resampler for 24-bit bitmaps: one of seven kernels, weights in
// 1/256 units precomputed per target column and row, a horizontal pass into an
// intermediate bitmap, then a vertical pass into the target.
//
// Numbers: every value the kernel formulas name (t, a - 1.5, 2 - a, the product inside
// sinc, each sinc value, the Mitchell numerator) and every kernel result is rounded to a
// 32-bit float where it is formed; the values they leave unnamed are computed in double
// precision. The per-pixel work is integer only: the vector loops read bytes straight
// from the rows (the portable ones split them into 16-bit channel lines), the vertical
// pass weighs whole rows of the intermediate bitmap rather than columns, and a division
// by a weight sum is an exact multiply and shift. The sums, and so every result, are the
// same as plain 32-bit arithmetic gives.
//
// Where the plain algorithm has no answer, this resampler defines one:
// - A target length of 1 from a longer source uses the scale 1 / source length and puts
//   the one target pixel over the middle of the line (the box kernel then averages it).
// - Every position with a nonzero weight is kept, however many the kernel's reach gives,
//   and a position that still lies outside the line after folding is folded again (the
//   mirror continues periodically with period 2 * length - 1).
// - A width or height of 0 gives an empty target; a negative one raises the bitmap's
//   "Invalid image size". An empty source scaled to a target with pixels raises
//   kResampleEmptySource. A radius that is not a number raises kResampleBadRadius.
// - Weights stay small enough for exact 32-bit sums: the absolute weights of one target
//   pixel may add up to at most 32767 (the seven kernels stay far below), else
//   kResampleBadWeights.
// - Work and memory are bounded whatever the radius: the seven kernels are 0 beyond their
//   reach, so positions out there are not visited; another kernel is evaluated over at
//   most 2^20 positions per target pixel and 16 per source and target pixel of a
//   direction, else kResampleTooWide. Lists are built and applied in blocks of at most
//   65536 target pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/bitmap.h"

namespace quillet {

enum TFilterKind : uint8_t { fkBox, fkTriangle, fkHermite, fkBell, fkBSpline, fkLanczos3, fkMitchell };

inline constexpr char kResampleBadFilter[] = "Invalid resampling filter";
inline constexpr char kResampleBadRadius[] = "Invalid resampling radius";
inline constexpr char kResampleEmptySource[] = "Cannot resample an empty bitmap";
inline constexpr char kResampleBadWeights[] = "Resampling filter weights out of range";
inline constexpr char kResampleTooWide[] = "Resampling filter too wide";
inline constexpr char kResampleNot24Bit[] = "Resampling needs 24-bit bitmaps";

/// A reconstruction kernel: one 32-bit float in, one out.
using TKernelFunction = float (*)(float);

float BoxKernel(float x);
float TriangleKernel(float x);
float HermiteKernel(float x);
float BellKernel(float x);
float BSplineKernel(float x);
float Lanczos3Kernel(float x);
float MitchellKernel(float x);

/// The kernels and their default radii by TFilterKind. Each default radius is also how
/// far its kernel reaches: the kernel is 0 beyond it.
extern const TKernelFunction KernelTable[7];
extern const float KernelRadius[7];

/// One source pixel's share of a target pixel: Weight in 1/256 units (never 0 in a list),
/// Pixel an index into the source line, already folded into range.
struct TContributor {
    int32_t Weight;
    int32_t Pixel;
};
using TContributors = std::vector<TContributor>;

/// The contributors of one target pixel, in increasing order of their unfolded position
/// (a folded edge pixel can appear twice). Contributors holds exactly Count entries.
struct TContributorEntry {
    int32_t Count = 0;
    TContributors Contributors;
};
using TContributorList = std::vector<TContributorEntry>;

/// The scale factor of one direction: (target - 1) / (source - 1), target / source when
/// either length is 1.
float ResampleScale(int32_t SourceLength, int32_t TargetLength);

/// The contributor list of one direction: one entry per target pixel.
TContributorList BuildContributorList(TKernelFunction Kernel, float Radius, int32_t SourceLength,
                                      int32_t TargetLength);

/// Splits Count pixels at Pixels + k * Step (blue, green, red; Step in bytes, may be
/// negative) into this thread's red, green and blue channel lines.
void LoadChannels(int32_t Count, ptrdiff_t Step, const uint8_t* Pixels);

/// One output pixel from the channel lines: each channel's weighted sum divided by the
/// weights' sum (truncating), or shifted right by 8 as unsigned when the weights add up
/// to 0; clamped and written blue, green, red at Dest. Raises "Scan line index out of
/// range" for a contributor outside the loaded lines.
void BlendContributors(int32_t Count, const TContributor* Contributors, uint8_t* Dest);

/// Value limited to 0 ... 255.
inline int32_t ClampToByte(int32_t Value)
{
    if (Value > 255) Value = 255;
    return Value < 0 ? 0 : Value;
}

/// The two-pass core: Source and Target are 24-bit bitmaps whose sizes are set; Radius is
/// already resolved. The channel lines are emptied when it ends, also by an exception.
void ResampleWithKernel(TKernelFunction Kernel, const TBitmap& Source, TBitmap& Target, float Radius);

/// Scales Source into Target (24 bits, NewWidth x NewHeight) with the kernel of Filter;
/// a Radius of exactly 0.0 selects the kernel's default radius. Source becomes 24-bit.
/// Source and Target may be the same bitmap.
void ResampleBitmap(int32_t NewWidth, int32_t NewHeight, TFilterKind Filter, float Radius, TBitmap& Source,
                    TBitmap& Target);

/// Lets tests and benchmarks run the portable loops on a processor with AVX2 (false);
/// the results are the same bit for bit. True (the default) uses AVX2 where present.
void SetResampleVectorized(bool Enabled);

}  // namespace quillet
