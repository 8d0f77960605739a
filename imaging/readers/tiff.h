// TIFF images, either byte order: the first image of the file, strips of interleaved
// samples, uncompressed, LZW or PackBits coded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bitmap.h"

namespace quillet {

class TTIFFGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    TTIFFGraphic();
    ~TTIFFGraphic() override;

    /// Reads the first image as a 1-, 4-, 8-, 24- or 32-bit bitmap. Raises "Invalid TIFF
    /// file." and "TIFF: Unknown compression scheme".
    void ReadImage(TStream& Stream) override;
    /// Writes nothing.
    void WriteImage(TStream& Stream) override;

private:
    using TCardinalArray = std::vector<uint32_t>;

    /// One directory entry in machine byte order, with the value field's bytes as stored.
    struct TTIFFTagEntry {
        uint16_t Tag;
        uint16_t FieldType;
        uint32_t Count;
        uint32_t ValueOrOffset;
        uint8_t Stored[4];
    };

    void SwapTagEntries();
    bool FindTag(uint16_t Tag, size_t& Index) const;
    bool HasTag(uint16_t Tag) const;
    uint32_t GetTagValue(uint16_t Tag, uint32_t Default) const;
    uint32_t GetTagCount(uint16_t Tag, uint32_t Default) const;
    void GetTagValues(TStream& Stream, uint16_t Tag, TCardinalArray& Values, uint32_t MaxCount) const;
    void ReadStripTable(TStream& Stream, uint16_t Tag, uint32_t StripCount, TCardinalArray& Values) const;
    void ReadColorMap(TStream& Stream, uint32_t Bits);
    void MakeTIFFPalette(uint32_t Photometric, uint32_t Bits);

    uint16_t FByteOrder = 0;
    std::vector<TTIFFTagEntry> FEntries;
    int64_t FBaseOffset = 0;
    int64_t FStreamSize = 0;
    uint16_t FColorMap[768] = {};
};

}  // namespace quillet
