// Windows icons: held as the bytes that were loaded and written back unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/graphic.h"

namespace quillet {

class TIcon : public TGraphic {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    void ReadImage(TStream& stream) override;
    void WriteImage(TStream& stream) override;

    const std::vector<uint8_t>& Data() const { return FData; }

private:
    std::vector<uint8_t> FData;
    int FWidth = 0;
    int FHeight = 0;
};

}  // namespace quillet
