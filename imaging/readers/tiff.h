// TIFF images, either byte order.
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TTIFFGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
    void WriteImage(TStream& Stream) override;
};

}  // namespace quillet
