// The separable filtered resampler. Kernels and contributor lists are computed in floating
// point once per direction; the pixel passes are integer only and run over contiguous
// memory: source rows split into 16-bit channel lines, one dot product per target pixel
// and channel, then the intermediate bitmap's rows accumulated in blocks for the vertical
// pass. Divisions by a weight sum use a multiply-shift that is exact for every sum.
#include "imaging/resample.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "platform/errors.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLET_RESAMPLE_AVX2 1
#endif

namespace quillet {

// ---------------------------------------------------------------------------------------
// Kernels. Named intermediate values are rounded to float where they are formed (the
// casts below); everything else is double.

namespace {

constexpr double kPi = 3.14159265358979323846;

// y is not rounded; the product with pi is.
float Sinc(double y)
{
    if (y == 0.0) return 1.0f;
    const float product = float(y * kPi);
    return float(std::sin(double(product)) / double(product));
}

}  // namespace

float BoxKernel(float x) { return (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f; }

float TriangleKernel(float x)
{
    const float a = std::fabs(x);
    return a < 1.0f ? float(1.0 - a) : 0.0f;
}

float HermiteKernel(float x)
{
    const double a = std::fabs(x);
    return a < 1.0 ? float((2.0 * a - 3.0) * (a * a) + 1.0) : 0.0f;
}

float BellKernel(float x)
{
    const double a = std::fabs(x);
    if (a < 0.5) return float(0.75 - a * a);
    if (a < 1.5) {
        const double t = float(a - 1.5);
        return float(0.5 * (t * t));
    }
    return 0.0f;
}

float BSplineKernel(float x)
{
    const double a = std::fabs(x);
    const double t = float(a * a);
    if (a < 1.0) return float(0.5 * t * a - t + 2.0 / 3.0);
    if (a < 2.0) {
        const double u = float(2.0 - a);
        return float(u * u * u / 6.0);
    }
    return 0.0f;
}

float Lanczos3Kernel(float x)
{
    const double a = std::fabs(x);
    if (a >= 3.0) return 0.0f;
    return float(double(Sinc(a)) * double(Sinc(a / 3.0)));
}

float MitchellKernel(float x)
{
    const double a = std::fabs(x);
    const double t = float(a * a);
    if (a < 1.0) {
        const double numerator = float(7.0 * a * t - 12.0 * t + 16.0 / 3.0);
        return float(numerator / 6.0);
    }
    if (a < 2.0) {
        const double numerator = float(-(7.0 / 3.0) * a * t + 12.0 * t - 20.0 * a + 32.0 / 3.0);
        return float(numerator / 6.0);
    }
    return 0.0f;
}

const TKernelFunction KernelTable[7] = {BoxKernel,     TriangleKernel, HermiteKernel, BellKernel,
                                        BSplineKernel, Lanczos3Kernel, MitchellKernel};
const float KernelRadius[7] = {0.5f, 1.0f, 1.0f, 1.5f, 2.0f, 3.0f, 2.0f};

// ---------------------------------------------------------------------------------------
// Contributor lists.

namespace {

constexpr int32_t kMaxWeightSum = 32767;       // keeps every sum exact in 32 bits (and weights in 16)
constexpr int64_t kMaxWindow = int64_t(1) << 20;  // positions per target pixel, unknown kernels
constexpr int64_t kBlockWindow = int64_t(1) << 20;  // positions evaluated per block of a list
constexpr int32_t kBlockEntries = 65536;           // target pixels per block of a list

// Round half to even; w is well inside the int32 range.
int32_t RoundHalfEven(double w)
{
    const double f = std::floor(w);
    const double fraction = w - f;  // exact
    auto r = int32_t(f);
    if (fraction > 0.5 || (fraction == 0.5 && (r & 1) != 0)) ++r;
    return r;
}

// The edge mirror: -1 -> 1, L -> L - 1. Positions farther out fold again; the two mirrors
// together repeat with period 2L - 1, so one remainder finds the pixel.
int32_t Fold(int64_t j, int32_t length)
{
    if (j >= 0 && j < length) return int32_t(j);
    const int64_t period = 2 * int64_t(length) - 1;
    int64_t m = j % period;
    if (m < 0) m += period;
    return int32_t(m < length ? m : period - m);
}

// How far a kernel of the table reaches (its default radius), or -1 for another kernel.
double KernelReach(TKernelFunction kernel)
{
    for (int k = 0; k < 7; ++k)
        if (KernelTable[k] == kernel) return KernelRadius[k];
    return -1.0;
}

// One direction's geometry.
class TContributorBuilder {
public:
    TContributorBuilder(TKernelFunction kernel, float radius, int32_t sourceLength, int32_t targetLength)
        : FKernel(kernel), FLength(sourceLength), FTargets(targetLength),
          FScale(ResampleScale(sourceLength, targetLength)), FReduce(FScale < 1.0f),
          FSupport(FReduce ? radius / FScale : radius), FReach(KernelReach(kernel)),
          FWindowBudget(16 * (int64_t(sourceLength) + targetLength) + kMaxWindow)
    {
        // The seven kernels stay within -1 ... 1: at Scale * 256 <= 0.5 every weight rounds to 0.
        FAllZero = FReach >= 0 && FReduce && double(FScale) * 256.0 <= 0.5;
    }

    // Appends the entries from target index first on until a block is full; returns the
    // index after the last one appended.
    int32_t BuildBlock(int32_t first, std::vector<int32_t>& offsets, std::vector<TContributor>& items)
    {
        offsets.assign(1, 0);
        items.clear();
        int64_t evaluated = 0;
        int32_t i = first;
        while (i < FTargets && i - first < kBlockEntries && evaluated < kBlockWindow) {
            evaluated += AppendEntry(i, items);
            offsets.push_back(int32_t(items.size()));
            ++i;
        }
        return i;
    }

private:
    float Center(int32_t i) const
    {
        if (FTargets == 1 && FLength > 1) return float((double(FLength) - 1.0) / 2.0);
        return float(double(i) / double(FScale));
    }

    int64_t AppendEntry(int32_t i, std::vector<TContributor>& items)
    {
        if (FAllZero) return 0;
        const double center = Center(i);
        double left = std::floor(center - double(FSupport));
        double right = std::ceil(center + double(FSupport));
        if (FReach >= 0) {
            // Beyond its reach a table kernel is 0, whatever the radius: positions out there
            // would be skipped, so they are not visited. The margin covers float rounding.
            const double extent = FReach * (1.0 + 1.0 / 65536.0) / (FReduce ? double(FScale) : 1.0);
            left = std::max(left, std::ceil(center - extent) - 1.0);
            right = std::min(right, std::floor(center + extent) + 1.0);
        }
        if (!(left <= right)) return 0;
        const double window = right - left + 1.0;
        FWindowTotal += window;
        if (window > double(kMaxWindow) || FWindowTotal > double(FWindowBudget)) throw Exception(kResampleTooWide);

        int32_t weightSum = 0;
        for (auto j = int64_t(left); j <= int64_t(right); ++j) {
            const float x = FReduce ? float((center - double(j)) * double(FScale)) : float(center - double(j));
            const float v = FKernel(x);
            const double w = FReduce ? double(v) * double(FScale) * 256.0 : double(v) * 256.0;
            if (!(std::fabs(w) <= double(kMaxWeightSum))) throw Exception(kResampleBadWeights);
            const int32_t weight = RoundHalfEven(w);
            if (weight == 0) continue;
            weightSum += std::abs(weight);
            if (weightSum > kMaxWeightSum) throw Exception(kResampleBadWeights);
            items.push_back({weight, Fold(j, FLength)});
        }
        return int64_t(window);
    }

    TKernelFunction FKernel;
    int32_t FLength;
    int32_t FTargets;
    float FScale;
    bool FReduce;
    float FSupport;
    double FReach;
    int64_t FWindowBudget;
    double FWindowTotal = 0;
    bool FAllZero = false;
};

}  // namespace

float ResampleScale(int32_t SourceLength, int32_t TargetLength)
{
    if (SourceLength == 1 || TargetLength == 1) return float(double(TargetLength) / double(SourceLength));
    return float((double(TargetLength) - 1.0) / (double(SourceLength) - 1.0));
}

TContributorList BuildContributorList(TKernelFunction Kernel, float Radius, int32_t SourceLength,
                                      int32_t TargetLength)
{
    if (Kernel == nullptr) throw Exception(kResampleBadFilter);
    if (std::isnan(Radius)) throw Exception(kResampleBadRadius);
    TContributorList list(size_t(std::max(TargetLength, 0)));
    if (list.empty()) return list;
    if (SourceLength <= 0) throw Exception(kResampleEmptySource);
    TContributorBuilder builder(Kernel, Radius, SourceLength, TargetLength);
    std::vector<int32_t> offsets;
    std::vector<TContributor> items;
    for (int32_t first = 0; first < TargetLength;) {
        const int32_t next = builder.BuildBlock(first, offsets, items);
        for (int32_t i = first; i < next; ++i) {
            TContributorEntry& entry = list[size_t(i)];
            entry.Count = offsets[size_t(i - first) + 1] - offsets[size_t(i - first)];
            entry.Contributors.assign(items.begin() + offsets[size_t(i - first)],
                                      items.begin() + offsets[size_t(i - first) + 1]);
        }
        first = next;
    }
    return list;
}

// ---------------------------------------------------------------------------------------
// Channel lines and the per-pixel steps.

namespace {

// 16-bit lines: the values are bytes. (The vector loops read the rows directly.)
struct TChannelLines {
    std::vector<int16_t> Red, Green, Blue;
    int32_t Loaded = 0;

    void Reserve(int32_t count)
    {
        const auto size = size_t(count);
        if (Red.size() < size) {
            Red.resize(size);
            Green.resize(size);
            Blue.resize(size);
        }
        Loaded = count;
    }
    void Release()
    {
        std::vector<int16_t>().swap(Red);
        std::vector<int16_t>().swap(Green);
        std::vector<int16_t>().swap(Blue);
        Loaded = 0;
    }
};

thread_local TChannelLines tLines;

// Empties this thread's lines when a resampling ends, normally or by an exception.
struct TLinesGuard {
    TLinesGuard() = default;
    TLinesGuard(const TLinesGuard&) = delete;
    TLinesGuard& operator=(const TLinesGuard&) = delete;
    ~TLinesGuard() { tLines.Release(); }
};

std::atomic<bool> gVectorized{true};

bool UseAvx2()
{
#ifdef QUILLET_RESAMPLE_AVX2
    static const bool present = __builtin_cpu_supports("avx2");
    return present && gVectorized.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

// Division of a weighted sum by its weights' sum d, truncating toward zero, as a multiply
// and a shift: with 2^(l-1) < |d| <= 2^l, shift = 31 + l and m = ceil(2^shift / |d|) < 2^32.
// For n = q |d| + r (0 <= n <= 2^31), n m / 2^shift = n / |d| + n e / (|d| 2^shift) with
// e = m |d| - 2^shift < 2^l, so the second term is below 1 / |d| and the floor is exactly q.
struct TDivisor {
    uint32_t Multiplier = 0;
    uint32_t Shift = 0;
    bool Negative = false;
    bool Zero = false;  // the weights add up to 0: the sum is shifted instead
};

TDivisor MakeDivisor(int32_t d)
{
    TDivisor divisor;
    if (d == 0) {
        divisor.Zero = true;
        return divisor;
    }
    const uint32_t magnitude = d < 0 ? 0u - uint32_t(d) : uint32_t(d);
    uint32_t l = 0;
    while ((uint64_t(1) << l) < magnitude) ++l;
    divisor.Shift = 31 + l;
    divisor.Multiplier = uint32_t(((uint64_t(1) << divisor.Shift) + magnitude - 1) / magnitude);
    divisor.Negative = d < 0;
    return divisor;
}

// One channel's value from its weighted sum.
inline uint8_t DivideToByte(int32_t sum, const TDivisor& d)
{
    if (d.Zero) return uint8_t(ClampToByte(int32_t(uint32_t(sum) >> 8)));
    const uint32_t magnitude = sum < 0 ? 0u - uint32_t(sum) : uint32_t(sum);
    const auto q = int64_t((uint64_t(magnitude) * d.Multiplier) >> d.Shift);
    return uint8_t(std::clamp<int64_t>((sum < 0) != d.Negative ? -q : q, 0, 255));
}

// Sums wrap as 32-bit integers do; the passes never come near that.
int32_t WeightSum(const TContributor* c, int32_t count)
{
    uint32_t sum = 0;
    for (int32_t k = 0; k < count; ++k) sum += uint32_t(c[k].Weight);
    return int32_t(sum);
}

void LoadChannelsPortable(int32_t count, ptrdiff_t step, const uint8_t* pixels)
{
    int16_t* red = tLines.Red.data();
    int16_t* green = tLines.Green.data();
    int16_t* blue = tLines.Blue.data();
    for (int32_t k = 0; k < count; ++k, pixels += step) {
        red[k] = pixels[2];
        green[k] = pixels[1];
        blue[k] = pixels[0];
    }
}

#ifdef QUILLET_RESAMPLE_AVX2
#define QUILLET_AVX2 __attribute__((target("avx2")))

QUILLET_AVX2 inline __m256i Load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// Eight sums divided as DivideToByte does (shiftEven and shiftOdd: 64-bit shift counts of
// lanes 0, 2, 4, 6 and 1, 3, 5, 7); not yet clamped.
QUILLET_AVX2 inline __m256i DivideAvx2(__m256i n, __m256i multiplier, __m256i shiftEven, __m256i shiftOdd,
                                       __m256i negative, __m256i zero)
{
    const __m256i magnitude = _mm256_abs_epi32(n);
    const __m256i even = _mm256_srlv_epi64(_mm256_mul_epu32(magnitude, multiplier), shiftEven);
    const __m256i odd = _mm256_srlv_epi64(
        _mm256_mul_epu32(_mm256_srli_epi64(magnitude, 32), _mm256_srli_epi64(multiplier, 32)), shiftOdd);
    __m256i q = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    q = _mm256_sign_epi32(q, n);
    q = _mm256_sub_epi32(_mm256_xor_si256(q, negative), negative);
    return _mm256_blendv_epi8(q, _mm256_srli_epi32(n, 8), zero);
}

// The same with one divisor for all eight lanes (multiplier: m in each 64-bit lane).
QUILLET_AVX2 inline __m256i DivideUniformAvx2(__m256i n, const TDivisor& d, __m256i multiplier, __m128i shift)
{
    if (d.Zero) return _mm256_srli_epi32(n, 8);
    const __m256i magnitude = _mm256_abs_epi32(n);
    const __m256i even = _mm256_srl_epi64(_mm256_mul_epu32(magnitude, multiplier), shift);
    const __m256i odd = _mm256_srl_epi64(_mm256_mul_epu32(_mm256_srli_epi64(magnitude, 32), multiplier), shift);
    const __m256i q = _mm256_sign_epi32(_mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA), n);
    return d.Negative ? _mm256_sub_epi32(_mm256_setzero_si256(), q) : q;
}
#endif

}  // namespace

void LoadChannels(int32_t Count, ptrdiff_t Step, const uint8_t* Pixels)
{
    Count = std::max(Count, 0);
    tLines.Reserve(Count);
    LoadChannelsPortable(Count, Step, Pixels);
}

void BlendContributors(int32_t Count, const TContributor* Contributors, uint8_t* Dest)
{
    uint32_t red = 0, green = 0, blue = 0;
    for (int32_t k = 0; k < Count; ++k) {
        const auto [weight, pixel] = Contributors[k];
        if (pixel < 0 || pixel >= tLines.Loaded) throw Exception(kScanLineOutOfRange);
        red += uint32_t(weight) * uint32_t(tLines.Red[size_t(pixel)]);
        green += uint32_t(weight) * uint32_t(tLines.Green[size_t(pixel)]);
        blue += uint32_t(weight) * uint32_t(tLines.Blue[size_t(pixel)]);
    }
    const TDivisor divisor = MakeDivisor(WeightSum(Contributors, Count));
    Dest[0] = DivideToByte(int32_t(blue), divisor);
    Dest[1] = DivideToByte(int32_t(green), divisor);
    Dest[2] = DivideToByte(int32_t(red), divisor);
}

void SetResampleVectorized(bool Enabled) { gVectorized.store(Enabled, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------------------
// The passes.

namespace {

// One block of a contributor list, flat: entry k uses Items[Offsets[k] .. Offsets[k + 1]).
struct TContributorBlock {
    int32_t First = 0;
    int32_t Count = 0;
    std::vector<int32_t> Offsets;
    std::vector<TContributor> Items;

    const TContributor* Entry(int32_t k) const { return Items.data() + Offsets[size_t(k)]; }
    int32_t EntryCount(int32_t k) const { return Offsets[size_t(k) + 1] - Offsets[size_t(k)]; }
};

// The horizontal pass of one block of target columns over every source row. The block's
// contributors are rebased onto the span of source pixels they use: only that span is
// split into channel lines per row (or read by the vector loop).
class THorizontalPass {
public:
    THorizontalPass(const TBitmap& source, TBitmap& intermediate) : FSource(source), FTarget(intermediate) {}

    void Run(TContributorBlock& block)
    {
        int32_t low = INT32_MAX, high = -1;
        for (const TContributor& c : block.Items) {
            low = std::min(low, c.Pixel);
            high = std::max(high, c.Pixel);
        }
        if (high < 0) low = high = 0;
        for (TContributor& c : block.Items) c.Pixel -= low;
        const int32_t span = high - low + 1;
#ifdef QUILLET_RESAMPLE_AVX2
        if (UseAvx2()) {
            Plan(block, low);
            for (int y = 0; y < FSource.Height(); ++y)
                RowAvx2(block, FSource.ScanLine(y) + 3 * size_t(low), FTarget.ScanLine(y) + 3 * size_t(block.First));
            return;
        }
#endif
        for (int y = 0; y < FSource.Height(); ++y) {
            LoadChannels(span, 3, FSource.ScanLine(y) + 3 * size_t(low));
            uint8_t* dest = FTarget.ScanLine(y) + 3 * size_t(block.First);
            for (int32_t k = 0; k < block.Count; ++k, dest += 3) BlendContributors(block.EntryCount(k), block.Entry(k), dest);
        }
    }

private:
#ifdef QUILLET_RESAMPLE_AVX2
    // The vector loop reads each target pixel's source pixels straight from the row, four
    // at a time: a 16-byte load spread by one shuffle into the words Bp Bp+1 Gp Gp+1 Rp
    // Rp+1 0 0 | Bp+2 Bp+3 ..., so that one 16-bit multiply-add weighs four pixels in all
    // three channels. Its weights are laid out alike from its lowest contributor on:
    // w0 w1 w0 w1 w0 w1 0 0 | w2 w3 w2 w3 w2 w3 0 0, a pixel named twice with the sum of its
    // weights, zeros in the gaps. Every target gets the same number of chunks (a loop that
    // always runs as often is unrolled, or at least predicts well) unless that would more
    // than double the work. A target whose loads would pass the end of the row is summed
    // from its contributors.
    // Division parameters per output byte, padded to a multiple of 8 lanes.
    void Plan(const TContributorBlock& block, int32_t low)
    {
        const auto count = size_t(block.Count);
        FStart.assign(count, 0);
        FChunks.assign(count, 0);
        FScalar.clear();
        size_t exact = 0;
        int32_t most = 0;
        for (size_t k = 0; k < count; ++k) {
            const TContributor* c = block.Entry(int32_t(k));
            const int32_t n = block.EntryCount(int32_t(k));
            int32_t first = INT32_MAX, last = -1;
            for (int32_t t = 0; t < n; ++t) {
                first = std::min(first, c[t].Pixel);
                last = std::max(last, c[t].Pixel);
            }
            FStart[k] = n == 0 ? 0 : first;
            FChunks[k] = n == 0 ? 0 : (last - first) / 4 + 1;
            exact += size_t(FChunks[k]);
            most = std::max(most, FChunks[k]);
        }
        // Loads of a target starting at pixel p end at byte 3 (p + 4 (chunks - 1)) + 16.
        const int64_t rowBytes = 3 * (int64_t(FSource.Width()) - low);
        auto fits = [rowBytes](int64_t start, int64_t chunks) { return 3 * (start + 4 * (chunks - 1)) + 16 <= rowBytes; };
        FFixed = size_t(most) * count <= 2 * exact + count && most <= kMostFixedChunks && fits(0, most) ? most : 0;
        FWeightAt.assign(count, 0);
        FWeights.clear();
        for (size_t k = 0; k < count; ++k) {
            const int32_t chunks = FFixed > 0 ? FFixed : FChunks[k];
            FChunks[k] = chunks;
            if (chunks > 0 && !fits(FStart[k], chunks)) {
                // Summed from its contributors instead; the fixed loop reads zeros' worth
                // at the start of the row for it.
                FScalar.push_back(int32_t(k));
                FStart[k] = 0;
                FChunks[k] = FFixed;
            }
            FWeightAt[k] = FWeights.size();
            FWeights.resize(FWeights.size() + 16 * size_t(FChunks[k]), 0);
            int16_t* w = FWeights.data() + FWeightAt[k];
            const TContributor* c = block.Entry(int32_t(k));
            const bool scalar = !FScalar.empty() && FScalar.back() == int32_t(k);
            for (int32_t t = 0; !scalar && t < block.EntryCount(int32_t(k)); ++t) {
                const int32_t p = c[t].Pixel - FStart[k];
                int16_t* at = w + 16 * (p / 4) + 8 * ((p % 4) / 2) + p % 2;
                for (int channel = 0; channel < 3; ++channel) at[2 * channel] = int16_t(at[2 * channel] + c[t].Weight);
            }
        }
        FLanes = 3 * count;
        const size_t padded = (FLanes + 7) / 8 * 8;
        FMultiplier.assign(padded, 0);
        FShiftEven.assign(padded / 2, 0);
        FShiftOdd.assign(padded / 2, 0);
        FNegative.assign(padded, 0);
        FZero.assign(padded, 0);
        FSums.assign(padded + 1, 0);
        for (size_t k = 0; k < count; ++k) {
            const TDivisor d = MakeDivisor(WeightSum(block.Entry(int32_t(k)), block.EntryCount(int32_t(k))));
            for (size_t lane = 3 * k; lane < 3 * k + 3; ++lane) {
                FMultiplier[lane] = d.Multiplier;
                (lane % 2 == 0 ? FShiftEven : FShiftOdd)[lane / 2] = d.Shift;
                FNegative[lane] = d.Negative ? -1 : 0;
                FZero[lane] = d.Zero ? -1 : 0;
            }
        }
    }

    // The weighted sums of every target pixel of a row, Chunks chunks each (0: as planned).
    template <int32_t Chunks>
    QUILLET_AVX2 void Dots(int32_t count, const uint8_t* row, int32_t* sums) const
    {
        const __m256i spread = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,  //
                                                6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
        const int16_t* w = FWeights.data();
        for (int32_t k = 0; k < count; ++k) {
            const uint8_t* x = row + 3 * size_t(FStart[size_t(k)]);
            if (Chunks == 0) w = FWeights.data() + FWeightAt[size_t(k)];
            const int32_t chunks = Chunks > 0 ? Chunks : FChunks[size_t(k)];
            __m256i acc = _mm256_setzero_si256();
            for (int32_t q = 0; q < chunks; ++q, x += 12, w += 16) {
                const __m256i v = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
                acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(v, spread), Load256(w)));
            }
            const __m128i total = _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + 3 * k), total);  // b g r 0
        }
    }

    QUILLET_AVX2 void RowAvx2(const TContributorBlock& block, const uint8_t* row, uint8_t* dest)
    {
        int32_t* sums = FSums.data();
        switch (FFixed) {
        case 1: Dots<1>(block.Count, row, sums); break;
        case 2: Dots<2>(block.Count, row, sums); break;
        case 3: Dots<3>(block.Count, row, sums); break;
        case 4: Dots<4>(block.Count, row, sums); break;
        case 5: Dots<5>(block.Count, row, sums); break;
        case 6: Dots<6>(block.Count, row, sums); break;
        case 7: Dots<7>(block.Count, row, sums); break;
        case 8: Dots<8>(block.Count, row, sums); break;
        default: Dots<0>(block.Count, row, sums); break;
        }
        for (const int32_t k : FScalar) {
            int32_t b = 0, g = 0, r = 0;
            const TContributor* c = block.Entry(k);
            for (int32_t t = 0; t < block.EntryCount(k); ++t) {
                const uint8_t* px = row + 3 * size_t(c[t].Pixel);
                b += c[t].Weight * px[0];
                g += c[t].Weight * px[1];
                r += c[t].Weight * px[2];
            }
            sums[3 * k] = b;
            sums[3 * k + 1] = g;
            sums[3 * k + 2] = r;
        }
        for (size_t lane = 0; lane < FLanes; lane += 8) {
            const __m256i q = DivideAvx2(Load256(sums + lane), Load256(FMultiplier.data() + lane),
                                         Load256(FShiftEven.data() + lane / 2), Load256(FShiftOdd.data() + lane / 2),
                                         Load256(FNegative.data() + lane), Load256(FZero.data() + lane));
            // Saturating packs clamp to 0 ... 255; the eight bytes end up in dwords 0 and 4.
            const __m256i words = _mm256_packs_epi32(q, q);
            const __m256i bytes = _mm256_packus_epi16(words, words);
            const __m128i ordered =
                _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0)));
            if (lane + 8 <= FLanes) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(dest + lane), ordered);
            } else {
                uint8_t tail[8];
                _mm_storel_epi64(reinterpret_cast<__m128i*>(tail), ordered);
                std::memcpy(dest + lane, tail, FLanes - lane);
            }
        }
    }

    static constexpr int32_t kMostFixedChunks = 8;
    size_t FLanes = 0;
    int32_t FFixed = 0;  // the chunks of every target when they are the same, else 0
    std::vector<int32_t> FStart, FChunks, FScalar;
    std::vector<size_t> FWeightAt;
    std::vector<int16_t> FWeights;
    std::vector<uint32_t> FMultiplier;
    std::vector<uint64_t> FShiftEven, FShiftOdd;
    std::vector<int32_t> FNegative, FZero, FSums;
