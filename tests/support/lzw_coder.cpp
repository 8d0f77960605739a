#include "tests/support/lzw_coder.h"

#include <stdexcept>
#include <unordered_map>

namespace quillet::test {

namespace {

class TBitWriter {
public:
    explicit TBitWriter(bool msbFirst) : FMsbFirst(msbFirst) {}
    void Put(uint32_t code, unsigned width)
    {
        if (FMsbFirst) {
            FBits = (FBits << width) | code;
            FCount += width;
            while (FCount >= 8) {
                FOut.u8(unsigned(FBits >> (FCount - 8)) & 0xFF);
                FCount -= 8;
            }
            FBits &= (uint64_t(1) << FCount) - 1;
        } else {
            FBits |= uint64_t(code) << FCount;
            FCount += width;
            while (FCount >= 8) {
                FOut.u8(unsigned(FBits) & 0xFF);
                FBits >>= 8;
                FCount -= 8;
            }
        }
    }
    Bytes Finish()
    {
        if (FCount > 0) FOut.u8(unsigned(FMsbFirst ? FBits << (8 - FCount) : FBits) & 0xFF);
        FCount = 0;
        FBits = 0;
        return FOut;
    }

private:
    bool FMsbFirst;
    uint64_t FBits = 0;
    unsigned FCount = 0;
    Bytes FOut;
};

// An LZW coder that models the decoder's table to know each code's width, so that the
// widths follow the decoder's rule (TIFF's early change, GIF's late one) exactly.
class TLZWCoder {
public:
    TLZWCoder(bool tiff, unsigned minCodeSize, TLZWOptions options)
        : FTiff(tiff),
          FMinCodeSize(minCodeSize),
          FOptions(options),
          FWriter(tiff),
          FClear(1u << minCodeSize),
          FEnd(FClear + 1),
          FFirst(FClear + 2)
    {
        Reset();
        FWidth = minCodeSize + 1;
        FDecoderNext = FFirst;
    }

    Bytes Encode(const std::vector<uint8_t>& data)
    {
        if (FOptions.ClearFirst) Emit(FClear);
        if (!data.empty()) {
            uint32_t current = Literal(data[0]);
            for (size_t i = 1; i < data.size(); ++i) {
                const uint8_t b = data[i];
                Literal(b);
                const uint64_t key = (uint64_t(current) << 8) | b;
                if (auto it = FStrings.find(key); it != FStrings.end()) {
                    current = it->second;
                    continue;
                }
                Emit(current);
                if (FNext < 4096) FStrings.emplace(key, FNext++);
                if (FNext == 4096 && FOptions.FullTable == TFullTable::Clear) {
                    Emit(FClear);
                    Reset();
                }
                current = b;
            }
            Emit(current);
        }
        if (FOptions.EndCode) Emit(FEnd);
        return FWriter.Finish();
    }

private:
    uint32_t Literal(uint8_t b) const
    {
        if (b >= FClear) throw std::invalid_argument("LZW fixture: byte above the minimum code size");
        return b;
    }
    void Reset()
    {
        FStrings.clear();
        FNext = FFirst;
    }
    // Writes a code at the decoder's current width, then moves the decoder model on.
    void Emit(uint32_t code)
    {
        FWriter.Put(code, FWidth);
        if (code == FClear) {
            FWidth = FMinCodeSize + 1;
            FDecoderNext = FFirst;
            FDecoderHasPrevious = false;
            return;
        }
        if (code == FEnd) return;
        if (FDecoderHasPrevious && FDecoderNext < 4096) {
            const uint32_t mask = (1u << FWidth) - 1;
            if (FTiff) {
                ++FDecoderNext;
                if (FDecoderNext == mask && FWidth < 12) ++FWidth;
            } else {
                if (FDecoderNext == mask && FWidth < 12) ++FWidth;
                ++FDecoderNext;
            }
        }
        FDecoderHasPrevious = true;
    }

    bool FTiff;
    unsigned FMinCodeSize;
    TLZWOptions FOptions;
    TBitWriter FWriter;
    uint32_t FClear, FEnd, FFirst;
    std::unordered_map<uint64_t, uint32_t> FStrings;
    uint32_t FNext = 0;
    unsigned FWidth = 0;
    uint32_t FDecoderNext = 0;
    bool FDecoderHasPrevious = false;
};

Bytes Pack(const std::vector<TCode>& codes, bool msbFirst)
{
    TBitWriter writer(msbFirst);
    for (const TCode& c : codes) writer.Put(c.Value, c.Width);
    return writer.Finish();
}

}  // namespace

Bytes EncodeGIFLZW(const std::vector<uint8_t>& data, unsigned minCodeSize, TLZWOptions options)
{
    return TLZWCoder(false, minCodeSize, options).Encode(data);
}

Bytes EncodeTIFFLZW(const std::vector<uint8_t>& data, TLZWOptions options)
{
    return TLZWCoder(true, 8, options).Encode(data);
}

Bytes PackMsbFirst(const std::vector<TCode>& codes)
{
    return Pack(codes, true);
}
Bytes PackLsbFirst(const std::vector<TCode>& codes)
{
    return Pack(codes, false);
}

std::vector<TCode> Codes(std::initializer_list<uint32_t> values, unsigned width)
{
    std::vector<TCode> codes;
    for (uint32_t v : values) codes.push_back({v, width});
    return codes;
}

}  // namespace quillet::test
