// Photoshop documents (PSD, PDD), big-endian: a 26-byte header, then four sections that
// each start with a 4-byte length (colour-mode data, image resources, layer and mask
// information) and the composite image data, stored planar: every channel's rows from the
// top, either raw or PackBits coded row by row behind a table of the packed row lengths.
#include "imaging/readers/psd.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "imaging/convert.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPSDGraphic, &TBitmap::Class)

namespace {

constexpr char kNotPsd[] = "Not a valid psd file.";
constexpr char kSignature[4] = {'8', 'B', 'P', 'S'};
constexpr size_t kHeaderSize = 26;
constexpr uint16_t kPackBits = 1;

enum : uint16_t {
    kBitmapMode = 0,
    kGreyMode = 1,
    kIndexedMode = 2,
    kRGBMode = 3,
    kCMYKMode = 4,
    kDuotoneMode = 8,
    kLabMode = 9,
};

// The planes a colour mode's picture is made of; 0 for the modes that are not read.
int PlanesOf(uint16_t mode)
{
    switch (mode) {
    case kBitmapMode:
    case kGreyMode:
    case kIndexedMode:
    case kDuotoneMode: return 1;
    case kRGBMode:
    case kLabMode: return 3;
    case kCMYKMode: return 4;
    default: return 0;
    }
}

// Whether the sample depth of a mode has a conversion. One-plane modes take 1, 8 and 16
// bits (16-bit samples keep their high byte, 1-bit samples of the grey modes become the
// indices 0 and 1 of their white-black palette); bitmap mode is 1 bit only; the planar
// modes take 8 and 16 bits. Other depths (32-bit floats among them) keep the size set and
// leave the pixels unwritten, as an unsupported colour mode does.
bool DepthSupported(uint16_t mode, uint16_t depth)
{
    if (mode == kBitmapMode) return depth == 1;
    if (PlanesOf(mode) == 1) return depth == 1 || depth == 8 || depth == 16;
    return depth == 8 || depth == 16;
}

uint16_t ReadBE16(TStream& stream)
{
    uint8_t b[2];
    stream.ReadBuffer(b, sizeof b);
    return GetBE16(b);
}

uint32_t ReadBE32(TStream& stream)
{
    uint8_t b[4];
    stream.ReadBuffer(b, sizeof b);
    return GetBE32(b);
}

void Skip(TStream& stream, uint32_t count) { stream.Seek(int64_t(count), TSeekOrigin::soCurrent); }

// Raises the stream's read error up front when fewer than count bytes are left, so that a
// short file claiming a large image fails before a buffer is allocated for it.
void RequireBytes(TStream& stream, uint64_t count)
{
    const int64_t left = stream.Size() - stream.Position();
    if (left < 0 || count > uint64_t(left)) throw Exception(kStreamReadError);
}

// The next count bytes of the stream, which must all be there: where they lie for a
// stream in memory, else read into buffer (not zeroed first, as every byte is read).
const uint8_t* ReadBlock(TStream& stream, uint64_t count, std::unique_ptr<uint8_t[]>& buffer)
{
    int64_t available = 0;
    const uint8_t* memory = stream.MemoryAtPosition(available);
    if (memory != nullptr && uint64_t(available) >= count) {
        stream.Seek(int64_t(count), TSeekOrigin::soCurrent);
        return memory;
    }
    buffer = std::make_unique_for_overwrite<uint8_t[]>(size_t(count));
    stream.ReadBuffer(buffer.get(), int64_t(count));
    return buffer.get();
}

// a × b, or the largest value when that overflows (no stream holds that many bytes).
uint64_t SaturatedProduct(uint64_t a, uint64_t b)
{
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Turns one row of each plane into the bitmap row: blue, green, red. The row buffers are
// the reader's own and are changed in place.
void ConvertPlanes(uint8_t* const* plane, uint8_t* dest, uint16_t mode, uint16_t depth, uint32_t columns)
{
    const size_t rowBytes = size_t(columns) * (depth / 8);
    switch (mode) {
    case kRGBMode:
        if (depth == 16)
            for (int c = 0; c < 3; ++c) ByteSwap16Array(plane[c], columns);
        ConvertPlanarRGBRow(plane[0], plane[1], plane[2], dest, uint8_t(depth), columns * 3);
        break;
    case kCMYKMode:
        // Ink amounts are stored inverted: 255 (65535) is no ink.
        for (int c = 0; c < 4; ++c)
            for (size_t i = 0; i < rowBytes; ++i) plane[c][i] = uint8_t(255 - plane[c][i]);
        if (depth == 16)
            for (int c = 0; c < 4; ++c) ByteSwap16Array(plane[c], columns);
        ConvertPlanarCMYKRow(plane[0], plane[1], plane[2], plane[3], dest, uint8_t(depth), columns * 4);
        break;
    case kLabMode:
        // The Lab conversion takes 8-bit planes: 16-bit samples keep their high byte.
        if (depth == 16)
            for (int c = 0; c < 3; ++c)
                for (uint32_t x = 0; x < columns; ++x) plane[c][x] = plane[c][2 * size_t(x)];
        // a and b are stored with 128 added; the conversion wants them signed.
        for (int c = 1; c < 3; ++c)
            for (uint32_t x = 0; x < columns; ++x) plane[c][x] = uint8_t(plane[c][x] - 128);
        ConvertPlanarLabRow(plane[0], plane[1], plane[2], dest, 8, columns * 3);
        break;
    default: break;
    }
}

}  // namespace

struct TPSDGraphic::THeader {
    uint16_t Channels = 0;
    uint32_t Rows = 0;
    uint32_t Columns = 0;
    uint16_t Depth = 0;
    uint16_t Mode = 0;
    size_t RowBytes = 0;  // one stored row of one channel
};

void TPSDGraphic::ReadImage(TStream& Stream)
{
    uint8_t raw[kHeaderSize];
    Stream.ReadBuffer(raw, sizeof raw);
    if (std::memcmp(raw, kSignature, sizeof kSignature) != 0) throw Exception(kNotPsd);
    THeader header;
    header.Channels = GetBE16(raw + 12);
    header.Rows = GetBE32(raw + 14);
    header.Columns = GetBE32(raw + 18);
    header.Depth = GetBE16(raw + 22);
    header.Mode = GetBE16(raw + 24);
    const int planes = PlanesOf(header.Mode);
    // The header does not tie the channel count to the mode; a document that stores fewer
    // planes than its mode is made of has no picture to show.
    if (header.Channels < planes) throw Exception(kNotPsd);

    switch (header.Mode) {
    case kBitmapMode: SetPixelFormat(TPixelFormat::pf1bit); break;
    case kGreyMode:
    case kIndexedMode:
    case kDuotoneMode: SetPixelFormat(TPixelFormat::pf8bit); break;
    case kRGBMode:
    case kCMYKMode:
    case kLabMode: SetPixelFormat(TPixelFormat::pf24bit); break;
    default: break;  // not supported: the format stays as it is
    }

    const uint32_t colorDataLength = ReadBE32(Stream);
    if (header.Mode == kIndexedMode) {
        // The colour table is 768 bytes. A longer block's surplus is skipped; the entries
        // that a shorter one does not reach are black.
        const uint32_t tableBytes = std::min<uint32_t>(colorDataLength, sizeof FColorMap);
        Stream.ReadBuffer(FColorMap, tableBytes);
        std::memset(FColorMap + tableBytes, 0, sizeof FColorMap - tableBytes);
        Skip(Stream, colorDataLength - tableBytes);
    } else {
        Skip(Stream, colorDataLength);
    }
    if (planes == 1) MakePSDPalette(uint8_t(header.Depth), header.Mode);

    CheckSize(header.Columns, header.Rows);
    SetWidth(int(header.Columns));
    SetHeight(int(header.Rows));

    Skip(Stream, ReadBE32(Stream));  // image resources
    Skip(Stream, ReadBE32(Stream));  // layer and mask information
    const uint16_t compression = ReadBE16(Stream);
    if (planes == 0 || !DepthSupported(header.Mode, header.Depth) || Width() == 0 || Height() == 0) return;
    // Row lengths and sample counts are handed on as 32-bit values.
    if (uint64_t(header.Columns) * 8 > uint64_t(INT32_MAX))
        throw Exception(Fmt(kImageTooLarge, Width(), Height()));
    header.RowBytes = header.Depth == 1 ? (size_t(header.Columns) + 7) / 8
                                        : size_t(header.Columns) * (header.Depth / 8);

    TPackbitsRLE packbits;
    TDecoder* decoder = nullptr;
    std::vector<uint8_t> counts;  // big-endian 16-bit packed lengths, channel by channel
    if (compression == kPackBits) {
        const uint64_t tableBytes = uint64_t(header.Channels) * header.Rows * 2;
        RequireBytes(Stream, tableBytes);
        counts.resize(size_t(tableBytes));
        Stream.ReadBuffer(counts.data(), int64_t(tableBytes));
        decoder = &packbits;
    }
    // Any other compression code is read as raw data.
    if (planes == 1)
        ReadOnePlane(Stream, header, decoder, counts.data());
    else
        ReadPlanes(Stream, header, decoder, counts.data());
}

// Bitmap, grey, indexed and duotone documents: the first channel, row by row into the
// bitmap; the other channels are not read.
void TPSDGraphic::ReadOnePlane(TStream& Stream, const THeader& Header, TDecoder* Decoder, const uint8_t* Counts)
{
    const int rows = Height();
    const int width = Width();
    const size_t rowBytes = Header.RowBytes;
    // At 8 bits, and at 1 bit in bitmap mode, a stored row is the bitmap row itself.
    const bool direct = Header.Depth == 8 || Header.Mode == kBitmapMode;
    std::vector<uint8_t> stored(direct ? 0 : rowBytes);

    std::unique_ptr<uint8_t[]> buffer;
    const uint8_t* packed = nullptr;
    if (Decoder != nullptr) {
        uint64_t packedBytes = 0;
        for (int y = 0; y < rows; ++y) packedBytes += GetBE16(Counts + 2 * size_t(y));
        RequireBytes(Stream, packedBytes);
        packed = ReadBlock(Stream, packedBytes, buffer);
    }

    size_t position = 0;
    for (int y = 0; y < rows; ++y) {
        uint8_t* row = ScanLine(y);
        uint8_t* target = direct ? row : stored.data();
        if (Decoder != nullptr) {
            const uint16_t count = GetBE16(Counts + 2 * size_t(y));
            if (!direct) std::memset(target, 0, rowBytes);
            const uint8_t* source = packed + position;
            Decoder->Decode(source, target, count, int32_t(rowBytes));
            position += count;
        } else {
            Stream.ReadBuffer(target, int64_t(rowBytes));
        }
        if (direct) continue;
        if (Header.Depth == 16) {
            for (int x = 0; x < width; ++x) row[x] = stored[2 * size_t(x)];
        } else {  // 1 bit per pixel into an 8-bit row: a set bit is index 1
            for (int x = 0; x < width; ++x) row[x] = (stored[size_t(x) >> 3] >> (7 - (x & 7))) & 1;
        }
    }
}

// RGB, CMYK and Lab documents: the first three or four planes, converted row by row. The
// composite is one block: a file that ends inside any channel's data, also one that the
// picture does not use, fails as a short read would.
void TPSDGraphic::ReadPlanes(TStream& Stream, const THeader& Header, TDecoder* Decoder, const uint8_t* Counts)
{
    const int planes = PlanesOf(Header.Mode);
    const int rows = Height();
    const size_t rowBytes = Header.RowBytes;
    std::vector<uint8_t> rowBuffers(rowBytes * size_t(planes));
    uint8_t* plane[4] = {};
    for (int c = 0; c < planes; ++c) plane[c] = rowBuffers.data() + rowBytes * size_t(c);

    if (Decoder != nullptr) {
        const size_t entries = size_t(Header.Channels) * size_t(rows);
        const size_t usedEntries = size_t(planes) * size_t(rows);
        uint64_t packedBytes = 0;
        uint64_t usedBytes = 0;
        size_t next[4] = {};  // where each used plane's next packed row starts
        for (size_t i = 0; i < entries; ++i) {
            if (i < usedEntries && i % size_t(rows) == 0) next[i / size_t(rows)] = size_t(packedBytes);
            packedBytes += GetBE16(Counts + 2 * i);
            if (i + 1 == usedEntries) usedBytes = packedBytes;
        }
        RequireBytes(Stream, packedBytes);
        std::unique_ptr<uint8_t[]> buffer;
        const uint8_t* packed = ReadBlock(Stream, usedBytes, buffer);
        for (int y = 0; y < rows; ++y) {
            for (int c = 0; c < planes; ++c) {
                const uint16_t count = GetBE16(Counts + 2 * (size_t(c) * size_t(rows) + size_t(y)));
                std::memset(plane[c], 0, rowBytes);
                const uint8_t* source = packed + next[c];
                Decoder->Decode(source, plane[c], count, int32_t(rowBytes));
                next[c] += count;
            }
            ConvertPlanes(plane, ScanLine(y), Header.Mode, Header.Depth, Header.Columns);
        }
        return;
    }

    const uint64_t planeBytes = uint64_t(rowBytes) * uint64_t(rows);
    RequireBytes(Stream, SaturatedProduct(planeBytes, Header.Channels));
    const int64_t start = Stream.Position();
    for (int y = 0; y < rows; ++y) {
        for (int c = 0; c < planes; ++c) {
            Stream.SetPosition(start + int64_t(planeBytes) * c + int64_t(rowBytes) * y);
            Stream.ReadBuffer(plane[c], int64_t(rowBytes));
        }
        ConvertPlanes(plane, ScanLine(y), Header.Mode, Header.Depth, Header.Columns);
    }
}

void TPSDGraphic::MakePSDPalette(uint8_t Depth, uint16_t Mode)
{
    TMaxLogPalette logPalette;
    const int count = Depth == 1 ? 2 : Depth == 4 ? 16 : 256;
    logPalette.palNumEntries = uint16_t(count);
    for (int i = 0; i < count; ++i) {
        TPaletteEntry& e = logPalette.palPalEntry[i];
        if (Depth == 1) {
            const uint8_t v = i == 0 ? 255 : 0;  // 0 is white, 1 is black
            e = {v, v, v, 0};
        } else if (Mode == kGreyMode || Mode == kDuotoneMode) {
            e = {uint8_t(i), uint8_t(i), uint8_t(i), 0};  // unscaled: a 16-entry ramp runs 0 to 15
        } else {
            e = {FColorMap[i], FColorMap[256 + i], FColorMap[512 + i], 0};
        }
    }
    if (TPaletteRef palette = CreatePalette(logPalette)) SetPalette(std::move(palette));
}

}  // namespace quillet
