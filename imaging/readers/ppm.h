// Portable bitmap, graymap and pixmap images.
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TPPMGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
