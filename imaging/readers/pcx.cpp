// ZSoft PCX images and the screen captures that share their layout: a 128-byte
// little-endian header, then the rows, top row first, each made of one line per plane
// (bytes-per-line bytes, padding included), run-length coded or stored as they are. A
// 256-colour image keeps its palette in the last 769 bytes of the file (a marker byte 12
// and 256 entries of red, green, blue).
#include "imaging/readers/pcx.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPCXGraphic, &TBitmap::Class)

namespace {

constexpr char kNotPcx[] = "Not a PCX or SCR file.";
constexpr char kWrongPixelFormat[] = "PCX: wrong pixel format";

constexpr int kHeaderSize = 128;
constexpr uint8_t kManufacturerPcx = 10;
constexpr uint8_t kManufacturerScreenCapture = 205;
constexpr uint8_t kPaletteMarker = 12;
constexpr int64_t kTrailingPaletteSize = 769;
constexpr uint16_t kGreyPalette = 2;
// Coded rows are unpacked from a window of the stream this long.
constexpr size_t kReadAhead = 256 * 1024;

void GreyRamp(TMaxLogPalette& logPalette, int count, int step)
{
    logPalette.palNumEntries = uint16_t(count);
    for (int i = 0; i < count; ++i) {
        const auto v = uint8_t(i * step);
        logPalette.palPalEntry[i] = {v, v, v, 0};
    }
}

}  // namespace

void TPCXGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    uint8_t header[kHeaderSize];
    // A header cut short holds no image; its fields would be undefined.
    if (Stream.Read(header, kHeaderSize) != kHeaderSize) throw Exception(kNotPcx);
    const int64_t dataStart = Stream.Position();
    const int64_t streamSize = Stream.Size();
    int64_t remaining = streamSize - dataStart;

    if (header[0] != kManufacturerPcx && header[0] != kManufacturerScreenCapture) throw Exception(kNotPcx);
    const uint8_t encoding = header[2];
    const uint8_t bitsPerPixel = header[3];
    const uint8_t planes = header[65];
    const uint32_t bytesPerLine = GetLE16(header + 66);
    if (bitsPerPixel == 1 && planes == 1) SetPixelFormat(TPixelFormat::pf1bit);
    else if (bitsPerPixel == 1 && planes == 4) SetPixelFormat(TPixelFormat::pf4bit);
    else if (bitsPerPixel == 8 && planes == 1) SetPixelFormat(TPixelFormat::pf8bit);
    else if (bitsPerPixel == 8 && planes == 3) SetPixelFormat(TPixelFormat::pf24bit);
    else throw Exception(kWrongPixelFormat);

    // The trailing palette counts only when it lies after the header.
    int64_t paletteOffset = -1;
    if (PixelFormat() == TPixelFormat::pf8bit) {
        remaining = std::max<int64_t>(remaining - kTrailingPaletteSize, 0);
        if (streamSize - kTrailingPaletteSize >= dataStart) paletteOffset = streamSize - kTrailingPaletteSize;
    }
    if (PixelFormat() != TPixelFormat::pf24bit) ReadPalette(Stream, header, paletteOffset);

    SetWidth(int(GetLE16(header + 8)) - int(GetLE16(header + 4)) + 1);
    SetHeight(int(GetLE16(header + 10)) - int(GetLE16(header + 6)) + 1);
    const int width = Width();
    const int height = Height();

    if (width <= 0 || height <= 0) return;

    // The rows are read one at a time: uncoded ones straight into a line buffer, coded
    // ones unpacked into it (a run may go on into the next row).
    // Each plane of a row supplies at most bytes-per-line bytes, and only as many as the
    // data holds: uncoded data shorter than the rows, coded data that ends early and lines
    // shorter than the width all leave the pixels they do not reach zero, and the rows
    // after the data ends are not visited.
    const size_t lineBytes = size_t(planes) * bytesPerLine;
    const bool coded = encoding == 1;
    std::vector<uint8_t> line(lineBytes);
    // Coded data in memory is decoded where it lies; otherwise through a window.
    int64_t available = 0;
    const uint8_t* const memory = coded ? Stream.MemoryAtPosition(available) : nullptr;
    std::vector<uint8_t> window(coded && memory == nullptr ? kReadAhead : 0);
    const uint8_t* const windowData = memory != nullptr ? memory : window.data();
    size_t held = 0;  // bytes at windowData
    size_t next = 0;  // the first of them not used yet
    if (memory != nullptr) {
        held = size_t(std::min(available, remaining));
        remaining -= int64_t(held);
    }
    auto refill = [&] {
        if (memory != nullptr) return false;
        std::memmove(window.data(), window.data() + next, held - next);
        held -= next;
        next = 0;
        const size_t count = size_t(std::min<int64_t>(int64_t(window.size() - held), remaining));
        Stream.ReadBuffer(window.data() + held, int64_t(count));
        held += count;
        remaining -= int64_t(count);
        return count > 0;
    };
    TPCXRun pending;
    const size_t planeBytes = PixelFormat() == TPixelFormat::pf8bit || PixelFormat() == TPixelFormat::pf24bit
                                  ? size_t(width)
                                  : (size_t(width) + 7) / 8;
    const size_t usable = std::min<size_t>(planeBytes, bytesPerLine);
    std::vector<uint8_t> scratch(planeBytes * planes);
    for (int y = 0; y < height; ++y) {
        size_t rowHeld = 0;
        if (coded) {
            for (;;) {
                const uint8_t* source = windowData + next;
                rowHeld += DecodePCXRLE(source, windowData + held, line.data() + rowHeld, lineBytes - rowHeld, pending);
                next = size_t(source - windowData);
                if (rowHeld == lineBytes || !refill()) break;
            }
        } else {
            rowHeld = size_t(std::min<int64_t>(int64_t(lineBytes), remaining));
            Stream.ReadBuffer(line.data(), int64_t(rowHeld));
            remaining -= int64_t(rowHeld);
        }
        if (rowHeld == 0) break;
        const uint8_t* lineData = line.data();
        // The planes of this row, each planeBytes long.
        const uint8_t* plane[4];
        if (usable == planeBytes && rowHeld == lineBytes) {
            for (int p = 0; p < planes; ++p) plane[p] = lineData + size_t(p) * bytesPerLine;
        } else {
            std::fill(scratch.begin(), scratch.end(), 0);
            for (int p = 0; p < planes; ++p) {
                const size_t from = size_t(p) * bytesPerLine;
                const size_t k = from < rowHeld ? std::min(usable, rowHeld - from) : 0;
                if (k > 0) std::memcpy(scratch.data() + size_t(p) * planeBytes, lineData + from, k);
                plane[p] = scratch.data() + size_t(p) * planeBytes;
            }
        }
        uint8_t* row = ScanLine(y);
        switch (PixelFormat()) {
        case TPixelFormat::pf1bit:
        case TPixelFormat::pf8bit: std::memcpy(row, plane[0], planeBytes); break;
        case TPixelFormat::pf4bit:
            // Bit i of each plane (most significant first) makes pixel i: plane 0 is bit 0.
            std::memset(row, 0, (size_t(width) + 1) / 2);
            for (int x = 0; x < width; ++x) {
                const int shift = 7 - (x & 7);
                const size_t at = size_t(x) >> 3;
                const unsigned value = ((plane[0][at] >> shift) & 1) | (((plane[1][at] >> shift) & 1) << 1) |
                                       (((plane[2][at] >> shift) & 1) << 2) | (((plane[3][at] >> shift) & 1) << 3);
                row[x >> 1] |= uint8_t(x & 1 ? value : value << 4);
            }
            break;
        default:
            for (int x = 0; x < width; ++x, row += 3) {
                row[0] = plane[2][x];
                row[1] = plane[1][x];
                row[2] = plane[0][x];
            }
            break;
        }
    }
}

