// CompuServe GIF images (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TGIFGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
