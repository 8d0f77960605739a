#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "imaging/readers/tiff.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/lzw_coder.h"
#include "tests/support/pillow.h"
#include "tests/support/tiff_builder.h"

namespace quillet {
namespace {

using test::Bytes;
using test::TiffFile;
using test::TTiff;
using test::TTiffField;
using ::testing::AnyOf;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::unique_ptr<TTIFFGraphic> Load(const Bytes& file, size_t start = 0)
{
    auto tiff = std::make_unique<TTIFFGraphic>();
    TMemoryViewStream stream(file.data(), file.size());
    stream.SetPosition(int64_t(start));
    tiff->ReadImage(stream);
    return tiff;
}

// The bytes of every row that hold pixels, without the rows' padding.
std::vector<uint8_t> Rows(const TBitmap& bitmap)
{
    std::vector<uint8_t> out;
    const size_t bytes = (size_t(bitmap.Width()) * size_t(BitsPerPixel(bitmap.PixelFormat())) + 7) / 8;
    for (int y = 0; y < bitmap.Height(); ++y) out.insert(out.end(), bitmap.ScanLine(y), bitmap.ScanLine(y) + bytes);
    return out;
}

std::vector<TPaletteEntry> Colours(const TBitmap& bitmap)
{
    return bitmap.Palette() ? bitmap.Palette()->Entries() : std::vector<TPaletteEntry>{};
}

void ExpectSameBitmap(const TBitmap& got, const TBitmap& want)
{
    EXPECT_EQ(got.PixelFormat(), want.PixelFormat());
    EXPECT_EQ(got.Width(), want.Width());
    EXPECT_EQ(got.Height(), want.Height());
    EXPECT_EQ(Rows(got), Rows(want));
    EXPECT_EQ(Colours(got), Colours(want));
}

// Samples of a smooth pattern with noise, bits bits each, rows padded to whole bytes;
// 16-bit samples as little-endian words whose low and high bytes differ.
std::vector<uint8_t> Samples(uint32_t width, uint32_t height, uint32_t bits, uint32_t samples, uint32_t seed = 1)
{
    const size_t rowLength = (size_t(width) * bits * samples + 7) / 8;
    std::vector<uint8_t> out(rowLength * height, 0);
    uint32_t state = seed;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = out.data() + y * rowLength;
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t s = 0; s < samples; ++s) {
                state = state * 1664525u + 1013904223u;
                const uint32_t smooth = x * 9 + y * 5 + s * 70;
                const size_t i = size_t(x) * samples + s;
                if (bits == 16) {
                    const uint32_t v = (smooth * 151 + (state >> 24)) & 0xFFFF;
                    row[2 * i] = uint8_t(v);
                    row[2 * i + 1] = uint8_t(v >> 8);
                } else if (bits == 8) {
                    row[i] = uint8_t(smooth + ((state >> 29) & 3));
                } else if (bits > 16) {
                    for (uint32_t b = 0; b < bits / 8; ++b) row[i * bits / 8 + b] = uint8_t(state >> (8 * (b % 4)));
                } else {
                    const uint32_t v = (smooth / 8 + (state >> 30)) & ((1u << bits) - 1);
                    for (uint32_t b = 0; b < bits; ++b)
                        if ((v >> (bits - 1 - b)) & 1) {
                            const size_t bit = i * bits + b;
                            row[bit / 8] |= uint8_t(0x80 >> (bit % 8));
                        }
                }
            }
    }
    return out;
}

TTiff Image(uint32_t bits, uint32_t samples, uint32_t photometric, std::vector<uint32_t> extra = {},
            uint32_t width = 13, uint32_t height = 11)
{
    TTiff tiff;
    tiff.Width = width;
    tiff.Height = height;
    tiff.BitsPerSample.assign(samples, bits);
    tiff.SamplesPerPixel = samples;
    tiff.Photometric = photometric;
    tiff.ExtraSamples = std::move(extra);
    tiff.Pixels = Samples(width, height, bits, samples);
    if (photometric == 3)
        for (uint32_t k = 0; k < 3u << bits; ++k) tiff.ColorMap.push_back(k * 997 % 65536);
    return tiff;
}

