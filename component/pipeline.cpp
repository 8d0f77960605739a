// The image pipeline members: LoadImage (the upload through a temporary file into the
// source picture), SetSize (a box-filtered thumbnail into the JPEG image), SaveImage (the
// JPEG, or the loaded picture through its own writer) and the FilePath setter.
#include "component/QuilletUnit.h"

#include "imaging/resample.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "platform/picture.h"
#include "platform/stream.h"

namespace quillet {

namespace {

// Thumbnails stay below this size: 319 x 199 is the largest made.
constexpr int32_t kWidthBound = 320;
constexpr int32_t kHeightBound = 200;
// An upload's bare name is cut to this many bytes, which is also the longest file name
// the file system takes.
constexpr size_t kMaxNameLength = 255;

// The picture loads by file name, so the upload goes to disk first. A file that cannot be
// written whole (a full disk as much as a missing folder) cannot be created.
void WriteTemporaryFile(const std::string& fileName, TMemoryStream& content)
{
    try {
        TFileStream file(fileName, TFileStream::fmCreate);
        file.WriteBuffer(content.Memory(), content.Size());
    } catch (const Exception&) {
        throw Exception(Fmt(kCannotCreateFile, fileName.c_str()));
    }
}

}  // namespace

HRESULT TQuillet::put_FilePath(VARIANT Value)
{
    return Guard(nullptr, [&] {
        FolderPath = ArgText(Value);
        if (FolderPath.empty()) return;
        if (FolderPath.back() == '\\' || FolderPath.back() == '/') FolderPath.pop_back();  // one only
        // The page learns of a folder that cannot be made by reading the path back empty.
        if (!ForceDirectories(FolderPath)) FolderPath.clear();
    });
}

HRESULT TQuillet::LoadImage(VARIANT TagName, VARIANT* Value)
{
    return Guard(Value, [&] {
        const std::string tagName = ArgText(TagName);
        Resized = false;
        if (!SourcePicture) {
            SetBool(Value, false);
            return;
        }
        const std::string name = Body.FileName(tagName).substr(0, kMaxNameLength);
        TMemoryStream content;
        if (!Body.FieldContent(tagName, content)) {
            SetBool(Value, false);
            return;
        }
        // The file keeps the upload's extension, which picks the reader; its folder is the
        // load's own (so that loads of uploads of the same name never meet, and removed
        // however the load ends, or at the next start of a server killed meanwhile), and
        // only the name after a last '/' is used, so that no upload can name a file outside
        // it.
        const TLoadFolder folder(TempFolder());
        const std::string tempFile = folder.Path() + "/" + UploadFileName(name);
        WriteTemporaryFile(tempFile, content);
        content.Clear();
        SourcePicture->Load(tempFile);
        SourcePicture->ConvertToBitmap();
        ImageWidth = SourcePicture->Width();
        ImageHeight = SourcePicture->Height();
        SetBool(Value, true);
    });
}

HRESULT TQuillet::SetSize(VARIANT Width, VARIANT Height, VARIANT* Value)
{
    return Guard(Value, [&] {
        const int32_t width = ArgInteger(Width);
        const int32_t height = ArgInteger(Height);
        Resized = false;
        if (SourcePicture && width < kWidthBound && height < kHeightBound) {
            // Whatever fails here only means "not resized": the page saves the loaded
            // picture instead.
            try {
                TBitmap& source = SourcePicture->AsBitmap();
                source.SetPixelFormat(TPixelFormat::pf24bit);
                TBitmap& result = ResultPicture->AsBitmap();
                ResampleBitmap(width, height, fkBox, 0.0f, source, result);
                JpegImage->CopyFrom(result);
                Resized = true;
            } catch (...) {
                Resized = false;
            }
        }
        SetBool(Value, Resized);
    });
}

HRESULT TQuillet::SaveImage(VARIANT FileName, VARIANT* Value)
{
    return Guard(Value, [&] {
        const std::string name = ArgText(FileName);
        if (!SourcePicture) {
            SetBool(Value, false);
            return;
        }
        // The name is the page's own: it may lead into a sub-folder, as the page wishes.
        // An empty FolderPath leaves the root folder. Both writers replace the target only
        // when the new file is complete.
        const std::string path = ServerPath(FolderPath + "/" + name);
        bool saved = true;
        try {
            if (Resized)
                JpegImage->WriteImageFile(path);
            else
                SourcePicture->Save(path);
        } catch (...) {
            saved = false;
        }
        SetBool(Value, saved);
    });
}

}  // namespace quillet
