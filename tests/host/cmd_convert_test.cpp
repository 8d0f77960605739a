#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include <jerror.h>
#include <jpeglib.h>

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/host/quillet.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using test::Quillet;

constexpr char kPython[] = "/usr/bin/python3";

// Compares pictures with Pillow. Each line of the file named first is "ours<TAB>reference<TAB>mode"; each
// output line "ok" or what differs. Modes: exact; background, where ours may also show
// its palette entry 0 (pixels that run-length codes skip).
constexpr char kCompare[] = R"(
import sys
from PIL import Image
for line in open(sys.argv[1]).read().splitlines():
    ours, ref, mode = line.split('\t')
    try:
        a = Image.open(ours)
        background = tuple(a.getpalette()[0:3]) if a.mode == 'P' else None
        a = a.convert('RGB')
        b = Image.open(ref).convert('RGB')
    except Exception as e:
        print('error', type(e).__name__, e)
        continue
    if a.size != b.size:
        print('size', a.size, b.size)
        continue
    pa, pb = a.getdata(), b.getdata()
    bad = sum(1 for p, q in zip(pa, pb) if p != q and not (mode == 'background' and p == background))
    print('ok' if bad == 0 else '%d pixels differ' % bad)
)";

bool HavePillow() { return test::Run({kPython, "-c", "import PIL.Image"}).ExitCode == 0; }

TEST(ConvertCommand, CorpusBitmapsGiveThePixelsPillowReads)
{
    QUILLET_REQUIRE_CORPUS();
    if (!HavePillow()) GTEST_SKIP() << kPython << " with Pillow is needed";
    const std::string corpus = test::CorpusDir() + "/bmp/";
    // Where Pillow cannot be the reference for a file itself, the same picture stored
    // plainly is. Pillow 9.4 misreads RLE4 and the run-length step codes, refuses 300
    // colours and takes no masks but the usual ones.
    const std::map<std::string, std::pair<std::string, std::string>> kReference = {
        {"gd_pal4rle.bmp", {"gd_pal4.bmp", "exact"}},
        {"gd_pal4rlecut.bmp", {"gd_pal4.bmp", "background"}},
        {"gd_pal4rletrns.bmp", {"gd_pal4.bmp", "background"}},
        {"gd_pal8rlecut.bmp", {"gd_pal8.bmp", "background"}},
        {"gd_pal8oversizepal.bmp", {"gd_pal8.bmp", "exact"}},
        {"gd_rgb32bf.bmp", {"gd_rgb32.bmp", "exact"}},
    };
    // 2-3-1 bit masks: no other decoder at hand scales them to full range (the masks are
    // covered by the reader's own tests).
    const std::string kUnreferenced = "gd_rgb16-231.bmp";
    const std::map<std::string, std::string> kRefused = {
        {"gd_pal2.bmp", "Unsupported bitmap bit count (2)"},
        {"gd_rgba64.bmp", "Unsupported bitmap bit count (64)"},
        {"gd_rgb24jpeg.bmp", "Unsupported bitmap compression (BI_JPEG)"},
        {"gd_rgb24png.bmp", "Unsupported bitmap compression (BI_PNG)"},
        {"gd_rgb24rle24.bmp", "Unsupported bitmap compression (OS/2 RLE24)"},
        {"gd_rgba32abf.bmp", "Unsupported bitmap compression (BI_ALPHABITFIELDS)"},
        // No "BM" file header: a bare bitmap, and a Utah raster file.
        {"im_input.dib", "Bitmap image is not valid"},
        {"pil_clipboard.dib", "Bitmap image is not valid"},
        {"im_input.rle", "Bitmap image is not valid"},
    };

    test::TempDir dir;
    std::string pairs;
    std::vector<std::string> compared;
    for (const std::string& file : test::CorpusFiles("bmp")) {
        const std::string name = std::filesystem::path(file).filename();
        SCOPED_TRACE(name);
        const std::string out = dir / (name + ".bmp");
        const test::RunResult r = Quillet({"convert", file, out});
        if (const auto refused = kRefused.find(name); refused != kRefused.end()) {
            EXPECT_EQ(r.ExitCode, 1);
            EXPECT_EQ(r.LastErrLine(), "quillet: " + refused->second);
            EXPECT_FALSE(std::filesystem::exists(out));
            continue;
        }
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(r.Err, "");
        if (name == kUnreferenced) continue;
        const auto ref = kReference.find(name);
        pairs += out + "\t" + (ref != kReference.end() ? corpus + ref->second.first : file) + "\t" +
                 (ref != kReference.end() ? ref->second.second : "exact") + "\n";
        compared.push_back(name);
    }
    ASSERT_GE(compared.size(), 20u);
    test::WriteFile(dir / "pairs", std::vector<uint8_t>(pairs.begin(), pairs.end()));
    const test::RunResult py = test::Run({kPython, "-c", kCompare, dir / "pairs"});
    ASSERT_EQ(py.ExitCode, 0) << py.Err;
    std::istringstream lines(py.Out);
    std::string verdict;
    for (const std::string& name : compared) {
        ASSERT_TRUE(std::getline(lines, verdict)) << name;
        EXPECT_EQ(verdict, "ok") << name;
    }
}

