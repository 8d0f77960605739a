// TIFF images: the first image file directory of an "II" (little-endian) or "MM"
// (big-endian) file; strips of interleaved samples, uncompressed, LZW (5) or PackBits
// (32773) coded, with the horizontal predictor. Every offset counts from the stream
// position at which the header starts.
#include "imaging/readers/tiff.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codecs/ImageCodecs.h"
#include "imaging/convert.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TTIFFGraphic, &TBitmap::Class)

namespace {

constexpr char kInvalidTiff[] = "Invalid TIFF file.";
constexpr char kUnknownCompression[] = "TIFF: Unknown compression scheme";

constexpr uint16_t kBigEndian = 0x4D4D;  // "MM"
constexpr uint16_t kVersion = 42;

constexpr uint16_t kImageWidth = 256;
constexpr uint16_t kImageLength = 257;
constexpr uint16_t kBitsPerSample = 258;
constexpr uint16_t kCompression = 259;
constexpr uint16_t kPhotometric = 262;
constexpr uint16_t kStripOffsets = 273;
constexpr uint16_t kSamplesPerPixel = 277;
constexpr uint16_t kRowsPerStrip = 278;
constexpr uint16_t kStripByteCounts = 279;
constexpr uint16_t kPredictor = 317;
constexpr uint16_t kColorMap = 320;
constexpr uint16_t kExtraSamples = 338;

enum : uint16_t {
    kByte = 1,
    kShort = 3,
    kLong = 4,
    kSByte = 6,
    kSShort = 8,
    kSLong = 9,
};

constexpr uint32_t kWhiteIsZero = 0;
constexpr uint32_t kBlackIsZero = 1;
constexpr uint32_t kRGB = 2;
constexpr uint32_t kPalette = 3;
constexpr uint32_t kSeparated = 5;
constexpr uint32_t kYCbCr = 6;
constexpr uint32_t kCIELab = 8;

constexpr uint32_t kNoCompression = 1;
constexpr uint32_t kLZW = 5;
constexpr uint32_t kPackBits = 32773;

// The most bytes a decoder can produce from one coded byte: an LZW code takes at least
// 9 bits and names at most a 4096-byte string; a PackBits packet of n bytes gives at
// most 128. Strip buffers need not be larger than the coded bytes can fill.
constexpr uint64_t kLZWExpansion = 4096;
constexpr uint64_t kPackBitsExpansion = 128;

// Uncompressed strips are read in pieces of about this size, so that the rows are
// converted while they are still in the cache.
constexpr uint64_t kRowGroupBytes = 256 * 1024;

size_t ElementSize(uint16_t type)
{
    switch (type) {
    case kByte:
    case kSByte: return 1;
    case kShort:
    case kSShort: return 2;
    case kLong:
    case kSLong: return 4;
    default: return 0;
    }
}

// A buffer reused from strip to strip; it only grows, and its bytes are not cleared.
class TScratch {
public:
    uint8_t* Get(uint64_t size)
    {
        if (size > FSize) {
            FData.reset();
            FData.reset(new (std::nothrow) uint8_t[size_t(size)]);
            if (!FData) throw Exception(kOutOfMemory);
            FSize = size;
        }
        return FData.get();
    }

private:
    std::unique_ptr<uint8_t[]> FData;
    uint64_t FSize = 0;
};

uint32_t GetValue(const uint8_t* p, size_t size, bool bigEndian)
{
    switch (size) {
    case 1: return p[0];
    case 2: return bigEndian ? GetBE16(p) : GetLE16(p);
    default: return bigEndian ? GetBE32(p) : GetLE32(p);
    }
}

// How the rows of the strip buffer become bitmap rows.
enum class TRowConversion { Copy, Grey16, RGB, RGBA, CMYK, Lab };

struct TRowLayout {
    TRowConversion Conversion = TRowConversion::Copy;
    uint32_t Keep = 0;  ///< samples per pixel taken from each pixel; 0 takes the row as it is
};

// The pixel format and row conversion of an image. Pixels with more samples than their
// conversion expects (grey with alpha, RGB with several extra samples, CMYK or L*a*b* with
// extra samples) give the conversion their first samples.
TRowLayout ChooseLayout(int64_t channels, uint32_t photometric, uint32_t bitsPerSample, uint32_t samplesPerPixel,
                        uint32_t extraSamples, TBitmap& bitmap)
{
    TRowLayout layout;
    const bool wholeBytes = bitsPerSample == 8 || bitsPerSample == 16;
    const auto keep = [&](uint32_t n) {
        if (samplesPerPixel > n && (wholeBytes || n == 1)) layout.Keep = n;
    };
    switch (channels) {
    case 1:
        switch (bitsPerSample) {
        case 1: bitmap.SetPixelFormat(TPixelFormat::pf1bit); break;
        case 4: bitmap.SetPixelFormat(TPixelFormat::pf4bit); break;
        case 8: bitmap.SetPixelFormat(TPixelFormat::pf8bit); break;
        case 16:
            bitmap.SetPixelFormat(TPixelFormat::pf8bit);
            layout.Conversion = TRowConversion::Grey16;
            break;
        default: break;  // the format stays; rows are copied as far as they fit
        }
        if (bitsPerSample <= 16) keep(1);
        break;
    case 3:
        if (photometric == kRGB && extraSamples == 0) {
            bitmap.SetPixelFormat(TPixelFormat::pf24bit);
            layout.Conversion = TRowConversion::RGB;
        } else if (photometric == kRGB) {
            bitmap.SetPixelFormat(TPixelFormat::pf32bit);
            layout.Conversion = TRowConversion::RGBA;
            keep(4);
        } else if (photometric == kYCbCr) {
            // Y, Cb and Cr are taken as they are, into the blue, green and red places.
            bitmap.SetPixelFormat(TPixelFormat::pf24bit);
            keep(3);
        } else if (photometric == kCIELab) {
            bitmap.SetPixelFormat(TPixelFormat::pf24bit);
            layout.Conversion = TRowConversion::Lab;
            keep(3);
        }
        break;
    case 4:
        if (photometric == kRGB) {
            bitmap.SetPixelFormat(TPixelFormat::pf32bit);
            layout.Conversion = TRowConversion::RGBA;
            keep(4);
        } else if (photometric == kSeparated) {
            bitmap.SetPixelFormat(TPixelFormat::pf24bit);
            layout.Conversion = TRowConversion::CMYK;
            keep(4);
        }
        break;
    default: bitmap.SetPixelFormat(TPixelFormat::pfDevice); break;
    }
    return layout;
}

// Takes the first keep samples of each pixel into out.
void SelectSamples(const uint8_t* row, uint8_t* out, uint32_t width, uint32_t bitsPerSample, uint32_t samplesPerPixel,
                   uint32_t keep)
{
    if (bitsPerSample % 8 == 0) {
        const size_t sample = bitsPerSample / 8;
        const size_t from = sample * samplesPerPixel, take = sample * keep;
        for (uint32_t x = 0; x < width; ++x) std::memcpy(out + x * take, row + x * from, take);
        return;
    }
    // Samples of fewer bits, most significant bit first (only one is kept then).
    std::memset(out, 0, (size_t(width) * bitsPerSample + 7) / 8);
    for (uint32_t x = 0; x < width; ++x) {
        const uint64_t from = uint64_t(x) * samplesPerPixel * bitsPerSample, to = uint64_t(x) * bitsPerSample;
        for (uint32_t b = 0; b < bitsPerSample; ++b) {
            const uint64_t s = from + b, d = to + b;
            if ((row[s >> 3] >> (7 - (s & 7))) & 1) out[d >> 3] |= uint8_t(0x80 >> (d & 7));
        }
    }
}

// Turns rows of the strip buffer into bitmap rows: predictor, byte order, the samples
// kept, then the conversion. Nothing it does reaches past the strip row (RowLength()
// bytes) or the bitmap row.
class TRowConverter {
public:
    TRowConverter(const TRowLayout& layout, uint32_t width, uint32_t bitsPerSample, uint32_t samplesPerPixel,
                  uint32_t predictorStride, bool swap16)
        : FLayout(layout),
          FWidth(width),
          FBitsPerSample(bitsPerSample),
          FSamplesPerPixel(samplesPerPixel),
          FSwap16(swap16)
    {
        FRowLength = (uint64_t(width) * bitsPerSample * samplesPerPixel + 7) / 8;
        FKeptRowLength = layout.Keep ? (uint64_t(width) * layout.Keep * bitsPerSample + 7) / 8 : FRowLength;
        FSampleCount = width * (layout.Keep ? layout.Keep : samplesPerPixel);
        FKept.resize(layout.Keep ? size_t(FKeptRowLength) : 0);
        switch (predictorStride) {
        case 1: FUndoPredictor = UndoDifferencing1; break;
        case 3: FUndoPredictor = UndoDifferencing3; break;
        case 4: FUndoPredictor = UndoDifferencing4; break;
        default: break;
        }
        // The predictor adds bytes one stride apart over stride x (pairs + 1) bytes.
        if (FUndoPredictor != nullptr && FRowLength >= predictorStride)
            FPredictorPairs = uint32_t(std::min<uint64_t>(width - 1, FRowLength / predictorStride - 1));
    }

