// Wavefront RLA and RPF images (big-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TRLAGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
