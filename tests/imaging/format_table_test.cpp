#include "imaging/ImageFormats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "imaging/readers/autodesk.h"
#include "imaging/readers/cut.h"
#include "imaging/readers/gif.h"
#include "imaging/readers/pcd.h"
#include "imaging/readers/pcx.h"
#include "imaging/readers/ppm.h"
#include "imaging/readers/psd.h"
#include "imaging/readers/rla.h"
#include "imaging/readers/sgi.h"
#include "imaging/readers/targa.h"
#include "imaging/readers/tiff.h"
#include "platform/errors.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

// Registers the readers once for the tests of this file that need them.
void EnsureRegistered()
{
    static const bool registered = [] {
        RegisterImageFormats();
        return true;
    }();
    (void)registered;
}

TEST(FormatTable, RegistrationAddsThe28BindingsInTableOrder)
{
    const struct {
        const char* extension;
        const char* description;
        const TGraphicClass* graphicClass;
    } kWant[] = {
        {"win", "Truevision images", &TTargaGraphic::Class},
        {"vst", "Truevision images", &TTargaGraphic::Class},
        {"vda", "Truevision images", &TTargaGraphic::Class},
        {"tiff", "TIFF images", &TTIFFGraphic::Class},
        {"tif", "TIFF images", &TTIFFGraphic::Class},
        {"tga", "Truevision images", &TTargaGraphic::Class},
        {"sgi", "SGI true color images", &TSGIGraphic::Class},
        {"scr", "Word 5.x screen capture images", &TPCXGraphic::Class},
        {"rpf", "SGI Wavefront images", &TRLAGraphic::Class},
        {"rle", "Windows bitmap", &TBitmap::Class},
        {"rla", "SGI Wavefront images", &TRLAGraphic::Class},
        {"rgba", "SGI true color images", &TSGIGraphic::Class},
        {"rgb", "SGI true color images", &TSGIGraphic::Class},
        {"psd", "Photoshop images", &TPSDGraphic::Class},
        {"ppm", "Portable pixel map images", &TPPMGraphic::Class},
        {"pgm", "Portable grayscale images", &TPPMGraphic::Class},
        {"pbm", "Portable b&w images", &TPPMGraphic::Class},
        {"pic", "Autodesk images", &TAutodeskGraphic::Class},
        {"pcx", "ZSoft PCX images", &TPCXGraphic::Class},
        {"pdd", "Photoshop images", &TPSDGraphic::Class},
        {"pcd", "Kodak Photo-CD images", &TPCDGraphic::Class},
        {"pcc", "ZSoft PCC images", &TPCXGraphic::Class},
        {"icb", "Truevision images", &TTargaGraphic::Class},
        {"gif", "CompuServe images", &TGIFGraphic::Class},
        {"dib", "Windows bitmap", &TBitmap::Class},
        {"cut", "Dr. Halo images", &TCUTGraphic::Class},
        {"cel", "Autodesk images", &TAutodeskGraphic::Class},
        {"bw", "SGI black/white images", &TSGIGraphic::Class},
    };
    const size_t before = TPicture::FileFormats().size();
    RegisterImageFormats();
    const std::vector<TFileFormat> after = TPicture::FileFormats();
    ASSERT_EQ(after.size(), before + std::size(kWant));
    for (size_t i = 0; i < std::size(kWant); ++i) {
        SCOPED_TRACE(kWant[i].extension);
        const TFileFormat& got = after[before + i];
        EXPECT_EQ(got.Extension, kWant[i].extension);
        EXPECT_EQ(got.Description, kWant[i].description);
        EXPECT_EQ(got.GraphicClass, kWant[i].graphicClass);
    }
    // Each reader's name is its class name (it goes into messages and `quillet info`).
    EXPECT_STREQ(TTargaGraphic::Class.Name, "TTargaGraphic");
    EXPECT_STREQ(TPCXGraphic::Class.Name, "TPCXGraphic");
    UnregisterImageFormats();
}

