// Dr. Halo CUT images and their palette files (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TCUTGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    void ReadImage(TStream& Stream) override;
    void ReadImageFile(const std::string& FileName) override;
};

}  // namespace quillet
