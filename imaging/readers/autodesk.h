// Autodesk CEL and PIC images, old style: a 32-byte header, a 6-bit palette and
// uncompressed rows of palette indices (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TAutodeskGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Reads an old-style image; a short file is not an error (what it lacks stays 0).
    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
