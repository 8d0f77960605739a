#include "platform/picture.h"

#include <algorithm>

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/icon.h"
#include "platform/jpeg.h"
#include "platform/metafile.h"

namespace quillet {

namespace {

// The format list. It is written only while a library or program starts or ends (the
// platform's own bindings first, then the readers'), and only read in between.
std::vector<TFileFormat>& Formats()
{
    static std::vector<TFileFormat> formats = {
        {"wmf", "Metafiles", &TMetafile::Class},
        {"emf", "Enhanced Metafiles", &TMetafile::Class},
        {"ico", "Icons", &TIcon::Class},
        {"bmp", "Bitmaps", &TBitmap::Class},
        {"jpeg", "JPEG Image File", &TJPEGImage::Class},
        {"jpg", "JPEG Image File", &TJPEGImage::Class},
    };
    return formats;
}

std::string LowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

}  // namespace

TPicture::~TPicture() = default;

std::string TPicture::FileExtension(const std::string& fileName)
{
    const size_t separator = fileName.find_last_of("/\\:");
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return {};
    return LowerAscii(fileName.substr(dot + 1));
}

void TPicture::RegisterFileFormat(const std::string& extension, const std::string& description,
                                  const TGraphicClass& graphicClass)
{
    Formats().push_back({LowerAscii(extension), description, &graphicClass});
}

void TPicture::UnregisterGraphicClass(const TGraphicClass& graphicClass)
{
    auto& formats = Formats();
    formats.erase(std::remove_if(formats.begin(), formats.end(),
                                 [&](const TFileFormat& f) { return f.GraphicClass->InheritsFrom(graphicClass); }),
                  formats.end());
}

const TGraphicClass* TPicture::FindGraphicClass(const std::string& fileName)
{
    const std::string extension = FileExtension(fileName);
    const auto& formats = Formats();
    for (auto it = formats.rbegin(); it != formats.rend(); ++it)
        if (it->Extension == extension) return it->GraphicClass;
    return nullptr;
}

std::vector<TFileFormat> TPicture::FileFormats() { return Formats(); }

void TPicture::Load(const std::string& fileName)
{
    const TGraphicClass* graphicClass = FindGraphicClass(fileName);
    if (graphicClass == nullptr) throw Exception(Fmt(kUnknownExtension, FileExtension(fileName).c_str()));
    std::unique_ptr<TGraphic> graphic = graphicClass->Create();
    graphic->ReadImageFile(fileName);
    FGraphic = std::move(graphic);
}

void TPicture::Save(const std::string& fileName)
{
    if (FGraphic) FGraphic->WriteImageFile(fileName);
}

TBitmap& TPicture::AsBitmap()
{
    if (!FGraphic || !FGraphic->InheritsFrom(TBitmap::Class)) FGraphic = std::make_unique<TBitmap>();
    return static_cast<TBitmap&>(*FGraphic);
}

TBitmap& TPicture::ConvertToBitmap()
{
    if (FGraphic && !FGraphic->InheritsFrom(TBitmap::Class)) {
        // Copied before the graphic is let go, so that a graphic that cannot be copied stays.
        auto bitmap = std::make_unique<TBitmap>();
        bitmap->CopyFrom(*FGraphic);
        FGraphic = std::move(bitmap);
    }
    return AsBitmap();
}

int TPicture::Width() const { return FGraphic ? FGraphic->Width() : 0; }

int TPicture::Height() const { return FGraphic ? FGraphic->Height() : 0; }

}  // namespace quillet
