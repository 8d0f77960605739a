// The device-independent bitmap: 1, 4, 8, 15, 16, 24 or 32 bits per pixel, rows padded to
// 4 bytes, row 0 at the top, 24-bit pixels stored blue, green, red.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/block.h"
#include "platform/graphic.h"
#include "platform/palette.h"

namespace quillet {

enum class TPixelFormat : uint8_t {
    pfDevice,  ///< device-dependent; held as 32 bits per pixel on a server
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,  ///< little-endian word: blue bits 0-4, green 5-9, red 10-14
    pf16bit,  ///< little-endian word: blue bits 0-4, green 5-10, red 11-15
    pf24bit,  ///< blue, green, red
    pf32bit,  ///< blue, green, red, alpha
};

/// Bits per pixel of a format (32 for the device-dependent one).
int BitsPerPixel(TPixelFormat format);
/// True for 1, 4 and 8 bits per pixel.
bool IsIndexed(TPixelFormat format);
/// Bytes in one row of the given width, padded to 4 bytes; raises for sizes that overflow.
size_t RowStride(int width, TPixelFormat format);

class TBitmap : public TGraphic {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    TBitmap() = default;
    ~TBitmap() override;

    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    /// Sets the pixel format; pixels already held are converted (indexed to direct through
    /// the palette, direct to indexed by the nearest palette colour).
    void SetPixelFormat(TPixelFormat format);

    /// A new size keeps the format, the palette and the pixels that still fit. The size is
    /// checked against the pixel limit before anything is allocated.
    void SetWidth(int width) { SetSize(width, FHeight); }
    void SetHeight(int height) { SetSize(FWidth, height); }
    void SetSize(int width, int height);
    /// Like SetSize, but the pixels held are dropped and the new rows are not cleared: for
    /// a reader that writes every byte of every row, padding included, and on failure
    /// puts back cleared rows (SetHeight to the rows it filled, then to the full height).
    void SetSizeForOverwrite(int width, int height);

    /// Address of row y (0 = top); raises "Scan line index out of range" outside the picture.
    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    /// Bytes from one row to the next (rows are padded to 4 bytes).
    size_t Stride() const { return FStride; }
    /// The first row's address, or null while there are no pixels.
    uint8_t* Bits() { return FBits.get(); }
    const uint8_t* Bits() const { return FBits.get(); }

    /// The palette, or null when none was assigned.
    const TPaletteRef& Palette() const { return FPalette; }
    void SetPalette(TPaletteRef palette) { FPalette = std::move(palette); }
    /// The colours that index values stand for: the palette, padded with black to 256
    /// entries; an indexed bitmap without a palette uses the format's default colours.
    void ColorTable(TPaletteEntry (&table)[256]) const;

    /// Discards the image: no pixels, no palette, size 0 x 0, device-dependent format.
    void ReleaseImage();
    void SetHandle(std::nullptr_t) { ReleaseImage(); }

    /// An independent copy of source: a bitmap's pixels, format and palette; other
    /// graphics copy themselves in through AssignTo.
    void CopyFrom(const TGraphic& source);

    /// Reads a Windows bitmap file ("BM"); an empty stream gives an empty bitmap.
    void ReadImage(TStream& stream) override;
    /// Writes a Windows bitmap file in the bitmap's own pixel format and palette.
    void WriteImage(TStream& stream) override;

    /// The most pixels (width x height) a bitmap may hold; settable by the host.
    static int64_t PixelLimit();
    static void SetPixelLimit(int64_t limit);
    /// Raises "Invalid image size: %d x %d" for a negative side and "Image too large: %d x
    /// %d pixels" above the limit; readers call it before allocating buffers of that size.
    static void CheckSize(int64_t width, int64_t height);

private:
    using Bits_t = TBlock;
    static Bits_t Allocate(size_t bytes, bool clear = true);

    int FWidth = 0;
    int FHeight = 0;
    TPixelFormat FPixelFormat = TPixelFormat::pfDevice;
    size_t FStride = 0;
    Bits_t FBits;
    TPaletteRef FPalette;
};

inline constexpr int64_t kDefaultPixelLimit = 100'000'000;
/// The environment variable that, when set to a positive count, replaces the default limit.
inline constexpr char kPixelLimitVariable[] = "QUILLET_MAX_PIXELS";

}  // namespace quillet
