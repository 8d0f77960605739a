// CompuServe GIF images, versions 87a and 89a alike. Numbers are 16-bit little-endian;
// colour tables hold red, green, blue; the image data are LZW codes split into sub-blocks
// (a length byte of 1 to 255 and that many bytes) ended by a length byte of 0.
#include "imaging/readers/gif.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/ImageCodecs.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TGIFGraphic, &TBitmap::Class)

namespace {

constexpr char kNotGif[] = "Not a valid GIF file.";

constexpr uint8_t kExtensionIntroducer = 0x21;  // '!'
constexpr uint8_t kImageSeparator = 0x2C;       // ','
constexpr uint8_t kTrailer = 0x3B;              // ';'
constexpr uint8_t kColorTableFlag = 0x80;
constexpr uint8_t kInterlacedFlag = 0x40;

// The image data are read from the stream in pieces of this size.
constexpr size_t kReadChunk = 256 * 1024;

struct FreeBuffer {
    void operator()(uint8_t* p) const { std::free(p); }
};
using TBuffer = std::unique_ptr<uint8_t, FreeBuffer>;

TBuffer AllocateBuffer(size_t size, bool zeroed)
{
    if (size == 0) return nullptr;
    auto* p = static_cast<uint8_t*>(zeroed ? std::calloc(size, 1) : std::malloc(size));
    if (p == nullptr) throw Exception(kOutOfMemory);
    return TBuffer(p);
}

uint8_t ReadByte(TStream& stream)
{
    uint8_t b = 0;
    stream.ReadBuffer(&b, 1);
    return b;
}

// An extension: a label byte, then sub-blocks up to a length of 0, all passed over.
void SkipExtension(TStream& stream)
{
    ReadByte(stream);
    for (uint8_t length = ReadByte(stream); length != 0; length = ReadByte(stream))
        stream.Seek(length, TSeekOrigin::soCurrent);
}

// Gathers the image data's sub-blocks into one buffer and returns the number of coded
// bytes. Stops quietly at the end of the stream; a sub-block cut short by it adds only the
// bytes that are there. The stream is left after the terminating length byte.
size_t GatherImageData(TStream& stream, TBuffer& packed)
{
    const int64_t start = stream.Position();
    const int64_t remaining = stream.Size() - start;
    // The coded bytes are fewer than the bytes left in the stream.
    const size_t capacity = remaining > 0 ? size_t(remaining) : 0;
    packed = AllocateBuffer(capacity, false);
    uint8_t* const data = packed.get();

    // Raw bytes are read into the buffer at `have`, walked at `scan` and moved down to
    // `fill` without their length bytes; fill never passes scan.
    size_t have = 0, scan = 0, fill = 0, blockLeft = 0;
    for (;;) {
        if (scan == have) {
            if (have == capacity) break;
            const int64_t n = stream.Read(data + have, int64_t(std::min(kReadChunk, capacity - have)));
            if (n <= 0) break;
            have += size_t(n);
        }
        if (blockLeft == 0) {
            blockLeft = data[scan++];
            if (blockLeft == 0) break;
        } else {
            const size_t n = std::min(blockLeft, have - scan);
            std::memmove(data + fill, data + scan, n);
            fill += n;
            scan += n;
            blockLeft -= n;
        }
    }
    stream.SetPosition(start + int64_t(scan));
    return fill;
}

}  // namespace

void TGIFGraphic::ReadColorTable(TStream& Stream, int Count, TMaxLogPalette& LogPalette)
{
    uint8_t rgb[3 * 256];
    Stream.ReadBuffer(rgb, 3 * Count);
    for (int i = 0; i < Count; ++i) LogPalette.palPalEntry[i] = {rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], 0};
    LogPalette.palNumEntries = uint16_t(Count);
    SetPalette(CreatePalette(LogPalette));
}

void TGIFGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    SetPixelFormat(TPixelFormat::pf8bit);

    uint8_t header[6];
    Stream.ReadBuffer(header, sizeof header);
    // The signature is compared upper-cased; the version bytes are not examined.
    if (std::toupper(header[0]) != 'G' || std::toupper(header[1]) != 'I' || std::toupper(header[2]) != 'F')
        throw Exception(kNotGif);

    uint8_t screen[7];
    Stream.ReadBuffer(screen, sizeof screen);
    const int screenWidth = GetLE16(screen);
    const int screenHeight = GetLE16(screen + 2);
    const uint8_t screenFlags = screen[4];

    // One logical palette for both tables: a local table overwrites the global one's
    // first entries and count.
    TMaxLogPalette logPalette;
    if (screenFlags & kColorTableFlag) ReadColorTable(Stream, 2 << (screenFlags & 7), logPalette);

    for (;;) {
        const uint8_t introducer = ReadByte(Stream);
        if (introducer == kTrailer) return;  // no image: the bitmap stays empty
        if (introducer == kImageSeparator) break;
        if (introducer == kExtensionIntroducer) SkipExtension(Stream);
        // Any other byte between blocks is passed over.
    }

    uint8_t descriptor[9];
    Stream.ReadBuffer(descriptor, sizeof descriptor);
    const int width = GetLE16(descriptor + 4) != 0 ? GetLE16(descriptor + 4) : screenWidth;
    const int height = GetLE16(descriptor + 6) != 0 ? GetLE16(descriptor + 6) : screenHeight;
    const uint8_t imageFlags = descriptor[8];
    // The decoder takes the pixel count as a 32-bit size; only a raised pixel limit lets
    // more pixels than that through.
    TBitmap::CheckSize(width, height);
    if (int64_t(width) * height > INT32_MAX) throw Exception(Fmt(kImageTooLarge, width, height));
    SetWidth(width);
    SetHeight(height);

    if (imageFlags & kColorTableFlag) ReadColorTable(Stream, 2 << (imageFlags & 7), logPalette);
    const uint8_t minimumCodeSize = ReadByte(Stream);

    TBuffer packed;
    const size_t packedSize = GatherImageData(Stream, packed);

    // Sequential rows that the bitmap holds without padding are decoded in place; others
    // go through a buffer of width x height indices.
    const bool interlaced = (imageFlags & kInterlacedFlag) != 0;
    const size_t pixelCount = size_t(width) * size_t(height);
    const bool direct = !interlaced && Stride() == size_t(width);
    TBuffer pixels = direct ? nullptr : AllocateBuffer(pixelCount, true);

    auto decoder = std::make_unique<TGIFLZW>();
    decoder->FMinimumCodeSize = minimumCodeSize;
    const uint8_t* source = packed.get();
    decoder->Decode(source, direct ? Bits() : pixels.get(), int32_t(std::min<size_t>(packedSize, INT32_MAX)),
                    int32_t(pixelCount));
    if (!direct) CopyRows(pixels.get(), size_t(decoder->DecodedSize()), interlaced);
}

void TGIFGraphic::CopyRows(const uint8_t* Pixels, size_t DecodedSize, bool Interlaced)
{
    const int width = Width();
    const int height = Height();
    if (width == 0 || height == 0) return;
    // Rows past the decoded indices are zero in the buffer and in the bitmap alike.
    const size_t rows = (DecodedSize + size_t(width) - 1) / size_t(width);
    if (!Interlaced) {
        for (size_t k = 0; k < rows; ++k) std::memcpy(ScanLine(int(k)), Pixels + k * size_t(width), size_t(width));
        return;
    }
    // Interlaced rows come in four passes: every 8th row from 0, every 8th from 4, every
    // 4th from 2, every 2nd from 1.
    static constexpr int kPasses[4][2] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
    size_t k = 0;
    for (const auto& pass : kPasses)
        for (int y = pass[0]; y < height; y += pass[1]) {
            if (k == rows) return;
            std::memcpy(ScanLine(y), Pixels + k * size_t(width), size_t(width));
            ++k;
        }
}

}  // namespace quillet
