#include "platform/bitmap.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/errors.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TBitmap, nullptr)

namespace {

// The host that loads the component library sets QUILLET_MAX_PIXELS, since the library
// holds its own copy of this limit.
int64_t InitialPixelLimit()
{
    const char* text = std::getenv(kPixelLimitVariable);
    if (text == nullptr || *text == '\0') return kDefaultPixelLimit;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    return *end == '\0' && value > 0 ? int64_t(value) : kDefaultPixelLimit;
}

std::atomic<int64_t> gPixelLimit{InitialPixelLimit()};

// Default colours of an indexed format that has no palette of its own.
TPaletteRef DefaultPalette(TPixelFormat format)
{
    switch (format) {
    case TPixelFormat::pf1bit: {
        static const TPaletteRef mono = TPalette::GreyRamp(2);
        return mono;
    }
    case TPixelFormat::pf4bit: return TPalette::System16();
    default: {
        // A 6 x 6 x 6 colour cube followed by 40 greys.
        static const TPaletteRef cube = [] {
            std::vector<TPaletteEntry> entries;
            for (int r = 0; r < 6; ++r)
                for (int g = 0; g < 6; ++g)
                    for (int b = 0; b < 6; ++b)
                        entries.push_back({uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51), 0});
            for (int i = 0; i < 40; ++i) {
                const auto v = uint8_t((i + 1) * 255 / 41);
                entries.push_back({v, v, v, 0});
            }
            return std::make_shared<const TPalette>(std::move(entries));
        }();
        return cube;
    }
    }
}

inline uint8_t Expand5(unsigned v) { return uint8_t((v << 3) | (v >> 2)); }
inline uint8_t Expand6(unsigned v) { return uint8_t((v << 2) | (v >> 4)); }

void UnpackIndices(const uint8_t* row, TPixelFormat format, int width, uint8_t* out)
{
    switch (format) {
    case TPixelFormat::pf1bit:
        for (int x = 0; x < width; ++x) out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
        break;
    case TPixelFormat::pf4bit:
        for (int x = 0; x < width; ++x) out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
        break;
    default: std::memcpy(out, row, size_t(width)); break;
    }
}

void PackIndices(const uint8_t* in, TPixelFormat format, int width, uint8_t* row)
{
    switch (format) {
    case TPixelFormat::pf1bit:
        std::memset(row, 0, size_t(width + 7) / 8);
        for (int x = 0; x < width; ++x) row[x >> 3] |= uint8_t((in[x] & 1) << (7 - (x & 7)));
        break;
    case TPixelFormat::pf4bit:
        std::memset(row, 0, size_t(width + 1) / 2);
        for (int x = 0; x < width; ++x) row[x >> 1] |= uint8_t((in[x] & 0x0F) << ((x & 1) ? 0 : 4));
        break;
    default: std::memcpy(row, in, size_t(width)); break;
    }
}

// One row to blue, green, red, alpha bytes.
void RowToBGRA(const uint8_t* row, TPixelFormat format, int width, const TPaletteEntry* table,
               uint8_t* indices, uint8_t* out)
{
    switch (format) {
    case TPixelFormat::pf1bit:
    case TPixelFormat::pf4bit:
    case TPixelFormat::pf8bit:
        UnpackIndices(row, format, width, indices);
        for (int x = 0; x < width; ++x) {
            const TPaletteEntry& e = table[indices[x]];
            out[4 * x] = e.peBlue;
            out[4 * x + 1] = e.peGreen;
            out[4 * x + 2] = e.peRed;
            out[4 * x + 3] = 0;
        }
        break;
    case TPixelFormat::pf15bit:
        for (int x = 0; x < width; ++x) {
            const unsigned w = unsigned(row[2 * x] | (row[2 * x + 1] << 8));
            out[4 * x] = Expand5(w & 31);
            out[4 * x + 1] = Expand5((w >> 5) & 31);
            out[4 * x + 2] = Expand5((w >> 10) & 31);
            out[4 * x + 3] = 0;
        }
        break;
    case TPixelFormat::pf16bit:
        for (int x = 0; x < width; ++x) {
            const unsigned w = unsigned(row[2 * x] | (row[2 * x + 1] << 8));
            out[4 * x] = Expand5(w & 31);
            out[4 * x + 1] = Expand6((w >> 5) & 63);
            out[4 * x + 2] = Expand5((w >> 11) & 31);
            out[4 * x + 3] = 0;
        }
        break;
    case TPixelFormat::pf24bit:
        for (int x = 0; x < width; ++x) {
            out[4 * x] = row[3 * x];
            out[4 * x + 1] = row[3 * x + 1];
            out[4 * x + 2] = row[3 * x + 2];
            out[4 * x + 3] = 0;
        }
        break;
    case TPixelFormat::pf32bit:
    case TPixelFormat::pfDevice: std::memcpy(out, row, size_t(width) * 4); break;
    }
}