TEST(FormatTable, LookupIgnoresCaseAndFindsTheReaderClass)
{
    EnsureRegistered();
    const struct {
        const char* fileName;
        const TGraphicClass* graphicClass;
    } kCases[] = {
        {"photo.GIF", &TGIFGraphic::Class}, {"photo.gif", &TGIFGraphic::Class}, {"photo.Gif", &TGIFGraphic::Class},
        {"image.scr", &TPCXGraphic::Class}, {"image.pcc", &TPCXGraphic::Class}, {"image.PCX", &TPCXGraphic::Class},
        {"image.rle", &TBitmap::Class},     {"image.dib", &TBitmap::Class},     {"a.icb", &TTargaGraphic::Class},
        {"a.VDA", &TTargaGraphic::Class},   {"a.b.tiff", &TTIFFGraphic::Class}, {"x.xyz", nullptr},
    };
    for (const auto& c : kCases) EXPECT_EQ(TPicture::FindGraphicClass(c.fileName), c.graphicClass) << c.fileName;
    // An unbound extension is refused before any file is opened or reader created.
    TPicture picture;
    EXPECT_THAT([&] { picture.Load("/nonexistent/x.xyz"); },
                ThrowsMessage<Exception>(StrEq("Unknown picture file extension (.xyz)")));
}

TEST(FormatTable, UnloadRemovesEveryReaderButRleAndDibStay)
{
    EnsureRegistered();
    UnregisterImageFormats();
    for (const char* name : {"a.tga", "a.win", "a.gif", "a.psd", "a.tif", "a.sgi", "a.bw", "a.pcx", "a.pic", "a.pcd",
                             "a.ppm", "a.cut", "a.rla", "a.rpf"})
        EXPECT_EQ(TPicture::FindGraphicClass(name), nullptr) << name;
    EXPECT_EQ(TPicture::FindGraphicClass("a.rle"), &TBitmap::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("a.dib"), &TBitmap::Class);
    EXPECT_EQ(TPicture::FindGraphicClass("a.bmp"), &TBitmap::Class);
    RegisterImageFormats();  // for the tests that follow
}

// Saving goes through each class's writer: the bitmap writer unless a reader has its own.
TEST(FormatTable, SavingWritesEachReadersOwnFormat)
{
    const struct {
        const TGraphicClass* graphicClass;
        std::string start;  // the first bytes written; empty: nothing at all
    } kCases[] = {
        {&TGIFGraphic::Class, "BM"},      {&TSGIGraphic::Class, "BM"}, {&TAutodeskGraphic::Class, "BM"},
        {&TPSDGraphic::Class, "BM"},      {&TPPMGraphic::Class, "BM"}, {&TRLAGraphic::Class, "BM"},
        {&TCUTGraphic::Class, "BM"},      {&TPCXGraphic::Class, ""},   {&TPCDGraphic::Class, ""},
        {&TTargaGraphic::Class, std::string("\0\1\11", 3)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.graphicClass->Name);
        std::unique_ptr<TGraphic> graphic = c.graphicClass->Create();
        auto& bitmap = static_cast<TBitmap&>(*graphic);
        bitmap.SetPixelFormat(TPixelFormat::pf8bit);
        bitmap.SetSize(2, 2);
        TMemoryStream out;
        graphic->WriteImage(out);
        const std::string& start = c.start;
        if (start.empty()) {
            EXPECT_EQ(out.Size(), 0);
        } else {
            ASSERT_GE(out.Size(), int64_t(start.size()));
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()), start.size()), start);
        }
    }
}

// A load through the picture picks the reader by extension; when the reader fails the picture
// keeps what it held and the error passes through unchanged.
TEST(FormatTable, PictureLoadsThroughTheReaderAndKeepsItsGraphicOnFailure)
{
    EnsureRegistered();
    test::TempDir folder;
    const test::Bytes tga = test::Bytes{0, 0, 2}.fill(9, 0).le16(1).le16(1).u8(24).u8(0).bytes({1, 2, 3});
    test::WriteFile(folder / "good.TGA", tga);
    test::WriteFile(folder / "bad.tga", test::Bytes{0, 0, 2});
    test::WriteFile(folder / "bad.pcx", test::Bytes{}.fill(128, 0));

    TPicture picture;
    picture.Load(folder / "good.TGA");
    ASSERT_NE(picture.Graphic(), nullptr);
    const TGraphic* loaded = picture.Graphic();
    EXPECT_EQ(loaded->ClassType().Name, std::string("TTargaGraphic"));
    EXPECT_EQ(picture.Width(), 1);

    EXPECT_THAT([&] { picture.Load(folder / "bad.tga"); }, ThrowsMessage<Exception>(StrEq("Targa: invalid image")));
    EXPECT_THAT([&] { picture.Load(folder / "bad.pcx"); }, ThrowsMessage<Exception>(StrEq("Not a PCX or SCR file.")));
    EXPECT_EQ(picture.Graphic(), loaded);
}

}  // namespace
}  // namespace quillet
