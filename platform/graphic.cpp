#include "platform/graphic.h"

#include "platform/bitmap.h"
#include "platform/block.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace quillet {

void TGraphic::ReadImageFile(const std::string& fileName)
{
    // The file is read whole and closed before decoding starts, so that decoders work
    // from memory and the file is held open no longer than needed. The buffer is not
    // cleared first: the read fills all of it or fails.
    TBlock data;
    int64_t size = 0;
    {
        TFileStream file(fileName, TFileStream::fmOpenRead);
        size = file.Size();
        if (uint64_t(size) > SIZE_MAX / 2 || !(data = AllocateBlock(size_t(size), false)))
            throw Exception(kMemoryStreamError);
        file.ReadBuffer(data.get(), size);
    }
    TMemoryViewStream memory(data.get(), size_t(size));
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
