// The load, scale and save members as a page sees them: uploads posted in a body, the
// object driven through IDispatch, the temporary folder pointed at a test folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "bodies.h"
#include "com_client.h"
#include "imaging/readers/ppm.h"
#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/jpeg.h"
#include "platform/stream.h"
#include "tests/support/bmp.h"
#include "tests/support/files.h"
#include "tests/support/read_graphic.h"

namespace quillet::test {
namespace {

namespace fs = std::filesystem;
using ::testing::MatchesRegex;

// --- Fixtures ------------------------------------------------------------------

Bytes JpegFile(int width, int height)
{
    auto bitmap = ReadGraphic<TBitmap>(GradientBmp(width, height));
    TJPEGImage jpeg;
    jpeg.CopyFrom(*bitmap);
    TMemoryStream stream;
    jpeg.WriteImage(stream);
    return Bytes(std::vector<uint8_t>(stream.Memory(), stream.Memory() + stream.Size()));
}

// One 1 x 1 entry whose image starts with a bitmap info header.
Bytes IconFile()
{
    Bytes icon;
    icon.le16(0).le16(1).le16(1);
    icon.u8(1).u8(1).u8(0).u8(0).le16(1).le16(24).le32(40).le32(22);
    icon.le32(40).le32(1).le32(2).le16(1).le16(24).fill(24, 0);
    return icon;
}

// A Windows metafile header (type 1, 9 words, version 0x300) and its end record.
Bytes MetafileFile() { return Bytes{}.le16(1).le16(9).le16(0x300).le32(12).le16(0).le32(3).le16(0).le32(3).le16(0); }

std::string Text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

// --- The page ------------------------------------------------------------------

// TMPDIR pointed at a folder of the test's own for the object's lifetime.
class TTempFolderScope {
public:
    TTempFolderScope()
    {
        const char* old = std::getenv("TMPDIR");
        if (old != nullptr) FOld = old;
        FFolder = FRoot / "tmp";
        fs::create_directory(FFolder);
        ::setenv("TMPDIR", FFolder.c_str(), 1);
    }
    ~TTempFolderScope()
    {
        if (FOld)
            ::setenv("TMPDIR", FOld->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    TTempFolderScope(const TTempFolderScope&) = delete;
    TTempFolderScope& operator=(const TTempFolderScope&) = delete;

    /// A folder beside the temporary one, for saving.
    const TempDir& Root() const { return FRoot; }
    const std::string& Folder() const { return FFolder; }
    /// The names in the temporary folder.
    std::set<std::string> Entries() const
    {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(FFolder)) names.insert(e.path().filename().string());
        return names;
    }

private:
    TempDir FRoot;
    std::string FFolder;
    std::optional<std::string> FOld;
};

// A started object whose body holds the given parts.
struct TPage {
    TTestPage Host;
    TQuilletObject Object;

    /// Without the closing line, the last part has no boundary after it.
    explicit TPage(const std::string& parts, bool closed = true) : Host(BytesOf(parts + (closed ? kEnd : "")))
    {
        Object.Start(Host);
    }

