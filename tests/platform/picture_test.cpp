#include "platform/picture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/icon.h"
#include "platform/jpeg.h"
#include "platform/metafile.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(Picture, ExtensionIsTakenAfterTheLastDotThatFollowsTheLastSeparator)
{
    const struct { const char* name; const char* ext; } kCases[] = {
        {"a.GIF", "gif"},         {"dir.x/readme", ""},  {"C:\\old.dir\\readme", ""}, {"c:x.Tga", "tga"},
        {"c:.x\\y", ""},          {"archive.tar.gz", "gz"}, {"photo.", ""},         {"noext", ""},
        {"/tmp/q/up.JPeG", "jpeg"},
    };
    for (const auto& c : kCases) EXPECT_EQ(TPicture::FileExtension(c.name), c.ext) << c.name;
}

TEST(Picture, PlatformBindingsAreThere)
{
    const struct { const char* name; const TGraphicClass* cls; } kCases[] = {
        {"a.wmf", &TMetafile::Class}, {"a.emf", &TMetafile::Class},  {"a.ico", &TIcon::Class},
        {"a.bmp", &TBitmap::Class},   {"a.jpeg", &TJPEGImage::Class}, {"a.JPG", &TJPEGImage::Class},
    };
    for (const auto& c : kCases) EXPECT_EQ(TPicture::FindGraphicClass(c.name), c.cls) << c.name;
    EXPECT_EQ(TPicture::FindGraphicClass("a.xyz"), nullptr);
}

struct TTestGraphic : TBitmap {
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override { return Class; }
};
const TGraphicClass TTestGraphic::Class = {"TTestGraphic", &TBitmap::Class,
                                           []() -> std::unique_ptr<TGraphic> { return std::make_unique<TTestGraphic>(); }};
struct TDerivedGraphic : TTestGraphic {
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override { return Class; }
};
const TGraphicClass TDerivedGraphic::Class = {"TDerivedGraphic", &TTestGraphic::Class, nullptr};

TEST(Picture, NewestBindingWinsAndRemovalTakesDerivedClassesToo)
{
    TPicture::RegisterFileFormat("bmp", "test", TTestGraphic::Class);
    TPicture::RegisterFileFormat("Qq1", "test", TDerivedGraphic::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("x.bmp"), &TTestGraphic::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("x.qq1"), &TDerivedGraphic::Class);
    TPicture::UnregisterGraphicClass(TTestGraphic::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("x.bmp"), &TBitmap::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("x.qq1"), nullptr);
}

TEST(Picture, UnknownExtensionIsRefusedWithTheLowerCasedExtension)
{
    TPicture p;
    EXPECT_THAT([&] { p.Load("/nowhere/x.XyZ"); },
                ThrowsMessage<Exception>(StrEq("Unknown picture file extension (.xyz)")));
    EXPECT_THAT([&] { p.Load("/nowhere/x"); }, ThrowsMessage<Exception>(StrEq("Unknown picture file extension (.)")));
    EXPECT_EQ(p.Graphic(), nullptr);
}

TEST(Picture, AsBitmapReplacesAGraphicThatIsNotABitmap)
{
    TPicture p;
    EXPECT_EQ(p.Width(), 0);
    TBitmap& b = p.AsBitmap();
    EXPECT_EQ(p.Graphic(), &b);
    p.SetGraphic(std::make_unique<TTestGraphic>());
    TGraphic* held = p.Graphic();
    EXPECT_EQ(&p.AsBitmap(), held);  // a derived class stays
    p.SetGraphic(std::make_unique<TIcon>());
    EXPECT_EQ(p.AsBitmap().ClassType().Name, std::string("TBitmap"));
}

TEST(Bitmap, CopyFromAnIconIsRefusedWithBothClassNames)
{
    TIcon icon;
    TBitmap b;
    EXPECT_THAT([&] { b.CopyFrom(icon); }, ThrowsMessage<Exception>(StrEq("Cannot assign a TIcon to a TBitmap")));
    TMetafile meta;
    EXPECT_THAT([&] { b.CopyFrom(meta); }, ThrowsMessage<Exception>(StrEq("Cannot assign a TMetafile to a TBitmap")));
}

}  // namespace
}  // namespace quillet
