#include "platform/jpeg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

// The references are libjpeg-turbo's own tools run on this machine, with the library that
// the component links; so the floating-point DCT gives the same results on both sides
// and pixels are compared exactly.

namespace quillet {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::StrEq;
using ::testing::ThrowsMessage;
using test::Bytes;

Bytes Encode(TBitmap& bitmap)
{
    TJPEGImage jpeg;
    jpeg.CopyFrom(bitmap);
    TMemoryStream stream;
    jpeg.WriteImage(stream);
    return Bytes(std::vector<uint8_t>(stream.Memory(), stream.Memory() + stream.Size()));
}

void Decode(const Bytes& data, TBitmap& bitmap)
{
    TMemoryViewStream stream(data.data(), data.size());
    TJPEGImage jpeg;
    jpeg.ReadImage(stream);
    bitmap.CopyFrom(jpeg);
}

// 97 x 61 (edges that do not fill a whole block), colour ramps with a little noise.
void TestPicture(TBitmap& b)
{
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(97, 61);
    uint32_t seed = 1;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            seed = seed * 1103515245 + 12345;
            uint8_t* p = b.ScanLine(y) + 3 * x;
            p[0] = uint8_t(x * 2 + (seed >> 28));
            p[1] = uint8_t(y * 4);
            p[2] = uint8_t((x + y) * 3 ^ (seed >> 24));
        }
}

class JpegTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (test::FindProgram("djpeg").empty() || test::FindProgram("cjpeg").empty())
            GTEST_SKIP() << "djpeg and cjpeg (libjpeg-turbo-progs) are needed";
    }
    // libjpeg-turbo's decode: float DCT, block smoothing on (its default), and for a grey
    // picture the same 236-colour quantisation.
    test::PnmImage Djpeg(const std::string& file, bool grey, int* exitCode = nullptr)
    {
        std::vector<std::string> args = {"djpeg", "-dct", "float", "-pnm", "-outfile", dir / "ref.pnm"};
        if (grey) args.insert(args.begin() + 1, {"-colors", "236"});
        args.push_back(file);
        const test::RunResult r = test::Run(args);
        if (exitCode != nullptr) *exitCode = r.ExitCode;
        if (r.ExitCode != 0 && r.ExitCode != 2) return {};  // 2: decoded with warnings
        return test::ParsePnm(test::ReadFile(dir / "ref.pnm"));
    }
    test::TempDir dir;
};

// Also the damaged files: a progressive file cut short is where block smoothing shows.
TEST_F(JpegTools, CorpusDecodesToLibjpegsOwnFloatDecode)
{
    QUILLET_REQUIRE_CORPUS();
    std::vector<std::string> files = test::CorpusFiles("jpeg");
    const std::vector<std::string> hostile = test::CorpusFiles("hostile/jpeg");
    ASSERT_FALSE(files.empty());
    ASSERT_FALSE(hostile.empty());
    files.insert(files.end(), hostile.begin(), hostile.end());
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        TJPEGImage jpeg;
        TBitmap b;
        try {
            jpeg.ReadImageFile(file);
            b.CopyFrom(jpeg);
        } catch (const Exception& e) {
            if (e.Message().rfind("Image too large", 0) == 0) continue;  // too big to decode here too
            // Otherwise only what libjpeg itself refuses may fail (12-bit samples, no image).
            EXPECT_THAT(e.Message(), StartsWith("JPEG error #"));
            int refExit = 0;
            Djpeg(file, false, &refExit);
            EXPECT_EQ(refExit, 1);
            continue;
        }
        const bool grey = b.PixelFormat() == TPixelFormat::pf8bit;
        ASSERT_TRUE(grey || b.PixelFormat() == TPixelFormat::pf24bit);
        EXPECT_EQ(b.Width(), jpeg.Width());
        EXPECT_EQ(b.Height(), jpeg.Height());
        const test::PnmImage ref = Djpeg(file, grey);
        ASSERT_EQ(ref.Width, b.Width());
        ASSERT_EQ(ref.Height, b.Height());
        EXPECT_TRUE(test::PnmSamples(b, ref.Channels) == ref.Pixels);
        if (grey) {
            EXPECT_LE(b.Palette()->Count(), 236);
            for (const TPaletteEntry& e : b.Palette()->Entries())
                EXPECT_TRUE(e.peRed == e.peGreen && e.peGreen == e.peBlue);
        }
    }
}