    /// The outcome of a member that answers VT_BOOL; a failed call fails the test.
    bool Outcome(const std::string& member, const std::vector<TVariant>& args)
    {
        const TCall call = Object.Call(member, args);
        EXPECT_EQ(call.Hr, S_OK) << member << ": " << call.Error.Description;
        EXPECT_EQ(call.Value.Type(), VT_BOOL) << member;
        return call.Value.Type() == VT_BOOL && call.Value.Value().boolVal == VARIANT_TRUE;
    }
    bool Load(const std::string& tag = "photo") { return Outcome("LoadImage", {TVariant::Text(tag)}); }
    bool SetSize(int32_t width, int32_t height) { return Outcome("SetSize", {TVariant::Int(width), TVariant::Int(height)}); }
    bool Save(const std::string& name) { return Outcome("SaveImage", {TVariant::Text(name)}); }
    void SetFolder(const std::string& folder) { ASSERT_EQ(Object.Put("FilePath", TVariant::Text(folder)).Hr, S_OK); }
    std::string Folder() { return Object.Get("FilePath").Text(); }
    std::pair<int32_t, int32_t> Size()
    {
        return {Object.Get("Width").Value.Value().lVal, Object.Get("Height").Value.Value().lVal};
    }
};

std::string Photo(const std::string& fileName, const std::vector<uint8_t>& content)
{
    return FilePart("photo", fileName, Text(content));
}

// What a saved file holds.
enum class TKind { None, Empty, Bitmap, Jpeg, Other };

TKind KindOf(const std::string& path)
{
    if (!fs::exists(path)) return TKind::None;
    const std::vector<uint8_t> data = ReadFile(path);
    if (data.empty()) return TKind::Empty;
    if (data.size() > 2 && data[0] == 'B' && data[1] == 'M') return TKind::Bitmap;
    if (data.size() > 2 && data[0] == 0xFF && data[1] == 0xD8) return TKind::Jpeg;
    return TKind::Other;
}

std::unique_ptr<TBitmap> DecodeJpeg(const std::string& path)
{
    auto jpeg = ReadGraphic<TJPEGImage>(ReadFile(path));
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->CopyFrom(*jpeg);
    return bitmap;
}

// --- Loading, scaling, saving ------------------------------------------------------

TEST(Pipeline, AnUploadIsLoadedScaledAndSavedAsAJpegThumbnail)
{
    TTempFolderScope temp;
    const Bytes upload = GradientBmp(640, 480);
    TPage page(Photo("C:\\pics\\cat.bmp", upload));
    ASSERT_TRUE(page.Load());
    EXPECT_EQ(page.Size(), std::make_pair(640, 480));
    EXPECT_TRUE(temp.Entries().empty());

    ASSERT_TRUE(page.SetSize(160, 120));
    EXPECT_EQ(page.Size(), std::make_pair(640, 480));  // the loaded picture's size stays
    page.SetFolder(temp.Root() / "thumbs");
    ASSERT_TRUE(page.Save("cat.jpg"));

    // The thumbnail is the box-filtered picture, within what JPEG changes.
    const std::string saved = temp.Root() / "thumbs/cat.jpg";
    ASSERT_EQ(KindOf(saved), TKind::Jpeg);
    const auto thumb = DecodeJpeg(saved);
    ASSERT_EQ(thumb->Width(), 160);
    ASSERT_EQ(thumb->Height(), 120);
    auto source = ReadGraphic<TBitmap>(upload);
    TBitmap want;
    ResampleBitmap(160, 120, fkBox, 0.0f, *source, want);
    int worst = 0;
    for (int y = 0; y < 120; ++y)
        for (int i = 0; i < 160 * 3; ++i) worst = std::max(worst, std::abs(thumb->ScanLine(y)[i] - want.ScanLine(y)[i]));
    EXPECT_LE(worst, 8);
}

TEST(Pipeline, SetSizeScalesOnlyBelow320By200AndAFalseClearsTheEarlierThumbnail)
{
    const struct {
        int32_t width, height;
        bool resized;
    } kCases[] = {
        {319, 199, true}, {1, 1, true},      {320, 100, false},      {100, 200, false},
        {320, 200, false}, {-1, 10, false},  {10, INT32_MIN, false}, {INT32_MAX, 10, false},
    };
    TTempFolderScope temp;
    TPage page(Photo("a.bmp", GradientBmp(40, 30)));
    ASSERT_TRUE(page.Load());
    page.SetFolder(temp.Root().Path());
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        ASSERT_TRUE(page.SetSize(20, 10));  // an earlier thumbnail
        EXPECT_EQ(page.SetSize(c.width, c.height), c.resized);
        EXPECT_EQ(page.Size(), std::make_pair(40, 30));
        // What is saved tells whether the object counts itself resized.
        ASSERT_TRUE(page.Save("out.jpg"));
        const std::string saved = temp.Root() / "out.jpg";
        ASSERT_EQ(KindOf(saved), c.resized ? TKind::Jpeg : TKind::Bitmap);
        if (c.resized) {
            const auto thumb = DecodeJpeg(saved);
            EXPECT_EQ(thumb->Width(), c.width);
            EXPECT_EQ(thumb->Height(), c.height);
        } else {
            EXPECT_EQ(ReadGraphic<TBitmap>(ReadFile(saved))->Width(), 40);
        }
    }
}

TEST(Pipeline, SetSizeFailsTheCallOnlyForArgumentsThatAreNoIntegers)
{
    TPage page(Photo("a.bmp", GradientBmp(4, 4)));
    ASSERT_TRUE(page.Load());
    EXPECT_TRUE(page.Outcome("SetSize", {TVariant::Text(std::string("3")), TVariant::Double(2.0)}));
    const struct {
        const char* name;
        TVariant width, height;
        const char* description;
    } kCases[] = {
        {"text that is no number", TVariant::Text(std::string("wide")), TVariant::Int(2),
         "Cannot convert a value of type String to a 32-bit integer"},
        {"a null height", TVariant::Int(2), TVariant::Null(), "Cannot convert a value of type Null to a 32-bit integer"},
        {"beyond 32 bits", TVariant::Double(1e12), TVariant::Int(2),
         "Cannot convert a value of type Double to a 32-bit integer: out of range"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const TCall call = page.Object.Call("SetSize", {c.width, c.height});
        EXPECT_EQ(call.Code, E_UNEXPECTED);
        EXPECT_EQ(call.Value.Type(), VT_EMPTY);
        EXPECT_EQ(call.Error.Description, c.description);
    }
    // Nothing was loaded, or what was cannot be scaled: False, not an error.
    TPage fresh(TextPart("title", "x"));
    EXPECT_FALSE(fresh.SetSize(10, 10));
    TPage icon(Photo("i.ico", IconFile()));
    EXPECT_EQ(icon.Object.Call("LoadImage", {TVariant::Text(std::string("photo"))}).Code, E_UNEXPECTED);
    EXPECT_FALSE(icon.SetSize(10, 10));
}

TEST(Pipeline, LoadImageIsFalseOnlyWithoutContentAndAnErrorOtherwise)
{
    const std::string kLongName = std::string(250, 'a') + ".bmp" + std::string(10, 'z');
    const struct {
        const char* name;
        std::string parts;
        std::optional<std::pair<int, int>> loaded;  // the size when True
        const char* error;                          // the description when the call fails
        std::string tag = "photo";
        bool closed = true;                         // the body ends with its closing line
    } kCases[] = {
        {"no part of that name", Photo("a.bmp", GradientBmp(2, 2)), std::nullopt, nullptr, "other"},
        {"an empty file name", Photo("", GradientBmp(2, 2)), std::nullopt, nullptr},
        {"an upper-case extension", Photo("photo.JPG", JpegFile(24, 16)), std::make_pair(24, 16), nullptr},
        {"a JPEG", Photo("photo.jpeg", JpegFile(9, 7)), std::make_pair(9, 7), nullptr},
        {"a portable pixmap reader", Photo("p.ppm", BytesOf("P6\n3 2\n255\nabcdefghijklmnopqr")), std::make_pair(3, 2),
         nullptr},
        {"an empty bitmap upload", Photo("e.bmp", {}), std::make_pair(0, 0), nullptr},
        {"no extension", Photo("photo", GradientBmp(2, 2)), std::nullopt, "Unknown picture file extension (.)"},
        {"an unknown extension", Photo("a.xyz", GradientBmp(2, 2)), std::nullopt, "Unknown picture file extension (.xyz)"},
        {"a name cut to 255 bytes", Photo(kLongName, GradientBmp(2, 2)), std::nullopt,
         "Unknown picture file extension (.bmpz)"},
        {"a bitmap name without the signature", Photo("a.bmp", BytesOf("GIF89a")), std::nullopt,
         "Bitmap image is not valid"},
        {"an icon", Photo("i.ico", IconFile()), std::nullopt, "Cannot assign a TIcon to a TBitmap"},
        {"a metafile", Photo("m.wmf", MetafileFile()), std::nullopt, "Cannot assign a TMetafile to a TBitmap"},
        {"a truncated body", Photo("a.bmp", GradientBmp(2, 2)), std::nullopt, "Out of memory while expanding memory stream",
         "photo", false},
    };
    TTempFolderScope temp;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TPage page(FilePart("first", "first.bmp", Text(GradientBmp(5, 3))) + c.parts, c.closed);
        ASSERT_TRUE(page.Load("first"));
        const TCall call = page.Object.Call("LoadImage", {TVariant::Text(c.tag)});
        if (c.error != nullptr) {
            EXPECT_EQ(call.Code, E_UNEXPECTED);
            EXPECT_EQ(call.Value.Type(), VT_EMPTY);
            EXPECT_EQ(call.Error.Description, c.error);
        } else {
            ASSERT_EQ(call.Value.Type(), VT_BOOL);
            EXPECT_EQ(call.Value.Value().boolVal, c.loaded ? VARIANT_TRUE : VARIANT_FALSE);
        }
        EXPECT_EQ(page.Size(), c.loaded.value_or(std::make_pair(5, 3)));
        EXPECT_TRUE(temp.Entries().empty());
    }
}

TEST(Pipeline, AJpegThatCannotBeDecodedFailsWithLibjpegsCode)
{
    TTempFolderScope temp;
    Bytes broken = JpegFile(16, 16);
    broken.resize(200);  // the header survives, the scan does not
    for (const Bytes& data : {Bytes{}.u8(0xFF).u8(0xD8).str("not a JPEG"), broken}) {
        TPage page(Photo("x.jpg", data));
        const TCall call = page.Object.Call("LoadImage", {TVariant::Text(std::string("photo"))});
        EXPECT_EQ(call.Code, E_UNEXPECTED);
        EXPECT_THAT(call.Error.Description, MatchesRegex("JPEG error #[0-9]+"));
        EXPECT_TRUE(temp.Entries().empty());
    }
}

TEST(Pipeline, SaveImageWritesWhatWasLoadedThroughItsOwnWriter)
{
    using TDecode = std::function<std::unique_ptr<TBitmap>(const Bytes&)>;
    const TDecode bitmapReader = [](const Bytes& data) { return ReadGraphic<TBitmap>(data); };
    const TDecode jpegPixels = [](const Bytes& data) {
        auto bitmap = std::make_unique<TBitmap>();
        bitmap->CopyFrom(*ReadGraphic<TJPEGImage>(data));
        return bitmap;
    };
    const TDecode pixmapReader = [](const Bytes& data) -> std::unique_ptr<TBitmap> { return ReadGraphic<TPPMGraphic>(data); };
    const Bytes icon = IconFile(), metafile = MetafileFile();
    Bytes metafileAsLoaded = metafile;
    metafileAsLoaded.u8(0);  // the temporary file's zero byte, which a metafile keeps
    const struct {
        const char* name;
        std::string fileName;
        Bytes upload;
        std::string saveAs;
        TKind kind;
        TDecode pixels;        // a bitmap file: the pixels it holds, as the reader gives them
        std::optional<Bytes> same;  // otherwise: exactly these bytes
    } kCases[] = {
        {"a bitmap", "a.bmp", GradientBmp(6, 4), "out.bmp", TKind::Bitmap, bitmapReader, {}},
        {"a JPEG becomes a bitmap, even under a .jpg name", "a.jpg", JpegFile(6, 4), "out.jpg", TKind::Bitmap,
         jpegPixels, {}},
        {"a reader class uses the bitmap writer", "a.pgm", Bytes(BytesOf("P5\n2 2\n255\nabcd")), "out.pgm",
         TKind::Bitmap, pixmapReader, {}},
        {"an icon as loaded", "a.ico", icon, "out.ico", TKind::Other, nullptr, icon},
        {"a metafile as loaded, whatever the name", "a.wmf", metafile, "out.emf", TKind::Other, nullptr,
         metafileAsLoaded},
    };
    TTempFolderScope temp;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TPage page(Photo(c.fileName, c.upload));
        page.Object.Call("LoadImage", {TVariant::Text(std::string("photo"))});  // icons fail after loading
        page.SetFolder(temp.Root().Path());
        ASSERT_TRUE(page.Save(c.saveAs));
        const std::string saved = temp.Root() / c.saveAs;
        ASSERT_EQ(KindOf(saved), c.kind);
        if (c.same) {
            EXPECT_EQ(ReadFile(saved), *c.same);
        } else {
            const auto back = ReadGraphic<TBitmap>(ReadFile(saved));
            const auto want = c.pixels(c.upload);
            EXPECT_EQ(back->PixelFormat(), want->PixelFormat());
            EXPECT_EQ(AllRows(*back), AllRows(*want));
        }
    }
}

TEST(Pipeline, SaveImageOfCorpusUploadsFollowsTheirReaders)
{
    QUILLET_REQUIRE_CORPUS();
    const std::string corpus = CorpusDir();
    const struct {
        const char* file;
        TKind kind;
    } kCases[] = {
        {"gif/gd_gif87a.gif", TKind::Bitmap},
        {"sgi/im_input.sgi", TKind::Bitmap},
        {"psd/im_input.psd", TKind::Bitmap},
        {"rla/oiioimg_ginsu_rgb_nc8.rla", TKind::Bitmap},
        {"pic/anim_CRSHAIR.CEL", TKind::Bitmap},
        {"tga/im_input.tga", TKind::Other},  // a Targa file
        {"tiff/itiff_seq-3c-8b-bigendian-8743c999.tiff", TKind::Empty},
        {"pcx/kde_rgb.pcx", TKind::Empty},
        {"pcd/pil_hopper.pcd", TKind::Empty},
    };
    TTempFolderScope temp;
    std::vector<std::string> unavailable;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.file);
        const std::string path = corpus + "/" + c.file;
        TPage page(Photo(fs::path(path).filename().string(), ReadFile(path)));
        const TCall load = page.Object.Call("LoadImage", {TVariant::Text(std::string("photo"))});
        if (load.Error.Description == "not implemented") {
            unavailable.push_back(c.file);
            continue;
        }
        ASSERT_EQ(load.Hr, S_OK) << load.Error.Description;
        page.SetFolder(temp.Root().Path());
        ASSERT_TRUE(page.Save("out"));
        EXPECT_EQ(KindOf(temp.Root() / "out"), c.kind);
        EXPECT_TRUE(temp.Entries().empty());
    }
    if (!unavailable.empty()) GTEST_SKIP() << "readers not built yet for " << testing::PrintToString(unavailable);
}