    uint64_t RowLength() const { return FRowLength; }

    /// True when the predictor or the byte order change the strip row in place.
    bool ChangesSource() const { return FPredictorPairs > 0 || FSwap16; }

    void Convert(uint8_t* source, uint8_t* row, size_t rowBytes)
    {
        if (FPredictorPairs > 0) FUndoPredictor(source, FPredictorPairs);
        if (FSwap16)
            ByteSwap16Array(source, uint32_t(std::min<uint64_t>(uint64_t(FWidth) * FSamplesPerPixel, FRowLength / 2)));
        ConvertUnchanged(source, row, rowBytes);
    }

    /// For rows that need no change in place (ChangesSource() is false).
    void ConvertUnchanged(const uint8_t* source, uint8_t* row, size_t rowBytes)
    {
        const uint8_t* samples = source;
        if (FLayout.Keep) {
            SelectSamples(source, FKept.data(), FWidth, FBitsPerSample, FSamplesPerPixel, FLayout.Keep);
            samples = FKept.data();
        }
        const auto bits = uint8_t(FBitsPerSample);
        switch (FLayout.Conversion) {
        case TRowConversion::Copy:
            std::memcpy(row, samples, size_t(std::min<uint64_t>(FKeptRowLength, rowBytes)));
            break;
        case TRowConversion::Grey16: ConvertGrey16Row(samples, row, bits, FSampleCount); break;
        case TRowConversion::RGB: ConvertRGBRow(samples, row, bits, FSampleCount); break;
        case TRowConversion::RGBA: ConvertRGBARow(samples, row, bits, FSampleCount); break;
        case TRowConversion::CMYK: ConvertCMYKRow(samples, row, bits, FSampleCount); break;
        case TRowConversion::Lab:
            // Always 8-bit samples: rows of smaller samples would be read past their end.
            if (FBitsPerSample >= 8) ConvertLabRow(samples, row, bits, FSampleCount);
            break;
        }
    }

private:
    TRowLayout FLayout;
    uint32_t FWidth, FBitsPerSample, FSamplesPerPixel;
    bool FSwap16;
    uint64_t FRowLength = 0, FKeptRowLength = 0;
    uint32_t FSampleCount = 0;
    std::vector<uint8_t> FKept;
    void (*FUndoPredictor)(void*, uint32_t) = nullptr;
    uint32_t FPredictorPairs = 0;
};

// The strips: where each starts, how many coded bytes it has (none listed: up to the end
// of the file), how many rows it holds (a strip beyond the list takes the last value).
struct TStrips {
    std::vector<uint32_t> Offsets, ByteCounts, RowsPerStrip;
    bool HasByteCounts = false;
};

// Reads the strips into the bitmap's rows, each strip once, from base (the start of the
// TIFF data). Rows that a strip's data cannot fill stay as they are (zero).
void ReadStrips(TStream& stream, int64_t base, int64_t streamSize, const TStrips& strips, TDecoder* decoder,
                TTIFFLZW* lzw, uint64_t expansion, TRowConverter& converter, TBitmap& bitmap)
{
    const uint32_t height = uint32_t(bitmap.Height());
    const uint64_t rowLength = converter.RowLength();
    // Coded strips never hold more bytes together than a few times the file: strips that
    // share their data cannot make the decoder run on without end.
    uint64_t codedBudget = 4 * uint64_t(std::max<int64_t>(streamSize, 0));
    std::vector<uint8_t> group;
    TScratch codedBuffer, stripBuffer;
    const auto convert = [&](uint8_t* source, uint32_t y) {
        converter.Convert(source, bitmap.ScanLine(int(y)), bitmap.Stride());
    };

    uint32_t y = 0;
    for (size_t i = 0; i < strips.Offsets.size() && y < height; ++i) {
        const uint32_t perStrip = i < strips.RowsPerStrip.size() ? strips.RowsPerStrip[i] : strips.RowsPerStrip.back();
        const uint32_t stripRows = std::min(perStrip, height - y);
        if (stripRows == 0) continue;
        const int64_t position = base + int64_t(strips.Offsets[i]);
        const uint64_t available = position < streamSize ? uint64_t(streamSize - position) : 0;

        if (decoder == nullptr) {
            const uint64_t rowsWithData = std::min<uint64_t>(stripRows, (available + rowLength - 1) / rowLength);
            stream.SetPosition(position);
            // Whole rows of a stream in memory are converted where they lie, unless the
            // predictor or the byte order would change them.
            uint64_t done = 0;
            int64_t inMemory = 0;
            if (const uint8_t* memory = converter.ChangesSource() ? nullptr : stream.MemoryAtPosition(inMemory)) {
                done = std::min<uint64_t>(rowsWithData, uint64_t(inMemory) / rowLength);
                for (uint64_t k = 0; k < done; ++k)
                    converter.ConvertUnchanged(memory + k * rowLength, bitmap.ScanLine(int(y + k)), bitmap.Stride());
                stream.Seek(int64_t(done * rowLength), TSeekOrigin::soCurrent);
            }
            // Otherwise groups of rows are read that stay in the cache while they are converted.
            const uint64_t groupRows =
                std::max<uint64_t>(1, std::min<uint64_t>(rowsWithData, kRowGroupBytes / rowLength));
            if (done < rowsWithData && group.size() < groupRows * rowLength) group.resize(size_t(groupRows * rowLength));
            for (; done < rowsWithData; done += groupRows) {
                const uint64_t rows = std::min(groupRows, rowsWithData - done);
                const int64_t want = int64_t(rows * rowLength);
                const int64_t got = std::max<int64_t>(stream.Read(group.data(), want), 0);
                std::memset(group.data() + got, 0, size_t(want - got));
                for (uint64_t k = 0; k < rows; ++k) convert(group.data() + k * rowLength, y + uint32_t(done + k));
            }
            y += stripRows;
            continue;
        }

        // A byte count larger than the file is cut to the file. The strip buffer holds no
        // more rows than the coded bytes can fill.
        uint64_t codedSize = strips.HasByteCounts ? std::min<uint64_t>(strips.ByteCounts[i], available) : available;
        codedSize = std::min({codedSize, codedBudget, uint64_t(INT32_MAX)});
        codedBudget -= codedSize;
        const uint64_t rowsWithData =
            std::min<uint64_t>(stripRows, (codedSize * expansion + rowLength - 1) / rowLength);
        const uint64_t stripSize = rowsWithData * rowLength;
        if (stripSize > uint64_t(INT32_MAX)) throw Exception(Fmt(kImageTooLarge, bitmap.Width(), bitmap.Height()));
        if (rowsWithData > 0) {
            // The coded bytes are decoded where they lie in a stream in memory, else read.
            stream.SetPosition(position);
            int64_t inMemory = 0;
            const uint8_t* coded = stream.MemoryAtPosition(inMemory);
            int64_t got = std::min<int64_t>(inMemory, int64_t(codedSize));
            if (coded == nullptr) {
                uint8_t* const buffer = codedBuffer.Get(codedSize);
                got = codedSize > 0 ? std::max<int64_t>(stream.Read(buffer, int64_t(codedSize)), 0) : 0;
                coded = buffer;
            }
            // What the decoder does not produce reads as zero.
            uint8_t* const strip = stripBuffer.Get(stripSize);
            if (lzw == nullptr) std::memset(strip, 0, size_t(stripSize));
            const uint8_t* source = coded;
            decoder->Decode(source, strip, int32_t(got), int32_t(stripSize));
            if (lzw != nullptr)
                std::memset(strip + lzw->DecodedSize(), 0, size_t(stripSize) - size_t(lzw->DecodedSize()));
            for (uint64_t k = 0; k < rowsWithData; ++k) convert(strip + k * rowLength, y + uint32_t(k));
        }
        y += stripRows;
    }
}

}  // namespace

