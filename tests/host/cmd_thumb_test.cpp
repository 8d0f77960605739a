#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "imaging/readers/pcx.h"
#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/jpeg.h"
#include "tests/host/quillet.h"
#include "tests/support/bmp.h"
#include "tests/support/files.h"
#include "tests/support/read_graphic.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using test::Quillet;

std::unique_ptr<TBitmap> DecodeJpegFile(const std::string& path)
{
    auto jpeg = test::ReadGraphic<TJPEGImage>(test::ReadFile(path));
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->CopyFrom(*jpeg);
    return bitmap;
}

// Every channel of the thumbnail within a JPEG's tolerance of the box-filtered source.
int WorstDifference(const TBitmap& thumb, TBitmap& source)
{
    TBitmap want;
    ResampleBitmap(thumb.Width(), thumb.Height(), fkBox, 0.0f, source, want);
    int worst = 0;
    for (int y = 0; y < thumb.Height(); ++y)
        for (int i = 0; i < 3 * thumb.Width(); ++i)
            worst = std::max(worst, std::abs(thumb.ScanLine(y)[i] - want.ScanLine(y)[i]));
    return worst;
}

TEST(ThumbCommand, WritesTheBoxFilteredPictureAsAJpegOfExactlyTheSizeAsked)
{
    test::TempDir dir;
    const test::Bytes picture = test::GradientBmp(640, 480);
    test::WriteFile(dir / "in.bmp", picture);
    // Not the aspect ratio: the picture is stretched, and the output is JPEG whatever its name.
    const auto run = Quillet({"thumb", dir / "in.bmp", dir / "out.bmp", "--size", "100x90"});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const auto thumb = DecodeJpegFile(dir / "out.bmp");
    ASSERT_EQ(thumb->Width(), 100);
    ASSERT_EQ(thumb->Height(), 90);
    auto source = test::ReadGraphic<TBitmap>(picture);
    EXPECT_LE(WorstDifference(*thumb, *source), 8);
}

TEST(ThumbCommand, ReadsTheBytesThatAnUploadOfTheFileGives)
{
    // A 16 x 16 uncoded 8-bit PCX of colour 1, red in the palette at the end of the file.
    // An upload's temporary copy has one zero byte more, so the reader does not find the
    // palette there; the thumbnail must be the upload's picture, not the file's.
    test::Bytes pcx = test::Bytes{}.u8(10).u8(5).u8(0).u8(8).le16(0).le16(0).le16(15).le16(15).le16(72).le16(72);
    pcx.fill(48, 0).u8(0).u8(1).le16(16).le16(1).fill(58, 0);
    pcx.fill(16 * 16, 1).u8(12).fill(3, 0).u8(255).u8(0).u8(0).fill(762, 0);
    test::Bytes upload = pcx;
    upload.u8(0);
    auto direct = test::ReadGraphic<TPCXGraphic>(pcx);
    auto uploaded = test::ReadGraphic<TPCXGraphic>(upload);
    direct->SetPixelFormat(TPixelFormat::pf24bit);
    uploaded->SetPixelFormat(TPixelFormat::pf24bit);
    ASSERT_EQ(direct->ScanLine(0)[2], 255);  // the fixture tells the two apart
    ASSERT_NE(uploaded->ScanLine(0)[2], 255);

    test::TempDir dir;
    test::WriteFile(dir / "in.pcx", pcx);
    // A temporary folder of the test's own, which the copy must leave empty.
    fs::create_directory(dir / "tmp");
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    const auto run = Quillet({"thumb", dir / "in.pcx", dir / "out.jpg", "--size", "8x8"});
    if (saved != nullptr) setenv("TMPDIR", savedValue.c_str(), 1);
    else unsetenv("TMPDIR");
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    const auto thumb = DecodeJpegFile(dir / "out.jpg");
    EXPECT_LE(WorstDifference(*thumb, *uploaded), 8);
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}

TEST(ThumbCommand, FitKeepsTheAspectRatioWithinTheSize)
{
    const struct {
        int width, height;
        const char* size;
        int wantWidth, wantHeight;
    } kCases[] = {
        {640, 480, "100x100", 100, 75},
        {300, 600, "100x100", 50, 100},
        {319, 199, "319x199", 319, 199},
        {2000, 3, "100x100", 100, 1},  // never a side of 0
    };
    test::TempDir dir;
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " in " << c.size);
        test::WriteFile(dir / "in.bmp", test::GradientBmp(c.width, c.height));
        const auto run = Quillet({"thumb", dir / "in.bmp", dir / "out.jpg", "--size=" + std::string(c.size), "--fit"});
        ASSERT_EQ(run.ExitCode, 0) << run.Err;
        const auto thumb = DecodeJpegFile(dir / "out.jpg");
        EXPECT_EQ(thumb->Width(), c.wantWidth);
        EXPECT_EQ(thumb->Height(), c.wantHeight);
    }
}

