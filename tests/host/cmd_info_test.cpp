#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/host/quillet.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using test::Quillet;

TEST(InfoCommand, PrintsTheLoadedGraphicAsOneLineOfJson)
{
    QUILLET_REQUIRE_CORPUS();
    const struct {
        const char* file;
        const char* json;
    } kCases[] = {
        {"bmp/gd_pal1.bmp", R"({"class":"TBitmap","width":127,"height":64,"bits":1,"palette":2})"},
        {"bmp/gd_pal8.bmp", R"({"class":"TBitmap","width":127,"height":64,"bits":8,"palette":252})"},
        {"bmp/gd_rgb16.bmp", R"({"class":"TBitmap","width":127,"height":64,"bits":15,"palette":0})"},
        {"bmp/gd_rgb16-565.bmp", R"({"class":"TBitmap","width":127,"height":64,"bits":16,"palette":0})"},
        {"bmp/gd_rgb32.bmp", R"({"class":"TBitmap","width":127,"height":64,"bits":32,"palette":0})"},
        {"jpeg/pil_hopper.jpg", R"({"class":"TJPEGImage","width":128,"height":128,"bits":0,"palette":0})"},
        // The header is enough: the pixels are never decoded.
        {"hostile/jpeg/oiio_bomb-65500x65500.jpg",
         R"({"class":"TJPEGImage","width":65500,"height":65500,"bits":0,"palette":0})"},
        {"ico/im_input.ico", R"({"class":"TIcon","width":32,"height":32,"bits":0,"palette":0})"},
        {"wmf/im_clock.wmf", R"({"class":"TMetafile","width":490,"height":495,"bits":0,"palette":0})"},
        {"wmf/pil_drawing.emf", R"({"class":"TMetafile","width":110,"height":110,"bits":0,"palette":0})"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.file);
        const test::RunResult r = Quillet({"info", test::CorpusDir() + "/" + c.file});
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        EXPECT_EQ(r.Out, std::string(c.json) + "\n");
        EXPECT_EQ(r.Err, "");
    }
}

TEST(InfoCommand, AnEmptyBitmapFileIsAnEmptyBitmap)
{
    test::TempDir dir;
    test::WriteFile(dir / "empty.bmp", {});
    const test::RunResult r = Quillet({"info", dir / "empty.bmp"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, R"({"class":"TBitmap","width":0,"height":0,"bits":32,"palette":0})"
                     "\n");
}

TEST(InfoCommand, FailuresEndWithTheMessage)
{
    test::TempDir dir;
    test::WriteFile(dir / "text.bmp", {'h', 'e', 'l', 'l', 'o'});
    const struct {
        std::string file;
        std::string message;
    } kCases[] = {
        {dir / "text.bmp", "Bitmap image is not valid"},
        {dir / "photo.XYZ", "Unknown picture file extension (.xyz)"},
        {dir / "missing.bmp", "Cannot open file " + dir / "missing.bmp"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.file);
        const test::RunResult r = Quillet({"info", c.file});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.LastErrLine(), "quillet: " + c.message);
        EXPECT_EQ(r.Out, "");
    }
}

TEST(InfoCommand, UsageAndHelp)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info"}, {"info", "a.bmp", "b.bmp"}, {"info", "--bits", "a.bmp"}}) {
        const test::RunResult r = Quillet(args);
        EXPECT_EQ(r.ExitCode, 2) << args.size();
        EXPECT_THAT(r.Err, HasSubstr("usage: quillet info IN"));
    }
    const test::RunResult help = Quillet({"info", "--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_THAT(help.Out, StartsWith("usage: quillet info IN\n"));
    EXPECT_THAT(help.Out, HasSubstr("\"palette\""));
}

}  // namespace
}  // namespace quillet