// Every kind of pixel the reader maps, on images of odd sizes (padded bitmap rows).
struct TKind {
    const char* name;
    TTiff tiff;
};

std::vector<TKind> Kinds()
{
    return {
        {"grey 1-bit WhiteIsZero", Image(1, 1, 0)},
        {"grey 4-bit BlackIsZero", Image(4, 1, 1)},
        {"grey 8-bit", Image(8, 1, 1)},
        {"grey 16-bit", Image(16, 1, 1)},
        {"palette 4-bit", Image(4, 1, 3)},
        {"palette 8-bit", Image(8, 1, 3)},
        {"RGB 8-bit", Image(8, 3, 2)},
        {"RGB 16-bit", Image(16, 3, 2)},
        {"RGBA 8-bit with ExtraSamples", Image(8, 4, 2, {2})},
        {"RGBA 16-bit with ExtraSamples", Image(16, 4, 2, {1})},
        {"RGBA 8-bit without ExtraSamples", Image(8, 4, 2)},
        {"CMYK 8-bit", Image(8, 4, 5)},
        {"CMYK 16-bit", Image(16, 4, 5)},
        {"L*a*b* 8-bit", Image(8, 3, 8)},
    };
}

// Each kind of pixel on a one- or two-pixel image with values whose result is known.
TEST(TIFFReader, PixelKindsMapToTheirFormatsAndConversions)
{
    const auto image = [](uint32_t bits, uint32_t samples, uint32_t photometric, Bytes pixels, uint32_t width = 1,
                          std::vector<uint32_t> extra = {}) {
        TTiff t = Image(bits, samples, photometric, std::move(extra), width, 1);
        t.Pixels = pixels;
        return t;
    };
    const auto grey = [](int count, bool whiteIsZero) {
        std::vector<TPaletteEntry> ramp;
        for (int j = 0; j < count; ++j) {
            int v = count == 2 ? 255 * j : count == 16 ? 16 * j : j;
            if (whiteIsZero) v = count == 2 ? 255 - v : count == 16 ? 240 - v : 255 - v;
            ramp.push_back({uint8_t(v), uint8_t(v), uint8_t(v), 0});
        }
        return ramp;
    };
    TTiff palette = image(4, 1, 3, {0x1F}, 2);
    palette.ColorMap.assign(48, 0);
    palette.ColorMap[1] = 0xAB00;        // red of entry 1
    palette.ColorMap[16 + 1] = 0xCDEF;   // green of entry 1
    palette.ColorMap[32 + 15] = 0x12FF;  // blue of entry 15
    std::vector<TPaletteEntry> paletteWant(16);
    paletteWant[1] = {0xAB, 0xCD, 0, 0};
    paletteWant[15] = {0, 0, 0x12, 0};

    const struct {
        const char* name;
        TTiff tiff;
        TPixelFormat format;
        std::vector<uint8_t> row;
        std::vector<TPaletteEntry> colours;
    } kCases[] = {
        {"1-bit WhiteIsZero", image(1, 1, 0, {0xA0}, 3), TPixelFormat::pf1bit, {0xA0}, grey(2, true)},
        {"1-bit BlackIsZero", image(1, 1, 1, {0x40}, 3), TPixelFormat::pf1bit, {0x40}, grey(2, false)},
        {"4-bit BlackIsZero: the brightest grey is 240",
         image(4, 1, 1, {0x0F}, 2),
         TPixelFormat::pf4bit,
         {0x0F},
         grey(16, false)},
        {"4-bit WhiteIsZero", image(4, 1, 0, {0x3C}, 2), TPixelFormat::pf4bit, {0x3C}, grey(16, true)},
        {"8-bit WhiteIsZero", image(8, 1, 0, {200}), TPixelFormat::pf8bit, {200}, grey(256, true)},
        {"16-bit grey keeps the high byte",
         image(16, 1, 1, {0x34, 0x12}),
         TPixelFormat::pf8bit,
         {0x12},
         grey(256, false)},
        {"4-bit palette: high bytes of the colour map", palette, TPixelFormat::pf4bit, {0x1F}, paletteWant},
        {"RGB 8-bit", image(8, 3, 2, {10, 20, 30}), TPixelFormat::pf24bit, {30, 20, 10}, {}},
        {"RGB 16-bit", image(16, 3, 2, {0, 0x10, 0, 0x20, 0, 0x30}), TPixelFormat::pf24bit, {0x30, 0x20, 0x10}, {}},
        {"RGBA with an ExtraSamples value",
         image(8, 4, 2, {1, 2, 3, 4}, 1, {1}),
         TPixelFormat::pf32bit,
         {3, 2, 1, 4},
         {}},
        {"RGBA without ExtraSamples", image(8, 4, 2, {1, 2, 3, 4}), TPixelFormat::pf32bit, {3, 2, 1, 4}, {}},
        {"RGBA 16-bit", image(16, 4, 2, {0, 1, 0, 2, 0, 3, 0, 4}, 1, {2}), TPixelFormat::pf32bit, {3, 2, 1, 4}, {}},
        {"CMYK 8-bit: cyan", image(8, 4, 5, {255, 0, 0, 0}), TPixelFormat::pf24bit, {255, 255, 0}, {}},
        {"CMYK 8-bit: black", image(8, 4, 5, {0, 0, 0, 255}), TPixelFormat::pf24bit, {0, 0, 0}, {}},
        {"CMYK 16-bit: white", image(16, 4, 5, {0, 0, 0, 0, 0, 0, 0, 0}), TPixelFormat::pf24bit, {255, 255, 255}, {}},
        {"L*a*b*: L 255 is white", image(8, 3, 8, {255, 0, 0}), TPixelFormat::pf24bit, {255, 255, 255}, {}},
        {"YCbCr copied unchanged", image(8, 3, 6, {7, 8, 9}), TPixelFormat::pf24bit, {7, 8, 9}, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const bool bigEndian : {false, true}) {
            TTiff t = c.tiff;
            t.BigEndian = bigEndian;
            const auto bitmap = Load(TiffFile(t));
            ASSERT_EQ(bitmap->PixelFormat(), c.format);
            EXPECT_EQ(Rows(*bitmap), c.row);
            EXPECT_EQ(Colours(*bitmap), c.colours);
        }
    }
}

