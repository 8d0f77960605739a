#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "platform/errors.h"
#include "platform/icon.h"
#include "platform/metafile.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;
using test::Bytes;

template <class Graphic>
void Load(Graphic& g, const Bytes& data)
{
    TMemoryViewStream stream(data.data(), data.size());
    g.ReadImage(stream);
}

template <class Graphic>
Bytes Written(Graphic& g)
{
    TMemoryStream out;
    g.WriteImage(out);
    return Bytes(std::vector<uint8_t>(out.Memory(), out.Memory() + out.Size()));
}

// --- Icons ---------------------------------------------------------------------

// An icon of two images (sizes 16 and 0 = 256): each a bitmap header of 40 bytes or a PNG
// signature, followed by filler.
Bytes TwoImageIcon()
{
    Bytes icon;
    icon.le16(0).le16(1).le16(2);
    icon.u8(16).u8(16).u8(0).u8(0).le16(1).le16(32).le32(44).le32(6 + 32);
    icon.u8(0).u8(0).u8(0).u8(0).le16(1).le16(32).le32(12).le32(6 + 32 + 44);
    icon.le32(40).fill(40, 7);
    icon.u8(0x89).str("PNG").fill(8, 9);
    return icon;
}

TEST(Icon, KeepsTheBytesAndTakesItsSizeFromTheFirstImage)
{
    const Bytes icon = TwoImageIcon();
    Bytes wrapped = icon;
    wrapped.str("trailing bytes");  // not part of the icon
    TMemoryViewStream stream(wrapped.data(), wrapped.size());
    TIcon i;
    i.ReadImage(stream);
    EXPECT_EQ(i.Width(), 16);
    EXPECT_EQ(i.Height(), 16);
    EXPECT_EQ(stream.Position(), int64_t(icon.size()));
    EXPECT_EQ(Written(i), icon);

    Bytes big = icon;
    big[6] = 0;  // a size byte of 0 means 256
    big[7] = 0;
    Load(i, big);
    EXPECT_EQ(i.Width(), 256);
    EXPECT_EQ(i.Height(), 256);
}

TEST(Icon, BrokenDirectoriesAreRefused)
{
    const struct {
        const char* name;
        std::function<void(Bytes&)> change;
    } kCases[] = {
        {"empty", [](Bytes& b) { b.clear(); }},
        {"reserved word set", [](Bytes& b) { b[0] = 1; }},
        {"a cursor", [](Bytes& b) { b[2] = 2; }},
        {"no images", [](Bytes& b) { b[4] = 0; }},
        {"directory past the end", [](Bytes& b) { b[4] = 200; }},
        {"image past the end", [](Bytes& b) { b[6 + 16 + 8] = 13; }},
        {"image size near 2^32", [](Bytes& b) { b[6 + 11] = 0xFF; }},
        {"image inside the directory", [](Bytes& b) { b[6 + 12] = 10; }},
        {"image that is neither a bitmap nor a PNG", [](Bytes& b) { b[38] = 41; }},
        {"cut inside the directory", [](Bytes& b) { b.resize(20); }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes icon = TwoImageIcon();
        c.change(icon);
        TIcon i;
        EXPECT_THAT([&] { Load(i, icon); }, ThrowsMessage<Exception>(StrEq("Icon image is not valid")));
    }
}

TEST(Icon, CorpusIconsLoadAndWriteBackUnchanged)
{
    QUILLET_REQUIRE_CORPUS();
    const std::vector<std::string> files = test::CorpusFiles("ico");
    ASSERT_FALSE(files.empty());
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        TIcon i;
        i.ReadImageFile(file);
        EXPECT_GT(i.Width(), 0);
        EXPECT_EQ(Written(i), Bytes(test::ReadFile(file)));
    }
    // Directories that point past the end of their file.
    for (const char* name : {"irs_crash-981fee302fe0fc543ee48292cc3d6ace7e97e633.ico", "oiio_bad1.ico"}) {
        TIcon i;
        EXPECT_THAT([&] { i.ReadImageFile(test::CorpusDir() + "/hostile/ico/" + name); },
                    ThrowsMessage<Exception>(StrEq("Icon image is not valid")))
            << name;
    }
}

// --- Metafiles -----------------------------------------------------------------