#endif

    const TBitmap& FSource;
    TBitmap& FTarget;
};

// The vertical pass of one block of target rows: each target row is the weighted sum of
// whole intermediate rows (the weights are the same for every byte of a row), accumulated
// 32 bytes at a time over every contributor before the next 32.
class TVerticalPass {
public:
    TVerticalPass(const TBitmap& intermediate, TBitmap& target)
        : FSource(intermediate), FTarget(target), FRowBytes(3 * size_t(target.Width()))
    {
    }

    void Run(const TContributorBlock& block)
    {
        for (int32_t k = 0; k < block.Count; ++k) {
            const TContributor* c = block.Entry(k);
            const int32_t n = block.EntryCount(k);
            FRows.resize(size_t(n));
            for (int32_t t = 0; t < n; ++t) FRows[size_t(t)] = FSource.ScanLine(c[t].Pixel);
            const TDivisor divisor = MakeDivisor(WeightSum(c, n));
            uint8_t* dest = FTarget.ScanLine(block.First + k);
#ifdef QUILLET_RESAMPLE_AVX2
            if (UseAvx2() && FRowBytes >= 32) {
                RowAvx2(c, n, divisor, dest);
                continue;
            }
#endif
            RowPortable(c, n, divisor, dest);
        }
    }

private:
    void RowPortable(const TContributor* c, int32_t n, const TDivisor& divisor, uint8_t* dest)
    {
        FSums.assign(FRowBytes, 0);
        int32_t* sums = FSums.data();
        for (int32_t t = 0; t < n; ++t) {
            const int32_t weight = c[t].Weight;
            const uint8_t* row = FRows[size_t(t)];
            for (size_t b = 0; b < FRowBytes; ++b) sums[b] += weight * row[b];
        }
        for (size_t b = 0; b < FRowBytes; ++b) dest[b] = DivideToByte(sums[b], divisor);
    }

#ifdef QUILLET_RESAMPLE_AVX2
    QUILLET_AVX2 void RowAvx2(const TContributor* c, int32_t n, const TDivisor& divisor, uint8_t* dest)
    {
        const __m256i zero = _mm256_setzero_si256();
        const __m256i multiplier = _mm256_set1_epi64x(divisor.Multiplier);
        const __m128i shift = _mm_cvtsi32_si128(int(divisor.Shift));
        // Weight pairs for 16-bit multiply-adds over the interleaved bytes of two rows; an
        // odd last row is paired with zeros.
        FPairs.clear();
        for (int32_t t = 0; t < n; t += 2) {
            const int32_t second = t + 1 < n ? c[t + 1].Weight : 0;
            FPairs.push_back(int32_t((uint32_t(c[t].Weight) & 0xFFFF) | (uint32_t(second) << 16)));
        }
        for (size_t at = 0;;) {
            if (at + 32 > FRowBytes) at = FRowBytes - 32;  // the last block overlaps the one before
            __m256i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
            for (int32_t t = 0; t < n; t += 2) {
                const __m256i a = Load256(FRows[size_t(t)] + at);
                const __m256i b = t + 1 < n ? Load256(FRows[size_t(t) + 1] + at) : zero;
                const __m256i w = _mm256_set1_epi32(FPairs[size_t(t) / 2]);
                const __m256i low = _mm256_unpacklo_epi8(a, b);
                const __m256i high = _mm256_unpackhi_epi8(a, b);
                s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_unpacklo_epi8(low, zero), w));
                s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_unpackhi_epi8(low, zero), w));
                s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_unpacklo_epi8(high, zero), w));
                s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_unpackhi_epi8(high, zero), w));
            }
            s0 = DivideUniformAvx2(s0, divisor, multiplier, shift);
            s1 = DivideUniformAvx2(s1, divisor, multiplier, shift);
            s2 = DivideUniformAvx2(s2, divisor, multiplier, shift);
            s3 = DivideUniformAvx2(s3, divisor, multiplier, shift);
            // The packs undo the lane order of the unpacks above (and clamp to 0 ... 255).
            const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(s0, s1), _mm256_packs_epi32(s2, s3));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dest + at), bytes);
            at += 32;
            if (at >= FRowBytes) break;
        }
    }
