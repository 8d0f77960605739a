// Dr. Halo CUT images (little-endian): width, height and a reserved word, then one
// run-length coded line per row, top row first. The format has no signature and no
// colours: those live in a palette file of the same name with the extension ".pal",
// made of 512-byte blocks; without one the picture gets a grey ramp.
#include "imaging/readers/cut.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/palette.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TCUTGraphic, &TBitmap::Class)

namespace {

constexpr char kPaletteExtension[] = ".pal";
constexpr int kPaletteBlock = 512;
constexpr int kCountOffset = 12;     // highest colour index, in block 0
constexpr int kFirstEntry = 40;      // block 0's first entry
constexpr int kLastEntryStart = 506; // an entry starting later goes to the next block
constexpr int kEntrySize = 6;        // red, green, blue words; the low bytes count

}  // namespace

void TCUTGraphic::ReadImageFile(const std::string& FileName)
{
    FPalettePath = ChangeFileExt(FileName, kPaletteExtension);
    TBitmap::ReadImageFile(FileName);
}

void TCUTGraphic::ReadPaletteFile(TMaxLogPalette& Palette) const
{
    TFileStream file(FPalettePath, TFileStream::fmOpenRead);
    uint8_t block[kPaletteBlock];
    file.ReadBuffer(block, kPaletteBlock);
    // A logical palette holds 256 colours: a file that names more (a highest index of
    // 256 or above, 0xFFFF included) gives its first 256, and the blocks of the others
    // are neither needed nor read.
    const int count = std::min(int(GetLE16(block + kCountOffset)) + 1, kMaxPaletteEntries);
    Palette.palNumEntries = uint16_t(count);
    int at = kFirstEntry;
    for (int i = 0; i < count; ++i) {
        if (at > kLastEntryStart) {
            file.ReadBuffer(block, kPaletteBlock);
            at = 0;
        }
        Palette.palPalEntry[i] = {block[at], block[at + 2], block[at + 4], 0};
        at += kEntrySize;
    }
}

void TCUTGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    SetPixelFormat(TPixelFormat::pf8bit);
    uint8_t word[2];
    Stream.ReadBuffer(word, 2);
    SetWidth(GetLE16(word));
    Stream.ReadBuffer(word, 2);
    SetHeight(GetLE16(word));
    Stream.ReadBuffer(word, 2);  // reserved

    TMaxLogPalette palette;
    if (!FPalettePath.empty() && FileExists(FPalettePath)) {
        ReadPaletteFile(palette);
    } else {
        palette.palNumEntries = 256;
        for (int i = 0; i < 256; ++i) palette.palPalEntry[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    }
    SetPalette(CreatePalette(palette));

    // The coded lines: everything up to the end of the stream, which bounds the buffer.
    const int64_t size = std::max<int64_t>(Stream.Size() - Stream.Position(), 0);
    std::vector<uint8_t> data(static_cast<size_t>(size));
    Stream.ReadBuffer(data.data(), size);

    // Each call decodes one line and moves the read point to the next; it is told how
    // many coded bytes are left, so that a line cut short stops at the end of the data.
    // Rows that the data does not reach stay index 0.
    TCUTRLE decoder;
    const uint8_t* source = data.data();
    const uint8_t* const end = source + data.size();
    for (int y = 0; y < Height() && Width() > 0 && source < end; ++y) {
        const int32_t left = int32_t(std::min<int64_t>(end - source, INT32_MAX));
        decoder.Decode(source, ScanLine(y), left, Width());
    }
}

}  // namespace quillet