Bytes WmfHeader() { return Bytes{}.le16(1).le16(9).le16(0x300).le32(100).le16(0).le32(20).le16(0); }

Bytes Placeable(int16_t left, int16_t top, int16_t right, int16_t bottom, uint16_t perInch)
{
    return Bytes{}
        .le32(0x9AC6CDD7)
        .le16(0)
        .le16(uint16_t(left))
        .le16(uint16_t(top))
        .le16(uint16_t(right))
        .le16(uint16_t(bottom))
        .le16(perInch)
        .le32(0)
        .le16(0)
        .bytes(WmfHeader());
}

// An EMF header record of 108 bytes with the frame given in 0.01 mm.
Bytes Emf(int32_t frameRight, int32_t frameBottom, uint32_t descriptionChars = 0, uint32_t descriptionAt = 0)
{
    Bytes b;
    b.le32(1).le32(108);
    b.le32(0).le32(0).le32(99).le32(99);                                      // bounds
    b.le32(0).le32(0).le32(uint32_t(frameRight)).le32(uint32_t(frameBottom));  // frame
    b.le32(0x464D4520).le32(0x10000).le32(108 + 20).le32(2).le16(1).le16(0);
    b.le32(descriptionChars).le32(descriptionAt).le32(0);
    b.le32(1024).le32(768).le32(320).le32(240);
    b.fill(108 - b.size(), 0);
    return b.le32(14).le32(20).fill(12, 0);  // EMR_EOF
}

TEST(Metafile, KindAndSizeComeFromTheHeader)
{
    const struct {
        const char* name;
        Bytes data;
        bool enhanced;
        int width, height;
    } kCases[] = {
        {"placeable WMF at 96 pixels per inch", Placeable(-30, -30, 3066, 3094, 606), false, 490, 495},
        {"placeable WMF of inverted box", Placeable(10, 10, 0, 0, 96), false, 0, 0},
        {"plain WMF states no size", WmfHeader(), false, 0, 0},
        {"EMF frame of 2.54 x 1.27 cm", Emf(2540, 1270), true, 96, 48},
        {"EMF with a description", Emf(2540, 2540, 4, 100), true, 96, 96},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TMetafile m;
        Load(m, c.data);
        EXPECT_EQ(m.Enhanced(), c.enhanced);
        EXPECT_EQ(m.Width(), c.width);
        EXPECT_EQ(m.Height(), c.height);
        EXPECT_EQ(Written(m), c.data);
    }
}

TEST(Metafile, BrokenHeadersAreRefused)
{
    Bytes badVersion = WmfHeader();
    badVersion[4] = 0x01;
    Bytes cutEmf = Emf(10, 10);
    cutEmf.resize(120);
    Bytes longRecord = Emf(10, 10);
    longRecord[4] = 200;  // header record longer than the file says it is
    Bytes noWmf = Placeable(0, 0, 1, 1, 96);
    noWmf[22] = 7;
    const struct {
        const char* name;
        Bytes data;
    } kCases[] = {
        {"empty", {}},
        {"text", Bytes{}.str("not a metafile at all")},
        {"WMF version 0x301", badVersion},
        {"placeable key without a WMF header", noWmf},
        {"EMF shorter than its file size", cutEmf},
        {"EMF header record too long", longRecord},
        {"EMF description outside the header", Emf(10, 10, 4, 106)},
        {"EMF description offset huge", Emf(10, 10, 36, 3187671128u)},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TMetafile m;
        EXPECT_THAT([&] { Load(m, c.data); }, ThrowsMessage<Exception>(StrEq("Metafile is not valid")));
    }
}

TEST(Metafile, CorpusMetafilesLoadAndWriteBackUnchanged)
{
    QUILLET_REQUIRE_CORPUS();
    const std::vector<std::string> files = test::CorpusFiles("wmf");
    ASSERT_FALSE(files.empty());
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        TMetafile m;
        m.ReadImageFile(file);
        EXPECT_EQ(m.Enhanced(), file.substr(file.size() - 4) == ".emf");
        // Saved under the other kind's name the bytes stay as they are: no conversion.
        test::TempDir dir;
        const std::string out = dir / (m.Enhanced() ? "x.wmf" : "x.emf");
        m.WriteImageFile(out);
        EXPECT_EQ(test::ReadFile(out), test::ReadFile(file));
    }
}

}  // namespace
}  // namespace quillet