TEST(ConvertCommand, HostileBitmapsFailWithTheirReason)
{
    QUILLET_REQUIRE_CORPUS();
    const char* kNotValid = "Bitmap image is not valid";
    const std::map<std::string, std::string> kCases = {
        {"gd_badbitcount.bmp", "Unsupported bitmap bit count (30000)"},
        {"gd_badheadersize.bmp", kNotValid},
        {"gd_badpalettesize.bmp", kNotValid},
        {"gd_badplanes.bmp", kNotValid},
        {"gd_badrle.bmp", kNotValid},          // runs past the end of their rows
        {"gd_pal8badindex.bmp", kNotValid},    // indices past the colour table
        {"gd_reallybig.bmp", "Image too large: 3000000 x 2000000 pixels"},
        {"gd_rletopdown.bmp", kNotValid},
        {"gd_shortfile.bmp", "Stream read error"},
        {"irs_rle_overflow.bmp", kNotValid},
        {"oiio_bomb-65535.bmp", "Image too large: 65535 x 65535 pixels"},
        {"oiio_crash-5158.bmp", kNotValid},    // pixels 4 GB past the start
        {"oiio_palette32bit-corrupt.bmp", kNotValid},
    };
    test::TempDir dir;
    size_t seen = 0;
    for (const std::string& file : test::CorpusFiles("hostile/bmp")) {
        const std::string name = std::filesystem::path(file).filename();
        SCOPED_TRACE(name);
        const test::RunResult r = Quillet({"convert", file, dir / "out.bmp"});
        EXPECT_EQ(r.ExitCode, 1);
        const auto want = kCases.find(name);
        if (want != kCases.end()) {
            EXPECT_EQ(r.LastErrLine(), "quillet: " + want->second);
            ++seen;
        } else {
            EXPECT_THAT(r.LastErrLine(), StartsWith("quillet: "));  // a file added later
        }
        EXPECT_EQ(r.Out, "");
        EXPECT_FALSE(std::filesystem::exists(dir / "out.bmp"));
    }
    EXPECT_EQ(seen, kCases.size());
}

std::vector<uint8_t> BitmapSamples(const std::string& file, int channels)
{
    TBitmap b;
    const std::vector<uint8_t> data = test::ReadFile(file);
    TMemoryViewStream stream(data.data(), data.size());
    b.ReadImage(stream);
    return test::PnmSamples(b, channels);
}