TTIFFGraphic::TTIFFGraphic()
{
    SetPixelFormat(TPixelFormat::pf24bit);
}

TTIFFGraphic::~TTIFFGraphic() = default;

void TTIFFGraphic::WriteImage(TStream&) {}

void TTIFFGraphic::SwapTagEntries()
{
    for (TTIFFTagEntry& e : FEntries) {
        switch (e.FieldType) {
        case kShort:
        case kSShort: e.ValueOrOffset = e.Count <= 1 ? GetBE16(e.Stored) : GetBE32(e.Stored); break;
        case kLong:
        case kSLong: e.ValueOrOffset = GetBE32(e.Stored); break;
        default: e.ValueOrOffset = 0; break;
        }
    }
}

bool TTIFFGraphic::FindTag(uint16_t Tag, size_t& Index) const
{
    // Binary search: the entries must be in ascending tag order, as TIFF requires.
    bool found = false;
    int64_t low = 0, high = int64_t(FEntries.size()) - 1;
    while (low <= high) {
        const int64_t middle = (low + high) / 2;
        if (FEntries[size_t(middle)].Tag < Tag) {
            low = middle + 1;
        } else {
            high = middle - 1;
            if (FEntries[size_t(middle)].Tag == Tag) {
                found = true;
                Index = size_t(middle);
            }
        }
    }
    return found;
}

