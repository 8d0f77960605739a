// Feeds arbitrary coded bytes to every decoder and to the Targa routines, inside buffers
// of exactly the sizes the call names, so that any read or write outside them is caught.
// Input: one byte choosing the decoder, one byte of setting (SGI bytes per sample, GIF
// minimum code size, Targa pixel bits), two bytes of unpacked size, then the coded bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/errors.h"

namespace {

using namespace quillet;

std::unique_ptr<TDecoder> MakeDecoder(uint8_t kind, uint8_t setting)
{
    switch (kind % 7) {
    case 0: return std::make_unique<TPackbitsRLE>();
    case 1: return std::make_unique<TRLADecoder>();
    case 2: return std::make_unique<TPCXRLE>();
    case 3: {
        auto d = std::make_unique<TSGIRLE>();
        d->FBytesPerSample = setting & 1 ? 1 : 2;
        return d;
    }
    case 4: return std::make_unique<TCUTRLE>();
    case 5: return std::make_unique<TTIFFLZW>();
    default: {
        auto d = std::make_unique<TGIFLZW>();
        d->FMinimumCodeSize = setting;
        return d;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const uint8_t kind = data[0];
    const uint8_t setting = data[1];
    const size_t unpacked = size_t(data[2]) | (size_t(data[3]) << 8);
    const std::vector<uint8_t> packed(data + 4, data + size);
    std::vector<uint8_t> dest(unpacked);

    if (kind >= 0xF0) {
        // The Targa routines: decode, and encode what came out.
        static const uint8_t kBits[] = {8, 15, 16, 24, 32, 7};
        const uint8_t bits = kBits[setting % 6];
        DecodeTargaRLE(packed.data(), uint32_t(packed.size()), dest.data(), uint32_t(dest.size()), bits);
        const int32_t bytesPerPixel = 1 + setting % 4;
        const int32_t pixels = int32_t(dest.size()) / bytesPerPixel;
        std::vector<uint8_t> encoded(size_t(pixels) * size_t(bytesPerPixel) * 2);
        EncodeTargaRLE(dest.data(), encoded.data(), pixels, bytesPerPixel);
        return 0;
    }

    std::unique_ptr<TDecoder> decoder = MakeDecoder(kind, setting);
    const uint8_t* source = packed.data();
    try {
        decoder->Decode(source, dest.data(), int32_t(packed.size()), int32_t(dest.size()));
    } catch (const Exception&) {
    }
    // Only the CUT decoder moves the source, and never beyond the coded bytes.
    if (source < packed.data() || source > packed.data() + packed.size()) std::abort();
    return 0;
}