TEST(ConvertCommand, AJpegBecomesItsDecodedPixels)
{
    QUILLET_REQUIRE_CORPUS();
    if (test::FindProgram("djpeg").empty()) GTEST_SKIP() << "djpeg (libjpeg-turbo-progs) is needed";
    const struct {
        const char* file;
        const char* info;
        std::vector<std::string> djpegArgs;
    } kCases[] = {
        {"jpeg/pil_flower.jpg", R"({"class":"TBitmap","width":480,"height":360,"bits":24,"palette":0})", {}},
        {"jpeg/pil_hopper_gray.jpg", R"({"class":"TBitmap","width":128,"height":128,"bits":8,"palette":236})",
         {"-colors", "236"}},
        // Damaged data: libjpeg's warnings are not printed.
        {"jpeg/pil_junk_jpeg_header.jpg", R"({"class":"TBitmap","width":1024,"height":768,"bits":24,"palette":0})",
         {}},
    };
    test::TempDir dir;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.file);
        const std::string in = test::CorpusDir() + "/" + c.file;
        const test::RunResult r = Quillet({"convert", in, dir / "out.bmp"});
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(Quillet({"info", dir / "out.bmp"}).Out, std::string(c.info) + "\n");
        std::vector<std::string> args = {"djpeg", "-dct", "float", "-pnm", "-outfile", dir / "ref.pnm"};
        args.insert(args.end(), c.djpegArgs.begin(), c.djpegArgs.end());
        args.push_back(in);
        ASSERT_NE(test::Run(args).ExitCode, 1);
        const test::PnmImage ref = test::ParsePnm(test::ReadFile(dir / "ref.pnm"));
        EXPECT_TRUE(BitmapSamples(dir / "out.bmp", ref.Channels) == ref.Pixels);
    }
}

TEST(ConvertCommand, WritesJpegByTheOutputExtension)
{
    QUILLET_REQUIRE_CORPUS();
    test::TempDir dir;
    const std::string in = test::CorpusDir() + "/bmp/gd_pal8.bmp";
    for (const char* name : {"out.jpg", "out.JPEG"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Quillet({"convert", in, dir / name}).ExitCode, 0);
        EXPECT_EQ(Quillet({"info", dir / name}).Out,
                  R"({"class":"TJPEGImage","width":127,"height":64,"bits":0,"palette":0})"
                  "\n");
    }
}

