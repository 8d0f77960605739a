#include "platform/graphic.h"

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace quillet {

void TGraphic::ReadImageFile(const std::string& fileName)
{
    // The file is read whole and closed before decoding starts, so that decoders work
    // from memory and the file is held open no longer than needed.
    TMemoryStream memory;
    {
        TFileStream file(fileName, TFileStream::fmOpenRead);
        memory.LoadFromStream(file);
    }
    ReadImage(memory);
}

void TGraphic::WriteImageFile(const std::string& fileName)
{
    TAtomicFile file(fileName);
    WriteImage(file.Stream());
    file.Commit();
}

void TGraphic::AssignTo(TBitmap& dest) const
{
    throw Exception(Fmt(kCannotAssign, ClassName(), dest.ClassName()));
}

}  // namespace quillet
