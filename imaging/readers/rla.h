// Wavefront RLA and RPF images (big-endian, run-length coded channels).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TRLAGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Loads three or four colour channels: 24 bits per pixel, or 32 when the file has
    /// matte channels (the fourth channel goes into the fourth byte).
    void ReadImage(TStream& Stream) override;
};

}  // namespace quillet