void TPCXGraphic::ReadPalette(TStream& Stream, const uint8_t* Header, int64_t PaletteOffset)
{
    const uint8_t version = Header[1];
    const uint16_t paletteInfo = GetLE16(Header + 68);
    if (version == 3 && PixelFormat() != TPixelFormat::pf1bit) {
        SetPalette(TPalette::System16());
        return;
    }
    TMaxLogPalette logPalette;
    switch (PixelFormat()) {
    case TPixelFormat::pf1bit:
        // Black and white, whatever the header's palette says.
        logPalette.palNumEntries = 2;
        logPalette.palPalEntry[1] = {255, 255, 255, 0};
        break;
    case TPixelFormat::pf4bit:
        if (paletteInfo == kGreyPalette) {
            GreyRamp(logPalette, 16, 16);
        } else {
            logPalette.palNumEntries = 16;
            for (int i = 0; i < 16; ++i)
                logPalette.palPalEntry[i] = {Header[16 + 3 * i], Header[17 + 3 * i], Header[18 + 3 * i], 0};
        }
        break;
    default: {
        uint8_t marker = 0;
        uint8_t entries[768] = {};
        bool found = false;
        if (PaletteOffset >= 0) {
            const int64_t position = Stream.Position();
            Stream.Seek(PaletteOffset, TSeekOrigin::soBeginning);
            found = Stream.Read(&marker, 1) == 1 && marker == kPaletteMarker && Stream.Read(entries, 768) == 768;
            Stream.Seek(position, TSeekOrigin::soBeginning);
        }
        if (found) {
            logPalette.palNumEntries = 256;
            for (int i = 0; i < 256; ++i)
                logPalette.palPalEntry[i] = {entries[3 * i], entries[3 * i + 1], entries[3 * i + 2], 0};
        } else {
            // Without the trailing palette the indices show as grey levels, whether or not
            // the header says the image is grey.
            GreyRamp(logPalette, 256, 1);
        }
        break;
    }
    }
    if (TPaletteRef palette = CreatePalette(logPalette)) SetPalette(std::move(palette));
}

void TPCXGraphic::WriteImage(TStream&) {}

}  // namespace quillet