bool TTIFFGraphic::HasTag(uint16_t Tag) const
{
    size_t i = 0;
    return FindTag(Tag, i);
}

uint32_t TTIFFGraphic::GetTagValue(uint16_t Tag, uint32_t Default) const
{
    size_t i = 0;
    if (!FindTag(Tag, i)) return Default;
    const TTIFFTagEntry& e = FEntries[i];
    if (e.Count != 1) return e.ValueOrOffset;
    switch (e.FieldType) {
    case kByte: return e.ValueOrOffset & 0xFF;
    case kShort:
    case kSShort: return e.ValueOrOffset & 0xFFFF;
    case kLong:
    case kSLong: return e.ValueOrOffset;
    default: return Default;
    }
}

uint32_t TTIFFGraphic::GetTagCount(uint16_t Tag, uint32_t Default) const
{
    size_t i = 0;
    if (!FindTag(Tag, i)) return Default;
    const TTIFFTagEntry& e = FEntries[i];
    switch (e.FieldType) {
    case kByte: return e.Count & 0xFF;
    case kShort:
    case kSShort: return e.Count & 0xFFFF;
    case kLong:
    case kSLong: return e.Count;
    default: return Default;
    }
}

void TTIFFGraphic::GetTagValues(TStream& Stream, uint16_t Tag, TCardinalArray& Values, uint32_t MaxCount) const
{
    Values.clear();
    size_t i = 0;
    if (!FindTag(Tag, i)) return;
    const TTIFFTagEntry& e = FEntries[i];
    const size_t size = ElementSize(e.FieldType);
    if (size == 0 || e.Count == 0 || MaxCount == 0) return;
    if (e.Count == 1) {
        Values.push_back(GetTagValue(Tag, 0));
        return;
    }
    const bool bigEndian = FByteOrder == kBigEndian;
    // Values that fit in the entry's four bytes are stored there, as TIFF prescribes.
    if (uint64_t(e.Count) * size <= 4) {
        for (uint32_t k = 0; k < e.Count && k < MaxCount; ++k)
            Values.push_back(GetValue(e.Stored + k * size, size, bigEndian));
        return;
    }
    // Only the values the file holds are read; a list cut short by the end of the stream
    // is shorter (callers use its last value for the rest).
    const int64_t position = FBaseOffset + int64_t(e.ValueOrOffset);
    const uint64_t available = position < FStreamSize ? uint64_t(FStreamSize - position) / size : 0;
    const size_t count = size_t(std::min<uint64_t>({e.Count, MaxCount, available}));
    if (count == 0) return;
    std::vector<uint8_t> bytes(count * size);
    Stream.SetPosition(position);
    Stream.ReadBuffer(bytes.data(), int64_t(bytes.size()));
    for (size_t k = 0; k < count; ++k) Values.push_back(GetValue(bytes.data() + k * size, size, bigEndian));
}

