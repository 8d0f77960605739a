// Placeholders for services still being written; each throws until it lands.
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/icon.h"
#include "platform/jpeg.h"
#include "platform/metafile.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TIcon, nullptr)
QUILLET_GRAPHIC_CLASS(TMetafile, nullptr)
QUILLET_GRAPHIC_CLASS(TJPEGImage, nullptr)

void TBitmap::ReadImage(TStream&) { throw Exception("not implemented"); }
void TBitmap::WriteImage(TStream&) { throw Exception("not implemented"); }
void TIcon::ReadImage(TStream&) { throw Exception("not implemented"); }
void TIcon::WriteImage(TStream&) { throw Exception("not implemented"); }
void TMetafile::ReadImage(TStream&) { throw Exception("not implemented"); }
void TMetafile::WriteImage(TStream&) { throw Exception("not implemented"); }
void TMetafile::WriteImageFile(const std::string& fileName) { TGraphic::WriteImageFile(fileName); }
TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;
int TJPEGImage::Width() const { return FWidth; }
int TJPEGImage::Height() const { return FHeight; }
void TJPEGImage::ReadImage(TStream&) { throw Exception("not implemented"); }
void TJPEGImage::WriteImage(TStream&) { throw Exception("not implemented"); }
void TJPEGImage::AssignTo(TBitmap&) const { throw Exception("not implemented"); }
void TJPEGImage::CopyFrom(const TBitmap&) { throw Exception("not implemented"); }

}  // namespace quillet
