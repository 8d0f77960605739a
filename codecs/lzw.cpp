// Placeholder until the LZW decoders land.
#include "codecs/ImageCodecs.h"

namespace quillet {

void TTIFFLZW::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}
void TGIFLZW::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}

}  // namespace quillet
