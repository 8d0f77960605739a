// Hostile input through the whole road of an upload: every corpus file (the hostile ones
// and the valid ones) and valid fixtures built in code, each cut short at many points and
// with bytes changed at fixed seeds, is loaded through the picture by its extension and
// then used as the pipeline uses it: saved by its own writer, copied into a bitmap, made
// 24-bit, resampled to a thumbnail and written as a JPEG. Each step must succeed or raise
// the general exception with one of the messages the code base defines; a crash, a hang,
// a leak or a sanitizer report fails the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/ImageFormats.h"
#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/jpeg.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/bmp.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/gif_writer.h"
#include "tests/support/psd_writer.h"
#include "tests/support/rla_writer.h"
#include "tests/support/sgi_writer.h"
#include "tests/support/tiff_builder.h"

namespace quillet::test {
namespace {

// --- The messages the code base defines ------------------------------------------

// Every `constexpr char kName[] = "text";` of the platform, codecs and imaging sources.
std::vector<std::string> DefinedMessages()
{
    static const std::string kOpen = "constexpr char k";
    std::vector<std::string> messages;
    for (const char* folder : {"platform", "codecs", "imaging", "imaging/readers"}) {
        const std::filesystem::path dir = std::filesystem::path(QUILLET_SOURCE_DIR) / folder;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            const std::string ext = entry.path().extension().string();
            if (ext != ".h" && ext != ".cpp") continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            const std::string source = text.str();
            for (size_t at = source.find(kOpen); at != std::string::npos; at = source.find(kOpen, at + 1)) {
                const size_t open = source.find("[] = \"", at);
                const size_t line = source.find('\n', at);
                if (open == std::string::npos || open > line) continue;
                std::string message;
                for (size_t i = open + 6; i < source.size() && source[i] != '"'; ++i) {
                    if (source[i] == '\\' && i + 1 < source.size()) ++i;  // an escaped character
                    message += source[i];
                }
                messages.push_back(message);
            }
        }
    }
    return messages;
}

// Whether text is message with each %d standing for a number and each %s for any text.
bool Matches(const char* text, const char* message)
{
    for (; *message != '\0'; ++message) {
        if (message[0] == '%' && message[1] == 'd') {
            if (*text == '-') ++text;
            if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
            while (std::isdigit(static_cast<unsigned char>(*text))) ++text;
            ++message;
        } else if (message[0] == '%' && message[1] == 's') {
            for (const char* from = text;; ++from) {
                if (Matches(from, message + 2)) return true;
                if (*from == '\0') return false;
            }
        } else if (*text++ != *message) {
            return false;
        }
    }
    return *text == '\0';
}

bool IsDefinedMessage(const std::string& message)
{
    static const std::vector<std::string> messages = DefinedMessages();
    return std::any_of(messages.begin(), messages.end(),
                       [&](const std::string& m) { return Matches(message.c_str(), m.c_str()); });
}

TEST(HostileInput, TheMessageSetHoldsTheSystemsMessages)
{
    for (const char* message : {"Stream read error", "Not a valid GIF file.", "GIF LZW: invalid opcode.",
                                "Image too large: 60000 x 60000 pixels", "Invalid image size: -1 x 5",
                                "'x' is not a valid integer value", "JPEG error #54", "Targa: invalid image",
                                "Cannot assign a TMetafile to a TBitmap", "PPM: Stream read error."})
        EXPECT_TRUE(IsDefinedMessage(message)) << message;
    for (const char* message : {"", "std::bad_alloc", "Stream read errors", "Image too large: x x 5 pixels",
                                "vector::_M_default_append"})
        EXPECT_FALSE(IsDefinedMessage(message)) << message;
}

// --- One file through the road of an upload ---------------------------------------------

// A step that raised the general exception: its message must be one of the system's.
#define QUILLET_STEP(what, step)                                                             \
    try {                                                                                    \
        step;                                                                                \
    } catch (const Exception& e) {                                                           \
        if (!IsDefinedMessage(e.Message())) ADD_FAILURE() << what << ": \"" << e.Message() << "\""; \
        return false;                                                                        \
    }

// Loads path by its extension and uses the picture as the pipeline does; true when every
// step succeeded. Exceptions other than Exception leave this function and fail the test.
bool UseAsUpload(const std::string& path)
{
    TPicture picture;
    QUILLET_STEP("load", picture.Load(path));
    TGraphic& graphic = *picture.Graphic();
    {
        // A picture that is not scaled is saved through its own writer.
        TMemoryStream saved;
        QUILLET_STEP("own writer", graphic.WriteImage(saved));
    }
    TBitmap source;
    QUILLET_STEP("copy", source.CopyFrom(graphic));
    QUILLET_STEP("24 bits", source.SetPixelFormat(TPixelFormat::pf24bit));
    TBitmap thumbnail;
    QUILLET_STEP("resample", ResampleBitmap(160, 120, fkBox, 0.0f, source, thumbnail));
    TJPEGImage jpeg;
    TMemoryStream written;
    QUILLET_STEP("JPEG", {
        jpeg.CopyFrom(thumbnail);
        jpeg.WriteImage(written);
    });
    return true;
}

// The extension that picks the reader: the file's own, or the one its kind is bound to.
std::string ReaderExtension(const std::string& path)
{
    std::string ext = TPicture::FileExtension(path);
    if (ext == "pnm") ext = "ppm";
    return ext;
}

// The variants of a file: cut short at every length for small files, else at the first 64
// lengths and 64 spread evenly; and with bytes changed at four fixed seeds, half of them in
// the first 128 bytes where the headers are.
std::vector<std::vector<uint8_t>> Variants(const std::vector<uint8_t>& file)
{
    std::vector<std::vector<uint8_t>> out;
    const size_t size = file.size();
    std::vector<size_t> cuts;
    if (size <= 256) {
        for (size_t n = 0; n < size; ++n) cuts.push_back(n);
    } else {
        for (size_t n = 0; n < 64; ++n) cuts.push_back(n);
        for (size_t k = 1; k <= 64; ++k) cuts.push_back(size * k / 65);
    }
    for (size_t n : cuts) out.emplace_back(file.begin(), file.begin() + std::ptrdiff_t(n));
    if (size == 0) return out;
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        std::mt19937 random(seed);
        std::vector<uint8_t> changed = file;
        const size_t count = std::clamp<size_t>(size / 512, 2, 16);
        for (size_t i = 0; i < count; ++i) {
            const size_t span = i % 2 == 0 ? std::min<size_t>(size, 128) : size;
            const size_t at = random() % span;
            changed[at] = uint8_t(changed[at] ^ (1 + random() % 255));
        }
        out.push_back(std::move(changed));
    }
    return out;
}