// Nearest palette colour by squared distance, with a small cache of recent answers.
class TNearestColor {
public:
    explicit TNearestColor(const TPalette& palette) : FPalette(palette) { std::fill(std::begin(FKeys), std::end(FKeys), ~0u); }
    uint8_t Find(uint8_t b, uint8_t g, uint8_t r)
    {
        const uint32_t key = uint32_t(b) | (uint32_t(g) << 8) | (uint32_t(r) << 16);
        const size_t slot = (key * 2654435761u) >> 20;
        if (FKeys[slot] == key) return FValues[slot];
        int best = 0;
        int bestDistance = 1 << 30;
        for (int i = 0; i < FPalette.Count(); ++i) {
            const TPaletteEntry& e = FPalette.Entry(i);
            const int dr = e.peRed - r, dg = e.peGreen - g, db = e.peBlue - b;
            const int d = dr * dr + dg * dg + db * db;
            if (d < bestDistance) {
                bestDistance = d;
                best = i;
                if (d == 0) break;
            }
        }
        FKeys[slot] = key;
        FValues[slot] = uint8_t(best);
        return uint8_t(best);
    }

private:
    const TPalette& FPalette;
    uint32_t FKeys[4096];
    uint8_t FValues[4096] = {};
};

void BGRAToRow(const uint8_t* in, TPixelFormat format, int width, TNearestColor* nearest, uint8_t* indices,
               uint8_t* row)
{
    switch (format) {
    case TPixelFormat::pf1bit:
    case TPixelFormat::pf4bit:
    case TPixelFormat::pf8bit:
        for (int x = 0; x < width; ++x) indices[x] = nearest->Find(in[4 * x], in[4 * x + 1], in[4 * x + 2]);
        PackIndices(indices, format, width, row);
        break;
    case TPixelFormat::pf15bit:
        for (int x = 0; x < width; ++x) {
            const unsigned w = unsigned(in[4 * x] >> 3) | (unsigned(in[4 * x + 1] >> 3) << 5) |
                               (unsigned(in[4 * x + 2] >> 3) << 10);
            row[2 * x] = uint8_t(w);
            row[2 * x + 1] = uint8_t(w >> 8);
        }
        break;
    case TPixelFormat::pf16bit:
        for (int x = 0; x < width; ++x) {
            const unsigned w = unsigned(in[4 * x] >> 3) | (unsigned(in[4 * x + 1] >> 2) << 5) |
                               (unsigned(in[4 * x + 2] >> 3) << 11);
            row[2 * x] = uint8_t(w);
            row[2 * x + 1] = uint8_t(w >> 8);
        }
        break;
    case TPixelFormat::pf24bit:
        for (int x = 0; x < width; ++x) {
            row[3 * x] = in[4 * x];
            row[3 * x + 1] = in[4 * x + 1];
            row[3 * x + 2] = in[4 * x + 2];
        }
        break;
    case TPixelFormat::pf32bit:
    case TPixelFormat::pfDevice: std::memcpy(row, in, size_t(width) * 4); break;
    }
}

