// SGI images (big-endian, planar, rows bottom-up).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TSGIGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