struct TRunFigures {
    size_t Loads = 0;
    size_t Whole = 0;  ///< variants that went through every step
};

void RunVariants(const TempDir& dir, const std::string& name, const std::vector<uint8_t>& file, TRunFigures& figures)
{
    const std::string path = dir / ("input." + ReaderExtension(name));
    for (const std::vector<uint8_t>& variant : Variants(file)) {
        // A new file each time: truncating one that was just written makes the file system
        // flush it to disk first.
        std::filesystem::remove(path);
        WriteFile(path, variant);
        ++figures.Loads;
        if (UseAsUpload(path)) ++figures.Whole;
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << name << ", a variant of " << variant.size() << " bytes";
            return;
        }
    }
}

void RegisterOnce()
{
    static const bool registered = (RegisterImageFormats(), true);
    (void)registered;
}

// Pictures of up to 4 megapixels, as in the fuzzers: a picture that a changed byte makes
// legitimately large would otherwise cost seconds in every later step, under the
// sanitizers most of all. Larger sizes meet the limit's own message; the bombs' test
// keeps the default limit.
class TSmallPixelLimit {
public:
    TSmallPixelLimit() : FSaved(TBitmap::PixelLimit()) { TBitmap::SetPixelLimit(int64_t(1) << 22); }
    ~TSmallPixelLimit() { TBitmap::SetPixelLimit(FSaved); }
    TSmallPixelLimit(const TSmallPixelLimit&) = delete;
    TSmallPixelLimit& operator=(const TSmallPixelLimit&) = delete;

private:
    int64_t FSaved;
};

// --- The corpus, a folder at a time -----------------------------------------------------

class HostileCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileCorpus, EveryVariantLoadsOrRaisesASystemMessage)
{
    QUILLET_REQUIRE_CORPUS();
    RegisterOnce();
    const TSmallPixelLimit limit;
    const std::vector<std::string> files = CorpusFiles(GetParam());
    ASSERT_FALSE(files.empty());
    TempDir dir;
    TRunFigures figures;
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        RunVariants(dir, path, ReadFile(path), figures);
        if (HasFailure()) return;
    }
    std::printf("  %s: %zu files, %zu loads, %zu through every step\n", GetParam(), files.size(), figures.Loads,
                figures.Whole);
}

