#include "imaging/resample.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"

namespace quillet {
namespace {

using ::testing::ElementsAreArray;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// ---------------------------------------------------------------------------------------
// A second, deliberately plain implementation of the resampler, kept apart from
// resample.cpp: no reach clipping, no blocks, 32-bit channel lines, columns loaded with a
// row step, real divisions. Where the plain algorithm has no answer it follows the choices
// resample.h documents (a one-pixel target looks at the middle of the line; positions
// outside the line fold again and again).
namespace reference {

float F(double v) { return static_cast<float>(v); }

float Sinc(double y)
{
    if (y == 0) return 1;
    const float product = F(y * 3.14159265358979323846);
    return F(std::sin(double(product)) / product);
}

float Box(float x) { return -0.5f < x && x <= 0.5f ? 1 : 0; }
float Triangle(float x) { double a = std::fabs(x); return a < 1 ? F(1 - a) : 0; }
float Hermite(float x) { double a = std::fabs(x); return a < 1 ? F((2 * a - 3) * (a * a) + 1) : 0; }
float Bell(float x)
{
    double a = std::fabs(x);
    if (a < 0.5) return F(0.75 - a * a);
    if (a >= 1.5) return 0;
    float t = F(a - 1.5);
    return F(0.5 * (double(t) * t));
}
float BSpline(float x)
{
    double a = std::fabs(x);
    double t = F(a * a);
    if (a < 1) return F(0.5 * t * a - t + 2.0 / 3.0);
    if (a >= 2) return 0;
    double u = F(2 - a);
    return F(u * u * u / 6);
}
float Lanczos3(float x)
{
    double a = std::fabs(x);
    return a < 3 ? F(double(Sinc(a)) * Sinc(a / 3)) : 0;
}
float Mitchell(float x)
{
    double a = std::fabs(x);
    double t = F(a * a);
    if (a < 1) return F(double(F(7 * a * t - 12 * t + 16.0 / 3.0)) / 6);
    if (a < 2) return F(double(F(-(7.0 / 3.0) * a * t + 12 * t - 20 * a + 32.0 / 3.0)) / 6);
    return 0;
}
const TKernelFunction kKernels[7] = {Box, Triangle, Hermite, Bell, BSpline, Lanczos3, Mitchell};

int32_t Fold(int64_t j, int32_t length)
{
    while (j < 0 || j >= length) j = j < 0 ? -j : 2 * int64_t(length) - 1 - j;
    return int32_t(j);
}

struct Entry {
    std::vector<TContributor> c;
};

std::vector<Entry> Contributors(TKernelFunction kernel, float radius, int32_t length, int32_t targets)
{
    float scale = length == 1 || targets == 1 ? F(double(targets) / length) : F(double(targets - 1) / (length - 1));
    std::vector<Entry> list{size_t(targets)};
    for (int32_t i = 0; i < targets; ++i) {
        const bool reduce = scale < 1.0f;
        const float s = reduce ? radius / scale : radius;
        const float center = targets == 1 && length > 1 ? F((length - 1) / 2.0) : F(double(i) / scale);
        const double left = std::floor(double(center) - s), right = std::ceil(double(center) + s);
        for (double j = left; j <= right; ++j) {
            double weight;
            if (reduce)
                weight = double(kernel(F((double(center) - double(j)) * scale))) * scale * 256;
            else
                weight = double(kernel(F(double(center) - double(j)))) * 256;
            const auto w = int32_t(std::nearbyint(weight));  // ties to even
            if (w != 0) list[size_t(i)].c.push_back({w, Fold(int64_t(j), length)});
        }
    }
    return list;
}

struct Lines {
    std::vector<int32_t> red, green, blue;
    void Load(int32_t count, ptrdiff_t step, const uint8_t* pixels)
    {
        red.assign(size_t(count), 0);
        green.assign(size_t(count), 0);
        blue.assign(size_t(count), 0);
        for (int32_t k = 0; k < count; ++k) {
            red[size_t(k)] = pixels[k * step + 2];
            green[size_t(k)] = pixels[k * step + 1];
            blue[size_t(k)] = pixels[k * step];
        }
    }
    void Blend(const Entry& e, uint8_t* dest) const
    {
        int64_t w = 0, r = 0, g = 0, b = 0;
        for (const TContributor& c : e.c) {
            w += c.Weight;
            r += int64_t(c.Weight) * red[size_t(c.Pixel)];
            g += int64_t(c.Weight) * green[size_t(c.Pixel)];
            b += int64_t(c.Weight) * blue[size_t(c.Pixel)];
        }
        auto channel = [w](int64_t sum) -> uint8_t {
            const int64_t v = w != 0 ? sum / w : int64_t(uint32_t(int32_t(sum)) >> 8);
            return uint8_t(std::min<int64_t>(std::max<int64_t>(v, 0), 255));
        };
        dest[0] = channel(b);
        dest[1] = channel(g);
        dest[2] = channel(r);
    }
};

// Source: rows of 3 * width bytes. Returns the target's rows, 3 * dstWidth bytes each.
std::vector<uint8_t> Resample(TKernelFunction kernel, float radius, const std::vector<uint8_t>& source,
                              int32_t srcWidth, int32_t srcHeight, int32_t dstWidth, int32_t dstHeight)
{
    std::vector<uint8_t> middle(size_t(3 * dstWidth * srcHeight));
    std::vector<uint8_t> target(size_t(3 * dstWidth * dstHeight));
    Lines lines;
    const auto across = Contributors(kernel, radius, srcWidth, dstWidth);
    for (int32_t y = 0; y < srcHeight; ++y) {
        lines.Load(srcWidth, 3, &source[size_t(3 * srcWidth * y)]);
        for (int32_t x = 0; x < dstWidth; ++x) lines.Blend(across[size_t(x)], &middle[size_t(3 * (dstWidth * y + x))]);
    }
    const auto down = Contributors(kernel, radius, srcHeight, dstHeight);
    for (int32_t x = 0; x < dstWidth; ++x) {
        lines.Load(srcHeight, 3 * dstWidth, &middle[size_t(3 * x)]);
        for (int32_t y = 0; y < dstHeight; ++y) lines.Blend(down[size_t(y)], &target[size_t(3 * (dstWidth * y + x))]);
    }
    return target;
}

}  // namespace reference

// ---------------------------------------------------------------------------------------
// Helpers.

// A 24-bit bitmap holding the given rows.
struct Picture : TBitmap {
    Picture(int width, int height, const std::vector<uint8_t>& pixels)
    {
        SetPixelFormat(TPixelFormat::pf24bit);
        SetSize(width, height);
        for (int y = 0; y < height; ++y) std::memcpy(ScanLine(y), &pixels[size_t(3 * width * y)], size_t(3 * width));
    }
};

std::vector<uint8_t> Pixels(const TBitmap& b)
{
    std::vector<uint8_t> out;
    for (int y = 0; y < b.Height(); ++y) out.insert(out.end(), b.ScanLine(y), b.ScanLine(y) + 3 * b.Width());
    return out;
}

// Random bytes with runs of black and white, so that negative lobes overshoot.
std::vector<uint8_t> Noise(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> out(size_t(3 * width * height));
    for (size_t i = 0; i < out.size(); ++i) {
        const unsigned r = random() % 8;
        out[i] = r == 0 ? 0 : r == 1 ? 255 : uint8_t(random());
    }
    return out;
}

// A grey row: one byte value per pixel, repeated for blue, green and red.
std::vector<uint8_t> Grey(const std::vector<int>& values)
{
    std::vector<uint8_t> out;
    for (int v : values) out.insert(out.end(), 3, uint8_t(v));
    return out;
}

std::vector<int> BlueChannel(const TBitmap& b)
{
    std::vector<int> out;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) out.push_back(b.ScanLine(y)[3 * x]);
    return out;
}

std::vector<int> ScaleRow(TFilterKind filter, const std::vector<int>& row, int width)
{
    Picture source(int(row.size()), 1, Grey(row));
    TBitmap target;
    ResampleBitmap(width, 1, filter, 0.0f, source, target);
    return BlueChannel(target);
}

std::vector<std::pair<int, int>> Pairs(const TContributorEntry& e)
{
    std::vector<std::pair<int, int>> out;
    for (int k = 0; k < e.Count; ++k) out.emplace_back(e.Contributors[size_t(k)].Weight, e.Contributors[size_t(k)].Pixel);
    return out;
}

// Runs the body once with the vector loops and once with the portable ones.
template <typename Body>
void BothPaths(Body body)
{
    for (bool vectorized : {true, false}) {
        SCOPED_TRACE(vectorized ? "vector loops" : "portable loops");
        SetResampleVectorized(vectorized);
        body();
    }
    SetResampleVectorized(true);
}

template <TKernelFunction K>
float Negated(float x) { return -K(x); }

// Weights that add up to 0 around the centre: the shifted-sum path with nonzero sums.
float OddStep(float x) { return x > -1.0f && x < 1.0f ? (x >= 0 ? 1.0f : -1.0f) : 0.0f; }

// ---------------------------------------------------------------------------------------
// The worked cases.

TEST(Resample, EqualSizeWithTheBoxIsAnExactCopy)
{
    const TContributorList list = BuildContributorList(BoxKernel, 0.5f, 5, 5);
    for (int i = 0; i < 5; ++i) EXPECT_THAT(Pairs(list[size_t(i)]), ElementsAreArray({std::pair{256, i}}));
    const auto pixels = Noise(13, 7, 1);
    BothPaths([&] {
        Picture source(13, 7, pixels);
    TBitmap target;
        ResampleBitmap(13, 7, fkBox, 0.0f, source, target);
        EXPECT_EQ(Pixels(target), pixels);
    });
}

TEST(Resample, BoxReductionsCountTheMirroredNeighbourTwice)
{
    using P = std::pair<int, int>;
    const TContributorList four = BuildContributorList(BoxKernel, 0.5f, 4, 2);
    EXPECT_THAT(Pairs(four[0]), ElementsAreArray({P{85, 1}, P{85, 0}, P{85, 1}}));
    EXPECT_THAT(Pairs(four[1]), ElementsAreArray({P{85, 2}, P{85, 3}, P{85, 3}}));
    EXPECT_EQ(ScaleRow(fkBox, {7, 250, 100, 3}, 2), (std::vector<int>{(85 * 7 + 170 * 250) / 255, (85 * 100 + 170 * 3) / 255}));

    const TContributorList hundred = BuildContributorList(BoxKernel, 0.5f, 100, 50);
    EXPECT_THAT(Pairs(hundred[0]), ElementsAreArray({P{127, 1}, P{127, 0}, P{127, 1}}));
    for (int i = 1; i < 49; ++i) EXPECT_THAT(Pairs(hundred[size_t(i)]), ElementsAreArray({P{127, 2 * i}, P{127, 2 * i + 1}}));
    EXPECT_THAT(Pairs(hundred[49]), ElementsAreArray({P{127, 98}, P{127, 99}, P{127, 99}}));
}

TEST(Resample, BoxEnlargementSendsTheHalfwayPixelToTheLowerSource)
{
    EXPECT_EQ(ScaleRow(fkBox, {40, 200}, 3), (std::vector<int>{40, 40, 200}));
}

TEST(Resample, OnePixelSourceIsSpreadOverTheWholeTarget)
{
    for (int f = fkBox; f <= fkMitchell; ++f) {
        SCOPED_TRACE(f);
        Picture source(1, 1, {11, 122, 233});
    TBitmap target;
        ResampleBitmap(6, 4, TFilterKind(f), 0.0f, source, target);
        std::vector<uint8_t> want;
        for (int i = 0; i < 24; ++i) want.insert(want.end(), {11, 122, 233});
        EXPECT_EQ(Pixels(target), want);
    }
}

TEST(Resample, StrongBoxReductionRoundsEveryWeightToZeroAndGivesBlack)
{
    EXPECT_EQ(BuildContributorList(BoxKernel, 0.5f, 513, 2)[0].Count, 0);
    EXPECT_EQ(BuildContributorList(BoxKernel, 0.5f, 513, 2)[1].Count, 0);
    const auto pixels = Noise(513, 3, 2);
    BothPaths([&] {
        Picture source(513, 3, pixels);
    TBitmap target;
        ResampleBitmap(2, 3, fkBox, 0.0f, source, target);
        EXPECT_EQ(Pixels(target), std::vector<uint8_t>(18, 0));
    });
}

TEST(Resample, NegativeLobesAreClampedToBlackAndWhite)
{
    // A hard edge overshoots on both sides with these two kernels.
    const std::vector<int> edge = {0, 0, 0, 255, 255, 255};
    for (TFilterKind f : {fkLanczos3, fkMitchell}) {
        SCOPED_TRACE(f);
        const TContributorList list = BuildContributorList(KernelTable[f], KernelRadius[f], 6, 11);
        bool below = false, above = false;
        for (const TContributorEntry& e : list) {
            int sum = 0, weights = 0;
            for (const TContributor& c : e.Contributors) {
                sum += c.Weight * edge[size_t(c.Pixel)];
                weights += c.Weight;
            }
            below |= sum / weights < 0;
            above |= sum / weights > 255;
        }
        EXPECT_TRUE(below && above);
        const std::vector<int> out = ScaleRow(f, edge, 11);
        for (size_t i = 0; i < list.size(); ++i) {
            int sum = 0, weights = 0;
            for (const TContributor& c : list[i].Contributors) {
                sum += c.Weight * edge[size_t(c.Pixel)];
                weights += c.Weight;
            }
            EXPECT_EQ(out[i], std::clamp(sum / weights, 0, 255)) << i;
        }
    }
}

// ---------------------------------------------------------------------------------------
// The kernels, against values computed apart (resample_expected.py).

TEST(Resample, KernelValues)
{
    const float kAt[] = {0.0f, 0.25f, 0.5f, 1.0f, 1.25f, 1.75f, 2.5f};
    const struct { TFilterKind filter; float want[7]; } kCases[] = {
        {fkBox, {1, 1, 1, 0, 0, 0, 0}},
        {fkTriangle, {1, 0.75f, 0.5f, 0, 0, 0, 0}},
        {fkHermite, {1, 0x1.bp-1f, 0.5f, 0, 0, 0, 0}},
        {fkBell, {0.75f, 0x1.6p-1f, 0.5f, 0.125f, 0x1p-5f, 0, 0}},
        {fkBSpline, {0x1.555556p-1f, 0x1.395556p-1f, 0x1.eaaaaap-2f, 0x1.555556p-3f, 0x1.2p-4f, 0x1.555556p-9f, 0}},
        {fkLanczos3, {1, 0x1.c7b6dep-1f, 0x1.374238p-1f, -0x1.8b5d1p-26f, -0x1.101eaep-3f, -0x1.15ac62p-4f, 0x1.8e694p-6f}},
        {fkMitchell, {0x1.c71c72p-1f, 0x1.9071c8p-1f, 0x1.11c71cp-1f, 0x1.c71c72p-5f, -0x1.8p-6f, -0x1.e38e38p-7f, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.filter);
        for (int k = 0; k < 7; ++k) {
            EXPECT_EQ(KernelTable[c.filter](kAt[k]), c.want[k]) << kAt[k];
            EXPECT_EQ(KernelTable[c.filter](-kAt[k]), c.filter == fkBox && k == 2 ? 0.0f : c.want[k]) << -kAt[k];
        }
    }
    EXPECT_EQ(KernelRadius[fkBox], 0.5f);
    EXPECT_EQ(KernelRadius[fkLanczos3], 3.0f);
}

TEST(Resample, EveryKernelScalesASmallRowAsComputedApart)
{
    const std::vector<int> row = {10, 200, 30, 255, 0, 90};
    const struct { TFilterKind filter; std::vector<int> down; std::vector<int> up; } kCases[] = {
        {fkBox, {10, 115, 127, 90}, {10, 10, 200, 200, 200, 30, 30, 255, 255}},
        {fkTriangle, {93, 121, 131, 70}, {10, 81, 152, 178, 115, 51, 86, 170, 255}},
        {fkHermite, {88, 111, 140, 71}, {10, 70, 170, 192, 115, 37, 65, 183, 255}},
        {fkBell, {104, 121, 119, 70}, {57, 84, 141, 153, 115, 79, 98, 168, 226}},
        {fkBSpline, {107, 121, 115, 71}, {73, 93, 128, 138, 115, 95, 113, 164, 217}},
        {fkLanczos3, {98, 126, 125, 57}, {10, 67, 171, 194, 115, 36, 52, 151, 255}},
        {fkMitchell, {101, 121, 126, 66}, {30, 77, 155, 175, 113, 54, 80, 168, 242}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.filter);
        BothPaths([&] {
            EXPECT_EQ(ScaleRow(c.filter, row, 4), c.down);
            EXPECT_EQ(ScaleRow(c.filter, {row.begin(), row.begin() + 4}, 9), c.up);
        });
    }
}

// ---------------------------------------------------------------------------------------
// Bit for bit against the plain implementation.

struct Size {
    int srcWidth, srcHeight, dstWidth, dstHeight;
};

const Size kSizes[] = {
    {40, 30, 10, 8},  {37, 23, 5, 7},   {64, 48, 16, 12}, {100, 3, 33, 3}, {9, 9, 9, 9},    {16, 16, 16, 16},
    {5, 4, 11, 9},    {3, 2, 29, 17},   {7, 13, 23, 5},   {1, 1, 7, 3},    {1, 9, 12, 4},   {9, 1, 3, 6},
    {12, 12, 1, 1},   {20, 6, 1, 9},    {6, 20, 14, 1},   {2, 2, 3, 3},    {2, 5, 40, 2},   {50, 2, 49, 3},
    {33, 17, 32, 16}, {19, 41, 71, 11}, {24, 8, 11, 10},  {17, 3, 16, 35}, {600, 2, 7, 2},  {130, 4, 20, 9},
};

void ExpectSameAsReference(TKernelFunction kernel, TKernelFunction plain, float radius, const Size& s, unsigned seed)
{
    const auto pixels = Noise(s.srcWidth, s.srcHeight, seed);
    const auto want = reference::Resample(plain, radius, pixels, s.srcWidth, s.srcHeight, s.dstWidth, s.dstHeight);
    BothPaths([&] {
        const Picture source(s.srcWidth, s.srcHeight, pixels);
        TBitmap target;
        target.SetPixelFormat(TPixelFormat::pf24bit);
        target.SetSize(s.dstWidth, s.dstHeight);
        ResampleWithKernel(kernel, source, target, radius);
        ASSERT_EQ(Pixels(target), want);
    });
}

TEST(Resample, MatchesThePlainImplementationBitForBit)
{
    const float kRadii[] = {0.0f, 0.3f, 0.75f, 1.0f, 2.5f, 4.0f, -0.7f};
    unsigned seed = 10;
    for (int f = fkBox; f <= fkMitchell; ++f) {
        for (float radius : kRadii) {
            const float r = radius == 0.0f ? KernelRadius[f] : radius;
            for (const Size& s : kSizes) {
                SCOPED_TRACE(testing::Message() << "filter " << f << " radius " << r << " " << s.srcWidth << "x"
                                                << s.srcHeight << " -> " << s.dstWidth << "x" << s.dstHeight);
                ExpectSameAsReference(KernelTable[f], reference::kKernels[f], r, s, ++seed);
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST(Resample, NegativeAndZeroWeightSumsMatchThePlainImplementation)
{
    // Negated kernels divide negative sums by negative weight sums; the odd step gives
    // weight sums of 0 with sums of either sign.
    const struct { TKernelFunction kernel, plain; float radius; } kCases[] = {
        {Negated<TriangleKernel>, Negated<reference::Triangle>, 1.0f},
        {Negated<Lanczos3Kernel>, Negated<reference::Lanczos3>, 3.0f},
        {OddStep, OddStep, 1.0f},
        {OddStep, OddStep, 2.0f},
    };
    unsigned seed = 5000;
    for (const auto& c : kCases)
        for (const Size& s : kSizes) {
            SCOPED_TRACE(testing::Message() << c.radius << " " << s.srcWidth << "x" << s.srcHeight << " -> "
                                            << s.dstWidth << "x" << s.dstHeight);
            ExpectSameAsReference(c.kernel, c.plain, c.radius, s, ++seed);
            if (HasFatalFailure()) return;
        }
}

TEST(Resample, NegatedKernelGivesTheSameImage)
{
    const auto pixels = Noise(31, 17, 77);
    const Picture source(31, 17, pixels);
    TBitmap plain, negated;
    for (TBitmap* b : {&plain, &negated}) {
        b->SetPixelFormat(TPixelFormat::pf24bit);
        b->SetSize(12, 40);
    }
    ResampleWithKernel(TriangleKernel, source, plain, 1.0f);
    ResampleWithKernel(Negated<TriangleKernel>, source, negated, 1.0f);
    EXPECT_EQ(Pixels(plain), Pixels(negated));
}

TEST(Resample, LargeSourcesMatchThePlainImplementation)
{
    ExpectSameAsReference(BoxKernel, reference::Box, 0.5f, {3000, 20, 160, 3}, 1);
    ExpectSameAsReference(Lanczos3Kernel, reference::Lanczos3, 3.0f, {64, 48, 1280, 96}, 2);
    ExpectSameAsReference(MitchellKernel, reference::Mitchell, 2.0f, {301, 211, 97, 53}, 3);
}

TEST(Resample, ListsLongerThanOneBlockMatchThePlainImplementation)
{
    // Lists are built and applied in blocks of at most 65536 target pixels and about 2^20
    // kernel evaluations: more targets than that, and more evaluations than that.
    ExpectSameAsReference(BoxKernel, reference::Box, 0.5f, {70001, 2, 70001, 1}, 4);
    ExpectSameAsReference(Lanczos3Kernel, reference::Lanczos3, 3.0f, {300000, 1, 1000, 2}, 5);
}

TEST(Resample, RandomSizesAndOddRadiiMatchThePlainImplementation)
{
    // Tiny, denormal, negative, beyond the reach and infinite radii on sizes around the
    // vector loops' block edges; above 8 the plain implementation runs at twice the reach,
    // which a table kernel cannot tell apart.
    const float kRadii[] = {1e-30f, 1e-45f, -1e-30f, 0.49f, 0.5f, 1.5f, 3.0f, 7.5f, -3.0f, 1e6f, -1e6f, INFINITY, -INFINITY};
    std::mt19937 random(2024);
    for (int round = 0; round < 300; ++round) {
        const Size s = {int(random() % 40) + 1, int(random() % 12) + 1, int(random() % 40) + 1, int(random() % 12) + 1};
        const int f = int(random() % 7);
        const float radius = kRadii[random() % std::size(kRadii)];
        const float plain = radius > 8 ? 2 * KernelRadius[f] : radius;
        SCOPED_TRACE(testing::Message() << "filter " << f << " radius " << radius << " " << s.srcWidth << "x"
                                        << s.srcHeight << " -> " << s.dstWidth << "x" << s.dstHeight);
        const auto pixels = Noise(s.srcWidth, s.srcHeight, unsigned(round));
        const auto want = reference::Resample(reference::kKernels[f], plain, pixels, s.srcWidth, s.srcHeight,
                                              s.dstWidth, s.dstHeight);
        BothPaths([&] {
            Picture source(s.srcWidth, s.srcHeight, pixels);
            TBitmap target;
            ResampleBitmap(s.dstWidth, s.dstHeight, TFilterKind(f), radius, source, target);
            ASSERT_EQ(Pixels(target), want);
        });
        if (HasFatalFailure()) return;
    }
}

// ---------------------------------------------------------------------------------------
// What the plain algorithm leaves open.

TEST(Resample, OnePixelTargetAveragesTheWholeLineWithTheBox)
{
    const std::vector<int> row = {0, 9, 200, 31, 77, 255, 1};
    const int sum = 0 + 9 + 200 + 31 + 77 + 255 + 1;
    EXPECT_EQ(ScaleRow(fkBox, row, 1), std::vector<int>{sum / 7});
    Picture column(1, 7, Grey(row));
    TBitmap target;
    ResampleBitmap(1, 1, fkBox, 0.0f, column, target);
    EXPECT_EQ(BlueChannel(target), std::vector<int>{sum / 7});
}

TEST(Resample, RadiusBeyondTheKernelsReachChangesNothing)
{
    // The kernels are 0 beyond their reach, so any larger radius gives what twice the reach
    // gives, without visiting (or allocating for) the positions out there.
    const auto pixels = Noise(45, 20, 9);
    for (int f = fkBox; f <= fkMitchell; ++f) {
        SCOPED_TRACE(f);
        const auto want = reference::Resample(reference::kKernels[f], 2 * KernelRadius[f], pixels, 45, 20, 13, 29);
        for (float radius : {1e6f, 3e38f, INFINITY}) {
            Picture source(45, 20, pixels);
    TBitmap target;
            ResampleBitmap(13, 29, TFilterKind(f), radius, source, target);
            EXPECT_EQ(Pixels(target), want) << radius;
        }
    }
}

TEST(Resample, KernelReachingPastASmallLineStaysInsideIt)
{
    // Lanczos3 on 2 pixels reaches 3 positions out: more than the line, folded repeatedly.
    const TContributorList list = BuildContributorList(Lanczos3Kernel, 3.0f, 2, 7);
    for (const TContributorEntry& e : list) {
        EXPECT_EQ(size_t(e.Count), e.Contributors.size());
        for (const TContributor& c : e.Contributors) {
            EXPECT_GE(c.Pixel, 0);
            EXPECT_LT(c.Pixel, 2);
        }
    }
    // A radius below the reach lets more positions through than 2 * s + 1.
    const TContributorList narrow = BuildContributorList(Lanczos3Kernel, 1.0f, 10, 19);
    EXPECT_EQ(narrow[1].Count, 4);
}

TEST(Resample, SizesAndArgumentsThatCannotBeScaled)
{
    Picture source(4, 3, Noise(4, 3, 1));
    TBitmap target, empty;
    empty.SetPixelFormat(TPixelFormat::pf24bit);
    const struct { const char* name; std::function<void()> call; const char* message; } kCases[] = {
        {"negative width", [&] { ResampleBitmap(-1, 5, fkBox, 0, source, target); }, "Invalid image size: -1 x 5"},
        {"negative height", [&] { ResampleBitmap(5, -2, fkBox, 0, source, target); }, "Invalid image size: 5 x -2"},
        {"above the pixel limit", [&] { ResampleBitmap(100000, 100000, fkBox, 0, source, target); },
         "Image too large: 100000 x 100000 pixels"},
        {"no such filter", [&] { ResampleBitmap(2, 2, TFilterKind(7), 0, source, target); }, kResampleBadFilter},
        {"radius not a number", [&] { ResampleBitmap(2, 2, fkBox, NAN, source, target); }, kResampleBadRadius},
        {"empty source", [&] { ResampleBitmap(2, 2, fkBox, 0, empty, target); }, kResampleEmptySource},
        {"weights too large", [&] { ResampleWithKernel([](float) { return 1e6f; }, source, target, 1.0f); },
         kResampleBadWeights},
        {"foreign kernel, huge radius", [&] { ResampleWithKernel([](float) { return 0.0f; }, source, target, 1e9f); },
         kResampleTooWide},
        {"not 24-bit", [&] {
             TBitmap indexed;
             indexed.SetPixelFormat(TPixelFormat::pf8bit);
             indexed.SetSize(2, 2);
             ResampleWithKernel(BoxKernel, indexed, target, 0.5f);
         }, kResampleNot24Bit},
    };
    target.SetPixelFormat(TPixelFormat::pf24bit);
    target.SetSize(3, 3);
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THAT(c.call, ThrowsMessage<Exception>(StrEq(c.message)));
    }
}

TEST(Resample, IntermediateBitmapIsCheckedAgainstThePixelLimit)
{
    // 10 x 1000 and 1000 x 10 fit a limit of 10000, the 1000 x 1000 in between does not.
    struct Limit {
        int64_t old = TBitmap::PixelLimit();
        Limit() { TBitmap::SetPixelLimit(10000); }
        ~Limit() { TBitmap::SetPixelLimit(old); }
    } limit;
    Picture source(10, 1000, Noise(10, 1000, 3));
    TBitmap target;
    EXPECT_THAT([&] { ResampleBitmap(1000, 10, fkBox, 0, source, target); },
                ThrowsMessage<Exception>(StrEq("Image too large: 1000 x 1000 pixels")));
}

TEST(Resample, ZeroSizesGiveAnEmptyTarget)
{
    const struct { int width, height; } kCases[] = {{0, 0}, {0, 7}, {7, 0}};
    for (const auto& c : kCases) {
        Picture source(4, 3, Noise(4, 3, 1)), target(2, 2, Noise(2, 2, 2));
        ResampleBitmap(c.width, c.height, fkLanczos3, 0, source, target);
        EXPECT_EQ(target.Width(), c.width);
        EXPECT_EQ(target.Height(), c.height);
        EXPECT_EQ(target.PixelFormat(), TPixelFormat::pf24bit);
    }
    TBitmap empty, target;
    ResampleBitmap(0, 0, fkBox, 0, empty, target);
    EXPECT_EQ(target.Width(), 0);
}

TEST(Resample, SourceIsConvertedTo24BitsAndMayBeTheTarget)
{
    const auto pixels = Noise(9, 6, 4);
    Picture plain(9, 6, pixels);
    TBitmap want;
    ResampleBitmap(5, 11, fkMitchell, 0, plain, want);

    Picture wide(9, 6, pixels);
    TBitmap target;
    wide.SetPixelFormat(TPixelFormat::pf32bit);
    ResampleBitmap(5, 11, fkMitchell, 0, wide, target);
    EXPECT_EQ(wide.PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(Pixels(wide), pixels);
    EXPECT_EQ(Pixels(target), Pixels(want));

    Picture same(9, 6, pixels);
    ResampleBitmap(5, 11, fkMitchell, 0, same, same);
    EXPECT_EQ(Pixels(same), Pixels(want));
}

// ---------------------------------------------------------------------------------------
// Channel lines and the per-pixel steps.

TEST(Resample, BlendDividesByTheActualWeightSumTruncatingAtEveryBoundary)
{
    // Two contributors with weights d - 1 and 1 give sums just below, at and above a
    // multiple of d; every divisor a list can produce is tried.
    const uint8_t pixels[] = {0, 0, 0, 128, 128, 128, 127, 127, 127, 129, 129, 129, 255, 255, 255, 254, 254, 254};
    LoadChannels(6, 3, pixels);
    for (int d = 2; d <= 32767; ++d) {
        const struct { int pixel, other, want; } kCases[] = {{1, 2, 127}, {1, 1, 128}, {1, 3, 128}, {4, 5, 254}, {4, 4, 255}};
        for (const auto& c : kCases) {
            const TContributor contributors[] = {{d - 1, c.pixel}, {1, c.other}};
            uint8_t out[3];
            BlendContributors(2, contributors, out);
            ASSERT_EQ(out[0], c.want) << d;
        }
    }
    // Negative sums and weight sums, and the unsigned shift when the weights add up to 0.
    const struct { const char* name; std::vector<TContributor> c; int want; } kSigns[] = {
        {"both negative", {{-3, 1}, {-1, 2}}, 127},    // -511 / -4
        {"odd negative", {{-3, 1}, {1, 4}}, 64},       // -129 / -2
        {"negative result", {{3, 0}, {-1, 4}}, 0},     // -255 / 2
        {"zero sum of weights", {{256, 4}, {-256, 0}}, 255},  // 65280 >> 8
        {"small positive", {{1, 1}, {-1, 2}}, 0},      // 1 >> 8
        {"small negative", {{1, 2}, {-1, 1}}, 255},    // -1 as unsigned, >> 8
        {"nothing", {}, 0},
    };
    for (const auto& c : kSigns) {
        uint8_t out[3];
        BlendContributors(int32_t(c.c.size()), c.c.data(), out);
        EXPECT_EQ(out[0], c.want) << c.name;
    }
    EXPECT_EQ(ClampToByte(-1), 0);
    EXPECT_EQ(ClampToByte(256), 255);
    EXPECT_EQ(ClampToByte(INT32_MIN), 0);
}

TEST(Resample, LoadChannelsSplitsBlueGreenRedAndFollowsANegativeStep)
{
    std::vector<uint8_t> pixels;
    for (int k = 0; k < 40; ++k) pixels.insert(pixels.end(), {uint8_t(k), uint8_t(100 + k), uint8_t(200 + k)});
    BothPaths([&] {
        for (int count : {1, 15, 16, 17, 40}) {
            LoadChannels(count, 3, pixels.data());
            const TContributor last[] = {{256, count - 1}};
            uint8_t out[3];
            BlendContributors(1, last, out);
            EXPECT_THAT(out, ElementsAreArray({uint8_t(count - 1), uint8_t(99 + count), uint8_t(199 + count)}));
        }
        LoadChannels(40, -3, pixels.data() + 3 * 39);
        const TContributor first[] = {{256, 0}}, end[] = {{256, 39}};
        uint8_t out[3];
        BlendContributors(1, first, out);
        EXPECT_EQ(out[0], 39);
        BlendContributors(1, end, out);
        EXPECT_EQ(out[0], 0);
        const TContributor outside[] = {{256, 40}};
        EXPECT_THAT([&] { BlendContributors(1, outside, out); },
                    ThrowsMessage<Exception>(StrEq("Scan line index out of range")));
    });
}

int gCalls = 0;
float BoxThenNothing(float x) { return ++gCalls > 100 ? NAN : BoxKernel(x); }

TEST(Resample, ChannelLinesAreEmptiedWhenAResamplingEnds)
{
    const TContributor first[] = {{256, 0}};
    uint8_t out[3];
    auto linesAreEmpty = [&] {
        EXPECT_THAT([&] { BlendContributors(1, first, out); },
                    ThrowsMessage<Exception>(StrEq("Scan line index out of range")));
    };
    Picture source(30, 30, Noise(30, 30, 6));
    TBitmap target;
    ResampleBitmap(20, 20, fkBox, 0, source, target);
    linesAreEmpty();
    // This kernel fails while the vertical list is built (the horizontal one takes 90
    // calls), after every row was split into the lines.
    target.SetSize(30, 20);
    gCalls = 0;
    EXPECT_THAT([&] { ResampleWithKernel(BoxThenNothing, source, target, 0.5f); },
                ThrowsMessage<Exception>(StrEq(kResampleBadWeights)));
    EXPECT_EQ(gCalls, 101);
    linesAreEmpty();
}

TEST(Resample, ThreadsResampleIndependently)
{
    const auto pixels = Noise(200, 150, 8);
    Picture source(200, 150, pixels);
    TBitmap want;
    ResampleBitmap(61, 47, fkLanczos3, 0, source, want);
    std::vector<std::vector<uint8_t>> results(2);
    std::vector<std::thread> threads;
    for (auto& result : results)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                Picture s(200, 150, pixels);
    TBitmap t;
                ResampleBitmap(61, 47, fkLanczos3, 0, s, t);
                result = Pixels(t);
            }
        });
    for (auto& t : threads) t.join();
    for (const auto& result : results) EXPECT_EQ(result, Pixels(want));
}

}  // namespace
}  // namespace quillet