TEST(ThumbCommand, UsageErrors)
{
    const struct {
        std::vector<std::string> args;
        const char* problem;
    } kCases[] = {
        {{"a.bmp", "b.jpg"}, "thumb needs --size WxH"},
        {{"a.bmp", "b.jpg", "--size", "320x100"}, "--size must stay below 320x200 (319x199 at most)"},
        {{"a.bmp", "b.jpg", "--size", "100x200"}, "--size must stay below 320x200 (319x199 at most)"},
        {{"a.bmp", "b.jpg", "--size", "0x10"}, "--size wants WxH, two positive integers"},
        {{"a.bmp", "b.jpg", "--size"}, "--size needs a value"},
        {{"a.bmp", "--size", "10x10"}, "thumb takes IN and OUT, or IN... with --out-dir"},
        {{"a.bmp", "b.bmp", "c.jpg", "--size", "10x10"}, "thumb takes IN and OUT, or IN... with --out-dir"},
        {{"--out-dir", "d", "--size", "10x10"}, "thumb --out-dir takes one IN or more"},
        {{"a.bmp", "b.jpg", "--size", "10x10", "--jobs", "2"}, "--jobs goes with --out-dir"},
        {{"a.bmp", "--out-dir", "d", "--size", "10x10", "--jobs", "0"}, "--jobs wants a number from 1 to 64"},
        {{"a.bmp", "b.jpg", "--size", "10x10", "--filter", "box"}, "unknown option '--filter'"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.problem);
        std::vector<std::string> args = {"thumb"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = Quillet(args);
        EXPECT_EQ(run.ExitCode, 2);
        EXPECT_THAT(run.Err, StartsWith("quillet: " + std::string(c.problem) + "\nusage: quillet thumb"));
    }
    const auto help = Quillet({"thumb", "--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_THAT(help.Out, HasSubstr("--fit"));
}

TEST(ThumbCommand, AFailedThumbnailSaysWhyAndWritesNothing)
{
    test::TempDir dir;
    test::WriteFile(dir / "in.xyz", {1, 2, 3});
    test::WriteFile(dir / "bad.bmp", {'G', 'I', 'F'});
    const struct {
        std::string in;
        const char* message;
    } kCases[] = {
        {dir / "in.xyz", "Unknown picture file extension (.xyz)"},
        {dir / "bad.bmp", "Bitmap image is not valid"},
        {dir / "missing.bmp", "Cannot open file "},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.in);
        const auto run = Quillet({"thumb", c.in, dir / "out.jpg", "--size", "10x10"});
        EXPECT_EQ(run.ExitCode, 1);
        EXPECT_THAT(run.LastErrLine(), StartsWith("quillet: " + std::string(c.message)));
        EXPECT_FALSE(fs::exists(dir / "out.jpg"));
    }
}

TEST(ThumbCommand, ManyInputsGoIntoTheFolderAndTheFailuresAreListedAtTheEnd)
{
    test::TempDir dir;
    fs::create_directory(dir / "other");
    std::vector<std::string> args = {"thumb"};
    for (int i = 0; i < 6; ++i) {
        const std::string in = dir / Fmt("p%d.bmp", i);
        test::WriteFile(in, test::GradientBmp(40 + i, 30));
        args.push_back(in);
    }
    test::WriteFile(dir / "other/p0.bmp", test::GradientBmp(8, 8));
    test::WriteFile(dir / "broken.bmp", {'x'});
    args.insert(args.end(), {dir / "broken.bmp", dir / "other/p0.bmp", "--out-dir", dir / "thumbs/new", "--size",
                             "20x10", "--jobs", "2"});
    const auto run = Quillet(args);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Out, "6 done, 2 failed\n");
    // In the order given, after the summary; no progress line off a terminal.
    const std::string broken = dir / "broken.bmp", twin = dir / "other/p0.bmp";
    const std::string twinOut = dir / "thumbs/new/p0.jpg", first = dir / "p0.bmp";
    EXPECT_EQ(run.Err, Fmt("quillet: %s: Bitmap image is not valid\nquillet: %s: its thumbnail %s is also that of %s\n",
                           broken.c_str(), twin.c_str(), twinOut.c_str(), first.c_str()));
    for (int i = 0; i < 6; ++i) {
        const auto thumb = DecodeJpegFile(dir / Fmt("thumbs/new/p%d.jpg", i));
        EXPECT_EQ(thumb->Width(), 20);
        EXPECT_EQ(thumb->Height(), 10);
    }
    EXPECT_FALSE(fs::exists(dir / "thumbs/new/broken.jpg"));

    // All done: exit 0.
    const auto good = Quillet({"thumb", dir / "p1.bmp", dir / "p2.bmp", "--out-dir", dir / "again", "--size", "5x5"});
    EXPECT_EQ(good.ExitCode, 0) << good.Err;
    EXPECT_EQ(good.Out, "2 done, 0 failed\n");
    EXPECT_EQ(good.Err, "");
    // A folder that cannot be made.
    const auto noDir = Quillet({"thumb", dir / "p1.bmp", "--out-dir", dir / "p1.bmp/sub", "--size", "5x5"});
    EXPECT_EQ(noDir.ExitCode, 1);
    EXPECT_EQ(noDir.LastErrLine(), "quillet: Cannot create folder " + (dir / "p1.bmp/sub"));
}

}  // namespace
}  // namespace quillet