TEST(Pipeline, SaveImageIsTrueWithNothingLoadedAndFalseForAnyWriteFailure)
{
    TTempFolderScope temp;
    TPage fresh(TextPart("title", "x"));
    fresh.SetFolder(temp.Root().Path());
    EXPECT_TRUE(fresh.Save("nothing.bmp"));
    EXPECT_EQ(KindOf(temp.Root() / "nothing.bmp"), TKind::None);

    TPage page(Photo("a.bmp", GradientBmp(8, 8)));
    ASSERT_TRUE(page.Load());
    page.SetFolder(temp.Root().Path());
    WriteFile(temp.Root() / "file", {1});
    EXPECT_FALSE(page.Save("missing/a.bmp"));  // no such folder
    EXPECT_FALSE(page.Save("file/a.bmp"));     // a file is no folder
    EXPECT_FALSE(page.Save(""));               // the folder itself
    fs::create_directory(temp.Root() / "dir");
    EXPECT_FALSE(page.Save("dir"));  // a folder is not replaced

    // A target is replaced only by a complete file: a failed encoder leaves it as it was,
    // and no temporary file behind. A width of 0 scales into an empty thumbnail, which no
    // JPEG can hold.
    WriteFile(temp.Root() / "keep.jpg", {'o', 'l', 'd'});
    ASSERT_TRUE(page.SetSize(0, 5));
    EXPECT_FALSE(page.Save("keep.jpg"));
    EXPECT_EQ(ReadFile(temp.Root() / "keep.jpg"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    ASSERT_TRUE(page.SetSize(4, 4));
    EXPECT_TRUE(page.Save("keep.jpg"));
    EXPECT_EQ(KindOf(temp.Root() / "keep.jpg"), TKind::Jpeg);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(temp.Root().Path())) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"tmp", "file", "dir", "keep.jpg"}));
}