TEST(TIFFReader, BothByteOrdersGiveTheSameBitmap)
{
    for (TKind& kind : Kinds()) {
        SCOPED_TRACE(kind.name);
        kind.tiff.RowsPerStrip = 3;
        const auto little = Load(TiffFile(kind.tiff));
        kind.tiff.BigEndian = true;
        const auto big = Load(TiffFile(kind.tiff));
        ExpectSameBitmap(*big, *little);
        EXPECT_NE(Rows(*little), std::vector<uint8_t>(Rows(*little).size(), 0));
    }
}

// LZW, PackBits and the predictor decode into the same rows as the uncompressed file.
TEST(TIFFReader, CompressionsAndThePredictorGiveTheSameRows)
{
    const struct {
        const char* name;
        uint32_t compression;
        bool predictor;
    } kCodings[] = {
        {"LZW", 5, false},
        {"LZW with predictor", 5, true},
        {"PackBits", 32773, false},
        {"uncompressed with predictor", 1, true},
    };
    for (const TKind& kind : Kinds()) {
        const auto plain = Load(TiffFile(kind.tiff));
        for (const auto& coding : kCodings) {
            SCOPED_TRACE(std::string(kind.name) + ", " + coding.name);
            for (const bool bigEndian : {false, true})
                for (const uint32_t rowsPerStrip : {0u, 4u}) {
                    TTiff t = kind.tiff;
                    t.Compression = coding.compression;
                    t.Predictor = coding.predictor;
                    t.BigEndian = bigEndian;
                    t.RowsPerStrip = rowsPerStrip;
                    ExpectSameBitmap(*Load(TiffFile(t)), *plain);
                }
        }
    }
}

