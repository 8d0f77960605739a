// Autodesk CEL and PIC images, old style. Header (little-endian): magic 0x9119, width,
// height and 26 bytes not used; then 256 palette entries of red, green, blue with values
// 0-63; then height rows of width palette indices, top row first, without padding. Every
// read is a plain read: a file that ends early leaves the rest black (index and entry 0).
#include "imaging/readers/autodesk.h"

#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TAutodeskGraphic, &TBitmap::Class)

namespace {

constexpr char kOldStyleOnly[] = "Cannot load image. Only old style Autodesk images are supported.";
constexpr uint16_t kMagic = 0x9119;
constexpr int kHeaderSize = 32;

}  // namespace

void TAutodeskGraphic::ReadImage(TStream& Stream)
{
    uint8_t header[kHeaderSize] = {};
    Stream.Read(header, 2);
    if (GetLE16(header) != kMagic) throw Exception(kOldStyleOnly);
    Stream.Read(header + 2, kHeaderSize - 2);

    // Only now, with the magic accepted, does the object change: whatever it held goes, so
    // that rows the file does not supply are index 0 on any object.
    SetHandle(nullptr);

    uint8_t colours[3 * 256] = {};
    Stream.Read(colours, sizeof colours);
    TMaxLogPalette logPalette;
    logPalette.palNumEntries = 256;
    for (int i = 0; i < 256; ++i) {
        // 6-bit values to 8 bits; a value of 64 or more wraps (64 becomes 0).
        TPaletteEntry& e = logPalette.palPalEntry[i];
        e.peRed = uint8_t(colours[3 * i] << 2);
        e.peGreen = uint8_t(colours[3 * i + 1] << 2);
        e.peBlue = uint8_t(colours[3 * i + 2] << 2);
    }

    SetPixelFormat(TPixelFormat::pf8bit);
    SetPalette(CreatePalette(logPalette));
    SetWidth(GetLE16(header + 2));
    SetHeight(GetLE16(header + 4));
    for (int y = 0; y < Height() && Width() > 0; ++y) {
        // A short read means the stream is used up: the rows below stay cleared.
        if (Stream.Read(ScanLine(y), Width()) < Width()) break;
    }
}

}  // namespace quillet