TEST(Pipeline, SaveImagePathsAreTheFolderASlashAndThePagesName)
{
    TTempFolderScope temp;
    TPage page(Photo("a.bmp", GradientBmp(3, 3)));
    ASSERT_TRUE(page.Load());
    // Without a folder the name starts at the root.
    const std::string rooted = (temp.Root() / "rooted.bmp").substr(1);
    EXPECT_TRUE(page.Save(rooted));
    EXPECT_EQ(KindOf(temp.Root() / "rooted.bmp"), TKind::Bitmap);
    // The page's name may use either separator and lead into a sub-folder.
    page.SetFolder(temp.Root().Path());
    fs::create_directory(temp.Root() / "sub");
    EXPECT_TRUE(page.Save("sub\\b.bmp"));
    EXPECT_EQ(KindOf(temp.Root() / "sub/b.bmp"), TKind::Bitmap);
    // Any name the folder takes, up to the longest (the file is written under another
    // name first).
    const std::string longest = std::string(251, 'n') + ".bmp";
    EXPECT_TRUE(page.Save(longest));
    EXPECT_EQ(KindOf(temp.Root() / longest), TKind::Bitmap);
}

// --- The folder ------------------------------------------------------------------

TEST(Pipeline, FilePathCreatesEachFolderOrReadsBackEmpty)
{
    TTempFolderScope temp;
    const std::string root = temp.Root().Path();
    WriteFile(temp.Root() / "file", {1});
    const std::string kTooLong(300, 'n');
    const struct {
        const char* name;
        std::string value;
        std::string readBack;
        std::vector<std::string> made;  // folders that exist afterwards
    } kCases[] = {
        {"ancestors made in turn, one separator dropped", root + "/up/img/", root + "/up/img", {"up", "up/img"}},
        {"backslashes separate too", root + "\\bs\\img\\", root + "\\bs\\img", {"bs", "bs/img"}},
        {"only one trailing separator goes", root + "/two//", root + "/two/", {"two"}},
        {"an existing folder", root, root, {}},
        {"below a file", root + "/file/x", "", {}},
        {"made folders stay after a failure", root + "/kept/" + kTooLong, "", {"kept"}},
        {"empty", "", "", {}},
        {"a lone separator leaves nothing", "/", "", {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TPage page(TextPart("title", "x"));
        page.SetFolder(c.value);
        EXPECT_EQ(page.Folder(), c.readBack);
        for (const std::string& folder : c.made) EXPECT_TRUE(fs::is_directory(temp.Root() / folder)) << folder;
    }

    // A relative path is taken from the current folder.
    const fs::path before = fs::current_path();
    fs::current_path(root);
    TPage page(TextPart("title", "x"));
    page.SetFolder("rel/a");
    fs::current_path(before);
    EXPECT_EQ(page.Folder(), "rel/a");
    EXPECT_TRUE(fs::is_directory(temp.Root() / "rel/a"));
}

// --- The temporary file ------------------------------------------------------------

TEST(Pipeline, NoUploadNameReachesOutsideItsPrivateFolder)
{
    TTempFolderScope temp;
    const std::string root = temp.Root().Path();
    // Files where the names would lead if they were taken as paths.
    const std::vector<uint8_t> kVictim = {'k', 'e', 'e', 'p'};
    for (const std::string& path : {root + "/x.bmp", temp.Folder() + "/x.bmp"}) WriteFile(path, kVictim);
    const struct {
        std::string name;
        const char* error;
    } kCases[] = {
        {"../../x.bmp", nullptr},
        {"a/b/../../../x.bmp", nullptr},
        {root + "/x.bmp", nullptr},
        {"C:\\tmp\\../x.bmp", nullptr},
        {"..", "Unknown picture file extension (.)"},
        {".", "Unknown picture file extension (.)"},
        {"x.bmp/..", "Unknown picture file extension (.)"},
        {"pics/", "Unknown picture file extension (.)"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TPage page(Photo(c.name, GradientBmp(7, 5)));
        const TCall call = page.Object.Call("LoadImage", {TVariant::Text(std::string("photo"))});
        if (c.error == nullptr) {
            EXPECT_EQ(call.Hr, S_OK) << call.Error.Description;
            EXPECT_EQ(page.Size(), std::make_pair(7, 5));
        } else {
            EXPECT_EQ(call.Error.Description, c.error);
        }
        EXPECT_EQ(temp.Entries(), std::set<std::string>{"x.bmp"});
        for (const std::string& path : {root + "/x.bmp", temp.Folder() + "/x.bmp"}) EXPECT_EQ(ReadFile(path), kVictim);
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(root)) names.insert(e.path().filename().string());
        EXPECT_EQ(names, (std::set<std::string>{"tmp", "x.bmp"}));
    }
}

TEST(Pipeline, TwoObjectsOnTwoThreadsLoadUploadsOfOneNameAtOnce)
{
    TTempFolderScope temp;
    constexpr int kRounds = 200;
    const auto loadMany = [](int width, int height, int* loaded) {
        TPage page(Photo("same.bmp", GradientBmp(width, height)));
        for (int i = 0; i < kRounds; ++i)
            if (page.Load() && page.Size() == std::make_pair(width, height)) ++*loaded;
    };
    int wide = 0, tall = 0;
    std::thread a(loadMany, 64, 8, &wide), b(loadMany, 8, 64, &tall);
    a.join();
    b.join();
    EXPECT_EQ(wide, kRounds);
    EXPECT_EQ(tall, kRounds);
    EXPECT_TRUE(temp.Entries().empty());
}

}  // namespace
}  // namespace quillet::test