TEST_F(JpegTools, CompressionMatchesCjpegAtQuality90BaselineFloat)
{
    TBitmap picture, grey;
    TestPicture(picture);
    grey.CopyFrom(picture);
    grey.SetPixelFormat(TPixelFormat::pf8bit);  // compressed from its 24-bit copy
    for (TBitmap* b : {&picture, &grey}) {
        SCOPED_TRACE(BitsPerPixel(b->PixelFormat()));
        const Bytes ours = Encode(*b);
        test::WriteFile(dir / "ours.jpg", ours);
        // The same pixels for cjpeg, as a PPM: no resolution that would change the header.
        Bytes ppm;
        ppm.str("P6\n" + std::to_string(b->Width()) + " " + std::to_string(b->Height()) + "\n255\n");
        ppm.bytes(test::PnmSamples(*b, 3));
        test::WriteFile(dir / "in.ppm", ppm);
        ASSERT_EQ(test::Run({"cjpeg", "-quality", "90", "-dct", "float", "-baseline", "-outfile", dir / "ref.jpg",
                             dir / "in.ppm"})
                      .ExitCode,
                  0);
        const test::PnmImage a = Djpeg(dir / "ours.jpg", false), r = Djpeg(dir / "ref.jpg", false);
        EXPECT_EQ(a.Channels, 3);
        EXPECT_TRUE(a.Pixels == r.Pixels);
        // Baseline sequential (SOF0) and no progressive frame.
        const std::string text(ours.begin(), ours.end());
        EXPECT_NE(text.find("\xFF\xC0"), std::string::npos);
        EXPECT_EQ(text.find("\xFF\xC2"), std::string::npos);
    }
}

TEST(JpegImage, FailuresCarryLibjpegsMessageCode)
{
    TBitmap picture;
    TestPicture(picture);
    const Bytes good = Encode(picture);
    Bytes badMarker = good;
    badMarker[1] = 0xD9;  // EOI where SOI belongs
    const struct {
        const char* name;
        Bytes data;
        int code;
    } kCases[] = {
        {"empty", {}, JERR_INPUT_EMPTY},
        {"not a JPEG", Bytes{}.str("GIF89a"), JERR_NO_SOI},
        {"no start of image", badMarker, JERR_NO_SOI},
        {"only the start of image", {0xFF, 0xD8}, JERR_NO_IMAGE},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TMemoryViewStream stream(c.data.data(), c.data.size());
        TJPEGImage jpeg;
        EXPECT_THAT([&] { jpeg.ReadImage(stream); }, ThrowsMessage<Exception>(StrEq(Fmt("JPEG error #%d", c.code))));
    }
}

TEST(JpegImage, EveryPrefixLoadsOrRaisesAJpegError)
{
    TBitmap picture;
    TestPicture(picture);
    const Bytes good = Encode(picture);
    for (size_t n = 0; n < good.size(); n += 7) {
        SCOPED_TRACE(n);
        const Bytes prefix(std::vector<uint8_t>(good.begin(), good.begin() + long(n)));
        TBitmap b;
        try {
            Decode(prefix, b);
            // Data that ends early decodes as far as it goes; the rest is libjpeg's fill.
            EXPECT_EQ(b.Width(), 97);
        } catch (const Exception& e) {
            EXPECT_THAT(e.Message(), StartsWith("JPEG error #"));
            EXPECT_TRUE(b.Empty());
        }
    }
}

// Replaces the sizes in the first SOF0 marker.
Bytes WithSize(Bytes data, uint16_t width, uint16_t height)
{
    for (size_t i = 0; i + 9 < data.size(); ++i)
        if (data[i] == 0xFF && data[i + 1] == 0xC0) {
            data[i + 5] = uint8_t(height >> 8), data[i + 6] = uint8_t(height);
            data[i + 7] = uint8_t(width >> 8), data[i + 8] = uint8_t(width);
            return data;
        }
    ADD_FAILURE() << "no SOF0";
    return data;
}

TEST(JpegImage, SizeIsCheckedAgainstThePixelLimitBeforeDecoding)
{
    TBitmap picture;
    TestPicture(picture);
    const Bytes bomb = WithSize(Encode(picture), 65500, 65500);
    TMemoryViewStream stream(bomb.data(), bomb.size());
    TJPEGImage jpeg;
    jpeg.ReadImage(stream);  // the header alone is fine
    EXPECT_EQ(jpeg.Width(), 65500);
    EXPECT_EQ(jpeg.Height(), 65500);
    TBitmap b;
    EXPECT_THAT([&] { b.CopyFrom(jpeg); }, ThrowsMessage<Exception>(StrEq("Image too large: 65500 x 65500 pixels")));
    EXPECT_TRUE(b.Empty());

    const int64_t limit = TBitmap::PixelLimit();
    TBitmap::SetPixelLimit(97 * 61 - 1);
    EXPECT_THAT([&] { Decode(Encode(picture), b); }, ThrowsMessage<Exception>(StrEq("Image too large: 97 x 61 pixels")));
    TBitmap::SetPixelLimit(limit);
}

// Progressive files, which the component never writes, straight from libjpeg: a pf24bit
// bitmap as colour or a pf8bit one as its index values taken for greys; with the scan
// script given, else libjpeg's standard progression.
struct TJpegWriteError {
    jpeg_error_mgr Base;
    jmp_buf Jump;
};

