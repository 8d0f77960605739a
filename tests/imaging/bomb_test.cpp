// Decompression bombs: tiny files that claim huge pictures, and coded data that would
// expand far beyond its file and its picture. Each is loaded by extension through the
// picture, as an upload is, in a child process with little address space and processor
// time: the load must end with the pixel limit's or the reader's own message, or with a
// picture of the size it claims, never with an abort, bad_alloc or a run out of time.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/jpeg.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/bounded_child.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/lzw_coder.h"

namespace quillet::test {
namespace {

// A load gets this much address space (without AddressSanitizer) and processor time.
constexpr long kAddressSpaceMiB = 512;
constexpr int kCpuSeconds = kAddressSanitizer ? 30 : 5;

struct TBomb {
    const char* Name;
    const char* Extension;
    Bytes File;
    std::string Want;  ///< "error: " + the message, or "loaded W x H"
};

// The load an upload gets: the picture by extension, then the bitmap that the thumbnail
// is made from (which decodes a JPEG).
std::string LoadAsUpload(const std::string& path)
{
    TPicture picture;
    picture.Load(path);
    TBitmap& bitmap = picture.ConvertToBitmap();
    return Fmt("loaded %d x %d", bitmap.Width(), bitmap.Height());
}

TChildResult LoadInChild(const TBomb& bomb)
{
    static const bool registered = (RegisterImageFormats(), true);
    (void)registered;
    TempDir dir;
    const std::string path = dir / (std::string("bomb.") + bomb.Extension);
    WriteFile(path, bomb.File);
    return RunBounded([&] { return LoadAsUpload(path); }, kAddressSpaceMiB, kCpuSeconds);
}

std::string TooLarge(int64_t w, int64_t h) { return "error: " + Fmt(kImageTooLarge, int(w), int(h)); }
std::string Loaded(int w, int h) { return Fmt("loaded %d x %d", w, h); }

// --- Files built in code -----------------------------------------------------

Bytes Gif(int screenWidth, int screenHeight, int width, int height, const Bytes& codes, unsigned minCodeSize = 8)
{
    Bytes out;
    out.str("GIF89a").le16(unsigned(screenWidth)).le16(unsigned(screenHeight)).u8(0).u8(0).u8(0);
    out.u8(',').le16(0).le16(0).le16(unsigned(width)).le16(unsigned(height)).u8(0).u8(minCodeSize);
    for (size_t at = 0; at < codes.size(); at += 255) {
        const size_t n = std::min<size_t>(255, codes.size() - at);
        out.u8(unsigned(n)).insert(out.end(), codes.begin() + std::ptrdiff_t(at), codes.begin() + std::ptrdiff_t(at + n));
    }
    return out.u8(0).u8(';');
}

// LZW codes of one long run of zeros: every code adds the string one zero longer than the
// last, until the table is full (no clear code is sent), and then the longest string, 3839
// zeros, repeats times. A few kilobytes that expand to millions of bytes.
std::vector<TCode> ZeroRunCodes(bool tiff, size_t repeats)
{
    std::vector<TCode> codes{{256, 9}, {0, 9}};
    unsigned width = 9;
    for (uint32_t code = 258; code < 4096; ++code) {
        codes.push_back({code, width});
        // GIF widens after the code 2^w - 1 is added, TIFF one code early.
        const uint32_t last = tiff ? (1u << width) - 2 : (1u << width) - 1;
        if (code == last && width < 12) ++width;
    }
    codes.insert(codes.end(), repeats, TCode{4095, 12});
    codes.push_back({257, 12});
    return codes;
}

// A little-endian TIFF: its directory of SHORT and LONG values that fit their entries,
// then data at offset 8 + directory.
struct TIfdEntry {
    uint16_t Tag;
    uint16_t Type;  // 3 SHORT, 4 LONG
    uint32_t Count;
    uint32_t Value;
    bool AtData = false;  ///< the value is the data's offset
};

Bytes Tiff(std::vector<TIfdEntry> entries, const Bytes& data)
{
    Bytes out;
    out.str("II").le16(42).le32(8).le16(unsigned(entries.size()));
    const uint32_t dataAt = uint32_t(8 + 2 + 12 * entries.size() + 4);
    for (const TIfdEntry& e : entries) {
        const uint32_t value = e.AtData ? dataAt : e.Value;
        out.le16(e.Tag).le16(e.Type).le32(e.Count);
        if (e.Type == 3) out.le16(value).le16(0);
        else out.le32(value);
    }
    return out.le32(0).bytes(data);
}

// A one-strip TIFF, grey 8-bit unless told otherwise; the strip is the data.
Bytes TiffStrip(uint32_t width, uint32_t height, uint32_t compression, const Bytes& data,
                uint32_t byteCount = 0, uint32_t samples = 1, uint32_t rowsPerStrip = 0)
{
    std::vector<TIfdEntry> entries = {
        {256, 4, 1, width},
        {257, 4, 1, height},
        {258, 3, 1, 8},
        {259, 3, 1, compression},
        {262, 3, 1, samples == 3 ? 2u : 1u},
        {273, 4, 1, 0, true},
        {277, 3, 1, samples},
        {278, 4, 1, rowsPerStrip != 0 ? rowsPerStrip : height},
        {279, 4, 1, byteCount != 0 ? byteCount : uint32_t(data.size())},
    };
    return Tiff(entries, data);
}

Bytes Psd(uint32_t width, uint32_t height, uint16_t channels, uint16_t mode, uint16_t compression, const Bytes& data)
{
    Bytes out;
    out.str("8BPS").be16(1).fill(6, 0).be16(channels).be32(height).be32(width).be16(8).be16(mode);
    return out.be32(0).be32(0).be32(0).be16(compression).bytes(data);
}

Bytes SgiHeader(unsigned width, unsigned height, unsigned channels, bool runLength)
{
    Bytes out;
    out.be16(474).u8(runLength ? 1 : 0).u8(1).be16(channels == 1 ? 2 : 3).be16(width).be16(height).be16(channels);
    out.be32(0).be32(255);
    out.fill(512 - out.size(), 0);
    return out;
}

// Every row of a run-length SGI image points at the same coded row.
Bytes SgiSharedRow(unsigned width, unsigned height, const Bytes& row)
{
    Bytes out = SgiHeader(width, height, 1, true);
    const uint32_t at = uint32_t(512 + 8 * height);
    for (unsigned y = 0; y < height; ++y) out.be32(at);
    for (unsigned y = 0; y < height; ++y) out.be32(uint32_t(row.size()));
    return out.bytes(row);
}

Bytes TargaHeader(unsigned type, unsigned width, unsigned height, unsigned bits)
{
    return Bytes{}.u8(0).u8(0).u8(type).le16(0).le16(0).u8(0).le16(0).le16(0).le16(width).le16(height).u8(bits).u8(0x20);
}

Bytes PcxHeader(unsigned encoding, unsigned xMax, unsigned yMax, unsigned planes, unsigned bytesPerLine)
{
    Bytes out;
    out.u8(10).u8(5).u8(encoding).u8(8).le16(0).le16(0).le16(xMax).le16(yMax).le16(72).le16(72).fill(48, 0);
    out.u8(0).u8(planes).le16(bytesPerLine).le16(1);
    out.fill(128 - out.size(), 0);
    return out;
}

Bytes BmpHeader(int32_t width, int32_t height, unsigned bits, unsigned compression)
{
    Bytes out;
    const unsigned colours = bits <= 8 ? 1u << bits : 0;
    out.str("BM").le32(0).le32(0).le32(14 + 40 + 4 * colours);
    out.le32(40).le32(uint32_t(width)).le32(uint32_t(height)).le16(1).le16(bits).le32(compression);
    out.le32(0).le32(2835).le32(2835).le32(colours).le32(0);
    for (unsigned i = 0; i < colours; ++i) out.u8(i).u8(i).u8(i).u8(0);
    return out;
}

Bytes RlaHeader(int left, int right, int bottom, int top, int colourChannels, int matteChannels)
{
    Bytes out;
    for (int k = 0; k < 2; ++k)
        out.be16(uint16_t(left)).be16(uint16_t(right)).be16(uint16_t(bottom)).be16(uint16_t(top));
    out.be16(0).be16(0).be16(uint16_t(colourChannels)).be16(uint16_t(matteChannels)).be16(0).be16(0xFFFE);
    out.fill(658 - out.size(), 0);
    out.be16(8).be16(0).be16(8);
    out.fill(740 - out.size(), 0);
    return out;
}

// Every row of an RLA image points at the same coded row of three channels.
Bytes RlaSharedRow(int width, int height, const Bytes& channel)
{
    Bytes out = RlaHeader(0, width - 1, 0, height - 1, 3, 0);
    const uint32_t at = uint32_t(740 + 4 * height);
    for (int y = 0; y < height; ++y) out.be32(at);
    for (int c = 0; c < 3; ++c) out.be16(unsigned(channel.size())).bytes(channel);
    return out;
}

Bytes Autodesk(unsigned width, unsigned height)
{
    Bytes out;
    out.le16(0x9119).le16(width).le16(height).le16(0).le16(0).u8(8).u8(0);
    out.fill(32 - out.size(), 0);
    return out;
}

Bytes Repeat(const Bytes& unit, size_t times)
{
    Bytes out;
    for (size_t i = 0; i < times; ++i) out.bytes(unit);
    return out;
}

// A small JPEG from libjpeg itself: baseline or progressive, 16 x 16 grey-blue pixels.
Bytes SmallJpeg(bool progressive)
{
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = 16;
    info.image_height = 16;
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    if (progressive) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(16 * 3, 0x60);
    while (info.next_scanline < info.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&info, &r, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes out(std::vector<uint8_t>(buffer, buffer + size));
    std::free(buffer);
    return out;
}

// The JPEG with the size in its frame header replaced.
Bytes ResizedJpeg(Bytes jpeg, unsigned width, unsigned height)
{
    for (size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = uint8_t(height >> 8);
            jpeg[i + 6] = uint8_t(height);
            jpeg[i + 7] = uint8_t(width >> 8);
            jpeg[i + 8] = uint8_t(width);
            return jpeg;
        }
    ADD_FAILURE() << "no frame header";
    return jpeg;
}

// A JPEG whose entropy-coded data is cut off right after its first scan header.
Bytes JpegWithoutData(Bytes jpeg, unsigned width, unsigned height)
{
    jpeg = ResizedJpeg(std::move(jpeg), width, height);
    for (size_t i = 2; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            jpeg.resize(i + 2 + ((size_t(jpeg[i + 2]) << 8) | jpeg[i + 3]));
            return jpeg;
        }
    ADD_FAILURE() << "no scan header";
    return jpeg;
}

// --- Huge sizes ----------------------------------------------------------------

std::vector<TBomb> HugeSizes()
{
    const Bytes noCodes{0x00};
    return {
        {"GIF screen 60000 x 60000, image of the screen's size", "gif", Gif(60000, 60000, 0, 0, noCodes),
         TooLarge(60000, 60000)},
        {"GIF image 65535 x 65535", "gif", Gif(1, 1, 65535, 65535, noCodes), TooLarge(65535, 65535)},
        {"TIFF 60000 x 60000", "tif", TiffStrip(60000, 60000, 1, Bytes{0}), TooLarge(60000, 60000)},
        {"TIFF 2^31-1 x 1", "tif", TiffStrip(INT32_MAX, 1, 1, Bytes{0}), TooLarge(INT32_MAX, 1)},
        {"TIFF 1 x 2^31-1", "tif", TiffStrip(1, INT32_MAX, 1, Bytes{0}), TooLarge(1, INT32_MAX)},
        {"TIFF 2^32-1 x 1", "tif", TiffStrip(UINT32_MAX, 1, 1, Bytes{0}),
         "error: " + Fmt(kInvalidImageSize, INT32_MAX, 1)},
        {"TIFF RGB 2^31-1 x 1", "tif", TiffStrip(INT32_MAX, 1, 1, Bytes{0}, 0, 3), TooLarge(INT32_MAX, 1)},
        {"PSD 60000 x 60000", "psd", Psd(60000, 60000, 3, 3, 0, Bytes{}), TooLarge(60000, 60000)},
        {"PSD 2^31-1 x 1", "psd", Psd(INT32_MAX, 1, 3, 3, 0, Bytes{}), TooLarge(INT32_MAX, 1)},
        {"PSD 1 x 2^31-1", "psd", Psd(1, INT32_MAX, 1, 1, 1, Bytes{}), TooLarge(1, INT32_MAX)},
        {"PSD 2^32-1 x 2^32-1", "psd", Psd(UINT32_MAX, UINT32_MAX, 3, 3, 1, Bytes{}),
         "error: " + Fmt(kInvalidImageSize, INT32_MAX, INT32_MAX)},
        {"SGI 65535 x 65535, raw", "sgi", SgiHeader(65535, 65535, 3, false), TooLarge(65535, 65535)},
        {"SGI 65535 x 65535, run-length", "rgb", SgiHeader(65535, 65535, 4, true), TooLarge(65535, 65535)},
        {"Targa 65535 x 65535, raw", "tga", TargaHeader(2, 65535, 65535, 24),
         "error: Targa: invalid image"},
        {"Targa 65535 x 65535, run-length", "tga", TargaHeader(10, 65535, 65535, 32), TooLarge(65535, 65535)},
        {"PCX 65536 x 65536", "pcx", PcxHeader(1, 65535, 65535, 3, 65535), TooLarge(65536, 65536)},
        {"PCX 65536 x 1, raw", "pcc", PcxHeader(0, 65535, 0, 1, 65535), Loaded(65536, 1)},
        {"PBM text 60000 x 60000", "pbm", Bytes{}.str("P1\n60000 60000\n"), TooLarge(60000, 60000)},
        {"PGM text 60000 x 60000", "pgm", Bytes{}.str("P2\n60000 60000\n255\n"), TooLarge(60000, 60000)},
        {"PPM text 60000 x 60000", "ppm", Bytes{}.str("P3\n60000 60000\n255\n"), TooLarge(60000, 60000)},
        {"PBM 60000 x 60000", "pbm", Bytes{}.str("P4\n60000 60000\n"), TooLarge(60000, 60000)},
        {"PGM 2^31-1 x 1", "pgm", Bytes{}.str("P5\n2147483647 1\n255\n"), TooLarge(INT32_MAX, 1)},
        {"PGM 1 x 2^31-1", "pgm", Bytes{}.str("P5\n1 2147483647\n255\n"), TooLarge(1, INT32_MAX)},
        {"PPM 60000 x 60000", "ppm", Bytes{}.str("P6\n60000 60000\n255\n"), TooLarge(60000, 60000)},
        {"PPM width beyond 32 bits", "ppm", Bytes{}.str("P6\n99999999999 1\n255\n"), TooLarge(INT32_MAX, 1)},
        {"BMP 60000 x 60000", "bmp", BmpHeader(60000, 60000, 24, 0), TooLarge(60000, 60000)},
        {"BMP 2^31-1 x 1", "bmp", BmpHeader(INT32_MAX, 1, 24, 0), TooLarge(INT32_MAX, 1)},
        {"BMP 1 x 2^31-1, RLE8", "dib", BmpHeader(1, INT32_MAX, 8, 1), TooLarge(1, INT32_MAX)},
        {"BMP top-down 1 x 2^31", "bmp", BmpHeader(1, INT32_MIN, 24, 0), "error: " + Fmt(kInvalidImageSize, 1, INT32_MAX)},
        {"BMP width -2^31", "rle", BmpHeader(INT32_MIN, 1, 8, 1), "error: Bitmap image is not valid"},
        {"RLA window 65536 x 65536", "rla", RlaHeader(-32768, 32767, -32768, 32767, 3, 0), TooLarge(65536, 65536)},
        {"RPF window 65536 x 1 with matte", "rpf", RlaHeader(-32768, 32767, 0, 0, 3, 1), "error: Stream read error"},
        {"CUT 65535 x 65535", "cut", Bytes{}.le16(65535).le16(65535).le16(0), TooLarge(65535, 65535)},
        {"PIC 65535 x 65535", "pic", Autodesk(65535, 65535), TooLarge(65535, 65535)},
        {"CEL 65535 x 1", "cel", Autodesk(65535, 1), Loaded(65535, 1)},
        {"JPEG 65500 x 65500", "jpg", ResizedJpeg(SmallJpeg(false), 65500, 65500), TooLarge(65500, 65500)},
        {"progressive JPEG 65500 x 65500", "jpeg", ResizedJpeg(SmallJpeg(true), 65500, 65500),
         TooLarge(65500, 65500)},
        {"ICO image claiming 4 GiB", "ico",
         Bytes{}.le16(0).le16(1).le16(1).u8(0).u8(0).u8(0).u8(0).le16(1).le16(32).le32(0xFFFFFFFF).le32(22).le32(40),
         "error: Icon image is not valid"},
        {"ICO claiming 65535 images", "ico", Bytes{}.le16(0).le16(1).le16(65535).fill(16, 0),
         "error: Icon image is not valid"},
        {"EMF claiming 4 GiB", "emf",
         Bytes{}.le32(1).le32(88).fill(32, 0).le32(0x464D4520).le32(0x10000).le32(0xFFFFFFFF).fill(36, 0),
         "error: Metafile is not valid"},
    };
}

TEST(DecompressionBomb, HugeClaimedSizesEndWithTheirMessage)
{
    for (const TBomb& bomb : HugeSizes()) {
        SCOPED_TRACE(bomb.Name);
        const TChildResult r = LoadInChild(bomb);
        EXPECT_TRUE(r.Exited) << "signal " << r.Signal;
        EXPECT_EQ(r.ExitCode, 0);
        EXPECT_EQ(r.Report, bomb.Want);
    }
}

// --- Coded data that expands far beyond the file --------------------------------

std::vector<TBomb> ExpandingStreams()
{
    // Each file is a few kilobytes; its coded data would give millions of bytes, far more
    // than its picture holds, and must stop where the picture (or its row) ends.
    const Bytes gifCodes = PackLsbFirst(ZeroRunCodes(false, 20000));
    const Bytes tiffCodes = PackMsbFirst(ZeroRunCodes(true, 20000));
    const Bytes packBitsRuns = Repeat(Bytes{0x81, 0x07}, 16384);  // 128 bytes from 2
    const Bytes pcxRuns = Repeat(Bytes{0xFF, 0x07}, 16384);       // 63 bytes from 2
    const Bytes targaRuns = Repeat(Bytes{0xFF, 1, 2, 3}, 16000);  // 128 pixels from 4
    Bytes sgiRow = Repeat(Bytes{0x7F, 0x07}, 512);                // 127 samples from 2
    sgiRow.u8(0);
    const Bytes rlaChannel = Repeat(Bytes{0x7F, 0x07}, 512);      // 128 bytes from 2
    const Bytes cutLine = Bytes{}.le16(0xFFFF).bytes(Repeat(Bytes{0xFF, 0x07}, 16384));
    const Bytes bmpRuns = Repeat(Bytes{0xFF, 0x07}, 16384);       // 255 pixels from 2

    Bytes psdRows;
    for (int y = 0; y < 512; ++y) psdRows.be16(64);
    for (int y = 0; y < 512; ++y) psdRows.bytes(Repeat(Bytes{0x81, 0x07}, 32));

    return {
        {"GIF LZW without a clear code", "gif", Gif(1024, 1024, 1024, 1024, gifCodes), Loaded(1024, 1024)},
        {"interlaced GIF LZW", "gif",
         [&] {
             Bytes f = Gif(1000, 1000, 1000, 1000, gifCodes);
             f[6 + 7 + 9] = 0x40;  // the image descriptor's flags
             return f;
         }(),
         Loaded(1000, 1000)},
        {"TIFF LZW without a clear code", "tif", TiffStrip(1024, 1024, 5, tiffCodes), Loaded(1024, 1024)},
        {"TIFF LZW, RGB, rows of a strip beyond the picture", "tiff",
         TiffStrip(1000, 1000, 5, tiffCodes, 0, 3, 60000), Loaded(1000, 1000)},
        {"TIFF PackBits", "tif", TiffStrip(512, 512, 32773, packBitsRuns), Loaded(512, 512)},
        {"TIFF strip byte count of 4 GiB", "tif", TiffStrip(512, 512, 32773, packBitsRuns, 0xFFFFFFFF),
         Loaded(512, 512)},
        {"TIFF raw strip byte count of 4 GiB", "tif", TiffStrip(512, 512, 1, Bytes{1, 2, 3}, 0xFFFFFFFF),
         Loaded(512, 512)},
        {"TIFF rows per strip of 2^32-1", "tif", TiffStrip(512, 512, 32773, packBitsRuns, 0, 1, 0xFFFFFFFF),
         Loaded(512, 512)},
        {"PSD PackBits rows", "psd", Psd(512, 512, 1, 1, 1, psdRows), Loaded(512, 512)},
        {"SGI run-length rows", "sgi", SgiSharedRow(256, 256, sgiRow), Loaded(256, 256)},
        {"Targa run-length packets", "tga", TargaHeader(10, 256, 256, 24).bytes(targaRuns), Loaded(256, 256)},
        {"PCX run-length bytes", "pcx", PcxHeader(1, 255, 255, 1, 256).bytes(pcxRuns), Loaded(256, 256)},
        {"RLA channel runs", "rla", RlaSharedRow(256, 256, rlaChannel), Loaded(256, 256)},
        {"CUT runs in one line", "cut", Bytes{}.le16(256).le16(256).le16(0).bytes(cutLine), Loaded(256, 256)},
        // Runs that leave their row make a bitmap file invalid.
        {"BMP RLE8 runs past the row's end", "bmp", BmpHeader(256, 256, 8, 1).bytes(bmpRuns),
         "error: Bitmap image is not valid"},
    };
}

TEST(DecompressionBomb, CodedDataStopsAtThePicture)
{
    for (const TBomb& bomb : ExpandingStreams()) {
        SCOPED_TRACE(bomb.Name);
        ASSERT_LT(bomb.File.size(), 64u * 1024);
        const TChildResult r = LoadInChild(bomb);
        EXPECT_TRUE(r.Exited) << "signal " << r.Signal;
        EXPECT_EQ(r.ExitCode, 0);
        EXPECT_EQ(r.Report, bomb.Want);
    }
}

// --- Sizes within the limit, pixel data missing ------------------------------------

std::vector<TBomb> MissingPixelData()
{
    constexpr unsigned kSide = 10000;  // 10^8 pixels: right at the default limit
    const Bytes noData{0x00};
    return {
        {"GIF", "gif", Gif(kSide, kSide, kSide, kSide, noData), Loaded(kSide, kSide)},
        {"TIFF raw", "tif", TiffStrip(kSide, kSide, 1, Bytes{1, 2, 3, 4}, 0, 3), Loaded(kSide, kSide)},
        {"TIFF LZW", "tif", TiffStrip(kSide, kSide, 5, Bytes{0x80}), Loaded(kSide, kSide)},
        {"PSD raw RGB", "psd", Psd(kSide, kSide, 3, 3, 0, Bytes{1, 2, 3}), "error: Stream read error"},
        {"PSD PackBits grey", "psd", Psd(kSide, kSide, 1, 1, 1, Bytes{0, 1}), "error: Stream read error"},
        {"SGI raw RGB", "sgi", SgiHeader(kSide, kSide, 3, false), Loaded(kSide, kSide)},
        {"SGI run-length grey", "bw", SgiHeader(kSide, kSide, 1, true), Loaded(kSide, kSide)},
        {"Targa raw", "tga", TargaHeader(2, kSide, kSide, 24).bytes(noData), "error: Targa: invalid image"},
        {"Targa run-length", "tga", TargaHeader(10, kSide, kSide, 24).bytes(noData), Loaded(kSide, kSide)},
        {"PCX raw", "pcx", PcxHeader(0, kSide - 1, kSide - 1, 3, kSide).bytes(noData), Loaded(kSide, kSide)},
        {"PCX run-length", "pcx", PcxHeader(1, kSide - 1, kSide - 1, 1, kSide).bytes(noData), Loaded(kSide, kSide)},
        {"PBM text", "pbm", Bytes{}.str("P1\n10000 10000\n1 0"), "error: PPM: Stream read error."},
        {"PGM text", "pgm", Bytes{}.str("P2\n10000 10000\n255\n7"), "error: PPM: Stream read error."},
        {"PPM text", "ppm", Bytes{}.str("P3\n10000 10000\n255\n1 2 3"), "error: PPM: Stream read error."},
        {"PBM", "pbm", Bytes{}.str("P4\n10000 10000\n\x01"), "error: PPM: Stream read error."},
        {"PGM", "pgm", Bytes{}.str("P5\n10000 10000\n255\n\x01"), "error: PPM: Stream read error."},
        {"PPM", "ppm", Bytes{}.str("P6\n10000 10000\n255\n\x01\x02\x03"), "error: PPM: Stream read error."},
        {"BMP raw", "bmp", BmpHeader(kSide, kSide, 24, 0).bytes(noData), "error: Stream read error"},
        {"BMP RLE8", "bmp", BmpHeader(kSide, kSide, 8, 1).bytes(noData), Loaded(kSide, kSide)},
        {"RLA", "rla", RlaHeader(0, kSide - 1, 0, kSide - 1, 3, 0), "error: Stream read error"},
        {"CUT", "cut", Bytes{}.le16(kSide).le16(kSide).le16(0).bytes(noData), Loaded(kSide, kSide)},
        {"PIC", "pic", Autodesk(kSide, kSide), Loaded(kSide, kSide)},
        {"PCD", "pcd", Bytes{}.fill(2048, 0).str("PCD_IPI"), "error: Stream read error"},
        {"JPEG", "jpg", JpegWithoutData(SmallJpeg(false), kSide, kSide), Loaded(kSide, kSide)},
        // A progressive JPEG keeps every coefficient of the picture besides its pixels, as
        // much again as the 24-bit bitmap: 10000 x 10000 does not fit the child's address
        // space with both.
        {"progressive JPEG", "jpg", JpegWithoutData(SmallJpeg(true), 7000, 7000), Loaded(7000, 7000)},
    };
}

TEST(DecompressionBomb, MissingPixelDataEndsFastWithinTheLimit)
{
    for (const TBomb& bomb : MissingPixelData()) {
        SCOPED_TRACE(bomb.Name);
        ASSERT_LT(bomb.File.size(), 4096u);
        const TChildResult r = LoadInChild(bomb);
        EXPECT_TRUE(r.Exited) << "signal " << r.Signal;
        EXPECT_EQ(r.ExitCode, 0);
        EXPECT_EQ(r.Report, bomb.Want);
        std::printf("  %-22s %-34s %7ld KiB peak, %.2f s\n", bomb.Name, r.Report.c_str(), r.MaxRssKiB, r.CpuSeconds);
    }
}

}  // namespace
}  // namespace quillet::test
