// Truevision Targa images: an 18-byte little-endian header, the image ID, an optional
// colour map, then rows of pixels stored as they are (types 1-3) or as run-length packets
// (types 9-11). Rows run bottom-up unless bit 5 of the descriptor is set; pixels run
// right to left when bit 4 is.
#include "imaging/readers/targa.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TTargaGraphic, &TBitmap::Class)

namespace {

constexpr char kInvalidImage[] = "Targa: invalid image";
constexpr char kCannotWrite[] = "Targa: could not write image data";

constexpr int kHeaderSize = 18;
constexpr uint8_t kRightFirst = 0x10;  // descriptor bit 4: pixels run right to left
constexpr uint8_t kTopFirst = 0x20;    // descriptor bit 5: rows run top to bottom
constexpr int kMaxTargaSide = 0xFFFF;  // width and height are 16-bit fields

// Read-ahead of the run-length path: at least two row lengths plus one packet that crosses
// into the next row, so that no well-formed row ever finds its packets cut by the buffer.
constexpr size_t kMinReadAhead = 256 * 1024;

uint32_t BytesPerPixel(uint8_t pixelBits)
{
    switch (pixelBits) {
    case 15:
    case 16: return 2;
    default: return pixelBits / 8u;
    }
}

// Reads exactly count bytes; a file cut short is an invalid image.
void ReadOrFail(TStream& stream, void* buffer, int64_t count)
{
    if (stream.Read(buffer, count) != count) throw Exception(kInvalidImage);
}

// Moves past count bytes that are not needed; they must still be in the file.
void SkipOrFail(TStream& stream, int64_t count)
{
    if (count <= 0) return;
    if (stream.Size() - stream.Position() < count) throw Exception(kInvalidImage);
    stream.Seek(count, TSeekOrigin::soCurrent);
}

}  // namespace

void TTargaGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    uint8_t header[kHeaderSize];
    ReadOrFail(Stream, header, kHeaderSize);
    const uint8_t idLength = header[0];
    const uint8_t imageType = header[2];
    const int width = GetLE16(header + 12);
    const int height = GetLE16(header + 14);
    const uint8_t pixelBits = header[16];
    const bool topFirst = (header[17] & kTopFirst) != 0;
    const bool rightFirst = (header[17] & kRightFirst) != 0;

    ImageID.assign(idLength, '\0');
    if (idLength > 0) ReadOrFail(Stream, ImageID.data(), idLength);

    switch (pixelBits) {
    case 8: SetPixelFormat(TPixelFormat::pf8bit); break;
    // 16-bit pixels are stored as they are: the attribute bit lands in the top bit, which
    // the 15-bit format ignores.
    case 15:
    case 16: SetPixelFormat(TPixelFormat::pf15bit); break;
    case 24: SetPixelFormat(TPixelFormat::pf24bit); break;
    case 32: SetPixelFormat(TPixelFormat::pf32bit); break;
    default: break;  // other sizes keep the format of a new bitmap
    }
    ReadPalette(Stream, header);

    const uint32_t rowBytes = uint32_t(width) * BytesPerPixel(pixelBits);
    const bool raw = imageType >= 1 && imageType <= 3;
    // A file too short for its uncompressed rows fails before their memory is taken.
    if (raw && Stream.Size() - Stream.Position() < int64_t(rowBytes) * height) throw Exception(kInvalidImage);
    SetSize(width, height);
    if (width == 0 || height == 0) return;
    if (raw) {
        ReadRawRows(Stream, rowBytes, topFirst);
    } else if (imageType >= 9 && imageType <= 11) {
        ReadPackedRows(Stream, rowBytes, pixelBits, topFirst);
    } else {
        return;  // other image types carry no pixels that this reader knows
    }
    if (rightFirst) MirrorRows();
}

void TTargaGraphic::MirrorRows()
{
    size_t p;
    switch (PixelFormat()) {
    case TPixelFormat::pf8bit: p = 1; break;
    case TPixelFormat::pf15bit: p = 2; break;
    case TPixelFormat::pf24bit: p = 3; break;
    case TPixelFormat::pf32bit: p = 4; break;
    default: return;  // pixel sizes outside the table have no known layout
    }
    for (int y = 0; y < Height(); ++y) {
        uint8_t* left = ScanLine(y);
        uint8_t* right = left + (size_t(Width()) - 1) * p;
        for (; left < right; left += p, right -= p) std::swap_ranges(left, left + p, right);
    }
}