void TTIFFGraphic::ReadStripTable(TStream& Stream, uint16_t Tag, uint32_t StripCount, TCardinalArray& Values) const
{
    // Each table is read by its declared type: SHORT or LONG (any other type as 32-bit
    // values), swapped for "MM".
    Values.clear();
    size_t i = 0;
    if (!FindTag(Tag, i)) return;
    const TTIFFTagEntry& e = FEntries[i];
    const size_t size = ElementSize(e.FieldType) != 0 ? ElementSize(e.FieldType) : 4;
    const bool bigEndian = FByteOrder == kBigEndian;
    if (uint64_t(e.Count) * size <= 4) {
        // StripCount is at most 4 here, or was checked against the file with the offsets.
        Values.assign(StripCount, 0);
        for (uint32_t k = 0; k < StripCount && k < 4 / size; ++k)
            Values[k] = GetValue(e.Stored + k * size, size, bigEndian);
        return;
    }
    // The table must lie within the stream (checked before anything is allocated).
    const int64_t position = FBaseOffset + int64_t(e.ValueOrOffset);
    const uint64_t bytes = uint64_t(StripCount) * size;
    if (position > FStreamSize || bytes > uint64_t(FStreamSize - position)) throw Exception(kStreamReadError);
    std::vector<uint8_t> table(bytes);
    Stream.SetPosition(position);
    Stream.ReadBuffer(table.data(), int64_t(bytes));
    Values.resize(StripCount);
    for (uint32_t k = 0; k < StripCount; ++k) Values[k] = GetValue(table.data() + k * size, size, bigEndian);
}

