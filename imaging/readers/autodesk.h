// Autodesk CEL and PIC images (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TAutodeskGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
