// Placeholder until the run-length decoders land.
#include "codecs/ImageCodecs.h"

namespace quillet {

void TPackbitsRLE::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}
void TRLADecoder::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}
void TPCXRLE::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}
void TSGIRLE::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}
void TCUTRLE::Decode(const uint8_t*&, uint8_t*, int32_t, int32_t) {}
int32_t DecodeTargaRLE(const uint8_t*, uint32_t, uint8_t*, uint32_t, uint8_t) { return 0; }
int32_t EncodeTargaRLE(const uint8_t*, uint8_t*, int32_t, int32_t) { return 0; }

}  // namespace quillet