#endif

    const TBitmap& FSource;
    TBitmap& FTarget;
    size_t FRowBytes;
    std::vector<const uint8_t*> FRows;
    std::vector<int32_t> FSums;
    std::vector<int32_t> FPairs;
};

}  // namespace

void ResampleWithKernel(TKernelFunction Kernel, const TBitmap& Source, TBitmap& Target, float Radius)
{
    if (Kernel == nullptr) throw Exception(kResampleBadFilter);
    if (Source.PixelFormat() != TPixelFormat::pf24bit || Target.PixelFormat() != TPixelFormat::pf24bit)
        throw Exception(kResampleNot24Bit);
    if (std::isnan(Radius)) throw Exception(kResampleBadRadius);
    const int32_t srcWidth = Source.Width(), srcHeight = Source.Height();
    const int32_t dstWidth = Target.Width(), dstHeight = Target.Height();
    if (dstWidth == 0 || dstHeight == 0) return;
    if (srcWidth == 0 || srcHeight == 0) throw Exception(kResampleEmptySource);

    const TLinesGuard guard;
    TBitmap intermediate;
    intermediate.SetPixelFormat(TPixelFormat::pf24bit);
    intermediate.SetSize(dstWidth, srcHeight);

    TContributorBlock block;
    {
        TContributorBuilder builder(Kernel, Radius, srcWidth, dstWidth);
        THorizontalPass pass(Source, intermediate);
        for (block.First = 0; block.First < dstWidth; block.First += block.Count) {
            block.Count = builder.BuildBlock(block.First, block.Offsets, block.Items) - block.First;
            pass.Run(block);
        }
    }
    {
        TContributorBuilder builder(Kernel, Radius, srcHeight, dstHeight);
        TVerticalPass pass(intermediate, Target);
        for (block.First = 0; block.First < dstHeight; block.First += block.Count) {
            block.Count = builder.BuildBlock(block.First, block.Offsets, block.Items) - block.First;
            pass.Run(block);
        }
    }
}

void ResampleBitmap(int32_t NewWidth, int32_t NewHeight, TFilterKind Filter, float Radius, TBitmap& Source,
                    TBitmap& Target)
{
    if (Filter > fkMitchell) throw Exception(kResampleBadFilter);
    if (std::isnan(Radius)) throw Exception(kResampleBadRadius);
    TBitmap::CheckSize(NewWidth, NewHeight);
    if (Radius == 0.0f) Radius = KernelRadius[Filter];
    // Scaling a bitmap into itself: the target's image is discarded first, so keep a copy.
    TBitmap copy;
    const TBitmap* source = &Source;
    if (&Source == &Target) {
        Source.SetPixelFormat(TPixelFormat::pf24bit);
        copy.CopyFrom(Source);
        source = &copy;
    }
    Target.ReleaseImage();
    Target.SetPixelFormat(TPixelFormat::pf24bit);
    Target.SetWidth(NewWidth);
    Target.SetHeight(NewHeight);
    Source.SetPixelFormat(TPixelFormat::pf24bit);
    ResampleWithKernel(KernelTable[Filter], *source, Target, Radius);
}

}  // namespace quillet