Bytes Progressive(const TBitmap& b, const std::vector<jpeg_scan_info>& script = {})
{
    jpeg_compress_struct info;
    TJpegWriteError error;
    info.err = jpeg_std_error(&error.Base);
    error.Base.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<TJpegWriteError*>(c->err)->Jump, 1); };
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (setjmp(error.Jump)) {
        jpeg_destroy_compress(&info);
        ADD_FAILURE() << "libjpeg refused the fixture";
        return {};
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &size);
    const bool grey = b.PixelFormat() == TPixelFormat::pf8bit;
    info.image_width = JDIMENSION(b.Width());
    info.image_height = JDIMENSION(b.Height());
    info.input_components = grey ? 1 : 3;
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    if (script.empty()) {
        jpeg_simple_progression(&info);
    } else {
        info.scan_info = script.data();
        info.num_scans = int(script.size());
    }
    jpeg_start_compress(&info, TRUE);
    for (int y = 0; y < b.Height(); ++y) {
        JSAMPROW row = const_cast<uint8_t*>(b.ScanLine(y));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    Bytes data(std::vector<uint8_t>(out, out + size));
    std::free(out);
    return data;
}

// A grey 16 x 16 file of the given number of scans (at least 64): the DC scan, then each
// AC coefficient alone, first at reduced precision and then refined bit by bit.
Bytes ManyScans(int scans)
{
    std::vector<jpeg_scan_info> script(1);
    script[0] = {1, {0}, 0, 0, 0, 0};
    int left = scans - 1;
    for (int k = 1; k < 64; ++k) {
        const int here = (left + (63 - k)) / (64 - k);  // spread evenly over what is left
        left -= here;
        script.push_back({1, {0}, k, k, 0, here - 1});
        for (int a = here - 1; a > 0; --a) script.push_back({1, {0}, k, k, a, a - 1});
    }
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf8bit);
    b.SetSize(16, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) b.ScanLine(y)[x] = uint8_t(x * 16 ^ y * 9);
    return Progressive(b, script);
}

TEST_F(JpegTools, ProgressiveFileCutAfterItsFirstScanIsBlockSmoothed)
{
    // With only the DC scan in, block smoothing guesses the low AC coefficients.
    TBitmap picture;
    TestPicture(picture);
    Bytes data = Progressive(picture);
    const std::string text(data.begin(), data.end());
    const size_t second = text.find("\xFF\xDA", text.find("\xFF\xDA") + 2);
    ASSERT_NE(second, std::string::npos);
    data.resize(second);
    data.u8(0xFF).u8(0xD9);
    test::WriteFile(dir / "cut.jpg", data);
    TBitmap b;
    Decode(data, b);
    const test::PnmImage ref = Djpeg(dir / "cut.jpg", false);
    EXPECT_TRUE(test::PnmSamples(b, 3) == ref.Pixels);
}

TEST(JpegImage, ProgressiveFilesOfMoreThan500ScansAreRefused)
{
    TBitmap b;
    Decode(ManyScans(500), b);
    EXPECT_EQ(b.Width(), 16);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_THAT([&] { Decode(ManyScans(501), b); }, ThrowsMessage<Exception>(StrEq("JPEG image has more than 500 scans")));
}

TEST(JpegImage, CopyFromKeepsA24BitCopyThatTheFirstSaveCompresses)
{
    TBitmap indexed;
    TestPicture(indexed);
    indexed.SetPixelFormat(TPixelFormat::pf8bit);
    TBitmap expected;
    expected.CopyFrom(indexed);
    expected.SetPixelFormat(TPixelFormat::pf24bit);

    TJPEGImage jpeg;
    jpeg.CopyFrom(indexed);
    indexed.SetSize(1, 1);  // the copy is independent
    EXPECT_EQ(jpeg.Width(), 97);
    EXPECT_EQ(jpeg.Height(), 61);
    for (int pass = 0; pass < 2; ++pass) {
        // Before and after the save the copy is given back exactly, not the lossy JPEG.
        TBitmap b;
        b.CopyFrom(jpeg);
        ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf24bit);
        EXPECT_EQ(0, std::memcmp(b.Bits(), expected.Bits(), expected.Stride() * 61));
        TMemoryStream stream;
        jpeg.WriteImage(stream);
        ASSERT_GT(stream.Size(), 2);
        EXPECT_EQ(stream.Memory()[0], 0xFF);
        EXPECT_EQ(stream.Memory()[1], 0xD8);
    }

    // Loading data drops the copy.
    TBitmap picture;
    TestPicture(picture);
    const Bytes other = WithSize(Encode(picture), 8, 8);
    TMemoryViewStream stream(other.data(), other.size());
    jpeg.ReadImage(stream);
    EXPECT_EQ(jpeg.Width(), 8);
}

TEST(JpegImage, NothingToCompress)
{
    TJPEGImage fresh;
    TMemoryStream out;
    fresh.WriteImage(out);
    EXPECT_EQ(out.Size(), 0);
    TBitmap b;
    b.CopyFrom(fresh);
    EXPECT_TRUE(b.Empty());

    TBitmap empty;
    TJPEGImage jpeg;
    jpeg.CopyFrom(empty);
    EXPECT_THAT([&] { jpeg.WriteImage(out); }, ThrowsMessage<Exception>(StrEq(Fmt("JPEG error #%d", JERR_EMPTY_IMAGE))));
}

}  // namespace
}  // namespace quillet