void TTargaGraphic::ReadPalette(TStream& Stream, const uint8_t* Header)
{
    const uint8_t mapType = Header[1];
    const uint8_t imageType = Header[2];
    const uint32_t mapLength = GetLE16(Header + 5);
    const uint8_t entryBits = Header[7];
    const uint32_t entrySize = entryBits == 24 ? 3 : entryBits == 32 ? 4 : 2;
    const bool grey = imageType == 3 || imageType == 11;
    if (mapType != 1 && !grey) return;

    TMaxLogPalette logPalette;
    if (grey) {
        logPalette.palNumEntries = 256;
        for (int i = 0; i < 256; ++i) logPalette.palPalEntry[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
        // A grey image needs no colour map; one that is there is passed over so that the
        // pixels are read from where they are.
        if (mapType == 1) SkipOrFail(Stream, int64_t(mapLength) * entrySize);
    } else {
        // Entry i of the map is palette index first + i (pixels index the map that way);
        // entries that land past index 255 are read past.
        const uint32_t first = GetLE16(Header + 3);
        const uint32_t kept = first < kMaxPaletteEntries ? std::min<uint32_t>(mapLength, kMaxPaletteEntries - first) : 0;
        uint8_t entries[kMaxPaletteEntries * 4];
        ReadOrFail(Stream, entries, int64_t(kept) * entrySize);
        SkipOrFail(Stream, int64_t(mapLength - kept) * entrySize);
        logPalette.palNumEntries = uint16_t(kept == 0 ? 0 : first + kept);
        for (uint32_t i = 0; i < kept; ++i) {
            const uint8_t* e = entries + i * entrySize;
            TPaletteEntry& p = logPalette.palPalEntry[first + i];
            if (entrySize == 2) {
                const unsigned w = GetLE16(e);
                p = {uint8_t(((w >> 10) & 0x1F) << 3), uint8_t(((w >> 5) & 0x1F) << 3), uint8_t((w & 0x1F) << 3), 0};
            } else {
                p = {e[2], e[1], e[0], 0};  // a 32-bit entry's fourth byte is dropped
            }
        }
        // A colour map of no entries gives no colours: an 8-bit image then shows its
        // indices as grey levels.
        if (kept == 0 && PixelFormat() == TPixelFormat::pf8bit) {
            logPalette.palNumEntries = 256;
            for (int i = 0; i < 256; ++i) logPalette.palPalEntry[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
        }
    }
    if (TPaletteRef palette = CreatePalette(logPalette)) SetPalette(std::move(palette));
}

void TTargaGraphic::ReadRawRows(TStream& Stream, uint32_t RowBytes, bool TopFirst)
{
    // Pixel sizes outside 8-32 bits can ask for more bytes than a bitmap row holds; what
    // does not fit is read past.
    const size_t fits = std::min<size_t>(RowBytes, Stride());
    for (int y = 0; y < Height(); ++y) {
        uint8_t* row = ScanLine(TopFirst ? y : Height() - 1 - y);
        ReadOrFail(Stream, row, int64_t(fits));
        SkipOrFail(Stream, int64_t(RowBytes - fits));
    }
}

// Packets may run on from one row into the next (older writers do this): the rest of such
// a packet is carried into the next row, and files whose packets end at row ends decode as
// rows of their own. Coded data that ends early leaves the rows it does not reach as they
// are (zero). The stream is left right after the last packet used.
void TTargaGraphic::ReadPackedRows(TStream& Stream, uint32_t RowBytes, uint8_t PixelBits, bool TopFirst)
{
    if (Stride() < RowBytes) return;  // pixel sizes the decoder does not know write nothing
    // A stream in memory is decoded where it lies; others through a read-ahead buffer.
    int64_t available = 0;
    const uint8_t* const memory = Stream.MemoryAtPosition(available);
    const size_t need = 2 * size_t(RowBytes) + sizeof(TTargaCarry::Bytes);
    std::vector<uint8_t> buffer(memory != nullptr ? 0 : std::max(need, kMinReadAhead));
    const uint8_t* const data = memory != nullptr ? memory : buffer.data();
    size_t held = memory != nullptr ? size_t(available) : 0;  // bytes at data
    size_t next = 0;                                          // the first of them not used yet
    bool more = memory == nullptr;
    TTargaCarry carry;
    for (int y = 0; y < Height(); ++y) {
        if (more && held - next < need) {
            std::memmove(buffer.data(), buffer.data() + next, held - next);
            held -= next;
            next = 0;
            const int64_t got = Stream.Read(buffer.data() + held, int64_t(buffer.size() - held));
            held += size_t(got);
            more = got > 0;
        }
        uint8_t* row = ScanLine(TopFirst ? y : Height() - 1 - y);
        const auto size = uint32_t(std::min<size_t>(held - next, UINT32_MAX));
        next += size_t(DecodeTargaRLE(data + next, size, row, RowBytes, PixelBits, &carry));
    }
    if (memory != nullptr) {
        Stream.Seek(int64_t(next), TSeekOrigin::soCurrent);
    } else {
        Stream.Seek(-int64_t(held - next), TSeekOrigin::soCurrent);
    }
}

void TTargaGraphic::WriteImage(TStream& Stream)
{
    // No one can answer a question on a server: a 1- or 4-bit picture is converted to 8
    // bits and written.
    if (PixelFormat() == TPixelFormat::pf1bit || PixelFormat() == TPixelFormat::pf4bit)
        SetPixelFormat(TPixelFormat::pf8bit);
    if (Empty()) return;
    if (Width() > kMaxTargaSide || Height() > kMaxTargaSide)
        throw Exception(Fmt(kImageTooLarge, Width(), Height()));

    // Targa's 16-bit pixels are 5-5-5: a 5-6-5 picture is written from a 15-bit copy.
    TBitmap converted;
    const TBitmap* source = this;
    if (PixelFormat() == TPixelFormat::pf16bit) {
        converted.CopyFrom(*this);
        converted.SetPixelFormat(TPixelFormat::pf15bit);
        source = &converted;
    }
    uint32_t bytesPerPixel;
    switch (source->PixelFormat()) {
    case TPixelFormat::pf8bit: bytesPerPixel = 1; break;
    case TPixelFormat::pf15bit: bytesPerPixel = 2; break;
    case TPixelFormat::pf24bit: bytesPerPixel = 3; break;
    default: bytesPerPixel = 4; break;  // 32-bit, and device-dependent ones held as 32 bits
    }

    const uint8_t idLength = uint8_t(ImageID.size());
    uint8_t header[kHeaderSize] = {};
    header[0] = idLength;
    header[1] = bytesPerPixel == 1 ? 1 : 0;
    header[2] = bytesPerPixel == 1 ? 9 : 10;
    PutLE16(header + 5, 256);  // also when no colour map follows
    header[7] = 24;
    PutLE16(header + 12, uint16_t(Width()));
    PutLE16(header + 14, uint16_t(Height()));
    header[16] = uint8_t(8 * bytesPerPixel);
    header[17] = kTopFirst;
    Stream.Write(header, kHeaderSize);
    if (idLength > 0) Stream.Write(ImageID.data(), idLength);
    if (bytesPerPixel == 1) {
        // The colours the indices stand for; entries the palette lacks are black.
        TPaletteEntry table[256];
        source->ColorTable(table);
        uint8_t map[256 * 3];
        for (int i = 0; i < 256; ++i) {
            map[3 * i] = table[i].peBlue;
            map[3 * i + 1] = table[i].peGreen;
            map[3 * i + 2] = table[i].peRed;
        }
        Stream.Write(map, sizeof map);
    }

    const size_t rowBytes = size_t(Width()) * bytesPerPixel;
    std::vector<uint8_t> packed(2 * rowBytes);
    for (int y = 0; y < Height(); ++y) {
        const int32_t size = EncodeTargaRLE(source->ScanLine(y), packed.data(), Width(), int32_t(bytesPerPixel));
        if (Stream.Write(packed.data(), size) < size) throw Exception(kCannotWrite);
    }
}

}  // namespace quillet