// Predictor 2 undoes the differences byte by byte, per channel of 3 or 4 samples.
TEST(TIFFReader, PredictorAddsEachByteToTheOneAPixelFurtherOn)
{
    TTiff rgb = Image(8, 3, 2, {}, 3, 1);
    rgb.Pixels = {10, 20, 30, 1, 2, 3, 5, 5, 5};  // differences as stored
    rgb.Fields = {{317, test::kTiffShort, {2}}};
    EXPECT_EQ(Rows(*Load(TiffFile(rgb))), (std::vector<uint8_t>{30, 20, 10, 33, 22, 11, 38, 27, 16}));
    TTiff grey = Image(8, 1, 1, {}, 3, 1);
    grey.Pixels = {5, 3, 1};
    grey.Fields = {{317, test::kTiffShort, {2}}};
    EXPECT_EQ(Rows(*Load(TiffFile(grey))), (std::vector<uint8_t>{5, 8, 9}));
}

TEST(TIFFReader, StripLayouts)
{
    const TTiff base = Image(8, 3, 2, {}, 5, 10);
    const auto want = Load(TiffFile(base));
    const auto with = [&](auto change) {
        TTiff t = base;
        change(t);
        return t;
    };
    const struct {
        const char* name;
        TTiff tiff;
    } kCases[] = {
        {"one strip ignores RowsPerStrip", with([](TTiff& t) {
             t.Fields = {{278, test::kTiffLong, {2}}};
         })},
        {"several strips, LONG tables", with([](TTiff& t) { t.RowsPerStrip = 3; })},
        {"several strips, SHORT tables", with([](TTiff& t) {
             t.RowsPerStrip = 3;
             t.StripTableType = test::kTiffShort;
         })},
        {"SHORT tables in a big-endian file", with([](TTiff& t) {
             t.RowsPerStrip = 3;
             t.StripTableType = test::kTiffShort;
             t.BigEndian = true;
         })},
        // Two SHORT values fit in the entry itself, where TIFF keeps them.
        {"two strips, SHORT tables inside their entries", with([](TTiff& t) {
             t.RowsPerStrip = 5;
             t.StripTableType = test::kTiffShort;
         })},
        {"two strips, SHORT tables inside their entries, big-endian", with([](TTiff& t) {
             t.RowsPerStrip = 5;
             t.StripTableType = test::kTiffShort;
             t.BigEndian = true;
         })},
        {"one row per strip", with([](TTiff& t) { t.RowsPerStrip = 1; })},
        {"RowsPerStrip larger than the image", with([](TTiff& t) {
             t.Fields = {{278, test::kTiffLong, {0x80000001}}};
         })},
        // Without RowsPerStrip the rows are shared out evenly: 10 rows in 4 strips of 3.
        {"several strips without RowsPerStrip", with([](TTiff& t) {
             t.RowsPerStrip = 3;
             t.Omit = {278};
         })},
        {"several strips without StripByteCounts", with([](TTiff& t) {
             t.RowsPerStrip = 3;
             t.Omit = {279};
         })},
        {"LZW strips without StripByteCounts", with([](TTiff& t) {
             t.RowsPerStrip = 3;
             t.Compression = 5;
             t.Omit = {279};
         })},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ExpectSameBitmap(*Load(TiffFile(c.tiff)), *want);
    }

    // The last strip may hold rows past the image height; they are not used.
    TTiff taller = Image(8, 3, 2, {}, 5, 12);
    taller.RowsPerStrip = 4;
    taller.Fields = {{257, test::kTiffLong, {10}}};
    const auto cut = Load(TiffFile(taller));
    ASSERT_EQ(cut->Height(), 10);
    TTiff first10 = taller;
    first10.Pixels.resize(test::TiffRowLength(taller) * 10);
    first10.Height = 10;
    first10.Fields.clear();
    ExpectSameBitmap(*cut, *Load(TiffFile(first10)));
}

// All offsets count from where the header starts, so a TIFF inside a larger stream loads
// the same.
TEST(TIFFReader, AFileInsideALargerStreamLoadsTheSame)
{
    TTiff tiff = Image(8, 3, 2);
    tiff.RowsPerStrip = 4;
    tiff.Compression = 5;
    const Bytes file = TiffFile(tiff);
    const Bytes embedded = Bytes{}.fill(77, 0xAB).bytes(file).fill(10, 0xCD);
    ExpectSameBitmap(*Load(embedded, 77), *Load(file));
}

