// ZSoft PCX, PCC and SCR images (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TPCXGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
    void WriteImage(TStream& Stream) override;
};

}  // namespace quillet