// Indices straight to blue, green, red: the common way from a palette picture (GIF, PCX)
// to the 24 bits that scaling needs. Each pixel is one 4-byte store of a packed table
// entry whose fourth byte the next pixel overwrites; the last pixel stores its three.
void IndexedToBGRRow(const uint8_t* row, TPixelFormat format, int width, const uint32_t* packed, uint8_t* indices,
                     uint8_t* out)
{
    if (width <= 0) return;
    const uint8_t* index = row;
    if (format != TPixelFormat::pf8bit) {
        UnpackIndices(row, format, width, indices);
        index = indices;
    }
    for (int x = 0; x < width - 1; ++x) std::memcpy(out + 3 * size_t(x), &packed[index[x]], 4);
    std::memcpy(out + 3 * size_t(width - 1), &packed[index[width - 1]], 3);
}

}  // namespace

int BitsPerPixel(TPixelFormat format)
{
    switch (format) {
    case TPixelFormat::pf1bit: return 1;
    case TPixelFormat::pf4bit: return 4;
    case TPixelFormat::pf8bit: return 8;
    case TPixelFormat::pf15bit: return 15;
    case TPixelFormat::pf16bit: return 16;
    case TPixelFormat::pf24bit: return 24;
    case TPixelFormat::pf32bit:
    case TPixelFormat::pfDevice: return 32;
    }
    return 32;
}

bool IsIndexed(TPixelFormat format)
{
    return format == TPixelFormat::pf1bit || format == TPixelFormat::pf4bit || format == TPixelFormat::pf8bit;
}

size_t RowStride(int width, TPixelFormat format)
{
    const int bits = BitsPerPixel(format) == 15 ? 16 : BitsPerPixel(format);
    return ((size_t(std::max(width, 0)) * size_t(bits) + 31) / 32) * 4;
}

TBitmap::Bits_t TBitmap::Allocate(size_t bytes, bool clear)
{
    // Large images get zero pages from the system without a pass over them.
    Bits_t bits = AllocateBlock(bytes, clear);
    if (!bits) throw Exception(kOutOfMemory);
    return bits;
}

TBitmap::~TBitmap() = default;

int64_t TBitmap::PixelLimit() { return gPixelLimit.load(std::memory_order_relaxed); }

void TBitmap::SetPixelLimit(int64_t limit) { gPixelLimit.store(limit, std::memory_order_relaxed); }

void TBitmap::CheckSize(int64_t width, int64_t height)
{
    if (width < 0 || height < 0 || width > INT32_MAX || height > INT32_MAX)
        throw Exception(Fmt(kInvalidImageSize, int(std::clamp<int64_t>(width, INT32_MIN, INT32_MAX)),
                            int(std::clamp<int64_t>(height, INT32_MIN, INT32_MAX))));
    if (width * height > PixelLimit()) throw Exception(Fmt(kImageTooLarge, int(width), int(height)));
}

void TBitmap::SetSize(int width, int height)
{
    if (width == FWidth && height == FHeight) return;
    CheckSize(width, height);
    const size_t stride = RowStride(width, FPixelFormat);
    Bits_t bits;
    if (width > 0 && height > 0) {
        bits = Allocate(stride * size_t(height));
        if (FBits) {
            const size_t used = (size_t(std::min(width, FWidth)) * size_t(BitsPerPixel(FPixelFormat)) + 7) / 8;
            const int rows = std::min(height, FHeight);
            for (int y = 0; y < rows; ++y)
                std::memcpy(bits.get() + size_t(y) * stride, FBits.get() + size_t(y) * FStride, used);
        }
    }
    FBits = std::move(bits);
    FWidth = width;
    FHeight = height;
    FStride = stride;
}

void TBitmap::SetSizeForOverwrite(int width, int height)
{
    CheckSize(width, height);
    const size_t stride = RowStride(width, FPixelFormat);
    FBits.reset();
    if (width > 0 && height > 0) FBits = Allocate(stride * size_t(height), false);
    FWidth = width;
    FHeight = height;
    FStride = stride;
}

uint8_t* TBitmap::ScanLine(int y)
{
    if (y < 0 || y >= FHeight || !FBits) throw Exception(kScanLineOutOfRange);
    return FBits.get() + size_t(y) * FStride;
}

const uint8_t* TBitmap::ScanLine(int y) const { return const_cast<TBitmap*>(this)->ScanLine(y); }