TEST(TIFFReader, BadFilesRaiseTheirMessages)
{
    const auto with = [](auto change) {
        TTiff t = Image(8, 1, 1, {}, 4, 4);
        t.RowsPerStrip = 2;
        change(t);
        return TiffFile(t);
    };
    Bytes wrongVersion = with([](TTiff&) {});
    wrongVersion[2] = 43;
    Bytes bigEndianVersionLittle = with([](TTiff& t) { t.BigEndian = true; });
    bigEndianVersionLittle[2] = 42, bigEndianVersionLittle[3] = 0;
    Bytes directoryPastTheEnd = with([](TTiff&) {});
    directoryPastTheEnd[4] = 0xF0;
    // An LZW strip whose third code is above the next free code.
    const Bytes badLZW = with([](TTiff& t) {
        t.RowsPerStrip = 0;
        t.Pixels = test::PackMsbFirst(test::Codes({256, 65, 400}, 9));
        t.Fields = {{259, test::kTiffShort, {5}}};
    });

    const struct {
        const char* name;
        Bytes file;
        const char* message;
    } kCases[] = {
        {"version 43", wrongVersion, "Invalid TIFF file."},
        {"big-endian file with the version in little-endian order", bigEndianVersionLittle, "Invalid TIFF file."},
        {"no ImageWidth", with([](TTiff& t) { t.Omit = {256}; }), "Invalid TIFF file."},
        {"ImageLength 0", with([](TTiff& t) {
             t.Fields = {{257, test::kTiffShort, {0}}};
         }),
         "Invalid TIFF file."},
        {"no Compression entry", with([](TTiff& t) { t.Omit = {259}; }), "TIFF: Unknown compression scheme"},
        {"JPEG compression", with([](TTiff& t) { t.Compression = 7; }), "TIFF: Unknown compression scheme"},
        // FColorMap holds 256 values per channel: a deeper palette is refused.
        {"16-bit palette", with([](TTiff& t) { t = Image(16, 1, 3, {}, 4, 4); }), "Invalid TIFF file."},
        {"no StripOffsets (tiled)", with([](TTiff& t) { t.Omit = {273}; }), "Invalid TIFF file."},
        {"BitsPerSample 0", with([](TTiff& t) {
             t.Fields = {{258, test::kTiffShort, {0}}};
         }),
         "Invalid TIFF file."},
        {"SamplesPerPixel 0", with([](TTiff& t) {
             t.Fields = {{277, test::kTiffShort, {0}}};
         }),
         "Invalid TIFF file."},
        {"256 bits per pixel", with([](TTiff& t) {
             t.Fields = {{258, test::kTiffShort, {16}}, {277, test::kTiffShort, {16}}};
         }),
         "Invalid TIFF file."},
        {"header cut short", Bytes{'I', 'I', 42, 0, 8}, "Stream read error"},
        {"directory past the end", directoryPastTheEnd, "Stream read error"},
        {"colour map past the end", with([](TTiff& t) {
             t = Image(8, 1, 3, {}, 4, 4);
             t.ColorMap.resize(3);
         }),
         "Stream read error"},
        {"invalid LZW code", badLZW, "TIF LZW: invalid opcode."},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THAT([&] { Load(c.file); }, ThrowsMessage<Exception>(StrEq(c.message)));
    }
}