INSTANTIATE_TEST_SUITE_P(Folders, HostileCorpus,
                         ::testing::Values("hostile/bmp", "hostile/gif", "hostile/ico", "hostile/jpeg", "hostile/pcx",
                                           "hostile/pic", "hostile/pnm", "hostile/psd", "hostile/rla", "hostile/sgi",
                                           "hostile/tga", "hostile/tiff", "hostile/wmf", "bmp", "gif", "ico", "jpeg", "pcd", "pcx", "pic", "pnm", "psd",
                                           "rla", "sgi", "tga", "tiff", "wmf"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             std::replace(name.begin(), name.end(), '/', '_');
                             return name;
                         });

// --- Valid fixtures built in code -----------------------------------------------------------

struct TFixture {
    std::string Name;  ///< with the extension that picks its reader
    std::vector<uint8_t> File;
};

std::vector<uint16_t> Ramp(size_t count, unsigned modulo, unsigned step = 7)
{
    std::vector<uint16_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = uint16_t((i * step) % modulo);
    return v;
}

std::vector<uint8_t> RampBytes(size_t count, unsigned modulo, unsigned step = 7)
{
    std::vector<uint8_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = uint8_t((i * step) % modulo);
    return v;
}

std::vector<TFixture> Fixtures()
{
    std::vector<TFixture> out;

    // GIF: a global table and one image; interlaced with a local table; a small code size.
    {
        TGif gif;
        gif.ScreenWidth = 13;
        gif.ScreenHeight = 9;
        gif.GlobalTable = GreyTable(16);
        gif.Blocks.push_back(GifExtension(0xF9, {Bytes{0x01, 0x00, 0x00, 0x03}}));
        TGifImage image;
        image.Width = 13;
        image.Height = 9;
        image.Pixels = RampBytes(13 * 9, 16);
        image.MinCodeSize = 4;
        gif.Images.push_back(image);
        out.push_back({"plain.gif", GifFile(gif)});
        gif.Images[0].Interlaced = true;
        gif.Images[0].LocalTable = GreyTable(256);
        gif.Images[0].Pixels = RampBytes(13 * 9, 256, 37);
        gif.Images[0].MinCodeSize = 8;
        gif.Images[0].SubBlockSize = 17;
        out.push_back({"interlaced.gif", GifFile(gif)});
        TGif tiny;
        tiny.ScreenWidth = 5;
        tiny.ScreenHeight = 3;
        tiny.GlobalTable = GreyTable(2);
        TGifImage bits;
        bits.Width = 5;
        bits.Height = 3;
        bits.Pixels = RampBytes(15, 2, 1);
        bits.MinCodeSize = 2;
        tiny.Images.push_back(bits);
        out.push_back({"two-colour.gif", GifFile(tiny)});
    }

    // TIFF: grey, RGB with a predictor in LZW, PackBits in several strips, a palette, 1 bit,
    // 16-bit big-endian, RGBA.
    {
        TTiff grey;
        grey.Width = 11;
        grey.Height = 7;
        grey.Pixels = RampBytes(11 * 7, 256);
        out.push_back({"grey.tif", TiffFile(grey)});

        TTiff rgb = grey;
        rgb.BitsPerSample = {8, 8, 8};
        rgb.SamplesPerPixel = 3;
        rgb.Photometric = 2;
        rgb.Compression = 5;
        rgb.Predictor = true;
        rgb.Pixels = RampBytes(11 * 7 * 3, 256, 5);
        out.push_back({"rgb-lzw.tiff", TiffFile(rgb)});

        TTiff strips = grey;
        strips.Compression = 32773;
        strips.RowsPerStrip = 2;
        strips.StripTableType = kTiffShort;
        out.push_back({"packbits-strips.tif", TiffFile(strips)});

        TTiff palette = grey;
        palette.Photometric = 3;
        palette.BitsPerSample = {4};
        palette.Pixels = RampBytes(6 * 7, 256, 17);
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 16; ++i) palette.ColorMap.push_back(uint32_t(i * 4096 + c * 100));
        out.push_back({"palette.tif", TiffFile(palette)});

        TTiff mono = grey;
        mono.BitsPerSample = {1};
        mono.Photometric = 0;
        mono.Pixels = RampBytes(2 * 7, 256, 93);
        out.push_back({"mono.tif", TiffFile(mono)});

        TTiff wide = grey;
        wide.BigEndian = true;
        wide.BitsPerSample = {16};
        wide.Pixels = RampBytes(11 * 7 * 2, 256, 11);
        out.push_back({"grey16-mm.tif", TiffFile(wide)});

        TTiff rgba = rgb;
        rgba.BitsPerSample = {8, 8, 8, 8};
        rgba.SamplesPerPixel = 4;
        rgba.ExtraSamples = {2};
        rgba.Compression = 32773;
        rgba.Predictor = false;
        rgba.Pixels = RampBytes(11 * 7 * 4, 256, 3);
        out.push_back({"rgba.tif", TiffFile(rgba)});
    }

    // Photoshop: RGB raw, CMYK PackBits, grey 1-bit, indexed, 16-bit RGB.
    {
        PsdImage rgb;
        rgb.Width = 9;
        rgb.Height = 6;
        for (int c = 0; c < 3; ++c) rgb.Planes.push_back(Ramp(9 * 6, 256, 5 + c));
        out.push_back({"rgb.psd", WritePsd(rgb)});
        PsdImage cmyk = rgb;
        cmyk.Mode = 4;
        cmyk.Compression = 1;
        cmyk.Planes.push_back(Ramp(9 * 6, 256, 3));
        out.push_back({"cmyk.pdd", WritePsd(cmyk)});
        PsdImage mono;
        mono.Width = 19;
        mono.Height = 4;
        mono.Depth = 1;
        mono.Mode = 0;
        mono.Compression = 1;
        mono.Planes.push_back(Ramp(19 * 4, 2, 1));
        out.push_back({"mono.psd", WritePsd(mono)});
        PsdImage indexed = rgb;
        indexed.Mode = 2;
        indexed.Planes = {Ramp(9 * 6, 256, 29)};
        indexed.ColorModeData = RampBytes(768, 256, 1);
        out.push_back({"indexed.psd", WritePsd(indexed)});
        PsdImage deep = rgb;
        deep.Depth = 16;
        deep.Compression = 1;
        for (auto& plane : deep.Planes) plane = Ramp(plane.size(), 65536, 4099);
        out.push_back({"rgb16.psd", WritePsd(deep)});
    }

    // SGI: run-length RGB, raw grey, 16-bit run-length RGBA.
    {
        SgiImage rgb;
        rgb.Width = 10;
        rgb.Height = 5;
        rgb.RunLength = true;
        for (int c = 0; c < 3; ++c) rgb.Channels.push_back(Ramp(50, 256, c == 0 ? 0 : 3 + c));
        out.push_back({"rgb.sgi", WriteSgi(rgb)});
        SgiImage grey;
        grey.Width = 10;
        grey.Height = 5;
        grey.Channels.push_back(Ramp(50, 256));
        out.push_back({"grey.bw", WriteSgi(grey)});
        SgiImage deep = rgb;
        deep.BytesPerSample = 2;
        deep.Channels.push_back(Ramp(50, 65536, 1000));
        for (auto& channel : deep.Channels) channel = Ramp(50, 65536, 999);
        out.push_back({"rgba16.rgba", WriteSgi(deep)});
    }

    // RLA: RGB and RGB with a matte, bottom-up, 16-bit colour.
    {
        RlaImage rgb;
        rgb.Right = 8;
        rgb.Top = 4;
        for (int c = 0; c < 3; ++c) rgb.Channels.push_back(Ramp(9 * 5, 256, 3 + c));
        out.push_back({"rgb.rla", WriteRla(rgb)});
        RlaImage matte = rgb;
        matte.MatteChannels = 1;
        matte.ColourBits = 16;
        for (auto& channel : matte.Channels) channel = Ramp(9 * 5, 65536, 1234);
        matte.Channels.push_back(Ramp(9 * 5, 256, 9));
        matte.ReverseRowData = true;
        out.push_back({"matte.rpf", WriteRla(matte)});
    }

    out.push_back({"gradient.bmp", GradientBmp(7, 5)});

    // Targa: raw 24-bit, run-length 8-bit with a colour map, run-length 32-bit right to left.
    {
        Bytes raw = Bytes{}.u8(0).u8(0).u8(2).le16(0).le16(0).u8(0).le16(0).le16(0).le16(5).le16(3).u8(24).u8(0x20);
        raw.bytes(RampBytes(5 * 3 * 3, 256, 13));
        out.push_back({"raw.tga", raw});
        Bytes mapped = Bytes{}.u8(2).u8(1).u8(9).le16(0).le16(4).u8(24).le16(0).le16(0).le16(6).le16(2).u8(8).u8(0);
        mapped.str("id").bytes(RampBytes(12, 256, 21));
        mapped.u8(0x82).u8(1).u8(0x02).u8(0).u8(3).u8(2).u8(0x85).u8(3);  // a run, 3 literals, a run
        mapped.u8(0x01).u8(1).u8(2);
        out.push_back({"mapped.tga", mapped});
        Bytes deep = Bytes{}.u8(0).u8(0).u8(10).le16(0).le16(0).u8(0).le16(0).le16(0).le16(3).le16(2).u8(32).u8(0x18);
        deep.u8(0x85).u8(1).u8(2).u8(3).u8(4);
        out.push_back({"deep.icb", deep});
    }

    // PCX: run-length 8-bit with its palette, 24-bit, 4 planes of 1 bit.
    {
        const auto header = [](unsigned bits, unsigned planes, unsigned width, unsigned height, unsigned lineBytes) {
            Bytes h;
            h.u8(10).u8(5).u8(1).u8(bits).le16(0).le16(0).le16(width - 1).le16(height - 1).le16(72).le16(72);
            for (int i = 0; i < 48; ++i) h.u8(unsigned(i * 5));
            h.u8(0).u8(planes).le16(lineBytes).le16(1);
            h.fill(128 - h.size(), 0);
            return h;
        };
        Bytes indexed = header(8, 1, 6, 3, 6);
        for (int y = 0; y < 3; ++y) indexed.u8(0xC3).u8(unsigned(y)).u8(0xC1).u8(0xC9).u8(7).u8(8);
        indexed.u8(12).bytes(RampBytes(768, 256, 1));
        out.push_back({"indexed.pcx", indexed});
        Bytes rgb = header(8, 3, 4, 2, 4);
        for (int i = 0; i < 24; ++i) rgb.u8(unsigned(i * 9) % 0xC0);
        out.push_back({"rgb.pcc", rgb});
        Bytes planar = header(1, 4, 16, 2, 2);
        for (int i = 0; i < 16; ++i) planar.u8(0xC2).u8(unsigned(i * 17));
        out.push_back({"planar.scr", planar});
    }

    // Portable maps, every kind.
    out.push_back({"text.pbm", Bytes{}.str("P1\n# a comment\n5 2\n1 0 1 0 1\n0 1 0 1 0\n")});
    out.push_back({"text.pgm", Bytes{}.str("P2\n3 2\n255\n0 128 255\n7 8 9\n")});
    out.push_back({"text.ppm", Bytes{}.str("P3\n2 2\n255\n1 2 3 4 5 6\n7 8 9 10 11 12\n")});
    out.push_back({"bits.pbm", Bytes{}.str("P4\n10 2\n").u8(0xA5).u8(0xC0).u8(0x5A).u8(0x40)});
    out.push_back({"bytes.pgm", Bytes{}.str("P5\n4 2\n255\n").bytes(RampBytes(8, 256, 31))});
    out.push_back({"wide.pgm", Bytes{}.str("P5\n2 2\n1023\n").be16(0).be16(1023).be16(512).be16(7)});
    out.push_back({"bytes.ppm", Bytes{}.str("P6\n3 2\n255\n").bytes(RampBytes(18, 256, 29))});

    // Dr. Halo CUT: two lines of runs and literals.
    {
        Bytes cut = Bytes{}.le16(6).le16(2).le16(0);
        cut.le16(5).u8(0x83).u8(9).u8(0x03).u8(1).u8(2).u8(3).u8(0);
        cut.le16(4).u8(0x86).u8(200).u8(0);
        out.push_back({"lines.cut", cut});
    }

    // Autodesk: the header, the 6-bit palette, the rows.
    {
        Bytes pic = Bytes{}.le16(0x9119).le16(7).le16(3).le16(0).le16(0).u8(8).u8(0);
        pic.fill(32 - pic.size(), 0).bytes(RampBytes(768, 64, 1)).bytes(RampBytes(21, 256, 11));
        out.push_back({"rows.cel", pic});
    }
    return out;
}

TEST(HostileFixtures, EveryVariantOfAValidFixtureLoadsOrRaisesASystemMessage)
{
    RegisterOnce();
    const TSmallPixelLimit limit;
    TempDir dir;
    TRunFigures figures;
    for (const TFixture& fixture : Fixtures()) {
        SCOPED_TRACE(fixture.Name);
        // The fixture itself goes all the way, or its variants would prove little.
        const std::string path = dir / fixture.Name;
        WriteFile(path, fixture.File);
        ASSERT_TRUE(UseAsUpload(path));
        RunVariants(dir, fixture.Name, fixture.File, figures);
        if (HasFailure()) return;
    }
    std::printf("  fixtures: %zu loads, %zu through every step\n", figures.Loads, figures.Whole);
}

}  // namespace
}  // namespace quillet::test
