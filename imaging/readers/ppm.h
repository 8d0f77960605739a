// Portable bitmap, graymap and pixmap images (P1-P6): text headers, text or byte pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TPPMGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Reads one P1-P6 image; the variant comes from the magic, not from the extension.
    void ReadImage(TStream& Stream) override;

private:
    static constexpr int32_t kBufferSize = 4096;

    /// The next byte; raises "PPM: Stream read error." when the data is used up.
    uint8_t ReadChar()
    {
        if (FIndex < FCount) return FBuffer[FIndex++];
        return Refill();
    }
    /// The next byte without consuming it, or 0 when the buffer holds no unread byte.
    uint8_t PeekChar() const { return FIndex < FCount ? FBuffer[FIndex] : 0; }
    /// Skips to the next decimal number (and past "#" comments) and returns its value
    /// modulo 2^32; FNumberOverflow tells whether it did not fit in 32 bits.
    uint32_t ReadNumber();
    /// Reads the rest of a line into Line, without its end and without a "#" comment.
    void ReadLine(std::string& Line);
    /// Assigns the black-and-white palette (Monochrome) or the 256-level grey ramp.
    void MakeGrayPalette(bool Monochrome);

    uint8_t Refill();
    /// A width or height: the number, or INT32_MAX for one that does not fit.
    int ReadSize();
    /// Exactly count bytes into dest: the buffer's bytes first, large rests straight from
    /// the stream, so binary pixels cost no call per byte.
    void ReadBytes(uint8_t* dest, size_t count);
    /// One row of red, green, blue bytes into blue, green, red.
    void ReadPixmapRow(uint8_t* row, size_t pixels);
    void ReadTextPixels(int variant);
    /// Fills the rows from rowsDone on, counting each one that is complete.
    void ReadBinaryPixels(int variant, uint32_t maxValue, int& rowsDone);

    TStream* FStream = nullptr;
    uint8_t FBuffer[kBufferSize] = {};
    int32_t FIndex = kBufferSize;  ///< next unread byte of FBuffer
    int32_t FCount = 0;            ///< bytes the last refill delivered
    bool FNumberOverflow = false;
};

}  // namespace quillet