// A strip table that reaches past the end of the file is a read error, whatever its
// claimed size; nothing of that size is allocated.
TEST(TIFFReader, StripTablesPastTheEndAreReadErrors)
{
    for (const uint16_t type : {test::kTiffShort, test::kTiffLong}) {
        TTiff t = Image(8, 1, 1, {}, 4, 4);
        t.RowsPerStrip = 1;
        t.StripTableType = type;
        Bytes file = TiffFile(t);
        // Claim far more strips than the file can hold: the count field of entry 273.
        const size_t entry273 = 8 + 2 + 12 * 5;  // 256 257 258 259 262, then 273
        ASSERT_EQ(GetLE16(file.data() + entry273), 273);
        file[entry273 + 4] = 0xFF, file[entry273 + 5] = 0xFF;
        if (type == test::kTiffLong) file[entry273 + 6] = 0xFF, file[entry273 + 7] = 0x7F;
        SCOPED_TRACE(type);
        EXPECT_THAT([&] { Load(file); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
    }
}

// Files that say strange things load, or fail with a message, inside their buffers: the
// sanitizer build checks that no row copy or conversion leaves its row.
TEST(TIFFReader, StrangeLayoutsStayInsideTheirBuffers)
{
    const auto with = [](TTiff t, auto change) {
        change(t);
        return t;
    };
    const TTiff grey = Image(8, 1, 1, {}, 6, 6);
    const struct {
        const char* name;
        TTiff tiff;
        TPixelFormat format;
    } kCases[] = {
        {"strip offset past the end",
         with(grey,
              [](TTiff& t) {
                  t.Fields = {{273, test::kTiffLong, {100000}}};
              }),
         TPixelFormat::pf8bit},
        {"LZW strip byte count past the end",
         with(grey,
              [](TTiff& t) {
                  t.Compression = 5;
                  t.Fields = {{279, test::kTiffLong, {0xFFFFFFF0}}};
              }),
         TPixelFormat::pf8bit},
        {"RowsPerStrip 0",
         with(grey,
              [](TTiff& t) {
                  t.RowsPerStrip = 2;
                  t.Fields = {{278, test::kTiffLong, {0}}};
              }),
         TPixelFormat::pf8bit},
        {"2-bit grey", Image(2, 1, 1, {}, 7, 3), TPixelFormat::pfDevice},
        {"12-bit grey with predictor", with(Image(12, 1, 1, {}, 5, 3), [](TTiff& t) { t.Predictor = true; }),
         TPixelFormat::pfDevice},
        {"64-bit grey", Image(64, 1, 1, {}, 3, 2), TPixelFormat::pfDevice},
        {"32-bit float RGB", Image(32, 3, 2, {}, 3, 2), TPixelFormat::pf24bit},
        {"4-bit L*a*b*", Image(4, 3, 8, {}, 5, 2), TPixelFormat::pf24bit},
        {"16-bit YCbCr", Image(16, 3, 6, {}, 5, 2), TPixelFormat::pf24bit},
        {"1-bit RGB with predictor", with(Image(1, 3, 2, {}, 9, 2), [](TTiff& t) { t.Predictor = true; }),
         TPixelFormat::pf24bit},
        {"5 channels", Image(8, 5, 2, {}, 4, 3), TPixelFormat::pfDevice},
        {"3 channels, photometric 4", Image(8, 3, 4, {}, 4, 3), TPixelFormat::pfDevice},
        {"more extra samples than samples", Image(8, 2, 1, {1, 1, 1}, 4, 3), TPixelFormat::pfDevice},
        {"palette with extra samples", Image(8, 2, 3, {2}, 4, 3), TPixelFormat::pf8bit},
        {"predictor on a one-pixel row", with(Image(8, 4, 2, {}, 1, 3), [](TTiff& t) { t.Predictor = true; }),
         TPixelFormat::pf32bit},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto bitmap = Load(TiffFile(c.tiff));
        EXPECT_EQ(bitmap->PixelFormat(), c.format);
        EXPECT_EQ(uint32_t(bitmap->Width()), c.tiff.Width);
        Rows(*bitmap);
    }
}

// Pixels of more samples than their conversion takes give it their first samples.
TEST(TIFFReader, ExtraSamplesBeyondTheConversionAreDropped)
{
    const auto image = [](uint32_t bits, uint32_t samples, uint32_t photometric, std::vector<uint32_t> extra,
                          Bytes pixels) {
        TTiff t = Image(bits, samples, photometric, std::move(extra), 2, 1);
        t.Pixels = pixels;
        return t;
    };
    const struct {
        const char* name;
        TTiff tiff;
        TPixelFormat format;
        std::vector<uint8_t> row;
    } kCases[] = {
        {"grey with alpha", image(8, 2, 1, {2}, {10, 255, 20, 128}), TPixelFormat::pf8bit, {10, 20}},
        {"16-bit grey with alpha",
         image(16, 2, 1, {2}, {0, 10, 0, 255, 0, 20, 0, 128}),
         TPixelFormat::pf8bit,
         {10, 20}},
        {"4-bit grey with alpha", image(4, 2, 1, {1}, {0x3F, 0x5F}), TPixelFormat::pf4bit, {0x35}},
        {"1-bit grey with alpha", image(1, 2, 0, {1}, {0x90}), TPixelFormat::pf1bit, {0x80}},
        {"RGB with two extra samples",
         image(8, 5, 2, {1, 0}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
         TPixelFormat::pf32bit,
         {3, 2, 1, 4, 8, 7, 6, 9}},
        {"CMYK with alpha",
         image(8, 5, 5, {2}, {255, 0, 0, 0, 9, 0, 0, 0, 255, 9}),
         TPixelFormat::pf24bit,
         {255, 255, 0, 0, 0, 0}},
        {"L*a*b* with alpha",
         image(8, 4, 8, {2}, {255, 0, 0, 1, 0, 0, 0, 1}),
         TPixelFormat::pf24bit,
         {255, 255, 255, 0, 0, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        for (const bool bigEndian : {false, true}) {
            TTiff t = c.tiff;
            t.BigEndian = bigEndian;
            const auto bitmap = Load(TiffFile(t));
            ASSERT_EQ(bitmap->PixelFormat(), c.format);
            EXPECT_EQ(Rows(*bitmap), c.row);
        }
    }
}

// A few bytes claiming a big image load quickly: strip buffers are bounded by what the
// strip's bytes can hold, and rows without data stay zero.
TEST(TIFFReader, TinyFilesClaimingHugeImagesStayCheap)
{
    for (const uint32_t compression : {1u, 5u, 32773u}) {
        SCOPED_TRACE(compression);
        TTiff t = Image(8, 1, 1, {}, 4, 4);
        t.Compression = compression;
        t.Fields = {{256, test::kTiffLong, {10000}}, {257, test::kTiffLong, {10000}}};
        const auto start = std::chrono::steady_clock::now();
        const auto bitmap = Load(TiffFile(t));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(bitmap->Height(), 10000);
        EXPECT_EQ(bitmap->ScanLine(9999)[9999], 0);
    }
}

// Strips that all point at the same long run of clear codes would keep the decoder busy
// for each of them; together they get no more coded bytes than a few times the file.
TEST(TIFFReader, StripsSharingTheirDataCannotRunOn)
{
    std::vector<test::TCode> clears(300000, test::TCode{256, 9});
    TTiff t = Image(8, 1, 1, {}, 8, 20000);
    t.Pixels = test::PackMsbFirst(clears);
    t.Width = 1;
    t.Height = uint32_t(t.Pixels.size());
    const uint32_t strips = 20000;
    t.Fields = {{259, test::kTiffShort, {5}},
                {257, test::kTiffLong, {strips}},
                {278, test::kTiffLong, {1}},
                {273, test::kTiffLong, std::vector<uint32_t>(strips, 0)},
                {279, test::kTiffLong, std::vector<uint32_t>(strips, uint32_t(t.Pixels.size()))}};
    // The strips' data come last in the file: point every strip there.
    const Bytes first = TiffFile(t);
    t.Fields[3].Values.assign(strips, uint32_t(first.size() - t.Pixels.size()));
    const Bytes file = TiffFile(t);
    ASSERT_EQ(file.size(), first.size());
    const auto start = std::chrono::steady_clock::now();
    const auto bitmap = Load(file);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(uint32_t(bitmap->Height()), strips);
}

// Every prefix of a file either raises the read error (the directory or a table is cut)
// or loads; strips cut short give the rows they hold and zeros after them.
TEST(TIFFReader, EveryPrefixLoadsOrRaisesTheReadError)
{
    for (const uint32_t compression : {1u, 5u}) {
        TTiff t = Image(8, 1, 1, {}, 7, 6);
        t.RowsPerStrip = 2;
        t.Compression = compression;
        t.StripTableType = test::kTiffShort;
        const Bytes file = TiffFile(t);
        const std::vector<uint8_t> want = Rows(*Load(file));
        size_t loaded = 0;
        for (size_t n = 0; n < file.size(); ++n) {
            SCOPED_TRACE(n);
            const Bytes prefix(std::vector<uint8_t>(file.begin(), file.begin() + std::ptrdiff_t(n)));
            std::unique_ptr<TTIFFGraphic> bitmap;
            try {
                bitmap = Load(prefix);
            } catch (const Exception& e) {
                EXPECT_THAT(e.what(), StrEq("Stream read error"));
                EXPECT_EQ(loaded, 0u) << "a longer prefix failed after a shorter one loaded";
                continue;
            }
            ++loaded;
            const std::vector<uint8_t> got = Rows(*bitmap);
            ASSERT_EQ(got.size(), want.size());
            // Each strip gives a prefix of its rows; what it could not give is zero.
            for (size_t k = 0; k < got.size(); ++k) {
                if (got[k] != want[k]) {
                    EXPECT_EQ(got[k], 0) << "byte " << k;
                }
            }
        }
        EXPECT_GT(loaded, 0u);
    }
}

TEST(TIFFReader, SavingWritesNothing)
{
    const auto bitmap = Load(TiffFile(Image(8, 3, 2)));
    TMemoryStream out;
    bitmap->WriteImage(out);
    EXPECT_EQ(out.Size(), 0);
}

// Real files: every one loads or fails with a message; those whose pixels the reader
// maps the way Pillow does (1- and 8-bit grey, palettes, 8-bit RGB) give Pillow's colours.
TEST(TIFFReader, CorpusFilesLoadOrFailWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    for (const std::string folder : {"tiff", "hostile/tiff"}) {
        for (const std::string& path : test::CorpusFiles(folder)) {
            SCOPED_TRACE(path);
            const Bytes file(test::ReadFile(path));
            try {
                Load(file);
            } catch (const Exception& e) {
                EXPECT_NE(std::string(e.what()), "");
            }
        }
    }
    const std::vector<std::string> comparable = {
        "itiff_seq-1c-1b-miniswhite-71f6a21a.tiff",
        "itiff_seq-1c-8b-bigendian-20f3db0c.tiff",
        "itiff_seq-1c-8b-lzw-20f3db0c.tiff",
        "itiff_seq-1c-8b-lzw-hpredict-20f3db0c.tiff",
        "itiff_seq-1c-8b-multistrip-20f3db0c.tiff",
        "itiff_seq-1c-8b-packbits-20f3db0c.tiff",
        "itiff_seq-3c-8b-bigendian-8743c999.tiff",
        "itiff_seq-3c-8b-lzw-8743c999.tiff",
        "itiff_seq-3c-8b-multistrip-8743c999.tiff",
        "itiff_jello.tif",
        "libtiff_minisblack-1c-8b.tiff",
        "libtiff_miniswhite-1c-1b.tiff",
        "libtiff_palette-1c-1b.tiff",
        "libtiff_palette-1c-4b.tiff",
        "libtiff_palette-1c-8b.tiff",
        "libtiff_rgb-3c-8b.tiff",
        "im_input_256_planar_separate.tiff",
        "pil_multipage.tiff",
    };
    std::vector<std::string> paths;
    for (const std::string& name : comparable) paths.push_back(test::CorpusDir() + "/tiff/" + name);
    const auto references = test::PillowRGB(paths);
    size_t compared = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        if (!references[i]) continue;
        auto bitmap = Load(Bytes(test::ReadFile(paths[i])));
        bitmap->SetPixelFormat(TPixelFormat::pf24bit);
        std::vector<uint8_t> rgb;
        for (int y = 0; y < bitmap->Height(); ++y)
            for (int x = 0; x < bitmap->Width(); ++x) {
                const uint8_t* p = bitmap->ScanLine(y) + 3 * x;
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            }
        ASSERT_EQ(bitmap->Width(), references[i]->Width);
        EXPECT_EQ(rgb, references[i]->Pixels);
        ++compared;
    }
    std::cout << "compared with Pillow: " << compared << " files\n";
}

}  // namespace
}  // namespace quillet
