// SGI images (big-endian, planar, rows bottom-up), verbatim or run-length coded, one or
// two bytes per sample.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/bitmap.h"

namespace quillet {

class TSGIGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Three channels give 24 bits per pixel, four 32 bits (the fourth is alpha), any other
    /// count 8-bit grey from the first channel.
    void ReadImage(TStream& Stream) override;

private:
    /// Fills each destination that is given with row Row of channel 0, 1, 2 and 3, one byte
    /// per pixel; what the file does not supply is left as it is.
    void ReadRow(uint8_t* Red, uint8_t* Green, uint8_t* Blue, uint8_t* Alpha, int Row, uint8_t BytesPerSample);

    int64_t FBaseOffset = 0;          ///< where the header starts; file offsets count from here
    std::vector<uint32_t> FRowStart;  ///< run-length files: offset of each packed row in use
    std::vector<uint32_t> FRowSize;   ///< run-length files: byte length of each packed row in use
    std::vector<uint8_t> FRowBuffer;  ///< one packed row, or one row of 16-bit samples
    TStream* FStream = nullptr;       ///< the stream being read; not owned
    std::unique_ptr<TSGIRLE> FDecoder;
    uint8_t FBytesPerSample = 0;
};

}  // namespace quillet
