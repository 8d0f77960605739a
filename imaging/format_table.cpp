// The bindings of file extensions to reader classes. Added in this order; lookup runs
// newest first.
#include "imaging/ImageFormats.h"
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
#include "platform/picture.h"

namespace quillet {

namespace {

struct FormatBinding {
    const char* Extension;
    const char* Description;
    const TGraphicClass* GraphicClass;
};

const FormatBinding kBindings[] = {
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

// The platform bitmap's own bindings (rle, dib) are not removed.
const TGraphicClass* const kRemovalOrder[] = {
    &TTargaGraphic::Class, &TTIFFGraphic::Class, &TSGIGraphic::Class, &TPCXGraphic::Class,
    &TAutodeskGraphic::Class, &TPCDGraphic::Class, &TPPMGraphic::Class, &TCUTGraphic::Class,
    &TGIFGraphic::Class, &TRLAGraphic::Class, &TPSDGraphic::Class,
};

}  // namespace

void RegisterImageFormats()
{
    for (const FormatBinding& binding : kBindings)
        TPicture::RegisterFileFormat(binding.Extension, binding.Description, *binding.GraphicClass);
}

void UnregisterImageFormats()
{
    for (const TGraphicClass* graphicClass : kRemovalOrder) TPicture::UnregisterGraphicClass(*graphicClass);
}

}  // namespace quillet