void TTIFFGraphic::ReadColorMap(TStream& Stream, uint32_t Bits)
{
    // 2^b reds, then 2^b greens, then 2^b blues, 16 bits each, from the start of FColorMap.
    const uint32_t values = 3u << Bits;
    Stream.SetPosition(FBaseOffset + int64_t(GetTagValue(kColorMap, 0)));
    uint8_t bytes[2 * 768];
    Stream.ReadBuffer(bytes, 2 * values);
    for (uint32_t k = 0; k < values; ++k)
        FColorMap[k] = FByteOrder == kBigEndian ? GetBE16(bytes + 2 * k) : GetLE16(bytes + 2 * k);
}

void TTIFFGraphic::MakeTIFFPalette(uint32_t Photometric, uint32_t Bits)
{
    TMaxLogPalette logPalette;
    const int count = Bits == 1 ? 2 : Bits == 4 ? 16 : 256;
    logPalette.palNumEntries = uint16_t(count);
    for (int j = 0; j < count; ++j) {
        TPaletteEntry& entry = logPalette.palPalEntry[j];
        uint8_t grey = 0;
        switch (Photometric) {
        case kWhiteIsZero: grey = uint8_t(Bits == 1 ? 255 * (1 - j) : Bits == 4 ? (15 - j) * 16 : 255 - j); break;
        case kPalette:
            // The colour map's three groups of 2^b values each; high bytes.
            if (Bits <= 8 && j < (1 << Bits)) {
                const int n = 1 << Bits;
                entry = {uint8_t(FColorMap[j] >> 8), uint8_t(FColorMap[n + j] >> 8), uint8_t(FColorMap[2 * n + j] >> 8),
                         0};
            }
            continue;
        case kBlackIsZero:
        default:
            // BlackIsZero, and the same ramp for grey images of other photometric values.
            grey = uint8_t(Bits == 1 ? 255 * j : Bits == 4 ? j * 16 : j);
            break;
        }
        entry = {grey, grey, grey, 0};
    }
    if (TPaletteRef palette = CreatePalette(logPalette)) SetPalette(std::move(palette));
}

void TTIFFGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    FEntries.clear();
    FBaseOffset = Stream.Position();
    FStreamSize = Stream.Size();

    uint8_t header[8];
    Stream.ReadBuffer(header, sizeof header);
    FByteOrder = GetLE16(header);
    const bool bigEndian = FByteOrder == kBigEndian;
    const uint16_t version = bigEndian ? GetBE16(header + 2) : GetLE16(header + 2);
    const uint32_t directory = bigEndian ? GetBE32(header + 4) : GetLE32(header + 4);
    if (version != kVersion) throw Exception(kInvalidTiff);

    Stream.SetPosition(FBaseOffset + int64_t(directory));
    uint8_t countBytes[2];
    Stream.ReadBuffer(countBytes, 2);
    const uint16_t entryCount = bigEndian ? GetBE16(countBytes) : GetLE16(countBytes);
    std::vector<uint8_t> raw(size_t(entryCount) * 12);
    Stream.ReadBuffer(raw.data(), int64_t(raw.size()));
    FEntries.resize(entryCount);
    for (size_t k = 0; k < entryCount; ++k) {
        const uint8_t* p = raw.data() + 12 * k;
        TTIFFTagEntry& e = FEntries[k];
        e.Tag = bigEndian ? GetBE16(p) : GetLE16(p);
        e.FieldType = bigEndian ? GetBE16(p + 2) : GetLE16(p + 2);
        e.Count = bigEndian ? GetBE32(p + 4) : GetLE32(p + 4);
        e.ValueOrOffset = GetLE32(p + 8);
        std::memcpy(e.Stored, p + 8, 4);
    }
    if (bigEndian) SwapTagEntries();

    const uint32_t photometric = GetTagValue(kPhotometric, 0) & 0xFF;
    const uint32_t stripCount = GetTagCount(kStripOffsets, 1);
    const uint32_t samplesPerPixel = GetTagValue(kSamplesPerPixel, 1) & 0xFF;
    TCardinalArray values;
    GetTagValues(Stream, kBitsPerSample, values, 1);
    const uint32_t bitsPerSample = values.empty() ? 1 : values[0];
    const uint64_t bitsPerPixel = uint64_t(bitsPerSample) * samplesPerPixel;

    // Strip tables.
    TStrips strips;
    strips.HasByteCounts = HasTag(kStripByteCounts);
    if (stripCount > 1) {
        ReadStripTable(Stream, kStripOffsets, stripCount, strips.Offsets);
        ReadStripTable(Stream, kStripByteCounts, stripCount, strips.ByteCounts);
    } else {
        strips.Offsets = {GetTagValue(kStripOffsets, 0)};
        strips.ByteCounts = {GetTagValue(kStripByteCounts, 0)};
    }

    // Pixel format, row conversion and palette.
    const uint32_t extraSamples = GetTagCount(kExtraSamples, 0);
    const int64_t channels = int64_t(samplesPerPixel) - int64_t(extraSamples);
    const TRowLayout layout = ChooseLayout(channels, photometric, bitsPerSample, samplesPerPixel, extraSamples, *this);
    if (channels == 1) {
        // The palette has 2^b entries for b bits per sample. FColorMap holds three groups
        // of 256: a palette image of more bits cannot be read into it.
        if (photometric == kPalette) {
            if (bitsPerSample > 8) throw Exception(kInvalidTiff);
            ReadColorMap(Stream, bitsPerSample);
        }
        MakeTIFFPalette(photometric, bitsPerSample);
    }

    // Size.
    const uint32_t width = GetTagValue(kImageWidth, 0);
    const uint32_t height = GetTagValue(kImageLength, 0);
    if (width == 0 || height == 0) throw Exception(kInvalidTiff);
    TBitmap::CheckSize(width, height);
    SetWidth(int(width));
    SetHeight(int(height));

    // One strip takes every row. Several strips without RowsPerStrip share the rows out
    // evenly.
    if (stripCount == 1)
        strips.RowsPerStrip = {height};
    else
        GetTagValues(Stream, kRowsPerStrip, strips.RowsPerStrip, stripCount);
    if (strips.RowsPerStrip.empty() && stripCount > 0)
        strips.RowsPerStrip = {uint32_t((uint64_t(height) + stripCount - 1) / stripCount)};

    uint32_t predictorStride = 0;
    if (GetTagValue(kPredictor, 0) == 2)
        predictorStride = samplesPerPixel == 3 || samplesPerPixel == 4 ? samplesPerPixel : 1;

    std::unique_ptr<TDecoder> decoder;
    TTIFFLZW* lzw = nullptr;  // the decoder when it is LZW, which tells how much it wrote
    uint64_t expansion = 0;
    switch (GetTagValue(kCompression, 0) & 0xFFFF) {
    case kNoCompression: break;
    case kLZW:
        decoder = std::make_unique<TTIFFLZW>();
        lzw = static_cast<TTIFFLZW*>(decoder.get());
        expansion = kLZWExpansion;
        break;
    case kPackBits:
        decoder = std::make_unique<TPackbitsRLE>();
        expansion = kPackBitsExpansion;
        break;
    default: throw Exception(kUnknownCompression);
    }

    // Without StripOffsets (a tiled file) there is no strip to read; rows of no bits, or
    // of more bits per pixel than any image uses, cannot be laid out.
    if (!HasTag(kStripOffsets) || stripCount == 0) throw Exception(kInvalidTiff);
    if (bitsPerPixel == 0 || bitsPerPixel > 255) throw Exception(kInvalidTiff);
    // The conversions take the sample count of a row as a 32-bit value.
    if (uint64_t(width) * samplesPerPixel > UINT32_MAX) throw Exception(Fmt(kImageTooLarge, int(width), int(height)));

    TRowConverter converter(layout, width, bitsPerSample, samplesPerPixel, predictorStride,
                            bigEndian && bitsPerSample == 16);
    ReadStrips(Stream, FBaseOffset, FStreamSize, strips, decoder.get(), lzw, expansion, converter, *this);
}

}  // namespace quillet