TEST(ConvertCommand, FailuresEndWithTheMessageAndLeaveNoOutput)
{
    QUILLET_REQUIRE_CORPUS();
    test::TempDir dir;
    test::WriteFile(dir / "empty.bmp", {});
    test::WriteFile(dir / "keep.jpg", {'o', 'l', 'd'});
    const std::string corpus = test::CorpusDir() + "/";
    const struct {
        std::string in, out, message;
    } kCases[] = {
        {corpus + "ico/im_input.ico", dir / "a.bmp", "Cannot assign a TIcon to a TBitmap"},
        {corpus + "wmf/im_clock.wmf", dir / "a.bmp", "Cannot assign a TMetafile to a TBitmap"},
        {corpus + "bmp/gd_pal8.bmp", dir / "a.png",
         "Unknown output file extension (.png): write .bmp, .jpg, .jpeg or .tga"},
        // The output name is checked before anything is loaded.
        {dir / "missing.bmp", dir / "a", "Unknown output file extension (.): write .bmp, .jpg, .jpeg or .tga"},
        {dir / "photo.XYZ", dir / "a.bmp", "Unknown picture file extension (.xyz)"},
        {dir / "missing.bmp", dir / "a.bmp", "Cannot open file " + dir / "missing.bmp"},
        // A failed write leaves what was there.
        {dir / "empty.bmp", dir / "keep.jpg", Fmt("JPEG error #%d", JERR_EMPTY_IMAGE)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.in + " -> " + c.out);
        const test::RunResult r = Quillet({"convert", c.in, c.out});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.LastErrLine(), "quillet: " + c.message);
        if (c.out != dir / "keep.jpg") {
            EXPECT_FALSE(std::filesystem::exists(c.out));
        }
    }
    EXPECT_EQ(test::ReadFile(dir / "keep.jpg"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    // Only the files the cases made remain: no temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 2);
}

TEST(ConvertCommand, AnEmptyBitmapFileConvertsToAnEmptyBitmapFile)
{
    test::TempDir dir;
    test::WriteFile(dir / "empty.bmp", {});
    const test::RunResult r = Quillet({"convert", dir / "empty.bmp", dir / "out.bmp"});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_TRUE(test::ReadFile(dir / "out.bmp").empty());
}

TEST(ConvertCommand, UsageErrors)
{
    const std::vector<std::vector<std::string>> kCases = {
        {},
        {"a.bmp"},
        {"a.bmp", "b.bmp", "c.bmp"},
        {"a.bmp", "b.bmp", "--resize"},
        {"a.bmp", "b.bmp", "--resize", "10"},
        {"a.bmp", "b.bmp", "--resize", "0x5"},
        {"a.bmp", "b.bmp", "--resize", "-4x5"},
        {"a.bmp", "b.bmp", "--resize", "4x5x6"},
        {"a.bmp", "b.bmp", "--resize", "99999999999x5"},
        {"a.bmp", "b.bmp", "--resize", "4x5", "--filter", "sinc"},
        {"a.bmp", "b.bmp", "--resize=4x5", "--radius", "-1"},
        {"a.bmp", "b.bmp", "--resize", "4x5", "--radius", "nan"},
        {"a.bmp", "b.bmp", "--filter", "box"},  // a kernel without a resize
        {"a.bmp", "b.bmp", "--radius=2"},
        {"a.bmp", "b.bmp", "--quality", "80"},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> args = {"convert"};
        args.insert(args.end(), c.begin(), c.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        const test::RunResult r = Quillet(args);
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_THAT(r.LastErrLine(), StartsWith("usage: quillet convert IN OUT"));
    }
    const test::RunResult help = Quillet({"convert", "--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_THAT(help.Out, StartsWith("usage: quillet convert IN OUT"));
    for (const char* word : {"box", "triangle", "hermite", "bell", "bspline", "lanczos3", "mitchell", ".tga"})
        EXPECT_THAT(help.Out, HasSubstr(word));
}

// The resampler and the Targa writer are still placeholders where this says so.
bool NotLanded(const test::RunResult& r) { return r.ExitCode == 1 && r.LastErrLine() == "quillet: not implemented"; }

TEST(ConvertCommand, ResizeWritesThe24BitResult)
{
    QUILLET_REQUIRE_CORPUS();
    test::TempDir dir;
    const std::string in = test::CorpusDir() + "/bmp/gd_pal8.bmp";
    const struct {
        std::vector<std::string> options;
        const char* info;
    } kCases[] = {
        {{"--resize", "40x20"}, R"({"class":"TBitmap","width":40,"height":20,"bits":24,"palette":0})"},
        {{"--resize=300x7", "--filter", "lanczos3", "--radius", "2.5"},
         R"({"class":"TBitmap","width":300,"height":7,"bits":24,"palette":0})"},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> args = {"convert", in, dir / "out.bmp"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const test::RunResult r = Quillet(args);
        if (NotLanded(r)) GTEST_SKIP() << "the resampler is not there yet";
        ASSERT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(Quillet({"info", dir / "out.bmp"}).Out, std::string(c.info) + "\n");
    }
}

TEST(ConvertCommand, WritesTargaByTheOutputExtension)
{
    QUILLET_REQUIRE_CORPUS();
    test::TempDir dir;
    const test::RunResult r = Quillet({"convert", test::CorpusDir() + "/bmp/gd_rgb24.bmp", dir / "out.tga"});
    if (NotLanded(r)) GTEST_SKIP() << "the Targa writer is not there yet";
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_THAT(Quillet({"info", dir / "out.tga"}).Out, StartsWith(R"({"class":"TTargaGraphic","width":127,"height":64)"));
}

}  // namespace
}  // namespace quillet
