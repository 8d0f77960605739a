// Feeds arbitrary bytes to one reader class, twice: through the reader from a memory
// stream, and through the picture by a file name with the reader's extension. Built once
// per reader class with QUILLET_FUZZ_EXTENSION naming the extension. Whatever loads is
// then treated as the pipeline treats an upload: copied into a bitmap, made 24-bit, and
// written back by its own writer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "imaging/ImageFormats.h"
#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/picture.h"
#include "platform/stream.h"

#ifndef QUILLET_FUZZ_EXTENSION
#error "QUILLET_FUZZ_EXTENSION names the reader's extension"
#endif

namespace {

using namespace quillet;

struct Setup {
    Setup()
    {
        RegisterImageFormats();
        // Keep single inputs well inside the fuzzer's memory limit.
        TBitmap::SetPixelLimit(int64_t(1) << 22);
        folder = CreatePrivateFolder(TempFolder());
        fileName = folder + "/input." QUILLET_FUZZ_EXTENSION;
    }
    ~Setup() { RemoveTree(folder); }
    std::string folder;
    std::string fileName;
};

void UseAsUpload(TGraphic& graphic)
{
    TBitmap copy;
    copy.CopyFrom(graphic);
    TMemoryStream written;
    graphic.WriteImage(written);
    copy.SetPixelFormat(TPixelFormat::pf24bit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Setup setup;
    const TGraphicClass* graphicClass = TPicture::FindGraphicClass(setup.fileName);
    if (graphicClass == nullptr) return 0;

    std::unique_ptr<TGraphic> graphic = graphicClass->Create();
    try {
        TMemoryViewStream stream(data, size);
        graphic->ReadImage(stream);
        UseAsUpload(*graphic);
    } catch (const Exception&) {
    }

    try {
        {
            TFileStream file(setup.fileName, TFileStream::fmCreate);
            file.WriteBuffer(data, int64_t(size));
        }
        TPicture picture;
        picture.Load(setup.fileName);
        UseAsUpload(*picture.Graphic());
    } catch (const Exception&) {
    }
    return 0;
}