void TBitmap::ColorTable(TPaletteEntry (&table)[256]) const
{
    std::fill(std::begin(table), std::end(table), TPaletteEntry{});
    const TPaletteRef& palette = FPalette ? FPalette : DefaultPalette(FPixelFormat);
    palette->GetEntries(0, 256, table);
}

void TBitmap::SetPixelFormat(TPixelFormat format)
{
    if (format == FPixelFormat) return;
    const TPixelFormat old = FPixelFormat;
    if (!FBits) {
        FPixelFormat = format;
        FStride = RowStride(FWidth, format);
        return;
    }
    const size_t stride = RowStride(FWidth, format);
    Bits_t bits = Allocate(stride * size_t(FHeight));
    std::vector<uint8_t> indices(static_cast<size_t>(FWidth));

    const TPaletteRef sourcePalette = FPalette ? FPalette : (IsIndexed(old) ? DefaultPalette(old) : nullptr);
    const int capacity = IsIndexed(format) ? 1 << BitsPerPixel(format) : 0;
    if (IsIndexed(old) && IsIndexed(format) && sourcePalette->Count() <= capacity) {
        // The indices fit: keep them and the colours they stand for.
        for (int y = 0; y < FHeight; ++y) {
            UnpackIndices(FBits.get() + size_t(y) * FStride, old, FWidth, indices.data());
            PackIndices(indices.data(), format, FWidth, bits.get() + size_t(y) * stride);
        }
        FPalette = sourcePalette;
    } else if (IsIndexed(old) && format == TPixelFormat::pf24bit) {
        TPaletteEntry table[256] = {};
        sourcePalette->GetEntries(0, 256, table);
        uint32_t packed[256];
        for (int i = 0; i < 256; ++i) {
            const uint8_t bgr[4] = {table[i].peBlue, table[i].peGreen, table[i].peRed, 0};
            std::memcpy(&packed[i], bgr, 4);
        }
        for (int y = 0; y < FHeight; ++y)
            IndexedToBGRRow(FBits.get() + size_t(y) * FStride, old, FWidth, packed, indices.data(),
                            bits.get() + size_t(y) * stride);
    } else {
        TPaletteEntry table[256] = {};
        if (sourcePalette) sourcePalette->GetEntries(0, 256, table);
        TPaletteRef targetPalette;
        if (IsIndexed(format))
            targetPalette = (FPalette && !IsIndexed(old) && FPalette->Count() <= capacity) ? FPalette
                                                                                          : DefaultPalette(format);
        std::unique_ptr<TNearestColor> nearest;
        if (targetPalette) nearest = std::make_unique<TNearestColor>(*targetPalette);
        std::vector<uint8_t> line(size_t(FWidth) * 4);
        for (int y = 0; y < FHeight; ++y) {
            RowToBGRA(FBits.get() + size_t(y) * FStride, old, FWidth, table, indices.data(), line.data());
            BGRAToRow(line.data(), format, FWidth, nearest.get(), indices.data(), bits.get() + size_t(y) * stride);
        }
        if (targetPalette) FPalette = targetPalette;
    }
    FBits = std::move(bits);
    FStride = stride;
    FPixelFormat = format;
}

void TBitmap::ReleaseImage()
{
    FBits.reset();
    FPalette.reset();
    FWidth = 0;
    FHeight = 0;
    FStride = 0;
    FPixelFormat = TPixelFormat::pfDevice;
}

void TBitmap::CopyFrom(const TGraphic& source)
{
    if (&source == this) return;
    if (!source.InheritsFrom(TBitmap::Class)) {
        source.AssignTo(*this);
        return;
    }
    const auto& other = static_cast<const TBitmap&>(source);
    Bits_t bits;
    if (other.FBits) {
        bits = Allocate(other.FStride * size_t(other.FHeight));
        std::memcpy(bits.get(), other.FBits.get(), other.FStride * size_t(other.FHeight));
    }
    FBits = std::move(bits);
    FWidth = other.FWidth;
    FHeight = other.FHeight;
    FStride = other.FStride;
    FPixelFormat = other.FPixelFormat;
    FPalette = other.FPalette;
}

}  // namespace quillet
